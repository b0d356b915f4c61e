// Common part of the power-watch library's watchers: battery access, the watcher thread, and
// the two probes they ask on every tick (mains lost? battery refresh running?).
#pragma once

#include "CBattery.h"
#include "CThread.h"

#include <windows.h>

// The maker's battery driver: status word of its PKS / battery-refresh state (vendor function
// 0x816, buffered, read access). Low 16 bits 0 or 2: a refresh is in progress.
#define IOCTL_CALL__PSTS CTL_CODE(FILE_DEVICE_BATTERY, 0x816, METHOD_BUFFERED, FILE_READ_ACCESS)

static_assert(IOCTL_CALL__PSTS == 0x296058, "vendor control code");

class CWatch {
public:
    CWatch();
    virtual ~CWatch();

    // Reads the paths of the first two battery interfaces, the battery in use first; the refresh
    // probe talks to it unless it is short-term.
    void EnumBatteries();
    // The maker's refresh state of the battery in use; FALSE without one, and for a UPS, whose
    // driver does not know the maker's control (a word it answered would be meaningless).
    BOOL IsDuringPKSOrBattRefresh();
    // TRUE when running from the battery because the mains failed; FALSE for AC, for a refresh
    // state reported by the battery driver, and when the state cannot be read. A line that
    // ReadOtherLine reports comes before all of these.
    BOOL GetACDCState();
    // Stops the watcher thread (at most 5000 ms), then releases the battery object.
    void Finalize();

protected:
    // A line reported by a source other than Windows (a UPS served over the network). TRUE when
    // *pbLineOff holds it and the local probes are not asked; the default has none.
    virtual BOOL ReadOtherLine(LPBOOL pbLineOff) { return FALSE; }

    // Starts m_Thread with lpFunc and the derived watcher (lpData); three attempts. TRUE when the
    // thread runs; callers keep a final failure silent.
    BOOL StartThread(LPTHREADFUNC lpFunc, LPVOID lpData);

    // Called for each timer message of the watcher thread; false ends the loop.
    typedef bool (*LPONTIMERFUNC)(LPVOID lpData, UINT_PTR uTimerId);
    // The watcher thread's loop: waits for the terminate event or a timer message and hands every
    // WM_TIMER of the thread to lpOnTimer until it returns false. A failed wait is logged under
    // lpszFunction ("error. code: %d") and ends the loop too.
    void RunTimerLoop(LPCWSTR lpszFunction, LPONTIMERFUNC lpOnTimer, LPVOID lpData);

    CBattery m_Battery;
    CThread m_Thread;
    // The paths of the first two battery interfaces; slot 0 is the one the refresh probe asks.
    CBatteryPaths m_BatteryPaths;
    // Slot 0 of m_BatteryPaths is a short-term battery: the probe is not sent.
    BOOL m_bProbeShortTerm;

private:
    CWatch(const CWatch&) = delete;
    CWatch& operator=(const CWatch&) = delete;

    // Opens the battery the refresh probe talks to, reading the paths again when it cannot;
    // INVALID_HANDLE_VALUE also when that battery is short-term.
    HANDLE OpenRefreshDevice();
};
