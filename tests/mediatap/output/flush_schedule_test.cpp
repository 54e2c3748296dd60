// When a writer hands its muxed data to the system and flushes it to the disk, for live captures, fast
// remuxes and clocks that jump or stand still.
#include "output/flush_schedule.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace {

struct Feed {
    double streamStep;  // seconds between two packets of a track
    double wallStep;    // milliseconds of wall-clock time between two packets
    int packets;
    // Stream seconds added to the track clock once, at this packet (a jump), or none.
    int jumpAt = -1;
    double jump = 0.0;
};

struct Outcome {
    int handOvers = 0;
    int syncs = 0;
    double longestStreamWait = 0.0;  // stream time between two hand-overs, at most
    double longestWallWait = 0.0;    // wall-clock time between two hand-overs, at most
};

// Two tracks take turns, each with its own clock.
Outcome run(const Feed& feed) {
    FlushSchedule schedule;
    Outcome outcome;
    double wall = 0.0;
    double clock[2] = {0.0, 0.0};
    double lastHandOverStream = 0.0;
    double lastHandOverWall = 0.0;
    for (int i = 0; i < feed.packets; ++i) {
        const std::size_t track = static_cast<std::size_t>(i % 2);
        if (i == feed.jumpAt) {
            clock[0] += feed.jump;
            clock[1] += feed.jump;
            lastHandOverStream += feed.jump;
        }
        if (schedule.packetMuxed(track, clock[track], wall)) {
            ++outcome.handOvers;
            outcome.syncs += schedule.handedOver(wall) ? 1 : 0;
            lastHandOverStream = clock[track];
            lastHandOverWall = wall;
        }
        outcome.longestStreamWait = std::max(outcome.longestStreamWait, clock[track] - lastHandOverStream);
        outcome.longestWallWait = std::max(outcome.longestWallWait, wall - lastHandOverWall);
        clock[track] += feed.streamStep;
        wall += feed.wallStep;
    }
    return outcome;
}

}  // namespace

TEST(FlushSchedule, HandsOverEveryHalfSecondAndSyncsEveryTwo) {
    struct Case {
        const char* name;
        Feed feed;
        int minHandOvers, maxHandOvers;
        int minSyncs, maxSyncs;
    };
    const Case cases[] = {
        // 60 s live at 25 packets a second per track: a hand-over each half second, a sync each two.
        {"live", {0.04, 20.0, 3000}, 115, 121, 29, 31},
        // 60 s of stream remuxed in 0.3 s of wall-clock time: as many hand-overs, no sync before two
        // seconds of wall-clock time have passed.
        {"fast remux", {0.04, 0.1, 3000}, 115, 121, 0, 0},
        // Timestamps that stand still: the wall clock hands over once a second.
        {"frozen clock", {0.0, 20.0, 3000}, 59, 61, 29, 31},
        // A clock that jumps back an hour: still a hand-over each half second after it.
        {"jump back", {0.04, 20.0, 3000, 1500, -3600.0}, 115, 122, 29, 31},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Outcome outcome = run(c.feed);
        EXPECT_GE(outcome.handOvers, c.minHandOvers);
        EXPECT_LE(outcome.handOvers, c.maxHandOvers);
        EXPECT_GE(outcome.syncs, c.minSyncs);
        EXPECT_LE(outcome.syncs, c.maxSyncs);
        EXPECT_LE(outcome.longestStreamWait, FlushSchedule::handOverSeconds + 0.04 + 1e-9);
        EXPECT_LE(outcome.longestWallWait, FlushSchedule::handOverMs + 20.0);
    }
}
