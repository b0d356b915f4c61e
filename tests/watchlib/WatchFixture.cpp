#include "WatchFixture.h"

#include "TestProcess.h"

#include <tlhelp32.h>

namespace watchtest {

MirelApi::MirelApi()
{
    m_module = ::LoadLibraryW(testsupport::ProgramPath(L"MIRELAPI.dll").c_str());
    if (m_module == NULL) {
        return;
    }
    m_initialize = reinterpret_cast<LPFNMIRELINITIALIZE>(
        ::GetProcAddress(m_module, MAKEINTRESOURCEA(MIRELAPI_ORD_INITIALIZE)));
    m_finalize = reinterpret_cast<LPFNMIRELFINALIZE>(
        ::GetProcAddress(m_module, MAKEINTRESOURCEA(MIRELAPI_ORD_FINALIZE)));
    m_start = reinterpret_cast<LPFNMIRELSTARTUPSWATCH>(
        ::GetProcAddress(m_module, MAKEINTRESOURCEA(MIRELAPI_ORD_STARTUPSWATCH)));
    m_stop = reinterpret_cast<LPFNMIRELSTOPUPSWATCH>(
        ::GetProcAddress(m_module, MAKEINTRESOURCEA(MIRELAPI_ORD_STOPUPSWATCH)));
    m_options = reinterpret_cast<LPFNMIRELSETWATCHOPTIONS>(
        ::GetProcAddress(m_module, MAKEINTRESOURCEA(MIRELAPI_ORD_SETWATCHOPTIONS)));
    m_source = reinterpret_cast<LPFNMIRELGETWATCHSOURCE>(
        ::GetProcAddress(m_module, MAKEINTRESOURCEA(MIRELAPI_ORD_GETWATCHSOURCE)));
    m_cause = reinterpret_cast<LPFNMIRELGETS4CAUSE>(
        ::GetProcAddress(m_module, MAKEINTRESOURCEA(MIRELAPI_ORD_GETS4CAUSE)));
}

MirelApi::~MirelApi()
{
    // Whatever a test left running is stopped before the code goes away; the options, which
    // outlive an initialisation, go back to none.
    if (m_finalize != nullptr) {
        m_finalize();
    }
    if (m_options != nullptr) {
        SetRuntimeReserve(0);
    }
    if (m_module != NULL) {
        ::FreeLibrary(m_module);
    }
}

EventRecorder::EventRecorder()
{
    for (HANDLE& h : m_events) {
        h = ::CreateEventW(NULL, FALSE, FALSE, NULL);
    }
    m_stop = ::CreateEventW(NULL, TRUE, FALSE, NULL);
}

EventRecorder::~EventRecorder()
{
    Stop();
    for (HANDLE h : m_events) {
        ::CloseHandle(h);
    }
    ::CloseHandle(m_stop);
}

WATCHDATA EventRecorder::Data(DWORD flickerSec, DWORD hibernateSec, DWORD batteryPercent,
                              DWORD alarmMs, DWORD balloonMs) const
{
    WATCHDATA data = {};
    data.hBattLowEvent = m_events[kBattLow];
    data.hBattHighEvent = m_events[kBattHigh];
    data.hACLossEvent = m_events[kACLoss];
    data.hS4Event = m_events[kS4];
    data.hACOnEvent = m_events[kACOn];
    data.dwPowerFlickerTime = flickerSec;
    data.dwHibernateAfter = hibernateSec;
    data.dwBatteryLifePercent = batteryPercent;
    data.dwAlarmTime = alarmMs;
    data.dwShowBalloonWait = balloonMs;
    return data;
}

void EventRecorder::Start()
{
    m_origin = testsupport::NowMs();
    m_thread = ::CreateThread(NULL, 0, ThreadProc, this, 0, NULL);
}

void EventRecorder::Stop()
{
    if (m_thread != NULL) {
        ::SetEvent(m_stop);
        ::WaitForSingleObject(m_thread, INFINITE);
        ::CloseHandle(m_thread);
        m_thread = NULL;
    }
}

DWORD WINAPI EventRecorder::ThreadProc(LPVOID param)
{
    static_cast<EventRecorder*>(param)->Run();
    return 0;
}

void EventRecorder::Run()
{
    HANDLE handles[kEventCount + 1];
    handles[0] = m_stop;
    for (int i = 0; i < kEventCount; ++i) {
        handles[i + 1] = m_events[i];
    }
    for (;;) {
        const DWORD wait = ::WaitForMultipleObjects(kEventCount + 1, handles, FALSE, INFINITE);
        if (wait <= WAIT_OBJECT_0 || wait > WAIT_OBJECT_0 + kEventCount) {
            return;
        }
        std::lock_guard<std::mutex> guard(m_lock);
        m_signals.emplace_back(static_cast<int>(wait - WAIT_OBJECT_0 - 1), Elapsed());
    }
}

ULONGLONG EventRecorder::Elapsed() const
{
    return testsupport::NowMs() - m_origin;
}

std::vector<ULONGLONG> EventRecorder::Times(int index) const
{
    std::lock_guard<std::mutex> guard(m_lock);
    std::vector<ULONGLONG> times;
    for (const auto& s : m_signals) {
        if (s.first == index) {
            times.push_back(s.second);
        }
    }
    return times;
}

long long EventRecorder::WaitFor(int index, size_t n, DWORD timeoutMs) const
{
    const ULONGLONG deadline = testsupport::NowMs() + timeoutMs;
    for (;;) {
        const std::vector<ULONGLONG> times = Times(index);
        if (times.size() >= n) {
            return static_cast<long long>(times[n - 1]);
        }
        if (testsupport::NowMs() > deadline) {
            return -1;
        }
        ::Sleep(5);
    }
}

size_t EventRecorder::Total() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_signals.size();
}

int EventRecorder::Next(size_t* cursor, DWORD timeoutMs, ULONGLONG* atMs) const
{
    const ULONGLONG deadline = testsupport::NowMs() + timeoutMs;
    for (;;) {
        {
            std::lock_guard<std::mutex> guard(m_lock);
            if (*cursor < m_signals.size()) {
                const auto& signal = m_signals[(*cursor)++];
                if (atMs != nullptr) {
                    *atMs = signal.second;
                }
                return signal.first;
            }
        }
        if (testsupport::NowMs() > deadline) {
            return -1;
        }
        ::Sleep(5);
    }
}

size_t ThreadCount()
{
    HANDLE snap = ::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snap == INVALID_HANDLE_VALUE) {
        return 0;
    }
    size_t count = 0;
    THREADENTRY32 entry = { sizeof(entry) };
    for (BOOL ok = ::Thread32First(snap, &entry); ok; ok = ::Thread32Next(snap, &entry)) {
        if (entry.th32OwnerProcessID == ::GetCurrentProcessId()) {
            ++count;
        }
    }
    ::CloseHandle(snap);
    return count;
}

double PreciseMs()
{
    static LARGE_INTEGER frequency = {};
    if (frequency.QuadPart == 0) {
        ::QueryPerformanceFrequency(&frequency);
    }
    LARGE_INTEGER now;
    ::QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

}  // namespace watchtest
