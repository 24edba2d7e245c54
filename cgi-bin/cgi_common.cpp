// Shared pieces of the CGI programs.
#include "cgi_common.h"

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "kq_log.h"
#include "up_fd.h"

char queryBuffer[QUERY_BUFFER_SIZE];

namespace {

constexpr const char CGI_DEBUG_PATH[] = "/tmp/cgidebug";
constexpr size_t WEBPAGE_MAX = 255;

bool is_path_char(unsigned char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           strchr("/._-~?=&%#+,", c) != nullptr;
}

}  // namespace

void cgi_debug(const char *format, ...)
{
    // Appending as root into world-writable /tmp: never through a link.
    unique_fd fd(open(CGI_DEBUG_PATH, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600));
    if (!fd.ok())
        return;
    struct stat st;
    if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
        return;
    char text[1024];
    va_list ap;
    va_start(ap, format);
    int n = log_vformat(text, sizeof text, format, ap);
    va_end(ap);
    if (n > 0)
        (void)write_full(fd.get(), text, (size_t)n);
}

void put_piece(const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    vprintf(format, ap);
    va_end(ap);
    fflush(stdout);
}

long parse_content_length(const char *text, long limit)
{
    if (text == nullptr)
        return 0;
    if (*text < '0' || *text > '9')
        return -1;          // empty, signed or blank-led text
    char *end = nullptr;
    errno = 0;
    unsigned long long v = strtoull(text, &end, 10);
    if (errno != 0 || *end != '\0' || v > (unsigned long long)limit)
        return -1;
    return (long)v;
}

bool same_site_path(const char *path)
{
    if (path == nullptr || path[0] != '/' || path[1] == '/')
        return false;
    size_t len = strnlen(path, WEBPAGE_MAX + 1);
    if (len > WEBPAGE_MAX)
        return false;
    for (size_t i = 0; i < len; ++i)
        if (!is_path_char((unsigned char)path[i]))
            return false;
    return true;
}

FILE *create_tmp_file(const char *path)
{
    // Whatever is there (a link planted by someone else included) goes; the
    // exclusive create then fails rather than follow one made in between.
    remove_tmp_file(path);
    int fd = open(path, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return nullptr;
    FILE *f = fdopen(fd, "w+");
    if (f == nullptr)
        close(fd);
    return f;
}

int touch_tmp_file(const char *path)
{
    unique_fd fd(open(path, O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0644));
    if (!fd.ok())
        return -1;
    return futimens(fd.get(), nullptr);
}

void remove_tmp_file(const char *path)
{
    struct stat st;
    if (lstat(path, &st) == 0)
        unlink(path);
}
