// The call log shared by the real HID library (its capture) and the simulated remote.
#include "hid/call_log.h"

#include <windows.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>

#include "hid/log_line.h"

namespace {

HANDLE logFile = INVALID_HANDLE_VALUE;
// Wine appends by finding the end and then writing there: two threads appending at once can write
// over each other's line. The process's lines go one at a time.
SRWLOCK logLock = SRWLOCK_INIT;

// The C runtime's own formatting rather than MinGW's portable one, which would make the shipped
// library several times larger. It does not end a cut string: the text is ended here.
int Format(char* text, int size, const char* format, va_list arguments) {
    const int length = _vsnprintf(text, size - 1, format, arguments);
    const int end = length < 0 || length >= size ? size - 1 : length;
    text[end] = '\0';
    return end;
}

} // namespace

double CallLogNowMs() {
    // No function-local static for the frequency: its guard would bring the C++ runtime's
    // exception support into the shipped library.
    LARGE_INTEGER frequency;
    LARGE_INTEGER now;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

void OpenCallLog(const char* environmentVariable) {
    char path[MAX_PATH];
    if (logFile != INVALID_HANDLE_VALUE ||
        !GetEnvironmentVariableA(environmentVariable, path, sizeof path))
        return;
    logFile = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                          OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}

void LogCall(double startMs, const char* format, ...) {
    if (logFile == INVALID_HANDLE_VALUE)
        return;
    char line[kLogLineSize];
    // Room for the line's end.
    constexpr int kRoom = sizeof line - 1;
    int length = FormatLogLineStart(line, GetCurrentProcessId(), GetCurrentThreadId(),
                                    static_cast<uint64_t>(startMs * 1000.0 + 0.5));
    va_list arguments;
    va_start(arguments, format);
    length += Format(line + length, kRoom - length, format, arguments);
    va_end(arguments);
    line[length++] = '\n';
    DWORD written = 0;
    AcquireSRWLockExclusive(&logLock);
    WriteFile(logFile, line, length, &written, nullptr);
    ReleaseSRWLockExclusive(&logLock);
}

void LogRead(double startMs, int handle, int result, const unsigned char* report) {
    if (logFile == INVALID_HANDLE_VALUE)
        return;
    char bytes[kLogReportTextSize];
    if (result)
        FormatLogReport(report, kLoggedReportLength, bytes);
    char done[kLogTimeSize];
    FormatLogTime(static_cast<uint64_t>(CallLogNowMs() * 1000.0 + 0.5), done);
    LogCall(startMs, "ReadReport %d -> %d done %s%s%s", handle, result, done, result ? " : " : "",
            result ? bytes : "");
}

void LogWrite(double startMs, int handle, int result, const unsigned char* report,
              const char* way) {
    if (logFile == INVALID_HANDLE_VALUE)
        return;
    char bytes[kLogReportTextSize];
    FormatLogReport(report, kLoggedReportLength, bytes);
    LogCall(startMs, "WriteReport %d -> %d%s%s : %s", handle, result, way ? " via " : "",
            way ? way : "", bytes);
}
