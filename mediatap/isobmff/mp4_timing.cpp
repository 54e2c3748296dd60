#include "isobmff/mp4_timing.h"

extern "C" {
#include <libavutil/mathematics.h>
}

namespace isobmff {

TrackTiming timingOf(const TrackInfo& track, const TrackSummary& samples, std::uint32_t movieTimescale) {
    TrackTiming timing;
    if (samples.samples == 0) {
        return timing;
    }
    std::uint64_t wait = 0;  // the recording's empty edits, in the movie's time scale
    std::int64_t mediaStart = 0;
    for (const Edit& edit : track.edits) {
        if (edit.mediaTime == -1) {
            wait += edit.duration;
        } else {
            mediaStart = edit.mediaTime;
            break;
        }
    }
    const std::int64_t composition = samples.firstCompositionOffset;
    // When the first sample is shown, in the track's time scale, before the recording's empty edits.
    const std::int64_t shown = samples.firstDecodeTime + composition - mediaStart;
    const std::int64_t waitTicks = static_cast<std::int64_t>(
        av_rescale_rnd(static_cast<std::int64_t>(wait), track.timescale, movieTimescale, AV_ROUND_DOWN));
    const std::int64_t start = waitTicks + shown;
    std::int64_t mediaTime = composition;
    if (start > 0) {
        const std::int64_t delay = static_cast<std::int64_t>(wait) +
                                   av_rescale_rnd(shown, movieTimescale, track.timescale, AV_ROUND_DOWN);
        if (delay > 0) {
            timing.edits.push_back(Edit{static_cast<std::uint64_t>(delay), -1});
        }
    } else {
        mediaTime = composition - start;  // cut what would be shown before the movie starts
    }
    const std::int64_t end = static_cast<std::int64_t>(samples.presentationEnd);
    const std::uint64_t shownLength =
        end > mediaTime ? static_cast<std::uint64_t>(
                              av_rescale_rnd(end - mediaTime, movieTimescale, track.timescale, AV_ROUND_UP))
                        : 0;
    timing.edits.push_back(Edit{shownLength, mediaTime});
    for (const Edit& edit : timing.edits) {
        timing.trackDuration += edit.duration;
    }
    timing.mediaDuration = end > composition ? static_cast<std::uint64_t>(end - composition) : 0;
    return timing;
}

}  // namespace isobmff
