#include "isobmff/avc_format.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "isobmff/iso_box.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace isobmff {

namespace {

// The first start code (00 00 01) at or after from, by its first byte; data.size() when there is none.
// In coded data two zero bytes in a row come only before a start code or an emulation prevention byte, so
// the search looks for them 16 positions at a time where the processor has the instructions for it. The
// rest it leaves to the C library's fast search for the 01 byte, which in coded data comes about once in
// 256.
std::size_t findStartCode(std::span<const std::uint8_t> data, std::size_t from) {
    const std::uint8_t* bytes = data.data();
    const std::size_t size = data.size();
    std::size_t at = from;
#if defined(__SSE2__)
    const __m128i zero = _mm_setzero_si128();
    for (; at + 18 <= size; at += 16) {  // two loads of 16 from at and at + 1, and the 01 after the last pair
        const __m128i here = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + at));
        const __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + at + 1));
        auto pairs = static_cast<unsigned>(
            _mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(here, zero), _mm_cmpeq_epi8(next, zero))));
        for (; pairs != 0; pairs &= pairs - 1) {
            const std::size_t pair = at + static_cast<std::size_t>(__builtin_ctz(pairs));
            if (bytes[pair + 2] == 1) {
                return pair;
            }
        }
    }
#endif
    std::size_t candidate = at + 2;
    while (candidate < size) {
        const void* found = std::memchr(bytes + candidate, 1, size - candidate);
        if (found == nullptr) {
            break;
        }
        const auto one = static_cast<std::size_t>(static_cast<const std::uint8_t*>(found) - bytes);
        if (bytes[one - 1] == 0 && bytes[one - 2] == 0) {
            return one - 2;
        }
        candidate = one + 3;  // the next 01 of a start code needs two zero bytes after this one
    }
    return size;
}

// The start code at or after from with the zero byte before it, when there is one after from: a 4-byte
// start code.
std::size_t findUnitEnd(std::span<const std::uint8_t> data, std::size_t from) {
    const std::size_t code = findStartCode(data, from);
    return code > from && code < data.size() && data[code - 1] == 0 ? code - 1 : code;
}

void putBigEndian32(std::uint8_t* target, std::size_t value) {
    target[0] = static_cast<std::uint8_t>(value >> 24);
    target[1] = static_cast<std::uint8_t>(value >> 16);
    target[2] = static_cast<std::uint8_t>(value >> 8);
    target[3] = static_cast<std::uint8_t>(value);
}

// The bits of a NAL unit's payload without its emulation prevention bytes (the 03 of 00 00 03), read
// from the most significant bit of each byte on. Reading past the end fails.
class PayloadBits {
  public:
    explicit PayloadBits(std::span<const std::uint8_t> payload) : bytes(payload) {}

    std::optional<std::uint32_t> bits(int count) {
        std::uint32_t value = 0;
        for (int bit = 0; bit < count; ++bit) {
            if (bitsLeft == 0 && !nextByte()) {
                return std::nullopt;
            }
            --bitsLeft;
            value = (value << 1) | ((current >> bitsLeft) & 1U);
        }
        return value;
    }

    // An unsigned Exp-Golomb code, ue(v).
    std::optional<std::uint32_t> unsignedGolomb() {
        int zeros = 0;
        for (;;) {
            const std::optional<std::uint32_t> bit = bits(1);
            if (!bit) {
                return std::nullopt;
            }
            if (*bit == 1) {
                break;
            }
            if (++zeros > 31) {
                return std::nullopt;
            }
        }
        const std::optional<std::uint32_t> rest = bits(zeros);
        if (!rest) {
            return std::nullopt;
        }
        return static_cast<std::uint32_t>((std::uint64_t{1} << zeros) - 1 + *rest);
    }

  private:
    bool nextByte() {
        if (next < bytes.size() && zerosBefore >= 2 && bytes[next] == 3) {
            ++next;
            zerosBefore = 0;
        }
        if (next >= bytes.size()) {
            return false;
        }
        current = bytes[next++];
        zerosBefore = current == 0 ? zerosBefore + 1 : 0;
        bitsLeft = 8;
        return true;
    }

    std::span<const std::uint8_t> bytes;
    std::size_t next = 0;
    int zerosBefore = 0;
    std::uint8_t current = 0;
    int bitsLeft = 0;
};

struct SequenceFormat {
    std::uint32_t chromaFormat = 1;
    std::uint32_t lumaDepthMinus8 = 0;
    std::uint32_t chromaDepthMinus8 = 0;
};

// The profiles whose SPS codes the chroma format and the bit depths (H.264, 7.3.2.1.1); the others have
// 4:2:0 at 8 bits.
bool codesChromaFormat(std::uint32_t profile) {
    constexpr std::array<std::uint32_t, 12> profiles{100, 110, 122, 244, 44, 83, 86, 118, 128, 138, 139, 134};
    return std::ranges::find(profiles, profile) != profiles.end();
}

// The chroma format and bit depths of an SPS (its NAL unit header included); none when it is cut short
// or they are out of range.
std::optional<SequenceFormat> sequenceFormatOf(std::span<const std::uint8_t> sps) {
    PayloadBits payload{sps.subspan(1)};
    const std::optional<std::uint32_t> profile = payload.bits(8);
    if (!profile || !payload.bits(16) || !payload.unsignedGolomb()) {  // flags and level, then the SPS id
        return std::nullopt;
    }
    SequenceFormat format;
    if (codesChromaFormat(*profile)) {
        const std::optional<std::uint32_t> chroma = payload.unsignedGolomb();
        if (!chroma || *chroma > 3 || (*chroma == 3 && !payload.bits(1))) {  // separate_colour_plane_flag
            return std::nullopt;
        }
        const std::optional<std::uint32_t> luma = payload.unsignedGolomb();
        const std::optional<std::uint32_t> chromaDepth = luma ? payload.unsignedGolomb() : std::nullopt;
        if (!chromaDepth || *luma > 7 || *chromaDepth > 7) {
            return std::nullopt;
        }
        format = SequenceFormat{*chroma, *luma, *chromaDepth};
    }
    return format;
}

// Appends each unit behind its 16-bit length.
void appendSets(FieldWriter& record, std::span<const std::uint8_t> data, const std::vector<NalUnit>& sets) {
    for (const NalUnit& set : sets) {
        record.u16(static_cast<std::uint32_t>(set.size));
        record.bytes(data.data() + set.offset, set.size);
    }
}

}  // namespace

void findNalUnits(std::span<const std::uint8_t> data, std::vector<NalUnit>& units) {
    units.clear();
    const std::size_t size = data.size();
    std::size_t start = findUnitEnd(data, 0);
    for (;;) {
        // Past the start code: its zero bytes, then its 01.
        while (start < size && data[start++] == 0) {
        }
        if (start == size) {
            return;
        }
        const std::size_t end = findUnitEnd(data, start);
        units.push_back(NalUnit{start, end - start});
        start = end;
    }
}

std::size_t lengthPrefixedSize(const std::vector<NalUnit>& units) {
    std::size_t size = 0;
    for (const NalUnit& unit : units) {
        size += 4 + unit.size;
    }
    return size;
}

bool rewritableInPlace(const std::vector<NalUnit>& units, std::size_t dataSize) {
    std::size_t end = 0;
    for (const NalUnit& unit : units) {
        if (unit.offset != end + 4) {
            return false;
        }
        end = unit.offset + unit.size;
    }
    return end == dataSize;
}

void writeLengthPrefixed(const std::uint8_t* source, const std::vector<NalUnit>& units,
                         std::uint8_t* target) {
    std::size_t at = 0;
    for (const NalUnit& unit : units) {
        putBigEndian32(target + at, unit.size);
        if (target + at + 4 != source + unit.offset) {
            std::memcpy(target + at + 4, source + unit.offset, unit.size);
        }
        at += 4 + unit.size;
    }
}

std::optional<std::vector<std::uint8_t>> avcConfigurationOf(std::span<const std::uint8_t> data) {
    constexpr std::uint8_t spsType = 7;
    constexpr std::uint8_t ppsType = 8;
    constexpr std::uint8_t spsExtensionType = 13;
    constexpr std::size_t maxSps = 31;  // the record's 5-bit count
    constexpr std::size_t maxSets = 255;
    constexpr std::size_t maxSetSize = 65535;
    const bool startCode =
        data.size() > 6 && data[0] == 0 && data[1] == 0 && (data[2] == 1 || (data[2] == 0 && data[3] == 1));
    if (!startCode) {
        return std::nullopt;
    }
    std::vector<NalUnit> units;
    findNalUnits(data, units);
    std::vector<NalUnit> sps;
    std::vector<NalUnit> pps;
    std::vector<NalUnit> extensions;
    for (const NalUnit& unit : units) {
        if (unit.size == 0 || unit.size > maxSetSize) {
            return std::nullopt;
        }
        const std::uint8_t type = data[unit.offset] & 0x1F;
        if (type == spsType) {
            sps.push_back(unit);
        } else if (type == ppsType) {
            pps.push_back(unit);
        } else if (type == spsExtensionType) {
            extensions.push_back(unit);
        }
    }
    if (sps.empty() || sps.size() > maxSps || sps.front().size < 4 || pps.empty() || pps.size() > maxSets ||
        extensions.size() > maxSets) {
        return std::nullopt;
    }
    const std::span<const std::uint8_t> first = data.subspan(sps.front().offset, sps.front().size);
    FieldWriter record;
    record.u8(1);                       // the record's version
    record.bytes(first.data() + 1, 3);  // profile, its compatibility flags, level
    record.u8(0xFF);                    // 4-byte lengths
    record.u8(static_cast<std::uint32_t>(0xE0 | sps.size()));
    appendSets(record, data, sps);
    record.u8(static_cast<std::uint32_t>(pps.size()));
    appendSets(record, data, pps);
    // Baseline, Main and Extended end there; the others give their chroma format and bit depths.
    if (first[1] != 66 && first[1] != 77 && first[1] != 88) {
        const std::optional<SequenceFormat> format = sequenceFormatOf(first);
        if (!format) {
            return std::nullopt;
        }
        record.u8(0xFC | format->chromaFormat);
        record.u8(0xF8 | format->lumaDepthMinus8);
        record.u8(0xF8 | format->chromaDepthMinus8);
        record.u8(static_cast<std::uint32_t>(extensions.size()));
        appendSets(record, data, extensions);
    }
    return record.data();
}

}  // namespace isobmff
