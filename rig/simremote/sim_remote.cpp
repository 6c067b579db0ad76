// The simulated remote: a HID library with the real one's four exports that behaves like the
// remote as the program sees it. It answers a mode request (12 00 <id>) with input reports of
// that ID at the scenario's rate, and logs every call so that tests can see what the program
// said and when.
//
// SIMREMOTE_SCENARIO names a scenario file (see scenario.h); without it the remote shows four
// moving lights. SIMREMOTE_LOG names a file that gets one line per call (see hid/call_log.h).
// Unlike the virtual device, this remote shows the IR objects without the sensor's set-up and
// sends in mode 30 at the rate too: it is the remote as the program's reads see it. After a close
// (and, with "log summary", every second instead of a line per read) a line
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
#include <cstdio>
#include <cstring>

#include "hid/hid_library.h"
#include "hid/call_log.h"
#include "kernel_safe_model/remote_reports.h"
#include "rig_facts.h"
#include "kernel_safe_model/scenario.h"

namespace {

constexpr int kReportLength = kRemoteReportLength;
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

// Loads the scenario the environment names; any problem gives a remote that is absent.
void LoadScenario() {
    static char text[512 * 1024];
    char path[MAX_PATH];
    if (!GetEnvironmentVariableA("SIMREMOTE_SCENARIO", path, sizeof path)) {
        scenario = {};
        scenario.stepCount = 1;
        scenario.steps[0] = {0.0, StepKind::kDemo, {}, {}};
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

bool IsOpen(int handle) {
    return handle > 0 && handle < kMaxHandles && handleOpen[handle];
}

// Waits for the next report to be due; false when the handle is closed meanwhile.
bool WaitForNextReport(int handle, double periodMs) {
    const double dueMs = nextReportMs.load();
    const double waitMs = dueMs - CallLogNowMs();
    if (waitMs > 0 && WaitForSingleObject(closeEvents[handle],
                                          static_cast<DWORD>(std::ceil(waitMs))) == WAIT_OBJECT_0)
        return false;
    double next = dueMs + periodMs;
    const double now = CallLogNowMs();
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
    const Conditions atStart = ConditionsAt(scenario, CallLogNowMs() - openMs);
    // A remote switched off fails as the real library does with a device that has gone: the read
    // waits for the close.
    if (atStart.flow == Flow::kSilent || atStart.flow == Flow::kOff)
        return WaitForClose(handle);
    if (!WaitForNextReport(handle, 1000.0 / atStart.rate))
        return 0;
    const double atMs = CallLogNowMs();
    const Conditions conditions = ConditionsAt(scenario, atMs - openMs);
    if (conditions.flow == Flow::kSilent || conditions.flow == Flow::kOff)
        return WaitForClose(handle);
    if (conditions.flow == Flow::kFail)
        return 0;
    // This remote shows the IR objects whether or not the program has set the sensor up.
    const RemoteSettings settings = {requestedKind, true};
    BuildReport(conditions, settings, reportNumber.fetch_add(1), (atMs - openMs) / 1000.0, report);
    if (count)
        *count = kReportLength;
    return 1;
}

void LogReportCounts(int handle) {
    LogCall(CallLogNowMs(), "Reports %d -> %u dropped %.0f", handle, reportNumber.load(),
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
    LogCall(CallLogNowMs(), "Memory %d -> private %zu pagefile %zu working %zu handles %u gdi %lu",
            handle, static_cast<size_t>(counters.PrivateUsage),
            static_cast<size_t>(counters.PagefileUsage),
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
    const double now = CallLogNowMs();
    if (now - lastMs < 1000)
        return;
    lastMs = now;
    LogReportCounts(handle);
}

} // namespace

extern "C" int OpenHidHandle(int vendorId, int productId) {
    const double startMs = CallLogNowMs();
    OpenCallLog("SIMREMOTE_LOG");
    LoadScenario();
    int handle = -1;
    const int product = scenario.laterModel ? kLaterRemoteProduct : kRemoteProduct;
    if (!scenario.absent && vendorId == kRemoteVendor && productId == product &&
        lastHandle < kMaxHandles - 1) {
        handle = lastHandle + 1;
        closeEvents[handle] = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        openMs = CallLogNowMs();
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
    LogCall(startMs, "OpenHidHandle %04X %04X -> %d", vendorId, productId, handle);
    return handle;
}

extern "C" int ReadReport(int handle, unsigned char* report, unsigned int* count) {
    const double startMs = CallLogNowMs();
    const int result = Read(handle, report, count);
    if (scenario.logSummaryOnly) {
        LogReportCountsEverySecond(handle);
        return result;
    }
    LogRead(startMs, handle, result, report);
    return result;
}

extern "C" int WriteReport(int handle, unsigned char* report, unsigned int* count) {
    const double startMs = CallLogNowMs();
    const bool off = ConditionsAt(scenario, CallLogNowMs() - openMs).flow == Flow::kOff;
    const int result = IsOpen(handle) && !off ? 1 : 0;
    if (result && report[0] == 0x12)
        requestedKind = report[2];
    if (result && count)
        *count = kReportLength;
    LogWrite(startMs, handle, result, report);
    return result;
}

extern "C" int CloseHidHandle(int handle) {
    const double startMs = CallLogNowMs();
    bool wasOpen = IsOpen(handle);
    if (wasOpen && handleOpen[handle].exchange(false))
        SetEvent(closeEvents[handle]);
    else
        wasOpen = false;
    LogCall(startMs, "CloseHidHandle %d -> %d", handle, wasOpen ? 1 : 0);
    if (wasOpen) {
        LogReportCounts(handle);
        LogMemory(handle, false);
    }
    return wasOpen ? 1 : 0;
}
