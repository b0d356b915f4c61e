// One end of a local named-pipe channel that carries one message per connection, each answered
// with a 4-byte acknowledgement.
// Both ends are one class, as every user holds a channel of either kind through the same type and
// the same calls: the set-up and the sending end are in CPipe.cpp, the receiving end in
// CPipeListen.cpp.
#pragma once

#include "CGlobalLock.h"
#include "CObjectSecurity.h"
#include "CSrwLock.h"
#include "CThread.h"
#include "PipeDefs.h"

#include <windows.h>

// How long one write, read or acknowledgement hand-over may wait for the other end.
const DWORD PIPE_IO_TIMEOUT_MS = 5000;
// How long a receiving end waits for the first bytes of a connection: a sender writes its whole
// message at once, so a connection that stays silent this long is dropped before it holds the
// channel up. Short against the 5 s of a read, yet long enough for a sender starved of the CPU
// for a moment (a logon with every program starting); the other instances serve meanwhile.
const DWORD PIPE_FIRST_BYTES_MS = 2000;
// Instances of a receiving end, each served by a thread of its own: one silent or slow connection
// holds its own instance only, and the others go on serving.
const DWORD PIPE_INSTANCES = 4;
// The limit of every wait for a connection whose process another instance already serves, or
// whose logon session holds PIPE_SESSION_SHARE instances already: a legitimate sender writes at
// once and takes its acknowledgement at once, so only a sender that tries to hold several
// instances by being slow on each is cut short.
const DWORD PIPE_CROWDED_MS = 500;
const DWORD PIPE_SESSION_SHARE = PIPE_INSTANCES - 1;
// A sending end's result when the pipe is served by a process other than the expected one.
const DWORD PIPE_ERROR_FOREIGN_SERVER = ERROR_INVALID_OWNER;
// How long a thread waits for another thread of its process that is sending on the same channel
// (whose connect, write and acknowledgement are bounded themselves).
const DWORD PIPE_LOCK_TIMEOUT_MS = 30000;

class CPipe {
public:
    CPipe();
    virtual ~CPipe();

    // nType PIPETYPE_SERVER listens on lpszPipeName and calls lpFunc(lpData) per connection;
    // PIPETYPE_CLIENT only prepares sending. nSecurity (OBJSEC_SERVICE_PIPE or OBJSEC_OWNER_PIPE)
    // chooses who may connect to a receiving end.
    DWORD Initialize(int nType, LPCWSTR lpszPipeName, LPPIPEFUNC lpFunc, LPVOID lpData,
                     int nSecurity = OBJSEC_SERVICE_PIPE);
    void Finalize(HANDLE hAbortEvent);

    // Sending end: one message; *lpdwRetCode receives the acknowledgement, or after a failure the
    // stage it failed in (PIPEACK_STAGE_...).
    DWORD Send(LPCVOID lpBuf, DWORD dwLen, LPDWORD lpdwRetCode, HANDLE hAbortEvent);
    // Sending end: one frame, a DataHdr { dwCode, dwLen } and the dwLen bytes of lpData.
    DWORD SendFrame(DWORD dwCode, LPCVOID lpData, DWORD dwLen, LPDWORD lpdwRetCode, HANDLE hAbortEvent);
    // Sending end: a request frame carrying lpszText (with its terminator) or the 4 bytes of dwValue.
    DWORD SendRequest(DWORD dwRequest, LPCWSTR lpszText, DWORD dwValue, LPDWORD lpdwRetCode,
                      HANDLE hAbortEvent);
    // Receiving end, inside the callback (on the instance's thread): one read of up to dwLen bytes.
    DWORD Receive(LPVOID lpBuf, DWORD dwLen, LPDWORD lpdwRead, HANDLE hAbortEvent);
    // Receiving end, inside the callback: writes the acknowledgement. Once the callback returns,
    // the instance waits (bounded) until the sender has taken it before it hangs up.
    DWORD SendAck(DWORD dwAck, HANDLE hAbortEvent);

    // Receiving end: set when the channel is finalised; every wait of a callback ends with it.
    HANDLE GetTerminateEvent() const { return m_hStopEvent; }
    LPCWSTR GetPipeName() const { return m_szPipeName; }
    // Receiving end, inside the callback: the process id of the connected sender.
    DWORD GetClientProcessId(PULONG lpulProcessId) const;
    // Receiving end, inside the callback: the logon session of the connected sender, as the
    // pipe tells it (not that of a process id, which may have been reused meanwhile).
    DWORD GetClientSessionId(PULONG lpulSessionId) const;
    // Sending end: the process id of the receiving end of the latest connection (0 before the
    // first). Known from the moment of the connect, before anything is written; readable from any
    // thread.
    DWORD GetServerProcessId() const;
    // Sending end: from now on a message goes only to a pipe served by process dwProcessId;
    // another server is left before anything is written (PIPE_ERROR_FOREIGN_SERVER).
    void SetExpectedServer(DWORD dwProcessId) { m_dwExpectedServer = dwProcessId; }

private:
    CPipe(const CPipe&) = delete;
    CPipe& operator=(const CPipe&) = delete;

    // Set-up and finalisation (CPipe.cpp).
    DWORD SetNameAndLock(LPCWSTR lpszPipeName);
    void Close();
    void InitializeMembers();

    // Sending end (CPipe.cpp).
    DWORD LockIfReady(HANDLE hAbortEvent);
    DWORD Connect(HANDLE hAbortEvent);
    DWORD WaitBusyPipe(HANDLE hAbortEvent, ULONGLONG ullDeadline);
    DWORD ReadAck(LPDWORD lpdwAck, HANDLE hAbortEvent);

    // Receiving end (CPipeListen.cpp).
    // One instance of a receiving end and the thread that serves it. The fields of the connection
    // are written by that thread; ulClientPid and ulClientSession are read by the other
    // instances' threads under m_AdmitLock.
    struct Instance {
        CPipe* pOwner;
        HANDLE hPipe;
        HANDLE hIoEvent;          // the overlapped reads and writes on hPipe
        volatile LONG lThreadId;  // the serving thread, once it runs
        ULONG ulClientPid;        // the connection being served; 0 while none is
        ULONG ulClientSession;
        BOOL bSessionKnown;
        BOOL bCrowded;            // the connection gets PIPE_CROWDED_MS for every wait
        BOOL bAwaitingFirstBytes;
        BOOL bAckWritten;
        CThread thread;
    };

    DWORD Create();
    DWORD CreateMoreInstances(LPSECURITY_ATTRIBUTES lpSa);
    DWORD ReceiveStart();
    static DWORD InstanceThreadProc(LPVOID lpParam);
    DWORD Listen(HANDLE hPipe, OVERLAPPED* pOv);
    DWORD ServeNext(Instance* pInst, OVERLAPPED* pOv);
    void Serve(Instance* pInst);
    void Admit(Instance* pInst);
    void Dismiss(Instance* pInst);
    Instance* Current() const;
    DWORD LimitMs(const Instance* pInst, DWORD dwDefaultMs) const;
    DWORD WaitSenderDone(Instance* pInst);

    Instance m_Instances[PIPE_INSTANCES];
    // Receiving end: set by Finalize; the instances' threads and their callbacks wait on it.
    HANDLE m_hStopEvent;
    // Guards the instances' connection records while a new connection is admitted.
    CSrwLock m_AdmitLock;
    DWORD m_dwExpectedServer;
    HANDLE m_hClient;
    WCHAR m_szPipeName[MAX_PATH];
    int m_nType;
    int m_nSecurity;
    LPPIPEFUNC m_lpFunc;
    LPVOID m_lpData;
    // Serialises this channel's own threads (unnamed: no other process can hold it); across
    // processes the single pipe instance lets one message through at a time.
    CGlobalLock m_Lock;
    BOOL m_bInitialized;
    // Sending end: the event of the overlapped reads and writes, used only while m_Lock is held.
    HANDLE m_hIoEvent;
    // The receiving process of the latest connection (GetServerProcessId).
    mutable volatile LONG m_lServerProcessId;
};
