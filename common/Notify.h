// Messages between the service and the tray applications: the body of one pipe message is a
// 32-bit code (NOTIFY_S4_FAILED carries a second 32-bit value, the system error code). What each
// code means, to the service's queue and to the application, is its row in CNotifyTable.
#pragma once

#include <windows.h>

enum : DWORD {
    NOTIFY_AC_LOST = 0x01,
    NOTIFY_RESUMED = 0x02,
    NOTIFY_S4_DISABLED = 0x03,
    NOTIFY_S4_FAILED = 0x04,
    NOTIFY_AC_RESTORED = 0x05,
    NOTIFY_HIBERNATING = 0x06,
    NOTIFY_S4_ENABLED = 0x08,
    NOTIFY_BATTERY_LOW = 0x11,
    NOTIFY_BATTERY_OK = 0x12,
    NOTIFY_SERVICE_STOPPED = 0x21,
    NOTIFY_SERVICE_RUNNING = 0x22,  // produced inside the tray application only
    NOTIFY_NO_BATTERY = 0x31,
    NOTIFY_BATTERY_PRESENT = 0x32,
};

// The requests of a tray application to the service, on the data pipe.
enum : DWORD {
    REQUEST_RESUME_CHECK = 7,
    // Changes nothing in the service: the data pipe acknowledges a request with PIPEACK_OK only
    // for a live registration of its sender (PIPEACK_REJECTED otherwise), and that answer is all
    // the application asks for.
    REQUEST_CONFIRM = 8,
};

// The suffix of the service's pipe names.
#define MIREL_PIPE_SUFFIX L"MIRELPIPE"
