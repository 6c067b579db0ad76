// The report reader.
#include "control/reader.h"

#include "control/startup.h"
#include "control/wait.h"
#include "device/input_reports.h"
#include "display/main_window.h"

namespace {

// Gives the IR sensor time to settle after the set-up before the first read.
constexpr int kReaderDelayMs = 500;
// Home alone: with any other bit of the byte set, the button byte is not this.
constexpr uint8_t kHomeButton = 0x80;

} // namespace

void ReaderLoop() {
    WaitMs(kReaderDelayMs);
    readerRun = 1;
    // A teardown during the delay has already cleared readerRun; the closed link then stops the
    // loop instead.
    while (readerRun != 0 && !linkClosed) {
        ReadAndParse();
        if (RemoteState.buttons2 == kHomeButton)
            RequestTeardown();
        if (RemoteState.irX[0] != kIrNotSeen || RemoteState.irX[1] != kIrNotSeen)
            RequestRepaint();
    }
}

void RequestRepaint() {
    // A null window would invalidate every window on the desktop.
    if (const HWND window = mainWindow)
        InvalidateRect(window, nullptr, TRUE);
}

void RequestTeardown() {
    // The teardown runs on the UI thread; this returns once it has.
    if (const HWND window = mainWindow)
        SendMessageA(window, WM_DESTROY, 0, 0);
}

void ReaderThreadMain(void*) {
    ReaderLoop();
}
