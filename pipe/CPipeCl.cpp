#include "CPipeCl.h"

#include "CBuffer.h"
#include "CLog.h"

#include <strsafe.h>

namespace {

// The service's notifications carry a code, and for one of them a value too.
const DWORD kMaxNotifyBytes = 2 * sizeof(DWORD);

}  // namespace

CPipeCl::CPipeCl() : m_dwClientID(0), m_lpRecvFunc(NULL), m_lpRecvData(NULL) {}

CPipeCl::~CPipeCl()
{
    Finalize(NULL);
}

void CPipeCl::InitializeMembers()
{
    CPipeRecv::InitializeMembers();
    m_dwClientID = 0;
    m_lpRecvFunc = NULL;
    m_lpRecvData = NULL;
}

DWORD CPipeCl::FormatNotifyPipeName(LPCWSTR lpszSuffix, DWORD dwProcessId, LPWSTR lpszName,
                                    size_t cchName)
{
    if (lpszSuffix == NULL || lpszName == NULL) {
        return ERROR_INVALID_PARAMETER;
    }
    return SUCCEEDED(::StringCchPrintfW(lpszName, cchName, L"%s%s%08x", PIPE_DATA_PREFIX,
                                        lpszSuffix, dwProcessId))
               ? ERROR_SUCCESS
               : ERROR_INSUFFICIENT_BUFFER;
}

DWORD CPipeCl::Initialize(DWORD dwMode, LPCWSTR lpszSuffix, LPDWORD lpdwClientID,
                          LPPIPEEVENTFUNC lpFunc, LPVOID lpData, HANDLE hAbortEvent)
{
    LOG_FUNCTION(L"CPipeCl::Initialize");
    LOG_ENTER(LOG_DETAIL, FN);
    if (dwMode != PIPECL_MODE_SENDONLY && dwMode != PIPECL_MODE_FULL) {
        return LOG_RESULT(LOG_DETAIL, FN, ERROR_INVALID_PARAMETER);
    }
    if (lpszSuffix == NULL) {
        return LOG_NULL_ARG(LOG_DETAIL, FN, L"lpszSuffix");
    }
    if (lpdwClientID == NULL) {
        return LOG_NULL_ARG(LOG_DETAIL, FN, L"lpdwClientID");
    }
    if (dwMode == PIPECL_MODE_FULL && lpFunc == NULL) {
        return LOG_NULL_ARG(LOG_DETAIL, FN, L"lpFunc");
    }
    if (dwMode == PIPECL_MODE_FULL && lpData == NULL) {
        return LOG_NULL_ARG(LOG_DETAIL, FN, L"lpData");
    }
    *lpdwClientID = 0;
    const size_t cchSuffix = wcslen(lpszSuffix);
    const size_t cchOwnName = cchSuffix + PIPE_PREFIX_CHARS + PIPE_PID_DIGITS + 1;
    const size_t cchName = cchSuffix + PIPE_PREFIX_CHARS + 1;
    CBuffer ownName, name;
    if (ownName.Allocate(cchOwnName * sizeof(WCHAR)) != ERROR_SUCCESS ||
        name.Allocate(cchName * sizeof(WCHAR)) != ERROR_SUCCESS) {
        return LOG_RESULT(LOG_DETAIL, FN, ERROR_NOT_ENOUGH_MEMORY);
    }
    if (dwMode == PIPECL_MODE_FULL) {
        FormatNotifyPipeName(lpszSuffix, ::GetCurrentProcessId(), ownName.As<WCHAR>(), cchOwnName);
    }
    const DWORD dwRet = SetUp(dwMode, lpszSuffix, ownName.As<WCHAR>(), name.As<WCHAR>(), cchName,
                              lpFunc, lpData, hAbortEvent);
    if (dwRet != ERROR_SUCCESS) {
        Finalize(hAbortEvent);
        return LOG_RESULT(LOG_DETAIL, FN, dwRet);
    }
    *lpdwClientID = m_dwClientID;
    return LOG_RESULT(LOG_DETAIL, FN, ERROR_SUCCESS);
}

// Notification pipe (in PIPECL_MODE_FULL), the two sending channels and the registration, in that
// order: the service may send to us as soon as it has registered us. lpszOwnName is the
// notification pipe's name, empty when sending only; lpszName is room for the service's names.
DWORD CPipeCl::SetUp(DWORD dwMode, LPCWSTR lpszSuffix, LPCWSTR lpszOwnName, LPWSTR lpszName,
                     size_t cchName, LPPIPEEVENTFUNC lpFunc, LPVOID lpData, HANDLE hAbortEvent)
{
    LOG_FUNCTION(L"CPipeCl::SetUp");
    DWORD dwRet = ERROR_SUCCESS;
    if (dwMode == PIPECL_MODE_FULL) {
        // Only the service and the user who runs the application may reach its notifications.
        dwRet = CPipeRecv::Initialize(lpszOwnName, OnDataRecv, this, kMaxNotifyBytes, OBJSEC_OWNER_PIPE);
        if (dwRet == ERROR_INVALID_HANDLE) {
            // The name carries our process id: whoever serves it is another process.
            LOG_TRACE(LOG_EVENT, FN, L"Notification pipe name taken by another process:%s",
                      lpszOwnName);
            return PIPECL_ERROR_NAME_TAKEN;
        }
        if (dwRet != ERROR_SUCCESS) {
            return dwRet;
        }
        m_lpRecvFunc = lpFunc;
        m_lpRecvData = lpData;
    }
    ::StringCchPrintfW(lpszName, cchName, L"%s%s", PIPE_DATA_PREFIX, lpszSuffix);
    dwRet = m_DataPipe.Initialize(PIPETYPE_CLIENT, lpszName, NULL, NULL);
    if (dwRet != ERROR_SUCCESS) {
        return dwRet;
    }
    ::StringCchPrintfW(lpszName, cchName, L"%s%s", PIPE_CTRL_PREFIX, lpszSuffix);
    dwRet = m_CtrlPipe.Initialize(PIPETYPE_CLIENT, lpszName, NULL, NULL);
    if (dwRet != ERROR_SUCCESS) {
        return dwRet;
    }
    DWORD dwAck = 0;
    dwRet = m_CtrlPipe.SendRequest(PIPEREQUEST_CONNECT, lpszOwnName, 0, &dwAck, hAbortEvent);
    if (dwRet != ERROR_SUCCESS) {
        return dwRet;
    }
    if (dwMode == PIPECL_MODE_FULL &&
        (dwAck < PIPE_MIN_CLIENT_HANDLE || dwAck > PIPE_MAX_CLIENT_HANDLE)) {
        // A refused registration (0): not linked, and worth trying again later. Sending only,
        // there is no pipe to register and the answer is taken as it comes.
        LOG_TRACE(LOG_EVENT, FN, L"Registration refused:%u", dwAck);
        return PIPECL_ERROR_REFUSED;
    }
    LOG_TRACE(LOG_DETAIL, FN, L"established each connections!");
    m_dwClientID = dwAck;
    return ERROR_SUCCESS;
}

DWORD CPipeCl::Send(LPCVOID lpBuf, DWORD dwLen, LPDWORD lpdwRetCode, HANDLE hAbortEvent)
{
    LOG_FUNCTION(L"CPipeCl::Send");
    LOG_ENTER(LOG_DETAIL, FN);
    if (lpBuf == NULL) {
        return LOG_NULL_ARG(LOG_DETAIL, FN, L"lpBuf");
    }
    if (lpdwRetCode == NULL) {
        return LOG_NULL_ARG(LOG_DETAIL, FN, L"lpdwRetCode");
    }
    DWORD dwRet = m_DataPipe.SendFrame(m_dwClientID, lpBuf, dwLen, lpdwRetCode, hAbortEvent);
    // 4: the service does not know our id; 2 and 3: the transport failed after connecting.
    if (*lpdwRetCode != PIPEACK_OK && *lpdwRetCode != 1) {
        LOG_TRACE(LOG_DETAIL, FN, L"Send Error:%d", *lpdwRetCode);
        dwRet = ERROR_ACCESS_DENIED;
    }
    return LOG_RESULT(LOG_DETAIL, FN, dwRet);
}

void CPipeCl::OnDataRecv(LPVOID lpData, PPIPEEVENT pPipeEvent)
{
    LOG_FUNCTION(L"CPipeCl::OnDataRecv");
    LOG_ENTER(LOG_DETAIL, FN);
    if (lpData == NULL) {
        LOG_NULL_ARG_VOID(LOG_DETAIL, FN, L"lpData");
        return;
    }
    if (pPipeEvent == NULL) {
        LOG_NULL_ARG_VOID(LOG_DETAIL, FN, L"pPipeEvent");
        return;
    }
    CPipeCl* pThis = static_cast<CPipeCl*>(lpData);
    if (pPipeEvent->dwEvent == PIPEEVENT_HEADER) {
        pPipeEvent->dwResult = pThis->IsFromService(pPipeEvent->dwCode) ? PIPEACK_OK : PIPEACK_REJECTED;
    } else {
        pPipeEvent->dwResult = 0;
        if (pThis->m_lpRecvFunc != NULL) {
            pThis->m_lpRecvFunc(pThis->m_lpRecvData, pPipeEvent);
        }
    }
    LOG_EXIT(LOG_DETAIL, FN);
}

// The service's identifier is 0, and it must come from the process that answered our
// registration: anybody can write a 0, only the service serves its control pipe.
BOOL CPipeCl::IsFromService(DWORD dwCode) const
{
    LOG_FUNCTION(L"CPipeCl::IsFromService");
    if (dwCode != 0) {
        LOG_TRACE(LOG_DETAIL, FN, L"Not Server:%d", dwCode);
        return FALSE;
    }
    ULONG ulSender = 0;
    const DWORD dwService = m_CtrlPipe.GetServerProcessId();
    if (m_Pipe.GetClientProcessId(&ulSender) != ERROR_SUCCESS || dwService == 0 ||
        ulSender != dwService) {
        LOG_TRACE(LOG_DETAIL, FN, L"Not Server process:%u", ulSender);
        return FALSE;
    }
    return TRUE;
}

void CPipeCl::Finalize(HANDLE hAbortEvent)
{
    LOG_FUNCTION(L"CPipeCl::Finalize");
    LOG_ENTER(LOG_DETAIL, FN);
    // Without a handle there is nothing to unregister: a refused registration, retried every
    // second, costs the service no second exchange.
    if (m_dwClientID != 0) {
        DWORD dwAck = 0;
        m_CtrlPipe.SendRequest(PIPEREQUEST_CLOSE, NULL, m_dwClientID, &dwAck, hAbortEvent);
    }
    m_CtrlPipe.Finalize(hAbortEvent);
    CPipeRecv::Finalize(hAbortEvent);
    m_DataPipe.Finalize(hAbortEvent);
    InitializeMembers();
    LOG_EXIT(LOG_DETAIL, FN);
}
