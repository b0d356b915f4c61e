// The device paths of the first battery interfaces of the battery class driver, read in one pass.
// The battery object and the watchers' refresh probe each keep a list of their own.
#pragma once

#include <windows.h>
#include <setupapi.h>

// At most this many battery interfaces are recorded.
#define BATTERY_MAX_DEVICES 2

class CBatteryPaths {
public:
    CBatteryPaths();

    // Reads the list again; slot i holds the interface at enumeration index i, cut to MAX_PATH - 1
    // characters, or nothing. The old list goes first: a battery gone since leaves no stale path.
    // The first interface that cannot be read ends the pass, keeping the paths read before it;
    // its error (or the list's) is the result. A detail that cannot be read is logged under the
    // caller's name and trace level.
    DWORD Read(DWORD dwLevel, LPCWSTR lpszCaller);
    // The path in slot dwIndex; empty when there is none.
    LPCWSTR Get(DWORD dwIndex) const;
    // How many slots the last pass filled.
    DWORD GetCount() const { return m_dwCount; }
    // Puts the path in slot dwIndex first, the ones before it one slot on: slot 0 is the battery
    // in use.
    void MoveToFront(DWORD dwIndex);

private:
    // The path of interface dwIndex of the list; ERROR_NO_MORE_ITEMS when there is no such one.
    static DWORD ReadOne(DWORD dwLevel, LPCWSTR lpszCaller, HDEVINFO hDevInfo, DWORD dwIndex,
                         LPWSTR lpszPath, size_t cchPath);

    WCHAR m_szPath[BATTERY_MAX_DEVICES][MAX_PATH];
    DWORD m_dwCount;
};
