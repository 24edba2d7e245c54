// Runs a fuzz target over files and folders of inputs once each, without the
// fuzzing engine: the seed corpora replay as ordinary tests in every build
// (g++, clang, under the sanitizers). Exits 0 when every input ran through;
// a failed check or a sanitizer report aborts.
#include <cstdint>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <memory>
#include <vector>

#include "up_fd.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {

bool run_file(const std::string &path)
{
    unique_fd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    struct stat st {};
    if (!fd.ok() || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        fprintf(stderr, "cannot read %s\n", path.c_str());
        return false;
    }
    std::vector<uint8_t> data((size_t)st.st_size);
    if (read_full(fd.get(), data.data(), data.size()) != (ssize_t)data.size()) {
        fprintf(stderr, "short read of %s\n", path.c_str());
        return false;
    }
    // A copy of exactly the input's size, so an overread past it is caught.
    std::unique_ptr<uint8_t[]> exact(new uint8_t[data.size() ? data.size() : 1]);
    std::copy(data.begin(), data.end(), exact.get());
    LLVMFuzzerTestOneInput(exact.get(), data.size());
    return true;
}

// Files of a folder in name order, so a run is repeatable.
bool list_folder(const std::string &dir, std::vector<std::string> *out)
{
    DIR *d = opendir(dir.c_str());
    if (d == nullptr)
        return false;
    while (struct dirent *e = readdir(d)) {
        if (e->d_name[0] != '.')
            out->push_back(dir + "/" + e->d_name);
    }
    closedir(d);
    std::sort(out->begin(), out->end());
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    size_t ran = 0;
    for (int i = 1; i < argc; i++) {
        std::vector<std::string> files;
        if (!list_folder(argv[i], &files))
            files.push_back(argv[i]);
        for (const std::string &f : files) {
            if (!run_file(f))
                return 1;
            ran++;
        }
    }
    printf("replayed %zu inputs\n", ran);
    return ran > 0 ? 0 : 1;
}
