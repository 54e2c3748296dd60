// The opening of a movie: its streams and their filter, the file, the header, and the report of a header
// that the container refused.
#include "output/movie_writer.h"

#include <algorithm>
#include <cstring>
#include <optional>

#include "diagnostics/address_text.h"
#include "diagnostics/failure_cause.h"
#include "diagnostics/ffmpeg_log.h"
#include "output/muxer_trial.h"

extern "C" {
#include <libavutil/mem.h>
#include <libavutil/opt.h>
}

namespace {

constexpr const char* kAacFilterName = "aac_adtstoasc";

}  // namespace

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
    if (video.outStream != nullptr) {
        describeAvcForTheMuxer(video);
    }
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

// H.264 whose parameter sets came as an Annex B byte stream goes to a muxer of the MP4 family with the
// avcC the muxer would have made of them, and its packets with lengths before their NAL units: the muxer
// then copies them as they are instead of searching every byte for start codes, and writes the same file.
// A track whose parameter sets the record cannot hold is left to the muxer.
void MovieWriter::describeAvcForTheMuxer(Track& track) {
    AVCodecParameters* params = track.outStream->codecpar;
    if (params->codec_id != AV_CODEC_ID_H264 || params->extradata == nullptr ||
        !recordsFragments(outputContext->oformat)) {
        return;
    }
    const std::optional<std::vector<std::uint8_t>> record =
        isobmff::avcConfigurationOf({params->extradata, static_cast<std::size_t>(params->extradata_size)});
    if (!record) {
        return;
    }
    auto* extradata = static_cast<std::uint8_t*>(av_mallocz(record->size() + AV_INPUT_BUFFER_PADDING_SIZE));
    if (extradata == nullptr) {
        return;  // the muxer makes the record itself
    }
    std::memcpy(extradata, record->data(), record->size());
    av_free(params->extradata);
    params->extradata = extradata;
    params->extradata_size = static_cast<int>(record->size());
    track.lengthPrefixed = true;
}
