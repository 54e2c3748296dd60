// lv-tray: shows the state of the recorder's service in the notification area.
#include "monitor.h"
#include "trsn/win_owners.h"

namespace {

using trsn::win::UniqueHandle;

// The poll thread ends within one poll period of its flag being cleared, plus the poll in progress.
constexpr DWORD kPollThreadJoinMs = 2 * POLL_PERIOD_MS;

[[noreturn]] void FailStartup(const wchar_t* message) {
    MessageBoxW(nullptr, message, L"Error", MB_ICONERROR | MB_SYSTEMMODAL);
    ExitProcess(1);
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    UniqueHandle instanceMutex(CreateMutexW(nullptr, FALSE, kInstanceMutexName));
    if (!instanceMutex || GetLastError() == ERROR_ALREADY_EXISTS) {
        FailStartup(L"Lumio VideoService Monitor is already running.");
    }

    g_monitor = CreateMonitor(instance, MonitorWndProc, kWindowClassName);
    if (g_monitor == nullptr) {
        FailStartup(InitErrorMessage(g_initError));
    }

    g_pollRunning.store(1);
    UniqueHandle pollThread(CreateThread(nullptr, 0, PollThreadProc, g_monitor, 0, nullptr));

    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }

    g_pollRunning.store(0);
    JoinPollThread(pollThread.get(), kPollThreadJoinMs);
    DestroyMonitor(g_monitor);
    g_monitor = nullptr;
    instanceMutex.reset();
    ExitProcess(0);
}
