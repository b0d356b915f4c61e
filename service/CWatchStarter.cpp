#include "CWatchStarter.h"

#include "CLog.h"
#include "ScopedHandle.h"

CWatchStarter::CWatchStarter() : m_lPending(0), m_hRequest(NULL), m_lpFunc(NULL), m_lpData(NULL)
{
}

CWatchStarter::~CWatchStarter()
{
    Finalize();
}

void CWatchStarter::Request(LPTHREADFUNC lpFunc, LPVOID lpData)
{
    LOG_FUNCTION(L"CWatchStarter::Request");
    {
        CSrwLock::CGuard guard(m_Lock);
        if (m_hRequest == NULL) {
            m_hRequest = ::CreateEventW(NULL, FALSE, FALSE, NULL);
            m_lpFunc = lpFunc;
            m_lpData = lpData;
            if (m_hRequest != NULL && m_Thread.Initialize(ThreadProc, this) != ERROR_SUCCESS) {
                CloseAndClear(m_hRequest);
            }
        }
        if (m_hRequest != NULL) {
            ::InterlockedExchange(&m_lPending, 1);
            ::SetEvent(m_hRequest);
            return;
        }
    }
    LOG_TRACE(LOG_EVENT, FN, L"No thread: started here.");
    lpFunc(lpData);
}

void CWatchStarter::Supersede(LPTHREADFUNC lpStop, LPVOID lpData)
{
    CSrwLock::CGuard run(m_RunLock);
    ::InterlockedExchange(&m_lPending, 0);
    lpStop(lpData);
}

void CWatchStarter::Finalize()
{
    CSrwLock::CGuard guard(m_Lock);
    m_Thread.Terminate();
    m_Thread.Finalize();
    CloseAndClear(m_hRequest);
}

DWORD CWatchStarter::ThreadProc(LPVOID lpParam)
{
    CWatchStarter* pThis = static_cast<CWatchStarter*>(lpParam);
    const HANDLE waits[2] = { pThis->m_Thread.GetTerminateEvent(), pThis->m_hRequest };
    while (::WaitForMultipleObjects(2, waits, FALSE, INFINITE) == WAIT_OBJECT_0 + 1) {
        CSrwLock::CGuard run(pThis->m_RunLock);
        if (::InterlockedExchange(&pThis->m_lPending, 0) != 0) {
            pThis->m_lpFunc(pThis->m_lpData);
        }
    }
    return 0;
}
