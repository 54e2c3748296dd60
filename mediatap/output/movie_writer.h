// One output media file of trsn.mediatap: a stream copy of the input's video and/or audio stream into a
// container chosen by FFmpeg from the file name. Construction opens the file and writes the header;
// finish (or else destruction) writes the trailer, closes the file and releases everything.
//
// A recording must survive a killed process: at least every half second of stream time, what was muxed
// is handed to the system, and every two seconds or so flushed to the disk. A file of the MP4 family is
// recorded as movie fragments, which a reader can play however the file ends, and turned into a standard
// file when the writer finishes.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "diagnostics/common.h"
#include "isobmff/avc_format.h"
#include "output/ffmpeg_owners.h"
#include "output/flush_schedule.h"
#include "output/output_io.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavcodec/bsf.h>
#include <libavformat/avformat.h>
}

class MovieWriter {
  public:
    // What one output stream copies: the input stream, its index in the input and its codec parameters.
    // No parameters: no such output stream.
    struct Source {
        int index = -1;
        const AVCodecParameters* params = nullptr;
        const AVStream* stream = nullptr;
    };

    // Video (when given) becomes output stream 0, audio (when given) the next one. The writer guards its
    // file writes with onInterrupt, handing it its own timer.
    MovieWriter(const std::string& name, const Source& videoSource, const Source& audioSource,
                int (*onInterrupt)(void*), bool useAacFilter);
    ~MovieWriter();

    MovieWriter(const MovieWriter&) = delete;
    MovieWriter& operator=(const MovieWriter&) = delete;

    // Whether the constructor could open the file, found out before anything is created: all the
    // constructor does, but with the file's folder checked instead of the file created, and the header
    // written to a context that keeps nothing. Reports what the constructor would report, a codec the
    // container refuses as such, and returns false then; prints nothing otherwise.
    static bool check(const std::string& name, const Source& videoSource, const Source& audioSource,
                      bool useAacFilter);

    bool isOpen() const { return open; }
    // The bytes written to the file so far.
    std::uint64_t bytesWritten() const { return output.bytesWritten(); }

    // Sets the start of the capture's time line, which every output of a run shares: a time stamp in the
    // given time base. Each track's time stamps are counted from it (converted to the track's own time
    // base), so that audio and video keep their distance. Without it, each track starts at its own first
    // PTS. Called before the first packet.
    void startTimelineAt(std::int64_t start, AVRational timeBase);

    // Re-stamps the packet in place and hands it to the interleaving muxer, which takes its reference.
    // Returns 0 when the muxer accepted it, -1 otherwise (the packet then still holds its data).
    int writePacket(AVPacket* packet);

    // Writes the trailer and closes the file, reporting what fails. True when the file is complete (or
    // there was none to finish). The writer is closed afterwards; destruction calls it when not done.
    bool finish();

  private:
    // Frees the context and its streams; the I/O under it is OutputIo's.
    struct OutputCloser {
        void operator()(AVFormatContext* context) const;
    };
    struct FilterFree {
        void operator()(AVBSFContext* filter) const { av_bsf_free(&filter); }
    };

    // The last DTS of a track before and after the conversion to the output time base.
    struct DtsTrack {
        std::int64_t lastShiftedDts = AV_NOPTS_VALUE;
        std::int64_t lastDts = AV_NOPTS_VALUE;
    };

    // One output stream and how the packets of its input stream are carried over to it.
    struct Track {
        int inputIndex = -1;
        const AVStream* inputStream = nullptr;  // borrowed from the input, which outlives the writer
        AVStream* outStream = nullptr;          // owned by outputContext
        int outIndex = -1;
        std::optional<std::int64_t> base;  // what the track's timestamps count from; empty until known
        bool rescale = false;              // the muxer chose another time base: convert by mul / div
        std::int64_t tsMul = 1;
        std::int64_t tsDiv = 1;
        DtsTrack dtsTrack;
        bool aacFiltered = false;     // the packets pass the AAC filter first
        bool awaited = false;         // the moov waits (briefly) for the track's first packet
        bool lengthPrefixed = false;  // H.264 whose avcC the writer made: NAL units go with lengths
    };

    enum class Purpose { recording, trial };
    MovieWriter(const std::string& name, const Source& videoSource, const Source& audioSource,
                int (*onInterrupt)(void*), bool useAacFilter, Purpose purpose);

    // Set-up steps; each reports its own failure and returns false.
    bool setUp(const std::string& name, const AVCodecParameters* videoParams,
               const AVCodecParameters* audioParams, bool useAacFilter);
    bool addStream(const AVCodecParameters* input, int outIndex, Track& track);
    bool initAacFilter();
    bool openFile();
    int writeHeader();
    void reportRefusedHeader(int code);
    static void reportError(const std::string& message, int line);
    void reportFailure(const std::string& message, int code, int line);
    void reportCauseOf(const std::string& message, const std::string& reason, int line);
    void keepFragmentsDiscontinuous();
    bool needsAacFilter(const Track& track, const AVPacket& packet) const;
    static bool describedByFirstPacket(const Track& track);
    int handOver();
    bool finishFile();
    static void decideConversion(Track& track);
    static void keepConvertedDtsIncreasing(DtsTrack& track, std::int64_t shiftedDts, AVPacket& packet);
    int filterAudio(AVPacket* packet);
    void describeAvcForTheMuxer(Track& track);
    int prefixLengths(AVPacket* packet);

    // Declaration order is release order in reverse: the filter goes before the output context, the
    // context before its I/O.
    std::string fileName;
    OutputIo output;
    std::unique_ptr<AVFormatContext, OutputCloser> outputContext;
    std::unique_ptr<AVBSFContext, FilterFree> aacFilter;
    PacketPtr filtered;  // the filter's work packet, kept from one audio packet to the next
    std::vector<isobmff::NalUnit> nalUnits;  // those of the video packet at hand, kept for the next
    Track video;
    Track audio;  // also takes the packets of any other input stream
    AVIOInterruptCB interruptCallback;
    IntervalTimer ioTimer;
    FlushSchedule schedule;
    IntervalTimer clock{IntervalTimer::startNow};  // wall-clock time of the schedule
    std::optional<double> firstSeconds;            // stream time of the first packet muxed
    double latestSeconds = 0.0;
    bool useAacFlag = false;
    bool fragmented = false;  // an MP4-family file recorded as fragments
    bool fragmentsStarted = false;
    int discontinuityFlag = 0;  // the muxer's frag_discont bit
    int* movFlags = nullptr;    // the muxer's movflags, in its context
    Purpose purpose = Purpose::recording;
    bool trialPassed = false;
    bool open = false;
    bool fileFailed = false;  // a write or flush of the open file failed: it is closed as it is
    bool syncFailed = false;  // a flush to the disk failed: the file keeps what the last good one kept
};
