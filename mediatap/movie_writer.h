// One output media file of trsn.mediatap: a stream copy of the input's video and/or audio stream into a
// container chosen by FFmpeg from the file name. Construction opens the file and writes the header;
// finish (or else destruction) writes the trailer, closes the file and releases everything.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "common.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavcodec/bsf.h>
#include <libavformat/avformat.h>
}

class MovieWriter {
  public:
    // videoCodecParams null: no video output; audioCodecParams null: no audio output.
    // interruptOpaque is not used: the writer hands its own timer to interruptCallback.
    MovieWriter(const std::string& fileName, int videoStreamIndex, int audioStreamIndex,
                const AVCodecParameters* videoCodecParams, const AVCodecParameters* audioCodecParams,
                const AVStream* videoStream, const AVStream* audioStream, int (*interruptCallback)(void*),
                void* interruptOpaque, bool useAacFilter);
    ~MovieWriter();

    MovieWriter(const MovieWriter&) = delete;
    MovieWriter& operator=(const MovieWriter&) = delete;

    bool isOpen() const { return open; }

    // Re-stamps the packet in place and hands it to the interleaving muxer, which takes its reference.
    // Returns 0 when the muxer accepted it, -1 otherwise (the packet then still holds its data).
    int writePacket(AVPacket* packet);

    // Writes the trailer and closes the file, reporting what fails. True when the file is complete (or
    // there was none to finish). The writer is closed afterwards; destruction calls it when not done.
    bool finish();

  private:
    // Closes the file (flushing what is buffered), then frees the context and its streams.
    struct OutputCloser {
        void operator()(AVFormatContext* context) const;
    };
    struct FilterFree {
        void operator()(AVBSFContext* filter) const { av_bsf_free(&filter); }
    };

    // Set-up steps; each reports its own failure and returns false.
    bool setUp(const std::string& name, const AVCodecParameters* videoCodecParams,
               const AVCodecParameters* audioCodecParams);
    bool addStream(const AVCodecParameters* input, const AVStream* inputStream, AVStream*& outStream);
    bool initAacFilter();
    static void decideConversion(const AVStream* in, const AVStream* out, bool& rescale, std::int64_t& mul,
                                 std::int64_t& div);
    int filterAudio(AVPacket* packet);

    // The last DTS of one kind before and after the conversion to the output time base.
    struct ConversionTrack {
        std::int64_t lastShiftedDts = AV_NOPTS_VALUE;
        std::int64_t lastDts = AV_NOPTS_VALUE;
    };
    static void keepConvertedDtsIncreasing(ConversionTrack& track, std::int64_t shiftedDts, AVPacket& packet);

    // Declaration order is release order in reverse: the filter goes before the output context.
    std::string fileName;
    int videoStreamIndex;
    int audioStreamIndex;
    int videoOutIndex = -1;
    int audioOutIndex = -1;
    std::unique_ptr<AVFormatContext, OutputCloser> outputContext;
    std::unique_ptr<AVBSFContext, FilterFree> aacFilter;
    AVStream* videoOutStream = nullptr;  // owned by outputContext
    AVStream* audioOutStream = nullptr;  // owned by outputContext
    const AVStream* videoStream;         // borrowed from the input, which outlives the writer
    const AVStream* audioStream;
    bool rescaleAudio = false;
    bool rescaleVideo = false;
    std::optional<std::int64_t> videoFirstPts;  // empty until the first PTS of the kind
    std::optional<std::int64_t> audioFirstPts;
    std::int64_t videoTsMul = 1;
    std::int64_t videoTsDiv = 1;
    std::int64_t audioTsMul = 1;
    std::int64_t audioTsDiv = 1;
    ConversionTrack videoConversion;
    ConversionTrack audioConversion;
    AVIOInterruptCB interruptCallback;
    bool useAacFilter;
    bool filterAudioPackets = false;  // the filter is set up: the output is mp4 and the audio AAC
    IntervalTimer ioTimer;
    bool open = false;
};
