#include "isobmff/moov_layout.h"

#include <algorithm>

namespace isobmff {

MoovLayout::MoovLayout(const Recording& recording, const std::vector<TrackSummary>& summaries,
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
bool MoovLayout::build() {
    ok = true;
    // Free space until it is complete; then its type becomes moov.
    const FieldWriter::Mark start = out.open(fourcc("free"));
    for (const Box& child : moov.children(source.moov)) {
        if (child.type == fourcc("mvhd")) {
            rewriteHeader(child, movieDuration);
        } else if (child.type == fourcc("trak")) {
            writeTrack(child);
        } else if (child.type != fourcc("mvex")) {
            copy(child);
        }
    }
    close(start);
    return ok;
}

std::size_t MoovLayout::trackIndex(const Box& trak) const {
    for (std::size_t i = 0; i < source.tracks.size(); ++i) {
        if (source.tracks[i].trak.offset == trak.offset) {
            return i;
        }
    }
    return 0;
}

// Creation and modification time and the field after them (time scale or track id), in the widths
// of the new version.
void MoovLayout::copyTimes(FieldReader& in, std::uint8_t version, std::uint8_t newVersion) {
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
void MoovLayout::replaceDuration(FieldReader& in, std::uint8_t version, std::uint64_t duration,
                                 std::uint8_t newVersion) {
    in.skip(version == 1 ? 8 : 4);
    if (newVersion == 1) {
        out.u64(duration);
    } else {
        out.u32(static_cast<std::uint32_t>(duration));
    }
}

// A movie, track or media header (mvhd, tkhd, mdhd) with a new duration, in the version the duration
// needs: version and flags, the creation and modification times and the field after them (time scale
// or track id), the reserved field that tkhd has there, the duration, then the fields after as they were.
void MoovLayout::rewriteHeader(const Box& header, std::uint64_t duration) {
    FieldReader in = moov.fields(header);
    const std::uint8_t version = in.u8();
    const std::uint32_t flags = in.u24();
    const std::uint8_t newVersion = versionFor(duration);
    const FieldWriter::Mark mark = out.openFull(header.type, newVersion, flags);
    copyTimes(in, version, newVersion);
    if (header.type == fourcc("tkhd")) {
        out.u32(in.u32());  // reserved
    }
    replaceDuration(in, version, duration, newVersion);
    copyRest(in, header);
    close(mark);
}

// The fields after the ones rewritten, as they were.
void MoovLayout::copyRest(const FieldReader& in, const Box& box) {
    const std::size_t from = in.position();
    const auto to = static_cast<std::size_t>(box.end() - source.moov.offset);
    if (from < to) {
        out.bytes(source.moovBytes.data() + from, to - from);
    }
}

void MoovLayout::writeTrack(const Box& trak) {
    const std::size_t index = trackIndex(trak);
    const FieldWriter::Mark mark = out.open(fourcc("trak"));
    for (const Box& child : moov.children(trak)) {
        if (child.type == fourcc("tkhd")) {
            rewriteHeader(child, timing[index].trackDuration);
            writeEdits(timing[index].edits);
        } else if (child.type == fourcc("mdia")) {
            writeMedia(child, index);
        } else if (child.type != fourcc("edts")) {
            copy(child);
        }
    }
    close(mark);
}

void MoovLayout::writeEdits(const std::vector<Edit>& edits) {
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

void MoovLayout::writeMedia(const Box& mdia, std::size_t index) {
    const FieldWriter::Mark mark = out.open(fourcc("mdia"));
    for (const Box& child : moov.children(mdia)) {
        if (child.type == fourcc("mdhd")) {
            rewriteHeader(child, timing[index].mediaDuration);
        } else if (child.type == fourcc("minf")) {
            writeMediaInformation(child, index);
        } else {
            copy(child);
        }
    }
    close(mark);
}

void MoovLayout::writeMediaInformation(const Box& minf, std::size_t index) {
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
void MoovLayout::writeSampleTables(const Box& stbl, std::size_t index) {
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
void MoovLayout::writeRollGroup(std::uint64_t sampleCount) {
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

}  // namespace isobmff
