#include "timeline/timeline_start.h"

#include <algorithm>
#include <climits>

extern "C" {
#include <libavutil/mathematics.h>
}

namespace {

// How long packets may wait for the other kind's first one, in seconds of stream time, and at most how
// many (when their time stamps say nothing).
constexpr double waitSeconds = 1.0;
constexpr std::size_t waitPackets = 2000;

constexpr std::int64_t missing = INT64_MIN;

}  // namespace

void TimelineStart::note(bool video, std::int64_t pts, AVRational base) {
    if (done) {
        return;
    }
    ++waiting;
    if (pts != missing) {
        std::optional<Stamp>& first = video ? firstVideo : firstAudio;
        if (!first) {
            first = Stamp{pts, base};
        }
        const double seconds = static_cast<double>(pts) * av_q2d(base);
        latest = earliest ? std::max(latest, seconds) : seconds;
        earliest = std::min(earliest.value_or(seconds), seconds);
    }
    const bool bothKnown = firstVideo && (firstAudio || !expectAudio);
    const bool waitedEnough = (earliest && latest - *earliest >= waitSeconds) || waiting >= waitPackets;
    done = bothKnown || waitedEnough;
}

std::optional<TimelineStart::Stamp> TimelineStart::start() const {
    if (!firstVideo || !firstAudio) {
        return firstVideo ? firstVideo : firstAudio;
    }
    return av_compare_ts(firstVideo->value, firstVideo->base, firstAudio->value, firstAudio->base) <= 0
               ? firstVideo
               : firstAudio;
}
