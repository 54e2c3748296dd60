// The status line of a long capture: its text, and nothing at all where standard output is no console.
#include <gtest/gtest.h>

#include <string>

#include "diagnostics/status_line.h"

namespace {

TEST(StatusLine, ShowsStreamTimeCountsAndMegabytes) {
    struct Case {
        double seconds;
        std::int64_t video;
        std::int64_t audio;
        std::uint64_t bytes;
        const char* text;
    };
    const Case cases[] = {
        {0.0, 0, 0, 0, "### Capturing 0:00:00 of stream time, 0 video and 0 audio packets, 0.0 MB"},
        {59.99, 1500, 2812, 1949999,
         "### Capturing 0:00:59 of stream time, 1500 video and 2812 audio packets, 1.9 MB"},
        {3723.5, 93087, 174524, 1234567890,
         "### Capturing 1:02:03 of stream time, 93087 video and 174524 audio packets, 1234.6 MB"},
        {36000.0 * 10 + 61, 9000001, 0, 1000000,
         "### Capturing 100:01:01 of stream time, 9000001 video and 0 audio packets, 1.0 MB"},
        {-1.0, 1, 1, 0, "### Capturing 0:00:00 of stream time, 1 video and 1 audio packets, 0.0 MB"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(statusText(c.seconds, c.video, c.audio, c.bytes), c.text);
    }
}

// Where standard output is a file or a pipe (as under ctest): no status line, ever, and no trace of one.
TEST(StatusLine, WritesNothingWhereStandardOutputIsNoConsole) {
    if (consoleIsInteractive()) {
        GTEST_SKIP() << "standard output is a console";
    }
    testing::internal::CaptureStdout();
    StatusLine status;
    EXPECT_FALSE(status.due());
    showStatusLine("### Capturing 0:00:01 of stream time, 25 video and 47 audio packets, 0.1 MB");
    clearStatusLine();
    ncvDebugOutput("### a line\n", White);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "### a line\n");
}

}  // namespace
