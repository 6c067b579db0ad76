// The main window: class, creation, procedure and message loop.
#include "display/main_window.h"

#include "control/startup.h"
#include "display/ir_plot.h"

std::atomic<HWND> mainWindow;

namespace {

// Lives from WM_CREATE to the teardown. UI thread only.
HPEN markerPen;
// The teardown can be asked for twice (Esc, then Home before the quit message is taken), and
// must run once. UI thread only.
bool tornDown;

void OnPaint(HWND window) {
    PAINTSTRUCT paint;
    const HDC dc = BeginPaint(window, &paint);
    // After the teardown the window may still be asked to paint; the stock pen draws the same.
    const HGDIOBJ pen = markerPen ? static_cast<HGDIOBJ>(markerPen) : GetStockObject(BLACK_PEN);
    const HGDIOBJ oldPen = SelectObject(dc, pen);
    DrawIrPoints(dc);
    SelectObject(dc, oldPen);
    EndPaint(window, &paint);
}

void OnDestroy() {
    if (tornDown)
        return;
    tornDown = true;
    mainWindow = nullptr;
    DeleteObject(markerPen);
    markerPen = nullptr;
    PostQuitMessage(0);
    ShutdownRemote();
}

} // namespace

LRESULT CALLBACK MainWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_CREATE:
        markerPen = CreatePen(PS_SOLID, 1, RGB(0, 0, 0));
        tornDown = false;
        return 0;
    case WM_PAINT:
        OnPaint(window);
        return 0;
    case WM_KEYDOWN:
        if (wParam == VK_ESCAPE)
            SendMessageA(window, WM_DESTROY, 0, 0);
        return 0;
    case WM_DESTROY:
        OnDestroy();
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

bool CreateMainWindow(HINSTANCE instance, int showCommand) {
    WNDCLASSEXA windowClass = {};
    windowClass.cbSize = sizeof windowClass;
    windowClass.style = CS_HREDRAW | CS_VREDRAW;
    windowClass.lpfnWndProc = MainWndProc;
    windowClass.hInstance = instance;
    windowClass.hIcon = LoadIconA(nullptr, IDI_APPLICATION);
    windowClass.hCursor = LoadCursorA(nullptr, IDC_ARROW);
    windowClass.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
    windowClass.lpszClassName = "wnd-001";
    RegisterClassExA(&windowClass);

    const HWND window =
        CreateWindowExA(0, "wnd-001", "Wii Remote IR Sensor Test", WS_OVERLAPPEDWINDOW, 10, 10, 520,
                        420, nullptr, nullptr, instance, nullptr);
    if (!window)
        return false;
    mainWindow = window;
    ShowWindow(window, showCommand);
    UpdateWindow(window);
    return true;
}

int RunMessageLoop() {
    MSG message;
    for (;;) {
        const BOOL result = GetMessageA(&message, nullptr, 0, 0);
        if (result == 0)
            return static_cast<int>(message.wParam);
        // -1 is an error that leaves no message to dispatch; the loop goes on.
        if (result == -1)
            continue;
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
}
