// Windows terms of the console layer: console text attributes, the performance counter and the
// console control handler.
#include <windows.h>

#include <atomic>

#include "diagnostics/console.h"
#include "trsn/win_owners.h"

namespace console {

struct Handle {
    HANDLE output;
};

namespace {

std::atomic<int> requests{0};
void (*requestCallback)() = nullptr;
trsn::win::UniqueEvent teardownEvent;  // set once the run has torn down

// How long a console close, log-off or shutdown lets the teardown run before the system ends the
// process (the system allows five seconds), and how much of it work that can be left undone may use.
constexpr DWORD closeWaitMs = 4500;
constexpr LONGLONG leaveUndoneAfterMs = 4000;
std::atomic<LONGLONG> deadlineRequestTick{0};  // GetTickCount64 of such a request, 0 for none
std::atomic<bool> statusShown{false};          // a status line is on the console

// Empties the cursor's line of the console and puts the cursor at its start.
void emptyCursorLine(HANDLE output, const CONSOLE_SCREEN_BUFFER_INFO& info) {
    const COORD start{0, info.dwCursorPosition.Y};
    DWORD written = 0;
    FillConsoleOutputCharacterW(output, L' ', static_cast<DWORD>(info.dwSize.X), start, &written);
    FillConsoleOutputAttribute(output, info.wAttributes, static_cast<DWORD>(info.dwSize.X), start, &written);
    SetConsoleCursorPosition(output, start);
}

void clearStatusOf(HANDLE output) {
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (GetConsoleScreenBufferInfo(output, &info)) {
        emptyCursorLine(output, info);
    }
    statusShown.store(false);
}

BOOL WINAPI onControl(DWORD type) {
    const ControlAction action = controlAction(type);
    if (action == ControlAction::pass) {
        return FALSE;
    }
    const int count = requests.fetch_add(1) + 1;
    if (count > 1) {
        if (statusShown.load()) {
            clearStatusOf(GetStdHandle(STD_OUTPUT_HANDLE));
        }
        ExitProcess(static_cast<UINT>(-1));
    }
    if (action == ControlAction::stopAndWait) {
        deadlineRequestTick.store(static_cast<LONGLONG>(GetTickCount64()));
    }
    if (requestCallback != nullptr) {
        requestCallback();
    }
    if (action == ControlAction::stopAndWait && teardownEvent) {
        teardownEvent.wait(closeWaitMs);
    }
    return TRUE;
}

}  // namespace

ControlAction controlAction(unsigned long event) {
    switch (event) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
            return ControlAction::stop;
        // The user closes the console, logs off, or Windows shuts down (an update's restart among them):
        // the system ends the process once the handler returns or its time is up.
        case CTRL_CLOSE_EVENT:
        case CTRL_LOGOFF_EVENT:
        case CTRL_SHUTDOWN_EVENT:
            return ControlAction::stopAndWait;
        default:
            return ControlAction::pass;
    }
}

bool stopDeadlineNear() {
    const LONGLONG since = deadlineRequestTick.load();
    return since != 0 && static_cast<LONGLONG>(GetTickCount64()) - since >= leaveUndoneAfterMs;
}

Handle* standardOutput() {
    static Handle handle{GetStdHandle(STD_OUTPUT_HANDLE)};
    return &handle;
}

std::uint16_t readAttribute(Handle* handle) {
    CONSOLE_SCREEN_BUFFER_INFO info{};
    GetConsoleScreenBufferInfo(handle->output, &info);
    return info.wAttributes;
}

void setAttribute(Handle* handle, std::ostream&, std::uint16_t attribute) {
    SetConsoleTextAttribute(handle->output, attribute);
}

void restoreAttribute(Handle* handle, std::ostream&, std::uint16_t saved) {
    SetConsoleTextAttribute(handle->output, saved);
}

bool isInteractive(Handle* handle) {
    DWORD mode = 0;
    return handle != nullptr && GetConsoleMode(handle->output, &mode) != 0;
}

void showStatus(Handle* handle, std::ostream& out, const std::string& text) {
    out.flush();
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (!GetConsoleScreenBufferInfo(handle->output, &info)) {
        return;
    }
    emptyCursorLine(handle->output, info);
    std::size_t fits = text.size();
    const auto width = static_cast<std::size_t>(info.dwSize.X > 1 ? info.dwSize.X : 0);
    if (width > 1 && fits > width - 1) {
        fits = width - 1;  // the last column would wrap the cursor
    }
    statusShown.store(true);
    out.write(text.data(), static_cast<std::streamsize>(fits));
    out.flush();
}

void clearStatus(Handle* handle, std::ostream& out) {
    out.flush();
    clearStatusOf(handle->output);
}

void readCounter(std::int64_t& frequency, std::int64_t& counter) {
    LARGE_INTEGER value{};
    QueryPerformanceFrequency(&value);
    frequency = value.QuadPart;
    QueryPerformanceCounter(&value);
    counter = value.QuadPart;
}

void installStopHandler(void (*onFirstRequest)()) {
    requestCallback = onFirstRequest;
    teardownEvent = trsn::win::UniqueEvent::createManualReset();
    SetConsoleCtrlHandler(onControl, TRUE);
}

void teardownDone() {
    if (teardownEvent) {
        teardownEvent.set();
    }
}

}  // namespace console
