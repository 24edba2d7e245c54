// Building a modem firmware container from its description: the INI
// configuration (entry 0) and the sub-images in table order.
#include <cstring>
#include <iterator>

#include "imgpack.h"
#include "imgpack_modem.h"
#include "up_api.h"
#include "up_bytes.h"

namespace {

constexpr imgpack_word modem_types[] = {
    {"hex", MODEM_TYPE_HEX},     {"partition", MODEM_TYPE_PARTITION}, {"dbl", 0x05060708},
    {"fsbl", 0x090A0B0C},        {"osbl", 0x0D0E0F10},      {"amss", 0x11121314},
    {"dsp1", 0x15161718},        {"dsp2", 0x191A1B1C},      {"efs", MODEM_TYPE_EFS},
    {"end", MODEM_TYPE_END},
};

// How a key's value is written: decimal and hexadecimal keys take a number
// (the modem step reads them with atoi and "%lx"), the others text.
enum ini_form { INI_TEXT, INI_DECIMAL, INI_HEX };

struct ini_key_def {
    const char *zone;
    const char *name;
    ini_form form;
    const char *value;
};

// Every key of the configuration, in the order written, with its default.
constexpr ini_key_def ini_keys[] = {
    {"About", "modem_version", INI_TEXT, ""},
    {"About", "efs_include", INI_DECIMAL, "0"},
    {"About", "bEFS", INI_DECIMAL, "1"},
    {"About", "bAppEFS", INI_DECIMAL, "0"},
    {"About", "efs_restore", INI_DECIMAL, "0"},
    {"About", "version_check", INI_DECIMAL, "1"},
    {"serial_ports", "diagnose", INI_TEXT, "/dev/ttyUSB0"},
    {"serial_ports", "at", INI_TEXT, "/dev/ttyUSB2"},
    {"BackupRestore_AT", "SN", INI_HEX, "0"},
    {"BackupRestore_AT", "IMEI", INI_HEX, "0"},
    {"BackupRestore_AT", "TESTINF", INI_HEX, "0"},
    {"BackupRestore_AT", "SIMLOCK", INI_TEXT, "0"},
    {"Band", "GSMBand", INI_HEX, "0"},
    {"Band", "UMTSBand", INI_HEX, "0"},
    {"Band", "LTEBand", INI_HEX, "0"},
};

// The modem step keeps at most 127 characters of a value.
constexpr size_t INI_VALUE_MAX = 127;

// The modem step's value filter drops every other character; a value that
// holds one would silently arrive changed.
bool survives_value_filter(const std::string &v)
{
    for (char c : v) {
        bool kept = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' ||
                    c == '=' || c == '.' || c == '/' || c == ',';
        if (!kept)
            return false;
    }
    return true;
}

imgpack_ini_key *find_key(imgpack_modem_desc *desc, const std::string &name)
{
    for (auto &k : desc->ini)
        if (name == k.name)
            return &k;
    return nullptr;
}

int set_key(imgpack_ini_key *key, const std::string &value, std::string *why)
{
    ini_form form = INI_TEXT;
    for (const auto &d : ini_keys)
        if (strcmp(d.name, key->name) == 0)
            form = d.form;
    if (form != INI_TEXT) {
        uint32_t n = 0;
        if (imgpack_parse_u32(value, &n) != 0) {
            *why = std::string(key->name) + " needs a number (decimal or 0x hex)";
            return -1;
        }
        char text[16];
        snprintf(text, sizeof text, form == INI_HEX ? "%lx" : "%lu", (unsigned long)n);
        key->value = text;
        return 0;
    }
    if (value.size() > INI_VALUE_MAX || !survives_value_filter(value)) {
        *why = std::string(key->name) + " value must be at most 127 letters, digits, '_', '=', '.', '/' or ','"
               " (the modem step drops other characters); write the INI yourself with \"ini PATH\"";
        return -1;
    }
    key->value = value;
    return 0;
}

std::string resolve(const std::string &base_dir, const std::string &path)
{
    return (path.empty() || path[0] == '/' || base_dir.empty()) ? path : base_dir + "/" + path;
}

// The container header and bad-container keywords: one number each.
int set_container_field(imgpack_modem_desc *desc, const std::vector<std::string> &w, std::string *why)
{
    const std::string &key = w[0];
    if (key == "checksum_order") {
        if (w.size() != 2 || (w[1] != "msb" && w[1] != "lsb")) {
            *why = "checksum_order needs msb or lsb";
            return -1;
        }
        desc->checksum_msb_first = w[1] == "msb";
        return 0;
    }
    uint32_t n = 0;
    if (w.size() != 2 || imgpack_parse_u32(w[1], &n) != 0) {
        *why = key + " needs one number";
        return -1;
    }
    if (key == "magic") {
        desc->magic = n;
    } else if (key == "declare_entries") {
        desc->declared_given = true;
        desc->declared_entries = n;
    } else if (key == "checksum") {
        desc->checksum_given = true;
        desc->checksum = n;
    } else {
        if (n > 3) {
            *why = "flip_checksum_byte needs a byte number 0 to 3";
            return -1;
        }
        desc->flip_checksum_byte = (int)n;
    }
    return 0;
}

} // namespace

const char *imgpack_modem_type_name(uint32_t type)
{
    return imgpack_word_name(modem_types, std::size(modem_types), type);
}

int imgpack_modem_parse_type(const std::string &word, uint32_t *type)
{
    return imgpack_word_parse(modem_types, std::size(modem_types), word, type);
}

void imgpack_modem_desc_init(imgpack_modem_desc *desc)
{
    *desc = imgpack_modem_desc{};
    for (const auto &d : ini_keys)
        desc->ini.push_back(imgpack_ini_key{d.zone, d.name, d.value, false});
}

int imgpack_parse_modem_description(const std::string &text, const std::string &base_dir,
                                    imgpack_modem_desc *desc, std::string *err)
{
    imgpack_modem_desc_init(desc);
    std::vector<imgpack_desc_line> lines;
    if (imgpack_desc_lines(text, &lines, err) != 0)
        return -1;
    for (const auto &l : lines) {
        int line_no = l.line;
        const std::vector<std::string> &w = l.words;
        std::string why;
        const std::string &key = w[0];
        if (imgpack_ini_key *k = find_key(desc, key)) {
            if (w.size() != 2 || set_key(k, w[1], &why) != 0) {
                *err = imgpack_line_error(line_no, why.empty() ? key + " needs one value" : why);
                return -1;
            }
            k->omitted = false;
        } else if (key == "omit") {
            imgpack_ini_key *o = w.size() == 2 ? find_key(desc, w[1]) : nullptr;
            if (o == nullptr) {
                *err = imgpack_line_error(line_no, "omit needs the name of an INI key");
                return -1;
            }
            o->omitted = true;
        } else if (key == "ini") {
            if (w.size() != 2) {
                *err = imgpack_line_error(line_no, "ini needs PATH");
                return -1;
            }
            desc->ini_path = resolve(base_dir, w[1]);
        } else if (key == "image") {
            imgpack_modem_image img;
            img.line = line_no;
            if (w.size() < 2 || w.size() > 3 || imgpack_modem_parse_type(w[1], &img.type) != 0) {
                *err = imgpack_line_error(line_no, "image needs TYPE PATH (TYPE: hex, partition, dbl, fsbl, osbl, "
                                                   "amss, dsp1, dsp2, efs, end or a number)");
                return -1;
            }
            if (w.size() == 2 && img.type != MODEM_TYPE_END) {
                *err = imgpack_line_error(line_no, "image " + w[1] + " needs a PATH");
                return -1;
            }
            if (w.size() == 3)
                img.path = resolve(base_dir, w[2]);
            desc->images.push_back(img);
        } else if (key == "magic" || key == "declare_entries" || key == "checksum" ||
                   key == "flip_checksum_byte" || key == "checksum_order") {
            if (set_container_field(desc, w, &why) != 0) {
                *err = imgpack_line_error(line_no, why);
                return -1;
            }
        } else {
            *err = imgpack_line_error(line_no, "unknown keyword \"" + key + "\"");
            return -1;
        }
    }
    if (desc->ini_path.empty()) {
        imgpack_ini_key *v = find_key(desc, "modem_version");
        if (!v->omitted && v->value.empty()) {
            *err = "container description: modem_version is required (or \"omit modem_version\")";
            return -1;
        }
    }
    if (desc->images.size() + 1 > MODEM_MAX_ENTRIES) {
        *err = "container description: " + std::to_string(desc->images.size() + 1) +
               " entries with the configuration; the modem step takes at most 15 (use declare_entries to "
               "declare more than there are)";
        return -1;
    }
    return 0;
}

std::string imgpack_modem_ini_text(const imgpack_modem_desc &desc)
{
    std::string out;
    const char *zone = "";
    for (const auto &k : desc.ini) {
        if (strcmp(zone, k.zone) != 0) {
            zone = k.zone;
            out += std::string("[") + zone + "]\n";
        }
        if (!k.omitted)
            out += std::string(k.name) + "=" + k.value + "\n";
    }
    return out;
}

uint32_t imgpack_modem_checksum(const uint8_t *after_header, uint32_t len)
{
    return Crc32_ComputeBuf(0xFFFFFFFFu, after_header, len);
}

int imgpack_build_modem_bytes(const imgpack_modem_desc &desc, std::vector<uint8_t> *container, std::string *err)
{
    std::vector<std::vector<uint8_t>> bodies;
    std::vector<uint32_t> types;
    bodies.emplace_back();
    types.push_back(0);       // entry 0, the configuration: its type is never read
    if (!desc.ini_path.empty()) {
        if (imgpack_read_file(desc.ini_path, &bodies[0], err) != 0)
            return -1;
    } else {
        std::string ini = imgpack_modem_ini_text(desc);
        bodies[0].assign(ini.begin(), ini.end());
    }
    for (const auto &img : desc.images) {
        bodies.emplace_back();
        types.push_back(img.type);
        if (!img.path.empty() && imgpack_read_file(img.path, &bodies.back(), err) != 0) {
            *err = "container line " + std::to_string(img.line) + ": " + *err;
            return -1;
        }
    }
    uint64_t total = MODEM_HEAD_SIZE + (uint64_t)MODEM_HEAD_SIZE * bodies.size();
    for (const auto &b : bodies)
        total += b.size();
    if (total > 0x7FFFFFFF) {
        *err = "modem container would exceed 2 GiB";
        return -1;
    }
    container->assign((size_t)total, 0);
    uint8_t *p = container->data();
    size_t body_at = MODEM_HEAD_SIZE + MODEM_HEAD_SIZE * bodies.size();
    for (size_t i = 0; i < bodies.size(); ++i) {
        uint8_t *entry = p + MODEM_HEAD_SIZE + MODEM_HEAD_SIZE * i;
        put_be32(entry, types[i]);
        put_be32(entry + 12, (uint32_t)bodies[i].size());
        if (!bodies[i].empty())
            memcpy(p + body_at, bodies[i].data(), bodies[i].size());
        body_at += bodies[i].size();
    }
    put_be32(p, desc.magic);
    put_be32(p + 4, desc.declared_given ? desc.declared_entries : (uint32_t)bodies.size());
    put_be32(p + 12, (uint32_t)total);
    uint32_t sum = desc.checksum_given ? desc.checksum
                                       : imgpack_modem_checksum(p + MODEM_HEAD_SIZE, (uint32_t)total - MODEM_HEAD_SIZE);
    if (desc.checksum_msb_first)
        put_be32(p + 8, sum);
    else
        put_le32(p + 8, sum);
    if (desc.flip_checksum_byte >= 0)
        p[8 + desc.flip_checksum_byte] ^= 0xFF;
    return 0;
}

int imgpack_build_modem_file(const std::string &description, std::vector<uint8_t> *container, std::string *err)
{
    std::vector<uint8_t> text;
    if (imgpack_read_file(description, &text, err) != 0)
        return -1;
    imgpack_modem_desc desc;
    if (imgpack_parse_modem_description(std::string(text.begin(), text.end()), imgpack_base_dir(description), &desc,
                                        err) != 0) {
        *err = description + ": " + *err;
        return -1;
    }
    return imgpack_build_modem_bytes(desc, container, err);
}

int imgpack_build_modem(const char *output, const char *description)
{
    std::vector<uint8_t> container;
    std::string err;
    if (imgpack_build_modem_file(description, &container, &err) != 0 ||
        imgpack_write_output(output, container, &err) != 0) {
        fprintf(stderr, "imgpack: %s\n", err.c_str());
        return 1;
    }
    printf("imgpack: wrote modem container %s: %lu entries, %zu bytes\n", output,
           (unsigned long)get_be32(container.data() + 4), container.size());
    return 0;
}
