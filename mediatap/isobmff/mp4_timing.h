// The timing of a finished track's samples: its edit list and durations, from the recording's edits and
// what its fragments hold.
#pragma once

#include <cstdint>
#include <vector>

#include "isobmff/mp4_recording.h"
#include "isobmff/mp4_tables.h"

namespace isobmff {

// What the finished moov says of a track's time line.
struct TrackTiming {
    std::vector<Edit> edits;
    std::uint64_t trackDuration = 0;  // in the movie's time scale: the edits' sum
    std::uint64_t mediaDuration = 0;  // in the track's time scale
};

// The finished track's edit list, as the recording presents it: a track whose first sample is shown
// later than the movie's start gets an empty edit for the wait; one shown earlier has the part before
// the start cut. The recording's own edits (those of its moov, over the fragments' decode times) are
// carried over. Times that do not fall on the movie's time scale are rounded as FFmpeg's muxer rounds
// them: the wait down, the length up.
TrackTiming timingOf(const TrackInfo& track, const TrackSummary& samples, std::uint32_t movieTimescale);

}  // namespace isobmff
