// MovieWriter against real inputs made by ffmpeg and real muxers, outputs checked with ffprobe and a
// full decode.
#include "movie_writer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <memory>
#include <regex>
#include <thread>
#include <vector>

#include "ffmpeg_owners.h"
#include "media_fixture.h"

namespace fs = std::filesystem;
using media_fixture::makeMedia;
using media_fixture::pathFor;

namespace {

const bool quietLibraries = [] {
    av_log_set_level(AV_LOG_FATAL);
    return true;
}();

// Three seconds of 160x120 H.264 (with B-frames unless noted) and mono AAC.
const char* const kSources =
    "-f lavfi -i testsrc2=size=160x120:rate=25:duration=3 -f lavfi -i "
    "sine=frequency=440:sample_rate=44100:duration=3 ";
const char* const kCodecs = "-c:v libx264 -preset ultrafast -g 25 -c:a aac -b:a 64k ";

// MPEG-TS: timestamps at 1/90000, ADTS audio without extradata.
std::string makeTsInput() {
    return makeMedia("in.ts", std::string(kSources) + kCodecs + "-bf 2");
}
std::string makeMp4Input() {
    return makeMedia("in.mp4", std::string(kSources) + kCodecs + "-bf 2");
}
// Matroska: timestamps at 1/1000. No B-frames: their missing DTS is the driver's repair business.
std::string makeMkvInput() {
    return makeMedia("in.mkv", std::string(kSources) + kCodecs);
}
// MP3 audio: with the AAC flag on it goes to an mp4 as it is, without the filter.
std::string makeMp3TsInput() {
    return makeMedia("in.ts", std::string(kSources) + "-c:v libx264 -preset ultrafast -c:a libmp3lame");
}
std::string makeSilentTsInput() {
    return makeMedia("in.ts",
                     "-f lavfi -i testsrc2=size=160x120:rate=25:duration=3 -c:v libx264 -preset ultrafast");
}

struct Input {
    InputPtr context;
    int video = -1;
    int audio = -1;

    AVStream* stream(int index) const { return index >= 0 ? context->streams[index] : nullptr; }
    const AVCodecParameters* params(int index) const {
        return index >= 0 ? stream(index)->codecpar : nullptr;
    }
};

Input openInput(const std::string& path) {
    Input input;
    AVFormatContext* context = nullptr;
    if (avformat_open_input(&context, path.c_str(), nullptr, nullptr) < 0) {
        ADD_FAILURE() << "cannot open " << path;
        return input;
    }
    input.context.reset(context);
    EXPECT_GE(avformat_find_stream_info(context, nullptr), 0);
    input.video = av_find_best_stream(context, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    input.audio = av_find_best_stream(context, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    return input;
}

enum class Kind { AudioVideo, VideoOnly, AudioOnly };

// The writer as the driver makes it for -mav, -mv or -ma.
std::unique_ptr<MovieWriter> makeWriter(const Input& in, Kind kind, const std::string& path,
                                        bool useAacFilter, int (*callback)(void*) = ioTimeoutCallback) {
    int unusedOpaque = 0;
    switch (kind) {
        case Kind::AudioVideo:
            return std::make_unique<MovieWriter>(path, in.video, in.audio, in.params(in.video),
                                                 in.params(in.audio), in.stream(in.video),
                                                 in.stream(in.audio), callback, &unusedOpaque, useAacFilter);
        case Kind::VideoOnly:
            return std::make_unique<MovieWriter>(path, in.video, -1, in.params(in.video), nullptr,
                                                 in.stream(in.video), nullptr, callback, &unusedOpaque,
                                                 useAacFilter);
        case Kind::AudioOnly:
            break;
    }
    return std::make_unique<MovieWriter>(path, -1, in.audio, nullptr, in.params(in.audio), nullptr,
                                         in.stream(in.audio), callback, &unusedOpaque, useAacFilter);
}

PacketPtr newPacket() {
    return PacketPtr(av_packet_alloc());
}

// Reads the next packet of the given stream; false at the end of the input.
bool readPacketOf(const Input& in, int streamIndex, AVPacket* packet) {
    while (av_read_frame(in.context.get(), packet) >= 0) {
        if (packet->stream_index == streamIndex) {
            return true;
        }
        av_packet_unref(packet);
    }
    return false;
}

// Hands every packet to the writers the way the driver does: a single-stream writer gets its own
// reference, taken before the audio-and-video writer rewrites the packet itself.
void feedAll(const Input& in, MovieWriter* audioVideo, MovieWriter* videoOnly, MovieWriter* audioOnly) {
    PacketPtr packet = newPacket();
    PacketPtr copy = newPacket();
    while (av_read_frame(in.context.get(), packet.get()) >= 0) {
        const bool isVideo = packet->stream_index == in.video;
        const bool isAudio = !isVideo && packet->stream_index == in.audio;
        MovieWriter* single = isVideo ? videoOnly : isAudio ? audioOnly : nullptr;
        if (isVideo || isAudio) {
            if (single != nullptr) {
                ASSERT_EQ(av_packet_ref(copy.get(), packet.get()), 0);
            }
            if (audioVideo != nullptr) {
                ASSERT_EQ(audioVideo->writePacket(packet.get()), 0);
            }
            if (single != nullptr) {
                ASSERT_EQ(single->writePacket(copy.get()), 0);
                av_packet_unref(copy.get());
            }
        }
        av_packet_unref(packet.get());
    }
}

std::string stripColours(const std::string& text) {
    return std::regex_replace(text, std::regex("\x1b\\[[0-9;]*m"), "");
}

std::string regexEscape(const std::string& text) {
    return std::regex_replace(text, std::regex(R"([.^$|()\[\]{}*+?\\])"), R"(\$&)");
}

// The five-line error report of this unit, with times matched by pattern.
std::string reportPattern(const std::string& message) {
    return "### Error: " + regexEscape(message) +
           "\n    local_time=\\d{4}-\\d{2}-\\d{2}\\.\\d{2}:\\d{2}:\\d{2}"
           "\n    elapsed_time=\\d{3,}:\\d{2}:\\d{2}:\\d{2}:\\d{3}"
           "\n    file=mediatap/movie_writer\n    line=\\d+\n";
}

std::string opened(const std::string& path) {
    return "### Movie " + path + " opened for writing\n";
}
std::string finalized(const std::string& path) {
    return "### Movie " + path + " finalized\n";
}

// Checks an output file: stream order and codecs, codec configuration present, timestamps starting
// at zero, the input's length, and a decode without a single error.
void expectGoodOutput(const std::string& path, const std::vector<std::string>& codecs, double seconds) {
    SCOPED_TRACE(path);
    const media_fixture::MediaFacts facts = media_fixture::probe(path);
    ASSERT_TRUE(facts.ok);
    ASSERT_EQ(facts.streams.size(), codecs.size());
    for (std::size_t i = 0; i < codecs.size(); ++i) {
        const media_fixture::StreamFacts& stream = facts.streams[i];
        SCOPED_TRACE("stream " + std::to_string(i));
        EXPECT_EQ(stream.index, static_cast<int>(i));
        EXPECT_EQ(stream.codecName, codecs[i]);
        EXPECT_EQ(stream.startPts.value_or(-1), 0);
        // MPEG-TS keeps the codec configuration in the packets; MP3 has none.
        if (facts.formatName != "mpegts" && stream.codecName != "mp3") {
            EXPECT_GT(stream.extradataSize, 0);
        }
        const double duration = stream.duration.value_or(facts.duration.value_or(0.0));
        EXPECT_NEAR(duration, seconds, 0.15);
    }
    EXPECT_EQ(media_fixture::decodeErrors(path), "");
}

}  // namespace

// ---------------------------------------------------------------------------------------------------------
// Remuxing into every container the tool is used with

struct RemuxCase {
    const char* name;
    std::string (*makeInput)();
    const char* output;
    Kind kind;
    bool useAacFilter;
    std::vector<std::string> codecs;
};

class Remux : public testing::TestWithParam<RemuxCase> {};

TEST_P(Remux, WritesAPlayableCopyWithStreamsInOrder) {
    const RemuxCase& c = GetParam();
    const Input in = openInput(c.makeInput());
    ASSERT_TRUE(in.context);
    const std::string out = pathFor(c.output);

    testing::internal::CaptureStdout();
    {
        std::unique_ptr<MovieWriter> writer = makeWriter(in, c.kind, out, c.useAacFilter);
        ASSERT_TRUE(writer->isOpen());
        feedAll(in, c.kind == Kind::AudioVideo ? writer.get() : nullptr,
                c.kind == Kind::VideoOnly ? writer.get() : nullptr,
                c.kind == Kind::AudioOnly ? writer.get() : nullptr);
    }
    EXPECT_EQ(stripColours(testing::internal::GetCapturedStdout()), opened(out) + finalized(out));
    expectGoodOutput(out, c.codecs, 3.0);
}

const std::vector<std::string> kVideoAndAudio{"h264", "aac"};
const std::vector<std::string> kVideo{"h264"};
const std::vector<std::string> kAudio{"aac"};

INSTANTIATE_TEST_SUITE_P(
    Containers, Remux,
    testing::Values(
        RemuxCase{"AdtsTsToMp4", makeTsInput, "out.mp4", Kind::AudioVideo, true, kVideoAndAudio},
        RemuxCase{"TsToMkv", makeTsInput, "out.mkv", Kind::AudioVideo, false, kVideoAndAudio},
        RemuxCase{"TsToFlv", makeTsInput, "out.flv", Kind::AudioVideo, false, kVideoAndAudio},
        RemuxCase{"Mp4ToTs", makeMp4Input, "out.ts", Kind::AudioVideo, false, kVideoAndAudio},
        RemuxCase{"Mp4ToMov", makeMp4Input, "out.mov", Kind::AudioVideo, false, kVideoAndAudio},
        RemuxCase{"Mp3TsToMp4", makeMp3TsInput, "out.mp4", Kind::AudioVideo, true, {"h264", "mp3"}},
        RemuxCase{"MkvToMp4", makeMkvInput, "out.mp4", Kind::AudioVideo, true, kVideoAndAudio},
        RemuxCase{"InputWithoutAudioToMp4", makeSilentTsInput, "out.mp4", Kind::AudioVideo, true, kVideo},
        RemuxCase{"TsVideoToMp4", makeTsInput, "out.mp4", Kind::VideoOnly, true, kVideo},
        RemuxCase{"MkvVideoToFlv", makeMkvInput, "out.flv", Kind::VideoOnly, false, kVideo},
        RemuxCase{"TsAudioToM4a", makeTsInput, "out.m4a", Kind::AudioOnly, true, kAudio},
        RemuxCase{"Mp4AudioToMkv", makeMp4Input, "out.mkv", Kind::AudioOnly, false, kAudio}),
    [](const testing::TestParamInfo<RemuxCase>& info) { return std::string(info.param.name); });

// The driver's full set: -mav, -mv and -ma on one input, destroyed in the order -mv, -ma, -mav.
TEST(MovieWriter, ThreeWritersShareTheDriversPackets) {
    const Input in = openInput(makeTsInput());
    ASSERT_TRUE(in.context);
    const std::string both = pathFor("both.mp4");
    const std::string video = pathFor("video.mp4");
    const std::string audio = pathFor("audio.m4a");

    testing::internal::CaptureStdout();
    {
        std::unique_ptr<MovieWriter> audioVideo = makeWriter(in, Kind::AudioVideo, both, true);
        std::unique_ptr<MovieWriter> videoOnly = makeWriter(in, Kind::VideoOnly, video, true);
        std::unique_ptr<MovieWriter> audioOnly = makeWriter(in, Kind::AudioOnly, audio, true);
        ASSERT_TRUE(audioVideo->isOpen() && videoOnly->isOpen() && audioOnly->isOpen());
        feedAll(in, audioVideo.get(), videoOnly.get(), audioOnly.get());
        videoOnly.reset();
        audioOnly.reset();
        audioVideo.reset();
    }
    EXPECT_EQ(
        stripColours(testing::internal::GetCapturedStdout()),
        opened(both) + opened(video) + opened(audio) + finalized(video) + finalized(audio) + finalized(both));
    expectGoodOutput(both, kVideoAndAudio, 3.0);
    expectGoodOutput(video, kVideo, 3.0);
    expectGoodOutput(audio, kAudio, 3.0);
}

// ---------------------------------------------------------------------------------------------------------
// Set-up failures: one report each, no open writer, and a writer that refuses every packet

struct SetUpFailure {
    const char* name;
    const char* message;
    bool fileRemains;
    // Makes the writer; gets the input and the scratch directory.
    std::unique_ptr<MovieWriter> (*make)(const Input& in, const std::string& dir);
};

class SetUpFails : public testing::TestWithParam<SetUpFailure> {};

const std::string kFailedOutput = "failed";

TEST_P(SetUpFails, ReportsOnceAndRefusesPackets) {
    const SetUpFailure& c = GetParam();
    const Input in = openInput(makeMedia("in.ts",
                                         "-f lavfi -i testsrc2=size=160x120:rate=25:duration=1 -f lavfi "
                                         "-i sine=duration=1 -c:v libx264 -preset ultrafast -c:a mp2"));
    ASSERT_TRUE(in.context);
    const std::string dir = media_fixture::testDir();
    const bool errorFlagBefore = isGlobalErr();

    testing::internal::CaptureStdout();
    std::unique_ptr<MovieWriter> writer = c.make(in, dir);
    const std::string report = stripColours(testing::internal::GetCapturedStdout());
    EXPECT_FALSE(writer->isOpen());
    EXPECT_TRUE(std::regex_match(report, std::regex(reportPattern(c.message)))) << report;

    const bool invalidInput = std::string(c.message).starts_with("Invalid input");
    if (invalidInput) {
        EXPECT_TRUE(isGlobalErr());
    } else if (!errorFlagBefore) {
        EXPECT_FALSE(isGlobalErr());
    }

    // A packet handed to a failed writer comes back as it was, and nothing is printed.
    PacketPtr packet = newPacket();
    ASSERT_TRUE(readPacketOf(in, in.video, packet.get()));
    const AVPacket before = *packet;
    testing::internal::CaptureStdout();
    EXPECT_EQ(writer->writePacket(packet.get()), -1);
    writer.reset();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(packet->pts, before.pts);
    EXPECT_EQ(packet->dts, before.dts);
    EXPECT_EQ(packet->duration, before.duration);
    EXPECT_EQ(packet->stream_index, before.stream_index);
    EXPECT_EQ(packet->data, before.data);
    EXPECT_EQ(packet->size, before.size);
    EXPECT_EQ(packet->buf, before.buf);

    // Only the output file itself may be left behind, and only once it was created.
    bool outputExists = false;
    for (const auto& entry : fs::recursive_directory_iterator(dir)) {
        outputExists = outputExists || entry.path().filename().string().starts_with(kFailedOutput);
    }
    EXPECT_EQ(outputExists, c.fileRemains);
}

INSTANTIATE_TEST_SUITE_P(
    Steps, SetUpFails,
    testing::Values(
        SetUpFailure{"NoCodecParameters", "Invalid input ALL THREADS SIGNALED TO TERMINATE", false,
                     [](const Input& in, const std::string& dir) {
                         return std::make_unique<MovieWriter>(
                             dir + "/failed.mp4", in.video, in.audio, nullptr, nullptr, in.stream(in.video),
                             in.stream(in.audio), ioTimeoutCallback, nullptr, true);
                     }},
        SetUpFailure{"CodecParametersWithoutStream", "Invalid input ALL THREADS SIGNALED TO TERMINATE", false,
                     [](const Input& in, const std::string& dir) {
                         return std::make_unique<MovieWriter>(dir + "/failed.mp4", in.video, -1,
                                                              in.params(in.video), nullptr, nullptr, nullptr,
                                                              ioTimeoutCallback, nullptr, false);
                     }},
        SetUpFailure{"UnknownExtension", "avformat_alloc_output_context2 failure", false,
                     [](const Input& in, const std::string& dir) {
                         return makeWriter(in, Kind::AudioVideo, dir + "/failed.notacontainer", false);
                     }},
        SetUpFailure{"MissingDirectory", "avio_open failure", false,
                     [](const Input& in, const std::string& dir) {
                         return makeWriter(in, Kind::VideoOnly, dir + "/failed-dir/out.mkv", false);
                     }},
        SetUpFailure{"DirectoryIsAFile", "avio_open failure", false,
                     [](const Input& in, const std::string& dir) {
                         return makeWriter(in, Kind::VideoOnly, dir + "/in.ts/failed.mkv", false);
                     }},
        SetUpFailure{"CodecTheContainerRefuses", "avformat_write_header failure", true,
                     [](const Input& in, const std::string& dir) {
                         return makeWriter(in, Kind::VideoOnly, dir + "/failed.aac", false);
                     }},
        SetUpFailure{"CodecTheContainerRefusesUnderTheAacFlag", "avformat_write_header failure", true,
                     [](const Input& in, const std::string& dir) {
                         return makeWriter(in, Kind::AudioOnly, dir + "/failed.aac", true);
                     }}),
    [](const testing::TestParamInfo<SetUpFailure>& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------------------------------------
// Timestamps

// Writes every packet of the input's video stream to a video-only writer, with the timestamps of the
// packets listed in `changes` (by position) replaced first.
struct TimestampChange {
    std::size_t position;
    std::int64_t pts;
    std::int64_t dts;
};

void writeVideo(const Input& in, MovieWriter& writer, const std::vector<TimestampChange>& changes = {}) {
    PacketPtr packet = newPacket();
    for (std::size_t position = 0; readPacketOf(in, in.video, packet.get()); ++position) {
        for (const TimestampChange& change : changes) {
            if (change.position == position) {
                packet->pts = change.pts;
                packet->dts = change.dts;
            }
        }
        ASSERT_EQ(writer.writePacket(packet.get()), 0) << "packet " << position;
        av_packet_unref(packet.get());
    }
}

std::vector<std::int64_t> ptsOf(const std::vector<media_fixture::PacketFacts>& packets) {
    std::vector<std::int64_t> pts;
    for (const auto& packet : packets) {
        pts.push_back(packet.pts.value_or(AV_NOPTS_VALUE));
    }
    return pts;
}

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
    const std::string output = stripColours(testing::internal::GetCapturedStdout());
    EXPECT_TRUE(
        std::regex_match(output, std::regex(regexEscape(opened(out)) +
                                            reportPattern("Failed to apply bitstream filter aac_adtstoasc") +
                                            regexEscape(finalized(out)))))
        << output;
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
    const std::string output = stripColours(testing::internal::GetCapturedStdout());
    EXPECT_EQ(results, (std::vector<int>{0, 0, -1, 0}));
    EXPECT_TRUE(std::regex_match(
        output, std::regex(regexEscape(opened(out)) + reportPattern("av_interleaved_write_frame failure") +
                           regexEscape(finalized(out)))))
        << output;
    EXPECT_EQ(ptsOf(media_fixture::probePackets(out, 0)), (std::vector<std::int64_t>{0, 100, 200}));
}

// ---------------------------------------------------------------------------------------------------------
// The I/O watchdog

// Stands in for ioTimeoutCallback: records the timer the writer hands over and how long ago it was
// restarted, and asks FFmpeg to abandon the call while `interrupt` is set.
struct WatchdogProbe {
    std::vector<const void*> timers;
    std::vector<double> elapsedMs;
    bool interrupt = false;
};
WatchdogProbe watchdog;

int probeCallback(void* opaque) {
    watchdog.timers.push_back(opaque);
    watchdog.elapsedMs.push_back(static_cast<const IntervalTimer*>(opaque)->elapsedMs());
    return watchdog.interrupt ? 1 : 0;
}

// The writer's own timer guards its file; the trailer gets a fresh budget even after a long pause.
TEST(MovieWriter, GuardsFileWritesWithItsOwnTimer) {
    watchdog = WatchdogProbe{};
    const Input in = openInput(makeMkvInput());
    ASSERT_TRUE(in.context);
    int callerOpaque = 0;
    auto writer =
        std::make_unique<MovieWriter>(pathFor("out.mkv"), in.video, -1, in.params(in.video), nullptr,
                                      in.stream(in.video), nullptr, probeCallback, &callerOpaque, false);
    ASSERT_TRUE(writer->isOpen());
    writeVideo(in, *writer);
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    watchdog.elapsedMs.clear();
    writer.reset();

    ASSERT_FALSE(watchdog.timers.empty());
    for (const void* timer : watchdog.timers) {
        EXPECT_EQ(timer, watchdog.timers.front());
        EXPECT_NE(timer, &callerOpaque);
    }
    ASSERT_FALSE(watchdog.elapsedMs.empty());
    for (const double ms : watchdog.elapsedMs) {
        EXPECT_LT(ms, 500.0);
    }
}

// An abandoned trailer is reported, no " finalized" line follows, and the writer still lets go of the
// file and the context.
TEST(MovieWriter, ReportsAFailedTrailerWithoutFinalizing) {
    watchdog = WatchdogProbe{};
    const Input in = openInput(makeMkvInput());
    ASSERT_TRUE(in.context);
    const std::string out = pathFor("out.mkv");
    testing::internal::CaptureStdout();
    auto writer = std::make_unique<MovieWriter>(out, in.video, -1, in.params(in.video), nullptr,
                                                in.stream(in.video), nullptr, probeCallback, nullptr, false);
    ASSERT_TRUE(writer->isOpen());
    writeVideo(in, *writer);
    watchdog.interrupt = true;
    writer.reset();
    watchdog.interrupt = false;
    const std::string output = stripColours(testing::internal::GetCapturedStdout());
    EXPECT_TRUE(std::regex_match(
        output, std::regex(regexEscape(opened(out)) + reportPattern("av_write_trailer failure"))))
        << output;
    EXPECT_TRUE(fs::exists(out));
}
