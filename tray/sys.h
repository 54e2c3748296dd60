// The platform calls that the monitor's logic makes, behind a link-time seam: the program links
// sys_win32.cpp, which forwards each call to Windows; the logic tests link a recording stand-in.
#pragma once

#include <windows.h>
// needs windows.h above
#include <shellapi.h>

namespace sys {

BOOL QueryServiceStatus(SC_HANDLE service, SERVICE_STATUS* status);
BOOL StartServiceW(SC_HANDLE service, DWORD argc, const wchar_t** argv);
BOOL ControlService(SC_HANDLE service, DWORD control, SERVICE_STATUS* status);
DWORD GetLastError();
void FatalAppExitW(UINT action, const wchar_t* message);
void Sleep(DWORD milliseconds);

LRESULT SendMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
LRESULT DefWindowProcW(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
void PostQuitMessage(int exitCode);
BOOL Shell_NotifyIconW(DWORD message, NOTIFYICONDATAW* data);
BOOL EnableMenuItem(HMENU menu, UINT item, UINT enable);
UINT_PTR SetTimer(HWND window, UINT_PTR id, UINT elapse, TIMERPROC proc);
BOOL KillTimer(HWND window, UINT_PTR id);
BOOL DestroyWindow(HWND window);
BOOL GetCursorPos(POINT* point);
BOOL SetForegroundWindow(HWND window);
BOOL TrackPopupMenu(HMENU menu, UINT flags, int x, int y, HWND window);
HINSTANCE ShellExecuteW(HWND window, const wchar_t* verb, const wchar_t* file, const wchar_t* parameters,
                        const wchar_t* directory, int show);

}  // namespace sys
