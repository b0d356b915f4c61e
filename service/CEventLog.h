// The service's entries in the Windows Application log, under its own event source. The texts
// live in the program's message table (MIRELMSG.mc); an entry carries at most one insertion.
#pragma once

#include "ScopedHandle.h"

#include <windows.h>

class CEventLog {
public:
    // Opening never fails the service: without a source, Report does nothing.
    void Open(LPCWSTR lpszSource);
    void Close();

    // The entry's type follows the severity bits of the message id.
    void Report(DWORD dwMessageId, LPCWSTR lpszInsert = NULL);
    // An entry whose insertion is a number, such as an error code.
    void Report(DWORD dwMessageId, DWORD dwValue);

private:
    ScopedEventSource m_Source;
};
