// Fixtures of the pipe tests: unique names, the helper process, raw frames and exchanges.
#pragma once

#include "PipeDefs.h"
#include "TestProcess.h"

#include <windows.h>

#include <string>
#include <vector>

namespace pipetest {

// A name no other test (or test run in this prefix) uses: "mt<pid>_<n><tag>".
std::wstring UniqueName(const std::wstring& tag);
std::wstring PipePath(const std::wstring& name);

// The notification pipe name of a process, as the client forms it.
std::wstring NotifyPipeName(const std::wstring& suffix, DWORD processId);

// pipe_helper.exe playing one role; see PipeHelper.cpp.
class Helper {
public:
    Helper();
    ~Helper();
    // Starts "pipe_helper <role> <arg> <ready> <stop> [extra]" and waits until it is ready.
    bool Start(const std::wstring& role, const std::wstring& arg, const std::wstring& extra = L"");
    void Stop() { ::SetEvent(m_stop); }
    // Stops the helper and waits for its exit code.
    DWORD Finish(DWORD timeoutMs = 20000);
    // Its stdout, once it has ended.
    std::string Output() { return m_child.Output(); }
    DWORD Id() const { return m_child.Id(); }
    // The value after "<key> " in the output ("id 3 0" gives 3 for "id"); -1 when absent.
    static long Value(const std::string& output, const std::string& key);
    static int CountLines(const std::string& output, const std::string& line);

private:
    testsupport::ChildProcess m_child;
    std::wstring m_readyName;
    std::wstring m_stopName;
    HANDLE m_ready;
    HANDLE m_stop;
};

// Header followed by data.
std::vector<BYTE> Frame(DWORD dwCode, DWORD dwDataSize, const void* lpData, size_t cbData);
std::vector<BYTE> Frame(DWORD dwCode, DWORD dwValue);
std::vector<BYTE> TextFrame(DWORD dwCode, const std::wstring& text);

// Connects to the pipe, writes the bytes, reads the 4-byte acknowledgement when asked to, and
// disconnects; returns 0 when everything worked. Retries while the pipe is busy.
DWORD RawExchange(const std::wstring& pipe, const std::vector<BYTE>& bytes, DWORD* lpdwAck,
                  bool bReadAck = true, DWORD dwTimeoutMs = 7000);

// Sends a frame through a sending channel, as the product does; returns CPipe::Send's result.
DWORD SendFrame(const std::wstring& pipe, const std::vector<BYTE>& bytes, DWORD* lpdwAck);

// Polls until the predicate holds or the time is up.
template <typename Pred>
bool WaitUntil(Pred pred, DWORD timeoutMs)
{
    const ULONGLONG end = testsupport::NowMs() + timeoutMs;
    while (!pred()) {
        if (testsupport::NowMs() > end) {
            return false;
        }
        ::Sleep(10);
    }
    return true;
}

}  // namespace pipetest
