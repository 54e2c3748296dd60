// The finishing step of a recording in fragments, on small fragmented files made by ffmpeg's own muxer:
// the finished file is a standard one with the same packets, every file it leaves when cut off after any
// of its writes still plays, and a file it cannot finish is left as it was.
#include "isobmff/mp4_finish.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "isobmff/iso_box.h"
#include "media_fixture.h"
#include "read_file.h"

namespace fs = std::filesystem;
using isobmff::Box;
using isobmff::fourcc;
using media_fixture::makeMedia;
using media_fixture::pathFor;
using media_fixture::quotePath;

namespace {

const char* const sources =
    "-f lavfi -i testsrc2=size=160x120:rate=25:duration=3 -f lavfi -i sine=frequency=440:duration=3 "
    "-c:v libx264 -preset ultrafast -g 25 -bf 2 -c:a aac ";
// What ffmpeg's muxer needs to record the way the writer does: fragments of half a second, the moov
// after the first ones, no index at the end.
const char* const fragments = "-movflags +delay_moov+skip_trailer+frag_discont -frag_duration 500000 ";

// Every packet of every stream, "stream,pts,dts,size,key" one per line, streams one after the other. A
// packet that an edit list trims is listed as it is stored.
std::string packetTable(const std::string& path) {
    std::string table;
    for (int stream = 0; stream < 2; ++stream) {
        std::string out;
        media_fixture::runCommand("ffprobe -v error -select_streams " + std::to_string(stream) +
                                      " -show_entries packet=stream_index,pts,dts,size,flags -of csv=p=0 " +
                                      quotePath(path),
                                  &out);
        std::istringstream lines(out);
        std::string line;
        while (std::getline(lines, line)) {
            const std::size_t flags = line.rfind(',', line.find_last_not_of(','));
            if (line.empty() || flags == std::string::npos) {
                continue;  // a side data line
            }
            table +=
                line.substr(0, flags + 1) + (line.find('K', flags) != std::string::npos ? "K" : "_") + "\n";
        }
    }
    return table;
}

std::vector<Box> topLevel(RandomAccessFile& file) {
    isobmff::FileBytes bytes(file);
    isobmff::BoxIterator it(bytes, 0, file.size().value_or(0));
    std::vector<Box> boxes;
    while (const std::optional<Box> box = it.next()) {
        boxes.push_back(*box);
    }
    return boxes;
}

std::string topLevelTypes(const std::string& path) {
    OutputFile file;
    if (!file.open(path)) {
        return "unreadable";
    }
    std::string types;
    for (const Box& box : topLevel(file)) {
        if (!types.empty()) {
            types += ' ';
        }
        types += isobmff::typeName(box.type);
    }
    return types;
}

// Facts of the first moov: its mvhd duration in its time scale, whether it has an mvex, and the sample
// counts of its tracks' stsz and whether they use co64.
struct MoovFacts {
    std::uint64_t duration = 0;
    std::uint32_t timescale = 0;
    bool mvex = false;
    std::vector<std::uint32_t> samples;
    bool co64 = false;
};

MoovFacts moovFacts(const std::string& path) {
    MoovFacts facts;
    OutputFile file;
    if (!file.open(path)) {
        return facts;
    }
    isobmff::FileBytes bytes(file);
    for (const Box& box : topLevel(file)) {
        if (box.type != fourcc("moov")) {
            continue;
        }
        std::vector<std::uint8_t> block(static_cast<std::size_t>(box.size));
        if (!file.readAt(box.offset, block.data(), block.size())) {
            return facts;
        }
        isobmff::MemoryBytes in(block, box.offset);
        const auto fields = [&](const Box& child) {
            return isobmff::payloadReader(block, box.offset, child);
        };
        if (const std::optional<Box> mvhd = isobmff::findChild(in, box, fourcc("mvhd"))) {
            isobmff::FieldReader header = fields(*mvhd);
            const bool wide = header.u8() == 1;
            header.skip(3 + (wide ? 16 : 8));
            facts.timescale = header.u32();
            facts.duration = wide ? header.u64() : header.u32();
        }
        facts.mvex = isobmff::findChild(in, box, fourcc("mvex")).has_value();
        isobmff::BoxIterator traks(in, box.payload(), box.end());
        while (const std::optional<Box> trak = traks.next()) {
            if (trak->type != fourcc("trak")) {
                continue;
            }
            std::optional<Box> at = trak;
            for (const std::uint32_t type : {fourcc("mdia"), fourcc("minf"), fourcc("stbl")}) {
                at = at ? isobmff::findChild(in, *at, type) : std::nullopt;
            }
            if (!at) {
                continue;
            }
            if (const std::optional<Box> stsz = isobmff::findChild(in, *at, fourcc("stsz"))) {
                isobmff::FieldReader table = fields(*stsz);
                table.skip(8);
                facts.samples.push_back(table.u32());
            }
            facts.co64 = facts.co64 || isobmff::findChild(in, *at, fourcc("co64")).has_value();
        }
        break;
    }
    return facts;
}

// Copies a file over another (std::filesystem's copy cannot replace a file with MinGW's library).
void copyFile(const std::string& from, const std::string& to) {
    std::ofstream(to, std::ios::binary | std::ios::trunc) << readFile(from);
}

bool finish(
    const std::string& path, const std::function<bool()>& keepGoing = [] { return true; }) {
    OutputFile file;
    return file.open(path) &&
           isobmff::finishFragmentedMp4(file, keepGoing) == isobmff::FinishOutcome::finished;
}

// A file that dies after a given number of writes: from then on nothing reaches it, as when the process
// is killed, so nothing is undone either.
class CutOffFile final : public RandomAccessFile {
  public:
    CutOffFile(OutputFile& target, int writes) : file(target), writesLeft(writes) {}
    bool readAt(std::uint64_t offset, void* data, std::size_t size) override {
        return alive() && file.readAt(offset, data, size);
    }
    bool writeAt(std::uint64_t offset, const void* data, std::size_t size) override {
        if (!alive()) {
            return false;
        }
        ++written;
        --writesLeft;
        return file.writeAt(offset, data, size);
    }
    std::optional<std::uint64_t> size() override { return alive() ? file.size() : std::nullopt; }
    bool truncate(std::uint64_t size) override { return alive() && file.truncate(size); }
    bool sync() override { return alive() && file.sync(); }
    int writes() const { return written; }

  private:
    bool alive() const { return writesLeft > 0; }

    OutputFile& file;
    int writesLeft;
    int written = 0;
};

struct FileCase {
    const char* name;
    std::string file;  // an output name
    std::string args;  // of ffmpeg, the output's options last
    double seconds;    // how long the longest stream lasts, as made
};

void PrintTo(const FileCase& c, std::ostream* out) {
    *out << c.name;
}

std::string makeRecording(const FileCase& c) {
    return makeMedia(c.file, c.args);
}

class Finish : public testing::TestWithParam<FileCase> {};

// Seconds of a time stamp in a stream's time base ("1/90000").
double seconds(std::int64_t stamp, const std::string& timeBase) {
    const std::size_t slash = timeBase.find('/');
    return static_cast<double>(stamp) * std::stod(timeBase.substr(0, slash)) /
           std::stod(timeBase.substr(slash + 1));
}

// Where each stream's presentation starts, in seconds, as ffprobe reads the file, and its packets; a
// start before zero counts as zero, since an edit list cuts it there.
struct Span {
    double start = 0.0;
    std::size_t packets = 0;
};
std::vector<Span> spans(const std::string& path) {
    std::vector<Span> result;
    for (const media_fixture::StreamFacts& stream : media_fixture::probe(path).streams) {
        Span span;
        span.start = std::max(0.0, seconds(stream.startPts.value_or(0), stream.timeBase));
        span.packets = media_fixture::probePackets(path, stream.index).size();
        result.push_back(span);
    }
    return result;
}

}  // namespace

// The finished file: ftyp, one mdat, the moov last, no mvex; every packet as the fragments had it; each
// stream starting where it started; the movie as long as its longest stream, every sample in stsz.
TEST_P(Finish, MakesAStandardFileOfTheSamePackets) {
    const std::string path = makeRecording(GetParam());
    const std::string before = packetTable(path);
    const std::vector<Span> recorded = spans(path);
    ASSERT_TRUE(moovFacts(path).mvex);

    ASSERT_TRUE(finish(path));

    EXPECT_EQ(topLevelTypes(path), "ftyp mdat moov");
    const MoovFacts facts = moovFacts(path);
    EXPECT_FALSE(facts.mvex);
    EXPECT_EQ(packetTable(path), before);
    const std::vector<Span> finished = spans(path);
    ASSERT_EQ(finished.size(), recorded.size());
    std::vector<std::uint32_t> counts;
    for (std::size_t i = 0; i < finished.size(); ++i) {
        EXPECT_NEAR(finished[i].start, recorded[i].start, 0.001) << "stream " << i;
        counts.push_back(static_cast<std::uint32_t>(recorded[i].packets));
    }
    ASSERT_GT(facts.timescale, 0u);
    EXPECT_NEAR(static_cast<double>(facts.duration) / facts.timescale, GetParam().seconds, 0.0015);
    EXPECT_EQ(facts.samples, counts);
    if (!before.empty()) {  // ffmpeg refuses to decode a stream without packets
        EXPECT_EQ(media_fixture::decodeErrors(path), "");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Recordings, Finish,
    testing::Values(
        FileCase{"H264WithBFramesAndAac", "av.mp4", std::string(sources) + fragments, 3.0},
        // Audio first, video 1.2 s later: the moov's own edit lists carry the start over.
        FileCase{"VideoStartsLater", "late.mp4",
                 "-itsoffset 1.2 -f lavfi -i testsrc2=size=160x120:rate=25:duration=3 -f lavfi -i "
                 "sine=duration=4 -c:v libx264 -preset ultrafast -bf 0 -c:a aac " +
                     std::string(fragments),
                 4.2},
        FileCase{
            "H265DataOffsetsFromTheFragment", "hevc.mp4",
            "-f lavfi -i testsrc2=size=160x120:rate=25:duration=2 -f lavfi -i sine=duration=2 -c:v libx265 "
            "-preset ultrafast -x265-params log-level=none -c:a aac " +
                std::string(fragments) + "-movflags +default_base_moof",
            2.0},
        FileCase{"QuickTime", "av.mov", std::string(sources) + fragments, 3.0},
        // A capture that ended before its first packet.
        FileCase{"NoSamples", "empty.mp4",
                 "-f lavfi -i testsrc2=size=160x120:rate=25:duration=1 -c:v libx264 -frames:v 0 " +
                     std::string(fragments),
                 0.0}),
    [](const testing::TestParamInfo<FileCase>& tested) { return std::string(tested.param.name); });

// Cut off after each of its writes in turn, the step leaves a file that plays with every packet: the
// fragmented one, with or without a spare moov at its end, or the finished one.
TEST(Finish, EveryFileItLeavesWhenCutOffPlays) {
    const std::string original = makeMedia("av.mp4", std::string(sources) + fragments);
    const std::string packets = packetTable(original);
    const std::string work = pathFor("work.mp4");
    int writes = 0;
    {
        copyFile(original, work);
        OutputFile file;
        ASSERT_TRUE(file.open(work));
        CutOffFile counting(file, std::numeric_limits<int>::max());
        ASSERT_EQ(isobmff::finishFragmentedMp4(counting, [] { return true; }),
                  isobmff::FinishOutcome::finished);
        writes = counting.writes();
    }
    ASSERT_GE(writes, 3);  // the moov, its type, the mdat header
    for (int cut = 0; cut < writes; ++cut) {
        SCOPED_TRACE("cut off after write " + std::to_string(cut));
        copyFile(original, work);
        {
            OutputFile file;
            ASSERT_TRUE(file.open(work));
            CutOffFile dying(file, cut);
            EXPECT_EQ(isobmff::finishFragmentedMp4(dying, [] { return true; }),
                      isobmff::FinishOutcome::fileFailed);
        }
        EXPECT_EQ(packetTable(work), packets);
        EXPECT_EQ(media_fixture::decodeErrors(work), "");
    }
}

// The recording with a moov grown past what the step reads by a free box inside it, which costs the disk
// next to nothing.
std::string withHugeMoov(const std::string& recording, const std::string& name) {
    const std::string path = pathFor(name);
    OutputFile in;
    OutputFile out;
    if (!in.open(recording) || !out.create(path)) {
        ADD_FAILURE() << "cannot copy " << recording;
        return path;
    }
    const std::uint64_t padding = (std::uint64_t{64} << 20) + 8;
    std::uint64_t at = 0;
    for (const Box& box : topLevel(in)) {
        std::vector<std::uint8_t> bytes(static_cast<std::size_t>(box.size));
        EXPECT_TRUE(in.readAt(box.offset, bytes.data(), bytes.size()));
        if (box.type == fourcc("moov")) {
            isobmff::FieldWriter header;
            header.u32(static_cast<std::uint32_t>(box.size + padding));
            header.u32(fourcc("moov"));
            std::copy(header.data().begin(), header.data().end(), bytes.begin());
            isobmff::FieldWriter free;
            free.u32(static_cast<std::uint32_t>(padding));
            free.u32(fourcc("free"));
            EXPECT_TRUE(out.writeAt(at + box.size, free.data().data(), free.data().size()));
        }
        EXPECT_TRUE(out.writeAt(at, bytes.data(), bytes.size()));
        at += box.size + (box.type == fourcc("moov") ? padding : 0);
    }
    EXPECT_TRUE(out.truncate(at));
    return path;
}

// Asked to stop, or given a file it does not know (no fragments, or cut short) or cannot hold in memory,
// the step leaves the file exactly as it was, and says why.
TEST(Finish, LeavesAFileItDoesNotFinishAsItWas) {
    const std::string fragmented = makeMedia("frag.mp4", std::string(sources) + fragments);
    const std::string plain = makeMedia("plain.mp4", sources);
    const std::string cut = pathFor("cut.mp4");
    copyFile(fragmented, cut);
    fs::resize_file(cut, fs::file_size(cut) - 100);
    const std::string huge = withHugeMoov(fragmented, "huge.mp4");
    // A second moov after the fragments: a finishing step cut off once its new moov had its type.
    const std::string twoMoovs = pathFor("two-moovs.mp4");
    copyFile(fragmented, twoMoovs);
    {
        OutputFile file;
        ASSERT_TRUE(file.open(twoMoovs));
        for (const Box& box : topLevel(file)) {
            if (box.type == fourcc("moov")) {
                std::vector<std::uint8_t> bytes(static_cast<std::size_t>(box.size));
                ASSERT_TRUE(file.readAt(box.offset, bytes.data(), bytes.size()));
                ASSERT_TRUE(file.writeAt(fs::file_size(twoMoovs), bytes.data(), bytes.size()));
                break;
            }
        }
    }
    const std::string work = pathFor("work.mp4");
    // How often a finishing step that is let run asks whether to go on.
    int questions = 0;
    copyFile(fragmented, work);
    ASSERT_TRUE(finish(work, [&] { return ++questions > 0; }));
    ASSERT_GE(questions, 4);

    struct Case {
        const char* name;
        std::string path;
        int answersBeforeStop;
        isobmff::FinishOutcome outcome;
    };
    const Case cases[] = {
        {"stopped before reading", fragmented, 0, isobmff::FinishOutcome::stopped},
        {"stopped while reading the fragments", fragmented, 2, isobmff::FinishOutcome::stopped},
        {"stopped just before the new moov becomes one", fragmented, questions - 1,
         isobmff::FinishOutcome::stopped},
        {"not fragmented", plain, questions, isobmff::FinishOutcome::notFragmented},
        {"cut short", cut, questions, isobmff::FinishOutcome::notFragmented},
        {"a second moov after the fragments", twoMoovs, questions, isobmff::FinishOutcome::notFragmented},
        {"a moov past 64 MiB", huge, questions, isobmff::FinishOutcome::movieHeaderTooLarge},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // The huge file is tried where it is: a copy would not stay sparse.
        const std::string& target = c.path == huge ? huge : work;
        if (c.path != huge) {
            copyFile(c.path, target);
        }
        const std::string before = readFile(target);
        int answers = 0;
        OutputFile file;
        ASSERT_TRUE(file.open(target));
        EXPECT_EQ(isobmff::finishFragmentedMp4(file, [&] { return answers++ < c.answersBeforeStop; }),
                  c.outcome);
        EXPECT_NE(isobmff::finishFailureText(c.outcome), std::string());
        EXPECT_TRUE(readFile(target) == before);
    }
}

// A recording past 4 GiB: chunk offsets in co64, the mdat with a 64-bit size. The space between two
// fragments is a sparse free box, so the file costs the disk next to nothing.
TEST(Finish, LargeFilesGetSixtyFourBitOffsets) {
    const std::string small =
        makeMedia("small.mp4", std::string(sources) + fragments + "-movflags +default_base_moof");
    const std::string packets = packetTable(small);
    const std::string big = pathFor("big.mp4");
    {
        OutputFile in;
        ASSERT_TRUE(in.open(small));
        std::vector<Box> boxes = topLevel(in);
        OutputFile out;
        ASSERT_TRUE(out.create(big));
        std::uint64_t at = 0;
        bool gapWritten = false;
        for (const Box& box : boxes) {
            std::vector<std::uint8_t> bytes(static_cast<std::size_t>(box.size));
            ASSERT_TRUE(in.readAt(box.offset, bytes.data(), bytes.size()));
            ASSERT_TRUE(out.writeAt(at, bytes.data(), bytes.size()));
            at += box.size;
            if (box.type == fourcc("mdat") && !gapWritten) {
                const std::uint64_t gap = (std::uint64_t{1} << 32) + 4096;
                isobmff::FieldWriter header;
                header.u32(1);
                header.u32(fourcc("free"));
                header.u64(gap);
                ASSERT_TRUE(out.writeAt(at, header.data().data(), header.data().size()));
                at += gap;
                gapWritten = true;
            }
        }
        ASSERT_TRUE(out.truncate(at));
    }
    ASSERT_TRUE(finish(big));
    EXPECT_EQ(topLevelTypes(big), "ftyp mdat moov");
    EXPECT_TRUE(moovFacts(big).co64);
    OutputFile file;
    ASSERT_TRUE(file.open(big));
    const std::vector<Box> boxes = topLevel(file);
    ASSERT_EQ(boxes.size(), 3u);
    EXPECT_EQ(boxes[1].headerSize, 16u);
    EXPECT_EQ(packetTable(big), packets);
}
