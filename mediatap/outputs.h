// The media outputs and packet logs of the command line: their table, their check before anything is
// created, their creation and their teardown.
#pragma once

#include <memory>
#include <optional>

#include "driver.h"
#include "input_open.h"
#include "output/ffmpeg_owners.h"
#include "output/movie_writer.h"
#include "packet_log.h"

namespace driver {

// The media outputs, declared so that they are destroyed (and so finalised) in the order -mv, -ma, -mav.
struct Writers {
    std::unique_ptr<MovieWriter> audioVideo;  // -mav
    std::unique_ptr<MovieWriter> audio;       // -ma
    std::unique_ptr<MovieWriter> video;       // -mv
};

// The packet logs, declared so that they are closed in the order -lv, -la, -lav.
struct Logs {
    PacketLog audioVideo;  // -lav
    PacketLog audio;       // -la
    PacketLog video;       // -lv
};

inline constexpr const char* logAudioVideoFailure = "Failed to write log for audio+video";
inline constexpr const char* logVideoFailure = "Failed to write log for video";
inline constexpr const char* logAudioFailure = "Failed to write log for audio";

// Reports a log that failed, and why.
bool logFailure(const PacketLog& log, const char* failure, int line);

// Checks, before any file is created or changed, what would keep the set-up from completing: each media
// output as its writer would make it (its folder, and a trial of its header), then each log, in the
// order of the set-up. The first failure is reported as the set-up would report it, with the warnings
// the set-up would have given before it; without one, nothing is printed.
bool checkOutputs(const RunOptions& options, const Streams& streams);

// Creates the writers in the order -mav, -mv, -ma. After a failure, which is reported, the writers made
// so far are destroyed, which finalises their files.
std::optional<Writers> createWriters(const RunOptions& options, const Streams& streams);

// Opens the logs in the order -lav, -lv, -la. After a failure, which is reported, the logs opened so far
// are closed.
std::optional<Logs> openLogs(const RunOptions& options, const Streams& streams);

// The teardown of the outputs in its fixed order: logs (-lv, -la, -lav), frame, writers (-mv, -ma, -mav).
// False when a log or a media file could not be completed. Each failure is reported, but a log whose
// write failed in the loop has said so already.
bool finishOutputs(Logs& logs, FramePtr& frame, Writers& writers, bool reportLogs);

}  // namespace driver
