// The run of trsn.mediatap after the command line: FFmpeg set-up, input opening and stream discovery,
// output writers, packet logs, the packet loop with timestamp repair, and the teardown.
#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <thread>
#include <utility>

#include "diagnostics/common.h"
#include "diagnostics/failure_cause.h"
#include "diagnostics/ffmpeg_log.h"
#include "diagnostics/status_line.h"
#include "driver.h"
#include "input/input_file.h"
#include "input/input_pipe.h"
#include "main_report.h"
#include "output/ffmpeg_owners.h"
#include "output/movie_writer.h"
#include "packet_log.h"
#include "timeline/timeline_start.h"
#include "timeline/timestamp_repair.h"

namespace {

// Deadline of the input's blocking calls. deadlineFired records that the deadline made FFmpeg abandon a
// call.
struct InputWatch {
    IntervalTimer timer;
    bool deadlineFired = false;
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

// A source that delivers as it goes (a camera, a network stream, a pipe or FIFO), not a file that FFmpeg
// reads at its own pace. RTSP is a demuxer of FFmpeg's, not one of its protocols.
bool isLive(const std::string& input) {
    const char* protocol = avio_find_protocol_name(input.c_str());
    return pipeTargetOf(input).has_value() || isRtsp(input) ||
           (protocol != nullptr && std::strcmp(protocol, "file") != 0);
}

// How much of a live source the stream information may read, in stream time: well inside the deadline,
// so that a track a camera announces and never sends cannot use it up. Such a track is taken as
// announced.
constexpr std::int64_t liveProbeMicroseconds = 2'000'000;

// Why reading the input failed: the deadline, when it made FFmpeg give up; the platform's text when the
// tool read a pipe itself and that failed; else FFmpeg's for its code.
std::string inputFailure(const InputWatch& watch, const InputPipe& pipe, int code) {
    if (watch.deadlineFired) {
        return stalledSourceCause;
    }
    return pipe.errorText().empty() ? ffmpegErrorText(code) : pipe.errorText();
}

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

// The streams the run copies: the input's best video stream and, when it has one, its best audio stream.
struct Streams {
    int videoIndex = -1;
    int audioIndex = -1;
    bool hasAudio = false;
    AVStream* video = nullptr;
    AVStream* audio = nullptr;
};

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

// What a writer copies of the input: video, audio, or both.
struct Copied {
    MovieWriter::Source video;
    MovieWriter::Source audio;
};

std::unique_ptr<MovieWriter> makeWriter(const std::string& fileName, const Copied& copied,
                                        bool useAacFilter) {
    std::unique_ptr<MovieWriter> writer{new (std::nothrow) MovieWriter(fileName, copied.video, copied.audio,
                                                                       ioTimeoutCallback, useAacFilter)};
    if (writer && !writer->isOpen()) {
        writer.reset();
    }
    return writer;
}

constexpr const char* noAudioForMedia =
    "Media file for audio specified, but no audio stream found in the source";
constexpr const char* noAudioForLog = "Log file for audio specified, but no audio stream found in the source";

// The media outputs, declared so that they are destroyed (and so finalised) in the order -mv, -ma, -mav.
struct Writers {
    std::unique_ptr<MovieWriter> audioVideo;  // -mav
    std::unique_ptr<MovieWriter> audio;       // -ma
    std::unique_ptr<MovieWriter> video;       // -mv
};

// The packet logs, declared so that they are closed in the order -lv, -la, -lav.
struct Logs {
    PacketLog audioVideo;  // -lav
    PacketLog audio;       // -la
    PacketLog video;       // -lv
};

// An output of the command line: whether it was given, its file, whether it holds audio alone (and so
// is left out when the input has none), the report of its failure, and the warning of its leaving out.
struct OutputWanted {
    bool given;
    const std::string& name;
    bool audioAlone;
    const char* failure;
    const char* noAudio;
};

// Whether a given output is made: one with audio alone needs the input's audio.
bool isMade(const OutputWanted& output, const Streams& streams) {
    return output.given && (!output.audioAlone || streams.hasAudio);
}

// Whether a given output is left out for want of the input's audio, which is warned of.
bool leftOutWithoutAudio(const OutputWanted& output, const Streams& streams) {
    if (!output.given || isMade(output, streams)) {
        return false;
    }
    warningReport(output.noAudio, __LINE__);
    return true;
}

// A media output of the command line: what it copies besides its video (audio only where the input has
// it), and its place among the writers.
struct MediaOutput {
    OutputWanted wanted;
    bool withAudio;
    std::unique_ptr<MovieWriter> Writers::*writer;
};

// In the order of the set-up: -mav, -mv, -ma.
std::array<MediaOutput, 3> mediaOutputs(const RunOptions& options) {
    return {{{{options.mediaAudioVideoGiven, options.mediaAudioVideo, false,
               "Failed to open audio+video media output", noAudioForMedia},
              true,
              &Writers::audioVideo},
             {{options.mediaVideoGiven, options.mediaVideo, false, "Failed to open video media output",
               noAudioForMedia},
              false,
              &Writers::video},
             {{options.mediaAudioGiven, options.mediaAudio, true, "Failed to open audio media output",
               noAudioForMedia},
              true,
              &Writers::audio}}};
}

// What a media output's writer copies of the input.
Copied copiedBy(const Streams& streams, const MediaOutput& output) {
    Copied copied;
    if (!output.wanted.audioAlone) {
        copied.video = {streams.videoIndex, streams.video->codecpar, streams.video};
    }
    if (output.withAudio && streams.audio != nullptr) {
        copied.audio = {streams.audioIndex, streams.audio->codecpar, streams.audio};
    }
    return copied;
}

// A packet log of the command line, and its place among the logs.
struct LogOutput {
    OutputWanted wanted;
    PacketLog Logs::*log;
};

// In the order of the set-up: -lav, -lv, -la.
std::array<LogOutput, 3> logOutputs(const RunOptions& options) {
    return {{{{options.logAudioVideoGiven, options.logAudioVideo, false, "Failed to open log for audio+video",
               noAudioForLog},
              &Logs::audioVideo},
             {{options.logVideoGiven, options.logVideo, false, "Failed to open log for video", noAudioForLog},
              &Logs::video},
             {{options.logAudioGiven, options.logAudio, true, "Failed to open log for audio", noAudioForLog},
              &Logs::audio}}};
}

// Reports a log that failed, and why.
bool logFailure(const PacketLog& log, const char* failure, int line) {
    errorReport(failure, line);
    reportCause(log.errorText(), log.fileName());
    return false;
}

// Checks, before any file is created or changed, what would keep the set-up from completing: each media
// output as its writer would make it (its folder, and a trial of its header), then each log, in the
// order of the set-up. The first failure is reported as the set-up would report it, with the warnings
// the set-up would have given before it; without one, nothing is printed.
bool checkOutputs(const RunOptions& options, const Streams& streams) {
    const std::array<MediaOutput, 3> media = mediaOutputs(options);
    for (const MediaOutput& output : media) {
        const Copied copied = copiedBy(streams, output);
        if (isMade(output.wanted, streams) &&
            !MovieWriter::check(output.wanted.name, copied.video, copied.audio, options.useAacFilter)) {
            return errorReport(output.wanted.failure, __LINE__);
        }
    }
    for (const LogOutput& output : logOutputs(options)) {
        std::string reason;
        if (isMade(output.wanted, streams) && !PacketLog::checkOpen(output.wanted.name, reason)) {
            for (const MediaOutput& left : media) {
                leftOutWithoutAudio(left.wanted, streams);
            }
            errorReport(output.wanted.failure, __LINE__);
            reportCause(reason, output.wanted.name);
            return false;
        }
    }
    return true;
}

// Creates the writers in the order -mav, -mv, -ma. After a failure, which is reported, the writers made
// so far are destroyed, which finalises their files.
std::optional<Writers> createWriters(const RunOptions& options, const Streams& streams) {
    Writers writers;
    for (const MediaOutput& output : mediaOutputs(options)) {
        if (!leftOutWithoutAudio(output.wanted, streams) && output.wanted.given) {
            std::unique_ptr<MovieWriter>& writer = writers.*output.writer;
            writer = makeWriter(output.wanted.name, copiedBy(streams, output), options.useAacFilter);
            if (!writer) {
                errorReport(output.wanted.failure, __LINE__);
                return std::nullopt;
            }
        }
    }
    return writers;
}

// Opens the logs in the order -lav, -lv, -la. After a failure, which is reported, the logs opened so far
// are closed.
std::optional<Logs> openLogs(const RunOptions& options, const Streams& streams) {
    Logs logs;
    for (const LogOutput& output : logOutputs(options)) {
        if (!leftOutWithoutAudio(output.wanted, streams) && output.wanted.given &&
            !(logs.*output.log).open(output.wanted.name)) {
            logFailure(logs.*output.log, output.wanted.failure, __LINE__);
            return std::nullopt;
        }
    }
    return logs;
}

constexpr const char* logAudioVideoFailure = "Failed to write log for audio+video";
constexpr const char* logVideoFailure = "Failed to write log for video";
constexpr const char* logAudioFailure = "Failed to write log for audio";

// Where the packets of one stream kind go, settled once the outputs exist.
struct Route {
    bool video;
    const AVStream* stream;
    PacketLog& ownLog;  // -lv or -la
    const char* ownLogFailure;
    MovieWriter* singleWriter;  // -mv or -ma
    const char* writeFailure;
    CaptureRepair::Kind repairKind;
};

// How far the loop has come in one stream kind.
struct Progress {
    std::int32_t count = 0;
    double time = 0.0;                  // stream time of the last packet passed on
    std::optional<double> firstTime{};  // of the first packet passed on that had a PTS
    double elapsed = 0.0;               // from firstTime to the last packet with a PTS: what -ns limits
};

enum class LoopEnd { normal, failure };

// Pause between two reads that failed without an end of file, so that a bounded retry does not spin.
constexpr std::chrono::milliseconds retryPause{10};

// A packet passed on that waits for the start of the time line before it goes to the writers.
struct Waiting {
    const Route* route;
    PacketPtr packet;
};

TimeBase timeBaseOf(const AVStream* stream) {
    return stream != nullptr ? TimeBase{stream->time_base.num, stream->time_base.den} : TimeBase{};
}

// The packet loop over what capture() owns: reads the input until its end, a limit, a stop request or a
// failure, and passes each packet of the chosen streams on to the logs and the writers. The counts of
// its kinds stay readable after the run.
struct PacketLoop {
    const RunOptions& options;
    AVFormatContext& input;
    InputWatch& watch;
    const Streams& streams;
    Writers& writers;
    Logs& logs;
    AVPacket& packet;
    AVPacket& copy;  // the single-stream writer's own reference
    const InputPipe& pipe;
    bool live;

    const Route videoRoute{.video = true,
                           .stream = streams.video,
                           .ownLog = logs.video,
                           .ownLogFailure = logVideoFailure,
                           .singleWriter = writers.video.get(),
                           .writeFailure = "Failed to write video frame",
                           .repairKind = CaptureRepair::video};
    const Route audioRoute{.video = false,
                           .stream = streams.audio,
                           .ownLog = logs.audio,
                           .ownLogFailure = logAudioFailure,
                           .singleWriter = writers.audio.get(),
                           .writeFailure = "Failed to write audio frame",
                           .repairKind = CaptureRepair::audio};
    Progress video{};
    Progress audio{};
    bool waitingForKey = true;
    bool audioArrived = false;  // an audio packet was read, whatever became of it
    CaptureRepair repair{timeBaseOf(streams.video), timeBaseOf(streams.audio)};
    TimelineStart start{streams.hasAudio};
    std::deque<Waiting> waiting{};
    StatusLine status{};

    LoopEnd run();
    LoopEnd read();
    LoopEnd stalled();
    void warnOfSilentAudio() const;
    bool passOn(const Route& route, Progress& progress);
    bool toWriters(const Route& route);
    bool write(const Route& route, AVPacket& passed);
    bool releaseWaiting();
    void showStatus();
};

// The loop, then what still waits for the start of the time line goes to the writers, however the loop
// ended: it was read and logged.
LoopEnd PacketLoop::run() {
    const LoopEnd end = read();
    warnOfSilentAudio();
    start.settle();
    return releaseWaiting() ? end : LoopEnd::failure;
}

LoopEnd PacketLoop::read() {
    IntervalTimer sinceLastPacket{IntervalTimer::startNow};
    IntervalTimer sinceLastVideo{IntervalTimer::startNow};
    watch.deadlineFired = false;
    for (;;) {
        // Each read gets its own deadline. Once one was abandoned, what FFmpeg still hands out is what it
        // held already: later reads get no fresh budget, and those packets do not count as the source
        // being alive, so a silent source ends within the deadline of its last real packet.
        if (!watch.deadlineFired) {
            watch.timer.restart();
        }
        const int result = av_read_frame(&input, &packet);
        if (result < 0) {
            if (stopRequested()) {
                return LoopEnd::normal;
            }
            // An abandoned read leaves a session torn, whatever FFmpeg makes of it (the RTSP client reads
            // its end as the end of the stream).
            if (watch.deadlineFired) {
                return stalled();
            }
            // An I/O context in error is a failure, even though FFmpeg also marks it as at its end.
            const bool ioError =
                input.pb != nullptr && input.pb->error != 0 && input.pb->error != AVERROR_EOF;
            if (!ioError && (result == AVERROR_EOF || (input.pb != nullptr && avio_feof(input.pb)))) {
                return LoopEnd::normal;  // the source's own end: a file's, an RTSP BYE, a closed server
            }
            // A live source does not come back from a failed read, and one that has nothing for the
            // deadline has stalled; a file may have a bad packet, but not for ever.
            const bool retriedTooLong = ioDeadlinePassed(sinceLastPacket.elapsedMs());
            if (live && !ioError && result == AVERROR(EAGAIN) && retriedTooLong) {
                return stalled();
            }
            if (ioError || (live && result != AVERROR(EAGAIN)) || retriedTooLong) {
                errorReport("av_read_frame IO error", __LINE__);
                reportCause(inputFailure(watch, pipe, ioError ? input.pb->error : result), options.input);
                return LoopEnd::failure;
            }
            std::this_thread::sleep_for(retryPause);
            continue;
        }
        if (!watch.deadlineFired) {
            sinceLastPacket.restart();
        }
        {
            PacketUnref release{&packet};
            // The kind is decided on the packet as read: the writers rewrite its stream index.
            const int index = packet.stream_index;
            if (index == streams.videoIndex) {
                if (!watch.deadlineFired) {
                    sinceLastVideo.restart();
                }
                if (!passOn(videoRoute, video)) {
                    return LoopEnd::failure;
                }
                ++video.count;
            } else if (streams.hasAudio && index == streams.audioIndex) {
                audioArrived = true;
                if (!passOn(audioRoute, audio)) {
                    return LoopEnd::failure;
                }
                ++audio.count;
            }
        }
        if (options.frameLimitGiven && video.count > options.frameLimit) {
            return LoopEnd::normal;
        }
        if (options.secondsLimitGiven) {
            const auto limit = static_cast<double>(options.secondsLimit);
            if (limit < video.elapsed || limit < audio.elapsed) {
                return LoopEnd::normal;
            }
        }
        if (stopRequested()) {
            return LoopEnd::normal;
        }
        // The video is what a capture is for: a live source whose video stays away for the deadline has
        // stalled, however much audio it still sends.
        if (live && ioDeadlinePassed(sinceLastVideo.elapsedMs())) {
            return stalled();
        }
        showStatus();
    }
}

LoopEnd PacketLoop::stalled() {
    errorReport("av_read_frame IO error", __LINE__);
    reportCause(stalledSourceCause, options.input);
    return LoopEnd::failure;
}

// The warning for a live source whose audio track never sent a packet (a camera with its audio switched
// on and no microphone), for the stream time that was captured.
void PacketLoop::warnOfSilentAudio() const {
    if (live && streams.hasAudio && !audioArrived) {
        const long seconds = std::lround(std::max(video.elapsed, audio.elapsed));
        warningReport("No audio packets received in " + std::to_string(seconds) + " s of capture", __LINE__);
    }
}

// The status line, when one is due: the stream time as -ns counts it, the counts, and what the media
// files hold so far.
void PacketLoop::showStatus() {
    if (!status.due()) {
        return;
    }
    std::uint64_t bytes = 0;
    for (const MovieWriter* writer : {writers.audioVideo.get(), writers.video.get(), writers.audio.get()}) {
        bytes += writer != nullptr ? writer->bytesWritten() : 0;
    }
    status.update(std::max(video.elapsed, audio.elapsed), video.count, audio.count, bytes);
}

// Repairs, logs and writes one packet of the chosen video or audio stream. False when a write failed.
bool PacketLoop::passOn(const Route& route, Progress& progress) {
    const bool key = (packet.flags & AV_PKT_FLAG_KEY) != 0;
    if (route.video && key) {
        waitingForKey = false;
    }
    const std::int64_t originalPts = packet.pts;
    const std::int64_t originalDts = packet.dts;
    if (options.fix == 1) {
        const std::string prefix = route.video ? std::string("### Video packet ") + (key ? "(KEY) " : "") +
                                                     "id=" + std::to_string(progress.count)
                                               : "### Audio packet id=" + std::to_string(progress.count);
        if (route.video && waitingForKey) {
            infoLine(prefix + ": dropping due to missing key frame\n");
            return true;
        }
        const std::string messages =
            repair.repair(route.repairKind, packet.pts, packet.dts, packet.duration, prefix);
        if (!messages.empty()) {
            infoLine(messages);
        }
    }
    const AVRational base = route.stream->time_base;
    progress.time = static_cast<double>(packet.pts) * base.num / base.den;
    if (packet.pts != AV_NOPTS_VALUE) {
        if (!progress.firstTime) {
            progress.firstTime = progress.time;
        }
        progress.elapsed = progress.time - *progress.firstTime;
    }

    if (logs.audioVideo.isOpen() || route.ownLog.isOpen()) {
        PacketLine line;
        line.video = route.video;
        line.id = progress.count;
        line.key = key;
        line.time = progress.time;
        line.pts = packet.pts;
        line.dts = packet.dts;
        line.originalPts = originalPts;
        line.originalDts = originalDts;
        line.duration = static_cast<std::int32_t>(packet.duration);
        line.size = packet.size;
        const std::string text = composePacketLine(line);
        if (!logs.audioVideo.write(text)) {
            return logFailure(logs.audioVideo, logAudioVideoFailure, __LINE__);
        }
        if (!route.ownLog.write(text)) {
            return logFailure(route.ownLog, route.ownLogFailure, __LINE__);
        }
    }

    return toWriters(route);
}

// Until the start of the time line is settled, a packet waits (a reference of its own); then the waiting
// ones go to the writers in the order they came, and after them every packet as it comes.
bool PacketLoop::toWriters(const Route& route) {
    if (start.settled() && waiting.empty()) {
        return write(route, packet);
    }
    PacketPtr held{av_packet_alloc()};
    if (!held || av_packet_ref(held.get(), &packet) < 0) {
        return errorReport(route.writeFailure, __LINE__);
    }
    waiting.push_back(Waiting{&route, std::move(held)});
    start.note(route.video, packet.pts, route.stream->time_base);
    return !start.settled() || releaseWaiting();
}

// Hands the start to every writer, then the waiting packets.
bool PacketLoop::releaseWaiting() {
    if (const std::optional<TimelineStart::Stamp> zero = start.start(); zero && !waiting.empty()) {
        for (const std::unique_ptr<MovieWriter>* writer :
             {&writers.audioVideo, &writers.video, &writers.audio}) {
            if (*writer) {
                (*writer)->startTimelineAt(zero->value, zero->base);
            }
        }
    }
    while (!waiting.empty()) {
        Waiting next = std::move(waiting.front());
        waiting.pop_front();
        if (!write(*next.route, *next.packet)) {
            waiting.clear();
            return false;
        }
    }
    return true;
}

// The writers of the kind: the audio-and-video one gets the packet itself, which it rewrites, the
// single-stream one its own reference, taken before any writer saw the packet.
bool PacketLoop::write(const Route& route, AVPacket& passed) {
    PacketUnref releaseCopy{&copy};
    if (route.singleWriter != nullptr && av_packet_ref(&copy, &passed) < 0) {
        return errorReport(route.writeFailure, __LINE__);
    }
    if (writers.audioVideo && writers.audioVideo->writePacket(&passed) != 0) {
        return errorReport(route.writeFailure, __LINE__);
    }
    if (route.singleWriter != nullptr && route.singleWriter->writePacket(&copy) != 0) {
        return errorReport(route.writeFailure, __LINE__);
    }
    return true;
}

// The teardown of the outputs in its fixed order: logs (-lv, -la, -lav), frame, writers (-mv, -ma, -mav).
// False when a log or a media file could not be completed. Each failure is reported, but a log whose
// write failed in the loop has said so already.
bool finishOutputs(Logs& logs, FramePtr& frame, Writers& writers, bool reportLogs) {
    bool complete = true;
    const std::pair<PacketLog*, const char*> logsInOrder[] = {{&logs.video, logVideoFailure},
                                                              {&logs.audio, logAudioFailure},
                                                              {&logs.audioVideo, logAudioVideoFailure}};
    for (const auto& [log, failure] : logsInOrder) {
        if (!log->close()) {
            complete = false;
            if (reportLogs) {
                logFailure(*log, failure, __LINE__);
            }
        }
    }
    frame.reset();
    for (std::unique_ptr<MovieWriter>* writer : {&writers.video, &writers.audio, &writers.audioVideo}) {
        if (*writer && !(*writer)->finish()) {
            complete = false;
        }
        writer->reset();
    }
    return complete;
}

// The run from the network set-up to the teardown, in the order it happens. Every owner is a local
// declared in creation order, so that leaving at any step releases what exists in the teardown order:
// logs (-lv, -la, -lav), frame, packets, writers (-mv, -ma, -mav), input, network set-up. A file that
// could not be finished fails the run, however the loop ended.
int capture(const RunOptions& options) {
    const NetworkSession network;
    InputWatch watch;  // the input's interrupt callback points at it
    InputPipe pipe;    // the input's I/O when it is a pipe
    InputFile file;    // the input's I/O when it is a file
    const InputPtr input = openInput(options, watch, pipe, file);
    if (!input) {
        return -1;
    }
    const std::optional<Streams> streams = chooseStreams(*input);
    if (!streams) {
        return -1;
    }
    if (!checkOutputs(options, *streams)) {
        return -1;
    }
    std::optional<Writers> writers = createWriters(options, *streams);
    if (!writers) {
        return -1;
    }
    const PacketPtr packet{av_packet_alloc()};
    const PacketPtr copy{av_packet_alloc()};
    if (!packet || !copy) {
        errorReport("av_packet_alloc failure", __LINE__);
        return -1;
    }
    FramePtr frame{av_frame_alloc()};  // nothing decodes into it; the teardown order includes it
    if (!frame) {
        // Named after the call of the older FFmpeg series on purpose, as the writer's
        // "avcodec_get_context_defaults3 failure" is: the reports keep their texts.
        errorReport("avcodec_alloc_frame failure", __LINE__);
        return -1;
    }
    std::optional<Logs> logs = openLogs(options, *streams);
    if (!logs) {
        return -1;
    }

    infoLine("### Started processing input video packets\n");
    PacketLoop loop{options, *input,  watch, *streams, *writers,
                    *logs,   *packet, *copy, pipe,     isLive(options.input)};
    const bool normalEnd = loop.run() == LoopEnd::normal;
    if (normalEnd) {
        infoLine("### Finished processing input video: " + std::to_string(loop.video.count) + " packets\n");
    }
    const bool complete = finishOutputs(*logs, frame, *writers, normalEnd);
    return normalEnd && complete ? 0 : -1;
}

}  // namespace

int runCapture(const RunOptions& options) {
    installStopHandler();
    installFfmpegLog();
    if (options.verbose != 0) {
        av_log_set_level(AV_LOG_DEBUG);
    }
    const int status = capture(options);
    clearStatusLine();
    notifyTeardownDone();
    return status;
}
