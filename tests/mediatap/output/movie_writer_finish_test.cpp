// MovieWriter finalisation and the I/O watchdog of its file: the writer's own timer guards every file
// write, the trailer gets a budget of its own, and an abandoned trailer is reported.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "movie_writer_fixture.h"

namespace fs = std::filesystem;
using media_fixture::pathFor;
using writer_fixture::capturedOutput;
using writer_fixture::Input;
using writer_fixture::Kind;
using writer_fixture::makeMkvInput;
using writer_fixture::makeWriter;
using writer_fixture::newPacket;
using writer_fixture::openInput;
using writer_fixture::readPacketOf;
using writer_fixture::writerFailure;
using writer_fixture::writeVideo;

namespace {

// Stands in for ioTimeoutCallback: records the timer the writer hands over and the reading of its last
// restart, and asks FFmpeg to abandon the call while `interrupt` is set.
struct WatchdogProbe {
    std::vector<const IntervalTimer*> timers;
    std::vector<std::int64_t> restarts;
    bool interrupt = false;
};
WatchdogProbe watchdog;

int probeCallback(void* opaque) {
    const auto* timer = static_cast<const IntervalTimer*>(opaque);
    watchdog.timers.push_back(timer);
    watchdog.restarts.push_back(timer->counter);
    return watchdog.interrupt ? 1 : 0;
}

}  // namespace

// The writer's own timer guards its file; the trailer's budget counts from a restart made after the
// last packet was written, not from that packet's.
TEST(MovieWriter, GuardsFileWritesWithItsOwnTimer) {
    watchdog = WatchdogProbe{};
    const Input in = openInput(makeMkvInput());
    ASSERT_TRUE(in.context);
    auto writer = std::make_unique<MovieWriter>(pathFor("out.mkv"), in.source(in.video),
                                                MovieWriter::Source{}, probeCallback, false);
    ASSERT_TRUE(writer->isOpen());
    writeVideo(in, *writer);

    // A reading strictly later than the last write's restart (at once, unless the counter is coarse):
    // every restart made while finishing reads at least as much.
    const IntervalTimer afterWrites{IntervalTimer::startNow};
    IntervalTimer finishing{IntervalTimer::startNow};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (finishing.counter <= afterWrites.counter && std::chrono::steady_clock::now() < deadline) {
        finishing.restart();
    }
    ASSERT_GT(finishing.counter, afterWrites.counter);
    watchdog.restarts.clear();
    writer.reset();

    for (const IntervalTimer* timer : watchdog.timers) {
        EXPECT_EQ(timer, watchdog.timers.front());
    }
    ASSERT_FALSE(watchdog.restarts.empty());
    for (const std::int64_t restart : watchdog.restarts) {
        EXPECT_GE(restart, finishing.counter);
    }
}

// An abandoned trailer is reported with why, no " finalized" line follows, and the writer still lets go of
// the file and the context.
TEST(MovieWriter, ReportsAFailedTrailerWithoutFinalizing) {
    watchdog = WatchdogProbe{};
    const Input in = openInput(makeMkvInput());
    ASSERT_TRUE(in.context);
    const std::string out = pathFor("out.mkv");
    testing::internal::CaptureStdout();
    std::unique_ptr<MovieWriter> writer = makeWriter(in, Kind::VideoOnly, out, false, probeCallback);
    ASSERT_TRUE(writer->isOpen());
    writeVideo(in, *writer);
    watchdog.interrupt = true;
    writer.reset();
    watchdog.interrupt = false;
    EXPECT_EQ(capturedOutput(),
              movieOpened(out) + writerFailure("av_write_trailer failure", "Immediate exit requested", out));
    EXPECT_TRUE(fs::exists(out));
}

// A recording the finishing step cannot turn into a standard file, because two of its samples lie too far
// apart for a sample duration, says so and stays the fragmented one with every packet.
TEST(MovieWriter, NamesWhyARecordingCouldNotBeFinished) {
    const Input in = openInput(makeMkvInput());
    ASSERT_TRUE(in.context);
    const std::string out = pathFor("out.mp4");
    testing::internal::CaptureStdout();
    std::unique_ptr<MovieWriter> writer = makeWriter(in, Kind::VideoOnly, out, false);
    ASSERT_TRUE(writer->isOpen());
    // After a hand-over (the file grew) the next packet opens a fragment of its own, whose decode time
    // jumps 83 hours ahead: past 2^32 ticks of the track's 16 kHz time scale.
    const std::int64_t jump = 300'000'000;  // in the input's milliseconds
    std::int64_t shift = 0;
    int written = 0;
    PacketPtr packet = newPacket();
    while (readPacketOf(in, in.video, packet.get())) {
        packet->pts += shift;
        packet->dts += shift;
        const std::uint64_t before = writer->bytesWritten();
        ASSERT_EQ(writer->writePacket(packet.get()), 0);
        av_packet_unref(packet.get());
        ++written;
        if (shift == 0 && written >= 15 && writer->bytesWritten() != before) {
            shift = jump;
        }
    }
    ASSERT_NE(shift, 0);
    writer.reset();
    EXPECT_EQ(capturedOutput(),
              movieOpened(out) +
                  writerFailure("av_write_trailer failure", "sample gap too long for the MP4 tables", out));
    EXPECT_EQ(media_fixture::probePackets(out, 0).size(), static_cast<std::size_t>(written));
}
