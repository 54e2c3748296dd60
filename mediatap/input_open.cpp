// Opening the input, its deadline, and the choice of its streams.
#include "input_open.h"

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>

#include "diagnostics/failure_cause.h"
#include "diagnostics/ffmpeg_log.h"
#include "main_report.h"

namespace driver {

namespace {

// The input's interrupt callback: the deadline, and a stop request, which makes a blocked open or read
// return at once. The writers keep the plain deadline so that a stopped run still writes every trailer.
int inputInterruptCallback(void* opaque) {
    if (stopRequested()) {
        return 1;
    }
    auto* watch = static_cast<InputWatch*>(opaque);
    if (ioTimeoutCallback(&watch->timer) == 0) {
        return 0;
    }
    watch->deadlineFired = true;
    return 1;
}

// RTSP asks for RTP interleaved on its own TCP connection first, so that a camera behind a firewall that
// drops UDP still delivers, and nothing is lost on the way; a camera that refuses TCP gets UDP.
bool isRtsp(const std::string& input) {
    return input.starts_with("rtsp:") || input.starts_with("rtsps:");
}

// How much of a live source the stream information may read, in stream time: well inside the deadline,
// so that a track a camera announces and never sends cannot use it up. Such a track is taken as
// announced.
constexpr std::int64_t liveProbeMicroseconds = 2'000'000;

// Reads the stream information. Unless -v asks for FFmpeg's whole log, the decoding this takes stays
// quiet: joining a stream between two key frames makes the decoders complain of every frame before the
// next, which the capture never decodes.
int readStreamInfo(AVFormatContext* context, int verbose) {
    std::optional<LogSilence> quiet;
    if (verbose == 0) {
        quiet.emplace();
    }
    return avformat_find_stream_info(context, nullptr);
}

}  // namespace

// A source that delivers as it goes (a camera, a network stream, a pipe or FIFO), not a file that FFmpeg
// reads at its own pace. RTSP is a demuxer of FFmpeg's, not one of its protocols.
bool isLive(const std::string& input) {
    const char* protocol = avio_find_protocol_name(input.c_str());
    return pipeTargetOf(input).has_value() || isRtsp(input) ||
           (protocol != nullptr && std::strcmp(protocol, "file") != 0);
}

// Why reading the input failed: the deadline, when it made FFmpeg give up; the platform's text when the
// tool read a pipe itself and that failed; else FFmpeg's for its code.
std::string inputFailure(const InputWatch& watch, const InputPipe& pipe, int code) {
    if (watch.deadlineFired) {
        return stalledSourceCause;
    }
    return pipe.errorText().empty() ? ffmpegErrorText(code) : pipe.errorText();
}

// Opens the input and reads its stream information within one deadline of watch, which the context's
// interrupt callback points at and so must outlive it. A pipe or FIFO is read through pipe, a file through
// file; each must outlive the context too. A live source's probe is bounded; one that the deadline cut short
// has left the session torn (an RTSP reply read half), so that the open fails. Null after a failure, which is
// reported.
InputPtr openInput(const RunOptions& options, InputWatch& watch, InputPipe& pipe, InputFile& file) {
    InputPtr input{avformat_alloc_context()};
    if (!input) {
        errorReport("avformat_alloc_context failure", __LINE__);
        return nullptr;
    }
    input->interrupt_callback.callback = inputInterruptCallback;
    input->interrupt_callback.opaque = &watch;
    watch.timer.restart();

    const std::optional<PipeTarget> target = pipeTargetOf(options.input);
    if (target) {
        if (!pipe.open(*target, input->interrupt_callback)) {
            errorReport("Couldn't open input video", __LINE__);
            reportCause(inputFailure(watch, pipe, AVERROR(ENOMEM)), options.input);
            return nullptr;
        }
        input->pb = pipe.context();
    } else if (InputFile::isFile(options.input)) {
        if (const int opened = file.open(options.input, input->interrupt_callback); opened < 0) {
            errorReport("Couldn't open input video", __LINE__);
            reportCause(inputFailure(watch, pipe, opened), options.input);
            return nullptr;
        }
        input->pb = file.context();
    }
    Dictionary openOptions;
    if (isRtsp(options.input)) {
        av_dict_set(openOptions.address(), "rtsp_flags", "prefer_tcp", 0);
    }
    AVFormatContext* context = input.release();
    if (const int opened =
            avformat_open_input(&context, options.input.c_str(), nullptr, openOptions.address());
        opened < 0) {
        errorReport("Couldn't open input video", __LINE__);  // FFmpeg freed the context
        reportCause(inputFailure(watch, pipe, opened), options.input);
        return nullptr;
    }
    input.reset(context);
    if (isLive(options.input)) {
        context->max_analyze_duration = liveProbeMicroseconds;
    }
    const int found = readStreamInfo(context, options.verbose);
    if (watch.deadlineFired) {
        errorReport("Couldn't open input video", __LINE__);
        reportCause(stalledSourceCause, options.input);
        return nullptr;
    }
    if (found < 0) {
        errorReport("avformat_find_stream_info failed", __LINE__);
        reportCause(inputFailure(watch, pipe, found), options.input);
        return nullptr;
    }
    if (options.verbose != 0) {
        av_dump_format(context, 0, options.input.c_str(), 0);
    }
    return input;
}

// Chooses and checks the streams and prints the video line. Nothing after a failure, which is reported.
std::optional<Streams> chooseStreams(AVFormatContext& input) {
    Streams streams;
    streams.videoIndex = av_find_best_stream(&input, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    streams.audioIndex = av_find_best_stream(&input, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    streams.hasAudio = streams.audioIndex >= 0;
    if (streams.videoIndex < 0) {
        errorReport("Couldn't find input video stream", __LINE__);
        return std::nullopt;
    }
    if (!streams.hasAudio) {
        infoLine("### Audio stream not found\n");
    }
    if (input.streams == nullptr) {
        errorReport("No input video streams found", __LINE__);
        return std::nullopt;
    }
    streams.video = input.streams[streams.videoIndex];
    if (streams.video == nullptr) {
        errorReport("Input video stream is NULL", __LINE__);
        return std::nullopt;
    }
    if (streams.hasAudio) {
        streams.audio = input.streams[streams.audioIndex];
        if (streams.audio == nullptr) {
            errorReport("Input audio stream is NULL", __LINE__);
            return std::nullopt;
        }
    }
    if (streams.video->codecpar == nullptr) {
        errorReport("Input video decoder context is NULL", __LINE__);
        return std::nullopt;
    }
    if (streams.hasAudio && streams.audio->codecpar == nullptr) {
        errorReport("Input audio decoder context is NULL", __LINE__);
        return std::nullopt;
    }
    // The codec's time base as stored (for H.264 usually half the frame period), not a frame rate.
    const AVRational codecBase = av_stream_get_codec_timebase(streams.video);
    infoLine("### Video width=" + std::to_string(streams.video->codecpar->width) +
             ", height=" + std::to_string(streams.video->codecpar->height) +
             ", FPS_base=" + std::to_string(codecBase.num) + "/" + std::to_string(codecBase.den) + "\n");
    return streams;
}

}  // namespace driver
