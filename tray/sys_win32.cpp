// The monitor's platform calls, forwarded to Windows unchanged.
#include "sys.h"

namespace sys {

BOOL QueryServiceStatus(SC_HANDLE service, SERVICE_STATUS* status) {
    return ::QueryServiceStatus(service, status);
}
BOOL StartServiceW(SC_HANDLE service, DWORD argc, const wchar_t** argv) {
    return ::StartServiceW(service, argc, argv);
}
BOOL ControlService(SC_HANDLE service, DWORD control, SERVICE_STATUS* status) {
    return ::ControlService(service, control, status);
}
DWORD GetLastError() {
    return ::GetLastError();
}
void FatalAppExitW(UINT action, const wchar_t* message) {
    ::FatalAppExitW(action, message);
}
void Sleep(DWORD milliseconds) {
    ::Sleep(milliseconds);
}

LRESULT SendMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    return ::SendMessageW(window, message, wParam, lParam);
}
LRESULT DefWindowProcW(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    return ::DefWindowProcW(window, message, wParam, lParam);
}
void PostQuitMessage(int exitCode) {
    ::PostQuitMessage(exitCode);
}
BOOL Shell_NotifyIconW(DWORD message, NOTIFYICONDATAW* data) {
    return ::Shell_NotifyIconW(message, data);
}
BOOL EnableMenuItem(HMENU menu, UINT item, UINT enable) {
    return ::EnableMenuItem(menu, item, enable);
}
UINT_PTR SetTimer(HWND window, UINT_PTR id, UINT elapse, TIMERPROC proc) {
    return ::SetTimer(window, id, elapse, proc);
}
BOOL KillTimer(HWND window, UINT_PTR id) {
    return ::KillTimer(window, id);
}
BOOL DestroyWindow(HWND window) {
    return ::DestroyWindow(window);
}
BOOL GetCursorPos(POINT* point) {
    return ::GetCursorPos(point);
}
BOOL SetForegroundWindow(HWND window) {
    return ::SetForegroundWindow(window);
}
BOOL TrackPopupMenu(HMENU menu, UINT flags, int x, int y, HWND window) {
    return ::TrackPopupMenu(menu, flags, x, y, 0, window, nullptr);
}
HINSTANCE ShellExecuteW(HWND window, const wchar_t* verb, const wchar_t* file, const wchar_t* parameters,
                        const wchar_t* directory, int show) {
    return ::ShellExecuteW(window, verb, file, parameters, directory, show);
}

}  // namespace sys
