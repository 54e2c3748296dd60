// The packet loop of a capture: reads the input and passes each packet of the chosen streams on to the
// logs and the writers.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>

#include "diagnostics/status_line.h"
#include "input_open.h"
#include "outputs.h"
#include "timeline/timeline_start.h"
#include "timeline/timestamp_repair.h"

namespace driver {

// The time base of a stream, or none without a stream.
TimeBase timeBaseOf(const AVStream* stream);

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

// A packet passed on that waits for the start of the time line before it goes to the writers.
struct Waiting {
    const Route* route;
    PacketPtr packet;
};

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
    std::optional<LoopEnd> afterFailedRead(int result, const IntervalTimer& sinceLastPacket);
    bool passOnRead();
    LoopEnd stalled();
    void warnOfSilentAudio() const;
    bool passOn(const Route& route, Progress& progress);
    bool toWriters(const Route& route);
    bool write(const Route& route, AVPacket& passed);
    bool releaseWaiting();
    void showStatus();
};

// The loop, then what still waits for the start of the time line goes to the writers, however the loop

}  // namespace driver
