// What a disk that fails or loses its cache leaves of a recording, on the tests' own file system
// (fault_fs): a power cut just before any sync, with or without a random part of what was not synced,
// leaves a file that opens, decodes and holds every packet that was synced; a write or sync that fails,
// during recording or finishing, fails the run with its report and cause, and the file keeps what was
// synced.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "fault_disk.h"
#include "live_source.h"
#include "log_lines.h"
#include "media_fixture.h"
#include "read_file.h"
#include "report_text.h"
#include "tool_run.h"

namespace {

namespace fs = std::filesystem;
using media_fixture::decodeErrorsUpTo;
using media_fixture::makeMedia;
using media_fixture::pathFor;
using media_fixture::quotePath;
using media_fixture::runCommand;

// 64x64 H.264 at 25 fps and 8 kHz AAC, about 20 kbit/s, in MPEG-TS.
std::string liveSource(const std::string& name, int seconds) {
    const std::string length = std::to_string(seconds);
    return makeMedia(name, "-f lavfi -i testsrc2=size=64x64:rate=25:duration=" + length +
                               " -f lavfi -i sine=duration=" + length +
                               ":sample_rate=8000 -c:v libx264 -preset ultrafast -b:v 12k -g 50 "
                               "-pix_fmt yuv420p -c:a aac -b:a 8k -f mpegts");
}

// The packets of a file with video at index 0 and audio at 1, and the video's presentation times.
struct Packets {
    std::size_t video = 0;
    std::size_t audio = 0;
    std::vector<double> videoTimes;  // sorted
};

Packets packetsOf(const std::string& path) {
    std::string out;
    runCommand("ffprobe -v error -show_entries packet=stream_index,pts_time -of csv=p=0 " + quotePath(path),
               &out);
    Packets packets;
    std::istringstream lines(out);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.rfind("0,", 0) == 0) {
            ++packets.video;
            if (line.substr(2) != "N/A") {
                packets.videoTimes.push_back(std::stod(line.substr(2)));
            }
        } else if (line.rfind("1,", 0) == 0) {
            ++packets.audio;
        }
    }
    std::sort(packets.videoTimes.begin(), packets.videoTimes.end());
    return packets;
}

// The packets a log's text shows.
Packets loggedPackets(const std::string& text) {
    Packets packets;
    for (const std::string& line : log_lines::completeLinesOf(text, toolLineEnd())) {
        packets.video += line.rfind("V packet_id=", 0) == 0 ? 1 : 0;
        packets.audio += line.rfind("A packet_id=", 0) == 0 ? 1 : 0;
    }
    return packets;
}

// The types of the top-level boxes of an ISO BMFF file, "ftyp mdat moov"; "?" for bytes that are none.
std::string topLevelTypes(const std::string& path) {
    const std::string bytes = readFile(path);
    std::string types;
    std::uint64_t at = 0;
    while (at + 8 <= bytes.size()) {
        std::uint64_t size = 0;
        for (int i = 0; i < 4; ++i) {
            size = (size << 8) | static_cast<unsigned char>(bytes[at + i]);
        }
        if (size == 1 && at + 16 <= bytes.size()) {
            size = 0;
            for (int i = 8; i < 16; ++i) {
                size = (size << 8) | static_cast<unsigned char>(bytes[at + i]);
            }
        }
        types += (types.empty() ? "" : " ") + bytes.substr(at + 4, 4);
        if (size < 8) {
            return types + " ?";
        }
        at += size;
    }
    return at == bytes.size() ? types : types + " ?";
}

// The decoded frames of a file's first video and audio packets, as framemd5 lines.
std::string frameHashes(const std::string& path, const Packets& count) {
    std::string hashes;
    for (const auto& [map, frames, n] :
         {std::tuple{"0:v:0", "-frames:v ", count.video}, std::tuple{"0:a:0", "-frames:a ", count.audio}}) {
        std::string out;
        runCommand("ffmpeg -nostdin -v quiet -i " + quotePath(path) + " -map " + map + " " + frames +
                       std::to_string(n) + " -f framemd5 -",
                   &out);
        for (const std::string& line : log_lines::completeLinesOf(out, "\n")) {
            hashes += line.rfind('#', 0) == 0 ? "" : line + "\n";
        }
    }
    return hashes;
}

// A file of the MP4 family whose end falls inside a movie fragment's header: FFmpeg's reader refuses the
// whole file then, though every fragment before is whole.
bool endsInsideAMoof(const std::string& path) {
    const std::string bytes = readFile(path);
    std::uint64_t at = 0;
    std::string last;
    while (at + 8 <= bytes.size()) {
        std::uint64_t size = 0;
        for (int i = 0; i < 4; ++i) {
            size = (size << 8) | static_cast<unsigned char>(bytes[at + i]);
        }
        last = bytes.substr(at + 4, 4);
        if (size < 8 || at + size > bytes.size()) {
            return last == "moof" && size >= 8;
        }
        at += size;
    }
    return false;
}

// Why a state a power cut left does not hold what was synced; empty when it does. A synced state
// decodes without an error; a torn one has garbage after what was synced, which readers complain about,
// so its synced packets must decode to the frames the finished file has.
std::string stateFault(const std::string& state, const Packets& synced, bool torn,
                       const std::string& finished = "") {
    if (synced.video == 0 && synced.audio == 0) {
        return "";  // nothing was synced
    }
    const media_fixture::MediaFacts facts = media_fixture::probe(state);
    if (!facts.ok || facts.streams.size() != 2) {
        return endsInsideAMoof(state) ? "ends inside a moof" : "does not open with both streams";
    }
    const Packets held = packetsOf(state);
    if (held.video < synced.video || held.audio < synced.audio) {
        return "holds " + std::to_string(held.video) + "+" + std::to_string(held.audio) + " of the " +
               std::to_string(synced.video) + "+" + std::to_string(synced.audio) + " packets synced";
    }
    if (!torn) {
        const std::string errors = media_fixture::decodeErrors(state);
        return errors.empty() ? "" : "decodes with errors: " + errors;
    }
    if (!finished.empty() && frameHashes(state, synced) != frameHashes(finished, synced)) {
        return "the synced packets decode to other frames than the finished file's";
    }
    if (finished.empty() && synced.video > 0 && held.videoTimes.size() >= synced.video) {
        const std::string errors = decodeErrorsUpTo(state, held.videoTimes[synced.video - 1]);
        return errors.empty() ? "" : "decodes with errors: " + errors;
    }
    return "";
}

// How long each file was at a sync, as fault_fs noted it in NNN.sizes.
std::uint64_t notedSize(const std::string& sizesFile, const std::string& name) {
    std::ifstream in(sizesFile);
    std::string file;
    std::uint64_t size = 0;
    while (in >> file >> size) {
        if (file == "/" + name) {
            return size;
        }
    }
    return 0;
}

std::string stateName(const std::string& dir, int sync, const std::string& kind) {
    char number[16];
    std::snprintf(number, sizeof number, "%03d", sync);
    return dir + "/" + number + "." + kind;
}

// The figures of the power-cut tests, one row per container.
struct Figures {
    std::string container;
    int tried = 0;
    int held = 0;
};

void printFigures(const std::string& title, const std::vector<Figures>& rows) {
    std::cout << title
              << "\n| container | states tried | states that held |\n"
                 "|---|---|---|\n";
    for (const Figures& row : rows) {
        std::cout << "| " << row.container << " | " << row.tried << " | " << row.held << " |\n";
    }
}

constexpr int tornPerState = 2;

}  // namespace

// The power-cut tests run on the disk that forgets, mounted for each; the states a power cut leaves are the
// file system's, so the Linux build shows them.
class PowerCut : public ::testing::Test {
  protected:
    void SetUp() override {
        if (toolIsWindows()) {
            GTEST_SKIP() << "the states a power cut leaves are the file system's: the Linux build shows them";
        }
        mounted.emplace(pathFor("fault"));
        if (!mounted->skipReason().empty()) {
            GTEST_SKIP() << mounted->skipReason();
        }
    }

    std::optional<FaultDisk> mounted;
};

// A 20 s live capture into each container on the disk that forgets: for every sync the tool made, a
// power cut just before the next one, and a few torn ones with a random part of what was not synced yet.
TEST_F(PowerCut, EverySyncOfALiveCaptureKeepsWhatWasSynced) {
    const FaultDisk& disk = *mounted;
    const std::string source = liveSource("live.ts", 20);
    struct Capture {
        std::string container;
        std::string states;
        std::unique_ptr<live_source::PacedTcpSource> server;
        int pid = 0;
    };
    std::vector<Capture> captures;
    int seed = 1;
    for (const char* container : {"mp4", "mov", "mkv", "ts"}) {
        Capture capture{container, pathFor(std::string("states-") + container), nullptr, 0};
        fs::create_directories(capture.states);
        ASSERT_TRUE(disk.command("record /out." + capture.container + " " + capture.states + " " +
                                 std::to_string(tornPerState) + " " + std::to_string(seed++)));
        capture.server = std::make_unique<live_source::PacedTcpSource>(source, 20.0);
        ASSERT_FALSE(capture.server->url().empty());
        capture.pid = startTool({"-i", capture.server->url(), "-mav", disk.path("out." + capture.container),
                                 "-lav", disk.path(capture.container + ".log")},
                                pathFor(capture.container + ".out"));
        ASSERT_GT(capture.pid, 0);
        captures.push_back(std::move(capture));
    }
    for (const Capture& capture : captures) {
        EXPECT_TRUE(live_source::waitForExit(capture.pid, 120.0));
        const ToolRun run = waitTool(capture.pid, pathFor(capture.container + ".out"));
        EXPECT_EQ(run.status, 0) << run.output;
    }

    std::vector<Figures> figures;
    for (const Capture& capture : captures) {
        SCOPED_TRACE(capture.container);
        const std::string media = "out." + capture.container;
        const std::string log = capture.container + ".log";
        const std::string logText = readFile(disk.path(log));
        Figures row{capture.container};
        const auto tryState = [&](const std::string& state, const Packets& synced, bool torn) {
            ++row.tried;
            const std::string fault = stateFault(state, synced, torn, disk.onDisk(media));
            EXPECT_EQ(fault, "") << state;
            row.held += fault.empty() ? 1 : 0;
        };
        // Cut just before sync n: what sync n - 1 put on the disk, with part of the rest on top.
        const int syncs = static_cast<int>(disk.counter("fsyncs", media));
        EXPECT_GE(syncs, 5);
        for (int sync = 2; sync <= syncs; ++sync) {
            const std::uint64_t logged = notedSize(stateName(capture.states, sync - 1, "sizes"), log);
            const Packets synced = loggedPackets(logText.substr(0, static_cast<std::size_t>(logged)));
            tryState(stateName(capture.states, sync, "synced"), synced, false);
            for (int torn = 1; torn <= tornPerState; ++torn) {
                tryState(stateName(capture.states, sync, "torn-" + std::to_string(torn)), synced, true);
            }
        }
        // After the last sync: the finished file, every packet of the log in it.
        tryState(disk.onDisk(media), loggedPackets(logText), false);
        figures.push_back(row);
    }
    printFigures("Power cut at every sync of a 20 s live capture (a synced state and " +
                     std::to_string(tornPerState) + " torn ones per sync, and the finished file):",
                 figures);
}

// The finishing step of a 30 min capture, in place, on the disk that forgets: a power cut just before each
// of its syncs, torn or not, leaves the complete standard file or the playable fragmented one with every
// packet, never less.
TEST_F(PowerCut, EveryStepOfFinishingLeavesTheStandardFileOrTheFragmentedOne) {
    const FaultDisk& disk = *mounted;
    // 30 minutes at 5 fps, remuxed as fast as the disk takes it.
    const std::string source =
        makeMedia("long.ts",
                  "-f lavfi -i testsrc2=size=64x64:rate=5:duration=1800 -f lavfi -i "
                  "sine=duration=1800:sample_rate=8000 "
                  "-c:v libx264 -preset ultrafast -b:v 8k -g 50 -pix_fmt yuv420p -c:a aac -b:a 8k -f mpegts");
    std::vector<Figures> figures;
    int seed = 11;
    for (const std::string container : {"mp4", "mov"}) {
        SCOPED_TRACE(container);
        const std::string media = "out." + container;
        const std::string states = pathFor("states-" + container);
        fs::create_directories(states);
        ASSERT_TRUE(disk.command("record /" + media + " " + states + " " + std::to_string(tornPerState) +
                                 " " + std::to_string(seed++)));
        const ToolRun run = runTool({"-i", source, "-mav", disk.path(media)});
        ASSERT_EQ(run.status, 0) << run.output;
        const std::string finished = disk.onDisk(media);
        EXPECT_EQ(topLevelTypes(finished), "ftyp mdat moov");
        const Packets all = packetsOf(finished);
        EXPECT_GE(all.video, 9000u);

        // The step's syncs: before it, after the new moov is written as free space, after it became a
        // moov, after the mdat header, and at the close. The state before the first of them is the
        // recording's, as its last sync left it.
        const int syncs = static_cast<int>(disk.counter("fsyncs", media));
        ASSERT_GE(syncs, 5);
        Figures row{container};
        const auto tryState = [&](const std::string& state, bool complete) {
            ++row.tried;
            const std::string types = topLevelTypes(state);
            const bool standard = types == "ftyp mdat moov";
            const bool fragmented = types.find("moof") != std::string::npos;
            std::string fault = standard || fragmented ? "" : "neither standard nor fragmented: " + types;
            if (fault.empty()) {
                const Packets held = packetsOf(state);
                if (complete && (held.video != all.video || held.audio != all.audio)) {
                    fault = "holds " + std::to_string(held.video) + "+" + std::to_string(held.audio) +
                            " of " + std::to_string(all.video) + "+" + std::to_string(all.audio) + " packets";
                } else if (const std::string errors = media_fixture::decodeErrors(state); !errors.empty()) {
                    fault = "decodes with errors: " + errors;
                }
            }
            EXPECT_EQ(fault, "") << state;
            row.held += fault.empty() ? 1 : 0;
        };
        for (int sync = std::max(2, syncs - 4); sync <= syncs; ++sync) {
            const bool complete = sync > syncs - 4;
            tryState(stateName(states, sync, "synced"), complete);
            for (int torn = 1; torn <= tornPerState; ++torn) {
                tryState(stateName(states, sync, "torn-" + std::to_string(torn)), complete);
            }
        }
        tryState(finished, true);
        figures.push_back(row);
    }
    printFigures("Power cut at every step of finishing a 30 min capture in place (a synced state and " +
                     std::to_string(tornPerState) + " torn ones per sync, and the finished file):",
                 figures);
}

namespace {

enum class Phase { recording, finishing };

struct DiskFault {
    const char* name;
    std::string container;
    Phase phase;
    bool logOnDisk;       // the log is on the failing disk, the media file not
    std::string command;  // what fault_fs is told: MEDIA and LOG stand for the files' names
    std::string report;   // the failure's report
    std::string reason;   // the cause line's
    int errors;           // reports in all
};

void PrintTo(const DiskFault& fault, std::ostream* out) {
    *out << fault.name;
}

std::string replaced(std::string text, const std::string& word, const std::string& by) {
    for (std::size_t at; (at = text.find(word)) != std::string::npos;) {
        text.replace(at, word.size(), by);
    }
    return text;
}

std::size_t occurrences(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

class DiskErrors : public testing::TestWithParam<DiskFault> {};

constexpr const char* ioError = "Input/output error";
constexpr const char* noSpace = "No space left on device";

}  // namespace

// A write or sync of a media file or log that fails, while recording or finishing, is reported where it
// happens, with the system's text for it; the run ends with -1, and the file keeps what was synced before.
TEST_P(DiskErrors, FailTheRunWithTheirCauseAndKeepWhatWasSynced) {
    const DiskFault& c = GetParam();
    const FaultDisk disk(pathFor("fault"));
    if (!disk.skipReason().empty()) {
        GTEST_SKIP() << disk.skipReason();
    }
    const std::string mediaName = "out." + c.container;
    const std::string media = c.logOnDisk ? pathFor(mediaName) : disk.path(mediaName);
    const std::string log =
        c.logOnDisk || c.phase == Phase::finishing ? disk.path("out.log") : pathFor("out.log");
    const std::string states = pathFor("states");
    fs::create_directories(states);
    if (!c.logOnDisk) {
        ASSERT_TRUE(disk.command("record /" + mediaName + " " + states + " 0 1"));
    }
    const std::string command = replaced(replaced(c.command, "MEDIA", "/" + mediaName), "LOG", "/out.log");
    ToolRun run;
    if (c.phase == Phase::recording) {
        live_source::PacedTcpSource server(liveSource("live.ts", 12), 12.0);
        ASSERT_FALSE(server.url().empty());
        const int pid = startTool({"-i", server.url(), "-mav", media, "-lav", log}, pathFor("tool.out"));
        ASSERT_GT(pid, 0);
        // Armed once the capture is under way: two syncs of the media file, or fifty lines of the log.
        ASSERT_TRUE(c.logOnDisk ? disk.waitFor("writes", "out.log", 50, 60.0)
                                : disk.waitFor("fsyncs", mediaName, 2, 60.0));
        ASSERT_TRUE(disk.command(command));
        EXPECT_TRUE(live_source::waitForExit(pid, 60.0));
        run = waitTool(pid, pathFor("tool.out"));
    } else {
        ASSERT_TRUE(disk.command(command));
        run = runTool({"-i", liveSource("input.ts", 6), "-mav", media, "-lav", log});
    }
    EXPECT_EQ(run.status, -1) << run.output;
    const std::string failed = c.logOnDisk ? log : media;
    const std::string report = expectedReport(
        "Error", c.report, c.report.rfind("Failed to", 0) == 0 ? "mediatap/main" : "mediatap/movie_writer");
    if (toolIsWindows()) {
        // The system's text is Windows' own for what Wine makes of the error.
        EXPECT_EQ(occurrences(run.output, report + "### Cause: "), 1u) << run.output;
        EXPECT_NE(run.output.find(" (" + failed + ")\n"), std::string::npos) << run.output;
    } else {
        EXPECT_EQ(occurrences(run.output, report + causeLine(c.reason, failed)), 1u) << run.output;
    }
    EXPECT_EQ(occurrences(run.output, "### Error: "), static_cast<std::size_t>(c.errors)) << run.output;
    EXPECT_EQ(occurrences(run.output, movieFinalized(media)), c.logOnDisk ? 1u : 0u) << run.output;

    // What the disk holds once its cache is gone: every packet synced before the error, decoding.
    ASSERT_TRUE(disk.command("cut"));
    if (c.logOnDisk) {
        EXPECT_EQ(media_fixture::decodeErrors(media), "");
        return;
    }
    int lastSync = 0;
    while (fs::exists(stateName(states, lastSync + 1, "synced"))) {
        ++lastSync;
    }
    const Packets synced = lastSync > 0 ? packetsOf(stateName(states, lastSync, "synced")) : Packets{};
    if (c.phase == Phase::recording) {
        EXPECT_GT(synced.video, 0u);
    }
    EXPECT_EQ(stateFault(disk.onDisk(mediaName), synced, true), "");
}

INSTANTIATE_TEST_SUITE_P(
    Faults, DiskErrors,
    testing::Values(DiskFault{"WriteWhileRecording", "mp4", Phase::recording, false, "fail-write MEDIA",
                              "av_interleaved_write_frame failure", ioError, 2},
                    DiskFault{"SyncWhileRecording", "mp4", Phase::recording, false, "fail-fsync MEDIA",
                              "av_interleaved_write_frame failure", ioError, 2},
                    DiskFault{"FullDiskWhileRecording", "mkv", Phase::recording, false, "enospc on",
                              "av_interleaved_write_frame failure", noSpace, 2},
                    DiskFault{"SyncOfMkvWhileRecording", "mkv", Phase::recording, false, "fail-fsync MEDIA",
                              "av_interleaved_write_frame failure", ioError, 2},
                    DiskFault{"WriteWhileFinishing", "mp4", Phase::finishing, false,
                              "fail-write MEDIA after-sync LOG", "av_write_trailer failure", ioError, 1},
                    DiskFault{"WriteOfTheNewMoov", "mp4", Phase::finishing, false,
                              "fail-write MEDIA after-read", "av_write_trailer failure", ioError, 1},
                    DiskFault{"SyncWhileFinishing", "mp4", Phase::finishing, false,
                              "fail-fsync MEDIA after-sync LOG", "av_write_trailer failure", ioError, 1},
                    DiskFault{"FullDiskWhileFinishing", "mp4", Phase::finishing, false,
                              "enospc on after-sync LOG", "av_write_trailer failure", noSpace, 1},
                    DiskFault{"WriteOfMkvWhileFinishing", "mkv", Phase::finishing, false,
                              "fail-write MEDIA after-sync LOG", "av_write_trailer failure", ioError, 1},
                    DiskFault{"SyncOfMkvAtItsClose", "mkv", Phase::finishing, false,
                              "fail-fsync MEDIA after-sync LOG", "avio_close failure", ioError, 1},
                    DiskFault{"WriteOfALog", "mkv", Phase::recording, true, "fail-write LOG",
                              "Failed to write log for audio+video", ioError, 1},
                    DiskFault{"SyncOfALogAtItsClose", "mkv", Phase::finishing, true, "fail-fsync LOG",
                              "Failed to write log for audio+video", ioError, 1}),
    [](const testing::TestParamInfo<DiskFault>& tested) { return std::string(tested.param.name); });
