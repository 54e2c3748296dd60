#include "diagnostics/status_line.h"

#include <cinttypes>
#include <cstdio>

namespace {

constexpr double redrawMs = 1000.0;  // at most once a second

}  // namespace

std::string statusText(double streamSeconds, std::int64_t videoPackets, std::int64_t audioPackets,
                       std::uint64_t bytesWritten) {
    const auto seconds = streamSeconds > 0.0 ? static_cast<std::uint64_t>(streamSeconds) : 0;
    char text[160];
    std::snprintf(text, sizeof text,
                  "### Capturing %" PRIu64 ":%02u:%02u of stream time, %" PRId64 " video and %" PRId64
                  " audio packets, %.1f MB",
                  seconds / 3600, static_cast<unsigned>(seconds / 60 % 60),
                  static_cast<unsigned>(seconds % 60), videoPackets, audioPackets,
                  static_cast<double>(bytesWritten) / 1e6);
    return text;
}

StatusLine::StatusLine() : interactive(consoleIsInteractive()) {}

bool StatusLine::due() const {
    return interactive && sinceShown.elapsedMs() >= redrawMs;
}

void StatusLine::update(double streamSeconds, std::int64_t videoPackets, std::int64_t audioPackets,
                        std::uint64_t bytesWritten) {
    if (!due()) {
        return;
    }
    showStatusLine(statusText(streamSeconds, videoPackets, audioPackets, bytesWritten));
    sinceShown.restart();
}
