// Multipart pieces of the configuration upload.
#include "upload_parts.h"

#include <cstring>
#include <strings.h>

namespace {

const char FILE_PART_PREFIX[] = "Content-Disposition:";
const char FILE_FIELD[] = "name=\"ipt_file_import\"";

}  // namespace

size_t read_upload_line(FILE *in, char *buf, size_t cap)
{
    if (cap == 0)
        return 0;
    size_t n = 0;
    while (n + 1 < cap) {
        int c = getc(in);
        if (c == EOF)
            break;
        buf[n++] = (char)c;
        if (c == '\n')
            break;
    }
    buf[n] = '\0';
    return n;
}

bool is_file_part_line(const char *line, size_t len)
{
    size_t prefix = sizeof FILE_PART_PREFIX - 1;
    return len >= prefix && strncasecmp(line, FILE_PART_PREFIX, prefix) == 0 &&
           memmem(line, len, FILE_FIELD, sizeof FILE_FIELD - 1) != nullptr;
}

bool is_blank_line(const char *line, size_t len)
{
    return (len == 1 && line[0] == '\n') || (len == 2 && line[0] == '\r' && line[1] == '\n');
}

size_t config_text_length(const char *chunk, size_t len)
{
    if (const void *crlf = memmem(chunk, len, "\r\n", 2))
        return (size_t)(static_cast<const char *>(crlf) - chunk);
    if (const void *dashes = memmem(chunk, len, "---", 3))
        return (size_t)(static_cast<const char *>(dashes) - chunk);
    return len;
}
