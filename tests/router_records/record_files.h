// Scratch folders and small file helpers for the record tests.
#pragma once

#include <cstdlib>
#include <fstream>
#include <string>

#include "scratch_dir.h"
#include "test_files.h"

using testkit::exists;
using testkit::read_text;
using testkit::write_text;

inline void make_dirs(const std::string &path)
{
    if (system(("mkdir -p '" + path + "'").c_str()) != 0)
        abort();
}
