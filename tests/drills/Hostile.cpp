// A hostile local process, run beside the service during a drill:
//   hostile <victim pid> [keeplog]    until the event "Global\mirel_hostile_stop" is set, round after round:
// holds the lock names an older design used for the pipes; sends the service malformed frames,
// truncated headers and a 2 GB announcement; sends the victim application a notification that
// pretends to come from the service; and registers itself again and again. Prints the rounds.
//   hostile squat mutex|event|pipes    while the service is stopped, takes the name of the
// service's single-instance mutex (as a mutex with a DACL that lets nobody else in, or as an
// event) or of both its pipes, and holds them until the same stop event.
// Beside the rounds, each on a thread of its own: registers as fast as it can; connects to the
// service's pipes and the victim's pipe and stays silent, again and again; on every instance of the
// control pipe, writes a request just inside the first-bytes limit and never reads its answer,
// again and again; forges the victim's
// resume check as handles 1 to 5; holds the debug log's old mutex and its shared file.
#include "CGlobalLock.h"
#include "CPipe.h"
#include "Notify.h"
#include "PipeDefs.h"

#include "CLog.h"

#include <windows.h>
#include <shlobj.h>
#include <stdio.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

// The code a forged notification carries; no real notification has it.
const DWORD kForgedCode = 0x77;

std::wstring NotifyPipeName(DWORD pid)
{
    wchar_t name[64];
    swprintf(name, 64, L"%ls%ls%08x", PIPE_DATA_PREFIX, MIREL_PIPE_SUFFIX, pid);
    return name;
}

// One connection: writes the bytes and reads whatever answer comes within the pipe's own limits;
// the answer, 0 when none came.
DWORD Send(const std::wstring& pipe, const std::string& bytes)
{
    HANDLE h = CreateFileW(pipe.c_str(), GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    if (h == INVALID_HANDLE_VALUE) {
        WaitNamedPipeW(pipe.c_str(), 50);
        return 0;
    }
    DWORD done = 0, ack = 0;
    if (!bytes.empty()) WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &done, NULL);
    if (bytes.size() >= sizeof(DataHdr) && !ReadFile(h, &ack, sizeof(ack), &done, NULL)) ack = 0;
    CloseHandle(h);
    return ack;
}

std::string Frame(DWORD code, DWORD announced, const std::string& data)
{
    const DataHdr hdr = { code, announced };
    return std::string(reinterpret_cast<const char*>(&hdr), sizeof(hdr)) + data;
}

std::string Wide(const std::wstring& text)
{
    return std::string(reinterpret_cast<const char*>(text.c_str()), (text.size() + 1) * sizeof(wchar_t));
}

// The handle of this process's own session, and the lock that keeps a forgery from going out
// while a registration may be moving that session: a resume check with its own handle is no
// forgery, and the service rightly takes it.
std::mutex g_sessionLock;
DWORD g_ownHandle = 0;

void RegisterOwn(const std::wstring& ctrl, const std::wstring& own)
{
    std::lock_guard<std::mutex> guard(g_sessionLock);
    g_ownHandle = Send(ctrl, Frame(PIPEREQUEST_CONNECT, static_cast<DWORD>(Wide(own).size()), Wide(own)));
}

void HoldLocksOf(const std::wstring& pipe, std::vector<std::unique_ptr<CGlobalLock>>* held)
{
    for (const wchar_t* end : { L"sv", L"cl" }) {
        held->emplace_back(new CGlobalLock);
        if (held->back()->Initialize((pipe + end).c_str(), INFINITE) == 0) held->back()->Lock(NULL);
    }
}

void Round(const std::wstring& ctrl, const std::wstring& victim, const std::wstring& own)
{
    const DWORD forged = kForgedCode;
    Send(ctrl, std::string("\x07\x00", 2));                                    // a truncated header
    Send(ctrl, Frame(7, 3, "abc"));                                            // an unknown request
    Send(ctrl, Frame(PIPEREQUEST_CONNECT, 0x7FFFFFF0, "x"));                   // 2 GB announced
    Send(ctrl, Frame(PIPEREQUEST_CONNECT, 6, std::string("\\\\.\\p", 6)));     // a name cut short
    Send(ctrl, Frame(PIPEREQUEST_CLOSE, 4, std::string("\x01\x00\x00\x00", 4)));  // someone else's handle
    Send(victim, Frame(0, 4, std::string(reinterpret_cast<const char*>(&forged), 4)));  // forged sender
    Send(victim, Frame(0, 0x7FFFFFF0, ""));                                    // 2 GB to the victim
    RegisterOwn(ctrl, own);                                                    // again
}

// Takes names the service needs, as any user could while it is down, and holds them until stopped.
int Squat(const std::wstring& what, HANDLE stop)
{
    HANDLE held = NULL, second = NULL;
    if (what == L"mutex") {
        // An empty DACL: only the squatter's own handle gets in.
        SECURITY_DESCRIPTOR sd;
        InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION);
        ACL acl;
        InitializeAcl(&acl, sizeof(acl), ACL_REVISION);
        SetSecurityDescriptorDacl(&sd, TRUE, &acl, FALSE);
        SECURITY_ATTRIBUTES sa = { sizeof(sa), &sd, FALSE };
        held = CreateMutexW(&sa, TRUE, L"Global\\mtx_MIRELSVC");
    } else if (what == L"event") {
        held = CreateEventW(NULL, TRUE, FALSE, L"Global\\mtx_MIRELSVC");
    } else if (what == L"pipes") {
        held = CreateNamedPipeW(PIPE_CTRL_PREFIX MIREL_PIPE_SUFFIX, PIPE_ACCESS_DUPLEX, 0, 1, 512, 512, 0, NULL);
        second = CreateNamedPipeW(PIPE_DATA_PREFIX MIREL_PIPE_SUFFIX, PIPE_ACCESS_DUPLEX, 0, 1, 512, 512, 0, NULL);
        if (second == INVALID_HANDLE_VALUE) return 1;
    }
    if (held == NULL || held == INVALID_HANDLE_VALUE) return 1;
    printf("squatting %ls\n", what.c_str());
    fflush(stdout);
    WaitForSingleObject(stop, INFINITE);
    CloseHandle(held);
    if (second != NULL) CloseHandle(second);
    return 0;
}

std::atomic<bool> g_stop{false};
std::atomic<long> g_registrations{0}, g_silent{0}, g_slow{0};

// Registers its own name as fast as one process can go: every registration makes the service
// send its state to every application.
void RegisterLoop(const std::wstring& ctrl, const std::wstring& own)
{
    while (!g_stop) {
        RegisterOwn(ctrl, own);
        ++g_registrations;
    }
}

// Takes an instance of the pipe and says nothing until the server lets it go, then again.
void SilentLoop(const std::wstring& pipe)
{
    while (!g_stop) {
        HANDLE h = CreateFileW(pipe.c_str(), GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
        if (h == INVALID_HANDLE_VALUE) {
            WaitNamedPipeW(pipe.c_str(), 50);
            continue;
        }
        ++g_silent;
        DWORD ack = 0, done = 0;
        ReadFile(h, &ack, sizeof(ack), &done, NULL);  // returns when the server hangs up
        CloseHandle(h);
    }
}

// Takes an instance, writes a request just before the server would give up on it, never reads
// the answer and holds on until the server hangs up, then again.
void SlowLoop(const std::wstring& pipe)
{
    const std::string frame = Frame(7, 3, "abc");
    while (!g_stop) {
        HANDLE h = CreateFileW(pipe.c_str(), GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
        if (h == INVALID_HANDLE_VALUE) {
            WaitNamedPipeW(pipe.c_str(), 50);
            continue;
        }
        ++g_slow;
        Sleep(PIPE_FIRST_BYTES_MS - 200);
        DWORD done = 0;
        WriteFile(h, frame.data(), static_cast<DWORD>(frame.size()), &done, NULL);
        while (!g_stop && PeekNamedPipe(h, NULL, 0, NULL, NULL, NULL)) Sleep(50);
        CloseHandle(h);
    }
}

// A resume check with the handles the applications are likely to hold, sent by a process that
// registered none of them.
void ForgeResumeChecks(const std::wstring& data)
{
    const DWORD request = REQUEST_RESUME_CHECK;
    const std::string body(reinterpret_cast<const char*>(&request), sizeof(request));
    while (!g_stop) {
        {
            std::lock_guard<std::mutex> guard(g_sessionLock);
            for (DWORD handle = 1; handle <= 5; ++handle) {
                if (handle != g_ownHandle) Send(data, Frame(handle, 4, body));
            }
        }
        Sleep(10);
    }
}

// What any user can hold of the debug log: the mutex the log once waited for, and the shared
// file, open without sharing. (The service's own file is in a folder users cannot open; Wine
// does not enforce that, so it is left alone here.)
HANDLE HoldLog(std::vector<std::unique_ptr<CGlobalLock>>* held)
{
    held->emplace_back(new CGlobalLock);
    if (held->back()->Initialize(L"clog_mutex_name_" MIREL_DBGLOG_KEY, INFINITE) == 0) held->back()->Lock(NULL);
    wchar_t name[MAX_PATH] = L"default.log";
    DWORD cb = sizeof(name);
    RegGetValueW(HKEY_LOCAL_MACHINE, MIREL_DBGLOG_KEY, L"filename", RRF_RT_REG_SZ, NULL, name, &cb);
    wchar_t folder[MAX_PATH];
    SHGetSpecialFolderPathW(NULL, folder, CSIDL_COMMON_APPDATA, FALSE);
    return CreateFileW((std::wstring(folder) + L"\\" + name).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                       NULL, OPEN_ALWAYS, 0, NULL);
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 2) return 87;
    HANDLE stop = CreateEventW(NULL, TRUE, FALSE, L"Global\\mirel_hostile_stop");
    if (argc == 3 && std::wstring(argv[1]) == L"squat") return Squat(argv[2], stop);
    const std::wstring ctrl = PIPE_CTRL_PREFIX MIREL_PIPE_SUFFIX;
    const std::wstring victim = NotifyPipeName(wcstoul(argv[1], NULL, 10));
    const std::wstring own = NotifyPipeName(GetCurrentProcessId());
    std::vector<std::unique_ptr<CGlobalLock>> held;
    HoldLocksOf(ctrl, &held);
    HoldLocksOf(PIPE_DATA_PREFIX MIREL_PIPE_SUFFIX, &held);
    HoldLocksOf(victim, &held);
    // "keeplog": the shared log file is left alone (a benchmark times the application's lines).
    const bool keepLog = argc > 2 && wcscmp(argv[2], L"keeplog") == 0;
    const HANDLE logFile = keepLog ? INVALID_HANDLE_VALUE : HoldLog(&held);
    const std::wstring data = PIPE_DATA_PREFIX MIREL_PIPE_SUFFIX;
    std::vector<std::thread> threads;
    threads.emplace_back(RegisterLoop, ctrl, own);
    threads.emplace_back(ForgeResumeChecks, data);
    for (const std::wstring& pipe : { ctrl, data, victim }) threads.emplace_back(SilentLoop, pipe);
    for (DWORD i = 0; i < PIPE_INSTANCES; ++i) threads.emplace_back(SlowLoop, ctrl);
    int rounds = 0;
    for (; WaitForSingleObject(stop, 20) == WAIT_TIMEOUT; ++rounds) {
        Round(ctrl, victim, own);
    }
    g_stop = true;
    for (std::thread& t : threads) t.join();
    if (logFile != INVALID_HANDLE_VALUE) CloseHandle(logFile);
    printf("%d rounds, %ld registrations, %ld silent connections, %ld slow ones\n", rounds,
           g_registrations.load(), g_silent.load(), g_slow.load());
    return 0;
}
