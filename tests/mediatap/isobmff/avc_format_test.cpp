// H.264 access units and parameter sets as the MP4 family holds them: where the NAL units of an Annex B
// buffer begin and end, when they can be rewritten in place, and which parameter sets get no record.
#include "isobmff/avc_format.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

// Each unit as "offset+size", then what the length-prefixed form is: "=" rewritten in place, ">" copied.
std::string unitsOf(const std::vector<std::uint8_t>& data) {
    std::vector<isobmff::NalUnit> units;
    isobmff::findNalUnits(data, units);
    std::string seen;
    for (const isobmff::NalUnit& unit : units) {
        seen += std::to_string(unit.offset) + "+" + std::to_string(unit.size) + " ";
    }
    return seen + (isobmff::rewritableInPlace(units, data.size()) ? "=" : ">") +
           std::to_string(isobmff::lengthPrefixedSize(units));
}

struct UnitsCase {
    const char* name;
    std::vector<std::uint8_t> data;
    std::string expected;
};

}  // namespace

TEST(NalUnits, EndWhereTheNextStartCodeBegins) {
    const std::vector<UnitsCase> cases{
        {"4-byte start codes", {0, 0, 0, 1, 0x09, 0xF0, 0, 0, 0, 1, 0x41, 0x9A, 0x22}, "4+2 10+3 =13"},
        {"3-byte start code", {0, 0, 0, 1, 0x09, 0xF0, 0, 0, 1, 0x41, 0x9A}, "4+2 9+2 >12"},
        // Of the zero bytes before a start code, one is the start code's; the others stay with the unit.
        {"trailing zero bytes", {0, 0, 1, 0x67, 0x42, 0, 0, 0, 0, 1, 0x68}, "3+3 10+1 >12"},
        {"bytes before the first start code", {0x55, 0, 0, 0, 1, 0x65, 0x88}, "5+2 >6"},
        {"two start codes in a row", {0, 0, 0, 1, 0, 0, 1, 0x65}, "4+0 7+1 >9"},
        {"an emulation prevention byte", {0, 0, 0, 1, 0x65, 0, 0, 3, 1}, "4+5 =9"},
        {"a start code at the very end", {0, 0, 0, 1, 0x65, 0x88, 0, 0, 1}, "4+2 >6"},
        {"no start code", {0x65, 0x88, 0x80, 0, 0}, ">0"},
    };
    for (const UnitsCase& tested : cases) {
        EXPECT_EQ(unitsOf(tested.data), tested.expected) << tested.name;
    }
}

TEST(AvcConfiguration, IsLeftToTheMuxerForWhatTheRecordCannotHold) {
    const std::vector<std::uint8_t> sps{0, 0, 0, 1, 0x67, 0x42, 0xC0, 0x0B, 0xD9};
    const std::vector<std::uint8_t> pps{0, 0, 0, 1, 0x68, 0xCE, 0x3C, 0x80};
    std::vector<std::uint8_t> both = sps;
    both.insert(both.end(), pps.begin(), pps.end());
    const std::optional<std::vector<std::uint8_t>> record = isobmff::avcConfigurationOf(both);
    ASSERT_TRUE(record.has_value());
    EXPECT_EQ(*record,
              (std::vector<std::uint8_t>{1,    0x42, 0xC0, 0x0B, 0xFF, 0xE1, 0,    5,    0x67, 0x42,
                                         0xC0, 0x0B, 0xD9, 1,    0,    4,    0x68, 0xCE, 0x3C, 0x80}));

    // A High profile SPS cut off before its chroma format; an SPS without its PPS; a record already.
    const std::vector<std::uint8_t> cutShort{0, 0, 0, 1, 0x67, 0x64, 0,    0x1F,
                                             0, 0, 0, 1, 0x68, 0xCE, 0x3C, 0x80};
    EXPECT_FALSE(isobmff::avcConfigurationOf(cutShort).has_value());
    EXPECT_FALSE(isobmff::avcConfigurationOf(sps).has_value());
    EXPECT_FALSE(isobmff::avcConfigurationOf(*record).has_value());
}
