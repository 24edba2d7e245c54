// Fuzz target: the configuration upload of settings_restore, a multipart
// form body. The first line of the input (up to its first '\n', at most 24
// characters) is the CONTENT_LENGTH text; the rest is the body on the
// program's standard input. The body is walked as the program walks it:
// lines up to the file part's header, the part's headers up to the blank
// line, then the file's text in chunks, each cut where the configuration
// text ends; never past the declared length. The request checks of
// same_site_path run on the first line as well.
#include <climits>
#include <cstring>
#include <string>

#include "cgi_common.h"
#include "fuzz_check.h"
#include "upload_parts.h"

namespace {

constexpr long POST_MAX = 102400;

size_t line_room(long remaining)
{
    return remaining + 1 < (long)QUERY_BUFFER_SIZE ? (size_t)remaining + 1 : QUERY_BUFFER_SIZE;
}

// One line as the program reads it; checks what the reader promises.
size_t read_line(FILE *in, long remaining)
{
    size_t cap = line_room(remaining);
    size_t n = read_upload_line(in, queryBuffer, cap);
    FUZZ_CHECK(n < cap && queryBuffer[n] == '\0');
    FUZZ_CHECK(n == 0 || queryBuffer[n - 1] == '\n' || n == cap - 1 || feof(in));
    return n;
}

void walk_body(FILE *in, long remaining)
{
    bool found = false;
    while (remaining > 0) {
        size_t n = read_line(in, remaining);
        if (n == 0)
            return;
        remaining -= (long)n;
        if (is_file_part_line(queryBuffer, n)) {
            found = true;
            break;
        }
    }
    if (!found)
        return;
    while (remaining > 0) {
        size_t n = read_line(in, remaining);
        if (n == 0)
            return;
        remaining -= (long)n;
        bool blank = is_blank_line(queryBuffer, n);
        FUZZ_CHECK(blank == (strcmp(queryBuffer, "\n") == 0 || strcmp(queryBuffer, "\r\n") == 0));
        if (blank)
            break;
    }
    while (remaining > 0) {
        size_t want = remaining < (long)QUERY_BUFFER_SIZE ? (size_t)remaining : QUERY_BUFFER_SIZE;
        size_t got = fread(queryBuffer, 1, want, in);
        if (got == 0)
            return;
        remaining -= (long)got;
        size_t keep = config_text_length(queryBuffer, got);
        FUZZ_CHECK(keep <= got);
        // The kept text holds no line end pair, and ends at one, at "---"
        // or at the chunk's end.
        for (size_t i = 0; i + 1 < keep; i++)
            FUZZ_CHECK(!(queryBuffer[i] == '\r' && queryBuffer[i + 1] == '\n'));
        FUZZ_CHECK(keep == got || queryBuffer[keep] == '\r' || queryBuffer[keep] == '-');
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const uint8_t *nl = static_cast<const uint8_t *>(memchr(data, '\n', size < 25 ? size : 25));
    if (nl == nullptr)
        return 0;
    std::string length_text(reinterpret_cast<const char *>(data), (size_t)(nl - data));
    const uint8_t *body = nl + 1;
    size_t body_len = size - (size_t)(body - data);

    same_site_path(length_text.c_str());
    long remaining = parse_content_length(length_text.c_str(), INT_MAX);
    FUZZ_CHECK(remaining >= -1 && remaining <= INT_MAX);
    if (remaining < 0 || remaining > POST_MAX)
        return 0;

    if (body_len == 0)
        return 0;
    FILE *in = fmemopen(const_cast<uint8_t *>(body), body_len, "r");
    FUZZ_CHECK(in != nullptr);
    memset(queryBuffer, 0, QUERY_BUFFER_SIZE);
    walk_body(in, remaining);
    fclose(in);
    return 0;
}
