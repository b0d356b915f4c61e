// The tray application's rules without a window: the plan of each code and redisplay (which
// balloon and which box are on top and what happens to them next), the session lock count, and
// the recognition of the refresh tool.
#include "CAlertState.h"
#include "CRefreshToolProbe.h"
#include "CServiceLink.h"
#include "CSessionLock.h"
#include "Notify.h"
#include "NotifyTexts.h"
#include "ScopedHandle.h"
#include "SdkCompat.h"
#include "TestProcess.h"

#include <gtest/gtest.h>
#include <shellapi.h>
#include <wtsapi32.h>

#include <initializer_list>
#include <memory>
#include <string>
#include <thread>
#include <type_traits>

namespace {

typedef CAlertState S;

const S::Screen kHidden = { FALSE, TRUE };  // nothing shown: the conditions change alone
const S::Screen kShown = { TRUE, TRUE };    // shown, with the icon standing

// A state with the codes applied in order, in an unlocked session, with nothing on screen.
struct Given {
    explicit Given(std::initializer_list<DWORD> codes, BOOL bUnlocked = TRUE) { Then(codes, bUnlocked); }
    void Then(std::initializer_list<DWORD> codes, BOOL bUnlocked = TRUE)
    {
        for (DWORD dwCode : codes) state.OnCode(dwCode, 0, bUnlocked, kHidden);
    }
    CAlertState state;
};

struct TaskRun {
    DWORD dwThread;
    HANDLE hDone;
};

void RecordTask(LPVOID lpData)
{
    TaskRun* pRun = static_cast<TaskRun*>(lpData);
    pRun->dwThread = GetCurrentThreadId();
    SetEvent(pRun->hDone);
}

}  // namespace

// The plan of each code, judged from the conditions before it: a box, a balloon popped at once,
// the bare icon, or what stands stays; the code's own condition on top then.
TEST(AlertState, PlanOfEachCodeFromTheConditionsBefore)
{
    struct Case { std::initializer_list<DWORD> before; DWORD code; S::BalloonStep balloon; S::MessageStep box; DWORD top; };
    const Case cases[] = {
        { {}, NOTIFY_NO_BATTERY, S::BALLOON_POP, S::MESSAGE_CLOSE, NOTIFY_NO_BATTERY },
        { { NOTIFY_NO_BATTERY }, NOTIFY_NO_BATTERY, S::BALLOON_KEEP, S::MESSAGE_CLOSE, NOTIFY_NO_BATTERY },
        { { NOTIFY_NO_BATTERY }, NOTIFY_BATTERY_PRESENT, S::BALLOON_REMOVE_ICON, S::MESSAGE_CLOSE, 0 },
        { {}, NOTIFY_HIBERNATING, S::BALLOON_POP, S::MESSAGE_CLOSE, NOTIFY_HIBERNATING },
        // No battery beats hibernating: no balloon, yet the condition is kept.
        { { NOTIFY_NO_BATTERY }, NOTIFY_HIBERNATING, S::BALLOON_KEEP, S::MESSAGE_CLOSE, NOTIFY_NO_BATTERY },
        { { NOTIFY_HIBERNATING }, NOTIFY_S4_DISABLED, S::BALLOON_KEEP, S::MESSAGE_SHOW, NOTIFY_S4_DISABLED },
        { {}, NOTIFY_S4_DISABLED, S::BALLOON_REFRESH, S::MESSAGE_SHOW, NOTIFY_S4_DISABLED },
        { { NOTIFY_S4_DISABLED }, NOTIFY_S4_ENABLED, S::BALLOON_REMOVE_ICON, S::MESSAGE_CLOSE, 0 },
        { { NOTIFY_S4_FAILED }, NOTIFY_S4_FAILED, S::BALLOON_REFRESH, S::MESSAGE_CLOSE_OTHER, NOTIFY_S4_FAILED },
        { { NOTIFY_SERVICE_STOPPED }, NOTIFY_S4_FAILED, S::BALLOON_KEEP, S::MESSAGE_CLOSE_OTHER, NOTIFY_SERVICE_STOPPED },
        { { NOTIFY_SERVICE_STOPPED }, NOTIFY_SERVICE_STOPPED, S::BALLOON_KEEP, S::MESSAGE_CLOSE_OTHER, NOTIFY_SERVICE_STOPPED },
        { { NOTIFY_SERVICE_STOPPED }, NOTIFY_SERVICE_RUNNING, S::BALLOON_REMOVE_ICON, S::MESSAGE_CLOSE, 0 },
        { {}, NOTIFY_BATTERY_LOW, S::BALLOON_POP, S::MESSAGE_CLOSE, NOTIFY_BATTERY_LOW },
        { { NOTIFY_S4_FAILED }, NOTIFY_BATTERY_LOW, S::BALLOON_KEEP, S::MESSAGE_CLOSE_OTHER, NOTIFY_S4_FAILED },
        { { NOTIFY_BATTERY_LOW }, NOTIFY_BATTERY_OK, S::BALLOON_REMOVE_ICON, S::MESSAGE_CLOSE, 0 },
        { { NOTIFY_S4_FAILED, NOTIFY_S4_DISABLED }, NOTIFY_AC_RESTORED, S::BALLOON_REMOVE_ICON, S::MESSAGE_CLOSE, 0 },
        { { NOTIFY_S4_FAILED }, 7, S::BALLOON_KEEP, S::MESSAGE_CLOSE_OTHER, NOTIFY_S4_FAILED },
    };
    for (const Case& c : cases) {
        Given g(c.before);
        const S::Plan plan = g.state.OnCode(c.code, 0, TRUE, kShown);
        SCOPED_TRACE(testing::Message() << std::hex << "code " << c.code << " after " << c.before.size());
        EXPECT_EQ(c.balloon, plan.balloon);
        EXPECT_EQ(c.box, plan.message);
        EXPECT_EQ(c.top, plan.top.dwCode);
        EXPECT_EQ(c.code == NOTIFY_AC_LOST, plan.bAlarm != FALSE);
    }
    // Hidden: nothing is planned, yet the alarm rings.
    Given g({});
    const S::Plan plan = g.state.OnCode(NOTIFY_AC_LOST, 0, TRUE, kHidden);
    EXPECT_TRUE(plan.bAlarm && !plan.bDisplay);
}

// The balloon of each condition: its info flag and its time on screen.
TEST(AlertState, BalloonFlagsAndDurations)
{
    struct Case { DWORD code; DWORD flags; UINT seconds; };
    const Case cases[] = {
        { NOTIFY_NO_BATTERY, NIIF_INFO, 30 },      { NOTIFY_HIBERNATING, NIIF_INFO, 30 },
        { NOTIFY_S4_DISABLED, NIIF_INFO, 10 },     { NOTIFY_SERVICE_STOPPED, NIIF_ERROR, 10 },
        { NOTIFY_S4_FAILED, NIIF_ERROR, 10 },      { NOTIFY_BATTERY_LOW, NIIF_WARNING, 30 },
    };
    for (const Case& c : cases) {
        Given g({ c.code });
        const S::Plan plan = g.state.Redisplay(FALSE, TRUE, TRUE, kShown);
        ASSERT_EQ(S::BALLOON_POP, plan.balloon) << c.code;
        EXPECT_EQ(c.code, plan.top.dwCode);
        EXPECT_EQ(c.flags, plan.top.dwInfoFlags) << c.code;
        EXPECT_EQ(c.seconds, plan.top.nSeconds) << c.code;
    }
}

// The balloon's plan: the icon goes with the last condition; a pop beats a refresh; a standing
// balloon of the top condition stays; the pointer over the icon re-pops once the timer or the
// shell (NIN_BALLOONTIMEOUT and the like) took the balloon down; a balloon of a lower condition
// is replaced by the bare icon. A popped balloon is the first code's.
TEST(AlertState, BalloonPlan)
{
    enum { NONE, POPPED, GONE };
    struct Case { std::initializer_list<DWORD> codes; int balloon; int refresh, pop, iconShown; S::BalloonStep step; };
    const Case cases[] = {
        { {}, NONE, 1, 1, 1, S::BALLOON_REMOVE_ICON },
        { { NOTIFY_BATTERY_LOW }, NONE, 1, 1, 0, S::BALLOON_POP },
        { { NOTIFY_S4_FAILED }, NONE, 1, 0, 0, S::BALLOON_REFRESH },
        { { NOTIFY_BATTERY_LOW }, POPPED, 0, 0, 1, S::BALLOON_KEEP },
        { { NOTIFY_BATTERY_LOW }, GONE, 0, 0, 1, S::BALLOON_KEEP },
        { { NOTIFY_BATTERY_LOW }, GONE, 0, 0, 0, S::BALLOON_REPLACE },
        { { NOTIFY_BATTERY_LOW }, GONE, 0, 1, 1, S::BALLOON_POP },
        { { NOTIFY_BATTERY_LOW, NOTIFY_S4_FAILED }, POPPED, 0, 0, 1, S::BALLOON_REPLACE },
    };
    for (const Case& c : cases) {
        Given g({});
        for (DWORD dwCode : c.codes) {
            g.Then({ dwCode });
            if (dwCode == *c.codes.begin() && c.balloon != NONE) g.state.Redisplay(FALSE, FALSE, TRUE, kShown);
        }
        if (c.balloon == GONE) g.state.BalloonGone();
        const S::Screen screen = { TRUE, c.iconShown };
        EXPECT_EQ(c.step, g.state.Redisplay(FALSE, c.refresh, c.pop, screen).balloon)
            << c.codes.size() << " " << c.balloon << " " << c.refresh << c.pop << c.iconShown;
    }
    Given g({ NOTIFY_BATTERY_LOW });
    g.state.Redisplay(FALSE, FALSE, TRUE, kShown);
    EXPECT_EQ(NOTIFY_BATTERY_LOW, static_cast<DWORD>(g.state.BalloonKind())) << "the pop is taken in";
    EXPECT_TRUE(g.state.BalloonTimedOut());
    EXPECT_EQ(0, g.state.BalloonKind());
    EXPECT_FALSE(g.state.IsBalloonShown());
    EXPECT_EQ(S::BALLOON_REMOVE_ICON, g.state.Withdraw().balloon);
}

// The box's plan, and the resume message: kept while locked only when it was already pending,
// told once, and cleared by a failure. An open box is the first code's.
TEST(AlertState, MessagePlanAndTheResumeMessage)
{
    struct Case { std::initializer_list<DWORD> codes; bool open; int show; S::MessageStep step; DWORD top; };
    const Case cases[] = {
        { {}, false, 1, S::MESSAGE_CLOSE, 0 },
        { { NOTIFY_S4_FAILED }, false, 1, S::MESSAGE_SHOW, NOTIFY_S4_FAILED },
        { { NOTIFY_S4_FAILED }, true, 0, S::MESSAGE_KEEP, NOTIFY_S4_FAILED },
        { { NOTIFY_S4_FAILED, NOTIFY_S4_DISABLED }, true, 0, S::MESSAGE_CLOSE_OTHER, NOTIFY_S4_DISABLED },
        { { NOTIFY_RESUMED }, false, 1, S::MESSAGE_SHOW, NOTIFY_RESUMED },
        { { NOTIFY_RESUMED, NOTIFY_S4_FAILED }, false, 0, S::MESSAGE_CLOSE_OTHER, NOTIFY_S4_FAILED },
    };
    for (const Case& c : cases) {
        Given g({});
        for (DWORD dwCode : c.codes) {
            g.Then({ dwCode });
            if (dwCode == *c.codes.begin() && c.open) g.state.Redisplay(TRUE, FALSE, FALSE, kShown);
        }
        const S::Plan plan = g.state.Redisplay(c.show, FALSE, FALSE, kShown);
        EXPECT_EQ(c.step, plan.message) << c.codes.size() << " " << c.open;
        EXPECT_EQ(c.top, plan.topMessage.dwCode);
        EXPECT_EQ(c.step == S::MESSAGE_SHOW && c.open, plan.bBoxWasOpen != FALSE);
    }
    Given pending({ NOTIFY_RESUMED });
    pending.Then({ NOTIFY_RESUMED }, FALSE);
    EXPECT_TRUE(pending.state.Holds(NOTIFY_RESUMED)) << "a pending resume survives a locked one";
    EXPECT_EQ(S::MESSAGE_SHOW, pending.state.Redisplay(TRUE, FALSE, FALSE, kShown).message);
    EXPECT_EQ(NOTIFY_RESUMED, static_cast<DWORD>(pending.state.MessageKind()));
    pending.state.MessageClosed(NOTIFY_RESUMED);
    EXPECT_FALSE(pending.state.Holds(NOTIFY_RESUMED)) << "told once";
    Given locked({ NOTIFY_RESUMED }, FALSE);
    EXPECT_FALSE(locked.state.Holds(NOTIFY_RESUMED)) << "unseen: not kept for later";
}

// Where the battery in use is a UPS, the texts that name the battery name the UPS; the rest, and
// every text on an internal battery, stay as they are. The program's own texts differ.
TEST(AlertState, TextsNameTheUpsWhereTheBatteryInUseIsOne)
{
    struct Case { DWORD code; BOOL ups; UINT text; BOOL network; };
    const Case cases[] = {
        { NOTIFY_BATTERY_LOW, FALSE, IDS_BATTERY_LOW }, { NOTIFY_BATTERY_LOW, TRUE, IDS_UPS_LOW },
        { NOTIFY_NO_BATTERY, FALSE, IDS_NO_BATTERY },   { NOTIFY_NO_BATTERY, TRUE, IDS_UPS_REMOVED },
        { NOTIFY_S4_FAILED, TRUE, IDS_S4_FAILED },      { NOTIFY_HIBERNATING, TRUE, IDS_GOING_TO_HIBERNATE },
        { NOTIFY_BATTERY_LOW, FALSE, IDS_UPS_LOW, TRUE },  // a network UPS, no battery of its own
        { NOTIFY_NO_BATTERY, TRUE, IDS_UPS_REMOVED, TRUE },
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.text, CAlertState::TextId(*CNotifyTable::Find(c.code), c.ups, c.network)) << c.code << " " << c.ups;
    }
    std::unique_ptr<std::remove_pointer<HMODULE>::type, decltype(&FreeLibrary)> texts(
        LoadLibraryExW(testsupport::ProgramPath(L"MIRELAPP.exe").c_str(), NULL, LOAD_LIBRARY_AS_DATAFILE),
        &FreeLibrary);
    ASSERT_NE(nullptr, texts.get()) << GetLastError();
    CAlertState state(texts.get());
    state.OnCode(NOTIFY_NO_BATTERY, 0, TRUE, kHidden);
    const std::wstring battery = state.Text(NOTIFY_NO_BATTERY);
    state.SetShortTerm(TRUE);
    state.OnCode(NOTIFY_NO_BATTERY, 0, TRUE, kHidden);
    EXPECT_NE(std::wstring::npos, std::wstring(state.Text(NOTIFY_NO_BATTERY)).find(L"UPS"));
    EXPECT_EQ(std::wstring::npos, battery.find(L"UPS"));
}

// The owner's task (reading the battery's kind, which may hang on a device) runs on the watch
// thread when asked, and only then, also while no service answers the link.
TEST(ServiceLinkWatch, RunsTheOwnersTaskOnItsOwnThreadWhenAsked)
{
    ScopedKernelHandle done(CreateEventW(NULL, TRUE, FALSE, NULL));
    ScopedKernelHandle stop(CreateEventW(NULL, TRUE, FALSE, NULL));
    TaskRun run = { 0, done.Get() };
    CServiceLink link;
    link.SetWatchTask(RecordTask, &run);
    std::thread watch([&] { link.Watch(stop.Get()); });
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(done.Get(), 0)) << "not unasked";
    link.RequestWatchTask();
    EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(done.Get(), 30000));
    SetEvent(stop.Get());
    watch.join();
    EXPECT_NE(0u, run.dwThread);
    EXPECT_NE(GetCurrentThreadId(), run.dwThread);
}

// The queried session state as a count: not active, and not unlocked, where version 6.1 calls
// the unlocked state 0.
TEST(SessionLockCount, ConnectStateAndFlagsByVersion)
{
    struct Case { int state; LONG flags; BOOL win61; int count; };
    const Case cases[] = {
        { WTSActive, WTS_SESSIONSTATE_UNLOCK, FALSE, 0 },
        { WTSActive, WTS_SESSIONSTATE_LOCK, TRUE, 0 },
        { WTSActive, WTS_SESSIONSTATE_LOCK, FALSE, 1 },
        { WTSActive, WTS_SESSIONSTATE_UNLOCK, TRUE, 1 },
        { WTSDisconnected, WTS_SESSIONSTATE_UNLOCK, FALSE, 1 },
        { WTSConnected, static_cast<LONG>(WTS_SESSIONSTATE_UNKNOWN), FALSE, 2 },
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.count, CSessionLock::CountOf(c.state, c.flags, c.win61))
            << c.state << " " << c.flags << " " << c.win61;
    }
}

// Session notifications in order: connect and disconnect count like unlock and lock, another
// session's changes nothing, an unlock without a lock goes negative, a log-off ends the program.
TEST(SessionLockCount, FollowsTheOwnSessionsNotifications)
{
    DWORD own = 0;
    ProcessIdToSessionId(GetCurrentProcessId(), &own);
    typedef CSessionLock L;
    struct Step { WPARAM event; DWORD session; L::Change change; int count; };
    const Step steps[] = {
        { WTS_SESSION_LOCK, own, L::CHANGE_LOCKED, 1 },
        { WTS_CONSOLE_DISCONNECT, own, L::CHANGE_LOCKED, 2 },
        { WTS_SESSION_UNLOCK, own + 1, L::CHANGE_NONE, 2 },
        { WTS_CONSOLE_CONNECT, own, L::CHANGE_UNLOCKED, 1 },
        { WTS_SESSION_UNLOCK, own, L::CHANGE_UNLOCKED, 0 },
        { WTS_REMOTE_CONNECT, own, L::CHANGE_UNLOCKED, -1 },
        { WTS_SESSION_LOGON, own, L::CHANGE_NONE, -1 },
        { WTS_REMOTE_DISCONNECT, own, L::CHANGE_LOCKED, 0 },
        { WTS_SESSION_LOGOFF, own + 1, L::CHANGE_NONE, 0 },
        { WTS_SESSION_LOGOFF, own, L::CHANGE_LOGOFF, 0 },
    };
    CSessionLock lock;
    for (const Step& s : steps) {
        EXPECT_EQ(s.change, lock.Apply(s.event, s.session)) << s.event << " " << s.session;
        EXPECT_EQ(s.count, lock.Count()) << s.event << " " << s.session;
    }
}

// The refresh tool by its full path; a process whose path cannot be read by its image name only
// when this user or LocalSystem runs it: another user's program of that name must not quiet the
// warning here. Under Wine every process is this user's, so the owner is passed in.
TEST(RefreshToolProbe, FullPathOrTheImageNameOfAProcessThatNoOtherUserRuns)
{
    typedef CRefreshToolProbe P;
    const wchar_t tool[] = L"C:\\Program Files\\ORVANEBATT\\Pellwick.exe";
    struct Case { const wchar_t* fullPath; const wchar_t* exeFile; int owner; BOOL expected; };
    const Case cases[] = {
        { L"c:\\program files\\orvanebatt\\PELLWICK.EXE", L"PELLWICK.EXE", P::OWNER_OTHER, TRUE },
        { L"C:\\Temp\\Pellwick.exe", L"Pellwick.exe", P::OWNER_SELF, FALSE },
        { L"C:\\Temp\\Pellwick.exe", L"Pellwick.exe", P::OWNER_SYSTEM, FALSE },
        { NULL, L"pellwick.exe", P::OWNER_SELF, TRUE },
        { NULL, L"pellwick.exe", P::OWNER_SYSTEM, TRUE },
        { NULL, L"pellwick.exe", P::OWNER_OTHER, FALSE },
        { NULL, L"pellwick.exe", P::OWNER_UNKNOWN, FALSE },
        { NULL, L"other.exe", P::OWNER_SYSTEM, FALSE },
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.expected, P::IsTool(tool, c.fullPath, c.exeFile, c.owner))
            << (c.fullPath ? c.fullPath : L"(not read)") << " " << c.exeFile << " " << c.owner;
    }
    BYTE system[SECURITY_MAX_SID_SIZE], users[SECURITY_MAX_SID_SIZE];
    DWORD cbSystem = sizeof(system), cbUsers = sizeof(users);
    ASSERT_TRUE(CreateWellKnownSid(WinLocalSystemSid, NULL, system, &cbSystem));
    ASSERT_TRUE(CreateWellKnownSid(WinBuiltinUsersSid, NULL, users, &cbUsers));
    EXPECT_EQ(P::OWNER_SYSTEM, P::OwnerOf(system, users));
    EXPECT_EQ(P::OWNER_SELF, P::OwnerOf(users, users));
    EXPECT_EQ(P::OWNER_OTHER, P::OwnerOf(users, system));
    EXPECT_EQ(P::OWNER_OTHER, P::OwnerOf(users, NULL));
    EXPECT_EQ(P::OWNER_UNKNOWN, P::OwnerOf(NULL, users));
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(NULL, self, MAX_PATH);
    CRefreshToolProbe probe;
    EXPECT_TRUE(probe.IsRunning(self));
    EXPECT_FALSE(probe.IsRunning(L"C:\\nowhere\\trayapp_tests.exe"));
    EXPECT_FALSE(probe.IsRunning(L""));
}
