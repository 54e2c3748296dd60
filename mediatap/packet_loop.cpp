// The packet loop, from the reads to the writers.
#include "packet_loop.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <string>
#include <thread>
#include <utility>

#include "diagnostics/failure_cause.h"
#include "main_report.h"

namespace driver {

namespace {

// Pause between two reads that failed without an end of file, so that a bounded retry does not spin.
constexpr std::chrono::milliseconds retryPause{10};

}  // namespace

TimeBase timeBaseOf(const AVStream* stream) {
    return stream != nullptr ? TimeBase{stream->time_base.num, stream->time_base.den} : TimeBase{};
}

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
            if (const std::optional<LoopEnd> end = afterFailedRead(result, sinceLastPacket)) {
                return *end;
            }
            std::this_thread::sleep_for(retryPause);
            continue;
        }
        if (!watch.deadlineFired) {
            sinceLastPacket.restart();
            if (packet.stream_index == streams.videoIndex) {
                sinceLastVideo = sinceLastPacket;
            }
        }
        if (!passOnRead()) {
            return LoopEnd::failure;
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

// What a failed read means: the end of the loop, or nothing when the read is to be tried again.
std::optional<LoopEnd> PacketLoop::afterFailedRead(int result, const IntervalTimer& sinceLastPacket) {
    if (stopRequested()) {
        return LoopEnd::normal;
    }
    // An abandoned read leaves a session torn, whatever FFmpeg makes of it (the RTSP client reads its end
    // as the end of the stream).
    if (watch.deadlineFired) {
        return stalled();
    }
    // An I/O context in error is a failure, even though FFmpeg also marks it as at its end.
    const bool ioError = input.pb != nullptr && input.pb->error != 0 && input.pb->error != AVERROR_EOF;
    if (!ioError && (result == AVERROR_EOF || (input.pb != nullptr && avio_feof(input.pb)))) {
        return LoopEnd::normal;  // the source's own end: a file's, an RTSP BYE, a closed server
    }
    // A live source does not come back from a failed read, and one that has nothing for the deadline has
    // stalled; a file may have a bad packet, but not for ever.
    const bool retriedTooLong = ioDeadlinePassed(sinceLastPacket.elapsedMs());
    if (live && !ioError && result == AVERROR(EAGAIN) && retriedTooLong) {
        return stalled();
    }
    if (ioError || (live && result != AVERROR(EAGAIN)) || retriedTooLong) {
        errorReport("av_read_frame IO error", __LINE__);
        reportCause(inputFailure(watch, pipe, ioError ? input.pb->error : result), options.input);
        return LoopEnd::failure;
    }
    return std::nullopt;
}

// Passes the packet just read on when it is of the chosen video or audio stream. False when that failed.
bool PacketLoop::passOnRead() {
    PacketUnref release{&packet};
    // The kind is decided on the packet as read: the writers rewrite its stream index.
    const int index = packet.stream_index;
    if (index == streams.videoIndex) {
        if (!passOn(videoRoute, video)) {
            return false;
        }
        ++video.count;
    } else if (streams.hasAudio && index == streams.audioIndex) {
        audioArrived = true;
        if (!passOn(audioRoute, audio)) {
            return false;
        }
        ++audio.count;
    }
    return true;
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

}  // namespace driver
