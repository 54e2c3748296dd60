// Window, process and service helpers of the tray monitor's end-to-end harness.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "trsn/win_owners.h"

namespace harness {

using trsn::win::UniqueHandle;
using trsn::win::UniqueServiceHandle;

// Thrown when a step cannot go on; the scenario fails with its text.
struct StepFailed {
    std::string what;
};

std::string Narrow(const std::wstring& text);
void Log(const std::string& line);

// A started program; terminated on destruction if it still runs.
class Process {
  public:
    explicit Process(const std::wstring& exe);
    ~Process();
    DWORD id() const { return id_; }
    bool running() const;
    // The exit code, or nothing if the program is still running after the wait.
    bool waitExit(DWORD timeoutMs, DWORD& exitCode) const;

  private:
    UniqueHandle handle_;
    DWORD id_ = 0;
};

// Top-level windows of a process by class and (when given) caption; hidden windows included.
HWND FindProcessWindow(DWORD processId, const wchar_t* className, const wchar_t* caption);
HWND WaitForProcessWindow(DWORD processId, const wchar_t* className, const wchar_t* caption, DWORD timeoutMs);
HWND WaitForWindow(const wchar_t* className, DWORD timeoutMs);

// Message boxes: the text of the static control that is not the icon, and a click on OK.
std::wstring MessageBoxText(HWND box);
void CloseMessageBox(HWND box);

// Opens the tray icon's menu the way the shell does (the icon's callback message with a button
// press), then picks the item at the given position (1 = first, separators not counted) with the
// arrow keys and Enter, and waits until the menu has closed. whileOpen, when given, runs while the
// menu is on the screen.
void ChooseMenuItem(HWND trayWindow, int position, const std::function<void()>& whileOpen = {});

// The text of the tooltip that the shell shows for the tray icon while the pointer rests on the icon;
// empty when none shows within the time. The pointer is moved onto the icon for it.
std::wstring ReadTrayTooltip(DWORD timeoutMs);

// Writes every top-level window (and the taskbar's children) to the log, for a failure's report.
void LogWindows();

// What the notification area shows at the moment, read from the screen: pixels of the cameras'
// blue lens and of the red badge in the right part of the taskbar.
struct TrayPixels {
    int lens = 0;
    int badge = 0;
    POINT lensAt{};  // screen position of the last lens pixel found
    bool showsCamera() const { return lens >= 4; }
    bool showsBadge() const { return badge >= 4; }
};
TrayPixels ReadTrayPixels();

// The monitored service as another program sees it.
class ServiceWatch {
  public:
    ServiceWatch();
    DWORD state() const;
    // Waits for the state, recording every distinct state seen on the way.
    bool waitFor(DWORD state, DWORD timeoutMs, std::vector<DWORD>& seen) const;
    void start() const;
    void setStartType(DWORD startType) const;

  private:
    UniqueServiceHandle manager_;
    UniqueServiceHandle service_;
};

}  // namespace harness
