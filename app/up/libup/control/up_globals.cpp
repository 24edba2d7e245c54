// Program-wide counters shared by start-up, the package readers, the driver
// and the progress report.
#include "up_api.h"

char image_name[128];
uint32_t whole_packlen;
uint32_t had_write;
