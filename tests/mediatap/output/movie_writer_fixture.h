// Shared helpers of the MovieWriter tests: real inputs made by ffmpeg, writers made the way the driver
// makes them, packets fed the way the driver feeds them, and checks of what the writer printed and wrote.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "media_fixture.h"
#include "output/ffmpeg_owners.h"
#include "output/movie_writer.h"
#include "report_text.h"

namespace writer_fixture {

// Three seconds of 160x120 H.264 and mono AAC in MPEG-TS (timestamps at 1/90000, ADTS audio without
// extradata), with B-frames.
std::string makeTsInput();
// The same in MP4.
std::string makeMp4Input();
// The same in Matroska (timestamps at 1/1000), without B-frames: their missing DTS is the driver's repair
// business.
std::string makeMkvInput();
// MPEG-TS with MP3 audio: with the AAC flag on it goes to an mp4 as it is, without the filter.
std::string makeMp3TsInput();
// MPEG-TS with video alone.
std::string makeSilentTsInput();

// An opened input with its best video and audio stream (-1: none).
struct Input {
    InputPtr context;
    int video = -1;
    int audio = -1;

    AVStream* stream(int index) const { return index >= 0 ? context->streams[index] : nullptr; }
    const AVCodecParameters* params(int index) const {
        return index >= 0 ? stream(index)->codecpar : nullptr;
    }
    MovieWriter::Source source(int index) const { return {index, params(index), stream(index)}; }
};

// Records a test failure and returns an input without context when the file cannot be opened.
Input openInput(const std::string& path);

enum class Kind { AudioVideo, VideoOnly, AudioOnly };

// The input streams the driver hands a writer for -mav, -mv or -ma; an empty Source for none.
struct Sources {
    MovieWriter::Source video;
    MovieWriter::Source audio;
};
Sources sourcesFor(const Input& in, Kind kind);

// The writer as the driver makes it for -mav, -mv or -ma.
std::unique_ptr<MovieWriter> makeWriter(const Input& in, Kind kind, const std::string& path,
                                        bool useAacFilter, int (*callback)(void*) = ioTimeoutCallback);

PacketPtr newPacket();

// Reads the next packet of the given stream; false at the end of the input.
bool readPacketOf(const Input& in, int streamIndex, AVPacket* packet);

// Hands every packet to the writers the way the driver does: a single-stream writer gets its own
// reference, taken before the audio-and-video writer rewrites the packet itself. Null: no such writer.
void feedAll(const Input& in, MovieWriter* audioVideo, MovieWriter* videoOnly, MovieWriter* audioOnly);

// A packet (by position in its stream) whose timestamps are replaced before it is written.
struct TimestampChange {
    std::size_t position;
    std::int64_t pts;
    std::int64_t dts;
};

// Writes every packet of the input's video stream to a video-only writer, with the changes made first.
void writeVideo(const Input& in, MovieWriter& writer, const std::vector<TimestampChange>& changes = {});

std::vector<std::int64_t> ptsOf(const std::vector<media_fixture::PacketFacts>& packets);

// What was printed since testing::internal::CaptureStdout(), without colours and with the reports'
// times and lines normalised (report_text.h).
std::string capturedOutput();
// The writer's error report as capturedOutput gives it.
std::string writerError(const std::string& message);
// The writer's report of a failure, followed by the line that says why.
std::string writerFailure(const std::string& message, const std::string& reason, const std::string& path);
// The platform's text (strerror's, FormatMessage's) for a file that cannot be created because its folder
// is missing, and because a part of its path is a file.
std::string missingFolderText();
std::string fileAsFolderText();

// Checks an output file: stream order and codecs, codec configuration present, timestamps starting
// at zero, the given length, and a decode without a single error.
void expectGoodOutput(const std::string& path, const std::vector<std::string>& codecs, double seconds);

// Names a parameterised case after the `name` field of its parameter.
struct CaseName {
    template <class Case>
    std::string operator()(const testing::TestParamInfo<Case>& tested) const {
        return tested.param.name;
    }
};

}  // namespace writer_fixture
