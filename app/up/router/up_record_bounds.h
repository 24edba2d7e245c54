// Checks that a record's bytes really can be read from the package before
// anything is erased for it: a partition erased for a record that cannot be
// read back is a router that does not boot.
#pragma once

#include "up_package.h"

// The record lies within the package (up_check_record_in_package), and one
// pass reads every byte of it, so that a short or failing read is found
// before the erase. 0 or -1 (logged). The file position is left undefined:
// callers seek before they read again.
int up_check_record_readable(int fd, const package_record_t *rec);
