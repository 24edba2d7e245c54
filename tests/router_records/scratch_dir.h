// A scratch folder per test, removed with everything in it when the test ends.
#pragma once

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>

struct scratch_dir {
    std::string path;
    scratch_dir()
    {
        char tmpl[] = "/tmp/router_records_XXXXXX";
        if (mkdtemp(tmpl) == nullptr)
            abort();
        path = tmpl;
    }
    ~scratch_dir() { (void)!system(("rm -rf '" + path + "'").c_str()); }
    std::string operator/(const std::string &name) const { return path + "/" + name; }
};

inline void write_text(const std::string &path, const std::string &text)
{
    std::ofstream(path, std::ios::binary) << text;
}

inline std::string read_text(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

inline bool exists(const std::string &path)
{
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

inline void make_dirs(const std::string &path)
{
    if (system(("mkdir -p '" + path + "'").c_str()) != 0)
        abort();
}
