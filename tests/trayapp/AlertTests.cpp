// What a user of MIRELAPP sees: message boxes and balloons by priority, the alarm, the desktop
// switch of the toast library, and the session lock count.
#include "QuendaStandIn.h"
#include "SdkCompat.h"
#include "TrayAppFixture.h"

#include <gtest/gtest.h>
#include <shlobj.h>
#include <wtsapi32.h>

using namespace traytest;

namespace {

const wchar_t kS4FailedStart[] = L"休止状態への移行に失敗しました。";
const wchar_t kS4DisabledStart[] = L"休止状態が無効に設定されています。";
const wchar_t kResumedEnd[] = L"切断時にパソコンを休止へ移行し、復帰しました。";

class Alerts : public TrayApp {
protected:
    void TearDown() override
    {
        TrayApp::TearDown();
        RegDeleteKeyValueW(HKEY_CURRENT_USER, L"Software\\Wine", L"Version");
        DeleteRegTree(QUENDA_SETTINGS_KEY);
        DeleteFileW(CommonAppDataPath(QUENDA_CALLS_FILE).c_str());
        for (const wchar_t* name : { L"BeepFrequency", L"BeepCount" }) DeleteRegValue(kSettingsKey, name);
    }
    // The application on a battery PC beside the running service, ready for alerts.
    void StartOnBatteryPc(SimBattery& sim)
    {
        UseBatteryPc(sim);
        StartService();
        StartApp();
        // Settled: the window has taken the registration's answer, which ends with the line on
        // (a condition posted earlier would be overwritten by it; on a busy machine the first
        // battery level can come before it), and the battery is charged: nothing to show.
        ASSERT_TRUE(WaitForLogCount(L"WPARAM 05, LPARAM 00000000", 1, 5000));
        ASSERT_TRUE(WaitForLogCount(L"dwNotify = 12", 1, 5000));
    }
    bool BoxSays(size_t index, const std::wstring& text)
    {
        const std::vector<HWND> boxes = AppBoxes();
        return index < boxes.size() && BoxText(boxes[index]).find(text) != std::wstring::npos;
    }
    std::string QuendaCalls() { return ReadFileBytes(CommonAppDataPath(QUENDA_CALLS_FILE)); }
    static DWORD OwnSession()
    {
        DWORD session = 0;
        ProcessIdToSessionId(GetCurrentProcessId(), &session);
        return session;
    }
};

}  // namespace

// Message boxes by priority: a failure carries its code, a repeat opens no second box, a higher
// condition replaces the open box, a code without requests changes nothing shown, and the resume
// message comes once the failures are cleared. (Under Xvfb without a window manager, removing the
// last tray icon holds the GUI thread about 4 s: hence the longer wait there.)
TEST_F(Alerts, MessageBoxesFollowTheirPriority)
{
    SimBattery sim(1);
    StartOnBatteryPc(sim);
    ASSERT_TRUE(PostToApp(WM_SERVICE_NOTIFY, NOTIFY_S4_FAILED, 5));
    ASSERT_TRUE(WaitForBoxCount(1));
    EXPECT_EQ(L"Parvex", Caption(AppBoxes()[0]));
    EXPECT_TRUE(BoxSays(0, kS4FailedStart));
    EXPECT_TRUE(BoxSays(0, L"（エラーコード：5）")) << BoxText(AppBoxes()[0]);
    // Above a full-screen program: a process without recent input may not take the foreground.
    EXPECT_TRUE(GetWindowLongPtrW(AppBoxes()[0], GWL_EXSTYLE) & WS_EX_TOPMOST);

    // A second failure tells its code in the open box.
    ASSERT_TRUE(PostToApp(WM_SERVICE_NOTIFY, NOTIFY_S4_FAILED, 6));
    EXPECT_TRUE(WaitUntilTrue([&] { return BoxSays(0, L"（エラーコード：6）"); }, 3000));
    EXPECT_EQ(1u, AppBoxes().size());
    ASSERT_TRUE(PostToApp(WM_SERVICE_NOTIFY, NOTIFY_S4_DISABLED, 0));
    ASSERT_TRUE(WaitUntilTrue([&] { return BoxSays(0, kS4DisabledStart); }, 3000));
    ASSERT_TRUE(PostToApp(WM_SERVICE_NOTIFY, 7, 0));
    Sleep(300);
    ASSERT_EQ(1u, AppBoxes().size());
    EXPECT_TRUE(BoxSays(0, kS4DisabledStart));

    PressOk(AppBoxes()[0]);
    ASSERT_TRUE(WaitForBoxCount(0));
    ASSERT_TRUE(PostToApp(WM_SERVICE_NOTIFY, NOTIFY_AC_RESTORED, 0));
    ASSERT_TRUE(PostToApp(WM_SERVICE_NOTIFY, NOTIFY_RESUMED, 0));
    EXPECT_TRUE(ConfirmBox(kResumedEnd, 10000));
}

// A lock closes the box and removes the icon; another session's unlock changes nothing; the own
// unlock brings the box back and, once it is closed, asks the service about a hibernation.
TEST_F(Alerts, LockAndUnlockOfTheOwnSessionOnly)
{
    SimBattery sim(1);
    StartOnBatteryPc(sim);
    ASSERT_TRUE(PostToApp(WM_SERVICE_NOTIFY, NOTIFY_S4_DISABLED, 0));
    ASSERT_TRUE(WaitForBoxCount(1));
    ASSERT_TRUE(PostToApp(WM_WTSSESSION_CHANGE, WTS_SESSION_LOCK, OwnSession()));
    ASSERT_TRUE(WaitForBoxCount(0));
    EXPECT_TRUE(WaitForLogCount(L"Shell_NotifyIcon(2):", 1, 3000));

    ASSERT_TRUE(PostToApp(WM_WTSSESSION_CHANGE, WTS_SESSION_UNLOCK, OwnSession() + 1));
    ASSERT_TRUE(PostToApp(WM_SERVICE_NOTIFY, NOTIFY_RESUMED, 0));  // unseen: not kept for later
    Sleep(500);
    EXPECT_EQ(0u, AppBoxes().size());
    const size_t checks = LogCount(L"Call callback-function.");
    ASSERT_TRUE(PostToApp(WM_WTSSESSION_CHANGE, WTS_SESSION_UNLOCK, OwnSession()));
    ASSERT_TRUE(WaitForBoxCount(1));
    EXPECT_TRUE(BoxSays(0, kS4DisabledStart));
    PressOk(AppBoxes()[0]);
    EXPECT_TRUE(WaitForLogCount(L"Call callback-function.", checks + 1, 3000));
    Sleep(300);
    EXPECT_EQ(0u, AppBoxes().size()) << "no resume message";
}

// While the maker's refresh tool runs (its path in any letter case), a low battery is its doing:
// the application takes it as a good one.
TEST_F(Alerts, LowBatteryDuringARefreshIsNoAlert)
{
    SimBattery sim(1);
    UseBatteryPc(sim);
    ASSERT_TRUE(sim.SetCapacity(0, 2000, 50000));  // 4 %: low
    wchar_t folder[MAX_PATH];
    SHGetSpecialFolderPathW(NULL, folder, CSIDL_PROGRAM_FILES, FALSE);
    const std::wstring dir = std::wstring(folder) + L"\\ORVANEBATT";
    const std::wstring tool = dir + L"\\PELLWICK.EXE";
    CreateDirectoryW(dir.c_str(), NULL);
    ASSERT_TRUE(CopyFileW(ProgramPath(L"observer.exe").c_str(), tool.c_str(), FALSE));
    StartService();
    ChildProcess refresh;  // an observer under the tool's name: it runs until it is ended
    ASSERT_TRUE(refresh.Start(L"\"" + tool + L"\" pellwick"));
    StartApp();
    EXPECT_TRUE(WaitForLogCount(L"WPARAM 12, LPARAM 00000000", 2, 5000));
    EXPECT_EQ(0u, LogCount(L"WPARAM 11,"));
    TerminateProcess(refresh.Handle(), 0);
    refresh.Wait(3000);
    EXPECT_TRUE(WaitForLogCount(L"WPARAM 11, LPARAM 00000000", 1, 5000));
    DeleteFileW(tool.c_str());
}

// The alarm's settings are clamped; without a battery device nothing is shown, but the alarm
// still sounds.
TEST_F(Alerts, AlarmIsClampedAndSoundsEvenWithoutABatteryDevice)
{
    struct Case { const wchar_t* name; DWORD value; const wchar_t* line; };
    const Case cases[] = {
        { L"BeepCount", 0, L"Beep 500 Hz, 100 ms, every 100 ms, 0 times" },
        { L"BeepCount", 50, L"Beep 500 Hz, 100 ms, every 100 ms, 10 times" },
        { L"BeepFrequency", 20, L"Beep 37 Hz, 100 ms, every 100 ms, 10 times" },
    };
    SetRegDword(kSettingsKey, L"BeepDuration", 100);
    SetRegDword(kSettingsKey, L"BeepInterval", 100);
    StartService();
    StartApp();
    ASSERT_TRUE(WaitForLogCount(L"m_bIsMirelType = FALSE", 1, 5000));
    for (const Case& c : cases) {
        SetRegDword(kSettingsKey, c.name, c.value);
        ASSERT_TRUE(PostToApp(WM_SERVICE_NOTIFY, NOTIFY_AC_LOST, 0));
        EXPECT_TRUE(WaitForLogCount(c.line, 1, 5000)) << c.name << " " << c.value;
    }
    // It rings its count, not only its log line: ten beeps, each followed by its pause of 100 ms,
    // hold the window for at least 1 s before the next notification is handled (Wine's Beep
    // returns at once; on Windows each beep adds its 100 ms).
    const ULONGLONG t0 = NowMs();
    ASSERT_TRUE(PostToApp(WM_SERVICE_NOTIFY, NOTIFY_AC_LOST, 0));
    ASSERT_TRUE(PostToApp(WM_SERVICE_NOTIFY, 7, 0));
    ASSERT_TRUE(WaitForLogCount(L"WPARAM 07, LPARAM 00000000", 1, 15000));
    EXPECT_GE(NowMs() - t0, 1000u);
    EXPECT_LE(1u, LogCount(L"Rung 10 of 10")) << "every beep rung";
    ASSERT_TRUE(PostToApp(WM_SERVICE_NOTIFY, NOTIFY_S4_DISABLED, 0));
    Sleep(500);
    EXPECT_EQ(0u, AppBoxes().size());
    EXPECT_EQ(0u, LogCount(L"Shell_NotifyIcon("));
}

// On Windows 8 the hibernation balloon waits for the desktop: the library is asked which view is
// in front and switches; a failing library is logged and the balloon still comes. On Windows 7
// the library is never loaded.
TEST_F(Alerts, DesktopSwitchBeforeTheHibernationBalloon)
{
    struct Case { const wchar_t* version; DWORD result; const char* calls; const wchar_t* logged; };
    const Case cases[] = {
        { L"win8", 0,
          "Initialize\r\nInitToastCmnInf ORVANEPC.HWUTIL.MIRELAPP 1 0 0 0 0 0 0\r\nGetDisplayMode 2\r\n"
          "SwitchToDT 1\r\nGetDisplayMode 1\r\n", NULL },
        { L"win8", 0x80004005, "Initialize\r\nGetDisplayMode 2\r\n",
          L"Fail to TOASTAPI_GetDisplayMode(). hr: 80004005" },
        { L"win7", 0, "", NULL },
    };
    SimBattery sim(1);
    UseBatteryPc(sim);
    StartService();
    SetRegDword(QUENDA_SETTINGS_KEY, L"DisplayMode", 2);
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.version << " " << c.result);
        RegSetKeyValueW(HKEY_CURRENT_USER, L"Software\\Wine", L"Version", REG_SZ, c.version,
                        static_cast<DWORD>((wcslen(c.version) + 1) * sizeof(wchar_t)));
        SetRegDword(QUENDA_SETTINGS_KEY, L"Result", c.result);
        DeleteFileW(CommonAppDataPath(QUENDA_CALLS_FILE).c_str());
        const size_t adds = LogCount(kIconAdded);
        ChildProcess& app = StartApp();
        ASSERT_TRUE(WaitForLogCount(L"dwNotify = 12", apps.size(), 5000));
        ASSERT_TRUE(PostToApp(WM_SERVICE_NOTIFY, NOTIFY_HIBERNATING, 0));
        EXPECT_TRUE(WaitForLogCount(kIconAdded, adds + 1, 8000));  // a previous icon's removal may hold the GUI thread
        EXPECT_EQ(c.calls, QuendaCalls());
        if (c.logged != NULL) {
            EXPECT_EQ(1u, LogCount(c.logged));
        }
        ASSERT_TRUE(PostToApp(WM_ENDSESSION, TRUE, 0));
        EXPECT_EQ(0u, app.Wait(10000));  // the icon and the notice go: seconds each under Xvfb
    }
}

// Beside the hibernation balloon, which Windows may turn into a toast and drop while the user has
// notifications off or a full-screen program in front, a topmost window of ours says the same
// while the condition holds, and goes with it.
TEST_F(Alerts, HibernationNoticeIsTopmostWhileTheConditionHolds)
{
    SimBattery sim(1);
    StartOnBatteryPc(sim);
    auto notice = [&] {
        HWND hWnd = FindWindowW(L"ParvexNotice", NULL);
        DWORD pid = 0;
        GetWindowThreadProcessId(hWnd, &pid);
        return pid == apps.front().Id() ? hWnd : NULL;
    };
    ASSERT_TRUE(PostToApp(WM_SERVICE_NOTIFY, NOTIFY_HIBERNATING, 0));
    ASSERT_TRUE(WaitUntilTrue([&] { return notice() != NULL && IsWindowVisible(notice()); }, 5000));
    EXPECT_TRUE(GetWindowLongPtrW(notice(), GWL_EXSTYLE) & WS_EX_TOPMOST);
    EXPECT_EQ(L"Parvex", Caption(notice()));
    EXPECT_NE(std::wstring::npos, BoxText(notice()).find(L"パソコンを休止状態に移行します。"));
    ASSERT_TRUE(PostToApp(WM_SERVICE_NOTIFY, NOTIFY_AC_RESTORED, 0));
    EXPECT_TRUE(WaitUntilTrue([&] { return notice() == NULL; }, 5000));
}

// End to end: the AC-loss drill brings the hibernation balloon and the alarm; after the resume the
// application asks, and the service's answer opens the resume message.
TEST_F(Alerts, DrillBringsTheBalloonTheAlarmAndAfterTheResumeTheMessage)
{
    SimBattery sim(1);
    StartOnBatteryPc(sim);
    ObserverProcess good(L"good");
    ASSERT_NE(0u, good.WaitRegistered());
    size_t before = 0;
    ASSERT_NE(0u, DropLineAndRegisterTrigger(good, &before));
    EXPECT_TRUE(WaitForLogCount(L"WPARAM 06, LPARAM 00000000", 1, kFlickerMs + 3000));
    EXPECT_TRUE(WaitForLogCount(kIconAdded, 1, 3000));
    EXPECT_TRUE(WaitForLogCount(L"[CAlarm::Ring]", 1, 3000));
    ASSERT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(suspendCalled, kHibernateMs + 3000));

    ASSERT_TRUE(PostToApp(WM_POWERBROADCAST, PBT_APMRESUMESUSPEND, 0));
    EXPECT_TRUE(ConfirmBox(kResumedEnd, 5000));
}

// End to end: a stopped service brings message 104 and its return clears it; a service that
// cannot hibernate brings message 106.
TEST_F(Alerts, StoppedServiceAndDisabledHibernationFromTheRealService)
{
    SimBattery sim(1);
    StartOnBatteryPc(sim);
    ASSERT_EQ(0u, RunServiceCommand(L"/STOP"));
    ASSERT_TRUE(WaitForBoxCount(1, 5000));
    EXPECT_TRUE(BoxSays(0, L"「Velmora」サービスが動作していません。"));
    SetRegDword(POWRPROF_SETTINGS_KEY, L"HiberFilePresent", 0);
    ASSERT_EQ(0u, RunServiceCommand(L"/START"));
    ASSERT_TRUE(WaitUntilTrue([&] { return BoxSays(0, kS4DisabledStart); }, 10000));
    EXPECT_EQ(1u, AppBoxes().size());
}
