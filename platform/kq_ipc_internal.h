// Hooks of the bus stand-in for tests that run outside the simulated router.
#pragma once

// Moves the endpoint directory (default "/var/run/kqipc"); null restores it.
void ipc_set_socket_dir(const char *dir);
