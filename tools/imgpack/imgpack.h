// imgpack: builds upgrade packages from a text description and inspects them.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "up_package.h"

// Records are placed after the table, each starting on this boundary.
constexpr uint32_t IMGPACK_ALIGN = 4;
// Where the state block sits in the package partition: a raw-loaded package
// must end before it.
constexpr uint64_t IMGPACK_STATE_BLOCK = 0x4200000;

struct imgpack_record_desc {
    uint32_t record_id = 0;
    std::string name;               // at most 64 bytes
    uint32_t compressed = 0;
    uint32_t component_version = 0;
    std::string path;               // resolved against the description's folder
    bool container = false;         // path is a modem container description to build
    int line = 0;
};

struct imgpack_desc {
    uint32_t magic1 = 0;
    uint32_t magic2 = 0;
    uint32_t version = 0;
    uint32_t downgrade_enabled = 0;
    bool wholecrc_given = false;
    uint32_t wholecrc = 0;
    std::vector<imgpack_record_desc> records;
};

// A word of a description and the number it stands for.
struct imgpack_word {
    const char *name;
    uint32_t value;
};
// The word of value in table, or nullptr.
const char *imgpack_word_name(const imgpack_word *table, size_t n, uint32_t value);
// A word of table or a number (decimal or 0x hex). 0 or -1.
int imgpack_word_parse(const imgpack_word *table, size_t n, const std::string &word, uint32_t *value);

// Description helpers shared by the package and the modem container.
int imgpack_parse_u32(const std::string &word, uint32_t *value);
// Splits a line into words; a word in double quotes may hold blanks; '#'
// starts a comment. 0, or -1 for an unterminated quote.
int imgpack_split_words(const std::string &line, std::vector<std::string> *words);
std::string imgpack_line_error(int line, const std::string &what);
// One non-empty line of a description: its number and its words.
struct imgpack_desc_line {
    int line;
    std::vector<std::string> words;
};
// Splits a description text into its non-empty lines. 0, or -1 with *err.
int imgpack_desc_lines(const std::string &text, std::vector<imgpack_desc_line> *lines, std::string *err);
// The folder a description's relative paths are taken from.
std::string imgpack_base_dir(const std::string &description_path);

// Record type names of the description and of inspect's listing.
const char *imgpack_type_name(uint32_t record_id);
// Parses a type word: a name above or a decimal/hex number. 0 or -1.
int imgpack_parse_type(const std::string &word, uint32_t *record_id);

// Parses the description text; relative data paths are taken from base_dir.
// 0, or -1 with a message naming the line in *err.
int imgpack_parse_description(const std::string &text, const std::string &base_dir,
                              imgpack_desc *desc, std::string *err);

// Packs dir's content as a bzip2-compressed tar archive (tar run directly,
// no shell). 0, or -1 with *err.
int imgpack_tar_directory(const std::string &dir, std::vector<uint8_t> *archive, std::string *err);

// Lays out the package bytes. Warnings (a record larger than its partition,
// a package reaching the state block) go to warn. 0, or -1 with *err.
int imgpack_build_bytes(const imgpack_desc &desc, std::vector<uint8_t> *package, std::string *err,
                        FILE *warn);

// imgpack build OUTPUT DESCRIPTION: 0 on success, 1 on failure (message on stderr).
int imgpack_build(const char *output, const char *description);

// Exit statuses of inspect: sound, imgrenew up refuses or fails it, a usage
// error, and a package it takes but that is damaged or will not install as
// the user expects (each with a "warning:" line).
constexpr int IMGPACK_INSPECT_OK = 0;
constexpr int IMGPACK_INSPECT_FAILS = 1;
constexpr int IMGPACK_USAGE = 2;
constexpr int IMGPACK_INSPECT_WARNING = 3;

// Lists header and records with what imgrenew up would do with each, to out.
// One of the IMGPACK_INSPECT_ statuses above.
int imgpack_inspect_bytes(const std::vector<uint8_t> &package, FILE *out);
int imgpack_inspect(const char *path, FILE *out);
