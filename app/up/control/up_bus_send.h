// Sends one asynchronous message on the platform bus, the way the progress
// report and the reboot request both do.
#pragma once

#include <cstdint>

// Looks up module's address, fills a fresh message block with msg_id and the
// payload, sends it without waiting and returns the block. 0 when sent; -1
// (logged at error level) when the look-up, the block or the send failed.
int up_send_asy_msg(int module, uint32_t msg_id, const void *payload, uint32_t payload_length);
