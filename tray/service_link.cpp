// The link to the monitored service: opening it, polling its state on the poll thread, presenting
// each state on the UI thread, blinking while it is pending, and the Start and Stop commands.
#include <cwchar>

#include "monitor.h"
#include "sys.h"

std::atomic<LONG> g_pollRunning{0};

namespace {

// How one service state is shown: tooltip, icon, the three switchable menu items, blinking.
struct StatePresentation {
    DWORD state;
    const wchar_t* tooltip;
    bool runningIcon;
    UINT openBrowser;
    UINT start;
    UINT stop;
    bool blink;
};

constexpr StatePresentation kPresentations[] = {
    {SERVICE_STOPPED, L"Lumio Video: stopped", false, MF_GRAYED, MF_ENABLED, MF_GRAYED, false},
    {SERVICE_START_PENDING, L"Lumio Video: starting", true, MF_GRAYED, MF_GRAYED, MF_GRAYED, true},
    {SERVICE_STOP_PENDING, L"Lumio Video: stopping", false, MF_GRAYED, MF_GRAYED, MF_GRAYED, true},
    {SERVICE_RUNNING, L"Lumio Video: running", true, MF_ENABLED, MF_GRAYED, MF_ENABLED, false},
    {SERVICE_CONTINUE_PENDING, L"Lumio Video: starting", true, MF_GRAYED, MF_GRAYED, MF_GRAYED, true},
    {SERVICE_PAUSE_PENDING, L"Lumio Video: pausing", false, MF_GRAYED, MF_GRAYED, MF_ENABLED, true},
    {SERVICE_PAUSED, L"Lumio Video: paused", false, MF_GRAYED, MF_GRAYED, MF_ENABLED, false},
};

const StatePresentation* FindPresentation(DWORD state) {
    for (const auto& row : kPresentations) {
        if (row.state == state) {
            return &row;
        }
    }
    return nullptr;
}

void UpdateTrayIcon(MonitorState& monitor) {
    sys::Shell_NotifyIconW(NIM_MODIFY, &monitor.notifyIcon);
}

}  // namespace

bool OpenMonitoredService(MonitorState& monitor) {
    monitor.scManager.reset(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!monitor.scManager) {
        g_initError = INIT_ERROR_SC_MANAGER;
        return false;
    }
    monitor.service.reset(OpenServiceW(monitor.scManager.get(), kServiceName, SERVICE_ALL_ACCESS));
    if (!monitor.service) {
        g_initError = INIT_ERROR_SERVICE;
        return false;
    }
    return true;
}

BOOL PollServiceState(MonitorState* monitor) {
    SERVICE_STATUS status{};
    const BOOL ok = sys::QueryServiceStatus(monitor->service.get(), &status);
    if (!ok) {
        return ok;
    }
    if (status.dwCurrentState != monitor->shownState.load()) {
        sys::SendMessageW(monitor->window.get(), WM_SERVICE_STATE, status.dwCurrentState, 0);
    }
    return ok;
}

DWORD WINAPI PollThreadProc(LPVOID param) {
    auto* monitor = static_cast<MonitorState*>(param);
    while (g_pollRunning.load() != 0) {
        PollServiceState(monitor);
        sys::Sleep(POLL_PERIOD_MS);
    }
    return 0;
}

bool JoinPollThread(HANDLE thread, DWORD timeoutMs) {
    if (thread == nullptr) {
        return true;
    }
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (;;) {
        const ULONGLONG now = GetTickCount64();
        const DWORD left = now < deadline ? static_cast<DWORD>(deadline - now) : 0;
        const DWORD result = MsgWaitForMultipleObjects(1, &thread, FALSE, left, QS_SENDMESSAGE);
        if (result != WAIT_OBJECT_0 + 1) {
            return result == WAIT_OBJECT_0;
        }
        // Runs the window procedure for messages sent from other threads; posted ones stay queued.
        MSG message;
        PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    }
}

void SetTooltip(NOTIFYICONDATAW& icon, const wchar_t* text) {
    static_assert(sizeof(icon.szTip) / sizeof(icon.szTip[0]) > kMaxTipChars);
    std::wmemset(icon.szTip, L'\0', sizeof(icon.szTip) / sizeof(icon.szTip[0]));
    const size_t length = wcsnlen(text, kMaxTipChars);
    std::wmemcpy(icon.szTip, text, length);
}

void ShowServiceState(DWORD state, MonitorState* monitor) {
    if (monitor == nullptr || state == monitor->shownState.load()) {
        return;
    }
    const StatePresentation* row = FindPresentation(state);
    if (row == nullptr) {
        return;  // not a service state: keep showing the last one
    }
    monitor->shownState.store(state);
    SetTooltip(monitor->notifyIcon, row->tooltip);
    monitor->stateIcon = row->runningIcon ? monitor->runningIcon.get() : monitor->stoppedIcon.get();
    monitor->notifyIcon.hIcon = monitor->stateIcon;
    UpdateTrayIcon(*monitor);
    HMENU menu = monitor->menu.get();
    sys::EnableMenuItem(menu, IDM_OPEN_BROWSER, MF_BYCOMMAND | row->openBrowser);
    sys::EnableMenuItem(menu, IDM_START, MF_BYCOMMAND | row->start);
    sys::EnableMenuItem(menu, IDM_STOP, MF_BYCOMMAND | row->stop);
    SetBlinking(monitor, row->blink);
}

void SetBlinking(MonitorState* monitor, bool on) {
    if (on) {
        if (monitor->blinking == 1) {
            return;  // the running timer keeps its phase
        }
        monitor->blinking = 1;
        sys::SetTimer(monitor->window.get(), BLINK_TIMER_ID, BLINK_PERIOD_MS, BlinkTimerProc);
        return;
    }
    monitor->blinking = 0;
    sys::KillTimer(monitor->window.get(), BLINK_TIMER_ID);
    monitor->notifyIcon.hIcon = monitor->stateIcon;
    UpdateTrayIcon(*monitor);
}

void CALLBACK BlinkTimerProc(HWND, UINT, UINT_PTR, DWORD) {
    if (g_monitor == nullptr) {
        return;
    }
    NOTIFYICONDATAW& icon = g_monitor->notifyIcon;
    icon.hIcon = icon.hIcon != nullptr ? nullptr : g_monitor->stateIcon;
    UpdateTrayIcon(*g_monitor);
}

void StartMonitoredService(MonitorState* monitor) {
    if (sys::StartServiceW(monitor->service.get(), 0, nullptr)) {
        PollServiceState(monitor);
        return;
    }
    switch (sys::GetLastError()) {
        case ERROR_ACCESS_DENIED:
        case ERROR_INVALID_HANDLE:
        case ERROR_SERVICE_ALREADY_RUNNING:
            return;
        default:
            sys::FatalAppExitW(0, L"Fatal error when starting the service");
    }
}

void StopMonitoredService(MonitorState* monitor) {
    SERVICE_STATUS status{};
    if (sys::ControlService(monitor->service.get(), SERVICE_CONTROL_STOP, &status)) {
        PollServiceState(monitor);
        return;
    }
    switch (sys::GetLastError()) {
        case ERROR_ACCESS_DENIED:
        case ERROR_INVALID_HANDLE:
        case ERROR_SERVICE_CANNOT_ACCEPT_CTRL:
        case ERROR_SERVICE_NOT_ACTIVE:
        case ERROR_SHUTDOWN_IN_PROGRESS:
            return;
        default:
            sys::FatalAppExitW(0, L"Fatal error when stopping the service");
    }
}
