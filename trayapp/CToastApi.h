// The binding of the maker's toast library, loaded at run time on Windows 8 and later and used
// only to learn which view is in front and to switch to the desktop.
#pragma once

#include <windows.h>

// The application record handed to "QUENDA_InitToastCmnInf": 40 bytes.
#pragma pack(push, 8)
struct TOASTAPPINFO {
    LPCWSTR lpszAppId;
    HWND hWnd;
    DWORD dwValues[5];
    DWORD dwReserved;
};
#pragma pack(pop)
static_assert(sizeof(void*) != 8 || sizeof(TOASTAPPINFO) == 40, "application record");

class CToastApi {
public:
    CToastApi();
    ~CToastApi();

    // Loads lpszFileName from the program's own folder, looks its entries up and initialises it.
    HRESULT Load(LPCWSTR lpszFileName);
    HRESULT InitToastCmnInf(LPCWSTR lpszAppId, HWND hWnd, DWORD dwValue1, DWORD dwValue2,
                            DWORD dwValue3, DWORD dwValue4, DWORD dwValue5);
    HRESULT SwitchToDT(HWND hWnd);
    // 1: the desktop is in front; 2 or 3: a view from which the desktop is switched to.
    HRESULT GetDisplayMode(LPDWORD lpdwMode);
    void Unload();

private:
    CToastApi(const CToastApi&) = delete;
    CToastApi& operator=(const CToastApi&) = delete;

    typedef HRESULT(WINAPI* LPFNINITIALIZE)();
    typedef HRESULT(WINAPI* LPFNINITTOASTCMNINF)(TOASTAPPINFO* pInfo);
    typedef HRESULT(WINAPI* LPFNDISPLAYTOAST)();
    typedef HRESULT(WINAPI* LPFNHIDETOAST)();
    typedef HRESULT(WINAPI* LPFNSWITCHTODT)(HWND hWnd);
    typedef HRESULT(WINAPI* LPFNGETDISPLAYMODE)(LPDWORD lpdwMode);
    typedef void(WINAPI* LPFNFINALIZE)();

    LPFNINITIALIZE m_lpfnInitialize;
    LPFNINITTOASTCMNINF m_lpfnInitToastCmnInf;
    LPFNDISPLAYTOAST m_lpfnDisplayToast;
    LPFNHIDETOAST m_lpfnHideToast;
    LPFNSWITCHTODT m_lpfnSwitchToDT;
    LPFNGETDISPLAYMODE m_lpfnGetDisplayMode;
    LPFNFINALIZE m_lpfnFinalize;
    HMODULE m_hModule;
};
