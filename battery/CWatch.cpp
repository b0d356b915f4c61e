#include "CWatch.h"

#include "CLog.h"
#include "ScopedHandle.h"

namespace {

const DWORD kStartAttempts = 3;
const BYTE kACLineOnline = 0x1;

}  // namespace

CWatch::CWatch() : m_bProbeShortTerm(FALSE)
{
    EnumBatteries();
}

CWatch::~CWatch()
{
}

void CWatch::EnumBatteries()
{
    static const WCHAR FN[] = L"CWatch::EnumBatteries";
    LOG_ENTER(LOG_API, FN);
    // Paths read before a failure are kept.
    m_BatteryPaths.Read(LOG_API, FN);
    m_bProbeShortTerm =
        (m_BatteryPaths.GetCount() > 0 && CBattery::ChooseInUse(m_BatteryPaths) == BATTCHOICE_SHORT_TERM);
    LOG_EXIT(LOG_API, FN);
}

HANDLE CWatch::OpenRefreshDevice()
{
    if (m_bProbeShortTerm) {
        ::SetLastError(ERROR_NOT_SUPPORTED);
        return INVALID_HANDLE_VALUE;
    }
    // An empty path (no battery) fails to open like a missing device.
    HANDLE hDevice = ::CreateFileW(m_BatteryPaths.Get(0), FILE_GENERIC_READ | FILE_GENERIC_WRITE,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0, NULL);
    if (hDevice == INVALID_HANDLE_VALUE) {
        // The battery may have come (or been replaced) since the paths were read, as with an
        // automatic-start service that runs before the battery's device is there. The probe is
        // asked only while the line is off or the level low, so this costs nothing otherwise.
        EnumBatteries();
        if (m_bProbeShortTerm) {
            ::SetLastError(ERROR_NOT_SUPPORTED);
            return INVALID_HANDLE_VALUE;
        }
        hDevice = ::CreateFileW(m_BatteryPaths.Get(0), FILE_GENERIC_READ | FILE_GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0, NULL);
    }
    return hDevice;
}

BOOL CWatch::IsDuringPKSOrBattRefresh()
{
    static const WCHAR FN[] = L"CWatch::IsDuringPKSOrBattRefresh";
    LOG_ENTER(LOG_API, FN);
    ScopedKernelHandle hDevice(OpenRefreshDevice());
    if (!hDevice.IsValid()) {
        LOG_TRACE(LOG_API, FN, L"Exit retval:%08x", ::GetLastError());
        return FALSE;
    }
    DWORD dwStatus = 0;
    DWORD cbReturned = 0;
    BOOL bOk = ::DeviceIoControl(hDevice.Get(), IOCTL_CALL__PSTS, NULL, 0, &dwStatus,
                                 sizeof(dwStatus), &cbReturned, NULL);
    DWORD dwError = bOk ? ERROR_SUCCESS : ::GetLastError();
    // Only the bytes returned count: the rest of the buffer still holds the preset 0, which
    // would read as "refresh running" and hide a mains failure. Without a whole status word
    // there is no answer.
    if (bOk && cbReturned < sizeof(WORD)) {
        bOk = FALSE;
        dwError = ERROR_INVALID_DATA;
    }
    const WORD wStatus = LOWORD(dwStatus);
    LOG_TRACE(LOG_EVENT, FN, L"IOCTL_CALL__PSTS の戻り値：%d", wStatus);
    hDevice.Reset();
    if (!bOk) {
        LOG_TRACE(LOG_API, FN, L"Exit retval:%08x", dwError);
        return FALSE;
    }
    const BOOL bRefresh = (wStatus == 0 || wStatus == 2) ? TRUE : FALSE;
    LOG_EXIT(LOG_API, FN);
    return bRefresh;
}

BOOL CWatch::GetACDCState()
{
    static const WCHAR FN[] = L"CWatch::GetACDCState";
    LOG_ENTER(LOG_API, FN);
    BOOL bOtherOff = FALSE;
    if (ReadOtherLine(&bOtherOff)) {
        LOG_TRACE(LOG_EVENT, FN, L"Line from the other source: %s", bOtherOff ? L"off" : L"on");
        return bOtherOff;
    }
    SYSTEM_POWER_STATUS status;
    ZeroMemory(&status, sizeof(status));
    const DWORD dwRet = m_Battery.GetSystemPowerStatus(&status, 1);
    if (dwRet != ERROR_SUCCESS) {
        LOG_TRACE(LOG_EVENT, FN, L"Fail to GetACDCState() dwRet: %08x.", dwRet);
        LOG_EXIT(LOG_API, FN);
        return FALSE;
    }
    // Bit 0 covers online (1) and unknown (255): both count as AC.
    BOOL bDC = FALSE;
    if ((status.ACLineStatus & kACLineOnline) == 0) {
        bDC = IsDuringPKSOrBattRefresh() ? FALSE : TRUE;
    }
    LOG_EXIT(LOG_API, FN);
    return bDC;
}

void CWatch::Finalize()
{
    static const WCHAR FN[] = L"CWatch::Finalize";
    LOG_ENTER(LOG_API, FN);
    // The thread goes first: a thread still running would read a finalised battery object
    // as "state unknown, assume AC" and could signal AC-on while being stopped.
    m_Thread.Finalize();
    m_Battery.Finalize();
    LOG_EXIT(LOG_API, FN);
}

void CWatch::RunTimerLoop(LPCWSTR lpszFunction, LPONTIMERFUNC lpOnTimer, LPVOID lpData)
{
    HANDLE hTerminate = m_Thread.GetTerminateEvent();
    for (;;) {
        const DWORD dwWait = ::MsgWaitForMultipleObjects(1, &hTerminate, FALSE, INFINITE, QS_TIMER);
        if (dwWait == WAIT_OBJECT_0) {
            return;
        }
        if (dwWait == WAIT_FAILED) {
            g_Log.Trace(LOG_EVENT, lpszFunction, __LINE__, L"error. code: %d", ::GetLastError());
            return;
        }
        MSG msg;
        while (dwWait == WAIT_OBJECT_0 + 1 &&
               ::PeekMessageW(&msg, NULL, WM_TIMER, WM_TIMER, PM_REMOVE)) {
            if (!lpOnTimer(lpData, msg.wParam)) {
                return;
            }
        }
    }
}

BOOL CWatch::StartThread(LPTHREADFUNC lpFunc, LPVOID lpData)
{
    for (DWORD dwAttempt = 0; dwAttempt < kStartAttempts; ++dwAttempt) {
        if (m_Thread.Initialize(lpFunc, lpData) == ERROR_SUCCESS) {
            return TRUE;
        }
    }
    return FALSE;
}
