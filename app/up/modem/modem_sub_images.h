// The handlers of the container's sub-images. Each takes the diagnostic
// port path and where the entry's body lies in the package, and returns 0,
// or -1 on failure.
#pragma once

#include "modem_container.h"

int up_modem_sub_hex(const char *diagport, const package_span &img);
int up_modem_sub_partition(const char *diagport, const package_span &img);
int up_modem_sub_Dbl(const char *diagport, const package_span &img);
// Stores the fail-safe boot loader on the router ("/2ndfile/fsbl.mbn");
// nothing goes to the modem.
int up_modem_sub_Fbl(const char *diagport, const package_span &img);
int up_modem_sub_Osbl(const char *diagport, const package_span &img);
int up_modem_sub_Amsmim(const char *diagport, const package_span &img);
int up_modem_sub_Dsp1(const char *diagport, const package_span &img);
int up_modem_sub_Dsp2(const char *diagport, const package_span &img);
// Sends the EFS and resets the programmer when the configuration includes an
// EFS; otherwise reads the body past and counts it as installed.
int up_modem_sub_Efs(const char *diagport, const package_span &img);
