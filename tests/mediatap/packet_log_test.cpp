// Layout of the packet log lines and the log files.
#include <gtest/gtest.h>

#include <climits>
#include <filesystem>
#include <fstream>

#include "packet_log.h"
#include "read_file.h"

namespace {

TEST(PacketLine, FixedLayoutForVideoAndAudio) {
    struct Case {
        PacketLine line;
        std::string expected;
    };
    const Case cases[] = {
        {{true, 0, true, 0.0, 0, 0, 0, 0, 0, 1234},
         "V packet_id=00000000000000000000   key=1   at=            0.00   pts=         0   dts=         0"
         "   orpts=         0   ordts=         0   dur=    0   size=1234\n"},
        {{false, 17, false, 0.5, 45000, 45000, 45000, 45000, 1920, 371},
         "A packet_id=00000000000000000017           at=            0.50   pts=     45000   dts=     45000"
         "   orpts=     45000   ordts=     45000   dur= 1920   size=371\n"},
        {{true, 3, false, 3.0, 270000, 266400, 270000, 266400, 3600, 9},
         "V packet_id=00000000000000000003   key=0   at=            3.00   pts=    270000   dts=    266400"
         "   orpts=    270000   ordts=    266400   dur= 3600   size=9\n"},
        {{true, 2, false, -1.0e15, 101, 101, INT64_MIN, INT64_MIN, -1, 0},
         "V packet_id=00000000000000000002   key=0   at=-1000000000000000.00   pts=       101   dts=       "
         "101"
         "   orpts=-9223372036854775808   ordts=-9223372036854775808   dur=   -1   size=0\n"},
        {{false, 2147483647, false, 123456.789, 12345678901, 1, 2, 3, 123456, 5},
         "A packet_id=00000000002147483647           at=       123456.79   pts=12345678901   dts=         1"
         "   orpts=         2   ordts=         3   dur=123456   size=5\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.expected);
        EXPECT_EQ(composePacketLine(c.line), c.expected);
    }
}

TEST(PacketLog, TruncatesAnExistingFileAndFlushesEveryLine) {
    const auto path = std::filesystem::path(testing::TempDir()) / "packet_log_test.log";
    {
        std::ofstream old(path);
        old << "old content that must go\n";
    }
    {
        PacketLog log;
        ASSERT_TRUE(log.open(path.string()));
        EXPECT_EQ(readFile(path), "");
        log.write("one\n");
        // Visible to a reader while the log is still open.
#if defined(_WIN32)
        EXPECT_EQ(readFile(path), "one\r\n");
#else
        EXPECT_EQ(readFile(path), "one\n");
#endif
    }
    std::filesystem::remove(path);
}

TEST(PacketLog, ClosedLogReceivesNothingAndUnwritablePathFails) {
    PacketLog closed;
    closed.write("ignored\n");
    EXPECT_FALSE(closed.isOpen());
    PacketLog bad;
    const std::string name = (std::filesystem::path(testing::TempDir()) / "no-such-dir" / "x.log").string();
    EXPECT_FALSE(bad.open(name));
    EXPECT_FALSE(bad.errorText().empty());
    EXPECT_EQ(bad.fileName(), name);
}

// The check before a run leaves an existing log as it is, and gives the reason open would fail with.
TEST(PacketLog, CheckNeitherCreatesNorTruncates) {
    const auto dir = std::filesystem::path(testing::TempDir());
    const auto existing = dir / "packet_log_check.log";
    std::ofstream(existing, std::ios::binary) << "an earlier log\n";
    const auto fresh = dir / "packet_log_fresh.log";
    std::filesystem::remove(fresh);
    std::string reason;
    EXPECT_TRUE(PacketLog::checkOpen(existing.string(), reason));
    EXPECT_TRUE(PacketLog::checkOpen(fresh.string(), reason));
    EXPECT_EQ(readFile(existing), "an earlier log\n");
    EXPECT_FALSE(std::filesystem::exists(fresh));

    const std::string missing = (dir / "no-such-dir" / "x.log").string();
    EXPECT_FALSE(PacketLog::checkOpen(missing, reason));
    PacketLog log;
    EXPECT_FALSE(log.open(missing));
    EXPECT_EQ(reason, log.errorText());
    std::filesystem::remove(existing);
}

}  // namespace
