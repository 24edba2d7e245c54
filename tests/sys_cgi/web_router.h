// A simulated router serving the CGI programs with lighttpd, for tests that
// talk to it over HTTP (curl, a browser). The server runs inside the router
// (routersim run --host-net), so /2ndfile, /tmp and the configuration store
// are the router's; the router's /tmp is a host folder the test can look at.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

#include "simharness.h"

class web_router {
public:
    web_router();
    ~web_router();
    web_router(const web_router &) = delete;
    web_router &operator=(const web_router &) = delete;

    // Starts lighttpd in the router on a free port of 127.0.0.1 and waits
    // until it accepts connections. False (with the reason on stderr) if not.
    bool start();
    // Ends the router run; true when routersim recorded it as stopped.
    bool stop();

    int port() const { return port_; }
    std::string url(const std::string &path) const;
    // Host paths of a file in the router's /tmp and in its /2ndfile.
    std::string tmp_path(const std::string &name) const { return tmp_dir_ + "/" + name; }
    std::string second_fs_path(const std::string &rel) const { return router_.state() + "/2ndfile/" + rel; }
    simharness::sim_router &router() { return router_; }

    // Runs one command in the router (no server) with extra environment and
    // the given file as standard input; returns routersim's exit code.
    int run_once(const std::vector<std::string> &command, const std::vector<std::string> &env,
                 const std::string &stdin_path);

private:
    simharness::sim_router router_;
    std::string tmp_dir_;
    int port_ = 0;
    pid_t server_ = -1;
};

// The answer to one curl request: curl's exit code, the response head and body.
struct http_answer {
    int rc = -1;
    std::string head;
    std::string body;
};
http_answer curl(const std::vector<std::string> &args);
