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

CBattery::CBattery() : m_dwBatteryCount(0), m_bInitialized(FALSE)
{
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
    LOG_EXIT(LOG_DETAIL, FN);
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
