// Millisecond busy wait on the performance counter.
#include "control/wait.h"

#include <windows.h>

void WaitMs(int32_t ms) {
    LARGE_INTEGER frequency;
    LARGE_INTEGER start;
    LARGE_INTEGER now;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    for (;;) {
        QueryPerformanceCounter(&now);
        const double elapsed =
            static_cast<double>(now.QuadPart - start.QuadPart) / frequency.QuadPart * 1000.0;
        // Strictly more than ms: a wait never ends at exactly the requested time.
        if (ms < elapsed)
            return;
    }
}
