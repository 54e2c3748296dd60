// The layout of a finished moov, made from the recording's own: its boxes in their order, the headers
// rewritten with the durations, the edit lists new, each sample table a hole of its counted size.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "isobmff/iso_box.h"
#include "isobmff/mp4_recording.h"
#include "isobmff/mp4_tables.h"
#include "isobmff/mp4_timing.h"

namespace isobmff {

class MoovLayout {
  public:
    MoovLayout(const Recording& recording, const std::vector<TrackSummary>& summaries,
               const std::vector<TrackTiming>& timings);

    // False when a box would not fit its size field.
    bool build();

    const FieldWriter& written() const { return out; }
    // Where each track's tables are, by track and table.
    const std::vector<std::array<std::optional<FieldWriter::Hole>, tableCount>>& tables() const {
        return holes;
    }

  private:
    void copy(const Box& box) { out.bytes(moov.at(box), static_cast<std::size_t>(box.size)); }
    void close(const FieldWriter::Mark& mark) { ok = out.close(mark) && ok; }
    static std::uint8_t versionFor(std::uint64_t duration) { return duration > 0x7FFFFFFFu ? 1 : 0; }

    std::size_t trackIndex(const Box& trak) const;
    void copyTimes(FieldReader& in, std::uint8_t version, std::uint8_t newVersion);
    void replaceDuration(FieldReader& in, std::uint8_t version, std::uint64_t duration,
                         std::uint8_t newVersion);
    void rewriteHeader(const Box& header, std::uint64_t duration);
    void copyRest(const FieldReader& in, const Box& box);
    void writeTrack(const Box& trak);
    void writeEdits(const std::vector<Edit>& edits);
    void writeMedia(const Box& mdia, std::size_t index);
    void writeMediaInformation(const Box& minf, std::size_t index);
    void writeSampleTables(const Box& stbl, std::size_t index);
    void writeRollGroup(std::uint64_t sampleCount);

    const Recording& source;
    MoovBytes moov;
    const std::vector<TrackSummary>& samples;
    const std::vector<TrackTiming>& timing;
    std::uint64_t movieDuration = 0;
    FieldWriter out;
    std::vector<std::array<std::optional<FieldWriter::Hole>, tableCount>> holes;
    bool ok = true;
};

}  // namespace isobmff
