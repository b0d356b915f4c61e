#include "TestLog.h"

#include "CLog.h"
#include "TestProcess.h"
#include "TestRegistry.h"

#include <shlobj.h>
#include <stdio.h>

#include <algorithm>

namespace testsupport {

namespace {

const wchar_t kDbgLogKey[] = L"Software\\Orvane\\OrvaneMirel\\DbgLog";

}  // namespace

std::wstring CommonAppDataPath(const std::wstring& fileName)
{
    WCHAR folder[MAX_PATH];
    ::SHGetSpecialFolderPathW(NULL, folder, CSIDL_COMMON_APPDATA, FALSE);
    return std::wstring(folder) + L"\\" + fileName;
}

std::string ReadFileBytes(const std::wstring& path)
{
    std::string bytes;
    // The debug log opens its file without sharing for each line it writes: a read that comes
    // in between waits for the writer rather than seeing an empty file.
    HANDLE h = INVALID_HANDLE_VALUE;
    for (int attempt = 0; attempt < 200; ++attempt) {
        h = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                          OPEN_EXISTING, 0, NULL);
        if (h != INVALID_HANDLE_VALUE || ::GetLastError() != ERROR_SHARING_VIOLATION) break;
        ::Sleep(5);
    }
    if (h == INVALID_HANDLE_VALUE) {
        return bytes;
    }
    char buf[65536];
    DWORD n = 0;
    while (::ReadFile(h, buf, sizeof(buf), &n, NULL) && n > 0) {
        bytes.append(buf, n);
    }
    ::CloseHandle(h);
    return bytes;
}

std::wstring ServiceLogPath(const std::wstring& fileName)
{
    return CommonAppDataPath(L"MirelLog\\" + fileName);
}

ScopedLogSettings::ScopedLogSettings(const std::wstring& fileName, DWORD logForm, DWORD logLevel)
    : m_path(CommonAppDataPath(fileName)), m_servicePath(ServiceLogPath(fileName))
{
    for (const std::wstring& path : { m_path, m_servicePath, m_servicePath + L".1" }) {
        ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        ::DeleteFileW(path.c_str());
    }
    SetRegString(kDbgLogKey, L"filename", fileName);
    SetRegDword(kDbgLogKey, L"logform", logForm);
    SetRegDword(kDbgLogKey, L"loglevel", logLevel);
}

ScopedLogSettings::~ScopedLogSettings()
{
    DeleteRegTree(kDbgLogKey);
}

std::string ScopedLogSettings::Bytes() const
{
    return ReadFileBytes(m_path);
}

std::vector<std::wstring> ScopedLogSettings::Lines() const
{
    std::vector<std::wstring> lines = LogFileLines(m_path);
    const std::vector<std::wstring> service = LogFileLines(m_servicePath);
    lines.insert(lines.end(), service.begin(), service.end());
    // Stamps are of fixed width: their text sorts as their times do.
    std::stable_sort(lines.begin(), lines.end(), [](const std::wstring& a, const std::wstring& b) {
        return a.compare(0, 25, b, 0, 25) < 0;
    });
    return lines;
}

std::vector<std::wstring> LogFileLines(const std::wstring& path)
{
    const std::string bytes = ReadFileBytes(path);
    std::wstring text(bytes.size() / 2, L'\0');
    memcpy(&text[0], bytes.data(), text.size() * 2);
    if (!text.empty() && text[0] == 0xFEFF) {
        text.erase(0, 1);
    }
    std::vector<std::wstring> lines;
    size_t start = 0;
    for (size_t pos; (pos = text.find(L"\r\n", start)) != std::wstring::npos; start = pos + 2) {
        lines.push_back(text.substr(start, pos - start));
    }
    if (start < text.size()) {
        lines.push_back(text.substr(start));
    }
    return lines;
}

bool ScopedLogSettings::Contains(const std::wstring& text) const
{
    // What this process logged before the check must be in the file: its writer works apart.
    g_Log.Flush(Patient(5000));
    for (const std::wstring& line : Lines()) {
        if (line.find(text) != std::wstring::npos) {
            return true;
        }
    }
    return false;
}

bool ScopedLogSettings::WaitFor(const std::wstring& text, DWORD timeoutMs) const
{
    const ULONGLONG deadline = NowMs() + Patient(timeoutMs);
    do {
        if (Contains(text)) {
            return true;
        }
        ::Sleep(20);
    } while (NowMs() < deadline);
    return Contains(text);
}

void ScopedLogSettings::PrintTail(size_t count) const
{
    const std::vector<std::wstring> lines = Lines();
    for (size_t i = lines.size() > count ? lines.size() - count : 0; i < lines.size(); ++i) {
        printf("  | %ls\n", lines[i].c_str());
    }
}

long LoggedMs(const std::wstring& line)
{
    int h = 0, m = 0, s = 0, ms = 0;
    return swscanf(line.c_str(), L"[%*d/%*d/%*d %d:%d:%d.%d]", &h, &m, &s, &ms) == 4
               ? ((h * 60 + m) * 60 + s) * 1000L + ms
               : -1;
}

}  // namespace testsupport
