#include "CEventLog.h"

#include "CLog.h"

#include <strsafe.h>

namespace {

WORD EventType(DWORD dwMessageId)
{
    switch (dwMessageId >> 30) {
    case 3: return EVENTLOG_ERROR_TYPE;
    case 2: return EVENTLOG_WARNING_TYPE;
    default: return EVENTLOG_INFORMATION_TYPE;
    }
}

}  // namespace

void CEventLog::Open(LPCWSTR lpszSource)
{
    m_Source.Reset(::RegisterEventSourceW(NULL, lpszSource));
    if (!m_Source.IsValid()) {
        LOG_TRACE(LOG_EVENT, L"CEventLog::Open", L"RegisterEventSource Failed. Error %d",
                  ::GetLastError());
    }
}

void CEventLog::Close()
{
    m_Source.Reset();
}

void CEventLog::Report(DWORD dwMessageId, LPCWSTR lpszInsert)
{
    if (!m_Source.IsValid()) {
        return;
    }
    LPCWSTR inserts[1] = { lpszInsert };
    const WORD wCount = lpszInsert != NULL ? 1 : 0;
    if (!::ReportEventW(m_Source.Get(), EventType(dwMessageId), 0, dwMessageId, NULL, wCount, 0,
                        wCount != 0 ? inserts : NULL, NULL)) {
        LOG_TRACE(LOG_EVENT, L"CEventLog::Report", L"ReportEvent Failed. Error %d",
                  ::GetLastError());
    }
}

void CEventLog::Report(DWORD dwMessageId, DWORD dwValue)
{
    WCHAR szValue[16];
    ::StringCchPrintfW(szValue, ARRAYSIZE(szValue), L"%u", dwValue);
    Report(dwMessageId, szValue);
}
