// initguid.h first: this unit defines GUID_DEVICE_BATTERY for the whole library.
#include <initguid.h>

#include "CBattery.h"

#include "CLog.h"
#include "ScopedHandle.h"

#include <strsafe.h>

namespace {

const DWORD kTagWaitMs = 1000;
const DWORD kRetrySleepMs = 500;
const BYTE kStatusUnknown = 0xFF;
const BYTE kBatteryFlagNoBattery = 0x80;
// Runtimes from here on are firmware's way of saying "don't know" (a 16-bit field all ones).
const ULONG kRuntimeCeiling = 65535;
// Below this charge a runtime of 0 is believed; above it, 0 is firmware that has no estimate.
const DWORD kZeroRuntimeBelowPercent = 20;
const ULONG kSecondsPerHour = 3600;

// The estimate as one worth acting on, or BATTERY_UNKNOWN_TIME.
DWORD KnownRuntime(ULONGLONG ullSeconds, DWORD dwPercent)
{
    if (ullSeconds >= kRuntimeCeiling || (ullSeconds == 0 && dwPercent >= kZeroRuntimeBelowPercent)) {
        return BATTERY_UNKNOWN_TIME;
    }
    return static_cast<DWORD>(ullSeconds);
}

// Sends one buffered control; 0 or the Windows error of the failed call.
DWORD Control(HANDLE hDevice, DWORD dwCode, LPVOID lpIn, DWORD cbIn, LPVOID lpOut, DWORD cbOut)
{
    DWORD cbReturned = 0;
    if (!::DeviceIoControl(hDevice, dwCode, lpIn, cbIn, lpOut, cbOut, &cbReturned, NULL)) {
        return ::GetLastError();
    }
    return ERROR_SUCCESS;
}

DWORD QueryInformation(HANDLE hDevice, ULONG ulTag, BATTERY_QUERY_INFORMATION_LEVEL level,
                       LPVOID lpOut, DWORD cbOut)
{
    BATTERY_QUERY_INFORMATION query = {};
    query.BatteryTag = ulTag;
    query.InformationLevel = level;
    query.AtRate = 0;
    return Control(hDevice, IOCTL_BATTERY_QUERY_INFORMATION, &query, sizeof(query), lpOut, cbOut);
}

// Full-charge and remaining capacity as a percentage rounded half up. The per-mille value is
// taken in 64 bits: capacities above 4,294,967 units would wrap in 32.
DWORD PercentOf(ULONG ulCapacity, ULONG ulFullCharged)
{
    if (ulFullCharged == 0) {
        return 0;
    }
    const ULONGLONG ullPercent =
        (static_cast<ULONGLONG>(ulCapacity) * 1000 / ulFullCharged + 5) / 10;
    return (ullPercent > MAXDWORD) ? MAXDWORD : static_cast<DWORD>(ullPercent);
}

// The battery answered, but without a capacity: reported unknown, or the query is not one its
// driver supports. A battery that is gone or cannot be opened is not among these.
bool IsCapacityMissing(DWORD dwError)
{
    return dwError == ERROR_INVALID_DATA || dwError == ERROR_INVALID_FUNCTION ||
           dwError == ERROR_NOT_SUPPORTED;
}

}  // namespace

CBattery::CBattery()
    : m_dwBatteryCount(0), m_bInitialized(FALSE), m_dwChoice(BATTCHOICE_NONE), m_dwTracedChoice(BATTCHOICE_NONE)
{
    m_szTracedPath[0] = L'\0';
}

CBattery::~CBattery()
{
    Finalize();
}

DWORD CBattery::Initialize()
{
    static const WCHAR FN[] = L"CBattery::Initialize";
    LOG_ENTER(LOG_DETAIL, FN);
    EnumBatteries();
    m_bInitialized = TRUE;
    return LOG_RESULT(LOG_DETAIL, FN, ERROR_SUCCESS);
}

void CBattery::Finalize()
{
    static const WCHAR FN[] = L"CBattery::Finalize";
    LOG_ENTER(LOG_DETAIL, FN);
    m_dwBatteryCount = 0;
    m_bInitialized = FALSE;
    LOG_EXIT(LOG_DETAIL, FN);
}

void CBattery::EnumBatteries()
{
    static const WCHAR FN[] = L"CBattery::EnumBatteries";
    LOG_ENTER(LOG_DETAIL, FN);
    // A broken list is not trusted at all.
    const DWORD dwRet = m_DevicePaths.Read(LOG_DETAIL, FN);
    m_dwBatteryCount = (dwRet == ERROR_SUCCESS) ? m_DevicePaths.GetCount() : 0;
    m_dwChoice = (m_dwBatteryCount > 0) ? ChooseInUse(m_DevicePaths) : BATTCHOICE_NONE;
    TraceChoice(FN);
    LOG_EXIT(LOG_DETAIL, FN);
}

void CBattery::TraceChoice(LPCWSTR lpszCaller)
{
    static const LPCWSTR kReasons[] = { L"no battery", L"a system battery that is not short-term",
                                        L"a short-term system battery (UPS)",
                                        L"capabilities unknown, the first enumerated" };
    // Enumerations repeat (every start request, every 2 s while a battery cannot be read): the
    // log names a choice once, and again only when it changes.
    const LPCWSTR lpszPath = m_DevicePaths.Get(0);
    if (m_dwChoice == m_dwTracedChoice && ::lstrcmpiW(lpszPath, m_szTracedPath) == 0) {
        return;
    }
    m_dwTracedChoice = m_dwChoice;
    ::StringCchCopyW(m_szTracedPath, MAX_PATH, lpszPath);
    LOG_TRACE(LOG_EVENT, lpszCaller, L"Battery in use: %s (%s of %u)", lpszPath, kReasons[m_dwChoice],
              m_dwBatteryCount);
}

DWORD CBattery::ChooseIndex(const ULONG* pulCapabilities, DWORD dwCount, LPDWORD lpdwChoice)
{
    *lpdwChoice = (dwCount > 0) ? BATTCHOICE_FIRST : BATTCHOICE_NONE;
    DWORD dwShortTerm = dwCount;
    for (DWORD i = 0; i < dwCount; ++i) {
        if ((pulCapabilities[i] & BATTERY_SYSTEM_BATTERY) == 0) {
            continue;
        }
        if ((pulCapabilities[i] & BATTERY_IS_SHORT_TERM) == 0) {
            *lpdwChoice = BATTCHOICE_INTERNAL;
            return i;
        }
        if (dwShortTerm == dwCount) {
            dwShortTerm = i;
        }
    }
    if (dwShortTerm < dwCount) {
        *lpdwChoice = BATTCHOICE_SHORT_TERM;
        return dwShortTerm;
    }
    return 0;
}

DWORD CBattery::ChooseInUse(CBatteryPaths& paths)
{
    ULONG ulCapabilities[BATTERY_MAX_DEVICES] = {};
    for (DWORD i = 0; i < paths.GetCount() && i < BATTERY_MAX_DEVICES; ++i) {
        ScopedKernelHandle hDevice(::CreateFileW(paths.Get(i), GENERIC_READ | GENERIC_WRITE,
                                                 FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0, NULL));
        BATTINFO info = {};
        // Unreadable capabilities stay 0: such a battery is neither kind and is chosen by order only.
        if (hDevice.IsValid() && QueryDevice(hDevice.Get(), &info, BATTINFO_INFORMATION) == ERROR_SUCCESS) {
            ulCapabilities[i] = info.Information.Capabilities;
        }
    }
    DWORD dwChoice = BATTCHOICE_NONE;
    paths.MoveToFront(ChooseIndex(ulCapabilities, paths.GetCount(), &dwChoice));
    return dwChoice;
}

DWORD CBattery::JudgeRuntime(ULONG ulEstimated, ULONG ulCapacity, LONG lRate, DWORD dwPercent)
{
    if (ulEstimated != BATTERY_UNKNOWN_TIME) {
        const DWORD dwRuntime = KnownRuntime(ulEstimated, dwPercent);
        if (dwRuntime != BATTERY_UNKNOWN_TIME) {
            return dwRuntime;
        }
    }
    // Only a discharge gives a runtime: a rate of 0 or more is charging or idle. The unknown rate
    // is the most negative value and would read as the fastest discharge.
    if (lRate >= 0 || static_cast<ULONG>(lRate) == BATTERY_UNKNOWN_RATE || ulCapacity == BATTERY_UNKNOWN_CAPACITY) {
        return BATTERY_UNKNOWN_TIME;
    }
    const ULONGLONG ullDrain = static_cast<ULONGLONG>(-static_cast<LONGLONG>(lRate));
    return KnownRuntime(static_cast<ULONGLONG>(ulCapacity) * kSecondsPerHour / ullDrain, dwPercent);
}

BOOL CBattery::IsGone(DWORD dwError)
{
    return (dwError == ERROR_NO_MORE_ITEMS || dwError == ERROR_FILE_NOT_FOUND || dwError == ERROR_PATH_NOT_FOUND ||
            dwError == ERROR_DEVICE_NOT_CONNECTED ||
            dwError == ERROR_DEV_NOT_EXIST || dwError == ERROR_INVALID_NAME) ? TRUE : FALSE;
}

DWORD CBattery::ReadSource(DWORD dwIndex, LPBATTREADING pReading)
{
    static const WCHAR FN[] = L"CBattery::ReadSource";
    if (pReading == NULL) {
        return LOG_NULL_ARG(LOG_DETAIL, FN, L"pReading");
    }
    pReading->dwPercent = BATTERY_PERCENTAGE_UNKNOWN;
    pReading->dwRuntime = BATTERY_UNKNOWN_TIME;
    pReading->bCritical = FALSE;
    BATTINFO info;
    const DWORD dwRet = GetSelectBatteryInfo(dwIndex, &info, BATTINFO_INFORMATION | BATTINFO_STATUS | BATTINFO_RUNTIME);
    if (dwRet != ERROR_SUCCESS) {
        return dwRet;
    }
    const ULONG ulFull = info.Information.FullChargedCapacity;
    if (info.Status.Capacity != BATTERY_UNKNOWN_CAPACITY && ulFull != BATTERY_UNKNOWN_CAPACITY && ulFull != 0) {
        const DWORD dwPercent = PercentOf(info.Status.Capacity, info.Information.FullChargedCapacity);
        pReading->dwPercent = (dwPercent > 100) ? 100 : dwPercent;
    }
    pReading->dwRuntime =
        JudgeRuntime(info.ulEstimatedTime, info.Status.Capacity, info.Status.Rate, pReading->dwPercent);
    pReading->bCritical = (info.Status.PowerState & BATTERY_CRITICAL) != 0 ? TRUE : FALSE;
    return ERROR_SUCCESS;
}

DWORD CBattery::QueryDevice(HANDLE hDevice, LPBATTINFO pBatteryInfo, DWORD dwFlags)
{
    DWORD dwWait = kTagWaitMs;
    ULONG ulTag = 0;
    // The tag is not checked here: an invalid tag makes the following controls fail.
    DWORD dwRet = Control(hDevice, IOCTL_BATTERY_QUERY_TAG, &dwWait, sizeof(dwWait), &ulTag,
                          sizeof(ulTag));
    if (dwRet == ERROR_SUCCESS && (dwFlags & BATTINFO_NAME) != 0) {
        WCHAR szName[MAX_PATH] = {};
        dwRet = QueryInformation(hDevice, ulTag, BatteryDeviceName, szName, sizeof(szName));
        if (dwRet == ERROR_SUCCESS) {
            ::StringCchCopyNW(pBatteryInfo->szDeviceName, MAX_PATH, szName, MAX_PATH - 1);
        }
    }
    if (dwRet == ERROR_SUCCESS && (dwFlags & BATTINFO_INFORMATION) != 0) {
        dwRet = QueryInformation(hDevice, ulTag, BatteryInformation, &pBatteryInfo->Information,
                                 sizeof(pBatteryInfo->Information));
    }
    if (dwRet == ERROR_SUCCESS && (dwFlags & BATTINFO_STATUS) != 0) {
        BATTERY_WAIT_STATUS wait = {};
        wait.BatteryTag = ulTag;
        wait.Timeout = 0;
        dwRet = Control(hDevice, IOCTL_BATTERY_QUERY_STATUS, &wait, sizeof(wait),
                        &pBatteryInfo->Status, sizeof(pBatteryInfo->Status));
    }
    pBatteryInfo->ulEstimatedTime = BATTERY_UNKNOWN_TIME;
    if (dwRet == ERROR_SUCCESS && (dwFlags & BATTINFO_RUNTIME) != 0) {
        // Many drivers do not estimate: that leaves the runtime unknown, not the battery unreadable.
        ULONG ulSeconds = BATTERY_UNKNOWN_TIME;
        if (QueryInformation(hDevice, ulTag, BatteryEstimatedTime, &ulSeconds, sizeof(ulSeconds)) == ERROR_SUCCESS) {
            pBatteryInfo->ulEstimatedTime = ulSeconds;
        }
    }
    return dwRet;
}

DWORD CBattery::GetSelectBatteryInfo(DWORD dwIndex, LPBATTINFO pBatteryInfo, DWORD dwFlags)
{
    static const WCHAR FN[] = L"CBattery::GetSelectBatteryInfo";
    LOG_ENTER(LOG_DETAIL, FN);
    if (pBatteryInfo == NULL) {
        return LOG_NULL_ARG(LOG_DETAIL, FN, L"pBatteryInfo");
    }
    if (dwIndex >= m_dwBatteryCount) {
        return ERROR_NO_MORE_ITEMS;
    }
    if (!m_bInitialized) {
        return LOG_RESULT(LOG_DETAIL, FN, ERROR_NOT_READY);
    }
    ZeroMemory(pBatteryInfo, sizeof(*pBatteryInfo));

    ScopedKernelHandle hDevice(::CreateFileW(m_DevicePaths.Get(dwIndex), GENERIC_READ | GENERIC_WRITE,
                                             FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                                             OPEN_EXISTING, 0, NULL));
    if (!hDevice.IsValid()) {
        return LOG_RESULT(LOG_DETAIL, FN, ::GetLastError());
    }
    return LOG_RESULT(LOG_DETAIL, FN, QueryDevice(hDevice.Get(), pBatteryInfo, dwFlags));
}

DWORD CBattery::GetLifePercent(DWORD dwIndex, LPDWORD lpdwLifePercent)
{
    static const WCHAR FN[] = L"CBattery::GetLifePercent";
    LOG_ENTER(LOG_DETAIL, FN);
    if (lpdwLifePercent == NULL) {
        return LOG_NULL_ARG(LOG_DETAIL, FN, L"lpdwLifePercent");
    }
    if (!m_bInitialized) {
        return LOG_RESULT(LOG_DETAIL, FN, ERROR_NOT_READY);
    }
    BATTINFO info;
    DWORD dwRet = GetSelectBatteryInfo(dwIndex, &info, BATTINFO_INFORMATION | BATTINFO_STATUS);
    // A driver that cannot tell the capacity says BATTERY_UNKNOWN_CAPACITY; taken as a number it
    // would read as a full battery and hide a low one.
    if (dwRet == ERROR_SUCCESS && (info.Status.Capacity == BATTERY_UNKNOWN_CAPACITY ||
                                   info.Information.FullChargedCapacity == BATTERY_UNKNOWN_CAPACITY)) {
        dwRet = ERROR_INVALID_DATA;
    }
    if (dwRet == ERROR_SUCCESS) {
        *lpdwLifePercent = PercentOf(info.Status.Capacity, info.Information.FullChargedCapacity);
    } else if (IsCapacityMissing(dwRet) && GetSystemLifePercent(lpdwLifePercent)) {
        // The battery is there but its driver gives no capacity: the system's own estimate
        // still tells low from enough, where no level at all would tell neither.
        LOG_TRACE(LOG_DETAIL, FN, L"Capacity unknown (%d): the system's %u%%", dwRet, *lpdwLifePercent);
        dwRet = ERROR_SUCCESS;
    }
    return LOG_RESULT(LOG_DETAIL, FN, dwRet);
}

BOOL CBattery::GetSystemLifePercent(LPDWORD lpdwLifePercent)
{
    SYSTEM_POWER_STATUS status = {};
    if (!::GetSystemPowerStatus(&status) || status.BatteryLifePercent == BATTERY_PERCENTAGE_UNKNOWN ||
        status.BatteryFlag == kStatusUnknown || (status.BatteryFlag & kBatteryFlagNoBattery) != 0) {
        return FALSE;
    }
    *lpdwLifePercent = status.BatteryLifePercent;
    return TRUE;
}

BOOL CBattery::IsStatusAccepted(const SYSTEM_POWER_STATUS& status) const
{
    // A battery device exists, yet the system reports none (or does not know): not settled yet.
    if (m_dwBatteryCount > 0 &&
        ((status.BatteryFlag & kBatteryFlagNoBattery) != 0 || status.BatteryFlag == kStatusUnknown)) {
        return FALSE;
    }
    return status.ACLineStatus != kStatusUnknown;
}

void CBattery::TraceStatus(const SYSTEM_POWER_STATUS& status) const
{
    LOG_FUNCTION(L"CBattery::TraceStatus");
    LOG_TRACE(LOG_DETAIL, FN, L"BatteryFlag:        %08x", status.BatteryFlag);
    LOG_TRACE(LOG_DETAIL, FN, L"ACLineStatus:       %08x", status.ACLineStatus);
    LOG_TRACE(LOG_DETAIL, FN, L"BatteryLifePercent: %08x", status.BatteryLifePercent);
    LOG_TRACE(LOG_DETAIL, FN, L"BatteryFullLifeTime:%08x", status.BatteryFullLifeTime);
    LOG_TRACE(LOG_DETAIL, FN, L"BatteryLifeTime:    %08x", status.BatteryLifeTime);
}

DWORD CBattery::GetSystemPowerStatus(LPSYSTEM_POWER_STATUS pStatus, DWORD dwRetry)
{
    static const WCHAR FN[] = L"CBattery::GetSystemPowerStatus";
    LOG_ENTER(LOG_DETAIL, FN);
    if (pStatus == NULL) {
        return LOG_NULL_ARG(LOG_DETAIL, FN, L"pStatus");
    }
    if (!m_bInitialized) {
        return LOG_RESULT(LOG_DETAIL, FN, ERROR_NOT_READY);
    }
    // Once an attempt failed, its code is the result even if a later one succeeds.
    DWORD dwRet = ERROR_SUCCESS;
    for (DWORD dwAttempt = 0;; ++dwAttempt) {
        if (dwAttempt > 0) {
            ::Sleep(kRetrySleepMs);
        }
        if (!::GetSystemPowerStatus(pStatus)) {
            dwRet = ::GetLastError();
        } else {
            TraceStatus(*pStatus);
            if (IsStatusAccepted(*pStatus)) {
                break;
            }
        }
        if (dwAttempt >= dwRetry) {
            break;
        }
    }
    return LOG_RESULT(LOG_DETAIL, FN, dwRet);
}

DWORD CBattery::GetAttachableBatteryCount(LPDWORD lpdwCount)
{
    static const WCHAR FN[] = L"CBattery::GetAttachableBatteryCount";
    LOG_ENTER(LOG_DETAIL, FN);
    if (lpdwCount == NULL) {
        return LOG_NULL_ARG(LOG_DETAIL, FN, L"lpdwCount");
    }
    if (!m_bInitialized) {
        return LOG_RESULT(LOG_DETAIL, FN, ERROR_NOT_READY);
    }
    *lpdwCount = m_dwBatteryCount;
    return LOG_RESULT(LOG_DETAIL, FN, ERROR_SUCCESS);
}

DWORD CBattery::IsNotebookPC(LPBOOL lpbFlag)
{
    static const WCHAR FN[] = L"CBattery::IsNotebookPC";
    LOG_ENTER(LOG_DETAIL, FN);
    if (lpbFlag == NULL) {
        return LOG_NULL_ARG(LOG_DETAIL, FN, L"lpbFlag");
    }
    *lpbFlag = FALSE;
    DWORD dwCount = 0;
    const DWORD dwRet = GetAttachableBatteryCount(&dwCount);
    if (dwRet == ERROR_SUCCESS && dwCount != 0) {
        *lpbFlag = TRUE;
    }
    return LOG_RESULT(LOG_DETAIL, FN, dwRet);
}
