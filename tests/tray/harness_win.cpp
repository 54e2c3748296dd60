// Window, process and service helpers of the tray monitor's end-to-end harness.
#include "harness_win.h"
// needs windows.h above
#include <commctrl.h>

#include <algorithm>
#include <cstdio>

namespace harness {

std::string Narrow(const std::wstring& text);
void Log(const std::string& line);

namespace {

constexpr UINT kTrayNotify = WM_USER + 1;
constexpr UINT kTrayIconId = 7969;
constexpr int kTrayAreaWidth = 300;  // the notification area sits at the taskbar's right end
constexpr DWORD kMenuTimeoutMs = 10000;

// Polls `done` every 20 ms until it holds or timeoutMs have passed; tells whether it held.
bool WaitUntil(const std::function<bool()>& done, DWORD timeoutMs) {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    while (!done()) {
        if (GetTickCount64() >= deadline) {
            return false;
        }
        Sleep(20);
    }
    return true;
}

// Whether the thread runs a menu's modal loop, which takes the keys pressed from then on.
bool InMenuMode(DWORD threadId) {
    GUITHREADINFO info{};
    info.cbSize = sizeof(info);
    return GetGUIThreadInfo(threadId, &info) && (info.flags & GUI_INMENUMODE) != 0;
}

std::wstring ClassOf(HWND window) {
    wchar_t name[256] = {};
    GetClassNameW(window, name, 256);
    return name;
}

std::wstring TextOf(HWND window) {
    wchar_t text[1024] = {};
    GetWindowTextW(window, text, 1024);
    return text;
}

struct WindowQuery {
    DWORD processId;
    const wchar_t* className;
    const wchar_t* caption;
    HWND found;
    bool visibleOnly = false;
};

constexpr DWORD kAnyProcess = 0;

BOOL CALLBACK MatchWindow(HWND window, LPARAM param) {
    auto* query = reinterpret_cast<WindowQuery*>(param);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if ((query->processId != kAnyProcess && owner != query->processId) ||
        ClassOf(window) != query->className || (query->visibleOnly && !IsWindowVisible(window))) {
        return TRUE;
    }
    if (query->caption != nullptr && TextOf(window) != query->caption) {
        return TRUE;
    }
    query->found = window;
    return FALSE;
}

BOOL CALLBACK CollectStaticText(HWND child, LPARAM param) {
    auto* text = reinterpret_cast<std::wstring*>(param);
    if (ClassOf(child) == L"Static") {
        const std::wstring own = TextOf(child);
        if (!own.empty()) {
            *text = own;
            return FALSE;
        }
    }
    return TRUE;
}

// The text of a window of another process that keeps it out of its caption, as a tooltip does.
std::wstring SentTextOf(HWND window) {
    wchar_t text[256] = {};
    DWORD_PTR copied = 0;
    if (!SendMessageTimeoutW(window, WM_GETTEXT, 256, reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG, 2000,
                             &copied)) {
        return L"";
    }
    return text;
}

void MovePointer(int x, int y) {
    INPUT input{};
    input.type = INPUT_MOUSE;
    input.mi.dx = MulDiv(x, 65535, GetSystemMetrics(SM_CXSCREEN) - 1);
    input.mi.dy = MulDiv(y, 65535, GetSystemMetrics(SM_CYSCREEN) - 1);
    input.mi.dwFlags = MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE;
    SendInput(1, &input, sizeof(INPUT));
}

void PressKey(WORD key) {
    INPUT input[2] = {};
    input[0].type = INPUT_KEYBOARD;
    input[0].ki.wVk = key;
    input[1] = input[0];
    input[1].ki.dwFlags = KEYEVENTF_KEYUP;
    SendInput(2, input, sizeof(INPUT));
}

BOOL CALLBACK LogWindow(HWND window, LPARAM depth) {
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    RECT rect{};
    GetWindowRect(window, &rect);
    char line[640];
    std::snprintf(line, sizeof(line), "%*swindow %p class \"%s\" text \"%s\" pid %lu %s %ld,%ld-%ld,%ld",
                  static_cast<int>(depth) * 2, "", static_cast<void*>(window),
                  Narrow(ClassOf(window)).c_str(), Narrow(TextOf(window)).c_str(), owner,
                  IsWindowVisible(window) ? "visible" : "hidden", rect.left, rect.top, rect.right,
                  rect.bottom);
    Log(line);
    if (depth == 0 && ClassOf(window) == L"Shell_TrayWnd") {
        EnumChildWindows(window, LogWindow, 1);
    }
    return TRUE;
}

}  // namespace

void LogWindows() {
    EnumWindows(LogWindow, 0);
}

std::string Narrow(const std::wstring& text) {
    std::string out;
    for (wchar_t c : text) {
        out += c < 128 ? static_cast<char>(c) : '?';
    }
    return out;
}

void Log(const std::string& line) {
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

Process::Process(const std::wstring& exe) {
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    std::wstring commandLine = L"\"" + exe + L"\"";
    if (!CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &info)) {
        throw StepFailed{"cannot start " + Narrow(exe) + ", error " + std::to_string(GetLastError())};
    }
    UniqueHandle thread(info.hThread);  // only the process is waited for
    handle_.reset(info.hProcess);
    id_ = info.dwProcessId;
}

Process::~Process() {
    if (running()) {
        TerminateProcess(handle_.get(), 99);
        WaitForSingleObject(handle_.get(), 5000);
    }
}

bool Process::running() const {
    return WaitForSingleObject(handle_.get(), 0) == WAIT_TIMEOUT;
}

bool Process::waitExit(DWORD timeoutMs, DWORD& exitCode) const {
    if (WaitForSingleObject(handle_.get(), timeoutMs) != WAIT_OBJECT_0) {
        return false;
    }
    GetExitCodeProcess(handle_.get(), &exitCode);
    return true;
}

HWND FindProcessWindow(DWORD processId, const wchar_t* className, const wchar_t* caption) {
    WindowQuery query{processId, className, caption, nullptr};
    EnumWindows(MatchWindow, reinterpret_cast<LPARAM>(&query));
    return query.found;
}

HWND WaitForProcessWindow(DWORD processId, const wchar_t* className, const wchar_t* caption,
                          DWORD timeoutMs) {
    HWND window = nullptr;
    WaitUntil(
        [&] {
            window = FindProcessWindow(processId, className, caption);
            return window != nullptr;
        },
        timeoutMs);
    return window;
}

// Wine's FindWindowW does not see classes of other processes on a shell desktop, so top-level
// windows are searched by enumeration.
HWND FindAnyWindow(const wchar_t* className) {
    return FindProcessWindow(kAnyProcess, className, nullptr);
}

HWND WaitForWindow(const wchar_t* className, DWORD timeoutMs) {
    HWND window = nullptr;
    const bool shown = WaitUntil(
        [&] {
            window = FindAnyWindow(className);
            return window != nullptr && IsWindowVisible(window);
        },
        timeoutMs);
    return shown ? window : nullptr;
}

std::wstring MessageBoxText(HWND box) {
    std::wstring text;
    EnumChildWindows(box, CollectStaticText, reinterpret_cast<LPARAM>(&text));
    return text;
}

void CloseMessageBox(HWND box) {
    PostMessageW(box, WM_COMMAND, IDOK, 0);
}

void ChooseMenuItem(HWND trayWindow, int position, const std::function<void()>& whileOpen) {
    const DWORD trayThread = GetWindowThreadProcessId(trayWindow, nullptr);
    PostMessageW(trayWindow, kTrayNotify, kTrayIconId, WM_LBUTTONDOWN);
    if (WaitForWindow(L"#32768", kMenuTimeoutMs) == nullptr) {
        throw StepFailed{"the tray menu did not open"};
    }
    if (!WaitUntil([&] { return InMenuMode(trayThread); }, kMenuTimeoutMs)) {
        throw StepFailed{"the tray menu does not take keys"};
    }
    if (whileOpen) {
        whileOpen();
    }
    // The keys queue up in order for the menu's loop.
    for (int i = 0; i < position; ++i) {
        PressKey(VK_DOWN);
    }
    PressKey(VK_RETURN);
    if (!WaitUntil([&] { return !InMenuMode(trayThread); }, kMenuTimeoutMs)) {
        throw StepFailed{"the tray menu did not close"};
    }
}

std::wstring ReadTrayTooltip(DWORD timeoutMs) {
    constexpr DWORD kHoverMs = 2000;  // the shell shows a tooltip half a second after the pointer stops
    std::wstring text;
    WaitUntil(
        [&] {
            HWND tray = FindAnyWindow(L"Shell_TrayWnd");
            const TrayPixels icon = ReadTrayPixels();
            if (tray == nullptr || !icon.showsCamera()) {
                return false;
            }
            WindowQuery tip{0, TOOLTIPS_CLASSW, nullptr, nullptr, true};  // shown, of the shell's process
            GetWindowThreadProcessId(tray, &tip.processId);
            // Off the icon and back (the moves queue up in order), so that the shell sees the pointer arrive.
            MovePointer(icon.lensAt.x - 40, icon.lensAt.y - 40);
            MovePointer(icon.lensAt.x, icon.lensAt.y);
            WaitUntil(
                [&] {
                    tip.found = nullptr;
                    EnumWindows(MatchWindow, reinterpret_cast<LPARAM>(&tip));
                    text = tip.found != nullptr ? SentTextOf(tip.found) : L"";
                    return !text.empty();
                },
                kHoverMs);
            return !text.empty();
        },
        timeoutMs);
    return text;
}

TrayPixels ReadTrayPixels() {
    TrayPixels found;
    HWND tray = FindAnyWindow(L"Shell_TrayWnd");
    RECT rect{};
    if (tray == nullptr || !GetWindowRect(tray, &rect)) {
        return found;
    }
    const int width = std::min<int>(kTrayAreaWidth, rect.right - rect.left);
    const int height = rect.bottom - rect.top;
    if (width <= 0 || height <= 0) {
        return found;
    }
    // Wine 10's shell paints a changed icon over the old one without clearing it (its icon windows have
    // no background), so that a badge outlives its icon until the taskbar repaints. Repainting the
    // taskbar first shows the icon the shell holds now.
    RedrawWindow(tray, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (bitmap != nullptr) {
        HGDIOBJ old = SelectObject(memory, bitmap);
        BitBlt(memory, 0, 0, width, height, screen, rect.right - width, rect.top, SRCCOPY);
        GdiFlush();
        const auto* pixels = static_cast<const unsigned char*>(bits);
        for (int i = 0; i < width * height; ++i) {
            const int b = pixels[i * 4], g = pixels[i * 4 + 1], r = pixels[i * 4 + 2];
            if (b > 170 && r < 90 && g > 60 && g < 150) {
                ++found.lens;
                found.lensAt = POINT{rect.right - width + i % width, rect.top + i / width};
            }
            found.badge += (r > 170 && g < 80 && b < 80) ? 1 : 0;
        }
        SelectObject(memory, old);
        DeleteObject(bitmap);
    }
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    return found;
}

ServiceWatch::ServiceWatch() {
    manager_.reset(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager_) {
        throw StepFailed{"cannot open the service manager"};
    }
    service_.reset(OpenServiceW(manager_.get(), L"LumioVideoService",
                                SERVICE_QUERY_STATUS | SERVICE_START | SERVICE_CHANGE_CONFIG));
    if (!service_) {
        throw StepFailed{"cannot open LumioVideoService, error " + std::to_string(GetLastError())};
    }
}

DWORD ServiceWatch::state() const {
    SERVICE_STATUS status{};
    return QueryServiceStatus(service_.get(), &status) ? status.dwCurrentState : 0;
}

bool ServiceWatch::waitFor(DWORD wanted, DWORD timeoutMs, std::vector<DWORD>& seen) const {
    return WaitUntil(
        [&] {
            const DWORD now = state();
            if (seen.empty() || seen.back() != now) {
                seen.push_back(now);
            }
            return now == wanted;
        },
        timeoutMs);
}

void ServiceWatch::start() const {
    if (!StartServiceW(service_.get(), 0, nullptr)) {
        throw StepFailed{"cannot start the test service, error " + std::to_string(GetLastError())};
    }
}

void ServiceWatch::setStartType(DWORD startType) const {
    if (!ChangeServiceConfigW(service_.get(), SERVICE_NO_CHANGE, startType, SERVICE_NO_CHANGE, nullptr,
                              nullptr, nullptr, nullptr, nullptr, nullptr, nullptr)) {
        throw StepFailed{"cannot change the test service's start type, error " +
                         std::to_string(GetLastError())};
    }
}

}  // namespace harness
