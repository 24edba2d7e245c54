// One upgrade at a time: imgrenew up, and every action that writes flash or
// talks to the modem, takes the lock /var/run/imgrenew/lock first. A second
// caller is refused at once with status 1 and touches nothing; a lock file
// or folder someone else planted is refused the same way.
#include "policy_fixture.h"

using namespace syspolicy;

TEST(UpgradeLock, OfTwoUpgradesAtOnceTheSecondIsRefusedAndTouchesNothing)
{
    small_package pkg(5, 0, 1);
    sim_router r({"--mtd", "6=4M"});
    ASSERT_TRUE(r.ok());
    // The second run starts once the first has copied its tools to /tmp,
    // which it does after taking the lock and before its first record.
    ASSERT_EQ(r.run({"sh", "-c",
                     "imgrenew up & "
                     "while [ ! -e /tmp/cp ]; do sleep 0.01; done; "
                     "imgrenew up; echo $? > /2ndfile/second_status; wait"},
                    file_mode(pkg.path, 2)),
              0);
    EXPECT_EQ(simharness::read_file(r.state() + "/2ndfile/second_status"), "1\n");
    EXPECT_EQ(syslog_count(r, "another imgrenew run holds /var/run/imgrenew/lock: up refused, nothing done"), 1u)
        << r.out("syslog.log");
    EXPECT_EQ(syslog_count(r, "update image nan is"), 1u) << "the second run chose a package";
    EXPECT_EQ(syslog_count(r, "update system success and will to reboot"), 1u);
    EXPECT_EQ(syslog_count(r, "update system failed"), 0u);
    EXPECT_TRUE(sysrouter::partition_holds(r, 2, pkg.kernel));
    // One run's reports only: progress, one completion, one reboot request.
    sysrouter::expect_successful_bus(r.bus());
}

struct planted {
    const char *name;
    const char *plant;        // shell commands run before imgrenew up
    const char *reason;
};

const planted k_planted[] = {
    {"LinkAsTheLockFile", "mkdir -m 755 /var/run/imgrenew && ln -s /2ndfile/target /var/run/imgrenew/lock",
     "the lock file is a link"},
    {"FileOfAnotherUser",
     "mkdir -m 755 /var/run/imgrenew && touch /var/run/imgrenew/lock && chown 65534 /var/run/imgrenew/lock",
     "the lock file is not a plain file of ours that only we may write"},
    {"FileOthersMayWrite",
     "mkdir -m 755 /var/run/imgrenew && touch /var/run/imgrenew/lock && chmod 666 /var/run/imgrenew/lock",
     "the lock file is not a plain file of ours that only we may write"},
    {"FolderOthersMayWrite", "mkdir -m 777 /var/run/imgrenew",
     "the lock folder belongs to another user or others may write it"},
    {"FolderOfAnotherUser", "mkdir -m 755 /var/run/imgrenew && chown 65534 /var/run/imgrenew",
     "the lock folder belongs to another user or others may write it"},
    {"LinkAsTheFolder", "ln -s /2ndfile /var/run/imgrenew", "the lock folder is a link or not a folder"},
};

void PrintTo(const planted &p, std::ostream *os)
{
    *os << p.name;
}

class PlantedLock : public ::testing::TestWithParam<planted> {};

TEST_P(PlantedLock, IsRefusedAndNothingIsTouched)
{
    small_package pkg(5, 0, 2);
    sim_router r({"--mtd", "6=4M"});
    ASSERT_TRUE(r.ok());
    std::string script = std::string(GetParam().plant) + " && imgrenew up; echo $? > /2ndfile/status";
    ASSERT_EQ(r.run({"sh", "-c", script}, file_mode(pkg.path)), 0);
    EXPECT_EQ(simharness::read_file(r.state() + "/2ndfile/status"), "1\n");
    EXPECT_EQ(syslog_count(r, std::string("cannot take the lock /var/run/imgrenew/lock (") + GetParam().reason +
                                  "): up refused, nothing done"),
              1u)
        << r.out("syslog.log");
    EXPECT_EQ(r.out("syslog.log").find("update image"), std::string::npos);
    EXPECT_TRUE(r.bus().empty()) << "a message went to the display or system control";
    EXPECT_EQ(r.out("flash-ops"), "0\n");
    EXPECT_TRUE(sysrouter::partition_untouched(r, 2, 0x300000));
    struct stat st;
    EXPECT_NE(lstat((r.state() + "/2ndfile/target").c_str(), &st), 0) << "a file was made through the link";
}

INSTANTIATE_TEST_SUITE_P(Plants, PlantedLock, ::testing::ValuesIn(k_planted),
                         [](const ::testing::TestParamInfo<planted> &i) { return std::string(i.param.name); });

TEST(UpgradeLock, EveryFlashOrModemActionWaitsItsTurn)
{
    sim_router r({"--mtd", "6=4M"});
    ASSERT_TRUE(r.ok());
    // flock(1) holds the lock while each action is tried; then it is free.
    ASSERT_EQ(r.run({"sh", "-c",
                     "mkdir -m 755 /var/run/imgrenew && flock /var/run/imgrenew/lock sh -c '"
                     "for a in up get \"set 5\" \"uboot 1\" \"kernel 1\" 1 nv_get nv_set set_ftm set_online "
                     "set_digftm nv_normal; do imgrenew $a >/dev/null; echo \"$a $?\"; done; "
                     "imgrenew test >/dev/null; echo \"test $?\"; imgrenew set 5 extra >/dev/null; "
                     "echo \"usage $?\"' > /2ndfile/statuses; "
                     "imgrenew get >/dev/null; echo \"get afterwards $?\" >> /2ndfile/statuses"}),
              0);
    EXPECT_EQ(simharness::read_file(r.state() + "/2ndfile/statuses"),
              "up 1\nget 1\nset 5 1\nuboot 1 1\nkernel 1 1\n1 1\nnv_get 1\nnv_set 1\nset_ftm 1\nset_online 1\n"
              "set_digftm 1\nnv_normal 1\ntest 0\nusage 0\nget afterwards 0\n");
    EXPECT_EQ(syslog_count(r, "refused, nothing done"), 12u) << r.out("syslog.log");
    EXPECT_EQ(syslog_count(r, "another imgrenew run holds /var/run/imgrenew/lock: uboot refused, nothing done"), 1u);
    EXPECT_EQ(r.out("flash-ops"), "0\n");
    EXPECT_TRUE(r.bus().empty());
}
