// The CGI programs behind lighttpd in the simulated router, driven with curl.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include "test_files.h"
#include "web_router.h"

using simharness::read_file;
using testkit::exists;

namespace {

const std::string SUCCESS_PAGE =
    "<html><head><title>Wireless Broadband Router</title></head><body bgcolor=white><p></p>></p></p><script>\n"
    "window.parent.location='../reboot.html?id=reboot&reason=import_success';\n</script>\n</html>";
const std::string FAILURE_PAGE =
    "<html><head><title>Wireless Broadband Router</title></head><body bgcolor=white><p></p>></p></p><script>\n"
    "window.parent.location='../reboot.html?id=import_failed&reason=import_failed';\n</script>\n</html>";
const std::string ERROR_PAGE_HEAD =
    "<html><head><title>Wireless Broadband Router</title></head><body bgcolor=white><p></p>"
    "<p>export  log file failed...</p><p>The error info is:";
const std::string PLEASE_WAIT_PAGE =
    "<html><head><title>Wireless Broadband Router</title></head><body bgcolor=white><p></p>"
    "<table border=0 cellpadding=0 cellspacing=0 height=250 width=100%><table border=0 cellpadding=0 cellspacing=0 "
    "height=250 width=100%><tr><td><div align=center><table border=0 cellpadding=5 cellspacing=1 width=80%><tr><td "
    "align=center>\tPlease wait......</p><p><img src=/images/progress.gif></p></td></tr></table></div></td></tr>"
    "</table></td></tr></tbody></table></td><br><script>  timer = setTimeout('location.replace(\"";
const std::string PLEASE_WAIT_TAIL = "\")', 20) </script> </body></html>";

bool write_text(const std::string &path, const std::string &text)
{
    return simharness::write_file(path, {text.begin(), text.end()});
}

// A multipart body of exactly `size` bytes whose file part holds the
// settings, padded with lines the store ignores (they have no "=").
std::string upload_body(const std::string &settings, size_t size)
{
    std::string head = "--XyZ\r\nContent-Disposition: form-data; name=\"ipt_file_import\"; filename=\"c.cfg\"\r\n"
                       "Content-Type: text/plain\r\n\r\n";
    std::string tail = "\r\n--XyZ--\r\n";
    std::string text = settings;
    while (head.size() + text.size() + tail.size() < size) {
        size_t room = size - head.size() - text.size() - tail.size();
        size_t line = room > 1000 ? 1000 : room;
        text += std::string(line - 1, '#') + "\n";
    }
    return head + text + tail;
}

class CgiWeb : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(web.start()); }
    void TearDown() override { EXPECT_TRUE(web.stop()); }

    std::string store() { return read_file(web.second_fs_path("nv/nv_store.cfg")); }
    http_answer upload(const std::string &file_text)
    {
        std::string file = web.tmp_path("upload.cfg");
        write_text(file, file_text);
        return curl({"-F", "ipt_file_import=@" + file, web.url("/cgi-bin/settings_restore")});
    }
    http_answer post_body(const std::string &body)
    {
        std::string file = web.tmp_path("body.bin");
        write_text(file, body);
        return curl({"-H", "Content-Type: multipart/form-data; boundary=XyZ", "--data-binary", "@" + file,
                     web.url("/cgi-bin/settings_restore")});
    }
    http_answer get(const std::string &path) { return curl({web.url(path)}); }

    web_router web;
};

TEST_F(CgiWeb, UploadedConfigurationIsImportedAndTheOldLanguageKept)
{
    http_answer a = upload("web_language_select=fr\nwifi_ssid=office\n");
    EXPECT_EQ(a.body, SUCCESS_PAGE);
    EXPECT_NE(store().find("web_language_select=fr\n"), std::string::npos);
    EXPECT_NE(store().find("wifi_ssid=office\n"), std::string::npos);
    EXPECT_EQ(read_file(web.tmp_path("language_tmp.txt")), "en");
    EXPECT_FALSE(exists(web.tmp_path("tmp_cfg")));
    EXPECT_FALSE(exists(web.tmp_path("post.err")));
}

TEST_F(CgiWeb, RequestOf102400BytesIsImportedAndOneByteMoreIsRefused)
{
    http_answer big = post_body(upload_body("web_language_select=de\n", 102401));
    EXPECT_EQ(big.body, FAILURE_PAGE);
    EXPECT_TRUE(exists(web.tmp_path("post.err")));
    EXPECT_FALSE(exists(web.tmp_path("language_tmp.txt")));
    EXPECT_NE(store().find("web_language_select=en\n"), std::string::npos);

    http_answer fits = post_body(upload_body("web_language_select=de\n", 102400));
    EXPECT_EQ(fits.body, SUCCESS_PAGE);
    EXPECT_NE(store().find("web_language_select=de\n"), std::string::npos);
}

TEST_F(CgiWeb, StoreRefusalKeepsTheUploadAndRemovesTheLanguageFile)
{
    http_answer a = upload("no settings in here\n");
    EXPECT_EQ(a.body, FAILURE_PAGE);
    EXPECT_EQ(read_file(web.tmp_path("tmp_cfg")), "no settings in here\n");
    EXPECT_FALSE(exists(web.tmp_path("language_tmp.txt")));
    EXPECT_FALSE(exists(web.tmp_path("post.err")));
}

TEST_F(CgiWeb, UploadPartsAreFoundAndCutAtTheFirstCarriageReturnLineFeed)
{
    // A lower-case part header is recognised; CRLF line ends cut the text
    // after its first line.
    std::string body = "--XyZ\r\ncontent-disposition: form-data; name=\"note\"\r\n\r\nhi\r\n"
                       "--XyZ\r\ncontent-disposition: form-data; name=\"ipt_file_import\"; filename=\"x\"\r\n\r\n"
                       "first_item=1\r\nsecond_item=2\r\n--XyZ--\r\n";
    EXPECT_EQ(post_body(body).body, SUCCESS_PAGE);
    EXPECT_NE(store().find("first_item=1\n"), std::string::npos);
    EXPECT_EQ(store().find("second_item"), std::string::npos);
}

TEST_F(CgiWeb, ClearEmptiesTheLogHidesVersionInfoAndMovesOn)
{
    write_text(web.second_fs_path("log/logfile.txt"), "kernel: something happened\n");
    http_answer a = get("/cgi-bin/eventlog_admin?which_cgi=clear_klog&webpage=/log.html");
    EXPECT_EQ(a.body, PLEASE_WAIT_PAGE + "/log.html" + PLEASE_WAIT_TAIL);
    EXPECT_TRUE(exists(web.second_fs_path("log/logfile.txt")));
    EXPECT_EQ(read_file(web.second_fs_path("log/logfile.txt")), "");
    EXPECT_EQ(read_file(web.tmp_path("version_info_display_flag")), "0");

    // A form body without a target moves to the start page.
    http_answer posted = curl({"--data", "which_cgi=clear_klog", web.url("/cgi-bin/eventlog_admin")});
    EXPECT_EQ(posted.body, PLEASE_WAIT_PAGE + "/" + PLEASE_WAIT_TAIL);
}

TEST_F(CgiWeb, ExportSendsTheLogAsADownloadOfExactlyItsLength)
{
    std::string log;
    for (int i = 0; i < 1000; ++i)
        log += (char)('a' + i % 26);
    write_text(web.second_fs_path("log/logfile.txt"), log);
    http_answer a = get("/cgi-bin/eventlog_admin?which_cgi=export_klog");
    EXPECT_NE(a.head.find("Content-Disposition: attachment;filename=system_kernel_event_log.txt\r\n"),
              std::string::npos);
    EXPECT_NE(a.head.find("Content-Length: 1000\r\n"), std::string::npos);
    EXPECT_EQ(a.body, log);
}

TEST_F(CgiWeb, FailedOrUnknownRequestsGetTheErrorPage)
{
    unlink(web.second_fs_path("log/logfile.txt").c_str());
    EXPECT_EQ(get("/cgi-bin/eventlog_admin?which_cgi=export_klog").body,
              ERROR_PAGE_HEAD + "Unknown error occured while open log file</p></html>");
    EXPECT_EQ(get("/cgi-bin/eventlog_admin?webpage=/log.html").body, ERROR_PAGE_HEAD + "ok</p></html>");
    EXPECT_EQ(get("/cgi-bin/eventlog_admin").body, ERROR_PAGE_HEAD + "ok</p></html>");
    EXPECT_EQ(curl({"--data", "which_cgi=other", web.url("/cgi-bin/eventlog_admin")}).body,
              ERROR_PAGE_HEAD + "ok</p></html>");
}

TEST_F(CgiWeb, HostileTargetsNeverLeaveTheScriptString)
{
    struct {
        const char *query;      // the webpage value as sent
        const char *target;     // what the page moves to
    } cases[] = {
        {"%22)%3Balert(1)%3B%2F%2F", "/"},                       // ");alert(1);//
        {"%27)%3Balert(1)%3B%2F%2F", "/"},                       // ');alert(1);//
        {"%3C%2Fscript%3E%3Cscript%3Ealert(1)%3C%2Fscript%3E", "/"},
        {"%2Flog.html%22)%3Balert(1)%3B(%22", "/"},              // a path, then ")
        {"%2Flog.html%27)%3Balert(1)%3B(%27", "/"},              // a path, then ')
        {"%2F%3C%2Fscript%3E%3Cimg%20src%3Dx%20onerror%3Dalert(1)%3E", "/"},
        {"%2F%2Fevil.example%2F", "/"},                          // another host
        {"javascript:alert(1)", "/"},
        {"%2Flog.html%3Ftab%3D2%26x%3D1", "/log.html?tab=2&x=1"},
    };
    for (auto &c : cases) {
        http_answer a = get(std::string("/cgi-bin/eventlog_admin?which_cgi=clear_klog&webpage=") + c.query);
        EXPECT_EQ(a.body, PLEASE_WAIT_PAGE + c.target + PLEASE_WAIT_TAIL) << c.query;
    }
}

}  // namespace
