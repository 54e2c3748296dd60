// POSIX terms of the console layer: ANSI colours on a terminal, CLOCK_MONOTONIC, signals.
#include <signal.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

#include "diagnostics/console.h"

namespace console {

struct Handle {
    bool isTerminal;
};

namespace {

// SGR sequence for a console text attribute (blue 1, green 2, red 4, intensity 8; background << 4).
void writeSgr(std::ostream& out, std::uint16_t attribute) {
    auto ansiIndex = [](unsigned bits) {
        return (bits & 4 ? 1 : 0) | (bits & 2 ? 2 : 0) | (bits & 1 ? 4 : 0);
    };
    const unsigned fg = attribute & 0x0F;
    const unsigned bg = (attribute >> 4) & 0x0F;
    out << "\x1b[" << ((fg & 8) ? 90 : 30) + ansiIndex(fg) << ';' << ((bg & 8) ? 100 : 40) + ansiIndex(bg)
        << 'm';
}

std::atomic<int> requests{0};
void (*requestCallback)() = nullptr;

// Moves the cursor to the start of its line and empties the line.
constexpr char clearLine[] = "\r\x1b[K";
// A status line is on the terminal: a process that ends at once takes it away first.
std::atomic<bool> statusShown{false};

extern "C" void onSignal(int) {
    const int count = requests.fetch_add(1) + 1;
    if (count > 1) {
        if (statusShown.load()) {
            [[maybe_unused]] const ssize_t written = write(STDOUT_FILENO, clearLine, sizeof clearLine - 1);
        }
        _exit(255);
    }
    if (requestCallback != nullptr) {
        requestCallback();
    }
}

}  // namespace

Handle* standardOutput() {
    static Handle handle{isatty(STDOUT_FILENO) == 1};
    return &handle;
}

std::uint16_t readAttribute(Handle*) {
    return 0;
}

void setAttribute(Handle* handle, std::ostream& out, std::uint16_t attribute) {
    if (handle != nullptr && handle->isTerminal) {
        writeSgr(out, attribute);
    }
}

void restoreAttribute(Handle* handle, std::ostream& out, std::uint16_t) {
    if (handle != nullptr && handle->isTerminal) {
        out << "\x1b[0m";
        out.flush();
    }
}

bool isInteractive(Handle* handle) {
    return handle != nullptr && handle->isTerminal;
}

void showStatus(Handle*, std::ostream& out, const std::string& text) {
    winsize size{};
    std::size_t fits = text.size();
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 1 && fits > size.ws_col - 1u) {
        fits = size.ws_col - 1u;  // the last column would wrap the cursor
    }
    statusShown.store(true);
    out << '\r';
    out.write(text.data(), static_cast<std::streamsize>(fits));
    out << "\x1b[K";
    out.flush();
}

void clearStatus(Handle*, std::ostream& out) {
    out << clearLine;
    out.flush();
    statusShown.store(false);
}

void readCounter(std::int64_t& frequency, std::int64_t& counter) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    frequency = 1000000000;
    counter = static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

void installStopHandler(void (*onFirstRequest)()) {
    requestCallback = onFirstRequest;
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

void teardownDone() {}

bool stopDeadlineNear() {
    return false;  // SIGINT and SIGTERM leave the process all the time it needs
}

}  // namespace console
