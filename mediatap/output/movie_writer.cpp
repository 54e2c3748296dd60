#include "output/movie_writer.h"

#include <algorithm>
#include <optional>

#include "diagnostics/address_text.h"
#include "diagnostics/failure_cause.h"
#include "diagnostics/ffmpeg_log.h"
#include "isobmff/mp4_finish.h"
#include "output/ffmpeg_owners.h"
#include "output/muxer_trial.h"

extern "C" {
#include <libavutil/mathematics.h>
#include <libavutil/mem.h>
#include <libavutil/opt.h>
}

namespace {

constexpr const char* kSourceFile = "mediatap/movie_writer";
constexpr const char* kAacFilterName = "aac_adtstoasc";

void reportError(const std::string& message, int line) {
    ncvAssertPrint_(message, false, kSourceFile, line);
}

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

void MovieWriter::OutputCloser::operator()(AVFormatContext* context) const {
    context->pb = nullptr;           // OutputIo closes it
    avformat_free_context(context);  // also frees the streams with their parameters and extradata
}

MovieWriter::MovieWriter(const std::string& name, const Source& videoSource, const Source& audioSource,
                         int (*onInterrupt)(void*), bool useAacFilter)
    : MovieWriter(name, videoSource, audioSource, onInterrupt, useAacFilter, Purpose::recording) {}

MovieWriter::MovieWriter(const std::string& name, const Source& videoSource, const Source& audioSource,
                         int (*onInterrupt)(void*), bool useAacFilter, Purpose use)
    : interruptCallback{onInterrupt, &ioTimer}, purpose(use) {
    video.inputIndex = videoSource.index;
    video.inputStream = videoSource.stream;
    audio.inputIndex = audioSource.index;
    audio.inputStream = audioSource.stream;
    const bool setUpDone = setUp(name, videoSource.params, audioSource.params, useAacFilter);
    if (!setUpDone || purpose == Purpose::trial) {
        // Release what set-up made; a file that a failed set-up had already created stays on disk.
        aacFilter.reset();
        outputContext.reset();
        output.close();
        video.outStream = nullptr;
        audio.outStream = nullptr;
        trialPassed = setUpDone;
        return;
    }
    ncvDebugOutput("### Movie " + maskAddresses(fileName) + " opened for writing\n", White);
    open = true;
}

bool MovieWriter::check(const std::string& name, const Source& videoSource, const Source& audioSource,
                        bool useAacFilter) {
    const MovieWriter trial(name, videoSource, audioSource, ioTimeoutCallback, useAacFilter, Purpose::trial);
    return trial.trialPassed;
}

bool MovieWriter::setUp(const std::string& name, const AVCodecParameters* videoParams,
                        const AVCodecParameters* audioParams, bool useAacFilter) {
    const bool noStreams = videoParams == nullptr && audioParams == nullptr;
    const bool streamMissing = (videoParams != nullptr && video.inputStream == nullptr) ||
                               (audioParams != nullptr && audio.inputStream == nullptr);
    if (noStreams || streamMissing) {
        reportError("Invalid input ALL THREADS SIGNALED TO TERMINATE", __LINE__);
        setGlobalErr();
        return false;
    }

    AVFormatContext* context = nullptr;
    if (avformat_alloc_output_context2(&context, nullptr, nullptr, name.c_str()) < 0 || context == nullptr) {
        reportError("avformat_alloc_output_context2 failure", __LINE__);
        return false;
    }
    outputContext.reset(context);
    outputContext->interrupt_callback = interruptCallback;
    ioTimer.restart();
    fileName = name;

    const AVBitStreamFilter* filter = av_bsf_get_by_name(kAacFilterName);
    AVBSFContext* filterContext = nullptr;
    if (filter == nullptr || av_bsf_alloc(filter, &filterContext) < 0) {
        reportError("Bitstream filter aac_adtstoasc not found", __LINE__);
        return false;
    }
    aacFilter.reset(filterContext);

    if (videoParams != nullptr) {
        if (!addStream(videoParams, 0, video)) {
            return false;
        }
        video.outStream->r_frame_rate = video.inputStream->r_frame_rate;
        video.outStream->avg_frame_rate = video.inputStream->avg_frame_rate;
    }
    if (audioParams != nullptr) {
        if (!addStream(audioParams, videoParams != nullptr ? 1 : 0, audio)) {
            return false;
        }
        // Only AAC needs the filter; other audio goes to the muxer as it is, for it to take or refuse.
        if (useAacFilter && audioParams->codec_id == AV_CODEC_ID_AAC) {
            if (!initAacFilter()) {
                return false;
            }
            audio.aacFiltered = true;
        }
    }

    if (!openFile()) {
        return false;
    }
    fragmented = recordedInFragments(fileName, outputContext->oformat);
    useAacFlag = useAacFilter;
    if (const int header = writeHeader(); header < 0) {
        if (purpose == Purpose::trial) {
            reportRefusedHeader(header);
        } else {
            reportFailure("avformat_write_header failure", header, __LINE__);
        }
        return false;
    }

    // The muxer may have chosen other time bases than the ones asked for.
    decideConversion(video);
    decideConversion(audio);
    return true;
}

// The file of a recording is created. A trial checks that it could be and writes to a context that keeps
// nothing instead, leaving whatever is on disk as it was.
bool MovieWriter::openFile() {
    std::string reason;
    if (purpose == Purpose::trial) {
        if (OutputIo::checkOpen(fileName, reason) && !output.openDiscarding()) {
            reason = ffmpegErrorText(AVERROR(ENOMEM));
        }
    } else if (!output.open(fileName, outputContext->interrupt_callback)) {
        reason = output.failureText();
    }
    if (output.context() == nullptr) {
        reportError("avio_open failure", __LINE__);
        reportCause(reason, fileName);
        return false;
    }
    outputContext->pb = output.context();
    return true;
}

// The header, with the fragment options for a recording in fragments; FFmpeg's answer. A trial's
// header leaves FFmpeg's log silent: the recording's own header says what FFmpeg has to say.
int MovieWriter::writeHeader() {
    Dictionary options;
    if (fragmented) {
        setFragmentOptions(options);
        output.keepFragmentHeadersInPages();
        video.awaited = describedByFirstPacket(video);
        audio.awaited = describedByFirstPacket(audio);
    }
    std::optional<LogSilence> quiet;
    if (purpose == Purpose::trial) {
        quiet.emplace();
    }
    const int result = avformat_write_header(outputContext.get(), options.address());
    if (result < 0) {
        return result;
    }
    if (fragmented) {
        // The flags are an int of the muxer's context at the option's offset: found once, they cost
        // nothing to raise at every packet (a lookup by name would search the muxer's options each time).
        const AVOption* flag = av_opt_find(outputContext->priv_data, "frag_discont", "movflags", 0, 0);
        const AVOption* flags = av_opt_find(outputContext->priv_data, "movflags", nullptr, 0, 0);
        if (flag != nullptr && flags != nullptr && flags->type == AV_OPT_TYPE_FLAGS) {
            discontinuityFlag = static_cast<int>(flag->default_val.i64);
            movFlags =
                reinterpret_cast<int*>(static_cast<std::uint8_t*>(outputContext->priv_data) + flags->offset);
        }
    }
    return 0;
}

// A trial's header that the container refused: the report names the first stream it cannot hold on its
// own, in FFmpeg's name for the codec, with those of .mkv and .mov that can. A stream without its picture
// size or sample rate is refused by every container, which says nothing of its codec. When no stream is
// refused on its own, FFmpeg's failure is reported as the recording's would be.
void MovieWriter::reportRefusedHeader(int code) {
    for (const Track* track : {&video, &audio}) {
        if (track->outStream == nullptr) {
            continue;
        }
        const AVCodecParameters* params = track->outStream->codecpar;
        const bool described = params->codec_type == AVMEDIA_TYPE_VIDEO
                                   ? params->width > 0 && params->height > 0
                                   : params->sample_rate > 0;
        if (!described) {
            continue;
        }
        const AVRational timeBase = track->inputStream->time_base;
        if (containerTakes(fileName, params, timeBase)) {
            continue;
        }
        std::string message = "Output " + maskAddresses(fileName) + " cannot hold " +
                              avcodec_get_name(params->codec_id) +
                              (params->codec_type == AVMEDIA_TYPE_VIDEO ? " video" : " audio");
        const bool mkv = containerTakes("trial.mkv", params, timeBase);
        const bool mov = containerTakes("trial.mov", params, timeBase);
        if (mkv || mov) {
            message += std::string("; ") + (mkv && mov ? ".mkv or .mov" : mkv ? ".mkv" : ".mov") + " can";
        }
        reportError(message, __LINE__);
        return;
    }
    reportFailure("avformat_write_header failure", code, __LINE__);
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

// Creates the track's output stream at outIndex, described by the input's parameters.
bool MovieWriter::addStream(const AVCodecParameters* input, int outIndex, Track& track) {
    track.outIndex = outIndex;
    track.outStream = avformat_new_stream(outputContext.get(), nullptr);
    if (track.outStream == nullptr) {
        reportError("avformat_new_stream failure", __LINE__);
        return false;
    }
    AVCodecParameters* out = track.outStream->codecpar;
    if (out == nullptr) {
        reportError(
            input->codec_type == AVMEDIA_TYPE_VIDEO ? "avVidCdcCtxOut is NULL" : "avAudCdcCtxOut is NULL",
            __LINE__);
        return false;
    }
    if (!copyParameters(input, out)) {
        reportError("avcodec_get_context_defaults3 failure", __LINE__);
        return false;
    }
    track.outStream->time_base = track.inputStream->time_base;
    return true;
}

// Prepares the filter for the output AAC stream. Parameters the filter cannot take fail here, before any
// file exists, rather than at the first audio packet.
bool MovieWriter::initAacFilter() {
    if (avcodec_parameters_copy(aacFilter->par_in, audio.outStream->codecpar) < 0) {
        reportError("Failed to apply bitstream filter aac_adtstoasc", __LINE__);
        return false;
    }
    aacFilter->time_base_in = audio.outStream->time_base;
    if (av_bsf_init(aacFilter.get()) < 0) {
        reportError("Failed to apply bitstream filter aac_adtstoasc", __LINE__);
        return false;
    }
    return true;
}

// Sets the track's conversion when its output time base differs from the input's. A track without an
// output stream keeps none.
void MovieWriter::decideConversion(Track& track) {
    if (track.outStream == nullptr) {
        return;
    }
    const AVRational in = track.inputStream->time_base;
    const AVRational out = track.outStream->time_base;
    if (in.num == out.num && in.den == out.den) {
        return;
    }
    const std::int64_t mul = std::int64_t{in.num} * out.den;
    const std::int64_t div = std::int64_t{in.den} * out.num;
    if (mul <= 0 || div <= 0) {
        return;  // not a usable time base: timestamps pass unconverted rather than divide by zero
    }
    track.rescale = true;
    track.tsMul = mul;
    track.tsDiv = div;
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
