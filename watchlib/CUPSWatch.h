// AC-line watcher: waits out the flicker time, signals AC loss, then after the hibernate wait
// signals S4; or signals AC-on when the line is back. After the flicker wait it polls the source
// every 500 ms and signals S4 early when its runtime reaches the reserve, when it reports itself
// critical, or 15 s after a USB UPS vanished (CEarlyS4Rules). The poll reads snapshots only: the
// network UPS's while its link is in force, else what the battery-level watcher last read.
// A network UPS that is critical ends the flicker wait at once.
#pragma once

#include "CEarlyS4Rules.h"
#include "CNetSource.h"
#include "CSourceSnapshot.h"
#include "CSrwLock.h"
#include "CWatch.h"
#include "MIRELAPI.h"

class CUPSWatch : public CWatch {
public:
    CUPSWatch(CSourceSnapshot& snapshot, const CNetSource& net);
    virtual ~CUPSWatch();

    // Judges the line: on, it stops a running watch and signals AC-on; off, it keeps a running
    // watch with its deadline, or starts a new one when none runs. A line that reads on because
    // the UPS in use vanished during the loss keeps the watch as well.
    DWORD Initialize(LPWATCHDATA lpUPSData);
    // Stops the watch without a signal; the next Initialize with the line off begins anew.
    void Finalize();
    // A reading of the battery in use and the local line now (device I/O).
    DWORD ReadSource(LPWATCHSOURCE lpSource);
    static DWORD ThreadProc(LPVOID lParam);

    // The runtime reserve in seconds (0: off), taken by every watch from its next poll on.
    static void SetRuntimeReserve(DWORD dwSeconds);
    // Why the latest S4 signal came and the runtime seen then. Never waits.
    static void GetS4Cause(LPDWORD lpdwCause, LPDWORD lpdwRuntime);

protected:
    // The network UPS's line while its link is in force.
    BOOL ReadOtherLine(LPBOOL pbLineOff) override;

private:
    static bool OnThreadTimer(LPVOID lpData, UINT_PTR uTimerId);
    // Handles one timer message; returns false when the watch is over.
    bool OnTimer(UINT_PTR uId);
    bool OnFlickerEnd();
    bool OnPoll();
    // In the flicker wait: ends it at once for a critical network UPS.
    bool OnFlickerPoll();
    BOOL IsNetCritical() const;
    // Sets the early timer for the rules' deadline when it changed.
    void ArmEarlyTimer(ULONGLONG ullElapsedMs);
    void SignalS4(DWORD dwCause);
    // FALSE when there is nothing new to judge.
    BOOL ReadPoll(S4POLL& poll, ULONGLONG ullNowMs);
    void CopySettings(const WATCHDATA& data);
    void SetWatching(BOOL bWatching);
    BOOL IsLineStillOff();
    // In the hibernate wait with a UPS in use that is not there now. Caller holds m_StateLock.
    BOOL IsUpsGoneDuringLoss();

    CSourceSnapshot& m_Snapshot;
    const CNetSource& m_Net;
    ULONGLONG m_ullSnapshotSeq;   // the snapshot reading last fed (watch thread only)
    HANDLE m_hACLossEvent;
    HANDLE m_hS4Event;
    HANDLE m_hACOnEvent;
    DWORD m_dwPowerFlickerTime;
    DWORD m_dwHibernateAfter;
    DWORD m_dwAlarmTime;
    DWORD m_dwShowBalloonWait;
    // TRUE from the start of a watch thread until it has decided to end. Guarded by m_StateLock,
    // which also makes the line judgements of a start request and of the flicker end one at a time,
    // and keeps the battery object to one user at a time.
    BOOL m_bWatching;
    // The watch is in the hibernate wait, and the battery in use then was a UPS. m_StateLock.
    BOOL m_bHibernateStage;
    BOOL m_bStageUps;
    CSrwLock m_StateLock;
    // The thread's timer ids, 0 when not running; touched by the watch thread only, as are the
    // rules and the times below.
    UINT_PTR m_uFlickerTimer;
    UINT_PTR m_uHibernateTimer;
    UINT_PTR m_uPollTimer;
    UINT_PTR m_uEarlyTimer;
    CEarlyS4Rules m_Rules;
    ULONGLONG m_ullStageStartMs;  // tick count at the flicker wait's end
    ULONGLONG m_ullEarlyAtMs;     // the rules' deadline the early timer runs for

    static volatile LONG s_lReserveSec;
    // Cause in the high half, runtime in the low half: one interlocked value, read without a lock.
    static volatile LONG64 s_llS4Cause;
};
