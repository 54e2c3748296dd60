// Joining the poll thread at shutdown, with real threads and a real window: the thread may be
// blocked in a synchronous send to the joining thread, which must serve it rather than deadlock.
#include <gtest/gtest.h>

#include <atomic>

#include "monitor.h"
#include "trsn/win_owners.h"

namespace {

using trsn::win::UniqueEvent;
using trsn::win::UniqueHandle;
using trsn::win::UniqueWindow;

std::atomic<int> g_received{0};

LRESULT CALLBACK CountingWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_SERVICE_STATE) {
        ++g_received;
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

// A message-only window that counts the states sent to it.
UniqueWindow MakeCountingWindow() {
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = CountingWndProc;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"PollJoinTest";
    RegisterClassExW(&windowClass);
    return UniqueWindow(CreateWindowExW(0, L"PollJoinTest", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                        GetModuleHandleW(nullptr), nullptr));
}

// Nothing but the join serves sends to the joining thread, so the first send returns only once the
// join runs, and the second comes while the joining thread is already waiting in it.
DWORD WINAPI SendTwiceThenEnd(LPVOID param) {
    const auto window = static_cast<HWND>(param);
    SendMessageW(window, WM_SERVICE_STATE, SERVICE_START_PENDING, 0);
    SendMessageW(window, WM_SERVICE_STATE, SERVICE_RUNNING, 0);
    return 0;
}

DWORD WINAPI WaitForEvent(LPVOID param) {
    WaitForSingleObject(static_cast<HANDLE>(param), INFINITE);
    return 0;
}

TEST(PollThreadJoin, ServesASendFromTheThreadAndJoinsIt) {
    const UniqueWindow window = MakeCountingWindow();
    ASSERT_NE(window.get(), nullptr);
    g_received = 0;
    const UniqueHandle thread(CreateThread(nullptr, 0, SendTwiceThenEnd, window.get(), 0, nullptr));
    ASSERT_NE(thread.get(), nullptr);
    const ULONGLONG start = GetTickCount64();
    EXPECT_TRUE(JoinPollThread(thread.get(), 5000));
    EXPECT_LT(GetTickCount64() - start, 3000u);
    EXPECT_EQ(g_received.load(), 2);
}

TEST(PollThreadJoin, GivesUpAfterTheTimeout) {
    const UniqueEvent release = UniqueEvent::createManualReset();
    const UniqueHandle thread(CreateThread(nullptr, 0, WaitForEvent, release.get(), 0, nullptr));
    ASSERT_NE(thread.get(), nullptr);
    const ULONGLONG start = GetTickCount64();
    EXPECT_FALSE(JoinPollThread(thread.get(), 300));
    const ULONGLONG waited = GetTickCount64() - start;
    EXPECT_GE(waited, 250u);
    EXPECT_LT(waited, 3000u);
    release.set();
    EXPECT_TRUE(JoinPollThread(thread.get(), 5000));
}

TEST(PollThreadJoin, AcceptsNoThread) {
    EXPECT_TRUE(JoinPollThread(nullptr, 0));
}

}  // namespace
