// A scratch folder under /tmp for one test, removed with everything in it
// when the object goes away. Its name starts with the test program's, so a
// folder left behind tells whose it was.
#pragma once

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

struct scratch_dir {
    std::string path;
    bool keep = false;       // set to leave the folder for a look after the test

    scratch_dir()
    {
        std::string tmpl = std::string("/tmp/") + program_invocation_short_name + "_XXXXXX";
        if (mkdtemp(&tmpl[0]) == nullptr)
            abort();
        path = tmpl;
    }
    ~scratch_dir()
    {
        if (keep)
            return;
        std::string cmd = "rm -rf '" + path + "'";   // path made by mkdtemp above
        if (system(cmd.c_str()) != 0)
            fprintf(stderr, "could not remove %s\n", path.c_str());
    }
    scratch_dir(const scratch_dir &) = delete;
    scratch_dir &operator=(const scratch_dir &) = delete;

    std::string operator/(const std::string &name) const { return path + "/" + name; }
};
