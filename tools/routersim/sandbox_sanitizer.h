// A sanitized build's programs inside the simulated router: the sanitizer
// options, carried into the sandbox (whose environment starts empty).
#pragma once

#include <string>
#include <vector>

// True when this routersim, and so the build's programs, were built with
// AddressSanitizer.
bool sanitized_build(void);

// NAME=VALUE for the sanitizer options to set inside the sandbox: this
// process's ASAN_OPTIONS, UBSAN_OPTIONS and LSAN_OPTIONS after defaults of
// the router's own. Empty in an ordinary build.
//
// Every process of the router preloads the flash hooks and libfaketime, so a
// sanitized program finds its runtime after them, which ASan refuses unless
// told otherwise. Putting the runtime first in the preload instead would load
// it into every shell and tool of the router as well, and in front of
// libfaketime it takes the sleeps away from the time scale (a scaled
// `sleep 10` never ends). The flash hooks are built without the sanitizers
// for the same reason (top-level CMakeLists.txt).
std::vector<std::string> sanitizer_environment(void);
