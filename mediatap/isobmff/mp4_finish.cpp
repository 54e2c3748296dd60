#include "isobmff/mp4_finish.h"

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "isobmff/fragment_scan.h"
#include "isobmff/iso_box.h"
#include "isobmff/moov_layout.h"
#include "isobmff/mp4_recording.h"
#include "isobmff/mp4_tables.h"
#include "isobmff/mp4_timing.h"

namespace isobmff {

namespace {

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

// Reads the fragments after the recording's moov into one TrackTables per track.
bool scanInto(RandomAccessFile& file, const Recording& recording, std::vector<TrackTables>& tables,
              const std::function<bool()>& keepGoing) {
    std::vector<TrackDefaults> defaults;
    for (const TrackInfo& track : recording.tracks) {
        defaults.push_back(track.defaults);
    }
    FileBytes bytes(file, recording.end);
    return scanIntoTables(bytes, recording.moov.end(), recording.end, defaults, tables, keepGoing);
}

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
bool writeMdatHeader(RandomAccessFile& file, std::uint64_t offset, std::uint64_t end) {
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
        !writeMdatHeader(file, recording->moov.offset, moovOffset) || !file.sync()) {
        return FinishOutcome::fileFailed;
    }
    return FinishOutcome::finished;
}

}  // namespace isobmff
