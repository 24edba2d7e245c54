// Fuzz target: the modem firmware container of a modem record: header,
// checksum and sub-image table (modem_container_open), then the INI it
// carries, copied out and read as the modem step reads it.
//
// A random input almost never carries the right CRC-32, which would leave
// everything behind the checksum unreached; so the target writes the right
// checksum into the header unless the input's first checksum byte is 0, in
// which case the stored checksum is kept and its check is what gets fuzzed.
// The INI is copied into a private folder (mkdtemp, mode 0700) made once per
// process and removed at exit.
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "modem_config.h"
#include "modem_container.h"
#include "up_api.h"
#include "up_bytes.h"

namespace {

std::string g_dir;
std::string g_ini;

void remove_private_dir()
{
    unlink(g_ini.c_str());
    rmdir(g_dir.c_str());
}

void make_private_dir()
{
    if (!g_dir.empty())
        return;
    const char *base = getenv("TMPDIR");
    std::string tmpl = std::string(base && base[0] ? base : "/tmp") + "/fuzz-modem-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    FUZZ_CHECK(mkdtemp(buf.data()) != nullptr);
    g_dir = buf.data();
    g_ini = g_dir + "/modem_cof.ini";
    atexit(remove_private_dir);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    make_private_dir();
    std::vector<uint8_t> c(data, data + size);
    if (size >= FW_H_SIZE && data[8] != 0) {
        uint32_t total = get_be32(data + 12);
        size_t body = total > FW_H_SIZE ? total - FW_H_SIZE : 0;
        if (body > size - FW_H_SIZE)
            body = size - FW_H_SIZE;
        // The file checksum starts from a state of zero.
        put_le32(c.data() + 8, Crc32_ComputeBuf(0xFFFFFFFFu, c.data() + FW_H_SIZE, (uint32_t)body));
    }
    int fd = fuzz_memfd("fuzz-modem-container", c.data(), c.size());

    fw_h_t head{};
    uint32_t consumed = 0;
    const package_span rec{fd, 0, (uint32_t)size};
    int rc = modem_container_open(rec, &head, &consumed);
    if (rc != 0) {
        FUZZ_CHECK(rc == -1 || rc == FUU_FLE_ERR);
        return 0;
    }
    // An accepted container fits its record, and its table and bodies fit it.
    FUZZ_CHECK(head.fw_h_magic == MODEM_CONTAINER_MAGIC);
    FUZZ_CHECK(head.fw_h_resv <= MODEM_MAX_ENTRIES && firm_num == (int32_t)head.fw_h_resv);
    FUZZ_CHECK(consumed == FW_H_SIZE * (1 + head.fw_h_resv));
    FUZZ_CHECK(head.fw_h_size <= size && head.fw_h_size >= consumed);
    uint64_t bodies = 0;
    for (int i = 0; i < firm_num; i++)
        bodies += headbuf[i].fw_h_size;
    FUZZ_CHECK(bodies <= head.fw_h_size - consumed);
    FUZZ_CHECK(headbuf[MODEM_TABLE_SLOTS - 1].fw_h_magic == MODEM_IMG_END);

    if (firm_num > 0 && modem_container_copy_ini(rec, g_ini.c_str(), &consumed) == 0) {
        FUZZ_CHECK(consumed == FW_H_SIZE * (1 + head.fw_h_resv) + headbuf[0].fw_h_size);
        file_info = file_info_st{};
        efs_config = efs_h_cfg{};
        get_file_info_config(g_ini.c_str());
        FUZZ_CHECK(memchr(file_info.InnerVersion, '\0', sizeof file_info.InnerVersion) != nullptr);
    }
    return 0;
}
