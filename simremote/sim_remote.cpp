// The simulated remote: a HID library with the real one's four exports that behaves like the
// remote as the program sees it. It answers a mode request (12 00 <id>) with input reports of
// that ID at the scenario's rate, and logs every call so that tests can see what the program
// said and when.
//
// SIMREMOTE_SCENARIO names a scenario file (see scenario.h); without it the remote shows four
// moving lights. SIMREMOTE_LOG names a file that gets one line per call:
//     <pid> <tid> <ms> <call> <handle or ids> -> <result> [done <ms>] [: <bytes>]
// where <ms> is the performance counter in milliseconds at the call's start (and, for reads,
// its return), and <bytes> are the 22 bytes written or read. After a close (and, with
// "log summary", every second instead of a line per read) a line
//     <pid> <tid> <ms> Reports <handle> -> <delivered> dropped <dropped>
// counts the reports delivered so far and those dropped because the reader fell behind, and
//     <pid> <tid> <ms> Memory <handle> -> private <bytes> pagefile <bytes> working <bytes>
//         handles <n> gdi <n>
// gives the memory and GDI objects of the program's process at the close and, with "log summary",
// every 10 s while the handle is open, then with its kernel handles (0 at the close).
#include <windows.h>

#include <psapi.h>

#include <atomic>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "device/hid_library.h"
#include "simremote/scenario.h"

namespace {

constexpr int kReportLength = 22;
constexpr int kMaxHandles = 16;
// Reports the remote holds for a reader that falls behind; older ones are dropped.
constexpr int kQueuedReports = 32;

Scenario scenario;
double openMs;
std::atomic<double> nextReportMs;
std::atomic<unsigned> reportNumber;
// Reports dropped because the reader fell more than kQueuedReports behind.
std::atomic<double> droppedReports;
std::atomic<int> requestedKind{0x30};
std::atomic<int> lastHandle;
std::atomic<bool> handleOpen[kMaxHandles];
HANDLE closeEvents[kMaxHandles];
HANDLE logFile = INVALID_HANDLE_VALUE;

double NowMs() {
    static const double msPerTick = [] {
        LARGE_INTEGER frequency;
        QueryPerformanceFrequency(&frequency);
        return 1000.0 / static_cast<double>(frequency.QuadPart);
    }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) * msPerTick;
}

void Log(double startMs, const char* format, ...) {
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

// "xx xx ..." for the first kReportLength bytes; text holds kBytesTextSize characters.
constexpr int kBytesTextSize = 3 * kReportLength + 1;
void FormatBytes(const unsigned char* bytes, char* text) {
    std::snprintf(text, kBytesTextSize, "%02X", bytes[0]);
    for (int i = 1; i < kReportLength; ++i)
        std::snprintf(text + 3 * i - 1, 4, " %02X", bytes[i]);
}

void OpenLog() {
    char path[MAX_PATH];
    if (logFile != INVALID_HANDLE_VALUE ||
        !GetEnvironmentVariableA("SIMREMOTE_LOG", path, sizeof path))
        return;
    logFile = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                          OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// Loads the scenario the environment names; any problem gives a remote that is absent.
void LoadScenario() {
    static char text[64 * 1024];
    char path[MAX_PATH];
    if (!GetEnvironmentVariableA("SIMREMOTE_SCENARIO", path, sizeof path)) {
        scenario.absent = false;
        scenario.logSummaryOnly = false;
        scenario.stepCount = 1;
        scenario.steps[0] = {0.0, StepKind::kDemo, {}};
        return;
    }
    const HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD length = 0;
    const bool read = file != INVALID_HANDLE_VALUE &&
                      ReadFile(file, text, sizeof text - 1, &length, nullptr) &&
                      length < sizeof text - 1;
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    char error[256];
    if (!read) {
        std::fprintf(stderr, "simremote: cannot read the scenario %s; the remote is absent\n",
                     path);
        scenario.absent = true;
        return;
    }
    text[length] = '\0';
    if (!ParseScenario(text, scenario, error, sizeof error)) {
        std::fprintf(stderr, "simremote: scenario %s, %s; the remote is absent\n", path, error);
        scenario.absent = true;
    }
}

// The demo's lights: each its own slow figure across the sensor's range; object 3 leaves the
// view now and then.
void DemoPosition(int object, double seconds, int& x, int& y) {
    constexpr double kTwoPi = 6.283185307179586;
    const double fx = 0.11 + 0.05 * object;
    const double fy = 0.07 + 0.04 * object;
    x = static_cast<int>(512 + 420 * std::sin(kTwoPi * fx * seconds + object));
    y = static_cast<int>(384 + 300 * std::sin(kTwoPi * fy * seconds + 2 * object));
    if (object == 3 && std::sin(kTwoPi * 0.05 * seconds) > 0.7)
        x = y = 1023;
}

void EncodeIrObject(int x, int y, unsigned char* bytes) {
    if (x >= 1023) {
        bytes[0] = bytes[1] = bytes[2] = 0xFF;
        return;
    }
    bytes[0] = static_cast<unsigned char>(x & 0xFF);
    bytes[1] = static_cast<unsigned char>(y & 0xFF);
    // High bits of X in bits 5-4, of Y in bits 7-6; a small object size in bits 3-0.
    bytes[2] = static_cast<unsigned char>(((x >> 8) & 3) << 4 | ((y >> 8) & 3) << 6 | 0x02);
}

void BuildReport(const Conditions& conditions, unsigned number, double atMs,
                 unsigned char* report) {
    std::memset(report, 0, kReportLength);
    if (conditions.flow == Flow::kGarbage) {
        constexpr unsigned char kForeignIds[] = {0x20, 0x21, 0x22, 0x40, 0xFF, 0x00};
        report[0] = kForeignIds[number % sizeof kForeignIds];
        unsigned noise = number * 2654435761u;
        for (int i = 1; i < kReportLength; ++i) {
            noise = noise * 1103515245u + 12345u;
            report[i] = static_cast<unsigned char>(noise >> 16);
        }
        return;
    }
    const int id = conditions.kind >= 0 ? conditions.kind : requestedKind.load();
    report[0] = static_cast<unsigned char>(id);
    report[1] = conditions.buttons1;
    report[2] = conditions.buttons2;
    if (id & 0x01) {
        if (conditions.accelFixed) {
            std::memcpy(report + 3, conditions.accel, 3);
        } else {
            report[3] = static_cast<unsigned char>(0x7E + number % 5); // never zero
            report[4] = 0x80;
            report[5] = 0x9A;
        }
    }
    if (id & 0x02) {
        for (int object = 0; object < 4; ++object) {
            int x = conditions.irX[object];
            int y = conditions.irY[object];
            if (conditions.demo)
                DemoPosition(object, (atMs - openMs) / 1000.0, x, y);
            EncodeIrObject(x, y, report + 6 + 3 * object);
        }
    }
}

bool IsOpen(int handle) {
    return handle > 0 && handle < kMaxHandles && handleOpen[handle];
}

// Waits for the next report to be due; false when the handle is closed meanwhile.
bool WaitForNextReport(int handle, double periodMs) {
    const double dueMs = nextReportMs.load();
    const double waitMs = dueMs - NowMs();
    if (waitMs > 0 && WaitForSingleObject(closeEvents[handle],
                                          static_cast<DWORD>(std::ceil(waitMs))) == WAIT_OBJECT_0)
        return false;
    double next = dueMs + periodMs;
    const double now = NowMs();
    if (now - next > kQueuedReports * periodMs) {
        droppedReports = droppedReports + (now - next) / periodMs;
        next = now;
    }
    nextReportMs = next;
    return IsOpen(handle);
}

// A silent remote answers nothing: the read ends only with the close.
int WaitForClose(int handle) {
    WaitForSingleObject(closeEvents[handle], INFINITE);
    return 0;
}

int Read(int handle, unsigned char* report, unsigned int* count) {
    if (!IsOpen(handle))
        return 0;
    const Conditions atStart = ConditionsAt(scenario, NowMs() - openMs);
    if (atStart.flow == Flow::kSilent)
        return WaitForClose(handle);
    if (!WaitForNextReport(handle, 1000.0 / atStart.rate))
        return 0;
    const double atMs = NowMs();
    const Conditions conditions = ConditionsAt(scenario, atMs - openMs);
    if (conditions.flow == Flow::kSilent)
        return WaitForClose(handle);
    if (conditions.flow == Flow::kFail)
        return 0;
    BuildReport(conditions, reportNumber.fetch_add(1), atMs, report);
    if (count)
        *count = kReportLength;
    return 1;
}

void LogReportCounts(int handle) {
    Log(NowMs(), "Reports %d -> %u dropped %.0f", handle, reportNumber.load(),
        droppedReports.load());
}

// Kernel handles of this process. GetProcessHandleCount reads 0 under Wine, so there the handle
// values (multiples of 4, the lowest free one handed out first) are probed instead.
unsigned CountHandles() {
    DWORD count = 0;
    if (GetProcessHandleCount(GetCurrentProcess(), &count) && count > 0)
        return count;
    for (uintptr_t value = 4; value < 4 * 16384; value += 4) {
        DWORD flags = 0;
        count += GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags) ? 1 : 0;
    }
    return count;
}

// The resources of the process the remote serves, which another process cannot read under Wine.
// Counting the handles takes thousands of calls under Wine: only the soak's samples do it.
void LogMemory(int handle, bool countHandles) {
    PROCESS_MEMORY_COUNTERS_EX counters = {};
    counters.cb = sizeof counters;
    GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                         sizeof counters);
    Log(NowMs(), "Memory %d -> private %zu pagefile %zu working %zu handles %u gdi %lu", handle,
        static_cast<size_t>(counters.PrivateUsage), static_cast<size_t>(counters.PagefileUsage),
        static_cast<size_t>(counters.WorkingSetSize), countHandles ? CountHandles() : 0,
        GetGuiResources(GetCurrentProcess(), GR_GDIOBJECTS));
}

// For a soak: the resources every 10 s, on a thread of its own so that the reads keep their pace.
DWORD WINAPI SampleResources(void* parameter) {
    const int handle = static_cast<int>(reinterpret_cast<intptr_t>(parameter));
    while (WaitForSingleObject(closeEvents[handle], 10000) == WAIT_TIMEOUT)
        LogMemory(handle, true);
    return 0;
}

void LogReportCountsEverySecond(int handle) {
    static std::atomic<double> lastMs;
    const double now = NowMs();
    if (now - lastMs < 1000)
        return;
    lastMs = now;
    LogReportCounts(handle);
}

} // namespace

extern "C" int OpenHidHandle(int vendorId, int productId) {
    const double startMs = NowMs();
    OpenLog();
    LoadScenario();
    int handle = -1;
    if (!scenario.absent && vendorId == 0x057E && productId == 0x0306 &&
        lastHandle < kMaxHandles - 1) {
        handle = lastHandle + 1;
        closeEvents[handle] = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        openMs = NowMs();
        nextReportMs = openMs + 1000.0 / ConditionsAt(scenario, 0).rate;
        requestedKind = 0x30;
        reportNumber = 0;
        droppedReports = 0;
        handleOpen[handle] = true;
        lastHandle = handle;
        if (scenario.logSummaryOnly)
            CloseHandle(CreateThread(nullptr, 0, SampleResources,
                                     reinterpret_cast<void*>(static_cast<intptr_t>(handle)), 0,
                                     nullptr));
    }
    Log(startMs, "OpenHidHandle %04X %04X -> %d", vendorId, productId, handle);
    return handle;
}

extern "C" int ReadReport(int handle, unsigned char* report, unsigned int* count) {
    const double startMs = NowMs();
    const int result = Read(handle, report, count);
    if (scenario.logSummaryOnly) {
        LogReportCountsEverySecond(handle);
        return result;
    }
    char bytes[kBytesTextSize];
    if (result)
        FormatBytes(report, bytes);
    Log(startMs, "ReadReport %d -> %d done %.3f%s%s", handle, result, NowMs(), result ? " : " : "",
        result ? bytes : "");
    return result;
}

extern "C" int WriteReport(int handle, unsigned char* report, unsigned int* count) {
    const double startMs = NowMs();
    const int result = IsOpen(handle) ? 1 : 0;
    if (result && report[0] == 0x12)
        requestedKind = report[2];
    if (result && count)
        *count = kReportLength;
    char bytes[kBytesTextSize];
    FormatBytes(report, bytes);
    Log(startMs, "WriteReport %d -> %d : %s", handle, result, bytes);
    return result;
}

extern "C" int CloseHidHandle(int handle) {
    const double startMs = NowMs();
    bool wasOpen = IsOpen(handle);
    if (wasOpen && handleOpen[handle].exchange(false))
        SetEvent(closeEvents[handle]);
    else
        wasOpen = false;
    Log(startMs, "CloseHidHandle %d -> %d", handle, wasOpen ? 1 : 0);
    if (wasOpen) {
        LogReportCounts(handle);
        LogMemory(handle, false);
    }
    return wasOpen ? 1 : 0;
}
