// MIRELAPP.exe run as a process beside the installed service: starting it, reaching its window,
// and reading what it wrote to the shared debug log. What Wine never sends (session changes,
// "TaskbarCreated", notifications with a chosen code) is posted to its window.
#pragma once

#include "CMainWnd.h"
#include "RunningService.h"

#include <list>
#include <string>
#include <vector>

namespace traytest {

using namespace servicetest;

class TrayApp : public RunningService {
protected:
    void TearDown() override
    {
        if (HasFailure()) {
            // The application's side of the story.
            for (const std::wstring& line : log.Lines()) {
                if (line.find(L"[CMainWnd::") != std::wstring::npos || line.find(L"[CServiceLink::") != std::wstring::npos ||
                    line.find(L"[CAlertView::") != std::wstring::npos ||
                    line.find(L"[CNotifyIcon::NotifyIcon]") != std::wstring::npos) {
                    wprintf(L"  | %ls\n", line.c_str());
                }
            }
        }
        for (ChildProcess& app : apps) {
            if (app.Handle() != NULL && app.Wait(0) == STILL_ACTIVE) PostToApp(WM_ENDSESSION, TRUE, 0);
            app.Wait(8000);  // removing the last tray icon can take 4 s under Xvfb
        }
        RunningService::TearDown();
    }

    ChildProcess& StartApp()
    {
        apps.emplace_back();
        apps.back().Start(L"\"" + ProgramPath(L"MIRELAPP.exe") + L"\"");
        return apps.back();
    }
    static HWND AppWindow(DWORD ms = 5000)
    {
        HWND hWnd = NULL;
        WaitUntilTrue([&] { return (hWnd = FindWindowW(L"Parvex", NULL)) != NULL; }, ms);
        return hWnd;
    }
    static bool PostToApp(UINT msg, WPARAM wParam, LPARAM lParam)
    {
        HWND hWnd = AppWindow();
        return hWnd != NULL && PostMessageW(hWnd, msg, wParam, lParam);
    }
    size_t LogCount(const std::wstring& text)
    {
        size_t n = 0;
        for (const std::wstring& line : log.Lines()) n += line.find(text) != std::wstring::npos;
        return n;
    }
    bool WaitForLogCount(const std::wstring& text, size_t count, DWORD ms)
    {
        return WaitUntilTrue([&] { return LogCount(text) >= count; }, ms);
    }

    // The message boxes the application has open, oldest first.
    std::vector<HWND> AppBoxes()
    {
        struct Search { DWORD pid; std::vector<HWND> boxes; } search = { apps.front().Id(), {} };
        EnumWindows([](HWND hWnd, LPARAM lParam) -> BOOL {
            Search* p = reinterpret_cast<Search*>(lParam);
            DWORD pid = 0;
            wchar_t cls[64] = L"";
            GetWindowThreadProcessId(hWnd, &pid);
            if (pid == p->pid && GetClassNameW(hWnd, cls, 64) && lstrcmpW(cls, L"#32770") == 0 &&
                IsWindowVisible(hWnd)) {
                p->boxes.insert(p->boxes.begin(), hWnd);
            }
            return TRUE;
        }, reinterpret_cast<LPARAM>(&search));
        return search.boxes;
    }
    bool WaitForBoxCount(size_t count, DWORD ms = 3000)
    {
        return WaitUntilTrue([&] { return AppBoxes().size() == count; }, ms);
    }
    // The message text of a box: its longest static text.
    static std::wstring BoxText(HWND hBox)
    {
        std::wstring text;
        EnumChildWindows(hBox, [](HWND hChild, LPARAM lParam) -> BOOL {
            wchar_t buf[1024] = L"";
            GetWindowTextW(hChild, buf, 1024);
            std::wstring* best = reinterpret_cast<std::wstring*>(lParam);
            if (wcslen(buf) > best->size()) *best = buf;
            return TRUE;
        }, reinterpret_cast<LPARAM>(&text));
        return text;
    }
    static std::wstring Caption(HWND hWnd)
    {
        wchar_t buf[256] = L"";
        GetWindowTextW(hWnd, buf, 256);
        return buf;
    }
    static void PressOk(HWND hBox) { PostMessageW(hBox, WM_COMMAND, IDOK, 0); }
    // Waits for the one box saying text, presses its OK, and waits until it has gone.
    bool ConfirmBox(const std::wstring& text, DWORD ms = 3000)
    {
        std::vector<HWND> boxes;
        const bool shown = WaitUntilTrue([&] {
            boxes = AppBoxes();
            return boxes.size() == 1 && BoxText(boxes[0]).find(text) != std::wstring::npos;
        }, ms);
        if (!shown) return false;
        PressOk(boxes[0]);
        return WaitForBoxCount(0);
    }
    // A PC with a battery device, charged: alerts are displayed, and none is raised at start.
    void UseBatteryPc(SimBattery& sim)
    {
        ASSERT_EQ(0u, sim.Result());
        ASSERT_TRUE(sim.SetCapacity(0, 40000, 50000));
        ASSERT_TRUE(power.SetBatteryPresent(80));
    }

    std::list<ChildProcess> apps;
};

const wchar_t kStopped[] = L"WPARAM 21, LPARAM 00000000";
const wchar_t kRunning[] = L"WPARAM 22, LPARAM 00000000";
// An add request to the shell (in this test the shell did not restart, so a second add of the
// same icon is refused: what counts is that it is asked).
const wchar_t kIconAdded[] = L"Shell_NotifyIcon(0):";


}  // namespace traytest
