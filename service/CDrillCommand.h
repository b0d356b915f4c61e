// The command "/DRILL": asks the running service for a drill, waits for its end, prints the
// report and gives the drill's result (0: a real hibernation would have worked).
#pragma once

#include "CDrillReport.h"

#include <windows.h>

class CDrillCommand {
public:
    static DWORD Run(LPCWSTR lpszServiceName);

private:
    static DWORD SendControl(LPCWSTR lpszServiceName);
    static DWORD WaitForAnswer(DWORD dwLastRequests, DRILLANSWER* pAnswer);
    static DWORD WaitForResult(DWORD dwSerial, LPWSTR lpszText, DWORD cchText);
    static DWORD ResultCeilingMs();
    static void Print(LPCWSTR lpszText);
    static void PrintError(UINT uId, DWORD dwError);
};
