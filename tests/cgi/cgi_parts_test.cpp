// The request checks and multipart pieces shared by the CGI programs.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "cgi_common.h"
#include "upload_parts.h"

namespace {

TEST(CgiRequest, WebpageMustBeAPlainPathOfThisSite)
{
    const char *accepted[] = {"/", "/log.html", "/cgi-bin/x?a=1&b=%20#top", "/a-b_c.~+,"};
    for (const char *p : accepted)
        EXPECT_TRUE(same_site_path(p)) << p;
    const char *refused[] = {"", "log.html", "//evil.example/", "/\\evil", "/a\"b", "/a'b", "/a<b", "/a>b",
                             "/a b", "/a\nb", "/a)b", "/a;b", "javascript:alert(1)", "/a\\u0022"};
    for (const char *p : refused)
        EXPECT_FALSE(same_site_path(p)) << p;
    EXPECT_FALSE(same_site_path(nullptr));
    EXPECT_TRUE(same_site_path(("/" + std::string(254, 'a')).c_str()));
    EXPECT_FALSE(same_site_path(("/" + std::string(255, 'a')).c_str()));
}

TEST(CgiRequest, ContentLengthIsAPlainDecimalWithinTheLimit)
{
    EXPECT_EQ(parse_content_length(nullptr, 100), 0);
    EXPECT_EQ(parse_content_length("0", 100), 0);
    EXPECT_EQ(parse_content_length("100", 100), 100);
    EXPECT_EQ(parse_content_length("007", 100), 7);
    const char *refused[] = {"101", "", "-1", "+5", " 5", "5 ", "5x", "abc", "0x10", "18446744073709551616"};
    for (const char *t : refused)
        EXPECT_EQ(parse_content_length(t, 100), -1) << t;
}

TEST(UploadParts, LinesAreBoundedAndKeepTheirZeroBytes)
{
    std::string input("ab\0c\nlonger line\n", 17);
    FILE *in = fmemopen(&input[0], input.size(), "r");
    ASSERT_NE(in, nullptr);
    char buf[8];
    EXPECT_EQ(read_upload_line(in, buf, sizeof buf), 5u);       // "ab\0c\n": the zero byte counts
    EXPECT_EQ(std::string(buf, 5), std::string("ab\0c\n", 5));
    EXPECT_EQ(read_upload_line(in, buf, sizeof buf), 7u);       // cut at cap - 1
    EXPECT_STREQ(buf, "longer ");
    EXPECT_EQ(read_upload_line(in, buf, sizeof buf), 5u);
    EXPECT_EQ(read_upload_line(in, buf, sizeof buf), 0u);       // end of input
    fclose(in);
}

TEST(UploadParts, FilePartHeaderAndBlankLine)
{
    std::string lower = "content-disposition: form-data; name=\"ipt_file_import\"; filename=\"a.cfg\"\r\n";
    EXPECT_TRUE(is_file_part_line(lower.c_str(), lower.size()));
    std::string other = "Content-Disposition: form-data; name=\"ipt_file_import_x\"\r\n";
    EXPECT_FALSE(is_file_part_line(other.c_str(), other.size()));
    std::string unquoted = "Content-Disposition: form-data; name=ipt_file_import\r\n";
    EXPECT_FALSE(is_file_part_line(unquoted.c_str(), unquoted.size()));
    std::string late = "X: Content-Disposition: name=\"ipt_file_import\"\r\n";
    EXPECT_FALSE(is_file_part_line(late.c_str(), late.size()));
    // The field name behind a zero byte is still seen, the one past len not.
    std::string zero("Content-Disposition:\0 name=\"ipt_file_import\"", 44);
    EXPECT_TRUE(is_file_part_line(zero.data(), zero.size()));
    EXPECT_FALSE(is_file_part_line(zero.data(), 30));

    EXPECT_TRUE(is_blank_line("\r\n", 2));
    EXPECT_TRUE(is_blank_line("\n", 1));
    EXPECT_FALSE(is_blank_line(" \r\n", 3));
    EXPECT_FALSE(is_blank_line("\r\nx", 3));
}

TEST(UploadParts, ConfigurationTextEndsAtTheFirstLineEndPairOrDashes)
{
    struct {
        std::string chunk;
        size_t len;
        size_t text;
    } cases[] = {
        {"a=1\nb=2\r\n--XyZ--\r\n", 18, 7},
        {"a=1\n---x", 8, 4},
        {"a---1\r\n", 7, 5},              // dashes only count without a pair
        {"a=1\nb=2\n", 8, 8},
        {std::string("a\0b\r\n", 5), 5, 3},
        {"a=1\nb=2\r\n", 7, 7},           // the pair lies past the bytes received
        {"a=1--", 4, 4},
    };
    for (auto &c : cases)
        EXPECT_EQ(config_text_length(c.chunk.data(), c.len), c.text) << c.chunk;
}

}  // namespace
