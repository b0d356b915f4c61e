#include "CUpsSession.h"

#include "CUpsReply.h"
#include "CUpsValues.h"

namespace {

// The server's words for a refused user or login, and for steps that were done already.
const char* const kDeniedWords[] = {"ACCESS-DENIED", "INVALID-USERNAME", "INVALID-PASSWORD",
                                    "USERNAME-REQUIRED", "PASSWORD-REQUIRED"};
const char* const kDoneWords[] = {"ALREADY-LOGGED-IN", "ALREADY-SET-USERNAME", "ALREADY-SET-PASSWORD"};

bool IsOneOf(const std::string& word, const char* const* lpWords, size_t cWords)
{
    for (size_t i = 0; i < cWords; ++i) {
        if (word == lpWords[i]) {
            return true;
        }
    }
    return false;
}

}  // namespace

CUpsSession::CUpsSession(IUpsSocket& socket, const CUpsTarget& target, const std::string& user,
                         const std::string& password)
    : m_Socket(socket), m_Target(target), m_User(user), m_Password(password), m_bOpen(false)
{
}

UpsFailure CUpsSession::FailureOf(const std::string& errWord)
{
    if (IsOneOf(errWord, kDeniedWords, sizeof(kDeniedWords) / sizeof(kDeniedWords[0]))) {
        return UpsFailDenied;
    }
    if (IsOneOf(errWord, kDoneWords, sizeof(kDoneWords) / sizeof(kDoneWords[0]))) {
        return UpsFailNone;
    }
    // DATA-STALE, DRIVER-NOT-CONNECTED and any word we do not know: the readings cannot be had.
    return (errWord == "UNKNOWN-UPS") ? UpsFailUnknownUps : UpsFailLost;
}

std::string CUpsSession::Argument(const std::string& value)
{
    if (!value.empty() && value.find_first_of(" \"\\") == std::string::npos) {
        return value;
    }
    std::string quoted = "\"";
    for (size_t i = 0; i < value.size(); ++i) {
        if (value[i] == '"' || value[i] == '\\') {
            quoted += '\\';
        }
        quoted += value[i];
    }
    return quoted + "\"";
}

UpsFailure CUpsSession::Drop(UpsFailure failure)
{
    m_Socket.Close();
    m_bOpen = false;
    return failure;
}

UpsFailure CUpsSession::Open(std::string& word)
{
    Close(0);
    const DWORD dwRet = m_Socket.Connect(m_Target.GetHost(), m_Target.GetPort(), NETUPS_TIMEOUT_MS);
    if (dwRet != ERROR_SUCCESS) {
        word = (dwRet == ERROR_TIMEOUT) ? "CONNECT-TIMEOUT" : "CONNECT-FAILED";
        return Drop(UpsFailUnreachable);
    }
    m_bOpen = true;
    if (m_User.empty()) {
        return UpsFailNone;
    }
    UpsFailure failure = Command("USERNAME " + Argument(m_User), word);
    if (failure == UpsFailNone) {
        failure = Command("PASSWORD " + Argument(m_Password), word);
    }
    if (failure == UpsFailNone) {
        failure = Command(std::string("LOGIN ") + m_Target.GetUpsName(), word);
    }
    return (failure == UpsFailNone) ? failure : Drop(failure);
}

UpsFailure CUpsSession::Poll(UpsReading& reading, std::string& word)
{
    std::string status;
    std::string charge;
    std::string runtime;
    UpsFailure failure = GetVar("ups.status", status, word);
    if (failure == UpsFailNone) {
        failure = GetVar("battery.charge", charge, word);
    }
    if (failure == UpsFailNone) {
        failure = GetVar("battery.runtime", runtime, word);
    }
    if (failure != UpsFailNone) {
        return Drop(failure);
    }
    CUpsValues::ParseStatus(status, reading);
    reading.nPercent = CUpsValues::ParseCharge(charge);
    reading.nRuntime = CUpsValues::ParseRuntime(runtime);
    return UpsFailNone;
}

void CUpsSession::Close(DWORD dwTimeoutMs)
{
    if (m_bOpen && dwTimeoutMs != 0 && m_Socket.SendLine("LOGOUT", dwTimeoutMs) == ERROR_SUCCESS) {
        std::string reply;
        m_Socket.ReceiveLine(reply, dwTimeoutMs);
    }
    Drop(UpsFailNone);
}

UpsFailure CUpsSession::Command(const std::string& request, std::string& word)
{
    std::string line;
    const UpsFailure failure = Exchange(request, line, word);
    if (failure != UpsFailNone) {
        return failure;
    }
    CUpsReply reply;
    switch (reply.Parse(line, NULL, NULL)) {
    case UpsReplyOk:
        return UpsFailNone;
    case UpsReplyErr:
        word = reply.GetText();
        return FailureOf(word);
    default:
        word = "BAD-REPLY";
        return UpsFailLost;
    }
}

UpsFailure CUpsSession::GetVar(const char* lpszVar, std::string& value, std::string& word)
{
    std::string line;
    const UpsFailure failure =
        Exchange(std::string("GET VAR ") + m_Target.GetUpsName() + " " + lpszVar, line, word);
    if (failure != UpsFailNone) {
        return failure;
    }
    CUpsReply reply;
    switch (reply.Parse(line, m_Target.GetUpsName(), lpszVar)) {
    case UpsReplyVar:
        value = reply.GetText();
        return UpsFailNone;
    case UpsReplyErr:
        word = reply.GetText();
        // A UPS without the variable: its value stays unknown.
        if (word == "VAR-NOT-SUPPORTED") {
            value.clear();
            return UpsFailNone;
        }
        return (FailureOf(word) == UpsFailNone) ? UpsFailLost : FailureOf(word);
    default:
        word = "BAD-REPLY";
        return UpsFailLost;
    }
}

UpsFailure CUpsSession::Exchange(const std::string& request, std::string& reply, std::string& word)
{
    if (!m_bOpen) {
        word = "NOT-CONNECTED";
        return UpsFailLost;
    }
    DWORD dwRet = m_Socket.SendLine(request, NETUPS_TIMEOUT_MS);
    if (dwRet == ERROR_SUCCESS) {
        dwRet = m_Socket.ReceiveLine(reply, NETUPS_TIMEOUT_MS);
    }
    if (dwRet == ERROR_SUCCESS) {
        return UpsFailNone;
    }
    word = (dwRet == ERROR_TIMEOUT) ? "NO-ANSWER"
           : (dwRet == ERROR_INVALID_DATA) ? "BAD-LINE"
                                           : "CONNECTION-LOST";
    return UpsFailLost;
}
