// The program's start-up, window and reader inside the test process, against the test double of
// the HID library: the roads an outside driver cannot force.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>

#include "control/reader.h"
#include "control/startup.h"
#include "device/input_reports.h"
#include "display/main_window.h"
#include "rig_facts.h"
#include "tests/expected_reports.h"
#include "tests/fake_hid.h"

namespace {

LRESULT CALLBACK RefuseCreation(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    return message == WM_CREATE ? -1 : DefWindowProcA(window, message, wParam, lParam);
}

HWND CreateBystander() {
    WNDCLASSEXA windowClass = {};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = DefWindowProcA;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.lpszClassName = "bystander";
    RegisterClassExA(&windowClass);
    const HWND window =
        CreateWindowExA(0, "bystander", "", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 600, 10, 200, 200,
                        nullptr, nullptr, windowClass.hInstance, nullptr);
    UpdateWindow(window);
    return window;
}

bool HasUpdateRegion(HWND window) {
    RECT update;
    return GetUpdateRect(window, &update, FALSE) != 0;
}

BOOL CALLBACK CloseWindowOfTheCase(HWND window, LPARAM) {
    PostMessageA(window, WM_CLOSE, 0, 0);
    return TRUE;
}

class StartupTest : public testing::Test {
  protected:
    void SetUp() override {
        ResetFakeHid();
        hidHandle = fakeHid.openResult;
        linkClosed = false;
    }
    // The next case in this process meets no window, class or quit message of this one.
    void TearDown() override {
        EnumThreadWindows(GetCurrentThreadId(), CloseWindowOfTheCase, 0);
        MSG message;
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE))
            DispatchMessageA(&message);
        UnregisterClassA(kMainWindowClass, GetModuleHandleA(nullptr));
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
        }
    }
};

TEST_F(StartupTest, WindowThatCannotBeCreatedReturnsTheRemoteAndExitsWithOne) {
    // The class is already taken by one whose windows refuse to be created.
    WNDCLASSEXA windowClass = {};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = RefuseCreation;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.lpszClassName = kMainWindowClass;
    ASSERT_TRUE(RegisterClassExA(&windowClass));
    const unsigned char answer[22] = {0x31, 0x00, 0x00, 0x80, 0x80, 0x9A};
    QueueFakeRead(answer, sizeof answer);

    EXPECT_EQ(RunProgram(GetModuleHandleA(nullptr), SW_SHOWNORMAL), 1);
    ASSERT_EQ(fakeHid.writeCount, kRunReportCount);
    const RecordedWrite& last = fakeHid.writes[kRunReportCount - 1];
    EXPECT_EQ(last.bytes[0], 0x12);
    EXPECT_EQ(last.bytes[2], 0x30);
    EXPECT_EQ(fakeHid.closeCalls, 1);

    // The reader thread was started before the window; past its delay it must not read the
    // closed link.
    Sleep(800);
    EXPECT_EQ(fakeHid.readsAfterClose, 0);
}

TEST_F(StartupTest, TeardownRunsOnceAndLaterPaintsStillDrawTheCrosses) {
    ASSERT_TRUE(CreateMainWindow(GetModuleHandleA(nullptr), SW_SHOWNORMAL));
    const HWND window = mainWindow;
    SendMessageA(window, WM_DESTROY, 0, 0); // Esc
    SendMessageA(window, WM_DESTROY, 0, 0); // Home, before the quit message is taken
    EXPECT_EQ(fakeHid.writeCount, 1);
    EXPECT_EQ(fakeHid.closeCalls, 1);
    EXPECT_EQ(mainWindow.load(), nullptr);
    MSG quit;
    EXPECT_TRUE(PeekMessageA(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));

    // The window stays until the process ends, and may still be asked to paint.
    RemoteState.irX[0] = 200;
    RemoteState.irY[0] = 300;
    InvalidateRect(window, nullptr, TRUE);
    UpdateWindow(window);
    const HDC dc = GetDC(window);
    EXPECT_EQ(GetPixel(dc, 100, 150), RGB(0, 0, 0));
    EXPECT_EQ(GetPixel(dc, 96, 150), RGB(0, 0, 0));
    EXPECT_EQ(GetPixel(dc, 100, 154), RGB(0, 0, 0));
    EXPECT_EQ(GetPixel(dc, 102, 152), RGB(255, 255, 255));
    ReleaseDC(window, dc);
}

TEST_F(StartupTest, ReaderRequestsReachOnlyTheMainWindowWhileItLives) {
    const HWND bystander = CreateBystander();
    ASSERT_NE(bystander, nullptr);
    ASSERT_FALSE(HasUpdateRegion(bystander));

    // Before the window exists: no effect, and nothing for other windows.
    RequestRepaint();
    RequestTeardown();
    EXPECT_FALSE(HasUpdateRegion(bystander));
    EXPECT_EQ(fakeHid.writeCount, 0);

    ASSERT_TRUE(CreateMainWindow(GetModuleHandleA(nullptr), SW_SHOWNORMAL));
    const HWND window = mainWindow;
    ValidateRect(window, nullptr);
    RequestRepaint();
    EXPECT_TRUE(HasUpdateRegion(window));
    EXPECT_FALSE(HasUpdateRegion(bystander));
    RequestTeardown();
    EXPECT_EQ(fakeHid.writeCount, 1);

    // After the teardown: no effect either.
    ValidateRect(window, nullptr);
    RequestRepaint();
    RequestTeardown();
    EXPECT_FALSE(HasUpdateRegion(window));
    EXPECT_FALSE(HasUpdateRegion(bystander));
    EXPECT_EQ(fakeHid.writeCount, 1);
    DestroyWindow(bystander);
}

DWORD WINAPI RunReader(void*) {
    ReaderLoop();
    return 0;
}

TEST_F(StartupTest, TeardownDuringTheReadersDelayKeepsItOffTheClosedLinkAndEndsIt) {
    const HANDLE reader = CreateThread(nullptr, 0, RunReader, nullptr, 0, nullptr);
    Sleep(100);
    ShutdownRemote();
    EXPECT_EQ(WaitForSingleObject(reader, 2000), WAIT_OBJECT_0) << "the reader goes on";
    CloseHandle(reader);
    EXPECT_EQ(fakeHid.readCalls, 0);
}

} // namespace
