// FFmpeg's own log on its way to standard error: every line with the addresses in it masked, and none
// at all while a LogSilence lives.
#pragma once

// Makes FFmpeg's log go through the masking; its levels, prefixes and colours stay FFmpeg's.
void installFfmpegLog();

// Keeps FFmpeg's log silent for its lifetime, from every thread of the process.
class LogSilence {
  public:
    LogSilence();
    ~LogSilence();
    LogSilence(const LogSilence&) = delete;
    LogSilence& operator=(const LogSilence&) = delete;
};
