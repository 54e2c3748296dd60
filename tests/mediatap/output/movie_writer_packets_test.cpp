// MovieWriter packet writing: timestamps shifted to the first PTS and converted to the muxer's time
// base, and packets the AAC filter or the muxer refuse.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "movie_writer_fixture.h"

using media_fixture::makeMedia;
using media_fixture::pathFor;
using writer_fixture::capturedOutput;
using writer_fixture::Input;
using writer_fixture::Kind;
using writer_fixture::makeMkvInput;
using writer_fixture::makeTsInput;
using writer_fixture::makeWriter;
using writer_fixture::newPacket;
using writer_fixture::openInput;
using writer_fixture::ptsOf;
using writer_fixture::readPacketOf;
using writer_fixture::TimestampChange;
using writer_fixture::writerFailure;
using writer_fixture::writeVideo;

// ---------------------------------------------------------------------------------------------------------
// Timestamps

// 1/90000 in, 1/1000 out: every timestamp is shifted to the first one and cut down, never rounded up.
TEST(MovieWriter, ConvertsTimestampsToTheMuxersTimeBaseByTruncation) {
    const std::string input =
        makeMedia("in.ts",
                  "-f lavfi -i testsrc2=size=160x120:rate=30000/1001:duration=2 -c:v libx264 "
                  "-preset ultrafast -bf 2");
    const std::vector<std::int64_t> inputPts = ptsOf(media_fixture::probePackets(input, 0));
    ASSERT_GT(inputPts.size(), 3u);
    const Input in = openInput(input);
    const std::string out = pathFor("out.mkv");
    {
        std::unique_ptr<MovieWriter> writer = makeWriter(in, Kind::VideoOnly, out, false);
        ASSERT_TRUE(writer->isOpen());
        writeVideo(in, *writer);
    }
    std::vector<std::int64_t> expected;
    for (const std::int64_t pts : inputPts) {
        expected.push_back(std::max<std::int64_t>(pts - inputPts[0], 0) * 1000 / 90000);
    }
    std::vector<std::int64_t> written = ptsOf(media_fixture::probePackets(out, 0));
    EXPECT_EQ(written, expected);
    std::sort(written.begin(), written.end());
    ASSERT_GT(written.size(), 3u);
    EXPECT_EQ(written[1], 33);  // 3003 ticks
    EXPECT_EQ(written[2], 66);  // 6006 ticks: 66.73 ms, cut down
}

// Equal time bases: only the shift to the first PTS, shared by PTS and DTS, with DTS before it at 0. A
// first PTS of -1 is a base like any other, not "no base yet".
TEST(MovieWriter, ShiftsTimestampsToTheFirstPtsWhenTimeBasesAgree) {
    const std::string input = makeMedia("in.mkv",
                                        "-f lavfi -i testsrc2=size=160x120:rate=25:duration=2 -c:v libx264 "
                                        "-preset ultrafast -bf 0");
    const std::vector<media_fixture::PacketFacts> inputPackets = media_fixture::probePackets(input, 0);
    ASSERT_GT(inputPackets.size(), 3u);
    const Input in = openInput(input);
    const std::vector<std::vector<TimestampChange>> cases{{{0, 50, 40}, {1, 80, 70}}, {{0, -1, -1}}};
    for (const std::vector<TimestampChange>& changes : cases) {
        const std::int64_t base = changes.front().pts;
        SCOPED_TRACE("first PTS " + std::to_string(base));
        const std::string out = pathFor("out" + std::to_string(base) + ".flv");
        {
            std::unique_ptr<MovieWriter> writer = makeWriter(in, Kind::VideoOnly, out, false);
            ASSERT_TRUE(writer->isOpen());
            ASSERT_GE(av_seek_frame(in.context.get(), in.video, 0, AVSEEK_FLAG_BACKWARD), 0);
            writeVideo(in, *writer, changes);
        }
        const std::vector<media_fixture::PacketFacts> written = media_fixture::probePackets(out, 0);
        ASSERT_EQ(written.size(), inputPackets.size());
        for (std::size_t i = 0; i < written.size(); ++i) {
            std::int64_t pts = *inputPackets[i].pts;
            std::int64_t dts = *inputPackets[i].dts;
            for (const TimestampChange& change : changes) {
                if (change.position == i) {
                    pts = change.pts;
                    dts = change.dts;
                }
            }
            EXPECT_EQ(written[i].pts, pts - base) << "packet " << i;
            EXPECT_EQ(written[i].dts, std::max<std::int64_t>(dts - base, 0)) << "packet " << i;
        }
    }
}

// A missing PTS is neither a base nor shifted: the muxer gets it as missing and, without B-frames,
// takes the DTS for it. A DTS that comes before any base is 0.
TEST(MovieWriter, PassesMissingTimestampsOnAsMissing) {
    const std::string input = makeMedia(
        "in.ts", "-f lavfi -i testsrc2=size=160x120:rate=25:duration=2 -c:v libx264 -preset ultrafast");
    const std::vector<media_fixture::PacketFacts> inputPackets = media_fixture::probePackets(input, 0);
    ASSERT_GT(inputPackets.size(), 10u);
    const Input in = openInput(input);
    const std::string out = pathFor("out.mkv");
    {
        std::unique_ptr<MovieWriter> writer = makeWriter(in, Kind::VideoOnly, out, false);
        ASSERT_TRUE(writer->isOpen());
        std::vector<TimestampChange> changes;
        for (const std::size_t position : {0u, 1u, 7u}) {
            changes.push_back({position, AV_NOPTS_VALUE, *inputPackets[position].dts});
        }
        writeVideo(in, *writer, changes);
    }
    // The first packet with a PTS (position 2) is the base.
    std::vector<std::int64_t> expected{0, 0};
    for (std::size_t i = 2; i < inputPackets.size(); ++i) {
        expected.push_back((*inputPackets[i].pts - *inputPackets[2].pts) * 1000 / 90000);
    }
    EXPECT_EQ(ptsOf(media_fixture::probePackets(out, 0)), expected);
    EXPECT_EQ(media_fixture::decodeErrors(out), "");
}

// ---------------------------------------------------------------------------------------------------------
// Failures while writing

// Audio that the AAC filter cannot take is reported and not written; the packet keeps its own data with
// the writer's stream index and converted timestamps (1/90000 to mp4's 1/44100, cut down), and the
// writer goes on with the next packet.
TEST(MovieWriter, KeepsAPacketTheAacFilterRejects) {
    const Input in = openInput(makeTsInput());
    ASSERT_TRUE(in.context);
    const std::string out = pathFor("out.mp4");
    testing::internal::CaptureStdout();
    std::unique_ptr<MovieWriter> writer = makeWriter(in, Kind::AudioOnly, out, true);
    ASSERT_TRUE(writer->isOpen());

    PacketPtr packet = newPacket();
    ASSERT_TRUE(readPacketOf(in, in.audio, packet.get()));
    const std::int64_t base = packet->pts;
    ASSERT_EQ(writer->writePacket(packet.get()), 0);
    av_packet_unref(packet.get());

    ASSERT_TRUE(readPacketOf(in, in.audio, packet.get()));
    ASSERT_EQ(av_packet_make_writable(packet.get()), 0);
    packet->data[0] = 0;  // no ADTS header any more
    const std::int64_t pts = packet->pts;
    const std::int64_t duration = packet->duration;
    const std::uint8_t* data = packet->data;
    const int size = packet->size;
    EXPECT_EQ(writer->writePacket(packet.get()), -1);
    EXPECT_EQ(packet->stream_index, 0);
    EXPECT_EQ(packet->pts, (pts - base) * 44100 / 90000);
    EXPECT_EQ(packet->dts, (pts - base) * 44100 / 90000);
    EXPECT_EQ(packet->duration, duration * 44100 / 90000);
    EXPECT_EQ(packet->data, data);
    EXPECT_EQ(packet->size, size);
    av_packet_unref(packet.get());

    int written = 1;
    while (readPacketOf(in, in.audio, packet.get())) {
        ASSERT_EQ(writer->writePacket(packet.get()), 0);
        av_packet_unref(packet.get());
        ++written;
    }
    writer.reset();
    EXPECT_EQ(capturedOutput(), movieOpened(out) +
                                    writerFailure("Failed to apply bitstream filter aac_adtstoasc",
                                                  "Invalid data found when processing input", out) +
                                    movieFinalized(out));
    EXPECT_EQ(media_fixture::probePackets(out, 0).size(), static_cast<std::size_t>(written));
    EXPECT_EQ(media_fixture::decodeErrors(out), "");
}

// A packet the muxer refuses (DTS going back) is reported; the writer stays usable and finalises.
TEST(MovieWriter, ReportsAPacketTheMuxerRefusesAndGoesOn) {
    const Input in = openInput(makeMkvInput());
    ASSERT_TRUE(in.context);
    const std::string out = pathFor("out.flv");
    testing::internal::CaptureStdout();
    std::unique_ptr<MovieWriter> writer = makeWriter(in, Kind::VideoOnly, out, false);
    ASSERT_TRUE(writer->isOpen());
    PacketPtr packet = newPacket();
    std::vector<int> results;
    for (const std::int64_t timestamp : {1000, 1100, 1050, 1200}) {
        ASSERT_TRUE(readPacketOf(in, in.video, packet.get()));
        packet->pts = packet->dts = timestamp;
        results.push_back(writer->writePacket(packet.get()));
        av_packet_unref(packet.get());
    }
    writer.reset();
    const std::string output = capturedOutput();
    EXPECT_EQ(results, (std::vector<int>{0, 0, -1, 0}));
    EXPECT_EQ(output, movieOpened(out) +
                          writerFailure("av_interleaved_write_frame failure", "Invalid argument", out) +
                          movieFinalized(out));
    EXPECT_EQ(ptsOf(media_fixture::probePackets(out, 0)), (std::vector<std::int64_t>{0, 100, 200}));
}
