// When a media writer hands what it has muxed to the system, which is what survives a killed process,
// and when it also has the system put it on the disk, which is what survives a power cut.
#pragma once

#include <array>
#include <cstddef>
#include <optional>

class FlushSchedule {
  public:
    // Stream time a track may run ahead of the last hand-over: well under the second a kill may cost,
    // what is still in the muxer's queue and fragment included.
    static constexpr double handOverSeconds = 0.5;
    // The same in wall-clock time, for timestamps that stand still.
    static constexpr double handOverMs = 1000.0;
    // Least wall-clock time between two flushes to the disk. Hand-overs come at least once a second while
    // packets arrive, and a source that sends nothing for five seconds ends the run.
    static constexpr double syncMs = 2000.0;

    // Notes a packet of track (0 or 1) that the muxer took, with its stream time in seconds when it has
    // one, at wall-clock time nowMs. True when what was muxed should now be handed over.
    bool packetMuxed(std::size_t track, std::optional<double> seconds, double nowMs);
    // Notes a hand-over at nowMs. True when the file should now also be flushed to the disk.
    bool handedOver(double nowMs);

  private:
    struct Track {
        std::optional<double> handedOverAt;  // stream time of the track at the last hand-over
        std::optional<double> latest;
    };
    std::array<Track, 2> tracks;
    std::optional<double> lastHandOverMs;
    std::optional<double> lastSyncMs;
};
