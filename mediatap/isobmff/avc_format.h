// H.264 as the MP4 family holds it (ISO/IEC 14496-15): the AVC decoder configuration record of a stream
// whose parameter sets come as an Annex B byte stream, and its access units with each NAL unit behind a
// 4-byte length instead of a start code. A muxer given both copies the samples as they are instead of
// searching every byte of them for start codes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace isobmff {

// One NAL unit of an Annex B byte stream: where its first byte (the header) is, and its length.
struct NalUnit {
    std::size_t offset = 0;
    std::size_t size = 0;
};

// The NAL units of an Annex B buffer, in order, into units (cleared first). A unit runs from the byte
// after its start code to the next start code; of the zero bytes before a start code, one belongs to the
// start code (a 4-byte one) and any others to the unit before. Bytes before the first start code belong
// to no unit.
void findNalUnits(std::span<const std::uint8_t> data, std::vector<NalUnit>& units);

// The size of the units with a 4-byte length each.
std::size_t lengthPrefixedSize(const std::vector<NalUnit>& units);

// True when every unit's start code takes exactly the 4 bytes its length will (the first one at the
// start of data) and the last unit ends the buffer: the data can then be rewritten where it is.
bool rewritableInPlace(const std::vector<NalUnit>& units, std::size_t dataSize);

// Writes the units of source with their lengths to target, which holds lengthPrefixedSize(units) bytes.
// target may be source itself when rewritableInPlace.
void writeLengthPrefixed(const std::uint8_t* source, const std::vector<NalUnit>& units, std::uint8_t* target);

// The decoder configuration record (the payload of an avcC box) of Annex B parameter sets: every SPS,
// PPS and SPS extension in their order, with the profile, level, chroma format and bit depths of the
// first SPS. None when data does not start with a start code, or holds no SPS of at least its profile and
// level with a PPS, or more parameter sets or longer ones than the record can hold.
std::optional<std::vector<std::uint8_t>> avcConfigurationOf(std::span<const std::uint8_t> data);

}  // namespace isobmff
