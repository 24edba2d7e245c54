// A sanitized build's programs inside the simulated router: the runtime the
// product was linked against and the sanitizer options, carried into the
// sandbox (whose environment starts empty).
#pragma once

#include <string>
#include <vector>

// The path of the AddressSanitizer runtime this process was loaded with, or
// "" when it has none (an ordinary build, or a runtime linked statically).
// Every process of the router preloads the flash hooks and libfaketime; the
// runtime must come before them, or ASan refuses to start.
std::string sanitizer_runtime_path(void);

// NAME=VALUE for the sanitizer options to set inside the sandbox: this
// process's ASAN_OPTIONS, UBSAN_OPTIONS and LSAN_OPTIONS, with defaults that
// show a report's stack and keep host programs (which also get the runtime
// through the preload) from failing on leaks of their own. Empty when the
// runtime is not in use.
std::vector<std::string> sanitizer_environment(void);
