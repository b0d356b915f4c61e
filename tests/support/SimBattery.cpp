#include "SimBattery.h"

#include "ScopedHandle.h"
#include "TestProcess.h"
#include "TestRegistry.h"

namespace testsupport {

const wchar_t kSimBattService[] = L"MirelSimBatt";
const wchar_t kSimBattDriverFile[] = L"mirelsimbatt.sys";

namespace {

const DWORD kMaxBatteries = 3;
const DWORD kStateWaitMs = 10000;
const wchar_t kServiceKey[] = L"System\\CurrentControlSet\\Services\\MirelSimBatt";
const wchar_t kEnumKey[] = L"System\\CurrentControlSet\\Enum\\ROOT\\SIMBATT";
const wchar_t kInterfaceGuid[] = L"{72631e54-78a4-11d0-bcf7-00aa00b7b32a}";

std::wstring ParametersKey()
{
    return std::wstring(kServiceKey) + L"\\Parameters";
}

std::wstring BatteryKey(DWORD index)
{
    return ParametersKey() + L"\\Battery" + std::to_wstring(index);
}

std::wstring InstanceName(DWORD index)
{
    wchar_t text[8];
    swprintf(text, 8, L"%04lu", index);
    return text;
}

std::wstring InterfaceKey(DWORD index)
{
    return std::wstring(L"System\\CurrentControlSet\\Control\\DeviceClasses\\") + kInterfaceGuid +
           L"\\##?#ROOT#SIMBATT#" + InstanceName(index) + L"#" + kInterfaceGuid;
}

std::wstring InterfacePath(DWORD index)
{
    return L"\\\\?\\root#simbatt#" + InstanceName(index) + L"#" + kInterfaceGuid;
}

std::wstring InstalledDriverPath()
{
    wchar_t dir[MAX_PATH];
    ::GetSystemDirectoryW(dir, MAX_PATH);
    return std::wstring(dir) + L"\\drivers\\" + kSimBattDriverFile;
}

bool WaitForState(SC_HANDLE hService, DWORD state)
{
    const ULONGLONG deadline = NowMs() + kStateWaitMs;
    SERVICE_STATUS status = {};
    while (::QueryServiceStatus(hService, &status) && status.dwCurrentState != state) {
        if (NowMs() > deadline) {
            return false;
        }
        ::Sleep(20);
    }
    return status.dwCurrentState == state;
}

DWORD StopAndDeleteService()
{
    ScopedScHandle hScm(::OpenSCManagerW(NULL, NULL, SC_MANAGER_ALL_ACCESS));
    if (!hScm.IsValid()) {
        return ::GetLastError();
    }
    ScopedScHandle hService(::OpenServiceW(hScm.Get(), kSimBattService, SERVICE_ALL_ACCESS));
    if (!hService.IsValid()) {
        const DWORD error = ::GetLastError();
        return (error == ERROR_SERVICE_DOES_NOT_EXIST) ? ERROR_SUCCESS : error;
    }
    SERVICE_STATUS status = {};
    if (::ControlService(hService.Get(), SERVICE_CONTROL_STOP, &status)) {
        WaitForState(hService.Get(), SERVICE_STOPPED);
    }
    if (!::DeleteService(hService.Get())) {
        const DWORD error = ::GetLastError();
        return (error == ERROR_SERVICE_MARKED_FOR_DELETE) ? ERROR_SUCCESS : error;
    }
    return ERROR_SUCCESS;
}

DWORD CreateAndStartService()
{
    ScopedScHandle hScm(::OpenSCManagerW(NULL, NULL, SC_MANAGER_ALL_ACCESS));
    if (!hScm.IsValid()) {
        return ::GetLastError();
    }
    // Auto start: a demand-start driver is lost when the Wine server restarts.
    ScopedScHandle hService(::CreateServiceW(
        hScm.Get(), kSimBattService, kSimBattService, SERVICE_ALL_ACCESS, SERVICE_KERNEL_DRIVER,
        SERVICE_AUTO_START, SERVICE_ERROR_IGNORE, InstalledDriverPath().c_str(), NULL, NULL, NULL,
        NULL, NULL));
    if (!hService.IsValid()) {
        return ::GetLastError();
    }
    return ERROR_SUCCESS;
}

DWORD StartService()
{
    ScopedScHandle hScm(::OpenSCManagerW(NULL, NULL, SC_MANAGER_ALL_ACCESS));
    ScopedScHandle hService(hScm.IsValid() ? ::OpenServiceW(hScm.Get(), kSimBattService, SERVICE_ALL_ACCESS)
                                           : NULL);
    if (!hService.IsValid()) {
        return ::GetLastError();
    }
    if (!::StartServiceW(hService.Get(), 0, NULL)) {
        return ::GetLastError();
    }
    return WaitForState(hService.Get(), SERVICE_RUNNING) ? ERROR_SUCCESS : ERROR_SERVICE_REQUEST_TIMEOUT;
}

}  // namespace

DWORD InstallSimBattery(DWORD count)
{
    if (count < 1 || count > kMaxBatteries) {
        return ERROR_INVALID_PARAMETER;
    }
    DWORD error = RemoveSimBattery();
    if (error != ERROR_SUCCESS) {
        return error;
    }
    if (!::CopyFileW(ProgramPath(kSimBattDriverFile).c_str(), InstalledDriverPath().c_str(), FALSE)) {
        return ::GetLastError();
    }
    error = CreateAndStartService();
    if (error != ERROR_SUCCESS) {
        return error;
    }
    // The driver reads the count when it starts and its battery settings on every request.
    if (!SetRegDword(ParametersKey(), L"Count", count)) {
        RemoveSimBattery();
        return ERROR_CANTWRITE;
    }
    error = StartService();
    if (error != ERROR_SUCCESS) {
        RemoveSimBattery();
    }
    return error;
}

DWORD RemoveSimBattery()
{
    const DWORD error = StopAndDeleteService();
    // The driver withdraws its interfaces when it unloads; the keys go as well, so that a later
    // installation with fewer batteries leaves no stale entries behind.
    for (DWORD i = 0; i < kMaxBatteries; ++i) {
        DeleteRegTree(InterfaceKey(i));
    }
    DeleteRegTree(kEnumKey);
    DeleteRegTree(ParametersKey());
    return error;
}

bool SimBatteryRunning()
{
    ScopedKernelHandle h(::CreateFileW(InterfacePath(0).c_str(), GENERIC_READ,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0,
                                       NULL));
    return h.IsValid();
}

bool SetSimBatteryValue(DWORD index, const wchar_t* valueName, DWORD value)
{
    return index < kMaxBatteries && SetRegDword(BatteryKey(index), valueName, value);
}

bool SetSimBatteryCapacity(DWORD index, DWORD remaining, DWORD fullCharged)
{
    return SetSimBatteryValue(index, L"Full", fullCharged) &&
           SetSimBatteryValue(index, L"Remaining", remaining);
}

bool SetSimBatteryName(DWORD index, const std::wstring& name)
{
    return index < kMaxBatteries && SetRegString(BatteryKey(index), L"Name", name);
}

bool SetSimBatteryPsts(DWORD index, DWORD statusWord)
{
    return SetSimBatteryValue(index, L"Psts", statusWord);
}

bool SetSimBatteryTag(DWORD index, DWORD tag)
{
    return SetSimBatteryValue(index, L"Tag", tag);
}

bool SetSimBatteryFailure(DWORD index, DWORD controlCode, DWORD ntStatus)
{
    return SetSimBatteryValue(index, L"FailStatus", ntStatus) &&
           SetSimBatteryValue(index, L"FailControl", controlCode);
}

bool SetSimBatteryUps(DWORD index, DWORD percent, DWORD estimatedSec, DWORD powerState)
{
    const DWORD kSystemShortTermRelative = 0x80000000 | 0x20000000 | 0x40000000;
    const DWORD kPbAc = 'P' | ('b' << 8) | ('A' << 16) | ('c' << 24);
    return SetSimBatteryValue(index, L"Capabilities", kSystemShortTermRelative) &&
           SetSimBatteryValue(index, L"Chemistry", kPbAc) && SetSimBatteryCapacity(index, percent, 100) &&
           SetSimBatteryValue(index, L"EstimatedTime", estimatedSec) &&
           SetSimBatteryState(index, powerState, 0);
}

bool SetSimBatteryState(DWORD index, DWORD powerState, LONG rate)
{
    return SetSimBatteryValue(index, L"PowerState", powerState) &&
           SetSimBatteryValue(index, L"Rate", static_cast<DWORD>(rate));
}

bool ResetSimBattery(DWORD index)
{
    return index < kMaxBatteries && DeleteRegTree(BatteryKey(index));
}

}  // namespace testsupport
