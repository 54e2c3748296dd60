// The outputs of the command line, from their table to their teardown.
#include "outputs.h"

#include <array>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <utility>

#include "diagnostics/failure_cause.h"
#include "main_report.h"

namespace driver {

namespace {

// What a writer copies of the input: video, audio, or both.
struct Copied {
    MovieWriter::Source video;
    MovieWriter::Source audio;
};

std::unique_ptr<MovieWriter> makeWriter(const std::string& fileName, const Copied& copied,
                                        bool useAacFilter) {
    std::unique_ptr<MovieWriter> writer{new (std::nothrow) MovieWriter(fileName, copied.video, copied.audio,
                                                                       ioTimeoutCallback, useAacFilter)};
    if (writer && !writer->isOpen()) {
        writer.reset();
    }
    return writer;
}

constexpr const char* noAudioForMedia =
    "Media file for audio specified, but no audio stream found in the source";
constexpr const char* noAudioForLog = "Log file for audio specified, but no audio stream found in the source";

// An output of the command line: whether it was given, its file, whether it holds audio alone (and so
// is left out when the input has none), the report of its failure, and the warning of its leaving out.
struct OutputWanted {
    bool given;
    const std::string& name;
    bool audioAlone;
    const char* failure;
    const char* noAudio;
};

// Whether a given output is made: one with audio alone needs the input's audio.
bool isMade(const OutputWanted& output, const Streams& streams) {
    return output.given && (!output.audioAlone || streams.hasAudio);
}

// Whether a given output is left out for want of the input's audio, which is warned of.
bool leftOutWithoutAudio(const OutputWanted& output, const Streams& streams) {
    if (!output.given || isMade(output, streams)) {
        return false;
    }
    warningReport(output.noAudio, __LINE__);
    return true;
}

// A media output of the command line: what it copies besides its video (audio only where the input has
// it), and its place among the writers.
struct MediaOutput {
    OutputWanted wanted;
    bool withAudio;
    std::unique_ptr<MovieWriter> Writers::*writer;
};

// In the order of the set-up: -mav, -mv, -ma.
std::array<MediaOutput, 3> mediaOutputs(const RunOptions& options) {
    return {{{{options.mediaAudioVideoGiven, options.mediaAudioVideo, false,
               "Failed to open audio+video media output", noAudioForMedia},
              true,
              &Writers::audioVideo},
             {{options.mediaVideoGiven, options.mediaVideo, false, "Failed to open video media output",
               noAudioForMedia},
              false,
              &Writers::video},
             {{options.mediaAudioGiven, options.mediaAudio, true, "Failed to open audio media output",
               noAudioForMedia},
              true,
              &Writers::audio}}};
}

// What a media output's writer copies of the input.
Copied copiedBy(const Streams& streams, const MediaOutput& output) {
    Copied copied;
    if (!output.wanted.audioAlone) {
        copied.video = {streams.videoIndex, streams.video->codecpar, streams.video};
    }
    if (output.withAudio && streams.audio != nullptr) {
        copied.audio = {streams.audioIndex, streams.audio->codecpar, streams.audio};
    }
    return copied;
}

// A packet log of the command line, and its place among the logs.
struct LogOutput {
    OutputWanted wanted;
    PacketLog Logs::*log;
};

// In the order of the set-up: -lav, -lv, -la.
std::array<LogOutput, 3> logOutputs(const RunOptions& options) {
    return {{{{options.logAudioVideoGiven, options.logAudioVideo, false, "Failed to open log for audio+video",
               noAudioForLog},
              &Logs::audioVideo},
             {{options.logVideoGiven, options.logVideo, false, "Failed to open log for video", noAudioForLog},
              &Logs::video},
             {{options.logAudioGiven, options.logAudio, true, "Failed to open log for audio", noAudioForLog},
              &Logs::audio}}};
}

}  // namespace

// Reports a log that failed, and why.
bool logFailure(const PacketLog& log, const char* failure, int line) {
    errorReport(failure, line);
    reportCause(log.errorText(), log.fileName());
    return false;
}

// Checks, before any file is created or changed, what would keep the set-up from completing: each media
// output as its writer would make it (its folder, and a trial of its header), then each log, in the
// order of the set-up. The first failure is reported as the set-up would report it, with the warnings
// the set-up would have given before it; without one, nothing is printed.
bool checkOutputs(const RunOptions& options, const Streams& streams) {
    const std::array<MediaOutput, 3> media = mediaOutputs(options);
    for (const MediaOutput& output : media) {
        const Copied copied = copiedBy(streams, output);
        if (isMade(output.wanted, streams) &&
            !MovieWriter::check(output.wanted.name, copied.video, copied.audio, options.useAacFilter)) {
            return errorReport(output.wanted.failure, __LINE__);
        }
    }
    for (const LogOutput& output : logOutputs(options)) {
        std::string reason;
        if (isMade(output.wanted, streams) && !PacketLog::checkOpen(output.wanted.name, reason)) {
            for (const MediaOutput& left : media) {
                leftOutWithoutAudio(left.wanted, streams);
            }
            errorReport(output.wanted.failure, __LINE__);
            reportCause(reason, output.wanted.name);
            return false;
        }
    }
    return true;
}

// Creates the writers in the order -mav, -mv, -ma. After a failure, which is reported, the writers made
// so far are destroyed, which finalises their files.
std::optional<Writers> createWriters(const RunOptions& options, const Streams& streams) {
    Writers writers;
    for (const MediaOutput& output : mediaOutputs(options)) {
        if (!leftOutWithoutAudio(output.wanted, streams) && output.wanted.given) {
            std::unique_ptr<MovieWriter>& writer = writers.*output.writer;
            writer = makeWriter(output.wanted.name, copiedBy(streams, output), options.useAacFilter);
            if (!writer) {
                errorReport(output.wanted.failure, __LINE__);
                return std::nullopt;
            }
        }
    }
    return writers;
}

// Opens the logs in the order -lav, -lv, -la. After a failure, which is reported, the logs opened so far
// are closed.
std::optional<Logs> openLogs(const RunOptions& options, const Streams& streams) {
    Logs logs;
    for (const LogOutput& output : logOutputs(options)) {
        if (!leftOutWithoutAudio(output.wanted, streams) && output.wanted.given &&
            !(logs.*output.log).open(output.wanted.name)) {
            logFailure(logs.*output.log, output.wanted.failure, __LINE__);
            return std::nullopt;
        }
    }
    return logs;
}

// The teardown of the outputs in its fixed order: logs (-lv, -la, -lav), frame, writers (-mv, -ma, -mav).
// False when a log or a media file could not be completed. Each failure is reported, but a log whose
// write failed in the loop has said so already.
bool finishOutputs(Logs& logs, FramePtr& frame, Writers& writers, bool reportLogs) {
    bool complete = true;
    const std::pair<PacketLog*, const char*> logsInOrder[] = {{&logs.video, logVideoFailure},
                                                              {&logs.audio, logAudioFailure},
                                                              {&logs.audioVideo, logAudioVideoFailure}};
    for (const auto& [log, failure] : logsInOrder) {
        if (!log->close()) {
            complete = false;
            if (reportLogs) {
                logFailure(*log, failure, __LINE__);
            }
        }
    }
    frame.reset();
    for (std::unique_ptr<MovieWriter>* writer : {&writers.video, &writers.audio, &writers.audioVideo}) {
        if (*writer && !(*writer)->finish()) {
            complete = false;
        }
        writer->reset();
    }
    return complete;
}

}  // namespace driver
