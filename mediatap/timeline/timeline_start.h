// The start of a capture's time line, which all its outputs share: the earlier of the PTS of the first
// video packet the run passes on and the PTS of the first audio packet. Every packet keeps its distance
// from it, so audio and video stay as far apart as they were in the source.
//
// Packets arrive interleaved: a kind may show up a little before an earlier packet of the other kind. The
// start is settled once both kinds have shown their first PTS (or the input has no audio), or once the
// packets waiting for it span a second, or at the end of the input. Until then the driver holds the
// packets back from the writers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

extern "C" {
#include <libavutil/rational.h>
}

class TimelineStart {
  public:
    // A time stamp in its time base.
    struct Stamp {
        std::int64_t value = 0;
        AVRational base{1, 1};
    };

    explicit TimelineStart(bool hasAudio) : expectAudio(hasAudio) {}

    // Notes a packet passed on, with its PTS (FFmpeg's missing value when it has none) in its stream's time
    // base.
    void note(bool video, std::int64_t pts, AVRational base);
    // Settles the start with what is known: the input has ended.
    void settle() { done = true; }
    bool settled() const { return done; }
    // The start; nothing when no packet had a PTS.
    std::optional<Stamp> start() const;

  private:
    bool expectAudio;
    bool done = false;
    std::optional<Stamp> firstVideo;
    std::optional<Stamp> firstAudio;
    std::optional<double> earliest;  // seconds, of the packets waiting
    double latest = 0.0;
    std::size_t waiting = 0;
};
