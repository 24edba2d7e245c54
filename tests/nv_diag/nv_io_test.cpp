// The NV readers and writers against a scripted modem on a pseudo-terminal:
// what reaches the record files, what counts as restored, and when the
// operations give up.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "hdlc_frame.h"
#include "nv_items_io.h"
#include "nv_test_files.h"
#include "serial_port.h"
#include "nv_tables.h"
#include "up_fd.h"

using namespace nvtest;   // the folder's file helpers and byte type

namespace {

using bytes = std::vector<uint8_t>;
// Given one request payload, the answer payload to frame back (empty: stay
// silent).
using responder = std::function<bytes(const bytes &)>;

// A modem on the master side of a pseudo-terminal: collects each request
// frame, unframes it and sends the scripted answer.
class scripted_modem {
public:
    explicit scripted_modem(responder r) : respond_(std::move(r))
    {
        int master = -1, slave = -1;
        char name[128] = {};
        EXPECT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
        master_.reset(master);
        slave_.reset(slave);     // keeps the terminal alive between opens
        path_ = name;
        thread_ = std::thread([this] { run(); });
    }
    ~scripted_modem()
    {
        stop_ = true;
        thread_.join();
    }
    const char *path() const { return path_.c_str(); }
    // The caller's open port, configured as the tool configures it.
    int port()
    {
        if (!port_.ok())
            port_.reset(OpenAndInitSerialCom(path_.c_str(), 0));
        return port_.get();
    }
    std::vector<bytes> requests;
    std::atomic<int> corrupt{0};   // answers still to be sent damaged

private:
    void run()
    {
        bytes frame;
        while (!stop_) {
            pollfd p{master_.get(), POLLIN, 0};
            if (poll(&p, 1, 50) <= 0)
                continue;
            uint8_t chunk[4096];
            ssize_t n = read(master_.get(), chunk, sizeof chunk);
            if (n <= 0)
                continue;
            for (ssize_t i = 0; i < n; i++) {
                if (chunk[i] != 0x7E) {
                    frame.push_back(chunk[i]);
                    continue;
                }
                if (frame.empty())
                    continue;
                bytes payload(8192);
                size_t len = 0;
                if (hdlc_unframe(frame.data(), frame.size(), payload.data(), payload.size(), &len) == 0) {
                    payload.resize(len);
                    requests.push_back(payload);
                    bytes ans = respond_(payload);
                    if (!ans.empty()) {
                        bytes wire(2 * ans.size() + 16);
                        ssize_t w = hdlc_frame_payload(ans.data(), ans.size(), true, wire.data(), wire.size());
                        // A damaged answer: one bit of its check sequence flipped.
                        if (corrupt > 0) {
                            corrupt--;
                            wire[(size_t)w - 2] ^= 0x01;
                        }
                        EXPECT_EQ(write(master_.get(), wire.data(), (size_t)w), w);
                    }
                }
                frame.clear();
            }
        }
    }
    responder respond_;
    unique_fd master_, slave_, port_;
    std::string path_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
};

// An NV item store: read answers carry the item's value, with status 5 for
// items it does not hold.
struct nv_store {
    std::vector<int> missing;
    bytes value(uint16_t id) const
    {
        bytes v(128);
        for (size_t i = 0; i < v.size(); i++)
            v[i] = (uint8_t)(id * 7 + i);
        return v;
    }
    bytes answer(const bytes &req) const
    {
        bytes ans = req;
        uint16_t id = (uint16_t)(req[1] | req[2] << 8);
        bytes v = value(id);
        std::copy(v.begin(), v.end(), ans.begin() + 3);
        bool held = std::find(missing.begin(), missing.end(), id) == missing.end();
        ans[131] = held ? 0 : 5;
        ans[132] = 0;
        return ans;
    }
};

void use_list(std::initializer_list<int> ids)
{
    for (auto &row : rf_nv_items)
        row = {-1, nullptr};
    int i = 0;
    for (int id : ids)
        rf_nv_items[i++] = {id, "TEST_ITEM"};
}

} // namespace

TEST(NvIo, ReadAppendsOneRecordPerHeldItemAndSkipsTheRest)
{
    nv_store store;
    store.missing = {0x0202};
    scripted_modem modem([&](const bytes &req) { return store.answer(req); });
    use_list({0x0101, 0x0202, 0x0303});
    std::string dir = temp_dir();
    std::string file = dir + "/nv_bak";
    write_file(file, bytes(548, 0xEE));   // header written before the read

    ASSERT_EQ(Read_NV_ITEM(modem.path(), file.c_str()), 0);
    bytes got = read_file(file);
    ASSERT_EQ(got.size(), 548u + 2 * 130u);
    EXPECT_EQ(got[548], 0x01);
    EXPECT_EQ(got[549], 0x01);
    bytes v = store.value(0x0101);
    EXPECT_TRUE(std::equal(v.begin(), v.end(), got.begin() + 550));
    EXPECT_EQ(got[548 + 130], 0x03);
    EXPECT_EQ(got[548 + 131], 0x03);
    ASSERT_EQ(modem.requests.size(), 3u);
    EXPECT_EQ(modem.requests[1][0], 0x26);
    EXPECT_EQ(modem.requests[1][1], 0x02);
    EXPECT_EQ(modem.requests[1][131], 0xCC);
}

TEST(NvIo, ReadOfAnAnswerOtherThanTheReadRetriesTheItem)
{
    nv_store store;
    int calls = 0;
    scripted_modem modem([&](const bytes &req) {
        // The first answer belongs to another command: the item is asked again.
        if (calls++ == 0)
            return bytes{19, 0, 0, 0, 0};
        return store.answer(req);
    });
    use_list({0x0A0B});
    std::string file = temp_dir() + "/nv";
    ASSERT_EQ(Read_NV_ITEM(modem.path(), file.c_str()), 0);
    EXPECT_EQ(read_file(file).size(), 130u);
    EXPECT_EQ(modem.requests.size(), 2u);
}

TEST(NvIo, WriteRestoresEveryConfirmedRecord)
{
    nv_store store;
    scripted_modem modem([&](const bytes &req) {
        bytes ans = req;
        ans[131] = 0;
        return ans;
    });
    std::string file = temp_dir() + "/nv_bak";
    bytes backup(548, 0);
    for (uint16_t id : {0x0111, 0x0222}) {
        backup.push_back((uint8_t)id);
        backup.push_back((uint8_t)(id >> 8));
        bytes v = store.value(id);
        backup.insert(backup.end(), v.begin(), v.end());
    }
    backup.insert(backup.end(), 7, 0x55);   // a partial record is dropped
    write_file(file, backup);
    ASSERT_EQ(Write_NV_ITEM(modem.port(), file.c_str()), 0);
    ASSERT_EQ(modem.requests.size(), 2u);
    EXPECT_EQ(modem.requests[0][0], 0x27);
    EXPECT_TRUE(std::equal(backup.begin() + 548, backup.begin() + 548 + 130, modem.requests[0].begin() + 1));
    EXPECT_EQ(modem.requests[1][1], 0x22);
}

TEST(NvIo, WriteFailsWhenTheModemDoesNotConfirmARecord)
{
    // The modem answers the write of item 0x0222 with a failure status every
    // time: the restore must not report success, so the backup is kept.
    scripted_modem modem([&](const bytes &req) {
        bytes ans = req;
        ans[131] = req[1] == 0x22 ? 1 : 0;
        return ans;
    });
    std::string file = temp_dir() + "/nv_bak";
    bytes backup(548, 0);
    for (uint16_t id : {0x0111, 0x0222, 0x0333}) {
        backup.push_back((uint8_t)id);
        backup.push_back((uint8_t)(id >> 8));
        backup.insert(backup.end(), 128, 0x42);
    }
    write_file(file, backup);
    EXPECT_EQ(Write_NV_ITEM(modem.port(), file.c_str()), -1);
    // Five attempts for the refused record, then the next record still follows.
    ASSERT_EQ(modem.requests.size(), 1u + 5u + 1u);
    EXPECT_EQ(modem.requests.back()[1], 0x33);
}

TEST(NvIo, WriteOfAFileShorterThanItsHeaderHasNothingToRestore)
{
    scripted_modem modem([](const bytes &) { return bytes{}; });
    std::string file = temp_dir() + "/nv_bak";
    write_file(file, bytes(100, 0));
    EXPECT_EQ(Write_NV_ITEM(modem.port(), file.c_str()), -1);
    EXPECT_TRUE(modem.requests.empty());
}

TEST(NvIo, HighNvRecordsRoundTrip)
{
    // Item values kept by the scripted modem, written back through the
    // factory-test subsystem.
    std::vector<bytes> written;
    scripted_modem modem([&](const bytes &req) {
        uint16_t cmd = (uint16_t)(req[4] | req[5] << 8);
        uint16_t id = (uint16_t)(req[10] | req[11] << 8);
        if (cmd == 604) {
            bytes ans{0x4B, 0x0B, 0x24, 0x00, 0x5C, 0x02, 0, 0, 0x90, 0x00, 0, 0,
                      (uint8_t)id, (uint8_t)(id >> 8), 3, 0, (uint8_t)id, 0x01, 0x02};
            return ans;
        }
        written.push_back(req);
        return bytes{0x4B, 0x0B, 0x24, 0x00, 0x5D, 0x02, 0, 0, 0x0E, 0x00, 0x02, 0x00,
                     (uint8_t)id, (uint8_t)(id >> 8)};
    });
    std::string file = temp_dir() + "/high_nv";
    ASSERT_EQ(Read_High_NV_ITEM(modem.path(), file.c_str()), 0);
    bytes got = read_file(file);
    ASSERT_EQ(got.size(), 6u * 7u);
    EXPECT_EQ(bytes(got.begin(), got.begin() + 7), (bytes{0xEF, 0x4E, 0x03, 0x00, 0xEF, 0x01, 0x02}));

    // A file cut inside the last record's length field restores the
    // complete records and succeeds.
    got.resize(got.size() - 4);
    write_file(file, got);
    ASSERT_EQ(Write_High_NV_ITEM(modem.port(), file.c_str()), 0);
    ASSERT_EQ(written.size(), 5u);
    EXPECT_EQ(bytes(written[0].begin() + 10, written[0].end()),
              (bytes{0xEF, 0x4E, 0x03, 0x00, 0xEF, 0x01, 0x02}));
}

TEST(NvIo, HighNvWriteStopsAtTheFirstUnconfirmedRecordOrAnOversizedOne)
{
    scripted_modem modem([](const bytes &) {
        return bytes{0x4B, 0x0B, 0x24, 0x00, 0x5D, 0x02, 0, 0, 0x0E, 0x00, 0x01, 0x00, 0, 0};
    });
    std::string file = temp_dir() + "/high_nv";
    write_file(file, bytes{0x01, 0x00, 0x01, 0x00, 0x99});
    EXPECT_EQ(Write_High_NV_ITEM(modem.port(), file.c_str()), -1);

    write_file(file, bytes{0x01, 0x00, 0x01, 0x02});    // length 513
    EXPECT_EQ(Write_High_NV_ITEM(modem.port(), file.c_str()), -1);
}

TEST(NvIo, ADamagedReadAnswerIsAskedAgainNotDropped)
{
    nv_store store;
    scripted_modem modem([&](const bytes &req) { return store.answer(req); });
    modem.corrupt = 1;
    use_list({0x0101, 0x0202});
    std::string file = temp_dir() + "/nv";
    ASSERT_EQ(Read_NV_ITEM(modem.path(), file.c_str()), 0);
    // Both items are in the file: the damaged first answer was asked again.
    bytes got = read_file(file);
    ASSERT_EQ(got.size(), 260u);
    EXPECT_EQ(got[0], 0x01);
    EXPECT_EQ(got[130], 0x02);
    EXPECT_EQ(modem.requests.size(), 3u);
}

TEST(NvIo, HighNvReadFailsWhenTheModemServesNoItem)
{
    // Outside factory test mode the modem answers every request with its
    // "bad mode" code: a backup without the RF items must not pass.
    scripted_modem modem([](const bytes &req) {
        bytes ans(1 + req.size(), 0x18);
        std::copy(req.begin(), req.end(), ans.begin() + 1);
        return ans;
    });
    std::string file = temp_dir() + "/high_nv";
    EXPECT_EQ(Read_High_NV_ITEM(modem.path(), file.c_str()), -1);
}

TEST(NvIo, HighNvReadSkipsAnItemTheModemDoesNotHoldAndDropsAnOldTail)
{
    // 20208 is not set (status 5).
    scripted_modem modem([](const bytes &req) {
        uint16_t id = (uint16_t)(req[10] | req[11] << 8);
        uint8_t status = id == 20208 ? 5 : 0;
        return bytes{0x4B, 0x0B, 0x24, 0x00, 0x5C, 0x02, 0, 0, 0x90, 0x00, status, 0,
                     (uint8_t)id, (uint8_t)(id >> 8), 1, 0, 0x77};
    });
    modem.corrupt = 1;   // the first answer arrives damaged and is asked again
    std::string file = temp_dir() + "/high_nv";
    write_file(file, bytes(100, 0xAB));
    ASSERT_EQ(Read_High_NV_ITEM(modem.path(), file.c_str()), 0);
    bytes got = read_file(file);
    ASSERT_EQ(got.size(), 5u * 5u) << "five items of 1 byte, the one not set left out, no old tail";
    EXPECT_EQ(bytes(got.begin(), got.begin() + 5), (bytes{0xEF, 0x4E, 0x01, 0x00, 0x77}));
    EXPECT_EQ(got[5], 0xBF);   // 21183 (0x52BF), after the skipped 20208
}

TEST(NvIo, HighNvReadAsksAFailedItemAgainAndFailsOnAnItemItCannotKeep)
{
    // 20208 answers status 1 once, then its value: it is in the file.
    int failures_left = 1;
    scripted_modem once([&failures_left](const bytes &req) {
        uint16_t id = (uint16_t)(req[10] | req[11] << 8);
        uint8_t status = 0;
        if (id == 20208 && failures_left > 0) {
            failures_left--;
            status = 1;
        }
        return bytes{0x4B, 0x0B, 0x24, 0x00, 0x5C, 0x02, 0, 0, 0x90, 0x00, status, 0,
                     (uint8_t)id, (uint8_t)(id >> 8), 1, 0, 0x66};
    });
    std::string file = temp_dir() + "/high_nv";
    ASSERT_EQ(Read_High_NV_ITEM(once.path(), file.c_str()), 0);
    bytes got = read_file(file);
    ASSERT_EQ(got.size(), 6u * 5u);
    EXPECT_EQ(bytes(got.begin() + 5, got.begin() + 10), (bytes{0xF0, 0x4E, 0x01, 0x00, 0x66}));

    // Status 4 on every read of 20208: the read fails and leaves no file.
    scripted_modem always([](const bytes &req) {
        uint16_t id = (uint16_t)(req[10] | req[11] << 8);
        uint8_t status = id == 20208 ? 4 : 0;
        return bytes{0x4B, 0x0B, 0x24, 0x00, 0x5C, 0x02, 0, 0, 0x90, 0x00, status, 0,
                     (uint8_t)id, (uint8_t)(id >> 8), 1, 0, 0x66};
    });
    std::string failed = temp_dir() + "/high_nv";
    EXPECT_EQ(Read_High_NV_ITEM(always.path(), failed.c_str()), -1);
    EXPECT_NE(access(failed.c_str(), F_OK), 0);
    EXPECT_NE(access((failed + ".new").c_str(), F_OK), 0);

    // An item of 513 bytes does not fit a backup record: the read fails.
    scripted_modem longer([](const bytes &req) {
        uint16_t id = (uint16_t)(req[10] | req[11] << 8);
        const size_t len = id == 21242 ? 513 : 1;
        bytes a{0x4B, 0x0B, 0x24, 0x00, 0x5C, 0x02, 0, 0, (uint8_t)((16 + len) & 0xFF), (uint8_t)((16 + len) >> 8),
                0, 0, (uint8_t)id, (uint8_t)(id >> 8), (uint8_t)(len & 0xFF), (uint8_t)(len >> 8)};
        a.insert(a.end(), len, 0x55);
        return a;
    });
    std::string too_long = temp_dir() + "/high_nv";
    EXPECT_EQ(Read_High_NV_ITEM(longer.path(), too_long.c_str()), -1);
    EXPECT_NE(access(too_long.c_str(), F_OK), 0);
}
