// Second process for the pipe tests: plays the other side of a channel, a server or a client.
//   recv <pipe> <ready> <stop> ack|silent|drop
//        receiving channel; per message: acknowledge with 0x1000 + bytes read, read and never
//        answer, or read and disconnect without answer
//   mute <pipe> <ready> <stop>    opens the pipe as a sender and stays silent until <stop>
//   squat <pipe> <ready> <stop>   creates an instance of <pipe> before anyone else
//   server <suffix> <ready> <stop>
//        a pipe server; prints "C <handle>", "D <handle>", "R <handle> <value>" per owner event,
//        and greets every registration with a SendAll of 0x100 + its handle
//   client <suffix> <ready> <stop> fin|die
//        a pipe client; prints "id <id>" and "N <value>" per notification; at <stop> it
//        unregisters (fin) or ends without a word (die)
// <ready> and <stop> are names of manual-reset events that the test created.
#include "CPipe.h"
#include "CPipeCl.h"
#include "CPipeSv.h"

#include <stdio.h>
#include <stdlib.h>

namespace {

HANDLE g_hStop = NULL;
CPipe g_Channel;
CPipeSv g_Server;
CPipeCl g_Client;
int g_nRecvMode = 0;

void Signal(LPCWSTR lpszName)
{
    HANDLE h = OpenEventW(EVENT_MODIFY_STATE, FALSE, lpszName);
    SetEvent(h);
    CloseHandle(h);
}

void Print(const char* format, DWORD a, DWORD b = 0)
{
    printf(format, a, b);
    fflush(stdout);
}

DWORD OnChannel(LPVOID)
{
    BYTE buf[64];
    DWORD dwRead = 0;
    HANDLE hAbort = g_Channel.GetTerminateEvent();
    if (g_Channel.Receive(buf, sizeof(buf), &dwRead, hAbort) != 0) {
        return 1;
    }
    if (g_nRecvMode == 0) {
        g_Channel.SendAck(0x1000 + dwRead, hAbort);
    } else if (g_nRecvMode == 1) {
        HANDLE waits[2] = { g_hStop, hAbort };
        WaitForMultipleObjects(2, waits, FALSE, INFINITE);
    }
    return 0;
}

void OnServerEvent(LPVOID, PPIPEEVENT pEvt)
{
    if (pEvt->dwEvent == PIPEEVENT_CONNECTED) {
        Print("C %lu\n", pEvt->dwCode);
        const DWORD dwGreeting = 0x100 + pEvt->dwCode;
        DWORD dwAck = 0;
        g_Server.SendAll(&dwGreeting, sizeof(dwGreeting), &dwAck, NULL);
    } else if (pEvt->dwEvent == PIPEEVENT_DISCONNECTED) {
        Print("D %lu\n", pEvt->dwCode);
    } else if (pEvt->dwEvent == PIPEEVENT_DATA) {
        DWORD dwValue = 0;
        g_Server.GetReceivedData(&dwValue, sizeof(dwValue));
        Print("R %lu %lu\n", pEvt->dwCode, dwValue);
    }
}

void OnClientEvent(LPVOID, PPIPEEVENT pEvt)
{
    DWORD dwValue = 0;
    g_Client.GetReceivedData(&dwValue, sizeof(dwValue));
    Print("N %lu\n", dwValue);
}

int RunRecv(wchar_t** argv)
{
    g_nRecvMode = lstrcmpW(argv[5], L"ack") == 0 ? 0 : (lstrcmpW(argv[5], L"silent") == 0 ? 1 : 2);
    if (g_Channel.Initialize(PIPETYPE_SERVER, argv[2], OnChannel, &g_Channel) != 0) {
        return 2;
    }
    Signal(argv[3]);
    WaitForSingleObject(g_hStop, 60000);
    g_Channel.Finalize(NULL);
    return 0;
}

int RunMute(wchar_t** argv)
{
    HANDLE h = CreateFileW(argv[2], GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    if (h == INVALID_HANDLE_VALUE) {
        return 2;
    }
    Signal(argv[3]);
    WaitForSingleObject(g_hStop, 60000);
    CloseHandle(h);
    return 0;
}

int RunSquat(wchar_t** argv)
{
    HANDLE h = CreateNamedPipeW(argv[2], PIPE_ACCESS_DUPLEX, 0, PIPE_UNLIMITED_INSTANCES, 1024, 1024,
                                1000, NULL);
    if (h == INVALID_HANDLE_VALUE) {
        return 2;
    }
    Signal(argv[3]);
    WaitForSingleObject(g_hStop, 60000);
    CloseHandle(h);
    return 0;
}

int RunServer(wchar_t** argv)
{
    if (g_Server.Initialize(argv[2], OnServerEvent, &g_Server) != 0) {
        return 2;
    }
    Signal(argv[3]);
    WaitForSingleObject(g_hStop, 60000);
    g_Server.Finalize(NULL);
    return 0;
}

int RunClient(wchar_t** argv)
{
    DWORD dwId = 0;
    const DWORD dwRet = g_Client.Initialize(1, argv[2], &dwId, OnClientEvent, &g_Client, NULL);
    Print("id %lu %lu\n", dwId, dwRet);
    Signal(argv[3]);
    if (dwRet != 0) {
        return 2;
    }
    WaitForSingleObject(g_hStop, 60000);
    if (lstrcmpW(argv[5], L"die") == 0) {
        ExitProcess(0);
    }
    g_Client.Finalize(NULL);
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 5) {
        return 87;
    }
    g_hStop = OpenEventW(SYNCHRONIZE, FALSE, argv[4]);
    if (lstrcmpW(argv[1], L"recv") == 0 && argc == 6) return RunRecv(argv);
    if (lstrcmpW(argv[1], L"mute") == 0) return RunMute(argv);
    if (lstrcmpW(argv[1], L"squat") == 0) return RunSquat(argv);
    if (lstrcmpW(argv[1], L"server") == 0) return RunServer(argv);
    if (lstrcmpW(argv[1], L"client") == 0 && argc == 6) return RunClient(argv);
    return 87;
}
