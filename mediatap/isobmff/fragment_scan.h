// The samples of a fragmented MP4 file, as its movie fragments (moof: traf, tfhd, tfdt, trun) describe
// them, read from the file one fragment at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "isobmff/iso_box.h"

namespace isobmff {

// What a track's fragments leave out (its trex box in the movie's mvex).
struct TrackDefaults {
    std::uint32_t trackId = 0;
    std::uint32_t descriptionIndex = 1;
    std::uint32_t duration = 0;
    std::uint32_t size = 0;
    std::uint32_t flags = 0;
};

// Sample flags: the sample is not a sync sample.
constexpr std::uint32_t nonSyncSample = 0x00010000;

struct Sample {
    // The fragment's decode time plus the durations before it. Signed, as FFmpeg reads it: a muxer may
    // write a track that starts before zero that way.
    std::int64_t decodeTime = 0;
    std::uint32_t duration = 0;  // as its run gives it
    std::uint32_t size = 0;
    std::uint32_t flags = 0;
    std::int64_t compositionOffset = 0;
};

// One run of samples stored one after the other: a chunk of the finished file.
struct Chunk {
    std::uint64_t offset = 0;
    std::uint32_t samples = 0;
    std::uint32_t descriptionIndex = 1;
};

class FragmentVisitor {
  public:
    virtual ~FragmentVisitor() = default;
    // A run of the track at `track` (its position in the list handed to scanFragments), before its
    // samples.
    virtual void chunk(std::size_t track, const Chunk& run) = 0;
    virtual void sample(std::size_t track, const Sample& sample) = 0;
};

// Walks the top-level boxes of [begin, end) and hands every run and sample of the movie fragments to the
// visitor, in file order. Other boxes (the media data, free space) are stepped over. False at a box cut
// short, at a moov, at a fragment that cannot be read or understood, a track that is not in the list, a run
// whose data lies outside [begin, end), or when keepGoing answers false (it is asked once a fragment).
bool scanFragments(Bytes& file, std::uint64_t begin, std::uint64_t end,
                   const std::vector<TrackDefaults>& tracks, FragmentVisitor& visitor,
                   const std::function<bool()>& keepGoing);

}  // namespace isobmff
