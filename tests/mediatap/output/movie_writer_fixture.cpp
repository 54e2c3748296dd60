#include "movie_writer_fixture.h"

#include <cerrno>
#include <cstring>
#include <regex>

#if defined(_WIN32)
#include <windows.h>

#include "diagnostics/output_file.h"
#endif

namespace writer_fixture {

using media_fixture::makeMedia;

namespace {

const bool quietLibraries = [] {
    av_log_set_level(AV_LOG_FATAL);
    return true;
}();

const char* const kSources =
    "-f lavfi -i testsrc2=size=160x120:rate=25:duration=3 -f lavfi -i "
    "sine=frequency=440:sample_rate=44100:duration=3 ";
const char* const kCodecs = "-c:v libx264 -preset ultrafast -g 25 -c:a aac -b:a 64k ";

}  // namespace

std::string makeTsInput() {
    return makeMedia("in.ts", std::string(kSources) + kCodecs + "-bf 2");
}
std::string makeMp4Input() {
    return makeMedia("in.mp4", std::string(kSources) + kCodecs + "-bf 2");
}
std::string makeMkvInput() {
    return makeMedia("in.mkv", std::string(kSources) + kCodecs);
}
std::string makeMp3TsInput() {
    return makeMedia("in.ts", std::string(kSources) + "-c:v libx264 -preset ultrafast -c:a libmp3lame");
}
std::string makeSilentTsInput() {
    return makeMedia("in.ts",
                     "-f lavfi -i testsrc2=size=160x120:rate=25:duration=3 -c:v libx264 -preset ultrafast");
}

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

Sources sourcesFor(const Input& in, Kind kind) {
    const MovieWriter::Source none;
    return {kind == Kind::AudioOnly ? none : in.source(in.video),
            kind == Kind::VideoOnly ? none : in.source(in.audio)};
}

std::unique_ptr<MovieWriter> makeWriter(const Input& in, Kind kind, const std::string& path,
                                        bool useAacFilter, int (*callback)(void*)) {
    const Sources sources = sourcesFor(in, kind);
    return std::make_unique<MovieWriter>(path, sources.video, sources.audio, callback, useAacFilter);
}

PacketPtr newPacket() {
    return PacketPtr(av_packet_alloc());
}

bool readPacketOf(const Input& in, int streamIndex, AVPacket* packet) {
    while (av_read_frame(in.context.get(), packet) >= 0) {
        if (packet->stream_index == streamIndex) {
            return true;
        }
        av_packet_unref(packet);
    }
    return false;
}

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

void writeVideo(const Input& in, MovieWriter& writer, const std::vector<TimestampChange>& changes) {
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

std::string capturedOutput() {
    static const std::regex colour("\x1b\\[[0-9;]*m");
    return normalizeReports(std::regex_replace(testing::internal::GetCapturedStdout(), colour, ""));
}

std::string writerError(const std::string& message) {
    return expectedReport("Error", message, "mediatap/movie_writer");
}

std::string writerFailure(const std::string& message, const std::string& reason, const std::string& path) {
    return writerError(message) + causeLine(reason, path);
}

#if defined(_WIN32)
std::string missingFolderText() {
    return systemErrorText(ERROR_PATH_NOT_FOUND);
}
std::string fileAsFolderText() {
    return missingFolderText();  // Windows gives the same code for both
}
#else
std::string missingFolderText() {
    return std::strerror(ENOENT);
}
std::string fileAsFolderText() {
    return std::strerror(ENOTDIR);
}
#endif

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

}  // namespace writer_fixture
