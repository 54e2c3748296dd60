// trsn.mediatap against what cameras really do (rtsp_server.py --camera): a track announced and never
// sent, audio that starts late, video that stops while audio goes on, a camera that ends the session.
// Each capture is held against what the camera sent: the packets of each track, when each track's first
// packet came, and the exit status.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>

#include "live_source.h"
#include "media_fixture.h"
#include "report_text.h"
#include "tool_run.h"

namespace {

using live_source::CameraServer;
using live_source::nowSeconds;
using media_fixture::pathFor;

// What a file holds of one track: its packets, and its first packet's time in seconds.
struct Recorded {
    int packets = 0;
    std::optional<double> first;
};

Recorded recordedTrack(const std::string& file, int index, const std::string& timeBase) {
    Recorded track;
    const auto packets = media_fixture::probePackets(file, index);
    track.packets = static_cast<int>(packets.size());
    const auto slash = timeBase.find('/');
    if (!packets.empty() && packets.front().pts && slash != std::string::npos) {
        track.first = static_cast<double>(*packets.front().pts) * std::stod(timeBase.substr(0, slash)) /
                      std::stod(timeBase.substr(slash + 1));
    }
    return track;
}

struct CameraCase {
    const char* mode;
    const char* seconds;  // -ns
    bool finished;        // a normal end (status 0), else a stall (status -1)
    bool audioWarning;    // the warning of an audio track that sent nothing
    bool audioRecorded;   // any audio packet reaches the file
};

void PrintTo(const CameraCase& tested, std::ostream* out) {
    *out << tested.mode;
}

class Camera : public testing::TestWithParam<CameraCase> {};

const char* const stalledCause = "no data from the source for 5 s";

// A capture of -ns 6 (or more, for a camera that ends it first) into av.mkv: what the camera sent against
// what the file holds. A capture ends while the camera still sends, so the file may lack the last few packets
// the camera counted.
TEST_P(Camera, RecordsWhatTheCameraSent) {
    const CameraCase& tested = GetParam();
    CameraServer camera(tested.mode);
    ASSERT_FALSE(camera.url().empty());
    const std::string av = pathFor("av.mkv");
    const double start = nowSeconds();
    const ToolRun run =
        runTool({"-i", camera.url(), "-ns", tested.seconds, "-mav", av}, "timeout -s KILL 60");
    const double took = nowSeconds() - start;
    const CameraServer::Sent sent = camera.sent();
    SCOPED_TRACE(run.output);
    EXPECT_EQ(run.status, tested.finished ? 0 : -1);
    EXPECT_LT(took, 15.0);  // -ns 6, or 5 s after the last video packet, and the probe
    const std::string warning =
        tested.audioWarning ? expectedReport("Warning", "No audio packets received in 6 s of capture") : "";
    if (tested.finished) {
        EXPECT_NE(run.output.find(warning + "### Finished processing input video: "), std::string::npos);
        EXPECT_TRUE(run.output.ends_with(" packets\n" + movieFinalized(av)));
    } else {
        EXPECT_TRUE(run.output.ends_with(expectedReport("Error", "av_read_frame IO error") +
                                         causeLine(stalledCause, camera.url()) + warning +
                                         movieFinalized(av)));
    }
    EXPECT_EQ(run.output.find("No audio packets received") != std::string::npos, tested.audioWarning);

    const auto facts = media_fixture::probe(av);
    ASSERT_TRUE(facts.ok);
    ASSERT_EQ(facts.streams.size(), 2u);  // an announced track stays in the file, however empty
    const Recorded video = recordedTrack(av, 0, facts.streams[0].timeBase);
    const Recorded audio = recordedTrack(av, 1, facts.streams[1].timeBase);
    std::printf(
        "[ figures ] %s: sent video=%d audio=%d first %s/%s s; recorded video=%d audio=%d first %s/%s s;"
        " status %d after %.1f s\n",
        tested.mode, sent.video, sent.audio,
        sent.videoFirst ? std::to_string(*sent.videoFirst).c_str() : "none",
        sent.audioFirst ? std::to_string(*sent.audioFirst).c_str() : "none", video.packets, audio.packets,
        video.first ? std::to_string(*video.first).c_str() : "none",
        audio.first ? std::to_string(*audio.first).c_str() : "none", run.status, took);

    EXPECT_LE(video.packets, sent.video);
    EXPECT_GE(video.packets, sent.video - 10);  // 0.4 s at 25 fps
    EXPECT_LE(audio.packets, sent.audio);
    EXPECT_GE(audio.packets, sent.audio - 20);  // 0.4 s at 50 packets a second
    EXPECT_EQ(audio.packets > 0, tested.audioRecorded);
    // The tracks keep the distance the camera gave their first packets.
    if (sent.videoFirst && sent.audioFirst && video.first && audio.first) {
        EXPECT_NEAR(*audio.first - *video.first, *sent.audioFirst - *sent.videoFirst, 0.15);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Modes, Camera,
    testing::Values(CameraCase{"both", "6", true, false, true},
                    // The run takes its whole length; the warning comes when it ends.
                    CameraCase{"silent-audio", "6", true, true, false},
                    CameraCase{"late-audio", "6", true, false, true},
                    // The video is what a capture is for: without it, the source has stalled.
                    CameraCase{"video-stops", "20", false, false, true},
                    // The camera's own end of the stream is a normal end.
                    CameraCase{"ends", "20", true, false, true}),
    [](const testing::TestParamInfo<CameraCase>& tested) {
        std::string name = tested.param.mode;
        name.erase(std::remove(name.begin(), name.end(), '-'), name.end());
        return name;
    });

}  // namespace

namespace {

// A camera that announces its video and never sends it: the run ends within the deadline, as a stalled
// source does, before any file is made: without a picture there is no picture size to give the file.
TEST(Camera, ThatNeverSendsItsVideoEndsWithinTheDeadline) {
    CameraServer camera("silent-video");
    ASSERT_FALSE(camera.url().empty());
    const std::string av = pathFor("av.mkv");
    const double start = nowSeconds();
    const ToolRun run = runTool({"-i", camera.url(), "-ns", "6", "-mav", av}, "timeout -s KILL 60");
    EXPECT_LT(nowSeconds() - start, 7.0);
    EXPECT_EQ(run.status, -1);
    EXPECT_TRUE(run.output.ends_with(expectedReport("Error", "Failed to open audio+video media output")))
        << run.output;
    EXPECT_FALSE(std::filesystem::exists(av));
}

}  // namespace
