// Repair of broken presentation and decoding timestamps (-fix 1), one stream kind at a time, and the
// clock jumps of a capture: a camera whose clock is reset, an encoder that restarts, files put one after
// the other, a single wild timestamp.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

struct RepairState {
    std::int64_t lastPts = -1;
    std::int64_t lastDts = -1;
    bool started = false;  // a packet went through repair: lastPts and lastDts are its timestamps
};

// Applies the four rules in order to one packet's timestamps and returns the messages (one line each,
// every line starting with prefix), empty when nothing needed repair. Updates the state. Only FFmpeg's
// value for a missing timestamp counts as negative; any other value is judged like any other, and the
// first packet of a kind has no last DTS to be compared with.
std::string repairTimestamps(std::int64_t& pts, std::int64_t& dts, RepairState& state,
                             const std::string& prefix);

// A time base as a fraction of a second.
struct TimeBase {
    int num = 1;
    int den = 1;
};

// The repair of a capture with its video and audio kind. Before the four rules, a step of the DTS that
// goes back by more than 0.1 s or forward by more than 10 s is a jump: from that packet on the kind's
// timestamps are shifted so that it goes on one usual step after its last packet. A jump of the other kind
// by about the same amount, within 2 s of stream time, takes the same shift, so that a clock reset of the
// camera keeps audio and video together. A kind that comes back to the line it had before its last jump,
// within 10 s of stream time after that jump, takes that line's shift again: by a jump (a single wild
// packet), or by a step that is a usual one on that line and longer on the line in force (a clock that went
// back for a few packets and then comes back to where it was). Later, such a step is a gap (a few lost
// packets), not the way back.
class CaptureRepair {
  public:
    enum Kind : std::size_t { video, audio };

    CaptureRepair(TimeBase videoBase, TimeBase audioBase);

    // Repairs one packet of the kind; duration is its own, which stands for the usual step until the kind
    // has shown one. Returns the messages, one line each starting with prefix.
    std::string repair(Kind kind, std::int64_t& pts, std::int64_t& dts, std::int64_t duration,
                       const std::string& prefix);

    // The shift in force for the kind, in its ticks.
    std::int64_t shiftOf(Kind kind) const { return kinds[kind].shift; }

  private:
    // The last positive DTS steps of a kind, for its usual step.
    class Steps {
      public:
        void add(std::int64_t step);
        // Their median; the given fallback before there is any.
        std::int64_t usual(std::int64_t fallback) const;

      private:
        std::array<std::int64_t, 16> last{};
        std::size_t count = 0;
        std::size_t next = 0;
    };

    // The line a kind was on before its latest jump, until the return to it expires.
    struct Line {
        std::int64_t shift = 0;
        std::int64_t lastDts = 0;
    };

    struct KindState {
        TimeBase base;
        RepairState last;
        std::int64_t shift = 0;
        std::optional<Line> beforeJump;
        Steps steps;
    };

    // The latest jump of a kind: when (in seconds of written stream time), by how much as read, and the
    // correction it took.
    struct Jump {
        double at = 0.0;
        double amount = 0.0;
        double correction = 0.0;
    };

    // The shift that takes a jumping packet's DTS (as read) off the discontinuity. Fills in the jump.
    std::int64_t shiftForJump(Kind kind, std::int64_t dts, std::int64_t duration, Jump& jump);
    bool isJump(const KindState& state, std::int64_t step) const;
    // Whether a packet that is no jump under the shift in force, taking this step, is one usual step
    // after the last packet on the line the kind was on before its latest jump.
    bool backOnEarlierLine(const KindState& state, std::int64_t dts, std::int64_t duration,
                           std::int64_t step) const;
    double seconds(const KindState& state, std::int64_t ticks) const;

    std::array<KindState, 2> kinds;
    std::array<std::optional<Jump>, 2> latestJump;
};
