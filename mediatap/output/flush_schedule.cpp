#include "output/flush_schedule.h"

bool FlushSchedule::packetMuxed(std::size_t track, std::optional<double> seconds, double nowMs) {
    if (!lastHandOverMs) {
        lastHandOverMs = nowMs;  // the first packet starts both clocks
        lastSyncMs = nowMs;
    }
    bool due = nowMs - *lastHandOverMs >= handOverMs;
    Track& kind = tracks[track < tracks.size() ? track : tracks.size() - 1];
    if (seconds) {
        kind.latest = seconds;
        if (!kind.handedOverAt) {
            kind.handedOverAt = seconds;
        }
        // A clock that jumps back counts like one that moves on: what is muxed meanwhile must not wait for
        // the old time to come round again.
        const double moved = *seconds - *kind.handedOverAt;
        due = due || moved >= handOverSeconds || moved <= -handOverSeconds;
    }
    return due;
}

bool FlushSchedule::handedOver(double nowMs) {
    for (Track& track : tracks) {
        track.handedOverAt = track.latest;
    }
    lastHandOverMs = nowMs;
    if (lastSyncMs && nowMs - *lastSyncMs < syncMs) {
        return false;
    }
    lastSyncMs = nowMs;
    return true;
}
