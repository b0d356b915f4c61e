#include "PipeTestSupport.h"

#include "CPipe.h"

#include <stdio.h>

#include <atomic>

namespace pipetest {

std::wstring UniqueName(const std::wstring& tag)
{
    static std::atomic<int> s_next{0};
    return L"mt" + std::to_wstring(::GetCurrentProcessId()) + L"_" + std::to_wstring(++s_next) + tag;
}

std::wstring PipePath(const std::wstring& name)
{
    return L"\\\\.\\pipe\\" + name;
}

std::wstring NotifyPipeName(const std::wstring& suffix, DWORD processId)
{
    wchar_t digits[16];
    swprintf(digits, 16, L"%08x", static_cast<unsigned>(processId));
    return std::wstring(PIPE_DATA_PREFIX) + suffix + digits;
}

Helper::Helper()
{
    const std::wstring base = UniqueName(L"helper");
    m_readyName = base + L"_ready";
    m_stopName = base + L"_stop";
    m_ready = ::CreateEventW(NULL, TRUE, FALSE, m_readyName.c_str());
    m_stop = ::CreateEventW(NULL, TRUE, FALSE, m_stopName.c_str());
}

Helper::~Helper()
{
    ::SetEvent(m_stop);
    m_child.Wait(10000);
    ::CloseHandle(m_ready);
    ::CloseHandle(m_stop);
}

bool Helper::Start(const std::wstring& role, const std::wstring& arg, const std::wstring& extra)
{
    std::wstring cmd = testsupport::ProgramPath(L"pipe_helper.exe") + L" " + role + L" " + arg +
                       L" " + m_readyName + L" " + m_stopName;
    if (!extra.empty()) {
        cmd += L" " + extra;
    }
    if (!m_child.Start(cmd, true)) {
        return false;
    }
    HANDLE waits[2] = { m_ready, m_child.Handle() };
    return ::WaitForMultipleObjects(2, waits, FALSE, 20000) == WAIT_OBJECT_0;
}

DWORD Helper::Finish(DWORD timeoutMs)
{
    Stop();
    return m_child.Wait(timeoutMs);
}

long Helper::Value(const std::string& output, const std::string& key)
{
    const std::string probe = key + " ";
    for (size_t start = 0; start < output.size();) {
        if (output.compare(start, probe.size(), probe) == 0) {
            return strtol(output.c_str() + start + probe.size(), NULL, 10);
        }
        const size_t end = output.find('\n', start);
        start = (end == std::string::npos) ? output.size() : end + 1;
    }
    return -1;
}

int Helper::CountLines(const std::string& output, const std::string& line)
{
    int count = 0;
    size_t start = 0;
    while (start < output.size()) {
        size_t end = output.find('\n', start);
        if (end == std::string::npos) {
            end = output.size();
        }
        std::string current = output.substr(start, end - start);
        if (!current.empty() && current.back() == '\r') {
            current.pop_back();
        }
        count += (current == line) ? 1 : 0;
        start = end + 1;
    }
    return count;
}

std::vector<BYTE> Frame(DWORD dwCode, DWORD dwDataSize, const void* lpData, size_t cbData)
{
    std::vector<BYTE> bytes(sizeof(DataHdr) + cbData);
    DataHdr hdr = { dwCode, dwDataSize };
    memcpy(bytes.data(), &hdr, sizeof(hdr));
    if (cbData > 0) {
        memcpy(bytes.data() + sizeof(hdr), lpData, cbData);
    }
    return bytes;
}

std::vector<BYTE> Frame(DWORD dwCode, DWORD dwValue)
{
    return Frame(dwCode, sizeof(dwValue), &dwValue, sizeof(dwValue));
}

std::vector<BYTE> TextFrame(DWORD dwCode, const std::wstring& text)
{
    const size_t cb = (text.size() + 1) * sizeof(wchar_t);
    return Frame(dwCode, static_cast<DWORD>(cb), text.c_str(), cb);
}

DWORD RawExchange(const std::wstring& pipe, const std::vector<BYTE>& bytes, DWORD* lpdwAck,
                  bool bReadAck, DWORD dwTimeoutMs)
{
    const ULONGLONG end = testsupport::NowMs() + dwTimeoutMs;
    HANDLE h = INVALID_HANDLE_VALUE;
    while ((h = ::CreateFileW(pipe.c_str(), GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED, NULL)) == INVALID_HANDLE_VALUE) {
        const DWORD err = ::GetLastError();
        if (err != ERROR_PIPE_BUSY || testsupport::NowMs() > end) {
            return err;
        }
        ::WaitNamedPipeW(pipe.c_str(), 200);
    }
    OVERLAPPED ov = {};
    ov.hEvent = ::CreateEventW(NULL, TRUE, FALSE, NULL);
    DWORD n = 0;
    DWORD ret = 0;
    if (!::WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), NULL, &ov) &&
        ::GetLastError() != ERROR_IO_PENDING) {
        ret = ::GetLastError();
    } else if (!::GetOverlappedResult(h, &ov, &n, TRUE)) {
        ret = ::GetLastError();
    }
    if (ret == 0 && bReadAck) {
        DWORD ack = 0;
        if (!::ReadFile(h, &ack, sizeof(ack), NULL, &ov) && ::GetLastError() != ERROR_IO_PENDING) {
            ret = ::GetLastError();
        } else if (::WaitForSingleObject(ov.hEvent, dwTimeoutMs) != WAIT_OBJECT_0) {
            ::CancelIoEx(h, &ov);
            ::GetOverlappedResult(h, &ov, &n, TRUE);
            ret = WAIT_TIMEOUT;
        } else if (!::GetOverlappedResult(h, &ov, &n, FALSE)) {
            ret = ::GetLastError();
        } else if (lpdwAck != NULL) {
            *lpdwAck = ack;
        }
    }
    ::CloseHandle(ov.hEvent);
    ::CloseHandle(h);
    return ret;
}

DWORD SendFrame(const std::wstring& pipe, const std::vector<BYTE>& bytes, DWORD* lpdwAck)
{
    CPipe sender;
    const DWORD ret = sender.Initialize(PIPETYPE_CLIENT, pipe.c_str(), NULL, NULL);
    if (ret != 0) {
        return ret;
    }
    return sender.Send(bytes.data(), static_cast<DWORD>(bytes.size()), lpdwAck, NULL);
}

}  // namespace pipetest
