#include "CBatteryPaths.h"

#include "CBattery.h"
#include "CLog.h"
#include "ScopedHandle.h"

#include <strsafe.h>

CBatteryPaths::CBatteryPaths() : m_dwCount(0)
{
    ZeroMemory(m_szPath, sizeof(m_szPath));
}

DWORD CBatteryPaths::Read(DWORD dwLevel, LPCWSTR lpszCaller)
{
    m_dwCount = 0;
    ZeroMemory(m_szPath, sizeof(m_szPath));
    ScopedDevInfo devInfo(::SetupDiGetClassDevsW(&GUID_DEVICE_BATTERY, NULL, NULL,
                                                 DIGCF_PRESENT | DIGCF_DEVICEINTERFACE));
    if (!devInfo.IsValid()) {
        const DWORD dwRet = ::GetLastError();
        return (dwRet != ERROR_SUCCESS) ? dwRet : ERROR_INVALID_HANDLE;
    }
    for (DWORD dwIndex = 0; dwIndex < BATTERY_MAX_DEVICES; ++dwIndex) {
        const DWORD dwRet =
            ReadOne(dwLevel, lpszCaller, devInfo.Get(), dwIndex, m_szPath[dwIndex], MAX_PATH);
        if (dwRet == ERROR_NO_MORE_ITEMS) {
            continue;
        }
        if (dwRet != ERROR_SUCCESS) {
            return dwRet;
        }
        ++m_dwCount;
    }
    return ERROR_SUCCESS;
}

LPCWSTR CBatteryPaths::Get(DWORD dwIndex) const
{
    return (dwIndex < BATTERY_MAX_DEVICES) ? m_szPath[dwIndex] : L"";
}

void CBatteryPaths::MoveToFront(DWORD dwIndex)
{
    if (dwIndex == 0 || dwIndex >= m_dwCount) {
        return;
    }
    WCHAR szChosen[MAX_PATH];
    ::StringCchCopyW(szChosen, MAX_PATH, m_szPath[dwIndex]);
    for (DWORD i = dwIndex; i > 0; --i) {
        ::StringCchCopyW(m_szPath[i], MAX_PATH, m_szPath[i - 1]);
    }
    ::StringCchCopyW(m_szPath[0], MAX_PATH, szChosen);
}

DWORD CBatteryPaths::ReadOne(DWORD dwLevel, LPCWSTR lpszCaller, HDEVINFO hDevInfo, DWORD dwIndex,
                             LPWSTR lpszPath, size_t cchPath)
{
    SP_DEVICE_INTERFACE_DATA data = {};
    data.cbSize = sizeof(data);
    if (!::SetupDiEnumDeviceInterfaces(hDevInfo, NULL, &GUID_DEVICE_BATTERY, dwIndex, &data)) {
        return ERROR_NO_MORE_ITEMS;
    }
    DWORD cbDetail = 0;
    ::SetupDiGetDeviceInterfaceDetailW(hDevInfo, &data, NULL, 0, &cbDetail, NULL);
    const DWORD dwSizeError = ::GetLastError();
    if (dwSizeError != ERROR_INSUFFICIENT_BUFFER) {
        return (dwSizeError != ERROR_SUCCESS) ? dwSizeError : ERROR_INVALID_DATA;
    }
    ScopedGlobalMem detail(::GlobalAlloc(GPTR, cbDetail));
    if (!detail.IsValid()) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    PSP_DEVICE_INTERFACE_DETAIL_DATA_W pDetail = static_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_W>(detail.Get());
    pDetail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    DWORD dwRet = ERROR_SUCCESS;
    if (::SetupDiGetDeviceInterfaceDetailW(hDevInfo, &data, pDetail, cbDetail, NULL, NULL)) {
        ::StringCchCopyNW(lpszPath, cchPath, pDetail->DevicePath, cchPath - 1);
    } else {
        dwRet = ::GetLastError();
        LOG_TRACE(dwLevel, lpszCaller, L"Exit retval:%08x", dwRet);
        if (dwRet == ERROR_SUCCESS) {
            dwRet = ERROR_INVALID_DATA;
        }
    }
    return dwRet;
}
