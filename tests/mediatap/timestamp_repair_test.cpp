// The four repair rules, their order and their messages.
#include <gtest/gtest.h>

#include <climits>

#include "timestamp_repair.h"

namespace {

constexpr std::int64_t missing = INT64_MIN;  // FFmpeg's missing timestamp

TEST(TimestampRepair, AppliesTheRulesInOrderWithTheirMessages) {
    struct Case {
        const char* what;
        RepairState before;
        std::int64_t pts, dts;
        std::int64_t wantPts, wantDts;
        std::string messages;
    };
    const std::string p = "### Video packet id=4";
    const Case cases[] = {
        {"clean packet", {100, 100}, 200, 150, 200, 150, ""},
        {"repeated DTS", {5, 5}, 9, 5, 9, 6, p + ": Non-monotonic DTS=5 <= 5, assigning=6\n"},
        {"both missing",
         {100, 100},
         missing,
         missing,
         101,
         101,
         p + ": Negative DTS=-9223372036854775808, assigning=101\n" + p +
             ": Negative PTS=-9223372036854775808, assigning=101\n"},
        {"PTS before DTS", {95, 99}, 90, 100, 100, 100, p + ": PTS=90 < DTS=100, setting PTS=DTS\n"},
        {"negative DTS then still not after last",
         {-1, 10},
         20,
         -3,
         20,
         11,
         p + ": Negative DTS=-3, assigning=11\n"},  // 11 is after 10: no second message
        {"first packet of a stream with DTS -1",
         {-1, -1},
         0,
         -1,
         0,
         0,
         p + ": Negative DTS=-1, assigning=0\n"},
        {"negative PTS lands before DTS",
         {3, 40},
         -2,
         50,
         50,
         50,
         p + ": Negative PTS=-2, assigning=4\n" + p + ": PTS=4 < DTS=50, setting PTS=DTS\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        RepairState state = c.before;
        std::int64_t pts = c.pts;
        std::int64_t dts = c.dts;
        EXPECT_EQ(repairTimestamps(pts, dts, state, p), c.messages);
        EXPECT_EQ(pts, c.wantPts);
        EXPECT_EQ(dts, c.wantDts);
        EXPECT_EQ(state.lastPts, c.wantPts);
        EXPECT_EQ(state.lastDts, c.wantDts);
    }
}

TEST(TimestampRepair, NegativeDtsStillCheckedForMonotonicity) {
    RepairState state{50, 50};
    std::int64_t pts = 60;
    std::int64_t dts = -5;
    // -5 becomes 51 (last + 1), which is already after 50
    EXPECT_EQ(repairTimestamps(pts, dts, state, "A"), "A: Negative DTS=-5, assigning=51\n");
    EXPECT_EQ(dts, 51);
}

TEST(TimestampRepair, LargestTimestampDoesNotOverflow) {
    RepairState state{INT64_MAX, INT64_MAX};
    std::int64_t pts = INT64_MAX;
    std::int64_t dts = INT64_MAX;
    const std::string messages = repairTimestamps(pts, dts, state, "V");
    EXPECT_NE(messages.find("Non-monotonic DTS=9223372036854775807 <= 9223372036854775807"),
              std::string::npos);
}

}  // namespace
