#include "TestProcess.h"

#include "ScopedHandle.h"

#include <vector>

namespace testsupport {

std::wstring ProgramPath(const std::wstring& fileName)
{
    WCHAR path[MAX_PATH];
    DWORD n = ::GetModuleFileNameW(NULL, path, MAX_PATH);
    std::wstring dir(path, n);
    return dir.substr(0, dir.find_last_of(L'\\') + 1) + fileName;
}

namespace {

// Every child of a test program runs in this job, which ends them all when its handle closes:
// at the program's own end, and also when ctest kills a program that overran its ceiling, whose
// children would otherwise go on registering with the next case's service.
HANDLE ChildrenJob()
{
    static const HANDLE job = [] {
        HANDLE h = ::CreateJobObjectW(NULL, NULL);
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        if (h != NULL) {
            ::SetInformationJobObject(h, JobObjectExtendedLimitInformation, &limits, sizeof(limits));
        }
        return h;
    }();
    return job;
}

}  // namespace

ChildProcess::~ChildProcess()
{
    if (m_process != NULL) {
        if (::WaitForSingleObject(m_process, 0) == WAIT_TIMEOUT) {
            ::TerminateProcess(m_process, 1);
        }
        ::CloseHandle(m_process);
    }
    if (m_stdout != NULL) {
        ::CloseHandle(m_stdout);
    }
}

bool ChildProcess::Start(const std::wstring& commandLine, bool capture)
{
    STARTUPINFOW si = { sizeof(si) };
    HANDLE writeEnd = NULL;
    if (capture) {
        SECURITY_ATTRIBUTES sa = { sizeof(sa), NULL, TRUE };
        if (!::CreatePipe(&m_stdout, &writeEnd, &sa, 0)) {
            return false;
        }
        ::SetHandleInformation(m_stdout, HANDLE_FLAG_INHERIT, 0);
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdOutput = writeEnd;
        si.hStdError = writeEnd;
        si.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
    }
    std::vector<wchar_t> cmd(commandLine.begin(), commandLine.end());
    cmd.push_back(L'\0');
    PROCESS_INFORMATION pi = {};
    // Suspended until it is in the job, so that nothing it starts escapes it.
    const BOOL ok = ::CreateProcessW(NULL, cmd.data(), NULL, NULL, capture, CREATE_SUSPENDED, NULL, NULL,
                                     &si, &pi);
    if (writeEnd != NULL) {
        ::CloseHandle(writeEnd);
    }
    if (!ok) {
        return false;
    }
    ::AssignProcessToJobObject(ChildrenJob(), pi.hProcess);
    ::ResumeThread(pi.hThread);
    ::CloseHandle(pi.hThread);
    m_process = pi.hProcess;
    m_pid = pi.dwProcessId;
    return true;
}

DWORD ChildProcess::Wait(DWORD timeoutMs)
{
    if (::WaitForSingleObject(m_process, Patient(timeoutMs)) != WAIT_OBJECT_0) {
        return STILL_ACTIVE;
    }
    DWORD code = 0;
    ::GetExitCodeProcess(m_process, &code);
    return code;
}

std::string ChildProcess::Output()
{
    std::string out;
    char buf[4096];
    DWORD n = 0;
    while (m_stdout != NULL && ::ReadFile(m_stdout, buf, sizeof(buf), &n, NULL) && n > 0) {
        out.append(buf, n);
    }
    return out;
}

DWORD RunProcess(const std::wstring& commandLine, DWORD timeoutMs, std::string* output)
{
    ChildProcess child;
    if (!child.Start(commandLine, output != nullptr)) {
        return ::GetLastError() | 0x80000000;
    }
    const DWORD code = child.Wait(timeoutMs);
    if (output != nullptr) {
        *output = child.Output();
    }
    return code;
}

void EndServiceProcess(LPCWSTR serviceName)
{
    ScopedScHandle scm(::OpenSCManagerW(NULL, NULL, SC_MANAGER_CONNECT));
    ScopedScHandle service(::OpenServiceW(scm.Get(), serviceName, SERVICE_QUERY_STATUS));
    SERVICE_STATUS_PROCESS status = {};
    DWORD needed = 0;
    if (!::QueryServiceStatusEx(service.Get(), SC_STATUS_PROCESS_INFO,
                                reinterpret_cast<LPBYTE>(&status), sizeof(status), &needed) ||
        status.dwProcessId == 0) {
        return;
    }
    ScopedKernelHandle process(
        ::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, status.dwProcessId));
    if (process.IsValid() && ::TerminateProcess(process.Get(), 1)) {
        ::WaitForSingleObject(process.Get(), 5000);
    }
}

ULONGLONG NowMs()
{
    return ::GetTickCount64();
}

}  // namespace testsupport
