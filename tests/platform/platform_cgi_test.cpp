// CGI parsing: decoding, bounds on the body, and absent parameters.
#include <cstdio>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>

#include "kq_cgi.h"

namespace {

TEST(Cgi, DecodesPlusAndPercentEscapes)
{
    struct { const char *query, *name, *value; } cases[] = {
        {"action=clear", "action", "clear"},
        {"a=1&b=two+words", "b", "two words"},
        {"f=%2Ftmp%2fx", "f", "/tmp/x"},
        {"bad=%zz%4", "bad", "%zz%4"},
        {"nul=a%00b", "nul", "ab"},
        {"k%3D=v%26w", "k=", "v&w"},
        {"empty=&x=1", "empty", ""},
        {"flag&x=1", "flag", ""},
    };
    for (auto &c : cases) {
        init_cgi(c.query);
        const char *v = get_cgi(c.name);
        ASSERT_NE(v, nullptr) << c.query;
        EXPECT_STREQ(v, c.value) << c.query;
    }
    init_cgi("a=1");
    EXPECT_EQ(get_cgi("b"), nullptr);
    EXPECT_EQ(get_cgi(nullptr), nullptr);
    EXPECT_EQ(init_cgi(nullptr), -1);
    EXPECT_EQ(get_cgi("a"), nullptr) << "a failed parse clears the earlier one";
}

TEST(Cgi, ParameterCountIsBounded)
{
    std::string q;
    for (int i = 0; i < 1000; ++i)
        q += "p" + std::to_string(i) + "=1&";
    EXPECT_EQ(init_cgi(q.c_str()), 128);
    EXPECT_EQ(get_cgi("p999"), nullptr);
}

// getPostQuery reads no more than asked and no more than the body holds.
TEST(Cgi, PostBodyIsReadWithinLength)
{
    int saved = dup(STDIN_FILENO);
    auto feed = [](const std::string &body) {
        int p[2];
        ASSERT_EQ(pipe(p), 0);
        ASSERT_EQ(write(p[1], body.data(), body.size()), (ssize_t)body.size());
        close(p[1]);
        dup2(p[0], STDIN_FILENO);
        close(p[0]);
    };
    feed("action=export&extra=1");
    EXPECT_EQ(getPostQuery(13), 1);
    EXPECT_STREQ(get_cgi("action"), "export");
    EXPECT_EQ(get_cgi("extra"), nullptr);
    feed("action=clear");
    EXPECT_EQ(getPostQuery(5000), 1) << "a short body ends the read, no hang";
    EXPECT_STREQ(get_cgi("action"), "clear");
    EXPECT_EQ(getPostQuery(-1), -1);
    dup2(saved, STDIN_FILENO);
    close(saved);
}

} // namespace
