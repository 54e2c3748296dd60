#include "isobmff/fragment_scan.h"

#include <optional>

namespace isobmff {

namespace {

// A movie fragment's header is read whole; one of ours holds well under a second of samples.
constexpr std::uint64_t maxFragmentHeader = 64u << 20;

// tfhd flags
constexpr std::uint32_t baseDataOffsetPresent = 0x000001;
constexpr std::uint32_t descriptionIndexPresent = 0x000002;
constexpr std::uint32_t defaultDurationPresent = 0x000008;
constexpr std::uint32_t defaultSizePresent = 0x000010;
constexpr std::uint32_t defaultFlagsPresent = 0x000020;
constexpr std::uint32_t defaultBaseIsMoof = 0x020000;
// trun flags
constexpr std::uint32_t dataOffsetPresent = 0x000001;
constexpr std::uint32_t firstSampleFlagsPresent = 0x000004;
constexpr std::uint32_t durationPresent = 0x000100;
constexpr std::uint32_t sizePresent = 0x000200;
constexpr std::uint32_t flagsPresent = 0x000400;
constexpr std::uint32_t compositionOffsetPresent = 0x000800;

// Where each track's next sample would be, across fragments.
struct TrackPosition {
    std::int64_t nextDecodeTime = 0;
};

// One moof, held in memory, read against the list of tracks.
class FragmentReader {
  public:
    FragmentReader(const std::vector<std::uint8_t>& block, const Box& fragment, std::uint64_t mediaBegin,
                   std::uint64_t mediaEnd, const std::vector<TrackDefaults>& list,
                   std::vector<TrackPosition>& positions, FragmentVisitor& out)
        : moof(block),
          box(fragment),
          begin(mediaBegin),
          end(mediaEnd),
          tracks(list),
          position(positions),
          visitor(out),
          previousEnd(fragment.offset) {}

    bool read() {
        MemoryBytes bytes(moof, box.offset);
        BoxIterator children(bytes, box.payload(), box.end());
        while (const std::optional<Box> child = children.next()) {
            if (child->type == fourcc("traf") && !readTrackFragment(bytes, *child)) {
                return false;
            }
        }
        return !children.failed();
    }

  private:
    FieldReader fields(const Box& child) const { return payloadReader(moof, box.offset, child); }

    // The traf's own defaults, from its tfhd over the track's trex.
    struct Header {
        std::size_t track = 0;
        TrackDefaults defaults;
        std::uint64_t base = 0;
    };

    std::optional<Header> readHeader(const Box& tfhd) {
        FieldReader in = fields(tfhd);
        const std::uint32_t flags = in.u32() & 0xFFFFFF;
        const std::uint32_t trackId = in.u32();
        Header header;
        header.track = tracks.size();
        for (std::size_t i = 0; i < tracks.size(); ++i) {
            if (tracks[i].trackId == trackId) {
                header.track = i;
            }
        }
        if (header.track == tracks.size()) {
            return std::nullopt;
        }
        header.defaults = tracks[header.track];
        // Without an offset of its own, a traf's data follows the previous traf's, the first one's the moof.
        header.base = (flags & defaultBaseIsMoof) != 0 ? box.offset : previousEnd;
        if ((flags & baseDataOffsetPresent) != 0) {
            header.base = in.u64();
        }
        if ((flags & descriptionIndexPresent) != 0) {
            header.defaults.descriptionIndex = in.u32();
        }
        if ((flags & defaultDurationPresent) != 0) {
            header.defaults.duration = in.u32();
        }
        if ((flags & defaultSizePresent) != 0) {
            header.defaults.size = in.u32();
        }
        if ((flags & defaultFlagsPresent) != 0) {
            header.defaults.flags = in.u32();
        }
        if (!in.ok()) {
            return std::nullopt;
        }
        return header;
    }

    bool readTrackFragment(Bytes& bytes, const Box& traf) {
        const std::optional<Box> tfhd = findChild(bytes, traf, fourcc("tfhd"));
        if (!tfhd) {
            return false;
        }
        const std::optional<Header> header = readHeader(*tfhd);
        if (!header) {
            return false;
        }
        std::int64_t decodeTime = position[header->track].nextDecodeTime;
        if (const std::optional<Box> tfdt = findChild(bytes, traf, fourcc("tfdt"))) {
            FieldReader in = fields(*tfdt);
            const bool wide = in.u8() == 1;
            in.skip(3);
            decodeTime = wide ? static_cast<std::int64_t>(in.u64()) : static_cast<std::int64_t>(in.u32());
            if (!in.ok()) {
                return false;
            }
        }
        std::uint64_t runData = header->base;
        BoxIterator children(bytes, traf.payload(), traf.end());
        while (const std::optional<Box> child = children.next()) {
            if (child->type == fourcc("trun") && !readRun(*child, *header, runData, decodeTime)) {
                return false;
            }
        }
        position[header->track].nextDecodeTime = decodeTime;
        previousEnd = runData;
        return !children.failed();
    }

    // One trun: its chunk, then its samples. runData and decodeTime move past it.
    bool readRun(const Box& trun, const Header& header, std::uint64_t& runData, std::int64_t& decodeTime) {
        FieldReader in = fields(trun);
        const std::uint8_t version = in.u8();
        const std::uint32_t flags = in.u24();
        const std::uint32_t count = in.u32();
        if ((flags & dataOffsetPresent) != 0) {
            const auto offset = static_cast<std::int32_t>(in.u32());
            runData = header.base + static_cast<std::uint64_t>(static_cast<std::int64_t>(offset));
        }
        std::optional<std::uint32_t> firstFlags;
        if ((flags & firstSampleFlagsPresent) != 0) {
            firstFlags = in.u32();
        }
        if (!in.ok()) {
            return false;
        }
        const std::size_t perSample =
            4u * (((flags & durationPresent) != 0) + ((flags & sizePresent) != 0) +
                  ((flags & flagsPresent) != 0) + ((flags & compositionOffsetPresent) != 0));
        if (perSample != 0 && (trun.end() - box.offset - in.position()) / perSample < count) {
            return false;  // the run lists more samples than it holds
        }
        visitor.chunk(header.track, Chunk{runData, count, header.defaults.descriptionIndex});
        std::uint64_t data = runData;
        for (std::uint32_t i = 0; i < count; ++i) {
            Sample sample;
            sample.decodeTime = decodeTime;
            sample.duration = (flags & durationPresent) != 0 ? in.u32() : header.defaults.duration;
            sample.size = (flags & sizePresent) != 0 ? in.u32() : header.defaults.size;
            sample.flags = (flags & flagsPresent) != 0 ? in.u32()
                           : (i == 0 && firstFlags)    ? *firstFlags
                                                       : header.defaults.flags;
            if ((flags & compositionOffsetPresent) != 0) {
                const std::uint32_t offset = in.u32();
                sample.compositionOffset = version == 0
                                               ? static_cast<std::int64_t>(offset)
                                               : static_cast<std::int64_t>(static_cast<std::int32_t>(offset));
            }
            if (data < begin || data > end || end - data < sample.size) {
                return false;
            }
            data += sample.size;
            decodeTime = static_cast<std::int64_t>(static_cast<std::uint64_t>(decodeTime) + sample.duration);
            visitor.sample(header.track, sample);
        }
        runData = data;
        return in.ok();
    }

    const std::vector<std::uint8_t>& moof;
    const Box& box;
    std::uint64_t begin;
    std::uint64_t end;
    const std::vector<TrackDefaults>& tracks;
    std::vector<TrackPosition>& position;
    FragmentVisitor& visitor;
    std::uint64_t previousEnd;  // where the previous traf's data ended
};

}  // namespace

bool scanFragments(Bytes& file, std::uint64_t begin, std::uint64_t end,
                   const std::vector<TrackDefaults>& tracks, FragmentVisitor& visitor,
                   const std::function<bool()>& keepGoing) {
    std::vector<TrackPosition> positions(tracks.size());
    BoxIterator boxes(file, begin, end);
    while (const std::optional<Box> box = boxes.next()) {
        if (box->type == fourcc("moov")) {
            return false;  // a file finished already, or not one of ours
        }
        if (box->type != fourcc("moof")) {
            continue;
        }
        if (!keepGoing()) {
            return false;
        }
        const std::optional<std::vector<std::uint8_t>> block = readBox(file, *box, maxFragmentHeader);
        if (!block) {
            return false;
        }
        FragmentReader fragment(*block, *box, begin, end, tracks, positions, visitor);
        if (!fragment.read()) {
            return false;
        }
    }
    return !boxes.failed();
}

}  // namespace isobmff
