// Driving MIRELAPI.dll as the service does: loaded at run time, bound by ordinal, with five
// auto-reset events of the caller's own, and a recorder of when each event was signalled.
#pragma once

#include "MIRELAPI.h"

#include <windows.h>

#include <mutex>
#include <vector>

namespace watchtest {

enum EventIndex { kBattLow, kBattHigh, kACLoss, kS4, kACOn, kEventCount };

// The library, loaded from the test program's folder; functions taken by ordinal.
class MirelApi {
public:
    MirelApi();
    ~MirelApi();
    MirelApi(const MirelApi&) = delete;
    MirelApi& operator=(const MirelApi&) = delete;

    bool Loaded() const { return m_initialize && m_finalize && m_start && m_stop && m_options && m_source && m_cause; }
    HMODULE Module() const { return m_module; }
    DWORD Initialize(LPWATCHDATA data) { return m_initialize(data); }
    void Finalize() { m_finalize(); }
    void StartUPSWatch() { m_start(); }
    void StopUPSWatch() { m_stop(); }
    DWORD SetRuntimeReserve(DWORD seconds)
    {
        WATCHOPTIONS options = { sizeof(options), seconds };
        return m_options(&options);
    }
    DWORD SetOptions(const WATCHOPTIONS& options) { return m_options(&options); }
    WATCHCAUSE S4Cause()
    {
        WATCHCAUSE cause = { sizeof(cause), 99, 99 };
        m_cause(&cause);
        return cause;
    }
    DWORD Source(LPWATCHSOURCE source) { return m_source(source); }

private:
    HMODULE m_module = NULL;
    LPFNMIRELINITIALIZE m_initialize = nullptr;
    LPFNMIRELFINALIZE m_finalize = nullptr;
    LPFNMIRELSTARTUPSWATCH m_start = nullptr;
    LPFNMIRELSTOPUPSWATCH m_stop = nullptr;
    LPFNMIRELSETWATCHOPTIONS m_options = nullptr;
    LPFNMIRELGETWATCHSOURCE m_source = nullptr;
    LPFNMIRELGETS4CAUSE m_cause = nullptr;
};

// The caller's five events and a thread that takes every signal and notes its time.
class EventRecorder {
public:
    EventRecorder();
    ~EventRecorder();
    EventRecorder(const EventRecorder&) = delete;
    EventRecorder& operator=(const EventRecorder&) = delete;

    // A record with the five events and the given settings.
    WATCHDATA Data(DWORD flickerSec, DWORD hibernateSec, DWORD batteryPercent, DWORD alarmMs,
                   DWORD balloonMs) const;
    HANDLE Event(int index) const { return m_events[index]; }
    // Starts taking the signals; the time origin is the moment of the call.
    void Start();
    void Stop();

    // Milliseconds after Start of each signal of the event.
    std::vector<ULONGLONG> Times(int index) const;
    size_t Count(int index) const { return Times(index).size(); }
    // Waits until the event was signalled at least n times; the time of the n-th signal
    // after Start, or -1 when the time ran out.
    long long WaitFor(int index, size_t n, DWORD timeoutMs) const;
    // Signals of any event so far.
    size_t Total() const;
    // Waits for signal number *cursor (counting from 0, any event); returns its event index
    // and moves the cursor on, or -1 when the time ran out.
    int Next(size_t* cursor, DWORD timeoutMs, ULONGLONG* atMs = nullptr) const;
    ULONGLONG Elapsed() const;

private:
    static DWORD WINAPI ThreadProc(LPVOID param);
    void Run();

    HANDLE m_events[kEventCount] = {};
    HANDLE m_stop = NULL;
    HANDLE m_thread = NULL;
    ULONGLONG m_origin = 0;
    mutable std::mutex m_lock;
    std::vector<std::pair<int, ULONGLONG>> m_signals;
};

// Threads of this process right now.
size_t ThreadCount();
// Milliseconds with sub-tick precision.
double PreciseMs();

}  // namespace watchtest
