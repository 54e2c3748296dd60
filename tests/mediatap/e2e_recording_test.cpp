// What a recording of trsn.mediatap leaves on disk: a capture killed at any moment keeps all but its last
// second, readable from its start, in every container; one that ends normally leaves a standard MP4 (one
// moov with every sample, at the end) that ffprobe, ffmpeg and a browser read with the right duration.
#include <signal.h>

#include <gtest/gtest.h>

#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "live_source.h"
#include "log_lines.h"
#include "media_fixture.h"
#include "read_file.h"
#include "tool_run.h"

namespace {

using live_source::RtspServer;
using media_fixture::decodeErrors;
using media_fixture::decodeErrorsUpTo;
using media_fixture::makeMedia;
using media_fixture::pathFor;
using media_fixture::probe;
using media_fixture::quotePath;
using media_fixture::runCommand;

// The boxes ffmpeg's own reader walks through, as "type<parent" one per line, and the sample counts of
// the stsz boxes, in file order.
struct BoxTrace {
    std::vector<std::string> boxes;
    std::vector<int> sampleCounts;

    bool has(const std::string& type, const std::string& parent) const {
        for (const std::string& box : boxes) {
            if (box == type + "<" + parent) {
                return true;
            }
        }
        return false;
    }
    std::string topLevel() const {
        std::string types;
        for (const std::string& box : boxes) {
            if (box.size() > 5 && box.compare(box.size() - 5, 5, "<root") == 0) {
                if (!types.empty()) {
                    types += ' ';
                }
                types += box.substr(0, box.size() - 5);
            }
        }
        return types;
    }
};

BoxTrace traceBoxes(const std::string& path) {
    std::string err;
    runCommand("ffprobe -v trace " + quotePath(path), nullptr, &err);
    static const std::regex box(R"(type:'(....)' parent:'(\w+)')");
    static const std::regex stsz(R"(sample_size = \d+ sample_count = (\d+))");
    BoxTrace trace;
    std::istringstream lines(err);
    std::string line;
    std::smatch match;
    while (std::getline(lines, line)) {
        if (std::regex_search(line, match, box)) {
            trace.boxes.push_back(match[1].str() + "<" + match[2].str());
        } else if (std::regex_search(line, match, stsz)) {
            trace.sampleCounts.push_back(std::stoi(match[1].str()));
        }
    }
    return trace;
}

// The presentation times of a file's video packets, in seconds, as ffprobe reads them.
std::vector<double> videoTimes(const std::string& path) {
    std::string out;
    runCommand(
        "ffprobe -v error -select_streams v:0 -show_entries packet=pts_time -of csv=p=0 " + quotePath(path),
        &out);
    std::vector<double> times;
    std::istringstream lines(out);
    std::string line;
    while (std::getline(lines, line)) {
        if (!line.empty() && line != "N/A") {
            times.push_back(std::stod(line));
        }
    }
    return times;
}

struct LiveSource {
    const char* name;
    std::string file;
    std::string args;
};

void PrintTo(const LiveSource& source, std::ostream* out) {
    *out << source.name;
}

class KilledCapture : public testing::TestWithParam<LiveSource> {};

}  // namespace

// Three captures of one live stream, one per container, killed (SIGKILL: no handler, no teardown) at
// different moments after their first second. Each output reads from its start, decodes without an error
// up to where the kill may have cut a packet, and holds every video packet its log shows but the last
// second's.
TEST_P(KilledCapture, KeepsAllButTheLastSecondInEveryContainer) {
    RtspServer server(makeMedia(GetParam().file, GetParam().args));
    ASSERT_FALSE(server.url().empty());
    struct Capture {
        std::string container;
        double killAfter;  // seconds of logged stream time
        std::string media{};
        std::string log{};
        int pid = 0;
    };
    std::vector<Capture> captures = {{.container = "mp4", .killAfter = 1.6},
                                     {.container = "mkv", .killAfter = 2.4},
                                     {.container = "ts", .killAfter = 3.2}};
    for (Capture& capture : captures) {
        capture.media = pathFor("out." + capture.container);
        capture.log = pathFor(capture.container + ".log");
        capture.pid = startTool({"-i", server.url(), "-mav", capture.media, "-lav", capture.log},
                                pathFor(capture.container + ".out"));
        ASSERT_GT(capture.pid, 0);
    }
    for (Capture& capture : captures) {
        EXPECT_TRUE(log_lines::waitForLoggedTime(capture.log, capture.killAfter, toolLineEnd(), 30.0))
            << capture.container;
        kill(capture.pid, SIGKILL);
        EXPECT_TRUE(live_source::waitForExit(capture.pid, 10.0));
        waitTool(capture.pid, pathFor(capture.container + ".out"));
    }
    for (const Capture& capture : captures) {
        SCOPED_TRACE(capture.container);
        const std::size_t logged =
            log_lines::linesStartingWith(log_lines::completeLines(capture.log, toolLineEnd()), "V packet_id=")
                .size();
        ASSERT_GT(logged, 25u);
        const std::vector<double> times = videoTimes(capture.media);
        EXPECT_GE(times.size() + 25, logged);  // 25 frames a second
        ASSERT_FALSE(times.empty());
        EXPECT_EQ(probe(capture.media).streams.size(), 2u);
        EXPECT_EQ(decodeErrorsUpTo(capture.media, times.back() - 1.0), "");
    }
}

INSTANTIATE_TEST_SUITE_P(
    LiveStreams, KilledCapture,
    testing::Values(
        // A 720p camera at 2 Mbit/s: the muxers' buffers fill within the second.
        LiveSource{"Camera", "camera.mkv",
                   "-f lavfi -i testsrc2=size=1280x720:rate=25:duration=10 -f lavfi -i sine=duration=10 "
                   "-c:v libx264 -preset ultrafast -b:v 2M -maxrate 2M -bufsize 1M -g 50 -pix_fmt yuv420p "
                   "-c:a aac -b:a 64k"},
        // About 20 kbit/s: the buffers would hold minutes of it.
        LiveSource{"LowBitRate", "low.mkv",
                   "-f lavfi -i testsrc2=size=64x64:rate=25:duration=10 -f lavfi -i "
                   "sine=duration=10:sample_rate=8000 -c:v libx264 -preset ultrafast -b:v 12k -g 50 -pix_fmt "
                   "yuv420p -c:a aac -b:a 8k"}),
    [](const testing::TestParamInfo<LiveSource>& tested) { return std::string(tested.param.name); });

namespace {

struct Codec {
    const char* name;
    std::string video;  // ffmpeg's encoder options
    bool browserPlays;  // this Chromium decodes it
};

void PrintTo(const Codec& codec, std::ostream* out) {
    *out << codec.name;
}

class NormalEnd : public testing::TestWithParam<Codec> {};

}  // namespace

// A capture that ends normally leaves a standard MP4: ftyp, the media, the moov last; no movie fragment
// outside the mdat and no mvex; every sample in stsz; the movie as long as the one ffmpeg's own muxer
// makes of the same packets; a clean decode; and in a browser the duration ffprobe finds.
TEST_P(NormalEnd, LeavesAStandardMp4) {
    const std::string source = makeMedia(
        "source.ts", "-f lavfi -i testsrc2=size=160x120:rate=25:duration=4 -f lavfi -i sine=duration=4 " +
                         GetParam().video + " -g 25 -bf 2 -pix_fmt yuv420p -c:a aac");
    const std::string out = pathFor("out.mp4");
    const std::string log = pathFor("out.log");
    const ToolRun run = runTool({"-i", source, "-mav", out, "-lav", log});
    ASSERT_EQ(run.status, 0) << run.output;

    const BoxTrace trace = traceBoxes(out);
    EXPECT_EQ(trace.topLevel(), "ftyp mdat moov");
    EXPECT_FALSE(trace.has("mvex", "moov"));
    EXPECT_FALSE(trace.has("moof", "root"));
    const std::vector<std::string> lines = log_lines::completeLines(log, toolLineEnd());
    EXPECT_EQ(
        trace.sampleCounts,
        (std::vector<int>{static_cast<int>(log_lines::linesStartingWith(lines, "V packet_id=").size()),
                          static_cast<int>(log_lines::linesStartingWith(lines, "A packet_id=").size())}));

    const std::string reference = pathFor("reference.mp4");
    ASSERT_EQ(
        runCommand("ffmpeg -nostdin -v error -i " + quotePath(out) + " -c copy " + quotePath(reference)), 0);
    const auto facts = probe(out);
    ASSERT_TRUE(facts.duration.has_value());
    ASSERT_TRUE(probe(reference).duration.has_value());
    EXPECT_NEAR(*facts.duration, *probe(reference).duration, 0.0011);
    EXPECT_NEAR(*facts.duration, 4.0, 0.1);
    EXPECT_EQ(decodeErrors(out), "");

    if (GetParam().browserPlays) {
        std::string answer;
        ASSERT_EQ(runCommand("/usr/bin/python3 " + quotePath(TRSN_TESTS_DIR "/video_duration.py") + " " +
                                 quotePath(out) + " 60",
                             &answer),
                  0);
        const std::regex duration(R"(duration ([0-9.]+)\s*)");
        std::smatch match;
        ASSERT_TRUE(std::regex_match(answer, match, duration)) << answer;
        EXPECT_NEAR(std::stod(match[1].str()), *facts.duration, 0.001);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Codecs, NormalEnd,
    testing::Values(Codec{"H264", "-c:v libx264 -preset ultrafast", true},
                    // This Chromium has no HEVC decoder: ffprobe alone judges it.
                    Codec{"H265", "-c:v libx265 -preset ultrafast -x265-params log-level=none", false}),
    [](const testing::TestParamInfo<Codec>& tested) { return std::string(tested.param.name); });

namespace {

using live_source::CameraServer;

// The audio packets ffprobe reads of a file, up to where a kill cut it.
int audioPackets(const std::string& path) {
    std::string out;
    runCommand(
        "ffprobe -v quiet -select_streams a:0 -count_packets -show_entries stream=nb_read_packets -of "
        "csv=p=0 " +
            quotePath(path),
        &out);
    return std::atoi(out.c_str());
}

}  // namespace

// A camera that announces its audio and never sends it (no microphone fitted): a recording in fragments
// starts within its first second all the same. Killed at 2, 5 and 9 s of logged stream time, each .mov (the
// family member that takes the camera's G.711) holds every video packet its log shows but the last second's.
TEST(KilledCameraCapture, KeepsAllButTheLastSecondWhileATrackIsMissing) {
    for (const char* mode : {"silent-audio"}) {
        SCOPED_TRACE(mode);
        struct Capture {
            double killAfter;
            std::unique_ptr<CameraServer> camera{};  // a camera of its own: its session starts with it
            std::string media{};
            std::string log{};
            int pid = 0;
        };
        std::vector<Capture> captures;
        for (const double killAfter : {2.0, 5.0, 9.0}) {
            captures.push_back(Capture{.killAfter = killAfter});
        }
        for (Capture& capture : captures) {
            const std::string stem = "killed" + std::to_string(static_cast<int>(capture.killAfter));
            capture.media = pathFor(stem + ".mov");
            capture.log = pathFor(stem + ".log");
            capture.camera = std::make_unique<CameraServer>(mode);
            ASSERT_FALSE(capture.camera->url().empty());
            capture.pid = startTool({"-i", capture.camera->url(), "-mav", capture.media, "-lav", capture.log},
                                    pathFor(stem + ".out"));
            ASSERT_GT(capture.pid, 0);
        }
        for (Capture& capture : captures) {
            EXPECT_TRUE(log_lines::waitForLoggedTime(capture.log, capture.killAfter, toolLineEnd(), 30.0));
            kill(capture.pid, SIGKILL);
            EXPECT_TRUE(live_source::waitForExit(capture.pid, 10.0));
            waitTool(capture.pid, pathFor("killed.out"));
        }
        for (const Capture& capture : captures) {
            SCOPED_TRACE(capture.killAfter);
            const std::size_t logged =
                log_lines::linesStartingWith(log_lines::completeLines(capture.log, toolLineEnd()),
                                             "V packet_id=")
                    .size();
            ASSERT_GT(logged, 25u);
            const std::vector<double> times = videoTimes(capture.media);
            EXPECT_GE(times.size() + 25, logged);  // 25 frames a second
            EXPECT_EQ(probe(capture.media).streams.size(), 2u);
            // The late audio is in the file once the kill came well after it started.
            if (std::string(mode) == "late-audio" && capture.killAfter > 4.0) {
                EXPECT_GT(audioPackets(capture.media), 0);
            }
        }
    }
}

namespace {

// The avcC box of a file, whole; empty when it has none.
std::string avcRecord(const std::string& path) {
    const std::string data = readFile(path);
    const std::size_t type = data.find("avcC");
    if (type == std::string::npos || type < 4) {
        return "";
    }
    std::size_t size = 0;
    for (std::size_t at = type - 4; at < type; ++at) {
        size = (size << 8) | static_cast<unsigned char>(data[at]);
    }
    return data.substr(type - 4, size);
}

// The size and MD5 of each video sample of a file, one per line.
std::string sampleHashes(const std::string& path) {
    std::string out;
    EXPECT_EQ(runCommand("ffmpeg -nostdin -v error -i " + quotePath(path) +
                             " -map 0:v -c copy -f framemd5 - | grep -v '^#' | cut -d, -f5,6",
                         &out),
              0);
    return out;
}

struct AvcProfile {
    const char* name;
    const char* video;  // ffmpeg's encoder options
};

class AvcSamples : public testing::TestWithParam<AvcProfile> {};

}  // namespace

// The H.264 of an MPEG-TS source goes into a recording with the avcC and the sample bytes that ffmpeg's own
// MP4 muxer makes of it: for the profiles without and with the record's chroma fields, for an output that
// rewrites the packets where they are and for two that share them.
TEST_P(AvcSamples, AreTheBytesOfFfmpegsOwnMuxer) {
    const std::string source = makeMedia(
        "source.ts",
        std::string("-f lavfi -i testsrc2=size=160x120:rate=25:duration=2 -f lavfi -i sine=duration=2 "
                    "-c:v libx264 ") +
            GetParam().video + " -g 25 -c:a aac");
    const std::string reference = pathFor("reference.mp4");
    ASSERT_EQ(runCommand("ffmpeg -nostdin -v error -i " + quotePath(source) + " -map 0:v -c copy " +
                         quotePath(reference)),
              0);
    const std::string record = avcRecord(reference);
    const std::string samples = sampleHashes(reference);
    ASSERT_FALSE(record.empty());
    ASSERT_NE(samples, "");

    const std::string alone = pathFor("alone.mp4");
    const std::string shared = pathFor("shared.mp4");
    const std::string videoOnly = pathFor("video.mp4");
    ASSERT_EQ(runTool({"-i", source, "-mav", alone}).status, 0);
    ASSERT_EQ(runTool({"-i", source, "-mav", shared, "-mv", videoOnly}).status, 0);
    for (const std::string& out : {alone, shared, videoOnly}) {
        EXPECT_EQ(avcRecord(out), record) << out;
        EXPECT_EQ(sampleHashes(out), samples) << out;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Profiles, AvcSamples,
    testing::Values(AvcProfile{"ConstrainedBaseline", "-preset ultrafast -pix_fmt yuv420p"},
                    AvcProfile{"High", "-preset veryfast -pix_fmt yuv420p"},
                    AvcProfile{"High422At10Bits", "-preset veryfast -pix_fmt yuv422p10le"}),
    [](const testing::TestParamInfo<AvcProfile>& tested) { return std::string(tested.param.name); });
