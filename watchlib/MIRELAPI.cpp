// Entry point and exports of MIRELAPI.dll.
#include "MIRELAPI.h"

#include "CDllClass.h"
#include "CLog.h"
#include "CSrwLock.h"

#include <new>

namespace {

// The caller's threads may overlap their export calls (power events, pipe requests, the
// service thread): one export at a time acts on the library object and its watchers.
CSrwLock g_apiLock;

// The network UPS: its options may come before MirelInitialize and outlive MirelFinalize.
CNetSource g_NetSource;

// The library object, or NULL after the "not initialised" lines have been written.
CDllClass* RequireObject(LPCWSTR lpszFunction)
{
    if (g_pDllObj == NULL) {
        LOG_TRACE(LOG_EVENT, lpszFunction, L"%s is NULL.", L"g_pDllObj");
        LOG_TRACE(LOG_API, lpszFunction, L"Exit - Error!");
    }
    return g_pDllObj;
}

}  // namespace

BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID)
{
    return TRUE;
}

extern "C" DWORD WINAPI MirelInitialize(LPWATCHDATA lpData)
{
    static const WCHAR FN[] = L"MirelInitialize";
    g_Log.Initialize(MIREL_DBGLOG_KEY, LOG_PLACE_SERVICE);
    LOG_ENTER(LOG_API, FN);
    if (lpData == NULL) {
        return LOG_NULL_ARG(LOG_API, FN, L"lpData");
    }
    CSrwLock::CGuard lock(g_apiLock);
    // A second object would overwrite the first and leave its threads running for good.
    DWORD dwRet = ERROR_ALREADY_EXISTS;
    if (g_pDllObj == NULL) {
        g_pDllObj = new (std::nothrow) CDllClass(g_NetSource);
        dwRet = (g_pDllObj != NULL) ? g_pDllObj->Initialize(lpData) : ERROR_NOT_ENOUGH_MEMORY;
    }
    // One exit line for every result, failures included.
    LOG_TRACE(LOG_API, FN, L"Exit retval:%08x", dwRet);
    return dwRet;
}

extern "C" void WINAPI MirelFinalize(void)
{
    static const WCHAR FN[] = L"MirelFinalize";
    LOG_ENTER(LOG_API, FN);
    CSrwLock::CGuard lock(g_apiLock);
    CDllClass* pObj = RequireObject(FN);
    if (pObj == NULL) {
        return;
    }
    pObj->Finalize();
    delete pObj;
    g_pDllObj = NULL;
    LOG_EXIT(LOG_API, FN);
    g_Log.Finalize();
}

extern "C" void WINAPI MirelStartUPSWatch(void)
{
    static const WCHAR FN[] = L"MirelStartUPSWatch";
    LOG_ENTER(LOG_API, FN);
    CSrwLock::CGuard lock(g_apiLock);
    CDllClass* pObj = RequireObject(FN);
    if (pObj == NULL) {
        return;
    }
    pObj->StartUPSWatch();
    LOG_EXIT(LOG_API, FN);
}

extern "C" void WINAPI MirelStopUPSWatch(void)
{
    static const WCHAR FN[] = L"MirelStopUPSWatch";
    LOG_ENTER(LOG_API, FN);
    CSrwLock::CGuard lock(g_apiLock);
    CDllClass* pObj = RequireObject(FN);
    if (pObj == NULL) {
        return;
    }
    pObj->StopUPSWatch();
    LOG_EXIT(LOG_API, FN);
}

// No library lock: the options may come before MirelInitialize, and a watch thread reads them at
// every poll. The reserve is one atomic value; the network UPS's settings have a lock of their own,
// and a change restarts its monitor (bounded, as at MirelFinalize).
extern "C" DWORD WINAPI MirelSetWatchOptions(const WATCHOPTIONS* lpOptions)
{
    static const WCHAR FN[] = L"MirelSetWatchOptions";
    if (lpOptions == NULL || lpOptions->cbSize != sizeof(WATCHOPTIONS)) {
        return ERROR_INVALID_PARAMETER;
    }
    CUPSWatch::SetRuntimeReserve(lpOptions->dwHibernateAtRuntime);
    LOG_TRACE(LOG_API, FN, L"Runtime reserve: %u s", lpOptions->dwHibernateAtRuntime);
    g_NetSource.SetOptions(*lpOptions);
    return ERROR_SUCCESS;
}

extern "C" DWORD WINAPI MirelGetWatchSource(LPWATCHSOURCE lpSource)
{
    static const WCHAR FN[] = L"MirelGetWatchSource";
    LOG_ENTER(LOG_API, FN);
    if (lpSource == NULL || lpSource->cbSize != sizeof(WATCHSOURCE)) {
        return LOG_RESULT(LOG_API, FN, ERROR_INVALID_PARAMETER);
    }
    CSrwLock::CGuard lock(g_apiLock);
    CDllClass* pObj = RequireObject(FN);
    if (pObj == NULL) {
        return ERROR_NOT_READY;
    }
    return LOG_RESULT(LOG_API, FN, pObj->GetWatchSource(lpSource));
}

// The hibernation path asks this between the S4 signal and the hibernation: it takes no lock,
// touches no device and writes no log line, only reads what the watch thread published.
extern "C" DWORD WINAPI MirelGetS4Cause(LPWATCHCAUSE lpCause)
{
    if (lpCause == NULL || lpCause->cbSize != sizeof(WATCHCAUSE)) {
        return ERROR_INVALID_PARAMETER;
    }
    CUPSWatch::GetS4Cause(&lpCause->dwCause, &lpCause->dwRuntime);
    return ERROR_SUCCESS;
}
