// Windows terms of the console layer: console text attributes, the performance counter and the
// console control handler.
#include <windows.h>

#include <atomic>

#include "console.h"
#include "trsn/win_owners.h"

namespace console {

struct Handle {
    HANDLE output;
};

namespace {

std::atomic<int> requests{0};
void (*requestCallback)() = nullptr;
trsn::win::UniqueEvent teardownEvent;  // set once the run has torn down

// How long a console-close request lets the teardown run before the system ends the process.
constexpr DWORD closeWaitMs = 4500;

BOOL WINAPI onControl(DWORD type) {
    if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT && type != CTRL_CLOSE_EVENT) {
        return FALSE;
    }
    const int count = requests.fetch_add(1) + 1;
    if (count > 1) {
        ExitProcess(static_cast<UINT>(-1));
    }
    if (requestCallback != nullptr) {
        requestCallback();
    }
    if (type == CTRL_CLOSE_EVENT && teardownEvent) {
        teardownEvent.wait(closeWaitMs);
    }
    return TRUE;
}

}  // namespace

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
