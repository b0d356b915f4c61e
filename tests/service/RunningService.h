// The service program installed and run by Wine's service manager, watched by observer processes
// that register like tray applications: the fixture of the end-to-end tests of the service and of
// the tray application. The AC line comes from the simulated power supply, the hibernation call
// from the stand-in power-management library.
#pragma once

#include "CSettings.h"
#include "Notify.h"
#include "Observer.h"
#include "PipeDefs.h"
#include "ScopedHandle.h"
#include "ServiceDrill.h"
#include "SimBattery.h"
#include "TestLog.h"
#include "TestProcess.h"
#include "TestRegistry.h"
#include "powrprof/PowrProfStandIn.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <list>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace servicetest {

using namespace testsupport;

// One observer process and what it recorded: "id <n>", then one line of hex words per message.
// Its waits, like the fixture's, allow Patient(ms) for what takes ms on a quiet machine.
class ObserverProcess {
public:
    explicit ObserverProcess(const std::wstring& tag, bool hung = false)
        : m_tag(tag), m_record(CommonAppDataPath(ObserverRecordName(tag))), m_hung(hung)
    {
        DeleteFileW(m_record.c_str());
        m_process.Start(L"\"" + ProgramPath(L"observer.exe") + L"\" " + tag + (hung ? L" hung" : L""));
    }
    ~ObserverProcess()
    {
        if (m_hung) {
            Kill();  // it answers nothing, a request to quit included
        }
        Signal(L"quit");
        m_process.Wait(3000);
    }

    std::vector<std::string> Lines() const
    {
        std::vector<std::string> lines;
        std::istringstream in(ReadFileBytes(m_record));
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    }
    // Notification codes received so far, battery-level repeats left out.
    std::vector<DWORD> Codes() const
    {
        std::vector<DWORD> codes;
        for (const std::string& line : Lines()) {
            const DWORD code = strtoul(line.c_str(), nullptr, 16);
            if (line.size() >= 8 && isxdigit(static_cast<unsigned char>(line[0])) && code != NOTIFY_BATTERY_LOW && code != NOTIFY_BATTERY_OK) {
                codes.push_back(code);
            }
        }
        return codes;
    }
    // Waits until the codes received after the first `from` end with `tail`.
    bool WaitForCodes(size_t from, const std::vector<DWORD>& tail, DWORD ms) const
    {
        const ULONGLONG deadline = NowMs() + Patient(ms);
        do {
            const std::vector<DWORD> codes = Codes();
            if (codes.size() >= from + tail.size() &&
                std::search(codes.begin() + from, codes.end(), tail.begin(), tail.end()) != codes.end()) {
                return true;
            }
            Sleep(20);
        } while (NowMs() < deadline);
        return false;
    }
    bool WaitForLine(const std::string& text, DWORD ms) const
    {
        const ULONGLONG deadline = NowMs() + Patient(ms);
        do {
            const std::vector<std::string> lines = Lines();
            if (std::find(lines.begin(), lines.end(), text) != lines.end()) return true;
            Sleep(20);
        } while (NowMs() < deadline);
        return false;
    }
    // The client handle the service gave it; 0 when it did not register in time.
    DWORD WaitRegistered(DWORD ms = 10000) const
    {
        const ULONGLONG deadline = NowMs() + Patient(ms);
        do {
            // The first notifications may be recorded before the handle is.
            for (const std::string& line : Lines()) {
                if (line.compare(0, 3, "id ") == 0) return strtoul(line.c_str() + 3, nullptr, 10);
            }
            Sleep(20);
        } while (NowMs() < deadline);
        return 0;
    }
    void Signal(const wchar_t* what) const
    {
        HANDLE event = OpenEventW(EVENT_MODIFY_STATE, FALSE, ObserverEventName(m_tag, what).c_str());
        if (event != NULL) {
            SetEvent(event);
            CloseHandle(event);
        }
    }
    // How often a code arrived, repeats included.
    size_t Count(DWORD code) const
    {
        size_t count = 0;
        for (const std::string& line : Lines()) {
            if (isxdigit(static_cast<unsigned char>(line[0])) && strtoul(line.c_str(), nullptr, 16) == code) ++count;
        }
        return count;
    }
    bool WaitForCount(DWORD code, size_t count, DWORD ms) const
    {
        const ULONGLONG deadline = NowMs() + Patient(ms);
        while (Count(code) < count) {
            if (NowMs() > deadline) return false;
            Sleep(20);
        }
        return true;
    }
    std::string Dump() const
    {
        std::string all;
        for (const std::string& line : Lines()) all += line + " | ";
        return all;
    }
    void Kill() { TerminateProcess(m_process.Handle(), 1); m_process.Wait(3000); }
    DWORD Pid() const { return m_process.Id(); }
    const std::wstring& Tag() const { return m_tag; }

private:
    std::wstring m_tag;
    std::wstring m_record;
    bool m_hung;
    ChildProcess m_process;
};

const DWORD kFlickerMs = 1000;
const DWORD kHibernateMs = kFlickerMs + kBeforeHibernateMs;

class RunningService : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(power.Available()) << "run the tests through scripts/test.sh";
        if (ServiceState() != 0) {
            RemoveService();  // left by a case that ctest ended at its ceiling
        }
        SetDrillSettings(kFlickerMs / 1000);
        DeleteRegTree(POWRPROF_SETTINGS_KEY);
        ASSERT_TRUE(UseStandInPowerLibrary(true));
        DeleteFileW(CommonAppDataPath(POWRPROF_CALLS_FILE).c_str());
        suspendCalled = CreateEventW(NULL, FALSE, FALSE, POWRPROF_CALLED_EVENT);
    }
    void TearDown() override
    {
        trigger.reset();
        RemoveService();
        if (HasFailure()) {
            log.PrintTail(60);  // the service's side of the story
        }
        CloseHandle(suspendCalled);
        ClearDrillSettings();
        DeleteRegTree(POWRPROF_SETTINGS_KEY);
        UseStandInPowerLibrary(false);
    }

    static void RemoveService()
    {
        if (RunServiceCommand(L"/UNINSTALL") != ERROR_SUCCESS) {
            EndServiceProcess(MIREL_SERVICE_NAME);
            RunServiceCommand(L"/UNINSTALL");
        }
    }
    void StartService()
    {
        RunServiceCommand(L"/Install");
        RunServiceCommand(L"/START");
        ASSERT_TRUE(WaitNamedPipeW(PIPE_CTRL_PREFIX MIREL_PIPE_SUFFIX, Patient(5000))) << "service not listening";
    }
    // Drops the AC line; the registration of the observer "trigger" then restarts the watch (as a
    // power event would), which finds the line off. The trigger's handle, or 0; *before is how
    // many codes watcher had received until then.
    DWORD DropLineAndRegisterTrigger(const ObserverProcess& watcher, size_t* before)
    {
        if (!power.SetAcOnline(false)) return 0;
        *before = watcher.Codes().size();
        trigger.reset(new ObserverProcess(L"trigger"));
        return trigger->WaitRegistered();
    }
    // Stops through the service manager as any client would, and waits for STOPPED; the time it
    // took (or more than 30 s).
    ULONGLONG StopService()
    {
        const ULONGLONG t0 = NowMs();
        RunProcess(L"sc stop MIRELSVC", 30000);
        while (ServiceState() != SERVICE_STOPPED && NowMs() - t0 < 30000) Sleep(20);
        return NowMs() - t0;
    }
    DWORD ServiceState()
    {
        ScopedScHandle scm(OpenSCManagerW(NULL, NULL, SC_MANAGER_CONNECT));
        ScopedScHandle service(OpenServiceW(scm.Get(), MIREL_SERVICE_NAME, SERVICE_QUERY_STATUS));
        SERVICE_STATUS status = {};
        return QueryServiceStatus(service.Get(), &status) ? status.dwCurrentState : 0;
    }
    template <typename Pred>
    static bool WaitUntilTrue(Pred pred, DWORD ms)
    {
        const ULONGLONG deadline = NowMs() + Patient(ms);
        while (!pred()) {
            if (NowMs() > deadline) return false;
            Sleep(20);
        }
        return true;
    }
    std::string SuspendCalls() { return ReadFileBytes(CommonAppDataPath(POWRPROF_CALLS_FILE)); }
    size_t LogIndex(const std::wstring& text)
    {
        const std::vector<std::wstring> lines = log.Lines();
        for (size_t i = 0; i < lines.size(); ++i) {
            if (lines[i].find(text) != std::wstring::npos) return i;
        }
        return SIZE_MAX;
    }

    ScopedPowerSupply power;
    ScopedLogSettings log{ L"t_svcrun.log", 2, 2 };
    HANDLE suspendCalled = NULL;
    std::unique_ptr<ObserverProcess> trigger;
};

const std::vector<DWORD> kAcLoss = { NOTIFY_S4_ENABLED, NOTIFY_HIBERNATING, NOTIFY_AC_LOST };

}  // namespace servicetest
