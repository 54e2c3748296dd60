// End-to-end harness of the tray monitor: runs lv-tray.exe on a Wine desktop with a taskbar, talks to
// it the way the shell and a user do, and checks what it shows and does to the test service.
//
//     lv-tray-harness.exe SCENARIO TRAY_EXE WORK_DIR
//     lv-tray-harness.exe record-url FILE URL     (the prefix's handler of https addresses)
#include <cstdio>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "harness_win.h"

#include <shellapi.h>

using namespace harness;

namespace {

constexpr DWORD kWindowTimeoutMs = 15000;
constexpr DWORD kExitTimeoutMs = 10000;
constexpr DWORD kServiceTimeoutMs = 20000;
constexpr int kMenuOpenBrowser = 1;
constexpr int kMenuStart = 2;
constexpr int kMenuStop = 3;
constexpr int kMenuHide = 4;

struct Context {
    std::wstring trayExe;
    std::wstring workDir;
};

void Expect(bool ok, const std::string& what) {
    if (!ok) {
        throw StepFailed{what};
    }
    Log("ok: " + what);
}

// Samples the notification area every 50 ms for the given time.
std::vector<TrayPixels> WatchTray(DWORD durationMs) {
    std::vector<TrayPixels> samples;
    const ULONGLONG end = GetTickCount64() + durationMs;
    do {
        samples.push_back(ReadTrayPixels());
        Sleep(50);
    } while (GetTickCount64() < end);
    return samples;
}

enum class Icon { None, Running, Stopped };

const char* IconName(Icon icon) {
    return icon == Icon::None ? "no icon" : icon == Icon::Running ? "the running icon" : "the stopped icon";
}

bool Matches(const TrayPixels& seen, Icon icon) {
    if (icon == Icon::None) {
        return !seen.showsCamera();
    }
    return seen.showsCamera() && seen.showsBadge() == (icon == Icon::Stopped);
}

// Waits until the tray shows the icon steadily (1.2 s, longer than a blink phase).
void ExpectSteadyIcon(Icon icon) {
    const ULONGLONG deadline = GetTickCount64() + kServiceTimeoutMs;
    TrayPixels last;
    while (GetTickCount64() < deadline) {
        const auto samples = WatchTray(1200);
        bool steady = true;
        for (const TrayPixels& seen : samples) {
            steady = steady && Matches(seen, icon);
        }
        if (steady) {
            Expect(true, std::string("the tray shows ") + IconName(icon) + " steadily");
            return;
        }
        last = samples.back();
    }
    Log("last seen: lens " + std::to_string(last.lens) + ", badge " + std::to_string(last.badge));
    Expect(false, std::string("the tray shows ") + IconName(icon) + " steadily");
}

// The icon appears and disappears in turn (a pending state lasts seconds, a blink phase 400 ms).
void ExpectBlinkingIcon(Icon icon) {
    bool shown = false, hidden = false;
    const ULONGLONG deadline = GetTickCount64() + kServiceTimeoutMs;
    while (!(shown && hidden) && GetTickCount64() < deadline) {
        const TrayPixels seen = ReadTrayPixels();
        shown = shown || Matches(seen, icon);
        hidden = hidden || (shown && !seen.showsCamera());
        Sleep(50);
    }
    Expect(shown && hidden, std::string("the tray blinks ") + IconName(icon));
}

HWND WaitForMonitor(const Process& tray) {
    HWND window = WaitForProcessWindow(tray.id(), L"LV_TRAY", L"", kWindowTimeoutMs);
    Expect(window != nullptr, "lv-tray created its hidden window");
    return window;
}

// Rests the pointer on the tray icon and checks the tooltip that the shell shows for it.
void ExpectTooltip(const std::wstring& expected) {
    std::wstring shown;
    const ULONGLONG deadline = GetTickCount64() + kServiceTimeoutMs;
    do {
        shown = ReadTrayTooltip(kWindowTimeoutMs);
    } while (shown != expected && GetTickCount64() < deadline);
    Log("tooltip: " + Narrow(shown));
    Expect(shown == expected, "the tooltip reads \"" + Narrow(expected) + "\"");
}

// Waits for an "Error" box of the process, checks its text and closes it.
void ExpectErrorBox(const Process& process, const std::wstring& text) {
    HWND box = WaitForProcessWindow(process.id(), L"#32770", L"Error", kWindowTimeoutMs);
    Expect(box != nullptr, "an error box appeared");
    std::wstring shown = MessageBoxText(box);
    for (int i = 0; i < 100 && shown.empty(); ++i) {  // the box may still be filling in its text
        Sleep(50);
        shown = MessageBoxText(box);
    }
    Log("box text: " + Narrow(shown));
    CloseMessageBox(box);
    Expect(shown == text, "the box reads \"" + Narrow(text) + "\"");
}

void ExpectExit(const Process& process, DWORD expected) {
    DWORD code = 0;
    Expect(process.waitExit(kExitTimeoutMs, code), "the program ended");
    // Built piece by piece: i686 GCC 12 reports a false overlapping copy (-Wrestrict) in "text" + string.
    std::string what = "exit code ";
    what += std::to_string(expected);
    what += " (got ";
    what += std::to_string(code);
    what += ")";
    Expect(code == expected, what);
}

std::string States(const std::vector<DWORD>& seen) {
    std::string out;
    for (DWORD state : seen) {
        if (!out.empty()) {
            out += ' ';
        }
        out += std::to_string(state);
    }
    return out;
}

void ExpectServiceMoves(const ServiceWatch& service, DWORD pending, DWORD settled) {
    std::vector<DWORD> seen;
    const bool reached = service.waitFor(settled, kServiceTimeoutMs, seen);
    Log("service states seen: " + States(seen));
    Expect(reached, "the service reached state " + std::to_string(settled));
    bool passedPending = false;
    for (DWORD state : seen) {
        passedPending = passedPending || state == pending;
    }
    Expect(passedPending, "the service passed through state " + std::to_string(pending));
}

// Asks the script to photograph the screen and waits until it has.
void TakeScreenshot(const Context& context) {
    const std::wstring request = context.workDir + L"\\screenshot.request";
    const std::wstring done = context.workDir + L"\\screenshot.done";
    DeleteFileW(done.c_str());
    std::ofstream(request.c_str()).put('\n');
    for (int i = 0; i < 100 && GetFileAttributesW(done.c_str()) == INVALID_FILE_ATTRIBUTES; ++i) {
        Sleep(100);
    }
    DeleteFileW(request.c_str());
}

void SecondInstance(const Context& context) {
    Process first(context.trayExe);
    HWND window = WaitForMonitor(first);
    Process second(context.trayExe);
    ExpectErrorBox(second, L"Lumio VideoService Monitor is already running.");
    ExpectExit(second, 1);
    Expect(first.running() && IsWindow(window), "the first instance keeps running");
    ExpectSteadyIcon(Icon::Stopped);
    PostMessageW(window, WM_CLOSE, 0, 0);
    ExpectExit(first, 0);
}

void NoService(const Context& context) {
    Process tray(context.trayExe);
    ExpectErrorBox(tray, L"Failed accessing service: LumioVideoService");
    ExpectExit(tray, 1);
    ExpectSteadyIcon(Icon::None);
}

void StartStopFromMenu(const Context& context) {
    ServiceWatch service;
    Expect(service.state() == SERVICE_STOPPED, "the service is stopped at first");
    Process tray(context.trayExe);
    HWND window = WaitForMonitor(tray);
    ExpectSteadyIcon(Icon::Stopped);

    ChooseMenuItem(window, kMenuStart, [&] { TakeScreenshot(context); });
    ExpectBlinkingIcon(Icon::Running);
    ExpectServiceMoves(service, SERVICE_START_PENDING, SERVICE_RUNNING);
    ExpectSteadyIcon(Icon::Running);
    ExpectTooltip(L"Lumio Video: running");

    ChooseMenuItem(window, kMenuStop);
    ExpectBlinkingIcon(Icon::Stopped);
    ExpectServiceMoves(service, SERVICE_STOP_PENDING, SERVICE_STOPPED);
    ExpectSteadyIcon(Icon::Stopped);

    ChooseMenuItem(window, kMenuHide);
    ExpectExit(tray, 0);
    ExpectSteadyIcon(Icon::None);
    Expect(service.state() == SERVICE_STOPPED, "the service stays stopped");
}

void StartRefused(const Context& context) {
    ServiceWatch service;
    service.setStartType(SERVICE_DISABLED);
    Process tray(context.trayExe);
    HWND window = WaitForMonitor(tray);
    ExpectSteadyIcon(Icon::Stopped);  // the first poll has enabled Start
    ChooseMenuItem(window, kMenuStart);
    ExpectErrorBox(tray, L"Fatal error when starting the service");
    DWORD code = 0;
    Expect(tray.waitExit(kExitTimeoutMs, code), "the program ended after the fatal error");
    service.setStartType(SERVICE_DEMAND_START);
}

void CloseMessage(const Context& context) {
    Process tray(context.trayExe);
    HWND window = WaitForMonitor(tray);
    ExpectSteadyIcon(Icon::Stopped);
    PostMessageW(window, WM_CLOSE, 0, 0);
    ExpectExit(tray, 0);
    ExpectSteadyIcon(Icon::None);
}

void TaskbarCreated(const Context& context) {
    Process tray(context.trayExe);
    HWND window = WaitForMonitor(tray);
    ExpectSteadyIcon(Icon::Stopped);

    // What a restarting shell does: it forgets every icon, then tells all top-level windows.
    NOTIFYICONDATAW icon{};
    icon.cbSize = sizeof(icon);
    icon.hWnd = window;
    icon.uID = 7969;
    Expect(Shell_NotifyIconW(NIM_DELETE, &icon), "the shell dropped the icon");
    ExpectSteadyIcon(Icon::None);
    PostMessageW(HWND_BROADCAST, RegisterWindowMessageW(L"TaskbarCreated"), 0, 0);
    ExpectSteadyIcon(Icon::Stopped);
    ExpectTooltip(L"Lumio Video: stopped");

    PostMessageW(window, WM_CLOSE, 0, 0);
    ExpectExit(tray, 0);
}

void OpenInBrowser(const Context& context) {
    ServiceWatch service;
    std::vector<DWORD> seen;
    service.start();
    Expect(service.waitFor(SERVICE_RUNNING, kServiceTimeoutMs, seen), "the service runs");

    const std::wstring record = context.workDir + L"\\opened-url.txt";
    DeleteFileW(record.c_str());
    Process tray(context.trayExe);
    HWND window = WaitForMonitor(tray);
    ExpectSteadyIcon(Icon::Running);
    ChooseMenuItem(window, kMenuOpenBrowser);

    std::string opened;
    for (int i = 0; i < 150 && opened.empty(); ++i) {
        Sleep(100);
        std::ifstream(record.c_str()) >> opened;
    }
    Log("handed to the browser: " + opened);
    Expect(opened == "https://127.0.0.1:7443", "Open in Browser opened https://127.0.0.1:7443");
    PostMessageW(window, WM_CLOSE, 0, 0);
    ExpectExit(tray, 0);
    Expect(service.state() == SERVICE_RUNNING, "the service keeps running");
}

int RecordUrl(const wchar_t* file, const wchar_t* url) {
    std::ofstream out(file);
    out << Narrow(url) << '\n';
    return out ? 0 : 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc == 4 && std::wstring(argv[1]) == L"record-url") {
        return RecordUrl(argv[2], argv[3]);
    }
    if (argc == 2 && std::wstring(argv[1]) == L"windows") {
        const TrayPixels tray = ReadTrayPixels();
        std::printf("tray lens %d badge %d\n", tray.lens, tray.badge);
        LogWindows();
        return 0;
    }
    const std::map<std::wstring, std::function<void(const Context&)>> scenarios = {
        {L"second-instance", SecondInstance}, {L"no-service", NoService},
        {L"start-stop", StartStopFromMenu},   {L"start-refused", StartRefused},
        {L"close-message", CloseMessage},     {L"taskbar-created", TaskbarCreated},
        {L"open-browser", OpenInBrowser},
    };
    const auto scenario = argc == 4 ? scenarios.find(argv[1]) : scenarios.end();
    if (scenario == scenarios.end()) {
        std::fprintf(stderr, "usage: lv-tray-harness SCENARIO TRAY_EXE WORK_DIR | record-url FILE URL\n");
        return 2;
    }
    if (WaitForWindow(L"Shell_TrayWnd", 30000) == nullptr) {
        Log("FAIL: no taskbar on this desktop");
        LogWindows();
        return 1;
    }
    try {
        scenario->second(Context{argv[2], argv[3]});
    } catch (const StepFailed& failure) {
        Log("FAIL: " + failure.what);
        LogWindows();
        return 1;
    }
    Log("PASS: " + Narrow(scenario->first));
    return 0;
}
