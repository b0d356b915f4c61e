#include "CPipeCl.h"
#include "CPipeSv.h"
#include "PipeTestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>

using namespace pipetest;

namespace {

// A client in this process that records the notifications it is given.
struct App {
    std::mutex lock;
    std::vector<DWORD> values;

    static void OnData(LPVOID self_, PPIPEEVENT evt)
    {
        App* self = static_cast<App*>(self_);
        DWORD value = 0;
        self->client.GetReceivedData(&value, sizeof(value));
        std::lock_guard<std::mutex> guard(self->lock);
        self->values.push_back(evt->dwEvent == PIPEEVENT_DATA && evt->dwCode == 0 ? value : 0xBAD);
    }
    DWORD Start(const std::wstring& suffix, DWORD* id)
    {
        return client.Initialize(1, suffix.c_str(), id, OnData, this, NULL);
    }
    size_t Count()
    {
        std::lock_guard<std::mutex> guard(lock);
        return values.size();
    }

    // Declared last, so destroyed first: the thread that calls OnData ends before what OnData
    // records into goes.
    CPipeCl client;
};

void IgnoreEvent(LPVOID, PPIPEEVENT) {}


bool PipeExists(const std::wstring& name)
{
    return WaitNamedPipeW(name.c_str(), 1) || GetLastError() != ERROR_FILE_NOT_FOUND;
}

}  // namespace

TEST(PipeClient, ServiceAbsentLeavesNothingOpen)
{
    const std::wstring suffix = UniqueName(L"absent");
    App app;
    DWORD id = 0x55;
    DWORD handlesBefore = 0, handlesAfter = 0;
    GetProcessHandleCount(GetCurrentProcess(), &handlesBefore);
    EXPECT_EQ(2u, app.Start(suffix, &id));
    EXPECT_EQ(0u, id);
    EXPECT_FALSE(PipeExists(NotifyPipeName(suffix, GetCurrentProcessId())));
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(2u, app.Start(suffix, &id));
    }
    GetProcessHandleCount(GetCurrentProcess(), &handlesAfter);
    EXPECT_EQ(handlesBefore, handlesAfter);
    DWORD ret = 0;
    const DWORD value = 7;
    EXPECT_EQ(21u, app.client.Send(&value, sizeof(value), &ret, NULL));
}

// A service stand-in that records what the registration looks like on the wire.
TEST(PipeClient, RegistrationFrameCarriesTheOwnPipeName)
{
    const std::wstring suffix = UniqueName(L"frame");
    const std::wstring ctrl = PIPE_CTRL_PREFIX + suffix;
    HANDLE server = CreateNamedPipeW(ctrl.c_str(), PIPE_ACCESS_DUPLEX, 0, 1, 1024, 1024, 1000, NULL);
    ASSERT_NE(INVALID_HANDLE_VALUE, server);
    std::vector<BYTE> frame(2048);
    DWORD got = 0;
    std::thread service([&] {
        ConnectNamedPipe(server, NULL);
        ReadFile(server, frame.data(), static_cast<DWORD>(frame.size()), &got, NULL);
        const DWORD ack = 7;
        DWORD n = 0;
        WriteFile(server, &ack, sizeof(ack), &n, NULL);
        FlushFileBuffers(server);
        DisconnectNamedPipe(server);
    });
    App app;
    DWORD id = 0;
    EXPECT_EQ(0u, app.Start(suffix, &id));
    service.join();
    EXPECT_EQ(7u, id);
    wchar_t pid[16];
    swprintf(pid, 16, L"%08x", static_cast<unsigned>(GetCurrentProcessId()));
    const std::wstring expected = std::wstring(L"\\\\.\\pipe\\datapipe_") + suffix + pid;
    frame.resize(got);
    EXPECT_EQ(TextFrame(PIPEREQUEST_CONNECT, expected), frame);
    CloseHandle(server);  // the close request at Finalize finds nobody
}

// What a registration's answer, or a notification pipe name already served, makes of it: only a
// handle links; the rest fails so that the application tries again.
TEST(PipeClient, OnlyAHandleLinksAndATakenNameIsTold)
{
    struct Case { DWORD ack; bool takeName; DWORD result; DWORD id; };
    const Case cases[] = {
        { 1, false, 0, 1 },
        { 100, false, 0, 100 },
        { 0, false, PIPECL_ERROR_REFUSED, 0 },
        { 101, false, PIPECL_ERROR_REFUSED, 0 },
        { 1, true, PIPECL_ERROR_NAME_TAKEN, 0 },
    };
    for (const Case& c : cases) {
        const std::wstring suffix = UniqueName(L"answer");
        const std::wstring ctrl = PIPE_CTRL_PREFIX + suffix;
        HANDLE server = CreateNamedPipeW(ctrl.c_str(), PIPE_ACCESS_DUPLEX, 0, 1, 1024, 1024, 1000, NULL);
        ASSERT_NE(INVALID_HANDLE_VALUE, server);
        HANDLE squatter = c.takeName ? CreateNamedPipeW(NotifyPipeName(suffix, GetCurrentProcessId()).c_str(),
                                                        PIPE_ACCESS_DUPLEX, 0, 1, 1024, 1024, 1000, NULL)
                                     : NULL;
        std::thread service([&] {
            if (!ConnectNamedPipe(server, NULL) && GetLastError() != ERROR_PIPE_CONNECTED) return;
            std::vector<BYTE> frame(2048);
            DWORD n = 0;
            ReadFile(server, frame.data(), static_cast<DWORD>(frame.size()), &n, NULL);
            WriteFile(server, &c.ack, sizeof(c.ack), &n, NULL);
            FlushFileBuffers(server);
            DisconnectNamedPipe(server);
        });
        App app;
        DWORD id = 0x55;
        EXPECT_EQ(c.result, app.Start(suffix, &id)) << c.ack;
        EXPECT_EQ(c.id, id) << c.ack;
        if (c.takeName) {  // nobody registered: the stand-in is let go by a bare connection
            HANDLE h = CreateFileW(ctrl.c_str(), GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
            if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
        }
        CloseHandle(server);  // ends the stand-in when nobody came, and finds nobody at Finalize
        service.join();
        if (squatter != NULL) CloseHandle(squatter);
    }
}

TEST(PipeClient, NotifyPipeNameSuffixIsEightLowerCaseDigits)
{
    wchar_t name[64];
    ASSERT_EQ(0u, CPipeCl::FormatNotifyPipeName(L"MIRELPIPE", 0x1F4, name, 64));
    EXPECT_STREQ(L"\\\\.\\pipe\\datapipe_MIRELPIPE000001f4", name);
    ASSERT_EQ(0u, CPipeCl::FormatNotifyPipeName(L"S", 0xABCDEF12, name, 64));
    EXPECT_STREQ(L"\\\\.\\pipe\\datapipe_Sabcdef12", name);
    EXPECT_NE(0u, CPipeCl::FormatNotifyPipeName(L"S", 1, name, 20));
}

TEST(PipeClient, SecondInitializeFailsAndFinalisesThenTheThirdRegisters)
{
    Helper service;
    const std::wstring suffix = UniqueName(L"again");
    ASSERT_TRUE(service.Start(L"server", suffix));
    App app;
    DWORD id = 0;
    ASSERT_EQ(0u, app.Start(suffix, &id));
    EXPECT_EQ(1u, id);
    EXPECT_EQ(231u, app.Start(suffix, &id));
    EXPECT_EQ(0u, id);
    EXPECT_FALSE(PipeExists(NotifyPipeName(suffix, GetCurrentProcessId())));
    ASSERT_EQ(0u, app.Start(suffix, &id));
    EXPECT_EQ(1u, id);  // the old registration was closed
    DWORD ret = 0;
    const DWORD request = 7;
    EXPECT_EQ(0u, app.client.Send(&request, sizeof(request), &ret, NULL));
    EXPECT_EQ(0u, ret);
    app.client.Finalize(NULL);
    EXPECT_EQ(0u, service.Finish());
    const std::string out = service.Output();
    EXPECT_EQ(2, Helper::CountLines(out, "C 1"));
    EXPECT_EQ(2, Helper::CountLines(out, "D 1"));
    EXPECT_EQ(1, Helper::CountLines(out, "R 1 7"));
}

TEST(PipeClient, SendAfterTheServerForgotTheId)
{
    const std::wstring suffix = UniqueName(L"forgot");
    CPipeSv server;
    int dummy = 0;
    ASSERT_EQ(0u, server.Initialize(suffix.c_str(), IgnoreEvent, &dummy));
    App app;
    DWORD id = 0;
    ASSERT_EQ(0u, app.Start(suffix, &id));
    ASSERT_EQ(1u, id);
    server.Finalize(NULL);
    ASSERT_EQ(0u, server.Initialize(suffix.c_str(), IgnoreEvent, &dummy));
    DWORD ret = 0;
    const DWORD request = 7;
    EXPECT_EQ(5u, app.client.Send(&request, sizeof(request), &ret, NULL));
    EXPECT_EQ(4u, ret);
    server.Finalize(NULL);
    ret = 0;
    EXPECT_EQ(2u, app.client.Send(&request, sizeof(request), &ret, NULL));
    EXPECT_EQ(0u, ret);
}

TEST(PipeClient, OnlyTheServiceIsHeard)
{
    const std::wstring suffix = UniqueName(L"heard");
    CPipeSv server;
    int dummy = 0;
    ASSERT_EQ(0u, server.Initialize(suffix.c_str(), IgnoreEvent, &dummy));
    App app;
    DWORD id = 0;
    ASSERT_EQ(0u, app.Start(suffix, &id));
    const std::wstring own = NotifyPipeName(suffix, GetCurrentProcessId());
    DWORD ack = 0;
    EXPECT_EQ(0u, SendFrame(own, Frame(3, 0x99), &ack));
    EXPECT_EQ(PIPEACK_REJECTED, ack);
    EXPECT_EQ(0u, SendFrame(own, Frame(0, 0x42), &ack));
    EXPECT_EQ(PIPEACK_OK, ack);
    const DWORD notify = 0x43;
    EXPECT_EQ(0u, server.SendAll(&notify, sizeof(notify), &ack, NULL));
    EXPECT_TRUE(WaitUntil([&] { return app.Count() == 2; }, 3000));
    std::lock_guard<std::mutex> guard(app.lock);
    EXPECT_EQ((std::vector<DWORD>{ 0x42, 0x43 }), app.values);
}

// The client talking to a server in another process, both ways.
TEST(PipeClient, AgainstAServerInAnotherProcess)
{
    Helper service;
    const std::wstring suffix = UniqueName(L"remote");
    ASSERT_TRUE(service.Start(L"server", suffix));
    App apps[2];
    DWORD ids[2] = {};
    ASSERT_EQ(0u, apps[0].Start(suffix, &ids[0]));
    // A second client in the same process cannot serve the same notification pipe.
    EXPECT_NE(0u, apps[1].Start(suffix, &ids[1]));
    for (DWORD v = 1; v <= 3; ++v) {
        DWORD ret = 0;
        EXPECT_EQ(0u, apps[0].client.Send(&v, sizeof(v), &ret, NULL));
    }
    // Only the process that answered the registration is heard: a well-formed frame from any
    // other (this one included) is refused and never delivered.
    DWORD ack = 0;
    EXPECT_EQ(0u, SendFrame(NotifyPipeName(suffix, GetCurrentProcessId()), Frame(0, 0x42), &ack));
    EXPECT_EQ(PIPEACK_REJECTED, ack);
    EXPECT_TRUE(WaitUntil([&] { return apps[0].Count() == 1; }, 3000));
    apps[0].client.Finalize(NULL);
    EXPECT_EQ((std::vector<DWORD>{ 0x101 }), apps[0].values);
    EXPECT_EQ(0u, service.Finish());
    const std::string out = service.Output();
    EXPECT_EQ(1, Helper::CountLines(out, "C 1"));
    EXPECT_EQ(1, Helper::CountLines(out, "R 1 3"));
    EXPECT_EQ(1, Helper::CountLines(out, "D 1"));
}
