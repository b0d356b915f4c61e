#include "CUpsResolver.h"

#include "ScopedHandle.h"

#include <stdio.h>

#include <memory>
#include <string>

namespace {

// One lookup, shared by the caller and the lookup thread; the last to let go frees the result.
struct Lookup {
    std::string host;
    char szPort[8];
    ADDRINFOA* pList;
    int nRet;
    ScopedKernelHandle hDone;
    HMODULE hModule;  // this module, held while the thread runs so that it is not unloaded under it

    Lookup() : szPort(), pList(NULL), nRet(EAI_FAIL), hModule(NULL) {}
    ~Lookup()
    {
        if (pList != NULL) {
            ::freeaddrinfo(pList);
        }
    }
};

}  // namespace

DWORD WINAPI CUpsResolver::LookupThread(LPVOID lpParam)
{
    std::unique_ptr<std::shared_ptr<Lookup>> holder(static_cast<std::shared_ptr<Lookup>*>(lpParam));
    Lookup& lookup = **holder;
    const HMODULE hModule = lookup.hModule;
    WSADATA wsaData;
    const bool bStarted = (::WSAStartup(MAKEWORD(2, 2), &wsaData) == 0);
    ADDRINFOA hints = {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    lookup.nRet = ::getaddrinfo(lookup.host.c_str(), lookup.szPort, &hints, &lookup.pList);
    ::SetEvent(lookup.hDone.Get());
    holder.reset();
    if (bStarted) {
        ::WSACleanup();
    }
    ::FreeLibraryAndExitThread(hModule, 0);
    return 0;
}

DWORD CUpsResolver::Resolve(const char* lpszHost, WORD wPort, ULONGLONG ullDeadline, HANDLE hAbort,
                            ADDRINFOA** ppList)
{
    *ppList = NULL;
    std::shared_ptr<Lookup> lookup = std::make_shared<Lookup>();
    lookup->host = lpszHost;
    sprintf_s(lookup->szPort, sizeof(lookup->szPort), "%u", static_cast<unsigned>(wPort));
    lookup->hDone.Reset(::CreateEventW(NULL, TRUE, FALSE, NULL));
    if (!lookup->hDone.IsValid() ||
        !::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                              reinterpret_cast<LPCWSTR>(&CUpsResolver::LookupThread), &lookup->hModule)) {
        return ::GetLastError();
    }
    std::unique_ptr<std::shared_ptr<Lookup>> param(new std::shared_ptr<Lookup>(lookup));
    ScopedKernelHandle hThread(::CreateThread(NULL, 0, LookupThread, param.get(), 0, NULL));
    if (!hThread.IsValid()) {
        const DWORD dwRet = ::GetLastError();
        ::FreeLibrary(lookup->hModule);
        return dwRet;
    }
    param.release();  // the thread owns its share now
    const HANDLE hWait[] = {lookup->hDone.Get(), hAbort};
    const ULONGLONG ullNow = ::GetTickCount64();
    const DWORD dwWaitMs = (ullNow < ullDeadline) ? static_cast<DWORD>(ullDeadline - ullNow) : 0;
    const DWORD dwWait = ::WaitForMultipleObjects((hAbort != NULL) ? 2 : 1, hWait, FALSE, dwWaitMs);
    if (dwWait != WAIT_OBJECT_0) {
        return (dwWait == WAIT_TIMEOUT) ? ERROR_TIMEOUT : ERROR_CANCELLED;
    }
    if (lookup->nRet != 0) {
        return static_cast<DWORD>(lookup->nRet);
    }
    *ppList = lookup->pList;
    lookup->pList = NULL;
    return ERROR_SUCCESS;
}
