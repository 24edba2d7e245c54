// What the two CGI programs share: the request buffer, the debug trace, the
// page fragments, and the careful handling of request values and /tmp files.
#pragma once

#include <cstddef>
#include <cstdio>

// Request data is read through this one buffer (65536 bytes, cleared at start).
constexpr size_t QUERY_BUFFER_SIZE = 65536;
extern char queryBuffer[QUERY_BUFFER_SIZE];

// Page fragments. They are printf formats ("%%" prints one percent sign) and
// stay string literals so that every use is checked against its arguments.
#define apply_header "<head><title>Wireless Broadband Router</title></head><body bgcolor=white><p></p>"
#define apply_content                                                                                         \
    "<table border=0 cellpadding=0 cellspacing=0 height=250 width=100%%><table border=0 cellpadding=0 "     \
    "cellspacing=0 height=250 width=100%%><tr><td><div align=center><table border=0 cellpadding=5 "         \
    "cellspacing=1 width=80%%><tr><td align=center>\tPlease wait......</p><p><img "                          \
    "src=/images/progress.gif></p></td></tr></table></div></td></tr></table></td></tr></tbody></table></td>"
#define apply_footer "<br><script>  timer = setTimeout('location.replace(\"%s\")', %d) </script> </body>"
#define download_header                                                                                       \
    "Content-Disposition: attachment;filename=%s\r\nContent-Length: %ld\r\nConnection: close\r\n"          \
    "Content-type: application/download\r\n\r\n"

// Appends the formatted text to "/tmp/cgidebug"; writes nothing when the
// file cannot be opened (or is a link).
void cgi_debug(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Writes one piece of a page to standard output and flushes it.
void put_piece(const char *format, ...) __attribute__((format(printf, 1, 2)));

// CONTENT_LENGTH as a byte count: a missing variable is 0; text that is not
// a plain decimal number, a negative number or one above `limit` gives -1.
long parse_content_length(const char *text, long limit);

// True for a path of this site that is safe inside a script string: a
// leading "/" (but not "//", which names another host), then only letters,
// digits and / . _ - ~ ? = & % # + , at most 255 characters.
bool same_site_path(const char *path);

// /tmp is world-writable: these never follow a link that someone left at
// `path`. Creates `path` afresh (an old entry is removed first) for writing;
// returns a stream or null.
FILE *create_tmp_file(const char *path);
// Creates `path` empty if it is missing and stamps its times, like touch.
int touch_tmp_file(const char *path);
// Removes `path` when it exists (the link itself, never its target).
void remove_tmp_file(const char *path);
