#include "CDrillReport.h"

#include "CUpsLink.h"
#include "MIRELMSG.h"
#include "ScopedHandle.h"
#include "resource.h"

#include <strsafe.h>

#ifndef ERROR_INSUFFICIENT_POWER
#define ERROR_INSUFFICIENT_POWER 639L  // not in every SDK's headers
#endif

// A runtime too short for the reserve: the time left is a budget, and it does not cover what the
// hibernation needs ("not enough quota"). 639 already stands for a low charge, and the other
// codes of the drill for other faults, so an administrator tells the two apart by the code alone.
const DWORD kRuntimeShort = ERROR_NOT_ENOUGH_QUOTA;

namespace {

// Appends one line made from string resource uId and up to two numbers.
void AppendLine(LPWSTR lpszText, size_t cchText, UINT uId, DWORD dwFirst = 0, DWORD dwSecond = 0)
{
    WCHAR szFormat[128] = L"";
    WCHAR szLine[256] = L"";
    ::LoadStringW(::GetModuleHandleW(NULL), uId, szFormat, ARRAYSIZE(szFormat));
    ::StringCchPrintfW(szLine, ARRAYSIZE(szLine), szFormat, dwFirst, dwSecond);
    if (lpszText[0] != L'\0') {
        ::StringCchCatW(lpszText, cchText, L"\r\n");
    }
    ::StringCchCatW(lpszText, cchText, szLine);
}

// The same with one text in place of the numbers.
void AppendText(LPWSTR lpszText, size_t cchText, UINT uId, LPCWSTR lpszInsert)
{
    WCHAR szFormat[128] = L"";
    WCHAR szLine[256] = L"";
    ::LoadStringW(::GetModuleHandleW(NULL), uId, szFormat, ARRAYSIZE(szFormat));
    ::StringCchPrintfW(szLine, ARRAYSIZE(szLine), szFormat, lpszInsert);
    if (lpszText[0] != L'\0') {
        ::StringCchCatW(lpszText, cchText, L"\r\n");
    }
    ::StringCchCatW(lpszText, cchText, szLine);
}

LONG SetBinary(LPCWSTR lpszName, const void* lpData, DWORD cbData)
{
    ScopedRegKey key;
    LONG lRet = ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, MIREL_DRILL_KEY, 0, NULL, 0, KEY_SET_VALUE,
                                  NULL, key.Put(), NULL);
    if (lRet == ERROR_SUCCESS) {
        lRet = ::RegSetValueExW(key.Get(), lpszName, 0, REG_BINARY,
                                static_cast<const BYTE*>(lpData), cbData);
    }
    return lRet;
}

// A value that is not there yet reads as zeros.
LONG GetBinary(LPCWSTR lpszName, void* lpData, DWORD cbData)
{
    ZeroMemory(lpData, cbData);
    const LONG lRet = ::RegGetValueW(HKEY_LOCAL_MACHINE, MIREL_DRILL_KEY, lpszName,
                                     RRF_RT_REG_BINARY, NULL, lpData, &cbData);
    return lRet == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : lRet;
}

bool IsBatteryLow(const DRILLRESULT& result)
{
    return result.dwBatteryPercent != BATTERY_PERCENTAGE_UNKNOWN &&
           result.dwBatteryPercent < result.dwBatteryThreshold;
}

// A charge the system does not know is not enough: a real loss could not be judged either.
bool IsChargeUnknown(const DRILLRESULT& result)
{
    return result.dwBattery == DRILL_BATTERY_PRESENT &&
           result.dwBatteryPercent == BATTERY_PERCENTAGE_UNKNOWN;
}

// A network UPS is set, yet its server does not answer: the local probes protect meanwhile, and
// a PC that relies on that UPS would not hibernate in time.
bool IsNetworkUpsUnreachable(const DRILLRESULT& result)
{
    return result.dwLink != WATCHLINK_NONE && !CUpsLink::IsPowering(result.dwLink);
}

// A runtime nobody knows is not held against the source: the charge check judges it then.
bool IsRuntimeShort(const DRILLRESULT& result)
{
    return result.dwRuntime != WATCH_UNKNOWN_RUNTIME && result.dwRuntime < result.dwRuntimeNeeded;
}

// What powers the PC when the line is off, and for how long.
void AppendSource(LPWSTR lpszText, size_t cchText, const DRILLRESULT& result)
{
    if (result.dwSourceError != ERROR_SUCCESS) {
        AppendLine(lpszText, cchText, IDS_DRILL_SOURCE_UNREAD, result.dwSourceError);
        return;
    }
    switch (result.dwSourceKind) {
    case WATCHSOURCE_BATTERY: AppendLine(lpszText, cchText, IDS_DRILL_SOURCE_BATTERY); break;
    case WATCHSOURCE_UPS: AppendLine(lpszText, cchText, IDS_DRILL_SOURCE_UPS); break;
    case WATCHSOURCE_NETWORK_UPS: AppendLine(lpszText, cchText, IDS_DRILL_SOURCE_NETWORK_UPS); break;
    default: AppendLine(lpszText, cchText, IDS_DRILL_SOURCE_NONE); return;
    }
    if (result.dwRuntime == WATCH_UNKNOWN_RUNTIME) {
        AppendLine(lpszText, cchText, IDS_DRILL_RUNTIME_UNKNOWN, result.dwRuntimeNeeded);
    } else {
        AppendLine(lpszText, cchText, IDS_DRILL_RUNTIME, result.dwRuntime, result.dwRuntimeNeeded);
    }
}

}  // namespace

DWORD CDrillReport::Verdict(const DRILLRESULT& result)
{
    if (result.dwPrivilegeError != ERROR_SUCCESS) {
        return result.dwPrivilegeError;
    }
    if (!result.bS4Available) {
        return ERROR_NOT_SUPPORTED;
    }
    if (IsNetworkUpsUnreachable(result)) {
        return ERROR_NETWORK_UNREACHABLE;
    }
    if (result.dwBattery == DRILL_BATTERY_NONE) {
        return ERROR_DEVICE_NOT_CONNECTED;
    }
    if (result.dwBattery != DRILL_BATTERY_PRESENT || IsChargeUnknown(result)) {
        return ERROR_INVALID_DATA;
    }
    if (IsBatteryLow(result)) {
        return ERROR_INSUFFICIENT_POWER;
    }
    return IsRuntimeShort(result) ? kRuntimeShort : ERROR_SUCCESS;
}

void CDrillReport::Format(const DRILLRESULT& result, LPWSTR lpszText, size_t cchText)
{
    lpszText[0] = L'\0';
    AppendLine(lpszText, cchText, IDS_DRILL_APPS, result.dwRegistered, result.dwWarned);
    if (result.dwResult == ERROR_OPERATION_ABORTED) {
        AppendLine(lpszText, cchText, IDS_DRILL_INTERRUPTED);
        return;
    }
    AppendLine(lpszText, cchText, IDS_DRILL_AC_LOST, result.dwAcLostMs, result.dwAcLostDeadlineMs);
    AppendLine(lpszText, cchText, IDS_DRILL_HIBERNATE, result.dwHibernateMs,
               result.dwHibernateDeadlineMs);
    AppendSource(lpszText, cchText, result);
    if (result.dwLink != WATCHLINK_NONE) {
        AppendText(lpszText, cchText,
                   IsNetworkUpsUnreachable(result) ? IDS_DRILL_NETWORK_UPS_OFF : IDS_DRILL_NETWORK_UPS_ON,
                   result.szUpsStatus);
    }
    if (result.dwResult == ERROR_SUCCESS) {
        AppendLine(lpszText, cchText, IDS_DRILL_PASSED);
        return;
    }
    // Every reason, not only the first: the administrator mends them all at once.
    AppendLine(lpszText, cchText, IDS_DRILL_FAILED);
    if (result.dwPrivilegeError != ERROR_SUCCESS) {
        AppendLine(lpszText, cchText, IDS_DRILL_PRIVILEGE, result.dwPrivilegeError);
    }
    if (!result.bS4Available) {
        AppendLine(lpszText, cchText, IDS_DRILL_S4);
    }
    if (IsNetworkUpsUnreachable(result)) {
        AppendLine(lpszText, cchText, IDS_DRILL_NETWORK_UNREACHABLE);
    }
    if (result.dwBattery == DRILL_BATTERY_NONE) {
        AppendLine(lpszText, cchText, IDS_DRILL_NO_BATTERY);
    } else if (result.dwBattery != DRILL_BATTERY_PRESENT) {
        AppendLine(lpszText, cchText, IDS_DRILL_BATTERY_UNKNOWN);
    } else if (IsChargeUnknown(result)) {
        AppendLine(lpszText, cchText, IDS_DRILL_CHARGE_UNKNOWN);
    } else if (IsBatteryLow(result)) {
        AppendLine(lpszText, cchText, IDS_DRILL_LOW_BATTERY, result.dwBatteryPercent,
                   result.dwBatteryThreshold);
    }
    if (IsRuntimeShort(result)) {
        AppendLine(lpszText, cchText, IDS_DRILL_RUNTIME_SHORT, result.dwRuntime,
                   result.dwRuntimeNeeded);
    }
}

DWORD CDrillReport::EventId(const DRILLRESULT& result)
{
    switch (result.dwResult) {
    case ERROR_SUCCESS: return MSG_DRILL_PASSED;
    case ERROR_OPERATION_ABORTED: return MSG_DRILL_INTERRUPTED;
    default: return MSG_DRILL_FAILED;
    }
}

DWORD CDrillReport::SaveAnswer(const DRILLANSWER& answer)
{
    return static_cast<DWORD>(SetBinary(L"Answer", &answer, sizeof(answer)));
}

DWORD CDrillReport::LoadAnswer(DRILLANSWER* pAnswer)
{
    return static_cast<DWORD>(GetBinary(L"Answer", pAnswer, sizeof(*pAnswer)));
}

// The report first: a command that sees the new result finds its text already there.
DWORD CDrillReport::Save(const DRILLRESULT& result, LPCWSTR lpszText)
{
    ScopedRegKey key;
    LONG lRet = ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, MIREL_DRILL_KEY, 0, NULL, 0, KEY_SET_VALUE,
                                  NULL, key.Put(), NULL);
    if (lRet == ERROR_SUCCESS) {
        const DWORD cbText = static_cast<DWORD>((::lstrlenW(lpszText) + 1) * sizeof(WCHAR));
        lRet = ::RegSetValueExW(key.Get(), L"Report", 0, REG_SZ,
                                reinterpret_cast<const BYTE*>(lpszText), cbText);
    }
    return static_cast<DWORD>(lRet == ERROR_SUCCESS ? SetBinary(L"Result", &result, sizeof(result))
                                                    : lRet);
}

DWORD CDrillReport::Load(DRILLRESULT* pResult, LPWSTR lpszText, DWORD cchText)
{
    LONG lRet = GetBinary(L"Result", pResult, sizeof(*pResult));
    if (lRet == ERROR_SUCCESS && lpszText != NULL) {
        DWORD cbText = cchText * sizeof(WCHAR);
        lpszText[0] = L'\0';
        lRet = ::RegGetValueW(HKEY_LOCAL_MACHINE, MIREL_DRILL_KEY, L"Report", RRF_RT_REG_SZ, NULL,
                              lpszText, &cbText);
    }
    return static_cast<DWORD>(lRet);
}
