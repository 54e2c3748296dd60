// The status line of a long capture: on an interactive console, one line, rewritten in place at most
// once a second, that shows the capture is alive. Nothing at all anywhere else.
#pragma once

#include <cstdint>
#include <string>

#include "diagnostics/common.h"

// "### Capturing <h:mm:ss> of stream time, <video count> video and <audio count> audio packets,
// <MB written> MB", the time in whole seconds, a megabyte 10^6 bytes, shown with one decimal.
std::string statusText(double streamSeconds, std::int64_t videoPackets, std::int64_t audioPackets,
                       std::uint64_t bytesWritten);

class StatusLine {
  public:
    StatusLine();
    // Shows the capture's state when the console is interactive and a second has passed since the
    // line was last shown (or the capture started).
    void update(double streamSeconds, std::int64_t videoPackets, std::int64_t audioPackets,
                std::uint64_t bytesWritten);
    // Whether the line is wanted at all: the caller need not gather what it shows otherwise.
    bool due() const;

  private:
    bool interactive;
    IntervalTimer sinceShown{IntervalTimer::startNow};
};
