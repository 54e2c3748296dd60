#include "timeline/timestamp_repair.h"

#include <algorithm>
#include <climits>
#include <cmath>

namespace {

// FFmpeg's value for a missing timestamp.
constexpr std::int64_t missing = INT64_MIN;

// Sums without signed overflow (they wrap like the machine does).
std::int64_t add(std::int64_t a, std::int64_t b) {
    return static_cast<std::int64_t>(static_cast<std::uint64_t>(a) + static_cast<std::uint64_t>(b));
}
std::int64_t next(std::int64_t last) {
    return add(last, 1);
}

// A DTS step that goes back by more than this, or forward by more than that, is a jump (the ffmpeg
// program's thresholds for MPEG-TS); a live source cannot be silent for ten seconds, its deadline ends
// it first.
constexpr double jumpBackSeconds = 0.1;
constexpr double jumpForwardSeconds = 10.0;
// A jump of the other kind is the same event when it comes this close in stream time, by about as much.
constexpr double sameJumpWithinSeconds = 2.0;
constexpr double sameJumpAmountSeconds = 1.0;
// A kind comes back to the line it had before its latest jump only this soon after the jump, in stream
// time. A single wild time stamp, or a clock that went back for a moment, is back well within it, and a
// way back by a jump is one only within 10 s anyway (a longer step on the earlier line is a jump itself);
// later, a gap of a few lost packets would look like the way back.
constexpr double returnWithinSeconds = 10.0;

}  // namespace

std::string repairTimestamps(std::int64_t& pts, std::int64_t& dts, RepairState& state,
                             const std::string& prefix) {
    std::string messages;
    if (dts == missing) {
        const std::int64_t assigned = next(state.lastDts);
        messages += prefix + ": Negative DTS=" + std::to_string(dts) +
                    ", assigning=" + std::to_string(assigned) + "\n";
        dts = assigned;
    }
    if (state.started && dts <= state.lastDts) {
        const std::int64_t assigned = next(state.lastDts);
        messages += prefix + ": Non-monotonic DTS=" + std::to_string(dts) +
                    " <= " + std::to_string(state.lastDts) + ", assigning=" + std::to_string(assigned) + "\n";
        dts = assigned;
    }
    if (pts == missing) {
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
    state.started = true;
    return messages;
}

void CaptureRepair::Steps::add(std::int64_t step) {
    last[next] = step;
    next = (next + 1) % last.size();
    count = std::min(count + 1, last.size());
}

std::int64_t CaptureRepair::Steps::usual(std::int64_t fallback) const {
    if (count == 0) {
        return fallback;
    }
    std::array<std::int64_t, 16> sorted = last;
    std::sort(sorted.begin(), sorted.begin() + static_cast<std::ptrdiff_t>(count));
    return sorted[count / 2];
}

CaptureRepair::CaptureRepair(TimeBase videoBase, TimeBase audioBase) {
    kinds[video].base = videoBase;
    kinds[audio].base = audioBase;
}

double CaptureRepair::seconds(const KindState& state, std::int64_t ticks) const {
    return static_cast<double>(ticks) * state.base.num / state.base.den;
}

bool CaptureRepair::isJump(const KindState& state, std::int64_t step) const {
    const double length = seconds(state, step);
    return length < -jumpBackSeconds || length > jumpForwardSeconds;
}

std::string CaptureRepair::repair(Kind kind, std::int64_t& pts, std::int64_t& dts, std::int64_t duration,
                                  const std::string& prefix) {
    KindState& state = kinds[kind];
    std::string messages;
    if (state.beforeJump &&
        seconds(state, add(state.last.lastDts, -state.beforeJump->lastDts)) > returnWithinSeconds) {
        state.beforeJump.reset();
    }
    if (dts != missing && state.last.started) {
        const std::int64_t step = add(add(dts, state.shift), -state.last.lastDts);
        Jump jump;
        std::optional<std::int64_t> shift;
        if (isJump(state, step)) {
            shift = shiftForJump(kind, dts, duration, jump);
        } else if (backOnEarlierLine(state, dts, duration, step)) {
            shift = state.beforeJump->shift;
            jump.at = seconds(state, state.last.lastDts);
            jump.amount = seconds(state, step);
            jump.correction = seconds(state, add(*shift, -state.shift));
        }
        if (shift) {
            messages += prefix + ": Timestamp jump DTS=" + std::to_string(dts) + " after " +
                        std::to_string(state.last.lastDts) + ", shifting by " + std::to_string(*shift) + "\n";
            state.beforeJump = Line{state.shift, state.last.lastDts};
            state.shift = *shift;
            latestJump[kind] = jump;
        }
    }
    if (dts != missing) {
        dts = add(dts, state.shift);
    }
    if (pts != missing) {
        pts = add(pts, state.shift);
    }
    const bool stepped = state.last.started;
    const std::int64_t previous = state.last.lastDts;
    messages += repairTimestamps(pts, dts, state.last, prefix);
    if (stepped && dts > previous) {
        state.steps.add(add(dts, -previous));
    }
    return messages;
}

bool CaptureRepair::backOnEarlierLine(const KindState& state, std::int64_t dts, std::int64_t duration,
                                      std::int64_t step) const {
    if (!state.beforeJump || state.beforeJump->shift == state.shift) {
        return false;
    }
    // The step the packet takes on the earlier line: about the usual one, where the line in force makes
    // it longer by what the jump corrected.
    const std::int64_t earlierStep = add(add(dts, state.beforeJump->shift), -state.last.lastDts);
    const std::int64_t usual = std::max<std::int64_t>(1, state.steps.usual(duration));
    const std::int64_t off = earlierStep > usual ? earlierStep - usual : usual - earlierStep;
    return earlierStep > 0 && earlierStep < step && off <= usual / 2;
}

std::int64_t CaptureRepair::shiftForJump(Kind kind, std::int64_t dts, std::int64_t duration, Jump& jump) {
    KindState& state = kinds[kind];
    jump.at = seconds(state, state.last.lastDts);
    jump.amount = seconds(state, add(add(dts, state.shift), -state.last.lastDts));

    // Back onto the line before the kind's last jump: that jump was a single wild packet.
    if (state.beforeJump &&
        !isJump(state, add(add(dts, state.beforeJump->shift), -state.beforeJump->lastDts))) {
        jump.correction = seconds(state, add(state.beforeJump->shift, -state.shift));
        return state.beforeJump->shift;
    }
    // The other kind jumped the same way a moment ago: one event, one correction for both.
    const std::optional<Jump>& other = latestJump[kind == video ? audio : video];
    if (other && std::fabs(other->at - jump.at) <= sameJumpWithinSeconds &&
        std::fabs(other->amount - jump.amount) < sameJumpAmountSeconds) {
        jump.correction = other->correction;
        const double ticks = other->correction * state.base.den / state.base.num;
        return add(state.shift, static_cast<std::int64_t>(std::llround(ticks)));
    }
    // One usual step after the kind's last packet.
    const std::int64_t step = std::max<std::int64_t>(1, state.steps.usual(duration));
    const std::int64_t shift = add(add(state.last.lastDts, step), -dts);
    jump.correction = seconds(state, add(shift, -state.shift));
    return shift;
}
