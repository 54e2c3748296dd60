// MovieWriter remuxing whole inputs into every container the tool is used with, outputs checked with
// ffprobe and a full decode.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "movie_writer_fixture.h"
#include "read_file.h"

using media_fixture::makeMedia;
using media_fixture::pathFor;
using writer_fixture::capturedOutput;
using writer_fixture::CaseName;
using writer_fixture::expectGoodOutput;
using writer_fixture::feedAll;
using writer_fixture::Input;
using writer_fixture::Kind;
using writer_fixture::makeMkvInput;
using writer_fixture::makeMp3TsInput;
using writer_fixture::makeMp4Input;
using writer_fixture::makeSilentTsInput;
using writer_fixture::makeTsInput;
using writer_fixture::makeWriter;
using writer_fixture::openInput;

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
    EXPECT_EQ(capturedOutput(), movieOpened(out) + movieFinalized(out));
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
    CaseName());

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
    EXPECT_EQ(capturedOutput(), movieOpened(both) + movieOpened(video) + movieOpened(audio) +
                                    movieFinalized(video) + movieFinalized(audio) + movieFinalized(both));
    expectGoodOutput(both, kVideoAndAudio, 3.0);
    expectGoodOutput(video, kVideo, 3.0);
    expectGoodOutput(audio, kAudio, 3.0);
}

// A recording in movie fragments keeps each moof, with the header of its mdat, inside one 4 KiB page of
// the file: a power cut that keeps some of the pages written since the last sync and loses others never
// leaves the file's end inside a fragment's header, which makes FFmpeg's reader refuse the whole file.
TEST(MovieWriter, KeepsEachFragmentHeaderInOnePageOfTheDisk) {
    const Input in = openInput(makeMedia(
        "long.ts",
        "-f lavfi -i testsrc2=size=64x64:rate=25:duration=60 -f lavfi -i sine=duration=60:sample_rate=8000 "
        "-c:v libx264 -preset ultrafast -b:v 12k -g 50 -c:a aac -b:a 8k"));
    ASSERT_TRUE(in.context);
    for (const char* const name : {"out.mp4", "out.mov"}) {
        SCOPED_TRACE(name);
        const std::string out = pathFor(name);
        testing::internal::CaptureStdout();
        std::unique_ptr<MovieWriter> writer = makeWriter(in, Kind::AudioVideo, out, true);
        ASSERT_TRUE(writer->isOpen());
        feedAll(in, writer.get(), nullptr, nullptr);
        ASSERT_GE(av_seek_frame(in.context.get(), -1, 0, AVSEEK_FLAG_BACKWARD), 0);

        // The fragments handed over so far, as the disk has them.
        const std::string bytes = readFile(out);
        const auto u32 = [&bytes](std::uint64_t at) {
            std::uint32_t value = 0;
            for (std::uint64_t i = at; i < at + 4; ++i) {
                value = value << 8 | static_cast<unsigned char>(bytes[i]);
            }
            return value;
        };
        constexpr std::uint64_t page = 4096;
        int fragments = 0;
        std::string crossing;
        std::uint64_t at = 0;
        while (at + 8 <= bytes.size() && u32(at) >= 8) {
            const std::uint64_t size = u32(at);
            if (bytes.compare(at + 4, 4, "moof") == 0) {
                ++fragments;
                const std::uint64_t headersEnd = at + size + 8;  // the mdat's header included
                if (at / page != (headersEnd - 1) / page) {
                    crossing.append(" ").append(std::to_string(at)).append("+").append(std::to_string(size));
                }
            }
            at += size;
        }
        writer.reset();
        EXPECT_EQ(capturedOutput(), movieOpened(out) + movieFinalized(out));
        EXPECT_EQ(at, bytes.size());
        EXPECT_GE(fragments, 50);
        EXPECT_EQ(crossing, "");
        expectGoodOutput(out, kVideoAndAudio, 60.1);
    }
}
