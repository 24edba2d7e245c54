// Fixed waits of the installation. nanosleep is what the simulated router's
// time scale shortens, so every wait goes through it.
#pragma once

// Sleeps ms milliseconds, adds them to the run's wait total and logs the
// total so far at debug level ("required waits so far: N ms"): the last such
// line of a run is the whole required waiting, which the upgrade benchmark
// subtracts from the wall time to find the tool's own cost.
void up_sleep_ms(unsigned ms);
