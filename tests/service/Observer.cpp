#include "Observer.h"

#include "CPipeCl.h"
#include "Notify.h"
#include "PipeDefs.h"

#include <windows.h>
#include <shlobj.h>
#include <stdio.h>

#include <mutex>
#include <string>

namespace {

std::wstring g_recordPath;
std::mutex g_recordLock;

// The pipe's thread records notifications while the main thread records the handle. The C
// runtime's append seeks to the end and then writes: unserialised, one line could overwrite the
// start of the other, and the test would never read the handle.
void Record(const std::string& line)
{
    std::lock_guard<std::mutex> lock(g_recordLock);
    FILE* fp = _wfopen(g_recordPath.c_str(), L"ab");
    if (fp != NULL) {
        fprintf(fp, "%s\n", line.c_str());
        fclose(fp);
    }
}

std::string Words(const BYTE* data, DWORD size)
{
    std::string line;
    for (DWORD i = 0; i + 4 <= size; i += 4) {
        char word[12];
        sprintf(word, "%s%08lx", i ? " " : "", *reinterpret_cast<const unsigned long*>(data + i));
        line += word;
    }
    return line;
}

struct Observer {
    CPipeCl client;
};

void OnNotify(LPVOID data, PPIPEEVENT event)
{
    BYTE body[64] = {};
    const DWORD size = event->dwDataSize < sizeof(body) ? event->dwDataSize : sizeof(body);
    static_cast<Observer*>(data)->client.GetReceivedData(body, size);
    Record(Words(body, size));
}

HANDLE MakeEvent(const std::wstring& tag, const wchar_t* what)
{
    return CreateEventW(NULL, FALSE, FALSE, ObserverEventName(tag, what).c_str());
}

int RunObserver(const std::wstring& tag)
{
    HANDLE events[3] = { MakeEvent(tag, L"quit"), MakeEvent(tag, L"resume"),
                         MakeEvent(tag, L"resume8") };
    Observer observer;
    DWORD id = 0;
    const DWORD ret = observer.client.Initialize(1, MIREL_PIPE_SUFFIX, &id, OnNotify, &observer, NULL);
    if (ret != 0) {
        Record("error " + std::to_string(ret));
        return static_cast<int>(ret);
    }
    Record("id " + std::to_string(id));
    for (;;) {
        const DWORD wait = WaitForMultipleObjects(3, events, FALSE, INFINITE);
        if (wait == WAIT_OBJECT_0 + 1 || wait == WAIT_OBJECT_0 + 2) {
            const DWORD body[2] = { REQUEST_RESUME_CHECK, 0 };
            DWORD ack = 0;
            observer.client.Send(body, wait == WAIT_OBJECT_0 + 1 ? 4 : 8, &ack, NULL);
        } else {
            break;
        }
    }
    observer.client.Finalize(NULL);
    return 0;
}

// Registers the notification pipe by hand and then sits on the first connection forever.
int RunHung()
{
    wchar_t name[64];
    swprintf(name, 64, L"%ls%ls%08x", PIPE_DATA_PREFIX, MIREL_PIPE_SUFFIX, GetCurrentProcessId());
    HANDLE pipe = CreateNamedPipeW(name, PIPE_ACCESS_DUPLEX, 0, 1, 1024, 1024, 1000, NULL);
    if (pipe == INVALID_HANDLE_VALUE) {
        Record("error pipe");
        return 1;
    }
    std::string frame(8 + (wcslen(name) + 1) * 2, '\0');
    DataHdr hdr = { PIPEREQUEST_CONNECT, static_cast<DWORD>(frame.size() - 8) };
    memcpy(&frame[0], &hdr, 8);
    memcpy(&frame[8], name, frame.size() - 8);
    DWORD id = 0, done = 0;
    HANDLE ctrl = INVALID_HANDLE_VALUE;
    // Other applications may be registering at the same moment: wait for the pipe while busy.
    for (int i = 0; i < 100 && ctrl == INVALID_HANDLE_VALUE; ++i) {
        ctrl = CreateFileW(PIPE_CTRL_PREFIX MIREL_PIPE_SUFFIX, GENERIC_READ | GENERIC_WRITE, 0, NULL,
                           OPEN_EXISTING, 0, NULL);
        if (ctrl == INVALID_HANDLE_VALUE && GetLastError() == ERROR_PIPE_BUSY) {
            WaitNamedPipeW(PIPE_CTRL_PREFIX MIREL_PIPE_SUFFIX, 100);
        }
    }
    if (ctrl == INVALID_HANDLE_VALUE ||
        !WriteFile(ctrl, frame.data(), static_cast<DWORD>(frame.size()), &done, NULL) ||
        !ReadFile(ctrl, &id, sizeof(id), &done, NULL)) {
        Record("error register");
        return 2;
    }
    CloseHandle(ctrl);
    Record("id " + std::to_string(id));
    ConnectNamedPipe(pipe, NULL);
    Record("hung");
    Sleep(INFINITE);
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 2) {
        return 87;
    }
    if (argc >= 4 && lstrcmpW(argv[2], L"signal") == 0) {
        HANDLE event = OpenEventW(EVENT_MODIFY_STATE, FALSE, ObserverEventName(argv[1], argv[3]).c_str());
        const BOOL set = event != NULL && SetEvent(event);
        if (event != NULL) CloseHandle(event);
        return set ? 0 : 2;
    }
    WCHAR folder[MAX_PATH];
    SHGetSpecialFolderPathW(NULL, folder, CSIDL_COMMON_APPDATA, FALSE);
    g_recordPath = std::wstring(folder) + L"\\" + ObserverRecordName(argv[1]);
    DeleteFileW(g_recordPath.c_str());
    return (argc >= 3 && lstrcmpW(argv[2], L"hung") == 0) ? RunHung() : RunObserver(argv[1]);
}
