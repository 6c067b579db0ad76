// The simulated remote: the shipped HID library (src/hid: its search, links and capture) over a
// stack of its own that serves the remote model's device, so that this tiny_hid_dll.dll differs
// from the shipped one only below the library's stack. The device declares the remote's ids and
// report descriptor; it answers a mode request (12 00 <id>) with input reports of that ID at the
// scenario's rate: at once when one is due, else on a thread of the stack's when it falls due, as
// a class driver completes them.
//
// SIMREMOTE_SCENARIO names a scenario file (see scenario.h); without it the remote shows four
// moving lights. TINY_HID_CAPTURE names the capture, as for the shipped library. Unlike the
// virtual device, this remote shows the IR objects without the sensor's set-up and sends in mode
// 30 at the rate too: it is the remote as the program's reads see it. The stack adds the device's
// own lines to the capture: at the link's close (and, with "log summary", every second instead of
// a line per read)
//     <pid> <tid> <ms> Reports <device> -> <delivered> dropped <dropped>
// counts the reports delivered so far and those dropped because the reader fell behind, and
//     <pid> <tid> <ms> Memory <device> -> private <bytes> pagefile <bytes> working <bytes>
//         handles <n> gdi <n>
// gives the memory and GDI objects of the program's process at the close and, with "log summary",
// every 10 s while the device is open, then with its kernel handles (0 at the close).
#include <windows.h>

#include <psapi.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "hid/call_log.h"
#include "hid/device_search.h"
#include "kernel_safe_model/remote_reports.h"
#include "kernel_safe_model/report_descriptor.h"
#include "kernel_safe_model/scenario.h"
#include "rig_facts.h"

namespace {

constexpr LONG kStatusSuccess = 0;
constexpr LONG kStatusPending = 0x00000103;
constexpr LONG kStatusCancelled = static_cast<LONG>(0xC0000120);
constexpr LONG kStatusDeviceNotConnected = static_cast<LONG>(0xC000009D);
// Opens of the device at once, the probe's and the run's among them.
constexpr int kMaxDevices = 16;
// Reports the remote holds for a reader that falls behind; older ones are dropped.
constexpr int kQueuedReports = 32;
constexpr const char* kDevicePath = "\\\\?\\hid#simremote#1";

// One open of the remote's device. Its handle is an event of its own, which the link closes as
// it would close a device's.
struct SimDevice {
    HANDLE handle;
    bool open;
    // The open's number, in the device's lines; the soak's sampling reads it without the lock.
    std::atomic<int> number;
    OVERLAPPED* read; // the read waiting for the next report
    void* readBuffer;
    DWORD readLength;
    HANDLE closed; // set by the link's close: the soak's sampling ends
};

// Guards everything below: the stack's calls come from the program's threads, the reports from
// the stack's own.
std::mutex stackLock;
SimDevice devices[kMaxDevices];
int lastDeviceNumber;
Scenario scenario;
double openMs;
double nextReportMs;
unsigned delivered;
double dropped; // reports dropped because the reader fell more than kQueuedReports behind
int requestedKind = 0x30;
double lastCountsMs;
HANDLE stackWake; // a read to serve
INIT_ONCE stackStarted = INIT_ONCE_STATIC_INIT;

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

void LogReportCounts(const SimDevice& device) {
    LogCall(CallLogNowMs(), "Reports %d -> %u dropped %.0f", device.number.load(), delivered,
            dropped);
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
void LogMemory(int number, bool countHandles) {
    PROCESS_MEMORY_COUNTERS_EX counters = {};
    counters.cb = sizeof counters;
    GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                         sizeof counters);
    LogCall(CallLogNowMs(), "Memory %d -> private %zu pagefile %zu working %zu handles %u gdi %lu",
            number, static_cast<size_t>(counters.PrivateUsage),
            static_cast<size_t>(counters.PagefileUsage),
            static_cast<size_t>(counters.WorkingSetSize), countHandles ? CountHandles() : 0,
            GetGuiResources(GetCurrentProcess(), GR_GDIOBJECTS));
}

// For a soak: the resources every 10 s, on a thread of its own so that the reports keep their
// pace.
DWORD WINAPI SampleResources(void* parameter) {
    const SimDevice& device = devices[reinterpret_cast<intptr_t>(parameter)];
    while (WaitForSingleObject(device.closed, 10000) == WAIT_TIMEOUT)
        LogMemory(device.number.load(), true);
    return 0;
}

void Complete(OVERLAPPED* overlapped, LONG status, DWORD length) {
    overlapped->Internal = static_cast<ULONG_PTR>(status);
    overlapped->InternalHigh = length;
    SetEvent(overlapped->hEvent);
}

SimDevice* DeviceOf(HANDLE handle) {
    for (SimDevice& device : devices)
        if (device.handle == handle)
            return &device;
    return nullptr;
}

bool Quiet(Flow flow) {
    return flow == Flow::kSilent || flow == Flow::kOff || flow == Flow::kFail;
}

// Gives the waiting read of this device the next report if it is due, and returns INFINITE;
// otherwise returns how long until then. Silent, switched off or failing, the remote lets its
// periods pass without a report, as the HID stack passes over reads that the device fails.
DWORD ServeRead(SimDevice& device) {
    const double now = CallLogNowMs();
    if (now < nextReportMs)
        return static_cast<DWORD>(std::ceil(nextReportMs - now));
    const Conditions conditions = ConditionsAt(scenario, now - openMs);
    const double periodMs = 1000.0 / conditions.rate;
    double next = nextReportMs + periodMs;
    if (now - next > kQueuedReports * periodMs) {
        dropped += (now - next) / periodMs;
        next = now;
    }
    nextReportMs = next;
    if (Quiet(conditions.flow))
        return static_cast<DWORD>(std::ceil(next > now ? next - now : 0));
    // This remote shows the IR objects whether or not the program has set the sensor up.
    const RemoteSettings settings = {requestedKind, true};
    unsigned char report[kRemoteReportLength];
    BuildReport(conditions, settings, delivered++, (now - openMs) / 1000.0, report);
    const DWORD length = device.readLength < sizeof report ? device.readLength : sizeof report;
    std::memcpy(device.readBuffer, report, length);
    Complete(device.read, kStatusSuccess, length);
    device.read = nullptr;
    if (scenario.logSummaryOnly && now - lastCountsMs >= 1000) {
        lastCountsMs = now;
        LogReportCounts(device);
    }
    return INFINITE;
}

// The stack's thread: it completes the waiting reads as their reports fall due.
DWORD WINAPI ServeReads(void*) {
    for (;;) {
        DWORD waitMs = INFINITE;
        {
            std::lock_guard<std::mutex> hold(stackLock);
            for (SimDevice& device : devices)
                if (device.read) {
                    const DWORD untilDue = ServeRead(device);
                    waitMs = untilDue < waitMs ? untilDue : waitMs;
                }
        }
        WaitForSingleObject(stackWake, waitMs);
    }
}

BOOL CALLBACK StartStack(INIT_ONCE*, void*, void**) {
    stackWake = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    const HANDLE thread = CreateThread(nullptr, 0, ServeReads, nullptr, 0, nullptr);
    if (!stackWake || !thread)
        return FALSE;
    CloseHandle(thread);
    return TRUE;
}

// The device list: the remote's one device, unless the scenario says it is absent.

bool SimBeginList(void** list, const char** step, DWORD* error) {
    std::lock_guard<std::mutex> hold(stackLock);
    LoadScenario();
    LogReadLines(!scenario.logSummaryOnly);
    if (!InitOnceExecuteOnce(&stackStarted, StartStack, nullptr, nullptr)) {
        *step = "the simulated stack's start";
        *error = GetLastError();
        return false;
    }
    *list = nullptr;
    return true;
}

ListedPath SimInterfacePath(void*, DWORD index, char* path, DWORD size, DWORD* error) {
    std::lock_guard<std::mutex> hold(stackLock);
    *error = ERROR_NO_MORE_ITEMS;
    if (index > 0 || scenario.absent)
        return ListedPath::kEndOfList;
    std::snprintf(path, size, "%s", kDevicePath);
    return ListedPath::kListed;
}

void SimEndList(void*) {}

// What the class driver would make of the remote's report descriptor: each report's ID byte and
// data bytes, the longest report in each direction as the collection's length.
bool SimAskDevice(const char* path, DeviceFacts& facts, DWORD* error) {
    std::lock_guard<std::mutex> hold(stackLock);
    if (std::strcmp(path, kDevicePath) != 0) {
        *error = ERROR_FILE_NOT_FOUND;
        return false;
    }
    std::memset(&facts, 0, sizeof facts);
    facts.attributes.Size = sizeof facts.attributes;
    facts.attributes.VendorID = kRemoteVendor;
    facts.attributes.ProductID = scenario.laterModel ? kLaterRemoteProduct : kRemoteProduct;
    facts.caps.UsagePage = 0x01; // generic desktop
    facts.caps.Usage = 0x05;     // game pad
    for (int id = 0; id < kReportIds; ++id) {
        const int output = OutputDataLength(id);
        const int input = InputDataLength(id);
        facts.outputDeclared[id] = output > 0;
        facts.outputLengthById[id] = static_cast<unsigned short>(output ? 1 + output : 0);
        if (1 + output > facts.caps.OutputReportByteLength)
            facts.caps.OutputReportByteLength = static_cast<USHORT>(1 + output);
        if (1 + input > facts.caps.InputReportByteLength)
            facts.caps.InputReportByteLength = static_cast<USHORT>(1 + input);
    }
    facts.described = true;
    *error = ERROR_SUCCESS;
    return true;
}

HANDLE SimOpenForReports(const char* path, DWORD* error) {
    std::lock_guard<std::mutex> hold(stackLock);
    SimDevice* slot = nullptr;
    for (SimDevice& device : devices)
        if (!slot && !device.open && !device.read)
            slot = &device;
    if (std::strcmp(path, kDevicePath) != 0 || !slot) {
        *error = slot ? ERROR_FILE_NOT_FOUND : ERROR_TOO_MANY_OPEN_FILES;
        return INVALID_HANDLE_VALUE;
    }
    const HANDLE handle = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!slot->closed)
        slot->closed = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!handle || !slot->closed) {
        *error = GetLastError();
        if (handle)
            CloseHandle(handle);
        return INVALID_HANDLE_VALUE;
    }
    // A handle value comes back only once the link has closed the device that had it.
    for (SimDevice& device : devices)
        if (device.handle == handle)
            device.handle = nullptr;
    ResetEvent(slot->closed);
    slot->handle = handle;
    slot->open = true;
    slot->number = ++lastDeviceNumber;
    openMs = CallLogNowMs();
    nextReportMs = openMs + 1000.0 / ConditionsAt(scenario, 0).rate;
    requestedKind = 0x30;
    delivered = 0;
    dropped = 0;
    lastCountsMs = 0;
    if (scenario.logSummaryOnly)
        CloseHandle(CreateThread(nullptr, 0, SampleResources,
                                 reinterpret_cast<void*>(slot - devices), 0, nullptr));
    *error = ERROR_SUCCESS;
    return handle;
}

// The stack's calls. Writes are taken at once, or fail as a disconnected device's while the
// remote is switched off; a read takes a report that is due, or waits for the stack's thread.

BOOL SimWrite(HANDLE handle, void* report, DWORD length, OVERLAPPED* overlapped) {
    std::lock_guard<std::mutex> hold(stackLock);
    const SimDevice* device = DeviceOf(handle);
    if (!device || !device->open) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    // As Wine's stack fails a write to a remote that has gone: it goes pending and ends with the
    // device's status.
    if (ConditionsAt(scenario, CallLogNowMs() - openMs).flow == Flow::kOff) {
        Complete(overlapped, kStatusDeviceNotConnected, 0);
        SetLastError(ERROR_IO_PENDING);
        return FALSE;
    }
    const auto* bytes = static_cast<const unsigned char*>(report);
    if (length >= 3 && bytes[0] == 0x12)
        requestedKind = bytes[2];
    Complete(overlapped, kStatusSuccess, length);
    return TRUE;
}

BOOL SimRead(HANDLE handle, void* report, DWORD length, OVERLAPPED* overlapped) {
    std::lock_guard<std::mutex> hold(stackLock);
    SimDevice* device = DeviceOf(handle);
    if (!device || !device->open || device->read) {
        SetLastError(device && device->read ? ERROR_BUSY : ERROR_DEVICE_NOT_CONNECTED);
        return FALSE;
    }
    overlapped->Internal = kStatusPending;
    device->read = overlapped;
    device->readBuffer = report;
    device->readLength = length;
    // A report that is due already is taken at once, as a class driver completes a read from
    // the reports it holds; only a read that must wait goes to the stack's thread.
    if (ServeRead(*device) == INFINITE)
        return TRUE;
    SetEvent(stackWake);
    SetLastError(ERROR_IO_PENDING);
    return FALSE;
}

// A cancel of everything is the link's close: the device's lines follow it.
BOOL SimCancel(HANDLE handle, OVERLAPPED* overlapped) {
    std::lock_guard<std::mutex> hold(stackLock);
    SimDevice* device = DeviceOf(handle);
    if (!device) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    const bool found = device->read && (!overlapped || overlapped == device->read);
    if (found) {
        Complete(device->read, kStatusCancelled, 0);
        device->read = nullptr;
    }
    if (!overlapped && device->open) {
        device->open = false;
        SetEvent(device->closed);
        LogReportCounts(*device);
        LogMemory(device->number.load(), false);
    }
    if (!found && overlapped) {
        SetLastError(ERROR_NOT_FOUND);
        return FALSE;
    }
    return TRUE;
}

constexpr LinkStack kSimulatedStack = {SimWrite, SimWrite, SimRead, SimCancel};
constexpr DeviceSearch kSimulatedSearch = {SimBeginList, SimInterfacePath,  SimEndList,
                                           SimAskDevice, SimOpenForReports, &kSimulatedStack};

} // namespace

const DeviceSearch& LibrarySearch() {
    return kSimulatedSearch;
}
