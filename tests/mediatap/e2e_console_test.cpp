// What a user of trsn.mediatap sees on the console around a capture: a status line on a terminal (and
// none anywhere else), FFmpeg's log on standard error without the stream probe's decoder noise, and no
// password of a camera's address on either output.
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "live_source.h"
#include "log_lines.h"
#include "media_fixture.h"
#include "read_file.h"
#include "report_text.h"
#include "tool_run.h"

namespace {

using live_source::RtspServer;
using media_fixture::makeMedia;
using media_fixture::pathFor;
using media_fixture::probe;
using media_fixture::quote;

// Twenty seconds of H.264 and AAC for the server to stream in real time.
std::string makeSource() {
    return makeMedia("source.mkv",
                     "-f lavfi -i testsrc2=size=160x120:rate=25:duration=20 "
                     "-f lavfi -i sine=frequency=440:sample_rate=48000:duration=20 "
                     "-c:v libx264 -preset ultrafast -g 25 -pix_fmt yuv420p -c:a aac -b:a 64k");
}

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

// A terminal of the test's own (a tmux server on a private socket, 200 columns wide) that runs one
// command line and then shows "EXIT <status>"; its screen is read as a user would see it.
class Terminal {
  public:
    explicit Terminal(const std::string& command)
        : server("trsn-test-" + std::to_string(getpid()) + "-" + std::to_string(++serial)) {
        started =
            media_fixture::runCommand("tmux -L " + server + " -f /dev/null new-session -d -x 200 -y 50 " +
                                      quote(command + "; echo \"EXIT $?\"; sleep 600")) == 0;
    }
    ~Terminal() { media_fixture::runCommand("tmux -L " + server + " kill-server"); }
    Terminal(const Terminal&) = delete;
    Terminal& operator=(const Terminal&) = delete;

    bool isStarted() const { return started; }

    // The screen's lines without their trailing blanks, up to the last one that shows anything.
    std::vector<std::string> screen() const {
        std::string text;
        media_fixture::runCommand("tmux -L " + server + " capture-pane -p", &text);
        std::vector<std::string> lines;
        for (std::string line : linesOf(text)) {
            line.erase(line.find_last_not_of(' ') + 1);
            lines.push_back(line);
        }
        while (!lines.empty() && lines.back().empty()) {
            lines.pop_back();
        }
        return lines;
    }

  private:
    static inline int serial = 0;
    std::string server;
    bool started = false;
};

bool isStatusLine(const std::string& line) {
    static const std::regex status(
        R"(### Capturing \d+:\d\d:\d\d of stream time, \d+ video and \d+ audio packets, \d+\.\d MB)");
    return std::regex_match(line, status);
}

std::string videoLineOf(const std::string& output) {
    static const std::regex line(R"(### Video width=160, height=120, FPS_base=\d+/\d+\n)");
    std::smatch match;
    EXPECT_TRUE(std::regex_search(output, match, line)) << output;
    return match.empty() ? std::string("(no video line)\n") : match.str();
}

// On a terminal a capture shows one status line below its other lines, rewritten in place, and gone when
// the run ends; redirected, the output is byte for byte what it always was, without a trace of one.
TEST(Console, StatusLineShowsOnATerminalOnlyAndLeavesNoTrace) {
    RtspServer server(makeSource());
    ASSERT_FALSE(server.url().empty());
    const std::string av = pathFor("av.mkv");
    const std::string log = pathFor("v.log");
    const std::vector<std::string> args{"-i", server.url(), "-ns", "4", "-mav", av, "-lv", log};
    const auto expectedOutput = [&](const std::string& videoLine) {
        const std::size_t packets = log_lines::linesOf(readFile(log), toolLineEnd()).size();
        return "### Output type=mkv\n" + videoLine + movieOpened(av) +
               "### Started processing input video packets\n### Finished processing input video: " +
               std::to_string(packets) + " packets\n" + movieFinalized(av);
    };

    const ToolRun redirected = runTool(args);
    EXPECT_EQ(redirected.status, 0);
    EXPECT_EQ(redirected.output, expectedOutput(videoLineOf(redirected.output)));

    Terminal terminal(toolCommand(args) + " 2>/dev/null");
    ASSERT_TRUE(terminal.isStarted());
    std::vector<std::string> statusLines;
    std::vector<std::string> screen;
    const double deadline = live_source::nowSeconds() + 60.0;
    while (live_source::nowSeconds() < deadline) {
        screen = terminal.screen();
        if (!screen.empty() && screen.back().starts_with("EXIT ")) {
            break;
        }
        // While it shows, the status line is the last line, under the lines printed before it.
        if (!screen.empty() && isStatusLine(screen.back())) {
            ASSERT_GE(screen.size(), 2u);
            EXPECT_EQ(screen[screen.size() - 2], "### Started processing input video packets");
            if (statusLines.empty() || statusLines.back() != screen.back()) {
                statusLines.push_back(screen.back());
            }
        }
        usleep(100 * 1000);  // the screen is read ten times a second; nothing waits on it
    }
    EXPECT_GE(statusLines.size(), 2u) << "the status line was not rewritten";
    std::vector<std::string> expected = linesOf(expectedOutput(videoLineOf(redirected.output)));
    expected.push_back("EXIT 0");
    EXPECT_EQ(screen, expected);
}

// Joining a stream between two key frames, as most camera captures do: with -v 0 the decoding that
// reading the stream information takes complains on standard error of no frame; FFmpeg's warnings after it
// still come. With -v 1 the debug log keeps them.
TEST(Console, StreamInformationIsReadWithoutTheDecodersComplaints) {
    const std::string full =
        makeMedia("full.ts",
                  "-f lavfi -i testsrc2=size=640x360:rate=25:duration=3 "
                  "-f lavfi -i sine=frequency=440:sample_rate=48000:duration=3 "
                  "-c:v libx264 -preset ultrafast -g 25 -pix_fmt yuv420p -c:a aac -f mpegts");
    const std::string input = pathFor("joined.ts");
    std::ofstream(input, std::ios::binary) << readFile(full).substr(188 * 30);
    const std::string out = pathFor("out.mov");
    const ToolRun quiet = runTool({"-i", input, "-mav", out});
    EXPECT_EQ(quiet.status, 0) << quiet.output;
    for (const char* complaint : {"non-existing PPS", "decode_slice_header error", "no frame!"}) {
        EXPECT_EQ(quiet.errorOutput.find(complaint), std::string::npos) << quiet.errorOutput;
    }
    // The mov muxer's warning comes from the writer, after the stream information.
    EXPECT_NE(quiet.errorOutput.find("not writing 'chan' tag due to lack of channel information"),
              std::string::npos)
        << quiet.errorOutput;

    const ToolRun verbose = runTool({"-i", input, "-mav", out, "-v", "1"});
    EXPECT_EQ(verbose.status, 0);
    EXPECT_NE(verbose.errorOutput.find("non-existing PPS 0 referenced"), std::string::npos);
}

// A camera that asks for Basic and one that asks for Digest authentication: the capture works, and
// neither the password nor its base64 form shows on either output, with or without -v 1; where an
// address is shown, its password is masked.
TEST(Console, PasswordsReachNeitherOutputWithBasicOrDigestAuthentication) {
    const std::string source = makeSource();
    const std::string password = "S3cretPw";
    const std::string base64 = "YWRtaW46UzNjcmV0UHc";  // of "admin:S3cretPw", without its padding
    for (const RtspServer::Authentication method : {RtspServer::basic, RtspServer::digest}) {
        SCOPED_TRACE(method == RtspServer::basic ? "Basic" : "Digest");
        RtspServer server(source, method, "admin:" + password);
        ASSERT_FALSE(server.url().empty());
        const std::string hostAndPath = server.url().substr(std::string("rtsp://").size());
        const std::string av = pathFor("av.mkv");
        const auto expectNoSecret = [&](const ToolRun& run) {
            for (const std::string& secret : {password, base64}) {
                EXPECT_EQ(run.rawOutput.find(secret), std::string::npos) << run.rawOutput;
                EXPECT_EQ(run.errorOutput.find(secret), std::string::npos) << run.errorOutput;
            }
        };
        for (const char* verbose : {"0", "1"}) {
            SCOPED_TRACE(verbose);
            const ToolRun run = runTool({"-i", "rtsp://admin:" + password + "@" + hostAndPath, "-nf", "25",
                                         "-mav", av, "-v", verbose});
            EXPECT_EQ(run.status, 0) << run.output;
            EXPECT_EQ(probe(av).streams.size(), 2u);
            expectNoSecret(run);
            if (std::string(verbose) == "1") {
                EXPECT_NE(run.errorOutput.find("from 'rtsp://admin:***@" + hostAndPath + "'"),
                          std::string::npos)
                    << run.errorOutput;
            }
        }
        // A wrong password: the tool's own report of the address masks it as well.
        const ToolRun refused = runTool({"-i", "rtsp://admin:Wr0ngPw@" + hostAndPath, "-mav", av});
        EXPECT_EQ(refused.status, -1);
        EXPECT_EQ(refused.output, "### Output type=mkv\n" +
                                      expectedReport("Error", "Couldn't open input video") +
                                      causeLine("Server returned 401 Unauthorized (authorization failed)",
                                                "rtsp://admin:***@" + hostAndPath));
        EXPECT_EQ(refused.rawOutput.find("Wr0ngPw"), std::string::npos);
        EXPECT_EQ(refused.errorOutput.find("Wr0ngPw"), std::string::npos);
        // Without any, FFmpeg's error from opening, before the stream information, still reaches standard
        // error.
        const ToolRun anonymous = runTool({"-i", server.url(), "-mav", av});
        EXPECT_EQ(anonymous.status, -1);
        EXPECT_NE(anonymous.errorOutput.find("401 Unauthorized"), std::string::npos) << anonymous.errorOutput;
    }
}

}  // namespace
