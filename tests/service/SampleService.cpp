// A minimal service on the framework: logs each handler it reaches. Its start-up can be made to
// fail or to hang, and its shut-down to take a while, through SAMPLE_SETTINGS_KEY
// ("BeforeMainLoopResult", "BeforeMainLoopDelayMs", "AfterMainLoopDelayMs").
#include "CLog.h"
#include "CRegistry.h"
#include "CService.h"
#include "SampleService.h"

namespace {

class CSampleService : public CService {
public:
    DWORD BeforeMainLoop(SERVICE_STATUS_HANDLE) override
    {
        DWORD dwResult = 0;
        DWORD dwDelayMs = 0;
        CRegistry reg;
        if (reg.OpenKey(SAMPLE_SETTINGS_KEY, KEY_READ) == ERROR_SUCCESS) {
            reg.QueryDWORDValue(L"BeforeMainLoopResult", &dwResult);
            reg.QueryDWORDValue(L"BeforeMainLoopDelayMs", &dwDelayMs);
        }
        LOG_TRACE(LOG_EVENT, L"CSampleService::BeforeMainLoop", L"BeforeMainLoop %u", dwResult);
        ::Sleep(dwDelayMs);
        return dwResult;
    }
    void MainLoop(DWORD dwArgc, LPWSTR* lpszArgv) override
    {
        LOG_TRACE(LOG_EVENT, L"CSampleService::MainLoop", L"MainLoop");
        CService::MainLoop(dwArgc, lpszArgv);
    }
    void AfterMainLoop(SERVICE_STATUS_HANDLE) override
    {
        DWORD dwDelayMs = 0;
        CRegistry reg;
        if (reg.OpenKey(SAMPLE_SETTINGS_KEY, KEY_READ) == ERROR_SUCCESS) {
            reg.QueryDWORDValue(L"AfterMainLoopDelayMs", &dwDelayMs);
        }
        LOG_TRACE(LOG_EVENT, L"CSampleService::AfterMainLoop", L"AfterMainLoop");
        ::Sleep(dwDelayMs);
    }
    DWORD OnStop() override
    {
        LOG_TRACE(LOG_EVENT, L"CSampleService::OnStop", L"OnStop");
        TerminateMainLoop();
        return ERROR_SUCCESS;
    }
    DWORD OnUnknownEvent(DWORD dwControl, DWORD dwEventType) override
    {
        LOG_TRACE(LOG_EVENT, L"CSampleService::OnUnknownEvent", L"OnUnknownEvent %u %u",
                  dwControl, dwEventType);
        if (dwControl == SAMPLE_CONTROL_STOP_IN_HANDLER) {
            TerminateMainLoop();
            ::Sleep(500);
        }
        return ERROR_SUCCESS;
    }
};

}  // namespace

// Command mode returns the command's result; service mode returns what ServiceEntry returned.
int wmain(int argc, wchar_t** argv)
{
    g_Log.Initialize(MIREL_DBGLOG_KEY);
    CSampleService service;
    DWORD dwRet = service.Initialize(SAMPLE_SERVICE_NAME, L"Mirel sample service",
                                     L"Exercises the service framework.", NULL, 0);
    if (dwRet == ERROR_SUCCESS && !service.ArgCheck(argc, argv, &dwRet)) {
        dwRet = service.ServiceEntry();
        LOG_TRACE(LOG_EVENT, L"wmain", L"ServiceEntry %u", dwRet);
    }
    service.Finalize();
    g_Log.Finalize();
    return static_cast<int>(dwRet);
}
