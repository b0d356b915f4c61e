// Switching the debug log on for a test and reading back what the programs wrote.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace testsupport {

// Sets the DbgLog settings (a file of its own in the common application-data folder, and the
// service's of the same name in its protected folder there) and removes both files; restores "no
// DbgLog key" on destruction.
class ScopedLogSettings {
public:
    ScopedLogSettings(const std::wstring& fileName, DWORD logForm, DWORD logLevel);
    ~ScopedLogSettings();

    const std::wstring& Path() const { return m_path; }
    const std::wstring& ServicePath() const { return m_servicePath; }
    // The shared file's bytes; empty when it does not exist.
    std::string Bytes() const;
    // The lines of both files (BOM and "\r\n" removed), merged in the order of their time stamps.
    std::vector<std::wstring> Lines() const;
    // True when some line contains the text.
    bool Contains(const std::wstring& text) const;
    // Waits until some line contains the text (at most Patient(timeoutMs)); true when it appeared.
    bool WaitFor(const std::wstring& text, DWORD timeoutMs) const;
    // Prints the last lines to stdout, for a failure report.
    void PrintTail(size_t count) const;

private:
    std::wstring m_path;
    std::wstring m_servicePath;
};

// Full path of a file in the service's log folder.
std::wstring ServiceLogPath(const std::wstring& fileName);
// The lines of a log file (BOM and "\r\n" removed).
std::vector<std::wstring> LogFileLines(const std::wstring& path);

// Milliseconds of the day at which a debug-log line was written (its time stamp); -1 for a line
// without one.
long LoggedMs(const std::wstring& line);

// Full path of a file in the common application-data folder.
std::wstring CommonAppDataPath(const std::wstring& fileName);
std::string ReadFileBytes(const std::wstring& path);

}  // namespace testsupport
