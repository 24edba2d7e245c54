// Fixed waits of the installation. nanosleep is what the simulated router's
// time scale shortens, so every wait goes through it.
#pragma once

void up_sleep_ms(unsigned ms);
