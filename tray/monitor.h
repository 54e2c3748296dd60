// The one state block of the tray monitor, its constants and the functions that work on it.
#pragma once

#include <windows.h>
// needs windows.h above
#include <shellapi.h>

#include <atomic>

#include "sys.h"
#include "trsn/win_owners.h"

// Menu commands of the tray icon's popup menu.
inline constexpr UINT IDM_HIDE = 10;
inline constexpr UINT IDM_OPEN_BROWSER = 11;
inline constexpr UINT IDM_START = 12;
inline constexpr UINT IDM_STOP = 13;

// Window messages of the hidden window.
inline constexpr UINT WM_TRAY_NOTIFY =
    WM_USER + 1;  // tray icon callback: wParam icon id, lParam mouse message
inline constexpr UINT WM_SERVICE_STATE = WM_USER + 2;  // wParam the new service state, lParam 0

inline constexpr UINT TRAY_ICON_ID = 7969;
inline constexpr UINT_PTR BLINK_TIMER_ID = 10;
inline constexpr UINT BLINK_PERIOD_MS = 400;
inline constexpr DWORD POLL_PERIOD_MS = 1000;
inline constexpr unsigned WEB_CONSOLE_PORT = 7443;

inline constexpr wchar_t kServiceName[] = L"LumioVideoService";
inline constexpr wchar_t kWindowClassName[] = L"LV_TRAY";
inline constexpr wchar_t kInstanceMutexName[] = L"4e9b07c2-31d8-5a6f-9c14-d2a7e3b85f60";
inline constexpr wchar_t kTaskbarCreatedName[] = L"TaskbarCreated";

// Icon resources.
inline constexpr WORD IDI_APP = 100;
inline constexpr WORD IDI_RUNNING = 101;
inline constexpr WORD IDI_STOPPED = 102;

// Start-up error codes kept in g_initError.
inline constexpr LONG INIT_ERROR_ALLOC = 10;
inline constexpr LONG INIT_ERROR_APP_PATH = 11;
inline constexpr LONG INIT_ERROR_SC_MANAGER = 12;
inline constexpr LONG INIT_ERROR_SERVICE = 13;
inline constexpr LONG INIT_ERROR_CLASS = 14;
inline constexpr LONG INIT_ERROR_WINDOW = 15;

// Longest tooltip text: the shell's buffer holds 127 characters and the terminator.
inline constexpr size_t kMaxTipChars = 127;

// The hidden window, destroyed through the seam of platform calls that the logic tests record.
using MonitorWindow = trsn::win::BasicUniqueWindow<&sys::DestroyWindow>;

struct MonitorState {
    // What the monitor owns, declared in the reverse of the tear-down's order: destroying the block
    // releases them in the order that DestroyMonitor follows.
    MonitorWindow window;
    trsn::win::UniqueMenu menu;
    trsn::win::UniqueIcon stoppedIcon;
    trsn::win::UniqueIcon runningIcon;
    trsn::win::UniqueIcon appIconLarge;
    trsn::win::UniqueIcon appIconSmall;
    trsn::win::UniqueServiceHandle scManager;
    trsn::win::UniqueServiceHandle service;

    NOTIFYICONDATAW notifyIcon;
    // Written by the UI thread when it presents a state, read by the poll thread.
    std::atomic<DWORD> shownState;
    wchar_t appDirectory[MAX_PATH];
    HICON stateIcon;  // runningIcon or stoppedIcon, not owned
    LONG blinking;
};

// The 32-bit program hands the shell the complete record of Windows Vista and later.
static_assert(sizeof(void*) != 4 || sizeof(NOTIFYICONDATAW) == 956);

// Process-wide values.
extern MonitorState* g_monitor;
extern LONG g_initError;
extern UINT g_taskbarCreatedMsg;
extern std::atomic<LONG> g_pollRunning;

// Service link (UI thread unless noted).
bool OpenMonitoredService(MonitorState& monitor);  // sets g_initError to 12 or 13 on failure
BOOL PollServiceState(MonitorState* monitor);      // poll thread and UI thread
DWORD WINAPI PollThreadProc(LPVOID param);         // poll thread entry
// Waits for the poll thread to end, at most timeoutMs; true when it has. The thread may be inside
// its synchronous send of a new state to the calling thread, so sent messages are handled meanwhile.
bool JoinPollThread(HANDLE thread, DWORD timeoutMs);
void ShowServiceState(DWORD state, MonitorState* monitor);
void SetBlinking(MonitorState* monitor, bool on);
void CALLBACK BlinkTimerProc(HWND window, UINT message, UINT_PTR id, DWORD time);
void StartMonitoredService(MonitorState* monitor);
void StopMonitoredService(MonitorState* monitor);
void SetTooltip(NOTIFYICONDATAW& icon, const wchar_t* text);

// Window, menu and lifetime.
MonitorState* CreateMonitor(HINSTANCE instance, WNDPROC windowProc, const wchar_t* className);
void DestroyMonitor(MonitorState* monitor);
LRESULT CALLBACK MonitorWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
void OpenWebConsole();
void FillTrayIconRecord(MonitorState& monitor);  // the record as first handed to the shell
void BuildMonitorMenu(MonitorState& monitor);    // the popup menu in its initial state
const wchar_t* InitErrorMessage(LONG code);
