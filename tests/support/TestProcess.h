// Starting the test's helper programs and waiting for them.
#pragma once

#include <windows.h>

#include <string>

namespace testsupport {

// Full path of a program built next to the running test program.
std::wstring ProgramPath(const std::wstring& fileName);

// A child process with its stdout captured; killed and closed on destruction.
class ChildProcess {
public:
    ChildProcess() = default;
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Starts the command line; stdout (and stderr) go to an anonymous pipe when capture is set.
    bool Start(const std::wstring& commandLine, bool capture = false);
    // Waits for the exit (at most Patient(timeoutMs)); returns the exit code, or STILL_ACTIVE
    // when the time ran out.
    DWORD Wait(DWORD timeoutMs);
    // Everything the child wrote, read after it exited.
    std::string Output();
    HANDLE Handle() const { return m_process; }
    DWORD Id() const { return m_pid; }

private:
    HANDLE m_process = NULL;
    HANDLE m_stdout = NULL;
    DWORD m_pid = 0;
};

// Runs a command line to its end; returns its exit code (STILL_ACTIVE on timeout).
DWORD RunProcess(const std::wstring& commandLine, DWORD timeoutMs = 60000,
                 std::string* output = nullptr);

// Ends the process of the named service if it still has one. A case that leaves a service stuck
// (in a handler, say) would otherwise leave it installed and marked for deletion, and every later
// case that installs it would fail.
void EndServiceProcess(LPCWSTR serviceName);

// Milliseconds since some fixed point, for measuring windows.
ULONGLONG NowMs();

// The ceiling of a wait for an event, from the time the event takes on a quiet machine. Waits end
// at their event, so a generous ceiling costs nothing when the event comes; on a shared machine
// (one CPU-bound process per core beside the tests) Wine's processes start and answer several
// times slower, and a ceiling of quiet-machine size turns a slow event into a failure. Only for
// waits that expect the event: a wait that checks that nothing happens keeps its window.
inline DWORD Patient(DWORD quietMs)
{
    const DWORD kPatience = 4;
    return quietMs >= INFINITE / kPatience ? INFINITE : quietMs * kPatience;
}

}  // namespace testsupport
