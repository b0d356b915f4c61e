#include "CToastApi.h"

#include <stdlib.h>
#include <strsafe.h>

namespace {

// An entry of the library, or NULL when it lacks it.
template <typename T>
void LookUp(HMODULE hModule, LPCSTR lpszName, T* pEntry)
{
    *pEntry = reinterpret_cast<T>(reinterpret_cast<void*>(::GetProcAddress(hModule, lpszName)));
}

}  // namespace

CToastApi::CToastApi()
    : m_lpfnInitialize(NULL),
      m_lpfnInitToastCmnInf(NULL),
      m_lpfnDisplayToast(NULL),
      m_lpfnHideToast(NULL),
      m_lpfnSwitchToDT(NULL),
      m_lpfnGetDisplayMode(NULL),
      m_lpfnFinalize(NULL),
      m_hModule(NULL)
{
}

CToastApi::~CToastApi()
{
    Unload();
}

HRESULT CToastApi::Load(LPCWSTR lpszFileName)
{
    // Only the copy beside the program is loaded, never one found along the search path.
    WCHAR szModule[MAX_PATH], szDrive[_MAX_DRIVE], szDir[_MAX_DIR], szPath[MAX_PATH];
    if (lpszFileName == NULL || ::GetModuleFileNameW(NULL, szModule, ARRAYSIZE(szModule)) == 0 ||
        _wsplitpath_s(szModule, szDrive, ARRAYSIZE(szDrive), szDir, ARRAYSIZE(szDir), NULL, 0, NULL,
                      0) != 0 ||
        FAILED(::StringCchPrintfW(szPath, ARRAYSIZE(szPath), L"%s%s%s", szDrive, szDir, lpszFileName))) {
        return E_FAIL;
    }
    m_hModule = ::LoadLibraryW(szPath);
    if (m_hModule == NULL) {
        return E_FAIL;
    }
    LookUp(m_hModule, "QUENDA_Initialize", &m_lpfnInitialize);
    LookUp(m_hModule, "QUENDA_InitToastCmnInf", &m_lpfnInitToastCmnInf);
    LookUp(m_hModule, "QUENDA_DisplayToast", &m_lpfnDisplayToast);
    LookUp(m_hModule, "QUENDA_HideToast", &m_lpfnHideToast);
    LookUp(m_hModule, "QUENDA_SwitchToDT", &m_lpfnSwitchToDT);
    LookUp(m_hModule, "QUENDA_GetDisplayMode", &m_lpfnGetDisplayMode);
    LookUp(m_hModule, "QUENDA_Finalize", &m_lpfnFinalize);
    return m_lpfnInitialize != NULL ? m_lpfnInitialize() : S_OK;
}

HRESULT CToastApi::InitToastCmnInf(LPCWSTR lpszAppId, HWND hWnd, DWORD dwValue1, DWORD dwValue2,
                                   DWORD dwValue3, DWORD dwValue4, DWORD dwValue5)
{
    if (m_lpfnInitToastCmnInf == NULL) {
        return E_FAIL;
    }
    TOASTAPPINFO info = { lpszAppId, hWnd, { dwValue1, dwValue2, dwValue3, dwValue4, dwValue5 }, 0 };
    return m_lpfnInitToastCmnInf(&info);
}

HRESULT CToastApi::SwitchToDT(HWND hWnd)
{
    return m_lpfnSwitchToDT != NULL ? m_lpfnSwitchToDT(hWnd) : E_FAIL;
}

HRESULT CToastApi::GetDisplayMode(LPDWORD lpdwMode)
{
    return (m_lpfnGetDisplayMode != NULL && lpdwMode != NULL) ? m_lpfnGetDisplayMode(lpdwMode) : E_FAIL;
}

void CToastApi::Unload()
{
    if (m_lpfnFinalize != NULL) {
        m_lpfnFinalize();
    }
    if (m_hModule != NULL) {
        ::FreeLibrary(m_hModule);
    }
    m_lpfnInitialize = NULL;
    m_lpfnInitToastCmnInf = NULL;
    m_lpfnDisplayToast = NULL;
    m_lpfnHideToast = NULL;
    m_lpfnSwitchToDT = NULL;
    m_lpfnGetDisplayMode = NULL;
    m_lpfnFinalize = NULL;
    m_hModule = NULL;
}
