// cgi_page_relay PROGRAM: the test web server's handler for the CGI programs.
// It runs PROGRAM with the request's environment and body and passes its
// output on byte for byte. A page without header lines of its own (it begins
// with "<") gets a "Content-Type: text/html" header in front, as the router's
// web server gives it; output that begins with its own header lines (the log
// download) is passed on untouched.
//
// Why: lighttpd 1.4.69 answers such a page, when it holds no line end, at
// random with its own "500 Internal Server Error" instead.
#include <cstdio>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include "up_fd.h"

int main(int argc, char **argv)
{
    if (argc != 2)
        return 2;
    int out[2];
    if (pipe(out) != 0)
        return 2;
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        close(out[0]);
        close(out[1]);
        execl(argv[1], argv[1], (char *)nullptr);
        _exit(127);
    }
    close(out[1]);
    std::string bytes;
    char buf[65536];
    ssize_t n;
    while ((n = read_full(out[0], buf, sizeof buf)) > 0)
        bytes.append(buf, (size_t)n);
    close(out[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (!bytes.empty() && bytes[0] == '<') {
        static const char head[] = "Content-Type: text/html\r\n\r\n";
        (void)write_full(1, head, sizeof head - 1);
    }
    (void)write_full(1, bytes.data(), bytes.size());
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}
