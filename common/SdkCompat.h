// Declarations that the MinGW-w64 headers lack. Guarded so that an MSVC build keeps the SDK's own.
#pragma once

#include <windows.h>

#if defined(__MINGW32__)
#include <wtsapi32.h>

// WTS_INFO_CLASS value for WTSQuerySessionInformationW.
#ifndef WTSSessionInfoEx
#define WTSSessionInfoEx ((WTS_INFO_CLASS)25)
#endif

#ifndef WTS_SESSIONSTATE_LOCK
#define WTS_SESSIONSTATE_UNKNOWN 0xFFFFFFFF
#define WTS_SESSIONSTATE_LOCK    0x00000000
#define WTS_SESSIONSTATE_UNLOCK  0x00000001

typedef struct _WTSINFOEX_LEVEL1_W {
    ULONG SessionId;
    WTS_CONNECTSTATE_CLASS SessionState;
    LONG SessionFlags;
    WCHAR WinStationName[WINSTATIONNAME_LENGTH + 1];
    WCHAR UserName[USERNAME_LENGTH + 1];
    WCHAR DomainName[DOMAIN_LENGTH + 1];
    LARGE_INTEGER LogonTime;
    LARGE_INTEGER ConnectTime;
    LARGE_INTEGER DisconnectTime;
    LARGE_INTEGER LastInputTime;
    LARGE_INTEGER CurrentTime;
    DWORD IncomingBytes;
    DWORD OutgoingBytes;
    DWORD IncomingFrames;
    DWORD OutgoingFrames;
    DWORD IncomingCompressedBytes;
    DWORD OutgoingCompressedBytes;
} WTSINFOEX_LEVEL1_W, *PWTSINFOEX_LEVEL1_W;

typedef union _WTSINFOEX_LEVEL_W {
    WTSINFOEX_LEVEL1_W WTSInfoExLevel1;
} WTSINFOEX_LEVEL_W, *PWTSINFOEX_LEVEL_W;

typedef struct _WTSINFOEXW {
    DWORD Level;
    WTSINFOEX_LEVEL_W Data;
} WTSINFOEXW, *PWTSINFOEXW;
#endif
#endif  // __MINGW32__

// SYSTEM_POWER_STATUS::SystemStatusFlag is called Reserved1 in MinGW-w64.
#if defined(__MINGW32__)
#define MIREL_SYSTEM_STATUS_FLAG(sps) ((sps).Reserved1)
#else
#define MIREL_SYSTEM_STATUS_FLAG(sps) ((sps).SystemStatusFlag)
#endif

// SYSTEM_POWER_CAPABILITIES::HiberFileType, the kind of hibernation file (Windows 10 and later):
// recent SDKs name the byte after DiskSpinDown, MinGW-w64 and older SDKs keep it as spare3[0].
// Earlier Windows versions leave it 0.
#include <stddef.h>
#define MIREL_HIBERFILE_TYPE_OFFSET (offsetof(SYSTEM_POWER_CAPABILITIES, DiskSpinDown) + 1)
static_assert(MIREL_HIBERFILE_TYPE_OFFSET == 0x16, "HiberFileType follows DiskSpinDown");
#define MIREL_HIBERFILE_TYPE(caps) (reinterpret_cast<BYTE*>(&(caps))[MIREL_HIBERFILE_TYPE_OFFSET])
#ifndef HIBERFILE_TYPE_REDUCED
#define HIBERFILE_TYPE_NONE    0x00
#define HIBERFILE_TYPE_REDUCED 0x01  // kept only for fast start-up: cannot hibernate
#define HIBERFILE_TYPE_FULL    0x02
#endif
