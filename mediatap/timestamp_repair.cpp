#include "timestamp_repair.h"

namespace {

// last + 1 without signed overflow (wraps like the machine does).
std::int64_t next(std::int64_t last) {
    return static_cast<std::int64_t>(static_cast<std::uint64_t>(last) + 1u);
}

}  // namespace

std::string repairTimestamps(std::int64_t& pts, std::int64_t& dts, RepairState& state,
                             const std::string& prefix) {
    std::string messages;
    if (dts < 0) {
        const std::int64_t assigned = next(state.lastDts);
        messages += prefix + ": Negative DTS=" + std::to_string(dts) +
                    ", assigning=" + std::to_string(assigned) + "\n";
        dts = assigned;
    }
    if (dts <= state.lastDts) {
        const std::int64_t assigned = next(state.lastDts);
        messages += prefix + ": Non-monotonic DTS=" + std::to_string(dts) +
                    " <= " + std::to_string(state.lastDts) + ", assigning=" + std::to_string(assigned) + "\n";
        dts = assigned;
    }
    if (pts < 0) {
        const std::int64_t assigned = next(state.lastPts);
        messages += prefix + ": Negative PTS=" + std::to_string(pts) +
                    ", assigning=" + std::to_string(assigned) + "\n";
        pts = assigned;
    }
    if (pts < dts) {
        messages +=
            prefix + ": PTS=" + std::to_string(pts) + " < DTS=" + std::to_string(dts) + ", setting PTS=DTS\n";
        pts = dts;
    }
    state.lastPts = pts;
    state.lastDts = dts;
    return messages;
}
