// The span unstuffer under its two escape rules: whole frames take any byte
// behind an escape, the stream-write answer only the escaped flag and escape.
#include <gtest/gtest.h>

#include <vector>

#include "hdlc_frame.h"
#include "frame_cases.h"

namespace {


struct unstuff_case {
    const char *what;
    hdlc_escape_rule rule;
    bytes in;
    bytes out;
    hdlc_unstuff_end end;
    size_t used;
};

TEST(HdlcUnstuff, EscapeRulesAndWhereItStops)
{
    const unstuff_case cases[] = {
        {"plain bytes", HDLC_ESC_ANY, {0x01, 0x02}, {0x01, 0x02}, HDLC_UNSTUFF_END, 2},
        {"escaped flag and escape", HDLC_ESC_ANY, {0x7D, 0x5E, 0x7D, 0x5D}, {0x7E, 0x7D}, HDLC_UNSTUFF_END, 4},
        {"any: other escaped byte", HDLC_ESC_ANY, {0x7D, 0x28, 0x09}, {0x08, 0x09}, HDLC_UNSTUFF_END, 3},
        {"known: other escape kept", HDLC_ESC_KNOWN, {0x7D, 0x28, 0x09}, {0x7D, 0x28, 0x09}, HDLC_UNSTUFF_END, 3},
        {"known: escaped flag", HDLC_ESC_KNOWN, {0x7D, 0x5E, 0x7E}, {0x7E}, HDLC_UNSTUFF_FLAG, 2},
        {"stops at the flag", HDLC_ESC_ANY, {0x08, 0x7E, 0x09}, {0x08}, HDLC_UNSTUFF_FLAG, 1},
        {"any: escape before a flag is read", HDLC_ESC_ANY, {0x7D, 0x7E, 0x7E}, {0x5E}, HDLC_UNSTUFF_FLAG, 2},
        {"known: escape before a flag kept", HDLC_ESC_KNOWN, {0x7D, 0x7E}, {0x7D}, HDLC_UNSTUFF_FLAG, 1},
        {"any: dangling escape", HDLC_ESC_ANY, {0x08, 0x7D}, {0x08}, HDLC_UNSTUFF_DANGLING, 1},
        {"known: trailing escape kept", HDLC_ESC_KNOWN, {0x08, 0x7D}, {0x08, 0x7D}, HDLC_UNSTUFF_END, 2},
    };
    for (const auto &c : cases) {
        bytes got;
        size_t used = 99;
        auto keep = [&got](uint8_t b) {
            got.push_back(b);
            return true;
        };
        EXPECT_EQ(hdlc_unstuff(c.in.data(), c.in.size(), c.rule, keep, &used), c.end) << c.what;
        EXPECT_EQ(got, c.out) << c.what;
        EXPECT_EQ(used, c.used) << c.what;
    }
}

TEST(HdlcUnstuff, RefusedByteStopsAtItsIndex)
{
    const bytes in = {0x01, 0x7D, 0x5E, 0x03};
    size_t taken = 0;
    size_t used = 99;
    auto first_only = [&taken](uint8_t) { return ++taken <= 1; };
    EXPECT_EQ(hdlc_unstuff(in.data(), in.size(), HDLC_ESC_ANY, first_only, &used), HDLC_UNSTUFF_REFUSED);
    EXPECT_EQ(taken, 2u);
    EXPECT_EQ(used, 2u);   // the second byte of the escape pair
}

} // namespace
