// The alarm on AC loss: beeps in the pitch, length, pause and number the settings give, read at
// each alarm. It holds the calling thread for its whole length (at most 10 x (2 + 1) s).
#pragma once

#include <windows.h>

class CAlarm {
public:
    // Reads the settings and rings; returns the number of beeps rung.
    static DWORD Ring();
};
