#include "isobmff/mp4_recording.h"

#include <utility>

namespace isobmff {

namespace {

// The movie header of a recording holds its tracks' descriptions, not their samples.
constexpr std::uint64_t maxMovieHeader = 64u << 20;

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

// Finds the recording's moov among the top-level boxes: the first moov, before any moof. What follows it
// (fragments only, and nothing cut short) is checked as the fragments are read, which walks those boxes
// anyway. Sets the moov and the end of the boxes.
bool findMoov(Bytes& bytes, std::uint64_t size, Recording& recording) {
    BoxIterator top(bytes, 0, size);
    while (const std::optional<Box> box = top.next()) {
        if (box->type == fourcc("moov")) {
            recording.moov = *box;
            recording.end = size;
            return true;
        }
        if (box->type == fourcc("moof")) {
            return false;
        }
    }
    return false;
}

// One trak of the recording's moov: its track id, time scale, edits and whether it is AAC.
std::optional<TrackInfo> readTrack(MoovBytes& moov, const Box& trak) {
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
    return track;
}

// The defaults of each track's fragments, from the trex boxes of the mvex.
void readFragmentDefaults(MoovBytes& moov, const Box& mvex, std::vector<TrackInfo>& tracks) {
    for (const Box& trex : moov.children(mvex)) {
        if (trex.type != fourcc("trex")) {
            continue;
        }
        FieldReader in = moov.fields(trex);
        in.skip(4);
        const std::uint32_t trackId = in.u32();
        for (TrackInfo& track : tracks) {
            if (track.defaults.trackId == trackId) {
                track.defaults.descriptionIndex = in.u32();
                track.defaults.duration = in.u32();
                track.defaults.size = in.u32();
                track.defaults.flags = in.u32();
            }
        }
    }
}

}  // namespace

std::optional<Recording> readRecording(RandomAccessFile& file, bool& tooLarge) {
    const std::optional<std::uint64_t> size = file.size();
    if (!size) {
        return std::nullopt;
    }
    FileBytes bytes(file, *size);
    Recording recording;
    if (!findMoov(bytes, *size, recording)) {
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
        std::optional<TrackInfo> track = readTrack(moov, trak);
        if (!track) {
            return std::nullopt;
        }
        recording.tracks.push_back(std::move(*track));
    }
    readFragmentDefaults(moov, *mvex, recording.tracks);
    return recording;
}

}  // namespace isobmff
