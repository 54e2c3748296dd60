#include "isobmff/mp4_tables.h"

#include "isobmff/iso_box.h"

namespace isobmff {

namespace {

constexpr std::size_t bufferSize = 64 * 1024;

// Hands the fragments' samples to one TrackTables per track.
class TablesVisitor final : public FragmentVisitor {
  public:
    explicit TablesVisitor(std::vector<TrackTables>& perTrack) : tables(perTrack) {}
    void chunk(std::size_t track, const Chunk& run) override { tables[track].chunk(run); }
    void sample(std::size_t track, const Sample& sample) override { tables[track].sample(sample); }

  private:
    std::vector<TrackTables>& tables;
};

}  // namespace

RegionWriter::RegionWriter(RandomAccessFile& target, std::uint64_t offset, std::uint64_t size)
    : file(target), at(offset), end(offset + size) {
    buffer.reserve(bufferSize);
}

void RegionWriter::put(std::uint64_t value, int bytes) {
    for (int shift = (bytes - 1) * 8; shift >= 0; shift -= 8) {
        buffer.push_back(static_cast<std::uint8_t>(value >> shift));
    }
    if (buffer.size() >= bufferSize) {
        flush();
    }
}

void RegionWriter::flush() {
    if (buffer.empty() || failed) {
        buffer.clear();
        return;
    }
    if (end - at < buffer.size() || !file.writeAt(at, buffer.data(), buffer.size())) {
        failed = true;
    }
    at += buffer.size();
    buffer.clear();
}

bool RegionWriter::finish() {
    flush();
    return !failed && at == end;
}

std::array<std::uint64_t, tableCount> tableSizes(const TrackSummary& summary) {
    std::array<std::uint64_t, tableCount> sizes{};
    sizes[stts] = 16 + 8 * summary.sttsEntries;
    sizes[stss] = summary.hasStss() ? 16 + 4 * summary.syncSamples : 0;
    sizes[ctts] = summary.hasCtts() ? 16 + 8 * summary.cttsEntries : 0;
    sizes[stsc] = 16 + 12 * summary.stscEntries;
    sizes[stsz] = 20 + (summary.constantSize ? 0 : 4 * summary.samples);
    sizes[stco] = 16 + (summary.largeOffsets() ? 8 : 4) * summary.chunks;
    return sizes;
}

TrackTables::TrackTables() = default;

TrackTables::TrackTables(const TrackSummary& counted, std::array<RegionWriter*, tableCount> writers)
    : expected(counted), out(writers) {
    writeHeaders();
}

// Box header, version and flags, and the entry count of each table.
void TrackTables::writeHeaders() {
    const std::array<std::uint64_t, tableCount> sizes = tableSizes(expected);
    const auto header = [&](Table table, std::uint32_t type, std::uint32_t version) {
        if (out[table] == nullptr) {
            return false;
        }
        out[table]->u32(static_cast<std::uint32_t>(sizes[table]));
        out[table]->u32(type);
        out[table]->u32(version << 24);
        return true;
    };
    if (header(stts, fourcc("stts"), 0)) {
        out[stts]->u32(static_cast<std::uint32_t>(expected.sttsEntries));
    }
    if (header(stss, fourcc("stss"), 0)) {
        out[stss]->u32(static_cast<std::uint32_t>(expected.syncSamples));
    }
    if (header(ctts, fourcc("ctts"), expected.negativeComposition ? 1 : 0)) {
        out[ctts]->u32(static_cast<std::uint32_t>(expected.cttsEntries));
    }
    if (header(stsc, fourcc("stsc"), 0)) {
        out[stsc]->u32(static_cast<std::uint32_t>(expected.stscEntries));
    }
    if (header(stsz, fourcc("stsz"), 0)) {
        out[stsz]->u32(expected.constantSize ? expected.size : 0);
        out[stsz]->u32(static_cast<std::uint32_t>(expected.samples));
    }
    if (header(stco, expected.largeOffsets() ? fourcc("co64") : fourcc("stco"), 0)) {
        out[stco]->u32(static_cast<std::uint32_t>(expected.chunks));
    }
}

void TrackTables::chunk(const Chunk& run) {
    ++found.chunks;
    if (run.offset > found.largestChunkOffset) {
        found.largestChunkOffset = run.offset;
    }
    if (out[stco] != nullptr) {
        if (expected.largeOffsets()) {
            out[stco]->u64(run.offset);
        } else {
            out[stco]->u32(static_cast<std::uint32_t>(run.offset));
        }
    }
    if (chunkRunOpen && run.samples == chunkRunSamples && run.descriptionIndex == chunkRunDescription) {
        return;
    }
    chunkRunOpen = true;
    chunkRunSamples = run.samples;
    chunkRunDescription = run.descriptionIndex;
    ++found.stscEntries;
    if (out[stsc] != nullptr) {
        out[stsc]->u32(static_cast<std::uint32_t>(found.chunks));
        out[stsc]->u32(run.samples);
        out[stsc]->u32(run.descriptionIndex);
    }
}

void TrackTables::sample(const Sample& next) {
    if (pending) {
        // Decode times come from each fragment's own, so the gap to the next sample is the duration,
        // whatever the run said of the last sample of a fragment.
        const std::uint64_t gap = next.decodeTime > pending->decodeTime
                                      ? static_cast<std::uint64_t>(next.decodeTime) -
                                            static_cast<std::uint64_t>(pending->decodeTime)
                                      : 0;
        add(*pending, gap);
    } else {
        found.firstDecodeTime = next.decodeTime;
        found.firstCompositionOffset = next.compositionOffset;
        found.size = next.size;
    }
    pending = next;
}

void TrackTables::add(const Sample& sample, std::uint64_t duration) {
    ++found.samples;
    if (duration > 0xFFFFFFFFu) {
        found.durationTooLong = true;
        duration = 0xFFFFFFFFu;
    }
    const std::uint64_t decoded = found.mediaDuration;  // the sample's decode time from the first one
    found.mediaDuration += duration;
    const std::int64_t end = static_cast<std::int64_t>(decoded + duration) + sample.compositionOffset;
    if (end > 0 && static_cast<std::uint64_t>(end) > found.presentationEnd) {
        found.presentationEnd = static_cast<std::uint64_t>(end);
    }

    if (durationRun > 0 && duration != runDuration) {
        closeDurationRun();
    }
    runDuration = duration;
    ++durationRun;

    if (sample.compositionOffset < 0) {
        found.negativeComposition = true;
    }
    if (compositionRun > 0 && sample.compositionOffset != runComposition) {
        closeCompositionRun();
    }
    runComposition = sample.compositionOffset;
    ++compositionRun;

    if ((sample.flags & nonSyncSample) == 0) {
        ++found.syncSamples;
        if (out[stss] != nullptr) {
            out[stss]->u32(static_cast<std::uint32_t>(found.samples));
        }
    }
    if (sample.size != found.size) {
        found.constantSize = false;
    }
    if (out[stsz] != nullptr && !expected.constantSize) {
        out[stsz]->u32(sample.size);
    }
}

void TrackTables::closeDurationRun() {
    ++found.sttsEntries;
    if (out[stts] != nullptr) {
        out[stts]->u32(static_cast<std::uint32_t>(durationRun));
        out[stts]->u32(static_cast<std::uint32_t>(runDuration));
    }
    durationRun = 0;
}

void TrackTables::closeCompositionRun() {
    ++found.cttsEntries;
    if (out[ctts] != nullptr) {
        out[ctts]->u32(static_cast<std::uint32_t>(compositionRun));
        out[ctts]->u32(static_cast<std::uint32_t>(runComposition));
    }
    compositionRun = 0;
}

void TrackTables::finish() {
    if (pending) {
        add(*pending, pending->duration);
        pending.reset();
    }
    if (durationRun > 0) {
        closeDurationRun();
    }
    if (compositionRun > 0) {
        closeCompositionRun();
    }
}

bool scanIntoTables(Bytes& file, std::uint64_t begin, std::uint64_t end,
                    const std::vector<TrackDefaults>& tracks, std::vector<TrackTables>& tables,
                    const std::function<bool()>& keepGoing) {
    TablesVisitor visitor(tables);
    if (!scanFragments(file, begin, end, tracks, visitor, keepGoing)) {
        return false;
    }
    for (TrackTables& track : tables) {
        track.finish();
    }
    return true;
}

}  // namespace isobmff
