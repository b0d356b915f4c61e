// What the network UPS client reports: the link to the server, the UPS's line and charge as last
// read, and the snapshot the monitor's readers copy under its lock.
#pragma once

#include <windows.h>

// The state of the link to the UPS server. Only UpsLinkOnline and UpsLinkHolding carry the UPS's
// values; in every other state the readers fall back to the local probes.
enum UpsLink {
    UpsLinkStarting,     // no answer yet since the monitor started
    UpsLinkOnline,       // the values are current
    UpsLinkHolding,      // lost while on battery: the values are held, critical after the dead time
    UpsLinkLost,         // lost (or stale) while on line
    UpsLinkUnreachable,  // never reached since the start: refused, no route, no answer in time
    UpsLinkDenied,       // the server refused our user, password or login
    UpsLinkUnknownUps,   // the server does not serve that UPS name
};

// The line as the UPS reports it in ups.status.
enum UpsLine {
    UpsLineUnknown,
    UpsLineOn,   // OL
    UpsLineOff,  // OB (also when OL and OB come together), or FSD: the output is about to go
};

#define NETUPS_DEFAULT_PORT 3493
#define NETUPS_MAX_LINE 512       // longest reply line we accept, without its line end
#define NETUPS_MAX_STATUS 64      // raw status words kept, terminator included
#define NETUPS_MAX_ERROR 48       // last error word kept, terminator included
#define NETUPS_UNKNOWN (-1)       // percent or runtime not known

// One reading of the UPS: what a round of GET VAR gave.
struct UpsReading {
    UpsLine line;
    bool bCritical;  // LB or FSD
    int nPercent;    // 0-100 or NETUPS_UNKNOWN
    int nRuntime;    // seconds, 0-65534, or NETUPS_UNKNOWN
    WCHAR szStatus[NETUPS_MAX_STATUS];
};

// What readers of the monitor see; copied whole under a short lock.
struct NetUpsSnapshot {
    UpsLink link;
    bool bLineOff;   // the UPS runs on its battery (held while UpsLinkHolding)
    bool bCritical;  // LB or FSD, or held on battery past the dead time
    int nPercent;
    int nRuntime;
    WCHAR szStatus[NETUPS_MAX_STATUS];  // the raw ups.status words, cut to fit
    WCHAR szError[NETUPS_MAX_ERROR];    // the last error: a server ERR word or our own word
};

// Why a round with the server failed, as the link rules weigh it.
enum UpsFailure {
    UpsFailNone,
    UpsFailUnreachable,  // no connection: refused, no route, no answer to the connect in time
    UpsFailLost,         // connection lost, no answer in time, stale data, a broken reply
    UpsFailDenied,       // user, password or login refused
    UpsFailUnknownUps,   // the server does not know the UPS
};

// The pace of the monitor, in milliseconds.
#define NETUPS_POLL_MS 2000      // between two rounds of readings
#define NETUPS_RETRY_MS 5000     // between two attempts after a failure
#define NETUPS_TIMEOUT_MS 5000   // for a connect and for each answer
#define NETUPS_DEADTIME_DEFAULT 15
#define NETUPS_DEADTIME_MIN 5
#define NETUPS_DEADTIME_MAX 300
