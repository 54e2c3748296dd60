// MovieWriter set-up failures: one report each, no open writer, a writer that refuses every packet, and
// no file left behind unless it had been created.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

#include "movie_writer_fixture.h"

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

struct SetUpFailure {
    const char* name;
    const char* message;
    bool fileRemains;
    Kind kind;
    const char* file;  // in the scratch directory
    bool useAacFilter;
    Missing missing = Missing::nothing;
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
    EXPECT_EQ(report, writerError(c.message));

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
    testing::Values(SetUpFailure{"NoCodecParameters", "Invalid input ALL THREADS SIGNALED TO TERMINATE",
                                 false, Kind::AudioVideo, "failed.mp4", true, Missing::codecParameters},
                    SetUpFailure{"CodecParametersWithoutStream",
                                 "Invalid input ALL THREADS SIGNALED TO TERMINATE", false, Kind::VideoOnly,
                                 "failed.mp4", false, Missing::inputStream},
                    SetUpFailure{"UnknownExtension", "avformat_alloc_output_context2 failure", false,
                                 Kind::AudioVideo, "failed.notacontainer", false},
                    SetUpFailure{"MissingDirectory", "avio_open failure", false, Kind::VideoOnly,
                                 "failed-dir/out.mkv", false},
                    SetUpFailure{"DirectoryIsAFile", "avio_open failure", false, Kind::VideoOnly,
                                 "in.ts/failed.mkv", false},
                    SetUpFailure{"CodecTheContainerRefuses", "avformat_write_header failure", true,
                                 Kind::VideoOnly, "failed.aac", false},
                    SetUpFailure{"CodecTheContainerRefusesUnderTheAacFlag", "avformat_write_header failure",
                                 true, Kind::AudioOnly, "failed.aac", true}),
    CaseName());
