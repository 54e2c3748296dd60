// trsn.mediatap on inputs with broken timestamps: the key-frame gate and the four timestamp repairs of
// -fix 1 with their messages and log values, -fix 0 passing everything on untouched, and the packet log
// layout and life cycle. The inputs are FLV files made by ffmpeg whose tag timestamps are rewritten;
// each case first checks with ffprobe that the demuxer yields the timestamps the case is about.
#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <map>
#include <optional>
#include <regex>

#include "flv_file.h"
#include "log_lines.h"
#include "media_fixture.h"
#include "read_file.h"
#include "report_text.h"
#include "tool_run.h"

namespace {

using log_lines::linesOf;
using media_fixture::makeMedia;
using media_fixture::pathFor;

constexpr std::int64_t missing = INT64_MIN;  // FFmpeg's value for a missing timestamp

// One second of H.264 at 25 fps with a key frame every fourth frame (0, 4, 8, ...) and no B-frames;
// FLV counts time in milliseconds, so frame n is at 40 n ms.
const std::string video = "-f lavfi -i testsrc2=size=160x120:rate=25:duration=1 ";
const std::string h264 =
    "-c:v libx264 -preset ultrafast -x264-params keyint=4:min-keyint=4:scenecut=0 -pix_fmt yuv420p ";

// New DTS and composition offset of the video frames that are kept, by frame number.
struct Retime {
    std::int64_t dts;
    std::int32_t offset;
};
using VideoPlan = std::map<int, Retime>;

// The FLV made from the source with the video frames of the plan only, retimed; audio stays as it is
// unless audioEdit changes it.
std::string makeFlv(const std::string& name, const std::string& source, const VideoPlan& plan,
                    const std::function<bool(flv_file::MediaTag&)>& audioEdit = nullptr) {
    const std::string out = pathFor(name);
    const bool ok = flv_file::rewrite(source, out, [&](flv_file::MediaTag& tag) {
        if (!tag.video) {
            return audioEdit ? audioEdit(tag) : true;
        }
        const auto it = plan.find(tag.index);
        if (it == plan.end()) {
            return false;
        }
        tag.time = it->second.dts;
        tag.offset = it->second.offset;
        return true;
    });
    EXPECT_TRUE(ok) << "cannot rewrite " << source;
    return out;
}

struct Timestamps {
    std::int64_t pts;
    std::int64_t dts;
    bool key;
    bool operator==(const Timestamps&) const = default;
};

void PrintTo(const Timestamps& t, std::ostream* out) {
    *out << "{pts " << t.pts << ", dts " << t.dts << (t.key ? ", key}" : "}");
}

// What the demuxer yields for one stream, missing timestamps as FFmpeg's value.
std::vector<Timestamps> demuxed(const std::string& file, int stream) {
    std::vector<Timestamps> out;
    for (const auto& packet : media_fixture::probePackets(file, stream)) {
        out.push_back({packet.pts.value_or(missing), packet.dts.value_or(missing), packet.key});
    }
    return out;
}

// A log line without its size field, which depends on the encoder's output.
std::string withoutSize(const std::string& line) {
    return line.substr(0, line.find("   size="));
}

std::vector<std::string> logWithoutSizes(const std::string& path) {
    std::vector<std::string> lines;
    for (const std::string& line : linesOf(readFile(path), toolLineEnd())) {
        EXPECT_NE(line.find("   size="), std::string::npos) << line;
        lines.push_back(withoutSize(line));
    }
    return lines;
}

const char* const videoOnlyStart =
    "### Audio stream not found\n"
    "### Video width=160, height=120, FPS_base=F\n";

// Console output with the frame period of the video line replaced by F: FFmpeg guesses it from the
// timestamps, which these inputs break on purpose.
std::string outputOf(const ToolRun& run) {
    static const std::regex period(R"((### Video width=\d+, height=\d+, FPS_base=)\d+/\d+\n)");
    return std::regex_replace(run.output, period, "$1F\n");
}

// The frames of the source retimed to hit each repair once, after three non-key frames.
const VideoPlan brokenPlan = {
    {1, {0, 0}},
    {2, {40, 0}},
    {3, {80, 0}},   // before the first key frame
    {4, {120, 0}},  // key
    {5, {125, 40}},
    {6, {125, 40}},                      // repeated DTS
    {7, {200, -10}},                     // PTS before DTS
    {8, {240, flv_file::noTimestamps}},  // key, both timestamps missing
    {9, {280, 0}},
    {10, {320, -400}},  // a negative PTS, before DTS
    {11, {360, 0}},
};

const std::vector<Timestamps> brokenDemuxed = {
    {0, 0, false},     {40, 40, false},   {80, 80, false},   {120, 120, true},
    {165, 125, false}, {165, 125, false}, {190, 200, false}, {missing, missing, true},
    {280, 280, false}, {-80, 320, false}, {360, 360, false},
};

TEST(Repair, HoldsBackFramesBeforeTheFirstKeyAndRepairsEachBrokenTimestamp) {
    const std::string source = makeMedia("source.flv", video + h264);
    const std::string input = makeFlv("broken.flv", source, brokenPlan);
    ASSERT_EQ(demuxed(input, 0), brokenDemuxed);

    const std::string out = pathFor("out.mp4");
    const ToolRun run = runTool({"-i", input, "-fix", "1", "-lv", pathFor("v.log"), "-mav", out});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(outputOf(run),
              "### Output type=mp4\n"
              "### Enabled AAC ADTS to ASC bitstream filter\n" +
                  std::string(videoOnlyStart) + "### Movie " + out + " opened for writing\n" +
                  "### Started processing input video packets\n"
                  "### Video packet id=0: dropping due to missing key frame\n"
                  "### Video packet id=1: dropping due to missing key frame\n"
                  "### Video packet id=2: dropping due to missing key frame\n"
                  "### Video packet id=5: Non-monotonic DTS=125 <= 125, assigning=126\n"
                  "### Video packet id=6: PTS=190 < DTS=200, setting PTS=DTS\n"
                  "### Video packet (KEY) id=7: Negative DTS=-9223372036854775808, assigning=201\n"
                  "### Video packet (KEY) id=7: Negative PTS=-9223372036854775808, assigning=201\n"
                  "### Video packet id=9: PTS=-80 < DTS=320, setting PTS=DTS\n"
                  "### Finished processing input video: 11 packets\n"
                  "### Movie " +
                  out + " finalized\n");

    // Held-back frames get no line; the ids count them all the same.
    const std::vector<std::string> expected = {
        "V packet_id=00000000000000000003   key=1   at=            0.12   pts=       120   dts=       120   "
        "orpts=       120   ordts=       120   dur=   40",
        "V packet_id=00000000000000000004   key=0   at=            0.17   pts=       165   dts=       125   "
        "orpts=       165   ordts=       125   dur=   40",
        "V packet_id=00000000000000000005   key=0   at=            0.17   pts=       165   dts=       126   "
        "orpts=       165   ordts=       125   dur=   40",
        "V packet_id=00000000000000000006   key=0   at=            0.20   pts=       200   dts=       200   "
        "orpts=       190   ordts=       200   dur=   40",
        "V packet_id=00000000000000000007   key=1   at=            0.20   pts=       201   dts=       201   "
        "orpts=-9223372036854775808   ordts=-9223372036854775808   dur=   40",
        "V packet_id=00000000000000000008   key=0   at=            0.28   pts=       280   dts=       280   "
        "orpts=       280   ordts=       280   dur=   40",
        "V packet_id=00000000000000000009   key=0   at=            0.32   pts=       320   dts=       320   "
        "orpts=       -80   ordts=       320   dur=   40",
        "V packet_id=00000000000000000010   key=0   at=            0.36   pts=       360   dts=       360   "
        "orpts=       360   ordts=       360   dur=   40",
    };
    EXPECT_EQ(logWithoutSizes(pathFor("v.log")), expected);

    // The repaired packets make a valid file: the eight frames passed on, decoding timestamps rising.
    const auto written = media_fixture::probePackets(out, 0);
    ASSERT_EQ(written.size(), 8u);
    for (std::size_t i = 1; i < written.size(); ++i) {
        EXPECT_LT(written[i - 1].dts.value_or(-1), written[i].dts.value_or(-1)) << i;
    }
    EXPECT_TRUE(written[0].key);
}

// A negative time stamp is one like any other (a file that starts before zero, a clock before its wrap):
// only FFmpeg's missing value is repaired as negative. The outputs count from the first one.
TEST(Repair, ValidNegativeTimestampsAtTheStartPassAsTheyAre) {
    const std::string source = makeMedia("source.flv", video + h264);
    // Tag times just below 2^32 at the start of the file are read as negative.
    const std::string input =
        makeFlv("negative.flv", source, {{0, {-80, 0}}, {1, {-40, 0}}, {2, {0, 0}}, {3, {40, 0}}});
    ASSERT_EQ(demuxed(input, 0),
              (std::vector<Timestamps>{{-80, -80, true}, {-40, -40, false}, {0, 0, false}, {40, 40, false}}));

    const std::string out = pathFor("out.mkv");
    const ToolRun run = runTool({"-i", input, "-fix", "1", "-lv", pathFor("v.log"), "-mv", out});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(outputOf(run), "### Output type=mkv\n" + std::string(videoOnlyStart) + "### Movie " + out +
                                 " opened for writing\n### Started processing input video packets\n"
                                 "### Finished processing input video: 4 packets\n### Movie " +
                                 out + " finalized\n");
    const std::vector<std::string> expected = {
        "V packet_id=00000000000000000000   key=1   at=           -0.08   pts=       -80   dts=       -80   "
        "orpts=       -80   ordts=       -80   dur=   40",
        "V packet_id=00000000000000000001   key=0   at=           -0.04   pts=       -40   dts=       -40   "
        "orpts=       -40   ordts=       -40   dur=   40",
        "V packet_id=00000000000000000002   key=0   at=            0.00   pts=         0   dts=         0   "
        "orpts=         0   ordts=         0   dur=   40",
        "V packet_id=00000000000000000003   key=0   at=            0.04   pts=        40   dts=        40   "
        "orpts=        40   ordts=        40   dur=   40",
    };
    EXPECT_EQ(logWithoutSizes(pathFor("v.log")), expected);
    const auto written = media_fixture::probePackets(out, 0);
    ASSERT_EQ(written.size(), 4u);
    for (std::size_t i = 0; i < written.size(); ++i) {
        EXPECT_EQ(written[i].pts, static_cast<std::int64_t>(40 * i)) << i;
    }
}

TEST(Repair, FixZeroPassesEveryTimestampOnUntouched) {
    const std::string source = makeMedia("source.flv", video + h264);
    const std::string input = makeFlv("broken.flv", source, brokenPlan);
    ASSERT_EQ(demuxed(input, 0), brokenDemuxed);

    const ToolRun run = runTool({"-i", input, "-fix", "0", "-lv", pathFor("v.log")});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(outputOf(run), std::string(videoOnlyStart) +
                                 "### Started processing input video packets\n"
                                 "### Finished processing input video: 11 packets\n");
    const auto lines = logWithoutSizes(pathFor("v.log"));
    ASSERT_EQ(lines.size(), brokenDemuxed.size());
    for (std::size_t i = 0; i < lines.size(); ++i) {
        SCOPED_TRACE(lines[i]);
        const auto value = [&](const char* label) { return std::stoll(log_lines::valueOf(lines[i], label)); };
        EXPECT_EQ(value("   pts="), brokenDemuxed[i].pts);
        EXPECT_EQ(value("   dts="), brokenDemuxed[i].dts);
        EXPECT_EQ(value("   orpts="), brokenDemuxed[i].pts);
        EXPECT_EQ(value("   ordts="), brokenDemuxed[i].dts);
        EXPECT_EQ(log_lines::valueOf(lines[i], "   key="), brokenDemuxed[i].key ? "1" : "0");
    }
    // Missing timestamps overflow their columns, and so does the time computed from them.
    EXPECT_EQ(
        lines[7],
        "V packet_id=00000000000000000007   key=1   at=-9223372036854776.00   pts=-9223372036854775808   "
        "dts=-9223372036854775808   orpts=-9223372036854775808   ordts=-9223372036854775808   dur=   40");
    EXPECT_EQ(lines[9],
              "V packet_id=00000000000000000009   key=0   at=           -0.08   pts=       -80   "
              "dts=       320   orpts=       -80   ordts=       320   dur=   40");
}

TEST(Repair, AudioIsRepairedOnItsOwnAndPassesBeforeTheFirstVideoKeyFrame) {
    const std::string source =
        makeMedia("source.flv",
                  video + "-f lavfi -i sine=frequency=440:sample_rate=48000:duration=1 " + h264 + "-c:a aac");
    // Video from frame 1 (three frames before the key frame 4) to 7. Audio frame 2 repeats the time of
    // frame 1, frame 4 goes back 10 ms before frame 3.
    std::map<int, std::int64_t> audioTimes;
    const std::string input = makeFlv(
        "audio.flv", source, {{1, {61, 0}}, {2, {101, 0}}, {3, {141, 0}}, {4, {181, 0}}, {5, {221, 0}}},
        [&](flv_file::MediaTag& tag) {
            audioTimes[tag.index] = tag.time;
            if (tag.index == 2) {
                tag.time = audioTimes[1];
            } else if (tag.index == 4) {
                tag.time = audioTimes[3] - 10;
            }
            return tag.index < 11;
        });
    const auto audio = demuxed(input, 1);
    ASSERT_EQ(audio.size(), 11u);
    ASSERT_EQ(audio[2].dts, audio[1].dts);
    ASSERT_EQ(audio[4].dts, audio[3].dts - 10);
    const std::int64_t repeated = audio[1].dts;
    const std::int64_t third = audio[3].dts;

    const ToolRun run =
        runTool({"-i", input, "-fix", "1", "-lav", pathFor("av.log"), "-la", pathFor("a.log")});
    EXPECT_EQ(run.status, 0);
    const std::string r = std::to_string(repeated);
    const std::string r1 = std::to_string(repeated + 1);
    const std::string back = std::to_string(third - 10);
    const std::string t1 = std::to_string(third + 1);
    EXPECT_EQ(outputOf(run),
              "### Video width=160, height=120, FPS_base=F\n"
              "### Started processing input video packets\n"
              "### Audio packet id=2: Non-monotonic DTS=" +
                  r + " <= " + r + ", assigning=" + r1 +
                  "\n"
                  "### Audio packet id=2: PTS=" +
                  r + " < DTS=" + r1 +
                  ", setting PTS=DTS\n"
                  "### Video packet id=0: dropping due to missing key frame\n"
                  "### Audio packet id=4: Non-monotonic DTS=" +
                  back + " <= " + std::to_string(third) + ", assigning=" + t1 +
                  "\n"
                  "### Audio packet id=4: PTS=" +
                  back + " < DTS=" + t1 +
                  ", setting PTS=DTS\n"
                  "### Video packet id=1: dropping due to missing key frame\n"
                  "### Video packet id=2: dropping due to missing key frame\n"
                  "### Finished processing input video: 5 packets\n");

    // Audio read before the first video key frame is logged; the audio log holds the audio lines only.
    const auto all = linesOf(readFile(pathFor("av.log")), toolLineEnd());
    const auto audioLines = linesOf(readFile(pathFor("a.log")), toolLineEnd());
    ASSERT_EQ(audioLines.size(), 11u);
    EXPECT_EQ(log_lines::linesStartingWith(all, "A packet_id="), audioLines);
    const auto videoLines = log_lines::linesStartingWith(all, "V packet_id=");
    ASSERT_EQ(videoLines.size(), 2u);
    EXPECT_EQ(videoLines[0].substr(0, 40), "V packet_id=00000000000000000003   key=1");
    EXPECT_EQ(all[0].substr(0, 32), "A packet_id=00000000000000000000");
    EXPECT_EQ(withoutSize(audioLines[2]),
              "A packet_id=00000000000000000002           at=            0.02   pts=        " + r1 +
                  "   dts=        " + r1 + "   orpts=        " + r + "   ordts=        " + r +
                  "   dur=   21");
}

TEST(Failures, UnrepairedTimestampsFailTheWriteAfterTheLogWasTruncated) {
    const std::string source = makeMedia("source.flv", video + h264);
    const std::string input = makeFlv("broken.flv", source, brokenPlan);
    const std::string out = pathFor("out.mp4");
    const std::string log = pathFor("v.log");
    std::ofstream(log) << "an old line that is longer than anything the run writes before it fails, "
                          "so that an untruncated file would show it\n";
    // The mp4 muxer refuses the repeated DTS of packet 5.
    const ToolRun run = runTool({"-i", input, "-mav", out, "-lv", log});
    EXPECT_EQ(run.status, -1);
    EXPECT_EQ(outputOf(run),
              "### Output type=mp4\n"
              "### Enabled AAC ADTS to ASC bitstream filter\n" +
                  std::string(videoOnlyStart) + "### Movie " + out + " opened for writing\n" +
                  "### Started processing input video packets\n" +
                  expectedReport("Error", "av_interleaved_write_frame failure", "mediatap/movie_writer") +
                  causeLine("Invalid argument", out) +
                  expectedReport("Error", "Failed to write video frame") + "### Movie " + out +
                  " finalized\n");
    const auto lines = logWithoutSizes(log);
    ASSERT_EQ(lines.size(), 6u);  // the failing packet's line is written before the packet
    EXPECT_EQ(lines[5].substr(0, 32), "V packet_id=00000000000000000005");
    // The packets written before the failure are in a finalised file.
    EXPECT_EQ(media_fixture::probePackets(out, 0).size(), 5u);
}

TEST(Logs, AudioLogWarningComesOnlyAfterTheOtherLogsOpened) {
    const std::string input = makeMedia("video.ts", video + h264 + "-f mpegts");
    struct Case {
        std::vector<std::string> logs;
        std::string failure;
        std::string path;
    };
    const Case cases[] = {
        {{"-la", pathFor("a.log"), "-lav", pathFor("nodir/av.log")},
         "Failed to open log for audio+video",
         pathFor("nodir/av.log")},
        {{"-la", pathFor("a.log"), "-lv", pathFor("nodir/v.log")},
         "Failed to open log for video",
         pathFor("nodir/v.log")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.failure);
        std::vector<std::string> args = {"-i", input};
        args.insert(args.end(), c.logs.begin(), c.logs.end());
        const ToolRun run = runTool(args);
        EXPECT_EQ(run.status, -1);
        EXPECT_EQ(outputOf(run), std::string(videoOnlyStart) + expectedReport("Error", c.failure) +
                                     causeLine(missingFolderText(), c.path));
    }
}

}  // namespace
