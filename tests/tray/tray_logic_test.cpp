// The monitor's logic against recorded platform calls: presentation, blinking, Start and Stop,
// the menu and the window procedure.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "fake_sys.h"
#include "monitor.h"

namespace {

using Calls = std::vector<std::string>;

// The test's window, menu and icons are no real ones: the block lets go of them before it is deleted,
// so that no real release function ever sees them.
struct LetGoOfFakes {
    void operator()(MonitorState* monitor) const {
        static_cast<void>(monitor->window.release());
        static_cast<void>(monitor->menu.release());
        static_cast<void>(monitor->runningIcon.release());
        static_cast<void>(monitor->stoppedIcon.release());
        delete monitor;
    }
};

class TrayLogic : public ::testing::Test {
  protected:
    void SetUp() override {
        ResetFake();
        monitor_.reset(new MonitorState{});
        monitor_->window.reset(kWindow);
        monitor_->menu.reset(kMenu);
        monitor_->runningIcon.reset(kRunningIcon);
        monitor_->stoppedIcon.reset(kStoppedIcon);
        FillTrayIconRecord(*monitor_);
        g_monitor = monitor_.get();
    }
    void TearDown() override {
        g_monitor = nullptr;
        g_pollRunning.store(0);
    }
    // Shows a state and returns the calls it made.
    Calls Show(DWORD state) {
        g_fake.calls.clear();
        ShowServiceState(state, monitor_.get());
        return g_fake.calls;
    }
    Calls Tick() {
        g_fake.calls.clear();
        BlinkTimerProc(nullptr, WM_TIMER, BLINK_TIMER_ID, 0);
        return g_fake.calls;
    }
    Calls PressOnIcon(WPARAM id, LPARAM mouse) {
        g_fake.calls.clear();
        MonitorWndProc(kWindow, WM_TRAY_NOTIFY, id, mouse);
        return g_fake.calls;
    }
    std::unique_ptr<MonitorState, LetGoOfFakes> monitor_;
};

struct Row {
    DWORD state;
    const char* tooltip;
    const char* icon;
    const char* openBrowser;
    const char* start;
    const char* stop;
    bool blink;
};

const Row kTable[] = {
    {SERVICE_STOPPED, "Lumio Video: stopped", "stopped", "grayed", "enabled", "grayed", false},
    {SERVICE_START_PENDING, "Lumio Video: starting", "running", "grayed", "grayed", "grayed", true},
    {SERVICE_STOP_PENDING, "Lumio Video: stopping", "stopped", "grayed", "grayed", "grayed", true},
    {SERVICE_RUNNING, "Lumio Video: running", "running", "enabled", "grayed", "enabled", false},
    {SERVICE_CONTINUE_PENDING, "Lumio Video: starting", "running", "grayed", "grayed", "grayed", true},
    {SERVICE_PAUSE_PENDING, "Lumio Video: pausing", "stopped", "grayed", "grayed", "enabled", true},
    {SERVICE_PAUSED, "Lumio Video: paused", "stopped", "grayed", "grayed", "enabled", false},
};

TEST_F(TrayLogic, PresentsEveryServiceStateByItsTableRow) {
    for (const Row& row : kTable) {
        SCOPED_TRACE(row.tooltip);
        SetUp();
        const std::string shell =
            "Shell_NotifyIconW modify icon=" + std::string(row.icon) + " tip=\"" + row.tooltip + "\"";
        Calls expected = {shell, "EnableMenuItem 11 " + std::string(row.openBrowser),
                          "EnableMenuItem 12 " + std::string(row.start),
                          "EnableMenuItem 13 " + std::string(row.stop)};
        if (row.blink) {
            expected.push_back("SetTimer 10 400");
        } else {
            expected.push_back("KillTimer 10");
            expected.push_back(shell);
        }
        EXPECT_EQ(Show(row.state), expected);
        EXPECT_EQ(monitor_->shownState.load(), row.state);
        EXPECT_EQ(monitor_->blinking, row.blink ? 1 : 0);
    }
}

TEST_F(TrayLogic, StartsWithStoppedIconEmptyTipAndOnlyOpenAndHideEnabled) {
    const NOTIFYICONDATAW& icon = monitor_->notifyIcon;
    EXPECT_EQ(icon.cbSize, sizeof(NOTIFYICONDATAW));
    EXPECT_EQ(icon.hWnd, kWindow);
    EXPECT_EQ(icon.uID, 7969u);
    EXPECT_EQ(icon.uFlags, 7u);
    EXPECT_EQ(icon.uCallbackMessage, 1025u);
    EXPECT_EQ(icon.hIcon, kStoppedIcon);
    EXPECT_EQ(monitor_->stateIcon, kStoppedIcon);
    EXPECT_EQ(icon.szTip[0], L'\0');
    EXPECT_EQ(monitor_->shownState.load(), 0u);

    // The menu is a real one: its order, texts and initial states.
    MonitorState built{};
    BuildMonitorMenu(built);
    HMENU menu = built.menu.get();
    ASSERT_NE(menu, nullptr);
    struct Item {
        UINT id;
        const wchar_t* text;
        UINT state;
    };
    const Item items[] = {{IDM_OPEN_BROWSER, L"Open in Browser", MF_ENABLED},
                          {IDM_START, L"Start", MF_GRAYED},
                          {IDM_STOP, L"Stop", MF_GRAYED},
                          {0, L"", MF_SEPARATOR},
                          {IDM_HIDE, L"Hide Tray Indicator", MF_ENABLED}};
    ASSERT_EQ(GetMenuItemCount(menu), 5);
    for (int i = 0; i < 5; ++i) {
        SCOPED_TRACE(i);
        wchar_t text[64] = {};
        GetMenuStringW(menu, i, text, 64, MF_BYPOSITION);
        EXPECT_STREQ(text, items[i].text);
        const UINT state = GetMenuState(menu, i, MF_BYPOSITION);
        EXPECT_EQ(state & (items[i].state == MF_SEPARATOR ? MF_SEPARATOR : MF_GRAYED | MF_SEPARATOR),
                  items[i].state);
        if (items[i].id != 0) {
            EXPECT_EQ(GetMenuItemID(menu, i), items[i].id);
        }
    }
}

TEST_F(TrayLogic, RepeatedStateMakesNoCalls) {
    Show(SERVICE_START_PENDING);
    EXPECT_EQ(Show(SERVICE_START_PENDING), Calls{});

    // Nor does a poll that finds the shown state: nothing is sent to the window.
    g_fake.calls.clear();
    g_fake.serviceState = SERVICE_START_PENDING;
    EXPECT_TRUE(PollServiceState(monitor_.get()));
    EXPECT_EQ(g_fake.calls, Calls{"QueryServiceStatus"});
}

TEST_F(TrayLogic, IgnoresValuesThatAreNoServiceState) {
    Show(SERVICE_RUNNING);
    EXPECT_EQ(Show(0), Calls{});
    EXPECT_EQ(Show(8), Calls{});
    EXPECT_EQ(monitor_->shownState.load(), DWORD{SERVICE_RUNNING});
    EXPECT_EQ(Show(SERVICE_RUNNING), Calls{});
}

TEST_F(TrayLogic, PollHandsAChangedStateToTheWindow) {
    g_fake.serviceState = SERVICE_RUNNING;
    g_fake.sendRunsWindowProc = false;
    EXPECT_TRUE(PollServiceState(monitor_.get()));
    EXPECT_EQ(g_fake.calls, (Calls{"QueryServiceStatus", "SendMessageW 1026 4 0"}));
}

TEST_F(TrayLogic, FailedPollIsSilentAndKeepsTheShownState) {
    Show(SERVICE_RUNNING);
    g_fake.calls.clear();
    g_fake.queryOk = FALSE;
    g_fake.serviceState = SERVICE_STOPPED;
    EXPECT_FALSE(PollServiceState(monitor_.get()));
    EXPECT_EQ(g_fake.calls, Calls{"QueryServiceStatus"});
    EXPECT_EQ(monitor_->shownState.load(), DWORD{SERVICE_RUNNING});
}

TEST_F(TrayLogic, PollThreadPollsFirstThenSleepsUntilTheFlagIsCleared) {
    g_fake.sendRunsWindowProc = false;
    g_fake.sleepsUntilPollStops = 3;
    g_pollRunning.store(1);
    EXPECT_EQ(PollThreadProc(monitor_.get()), 0u);
    EXPECT_EQ(g_fake.calls, (Calls{"QueryServiceStatus", "SendMessageW 1026 1 0", "Sleep 1000",
                                   "QueryServiceStatus", "SendMessageW 1026 1 0", "Sleep 1000",
                                   "QueryServiceStatus", "SendMessageW 1026 1 0", "Sleep 1000"}));

    g_fake.calls.clear();
    EXPECT_EQ(PollThreadProc(monitor_.get()), 0u);  // the flag is clear: no poll at all
    EXPECT_EQ(g_fake.calls, Calls{});
}

TEST_F(TrayLogic, BlinkTickHidesAndShowsTheStateIcon) {
    Show(SERVICE_START_PENDING);
    EXPECT_EQ(Tick(), Calls{"Shell_NotifyIconW modify icon=none tip=\"Lumio Video: starting\""});
    EXPECT_EQ(Tick(), Calls{"Shell_NotifyIconW modify icon=running tip=\"Lumio Video: starting\""});
    EXPECT_EQ(Tick(), Calls{"Shell_NotifyIconW modify icon=none tip=\"Lumio Video: starting\""});

    g_monitor = nullptr;
    EXPECT_EQ(Tick(), Calls{});
}

TEST_F(TrayLogic, BlinkingOnWhileOnKeepsTheTimerAndItsPhase) {
    Show(SERVICE_STOP_PENDING);
    Tick();  // hidden phase
    EXPECT_EQ(Show(SERVICE_START_PENDING),
              (Calls{"Shell_NotifyIconW modify icon=running tip=\"Lumio Video: starting\"",
                     "EnableMenuItem 11 grayed", "EnableMenuItem 12 grayed", "EnableMenuItem 13 grayed"}));
    EXPECT_EQ(monitor_->blinking, 1);
    // The timer already running goes on alternating, now with the new icon.
    EXPECT_EQ(Tick(), Calls{"Shell_NotifyIconW modify icon=none tip=\"Lumio Video: starting\""});
    EXPECT_EQ(Tick(), Calls{"Shell_NotifyIconW modify icon=running tip=\"Lumio Video: starting\""});
}

TEST_F(TrayLogic, BlinkingOffLeavesTheIconVisible) {
    Show(SERVICE_START_PENDING);
    Tick();  // hidden phase
    const Calls calls = Show(SERVICE_RUNNING);
    ASSERT_GE(calls.size(), 2u);
    EXPECT_EQ(calls[calls.size() - 2], "KillTimer 10");
    EXPECT_EQ(calls.back(), "Shell_NotifyIconW modify icon=running tip=\"Lumio Video: running\"");
    EXPECT_EQ(monitor_->notifyIcon.hIcon, kRunningIcon);
    EXPECT_EQ(monitor_->blinking, 0);
}

struct Triage {
    DWORD error;
    bool fatal;
};

TEST_F(TrayLogic, StartFailuresAreIgnoredOrFatalByCode) {
    const Triage cases[] = {{ERROR_ACCESS_DENIED, false},           {ERROR_INVALID_HANDLE, false},
                            {ERROR_SERVICE_ALREADY_RUNNING, false}, {ERROR_SERVICE_DISABLED, true},
                            {ERROR_FILE_NOT_FOUND, true},           {ERROR_SERVICE_REQUEST_TIMEOUT, true}};
    for (const Triage& c : cases) {
        SCOPED_TRACE(c.error);
        SetUp();
        g_fake.startOk = FALSE;
        g_fake.lastError = c.error;
        StartMonitoredService(monitor_.get());
        Calls expected = {"StartServiceW 0 none"};
        if (c.fatal) {
            expected.push_back("FatalAppExitW 0 Fatal error when starting the service");
        }
        EXPECT_EQ(g_fake.calls, expected);
    }
}

TEST_F(TrayLogic, StopFailuresAreIgnoredOrFatalByCode) {
    const Triage cases[] = {{ERROR_ACCESS_DENIED, false},
                            {ERROR_INVALID_HANDLE, false},
                            {ERROR_SERVICE_CANNOT_ACCEPT_CTRL, false},
                            {ERROR_SERVICE_NOT_ACTIVE, false},
                            {ERROR_SHUTDOWN_IN_PROGRESS, false},
                            {ERROR_DEPENDENT_SERVICES_RUNNING, true},
                            {ERROR_SERVICE_REQUEST_TIMEOUT, true}};
    for (const Triage& c : cases) {
        SCOPED_TRACE(c.error);
        SetUp();
        g_fake.controlOk = FALSE;
        g_fake.lastError = c.error;
        StopMonitoredService(monitor_.get());
        Calls expected = {"ControlService 1"};
        if (c.fatal) {
            expected.push_back("FatalAppExitW 0 Fatal error when stopping the service");
        }
        EXPECT_EQ(g_fake.calls, expected);
    }
}

TEST_F(TrayLogic, SuccessfulStartPresentsTheNewStateBeforeReturning) {
    Show(SERVICE_STOPPED);
    g_fake.calls.clear();
    g_fake.serviceState = SERVICE_START_PENDING;
    StartMonitoredService(monitor_.get());
    ASSERT_GE(g_fake.calls.size(), 4u);
    EXPECT_EQ((Calls{g_fake.calls.begin(), g_fake.calls.begin() + 4}),
              (Calls{"StartServiceW 0 none", "QueryServiceStatus", "SendMessageW 1026 2 0",
                     "Shell_NotifyIconW modify icon=running tip=\"Lumio Video: starting\""}));
    EXPECT_EQ(monitor_->shownState.load(), DWORD{SERVICE_START_PENDING});
}

TEST_F(TrayLogic, SuccessfulStopPollsAtOnce) {
    Show(SERVICE_RUNNING);
    g_fake.calls.clear();
    g_fake.serviceState = SERVICE_STOP_PENDING;
    g_fake.sendRunsWindowProc = false;
    StopMonitoredService(monitor_.get());
    EXPECT_EQ(g_fake.calls, (Calls{"ControlService 1", "QueryServiceStatus", "SendMessageW 1026 3 0"}));
}

TEST_F(TrayLogic, MenuCommandsRunTheirActions) {
    const Calls opening = {"GetCursorPos", "SetForegroundWindow", "TrackPopupMenu 0x180 120,340"};
    struct Case {
        UINT choice;
        Calls actions;
    };
    const Case cases[] = {
        {0, {}},
        {IDM_HIDE, {"PostQuitMessage 0"}},
        {IDM_OPEN_BROWSER, {"ShellExecuteW open https://127.0.0.1:7443 1"}},
        {IDM_START, {"StartServiceW 0 none", "QueryServiceStatus", "SendMessageW 1026 1 0"}},
        {IDM_STOP, {"ControlService 1", "QueryServiceStatus", "SendMessageW 1026 1 0"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.choice);
        SetUp();
        g_fake.sendRunsWindowProc = false;
        g_fake.menuChoice = c.choice;
        Calls expected = opening;
        expected.insert(expected.end(), c.actions.begin(), c.actions.end());
        expected.push_back("DefWindowProcW 1025");
        EXPECT_EQ(PressOnIcon(TRAY_ICON_ID, WM_LBUTTONDOWN), expected);
    }
}

TEST_F(TrayLogic, OnlyButtonPressesOnOurIconOpenTheMenu) {
    EXPECT_EQ(PressOnIcon(TRAY_ICON_ID, WM_RBUTTONDOWN)[2], "TrackPopupMenu 0x180 120,340");
    for (LPARAM mouse :
         {WM_LBUTTONUP, WM_RBUTTONUP, WM_LBUTTONDBLCLK, WM_RBUTTONDBLCLK, WM_MOUSEMOVE, WM_CONTEXTMENU}) {
        SCOPED_TRACE(mouse);
        EXPECT_EQ(PressOnIcon(TRAY_ICON_ID, mouse), Calls{"DefWindowProcW 1025"});
    }
    EXPECT_EQ(PressOnIcon(TRAY_ICON_ID + 1, WM_LBUTTONDOWN), Calls{"DefWindowProcW 1025"});
}

TEST_F(TrayLogic, CloseAndDestroyEndTheMessageLoop) {
    // A close request is handled like "Hide Tray Indicator": it never reaches the default handling,
    // which would destroy the window.
    const std::pair<UINT, Calls> cases[] = {
        {WM_CLOSE, {"PostQuitMessage 0"}},
        {WM_DESTROY, {"PostQuitMessage 0", "DefWindowProcW " + std::to_string(WM_DESTROY)}},
    };
    for (const auto& [message, expected] : cases) {
        SCOPED_TRACE(message);
        g_fake.calls.clear();
        EXPECT_EQ(MonitorWndProc(kWindow, message, 0, 0), 0);
        EXPECT_EQ(g_fake.calls, expected);
    }
}

TEST_F(TrayLogic, TearDownAfterACloseRequestRemovesTheIconAndThenTheWindow) {
    Show(SERVICE_START_PENDING);  // blinking: the timer runs
    MonitorWndProc(kWindow, WM_CLOSE, 0, 0);

    // The test's icons and menu are no real ones: the tear-down does not see them.
    static_cast<void>(monitor_->runningIcon.release());
    static_cast<void>(monitor_->stoppedIcon.release());
    static_cast<void>(monitor_->menu.release());
    g_fake.calls.clear();
    DestroyMonitor(monitor_.get());
    EXPECT_EQ(g_fake.calls,
              (Calls{"KillTimer 10", "Shell_NotifyIconW delete icon=running tip=\"Lumio Video: starting\"",
                     "DestroyWindow"}));
    EXPECT_EQ(monitor_->window.get(), nullptr);
}

TEST_F(TrayLogic, TaskbarCreatedAddsTheIconBackAsItIsNow) {
    MonitorWndProc(kWindow, WM_CREATE, 0, 0);
    ASSERT_NE(g_taskbarCreatedMsg, 0u);
    EXPECT_EQ(g_taskbarCreatedMsg, RegisterWindowMessageW(L"TaskbarCreated"));
    Show(SERVICE_STOP_PENDING);
    Tick();  // hidden phase of the blink

    g_fake.calls.clear();
    EXPECT_EQ(MonitorWndProc(kWindow, g_taskbarCreatedMsg, 0, 0), 0);
    EXPECT_EQ(g_fake.calls, Calls{"Shell_NotifyIconW add icon=none tip=\"Lumio Video: stopping\""});

    g_monitor = nullptr;
    g_fake.calls.clear();
    MonitorWndProc(kWindow, g_taskbarCreatedMsg, 0, 0);
    EXPECT_EQ(g_fake.calls, Calls{"DefWindowProcW " + std::to_string(g_taskbarCreatedMsg)});
}

TEST_F(TrayLogic, ServiceStateMessagePresentsTheState) {
    MonitorWndProc(kWindow, WM_SERVICE_STATE, SERVICE_PAUSED, 0);
    EXPECT_EQ(monitor_->shownState.load(), DWORD{SERVICE_PAUSED});
    EXPECT_STREQ(monitor_->notifyIcon.szTip, L"Lumio Video: paused");
}

TEST(Tooltip, IsCutAt127CharactersAndClearedBeforeEachCopy) {
    NOTIFYICONDATAW icon{};
    const std::wstring longText(200, L'x');
    SetTooltip(icon, longText.c_str());
    EXPECT_EQ(std::wstring(icon.szTip), std::wstring(127, L'x'));

    SetTooltip(icon, L"Lumio Video: stopped");
    EXPECT_STREQ(icon.szTip, L"Lumio Video: stopped");
    for (size_t i = wcslen(L"Lumio Video: stopped"); i < 128; ++i) {
        ASSERT_EQ(icon.szTip[i], L'\0') << i;
    }

    const std::wstring exact(127, L'y');
    SetTooltip(icon, exact.c_str());
    EXPECT_EQ(std::wstring(icon.szTip), exact);
}

TEST(StartupErrors, EachCodeShowsItsMessage) {
    const std::pair<LONG, const wchar_t*> cases[] = {
        {10, L"Failed allocating memory"},         {11, L"Failed accessing application path"},
        {12, L"Failed accessing service manager"}, {13, L"Failed accessing service: LumioVideoService"},
        {14, L"Failed initializing application"},  {15, L"Failed initializing application"},
        {0, L"Failed initializing application"},   {99, L"Failed initializing application"},
    };
    for (const auto& [code, message] : cases) {
        SCOPED_TRACE(code);
        EXPECT_STREQ(InitErrorMessage(code), message);
    }
}

}  // namespace
