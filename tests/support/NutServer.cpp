#include "NutServer.h"

#include "CUpsSession.h"
#include "CUpsSocket.h"

namespace testsupport {

namespace {

const DWORD kCeilingMs = 30000;

}  // namespace

NutServer::NutServer()
{
    WCHAR szPort[16] = L"";
    WCHAR szCtl[MAX_PATH] = L"";
    if (!::GetEnvironmentVariableW(L"MIREL_NUT_PORT", szPort, 16) ||
        !::GetEnvironmentVariableW(L"MIREL_NUT_CTL", szCtl, MAX_PATH)) {
        return;
    }
    m_Port = szPort;
    m_Ctl = L"Z:" + std::wstring(szCtl);
    for (WCHAR& c : m_Ctl) {
        c = (c == L'/') ? L'\\' : c;
    }
}

bool NutServer::Set(const char* lpszVar, const char* lpszValue) const
{
    CUpsSocket socket(NULL);
    const std::string port(m_Port.begin(), m_Port.end());
    const std::string requests[] = {"USERNAME admin", "PASSWORD adminpw",
                                    std::string("SET VAR dummy ") + lpszVar + " " + CUpsSession::Argument(lpszValue)};
    bool bOk = socket.Connect("127.0.0.1", static_cast<WORD>(std::stoi(port)), 5000) == ERROR_SUCCESS;
    for (const std::string& request : requests) {
        std::string line;
        bOk = bOk && socket.SendLine(request, 5000) == ERROR_SUCCESS &&
              socket.ReceiveLine(line, 5000) == ERROR_SUCCESS && line == "OK";
    }
    return bOk;
}

bool NutServer::Control(const char* lpszCommand) const
{
    const std::wstring name = m_Ctl + L"\\c" + std::to_wstring(::GetTickCount64());
    HANDLE hFile = ::CreateFileW((name + L".tmp").c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    DWORD cbWritten = 0;
    ::WriteFile(hFile, lpszCommand, static_cast<DWORD>(strlen(lpszCommand)), &cbWritten, NULL);
    ::CloseHandle(hFile);
    ::MoveFileW((name + L".tmp").c_str(), (name + L".cmd").c_str());
    for (ULONGLONG ullEnd = ::GetTickCount64() + kCeilingMs; ::GetTickCount64() < ullEnd; ::Sleep(100)) {
        if (::DeleteFileW((name + L".done").c_str())) {
            return true;
        }
    }
    return false;
}

bool NutServer::Reset() const
{
    return Control("start") && Set("ups.status", "OL") && Set("battery.charge", "100") &&
           Set("battery.runtime", "1800");
}

}  // namespace testsupport
