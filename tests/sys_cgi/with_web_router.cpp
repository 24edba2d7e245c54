// with_web_router COMMAND ARGS: runs COMMAND on the host while a simulated
// router serves the CGI programs with lighttpd. COMMAND finds the server in
// WEB_URL (http://127.0.0.1:PORT), the router's state folder in WEB_STATE and
// the host folder that is the router's /tmp in WEB_TMP. Exits with COMMAND's
// status, or 2 when the server could not be started or stopped.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "web_router.h"

int main(int argc, char **argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: with_web_router COMMAND ARGS\n");
        return 2;
    }
    web_router web;
    if (!web.start())
        return 2;
    std::string url = web.url("");
    std::vector<std::string> env = {"WEB_URL=" + url, "WEB_STATE=" + web.router().state(),
                                    "WEB_TMP=" + web.tmp_path("").substr(0, web.tmp_path("").size() - 1)};
    std::vector<std::string> command(argv + 1, argv + argc);
    int rc = simharness::run_program(command, env);
    if (!web.stop()) {
        fprintf(stderr, "with_web_router: the router run did not end as stopped\n");
        return 2;
    }
    return rc;
}
