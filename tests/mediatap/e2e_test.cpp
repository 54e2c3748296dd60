// trsn.mediatap as a user runs it on media files: console output byte for byte, exit status, and the
// files it writes, checked with ffprobe. The same cases run against the Windows build under Wine.
#include <sched.h>
#include <sys/mount.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "log_lines.h"
#include "media_fixture.h"
#include "read_file.h"
#include "report_text.h"
#include "tool_run.h"

namespace {

using media_fixture::makeMedia;
using media_fixture::pathFor;
using media_fixture::probe;

const std::string videoSource = "-f lavfi -i testsrc2=size=160x120:rate=25:duration=3 ";
const std::string audioSource = "-f lavfi -i sine=frequency=440:sample_rate=48000:duration=3 ";
const std::string h264 = "-c:v libx264 -preset ultrafast -g 25 -pix_fmt yuv420p ";

// Three seconds of H.264 (25 fps, a key frame every second) and AAC in MPEG-TS.
std::string makeSample(const std::string& name = "in.ts") {
    return makeMedia(name, videoSource + audioSource + h264 + "-c:a aac -b:a 64k -f mpegts");
}

using log_lines::linesOf;

// Written out, not taken from the program: users' scripts compare this text byte for byte.
const char* const usage =
    "H.264 stream dump and analysis utility (c) Tarsen\n"
    "Usage: trsn.mediatap  options\n"
    "  -i   <s>    (mandatory) video source (rtsp, file)\n"
    "  -nf  <i>    [inf] video frames to capture before termination\n"
    "  -ns  <i>    [inf] seconds to capture before termination\n"
    "  -mav <s>    [none] output media file: audio and video\n"
    "  -ma  <s>    [none] output media file: audio only\n"
    "  -mv  <s>    [none] output media file: video only\n"
    "  -lav <s>    [none] output log file: audio and video\n"
    "  -la  <s>    [none] output log file: audio only\n"
    "  -lv  <s>    [none] output log file: video only\n"
    "  -fix <0|1>  [1] fix PTS and DTS problems\n"
    "  -v <0|1>    [0] verbose\n";

TEST(Usage, PrintedForNoArgumentsAndALoneHelpWord) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{}, std::vector<std::string>{"-h"}, std::vector<std::string>{"--help"}}) {
        SCOPED_TRACE(testing::PrintToString(args));
        const ToolRun run = runTool(args);
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.output, usage);
    }
}

TEST(CommandLineErrors, EndWithTheFatalReportAndMinusOne) {
    struct Case {
        std::vector<std::string> args;
        std::string output;
    };
    const Case cases[] = {
        {{"-H"}, expectedFatal("-i option must be specified")},
        {{"--help", "-i"}, expectedFatal("Unrecognized option: --help")},
        {{"-i", "x.ts", "-nf", "0"}, expectedFatal("-nf option must be positive if specified")},
        {{"-i", "x.ts", "-ns", "-1"}, expectedFatal("-ns option must be positive if specified")},
        {{"-i", "x.ts", "-fix", "2"}, expectedFatal("-fix option must be either 0 or 1")},
        {{"-i", "x.ts", "-mav", "out"}, expectedReport("Error", "Failed to resolve -mav argument extension")},
        {{"-i", "x.ts", "-mav", "a.mp4", "-mv", "b.mkv"},
         "### Output type=mkv\n" +
             expectedReport("Error", "Extensions of -mav and -mv arguments must match")},
        {{"-i", "x.ts", "-lav", "same.log", "-la", "same.log"},
         expectedFatal("-la file is the same as -lav file")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        const ToolRun run = runTool(c.args);
        EXPECT_EQ(run.status, -1);
        EXPECT_EQ(run.output, c.output);
    }
}

TEST(Input, MissingFileCannotBeOpened) {
    const ToolRun run = runTool({"-i", pathFor("missing.ts"), "-mav", pathFor("out.mp4")});
    EXPECT_EQ(run.status, -1);
    EXPECT_EQ(run.output, "### Output type=mp4\n### Enabled AAC ADTS to ASC bitstream filter\n" +
                              expectedReport("Error", "Couldn't open input video") +
                              causeLine("No such file or directory", pathFor("missing.ts")));
    EXPECT_FALSE(std::filesystem::exists(pathFor("out.mp4")));
}

TEST(Input, AudioOnlySourceHasNoVideoStream) {
    const std::string input = makeMedia("audio.ts", audioSource + "-c:a aac -f mpegts");
    const ToolRun run = runTool({"-i", input});
    EXPECT_EQ(run.status, -1);
    EXPECT_EQ(run.output, expectedReport("Error", "Couldn't find input video stream"));
}

TEST(Input, OutputThatWouldOverwriteTheInputIsRefused) {
    const std::string input = makeSample();
    const auto sizeBefore = std::filesystem::file_size(input);
    const ToolRun run = runTool({"-i", input, "-lav", input});
    EXPECT_EQ(run.status, -1);
    EXPECT_EQ(run.output, expectedFatal("-lav file is the same as the input"));
    EXPECT_EQ(std::filesystem::file_size(input), sizeBefore);
}

TEST(Input, OtherNamesOfOneFileAreRefused) {
    const std::string input = makeSample();
    const auto sizeBefore = std::filesystem::file_size(input);
    enum Where { everywhere, posixOnly, windowsOnly };
    struct Case {
        std::vector<std::string> args;
        std::string message;
        Where where;
    };
    const Case cases[] = {
        // FFmpeg's own prefix for local files.
        {{"-i", input, "-mav", "file:" + input}, "-mav file is the same as the input", everywhere},
        {{"-i", "file:" + input, "-lv", input}, "-lv file is the same as the input", everywhere},
        // A link to a file that does not exist yet.
        {{"-i", input, "-mav", pathFor("x.mp4"), "-mv", pathFor("link.mp4")},
         "-mv file is the same as -mav file",
         posixOnly},
        // Windows file names do not tell letter case apart.
        {{"-i", input, "-mav", pathFor("OUT.mkv"), "-mv", pathFor("out.mkv")},
         "-mv file is the same as -mav file",
         windowsOnly},
        {{"-i", input, "-lav", pathFor("L.txt"), "-lv", pathFor("l.txt")},
         "-lv file is the same as -lav file",
         windowsOnly},
    };
    std::filesystem::create_symlink("x.mp4", pathFor("link.mp4"));
    for (const Case& c : cases) {
        if (c.where == (toolIsWindows() ? posixOnly : windowsOnly)) {
            continue;
        }
        SCOPED_TRACE(testing::PrintToString(c.args));
        const ToolRun run = runTool(c.args);
        EXPECT_EQ(run.status, -1);
        EXPECT_EQ(run.output, expectedFatal(c.message));
    }
    EXPECT_EQ(std::filesystem::file_size(input), sizeBefore);
    EXPECT_FALSE(std::filesystem::exists(pathFor("x.mp4")));
}

TEST(Remux, WritesAllThreeOutputsAndLogs) {
    const std::string input = makeSample();
    const std::string av = pathFor("av.mp4");
    const std::string v = pathFor("v.mp4");
    const std::string a = pathFor("a.m4a");
    const ToolRun run = runTool({"-i", input, "-mav", av, "-mv", v, "-ma", a, "-lav", pathFor("av.log"),
                                 "-lv", pathFor("v.log"), "-la", pathFor("a.log")});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.output,
              "### Output type=mp4\n"
              "### Enabled AAC ADTS to ASC bitstream filter\n"
              "### Video width=160, height=120, FPS_base=1/50\n" +
                  expectedThreeOutputRun(av, v, a, 75));

    const auto both = probe(av);
    ASSERT_EQ(both.streams.size(), 2u);
    EXPECT_EQ(both.streams[0].codecName, "h264");
    EXPECT_EQ(both.streams[1].codecName, "aac");
    ASSERT_TRUE(both.duration.has_value());
    EXPECT_NEAR(*both.duration, 3.0, 0.2);
    const auto video = probe(v);
    ASSERT_EQ(video.streams.size(), 1u);
    EXPECT_EQ(video.streams[0].codecType, "video");
    const auto audio = probe(a);
    ASSERT_EQ(audio.streams.size(), 1u);
    EXPECT_EQ(audio.streams[0].codecName, "aac");
    for (const std::string& file : {av, v, a}) {
        SCOPED_TRACE(file);
        EXPECT_EQ(media_fixture::decodeErrors(file), "");
    }

    const std::string end = toolLineEnd();
    const auto all = linesOf(readFile(pathFor("av.log")), end);
    const auto videoLines = linesOf(readFile(pathFor("v.log")), end);
    const auto audioLines = linesOf(readFile(pathFor("a.log")), end);
    EXPECT_EQ(videoLines.size(), 75u);
    EXPECT_EQ(all.size(), videoLines.size() + audioLines.size());
    ASSERT_FALSE(videoLines.empty());
    EXPECT_EQ(videoLines[0].substr(0, 41), "V packet_id=00000000000000000000   key=1 ");
    for (const std::string& line : videoLines) {
        EXPECT_EQ(line[0], 'V');
    }
    for (const std::string& line : audioLines) {
        EXPECT_EQ(line.substr(0, 40), "A packet_id=" + line.substr(12, 20) + "        ");
    }
}

TEST(Remux, ContainersChosenByExtension) {
    const std::string input = makeSample();
    for (const char* ext : {"mkv", "ts", "flv", "mov", "mp4"}) {
        SCOPED_TRACE(ext);
        const std::string out = pathFor(std::string("out.") + ext);
        const ToolRun run = runTool({"-i", input, "-mav", out});
        EXPECT_EQ(run.status, 0) << run.output;
        const auto facts = probe(out);
        ASSERT_EQ(facts.streams.size(), 2u);
        EXPECT_EQ(facts.streams[0].codecType, "video");
        EXPECT_EQ(facts.streams[1].codecType, "audio");
        EXPECT_EQ(media_fixture::decodeErrors(out), "");
    }
}

TEST(Limits, FrameAndSecondLimitsStopTheLoop) {
    struct Case {
        const char* what;
        std::string input;
        std::vector<std::string> limit;
        std::size_t videoPackets;
        const char* firstAt;  // nullptr: not checked
        const char* lastAt;
    };
    const Case cases[] = {
        {"-nf 1 reads two video packets", makeSample(), {"-nf", "1"}, 2, nullptr, nullptr},
        // The loop stops after the first packet past one second of stream time; Matroska starts at 0.
        {"-ns 1 from time 0", makeMedia("in.mkv", videoSource + h264), {"-ns", "1"}, 27, "0.00", "1.04"},
        // The limit counts from the first packet, whatever the source's clock: MPEG-TS starts at 1.4 s.
        {"-ns 1 from a later start",
         makeMedia("v.ts", videoSource + h264 + "-f mpegts"),
         {"-ns", "1"},
         27,
         "1.40",
         "2.44"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string log = pathFor("v.log");
        std::vector<std::string> args{"-i", c.input, "-lv", log};
        args.insert(args.end(), c.limit.begin(), c.limit.end());
        const ToolRun run = runTool(args);
        EXPECT_EQ(run.status, 0);
        EXPECT_NE(run.output.find("### Finished processing input video: " + std::to_string(c.videoPackets) +
                                  " packets\n"),
                  std::string::npos)
            << run.output;
        const auto lines = linesOf(readFile(log), toolLineEnd());
        ASSERT_EQ(lines.size(), c.videoPackets);
        for (const auto& [line, at] :
             {std::pair{lines.front(), c.firstAt}, std::pair{lines.back(), c.lastAt}}) {
            if (at != nullptr) {  // right-aligned in 16 characters
                const std::string field = "   at=" + std::string(16 - std::strlen(at), ' ') + at + "   ";
                EXPECT_NE(line.find(field), std::string::npos) << line;
            }
        }
    }
}

TEST(NoAudio, WarnsForAudioOutputsAndRunsWithVideo) {
    const std::string input = makeMedia("video.ts", videoSource + h264 + "-f mpegts");
    const std::string av = pathFor("av.mkv");
    const ToolRun run = runTool({"-i", input, "-mav", av, "-ma", pathFor("a.mkv"), "-lav", pathFor("av.log"),
                                 "-la", pathFor("a.log")});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.output,
              "### Output type=mkv\n"
              "### Audio stream not found\n"
              "### Video width=160, height=120, FPS_base=1/50\n"
              "### Movie " +
                  av + " opened for writing\n" +
                  expectedReport("Warning",
                                 "Media file for audio specified, but no audio stream found in the source") +
                  expectedReport("Warning",
                                 "Log file for audio specified, but no audio stream found in the source") +
                  "### Started processing input video packets\n"
                  "### Finished processing input video: 75 packets\n"
                  "### Movie " +
                  av + " finalized\n");
    EXPECT_FALSE(std::filesystem::exists(pathFor("a.mkv")));
    EXPECT_FALSE(std::filesystem::exists(pathFor("a.log")));
    EXPECT_EQ(probe(av).streams.size(), 1u);
}

// The warning the set-up gives for the audio output comes before the report of a log that the check
// before it finds it cannot open, as it would without the check.
TEST(NoAudio, WarningForTheAudioOutputComesBeforeALogThatCannotBeOpened) {
    const std::string input = makeMedia("video.ts", videoSource + h264 + "-f mpegts");
    const std::string log = pathFor("nodir/v.log");
    const ToolRun run =
        runTool({"-i", input, "-mav", pathFor("av.mkv"), "-ma", pathFor("a.mkv"), "-lv", log});
    EXPECT_EQ(run.status, -1);
    EXPECT_EQ(run.output,
              "### Output type=mkv\n### Audio stream not found\n"
              "### Video width=160, height=120, FPS_base=1/50\n" +
                  expectedReport("Warning",
                                 "Media file for audio specified, but no audio stream found in the source") +
                  expectedReport("Error", "Failed to open log for video") +
                  causeLine(missingFolderText(), log));
    EXPECT_FALSE(std::filesystem::exists(pathFor("av.mkv")));
}

// A pipe that the process does not have: the open fails at once, with the system's reason.
TEST(Input, PipeTheProcessDoesNotHaveCannotBeOpened) {
    const ToolRun run = runTool({"-i", "pipe:987", "-mav", pathFor("out.mkv")});
    EXPECT_EQ(run.status, -1);
    EXPECT_EQ(run.output,
              "### Output type=mkv\n" + expectedReport("Error", "Couldn't open input video") +
                  causeLine(toolIsWindows() ? "Invalid handle." : "Bad file descriptor", "pipe:987"));
}

TEST(Failures, UnwritableOutputFailsTheStartBeforeAnyFileIsCreated) {
    const std::string input = makeSample();
    const std::string av = pathFor("av.mkv");
    const std::string bad = pathFor("no-such-dir/v.mkv");
    const ToolRun run = runTool({"-i", input, "-mav", av, "-mv", bad});
    EXPECT_EQ(run.status, -1);
    EXPECT_EQ(run.output,
              "### Output type=mkv\n"
              "### Video width=160, height=120, FPS_base=1/50\n" +
                  expectedReport("Error", "avio_open failure", "mediatap/movie_writer") +
                  causeLine(missingFolderText(), bad) +
                  expectedReport("Error", "Failed to open video media output"));
    EXPECT_FALSE(std::filesystem::exists(av));
}

// Two files of a G.711 camera, the audio a-law: video and audio into Matroska, and then the same run again
// with one more output or log that cannot be made.
std::string makeCameraSample() {
    return makeMedia(
        "camera.mkv",
        videoSource + "-f lavfi -i sine=frequency=440:sample_rate=8000:duration=3 " + h264 + "-c:a pcm_alaw");
}

// A start that fails leaves what the earlier run recorded byte for byte, makes no file, and shows no line
// of a file opened or finalised; its report says why.
TEST(Failures, FailedStartLeavesTheEarlierRecordingAsItWas) {
    const std::string input = makeCameraSample();
    const std::string av = pathFor("av.mkv");
    const std::string v = pathFor("v.mkv");
    const std::string log = pathFor("av.log");
    ASSERT_EQ(runTool({"-i", input, "-mav", av, "-mv", v, "-lav", log}).status, 0);
    const std::string recorded[] = {readFile(av), readFile(v), readFile(log)};
    ASSERT_FALSE(recorded[0].empty());
    ASSERT_FALSE(recorded[1].empty());
    const std::string start = "### Output type=mkv\n### Video width=160, height=120, FPS_base=1/50\n";
    struct Case {
        const char* what;
        std::vector<std::string> more;
        std::string output;
    };
    const Case cases[] = {
        {"a log in a folder that does not exist",
         {"-lv", pathFor("nodir/x.log")},
         start + expectedReport("Error", "Failed to open log for video") +
             causeLine(missingFolderText(), pathFor("nodir/x.log"))},
        {"an output in a folder that does not exist",
         {"-ma", pathFor("nodir/a.mkv")},
         start + expectedReport("Error", "avio_open failure", "mediatap/movie_writer") +
             causeLine(missingFolderText(), pathFor("nodir/a.mkv")) +
             expectedReport("Error", "Failed to open audio media output")},
        {"a codec the container refuses",
         {"-ma", pathFor("a.mp4")},
         start +
             expectedReport("Error",
                            "Output " + pathFor("a.mp4") + " cannot hold pcm_alaw audio; .mkv or .mov can",
                            "mediatap/movie_writer") +
             expectedReport("Error", "Failed to open audio media output")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::string> args{"-i", input, "-mav", av, "-mv", v, "-lav", log};
        args.insert(args.end(), c.more.begin(), c.more.end());
        const ToolRun run = runTool(args);
        EXPECT_EQ(run.status, -1);
        EXPECT_EQ(run.output, c.output);
        EXPECT_EQ(readFile(av), recorded[0]);
        EXPECT_EQ(readFile(v), recorded[1]);
        EXPECT_EQ(readFile(log), recorded[2]);
        EXPECT_FALSE(std::filesystem::exists(pathFor("a.mp4")));
        EXPECT_FALSE(std::filesystem::exists(pathFor("nodir")));
    }
}

// A camera's G.711 audio into an mp4: refused before any file exists, naming the containers that hold it.
TEST(Failures, CameraAudioTheContainerCannotHoldIsNamedBeforeAnyFileIsCreated) {
    const std::string input = makeCameraSample();
    const std::string cam = pathFor("cam.mp4");
    const ToolRun run = runTool({"-i", input, "-mav", cam});
    EXPECT_EQ(run.status, -1);
    EXPECT_EQ(run.output,
              "### Output type=mp4\n### Enabled AAC ADTS to ASC bitstream filter\n"
              "### Video width=160, height=120, FPS_base=1/50\n" +
                  expectedReport("Error", "Output " + cam + " cannot hold pcm_alaw audio; .mkv or .mov can",
                                 "mediatap/movie_writer") +
                  expectedReport("Error", "Failed to open audio+video media output"));
    EXPECT_FALSE(std::filesystem::exists(cam));
    // The containers named take it.
    for (const char* ext : {"mkv", "mov"}) {
        SCOPED_TRACE(ext);
        const std::string out = pathFor(std::string("cam.") + ext);
        EXPECT_EQ(runTool({"-i", input, "-mav", out}).status, 0);
        EXPECT_EQ(probe(out).streams.size(), 2u);
    }
}

TEST(Failures, UnopenableLogFailsTheStartWithoutTruncatingTheEarlierOne) {
    const std::string input = makeSample();
    const std::string av = pathFor("av.mkv");
    const std::string existing = pathFor("av.log");
    std::ofstream(existing) << "an old log\n";
    const ToolRun run = runTool({"-i", input, "-mav", av, "-lav", existing, "-lv", pathFor("nodir/v.log")});
    EXPECT_EQ(run.status, -1);
    EXPECT_EQ(run.output,
              "### Output type=mkv\n"
              "### Video width=160, height=120, FPS_base=1/50\n" +
                  expectedReport("Error", "Failed to open log for video") +
                  causeLine(missingFolderText(), pathFor("nodir/v.log")));
    EXPECT_EQ(readFile(existing), "an old log\n");
    EXPECT_FALSE(std::filesystem::exists(av));
}

// A small disk (16 KiB unless told) at dir, mounted in a mount namespace of the test process's own: seen
// by it and by what it starts, and gone with it.
class SmallDisk {
  public:
    explicit SmallDisk(const std::string& mountPoint, std::uint64_t bytes = 16 * 1024) : dir(mountPoint) {
        std::filesystem::create_directories(dir);
        const std::string options = "size=" + std::to_string(bytes);
        mounted = unshare(CLONE_NEWNS) == 0 &&
                  mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
                  mount("tmpfs", dir.c_str(), "tmpfs", 0, options.c_str()) == 0;
    }
    ~SmallDisk() {
        if (mounted) {
            umount2(dir.c_str(), MNT_DETACH);
        }
    }
    SmallDisk(const SmallDisk&) = delete;
    SmallDisk& operator=(const SmallDisk&) = delete;
    bool isMounted() const { return mounted; }

  private:
    std::string dir;
    bool mounted = false;
};

// A file that cannot be completed fails the run however the loop ended; every other file is still
// finalised.
TEST(Failures, FilesThatCannotBeCompletedFailTheRun) {
    if (toolIsWindows()) {
        GTEST_SKIP() << "Wine opens files in its server, outside the test's own mounts";
    }
    const std::string input = makeSample();
    const std::string av = pathFor("av.mkv");
    const std::string full = pathFor("full.mkv");
    std::filesystem::create_symlink("/dev/full", full);
    const SmallDisk disk(pathFor("disk"));
    ASSERT_TRUE(disk.isMounted()) << "needs root for a small disk";
    const std::string head =
        "### Output type=mkv\n### Video width=160, height=120, FPS_base=1/50\n### Movie " + av +
        " opened for writing\n";
    struct Case {
        std::vector<std::string> args;
        std::string output;
    };
    const Case cases[] = {
        // Three small packets stay in the muxer's buffer: the first write to the device is the trailer's.
        {{"-nf", "2", "-mv", full},
         head + "### Movie " + full + " opened for writing\n### Started processing input video packets\n" +
             "### Finished processing input video: 3 packets\n" +
             expectedReport("Error", "av_write_trailer failure", "mediatap/movie_writer") +
             causeLine("No space left on device", full) + "### Movie " + av + " finalized\n"},
        // Logs that fill the disk part of the way through.
        {{"-lav", pathFor("disk/av.log")},
         head + "### Started processing input video packets\n" +
             expectedReport("Error", "Failed to write log for audio+video") +
             causeLine("No space left on device", pathFor("disk/av.log")) + "### Movie " + av +
             " finalized\n"},
        {{"-lv", pathFor("v.log"), "-la", pathFor("disk/a.log")},
         head + "### Started processing input video packets\n" +
             expectedReport("Error", "Failed to write log for audio") +
             causeLine("No space left on device", pathFor("disk/a.log")) + "### Movie " + av +
             " finalized\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        std::vector<std::string> args{"-i", input, "-mav", av};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const ToolRun run = runTool(args);
        EXPECT_EQ(run.status, -1);
        EXPECT_EQ(run.output, c.output);
        EXPECT_EQ(probe(av).streams.size(), 2u);
        EXPECT_EQ(media_fixture::decodeErrors(av), "");
    }
}

// The size of the last top-level box of an MP4 file (its moov, once finished); 0 when unreadable.
std::uint64_t lastBoxSize(const std::string& path) {
    const std::string bytes = readFile(path);
    std::uint64_t at = 0;
    std::uint64_t last = 0;
    const auto byte = [&bytes](std::uint64_t i) {
        return static_cast<std::uint64_t>(static_cast<unsigned char>(bytes[i]));
    };
    while (at + 8 <= bytes.size()) {
        last = (byte(at) << 24) | (byte(at + 1) << 16) | (byte(at + 2) << 8) | byte(at + 3);
        if (last < 8) {
            return 0;
        }
        at += last;
    }
    return at == bytes.size() ? last : 0;
}

// An MP4 whose finishing step finds the disk full keeps the recording as it was made: the playable
// fragmented file, every packet in it. The run reports a failed trailer and ends with -1.
TEST(Failures, Mp4ThatCannotBeFinishedStaysAPlayableRecording) {
    if (toolIsWindows()) {
        GTEST_SKIP() << "Wine opens files in its server, outside the test's own mounts";
    }
    const std::string input = makeSample();
    // A capture whose fragments end in one page of the disk and whose moov would need the next one.
    const std::uint64_t page = 4096;
    const auto pages = [page](std::uint64_t bytes) { return (bytes + page - 1) / page; };
    int frames = 0;
    std::uint64_t recorded = 0;
    for (int n = 2; n < 75 && frames == 0; ++n) {
        const std::string trial = pathFor("trial.mp4");
        ASSERT_EQ(runTool({"-i", input, "-mav", trial, "-nf", std::to_string(n)}).status, 0);
        const std::uint64_t finished = std::filesystem::file_size(trial);
        const std::uint64_t moov = lastBoxSize(trial);
        ASSERT_GT(moov, 0u);
        if (pages(finished - moov) < pages(finished)) {
            frames = n;
            recorded = finished - moov;
        }
    }
    ASSERT_GT(frames, 0);
    const SmallDisk disk(pathFor("disk"), pages(recorded) * page);
    ASSERT_TRUE(disk.isMounted()) << "needs root for a small disk";
    const std::string out = pathFor("disk/av.mp4");
    const ToolRun run = runTool({"-i", input, "-mav", out, "-nf", std::to_string(frames)});
    EXPECT_EQ(run.status, -1);
    EXPECT_EQ(run.output,
              "### Output type=mp4\n### Enabled AAC ADTS to ASC bitstream filter\n"
              "### Video width=160, height=120, FPS_base=1/50\n### Movie " +
                  out +
                  " opened for writing\n### Started processing input video packets\n"
                  "### Finished processing input video: " +
                  std::to_string(frames + 1) + " packets\n" +
                  expectedReport("Error", "av_write_trailer failure", "mediatap/movie_writer") +
                  causeLine("No space left on device", out));
    EXPECT_EQ(std::filesystem::file_size(out), recorded);
    EXPECT_EQ(media_fixture::probePackets(out, 0).size(), static_cast<std::size_t>(frames + 1));
    EXPECT_EQ(media_fixture::decodeErrors(out), "");
}

// A file whose reads fail at once, without ever reaching its end, is given up five seconds after its
// last packet; the retries in between leave the processor alone.
TEST(Failures, ReadsThatKeepFailingEndTheRunWithoutSpinning) {
    if (toolIsWindows()) {
        GTEST_SKIP() << "the processor time of a Windows program is hidden in Wine's";
    }
    const std::string input = makeMedia("in.mp4", videoSource + audioSource + h264 + "-c:a aac");
    ASSERT_EQ(
        media_fixture::runCommand("python3 " + media_fixture::quote(TRSN_TESTS_DIR "/mp4_chunk_offset.py") +
                                  " " + media_fixture::quotePath(input) + " 2"),
        0);
    const std::string av = pathFor("av.mkv");
    const std::string times = pathFor("times.txt");
    const ToolRun run = runTool({"-i", input, "-mav", av},
                                "/usr/bin/time -q -f '%e %U %S' -o " + media_fixture::quote(times));
    EXPECT_EQ(run.status, -1);
    EXPECT_TRUE(run.output.ends_with(expectedReport("Error", "av_read_frame IO error") +
                                     causeLine("Invalid data found when processing input", input) +
                                     "### Movie " + av + " finalized\n"))
        << run.output;
    std::istringstream measured(readFile(times));
    double wall = 0.0, user = 0.0, system = 0.0;
    ASSERT_TRUE(measured >> wall >> user >> system) << readFile(times);
    EXPECT_GT(wall, 4.9);
    EXPECT_LT(user + system, 1.5);  // a busy retry takes about as much as the wall time
}

// Nobody reading the console output any more ends neither the capture nor its files.
TEST(Console, ClosedStandardOutputLeavesTheCaptureWhole) {
    const std::string input = makeSample();
    const std::string av = pathFor("av.mp4");
    const std::string readerGone = "python3 -c " + media_fixture::quote(
                                                       "import os, subprocess, sys\n"
                                                       "r, w = os.pipe()\n"
                                                       "os.close(r)\n"
                                                       "sys.exit(subprocess.call(sys.argv[1:], stdout=w))");
    const ToolRun run = runTool({"-i", input, "-mav", av, "-lv", pathFor("v.log")}, readerGone);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(linesOf(readFile(pathFor("v.log")), toolLineEnd()).size(), 75u);
    const auto facts = probe(av);
    EXPECT_EQ(facts.streams.size(), 2u);
    EXPECT_NEAR(facts.duration.value_or(0.0), 3.0, 0.2);
}

TEST(Streams, OtherStreamsAreReadButNeitherLoggedNorWrittenNorCounted) {
    // Audio first, then two video streams: only the best video and the audio take part.
    const std::string input = makeMedia(
        "many.mkv", audioSource + videoSource + "-f lavfi -i testsrc=size=64x48:rate=10:duration=3 " +
                        "-map 0:a -map 1:v -map 2:v -c:a aac -c:v libx264 -preset ultrafast -g 25");
    const std::string av = pathFor("av.mkv");
    const ToolRun run = runTool({"-i", input, "-mav", av, "-nf", "30", "-lav", pathFor("av.log")});
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find("### Video width=160, height=120"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("### Finished processing input video: 31 packets\n"), std::string::npos);
    const auto facts = probe(av);
    ASSERT_EQ(facts.streams.size(), 2u);
    EXPECT_EQ(facts.streams[0].codecType, "video");
    EXPECT_EQ(facts.streams[0].width, 160);
    EXPECT_EQ(facts.streams[1].codecType, "audio");
    std::size_t videoLines = 0;
    for (const std::string& line : linesOf(readFile(pathFor("av.log")), toolLineEnd())) {
        videoLines += line[0] == 'V' ? 1 : 0;
    }
    EXPECT_EQ(videoLines, 31u);
}

TEST(Remux, FileNamesOutsideAsciiReachEveryFile) {
    const std::string input = makeSample("B\u00fcro 1.ts");
    const std::string out = pathFor("Aufnahme \u00e9t\u00e9.mp4");
    const std::string log = pathFor("\u00fc.log");
    const ToolRun run = runTool({"-i", input, "-mav", out, "-lv", log, "-nf", "10"});
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find("### Movie " + out + " finalized\n"), std::string::npos) << run.output;
    EXPECT_EQ(probe(out).streams.size(), 2u);
    EXPECT_EQ(linesOf(readFile(log), toolLineEnd()).size(), 11u);
}

TEST(Remux, RepairedTimestampsSurviveTheCoarserTimeBaseOfTheOutput) {
    // The audio clock goes back 50 ms (less than a jump) for one PES packet (some seventeen AAC frames):
    // repaired one input tick (1/90000 s) apart, they must still reach an mp4 whose audio counts
    // 1/48000 s, instead of ending the capture.
    const std::string input = makeSample();
    ASSERT_EQ(
        media_fixture::runCommand("python3 " + media_fixture::quote(TRSN_TESTS_DIR "/ts_timestamps.py") +
                                  " " + media_fixture::quote(input) + " audio 4 1 -4500"),
        0);
    const std::string av = pathFor("av.mp4");
    const ToolRun run = runTool({"-i", input, "-fix", "1", "-mav", av});
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find(": Non-monotonic DTS="), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("### Finished processing input video: 75 packets\n"), std::string::npos);
    const auto audio = media_fixture::probePackets(av, 1);
    ASSERT_GT(audio.size(), 100u);
    for (std::size_t i = 1; i < audio.size(); ++i) {
        ASSERT_TRUE(audio[i].dts && audio[i - 1].dts);
        EXPECT_GT(*audio[i].dts, *audio[i - 1].dts) << "packet " << i;
    }
    EXPECT_EQ(media_fixture::decodeErrors(av), "");
}

}  // namespace
