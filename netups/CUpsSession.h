// One conversation with the UPS server over an IUpsSocket: connect, log in when a user is set
// (so the serving machine counts this PC among those it waits for before cutting the power),
// read the three variables, and log out. Each step answers with the failure the link rules weigh
// and the word that explains it (the server's ERR word or our own).
#pragma once

#include "CUpsTarget.h"
#include "IUpsSocket.h"
#include "NetUpsTypes.h"

#include <string>

class CUpsSession {
public:
    CUpsSession(IUpsSocket& socket, const CUpsTarget& target, const std::string& user,
                const std::string& password);

    // Connects and logs in; on failure the connection is closed.
    UpsFailure Open(std::string& word);
    // Reads ups.status, battery.charge and battery.runtime; on failure the connection is closed.
    UpsFailure Poll(UpsReading& reading, std::string& word);
    // Says LOGOUT (its answer bounded by dwTimeoutMs) and closes.
    void Close(DWORD dwTimeoutMs);
    bool IsOpen() const { return m_bOpen; }

    // The failure an ERR word stands for; UpsFailNone for the words that mean "done already".
    static UpsFailure FailureOf(const std::string& errWord);
    // lpszValue as one argument: as it stands when plain, else quoted with backslash escapes.
    static std::string Argument(const std::string& value);

private:
    CUpsSession(const CUpsSession&) = delete;
    CUpsSession& operator=(const CUpsSession&) = delete;

    // Sends request and expects OK.
    UpsFailure Command(const std::string& request, std::string& word);
    // GET VAR lpszVar; VAR-NOT-SUPPORTED gives an empty value and UpsFailNone.
    UpsFailure GetVar(const char* lpszVar, std::string& value, std::string& word);
    // Sends request and receives its reply line; a socket error becomes our own word.
    UpsFailure Exchange(const std::string& request, std::string& reply, std::string& word);
    UpsFailure Drop(UpsFailure failure);

    IUpsSocket& m_Socket;
    const CUpsTarget& m_Target;
    std::string m_User;
    std::string m_Password;
    bool m_bOpen;
};
