// The line after the report of a failed FFmpeg call or file operation that says why it failed:
// "### Cause: <reason> (<file name or address>)", with the address masked.
#pragma once

#include <string>

void reportCause(const std::string& reason, const std::string& where);

// The reason of a source that sent nothing for the whole deadline: one that stalled, or never answered.
inline constexpr const char* stalledSourceCause = "no data from the source for 5 s";

// FFmpeg's text for one of its error codes, as av_strerror gives it.
std::string ffmpegErrorText(int code);
