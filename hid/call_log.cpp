// The call log shared by the real HID library (its capture) and the simulated remote.
#include "hid/call_log.h"

#include <windows.h>

#include <cstdarg>
#include <cstdio>

namespace {

HANDLE logFile = INVALID_HANDLE_VALUE;

} // namespace

double CallLogNowMs() {
    static const double msPerTick = [] {
        LARGE_INTEGER frequency;
        QueryPerformanceFrequency(&frequency);
        return 1000.0 / static_cast<double>(frequency.QuadPart);
    }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) * msPerTick;
}

void OpenCallLog(const char* environmentVariable) {
    char path[MAX_PATH];
    if (logFile != INVALID_HANDLE_VALUE ||
        !GetEnvironmentVariableA(environmentVariable, path, sizeof path))
        return;
    logFile = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                          OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}

bool CallLogIsOpen() {
    return logFile != INVALID_HANDLE_VALUE;
}

void LogCall(double startMs, const char* format, ...) {
    if (logFile == INVALID_HANDLE_VALUE)
        return;
    char line[512];
    int length = std::snprintf(line, sizeof line, "%lu %lu %.3f ", GetCurrentProcessId(),
                               GetCurrentThreadId(), startMs);
    va_list arguments;
    va_start(arguments, format);
    length += std::vsnprintf(line + length, sizeof line - length, format, arguments);
    va_end(arguments);
    if (length > static_cast<int>(sizeof line) - 2)
        length = sizeof line - 2;
    line[length++] = '\n';
    DWORD written = 0;
    // One write a line: with FILE_APPEND_DATA, lines of several threads never interleave.
    WriteFile(logFile, line, length, &written, nullptr);
}

void FormatReport(const unsigned char* bytes, char* text) {
    std::snprintf(text, kReportTextSize, "%02X", bytes[0]);
    for (int i = 1; i < kLoggedReportLength; ++i)
        std::snprintf(text + 3 * i - 1, 4, " %02X", bytes[i]);
}
