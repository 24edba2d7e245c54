// Fuzz target: the check of the flash programmer's stream-write reply. The
// first 4 bytes are the address the write went to (little-endian), the next
// byte's low bit selects the loose check; the rest is what the port
// delivered. As the receiver does, the bytes are looked at after each byte
// received (is the reply complete?) and then checked as a whole, from a
// buffer of exactly their size so that any overread is caught.
#include <cstring>
#include <memory>

#include "fuzz_check.h"
#include "hdlc_frame.h"
#include "stream_reply.h"
#include "up_bytes.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 5)
        return 0;
    uint32_t write_addr = get_le32(data);
    bool loose = (data[4] & 1) != 0;
    const uint8_t *in = data + 5;
    size_t len = size - 5;
    // The receiver never holds more than one receive buffer.
    if (len > STREAM_REPLY_RX_SIZE)
        len = STREAM_REPLY_RX_SIZE;
    std::unique_ptr<uint8_t[]> rx(new uint8_t[len ? len : 1]);
    memcpy(rx.get(), in, len);

    size_t got = 0;
    while (got < len) {
        got++;
        if (stream_reply_complete(rx.get(), got))
            break;
    }

    uint8_t reply[STREAM_REPLY_RX_SIZE];
    bool closed = false;
    long frame = stream_reply_unstuff(rx.get(), got, reply, &closed);
    FUZZ_CHECK(frame >= 0 && (size_t)frame <= got);
    FUZZ_CHECK(frame == 0 || reply[0] == HDLC_FLAG);

    uint8_t out[STREAM_REPLY_LEN + 4];
    memset(out, 0xA5, sizeof out);
    long num = -1;
    int rc = stream_reply_check(rx.get(), got, write_addr, loose, out, &num);
    FUZZ_CHECK(num == frame);
    if (rc == 0) {
        FUZZ_CHECK(out[0] == HDLC_FLAG && out[1] == 0x08);
        FUZZ_CHECK(loose ? out[2] == 0x00 : get_le32(out + 2) == write_addr);
        // Nothing past the 9 reply bytes is touched.
        for (size_t i = STREAM_REPLY_LEN; i < sizeof out; i++)
            FUZZ_CHECK(out[i] == 0xA5);
    } else {
        FUZZ_CHECK(rc == -1);
    }
    return 0;
}
