// Recording stand-in for the monitor's platform calls.
#include "fake_sys.h"

#include <cstdio>

#include "sys.h"

FakeSys g_fake;

void ResetFake() {
    g_fake = FakeSys{};
}

namespace {

std::string Narrow(const wchar_t* text) {
    std::string out;
    for (; text != nullptr && *text != L'\0'; ++text) {
        out += *text < 128 ? static_cast<char>(*text) : '?';
    }
    return out;
}

std::string IconName(HICON icon) {
    if (icon == nullptr) {
        return "none";
    }
    if (icon == kRunningIcon) {
        return "running";
    }
    if (icon == kStoppedIcon) {
        return "stopped";
    }
    return "other";
}

void Record(std::string line) {
    g_fake.calls.push_back(std::move(line));
}

// A call on the test window: marks the line when the window is gone and tells whether the call succeeds.
bool OnWindow(HWND window, std::string& line) {
    if (window != kWindow) {
        line += " other-window";
        return true;
    }
    if (!g_fake.windowAlive) {
        line += " no-window";
        return false;
    }
    return true;
}

}  // namespace

namespace sys {

BOOL QueryServiceStatus(SC_HANDLE, SERVICE_STATUS* status) {
    Record("QueryServiceStatus");
    if (g_fake.queryOk) {
        status->dwCurrentState = g_fake.serviceState;
    }
    return g_fake.queryOk;
}

BOOL StartServiceW(SC_HANDLE, DWORD argc, const wchar_t** argv) {
    Record("StartServiceW " + std::to_string(argc) + (argv == nullptr ? " none" : " args"));
    return g_fake.startOk;
}

BOOL ControlService(SC_HANDLE, DWORD control, SERVICE_STATUS* status) {
    const bool zeroed = status != nullptr && status->dwCurrentState == 0 && status->dwControlsAccepted == 0;
    Record("ControlService " + std::to_string(control) + (zeroed ? "" : " dirty-status"));
    return g_fake.controlOk;
}

DWORD GetLastError() {
    return g_fake.lastError;
}

void FatalAppExitW(UINT action, const wchar_t* message) {
    Record("FatalAppExitW " + std::to_string(action) + " " + Narrow(message));
}

void Sleep(DWORD milliseconds) {
    Record("Sleep " + std::to_string(milliseconds));
    if (--g_fake.sleepsUntilPollStops == 0) {
        g_pollRunning.store(0);
    }
}

LRESULT SendMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    Record("SendMessageW " + std::to_string(message) + " " + std::to_string(wParam) + " " +
           std::to_string(lParam));
    return g_fake.sendRunsWindowProc ? MonitorWndProc(window, message, wParam, lParam) : 0;
}

LRESULT DefWindowProcW(HWND window, UINT message, WPARAM, LPARAM) {
    Record("DefWindowProcW " + std::to_string(message));
    if (message == WM_CLOSE && window == kWindow) {
        g_fake.windowAlive = false;  // the default handling of a close request destroys the window
    }
    return 0;
}

void PostQuitMessage(int exitCode) {
    Record("PostQuitMessage " + std::to_string(exitCode));
}

BOOL Shell_NotifyIconW(DWORD message, NOTIFYICONDATAW* data) {
    const char* kind = message == NIM_ADD      ? "add"
                       : message == NIM_MODIFY ? "modify"
                       : message == NIM_DELETE ? "delete"
                                               : "other";
    std::string line = std::string("Shell_NotifyIconW ") + kind + " icon=" + IconName(data->hIcon) +
                       " tip=\"" + Narrow(data->szTip) + "\"";
    const bool ok = data->hWnd == nullptr || OnWindow(data->hWnd, line);
    Record(line);
    return ok;
}

BOOL EnableMenuItem(HMENU menu, UINT item, UINT enable) {
    std::string state = (enable & ~MF_GRAYED) != MF_BYCOMMAND ? "bad-flags"
                        : (enable & MF_GRAYED)                ? "grayed"
                                                              : "enabled";
    Record("EnableMenuItem " + std::to_string(item) + " " + state + (menu == kMenu ? "" : " other-menu"));
    return TRUE;
}

UINT_PTR SetTimer(HWND window, UINT_PTR id, UINT elapse, TIMERPROC proc) {
    Record("SetTimer " + std::to_string(id) + " " + std::to_string(elapse) +
           (proc == BlinkTimerProc ? "" : " other-proc") + (window == kWindow ? "" : " other-window"));
    return id;
}

BOOL KillTimer(HWND window, UINT_PTR id) {
    std::string line = "KillTimer " + std::to_string(id);
    const bool ok = OnWindow(window, line);
    Record(line);
    return ok;
}

BOOL DestroyWindow(HWND window) {
    std::string line = "DestroyWindow";
    const bool ok = OnWindow(window, line);
    Record(line);
    if (window == kWindow) {
        g_fake.windowAlive = false;
    }
    return ok;
}

BOOL GetCursorPos(POINT* point) {
    Record("GetCursorPos");
    *point = g_fake.cursor;
    return TRUE;
}

BOOL SetForegroundWindow(HWND window) {
    Record(std::string("SetForegroundWindow") + (window == kWindow ? "" : " other-window"));
    return TRUE;
}

BOOL TrackPopupMenu(HMENU menu, UINT flags, int x, int y, HWND window) {
    char line[96];
    std::snprintf(line, sizeof(line), "TrackPopupMenu 0x%x %d,%d%s%s", flags, x, y,
                  menu == kMenu ? "" : " other-menu", window == kWindow ? "" : " other-window");
    Record(line);
    return static_cast<BOOL>(g_fake.menuChoice);
}

HINSTANCE ShellExecuteW(HWND window, const wchar_t* verb, const wchar_t* file, const wchar_t* parameters,
                        const wchar_t* directory, int show) {
    const bool bare = window == nullptr && parameters == nullptr && directory == nullptr;
    Record("ShellExecuteW " + Narrow(verb) + " " + Narrow(file) + " " + std::to_string(show) +
           (bare ? "" : " extras"));
    return reinterpret_cast<HINSTANCE>(42);
}

}  // namespace sys
