// Stand-in for the maker's toast library: a display mode scripted by the test, every call logged.
#include "QuendaStandIn.h"

#include <windows.h>
#include <shlobj.h>
#include <stdio.h>

#include <mutex>

namespace {

// The record the application hands to QUENDA_InitToastCmnInf (40 bytes).
struct AppInfo {
    const wchar_t* appId;
    HWND hWnd;
    DWORD values[5];
    DWORD filler;
};

bool g_switched = false;

DWORD Setting(LPCWSTR name, DWORD fallback)
{
    DWORD value = fallback;
    DWORD size = sizeof(value);
    if (RegGetValueW(HKEY_LOCAL_MACHINE, QUENDA_SETTINGS_KEY, name, RRF_RT_REG_DWORD, NULL, &value,
                     &size) != ERROR_SUCCESS) {
        return fallback;
    }
    return value;
}

// Calls may come from several of the application's threads; the C runtime's append is a seek and
// a write, so unserialised lines could overwrite each other.
void Record(const char* line)
{
    static std::mutex lock;
    std::lock_guard<std::mutex> hold(lock);
    WCHAR path[MAX_PATH];
    if (SHGetSpecialFolderPathW(NULL, path, CSIDL_COMMON_APPDATA, FALSE)) {
        lstrcatW(path, L"\\" QUENDA_CALLS_FILE);
        FILE* fp = _wfopen(path, L"ab");
        if (fp != NULL) {
            fprintf(fp, "%s\r\n", line);
            fclose(fp);
        }
    }
}

HRESULT Result()
{
    return static_cast<HRESULT>(Setting(L"Result", 0));
}

}  // namespace

extern "C" HRESULT WINAPI QUENDA_Initialize()
{
    Record("Initialize");
    return Result();
}

extern "C" HRESULT WINAPI QUENDA_InitToastCmnInf(const AppInfo* info)
{
    char line[256];
    snprintf(line, sizeof(line), "InitToastCmnInf %ls %d %lu %lu %lu %lu %lu %lu", info->appId,
             info->hWnd != NULL, info->values[0], info->values[1], info->values[2], info->values[3],
             info->values[4], info->filler);
    Record(line);
    return Result();
}

extern "C" HRESULT WINAPI QUENDA_DisplayToast()
{
    Record("DisplayToast");
    return Result();
}

extern "C" HRESULT WINAPI QUENDA_HideToast()
{
    Record("HideToast");
    return Result();
}

extern "C" HRESULT WINAPI QUENDA_SwitchToDT(HWND hWnd)
{
    Record(hWnd != NULL ? "SwitchToDT 1" : "SwitchToDT 0");
    g_switched = true;
    return Result();
}

extern "C" HRESULT WINAPI QUENDA_GetDisplayMode(DWORD* mode)
{
    *mode = g_switched ? Setting(L"ModeAfterSwitch", 1) : Setting(L"DisplayMode", 1);
    char line[64];
    snprintf(line, sizeof(line), "GetDisplayMode %lu", *mode);
    Record(line);
    return Result();
}

extern "C" void WINAPI QUENDA_Finalize()
{
    Record("Finalize");
}
