// A stand-in for the recorder's service, for the tray monitor's end-to-end tests. It passes through
// START_PENDING to RUNNING and through STOP_PENDING to STOPPED with short delays, so that a watcher
// polling the Service Control Manager sees every state.
//
//     lv-test-service.exe [START_DELAY_MS [STOP_DELAY_MS]]
#include <windows.h>

#include <cwchar>

#include "trsn/win_owners.h"

namespace {

DWORD g_startDelayMs = 1500;
DWORD g_stopDelayMs = 1500;
SERVICE_STATUS_HANDLE g_statusHandle = nullptr;
trsn::win::UniqueEvent g_stopEvent;
SERVICE_STATUS g_status{};
DWORD g_checkPoint = 0;

void Report(DWORD state, DWORD waitHintMs = 0) {
    g_status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    g_status.dwCurrentState = state;
    g_status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
    g_status.dwWin32ExitCode = NO_ERROR;
    g_status.dwWaitHint = waitHintMs;
    g_status.dwCheckPoint = (state == SERVICE_RUNNING || state == SERVICE_STOPPED) ? 0 : ++g_checkPoint;
    SetServiceStatus(g_statusHandle, &g_status);
}

DWORD WINAPI ControlHandler(DWORD control, DWORD, void*, void*) {
    switch (control) {
        case SERVICE_CONTROL_STOP:
            if (g_status.dwCurrentState != SERVICE_RUNNING) {
                return ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
            }
            Report(SERVICE_STOP_PENDING, g_stopDelayMs + 1000);
            g_stopEvent.set();
            return NO_ERROR;
        case SERVICE_CONTROL_INTERROGATE:
            return NO_ERROR;
        default:
            return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

void WINAPI ServiceMain(DWORD, wchar_t**) {
    g_statusHandle = RegisterServiceCtrlHandlerExW(L"LumioVideoService", ControlHandler, nullptr);
    if (g_statusHandle == nullptr) {
        return;
    }
    g_stopEvent = trsn::win::UniqueEvent::createManualReset();
    Report(SERVICE_START_PENDING, g_startDelayMs + 1000);
    Sleep(g_startDelayMs);
    Report(SERVICE_RUNNING);
    g_stopEvent.wait(INFINITE);
    Sleep(g_stopDelayMs);
    Report(SERVICE_STOPPED);
}

bool ParseDelay(const wchar_t* text, DWORD& value) {
    wchar_t* end = nullptr;
    const unsigned long parsed = std::wcstoul(text, &end, 10);
    if (end == text || *end != L'\0' || parsed > 60000) {
        return false;
    }
    value = static_cast<DWORD>(parsed);
    return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if ((argc > 1 && !ParseDelay(argv[1], g_startDelayMs)) ||
        (argc > 2 && !ParseDelay(argv[2], g_stopDelayMs))) {
        return 2;
    }
    wchar_t name[] = L"LumioVideoService";
    const SERVICE_TABLE_ENTRYW table[] = {{name, ServiceMain}, {nullptr, nullptr}};
    return StartServiceCtrlDispatcherW(table) ? 0 : 1;
}
