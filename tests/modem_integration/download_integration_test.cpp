// The library's download functions against the virtual modem on real
// pseudo-terminals with real terminal settings. The library's long waits run
// under the time scale of run_sandboxed.sh.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <iterator>
#include <unistd.h>

#include "dload_commands.h"
#include "dload_stream.h"
#include "modem_harness.h"
#include "raw_port.h"
#include "serial_port.h"
#include "up_fd.h"

namespace {

// The package's file position: the downloads read at offsets and leave it
// where make_package left it, at 0.
off_t position(int fd)
{
    return lseek(fd, 0, SEEK_CUR);
}

// The len bytes of the package from *at on; *at moves past them.
package_span next_part(int fd, uint64_t *at, size_t len)
{
    package_span s{fd, *at, len};
    *at += len;
    return s;
}

class ModemDownload : public ::testing::Test {
protected:
    modem_harness modem;

    std::string package_path() const { return modem.state() + ".package"; }

    // Greets the running programmer as the tool does before any image:
    // hello, security mode, a partition table.
    static void greet(int port)
    {
        ASSERT_EQ(dload_hello_cmd(port), 0);
        ASSERT_EQ(dload_security_cmd(port), 0);
        ASSERT_EQ(raw_exchange(port, {0x19, 0x00, 0x01, 0x02}).payload, (std::vector<uint8_t>{0x1A, 0x00}));
    }
};

TEST_F(ModemDownload, HexDownloadFromNormalFirmwareUploadsAndStartsTheProgrammer)
{
    if (!in_modem_sandbox())
        GTEST_SKIP() << "needs the private /dev of run_sandboxed.sh (the mode test looks at /dev/ttyUSB2)";
    ASSERT_TRUE(modem.start());
    auto programmer = test_bytes(2 * 1017 + 300, 1);
    unique_fd pkg(make_package(package_path(), {programmer, test_bytes(50, 2)}));

    EXPECT_EQ(HexDownload(modem.diag_port().c_str(), package_span{pkg.get(), 0, programmer.size()}), 0);

    EXPECT_EQ(download_mode, 0);
    EXPECT_EQ(position(pkg.get()), 0);
    EXPECT_EQ(modem.flash("programmer.bin"), programmer);
    EXPECT_EQ(modem.log_count("rx normal offline"), 1);
    EXPECT_EQ(modem.log_count("rx normal switch"), 1);
    EXPECT_EQ(modem.log_count("rx download write32"), 3);
    EXPECT_EQ(modem.log_count("programmer of 2334 bytes started"), 1);
}

TEST_F(ModemDownload, HexDownloadInDownloadModeSkipsTheSwitch)
{
    ASSERT_TRUE(modem.start({"--start", "download"}));
    auto programmer = test_bytes(100, 3);
    unique_fd pkg(make_package(package_path(), {programmer}));

    EXPECT_EQ(HexDownload(modem.diag_port().c_str(), package_span{pkg.get(), 0, programmer.size()}), 0);

    EXPECT_EQ(download_mode, 1);
    EXPECT_EQ(modem.flash("programmer.bin"), programmer);
    EXPECT_EQ(modem.log_count("rx normal"), 0);
    EXPECT_EQ(modem.log_count("write32 addr=0x00100000 len=100"), 1);
    EXPECT_EQ(modem.log_count("programmer of 100 bytes started"), 1);
}

TEST_F(ModemDownload, PartitionTableDownloadStoresTheTable)
{
    ASSERT_TRUE(modem.start({"--start", "programmer"}));
    auto table = test_bytes(300, 4);
    unique_fd pkg(make_package(package_path(), {table}));
    unique_fd port(OpenAndInitSerialCom(modem.diag_port().c_str(), 1));
    ASSERT_TRUE(port.ok());

    EXPECT_EQ(dload_partition_table_download(port.get(), package_span{pkg.get(), 0, table.size()}), 0);

    EXPECT_EQ(modem.flash("partition"), table);
    EXPECT_EQ(modem.log_count("rx programmer hello"), 1);
    EXPECT_EQ(modem.log_count("rx programmer security"), 1);
}

using image_download_fn = int (*)(int, const package_span &);
int efs_download(int port, const package_span &img) { return dload_EFS_download(port, img, 1); }
int app_efs_download(int port, const package_span &img) { return dload_EFS_download(port, img, 0); }

TEST_F(ModemDownload, EveryImageLandsByteExactInItsFlashFile)
{
    struct {
        image_download_fn download;
        const char *flash_name;
        size_t size;
        const char *open_log;
    } cases[] = {
        {dload_Dbl_download, "dbl", 2500, "open type=0x0f"},
        {dload_Fsbl_download, "fsbl", 1, "open type=0x11"},
        {dload_Osbl_download, "osbl", 2048, "open type=0x10"},
        {dload_amss_download, "amss", 40000 + 3, "open type=0x05"},
        {dload_DSP1_download, "dsp1", 1023, "open type=0x0d"},
        {dload_DSP2_download, "dsp2", 1025, "open type=0x12"},
        {app_efs_download, "efs", 700, "open type=0x0b"},
        {efs_download, "efs", 3000, "open type=0x09"},
    };
    ASSERT_TRUE(modem.start({"--start", "programmer"}));
    unique_fd port(OpenAndInitSerialCom(modem.diag_port().c_str(), 1));
    ASSERT_TRUE(port.ok());
    greet(port.get());
    uint32_t seed = 10;
    for (auto &c : cases) {
        SCOPED_TRACE(c.open_log);
        auto image = test_bytes(c.size, seed++);
        auto next = test_bytes(10, seed++);
        unique_fd pkg(make_package(package_path(), {image, next}));
        EXPECT_EQ(c.download(port.get(), package_span{pkg.get(), 0, image.size()}), 0);
        EXPECT_EQ(position(pkg.get()), 0);
        EXPECT_EQ(modem.flash(c.flash_name), image);
        EXPECT_EQ(modem.log_count(c.open_log), 1);
    }
    // 2500 bytes go out as three writes at their offsets, 2048 as exactly two.
    EXPECT_EQ(modem.log_count("stream-write addr=0x00000800 data=452"), 1);
    EXPECT_EQ(modem.log_count("image osbl stored, 2048 bytes"), 1);
}

TEST_F(ModemDownload, LostOrRefusedAnswerIsRecoveredByTheRetries)
{
    struct {
        const char *rule;
        int sends_of_block;
    } cases[] = {
        {"noreply stream-write@0x800 1", 2},    // acted on, answer lost: resent
        {"drop stream-write@0x800 1", 2},       // lost on the way in
        {"nak stream-write@0x800 1", 2},
        {"late stream-write@0x800 1 12000", 1}, // after the first 10.5 s wait
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.rule);
        modem_harness m;
        ASSERT_TRUE(m.start({"--start", "programmer", "--fault", c.rule}));
        auto image = test_bytes(4096, 20);
        unique_fd pkg(make_package(m.state() + ".package", {image}));
        unique_fd port(OpenAndInitSerialCom(m.diag_port().c_str(), 1));
        ASSERT_TRUE(port.ok());
        greet(port.get());

        EXPECT_EQ(dload_Dbl_download(port.get(), package_span{pkg.get(), 0, image.size()}), 0);

        EXPECT_EQ(m.flash("dbl"), image);
        EXPECT_EQ(m.log_count("rx programmer stream-write addr=0x00000800"), c.sends_of_block);
    }
}

TEST_F(ModemDownload, ALateCloseAnswerLeavesTheStoredImageASuccess)
{
    // The first close is answered after the receiver gave up; the resent close
    // finds no image open. Both images must pass, the next one included.
    ASSERT_TRUE(modem.start({"--start", "programmer", "--fault", "late close 1 12000"}));
    unique_fd port(OpenAndInitSerialCom(modem.diag_port().c_str(), 1));
    ASSERT_TRUE(port.ok());
    greet(port.get());
    auto dbl = test_bytes(3000, 40);
    auto fsbl = test_bytes(2000, 41);
    unique_fd pkg(make_package(package_path(), {dbl, fsbl}));
    EXPECT_EQ(dload_Dbl_download(port.get(), package_span{pkg.get(), 0, dbl.size()}), 0);
    EXPECT_EQ(dload_Fsbl_download(port.get(), package_span{pkg.get(), dbl.size(), fsbl.size()}), 0);
    EXPECT_EQ(modem.flash("dbl"), dbl);
    EXPECT_EQ(modem.flash("fsbl"), fsbl);
}

TEST_F(ModemDownload, BlockNeverAcknowledgedIsSentThreeTimes)
{
    ASSERT_TRUE(modem.start({"--start", "programmer", "--fault", "drop stream-write@0x400 *"}));
    auto image = test_bytes(4096, 30);
    auto next = test_bytes(64, 31);
    unique_fd pkg(make_package(package_path(), {image, next}));
    unique_fd port(OpenAndInitSerialCom(modem.diag_port().c_str(), 1));
    ASSERT_TRUE(port.ok());
    greet(port.get());
    ASSERT_EQ(dload_Dbl_cmd(port.get()), 0);

    EXPECT_EQ(dload_stream_download(port.get(), package_span{pkg.get(), 0, image.size()}, 1024), -1);

    EXPECT_EQ(modem.log_count("rx programmer stream-write addr=0x00000400"), 3);
    EXPECT_EQ(modem.log_count("rx programmer stream-write addr=0x00000800"), 0);
    EXPECT_EQ(position(pkg.get()), 0);
    EXPECT_FALSE(modem.flash_exists("dbl"));
}

TEST_F(ModemDownload, RefusedImageIsReportedAndNotStored)
{
    ASSERT_TRUE(modem.start({"--start", "programmer", "--fault", "fail-image amss"}));
    auto image = test_bytes(3000, 40);
    unique_fd pkg(make_package(package_path(), {image}));
    unique_fd port(OpenAndInitSerialCom(modem.diag_port().c_str(), 1));
    ASSERT_TRUE(port.ok());
    greet(port.get());

    EXPECT_NE(dload_amss_download(port.get(), package_span{pkg.get(), 0, image.size()}), 0);

    EXPECT_FALSE(modem.flash_exists("amss"));
    EXPECT_GE(modem.log_count("rx programmer close"), 1);
}

TEST_F(ModemDownload, ProgrammerBlockRefusedSixTimesIsNeverStarted)
{
    // A skipped block would leave garbage in the programmer; the modem would
    // crash at GO and the silence after GO would pass for success.
    ASSERT_TRUE(modem.start({"--start", "download", "--fault", "nak write32@0x1003f9 *"}));
    auto programmer = test_bytes(3 * 1017, 60);
    unique_fd pkg(make_package(package_path(), {programmer}));

    EXPECT_NE(HexDownload(modem.diag_port().c_str(), package_span{pkg.get(), 0, programmer.size()}), 0);

    EXPECT_EQ(modem.log_count("rx download write32 addr=0x001003f9"), 6);
    EXPECT_EQ(modem.log_count("rx download go"), 0);
    EXPECT_EQ(modem.log_count("programmer of"), 0);
    EXPECT_EQ(position(pkg.get()), 0);
}

TEST_F(ModemDownload, RefusedImageOpenIsNotTakenForAnOpenImage)
{
    // A NAK's code starts with a zero byte, which must not read as "accepted".
    ASSERT_TRUE(modem.start({"--start", "programmer", "--fault", "nak open * 6"}));
    auto image = test_bytes(2000, 61);
    unique_fd pkg(make_package(package_path(), {image}));
    unique_fd port(OpenAndInitSerialCom(modem.diag_port().c_str(), 1));
    ASSERT_TRUE(port.ok());
    greet(port.get());

    EXPECT_NE(dload_Dbl_download(port.get(), package_span{pkg.get(), 0, image.size()}), 0);

    EXPECT_EQ(modem.log_count("rx programmer open"), 10);
    EXPECT_EQ(modem.log_count("rx programmer stream-write"), 0);
    EXPECT_FALSE(modem.flash_exists("dbl"));
}

TEST_F(ModemDownload, FullSequenceFlashesEveryImageAndResetsIntoNormalFirmware)
{
    if (!in_modem_sandbox())
        GTEST_SKIP() << "needs the private /dev of run_sandboxed.sh (the mode test looks at /dev/ttyUSB2)";
    ASSERT_TRUE(modem.start());
    auto programmer = test_bytes(5000, 50);
    auto table = test_bytes(200, 51);
    struct {
        image_download_fn download;
        const char *flash_name;
        std::vector<uint8_t> image;
    } images[] = {
        {dload_Dbl_download, "dbl", test_bytes(3000, 52)},
        {dload_Osbl_download, "osbl", test_bytes(5000, 53)},
        {dload_amss_download, "amss", test_bytes(100000, 54)},
        {dload_DSP1_download, "dsp1", test_bytes(20000, 55)},
        {dload_DSP2_download, "dsp2", test_bytes(30001, 56)},
        {efs_download, "efs", test_bytes(9000, 57)},
    };
    std::vector<std::vector<uint8_t>> parts = {programmer, table};
    for (auto &i : images)
        parts.push_back(i.image);
    unique_fd pkg(make_package(package_path(), parts));
    uint64_t at = 0;

    ASSERT_EQ(HexDownload(modem.diag_port().c_str(), next_part(pkg.get(), &at, programmer.size())), 0);
    {
        unique_fd port(OpenAndInitSerialCom(modem.diag_port().c_str(), 1));
        ASSERT_TRUE(port.ok());
        ASSERT_EQ(dload_partition_table_download(port.get(), next_part(pkg.get(), &at, table.size())), 0);
    }
    for (auto &i : images) {
        SCOPED_TRACE(i.flash_name);
        unique_fd port(OpenAndInitSerialCom(modem.diag_port().c_str(), 1));
        ASSERT_TRUE(port.ok());
        ASSERT_EQ(i.download(port.get(), next_part(pkg.get(), &at, i.image.size())), 0);
        if (&i == &images[std::size(images) - 1]) {
            EXPECT_EQ(dload_reset_packet_cmd(port.get()), 1);
        }
    }

    EXPECT_EQ(modem.flash("programmer.bin"), programmer);
    EXPECT_EQ(modem.flash("partition"), table);
    for (auto &i : images)
        EXPECT_EQ(modem.flash(i.flash_name), i.image) << i.flash_name;
    // Back in its normal firmware, with the AT port again.
    EXPECT_TRUE(wait_until([&] { return modem.log_count("attach normal") == 2; }, 10000));
    EXPECT_TRUE(path_exists(modem.at_port()));
    EXPECT_EQ(modem.log_count("bad-frame"), 0);
    EXPECT_EQ(modem.log_count("out of sequence"), 0);
}

} // namespace
