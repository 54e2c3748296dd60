// Reports, elapsed-time text, timer arithmetic and the colour table of the diagnostics module.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <utility>

#include "diagnostics/common.h"

#if defined(_WIN32)
#include <windows.h>

#include "diagnostics/console.h"
#endif

namespace {

TEST(Report, ComposesFiveLinesInOrder) {
    struct Case {
        std::string message;
        bool isWarning;
        int line;
        std::string expected;
    };
    const Case cases[] = {
        {"Couldn't open input video", false, 42,
         "### Error: Couldn't open input video\n    local_time=2024-03-07.09:05:31\n"
         "    elapsed_time=000:00:00:00:250\n    file=mediatap/main\n    line=42\n"},
        {"Media file for audio specified", true, 7,
         "### Warning: Media file for audio specified\n    local_time=2024-03-07.09:05:31\n"
         "    elapsed_time=000:00:00:00:250\n    file=mediatap/main\n    line=7\n"},
        {"", false, 0,
         "### Error: \n    local_time=2024-03-07.09:05:31\n    elapsed_time=000:00:00:00:250\n"
         "    file=mediatap/main\n    line=0\n"},
        {"x", true, -15,
         "### Warning: x\n    local_time=2024-03-07.09:05:31\n    elapsed_time=000:00:00:00:250\n"
         "    file=mediatap/main\n    line=-15\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.expected);
        EXPECT_EQ(composeReport(c.message, c.isWarning, "mediatap/main", c.line, "2024-03-07.09:05:31",
                                "000:00:00:00:250"),
                  c.expected);
    }
}

TEST(Report, ElapsedTimeIsZeroFilledWithMillisecondsAfterAColon) {
    const std::pair<std::uint64_t, const char*> cases[] = {
        {0, "000:00:00:00:000"},
        {250, "000:00:00:00:250"},
        {3723045, "000:01:02:03:045"},
        {86399999, "000:23:59:59:999"},
        {86400000ull * 1000, "1000:00:00:00:000"},  // the days field grows instead of wrapping
        {86400000ull * 1234 + 61001, "1234:00:01:01:001"},
    };
    for (const auto& [ms, text] : cases) {
        SCOPED_TRACE(ms);
        EXPECT_EQ(elapsedTimeString(ms), text);
    }
}

TEST(Report, LocalTimeHasDateDotTime) {
    EXPECT_TRUE(std::regex_match(localTimeString(), std::regex(R"(\d{4}-\d{2}-\d{2}\.\d{2}:\d{2}:\d{2})")));
}

TEST(Report, PrintedReportGoesToStandardOutputUnchanged) {
    testing::internal::CaptureStdout();
    ncvAssertPrint_("Failed to open log for video", false, "mediatap/main", 123);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(
        std::regex_match(out, std::regex("### Error: Failed to open log for video\n"
                                         "    local_time=\\d{4}-\\d{2}-\\d{2}\\.\\d{2}:\\d{2}:\\d{2}\n"
                                         "    elapsed_time=000:00:00:\\d{2}:\\d{3}\n"
                                         "    file=mediatap/main\n    line=123\n")))
        << out;
}

TEST(ErrorFlag, OnlySetGlobalErrSetsIt) {
    testing::internal::CaptureStdout();
    ncvAssertPrint_("an error", false, "mediatap/main", 1);
    ncvAssertPrint_("a warning", true, "mediatap/main", 2);
    testing::internal::GetCapturedStdout();
    EXPECT_FALSE(isGlobalErr());
    setGlobalErr();
    EXPECT_TRUE(isGlobalErr());
    setGlobalErr();
    EXPECT_TRUE(isGlobalErr());
}

TEST(DebugOutput, WritesMessagesByteForByteInCallOrder) {
    testing::internal::CaptureStdout();
    ncvDebugOutput("first line\n", White);
    ncvDebugOutput("", Red);
    ncvDebugOutput("two\nlines\n", Yellow);
    ncvDebugOutput("odd colour\n", static_cast<ConsoleColor>(9));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "first line\ntwo\nlines\nodd colour\n");
}

TEST(DebugOutput, ColourTableMapsTheFiveColoursAndUnknownValuesToZero) {
    const std::pair<int, unsigned> cases[] = {{White, 0x0F},  {Red, 0x0C}, {Green, 0x0A}, {Cyan, 0x0B},
                                              {Yellow, 0x0E}, {5, 0},      {-1, 0},       {1000, 0}};
    for (const auto& [color, attribute] : cases) {
        SCOPED_TRACE(color);
        EXPECT_EQ(consoleAttribute(color), attribute);
    }
}

TEST(Timer, ElapsedMillisecondsFromCounterReadings) {
    struct Case {
        std::uint64_t startCounter, startFrequency, nowCounter, nowFrequency;
        double expected;
        int callback;  // what the watchdog answers at this elapsed time
    };
    const Case cases[] = {
        {0, 1000000, 5000001, 1000000, 5000.001, 1},
        {0, 1000000, 5000000, 1000000, 5000.0, 0},  // exactly at the limit still returns 0
        {0, 1000000, 1000001, 1000002, 1000.0, 0},  // the two frequencies are averaged
        {123456789, 1000000000, 123456789, 1000000000, 0.0, 0},
        {0xFFFFFFFFFFFFFF00ull, 1000, 0xFFFFFFFFFFFFFF00ull + 6000, 1000, 6000.0, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.expected);
        const double ms = intervalMs(c.startCounter, c.startFrequency, c.nowCounter, c.nowFrequency);
        EXPECT_DOUBLE_EQ(ms, c.expected);
        EXPECT_EQ(ioDeadlinePassed(ms) ? 1 : 0, c.callback);
    }
}

TEST(Timer, FreshTimerIsNearZeroAndTheWatchdogLetsItRun) {
    IntervalTimer timer{IntervalTimer::startNow};
    EXPECT_GE(timer.elapsedMs(), 0.0);
    EXPECT_LT(timer.elapsedMs(), 1000.0);
    EXPECT_EQ(ioTimeoutCallback(&timer), 0);
    EXPECT_GT(startupTimer.frequency, 0);
}

TEST(Timer, WatchdogFiresOnceTheBudgetIsSpent) {
    IntervalTimer timer{IntervalTimer::startNow};
    timer.counter -= timer.frequency * 6;  // as if restarted six seconds ago
    EXPECT_EQ(ioTimeoutCallback(&timer), 1);
    timer.restart();
    EXPECT_EQ(ioTimeoutCallback(&timer), 0);
}

}  // namespace

#if defined(_WIN32)
// Wine sends no log-off or shutdown event: the handler's reading of each event is checked here. A close,
// a log-off and a shutdown all end the capture and wait for its teardown, as long as the system allows.
TEST(ConsoleControl, LogOffAndShutdownEndTheCaptureAsAConsoleCloseDoes) {
    using console::ControlAction;
    const std::pair<DWORD, ControlAction> cases[] = {
        {CTRL_C_EVENT, ControlAction::stop},
        {CTRL_BREAK_EVENT, ControlAction::stop},
        {CTRL_CLOSE_EVENT, ControlAction::stopAndWait},
        {CTRL_LOGOFF_EVENT, ControlAction::stopAndWait},
        {CTRL_SHUTDOWN_EVENT, ControlAction::stopAndWait},
        {7, ControlAction::pass},
    };
    for (const auto& [event, action] : cases) {
        SCOPED_TRACE(event);
        EXPECT_EQ(console::controlAction(event), action);
    }
    EXPECT_FALSE(stopDeadlineNear());
}
#endif
