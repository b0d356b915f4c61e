// Second process for the common runtime's cross-process tests.
//   log <count> <tag>          appends <count> lines "<tag> <n>" through the debug log
//   hold <lock> <event> <ms>   takes the global lock, signals <event>, holds it <ms>, releases it
//   abandon <lock> <event>     takes the global lock, signals <event> and exits holding it
#include "CGlobalLock.h"
#include "CLog.h"

#include <stdlib.h>

int wmain(int argc, wchar_t** argv)
{
    if (argc == 4 && lstrcmpW(argv[1], L"log") == 0) {
        g_Log.Initialize(MIREL_DBGLOG_KEY);
        const int count = _wtoi(argv[2]);
        for (int i = 0; i < count; ++i) {
            g_Log.Trace(0, L"CommonHelper::Log", __LINE__, L"%s %d", argv[3], i);
        }
        g_Log.Finalize();
        return 0;
    }
    if (argc >= 4 && (lstrcmpW(argv[1], L"hold") == 0 || lstrcmpW(argv[1], L"abandon") == 0)) {
        CGlobalLock lock;
        if (lock.Initialize(argv[2], 0) != 0 || lock.Lock(NULL) != 0) {
            return 2;
        }
        HANDLE ready = OpenEventW(EVENT_MODIFY_STATE, FALSE, argv[3]);
        SetEvent(ready);
        CloseHandle(ready);
        if (lstrcmpW(argv[1], L"abandon") == 0) {
            ExitProcess(0);
        }
        Sleep(argc == 5 ? _wtoi(argv[4]) : 0);
        return lock.Unlock() == 0 ? 0 : 3;
    }
    return 87;
}
