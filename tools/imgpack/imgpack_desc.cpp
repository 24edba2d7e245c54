// The description of a package: header fields and one record per line.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <sstream>

#include "imgpack.h"
#include "up_extract.h"

namespace {

constexpr imgpack_word type_words[] = {
    {"version", PACKAGE_VERSION},   {"bootloader", PACKAGE_BOOTLOADER},
    {"kernel", PACKAGE_KERNEL},     {"rootfs", PACKAGE_ROOTFS},
    {"2ndfs", PACKAGE_2NDFS},       {"boot_image", PACKAGE_BOOT_IMAGE},
    {"modem", PACKAGE_MODEM_IMAGE}, {"update_file", PACKAGE_UPDATE_FILE},
};

} // namespace

int imgpack_parse_u32(const std::string &word, uint32_t *value)
{
    if (word.empty() || word[0] == '-' || word[0] == '+')
        return -1;
    errno = 0;
    char *end = nullptr;
    unsigned long long v = strtoull(word.c_str(), &end, 0);
    if (errno != 0 || *end != '\0' || v > 0xFFFFFFFFull)
        return -1;
    *value = (uint32_t)v;
    return 0;
}

int imgpack_split_words(const std::string &line, std::vector<std::string> *words)
{
    size_t i = 0;
    while (i < line.size()) {
        if (line[i] == ' ' || line[i] == '\t') {
            ++i;
            continue;
        }
        if (line[i] == '#')
            break;
        if (line[i] == '"') {
            size_t close = line.find('"', i + 1);
            if (close == std::string::npos)
                return -1;
            words->push_back(line.substr(i + 1, close - i - 1));
            i = close + 1;
            continue;
        }
        size_t end = line.find_first_of(" \t", i);
        if (end == std::string::npos)
            end = line.size();
        words->push_back(line.substr(i, end - i));
        i = end;
    }
    return 0;
}

std::string imgpack_base_dir(const std::string &description_path)
{
    size_t slash = description_path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : description_path.substr(0, slash);
}

int imgpack_desc_lines(const std::string &text, std::vector<imgpack_desc_line> *lines, std::string *err)
{
    std::istringstream in(text);
    std::string line;
    int line_no = 0;
    while (std::getline(in, line)) {
        ++line_no;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        std::vector<std::string> w;
        if (imgpack_split_words(line, &w) != 0) {
            *err = imgpack_line_error(line_no, "unterminated quote");
            return -1;
        }
        if (!w.empty())
            lines->push_back(imgpack_desc_line{line_no, w});
    }
    return 0;
}

std::string imgpack_line_error(int line, const std::string &what)
{
    return "description line " + std::to_string(line) + ": " + what;
}

namespace {

// The name becomes a file under /tmp and a word of the installers' commands:
// the part before the first blank must pass the installer's own check.
int check_record_name(const std::string &name, std::string *why)
{
    if (name.size() > PACKAGE_NAME_SIZE) {
        *why = "record name longer than 64 bytes";
        return -1;
    }
    if (name.find('\0') != std::string::npos) {
        *why = "record name holds a NUL byte";
        return -1;
    }
    std::string file = name.substr(0, name.find(' '));
    if (!is_safe_record_name(file.c_str())) {
        *why = "record name \"" + file + "\" is not a safe file name (letters, digits, '.', '_', '-', '+')";
        return -1;
    }
    return 0;
}

} // namespace

const char *imgpack_word_name(const imgpack_word *table, size_t n, uint32_t value)
{
    for (size_t i = 0; i < n; ++i)
        if (table[i].value == value)
            return table[i].name;
    return nullptr;
}

int imgpack_word_parse(const imgpack_word *table, size_t n, const std::string &word, uint32_t *value)
{
    for (size_t i = 0; i < n; ++i) {
        if (word == table[i].name) {
            *value = table[i].value;
            return 0;
        }
    }
    return imgpack_parse_u32(word, value);
}

const char *imgpack_type_name(uint32_t record_id)
{
    const char *name = imgpack_word_name(type_words, std::size(type_words), record_id);
    return name ? name : "unknown";
}

int imgpack_parse_type(const std::string &word, uint32_t *record_id)
{
    return imgpack_word_parse(type_words, std::size(type_words), word, record_id);
}

int imgpack_parse_description(const std::string &text, const std::string &base_dir,
                              imgpack_desc *desc, std::string *err)
{
    std::vector<imgpack_desc_line> lines;
    if (imgpack_desc_lines(text, &lines, err) != 0)
        return -1;
    for (auto &l : lines) {
        int line_no = l.line;
        std::vector<std::string> &w = l.words;
        const std::string key = w[0];
        if (key == "modem") {
            // modem NAME CONTAINER_DESCRIPTION [COMPONENT_VERSION]: a modem
            // record whose container is built from its own description.
            if (w.size() != 3 && w.size() != 4) {
                *err = imgpack_line_error(line_no, "modem needs NAME CONTAINER_DESCRIPTION [COMPONENT_VERSION]");
                return -1;
            }
            w = {"record", "modem", w[1], "0", w[2], w.size() == 4 ? w[3] : "0"};
        }
        if (key == "record" || key == "modem") {
            if (w.size() != 5 && w.size() != 6) {
                *err = imgpack_line_error(line_no, "record needs TYPE NAME COMPRESSED PATH [COMPONENT_VERSION]");
                return -1;
            }
            imgpack_record_desc r;
            r.line = line_no;
            r.name = w[2];
            std::string why;
            if (imgpack_parse_type(w[1], &r.record_id) != 0) {
                *err = imgpack_line_error(line_no, "unknown record type \"" + w[1] + "\"");
                return -1;
            }
            if (check_record_name(r.name, &why) != 0) {
                *err = imgpack_line_error(line_no, why);
                return -1;
            }
            if (imgpack_parse_u32(w[3], &r.compressed) != 0) {
                *err = imgpack_line_error(line_no, "compressed flag must be a number");
                return -1;
            }
            if (w.size() == 6 && imgpack_parse_u32(w[5], &r.component_version) != 0) {
                *err = imgpack_line_error(line_no, "component version must be a number");
                return -1;
            }
            r.path = (w[4].empty() || w[4][0] == '/' || base_dir.empty()) ? w[4] : base_dir + "/" + w[4];
            r.container = key == "modem";
            desc->records.push_back(r);
            continue;
        }
        uint32_t *field = nullptr;
        if (key == "magic1")
            field = &desc->magic1;
        else if (key == "magic2")
            field = &desc->magic2;
        else if (key == "version")
            field = &desc->version;
        else if (key == "downgrade_enabled")
            field = &desc->downgrade_enabled;
        else if (key == "wholecrc")
            field = &desc->wholecrc;
        if (field == nullptr) {
            *err = imgpack_line_error(line_no, "unknown keyword \"" + key + "\"");
            return -1;
        }
        if (w.size() != 2 || imgpack_parse_u32(w[1], field) != 0) {
            *err = imgpack_line_error(line_no, key + " needs one number");
            return -1;
        }
        if (field == &desc->wholecrc)
            desc->wholecrc_given = true;
    }
    return 0;
}
