#include "output/muxer_trial.h"

#include <cstring>
#include <memory>

#include "diagnostics/ffmpeg_log.h"
#include "output/output_io.h"

extern "C" {
#include <libavutil/mem.h>
}

namespace {

// Frees a trial's context; its I/O belongs to the trial.
struct TrialCloser {
    void operator()(AVFormatContext* context) const {
        context->pb = nullptr;
        avformat_free_context(context);
    }
};

}  // namespace

bool recordsFragments(const AVOutputFormat* format) {
    for (const char* name : {"mp4", "mov", "ipod", "3gp", "3g2"}) {
        if (std::strcmp(format->name, name) == 0) {
            return true;
        }
    }
    return false;
}

// Fragments are cut when the writer hands over; the moov waits for the first of them, which carry what it
// must describe; no index of the fragments is kept for the end. A fragment's data is found from its moof,
// not from the start of the file, so that the output can put free space before a moof.
void setFragmentOptions(Dictionary& options) {
    av_dict_set(options.address(), "movflags",
                "+frag_custom+delay_moov+skip_trailer+frag_discont+omit_tfhd_offset", 0);
}

bool recordedInFragments(const std::string& name, const AVOutputFormat* format) {
    return OutputIo::isFile(name) && recordsFragments(format);
}

bool copyParameters(const AVCodecParameters* input, AVCodecParameters* out) {
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
            return false;
        }
        std::memcpy(out->extradata, input->extradata, static_cast<std::size_t>(input->extradata_size));
        out->extradata_size = input->extradata_size;
    }
    return true;
}

bool containerTakes(const std::string& name, const AVCodecParameters* params, AVRational timeBase) {
    OutputIo discarding;
    AVFormatContext* raw = nullptr;
    if (avformat_alloc_output_context2(&raw, nullptr, nullptr, name.c_str()) < 0 || raw == nullptr) {
        return false;
    }
    const std::unique_ptr<AVFormatContext, TrialCloser> context(raw);
    AVStream* stream = avformat_new_stream(raw, nullptr);
    if (stream == nullptr || !copyParameters(params, stream->codecpar) || !discarding.openDiscarding()) {
        return false;
    }
    stream->time_base = timeBase;
    raw->pb = discarding.context();
    Dictionary options;
    if (recordedInFragments(name, raw->oformat)) {
        setFragmentOptions(options);
    }
    const LogSilence quiet;
    return avformat_write_header(raw, options.address()) >= 0;
}
