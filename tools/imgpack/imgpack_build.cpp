// Laying out a package: header, descriptor table, then each record's data
// on a 4-byte boundary, padding zero-filled.
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "imgpack.h"
#include "imgpack_modem.h"
#include "up_api.h"
#include "up_fd.h"
#include "up_partition.h"

int imgpack_read_file(const std::string &path, std::vector<uint8_t> *out, std::string *err)
{
    unique_fd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat st;
    if (!fd.ok() || fstat(fd.get(), &st) != 0) {
        *err = path + ": " + strerror(errno);
        return -1;
    }
    if (st.st_size > 0x7FFFFFFF) {
        *err = path + ": too large for a package";
        return -1;
    }
    out->resize((size_t)st.st_size);
    if (read_full(fd.get(), out->data(), out->size()) != (ssize_t)out->size()) {
        *err = path + ": read failed";
        return -1;
    }
    return 0;
}

int imgpack_write_output(const char *output, const std::vector<uint8_t> &bytes, std::string *err)
{
    std::string tmp = std::string(output) + ".tmpXXXXXX";
    std::vector<char> tmp_path(tmp.begin(), tmp.end());
    tmp_path.push_back('\0');
    unique_fd fd(mkstemp(tmp_path.data()));
    if (!fd.ok()) {
        *err = std::string(output) + ": " + strerror(errno);
        return -1;
    }
    if (write_full(fd.get(), bytes.data(), bytes.size()) != (ssize_t)bytes.size() ||
        fchmod(fd.get(), 0644) != 0 || fsync(fd.get()) != 0 || rename(tmp_path.data(), output) != 0) {
        *err = std::string("writing ") + output + ": " + strerror(errno);
        unlink(tmp_path.data());
        return -1;
    }
    return 0;
}

namespace {

int record_data(const imgpack_record_desc &r, std::vector<uint8_t> *data, std::string *err)
{
    if (r.container) {
        if (imgpack_build_modem_file(r.path, data, err) != 0) {
            *err = "line " + std::to_string(r.line) + ": " + *err;
            return -1;
        }
        return 0;
    }
    struct stat st;
    if (stat(r.path.c_str(), &st) != 0) {
        *err = "line " + std::to_string(r.line) + ": " + r.path + ": " + strerror(errno);
        return -1;
    }
    if (S_ISDIR(st.st_mode)) {
        // Only a compressed record unpacks into a tree on the router.
        if (r.compressed != 1) {
            *err = "line " + std::to_string(r.line) + ": " + r.path +
                   " is a directory: its record must have compressed 1";
            return -1;
        }
        return imgpack_tar_directory(r.path, data, err);
    }
    return imgpack_read_file(r.path, data, err);
}

// The writer used in partition mode refuses a record larger than its
// partition; say so while building, the package is still written.
void warn_partition_fit(const imgpack_record_desc &r, uint64_t length, FILE *warn)
{
    bool raw_2ndfs = r.record_id == PACKAGE_2NDFS && r.compressed == 0;
    if (r.record_id != PACKAGE_KERNEL && r.record_id != PACKAGE_ROOTFS && !raw_2ndfs)
        return;
    const flash_partition_tab_t *row = up_find_partition(r.record_id);
    if (row != nullptr && length > row->i_len && warn != nullptr)
        fprintf(warn, "imgpack: warning: line %d: record of %llu bytes exceeds %s (%lu bytes); "
                      "imgrenew will refuse it\n",
                r.line, (unsigned long long)length, row->ac_partition_name, (unsigned long)row->i_len);
}

uint64_t align_up(uint64_t v)
{
    return (v + IMGPACK_ALIGN - 1) / IMGPACK_ALIGN * IMGPACK_ALIGN;
}

} // namespace

int imgpack_build_bytes(const imgpack_desc &desc, std::vector<uint8_t> *package, std::string *err,
                        FILE *warn)
{
    size_t n = desc.records.size();
    if (n > 0x7FFFFFFF / PACKAGE_RECORD_SIZE) {
        *err = "too many records";
        return -1;
    }
    std::vector<std::vector<uint8_t>> data(n);
    std::vector<package_record_t> table(n);
    uint64_t pos = PACKAGE_HEAD_SIZE + (uint64_t)PACKAGE_RECORD_SIZE * n;
    for (size_t i = 0; i < n; ++i) {
        const imgpack_record_desc &r = desc.records[i];
        if (record_data(r, &data[i], err) != 0)
            return -1;
        pos = align_up(pos);
        package_record_t &rec = table[i];
        memset(&rec, 0, sizeof rec);
        rec.record_offset = (uint32_t)pos;
        rec.record_length = (uint32_t)data[i].size();
        rec.compressed = r.compressed;
        rec.record_id = r.record_id;
        rec.component_version = r.component_version;
        memcpy(rec.record_name, r.name.data(), r.name.size());
        warn_partition_fit(r, data[i].size(), warn);
        pos += data[i].size();
        if (pos > 0x7FFFFFFF) {
            *err = "package would exceed 2 GiB (packlen is a signed 32-bit length)";
            return -1;
        }
    }
    if (pos > IMGPACK_STATE_BLOCK && warn != nullptr)
        fprintf(warn, "imgpack: warning: package of %llu bytes reaches the state block at 0x%llx "
                      "of the package partition\n",
                (unsigned long long)pos, (unsigned long long)IMGPACK_STATE_BLOCK);

    package->assign((size_t)pos, 0);
    for (size_t i = 0; i < n; ++i) {
        encode_package_record(&table[i], package->data() + PACKAGE_HEAD_SIZE + PACKAGE_RECORD_SIZE * i);
        if (!data[i].empty())
            memcpy(package->data() + table[i].record_offset, data[i].data(), data[i].size());
    }
    package_signature_t head{};
    head.magic1 = desc.magic1;
    head.magic2 = desc.magic2;
    head.version = desc.version;
    head.num_records = (uint32_t)n;
    head.packlen = (int32_t)pos;
    head.downgrade_enabled = desc.downgrade_enabled;
    // Nothing on the router checks wholecrc; by default it is the standard
    // CRC-32 of everything after the header, so inspect can tell damage.
    head.wholecrc = desc.wholecrc_given
                        ? desc.wholecrc
                        : Crc32_ComputeBuf(0, package->data() + PACKAGE_HEAD_SIZE,
                                           (uint32_t)(package->size() - PACKAGE_HEAD_SIZE));
    encode_package_head(&head, package->data());
    return 0;
}

int imgpack_build(const char *output, const char *description)
{
    std::vector<uint8_t> text_bytes;
    std::string err;
    if (imgpack_read_file(description, &text_bytes, &err) != 0) {
        fprintf(stderr, "imgpack: %s\n", err.c_str());
        return 1;
    }
    std::string text(text_bytes.begin(), text_bytes.end());
    std::string base = imgpack_base_dir(description);

    imgpack_desc desc;
    std::vector<uint8_t> package;
    if (imgpack_parse_description(text, base, &desc, &err) != 0 ||
        imgpack_build_bytes(desc, &package, &err, stderr) != 0) {
        fprintf(stderr, "imgpack: %s\n", err.c_str());
        return 1;
    }

    // Written beside the target and renamed, so a failed run leaves no
    // half-written package under the output name.
    if (imgpack_write_output(output, package, &err) != 0) {
        fprintf(stderr, "imgpack: %s\n", err.c_str());
        return 1;
    }
    printf("imgpack: wrote %s: %zu records, %zu bytes\n", output, desc.records.size(), package.size());
    return 0;
}
