// Test media made and checked with the ffmpeg and ffprobe programs.
//
// Every test gets its own scratch directory (named after the test and the process); files made or
// named through this helper live there. The directory is removed when the test passes and kept, with
// its path printed, when it fails or when the environment variable TRSN_KEEP_TEST_MEDIA is set.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace media_fixture {

// The current test's scratch directory, created on first use.
std::string testDir();
// Path of a file in the scratch directory (the file itself is not created).
std::string pathFor(const std::string& name);

// Runs "ffmpeg -v error -y <ffmpegArgs> <scratch>/<name>" and returns the output path. Records a test
// failure (and returns the path anyway) when ffmpeg fails. Example arguments:
//   "-f lavfi -i testsrc2=size=160x120:rate=25:duration=3 -c:v libx264 -preset ultrafast"
std::string makeMedia(const std::string& name, const std::string& ffmpegArgs);

// The name under which the ffmpeg programs see a file: the path itself, or under Wine the host's
// path (the file's directory must exist).
std::string hostPath(const std::string& path);
// Quotes one argument for the shell that runs the ffmpeg programs.
std::string quote(const std::string& argument);
std::string quotePath(const std::string& path);  // quote(hostPath(path))

// Runs a command line in the shell of the ffmpeg programs (under Wine: the host's shell, file names in
// host form); returns its exit status. Standard output and standard error go to the given
// strings when they are not null (each is read from a file in the scratch directory).
int runCommand(const std::string& command, std::string* out = nullptr, std::string* err = nullptr);

// ffmpeg's errors when it decodes the file up to `seconds` of its stream time (empty when there are none).
std::string decodeErrorsUpTo(const std::string& path, double seconds);

struct StreamFacts {
    int index = -1;
    std::string codecType;  // "video", "audio", ...
    std::string codecName;  // "h264", "aac", ...
    std::string timeBase;   // "1/90000"
    std::optional<std::int64_t> startPts;
    std::optional<double> duration;  // seconds; some containers give none per stream
    int extradataSize = 0;
    int width = 0;
    int height = 0;
    int sampleRate = 0;
    int channels = 0;
};

struct MediaFacts {
    bool ok = false;  // ffprobe could read the file
    std::string formatName;
    std::optional<double> duration;  // of the whole file, seconds
    std::vector<StreamFacts> streams;
};

// What ffprobe says about a file: container and streams in file order.
MediaFacts probe(const std::string& path);

struct PacketFacts {
    std::optional<std::int64_t> pts;
    std::optional<std::int64_t> dts;
    std::optional<std::int64_t> duration;
    bool key = false;
};

// The packets of one stream of a file, in file order, timestamps in that stream's time base.
std::vector<PacketFacts> probePackets(const std::string& path, int streamIndex);

// Decodes every stream of the file with ffmpeg and returns what it printed at log level "error":
// empty when the file decodes cleanly.
std::string decodeErrors(const std::string& path);

}  // namespace media_fixture
