// Fuzz target: the NV backup's files and answers. The first byte chooses
// what the rest is:
//   0  the block file "/2ndfile/modem_nv" (its header sizes come from flash),
//      unpacked into a backup file in a private folder;
//   1  an answer of the modem to an NV or RF-NV request, judged by every
//      answer check and fed through the answer receiver byte by byte.
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "nv_backup_store.h"
#include "nv_diag_packets.h"
#include "nv_diag_receive.h"
#include "up_bytes.h"

namespace {

std::string g_dir;
std::string g_nv;
fuzz_mem_file g_block;

void remove_private_dir()
{
    unlink(g_nv.c_str());
    rmdir(g_dir.c_str());
}

void make_private_dir()
{
    if (!g_dir.empty())
        return;
    const char *base = getenv("TMPDIR");
    std::string tmpl = std::string(base && base[0] ? base : "/tmp") + "/fuzz-nv-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    FUZZ_CHECK(mkdtemp(buf.data()) != nullptr);
    g_dir = buf.data();
    g_nv = g_dir + "/nv_bak";
    atexit(remove_private_dir);
}

void fuzz_block(const uint8_t *data, size_t size)
{
    make_private_dir();
    fuzz_mem_file_fill(&g_block, "fuzz-nv-block", data, size);
    efs_h_cfg cfg{};
    memset(&cfg, 0x5A, sizeof cfg);
    const efs_h_cfg before = cfg;
    int rc = get_nv_at_from_mem_block(g_nv.c_str(), &cfg, g_block.path);
    if (rc != 1) {
        // A refused block leaves the caller's record as it was.
        FUZZ_CHECK(rc == -1);
        FUZZ_CHECK(memcmp(&cfg, &before, sizeof cfg) == 0);
        return;
    }
    // Accepted sizes lie inside what was read, and the backup file holds
    // exactly nv_size bytes of the image.
    FUZZ_CHECK(size >= 8);
    const uint32_t nv_size = get_le32(data);
    const uint32_t at_size = get_le32(data + 4);
    FUZZ_CHECK(at_size == 0 || at_size == 548);
    FUZZ_CHECK((uint64_t)nv_size + at_size <= size - 8);
    struct stat st {};
    FUZZ_CHECK(stat(g_nv.c_str(), &st) == 0);
    FUZZ_CHECK((uint64_t)st.st_size == nv_size);
    if (at_size == 0)
        FUZZ_CHECK(memcmp(&cfg, &before, sizeof cfg) == 0);
    else
        FUZZ_CHECK(memchr(cfg.strSN, '\0', sizeof cfg.strSN) != nullptr);
}

void fuzz_answer(const uint8_t *data, size_t size)
{
    const int n = (int)size;
    uint8_t record[NV_RECORD_SIZE];
    if (nv_read_answer_record(data, n, record)) {
        FUZZ_CHECK(size >= 135);
        FUZZ_CHECK(memcmp(record, data + 1, NV_RECORD_SIZE) == 0);
    }
    const uint16_t item = size >= 3 ? get_le16(data + 1) : 0;
    if (nv_write_answer_confirms(data, n, item))
        FUZZ_CHECK(data[0] == NV_CMD_WRITE);
    const uint8_t *rec = nullptr;
    size_t rec_len = 0;
    if (rfnv_read_answer_record(data, n, &rec, &rec_len)) {
        // The record lies inside the answer, before its two check bytes.
        FUZZ_CHECK(rec == data + 12);
        FUZZ_CHECK(rec_len >= 4 && rec_len - 4 <= RFNV_DATA_MAX);
        FUZZ_CHECK(12 + rec_len <= size - 2);
    }
    if (size >= 14)
        rfnv_write_answer_confirms(data, n, get_le16(data + 12));
    ftm_switch_answer_ok(data, n);

    static uint8_t buf[NV_ANSWER_BUF_SIZE];
    nv_rcv_type rcv;
    nv_rcv_start(&rcv, buf);
    for (size_t i = 0; i < size; i++) {
        int rc = nv_rcv_byte(&rcv, data[i]);
        FUZZ_CHECK(rcv.len <= NV_ANSWER_BUF_SIZE);
        if (rc == NV_RCV_MORE)
            continue;
        // A complete answer reports the bytes it stored; anything else is
        // one of the receiver's error codes.
        FUZZ_CHECK(rc == (int)rcv.len || rc == 1 || rc == 4 || rc == 5);
        nv_rcv_start(&rcv, buf);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    if (data[0] % 2 == 0)
        fuzz_block(data + 1, size - 1);
    else
        fuzz_answer(data + 1, size - 1);
    return 0;
}
