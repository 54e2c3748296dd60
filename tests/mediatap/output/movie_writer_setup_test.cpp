// MovieWriter set-up failures: one report each (with why, for a failed file operation or FFmpeg call),
// no open writer, a writer that refuses every packet, and no file left behind unless it had been created.
// And the check before a recording starts: the same reports, a codec the container refuses named, and
// nothing created or changed.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "movie_writer_fixture.h"
#include "read_file.h"

namespace fs = std::filesystem;
using media_fixture::makeMedia;
using writer_fixture::capturedOutput;
using writer_fixture::CaseName;
using writer_fixture::Input;
using writer_fixture::Kind;
using writer_fixture::newPacket;
using writer_fixture::openInput;
using writer_fixture::readPacketOf;
using writer_fixture::Sources;
using writer_fixture::sourcesFor;
using writer_fixture::writerError;

// What the writer is not given of the input streams it is asked to copy.
enum class Missing { nothing, codecParameters, inputStream };

// Why a failure failed, as the line after its report gives it.
enum class Cause { none, noSuchFolder, notAFolder, invalidArgument };

std::string causeText(Cause cause, const std::string& path) {
    switch (cause) {
        case Cause::none:
            return "";
        case Cause::noSuchFolder:
            return causeLine(writer_fixture::missingFolderText(), path);
        case Cause::notAFolder:
            return causeLine(writer_fixture::fileAsFolderText(), path);
        case Cause::invalidArgument:
            return causeLine("Invalid argument", path);
    }
    return "";
}

struct SetUpFailure {
    const char* name;
    const char* message;
    bool fileRemains;
    Kind kind;
    const char* file;  // in the scratch directory
    bool useAacFilter;
    Missing missing = Missing::nothing;
    Cause cause = Cause::none;
};

// The writer as the driver makes it for the case's kind, less what the case leaves out.
std::unique_ptr<MovieWriter> makeFailingWriter(const Input& in, const SetUpFailure& c,
                                               const std::string& dir) {
    Sources sources = sourcesFor(in, c.kind);
    for (MovieWriter::Source* source : {&sources.video, &sources.audio}) {
        if (c.missing == Missing::codecParameters) {
            source->params = nullptr;
        } else if (c.missing == Missing::inputStream) {
            source->stream = nullptr;
        }
    }
    return std::make_unique<MovieWriter>(dir + "/" + c.file, sources.video, sources.audio, ioTimeoutCallback,
                                         c.useAacFilter);
}

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
    std::unique_ptr<MovieWriter> writer = makeFailingWriter(in, c, dir);
    const std::string report = capturedOutput();
    EXPECT_FALSE(writer->isOpen());
    EXPECT_EQ(report, writerError(c.message) + causeText(c.cause, dir + "/" + c.file));

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
                     Kind::AudioVideo, "failed.mp4", true, Missing::codecParameters},
        SetUpFailure{"CodecParametersWithoutStream", "Invalid input ALL THREADS SIGNALED TO TERMINATE", false,
                     Kind::VideoOnly, "failed.mp4", false, Missing::inputStream},
        SetUpFailure{"UnknownExtension", "avformat_alloc_output_context2 failure", false, Kind::AudioVideo,
                     "failed.notacontainer", false},
        SetUpFailure{"MissingDirectory", "avio_open failure", false, Kind::VideoOnly, "failed-dir/out.mkv",
                     false, Missing::nothing, Cause::noSuchFolder},
        SetUpFailure{"DirectoryIsAFile", "avio_open failure", false, Kind::VideoOnly, "in.ts/failed.mkv",
                     false, Missing::nothing, Cause::notAFolder},
        SetUpFailure{"CodecTheContainerRefuses", "avformat_write_header failure", true, Kind::VideoOnly,
                     "failed.aac", false, Missing::nothing, Cause::invalidArgument},
        SetUpFailure{"CodecTheContainerRefusesUnderTheAacFlag", "avformat_write_header failure", true,
                     Kind::AudioOnly, "failed.aac", true, Missing::nothing, Cause::invalidArgument}),
    CaseName());

namespace {

// An input stream described by hand, as a demuxer would describe it: enough for a muxer to judge it.
struct HandMadeStream {
    AVMediaType type;
    AVCodecID codec;
    int width = 0;
    int height = 0;
    int sampleRate = 0;
};

struct FormatFree {
    void operator()(AVFormatContext* context) const { avformat_free_context(context); }
};

class HandMadeInput {
  public:
    explicit HandMadeInput(const HandMadeStream& described) : context(avformat_alloc_context()) {
        stream = avformat_new_stream(context.get(), nullptr);
        AVCodecParameters* params = stream->codecpar;
        params->codec_type = described.type;
        params->codec_id = described.codec;
        params->width = described.width;
        params->height = described.height;
        params->sample_rate = described.sampleRate;
        params->ch_layout.order = AV_CHANNEL_ORDER_UNSPEC;
        params->ch_layout.nb_channels = described.type == AVMEDIA_TYPE_AUDIO ? 1 : 0;
        stream->time_base =
            described.type == AVMEDIA_TYPE_AUDIO ? AVRational{1, described.sampleRate} : AVRational{1, 90000};
    }
    MovieWriter::Source source() const { return {0, stream->codecpar, stream}; }
    bool isVideo() const { return stream->codecpar->codec_type == AVMEDIA_TYPE_VIDEO; }

  private:
    std::unique_ptr<AVFormatContext, FormatFree> context;
    AVStream* stream = nullptr;
};

// The names of the files in a folder and below it.
std::vector<std::string> filesIn(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& entry : fs::recursive_directory_iterator(dir)) {
        names.push_back(entry.path().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

struct CheckFailure {
    const char* name;
    HandMadeStream stream;
    const char* file;  // in the scratch directory
    // The report; "@" stands for the file's path.
    const char* message;
    Cause cause = Cause::none;
};

class CheckFails : public testing::TestWithParam<CheckFailure> {};

}  // namespace

// The check says what the constructor would, names a codec the container refuses as FFmpeg names it, with
// those of .mkv and .mov that take it, and creates nothing.
TEST_P(CheckFails, ReportsWhatWouldFailAndCreatesNothing) {
    const CheckFailure& c = GetParam();
    const HandMadeInput input(c.stream);
    const std::string dir = media_fixture::testDir();
    const std::string path = dir + "/" + c.file;
    const std::vector<std::string> before = filesIn(dir);
    const MovieWriter::Source none;

    testing::internal::CaptureStdout();
    const bool passed = input.isVideo() ? MovieWriter::check(path, input.source(), none, false)
                                        : MovieWriter::check(path, none, input.source(), true);
    const std::string report = capturedOutput();
    EXPECT_FALSE(passed);
    std::string message = c.message;
    if (const auto at = message.find('@'); at != std::string::npos) {
        message.replace(at, 1, path);
    }
    EXPECT_EQ(report, writerError(message) + causeText(c.cause, path));
    EXPECT_EQ(filesIn(dir), before);
}

INSTANTIATE_TEST_SUITE_P(Outputs, CheckFails,
                         testing::Values(
                             // The audio of many cameras.
                             CheckFailure{"CameraAudioInMp4",
                                          {AVMEDIA_TYPE_AUDIO, AV_CODEC_ID_PCM_ALAW, 0, 0, 8000},
                                          "cam.mp4",
                                          "Output @ cannot hold pcm_alaw audio; .mkv or .mov can"},
                             CheckFailure{"OnlyMatroskaTakesIt",
                                          {AVMEDIA_TYPE_AUDIO, AV_CODEC_ID_ADPCM_IMA_WAV, 0, 0, 8000},
                                          "a.mp4",
                                          "Output @ cannot hold adpcm_ima_wav audio; .mkv can"},
                             CheckFailure{"OnlyMovTakesIt",
                                          {AVMEDIA_TYPE_AUDIO, AV_CODEC_ID_PCM_S8, 0, 0, 8000},
                                          "a.mp4",
                                          "Output @ cannot hold pcm_s8 audio; .mov can"},
                             CheckFailure{"NeitherTakesIt",
                                          {AVMEDIA_TYPE_AUDIO, AV_CODEC_ID_PCM_U16LE, 0, 0, 8000},
                                          "a.mp4",
                                          "Output @ cannot hold pcm_u16le audio"},
                             CheckFailure{"VideoInAnAudioContainer",
                                          {AVMEDIA_TYPE_VIDEO, AV_CODEC_ID_MJPEG, 160, 120, 0},
                                          "v.aac",
                                          "Output @ cannot hold mjpeg video; .mkv or .mov can"},
                             // No container takes a picture without its size: that is not the codec's fault.
                             CheckFailure{"NoPictureSize",
                                          {AVMEDIA_TYPE_VIDEO, AV_CODEC_ID_MJPEG, 0, 0, 0},
                                          "v.mkv",
                                          "avformat_write_header failure",
                                          Cause::invalidArgument},
                             CheckFailure{"MissingFolder",
                                          {AVMEDIA_TYPE_VIDEO, AV_CODEC_ID_MJPEG, 160, 120, 0},
                                          "no-dir/v.mkv",
                                          "avio_open failure",
                                          Cause::noSuchFolder}),
                         CaseName());

// A check that passes prints nothing, and leaves a file that is there already byte for byte as it was.
TEST(MovieWriterCheck, PassesSilentlyAndLeavesAnExistingFileAsItWas) {
    const Input in = openInput(writer_fixture::makeTsInput());
    ASSERT_TRUE(in.context);
    for (const char* name : {"old.mp4", "old.mkv", "old.ts", "new.mov"}) {
        SCOPED_TRACE(name);
        const std::string path = media_fixture::pathFor(name);
        const bool existing = std::string(name).starts_with("old");
        if (existing) {
            std::ofstream(path, std::ios::binary) << "an earlier recording";
        }
        const Sources sources = sourcesFor(in, Kind::AudioVideo);
        testing::internal::CaptureStdout();
        EXPECT_TRUE(MovieWriter::check(path, sources.video, sources.audio, true));
        EXPECT_EQ(capturedOutput(), "");
        EXPECT_EQ(fs::exists(path), existing);
        if (existing) {
            EXPECT_EQ(readFile(path), "an earlier recording");
        }
    }
}
