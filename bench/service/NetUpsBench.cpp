// The service with a network UPS configured, under Wine:
//   netups_bench.exe [idleSeconds=30]
// Against the UPS server scripts/bench.sh starts (MIREL_NUT_PORT): the time from the UPS's status
// turning to "OB" on its server to the AC-loss notification at an application, and the service's
// CPU while idle with the UPS watched. Prints "n/a" without a server, or where the library does
// not yet take the line from a network UPS (no loss comes within the ceiling).
// Winsock before windows.h, which the pipe headers bring.
#include <winsock2.h>

#include "CPipeCl.h"
#include "CSettings.h"
#include "CUpsConfig.h"
#include "CUpsSession.h"
#include "CUpsSocket.h"
#include "Notify.h"
#include "ServiceDrill.h"
#include "TestProcess.h"
#include "TestRegistry.h"

#include <windows.h>
#include <stdio.h>

#include <string>

using namespace servicetest;
using namespace testsupport;

namespace {

const DWORD kFlickerMs = 1000;
const DWORD kLossCeilingMs = kFlickerMs + 20000;
const char kLossRow[] = "network UPS: OB set -> AC-loss notification";
const char kLossGoal[] = "flicker time + at most 2.5 s";
const char kIdleRow[] = "service idle CPU, network UPS configured";

HANDLE g_acLost = NULL;

void OnNotify(LPVOID data, PPIPEEVENT)
{
    DWORD code = 0;
    static_cast<CPipeCl*>(data)->GetReceivedData(&code, sizeof(code));
    if (code == NOTIFY_AC_LOST) {
        SetEvent(g_acLost);
    }
}

// One variable of the dummy UPS, through the protocol as the server's administrator.
bool SetVar(WORD port, const char* name, const char* value)
{
    CUpsSocket socket(NULL);
    const std::string requests[] = { "USERNAME admin", "PASSWORD adminpw",
                                     std::string("SET VAR dummy ") + name + " " + CUpsSession::Argument(value) };
    bool ok = socket.Connect("127.0.0.1", port, 5000) == ERROR_SUCCESS;
    for (const std::string& request : requests) {
        std::string line;
        ok = ok && socket.SendLine(request, 5000) == ERROR_SUCCESS &&
             socket.ReceiveLine(line, 5000) == ERROR_SUCCESS && line == "OK";
    }
    return ok;
}

ULONGLONG CpuMs(HANDLE process)
{
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(process, &created, &exited, &kernel, &user)) return 0;
    const ULONGLONG k = (static_cast<ULONGLONG>(kernel.dwHighDateTime) << 32) | kernel.dwLowDateTime;
    const ULONGLONG u = (static_cast<ULONGLONG>(user.dwHighDateTime) << 32) | user.dwLowDateTime;
    return (k + u) / 10000;
}

void PrintNa(const char* why)
{
    printf("%s\n", why);
    printf("ROW|%s|n/a (%s)|%s\n", kLossRow, why, kLossGoal);
    printf("ROW|%s|n/a (%s)|as without one\n", kIdleRow, why);
}

// The loss's latency from the status change on the server, in ms; 0 when none came.
ULONGLONG MeasureLoss(WORD port)
{
    CPipeCl watcher;
    DWORD id = 0;
    watcher.Initialize(1, MIREL_PIPE_SUFFIX, &id, OnNotify, &watcher, NULL);
    ResetEvent(g_acLost);
    const ULONGLONG t0 = NowMs();
    ULONGLONG latency = 0;
    if (SetVar(port, "ups.status", "OB") && WaitForSingleObject(g_acLost, kLossCeilingMs) == WAIT_OBJECT_0) {
        latency = NowMs() - t0;
    }
    SetVar(port, "ups.status", "OL");
    watcher.Finalize(NULL);
    return latency;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    const DWORD idleSeconds = argc > 1 ? _wtoi(argv[1]) : 30;
    wchar_t portText[16] = L"";
    if (!GetEnvironmentVariableW(L"MIREL_NUT_PORT", portText, 16)) {
        PrintNa("no UPS server");
        return 0;
    }
    const WORD port = static_cast<WORD>(_wtoi(portText));
    if (!SetVar(port, "ups.status", "OL")) {
        PrintNa("the UPS server does not answer");
        return 0;
    }
    SetDrillSettings(kFlickerMs / 1000);
    SetRegString(MIREL_SETTINGS_KEY, L"UpsMonitor", L"dummy@127.0.0.1:" + std::wstring(portText));
    SetRegString(MIREL_UPS_CREDENTIALS_KEY, L"UpsUser", L"mon");
    SetRegString(MIREL_UPS_CREDENTIALS_KEY, L"UpsPassword", L"monpw");
    UseStandInPowerLibrary(true);
    RunServiceCommand(L"/Install");
    RunServiceCommand(L"/START");
    g_acLost = CreateEventW(NULL, TRUE, FALSE, NULL);
    if (!WaitNamedPipeW(PIPE_CTRL_PREFIX MIREL_PIPE_SUFFIX, 5000)) {
        PrintNa("the service does not listen");
    } else {
        Sleep(3000);  // the library's first connection to the server
        const ULONGLONG latency = MeasureLoss(port);
        if (latency == 0) {
            printf("ROW|%s|n/a (no loss within %lu ms: no library support)|%s\n", kLossRow, kLossCeilingMs, kLossGoal);
        } else {
            printf("ROW|%s|%llu ms (flicker %lu ms)|%s\n", kLossRow, latency, kFlickerMs, kLossGoal);
        }
        HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, ServiceProcessId());
        const ULONGLONG before = CpuMs(process);
        Sleep(idleSeconds * 1000);
        const ULONGLONG used = CpuMs(process) - before;
        printf("ROW|%s|%.2f %% over %lu s|as without one\n", kIdleRow, used * 100.0 / (idleSeconds * 1000.0), idleSeconds);
        if (process != NULL) CloseHandle(process);
    }
    RunServiceCommand(L"/UNINSTALL");
    DeleteRegTree(MIREL_UPS_CREDENTIALS_KEY);
    DeleteRegValue(MIREL_SETTINGS_KEY, L"UpsMonitor");
    ClearDrillSettings();
    UseStandInPowerLibrary(false);
    return 0;
}
