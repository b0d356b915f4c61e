// Cost of the pipe messaging under the platform at hand (not a test; run by bench/pipe/bench.sh).
//   pipe_bench                       prints the figures
//   pipe_bench raw <pipe> <ready>    a bare receiver: read 8 bytes, answer 4, disconnect
//   pipe_bench client <suffix> <ready> <stop>   a pipe client that only counts notifications
#include "CPipeCl.h"
#include "CPipeSv.h"

#include <stdio.h>
#include <stdlib.h>

#include <atomic>
#include <string>
#include <vector>

namespace {

std::atomic<LONG> g_connected{0};

std::wstring Self()
{
    WCHAR path[MAX_PATH];
    GetModuleFileNameW(NULL, path, MAX_PATH);
    return path;
}

HANDLE Spawn(const std::wstring& args)
{
    std::wstring cmd = L"\"" + Self() + L"\" " + args;
    STARTUPINFOW si = { sizeof(si) };
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessW(NULL, &cmd[0], NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi)) {
        return NULL;
    }
    CloseHandle(pi.hThread);
    return pi.hProcess;
}

void Signal(LPCWSTR name)
{
    HANDLE h = OpenEventW(EVENT_MODIFY_STATE, FALSE, name);
    SetEvent(h);
    CloseHandle(h);
}

int RunRaw(LPCWSTR pipe, LPCWSTR ready)
{
    HANDLE h = CreateNamedPipeW(pipe, PIPE_ACCESS_DUPLEX, 0, 1, 1024, 1024, 1000, NULL);
    if (h == INVALID_HANDLE_VALUE) {
        return 2;
    }
    Signal(ready);
    for (;;) {
        if (!ConnectNamedPipe(h, NULL) && GetLastError() != ERROR_PIPE_CONNECTED) {
            return 3;
        }
        BYTE buf[8];
        DWORD n = 0;
        const DWORD ack = 0;
        if (ReadFile(h, buf, sizeof(buf), &n, NULL) && n == 1) {
            return 0;  // the end marker
        }
        WriteFile(h, &ack, sizeof(ack), &n, NULL);
        FlushFileBuffers(h);
        DisconnectNamedPipe(h);
    }
}

void OnNothing(LPVOID, PPIPEEVENT) {}

int RunClient(LPCWSTR suffix, LPCWSTR ready, LPCWSTR stop)
{
    CPipeCl client;
    DWORD id = 0;
    if (client.Initialize(1, suffix, &id, OnNothing, &client, NULL) != 0 || id == 0) {
        return 2;
    }
    Signal(ready);
    HANDLE h = OpenEventW(SYNCHRONIZE, FALSE, stop);
    WaitForSingleObject(h, INFINITE);
    client.Finalize(NULL);
    return 0;
}

double RawMicros(int rounds)
{
    const std::wstring pipe = L"\\\\.\\pipe\\mirel_bench_raw_" + std::to_wstring(GetCurrentProcessId());
    const std::wstring ready = L"mirel_bench_raw_ready";
    HANDLE readyEvent = CreateEventW(NULL, TRUE, FALSE, ready.c_str());
    HANDLE proc = Spawn(L"raw " + pipe + L" " + ready);
    WaitForSingleObject(readyEvent, 20000);
    LARGE_INTEGER f, t0, t1;
    QueryPerformanceFrequency(&f);
    QueryPerformanceCounter(&t0);
    const BYTE frame[8] = {};
    for (int i = 0; i <= rounds; ++i) {
        HANDLE h;
        while ((h = CreateFileW(pipe.c_str(), GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0,
                                NULL)) == INVALID_HANDLE_VALUE) {
            WaitNamedPipeW(pipe.c_str(), 1000);
        }
        DWORD n = 0, ack = 0;
        WriteFile(h, frame, i == rounds ? 1 : sizeof(frame), &n, NULL);
        if (i < rounds) {
            ReadFile(h, &ack, sizeof(ack), &n, NULL);
        }
        CloseHandle(h);
    }
    QueryPerformanceCounter(&t1);
    WaitForSingleObject(proc, 10000);
    CloseHandle(proc);
    CloseHandle(readyEvent);
    return (t1.QuadPart - t0.QuadPart) * 1e6 / f.QuadPart / rounds;
}

void OnServerEvent(LPVOID, PPIPEEVENT evt)
{
    if (evt->dwEvent == PIPEEVENT_CONNECTED) {
        g_connected++;
    }
}

double SendAllMicrosPerClient(int clients, int rounds)
{
    const std::wstring suffix = L"MIRELBENCH" + std::to_wstring(clients);
    CPipeSv server;
    int owner = 0;
    if (server.Initialize(suffix.c_str(), OnServerEvent, &owner) != 0) {
        return -1;
    }
    g_connected = 0;
    const std::wstring stop = L"mirel_bench_stop_" + std::to_wstring(clients);
    HANDLE stopEvent = CreateEventW(NULL, TRUE, FALSE, stop.c_str());
    std::vector<HANDLE> procs;
    for (int i = 0; i < clients; ++i) {
        const std::wstring ready = L"mirel_bench_ready_" + std::to_wstring(clients) + L"_" + std::to_wstring(i);
        HANDLE readyEvent = CreateEventW(NULL, TRUE, FALSE, ready.c_str());
        procs.push_back(Spawn(L"client " + suffix + L" " + ready + L" " + stop));
        WaitForSingleObject(readyEvent, 30000);
        CloseHandle(readyEvent);
    }
    LARGE_INTEGER f, t0, t1;
    QueryPerformanceFrequency(&f);
    const DWORD notify = 0x12;
    DWORD ret = 0;
    DWORD failures = 0;
    QueryPerformanceCounter(&t0);
    for (int r = 0; r < rounds; ++r) {
        failures += server.SendAll(&notify, sizeof(notify), &ret, NULL) != 0 ? 1 : 0;
    }
    QueryPerformanceCounter(&t1);
    SetEvent(stopEvent);
    for (HANDLE h : procs) {
        WaitForSingleObject(h, 30000);
        CloseHandle(h);
    }
    CloseHandle(stopEvent);
    server.Finalize(NULL);
    if (failures != 0 || g_connected != clients) {
        printf("  (%d of %d clients registered, %lu failed rounds)\n", static_cast<int>(g_connected.load()),
               clients, failures);
    }
    return (t1.QuadPart - t0.QuadPart) * 1e6 / f.QuadPart / rounds / clients;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc == 4 && lstrcmpW(argv[1], L"raw") == 0) return RunRaw(argv[2], argv[3]);
    if (argc == 5 && lstrcmpW(argv[1], L"client") == 0) return RunClient(argv[2], argv[3], argv[4]);
    const double raw = RawMicros(2000);
    printf("raw connect + 8-byte write + 4-byte ack + close: %8.1f us\n", raw);
    for (int clients : { 1, 10, 100 }) {
        const double perClient = SendAllMicrosPerClient(clients, clients == 100 ? 20 : 2000 / clients);
        printf("SendAll of 4 bytes to %3d clients:   %8.1f us per client, ratio %.2f\n", clients,
               perClient, perClient / raw);
        printf("ROW|fan-out: SendAll per client / bare exchange, %d clients|%.2f (%.0f / %.0f us)|<= 1.5\n",
               clients, perClient / raw, perClient, raw);
    }
    return 0;
}
