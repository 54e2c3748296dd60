// The input of a capture: opening it within the deadline watch, and the choice of the streams it copies.
#pragma once

#include <optional>
#include <string>

#include "diagnostics/common.h"
#include "driver.h"
#include "input/input_file.h"
#include "input/input_pipe.h"
#include "output/ffmpeg_owners.h"

extern "C" {
#include <libavformat/avformat.h>
}

namespace driver {

// Deadline of the input's blocking calls. deadlineFired records that the deadline made FFmpeg abandon a
// call.
struct InputWatch {
    IntervalTimer timer;
    bool deadlineFired = false;
};

// A source that delivers as it goes (a camera, a network stream, a pipe or FIFO), not a file that FFmpeg
// reads at its own pace. RTSP is a demuxer of FFmpeg's, not one of its protocols.
bool isLive(const std::string& input);

// Why reading the input failed: the deadline, when it made FFmpeg give up; the platform's text when the
// tool read a pipe itself and that failed; else FFmpeg's for its code.
std::string inputFailure(const InputWatch& watch, const InputPipe& pipe, int code);

// Opens the input and reads its stream information within one deadline of watch, which the context's
// interrupt callback points at and so must outlive it. A pipe or FIFO is read through pipe, a file through
// file; each must outlive the context too. A live source's probe is bounded; one that the deadline cut short
// has left the session torn (an RTSP reply read half), so that the open fails. Null after a failure, which is
// reported.
InputPtr openInput(const RunOptions& options, InputWatch& watch, InputPipe& pipe, InputFile& file);

// The streams the run copies: the input's best video stream and, when it has one, its best audio stream.
struct Streams {
    int videoIndex = -1;
    int audioIndex = -1;
    bool hasAudio = false;
    AVStream* video = nullptr;
    AVStream* audio = nullptr;
};

// Chooses and checks the streams and prints the video line. Nothing after a failure, which is reported.
std::optional<Streams> chooseStreams(AVFormatContext& input);

}  // namespace driver
