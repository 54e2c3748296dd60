// The run of trsn.mediatap after the command line: FFmpeg set-up, input opening and stream discovery,
// output writers, packet logs, the packet loop with timestamp repair, and the teardown.
#include <chrono>
#include <cstdint>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <thread>
#include <utility>

#include "common.h"
#include "driver.h"
#include "ffmpeg_owners.h"
#include "main_report.h"
#include "movie_writer.h"
#include "packet_log.h"
#include "timestamp_repair.h"

namespace {

// Deadline of the input's blocking calls; lives for the whole process. deadlineFired records that the
// deadline made FFmpeg abandon a call.
struct InputWatch {
    IntervalTimer timer;
    bool deadlineFired = false;
};
InputWatch inputWatch;

// Everything a run owns. Members are destroyed in reverse order of declaration, which is the teardown
// order: packets, logs (-lv, -la, -lav), frame, writers (-mv, -ma, -mav), input, network set-up.
struct Run {
    std::optional<NetworkSession> network;
    InputPtr input;
    std::unique_ptr<MovieWriter> mediaAudioVideo;
    std::unique_ptr<MovieWriter> mediaAudio;
    std::unique_ptr<MovieWriter> mediaVideo;
    FramePtr frame;
    PacketLog logAudioVideo;
    PacketLog logAudio;
    PacketLog logVideo;
    PacketPtr packet;
    PacketPtr copy;  // the single-stream writer's own reference
};

struct Streams {
    int videoIndex = -1;
    int audioIndex = -1;
    bool hasAudio = false;
    AVStream* video = nullptr;
    AVStream* audio = nullptr;
};

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

bool openInput(Run& run, const RunOptions& options, Streams& streams) {
    run.input.reset(avformat_alloc_context());
    if (!run.input) {
        return errorReport("avformat_alloc_context failure", __LINE__);
    }
    run.input->interrupt_callback.callback = inputInterruptCallback;
    run.input->interrupt_callback.opaque = &inputWatch;
    inputWatch.timer.restart();

    Dictionary openOptions;
    if (isRtsp(options.input)) {
        av_dict_set(openOptions.address(), "rtsp_flags", "prefer_tcp", 0);
    }
    AVFormatContext* context = run.input.release();
    if (avformat_open_input(&context, options.input.c_str(), nullptr, openOptions.address()) < 0) {
        return errorReport("Couldn't open input video", __LINE__);  // FFmpeg freed the context
    }
    run.input.reset(context);
    if (avformat_find_stream_info(context, nullptr) < 0) {
        return errorReport("avformat_find_stream_info failed", __LINE__);
    }
    if (options.verbose != 0) {
        av_dump_format(context, 0, options.input.c_str(), 0);
    }

    streams.videoIndex = av_find_best_stream(context, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    streams.audioIndex = av_find_best_stream(context, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    streams.hasAudio = streams.audioIndex >= 0;
    if (streams.videoIndex < 0) {
        return errorReport("Couldn't find input video stream", __LINE__);
    }
    if (!streams.hasAudio) {
        infoLine("### Audio stream not found\n");
    }
    if (context->streams == nullptr) {
        return errorReport("No input video streams found", __LINE__);
    }
    streams.video = context->streams[streams.videoIndex];
    if (streams.video == nullptr) {
        return errorReport("Input video stream is NULL", __LINE__);
    }
    if (streams.hasAudio) {
        streams.audio = context->streams[streams.audioIndex];
        if (streams.audio == nullptr) {
            return errorReport("Input audio stream is NULL", __LINE__);
        }
    }
    if (streams.video->codecpar == nullptr) {
        return errorReport("Input video decoder context is NULL", __LINE__);
    }
    if (streams.hasAudio && streams.audio->codecpar == nullptr) {
        return errorReport("Input audio decoder context is NULL", __LINE__);
    }
    // The codec's time base as stored (for H.264 usually half the frame period), not a frame rate.
    const AVRational codecBase = av_stream_get_codec_timebase(streams.video);
    infoLine("### Video width=" + std::to_string(streams.video->codecpar->width) +
             ", height=" + std::to_string(streams.video->codecpar->height) +
             ", FPS_base=" + std::to_string(codecBase.num) + "/" + std::to_string(codecBase.den) + "\n");
    return true;
}

std::unique_ptr<MovieWriter> makeWriter(const std::string& fileName, const Streams& streams, bool withVideo,
                                        bool withAudio, bool useAacFilter) {
    const AVStream* video = withVideo ? streams.video : nullptr;
    const AVStream* audio = withAudio ? streams.audio : nullptr;
    std::unique_ptr<MovieWriter> writer{new (std::nothrow) MovieWriter(
        fileName, withVideo ? streams.videoIndex : -1, withAudio ? streams.audioIndex : -1,
        video != nullptr ? video->codecpar : nullptr, audio != nullptr ? audio->codecpar : nullptr, video,
        audio, ioTimeoutCallback, nullptr, useAacFilter)};
    if (writer && !writer->isOpen()) {
        writer.reset();
    }
    return writer;
}

bool createWriters(Run& run, const RunOptions& options, const Streams& streams) {
    if (options.mediaAudioVideoGiven) {
        run.mediaAudioVideo =
            makeWriter(options.mediaAudioVideo, streams, true, streams.hasAudio, options.useAacFilter);
        if (!run.mediaAudioVideo) {
            return errorReport("Failed to open audio+video media output", __LINE__);
        }
    }
    if (options.mediaVideoGiven) {
        run.mediaVideo = makeWriter(options.mediaVideo, streams, true, false, options.useAacFilter);
        if (!run.mediaVideo) {
            return errorReport("Failed to open video media output", __LINE__);
        }
    }
    if (options.mediaAudioGiven) {
        if (streams.hasAudio) {
            run.mediaAudio = makeWriter(options.mediaAudio, streams, false, true, options.useAacFilter);
            if (!run.mediaAudio) {
                return errorReport("Failed to open audio media output", __LINE__);
            }
        } else {
            warningReport("Media file for audio specified, but no audio stream found in the source",
                          __LINE__);
        }
    }
    return true;
}

bool allocatePacketAndFrame(Run& run) {
    run.packet.reset(av_packet_alloc());
    run.copy.reset(av_packet_alloc());
    if (!run.packet || !run.copy) {
        return errorReport("av_packet_alloc failure", __LINE__);
    }
    // Nothing decodes into the frame; it is part of the run and of its teardown order all the same.
    run.frame.reset(av_frame_alloc());
    if (!run.frame) {
        return errorReport("avcodec_alloc_frame failure", __LINE__);
    }
    return true;
}

bool openLogs(Run& run, const RunOptions& options, const Streams& streams) {
    if (options.logAudioVideoGiven && !run.logAudioVideo.open(options.logAudioVideo)) {
        return errorReport("Failed to open log for audio+video", __LINE__);
    }
    if (options.logVideoGiven && !run.logVideo.open(options.logVideo)) {
        return errorReport("Failed to open log for video", __LINE__);
    }
    if (options.logAudioGiven) {
        if (!streams.hasAudio) {
            warningReport("Log file for audio specified, but no audio stream found in the source", __LINE__);
        } else if (!run.logAudio.open(options.logAudio)) {
            return errorReport("Failed to open log for audio", __LINE__);
        }
    }
    return true;
}

// Loop state of one stream kind.
struct KindState {
    std::int32_t count = 0;
    RepairState repair;
    double time = 0.0;                // stream time of the last packet passed on
    std::optional<double> firstTime;  // of the first packet passed on that had a PTS
    double elapsed = 0.0;             // from firstTime to the last packet with a PTS: what -ns limits
};

// What differs between the video and the audio road of a packet.
struct KindRoad {
    bool video;
    KindState& state;
    const AVStream* stream;
    PacketLog& ownLog;
    const char* ownLogFailure;
    MovieWriter* singleWriter;
    const char* writeFailure;
};

constexpr const char* logAudioVideoFailure = "Failed to write log for audio+video";
constexpr const char* logVideoFailure = "Failed to write log for video";
constexpr const char* logAudioFailure = "Failed to write log for audio";

// Repairs, logs and writes one packet of the chosen video or audio stream. False when a write failed.
bool passOn(Run& run, const RunOptions& options, KindRoad road, bool& waitingForKey) {
    AVPacket* packet = run.packet.get();
    const bool key = (packet->flags & AV_PKT_FLAG_KEY) != 0;
    if (road.video && key) {
        waitingForKey = false;
    }
    const std::int64_t originalPts = packet->pts;
    const std::int64_t originalDts = packet->dts;
    if (options.fix == 1) {
        const std::string prefix = road.video ? std::string("### Video packet ") + (key ? "(KEY) " : "") +
                                                    "id=" + std::to_string(road.state.count)
                                              : "### Audio packet id=" + std::to_string(road.state.count);
        if (road.video && waitingForKey) {
            infoLine(prefix + ": dropping due to missing key frame\n");
            return true;
        }
        const std::string messages = repairTimestamps(packet->pts, packet->dts, road.state.repair, prefix);
        if (!messages.empty()) {
            infoLine(messages);
        }
    }
    const AVRational base = road.stream->time_base;
    road.state.time = static_cast<double>(packet->pts) * base.num / base.den;
    if (packet->pts != AV_NOPTS_VALUE) {
        if (!road.state.firstTime) {
            road.state.firstTime = road.state.time;
        }
        road.state.elapsed = road.state.time - *road.state.firstTime;
    }

    if (run.logAudioVideo.isOpen() || road.ownLog.isOpen()) {
        PacketLine line;
        line.video = road.video;
        line.id = road.state.count;
        line.key = key;
        line.time = road.state.time;
        line.pts = packet->pts;
        line.dts = packet->dts;
        line.originalPts = originalPts;
        line.originalDts = originalDts;
        line.duration = static_cast<std::int32_t>(packet->duration);
        line.size = packet->size;
        const std::string text = composePacketLine(line);
        if (!run.logAudioVideo.write(text)) {
            return errorReport(logAudioVideoFailure, __LINE__);
        }
        if (!road.ownLog.write(text)) {
            return errorReport(road.ownLogFailure, __LINE__);
        }
    }

    // The single-stream writer's reference is taken before any writer sees the packet.
    AVPacket* copy = run.copy.get();
    PacketUnref releaseCopy{copy};
    if (road.singleWriter != nullptr && av_packet_ref(copy, packet) < 0) {
        return errorReport(road.writeFailure, __LINE__);
    }
    if (run.mediaAudioVideo && run.mediaAudioVideo->writePacket(packet) != 0) {
        return errorReport(road.writeFailure, __LINE__);
    }
    if (road.singleWriter != nullptr && road.singleWriter->writePacket(copy) != 0) {
        return errorReport(road.writeFailure, __LINE__);
    }
    return true;
}

enum class LoopEnd { normal, failure };

struct LoopResult {
    LoopEnd end;
    std::int32_t videoCount;
};

// Pause between two reads that failed without an end of file, so that a bounded retry does not spin.
constexpr std::chrono::milliseconds retryPause{10};

LoopResult runLoop(Run& run, const RunOptions& options, const Streams& streams) {
    KindState video;
    KindState audio;
    bool waitingForKey = true;
    IntervalTimer sinceLastPacket{IntervalTimer::startNow};
    AVFormatContext* input = run.input.get();
    AVPacket* packet = run.packet.get();
    const KindRoad videoRoad{true,
                             video,
                             streams.video,
                             run.logVideo,
                             logVideoFailure,
                             run.mediaVideo.get(),
                             "Failed to write video frame"};
    const KindRoad audioRoad{false,
                             audio,
                             streams.audio,
                             run.logAudio,
                             logAudioFailure,
                             run.mediaAudio.get(),
                             "Failed to write audio frame"};

    inputWatch.deadlineFired = false;
    for (;;) {
        // Each read gets its own deadline. Once one was abandoned, what FFmpeg still hands out is what it
        // held already: later reads get no fresh budget, and those packets do not count as the source
        // being alive, so a silent source ends within the deadline of its last real packet.
        if (!inputWatch.deadlineFired) {
            inputWatch.timer.restart();
        }
        const int result = av_read_frame(input, packet);
        if (result < 0) {
            if (stopRequested()) {
                return {LoopEnd::normal, video.count};
            }
            // An I/O context in error (an abandoned read included) is a failure, even though FFmpeg also
            // marks it as at its end.
            const bool ioError =
                input->pb != nullptr && input->pb->error != 0 && input->pb->error != AVERROR_EOF;
            if (!ioError && (result == AVERROR_EOF || (input->pb != nullptr && avio_feof(input->pb)))) {
                return {LoopEnd::normal, video.count};
            }
            if (ioError || ioDeadlinePassed(sinceLastPacket.elapsedMs())) {
                errorReport("av_read_frame IO error", __LINE__);
                return {LoopEnd::failure, video.count};
            }
            std::this_thread::sleep_for(retryPause);
            continue;
        }
        if (!inputWatch.deadlineFired) {
            sinceLastPacket.restart();
        }
        {
            PacketUnref release{packet};
            // The kind is decided on the packet as read: the writers rewrite its stream index.
            const int index = packet->stream_index;
            if (index == streams.videoIndex) {
                if (!passOn(run, options, videoRoad, waitingForKey)) {
                    return {LoopEnd::failure, video.count};
                }
                ++video.count;
            } else if (streams.hasAudio && index == streams.audioIndex) {
                if (!passOn(run, options, audioRoad, waitingForKey)) {
                    return {LoopEnd::failure, video.count};
                }
                ++audio.count;
            }
        }
        if (options.frameLimitGiven && video.count > options.frameLimit) {
            return {LoopEnd::normal, video.count};
        }
        if (options.secondsLimitGiven) {
            const auto limit = static_cast<double>(options.secondsLimit);
            if (limit < video.elapsed || limit < audio.elapsed) {
                return {LoopEnd::normal, video.count};
            }
        }
        if (stopRequested()) {
            return {LoopEnd::normal, video.count};
        }
    }
}

// The teardown of the outputs in its fixed order: logs (-lv, -la, -lav), frame, writers (-mv, -ma, -mav).
// False when a log or a media file could not be completed. Each failure is reported, but a log whose
// write failed in the loop has said so already.
bool finishOutputs(Run& run, bool reportLogs) {
    bool complete = true;
    const std::pair<PacketLog*, const char*> logs[] = {{&run.logVideo, logVideoFailure},
                                                       {&run.logAudio, logAudioFailure},
                                                       {&run.logAudioVideo, logAudioVideoFailure}};
    for (const auto& [log, failure] : logs) {
        if (!log->close()) {
            complete = false;
            if (reportLogs) {
                errorReport(failure, __LINE__);
            }
        }
    }
    run.frame.reset();
    for (std::unique_ptr<MovieWriter>* writer : {&run.mediaVideo, &run.mediaAudio, &run.mediaAudioVideo}) {
        if (*writer && !(*writer)->finish()) {
            complete = false;
        }
        writer->reset();
    }
    return complete;
}

// Set-up, loop, the final line and the teardown; a failure before the loop leaves the teardown to the
// run's owners. A file that could not be finished fails the run, however the loop ended.
int capture(const RunOptions& options) {
    Run run;
    run.network.emplace();
    Streams streams;
    if (!openInput(run, options, streams) || !createWriters(run, options, streams) ||
        !allocatePacketAndFrame(run) || !openLogs(run, options, streams)) {
        return -1;
    }
    infoLine("### Started processing input video packets\n");
    const LoopResult result = runLoop(run, options, streams);
    const bool normalEnd = result.end == LoopEnd::normal;
    if (normalEnd) {
        infoLine("### Finished processing input video: " + std::to_string(result.videoCount) + " packets\n");
    }
    const bool complete = finishOutputs(run, normalEnd);
    return normalEnd && complete ? 0 : -1;
}

}  // namespace

int runCapture(const RunOptions& options) {
    installStopHandler();
    if (options.verbose != 0) {
        av_log_set_level(AV_LOG_DEBUG);
    }
    const int status = capture(options);
    notifyTeardownDone();
    return status;
}
