#include "CDrillCommand.h"

#include "CEventLog.h"
#include "CLog.h"
#include "CSettings.h"
#include "MIRELMSG.h"
#include "ScopedHandle.h"
#include "resource.h"

#include <strsafe.h>

namespace {

// Beyond the drill's own waits: a service busy delivering, a machine under load.
const DWORD kResultMarginMs = 30000;
const DWORD kResultPollMs = 200;
// The service answers a request as soon as its control handler runs.
const DWORD kAnswerCeilingMs = 30000;

}  // namespace

DWORD CDrillCommand::Run(LPCWSTR lpszServiceName)
{
    static const WCHAR FN[] = L"CDrillCommand::Run";
    LOG_ENTER(LOG_DETAIL, FN);
    DRILLANSWER last = {};
    CDrillReport::LoadAnswer(&last);
    DWORD dwRet = SendControl(lpszServiceName);
    if (dwRet == ERROR_ACCESS_DENIED) {
        // Only administrators may send the service its user-defined controls.
        LOG_TRACE(LOG_EVENT, FN, L"Drill refused: not an administrator.");
        CEventLog eventLog;
        eventLog.Open(lpszServiceName);
        eventLog.Report(MSG_DRILL_REFUSED);
    }
    DRILLANSWER answer = {};
    if (dwRet == ERROR_SUCCESS) {
        dwRet = WaitForAnswer(last.dwRequests, &answer);
    }
    if (dwRet != ERROR_SUCCESS) {
        PrintError(IDS_DRILL_NOT_STARTED, dwRet);
        return LOG_RESULT(LOG_DETAIL, FN, dwRet);
    }
    WCHAR szText[1024] = L"";
    dwRet = WaitForResult(answer.dwDrill, szText, ARRAYSIZE(szText));
    if (dwRet == ERROR_TIMEOUT) {
        PrintError(IDS_DRILL_NO_RESULT, dwRet);
    } else {
        Print(szText);
    }
    return LOG_RESULT(LOG_DETAIL, FN, dwRet);
}

DWORD CDrillCommand::SendControl(LPCWSTR lpszServiceName)
{
    ScopedScHandle scm(::OpenSCManagerW(NULL, NULL, SC_MANAGER_CONNECT));
    if (!scm.IsValid()) {
        return ::GetLastError();
    }
    ScopedScHandle service(::OpenServiceW(scm.Get(), lpszServiceName,
                                          SERVICE_USER_DEFINED_CONTROL | SERVICE_QUERY_STATUS));
    if (!service.IsValid()) {
        return ::GetLastError();
    }
    SERVICE_STATUS status = {};
    if (!::ControlService(service.Get(), MIREL_CONTROL_DRILL, &status)) {
        return ::GetLastError();
    }
    return ERROR_SUCCESS;
}

// The service's answer to this request (the first after dwLastRequests): 0 when the drill runs,
// otherwise why not; ERROR_TIMEOUT when no answer comes.
DWORD CDrillCommand::WaitForAnswer(DWORD dwLastRequests, DRILLANSWER* pAnswer)
{
    const ULONGLONG ullDeadline = ::GetTickCount64() + kAnswerCeilingMs;
    for (;;) {
        if (CDrillReport::LoadAnswer(pAnswer) == ERROR_SUCCESS &&
            pAnswer->dwRequests != dwLastRequests) {
            return pAnswer->dwAnswer;
        }
        if (::GetTickCount64() >= ullDeadline) {
            return ERROR_TIMEOUT;
        }
        ::Sleep(kResultPollMs);
    }
}

// The result of drill dwSerial; ERROR_TIMEOUT when none comes within the drill's waits and a
// margin.
DWORD CDrillCommand::WaitForResult(DWORD dwSerial, LPWSTR lpszText, DWORD cchText)
{
    const ULONGLONG ullDeadline = ::GetTickCount64() + ResultCeilingMs();
    for (;;) {
        DRILLRESULT result = {};
        if (CDrillReport::Load(&result, lpszText, cchText) == ERROR_SUCCESS &&
            result.dwSerial == dwSerial) {
            return result.dwResult;
        }
        if (::GetTickCount64() >= ullDeadline) {
            return ERROR_TIMEOUT;
        }
        ::Sleep(kResultPollMs);
    }
}

// The drill takes the flicker wait and the wait before hibernation, as the service reads them.
DWORD CDrillCommand::ResultCeilingMs()
{
    CSettings settings;
    settings.Initialize();
    return settings.Get(SETTING_POWER_FLICKER_TIME) * 1000 +
           settings.Get(SETTING_HIBERNATE_AFTER) * 1000 + settings.AlarmTime() +
           settings.Get(SETTING_SHOW_BALLOON_WAIT) + kResultMarginMs;
}

// To a console as wide text; to a file or pipe as UTF-8.
void CDrillCommand::Print(LPCWSTR lpszText)
{
    const HANDLE hOut = ::GetStdHandle(STD_OUTPUT_HANDLE);
    if (hOut == NULL || hOut == INVALID_HANDLE_VALUE) {
        return;
    }
    WCHAR szLine[1100];
    ::StringCchPrintfW(szLine, ARRAYSIZE(szLine), L"%s\r\n", lpszText);
    const int cchLine = ::lstrlenW(szLine);
    DWORD dwMode = 0;
    DWORD dwWritten = 0;
    if (::GetConsoleMode(hOut, &dwMode)) {
        ::WriteConsoleW(hOut, szLine, static_cast<DWORD>(cchLine), &dwWritten, NULL);
        return;
    }
    char szUtf8[3300];
    const int cbUtf8 = ::WideCharToMultiByte(CP_UTF8, 0, szLine, cchLine, szUtf8,
                                             sizeof(szUtf8), NULL, NULL);
    if (cbUtf8 > 0) {
        ::WriteFile(hOut, szUtf8, static_cast<DWORD>(cbUtf8), &dwWritten, NULL);
    }
}

void CDrillCommand::PrintError(UINT uId, DWORD dwError)
{
    WCHAR szFormat[128] = L"";
    WCHAR szText[256] = L"";
    ::LoadStringW(::GetModuleHandleW(NULL), uId, szFormat, ARRAYSIZE(szFormat));
    ::StringCchPrintfW(szText, ARRAYSIZE(szText), szFormat, dwError);
    Print(szText);
}
