// Repair of broken presentation and decoding timestamps, one stream kind at a time.
#pragma once

#include <cstdint>
#include <string>

struct RepairState {
    std::int64_t lastPts = -1;
    std::int64_t lastDts = -1;
};

// Applies the four rules in order to one packet's timestamps and returns the messages (one line each,
// every line starting with prefix), empty when nothing needed repair. Updates the state.
std::string repairTimestamps(std::int64_t& pts, std::int64_t& dts, RepairState& state,
                             const std::string& prefix);
