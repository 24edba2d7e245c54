// The router web server for the CGI system tests.
#include "web_router.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace {

// The CGI programs do not touch the flash: the smallest partitions will do.
const std::vector<std::string> SMALL_FLASH = {"--mtd", "0=128K", "--mtd", "1=128K", "--mtd", "2=128K",
                                              "--mtd", "3=128K", "--mtd", "4=128K", "--mtd", "5=128K",
                                              "--mtd", "6=128K"};

std::string make_temp_dir(const char *prefix)
{
    std::string tmpl = std::string("/tmp/") + prefix + "XXXXXX";
    return mkdtemp(&tmpl[0]) != nullptr ? tmpl : std::string();
}

int free_port()
{
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    int port = 0;
    if (s >= 0 && bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
        getsockname(s, reinterpret_cast<sockaddr *>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    if (s >= 0)
        close(s);
    return port;
}

bool port_open(int port)
{
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons((uint16_t)port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = s >= 0 && connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    if (s >= 0)
        close(s);
    return ok;
}

pid_t spawn(const std::vector<std::string> &argv, const std::string &stdin_path)
{
    std::vector<char *> args;
    for (const std::string &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, stdin_path.empty() ? "/dev/null" : stdin_path.c_str(), O_RDONLY, 0);
    pid_t pid = -1;
    int rc = posix_spawn(&pid, args[0], &fa, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    return rc == 0 ? pid : -1;
}

int wait_exit(pid_t pid)
{
    int status = 0;
    while (waitpid(pid, &status, 0) < 0)
        if (errno != EINTR)
            return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string server_config(int port)
{
    return "server.document-root = \"/2ndfile/webpage\"\n"
           "server.bind = \"127.0.0.1\"\n"
           "server.port = " + std::to_string(port) + "\n"
           "server.modules = (\"mod_alias\", \"mod_cgi\", \"mod_setenv\")\n"
           // lighttpd gives a CGI program a fresh environment: in a sanitized
           // build the program's runtime, loaded after the router's preloaded
           // libraries, needs the router's sanitizer options there too.
           "setenv.add-environment = (\"ASAN_OPTIONS\" => \"verify_asan_link_order=0:detect_leaks=0\")\n"
           "server.errorlog = \"/tmp/lighttpd-error.log\"\n"
           "server.upload-dirs = (\"/tmp\")\n"
           "alias.url = (\"/cgi-bin/settings_restore\" => \"/opt/routersim/bin/settings_restore\",\n"
           "             \"/cgi-bin/eventlog_admin\" => \"/opt/routersim/bin/eventlog_admin\")\n"
           "$HTTP[\"url\"] =~ \"^/cgi-bin/\" { cgi.assign = (\"\" => \"/opt/routersim/bin/cgi_page_relay\") }\n"
           "mimetype.assign = (\".html\" => \"text/html\", \".gif\" => \"image/gif\",\n"
           "                   \".png\" => \"image/png\")\n";
}

}  // namespace

web_router::web_router() : router_(SMALL_FLASH), tmp_dir_(make_temp_dir("cgitmp."))
{
}

web_router::~web_router()
{
    stop();
    if (!tmp_dir_.empty() && getenv("KEEP_STATE") == nullptr)
        simharness::run_program({"rm", "-rf", "--one-file-system", tmp_dir_});
}

bool web_router::start()
{
    if (!router_.ok() || tmp_dir_.empty())
        return false;
    port_ = free_port();
    std::string conf = server_config(port_);
    if (port_ == 0 || !simharness::write_file(tmp_path("lighttpd.conf"), {conf.begin(), conf.end()}))
        return false;
    server_ = spawn({simharness::bin_path("routersim"), "run", router_.state(), "--host-net", "--tmp-dir", tmp_dir_,
                     "--", "lighttpd", "-D", "-f", "/tmp/lighttpd.conf"},
                    "");
    // Starting a sandbox on a busy machine can take a while; a server that
    // fails ends routersim, which ends the wait at once.
    for (int i = 0; i < 600 && server_ > 0; ++i) {
        if (port_open(port_))
            return true;
        if (waitpid(server_, nullptr, WNOHANG) == server_) {
            server_ = -1;
            break;
        }
        usleep(50000);
    }
    fprintf(stderr, "web_router: lighttpd did not start: %s%s\n", router_.out("stderr").c_str(),
            simharness::read_file(tmp_path("lighttpd-error.log")).c_str());
    return false;
}

bool web_router::stop()
{
    if (server_ <= 0)
        return false;
    kill(server_, SIGTERM);
    wait_exit(server_);
    server_ = -1;
    return router_.status() == "stopped";
}

std::string web_router::url(const std::string &path) const
{
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

int web_router::run_once(const std::vector<std::string> &command, const std::vector<std::string> &env,
                         const std::string &stdin_path)
{
    std::vector<std::string> argv = {simharness::bin_path("routersim"), "run", router_.state(), "--tmp-dir", tmp_dir_,
                                     "--timeout", "30"};
    for (const std::string &kv : env)
        argv.insert(argv.end(), {"--env", kv});
    argv.push_back("--");
    argv.insert(argv.end(), command.begin(), command.end());
    pid_t pid = spawn(argv, stdin_path);
    return pid > 0 ? wait_exit(pid) : -1;
}

http_answer curl(const std::vector<std::string> &args)
{
    std::string dir = make_temp_dir("cgicurl.");
    std::vector<std::string> argv = {"curl", "-sS", "--max-time", "60", "-D", dir + "/head", "-o", dir + "/body"};
    argv.insert(argv.end(), args.begin(), args.end());
    http_answer a;
    a.rc = simharness::run_program(argv);
    a.head = simharness::read_file(dir + "/head");
    a.body = simharness::read_file(dir + "/body");
    simharness::run_program({"rm", "-rf", dir});
    return a;
}
