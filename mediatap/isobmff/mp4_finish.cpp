#include "isobmff/mp4_finish.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "isobmff/fragment_scan.h"
#include "isobmff/iso_box.h"
#include "isobmff/mp4_tables.h"

extern "C" {
#include <libavutil/mathematics.h>
}

using namespace isobmff;

namespace {

// The movie header of a recording holds its tracks' descriptions, not their samples.
constexpr std::uint64_t maxMovieHeader = 64u << 20;

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

// What the finished moov says of a track's time line.
struct TrackTiming {
    std::vector<Edit> edits;
    std::uint64_t trackDuration = 0;  // in the movie's time scale: the edits' sum
    std::uint64_t mediaDuration = 0;  // in the track's time scale
};

FieldReader payloadOf(const std::vector<std::uint8_t>& block, std::uint64_t blockOffset, const Box& box) {
    return FieldReader(block, static_cast<std::size_t>(box.payload() - blockOffset),
                       static_cast<std::size_t>(box.end() - blockOffset));
}

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
    FieldReader fields(const Box& box) const { return payloadOf(block, base, box); }
    const std::uint8_t* at(const Box& box) const { return block.data() + (box.offset - base); }

  private:
    MemoryBytes in;
    std::uint64_t base;
    const std::vector<std::uint8_t>& block;
};

// The first sample entry of the stsd is an mp4a whose esds names AAC (MPEG-4 audio, or one of the
// MPEG-2 AAC profiles).
bool describesAac(MoovBytes& moov, const Box& stsd) {
    const std::vector<Box> entries = moov.boxesIn(stsd.payload() + 8, stsd.end());
    if (entries.empty() || entries.front().type != fourcc("mp4a")) {
        return false;
    }
    const Box& entry = entries.front();
    // An audio sample entry holds 28 bytes of fields before its boxes; QuickTime's versions 1 and 2 add
    // 16 and 36.
    FieldReader fields = moov.fields(entry);
    fields.skip(8);
    const std::uint16_t version = fields.u16();
    const std::uint64_t first = entry.payload() + 28 + (version == 1 ? 16 : version == 2 ? 36 : 0);
    if (!fields.ok() || first > entry.end()) {
        return false;
    }
    std::optional<Box> esds = moov.findIn(first, entry.end(), fourcc("esds"));
    if (!esds) {
        if (const std::optional<Box> wave = moov.findIn(first, entry.end(), fourcc("wave"))) {
            esds = moov.child(*wave, fourcc("esds"));
        }
    }
    if (!esds) {
        return false;
    }
    // The ES_Descriptor (tag 3), then its DecoderConfigDescriptor (tag 4), which starts with the object
    // type. Descriptor sizes take one to four bytes.
    FieldReader in = moov.fields(*esds);
    in.skip(4);
    const auto descriptor = [&in](std::uint8_t tag) {
        if (in.u8() != tag) {
            return false;
        }
        for (int i = 0; i < 4 && (in.u8() & 0x80) != 0; ++i) {
        }
        return in.ok();
    };
    if (!descriptor(3)) {
        return false;
    }
    in.skip(2);  // ES_ID
    const std::uint8_t flags = in.u8();
    if ((flags & 0x80) != 0) {
        in.skip(2);
    }
    if ((flags & 0x40) != 0) {
        in.skip(in.u8());
    }
    if ((flags & 0x20) != 0) {
        in.skip(2);
    }
    if (!descriptor(4)) {
        return false;
    }
    const std::uint8_t objectType = in.u8();
    return in.ok() && (objectType == 0x40 || objectType == 0x66 || objectType == 0x67 || objectType == 0x68);
}

std::vector<Edit> readEdits(MoovBytes& moov, const Box& trak) {
    std::vector<Edit> edits;
    const std::optional<Box> edts = moov.child(trak, fourcc("edts"));
    const std::optional<Box> elst = edts ? moov.child(*edts, fourcc("elst")) : std::nullopt;
    if (!elst) {
        return edits;
    }
    FieldReader in = moov.fields(*elst);
    const std::uint8_t version = in.u8();
    in.skip(3);
    const std::uint32_t count = in.u32();
    for (std::uint32_t i = 0; i < count && in.ok(); ++i) {
        Edit edit;
        if (version == 1) {
            edit.duration = in.u64();
            edit.mediaTime = static_cast<std::int64_t>(in.u64());
        } else {
            edit.duration = in.u32();
            edit.mediaTime = static_cast<std::int32_t>(in.u32());
        }
        in.skip(4);  // rate
        if (in.ok()) {
            edits.push_back(edit);
        }
    }
    return edits;
}

// The file under the step, noting whether any of its operations failed: a step that gives up after one
// gave up because of the file.
class WatchedFile final : public RandomAccessFile {
  public:
    explicit WatchedFile(RandomAccessFile& watched) : file(watched) {}
    bool readAt(std::uint64_t offset, void* data, std::size_t size) override {
        return note(file.readAt(offset, data, size));
    }
    bool writeAt(std::uint64_t offset, const void* data, std::size_t size) override {
        return note(file.writeAt(offset, data, size));
    }
    std::optional<std::uint64_t> size() override {
        std::optional<std::uint64_t> bytes = file.size();
        note(bytes.has_value());
        return bytes;
    }
    bool truncate(std::uint64_t size) override { return note(file.truncate(size)); }
    bool sync() override { return note(file.sync()); }
    bool failed() const { return anyFailed; }

  private:
    bool note(bool done) {
        anyFailed = anyFailed || !done;
        return done;
    }
    RandomAccessFile& file;
    bool anyFailed = false;
};

// Finds the recording's moov among the top-level boxes and reads what it says of the tracks. Nothing when
// the file is not such a recording, or its moov is larger than the step reads (tooLarge is set then).
std::optional<Recording> readRecording(RandomAccessFile& file, bool& tooLarge) {
    const std::optional<std::uint64_t> size = file.size();
    if (!size) {
        return std::nullopt;
    }
    FileBytes bytes(file, *size);
    Recording recording;
    BoxIterator top(bytes, 0, *size);
    bool found = false;
    while (const std::optional<Box> box = top.next()) {
        if (box->type == fourcc("moov")) {
            if (found) {
                return std::nullopt;  // finished already, or not one of ours
            }
            recording.moov = *box;
            found = true;
        } else if (box->type == fourcc("moof") && !found) {
            return std::nullopt;
        }
        recording.end = box->end();
    }
    if (top.failed() || !found || recording.end != *size) {
        return std::nullopt;
    }
    if (recording.moov.size > maxMovieHeader) {
        tooLarge = true;
        return std::nullopt;
    }
    std::optional<std::vector<std::uint8_t>> block = readBox(bytes, recording.moov, maxMovieHeader);
    if (!block) {
        return std::nullopt;
    }
    recording.moovBytes = std::move(*block);
    MoovBytes moov(recording);
    const std::optional<Box> mvhd = moov.child(recording.moov, fourcc("mvhd"));
    const std::optional<Box> mvex = moov.child(recording.moov, fourcc("mvex"));
    if (!mvhd || !mvex) {
        return std::nullopt;
    }
    FieldReader header = moov.fields(*mvhd);
    header.skip(header.u8() == 1 ? 3 + 16 : 3 + 8);
    recording.movieTimescale = header.u32();
    if (!header.ok() || recording.movieTimescale == 0) {
        return std::nullopt;
    }
    for (const Box& trak : moov.children(recording.moov)) {
        if (trak.type != fourcc("trak")) {
            continue;
        }
        TrackInfo track;
        track.trak = trak;
        const std::optional<Box> tkhd = moov.child(trak, fourcc("tkhd"));
        const std::optional<Box> mdia = moov.child(trak, fourcc("mdia"));
        const std::optional<Box> mdhd = mdia ? moov.child(*mdia, fourcc("mdhd")) : std::nullopt;
        const std::optional<Box> minf = mdia ? moov.child(*mdia, fourcc("minf")) : std::nullopt;
        const std::optional<Box> stbl = minf ? moov.child(*minf, fourcc("stbl")) : std::nullopt;
        const std::optional<Box> stsd = stbl ? moov.child(*stbl, fourcc("stsd")) : std::nullopt;
        if (!tkhd || !mdhd || !stsd) {
            return std::nullopt;
        }
        FieldReader tk = moov.fields(*tkhd);
        tk.skip(tk.u8() == 1 ? 3 + 16 : 3 + 8);
        track.defaults.trackId = tk.u32();
        FieldReader md = moov.fields(*mdhd);
        md.skip(md.u8() == 1 ? 3 + 16 : 3 + 8);
        track.timescale = md.u32();
        if (!tk.ok() || !md.ok() || track.timescale == 0) {
            return std::nullopt;
        }
        track.edits = readEdits(moov, trak);
        track.aac = describesAac(moov, *stsd);
        recording.tracks.push_back(track);
    }
    // The defaults of each track's fragments.
    for (const Box& trex : moov.children(*mvex)) {
        if (trex.type != fourcc("trex")) {
            continue;
        }
        FieldReader in = moov.fields(trex);
        in.skip(4);
        const std::uint32_t trackId = in.u32();
        for (TrackInfo& track : recording.tracks) {
            if (track.defaults.trackId == trackId) {
                track.defaults.descriptionIndex = in.u32();
                track.defaults.duration = in.u32();
                track.defaults.size = in.u32();
                track.defaults.flags = in.u32();
            }
        }
    }
    return recording;
}

// Hands the fragments' samples to one TrackTables per track.
class TablesVisitor final : public FragmentVisitor {
  public:
    explicit TablesVisitor(std::vector<TrackTables>& perTrack) : tables(perTrack) {}
    void chunk(std::size_t track, const Chunk& run) override { tables[track].chunk(run); }
    void sample(std::size_t track, const Sample& sample) override { tables[track].sample(sample); }

  private:
    std::vector<TrackTables>& tables;
};

bool scanInto(RandomAccessFile& file, const Recording& recording, std::vector<TrackTables>& tables,
              const std::function<bool()>& keepGoing) {
    std::vector<TrackDefaults> defaults;
    for (const TrackInfo& track : recording.tracks) {
        defaults.push_back(track.defaults);
    }
    FileBytes bytes(file, recording.end);
    TablesVisitor visitor(tables);
    if (!scanFragments(bytes, recording.moov.end(), recording.end, defaults, visitor, keepGoing)) {
        return false;
    }
    for (TrackTables& track : tables) {
        track.finish();
    }
    return true;
}

// The finished track's edit list, as the recording presents it: a track whose first sample is shown
// later than the movie's start gets an empty edit for the wait; one shown earlier has the part before
// the start cut. The recording's own edits (those of its moov, over the fragments' decode times) are
// carried over. Times that do not fall on the movie's time scale are rounded as FFmpeg's muxer rounds
// them: the wait down, the length up.
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

// Lays out the finished moov: the recording's boxes in their order, the headers rewritten with the
// durations, the edit lists new, each sample table a hole of its counted size.
class MoovLayout {
  public:
    MoovLayout(const Recording& recording, const std::vector<TrackSummary>& summaries,
               const std::vector<TrackTiming>& timings)
        : source(recording),
          moov(recording),
          samples(summaries),
          timing(timings),
          holes(recording.tracks.size()) {
        for (const TrackTiming& track : timings) {
            movieDuration = std::max(movieDuration, track.trackDuration);
        }
    }

    // False when a box would not fit its size field.
    bool build() {
        ok = true;
        // Free space until it is complete; then its type becomes moov.
        const FieldWriter::Mark start = out.open(fourcc("free"));
        for (const Box& child : moov.children(source.moov)) {
            if (child.type == fourcc("mvhd")) {
                writeMovieHeader(child);
            } else if (child.type == fourcc("trak")) {
                writeTrack(child);
            } else if (child.type != fourcc("mvex")) {
                copy(child);
            }
        }
        close(start);
        return ok;
    }

    const FieldWriter& written() const { return out; }
    // Where each track's tables are, by track and table.
    const std::vector<std::array<std::optional<FieldWriter::Hole>, tableCount>>& tables() const {
        return holes;
    }

  private:
    void copy(const Box& box) { out.bytes(moov.at(box), static_cast<std::size_t>(box.size)); }
    void close(const FieldWriter::Mark& mark) { ok = out.close(mark) && ok; }

    std::size_t trackIndex(const Box& trak) const {
        for (std::size_t i = 0; i < source.tracks.size(); ++i) {
            if (source.tracks[i].trak.offset == trak.offset) {
                return i;
            }
        }
        return 0;
    }

    // Creation and modification time and the field after them (time scale or track id), in the widths
    // of the new version.
    void copyTimes(FieldReader& in, std::uint8_t version, std::uint8_t newVersion) {
        const std::uint64_t created = version == 1 ? in.u64() : in.u32();
        const std::uint64_t modified = version == 1 ? in.u64() : in.u32();
        const std::uint32_t middle = in.u32();
        if (newVersion == 1) {
            out.u64(created);
            out.u64(modified);
        } else {
            out.u32(static_cast<std::uint32_t>(created));
            out.u32(static_cast<std::uint32_t>(modified));
        }
        out.u32(middle);
    }

    // Replaces the duration the reader stands at.
    void replaceDuration(FieldReader& in, std::uint8_t version, std::uint64_t duration,
                         std::uint8_t newVersion) {
        in.skip(version == 1 ? 8 : 4);
        if (newVersion == 1) {
            out.u64(duration);
        } else {
            out.u32(static_cast<std::uint32_t>(duration));
        }
    }

    static std::uint8_t versionFor(std::uint64_t duration) { return duration > 0x7FFFFFFFu ? 1 : 0; }

    // mvhd: the movie's duration is its longest track's.
    void writeMovieHeader(const Box& mvhd) {
        FieldReader in = moov.fields(mvhd);
        const std::uint8_t version = in.u8();
        const std::uint32_t flags = in.u24();
        const std::uint8_t newVersion = versionFor(movieDuration);
        const FieldWriter::Mark mark = out.openFull(fourcc("mvhd"), newVersion, flags);
        copyTimes(in, version, newVersion);
        replaceDuration(in, version, movieDuration, newVersion);
        copyRest(in, mvhd);
        close(mark);
    }

    // The fields after the ones rewritten, as they were.
    void copyRest(const FieldReader& in, const Box& box) {
        const std::size_t from = in.position();
        const auto to = static_cast<std::size_t>(box.end() - source.moov.offset);
        if (from < to) {
            out.bytes(source.moovBytes.data() + from, to - from);
        }
    }

    void writeTrack(const Box& trak) {
        const std::size_t index = trackIndex(trak);
        const FieldWriter::Mark mark = out.open(fourcc("trak"));
        for (const Box& child : moov.children(trak)) {
            if (child.type == fourcc("tkhd")) {
                writeTrackHeader(child, timing[index].trackDuration);
                writeEdits(timing[index].edits);
            } else if (child.type == fourcc("mdia")) {
                writeMedia(child, index);
            } else if (child.type != fourcc("edts")) {
                copy(child);
            }
        }
        close(mark);
    }

    void writeTrackHeader(const Box& tkhd, std::uint64_t duration) {
        FieldReader in = moov.fields(tkhd);
        const std::uint8_t version = in.u8();
        const std::uint32_t flags = in.u24();
        const std::uint8_t newVersion = versionFor(duration);
        const FieldWriter::Mark mark = out.openFull(fourcc("tkhd"), newVersion, flags);
        copyTimes(in, version, newVersion);
        out.u32(in.u32());  // reserved
        replaceDuration(in, version, duration, newVersion);
        copyRest(in, tkhd);
        close(mark);
    }

    void writeEdits(const std::vector<Edit>& edits) {
        if (edits.empty()) {
            return;
        }
        std::uint8_t version = 0;
        for (const Edit& edit : edits) {
            if (edit.duration > 0xFFFFFFFFu || edit.mediaTime > 0x7FFFFFFF || edit.mediaTime < -1) {
                version = 1;
            }
        }
        const FieldWriter::Mark edts = out.open(fourcc("edts"));
        const FieldWriter::Mark elst = out.openFull(fourcc("elst"), version, 0);
        out.u32(static_cast<std::uint32_t>(edits.size()));
        for (const Edit& edit : edits) {
            if (version == 1) {
                out.u64(edit.duration);
                out.u64(static_cast<std::uint64_t>(edit.mediaTime));
            } else {
                out.u32(static_cast<std::uint32_t>(edit.duration));
                out.u32(static_cast<std::uint32_t>(edit.mediaTime));
            }
            out.u32(0x00010000);  // rate 1.0
        }
        close(elst);
        close(edts);
    }

    void writeMedia(const Box& mdia, std::size_t index) {
        const FieldWriter::Mark mark = out.open(fourcc("mdia"));
        for (const Box& child : moov.children(mdia)) {
            if (child.type == fourcc("mdhd")) {
                writeMediaHeader(child, timing[index].mediaDuration);
            } else if (child.type == fourcc("minf")) {
                writeMediaInformation(child, index);
            } else {
                copy(child);
            }
        }
        close(mark);
    }

    void writeMediaHeader(const Box& mdhd, std::uint64_t duration) {
        FieldReader in = moov.fields(mdhd);
        const std::uint8_t version = in.u8();
        const std::uint32_t flags = in.u24();
        const std::uint8_t newVersion = versionFor(duration);
        const FieldWriter::Mark mark = out.openFull(fourcc("mdhd"), newVersion, flags);
        copyTimes(in, version, newVersion);
        replaceDuration(in, version, duration, newVersion);
        copyRest(in, mdhd);
        close(mark);
    }

    void writeMediaInformation(const Box& minf, std::size_t index) {
        const FieldWriter::Mark mark = out.open(fourcc("minf"));
        for (const Box& child : moov.children(minf)) {
            if (child.type == fourcc("stbl")) {
                writeSampleTables(child, index);
            } else {
                copy(child);
            }
        }
        close(mark);
    }

    // stsd as it was, then the tables in the order FFmpeg's muxer writes them, then AAC's roll group.
    void writeSampleTables(const Box& stbl, std::size_t index) {
        static constexpr std::array<std::uint32_t, 12> rebuilt = {
            fourcc("stts"), fourcc("stss"), fourcc("ctts"), fourcc("stsc"), fourcc("stsz"), fourcc("stz2"),
            fourcc("stco"), fourcc("co64"), fourcc("sgpd"), fourcc("sbgp"), fourcc("sdtp"), fourcc("stsd")};
        const FieldWriter::Mark mark = out.open(fourcc("stbl"));
        if (const std::optional<Box> stsd = moov.child(stbl, fourcc("stsd"))) {
            copy(*stsd);
        }
        const std::array<std::uint64_t, tableCount> sizes = tableSizes(samples[index]);
        std::array<std::optional<FieldWriter::Hole>, tableCount>& trackHoles = holes[index];
        for (std::size_t table = 0; table < tableCount; ++table) {
            if (sizes[table] > 0xFFFFFFFFu) {
                ok = false;
            }
            if (sizes[table] != 0) {
                trackHoles[table] = out.reserve(sizes[table]);
            }
        }
        if (source.tracks[index].aac && samples[index].samples > 0) {
            writeRollGroup(samples[index].samples);
        }
        for (const Box& child : moov.children(stbl)) {
            bool isTable = false;
            for (const std::uint32_t type : rebuilt) {
                isTable = isTable || child.type == type;
            }
            if (!isTable) {
                copy(child);
            }
        }
        close(mark);
    }

    // AAC needs the one packet before a sample to decode it: a roll distance of -1 for every sample.
    void writeRollGroup(std::uint64_t sampleCount) {
        const FieldWriter::Mark sgpd = out.openFull(fourcc("sgpd"), 1, 0);
        out.u32(fourcc("roll"));
        out.u32(2);  // default length
        out.u32(1);  // entries
        out.u16(0xFFFF);
        close(sgpd);
        const FieldWriter::Mark sbgp = out.openFull(fourcc("sbgp"), 0, 0);
        out.u32(fourcc("roll"));
        out.u32(1);
        out.u32(static_cast<std::uint32_t>(sampleCount));
        out.u32(1);
        close(sbgp);
    }

    const Recording& source;
    MoovBytes moov;
    const std::vector<TrackSummary>& samples;
    const std::vector<TrackTiming>& timing;
    std::uint64_t movieDuration = 0;
    FieldWriter out;
    std::vector<std::array<std::optional<FieldWriter::Hole>, tableCount>> holes;
    bool ok = true;
};

// Writes the laid-out bytes at offset, stepping over the holes.
bool writeLayout(RandomAccessFile& file, std::uint64_t offset, const FieldWriter& layout) {
    const std::vector<std::uint8_t>& bytes = layout.data();
    std::size_t from = 0;
    std::uint64_t at = offset;
    const auto writeUpTo = [&](std::size_t to) {
        if (to > from && !file.writeAt(at, bytes.data() + from, to - from)) {
            return false;
        }
        at += to - from;
        from = to;
        return true;
    };
    for (const FieldWriter::Hole& hole : layout.holes()) {
        if (!writeUpTo(hole.index)) {
            return false;
        }
        at += hole.size;
    }
    return writeUpTo(bytes.size());
}

// The second pass: every table into its hole.
bool writeTables(RandomAccessFile& file, const Recording& recording, std::uint64_t moovOffset,
                 const MoovLayout& layout, const std::vector<TrackSummary>& summaries,
                 const std::function<bool()>& keepGoing) {
    std::vector<std::unique_ptr<RegionWriter>> writers;
    std::vector<TrackTables> tables;
    for (std::size_t track = 0; track < recording.tracks.size(); ++track) {
        std::array<RegionWriter*, tableCount> targets{};
        for (std::size_t table = 0; table < tableCount; ++table) {
            if (const std::optional<FieldWriter::Hole>& hole = layout.tables()[track][table]) {
                writers.push_back(
                    std::make_unique<RegionWriter>(file, moovOffset + hole->offset, hole->size));
                targets[table] = writers.back().get();
            }
        }
        tables.emplace_back(summaries[track], targets);
    }
    if (!scanInto(file, recording, tables, keepGoing)) {
        return false;
    }
    bool complete = true;
    for (const std::unique_ptr<RegionWriter>& writer : writers) {
        complete = writer->finish() && complete;
    }
    return complete;
}

// The four bytes of a box type at offset.
bool writeType(RandomAccessFile& file, std::uint64_t offset, std::uint32_t type) {
    FieldWriter bytes;
    bytes.u32(type);
    return file.writeAt(offset + 4, bytes.data().data(), 4);
}

// Makes [offset, end) one mdat box, over the header of the box that starts there.
bool writeMediaHeader(RandomAccessFile& file, std::uint64_t offset, std::uint64_t end) {
    const std::uint64_t size = end - offset;
    FieldWriter header;
    if (size <= 0xFFFFFFFFu) {
        header.u32(static_cast<std::uint32_t>(size));
        header.u32(fourcc("mdat"));
    } else {
        header.u32(1);
        header.u32(fourcc("mdat"));
        header.u64(size);
    }
    return file.writeAt(offset, header.data().data(), header.data().size());
}

}  // namespace

const char* finishFailureText(FinishOutcome outcome) {
    switch (outcome) {
        case FinishOutcome::stopped:
            return "Immediate exit requested";  // FFmpeg's text for an abandoned call
        case FinishOutcome::sampleGapTooLong:
            return "sample gap too long for the MP4 tables";
        case FinishOutcome::boxTooLarge:
            return "box too large for the MP4 tables";
        case FinishOutcome::movieHeaderTooLarge:
            return "movie header too large to finish in place";
        case FinishOutcome::notFragmented:
            return "no readable movie fragments";
        case FinishOutcome::finished:
        case FinishOutcome::fileFailed:
            break;
    }
    return "";
}

FinishOutcome finishFragmentedMp4(RandomAccessFile& underlying, const std::function<bool()>& keepGoing) {
    WatchedFile file(underlying);
    bool stopped = false;
    const auto goOn = [&] {
        stopped = stopped || !keepGoing();
        return !stopped;
    };
    // Why the step gave up: the file, a stop, or else what it found.
    const auto failure = [&](FinishOutcome found) {
        return file.failed() ? FinishOutcome::fileFailed : stopped ? FinishOutcome::stopped : found;
    };
    bool moovTooLarge = false;
    const std::optional<Recording> recording = readRecording(file, moovTooLarge);
    if (!recording) {
        return failure(moovTooLarge ? FinishOutcome::movieHeaderTooLarge : FinishOutcome::notFragmented);
    }
    if (!goOn()) {
        return FinishOutcome::stopped;
    }
    // First pass: what each track's tables will hold.
    std::vector<TrackTables> counting(recording->tracks.size());
    if (!scanInto(file, *recording, counting, goOn)) {
        return failure(FinishOutcome::notFragmented);
    }
    std::vector<TrackSummary> summaries;
    std::vector<TrackTiming> timings;
    for (std::size_t i = 0; i < counting.size(); ++i) {
        if (counting[i].summary().durationTooLong) {
            return FinishOutcome::sampleGapTooLong;
        }
        summaries.push_back(counting[i].summary());
        timings.push_back(timingOf(recording->tracks[i], summaries.back(), recording->movieTimescale));
    }
    MoovLayout layout(*recording, summaries, timings);
    if (!layout.build()) {
        return FinishOutcome::boxTooLarge;
    }
    if (!goOn()) {
        return FinishOutcome::stopped;
    }

    // The new moov goes after the last fragment, as free space while it is written.
    const std::uint64_t moovOffset = recording->end;
    const auto giveUp = [&] {
        const FinishOutcome outcome = failure(FinishOutcome::notFragmented);
        file.truncate(moovOffset);
        return outcome;
    };
    if (!writeLayout(file, moovOffset, layout.written()) ||
        !writeTables(file, *recording, moovOffset, layout, summaries, goOn) || !file.sync() || !goOn()) {
        return giveUp();
    }
    // From here on each step leaves a playable file: fragmented with a spare moov at its end, then
    // standard.
    if (!writeType(file, moovOffset, fourcc("moov")) || !file.sync() ||
        !writeMediaHeader(file, recording->moov.offset, moovOffset) || !file.sync()) {
        return FinishOutcome::fileFailed;
    }
    return FinishOutcome::finished;
}
