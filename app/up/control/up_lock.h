// One upgrade at a time: every action that writes flash or talks to the
// modem first takes an exclusive lock on a file in a folder of root's. The
// kernel drops the lock when the process ends, however it ends (a power cut
// ends the whole router), so a lock is never left behind.
#pragma once

// The lock folder and file. /var/run is a tmpfs of root's, mode 0755: an
// unprivileged user can neither make the folder nor put anything in it.
#define UP_LOCK_DIR "/var/run/imgrenew"
#define UP_LOCK_NAME "lock"

// The exit status of a run refused because another one holds the lock (or
// the lock cannot be trusted): nothing was done.
constexpr int UP_EXIT_LOCKED = 1;

enum up_lock_result {
    UP_LOCK_TAKEN,      // held until the process ends
    UP_LOCK_BUSY,       // another process holds it
    UP_LOCK_UNSAFE,     // the folder or the file is not one of ours (a link, another owner, writable by others)
    UP_LOCK_ERROR,      // the folder or the file cannot be made or opened
};

// Takes the lock dir/name without waiting. The folder is made (mode 0755)
// when missing; the file is made (mode 0600) when missing. Neither is
// followed through a link, and each must belong to the effective user and be
// writable by nobody else. On UP_LOCK_TAKEN the descriptor stays open,
// close-on-exec, until the process ends. *why gets a short reason for the
// other results (static text).
up_lock_result up_lock_take(const char *dir, const char *name, const char **why);
