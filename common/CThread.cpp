#include "CThread.h"

#include "CLog.h"
#include "ScopedHandle.h"

#include <process.h>

namespace {

const DWORD kStartTimeoutMs = 5000;
const DWORD kTerminateTimeoutMs = 5000;

}  // namespace

CThread::CThread()
    : m_hThread(NULL),
      m_dwThreadId(0),
      m_hStartEvent(NULL),
      m_hTerminateEvent(NULL),
      m_lpFunc(NULL),
      m_lpData(NULL)
{
}

CThread::~CThread()
{
    Finalize();
}

DWORD CThread::Initialize(LPTHREADFUNC lpFunc, LPVOID lpData)
{
    static const WCHAR FN[] = L"CThread::Initialize";
    LOG_ENTER(LOG_DETAIL, FN);
    if (lpFunc == NULL) {
        return LOG_NULL_ARG(LOG_DETAIL, FN, L"lpFunc");
    }
    if (lpData == NULL) {
        return LOG_NULL_ARG(LOG_DETAIL, FN, L"lpData");
    }

    m_hTerminateEvent = ::CreateEventW(NULL, TRUE, FALSE, NULL);
    m_hStartEvent = (m_hTerminateEvent != NULL) ? ::CreateEventW(NULL, TRUE, FALSE, NULL) : NULL;
    if (m_hStartEvent == NULL) {
        const DWORD dwRet = ::GetLastError();
        Finalize();
        return LOG_RESULT(LOG_DETAIL, FN, dwRet);
    }
    m_lpFunc = lpFunc;
    m_lpData = lpData;

    unsigned uThreadId = 0;
    m_hThread = reinterpret_cast<HANDLE>(_beginthreadex(NULL, 0, ThreadProc, this, 0, &uThreadId));
    if (m_hThread == NULL) {
        const DWORD dwRet = ::GetLastError();
        Finalize();
        return LOG_RESULT(LOG_DETAIL, FN, dwRet);
    }
    m_dwThreadId = uThreadId;

    LOG_TRACE(LOG_DETAIL, FN, L"wait for thread starting.");
    const DWORD dwWait = ::WaitForSingleObject(m_hStartEvent, kStartTimeoutMs);
    CloseAndClear(m_hStartEvent);
    if (dwWait != WAIT_OBJECT_0) {
        Finalize();
        return LOG_RESULT(LOG_DETAIL, FN, ERROR_NOT_READY);
    }
    return LOG_RESULT(LOG_DETAIL, FN, ERROR_SUCCESS);
}

unsigned __stdcall CThread::ThreadProc(void* lpParam)
{
    static const WCHAR FN[] = L"CThread::ThreadProc";
    CThread* pThis = static_cast<CThread*>(lpParam);
    if (pThis == NULL) {
        LOG_TRACE(LOG_DETAIL, FN, L"Null!");
        _endthreadex(0);
        return 0;
    }
    // The starter owns the object: only the two members below are read before the start event.
    LPTHREADFUNC lpFunc = pThis->m_lpFunc;
    LPVOID lpData = pThis->m_lpData;
    ::SetEvent(pThis->m_hStartEvent);

    const DWORD dwExitCode = (lpFunc != NULL) ? lpFunc(lpData) : 0;
    LOG_TRACE(LOG_DETAIL, FN, L"Exit thread.");
    _endthreadex(dwExitCode);
    return dwExitCode;
}

void CThread::Terminate()
{
    static const WCHAR FN[] = L"CThread::Terminate";
    LOG_ENTER(LOG_DETAIL, FN);
    if (m_hTerminateEvent != NULL) {
        ::SetEvent(m_hTerminateEvent);
    }
    if (m_hThread != NULL) {
        if (::WaitForSingleObject(m_hThread, kTerminateTimeoutMs) == WAIT_TIMEOUT) {
            LOG_TRACE(LOG_DETAIL, FN, L" Timeout! Terminate thread.");
            ::TerminateThread(m_hThread, 0);
        }
        CloseAndClear(m_hThread);
        m_dwThreadId = 0;
    }
    CloseAndClear(m_hTerminateEvent);
    LOG_EXIT(LOG_DETAIL, FN);
}

void CThread::Finalize()
{
    Terminate();
    CloseAndClear(m_hTerminateEvent);
    CloseAndClear(m_hStartEvent);
}
