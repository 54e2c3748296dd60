// trsn.mediatap on live sources: captures from a real RTSP server, the five-second watchdog on a server
// that never answers or stops sending, and stop on request (SIGINT, SIGTERM). Outputs are checked with
// ffprobe and by decoding them. Captures are short: a frame or time limit, or a stop after a few
// seconds.
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <vector>

#include "live_source.h"
#include "log_lines.h"
#include "media_fixture.h"
#include "read_file.h"
#include "report_text.h"
#include "tool_run.h"

namespace {

using live_source::nowSeconds;
using live_source::RtspServer;
using live_source::SilentListener;
using live_source::StallingTcpSource;
using log_lines::linesOf;
using log_lines::linesStartingWith;
using media_fixture::decodeErrors;
using media_fixture::pathFor;
using media_fixture::probe;

// Twenty seconds of H.264 (25 fps, a key frame every second) and AAC for the server to stream; no
// capture here gets near its end.
std::string makeSource() {
    return media_fixture::makeMedia(
        "source.mkv",
        "-f lavfi -i testsrc2=size=160x120:rate=25:duration=20 "
        "-f lavfi -i sine=frequency=440:sample_rate=48000:duration=20 "
        "-c:v libx264 -preset ultrafast -g 25 -pix_fmt yuv420p -c:a aac -b:a 64k");
}

// The cause of a source that sent nothing for the deadline.
const char* const stalled = "no data from the source for 5 s";

const char* const mp4Preamble = "### Output type=mp4\n### Enabled AAC ADTS to ASC bitstream filter\n";

// The "### Video width=" line of a capture of the source; its frame period comes from the RTSP stream.
std::string videoLineOf(const std::string& output) {
    static const std::regex line(R"(### Video width=160, height=120, FPS_base=\d+/\d+\n)");
    std::smatch match;
    EXPECT_TRUE(std::regex_search(output, match, line)) << output;
    return match.empty() ? std::string("(no video line)\n") : match.str();
}

bool endsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// A finalised, playable output: the expected streams, some duration, and a clean decode.
void expectPlayable(const std::string& file, std::size_t streams, double minDuration) {
    SCOPED_TRACE(file);
    const auto facts = probe(file);
    ASSERT_TRUE(facts.ok);
    EXPECT_EQ(facts.streams.size(), streams);
    ASSERT_TRUE(facts.duration.has_value());
    EXPECT_GT(*facts.duration, minDuration);
    EXPECT_EQ(decodeErrors(file), "");
}

// Starts a capture of the server into av.mp4 with the video log v.log, and waits until it has logged a
// second of video. Returns the capture's pid, or 0 when the server or the capture did not start (a
// recorded failure).
int startCapture(const RtspServer& server) {
    if (server.url().empty()) {
        return 0;
    }
    const std::string videoLog = pathFor("v.log");
    std::filesystem::remove(videoLog);
    const int pid =
        startTool({"-i", server.url(), "-mav", pathFor("av.mp4"), "-lv", videoLog}, pathFor("tool.out"));
    EXPECT_GT(pid, 0);
    if (pid <= 0) {
        return 0;
    }
    EXPECT_TRUE(live_source::waitForLines(videoLog, 25, toolLineEnd(), 15.0));
    return pid;
}

TEST(Rtsp, FrameLimitedCaptureWritesAllThreeOutputsAndLogs) {
    RtspServer server(makeSource());
    ASSERT_FALSE(server.url().empty());
    const std::string av = pathFor("av.mp4");
    const std::string v = pathFor("v.mp4");
    const std::string a = pathFor("a.m4a");
    const ToolRun run = runTool({"-i", server.url(), "-nf", "50", "-mav", av, "-mv", v, "-ma", a, "-lav",
                                 pathFor("av.log"), "-lv", pathFor("v.log"), "-la", pathFor("a.log")});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.output, mp4Preamble + videoLineOf(run.output) + expectedThreeOutputRun(av, v, a, 51));

    const auto both = probe(av);
    ASSERT_EQ(both.streams.size(), 2u);
    EXPECT_EQ(both.streams[0].codecName, "h264");
    EXPECT_EQ(both.streams[1].codecName, "aac");
    ASSERT_TRUE(both.duration.has_value());
    EXPECT_NEAR(*both.duration, 2.0, 0.5);  // 51 frames at 25 fps, and the audio read meanwhile
    EXPECT_EQ(probe(v).streams.size(), 1u);
    EXPECT_EQ(probe(v).streams.at(0).codecType, "video");
    EXPECT_EQ(probe(a).streams.size(), 1u);
    EXPECT_EQ(probe(a).streams.at(0).codecName, "aac");
    for (const std::string& file : {av, v, a}) {
        SCOPED_TRACE(file);
        EXPECT_EQ(decodeErrors(file), "");
    }

    // Each single-kind log holds exactly the lines of its kind of the combined one, in the same order.
    const std::string end = toolLineEnd();
    const auto all = linesOf(readFile(pathFor("av.log")), end);
    const auto videoLines = linesOf(readFile(pathFor("v.log")), end);
    const auto audioLines = linesOf(readFile(pathFor("a.log")), end);
    EXPECT_EQ(videoLines.size(), 51u);
    EXPECT_FALSE(audioLines.empty());
    EXPECT_EQ(linesStartingWith(all, "V packet_id="), videoLines);
    EXPECT_EQ(linesStartingWith(all, "A packet_id="), audioLines);
    EXPECT_EQ(all.size(), videoLines.size() + audioLines.size());
}

TEST(Rtsp, SecondsLimitStopsAfterTheFirstPacketPastIt) {
    RtspServer server(makeSource());
    ASSERT_FALSE(server.url().empty());
    const std::string av = pathFor("av.mkv");
    const ToolRun run = runTool({"-i", server.url(), "-ns", "2", "-mav", av, "-lav", pathFor("av.log")});
    EXPECT_EQ(run.status, 0);
    EXPECT_NE(run.output.find("### Finished processing input video: "), std::string::npos) << run.output;
    const auto lines = linesOf(readFile(pathFor("av.log")), toolLineEnd());
    ASSERT_GT(lines.size(), 2u);
    EXPECT_GE(log_lines::timeOf(lines.back()), 2.0) << lines.back();
    for (std::size_t i = 0; i + 1 < lines.size(); ++i) {
        ASSERT_LE(log_lines::timeOf(lines[i]), 2.0) << lines[i];
    }
    expectPlayable(av, 2, 1.5);
}

TEST(Watchdog, ServerThatNeverAnswersFailsTheOpenAfterFiveSeconds) {
    SilentListener listener;
    const std::string av = pathFor("av.mp4");
    const std::string url = "rtsp://127.0.0.1:" + std::to_string(listener.port()) + "/stream";
    const double start = nowSeconds();
    const ToolRun run = runTool({"-i", url, "-mav", av});
    EXPECT_LT(nowSeconds() - start, 20.0);
    EXPECT_EQ(run.status, -1);
    EXPECT_EQ(run.output,
              mp4Preamble + expectedReport("Error", "Couldn't open input video") + causeLine(stalled, url));
    EXPECT_FALSE(std::filesystem::exists(av));
    // The report's age of the process shows when the open was given up, whatever the start-up cost of
    // the process (Wine's included).
    std::smatch age;
    ASSERT_TRUE(std::regex_search(run.rawOutput, age, std::regex(R"(elapsed_time=000:00:00:(\d\d):(\d{3}))")))
        << run.rawOutput;
    const int ms = std::stoi(age[1]) * 1000 + std::stoi(age[2]);
    EXPECT_GE(ms, 5000);  // whole milliseconds, and the open may begin within one of the process start
    EXPECT_LT(ms, 9000);
}

TEST(Watchdog, StalledServerEndsTheRunWithFinalisedOutputs) {
    RtspServer server(makeSource());
    const int pid = startCapture(server);
    ASSERT_GT(pid, 0);
    const std::string av = pathFor("av.mp4");
    server.stall();
    const double stalledAt = nowSeconds();
    // The read in hand is abandoned 5 s after the last packet; what the demuxer still had buffered comes
    // out, and does not count as the source being alive.
    EXPECT_TRUE(live_source::waitForExit(pid, 20.0));
    const double took = nowSeconds() - stalledAt;
    const ToolRun run = waitTool(pid, pathFor("tool.out"));
    EXPECT_EQ(run.status, -1);
    EXPECT_LT(took, 6.5);
    EXPECT_GT(took, 4.9);
    EXPECT_TRUE(endsWith(run.output, "### Started processing input video packets\n" +
                                         expectedReport("Error", "av_read_frame IO error") +
                                         causeLine(stalled, server.url()) + "### Movie " + av +
                                         " finalized\n"))
        << run.output;
    EXPECT_EQ(run.output.find("### Finished processing input video: "), std::string::npos);
    expectPlayable(av, 2, 0.5);
}

TEST(Watchdog, StalledByteStreamEndsTheRunAsAFailure) {
    const std::string input = media_fixture::makeMedia(
        "in.ts",
        "-f lavfi -i testsrc2=size=160x120:rate=25:duration=6 -c:v libx264 -preset ultrafast -g 25 "
        "-f mpegts");
    StallingTcpSource source(input);
    ASSERT_FALSE(source.url().empty());
    const std::string av = pathFor("av.mkv");
    const ToolRun run = runTool({"-i", source.url(), "-mav", av});
    EXPECT_EQ(run.status, -1);
    EXPECT_TRUE(endsWith(run.output, "### Started processing input video packets\n" +
                                         expectedReport("Error", "av_read_frame IO error") +
                                         causeLine(stalled, source.url()) + "### Movie " + av +
                                         " finalized\n"))
        << run.output;
    // Finalised; its last frame may be cut short where the source stalled.
    const auto facts = probe(av);
    ASSERT_TRUE(facts.ok);
    EXPECT_EQ(facts.streams.size(), 1u);
    EXPECT_GT(facts.duration.value_or(0.0), 1.0);
}

// Writes the bytes to the pipe, all of them (the tool reads them meanwhile). False when the reader went.
bool writeAll(int fd, const std::string& bytes) {
    for (std::size_t done = 0; done < bytes.size();) {
        const ssize_t count = write(fd, bytes.data() + done, bytes.size() - done);
        if (count <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(count);
    }
    return true;
}

// A source on standard input: its writer sends all of a stream and closes, or sends a part and then
// nothing while it stays open. The stalled ones end within the deadline, as a stalled network source
// does, with the outputs finalised; a whole stream is read to its end.
TEST(Watchdog, StalledPipeOnStandardInputEndsTheRunLikeAStalledNetworkSource) {
    // Its first picture takes more than the few packets the container is known by.
    const std::string input = media_fixture::makeMedia(
        "in.ts",
        "-f lavfi -i testsrc2=size=640x360:rate=25:duration=6 -c:v libx264 -preset ultrafast -g 25 "
        "-f mpegts");
    const std::string bytes = readFile(input);
    const std::string av = pathFor("av.mkv");
    const std::string start = "### Output type=mkv\n";
    const std::string opened =
        "### Audio stream not found\n### Video width=640, height=360, FPS_base=1/50\n" + movieOpened(av) +
        "### Started processing input video packets\n";
    struct Case {
        const char* what;
        std::string sent;
        bool writerCloses;
        std::string output;
    };
    const Case cases[] = {
        {"the whole stream", bytes, true,
         start + opened + "### Finished processing input video: 150 packets\n" + movieFinalized(av)},
        {"half of it", bytes.substr(0, bytes.size() / 2), false,
         start + opened + expectedReport("Error", "av_read_frame IO error") + causeLine(stalled, "pipe:0") +
             movieFinalized(av)},
        // Joined after its first key frame: enough to tell the container, not to describe the picture.
        // The stream information waits for more until the deadline.
        {"a part between two key frames", bytes.substr(188 * 30, 20000), false,
         start + expectedReport("Error", "Couldn't open input video") + causeLine(stalled, "pipe:0")},
    };
    const auto previous = signal(SIGPIPE, SIG_IGN);  // a tool that ended early must not end the test
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove(av);
        int fds[2];
        ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
        const int pid = startTool({"-i", "pipe:0", "-mav", av}, pathFor("tool.out"), fds[0]);
        close(fds[0]);
        EXPECT_TRUE(writeAll(fds[1], c.sent));
        if (c.writerCloses) {
            close(fds[1]);
        }
        EXPECT_TRUE(live_source::waitForExit(pid, 30.0));  // the stalled writer is still there
        if (!c.writerCloses) {
            close(fds[1]);
        }
        const ToolRun run = waitTool(pid, pathFor("tool.out"));
        EXPECT_EQ(run.status, c.writerCloses ? 0 : -1);
        EXPECT_EQ(run.output, c.output);
        if (c.output.ends_with(movieFinalized(av))) {
            EXPECT_GT(probe(av).duration.value_or(0.0), 1.0);
        }
    }
    signal(SIGPIPE, previous);
}

// A FIFO that nobody ever opens for writing: the open waits for a writer as long as the deadline allows.
TEST(Watchdog, FifoThatNobodyWritesFailsTheOpenAfterFiveSeconds) {
    if (toolIsWindows()) {
        GTEST_SKIP() << "a FIFO is a POSIX source; the Windows build's pipe is standard input";
    }
    const std::string fifo = pathFor("camera.fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string av = pathFor("av.mkv");
    // Bounded, so that a tool that waits forever fails the test instead of hanging it.
    const ToolRun run = runTool({"-i", fifo, "-mav", av}, "timeout -s KILL 30");
    EXPECT_EQ(run.status, -1);
    EXPECT_EQ(run.output, "### Output type=mkv\n" + expectedReport("Error", "Couldn't open input video") +
                              causeLine(stalled, fifo));
    EXPECT_FALSE(std::filesystem::exists(av));
    std::smatch age;
    ASSERT_TRUE(std::regex_search(run.rawOutput, age, std::regex(R"(elapsed_time=000:00:00:(\d\d):(\d{3}))")))
        << run.rawOutput;
    const int ms = std::stoi(age[1]) * 1000 + std::stoi(age[2]);
    EXPECT_GE(ms, 5000);  // whole milliseconds, and the open may begin within one of the process start
    EXPECT_LT(ms, 9000);
}

TEST(Watchdog, ServerThatGoesAwayEndsTheRunWithFinalisedOutputs) {
    RtspServer server(makeSource());
    const int pid = startCapture(server);
    ASSERT_GT(pid, 0);
    const std::string av = pathFor("av.mp4");
    server.kill();
    const double killedAt = nowSeconds();
    EXPECT_TRUE(live_source::waitForExit(pid, 20.0));
    EXPECT_LT(nowSeconds() - killedAt, 11.0);
    const ToolRun run = waitTool(pid, pathFor("tool.out"));
    // The closed control connection is the end of the input.
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_TRUE(endsWith(run.output, "### Movie " + av + " finalized\n")) << run.output;
    expectPlayable(av, 2, 0.5);
}

// Runs the test in a network namespace of its own whose loopback drops every UDP datagram, as a firewall
// between a recorder and a remote camera may. False when that cannot be set up (not root).
bool enterNamespaceWithoutUdp() {
    return unshare(CLONE_NEWNET) == 0 && std::system("ip link set lo up") == 0 &&
           std::system("iptables -A INPUT -p udp -j DROP") == 0;
}

// RTSP asks for TCP first, so a camera whose UDP is dropped still records; one that offers UDP alone
// still gets it.
TEST(Rtsp, TransportIsTcpFirstAndUdpWhenTheServerOffersNothingElse) {
    if (toolIsWindows()) {
        GTEST_SKIP() << "the transport choice is the same code on both builds; the namespace is Linux's";
    }
    if (geteuid() != 0 || !enterNamespaceWithoutUdp()) {
        GTEST_SKIP() << "needs root for a network namespace";
    }
    const std::string source = makeSource();
    {
        SCOPED_TRACE("UDP dropped");
        RtspServer server(source);
        ASSERT_FALSE(server.url().empty());
        const ToolRun run = runTool({"-i", server.url(), "-ns", "2", "-mav", pathFor("tcp.mkv")});
        EXPECT_EQ(run.status, 0) << run.output;
        expectPlayable(pathFor("tcp.mkv"), 2, 1.5);
    }
    ASSERT_EQ(std::system("iptables -F INPUT"), 0);
    {
        SCOPED_TRACE("UDP only");
        RtspServer server(source, RtspServer::udpOnly);
        ASSERT_FALSE(server.url().empty());
        const ToolRun run = runTool({"-i", server.url(), "-ns", "2", "-mav", pathFor("udp.mkv")});
        EXPECT_EQ(run.status, 0) << run.output;
        expectPlayable(pathFor("udp.mkv"), 2, 1.5);
    }
}

// The console output of a capture ended by one stop request, and the packets it counted.
struct StoppedCapture {
    ToolRun run;
    std::size_t videoLines = 0;
};

StoppedCapture captureUntilSignal(const RtspServer& server, const std::vector<int>& signals) {
    StoppedCapture result;
    const int pid = startCapture(server);
    if (pid <= 0) {
        return result;
    }
    // Stopped while the signals are sent, so that they all arrive together when it continues.
    kill(pid, SIGSTOP);
    for (int signal : signals) {
        kill(pid, signal);
    }
    kill(pid, SIGCONT);
    EXPECT_TRUE(live_source::waitForExit(pid, 5.0));
    result.run = waitTool(pid, pathFor("tool.out"));
    result.videoLines = linesOf(readFile(pathFor("v.log")), toolLineEnd()).size();
    return result;
}

TEST(StopRequest, InterruptEndsTheCaptureNormallyWithFinalisedOutputs) {
    RtspServer server(makeSource());
    ASSERT_FALSE(server.url().empty());
    // Wine hands SIGINT to a Windows program as CTRL_C_EVENT; SIGTERM has no console counterpart there.
    const std::vector<int> signals =
        toolIsWindows() ? std::vector<int>{SIGINT} : std::vector<int>{SIGINT, SIGTERM};
    for (int signal : signals) {
        SCOPED_TRACE(signal);
        const StoppedCapture capture = captureUntilSignal(server, {signal});
        const std::string av = pathFor("av.mp4");
        EXPECT_EQ(capture.run.status, 0);
        // Every video packet read was passed on and logged, and the count says so.
        EXPECT_TRUE(endsWith(capture.run.output,
                             "### Started processing input video packets\n"
                             "### Finished processing input video: " +
                                 std::to_string(capture.videoLines) + " packets\n### Movie " + av +
                                 " finalized\n"))
            << capture.run.output;
        expectPlayable(av, 2, 0.5);
    }
}

TEST(StopRequest, SecondRequestEndsTheProcessAtOnce) {
    RtspServer server(makeSource());
    ASSERT_FALSE(server.url().empty());
    if (toolIsWindows()) {
        // Wine has only SIGINT for a console interrupt, and two of them sent together arrive as one.
        GTEST_SKIP() << "no second, distinct console interrupt can be sent to a program under Wine";
    }
    const StoppedCapture capture = captureUntilSignal(server, {SIGINT, SIGTERM});
    EXPECT_EQ(capture.run.status, -1);
    EXPECT_TRUE(endsWith(capture.run.output, "### Started processing input video packets\n"))
        << capture.run.output;
}

TEST(StopRequest, RequestDuringOpeningFailsTheOpenAtOnce) {
    SilentListener listener;
    const std::string url = "rtsp://127.0.0.1:" + std::to_string(listener.port()) + "/stream";
    const int pid = startTool({"-i", url, "-mav", pathFor("av.mp4")}, pathFor("tool.out"));
    ASSERT_GT(pid, 0);
    // Signal once the tool has connected: it is inside the open, waiting for an answer that never comes,
    // and its stop handler is in place (it is installed before the input is opened).
    EXPECT_TRUE(listener.waitForConnection(30.0));
    const double signalledAt = nowSeconds();
    kill(pid, SIGINT);
    EXPECT_TRUE(live_source::waitForExit(pid, 10.0));
    EXPECT_LT(nowSeconds() - signalledAt, 2.0);
    const ToolRun run = waitTool(pid, pathFor("tool.out"));
    EXPECT_EQ(run.status, -1);
    // The open ends with the interrupt's own code when the request comes while it connects, and with the
    // RTSP client's when it comes while the client waits for an answer.
    const std::string report = mp4Preamble + expectedReport("Error", "Couldn't open input video");
    EXPECT_TRUE(run.output == report + causeLine("Immediate exit requested", url) ||
                run.output == report + causeLine("Invalid data found when processing input", url))
        << run.output;
}

}  // namespace
