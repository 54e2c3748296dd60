// The hidden window of the tray monitor: building and tearing down the state block, the window
// procedure with the tray icon's menu, and the browser launch.
#include "monitor.h"
// needs windows.h above
#include <shlwapi.h>

#include <cwchar>
#include <new>

#include "sys.h"

MonitorState* g_monitor = nullptr;
LONG g_initError = 0;
UINT g_taskbarCreatedMsg = 0;

namespace {

constexpr DWORD kTrayIconFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;

HICON LoadIconResource(HINSTANCE instance, WORD id, int size) {
    return static_cast<HICON>(
        LoadImageW(instance, MAKEINTRESOURCEW(id), IMAGE_ICON, size, size, LR_DEFAULTCOLOR));
}

MonitorState* FailCreate(MonitorState* monitor, LONG code) {
    DestroyMonitor(monitor);
    delete monitor;  // no poll thread exists yet
    g_initError = code;
    return nullptr;
}

void RunMenuCommand(UINT command) {
    switch (command) {
        case IDM_HIDE:
            sys::PostQuitMessage(0);
            break;
        case IDM_OPEN_BROWSER:
            OpenWebConsole();
            break;
        case IDM_START:
            StartMonitoredService(g_monitor);
            break;
        case IDM_STOP:
            StopMonitoredService(g_monitor);
            break;
        default:
            break;  // menu dismissed
    }
}

void ShowTrayMenu() {
    POINT cursor{};
    sys::GetCursorPos(&cursor);
    HWND window = g_monitor->window.get();
    sys::SetForegroundWindow(window);
    const UINT command = static_cast<UINT>(
        sys::TrackPopupMenu(g_monitor->menu.get(), TPM_RETURNCMD | TPM_NONOTIFY, cursor.x, cursor.y, window));
    RunMenuCommand(command);
}

}  // namespace

void BuildMonitorMenu(MonitorState& monitor) {
    monitor.menu.reset(CreatePopupMenu());
    HMENU menu = monitor.menu.get();
    AppendMenuW(menu, MF_STRING, IDM_OPEN_BROWSER, L"Open in Browser");
    AppendMenuW(menu, MF_STRING | MF_GRAYED, IDM_START, L"Start");
    AppendMenuW(menu, MF_STRING | MF_GRAYED, IDM_STOP, L"Stop");
    AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
    AppendMenuW(menu, MF_STRING, IDM_HIDE, L"Hide Tray Indicator");
}

void FillTrayIconRecord(MonitorState& monitor) {
    monitor.stateIcon = monitor.stoppedIcon.get();
    NOTIFYICONDATAW& icon = monitor.notifyIcon;
    icon.cbSize = sizeof(icon);
    icon.hWnd = monitor.window.get();
    icon.uID = TRAY_ICON_ID;
    icon.uFlags = kTrayIconFlags;
    icon.uCallbackMessage = WM_TRAY_NOTIFY;
    icon.hIcon = monitor.stateIcon;
}

const wchar_t* InitErrorMessage(LONG code) {
    switch (code) {
        case INIT_ERROR_ALLOC:
            return L"Failed allocating memory";
        case INIT_ERROR_APP_PATH:
            return L"Failed accessing application path";
        case INIT_ERROR_SC_MANAGER:
            return L"Failed accessing service manager";
        case INIT_ERROR_SERVICE:
            return L"Failed accessing service: LumioVideoService";
        default:
            return L"Failed initializing application";
    }
}

MonitorState* CreateMonitor(HINSTANCE instance, WNDPROC windowProc, const wchar_t* className) {
    auto* monitor = new (std::nothrow) MonitorState{};
    if (monitor == nullptr) {
        g_initError = INIT_ERROR_ALLOC;
        return nullptr;
    }
    g_initError = 0;

    if (GetModuleFileNameW(nullptr, monitor->appDirectory, MAX_PATH) == 0) {
        return FailCreate(monitor, INIT_ERROR_APP_PATH);
    }
    PathRemoveFileSpecW(monitor->appDirectory);

    if (!OpenMonitoredService(*monitor)) {
        return FailCreate(monitor, g_initError);
    }

    monitor->appIconSmall.reset(LoadIconResource(instance, IDI_APP, 16));
    monitor->appIconLarge.reset(LoadIconResource(instance, IDI_APP, 32));
    monitor->runningIcon.reset(LoadIconResource(instance, IDI_RUNNING, 16));
    monitor->stoppedIcon.reset(LoadIconResource(instance, IDI_STOPPED, 16));

    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = windowProc;
    windowClass.hInstance = instance;
    windowClass.hIcon = monitor->appIconLarge.get();
    windowClass.hIconSm = monitor->appIconSmall.get();
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.lpszClassName = className;
    if (RegisterClassExW(&windowClass) == 0) {
        return FailCreate(monitor, INIT_ERROR_CLASS);
    }

    monitor->window.reset(
        CreateWindowExW(0, className, L"", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, instance, nullptr));
    if (monitor->window == nullptr) {
        return FailCreate(monitor, INIT_ERROR_WINDOW);
    }

    FillTrayIconRecord(*monitor);
    BuildMonitorMenu(*monitor);
    Shell_NotifyIconW(NIM_ADD, &monitor->notifyIcon);
    return monitor;
}

void DestroyMonitor(MonitorState* monitor) {
    if (monitor == nullptr) {
        return;
    }
    if (monitor->window) {
        sys::KillTimer(monitor->window.get(), BLINK_TIMER_ID);
    }
    monitor->service.reset();
    monitor->scManager.reset();
    if (monitor->notifyIcon.hWnd != nullptr) {
        sys::Shell_NotifyIconW(NIM_DELETE, &monitor->notifyIcon);
    }
    monitor->stateIcon = nullptr;
    monitor->appIconSmall.reset();
    monitor->appIconLarge.reset();
    monitor->runningIcon.reset();
    monitor->stoppedIcon.reset();
    monitor->menu.reset();
    monitor->window.reset();
}

LRESULT CALLBACK MonitorWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_CREATE:
            g_taskbarCreatedMsg = RegisterWindowMessageW(kTaskbarCreatedName);
            ChangeWindowMessageFilter(g_taskbarCreatedMsg, MSGFLT_ADD);
            break;
        case WM_CLOSE:
            // Like "Hide Tray Indicator": the window stays until the tear-down, which needs it to stop the
            // blink timer and to remove the icon before it destroys the window itself.
            sys::PostQuitMessage(0);
            return 0;
        case WM_DESTROY:
            sys::PostQuitMessage(0);
            break;
        case WM_TRAY_NOTIFY:
            if (g_monitor != nullptr && wParam == TRAY_ICON_ID &&
                (lParam == WM_LBUTTONDOWN || lParam == WM_RBUTTONDOWN)) {
                ShowTrayMenu();
            }
            break;
        case WM_SERVICE_STATE:
            ShowServiceState(static_cast<DWORD>(wParam), g_monitor);
            break;
        default:
            if (message != 0 && message == g_taskbarCreatedMsg && g_monitor != nullptr) {
                sys::Shell_NotifyIconW(NIM_ADD, &g_monitor->notifyIcon);
                return 0;
            }
            break;
    }
    return sys::DefWindowProcW(window, message, wParam, lParam);
}

void OpenWebConsole() {
    wchar_t address[MAX_PATH];
    swprintf(address, MAX_PATH, L"https://127.0.0.1:%u", WEB_CONSOLE_PORT);
    sys::ShellExecuteW(nullptr, L"open", address, nullptr, nullptr, SW_SHOWNORMAL);
}
