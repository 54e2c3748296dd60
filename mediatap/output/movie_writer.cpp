#include "output/movie_writer.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <optional>

#include "diagnostics/address_text.h"
#include "diagnostics/failure_cause.h"
#include "isobmff/mp4_finish.h"

extern "C" {
#include <libavutil/mathematics.h>
#include <libavutil/mem.h>
}

namespace {

constexpr const char* kSourceFile = "mediatap/movie_writer";

// Shifts one timestamp by the base of its track (the start of the capture's time line in the track's
// time base, else the track's first PTS). A missing timestamp stays missing; one that comes before the
// base, or before any base is known, is 0. The shift wraps like two's-complement arithmetic instead of
// overflowing.
std::int64_t shiftTimestamp(std::int64_t timestamp, const std::optional<std::int64_t>& base) {
    if (timestamp == AV_NOPTS_VALUE) {
        return AV_NOPTS_VALUE;
    }
    if (!base) {
        return 0;
    }
    const auto shifted =
        static_cast<std::int64_t>(static_cast<std::uint64_t>(timestamp) - static_cast<std::uint64_t>(*base));
    return shifted < 0 ? 0 : shifted;
}

// The stream time of a packet in seconds, by its DTS (else its PTS), in the output's time base.
std::optional<double> streamSeconds(const AVPacket& packet, AVRational timeBase) {
    const std::int64_t stamp = packet.dts != AV_NOPTS_VALUE ? packet.dts : packet.pts;
    if (stamp == AV_NOPTS_VALUE) {
        return std::nullopt;
    }
    return static_cast<double>(stamp) * timeBase.num / timeBase.den;
}

// Converts a shifted timestamp to the output time base: exact (128-bit intermediate), truncating toward
// zero. A missing timestamp stays missing.
std::int64_t convertTimestamp(std::int64_t shifted, bool rescale, std::int64_t mul, std::int64_t div) {
    if (shifted == AV_NOPTS_VALUE || !rescale) {
        return shifted;
    }
    return av_rescale_rnd(shifted, mul, div, AV_ROUND_ZERO);
}

}  // namespace

// The five-line report of this unit, whichever of its files calls it.
void MovieWriter::reportError(const std::string& message, int line) {
    ncvAssertPrint_(message, false, kSourceFile, line);
}

void MovieWriter::OutputCloser::operator()(AVFormatContext* context) const {
    context->pb = nullptr;           // OutputIo closes it
    avformat_free_context(context);  // also frees the streams with their parameters and extradata
}

// The report of a failed FFmpeg call on the file, and why: the platform's text when the file failed
// under it, else FFmpeg's.
void MovieWriter::reportFailure(const std::string& message, int code, int line) {
    reportCauseOf(message, ffmpegErrorText(code), line);
}

// The report, then the platform's text when the file failed under it, else the reason given. A file that
// failed takes nothing more.
void MovieWriter::reportCauseOf(const std::string& message, const std::string& reason, int line) {
    reportError(message, line);
    const std::string fileText = output.failureText();
    fileFailed = fileFailed || (open && !fileText.empty());
    reportCause(fileText.empty() ? reason : fileText, fileName);
}

// Keeps the muxer's frag_discont flag raised. It makes the first packet of every fragment keep its own
// decode time, so that a gap in the time line (a lost frame, a jump) survives a fragment boundary, and
// starts each track's decode times at its first PTS, so that the tracks keep their distance to each
// other. The muxer lowers it at each packet and hands it to every track, which drops it at the start of
// its next fragment: raised before every packet, it is up whenever a fragment starts.
void MovieWriter::keepFragmentsDiscontinuous() {
    if (movFlags != nullptr) {
        *movFlags |= discontinuityFlag;
    }
}

void MovieWriter::startTimelineAt(std::int64_t start, AVRational timeBase) {
    for (Track* track : {&video, &audio}) {
        if (track->inputStream != nullptr) {
            track->base = av_rescale_q_rnd(start, timeBase, track->inputStream->time_base,
                                           static_cast<AVRounding>(AV_ROUND_NEAR_INF | AV_ROUND_PASS_MINMAX));
        }
    }
}

int MovieWriter::writePacket(AVPacket* packet) {
    if (!open) {
        return -1;
    }
    Track& track = packet->stream_index == video.inputIndex ? video : audio;

    if (!track.base && packet->pts != AV_NOPTS_VALUE) {
        track.base = packet->pts;
    }
    const std::int64_t shiftedDts = shiftTimestamp(packet->dts, track.base);
    packet->pts =
        convertTimestamp(shiftTimestamp(packet->pts, track.base), track.rescale, track.tsMul, track.tsDiv);
    packet->dts = convertTimestamp(shiftedDts, track.rescale, track.tsMul, track.tsDiv);
    packet->stream_index = track.outIndex;
    if (track.rescale) {
        packet->duration = av_rescale_rnd(packet->duration, track.tsMul, track.tsDiv, AV_ROUND_ZERO);
        keepConvertedDtsIncreasing(track.dtsTrack, shiftedDts, *packet);
    }

    if (!track.aacFiltered && needsAacFilter(track, *packet)) {
        if (!initAacFilter()) {
            return -1;
        }
        track.aacFiltered = true;
    }
    if (track.aacFiltered && filterAudio(packet) != 0) {
        return -1;
    }
    if (track.lengthPrefixed) {
        if (const int prefixed = prefixLengths(packet); prefixed < 0) {
            reportFailure("av_interleaved_write_frame failure", prefixed, __LINE__);
            return -1;
        }
    }

    const std::optional<double> seconds = streamSeconds(*packet, track.outStream->time_base);
    keepFragmentsDiscontinuous();
    ioTimer.restart();
    if (const int written = av_interleaved_write_frame(outputContext.get(), packet); written != 0) {
        reportFailure("av_interleaved_write_frame failure", written, __LINE__);
        return -1;
    }
    track.awaited = false;
    if (seconds) {
        firstSeconds = firstSeconds.value_or(*seconds);
        latestSeconds = std::max(latestSeconds, *seconds);
    }
    // The schedule's clock is read when the write started: the write's own guard read it then.
    if (schedule.packetMuxed(&track == &video ? 0 : 1, seconds, clock.elapsedMsUntil(ioTimer))) {
        return handOver();
    }
    return 0;
}

// Whether the moov can describe the track only once its first packet is there: AAC, H.264 and HEVC
// without their configuration in the input's parameters (ADTS audio, a stream that carries its
// parameter sets in band).
bool MovieWriter::describedByFirstPacket(const Track& track) {
    if (track.outStream == nullptr) {
        return false;
    }
    const AVCodecParameters* params = track.outStream->codecpar;
    const AVCodecID codec = params->codec_id;
    return params->extradata_size == 0 &&
           (codec == AV_CODEC_ID_AAC || codec == AV_CODEC_ID_H264 || codec == AV_CODEC_ID_HEVC);
}

// ADTS audio into a file of the MP4 family: the muxer would put the filter in itself, but not while it
// writes fragments, so the writer does (the AAC flag asks for it in any case).
bool MovieWriter::needsAacFilter(const Track& track, const AVPacket& packet) const {
    if (&track != &audio || track.outStream == nullptr ||
        track.outStream->codecpar->codec_id != AV_CODEC_ID_AAC || !fragmented) {
        return false;
    }
    return packet.size > 2 && packet.data[0] == 0xFF && (packet.data[1] & 0xF0) == 0xF0;
}

// Hands everything muxed so far to the system: what waits in the interleaving queue, the fragment or
// cluster the muxer is building, and the I/O buffer; then, now and then, has it flushed to the disk. A
// recording in fragments starts within its first second whatever its tracks do: it waits for a track
// whose description in the moov comes from its first packet only as long as that, and a track that
// starts later joins it in the fragment where its first packet falls.
int MovieWriter::handOver() {
    constexpr double awaitSeconds = 1.0;
    if (fragmented && !fragmentsStarted && (video.awaited || audio.awaited)) {
        const double streamTime = firstSeconds ? latestSeconds - *firstSeconds : 0.0;
        if (streamTime < awaitSeconds && clock.elapsedMs() < awaitSeconds * 1000.0) {
            return 0;
        }
    }
    ioTimer.restart();
    int result = av_interleaved_write_frame(outputContext.get(), nullptr);
    if (result >= 0) {
        result = av_write_frame(outputContext.get(), nullptr);
    }
    if (fragmented && !fragmentsStarted && result >= 0) {
        // The first flush writes only the moov; the second, the first fragment.
        result = av_write_frame(outputContext.get(), nullptr);
        fragmentsStarted = true;
    }
    if (result >= 0 && !output.handOver()) {
        result = output.context()->error < 0 ? output.context()->error : AVERROR(EIO);
    }
    // A write-back error is told to one flush to the disk only: one that is not heeded here is lost, and
    // the recording has a hole that no later flush reports.
    if (result >= 0 && schedule.handedOver(clock.elapsedMs()) && !output.sync()) {
        result = AVERROR(EIO);
        syncFailed = true;
    }
    if (result < 0) {
        reportFailure("av_interleaved_write_frame failure", result, __LINE__);
        return -1;
    }
    return 0;
}

// Truncation to a coarser output time base can give two packets whose DTS did increase the same output
// DTS: the muxer would refuse the second and the capture would end (timestamps repaired one input tick
// apart meet this at once). Such a packet moves one output tick past the previous one. A DTS that did
// not increase before the conversion is left as it is, for the muxer to judge.
void MovieWriter::keepConvertedDtsIncreasing(DtsTrack& track, std::int64_t shiftedDts, AVPacket& packet) {
    if (packet.dts == AV_NOPTS_VALUE) {
        return;
    }
    if (track.lastShiftedDts != AV_NOPTS_VALUE && shiftedDts > track.lastShiftedDts &&
        packet.dts <= track.lastDts) {
        packet.dts = track.lastDts + 1;
        if (packet.pts != AV_NOPTS_VALUE && packet.pts < packet.dts) {
            packet.pts = packet.dts;
        }
    }
    track.lastShiftedDts = shiftedDts;
    track.lastDts = packet.dts;
}

// Replaces the packet's data by the filter's output (raw AAC; the first packet also carries the
// AudioSpecificConfig as new-extradata side data). The filter works on a reference of its own, so that
// the packet keeps its data when filtering fails. An empty packet is not sent: to the filter it would
// mean the end of the stream.
int MovieWriter::filterAudio(AVPacket* packet) {
    const bool hasContent = packet->data != nullptr || packet->side_data_elems > 0;
    if (!filtered) {
        filtered.reset(av_packet_alloc());
    }
    AVPacket* work = filtered.get();
    int result = !hasContent ? AVERROR(EINVAL) : !work ? AVERROR(ENOMEM) : av_packet_ref(work, packet);
    if (result >= 0) {
        result = av_bsf_send_packet(aacFilter.get(), work);
    }
    if (result >= 0) {
        result = av_bsf_receive_packet(aacFilter.get(), work);
    }
    if (result < 0) {
        if (work != nullptr) {
            av_packet_unref(work);
        }
        reportError("Failed to apply bitstream filter aac_adtstoasc", __LINE__);
        reportCause(ffmpegErrorText(result), fileName);
        return -1;
    }
    av_packet_unref(packet);
    av_packet_move_ref(packet, work);
    return 0;
}

// An access unit of the track whose avcC the writer made, its NAL units each behind its length as the
// muxer would have put them: in place when the packet is the only holder of its data and every start code
// has the 4 bytes of a length, else into a buffer of its own. A packet without a start code goes as it
// came, so that no data is lost.
int MovieWriter::prefixLengths(AVPacket* packet) {
    if (packet->size <= 0) {
        return 0;
    }
    const auto size = static_cast<std::size_t>(packet->size);
    isobmff::findNalUnits({packet->data, size}, nalUnits);
    if (nalUnits.empty()) {
        return 0;
    }
    if (packet->buf != nullptr && av_buffer_is_writable(packet->buf) != 0 &&
        isobmff::rewritableInPlace(nalUnits, size)) {
        isobmff::writeLengthPrefixed(packet->data, nalUnits, packet->data);
        return 0;
    }
    const std::size_t prefixed = isobmff::lengthPrefixedSize(nalUnits);
    if (prefixed > static_cast<std::size_t>(INT_MAX - AV_INPUT_BUFFER_PADDING_SIZE)) {
        return AVERROR(EINVAL);
    }
    AVBufferRef* buffer = av_buffer_alloc(prefixed + AV_INPUT_BUFFER_PADDING_SIZE);
    if (buffer == nullptr) {
        return AVERROR(ENOMEM);
    }
    isobmff::writeLengthPrefixed(packet->data, nalUnits, buffer->data);
    std::memset(buffer->data + prefixed, 0, AV_INPUT_BUFFER_PADDING_SIZE);
    av_buffer_unref(&packet->buf);
    packet->buf = buffer;
    packet->data = buffer->data;
    packet->size = static_cast<int>(prefixed);
    return 0;
}

bool MovieWriter::finish() {
    if (!open) {
        return true;
    }
    if (fileFailed) {
        // Its failure was reported where it happened; what it holds stays as the disk kept it.
        open = false;
        outputContext->pb = nullptr;
        output.abandon(syncFailed);
        outputContext.reset();
        return false;
    }
    open = false;
    const bool finished = finishFile();
    outputContext.reset();
    if (finished) {
        ncvDebugOutput("### Movie " + maskAddresses(fileName) + " finalized\n", White);
    }
    return finished;
}

// The trailer, then for a recording in fragments the finishing step, then the file closed. Each failure
// is reported once; a file that could not be finished stays a playable fragmented one.
bool MovieWriter::finishFile() {
    // Writing the trailer is a guarded write like any other: it gets its own time budget.
    ioTimer.restart();
    int trailer = av_write_trailer(outputContext.get());
    // A recording in fragments gathers the muxer's last writes: they reach the file here, as the
    // trailer's.
    if (trailer == 0 && fragmented && !output.handOver()) {
        trailer = output.context()->error < 0 ? output.context()->error : AVERROR(EIO);
    }
    bool trailerWritten = trailer == 0;
    if (!trailerWritten) {
        reportFailure("av_write_trailer failure", trailer, __LINE__);
    }
    aacFilter.reset();
    ioTimer.restart();
    bool closed = output.releaseContext();
    outputContext->pb = nullptr;
    if (trailerWritten && closed && fragmented) {
        const isobmff::FinishOutcome outcome =
            !output.sync() ? isobmff::FinishOutcome::fileFailed
                           : isobmff::finishFragmentedMp4(*output.file(), [] { return !stopDeadlineNear(); });
        if (outcome != isobmff::FinishOutcome::finished) {
            reportCauseOf("av_write_trailer failure", isobmff::finishFailureText(outcome), __LINE__);
            trailerWritten = false;
        }
    }
    closed = output.close() && closed;
    if (trailerWritten && !closed) {
        reportFailure("avio_close failure", AVERROR(EIO), __LINE__);
    }
    return trailerWritten && closed;
}

MovieWriter::~MovieWriter() {
    finish();
}
