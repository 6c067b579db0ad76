// A helper for the demo script, which runs the program with no window manager: from the Windows
// side it reports where the program's client area is on the screen, or presses Esc in it.
//     demo_helper client   prints "x y width height" of the client area
//     demo_helper esc      sends Esc to the window
// Waits up to ten seconds for the window; exits with 1 if it never shows.
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "rig_facts.h"

int main(int argc, char** argv) {
    if (argc != 2)
        return 2;
    HWND window = nullptr;
    for (int tries = 0; !window && tries < 1000; ++tries) {
        window = FindWindowA(kMainWindowClass, nullptr);
        if (!window)
            Sleep(10);
    }
    if (!window)
        return 1;
    if (std::strcmp(argv[1], "client") == 0) {
        RECT client;
        GetClientRect(window, &client);
        POINT origin = {0, 0};
        ClientToScreen(window, &origin);
        std::printf("%ld %ld %ld %ld\n", origin.x, origin.y, client.right, client.bottom);
        return 0;
    }
    if (std::strcmp(argv[1], "esc") == 0) {
        PostMessageA(window, WM_KEYDOWN, VK_ESCAPE, 1);
        return 0;
    }
    return 2;
}
