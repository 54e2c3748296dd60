// trsn.mediatap keeps the source's time line: every output shares one start (the earlier of the first
// video and the first audio PTS), so audio stays against video as it was; with -fix 1 a clock jump is one
// event, not a collapse of the rest of the capture. The inputs are made by timeline_corpus.py (ffmpeg and
// rewritten time stamps); each capture is judged against the clean source the input was made from.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <signal.h>

#include "live_source.h"
#include "log_lines.h"
#include "media_fixture.h"
#include "read_file.h"
#include "tool_run.h"

namespace {

using media_fixture::pathFor;
using media_fixture::quote;
using media_fixture::quotePath;
using media_fixture::runCommand;

// Makes a case of the corpus in the test's directory; returns the input's path.
std::string makeCase(const std::string& name) {
    std::string out;
    std::string err;
    const int status = runCommand("/usr/bin/python3 " + quotePath(TRSN_TESTS_DIR "/timeline_corpus.py") +
                                      " make " + quote(name) + " " + quotePath(media_fixture::testDir()),
                                  &out, &err);
    EXPECT_EQ(status, 0) << err;
    const std::string input = out.substr(0, out.find('\n'));
    // Under Wine the corpus speaks of host paths: the file is the one in the test's directory.
    return pathFor(input.substr(input.find_last_of("/\\") + 1));
}

// When each kind is presented, in seconds: its first and last packet, and its first key frame (video).
// An audio encoder's priming packet counts, where an edit list trims it or not: it is where the sound's
// clock starts.
struct Presented {
    std::optional<double> firstVideo, lastVideo, firstKey, firstAudio, lastAudio;
};

Presented presented(const std::string& path) {
    std::string out;
    runCommand(
        "ffprobe -v error -show_entries packet=stream_index,pts_time,flags -of csv=p=0 " + quotePath(path),
        &out);
    const std::string types = [&] {
        std::string streams;
        runCommand("ffprobe -v error -show_entries stream=codec_type -of csv=p=0 " + quotePath(path),
                   &streams);
        return streams;
    }();
    std::vector<std::string> kinds;
    std::istringstream typeLines(types);
    for (std::string line; std::getline(typeLines, line);) {
        kinds.push_back(line);
    }
    Presented facts;
    const auto widen = [](std::optional<double>& first, std::optional<double>& last, double time) {
        first = std::min(first.value_or(time), time);
        last = std::max(last.value_or(time), time);
    };
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        std::string stream, time, flags;
        std::getline(fields, stream, ',');
        std::getline(fields, time, ',');
        std::getline(fields, flags, ',');
        if (time.empty() || time == "N/A") {
            continue;
        }
        const std::size_t index = static_cast<std::size_t>(std::stoi(stream));
        const double seconds = std::stod(time);
        if (index < kinds.size() && kinds[index] == "video") {
            widen(facts.firstVideo, facts.lastVideo, seconds);
            if (flags.find('K') != std::string::npos && !facts.firstKey) {
                facts.firstKey = seconds;
            }
        } else if (index < kinds.size() && kinds[index] == "audio") {
            widen(facts.firstAudio, facts.lastAudio, seconds);
        }
    }
    return facts;
}

std::size_t countOf(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

struct TimelineCase {
    const char* name;
    const char* clean;      // the clean source's name in the corpus
    int jumps;              // "Timestamp jump" lines with -fix 1
    bool repaired = false;  // the repair rules put two packets one tick apart
};

void PrintTo(const TimelineCase& c, std::ostream* out) {
    *out << c.name;
}

class Timeline : public testing::TestWithParam<TimelineCase> {};

constexpr double frame = 0.04;  // 25 fps

}  // namespace

// With -fix 1: the video runs as long as in the source, from its first key frame; audio against video
// at the end is what it was in the source; at the start it is within a millisecond; every jump is one
// line; and the video-only and audio-only files start where their kinds start on the shared time line.
TEST_P(Timeline, CaptureKeepsTheSourcesTimeLine) {
    const std::string input = makeCase(GetParam().name);
    const Presented clean = presented(pathFor(GetParam().clean));
    ASSERT_TRUE(clean.firstKey && clean.lastVideo && clean.firstAudio && clean.lastAudio);
    const std::string av = pathFor("av.mp4");
    const std::string v = pathFor("v.mp4");
    const std::string a = pathFor("a.m4a");
    const ToolRun run = runTool({"-i", input, "-fix", "1", "-mav", av, "-mv", v, "-ma", a});
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(countOf(run.output, ": Timestamp jump DTS="), static_cast<std::size_t>(GetParam().jumps))
        << run.output;

    const Presented out = presented(av);
    ASSERT_TRUE(out.firstVideo && out.lastVideo && out.firstAudio && out.lastAudio);
    EXPECT_NEAR(*out.lastVideo - *out.firstVideo, *clean.lastVideo - *clean.firstKey, frame);
    EXPECT_NEAR(*out.lastVideo - *out.lastAudio, *clean.lastVideo - *clean.lastAudio, frame);
    EXPECT_NEAR(*out.firstVideo - *out.firstAudio, *clean.firstKey - *clean.firstAudio, 0.0011);
    const Presented videoOnly = presented(v);
    const Presented audioOnly = presented(a);
    ASSERT_TRUE(videoOnly.firstVideo && audioOnly.firstAudio);
    EXPECT_NEAR(*videoOnly.firstVideo, *out.firstVideo, 0.0011);
    EXPECT_NEAR(*audioOnly.firstAudio, *out.firstAudio, 0.0011);
    if (!GetParam().repaired) {
        EXPECT_EQ(media_fixture::decodeErrors(av), "");
        return;
    }
    // ffmpeg's own decode would count frames one tick apart in its frame rate and find them equal.
    const auto packets = media_fixture::probePackets(av, 0);
    for (std::size_t i = 1; i < packets.size(); ++i) {
        EXPECT_LT(packets[i - 1].dts.value_or(-1), packets[i].dts.value_or(-1)) << i;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Corpus, Timeline,
    testing::Values(TimelineCase{"mid-gop", "clean.mp4", 0}, TimelineCase{"audio-first", "clean.mp4", 0},
                    TimelineCase{"b-frames", "clean.mp4", 0}, TimelineCase{"wrap", "clean.ts", 0},
                    TimelineCase{"back-0.3s", "clean.ts", 2}, TimelineCase{"back-10s", "clean.ts", 2},
                    TimelineCase{"back-1h", "clean.ts", 2}, TimelineCase{"to-zero", "clean.ts", 2},
                    TimelineCase{"video-back-1h", "clean.ts", 1}, TimelineCase{"forward-1h", "clean.ts", 2},
                    TimelineCase{"wild-ahead", "clean.ts", 2}, TimelineCase{"wild-behind", "clean.ts", 2},
                    TimelineCase{"glitch", "clean.ts", 0, true},
                    TimelineCase{"video-back-a-moment", "clean.ts", 2},
                    TimelineCase{"back-0.3s-lost-8", "clean.ts", 2},
                    TimelineCase{"flv-back-3s", "clean.flv", 2},
                    TimelineCase{"flv-missing", "clean.flv", 0, true}),
    [](const testing::TestParamInfo<TimelineCase>& tested) {
        return std::regex_replace(tested.param.name, std::regex("[^A-Za-z0-9]"), "_");
    });

// Without -fix 1 the time stamps pass as they are, but every output still counts from the one start: a
// capture whose audio starts 1.02 s before its video keeps that second, and a mid-GOP start keeps the
// distance of its first pictures.
TEST(Timeline, OutputsShareTheStartWithoutRepair) {
    for (const char* name : {"audio-first", "mid-gop"}) {
        SCOPED_TRACE(name);
        const std::string input = makeCase(name);
        const Presented clean = presented(pathFor("clean.mp4"));
        const std::string av = pathFor(std::string(name) + ".mkv");
        const ToolRun run = runTool({"-i", input, "-mav", av});
        ASSERT_EQ(run.status, 0) << run.output;
        const Presented out = presented(av);
        ASSERT_TRUE(clean.firstVideo && clean.firstAudio && out.firstVideo && out.firstAudio);
        EXPECT_NEAR(*out.firstVideo - *out.firstAudio, *clean.firstVideo - *clean.firstAudio, 0.0011);
    }
}

// -ns counts the time across a jump as the time that passed, not as the size of the jump: a capture whose
// clock goes back an hour at 5 s still stops after 7 s.
TEST(Timeline, SecondsLimitCountsAJumpAsTheTimeThatPassed) {
    const std::string input = makeCase("back-1h");
    const std::string log = pathFor("v.log");
    const ToolRun run = runTool({"-i", input, "-fix", "1", "-ns", "7", "-lv", log});
    ASSERT_EQ(run.status, 0) << run.output;
    // 25 fps: the first packet past 7 s of stream time is the 176th or 177th (7 s after the first falls on
    // a packet, and floating point decides); counting the jump would have stopped at the jump.
    static const std::regex finished(R"(### Finished processing input video: (\d+) packets\n)");
    std::smatch match;
    ASSERT_TRUE(std::regex_search(run.output, match, finished)) << run.output;
    const int packets = std::stoi(match[1].str());
    EXPECT_GE(packets, 176);
    EXPECT_LE(packets, 177);
}

// The shared start reaches the fragments of a recording too: killed mid-run, an MP4 of a source whose
// audio starts 1.04 s before its video presents them that far apart.
TEST(Timeline, KilledRecordingKeepsTheStartInItsFragments) {
    makeCase("audio-first");
    const std::string clean = pathFor("clean.mp4");
    const std::string source = pathFor("source.ts");
    ASSERT_EQ(runCommand("ffmpeg -nostdin -v error -i " + quotePath(clean) + " -map 0 -c copy -f mpegts " +
                         quotePath(source)),
              0);
    const Presented expected = presented(source);
    ASSERT_TRUE(expected.firstVideo && expected.firstAudio);
    live_source::PacedTcpSource server(source, 10.0);
    ASSERT_FALSE(server.url().empty());
    const std::string out = pathFor("out.mp4");
    const std::string log = pathFor("out.log");
    const int pid = startTool({"-i", server.url(), "-mav", out, "-lav", log}, pathFor("tool.out"));
    ASSERT_GT(pid, 0);
    EXPECT_TRUE(log_lines::waitForLoggedTime(log, 2.0, toolLineEnd(), 30.0));
    kill(pid, SIGKILL);
    EXPECT_TRUE(live_source::waitForExit(pid, 10.0));
    waitTool(pid, pathFor("tool.out"));
    const Presented recorded = presented(out);
    ASSERT_TRUE(recorded.firstVideo && recorded.firstAudio);
    EXPECT_NEAR(*recorded.firstVideo - *recorded.firstAudio, *expected.firstVideo - *expected.firstAudio,
                0.0011);
}
