// The sample tables of one track of a standard MP4 file (stts, stss, ctts, stsc, stsz, stco or co64),
// made from its samples in decode order in two passes: the first counts what the tables will hold, the
// second writes each table, box header included, into the stretch of the file set aside for it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "diagnostics/output_file.h"
#include "isobmff/fragment_scan.h"

namespace isobmff {

// Buffered writes into one stretch of a file, which must come out exactly as long as set aside.
class RegionWriter {
  public:
    RegionWriter(RandomAccessFile& target, std::uint64_t offset, std::uint64_t size);
    void u32(std::uint32_t value) { put(value, 4); }
    void u64(std::uint64_t value) { put(value, 8); }
    // Writes out what is buffered; true when the stretch is exactly full and every write went through.
    bool finish();

  private:
    void put(std::uint64_t value, int bytes);
    void flush();

    RandomAccessFile& file;
    std::uint64_t at;
    std::uint64_t end;
    std::vector<std::uint8_t> buffer;
    bool failed = false;
};

// What the first pass found out about a track.
struct TrackSummary {
    std::uint64_t samples = 0;
    std::uint64_t chunks = 0;
    std::int64_t firstDecodeTime = 0;
    std::int64_t firstCompositionOffset = 0;
    std::uint64_t mediaDuration = 0;    // the sum of the sample durations
    std::uint64_t presentationEnd = 0;  // of the last presented sample, counted from the first decode time
    std::uint64_t sttsEntries = 0;
    std::uint64_t cttsEntries = 0;
    std::uint64_t stscEntries = 0;
    std::uint64_t syncSamples = 0;
    bool negativeComposition = false;
    bool constantSize = true;
    std::uint32_t size = 0;  // of every sample, when constant
    std::uint64_t largestChunkOffset = 0;
    bool durationTooLong = false;  // a gap that a 32-bit sample duration cannot hold

    bool hasCtts() const { return cttsEntries > 1 || (cttsEntries == 1 && firstCompositionOffset != 0); }
    bool hasStss() const { return syncSamples < samples; }
    bool largeOffsets() const { return largestChunkOffset > 0xFFFFFFFFu; }
};

enum Table : std::size_t { stts, stss, ctts, stsc, stsz, stco, tableCount };

// Each table's whole size in the finished file; 0 for a table the track does without.
std::array<std::uint64_t, tableCount> tableSizes(const TrackSummary& summary);

// One pass over a track's samples. Counting (no writers) fills in the summary; writing takes the first
// pass's summary and one writer per table that the sizes give room for.
class TrackTables {
  public:
    TrackTables();
    TrackTables(const TrackSummary& counted, std::array<RegionWriter*, tableCount> writers);

    void chunk(const Chunk& run);
    void sample(const Sample& next);
    // After the last sample. The summary is complete from then on.
    void finish();
    const TrackSummary& summary() const { return found; }

  private:
    // A sample with its duration, once the next one's decode time tells it.
    void add(const Sample& sample, std::uint64_t duration);
    void writeHeaders();
    void closeDurationRun();
    void closeCompositionRun();

    TrackSummary expected;
    std::array<RegionWriter*, tableCount> out{};
    TrackSummary found;
    std::optional<Sample> pending;
    // The runs being counted: of equal durations (stts), of equal composition offsets (ctts), of chunks of
    // equal length (stsc).
    std::uint64_t durationRun = 0;
    std::uint64_t runDuration = 0;
    std::uint64_t compositionRun = 0;
    std::int64_t runComposition = 0;
    std::uint32_t chunkRunSamples = 0;
    std::uint32_t chunkRunDescription = 0;
    bool chunkRunOpen = false;
};

// Hands the samples of the fragments in [begin, end) to tables, one TrackTables per track of the list,
// then finishes each. False when scanFragments is.
bool scanIntoTables(Bytes& file, std::uint64_t begin, std::uint64_t end,
                    const std::vector<TrackDefaults>& tracks, std::vector<TrackTables>& tables,
                    const std::function<bool()>& keepGoing);

}  // namespace isobmff
