// Hostile requests given straight to the CGI programs in the simulated
// router (no web server in between filters them): each ends with a page and
// status 0, never past a buffer, never hanging.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include "test_files.h"
#include "web_router.h"

using simharness::read_file;
using testkit::exists;

namespace {

const std::string FAILURE_REDIRECT = "window.parent.location='../reboot.html?id=import_failed&reason=import_failed';";
const std::string ERROR_INFO = "<p>The error info is:";

class CgiHostile : public ::testing::Test {
protected:
    // Runs the program with the environment and body; returns its output.
    std::string run(const std::string &program, const std::vector<std::string> &env, const std::string &body = "")
    {
        std::string in = web.second_fs_path("../body.bin");
        simharness::write_file(in, {body.begin(), body.end()});
        EXPECT_EQ(web.run_once({program}, env, in), 0);
        EXPECT_EQ(web.router().status(), "0") << program;
        return web.router().out("stdout");
    }
    web_router web;
};

TEST_F(CgiHostile, EventLogRefusesRequestsItCannotTake)
{
    struct {
        std::vector<std::string> env;
        std::string info;
    } cases[] = {
        {{"REQUEST_URI=/cgi-bin/eventlog_admin"}, "Request without a method"},
        {{"REQUEST_METHOD=GET", "REQUEST_URI=/x?which_cgi=clear_klog&webpage=/" + std::string(70000, 'a')},
         "Request too long"},
        {{"REQUEST_METHOD=POST", "CONTENT_LENGTH=abc"}, "Bad request length"},
        {{"REQUEST_METHOD=POST", "CONTENT_LENGTH=-5"}, "Bad request length"},
        {{"REQUEST_METHOD=POST", "CONTENT_LENGTH=99999999999999999999"}, "Bad request length"},
    };
    simharness::write_file(web.second_fs_path("log/logfile.txt"), {'k', '\n'});
    for (auto &c : cases) {
        std::string page = run("eventlog_admin", c.env, "which_cgi=clear_klog");
        EXPECT_NE(page.find(ERROR_INFO + c.info + "</p></html>"), std::string::npos) << page;
    }
    EXPECT_EQ(read_file(web.second_fs_path("log/logfile.txt")), "k\n");
}

TEST_F(CgiHostile, EventLogTakesAShortBodyAndAnUnderLimitUri)
{
    // A body shorter than declared is read up to its end, not waited for.
    std::string page = run("eventlog_admin", {"REQUEST_METHOD=POST", "CONTENT_LENGTH=5000"}, "which_cgi=clear_klog");
    EXPECT_NE(page.find("location.replace(\"/\")"), std::string::npos);
    EXPECT_TRUE(web.router().syslog_contains("debug cgi: [eventlog_admin.cpp:klog_log_init:"));
    EXPECT_TRUE(web.router().syslog_contains("]creat_hide_page_version_info_flag end"));
    std::string uri = "/x?which_cgi=clear_klog&pad=" + std::string(65000, 'p');
    page = run("eventlog_admin", {"REQUEST_METHOD=GET", "REQUEST_URI=" + uri});
    EXPECT_NE(page.find("Please wait"), std::string::npos);
}

TEST_F(CgiHostile, ExportOfALogTooLargeForMemoryIsRefused)
{
    // 17 MiB, sparse: bigger than the export keeps in memory.
    ASSERT_EQ(truncate(web.second_fs_path("log/logfile.txt").c_str(), 17 * 1024 * 1024), 0);
    std::string page = run("eventlog_admin", {"REQUEST_METHOD=GET", "REQUEST_URI=/x?which_cgi=export_klog"});
    EXPECT_NE(page.find(ERROR_INFO + "Unknown error occured while malloc buffer</p></html>"), std::string::npos);
}

TEST_F(CgiHostile, ExportHeaderDeclaresExactlyTheBytesSent)
{
    std::vector<uint8_t> log(1000, 0x5A);
    simharness::write_file(web.second_fs_path("log/logfile.txt"), log);
    std::string out = run("eventlog_admin", {"REQUEST_METHOD=GET", "REQUEST_URI=/x?which_cgi=export_klog"});
    EXPECT_EQ(out, "Content-Disposition: attachment;filename=system_kernel_event_log.txt\r\n"
                   "Content-Length: 1000\r\nConnection: close\r\nContent-type: application/download\r\n\r\n" +
                       std::string(1000, 'Z'));
}

TEST_F(CgiHostile, UploadWithABadLengthOrCutBodyIsRefused)
{
    std::string part = "--XyZ\r\nContent-Disposition: form-data; name=\"ipt_file_import\"; filename=\"c\"\r\n\r\n"
                       "web_language_select=de\n";
    const char *lengths[] = {"CONTENT_LENGTH=abc", "CONTENT_LENGTH=-1", "CONTENT_LENGTH=5000"};
    for (const char *len : lengths) {
        unlink(web.tmp_path("post.err").c_str());
        std::string page = run("settings_restore", {"REQUEST_METHOD=POST", len}, part);
        EXPECT_NE(page.find(FAILURE_REDIRECT), std::string::npos) << len;
        EXPECT_TRUE(exists(web.tmp_path("post.err"))) << len;
        EXPECT_FALSE(exists(web.tmp_path("language_tmp.txt"))) << len;
    }
    EXPECT_NE(read_file(web.second_fs_path("nv/nv_store.cfg")).find("web_language_select=en\n"), std::string::npos);
}

TEST_F(CgiHostile, LinksPlantedInTmpAreNotFollowed)
{
    std::string victim = web.second_fs_path("victim.txt");
    simharness::write_file(victim, {'k', 'e', 'e', 'p'});
    for (const char *name : {"tmp_cfg", "language_tmp.txt", "cgidebug", "post.err"})
        ASSERT_EQ(symlink("/2ndfile/victim.txt", web.tmp_path(name).c_str()), 0);
    std::string body = "--XyZ\r\nContent-Disposition: form-data; name=\"ipt_file_import\"; filename=\"c\"\r\n\r\n"
                       "web_language_select=de\n\r\n--XyZ--\r\n";
    std::string page = run("settings_restore", {"REQUEST_METHOD=POST", "CONTENT_LENGTH=" + std::to_string(body.size())},
                           body);
    EXPECT_NE(page.find("reason=import_success"), std::string::npos);
    EXPECT_EQ(read_file(victim), "keep");
}

}  // namespace
