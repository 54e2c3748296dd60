#include "diagnostics/common.h"

#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <ctime>
#include <iomanip>
#include <iostream>
#include <map>
#include <sstream>

#include "diagnostics/console.h"

namespace {

// Console state, set up on the first message.
std::map<int, std::uint16_t> colorTable;
bool tableReady = false;
console::Handle* consoleHandle = nullptr;
std::uint16_t savedAttribute = 0;
bool statusShown = false;

bool globalErr = false;

// Set on the first stop request; the console layer counts the requests and ends the process on the second.
std::atomic<bool> stopRequest{false};

void fillTable() {
    consoleHandle = console::standardOutput();
    savedAttribute = console::readAttribute(consoleHandle);
    colorTable[White] = 0x0F;
    colorTable[Red] = 0x0C;
    colorTable[Green] = 0x0A;
    colorTable[Cyan] = 0x0B;
    colorTable[Yellow] = 0x0E;
    tableReady = true;
}

void onStopRequest() {
    stopRequest.store(true);
}

}  // namespace

const IntervalTimer startupTimer{IntervalTimer::startNow};

unsigned consoleAttribute(int color) {
    if (!tableReady) {
        fillTable();
    }
    return colorTable[color];  // an unknown value is entered with attribute 0
}

void ncvDebugOutput(const std::string& message, ConsoleColor color) {
    if (!tableReady) {
        fillTable();
    }
    clearStatusLine();
    console::setAttribute(consoleHandle, std::cout, static_cast<std::uint16_t>(consoleAttribute(color)));
    std::cout << message;
    std::cout.flush();
    console::restoreAttribute(consoleHandle, std::cout, savedAttribute);
    std::cout.clear();  // a line that could not be written is dropped; the next one is tried anew
}

bool consoleIsInteractive() {
    return console::isInteractive(console::standardOutput());
}

void showStatusLine(const std::string& text) {
    if (!consoleIsInteractive()) {
        return;
    }
    console::showStatus(console::standardOutput(), std::cout, text);
    std::cout.clear();
    statusShown = true;
}

void clearStatusLine() {
    if (statusShown) {
        console::clearStatus(console::standardOutput(), std::cout);
        std::cout.clear();
        statusShown = false;
    }
}

std::string elapsedTimeString(std::uint64_t ms) {
    const std::uint64_t totalSeconds = ms / 1000;
    const std::uint64_t millis = ms - totalSeconds * 1000;
    const std::uint64_t totalMinutes = totalSeconds / 60;
    const std::uint64_t seconds = totalSeconds % 60;
    const std::uint64_t totalHours = totalMinutes / 60;
    const std::uint64_t minutes = totalMinutes % 60;
    const auto days = static_cast<std::uint32_t>(totalHours / 24);
    const std::uint64_t hours = totalHours % 24;
    std::ostringstream out;
    out << std::setfill('0') << std::setw(3) << days << ':' << std::setw(2) << hours << ':' << std::setw(2)
        << minutes << ':' << std::setw(2) << seconds << ':' << std::setw(3) << millis;
    return out.str();
}

std::string elapsedTimeString() {
    return elapsedTimeString(static_cast<std::uint64_t>(startupTimer.elapsedWholeMs()));
}

std::string localTimeString() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
#if defined(_WIN32)
    localtime_s(&local, &now);
#else
    localtime_r(&now, &local);
#endif
    char buffer[80] = {};
    std::strftime(buffer, sizeof buffer, "%Y-%m-%d.%X", &local);
    return buffer;
}

std::string composeReport(const std::string& message, bool isWarning, const char* file, int line,
                          const std::string& localTime, const std::string& elapsedTime) {
    std::ostringstream out;
    out << "### " << (isWarning ? "Warning: " : "Error: ") << message << "\n    local_time=" << localTime
        << "\n    elapsed_time=" << elapsedTime << "\n    file=" << file << "\n    line=" << line << '\n';
    return out.str();
}

void ncvAssertPrint_(const std::string& message, bool isWarning, const char* file, int line) {
    const std::string elapsed = elapsedTimeString();
    const std::string local = localTimeString();
    ncvDebugOutput(composeReport(message, isWarning, file, line, local, elapsed), isWarning ? Yellow : Red);
}

void setGlobalErr() {
    globalErr = true;
}

bool isGlobalErr() {
    return globalErr;
}

double intervalMs(std::uint64_t startCounter, std::uint64_t startFrequency, std::uint64_t nowCounter,
                  std::uint64_t nowFrequency) {
    const std::uint64_t difference = nowCounter - startCounter;
    const std::uint64_t sum = startFrequency + nowFrequency;
    return static_cast<double>(difference) * 2000.0 / static_cast<double>(sum);
}

void IntervalTimer::restart() {
    console::readCounter(frequency, counter);
}

double IntervalTimer::elapsedMs() const {
    std::int64_t nowFrequency = 0;
    std::int64_t nowCounter = 0;
    console::readCounter(nowFrequency, nowCounter);
    return intervalMs(static_cast<std::uint64_t>(counter), static_cast<std::uint64_t>(frequency),
                      static_cast<std::uint64_t>(nowCounter), static_cast<std::uint64_t>(nowFrequency));
}

double IntervalTimer::elapsedMsUntil(const IntervalTimer& later) const {
    return intervalMs(static_cast<std::uint64_t>(counter), static_cast<std::uint64_t>(frequency),
                      static_cast<std::uint64_t>(later.counter), static_cast<std::uint64_t>(later.frequency));
}

int ioTimeoutCallback(void* opaque) {
    const auto* timer = static_cast<const IntervalTimer*>(opaque);
    return ioDeadlinePassed(timer->elapsedMs()) ? 1 : 0;
}

void installStopHandler() {
    console::installStopHandler(onStopRequest);
}

bool stopRequested() {
    return stopRequest.load();
}

void notifyTeardownDone() {
    console::teardownDone();
}

bool stopDeadlineNear() {
    return console::stopDeadlineNear();
}
