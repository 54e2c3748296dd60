// The four repair rules, their order and their messages, and the clock jumps of a capture on sequences
// of time stamps.
#include <gtest/gtest.h>

#include <climits>
#include <vector>

#include "timeline/timestamp_repair.h"

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
        {"clean packet", {100, 100, true}, 200, 150, 200, 150, ""},
        {"repeated DTS", {5, 5, true}, 9, 5, 9, 6, p + ": Non-monotonic DTS=5 <= 5, assigning=6\n"},
        {"both missing",
         {100, 100, true},
         missing,
         missing,
         101,
         101,
         p + ": Negative DTS=-9223372036854775808, assigning=101\n" + p +
             ": Negative PTS=-9223372036854775808, assigning=101\n"},
        {"both missing on the first packet",
         {-1, -1, false},
         missing,
         missing,
         0,
         0,
         p + ": Negative DTS=-9223372036854775808, assigning=0\n" + p +
             ": Negative PTS=-9223372036854775808, assigning=0\n"},
        {"PTS before DTS", {95, 99, true}, 90, 100, 100, 100, p + ": PTS=90 < DTS=100, setting PTS=DTS\n"},
        // A negative time stamp that is not the missing value is judged as any other.
        {"negative DTS not after the last",
         {-1, 10, true},
         20,
         -3,
         20,
         11,
         p + ": Non-monotonic DTS=-3 <= 10, assigning=11\n"},
        {"negative DTS on the first packet", {-1, -1, false}, 0, -1, 0, -1, ""},
        {"negative time stamps in order", {-1024, -1024, true}, -512, -512, -512, -512, ""},
        {"negative PTS before DTS",
         {3, 40, true},
         -2,
         50,
         50,
         50,
         p + ": PTS=-2 < DTS=50, setting PTS=DTS\n"},
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
        EXPECT_TRUE(state.started);
    }
}

TEST(TimestampRepair, LargestTimestampDoesNotOverflow) {
    RepairState state{INT64_MAX, INT64_MAX, true};
    std::int64_t pts = INT64_MAX;
    std::int64_t dts = INT64_MAX;
    const std::string messages = repairTimestamps(pts, dts, state, "V");
    EXPECT_NE(messages.find("Non-monotonic DTS=9223372036854775807 <= 9223372036854775807"),
              std::string::npos);
}

// One packet of a sequence: its kind and time stamps as read, and what repair makes of them.
struct Step {
    CaptureRepair::Kind kind;
    std::int64_t dts;
    std::int64_t wantDts;
    std::string message = "";  // after the packet's prefix ("V" or "A") and ": ", lines apart by "\n"
};

struct Sequence {
    const char* name;
    std::vector<Step> steps;
};

void PrintTo(const Sequence& sequence, std::ostream* out) {
    *out << sequence.name;
}

constexpr auto V = CaptureRepair::video;
constexpr auto A = CaptureRepair::audio;

// Video and audio of 40 ms and 20 ms packets, both counted in milliseconds, that come out at from to
// to; read on a clock that is back by the given amount.
std::vector<Step> steady(std::int64_t from, std::int64_t to, std::int64_t back = 0) {
    std::vector<Step> steps;
    for (std::int64_t t = from; t < to; t += 40) {
        steps.push_back({V, t - back, t});
        steps.push_back({A, t - back, t});
        steps.push_back({A, t + 20 - back, t + 20});
    }
    return steps;
}

// The packets of one kind.
std::vector<Step> only(CaptureRepair::Kind kind, std::vector<Step> steps) {
    std::erase_if(steps, [kind](const Step& step) { return step.kind != kind; });
    return steps;
}

std::vector<Step> operator+(std::vector<Step> first, const std::vector<Step>& second) {
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

class Jumps : public testing::TestWithParam<Sequence> {};

}  // namespace

// Each packet's DTS comes out as wanted, with the jump messages (and only those) where they belong; PTS
// moves with DTS (every packet here has PTS = DTS).
TEST_P(Jumps, ShiftTheTimeLineOnceAJumpIsSeen) {
    CaptureRepair repair(TimeBase{1, 1000}, TimeBase{1, 1000});
    for (const Step& step : GetParam().steps) {
        const std::string prefix = step.kind == V ? "V" : "A";
        SCOPED_TRACE(prefix + " " + std::to_string(step.dts));
        std::int64_t pts = step.dts;
        std::int64_t dts = step.dts;
        const std::string messages = repair.repair(step.kind, pts, dts, step.kind == V ? 40 : 20, prefix);
        EXPECT_EQ(messages, step.message.empty() ? "" : prefix + ": " + step.message + "\n");
        EXPECT_EQ(dts, step.wantDts);
        EXPECT_EQ(pts, step.wantDts);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Sequences, Jumps,
    testing::Values(
        // A camera clock reset: both kinds go back 300 ms; video sees it first, audio takes the same shift.
        Sequence{"BothBack",
                 steady(0, 200) +
                     std::vector<Step>{{V, -100, 200, "Timestamp jump DTS=-100 after 160, shifting by 300"},
                                       {A, -100, 200, "Timestamp jump DTS=-100 after 180, shifting by 300"},
                                       {A, -80, 220},
                                       {V, -60, 240}}},
        // An hour forward, both kinds; then nothing more to say.
        Sequence{"BothForwardAnHour",
                 steady(0, 200) +
                     std::vector<Step>{
                         {V, 3600200, 200, "Timestamp jump DTS=3600200 after 160, shifting by -3600000"},
                         {A, 3600200, 200, "Timestamp jump DTS=3600200 after 180, shifting by -3600000"},
                         {A, 3600220, 220},
                         {V, 3600240, 240},
                         {V, 3600280, 280}}},
        // Video alone goes back an hour; audio goes on as it was.
        Sequence{"VideoAloneBack",
                 steady(0, 200) +
                     std::vector<Step>{
                         {V, -3599800, 200, "Timestamp jump DTS=-3599800 after 160, shifting by 3600000"},
                         {A, 200, 200},
                         {A, 220, 220},
                         {V, -3599760, 240}}},
        // One wild DTS an hour ahead: placed one step after the one before it, and the next packet goes
        // back to the line of before.
        Sequence{"OneWildAhead",
                 steady(0, 200) +
                     std::vector<Step>{
                         {V, 3600200, 200, "Timestamp jump DTS=3600200 after 160, shifting by -3600000"},
                         {A, 200, 200},
                         {V, 240, 240, "Timestamp jump DTS=240 after 200, shifting by 0"},
                         {V, 280, 280}}},
        // The same an hour behind.
        Sequence{"OneWildBehind",
                 steady(0, 200) +
                     std::vector<Step>{
                         {V, -3599800, 200, "Timestamp jump DTS=-3599800 after 160, shifting by 3600000"},
                         {V, 240, 240, "Timestamp jump DTS=240 after 200, shifting by 0"},
                         {V, 280, 280}}},
        // The video clock goes back 400 ms for three frames and then comes back to where it was: the
        // frames in between are placed after the one before them, and the rest keeps its own timeline.
        Sequence{"VideoBackForAMoment",
                 steady(0, 200) +
                     std::vector<Step>{{V, -200, 200, "Timestamp jump DTS=-200 after 160, shifting by 400"},
                                       {A, 200, 200},
                                       {V, -160, 240},
                                       {V, -120, 280},
                                       {V, 320, 320, "Timestamp jump DTS=320 after 280, shifting by 0"},
                                       {A, 320, 320},
                                       {V, 360, 360}}},
        // The way back is recognised up to 10 s after the jump: the video clock goes back 400 ms for 9.5 s.
        Sequence{"VideoBackForNineSeconds",
                 steady(0, 200) +
                     std::vector<Step>{{V, -200, 200, "Timestamp jump DTS=-200 after 160, shifting by 400"}} +
                     only(V, steady(240, 9720, 400)) +
                     std::vector<Step>{{V, 9720, 9720, "Timestamp jump DTS=9720 after 9680, shifting by 0"},
                                       {V, 9760, 9760}}},
        // Not later: 12 s after a clock reset of 300 ms, 8 lost video frames (a step of 360 ms, half a usual
        // step off the way back) are a gap, and video stays with audio.
        Sequence{"LostFramesLongAfterABackJump",
                 steady(0, 200) +
                     std::vector<Step>{{V, -100, 200, "Timestamp jump DTS=-100 after 160, shifting by 300"},
                                       {A, -100, 200, "Timestamp jump DTS=-100 after 180, shifting by 300"},
                                       {A, -80, 220}} +
                     steady(240, 12000, 300) + only(A, steady(12000, 12320, 300)) +
                     std::vector<Step>{{V, 12020, 12320}, {A, 12020, 12320}, {V, 12060, 12360}}},
        // After a clock that went back for good, a gap is a gap: it is not taken for the way back.
        Sequence{"GapAfterABackJumpKeepsTheShift",
                 steady(0, 200) +
                     std::vector<Step>{{V, -100, 200, "Timestamp jump DTS=-100 after 160, shifting by 300"},
                                       {V, -60, 240},
                                       {V, 140, 440},
                                       {V, 180, 480}}},
        // Within the tolerances the repair rules alone: 50 ms back is a repeated DTS, 9 s forward a gap.
        Sequence{"SmallStepsKeepTheRules",
                 steady(0, 200) + std::vector<Step>{{V, 110, 161,
                                                     "Non-monotonic DTS=110 <= 160, assigning=161\n"
                                                     "V: PTS=110 < DTS=161, setting PTS=DTS"},
                                                    {V, 9161, 9161},
                                                    {V, 9201, 9201}}},
        // The other kind's jump counts only when it is about as large and about as recent.
        Sequence{
            "OtherKindsJumpOnlyWhenAlike",
            steady(0, 200) +
                std::vector<Step>{{V, -100, 200, "Timestamp jump DTS=-100 after 160, shifting by 300"},
                                  // audio goes back three seconds, not 300 ms: a jump of its own
                                  {A, -2800, 200, "Timestamp jump DTS=-2800 after 180, shifting by 3000"}}},
        // The usual step is the median of the last ones: a few odd steps do not change it.
        Sequence{"UsualStepIsTheMedian",
                 std::vector<Step>{{V, 0, 0},
                                   {V, 40, 40},
                                   {V, 80, 80},
                                   {V, 100, 100},
                                   {V, 140, 140},
                                   {V, 180, 180},
                                   {V, 300, 300},
                                   {V, 340, 340},
                                   {V, -5000, 380, "Timestamp jump DTS=-5000 after 340, shifting by 5380"}}}),
    [](const testing::TestParamInfo<Sequence>& tested) { return std::string(tested.param.name); });

// The first step before there is any: the packet's duration.
TEST(Jumps, FirstStepIsThePacketsDuration) {
    CaptureRepair repair(TimeBase{1, 90000}, TimeBase{1, 48000});
    std::int64_t pts = 900000;
    std::int64_t dts = 900000;
    EXPECT_EQ(repair.repair(CaptureRepair::video, pts, dts, 3600, "V"), "");
    pts = 0;
    dts = 0;
    EXPECT_EQ(repair.repair(CaptureRepair::video, pts, dts, 3600, "V"),
              "V: Timestamp jump DTS=0 after 900000, shifting by 903600\n");
    EXPECT_EQ(dts, 903600);
    EXPECT_EQ(repair.shiftOf(CaptureRepair::video), 903600);
    EXPECT_EQ(repair.shiftOf(CaptureRepair::audio), 0);
}
