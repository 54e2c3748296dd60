// A recording stand-in for the monitor's platform calls. Every call is written down as one readable
// line; service and menu calls answer from the fields below.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "monitor.h"

struct FakeSys {
    std::vector<std::string> calls;

    BOOL queryOk = TRUE;
    DWORD serviceState = SERVICE_STOPPED;
    BOOL startOk = TRUE;
    BOOL controlOk = TRUE;
    DWORD lastError = 0;
    UINT menuChoice = 0;
    POINT cursor{120, 340};
    int sleepsUntilPollStops = 1;  // PollThreadProc: the flag is cleared during this many-th sleep

    // A send runs the window procedure at once, as it does on the window's own thread.
    bool sendRunsWindowProc = true;

    // The test window exists until DestroyWindow, or the default handling of WM_CLOSE, destroys it;
    // calls on it then fail and are marked "no-window".
    bool windowAlive = true;
};

extern FakeSys g_fake;

// Icons of a test monitor, distinct non-null values that the call lines name.
inline HICON const kRunningIcon = reinterpret_cast<HICON>(0x101);
inline HICON const kStoppedIcon = reinterpret_cast<HICON>(0x102);
inline HWND const kWindow = reinterpret_cast<HWND>(0x5001);
inline HMENU const kMenu = reinterpret_cast<HMENU>(0x6001);

// Clears the recording and the answers.
void ResetFake();
