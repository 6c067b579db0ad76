// The HID library's capture, in the shipped library and in the simulated remote.
#include "hid/call_log.h"

#include <windows.h>

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <cstdio>

#include "hid/log_line.h"

namespace {

// Set once by the open, read by every thread that logs.
std::atomic<HANDLE> logFile{INVALID_HANDLE_VALUE};
// Where the next line goes. Each line takes its place by moving this on, and is then written
// there by one WriteFile: no lock, which a thread that the program ends by force (a probe thread
// stuck in a read) could hold for good. Wine's appending handles find the end and then write
// there, so two threads appending at once would write over each other's line.
std::atomic<long long> logEnd;
std::atomic<bool> readLines{true};

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
    const HANDLE file = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return;
    // A pipe that streams the capture has no size, and ignores the places.
    LARGE_INTEGER size;
    logEnd = GetFileSizeEx(file, &size) ? size.QuadPart : 0;
    logFile = file; // published after its end is known
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
    // A thread ended between taking its place and writing leaves a gap of zeros, not a hang.
    const long long at = logEnd.fetch_add(length);
    OVERLAPPED place = {};
    place.Offset = static_cast<DWORD>(at);
    place.OffsetHigh = static_cast<DWORD>(at >> 32);
    DWORD written = 0;
    WriteFile(logFile, line, length, &written, &place);
}

void LogReadLines(bool logged) {
    readLines = logged;
}

void LogRead(double startMs, int handle, int result, const unsigned char* report) {
    if (logFile == INVALID_HANDLE_VALUE || !readLines)
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
