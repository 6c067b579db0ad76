// The tests' clock: the performance counter in milliseconds, the same time base as the
// HID library's capture.
#pragma once

#include <windows.h>

inline double NowMs() {
    LARGE_INTEGER frequency;
    LARGE_INTEGER now;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}
