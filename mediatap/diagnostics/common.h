// Diagnostics of trsn.mediatap: coloured console output, five-line error and warning reports with the
// process-wide error flag, the interval timer and the I/O watchdog handed to FFmpeg.
#pragma once

#include <cstdint>
#include <string>

#if defined(_WIN32)
#define NCV_EXPORT extern "C" __declspec(dllexport)
#else
#define NCV_EXPORT extern "C" __attribute__((visibility("default")))
#endif

enum ConsoleColor : int { White = 0, Red = 1, Green = 2, Cyan = 3, Yellow = 4 };

// Writes the message unchanged to standard output in the given colour, flushes, and puts the console
// back into the colour it had when the first message was written.
NCV_EXPORT void ncvDebugOutput(const std::string& message, ConsoleColor color);
// Shows a five-line error (red) or warning (yellow) report naming the caller's file and line.
NCV_EXPORT void ncvAssertPrint_(const std::string& message, bool isWarning, const char* file, int line);
NCV_EXPORT void setGlobalErr();
NCV_EXPORT bool isGlobalErr();

// The one status line of a capture, for an interactive console only: shown in place of the one before,
// and cleared before any other message is written, so that it never stays among them.
bool consoleIsInteractive();
void showStatusLine(const std::string& text);
void clearStatusLine();

// Milliseconds between two performance-counter readings; the mean of the two frequencies is used.
double intervalMs(std::uint64_t startCounter, std::uint64_t startFrequency, std::uint64_t nowCounter,
                  std::uint64_t nowFrequency);

class IntervalTimer {
  public:
    enum StartNow { startNow };

    IntervalTimer() = default;  // no start reading until restart()
    explicit IntervalTimer(StartNow) { restart(); }

    void restart();
    double elapsedMs() const;
    // From this timer's start reading to the later one's, without reading the clock.
    double elapsedMsUntil(const IntervalTimer& later) const;
    std::int64_t elapsedWholeMs() const { return static_cast<std::int64_t>(elapsedMs()); }

    std::int64_t counter = 0;
    std::int64_t frequency = 0;
};

// Measures the age of the process; started during static initialisation.
extern const IntervalTimer startupTimer;

// Budget of one guarded FFmpeg call, counted from the owner's last restart of its timer.
constexpr double ioTimeoutMs = 5000.0;
inline bool ioDeadlinePassed(double elapsedMs) {
    return elapsedMs > ioTimeoutMs;
}

// FFmpeg interrupt callback: opaque points to the owner's IntervalTimer. Answers 1 (abandon the call)
// once the budget is spent. A stop request does not count here: the outputs must still be written and
// finalised after one (the input's own callback also answers a stop request).
int ioTimeoutCallback(void* opaque);

// Stop on request (Ctrl+C, SIGTERM, console close): the first request ends the run as a normal end,
// a second one ends the process at once.
void installStopHandler();
bool stopRequested();
// Called by the driver once its teardown is complete (a console-close handler waits for it).
void notifyTeardownDone();
// True when the system is about to end the process after a stop request that it gives only so much time
// (a console close, a log-off, a shutdown): work that can be left undone should be.
bool stopDeadlineNear();

// Pieces of the report, exposed for tests.
std::string elapsedTimeString(std::uint64_t ms);
std::string elapsedTimeString();
std::string localTimeString();
std::string composeReport(const std::string& message, bool isWarning, const char* file, int line,
                          const std::string& localTime, const std::string& elapsedTime);
// Console attribute shown for a colour value (values outside the table give attribute 0).
unsigned consoleAttribute(int color);
