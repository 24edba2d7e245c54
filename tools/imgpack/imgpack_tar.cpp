// Packing a directory as a bzip2-compressed tar archive. tar is started with
// an argument vector, never through a shell, so folder names are only data.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "imgpack.h"
#include "up_fd.h"

namespace {

int read_whole_file(int fd, std::vector<uint8_t> *out)
{
    struct stat st;
    if (fstat(fd, &st) != 0)
        return -1;
    out->resize((size_t)st.st_size);
    if (lseek(fd, 0, SEEK_SET) < 0)
        return -1;
    return read_full(fd, out->data(), out->size()) == (ssize_t)out->size() ? 0 : -1;
}

} // namespace

int imgpack_tar_directory(const std::string &dir, std::vector<uint8_t> *archive, std::string *err)
{
    struct stat st;
    if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        *err = dir + ": not a directory";
        return -1;
    }
    const char *tmpdir = getenv("TMPDIR");
    std::string tmpl = std::string(tmpdir && *tmpdir ? tmpdir : "/tmp") + "/imgpack_XXXXXX";
    std::vector<char> path(tmpl.begin(), tmpl.end());
    path.push_back('\0');
    unique_fd fd(mkstemp(path.data()));
    if (!fd.ok()) {
        *err = std::string("cannot create a temporary file: ") + strerror(errno);
        return -1;
    }

    // Entries are named "./..." relative to the folder and sorted, with
    // numeric root ownership, so the same tree gives the same archive list.
    const char *argv[] = {"tar", "-cjf", path.data(), "--sort=name", "--owner=0", "--group=0",
                          "--numeric-owner", "-C", dir.c_str(), ".", nullptr};
    fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0) {
        unlink(path.data());
        *err = std::string("fork: ") + strerror(errno);
        return -1;
    }
    if (pid == 0) {
        execvp("tar", const_cast<char *const *>(argv));
        _exit(127);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            unlink(path.data());
            *err = std::string("waitpid: ") + strerror(errno);
            return -1;
        }
    }
    int rc = -1;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        *err = "tar failed packing " + dir;
    else if (read_whole_file(fd.get(), archive) != 0)
        *err = "cannot read the archive of " + dir;
    else
        rc = 0;
    unlink(path.data());
    return rc;
}
