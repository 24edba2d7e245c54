// Reading the multipart upload of settings_restore. Every search looks only
// at the bytes actually received, whatever else the buffer holds.
#pragma once

#include <cstddef>
#include <cstdio>

// Reads one line of at most cap - 1 bytes (ending after its '\n', or earlier
// at the end of input) into buf and terminates it. Returns the bytes read,
// which may include zero bytes; 0 when nothing could be read.
size_t read_upload_line(FILE *in, char *buf, size_t cap);

// True for the part header line of the file field: it begins with
// "Content-Disposition:" in any case and names "ipt_file_import" in quotes.
bool is_file_part_line(const char *line, size_t len);

// True for the empty line that ends a part's headers ("\n" or "\r\n").
bool is_blank_line(const char *line, size_t len);

// How many bytes of a received chunk belong to the configuration text: those
// before the first "\r\n", else those before the first "---", else all.
size_t config_text_length(const char *chunk, size_t len);
