#include "movie_writer.h"

#include <algorithm>
#include <cstring>
#include <optional>

#include "ffmpeg_owners.h"
#include "mp4_finish.h"

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

// The MP4 family's muxers that a recording writes as fragments and finishes as a standard file.
bool recordsFragments(const AVOutputFormat* format) {
    for (const char* name : {"mp4", "mov", "ipod", "3gp", "3g2"}) {
        if (std::strcmp(format->name, name) == 0) {
            return true;
        }
    }
    return false;
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
    : interruptCallback{onInterrupt, &ioTimer} {
    video.inputIndex = videoSource.index;
    video.inputStream = videoSource.stream;
    audio.inputIndex = audioSource.index;
    audio.inputStream = audioSource.stream;
    if (!setUp(name, videoSource.params, audioSource.params, useAacFilter)) {
        // Release what set-up made; a file that was already created stays on disk.
        aacFilter.reset();
        outputContext.reset();
        output.close();
        video.outStream = nullptr;
        audio.outStream = nullptr;
        return;
    }
    ncvDebugOutput("### Movie " + fileName + " opened for writing\n", White);
    open = true;
}

MovieWriter::MovieWriter(const std::string& name, int videoIndex, int audioIndex,
                         const AVCodecParameters* videoParams, const AVCodecParameters* audioParams,
                         const AVStream* videoInput, const AVStream* audioInput, int (*onInterrupt)(void*),
                         void* /*interruptOpaque*/, bool useAacFilter)
    : MovieWriter(name, Source{videoIndex, videoParams, videoInput},
                  Source{audioIndex, audioParams, audioInput}, onInterrupt, useAacFilter) {}

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

    if (!output.open(fileName, outputContext->interrupt_callback)) {
        reportError("avio_open failure", __LINE__);
        return false;
    }
    outputContext->pb = output.context();
    fragmented = output.file() != nullptr && recordsFragments(outputContext->oformat);
    useAacFlag = useAacFilter;
    if (!writeHeader()) {
        reportError("avformat_write_header failure", __LINE__);
        return false;
    }

    // The muxer may have chosen other time bases than the ones asked for.
    decideConversion(video);
    decideConversion(audio);
    return true;
}

// The header, with the fragment options for a recording in fragments: fragments are cut when the writer
// hands over; the moov waits for the first of them, which carry what it must describe; no index of the
// fragments is kept for the end.
bool MovieWriter::writeHeader() {
    Dictionary options;
    if (fragmented) {
        av_dict_set(options.address(), "movflags", "+frag_custom+delay_moov+skip_trailer+frag_discont", 0);
        video.awaited = video.outStream != nullptr;
        audio.awaited = audio.outStream != nullptr;
    }
    if (avformat_write_header(outputContext.get(), options.address()) < 0) {
        return false;
    }
    if (fragmented) {
        const AVOption* flag = av_opt_find(outputContext->priv_data, "frag_discont", "movflags", 0, 0);
        discontinuityFlag = flag != nullptr ? flag->default_val.i64 : 0;
    }
    return true;
}

// Keeps the muxer's frag_discont flag raised. It makes the first packet of every fragment keep its own
// decode time, so that a gap in the time line (a lost frame, a jump) survives a fragment boundary, and
// starts each track's decode times at its first PTS, so that the tracks keep their distance to each
// other. The muxer lowers it at each packet and hands it to every track, which drops it at the start of
// its next fragment: raised before every packet, it is up whenever a fragment starts.
void MovieWriter::keepFragmentsDiscontinuous() {
    std::int64_t flags = 0;
    if (discontinuityFlag != 0 && av_opt_get_int(outputContext->priv_data, "movflags", 0, &flags) >= 0) {
        av_opt_set_int(outputContext->priv_data, "movflags", flags | discontinuityFlag, 0);
    }
}

// Creates the track's output stream at outIndex, described by the input's parameters: a stream copy,
// with the codec tag left for the muxer to choose.
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
    out->codec_type = input->codec_type;
    out->codec_id = input->codec_id;
    out->bit_rate = input->bit_rate;
    out->width = input->width;
    out->height = input->height;
    out->format = input->format;
    out->profile = input->profile;
    out->level = input->level;
    out->sample_rate = input->sample_rate;
    av_channel_layout_uninit(&out->ch_layout);
    out->ch_layout.order = AV_CHANNEL_ORDER_UNSPEC;
    out->ch_layout.nb_channels = input->ch_layout.nb_channels;
    out->frame_size = input->frame_size;
    if (input->extradata_size > 0 && input->extradata != nullptr) {
        out->extradata = static_cast<std::uint8_t*>(
            av_mallocz(static_cast<std::size_t>(input->extradata_size) + AV_INPUT_BUFFER_PADDING_SIZE));
        if (out->extradata == nullptr) {
            reportError("avcodec_get_context_defaults3 failure", __LINE__);
            return false;
        }
        std::memcpy(out->extradata, input->extradata, static_cast<std::size_t>(input->extradata_size));
        out->extradata_size = input->extradata_size;
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
    if (av_interleaved_write_frame(outputContext.get(), packet) != 0) {
        reportError("av_interleaved_write_frame failure", __LINE__);
        return -1;
    }
    track.awaited = false;
    if (seconds) {
        firstSeconds = firstSeconds.value_or(*seconds);
        latestSeconds = std::max(latestSeconds, *seconds);
    }
    if (schedule.packetMuxed(&track == &video ? 0 : 1, seconds, clock.elapsedMs())) {
        return handOver();
    }
    return 0;
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
// recording in fragments starts only once every track has its first packet, which the moov describes,
// or after ten seconds (of stream time, or of waiting) without.
int MovieWriter::handOver() {
    constexpr double awaitSeconds = 10.0;
    if (fragmented && !fragmentsStarted && (video.awaited || audio.awaited)) {
        const double streamTime = firstSeconds ? latestSeconds - *firstSeconds : 0.0;
        if (streamTime < awaitSeconds && clock.elapsedMs() < awaitSeconds * 1000.0) {
            return 0;
        }
    }
    ioTimer.restart();
    bool written = av_interleaved_write_frame(outputContext.get(), nullptr) >= 0 &&
                   av_write_frame(outputContext.get(), nullptr) >= 0;
    if (fragmented && !fragmentsStarted && written) {
        // The first flush writes only the moov; the second, the first fragment.
        written = av_write_frame(outputContext.get(), nullptr) >= 0;
        fragmentsStarted = true;
    }
    if (!written || !output.handOver()) {
        reportError("av_interleaved_write_frame failure", __LINE__);
        return -1;
    }
    if (schedule.handedOver(clock.elapsedMs())) {
        output.sync();
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
    const PacketPtr work(av_packet_alloc());
    if (!hasContent || !work || av_packet_ref(work.get(), packet) < 0 ||
        av_bsf_send_packet(aacFilter.get(), work.get()) < 0 ||
        av_bsf_receive_packet(aacFilter.get(), work.get()) < 0) {
        reportError("Failed to apply bitstream filter aac_adtstoasc", __LINE__);
        return -1;
    }
    av_packet_unref(packet);
    av_packet_move_ref(packet, work.get());
    return 0;
}

bool MovieWriter::finish() {
    if (!open) {
        return true;
    }
    open = false;
    const bool finished = finishFile();
    outputContext.reset();
    if (finished) {
        ncvDebugOutput("### Movie " + fileName + " finalized\n", White);
    }
    return finished;
}

// The trailer, then for a recording in fragments the finishing step, then the file closed. Each failure
// is reported once; a file that could not be finished stays a playable fragmented one.
bool MovieWriter::finishFile() {
    // Writing the trailer is a guarded write like any other: it gets its own time budget.
    ioTimer.restart();
    bool trailerWritten = av_write_trailer(outputContext.get()) == 0;
    if (!trailerWritten) {
        reportError("av_write_trailer failure", __LINE__);
    }
    aacFilter.reset();
    ioTimer.restart();
    bool closed = output.releaseContext();
    outputContext->pb = nullptr;
    if (trailerWritten && closed && fragmented) {
        if (!output.sync() || !finishFragmentedMp4(*output.file(), [] { return !stopDeadlineNear(); })) {
            reportError("av_write_trailer failure", __LINE__);
            trailerWritten = false;
        }
    }
    closed = output.close() && closed;
    if (trailerWritten && !closed) {
        reportError("avio_close failure", __LINE__);
    }
    return trailerWritten && closed;
}

MovieWriter::~MovieWriter() {
    finish();
}
