// Reading a recording in movie fragments before it is finished: its moov, held in memory, and what that
// says of the tracks (their time scales, edits, fragment defaults, whether they are AAC).
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "diagnostics/output_file.h"
#include "isobmff/fragment_scan.h"
#include "isobmff/iso_box.h"

namespace isobmff {

struct Edit {
    std::uint64_t duration = 0;  // in the movie's time scale
    std::int64_t mediaTime = 0;  // -1: an empty edit
};

// One track as the recording's own moov describes it.
struct TrackInfo {
    Box trak;
    std::uint32_t timescale = 0;
    std::vector<Edit> edits;
    bool aac = false;
    TrackDefaults defaults;
};

// What the file holds before it is finished.
struct Recording {
    Box moov;  // the recording's moov, which becomes the start of the mdat
    std::vector<std::uint8_t> moovBytes;
    std::uint32_t movieTimescale = 0;
    std::vector<TrackInfo> tracks;
    std::uint64_t end = 0;  // of the last fragment: where the new moov goes
};

// Boxes of the recording's moov, held in memory.
class MoovBytes {
  public:
    explicit MoovBytes(const Recording& recording)
        : in(recording.moovBytes, recording.moov.offset),
          base(recording.moov.offset),
          block(recording.moovBytes) {}

    std::vector<Box> boxesIn(std::uint64_t begin, std::uint64_t end) {
        std::vector<Box> boxes;
        BoxIterator it(in, begin, end);
        while (const std::optional<Box> box = it.next()) {
            boxes.push_back(*box);
        }
        return boxes;
    }
    std::vector<Box> children(const Box& parent) { return boxesIn(parent.payload(), parent.end()); }
    std::optional<Box> findIn(std::uint64_t begin, std::uint64_t end, std::uint32_t type) {
        for (const Box& box : boxesIn(begin, end)) {
            if (box.type == type) {
                return box;
            }
        }
        return std::nullopt;
    }
    std::optional<Box> child(const Box& parent, std::uint32_t type) {
        return findIn(parent.payload(), parent.end(), type);
    }
    FieldReader fields(const Box& box) const { return payloadReader(block, base, box); }
    const std::uint8_t* at(const Box& box) const { return block.data() + (box.offset - base); }

  private:
    MemoryBytes in;
    std::uint64_t base;
    const std::vector<std::uint8_t>& block;
};

// Finds the recording's moov among the top-level boxes and reads what it says of the tracks. Nothing when
// the file is not such a recording, or its moov is larger than the step reads (tooLarge is set then). The
// boxes after the moov are left to the reading of the fragments (scanFragments), which checks them.
std::optional<Recording> readRecording(RandomAccessFile& file, bool& tooLarge);

}  // namespace isobmff
