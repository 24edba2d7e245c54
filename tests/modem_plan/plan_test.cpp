// The plan of one attempt: what it sends and skips, at which package
// offsets and with which byte count, and how the attempt ends.
#include <gtest/gtest.h>

#include "plan_tables.h"

using namespace plan_test;

namespace {

// "send DSP1 slot 7 at 14612+900 num 716"; a size end shows its count only.
std::vector<std::string> render(const modem_plan &p)
{
    static const char *const ACTIONS[] = {"send", "installed", "unknown", "end_done", "end_abort", "size_done"};
    std::vector<std::string> out;
    for (size_t i = 0; i < p.count; i++) {
        const modem_plan_step &s = p.steps[i];
        char line[96];
        if (s.action == modem_step_action::size_done)
            snprintf(line, sizeof line, "size_done num %u", (unsigned)s.num);
        else
            snprintf(line, sizeof line, "%s %s slot %d at %llu+%u num %u", ACTIONS[(int)s.action],
                     type_name(s.type).c_str(), s.slot, (unsigned long long)s.body_off, (unsigned)s.size,
                     (unsigned)s.num);
        out.push_back(line);
    }
    return out;
}

struct plan_row {
    const char *name;
    std::vector<fw_h_t> entries;
    modem_check_point_t flags;
    uint32_t container_size;
    std::vector<std::string> steps;
};

// Fifteen entries and no end mark: every image, then six unknown ones of 10
// bytes each.
std::vector<fw_h_t> fifteen_entries()
{
    std::vector<fw_h_t> e = every_image();
    for (uint32_t i = 1; i <= 6; i++)
        e.push_back(entry(0x7F000000 + i, 10));
    return e;
}

TEST(ModemPlan, AttemptsFollowTheTableTheFlagsAndTheCount)
{
    const plan_row rows[] = {
        {"first attempt, nothing installed: every image in table order", every_image(), {}, 13516,
         {"send HEX slot 1 at 4472+300 num 376", "send PART slot 2 at 4772+40 num 676",
          "send DBL slot 3 at 4812+500 num 716", "send FSBL slot 4 at 5312+600 num 1216",
          "send OSBL slot 5 at 5912+700 num 1816", "send AMSS slot 6 at 6612+8000 num 2516",
          "send DSP1 slot 7 at 14612+900 num 10516", "send DSP2 slot 8 at 15512+1000 num 11416",
          "send EFS slot 9 at 16512+1100 num 12416", "size_done num 13516"}},
        // The skipped images are not counted, so the walk runs into the end
        // mark, which finds every flag set.
        {"retry after a DSP1 failure", every_image(), flags_of({DBL, FSBL, OSBL, AMSS}), 13516,
         {"send HEX slot 1 at 4472+300 num 376", "send PART slot 2 at 4772+40 num 676",
          "installed DBL slot 3 at 4812+500 num 716", "installed FSBL slot 4 at 5312+600 num 716",
          "installed OSBL slot 5 at 5912+700 num 716", "installed AMSS slot 6 at 6612+8000 num 716",
          "send DSP1 slot 7 at 14612+900 num 716", "send DSP2 slot 8 at 15512+1000 num 1616",
          "send EFS slot 9 at 16512+1100 num 2616", "end_done END slot 10 at 17612+0 num 3716"}},
        // Without an EFS entry the first attempt ends on the count, but a
        // retry reaches the end mark with the EFS flag missing.
        {"no EFS entry, first attempt", without_efs(), {}, 12416,
         {"send HEX slot 1 at 4472+300 num 376", "send PART slot 2 at 4772+40 num 676",
          "send DBL slot 3 at 4812+500 num 716", "send FSBL slot 4 at 5312+600 num 1216",
          "send OSBL slot 5 at 5912+700 num 1816", "send AMSS slot 6 at 6612+8000 num 2516",
          "send DSP1 slot 7 at 14612+900 num 10516", "send DSP2 slot 8 at 15512+1000 num 11416",
          "size_done num 12416"}},
        {"no EFS entry, retry: the end mark with a flag missing aborts", without_efs(),
         flags_of({DBL, FSBL, OSBL, AMSS}), 12416,
         {"send HEX slot 1 at 4472+300 num 376", "send PART slot 2 at 4772+40 num 676",
          "installed DBL slot 3 at 4812+500 num 716", "installed FSBL slot 4 at 5312+600 num 716",
          "installed OSBL slot 5 at 5912+700 num 716", "installed AMSS slot 6 at 6612+8000 num 716",
          "send DSP1 slot 7 at 14612+900 num 716", "send DSP2 slot 8 at 15512+1000 num 1616",
          "end_abort END slot 9 at 16512+0 num 2616"}},
        // Unknown entries are stepped over by their size and counted; an
        // installed one is stepped over but not counted.
        {"unknown type, nothing installed", {entry(HEX, 300), entry(ODD, 50), entry(DBL, 500)}, {}, 1226,
         {"send HEX slot 1 at 4472+300 num 376", "unknown 0x0BADF00D slot 2 at 4772+50 num 676",
          "send DBL slot 3 at 4822+500 num 726", "size_done num 1226"}},
        {"unknown type, DBL installed", {entry(HEX, 300), entry(ODD, 50), entry(DBL, 500)}, flags_of({DBL}),
         1226,
         {"send HEX slot 1 at 4472+300 num 376", "unknown 0x0BADF00D slot 2 at 4772+50 num 676",
          "installed DBL slot 3 at 4822+500 num 726", "end_abort END slot 4 at 5322+0 num 726"}},
        // A send sets its flag for the rest of the attempt.
        {"a second entry of a sent type is skipped", {entry(HEX, 300), entry(DBL, 500), entry(DBL, 70)}, {},
         1246,
         {"send HEX slot 1 at 4472+300 num 376", "send DBL slot 2 at 4772+500 num 676",
          "installed DBL slot 3 at 5272+70 num 1176", "end_abort END slot 4 at 5342+0 num 1176"}},
        {"a container size that ends the walk inside the table", every_image(), {}, 2000,
         {"send HEX slot 1 at 4472+300 num 376", "send PART slot 2 at 4772+40 num 676",
          "send DBL slot 3 at 4812+500 num 716", "send FSBL slot 4 at 5312+600 num 1216",
          "send OSBL slot 5 at 5912+700 num 1816", "size_done num 2516"}},
        {"a container with nothing after the INI", every_image(), {}, 376, {"size_done num 376"}},
        // The last slot holds an entry: the walk takes it, then reads that
        // slot again as its end.
        {"end mark missing from a full table", fifteen_entries(), {}, 20000,
         {"send HEX slot 1 at 4472+300 num 376", "send PART slot 2 at 4772+40 num 676",
          "send DBL slot 3 at 4812+500 num 716", "send FSBL slot 4 at 5312+600 num 1216",
          "send OSBL slot 5 at 5912+700 num 1816", "send AMSS slot 6 at 6612+8000 num 2516",
          "send DSP1 slot 7 at 14612+900 num 10516", "send DSP2 slot 8 at 15512+1000 num 11416",
          "send EFS slot 9 at 16512+1100 num 12416", "unknown 0x7F000001 slot 10 at 17612+10 num 13516",
          "unknown 0x7F000002 slot 11 at 17622+10 num 13526", "unknown 0x7F000003 slot 12 at 17632+10 num 13536",
          "unknown 0x7F000004 slot 13 at 17642+10 num 13546", "unknown 0x7F000005 slot 14 at 17652+10 num 13556",
          "unknown 0x7F000006 slot 15 at 17662+10 num 13566",
          "end_done 0x7F000006 slot 15 at 17672+10 num 13576"}},
    };
    for (const plan_row &row : rows) {
        SCOPED_TRACE(row.name);
        const table16 t = make_table(row.entries);
        modem_plan p{};
        modem_plan_attempt(walk_of(t, row.container_size), row.flags, &p);
        EXPECT_EQ(render(p), row.steps);
    }
}

// A table given with more slots than the plan has room for is read as its
// first 16: with slots 1 to 19 all holding entries, the walk ends on slot 15.
TEST(ModemPlan, ReadsNoMoreThanSixteenSlots)
{
    fw_h_t slots[20];
    for (uint32_t i = 0; i < 20; i++)
        slots[i] = entry(0x7F000000 + i, 10);
    modem_plan p{};
    modem_plan_attempt(modem_walk{{slots, 20}, 1000, 0, 100000}, modem_check_point_t{}, &p);
    ASSERT_EQ(p.count, 16u);
    EXPECT_EQ(render(p).back(), "end_abort 0x7F00000F slot 15 at 1150+10 num 150");
}

} // namespace
