// Joining the poll thread at shutdown, with real threads and a real window: the thread may be
// blocked in a synchronous send to the joining thread, which must serve it rather than deadlock.
#include <gtest/gtest.h>

#include <atomic>

#include "monitor.h"

namespace {

std::atomic<int> g_received{0};

LRESULT CALLBACK CountingWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_SERVICE_STATE) {
        ++g_received;
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

struct Window {
    Window() {
        WNDCLASSEXW windowClass{};
        windowClass.cbSize = sizeof(windowClass);
        windowClass.lpfnWndProc = CountingWndProc;
        windowClass.hInstance = GetModuleHandleW(nullptr);
        windowClass.lpszClassName = L"PollJoinTest";
        RegisterClassExW(&windowClass);
        handle = CreateWindowExW(0, L"PollJoinTest", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                 GetModuleHandleW(nullptr), nullptr);
    }
    ~Window() { DestroyWindow(handle); }
    HWND handle;
};

DWORD WINAPI SendThenEnd(LPVOID param) {
    Sleep(100);  // the joining thread is already waiting
    SendMessageW(static_cast<HWND>(param), WM_SERVICE_STATE, SERVICE_RUNNING, 0);
    return 0;
}

DWORD WINAPI WaitForEvent(LPVOID param) {
    WaitForSingleObject(static_cast<HANDLE>(param), INFINITE);
    return 0;
}

TEST(PollThreadJoin, ServesASendFromTheThreadAndJoinsIt) {
    Window window;
    ASSERT_NE(window.handle, nullptr);
    g_received = 0;
    HANDLE thread = CreateThread(nullptr, 0, SendThenEnd, window.handle, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    const ULONGLONG start = GetTickCount64();
    EXPECT_TRUE(JoinPollThread(thread, 5000));
    EXPECT_LT(GetTickCount64() - start, 3000u);
    EXPECT_EQ(g_received.load(), 1);
    CloseHandle(thread);
}

TEST(PollThreadJoin, GivesUpAfterTheTimeout) {
    HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE thread = CreateThread(nullptr, 0, WaitForEvent, release, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    const ULONGLONG start = GetTickCount64();
    EXPECT_FALSE(JoinPollThread(thread, 300));
    const ULONGLONG waited = GetTickCount64() - start;
    EXPECT_GE(waited, 250u);
    EXPECT_LT(waited, 3000u);
    SetEvent(release);
    EXPECT_TRUE(JoinPollThread(thread, 5000));
    CloseHandle(thread);
    CloseHandle(release);
}

TEST(PollThreadJoin, AcceptsNoThread) {
    EXPECT_TRUE(JoinPollThread(nullptr, 0));
}

}  // namespace
