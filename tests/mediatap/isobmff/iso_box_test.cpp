// The box iterator of the MP4 finishing step, on whole, 64-bit, open-ended and cut-short boxes.
#include "isobmff/iso_box.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

using isobmff::Box;
using isobmff::BoxIterator;
using isobmff::fourcc;
using isobmff::MemoryBytes;

namespace {

std::vector<std::uint8_t> bytesOf(std::initializer_list<unsigned> values) {
    std::vector<std::uint8_t> bytes;
    for (const unsigned value : values) {
        bytes.push_back(static_cast<std::uint8_t>(value));
    }
    return bytes;
}

// "type:offset+size/header", one per box, then "!" when the iterator stopped at a broken header.
std::string walk(const std::vector<std::uint8_t>& data, std::uint64_t base) {
    MemoryBytes bytes(data, base);
    BoxIterator boxes(bytes, base, base + data.size());
    std::string seen;
    while (const std::optional<Box> box = boxes.next()) {
        seen += isobmff::typeName(box->type) + ":" + std::to_string(box->offset) + "+" +
                std::to_string(box->size) + "/" + std::to_string(box->headerSize) + " ";
    }
    return seen + (boxes.failed() ? "!" : "");
}

struct IteratorCase {
    const char* name;
    std::vector<std::uint8_t> data;
    std::string expected;
};

}  // namespace

TEST(BoxIterator, YieldsEachBoxAndStopsAtOneCutShort) {
    const IteratorCase cases[] = {
        {"two boxes", bytesOf({0, 0, 0, 8, 'f', 'r', 'e', 'e', 0, 0, 0, 10, 'm', 'd', 'a', 't', 1, 2}),
         "free:100+8/8 mdat:108+10/8 "},
        {"64-bit size", bytesOf({0, 0, 0, 1, 'm', 'd', 'a', 't', 0, 0, 0, 0, 0, 0, 0, 18, 7, 7}),
         "mdat:100+18/16 "},
        {"size 0 runs to the end",
         bytesOf({0, 0, 0, 8, 'f', 't', 'y', 'p', 0, 0, 0, 0, 'm', 'd', 'a', 't', 5, 5, 5}),
         "ftyp:100+8/8 mdat:108+11/8 "},
        {"header cut short", bytesOf({0, 0, 0, 8, 'f', 'r', 'e', 'e', 0, 0, 0}), "free:100+8/8 !"},
        {"64-bit size cut short", bytesOf({0, 0, 0, 1, 'm', 'd', 'a', 't', 0, 0}), "!"},
        {"size beyond the end", bytesOf({0, 0, 0, 8, 'f', 'r', 'e', 'e', 0, 0, 0, 12, 'm', 'o', 'o', 'f', 1}),
         "free:100+8/8 !"},
        {"size smaller than its header", bytesOf({0, 0, 0, 4, 'f', 'r', 'e', 'e'}), "!"},
        {"64-bit size smaller than its header",
         bytesOf({0, 0, 0, 1, 'm', 'd', 'a', 't', 0, 0, 0, 0, 0, 0, 0, 8}), "!"},
        {"nothing", {}, ""},
    };
    for (const IteratorCase& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(walk(c.data, 100), c.expected);
    }
}

TEST(BoxIterator, FindsChildrenAndReadsFieldsBigEndian) {
    // moov { mvhd (version 0, time scale 1000), trak {} }
    const std::vector<std::uint8_t> data =
        bytesOf({0, 0, 0, 36, 'm', 'o', 'o', 'v', 0, 0,    0, 20, 'm', 'v', 'h', 'd', 0,   0,
                 0, 0, 0, 0,  0,   0,   0,   0,   3, 0xE8, 0, 0,  0,   8,   't', 'r', 'a', 'k'});
    MemoryBytes bytes(data, 0);
    BoxIterator top(bytes, 0, data.size());
    const std::optional<Box> moov = top.next();
    ASSERT_TRUE(moov);
    EXPECT_EQ(moov->type, fourcc("moov"));
    const std::optional<Box> mvhd = isobmff::findChild(bytes, *moov, fourcc("mvhd"));
    ASSERT_TRUE(mvhd);
    isobmff::FieldReader fields(data, static_cast<std::size_t>(mvhd->payload()),
                                static_cast<std::size_t>(mvhd->end()));
    EXPECT_EQ(fields.u32(), 0u);
    EXPECT_EQ(fields.u32(), 0u);
    EXPECT_EQ(fields.u32(), 1000u);
    EXPECT_TRUE(fields.ok());
    EXPECT_EQ(fields.u32(), 0u);  // past the box
    EXPECT_FALSE(fields.ok());
    EXPECT_TRUE(isobmff::findChild(bytes, *moov, fourcc("trak")));
    EXPECT_FALSE(isobmff::findChild(bytes, *moov, fourcc("mvex")));
}

TEST(FieldWriter, PatchesBoxSizesAroundHoles) {
    isobmff::FieldWriter out;
    const isobmff::FieldWriter::Mark outer = out.open(fourcc("stbl"));
    out.u32(7);
    const isobmff::FieldWriter::Hole hole = out.reserve(100);
    out.u16(1);
    ASSERT_TRUE(out.close(outer));
    EXPECT_EQ(out.size(), 8u + 4 + 100 + 2);
    EXPECT_EQ(hole.index, 12u);
    EXPECT_EQ(hole.offset, 12u);
    EXPECT_EQ(out.data(), bytesOf({0, 0, 0, 114, 's', 't', 'b', 'l', 0, 0, 0, 7, 0, 1}));
}
