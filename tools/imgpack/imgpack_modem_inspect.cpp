// Listing a modem container the way the modem step reads it: header, checksum,
// the table, and what the step does with each entry.
#include <cstring>

#include "imgpack.h"
#include "imgpack_modem.h"
#include "up_bytes.h"

namespace {

// The seven entry types the modem step marks as installed; a container that
// lacks one can only succeed in an attempt that skips nothing.
constexpr const char *flagged_types[] = {"dbl", "fsbl", "osbl", "amss", "dsp1", "dsp2", "efs"};

std::string type_text(uint32_t type)
{
    char text[64];
    const char *name = imgpack_modem_type_name(type);
    snprintf(text, sizeof text, "type 0x%08lX (%s)", (unsigned long)type, name ? name : "unknown");
    return text;
}

const char *entry_action(uint32_t type)
{
    const char *name = imgpack_modem_type_name(type);
    if (name == nullptr)
        return "not a sub-image type: skipped by its size";
    if (strcmp(name, "hex") == 0)
        return "RAM flash programmer: uploaded and started in download mode (every attempt)";
    if (strcmp(name, "partition") == 0)
        return "partition table: sent to the programmer after hello (every attempt)";
    if (strcmp(name, "fsbl") == 0)
        return "fail-safe boot loader: stored in /2ndfile/fsbl.mbn, not sent to the modem";
    if (strcmp(name, "efs") == 0)
        return "EFS: opened, streamed and closed when efs_include is 1, otherwise read and discarded";
    if (strcmp(name, "end") == 0)
        return "end mark: the walk ends here";
    return "opened, streamed in 1024-byte blocks and closed";
}

// The INI lines, printable, so a reader sees the configuration.
void print_ini(const uint8_t *data, size_t len, const char *indent, FILE *out)
{
    std::string line;
    for (size_t i = 0; i <= len; ++i) {
        if (i == len || data[i] == '\n') {
            if (!line.empty() || i < len)
                fprintf(out, "%s    | %s\n", indent, line.c_str());
            line.clear();
            continue;
        }
        unsigned char c = data[i];
        if (c == '\r')
            continue;
        if (c >= 0x20 && c < 0x7F) {
            line += (char)c;
        } else {
            char esc[8];
            snprintf(esc, sizeof esc, "\\x%02X", c);
            line += esc;
        }
    }
}

} // namespace

int imgpack_inspect_modem_bytes(const uint8_t *data, size_t len, const char *indent, FILE *out, int *warnings)
{
    if (len < MODEM_HEAD_SIZE) {
        fprintf(out, "%serror: a modem container needs a 16-byte header, the record has %zu bytes "
                     "(the modem step ends with result 6)\n", indent, len);
        return 1;
    }
    uint32_t magic = get_be32(data);
    uint32_t entries = get_be32(data + 4);
    uint32_t stored = get_le32(data + 8);
    uint32_t size = get_be32(data + 12);
    fprintf(out, "%smodem container: magic 0x%08lX entries %lu fw_h_size %lu stored checksum 0x%08lX\n", indent,
            (unsigned long)magic, (unsigned long)entries, (unsigned long)size, (unsigned long)stored);
    if (magic != MODEM_MAGIC) {
        fprintf(out, "%serror: magic is not MDOM: not a modem container (the modem step ends with result 6, "
                     "nothing flashed)\n", indent);
        return 1;
    }
    if (size < MODEM_HEAD_SIZE || size > len) {
        fprintf(out, "%serror: fw_h_size %lu does not fit the %zu bytes there are\n", indent, (unsigned long)size,
                len);
        return 1;
    }
    int problems = 0;
    uint32_t sum = imgpack_modem_checksum(data + MODEM_HEAD_SIZE, size - MODEM_HEAD_SIZE);
    if (sum == stored) {
        fprintf(out, "%schecksum: matches (0x%08lX)\n", indent, (unsigned long)sum);
    } else {
        fprintf(out, "%serror: checksum differs: computed 0x%08lX, stored 0x%08lX (the modem step fails, nothing "
                     "flashed)\n", indent, (unsigned long)sum, (unsigned long)stored);
        ++problems;
    }
    if (entries > MODEM_MAX_ENTRIES) {
        fprintf(out, "%serror: %lu entries declared, at most 15 fit the modem step's table: refused\n", indent,
                (unsigned long)entries);
        return problems + 1;
    }
    uint64_t at = MODEM_HEAD_SIZE + (uint64_t)MODEM_HEAD_SIZE * entries;
    if (at > size) {
        fprintf(out, "%serror: a table of %lu entries ends past fw_h_size\n", indent, (unsigned long)entries);
        return problems + 1;
    }
    bool seen[sizeof flagged_types / sizeof flagged_types[0]] = {};
    for (uint32_t i = 0; i < entries; ++i) {
        const uint8_t *e = data + MODEM_HEAD_SIZE + MODEM_HEAD_SIZE * i;
        uint32_t type = get_be32(e);
        uint32_t body = get_be32(e + 12);
        if (i == 0)
            fprintf(out, "%sentry 0: configuration (INI), %lu bytes at %llu\n", indent, (unsigned long)body,
                    (unsigned long long)at);
        else
            fprintf(out, "%sentry %lu: %s, %lu bytes at %llu\n%s  modem step: %s\n", indent, (unsigned long)i,
                    type_text(type).c_str(), (unsigned long)body, (unsigned long long)at, indent, entry_action(type));
        if (at + body > size) {
            fprintf(out, "%serror: entry %lu ends at %llu, past fw_h_size %lu\n", indent, (unsigned long)i,
                    (unsigned long long)(at + body), (unsigned long)size);
            return problems + 1;
        }
        if (i == 0)
            print_ini(data + at, body, indent, out);
        if (i > 0 && type == MODEM_TYPE_PARTITION && (body == 0 || body > MODEM_PARTITION_TABLE_MAX)) {
            fprintf(out, "%swarning: a partition table of %lu bytes: the programmer command takes 1 to 511, so "
                         "every attempt fails with \"BIN file length error\"\n", indent, (unsigned long)body);
            if (warnings != nullptr)
                ++*warnings;
        }
        const char *name = i == 0 ? nullptr : imgpack_modem_type_name(type);
        for (size_t k = 0; name != nullptr && k < sizeof seen; ++k)
            seen[k] = seen[k] || strcmp(name, flagged_types[k]) == 0;
        at += body;
    }
    if (at != size) {
        fprintf(out, "%serror: the entries end at %llu but fw_h_size is %lu\n", indent, (unsigned long long)at,
                (unsigned long)size);
        ++problems;
    }
    for (size_t k = 0; k < sizeof seen; ++k)
        if (!seen[k])
            fprintf(out, "%snote: no %s entry: after a failed attempt the modem step cannot succeed\n", indent,
                    flagged_types[k]);
    return problems;
}
