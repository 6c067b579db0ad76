// The call log shared by the real HID library (its capture) and the simulated remote.
#include "hid/call_log.h"

#include <windows.h>

#include <cstdarg>
#include <cstdio>

namespace {

constexpr int kLoggedReportLength = 22;
constexpr int kReportTextSize = 3 * kLoggedReportLength + 1;

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

int Format(char* text, int size, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    const int length = Format(text, size, format, arguments);
    va_end(arguments);
    return length;
}

// "xx xx ..." for the first kLoggedReportLength bytes of a report.
void FormatReport(const unsigned char* bytes, char* text) {
    constexpr char kDigits[] = "0123456789ABCDEF";
    for (int i = 0; i < kLoggedReportLength; ++i) {
        text[3 * i] = kDigits[bytes[i] >> 4];
        text[3 * i + 1] = kDigits[bytes[i] & 15];
        text[3 * i + 2] = ' ';
    }
    text[kReportTextSize - 2] = '\0';
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
    char line[512];
    // Room for the line's end.
    constexpr int kRoom = sizeof line - 1;
    int length =
        Format(line, kRoom, "%lu %lu %.3f ", GetCurrentProcessId(), GetCurrentThreadId(), startMs);
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
    char bytes[kReportTextSize];
    if (result)
        FormatReport(report, bytes);
    LogCall(startMs, "ReadReport %d -> %d done %.3f%s%s", handle, result, CallLogNowMs(),
            result ? " : " : "", result ? bytes : "");
}

void LogWrite(double startMs, int handle, int result, const unsigned char* report,
              const char* way) {
    if (logFile == INVALID_HANDLE_VALUE)
        return;
    char bytes[kReportTextSize];
    FormatReport(report, bytes);
    LogCall(startMs, "WriteReport %d -> %d%s%s : %s", handle, result, way ? " via " : "",
            way ? way : "", bytes);
}
