// Rewrites the tag timestamps of FLV files made by the ffmpeg program, to make inputs with broken
// timestamps that ffmpeg itself would never write: repeated, decreasing, negative and missing ones, PTS
// before DTS, and a video stream that starts without a key frame.
//
// In FLV the tag time (32 bits, milliseconds) is the DTS; a video tag of H.264 adds a signed 24-bit
// composition time offset, and the demuxer gives PTS = DTS + offset. It gives no timestamps at all for a
// video tag whose offset is more than 15 minutes, and negative ones for tag times just below 2^32 at
// the start of the file.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace flv_file {

struct MediaTag {
    bool video = false;       // else audio
    int index = 0;            // among the frame-carrying tags of its kind, in file order
    bool key = false;         // video: frame type 1
    std::int64_t time = 0;    // DTS in ms, written as 32 bits (two's complement)
    std::int32_t offset = 0;  // video: composition time offset in ms, written as signed 24 bits
};

// Offset that makes the demuxer drop both timestamps of a video tag.
constexpr std::int32_t noTimestamps = 0x7FFFFF;

// Copies an FLV file, handing each frame-carrying audio and video tag to edit, which may change its
// time and offset, or return false to leave the tag out. Headers, codec set-up tags and metadata pass
// unchanged. Returns false when the input is not an FLV file or cannot be read or written.
bool rewrite(const std::string& in, const std::string& out, const std::function<bool(MediaTag&)>& edit);

}  // namespace flv_file
