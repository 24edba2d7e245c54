// The programmer upload and the image stream against a small in-process
// modem on a socket pair: block splitting, addresses, the drain after a
// failure and inputs that end early.
#include <gtest/gtest.h>

#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <vector>

#include "dload_commands.h"
#include "dload_stream.h"
#include "hdlc_frame.h"
#include "up_api.h"
#include "up_bytes.h"
#include "up_fd.h"
#include "frame_cases.h"

namespace {


struct write_seen {
    uint8_t cmd;
    uint32_t addr;
    bytes data;
};

// Answers 32-bit writes with an acknowledgement and stream writes with the
// echo of their address.
class fake_modem {
public:
    fake_modem()
    {
        int sv[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
        tool_.reset(sv[0]);
        modem_.reset(sv[1]);
        thread_ = std::thread([this] { run(); });
    }
    ~fake_modem()
    {
        shutdown(tool_.get(), SHUT_RDWR);
        thread_.join();
    }
    int port() const { return tool_.get(); }
    std::vector<write_seen> seen;
    // At a stream write to this address the modem falls silent for good.
    uint32_t refuse_addr = UINT32_MAX;

private:
    void run()
    {
        bytes frame;
        uint8_t chunk[4096];
        for (;;) {
            ssize_t n = read(modem_.get(), chunk, sizeof chunk);
            if (n <= 0)
                return;
            for (ssize_t i = 0; i < n; i++) {
                frame.push_back(chunk[i]);
                if (chunk[i] == HDLC_FLAG && frame.size() > 2) {
                    answer(frame);
                    frame.clear();
                } else if (chunk[i] == HDLC_FLAG) {
                    frame.assign(1, HDLC_FLAG);
                }
            }
        }
    }
    void answer(const bytes &frame)
    {
        uint8_t payload[4096];
        size_t len = 0;
        if (hdlc_unframe(frame.data(), frame.size(), payload, sizeof payload, &len) != 0 || len < 5)
            return;
        write_seen w{payload[0], 0, {}};
        bytes reply;
        if (payload[0] == 0x0F && len >= 7) {
            w.addr = get_be32(payload + 1);
            w.data.assign(payload + 7, payload + len);
            reply = {0x02};
        } else if (payload[0] == 0x07) {
            w.addr = get_le32(payload + 1);
            w.data.assign(payload + 5, payload + len);
            reply = {0x08, payload[1], payload[2], payload[3], payload[4]};
            if (w.addr == refuse_addr) {
                shutdown(modem_.get(), SHUT_WR);
                reply.clear();
            }
        }
        seen.push_back(w);
        if (reply.empty())
            return;
        uint8_t out[32];
        ssize_t n = hdlc_frame_payload(reply.data(), reply.size(), true, out, sizeof out);
        write_full(modem_.get(), out, (size_t)n);
    }
    unique_fd tool_, modem_;
    std::thread thread_;
};

// A pipe holding data, then end of input.
// A package file holding data, its file position at 0.
unique_fd input_of(const bytes &data)
{
    unique_fd fd(memfd_create("package", MFD_CLOEXEC));
    EXPECT_EQ(write_full(fd.get(), data.data(), data.size()), (ssize_t)data.size());
    EXPECT_EQ(lseek(fd.get(), 0, SEEK_SET), 0);
    return fd;
}

bytes pattern(size_t n)
{
    bytes b(n);
    for (size_t i = 0; i < n; i++)
        b[i] = (uint8_t)(i * 7 + i / 251);   // includes 0x7E and 0x7D
    return b;
}

// The file position: the package is read at offsets, never moved through.
off_t position_of(int fd)
{
    return lseek(fd, 0, SEEK_CUR);
}

using write_list = std::vector<std::pair<uint32_t, size_t>>;   // address, size

// The modem saw exactly the listed writes, each a cmd request, and together
// they carry image.
void expect_writes(const std::vector<write_seen> &seen, uint8_t cmd, const write_list &writes,
                   const bytes &image)
{
    ASSERT_EQ(seen.size(), writes.size());
    bytes got;
    for (size_t i = 0; i < writes.size(); i++) {
        EXPECT_EQ(seen[i].cmd, cmd);
        EXPECT_EQ(seen[i].addr, writes[i].first);
        EXPECT_EQ(seen[i].data.size(), writes[i].second);
        got.insert(got.end(), seen[i].data.begin(), seen[i].data.end());
    }
    EXPECT_EQ(got, image);
}

} // namespace

TEST(Stream, SplitsTheImageIntoBlocksAtTheirOffsets)
{
    struct {
        size_t length;
        write_list writes;
    } cases[] = {
        {2500, {{0, 1024}, {1024, 1024}, {2048, 452}}},
        {2048, {{0, 1024}, {1024, 1024}}},
        {1, {{0, 1}}},
        {0, {}},
    };
    for (const auto &c : cases) {
        bytes image = pattern(c.length);
        bytes package(5, 0xDD);                    // what precedes the image
        package.insert(package.end(), image.begin(), image.end());
        package.insert(package.end(), 10, 0xEE);   // the next sub-image
        unique_fd in = input_of(package);
        {
            fake_modem modem;
            EXPECT_EQ(dload_stream_download(modem.port(), package_span{in.get(), 5, c.length}, DLOAD_STREAM_BLOCK), 0);
            shutdown(modem.port(), SHUT_WR);
            SCOPED_TRACE(c.length);
            expect_writes(modem.seen, 0x07, c.writes, image);
        }
        EXPECT_EQ(position_of(in.get()), 0) << c.length;
    }
}

TEST(Stream, CountsDsp2ProgressOnlyWhileDsp2IsStreamed)
{
    for (int mode : {0, 1, 2}) {
        report_dsp2_up_process = mode;
        had_write = 100;
        unique_fd in = input_of(pattern(3000));
        fake_modem modem;
        EXPECT_EQ(dload_stream_download(modem.port(), package_span{in.get(), 0, 3000}, DLOAD_STREAM_BLOCK), 0);
        EXPECT_EQ(had_write, mode == 1 ? 3100u : 100u);
    }
    report_dsp2_up_process = 0;
}

TEST(Stream, Dsp2ProgressStopsAtTheCounterTop)
{
    report_dsp2_up_process = 1;
    had_write = 0xFFFFFF00u;
    unique_fd in = input_of(pattern(3000));
    fake_modem modem;
    EXPECT_EQ(dload_stream_download(modem.port(), package_span{in.get(), 0, 3000}, DLOAD_STREAM_BLOCK), 0);
    EXPECT_EQ(had_write, 0xFFFFFFFFu);    // not wrapped round to 2744
    report_dsp2_up_process = 0;
}

TEST(PartitionTable, AShortReadSendsNothing)
{
    // 100 bytes asked, 60 there: zeros would stand in for the missing 40.
    unique_fd in = input_of(pattern(60));
    fake_modem modem;
    EXPECT_EQ(dload_partition_table_cmd(modem.port(), package_span{in.get(), 0, 100}), -1);
    shutdown(modem.port(), SHUT_WR);
    EXPECT_TRUE(modem.seen.empty());
}

TEST(Stream, InputEndingEarlyIsAFailure)
{
    // An image the package cannot hold whole within the first 16 KiB read
    // ahead sends nothing; one that ends later stops at that read.
    unique_fd in = input_of(pattern(1500));
    fake_modem modem;
    EXPECT_EQ(dload_stream_download(modem.port(), package_span{in.get(), 0, 2500}, DLOAD_STREAM_BLOCK), -1);
    EXPECT_EQ(modem.seen.size(), 0u);
    unique_fd longer = input_of(pattern(20000));
    EXPECT_EQ(dload_stream_download(modem.port(), package_span{longer.get(), 0, 40000}, DLOAD_STREAM_BLOCK), -1);
    shutdown(modem.port(), SHUT_WR);
    EXPECT_EQ(modem.seen.size(), 16u);   // 16 KiB went out, no half block
}

TEST(Stream, RejectsBlockSizesThatCannotBeFramed)
{
    for (uint32_t block : {0u, DLOAD_STREAM_BLOCK_MAX + 1, 4096u}) {
        bytes package = pattern(3000);
        unique_fd in = input_of(package);
        fake_modem modem;
        EXPECT_EQ(dload_stream_download(modem.port(), package_span{in.get(), 0, 2000}, block), -1);
        EXPECT_TRUE(modem.seen.empty());
    }
}

TEST(Stream, LargestBlockFitsTheTransmitFrameEvenFullyStuffed)
{
    bytes image(DLOAD_STREAM_BLOCK_MAX, 0x7E);
    unique_fd in = input_of(image);
    fake_modem modem;
    EXPECT_EQ(dload_stream_download(modem.port(), package_span{in.get(), 0, image.size()}, DLOAD_STREAM_BLOCK_MAX), 0);
    ASSERT_EQ(modem.seen.size(), 1u);
    EXPECT_EQ(modem.seen[0].data, image);
}

TEST(RamProgram, WritesBlocksOf1017BytesFromTheLoadAddress)
{
    struct {
        size_t length;
        write_list writes;
    } cases[] = {
        {2034, {{DLOAD_BASE, 1017}, {DLOAD_BASE + 1017, 1017}}},
        {100, {{DLOAD_BASE, 100}}},
        {1018, {{DLOAD_BASE, 1017}, {DLOAD_BASE + 1017, 1}}},
    };
    for (const auto &c : cases) {
        bytes prog = pattern(c.length);
        unique_fd in = input_of(prog);
        fake_modem modem;
        EXPECT_EQ(FlashSendRamProgram(modem.port(), package_span{in.get(), 0, c.length}), 0);
        shutdown(modem.port(), SHUT_WR);
        SCOPED_TRACE(c.length);
        expect_writes(modem.seen, 0x0F, c.writes, prog);
    }
}

TEST(RamProgram, ProgrammerCutShortIsAFailure)
{
    unique_fd in = input_of(pattern(1500));
    fake_modem modem;
    EXPECT_EQ(FlashSendRamProgram(modem.port(), package_span{in.get(), 0, 2034}), -1);
    EXPECT_EQ(modem.seen.size(), 1u);
    unique_fd empty = input_of({});
    EXPECT_EQ(FlashSendRamProgram(modem.port(), package_span{empty.get(), 0, 0}), -1);
}

TEST(RamProgram, OversizedWriteIsRefusedBeforeSending)
{
    bytes data(DLOAD_WRITE32_MAX + 1, 0);
    fake_modem modem;
    EXPECT_EQ(write_32bit_cmd(modem.port(), DLOAD_BASE, data.data(), (uint32_t)data.size()), -1);
    EXPECT_TRUE(modem.seen.empty());
}

TEST(Stream, LongImageIsReadAtItsOffsetsUpToItsEnd)
{
    // Longer than the 16 KiB the stream reads ahead, and not a whole number
    // of blocks: every byte goes out once, and the bytes around the image do not.
    bytes image = pattern(40000);
    bytes package(3, 0xDD);
    package.insert(package.end(), image.begin(), image.end());
    package.insert(package.end(), 10, 0xEE);
    unique_fd in = input_of(package);
    {
        fake_modem modem;
        EXPECT_EQ(dload_stream_download(modem.port(), package_span{in.get(), 3, 40000}, DLOAD_STREAM_BLOCK), 0);
        shutdown(modem.port(), SHUT_WR);
        write_list writes;
        for (uint32_t a = 0; a < 39936; a += 1024)
            writes.push_back({a, 1024});
        writes.push_back({39936, 64});
        expect_writes(modem.seen, 0x07, writes, image);
    }
    EXPECT_EQ(position_of(in.get()), 0);
}

TEST(Stream, FailedBlockEndsTheStream)
{
    // The refused block lies in the second piece read ahead; nothing after
    // it is sent.
    bytes package = pattern(40000);
    package.insert(package.end(), 10, 0xEE);
    unique_fd in = input_of(package);
    {
        fake_modem modem;
        modem.refuse_addr = 20480;
        EXPECT_EQ(dload_stream_download(modem.port(), package_span{in.get(), 0, 40000}, DLOAD_STREAM_BLOCK), -1);
        shutdown(modem.port(), SHUT_WR);
        EXPECT_EQ(modem.seen.size(), 20u + 3u);     // 20 blocks, then three tries of the refused one
        EXPECT_EQ(modem.seen.back().addr, 20480u);
    }
}
