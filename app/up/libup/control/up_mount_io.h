// The mount test against a given mount table, so tests can feed their own.
#pragma once

#include <cstdint>

// 0 when some line of the mount table at mounts_path contains folder.
int up_check_mount_in(const char *mounts_path, const char *folder);
