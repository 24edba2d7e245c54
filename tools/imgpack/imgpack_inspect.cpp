// Listing a package the way imgrenew up will read it, and telling what each
// record would become. A record that lies outside the package, or that the
// installation would refuse, makes the result non-zero.
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "imgpack.h"
#include "imgpack_modem.h"
#include "up_api.h"
#include "up_extract.h"
#include "up_fd.h"
#include "up_partition.h"

namespace {

// The stored name as a printable text: at most 64 bytes, up to the first NUL,
// other bytes outside printable ASCII shown as \xNN.
std::string printable_name(const package_record_t &r)
{
    std::string out;
    for (size_t i = 0; i < PACKAGE_NAME_SIZE && r.record_name[i] != '\0'; ++i) {
        unsigned char c = (unsigned char)r.record_name[i];
        if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\') {
            out += (char)c;
        } else {
            char esc[8];
            snprintf(esc, sizeof esc, "\\x%02X", c);
            out += esc;
        }
    }
    return out;
}

// The name the installers give the extracted file, or "" when they refuse it.
std::string file_name(const package_record_t &r)
{
    char name[UP_RECORD_NAME_MAX] = {};
    memcpy(name, r.record_name, PACKAGE_NAME_SIZE);
    char *blank = strchr(name, ' ');
    if (blank != nullptr)
        *blank = '\0';
    return is_safe_record_name(name) ? std::string(name) : std::string();
}

struct verdict {
    std::string action;
    std::string problem;      // non-empty: imgrenew up would fail on this record
};

verdict partition_writer(const package_record_t &r, bool uses_file)
{
    verdict v;
    const flash_partition_tab_t *row = up_find_partition(r.record_id);
    if (row == nullptr) {
        v.action = "no partition for this type: nothing written";
        return v;
    }
    char text[256];
    if (uses_file)
        snprintf(text, sizeof text,
                 "direct write to %s in partition mode, flash_erase+nandwrite in file mode (%lu-byte partition)",
                 row->ac_partition_name, (unsigned long)row->i_len);
    else
        snprintf(text, sizeof text, "raw image: direct write to %s in both modes (%lu-byte partition)",
                 row->ac_partition_name, (unsigned long)row->i_len);
    v.action = text;
    if (r.record_length > row->i_len)
        v.problem = "record larger than its partition: imgrenew refuses it";
    else if (r.record_length == 0)
        v.problem = "empty record: the direct writer fails its length check";
    else if (uses_file && file_name(r).empty())
        v.problem = "unsafe record name: refused in file mode";
    return v;
}

verdict what_up_does(const package_record_t &r)
{
    verdict v;
    std::string file = file_name(r);
    switch (r.record_id) {
    case PACKAGE_VERSION:
        v.action = "version file: extracted to /tmp/" + file +
                   ", merged into /2ndfile/version/version_info.txt after the last record";
        if (file.empty())
            v.problem = "unsafe record name: the version file cannot be extracted";
        break;
    case PACKAGE_BOOTLOADER:
        v.action = "bootloader: extracted to /tmp/" + file + ", written with /usr/bin/kobs-ng init; state bit 4";
        if (file.empty())
            v.problem = "unsafe record name: the bootloader cannot be extracted";
        break;
    case PACKAGE_KERNEL:
    case PACKAGE_ROOTFS:
        v = partition_writer(r, true);
        v.action += r.record_id == PACKAGE_KERNEL ? "; state bit 8" : "; state bit 16";
        break;
    case PACKAGE_2NDFS:
        if (r.compressed == 1) {
            v.action = "second file system archive: unpacked into /tmp/2ndrootfs, nv/default.cfg imported, "
                       "webpage/ and lcdui/ replaced in /2ndfile; state bit 32";
            if (file.empty())
                v.problem = "unsafe record name: the archive cannot be extracted";
        } else if (r.compressed == 0) {
            v = partition_writer(r, false);
            v.action += "; no version file is installed after it; state bit 32";
        } else {
            v.action = "second file system with compressed " + std::to_string(r.compressed) +
                       ": no installer runs, the step is still marked done";
        }
        break;
    case PACKAGE_BOOT_IMAGE:
        v.action = "boot image: logged and skipped";
        break;
    case PACKAGE_MODEM_IMAGE:
        v.action = "modem firmware container: checked and flashed into the modem over its diagnostic port; "
                   "state bit 64";
        break;
    default:
        v.action = "not a known record type: logged and skipped";
        break;
    }
    return v;
}

bool is_router_step(uint32_t record_id)
{
    return record_id == PACKAGE_BOOTLOADER || record_id == PACKAGE_KERNEL || record_id == PACKAGE_ROOTFS ||
           record_id == PACKAGE_2NDFS;
}

// The closing line and the exit status: failures before warnings.
int inspect_result(int problems, int warnings, const char *failed, FILE *out)
{
    if (problems > 0) {
        fprintf(out, "%s\n", failed);
        return IMGPACK_INSPECT_FAILS;
    }
    if (warnings > 0) {
        fprintf(out, "result: warning\n");
        return IMGPACK_INSPECT_WARNING;
    }
    fprintf(out, "result: ok\n");
    return IMGPACK_INSPECT_OK;
}

} // namespace

int imgpack_inspect_bytes(const std::vector<uint8_t> &pkg, FILE *out)
{
    int problems = 0, warnings = 0;
    uint64_t size = pkg.size();
    fprintf(out, "package: %llu bytes\n", (unsigned long long)size);
    if (size < PACKAGE_HEAD_SIZE) {
        fprintf(out, "error: the header needs 28 bytes\n");
        return 1;
    }
    package_signature_t h{};
    decode_package_head(pkg.data(), &h);
    fprintf(out,
            "header: magic1 0x%08X magic2 0x%08X version %lu num_records %lu wholecrc 0x%08X "
            "packlen %ld downgrade_enabled %lu\n",
            (unsigned)h.magic1, (unsigned)h.magic2, (unsigned long)h.version, (unsigned long)h.num_records,
            (unsigned)h.wholecrc, (long)h.packlen, (unsigned long)h.downgrade_enabled);
    uint32_t count = up_record_table_count(&h);
    if (count != h.num_records)
        fprintf(out, "note: num_records counts as negative: imgrenew reads no record\n");
    uint64_t table_end = PACKAGE_HEAD_SIZE + (uint64_t)PACKAGE_RECORD_SIZE * count;
    if (table_end > size) {
        fprintf(out, "error: a table of %lu records needs %llu bytes, the package has %llu\n",
                (unsigned long)count, (unsigned long long)table_end, (unsigned long long)size);
        return 1;
    }
    if (h.packlen <= 0 || (uint64_t)h.packlen != size)
        fprintf(out, "note: packlen %ld differs from the package size (progress is measured against packlen)\n",
                (long)h.packlen);
    if (h.packlen > 0 && (uint64_t)h.packlen <= size) {
        uint32_t crc = Crc32_ComputeBuf(0, pkg.data() + PACKAGE_HEAD_SIZE,
                                        (uint32_t)((uint64_t)h.packlen - PACKAGE_HEAD_SIZE));
        fprintf(out, "wholecrc: %s (CRC-32 after the header 0x%08X; imgrenew does not check it)\n",
                crc == h.wholecrc ? "matches" : "differs", (unsigned)crc);
        if (crc != h.wholecrc) {
            fprintf(out, "warning: the package is damaged (wholecrc differs) but imgrenew up would install it\n");
            ++warnings;
        }
    }

    bool has_version = false, needs_version = true, has_modem = false, has_router = false;
    for (uint32_t i = 0; i < count; ++i) {
        package_record_t r{};
        decode_package_record(pkg.data() + PACKAGE_HEAD_SIZE + PACKAGE_RECORD_SIZE * i, &r);
        fprintf(out, "record %lu: type %lu (%s) offset %lu length %lu compressed %lu component_version %lu name \"%s\"\n",
                (unsigned long)i, (unsigned long)r.record_id, imgpack_type_name(r.record_id),
                (unsigned long)r.record_offset, (unsigned long)r.record_length, (unsigned long)r.compressed,
                (unsigned long)r.component_version, printable_name(r).c_str());
        uint64_t end = (uint64_t)r.record_offset + r.record_length;
        if (end > size) {
            fprintf(out, "  error: record ends at %llu, past the end of the package (%llu bytes)\n",
                    (unsigned long long)end, (unsigned long long)size);
            ++problems;
            continue;
        }
        if (r.record_offset < table_end && r.record_length > 0)
            fprintf(out, "  note: record data overlaps the header or the record table\n");
        verdict v = what_up_does(r);
        fprintf(out, "  imgrenew up: %s\n", v.action.c_str());
        if (!v.problem.empty()) {
            fprintf(out, "  error: %s\n", v.problem.c_str());
            ++problems;
        }
        if (r.record_id == PACKAGE_MODEM_IMAGE)
            problems += imgpack_inspect_modem_bytes(pkg.data() + r.record_offset, r.record_length, "  ", out,
                                                    &warnings);
        has_modem = has_modem || r.record_id == PACKAGE_MODEM_IMAGE;
        has_router = has_router || is_router_step(r.record_id);
        has_version = has_version || r.record_id == PACKAGE_VERSION;
        if (r.record_id == PACKAGE_2NDFS && r.compressed == 0)
            needs_version = false;
    }
    if (needs_version && !has_version) {
        fprintf(out, "error: no version record: imgrenew up fails after the last record\n");
        ++problems;
    }
    // Loaded raw into the package partition, the file (the package and any
    // signature trailer after packlen) must end before the state block: the
    // first state write erases that block.
    bool reaches_state = size > IMGPACK_STATE_BLOCK;
    if (reaches_state) {
        fprintf(out, "warning: the package%s ends at %llu bytes, past the state block at 0x4200000 of the package "
                     "partition: loaded there, its end is erased by the first state write\n",
                h.packlen > 0 && (uint64_t)h.packlen < size ? " with its trailer" : "", (unsigned long long)size);
        ++warnings;
    }
    if (has_modem && has_router && !reaches_state) {
        // The first read of an erased state word (a freshly erased package
        // partition) turns it into 60 when the package carries a modem
        // record: the router steps count as done. How imgrenew reads the
        // state, not a fault of the package.
        fprintf(out, "note: the package has a modem record: on a freshly erased package partition the state "
                     "word reads as 60 and imgrenew up skips the bootloader, kernel, rootfs and 2ndfs records; for a "
                     "full install load it with `routersim load-package STATE PKG --full-install`, or run "
                     "`imgrenew set 0` on the router first\n");
    }
    return inspect_result(problems, warnings, "result: imgrenew up would fail on this package", out);
}

int imgpack_inspect(const char *path, FILE *out)
{
    unique_fd fd(open(path, O_RDONLY | O_CLOEXEC));
    struct stat st;
    if (!fd.ok() || fstat(fd.get(), &st) != 0) {
        fprintf(stderr, "imgpack: %s: %s\n", path, strerror(errno));
        return IMGPACK_INSPECT_FAILS;
    }
    if (!S_ISREG(st.st_mode) || st.st_size > 0x7FFFFFFF) {
        fprintf(stderr, "imgpack: %s: not a regular file below 2 GiB\n", path);
        return 1;
    }
    std::vector<uint8_t> pkg((size_t)st.st_size);
    if (read_full(fd.get(), pkg.data(), pkg.size()) != (ssize_t)pkg.size()) {
        fprintf(stderr, "imgpack: %s: read failed\n", path);
        return 1;
    }
    fprintf(out, "file: %s\n", path);
    // A modem container on its own (imgpack modem) starts with its magic.
    if (pkg.size() >= 4 && memcmp(pkg.data(), "MDOM", 4) == 0) {
        int warnings = 0;
        int problems = imgpack_inspect_modem_bytes(pkg.data(), pkg.size(), "", out, &warnings);
        return inspect_result(problems, warnings, "result: the modem step would refuse or fail this container", out);
    }
    return imgpack_inspect_bytes(pkg, out);
}
