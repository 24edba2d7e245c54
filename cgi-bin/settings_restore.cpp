// settings_restore: imports a configuration file uploaded from the settings
// page into the configuration store and sends the browser to the reboot page,
// marked as success or failure.
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cgi_common.h"
#include "kq_nv.h"
#include "upload_parts.h"

namespace {

constexpr const char LANGUAGE_FILE[] = "/tmp/language_tmp.txt";
constexpr const char UPLOAD_FILE[] = "/tmp/tmp_cfg";
constexpr const char POST_ERROR_FILE[] = "/tmp/post.err";
constexpr long POST_MAX = 102400;
constexpr int LANGUAGE_SIZE = 10;

// Lines are read in pieces of at most 65535 characters, and never past the
// bytes the request declared.
size_t line_room(long remaining)
{
    return remaining + 1 < (long)QUERY_BUFFER_SIZE ? (size_t)remaining + 1 : QUERY_BUFFER_SIZE;
}

void write_page(bool success)
{
    put_piece("<html>");
    put_piece(apply_header);
    put_piece("></p></p>");
    put_piece("<script>\n");
    if (success)
        put_piece("window.parent.location='../reboot.html?id=reboot&reason=import_success';\n");
    else
        put_piece("window.parent.location='../reboot.html?id=import_failed&reason=import_failed';\n");
    put_piece("</script>\n");
    put_piece("</html>");
}

// The upload could not be read: the rest of the body is discarded so that
// the web server is not left writing into a closed pipe, and the marker file
// tells so.
int fail_upload()
{
    while (fread(queryBuffer, 1, QUERY_BUFFER_SIZE, stdin) > 0) {
    }
    touch_tmp_file(POST_ERROR_FILE);
    write_page(false);
    return 0;
}

// Reads lines until the file part's header; false when the body ends first.
bool find_file_part(long *remaining)
{
    while (*remaining > 0) {
        size_t n = read_upload_line(stdin, queryBuffer, line_room(*remaining));
        if (n == 0)
            return false;
        *remaining -= (long)n;
        if (is_file_part_line(queryBuffer, n))
            break;
    }
    return true;
}

bool skip_part_headers(long *remaining)
{
    while (*remaining > 0) {
        size_t n = read_upload_line(stdin, queryBuffer, line_room(*remaining));
        if (n == 0) {
            cgi_debug("The file has some error!");
            return false;
        }
        *remaining -= (long)n;
        if (is_blank_line(queryBuffer, n))
            break;
    }
    return true;
}

// Copies the file's text (up to its closing line end) into out. False when
// the body ends before its declared length: the upload was cut short, and a
// cut configuration must not reach the store.
bool copy_config_text(long remaining, FILE *out)
{
    while (remaining > 0) {
        size_t want = remaining < (long)QUERY_BUFFER_SIZE ? (size_t)remaining : QUERY_BUFFER_SIZE;
        size_t got = fread(queryBuffer, 1, want, stdin);
        if (got == 0)
            return false;
        remaining -= (long)got;
        fwrite(queryBuffer, 1, config_text_length(queryBuffer, got), out);
    }
    return true;
}

}  // namespace

void creat_language_file()
{
    FILE *f = create_tmp_file(LANGUAGE_FILE);
    char language[LANGUAGE_SIZE];
    memset(language, 0, sizeof language);
    nvm_readnv("web_language_select", language, LANGUAGE_SIZE);
    if (f != nullptr) {
        fputs(language, f);
        fclose(f);
    }
}

void del_language_file()
{
    remove_tmp_file(LANGUAGE_FILE);
}

int main()
{
    creat_language_file();
    long remaining = parse_content_length(getenv("CONTENT_LENGTH"), INT_MAX);
    memset(queryBuffer, 0, sizeof queryBuffer);
    if (remaining < 0) {
        cgi_debug("post data len is not a length\n");
        del_language_file();
        return fail_upload();
    }
    cgi_debug("post data len=%d\n", (int)remaining);
    if (remaining > POST_MAX) {
        cgi_debug("post data len too big\n");
        del_language_file();
        return fail_upload();
    }
    if (!find_file_part(&remaining) || !skip_part_headers(&remaining)) {
        del_language_file();
        return fail_upload();
    }
    FILE *out = create_tmp_file(UPLOAD_FILE);
    if (out == nullptr) {
        del_language_file();
        return fail_upload();
    }
    bool complete = copy_config_text(remaining, out);
    bool written = fclose(out) == 0;
    if (!complete) {
        cgi_debug("The file has some error!");
        del_language_file();
        return fail_upload();
    }
    if (!written || nvm_import(UPLOAD_FILE, 2, 1, 1) != 0) {
        del_language_file();
        write_page(false);
        return 0;
    }
    remove_tmp_file(UPLOAD_FILE);
    write_page(true);
    return 0;
}
