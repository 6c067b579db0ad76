// The virtual remote's behaviour, on the scenario language and the report building that the
// simulated DLL uses too.
#include "virtremote/remote.h"

#include "simremote/remote_reports.h"
#include "simremote/scenario.h"
#include "virtremote/kernel_support.h"
#include "virtremote/report_descriptor.h"

extern "C" __declspec(dllimport) int __cdecl _snprintf(char* buffer, size_t count,
                                                       const char* format, ...);

namespace {

constexpr int kPathChars = 260;
// Reports the remote holds for a host that does not read; older ones are dropped.
constexpr int kQueuedReports = 32;
constexpr ULONGLONG kIdleStepMicroseconds = 10000;
// The sensor's enable register, and what it holds when the camera is on.
constexpr ULONG kIrEnableRegister = 0xB00030;
constexpr uint8_t kIrEnabled = 0x08;

WCHAR serviceKeyText[kPathChars];
UNICODE_STRING serviceKey;

// Sessions begin one at a time: the scenario is read and parsed into the spare buffer, then the
// two change places under the state lock.
KEVENT sessionIdle;
WCHAR sessionPath[kPathChars] = L"\1"; // no session yet
char scenarioText[512 * 1024];
Scenario scenarios[2];

// The remote's state, under stateLock.
KSPIN_LOCK stateLock;
int activeScenario;
bool sessionRunning;
ULONGLONG sessionStart;
ULONGLONG nextReportDue;
unsigned reportNumber;
uint8_t lastButtons[2];
RemoteSettings settings = {0x30, false};

struct StateLock {
    KIRQL irql;
    StateLock() {
        KeAcquireSpinLock(&stateLock, &irql);
    }
    ~StateLock() {
        KeReleaseSpinLock(&stateLock, irql);
    }
};

double MsSince(ULONGLONG start, ULONGLONG now) {
    return static_cast<double>(now - start) / 1000.0;
}

bool SamePath(const WCHAR* a, const WCHAR* b) {
    for (; *a && *a == *b; ++a, ++b) {
    }
    return *a == *b;
}

void CopyPath(WCHAR* to, const WCHAR* from) {
    int i = 0;
    for (; from[i] && i + 1 < kPathChars; ++i)
        to[i] = from[i];
    to[i] = 0;
}

// A scenario of one step at its start.
void UseOneStep(Scenario& scenario, StepKind kind) {
    scenario = {};
    scenario.stepCount = 1;
    scenario.steps[0].kind = kind;
}

// Reads and parses the named scenario into the spare buffer; no scenario named: the demo. One that
// cannot be used leaves the remote switched off until the next.
bool ParseNamedScenario(const WCHAR* path, Scenario& scenario, char* error, int errorSize) {
    if (!path[0]) {
        UseOneStep(scenario, StepKind::kDemo);
        return true;
    }
    bool parsed = false;
    if (ReadWholeFile(path, scenarioText, sizeof scenarioText)) {
        parsed = ParseScenario(scenarioText, scenario, error, errorSize);
    } else {
        _snprintf(error, errorSize - 1, "cannot read the scenario");
        error[errorSize - 1] = '\0';
    }
    if (!parsed)
        UseOneStep(scenario, StepKind::kOff);
    return parsed;
}

// Begins a session when the test has named another scenario since the last one began.
void BeginSessionIfNew(ULONGLONG now) {
    WCHAR path[kPathChars];
    ReadParameter(serviceKey, L"Scenario", path, kPathChars);
    KeWaitForSingleObject(&sessionIdle, Executive, KernelMode, FALSE, nullptr);
    if (!SamePath(path, sessionPath)) {
        CopyPath(sessionPath, path);

        int spare = 0;
        {
            StateLock lock;
            spare = 1 - activeScenario;
        }
        char error[160] = "";
        const bool parsed = ParseNamedScenario(path, scenarios[spare], error, sizeof error);
        {
            StateLock lock;
            activeScenario = spare;
            sessionRunning = true;
            sessionStart = now;
            nextReportDue = now + 1000000 / ConditionsAt(scenarios[spare], 0).rate;
            reportNumber = 0;
            lastButtons[0] = lastButtons[1] = 0;
            settings = {0x30, false};
        }
        // The new log from here: the last lines of the session before stay in its own.
        WCHAR logPath[kPathChars];
        ReadParameter(serviceKey, L"Log", logPath, kPathChars);
        OpenDeviceLog(logPath);
        DeviceLog(now, "Scenario 0 -> %d : %ws%s%s", parsed ? 1 : 0, path[0] ? path : L"demo",
                  parsed ? "" : ": ", error);
    }
    KeSetEvent(&sessionIdle, IO_NO_INCREMENT, FALSE);
}

// Why the remote refuses an output report, and the status the request ends with.
struct Refusal {
    NTSTATUS status;
    char reason[96];
};

// Whether the remote refuses this output report; if so, says why in refusal.
bool Refuses(bool byWriteFile, const uint8_t* bytes, ULONG length, bool switchedOff,
             const Scenario& scenario, Refusal& refusal) {
    const auto refuse = [&](NTSTATUS status, const char* format, int a = 0, int b = 0) {
        refusal.status = status;
        _snprintf(refusal.reason, sizeof refusal.reason - 1, format, a, b);
        refusal.reason[sizeof refusal.reason - 1] = '\0';
        return true;
    };
    if (switchedOff)
        return refuse(STATUS_DEVICE_NOT_CONNECTED, "the remote is switched off");
    if (length == 0)
        return refuse(STATUS_INVALID_PARAMETER, "an empty report");
    if (length > kRemoteReportLength)
        return refuse(STATUS_INVALID_PARAMETER,
                      "%d bytes, longer than the remote's %d-byte reports",
                      static_cast<int>(length), kRemoteReportLength);
    if (byWriteFile && scenario.refuseWriteFile)
        return refuse(STATUS_NOT_SUPPORTED, "WriteFile's way is refused");
    const int id = bytes[0];
    const int declared = 1 + OutputDataLength(id);
    if (declared == 1)
        return refuse(STATUS_INVALID_PARAMETER, "no output report %02X", id);
    if (static_cast<int>(length) < declared)
        return refuse(STATUS_INVALID_PARAMETER, "shorter than report %02X's %d bytes", id,
                      declared);
    if (static_cast<int>(length) != declared && scenario.refuseInexactLength)
        return refuse(STATUS_INVALID_PARAMETER, "not report %02X's %d bytes", id, declared);
    if (id == 0x12 && (bytes[2] < 0x30 || InputDataLength(bytes[2]) == 0))
        return refuse(STATUS_INVALID_PARAMETER, "no report mode %02X", bytes[2]);
    if (id == 0x16 && (bytes[5] == 0 || bytes[5] > 16))
        return refuse(STATUS_INVALID_PARAMETER, "a memory write of %d bytes (1 to 16)", bytes[5]);
    return false;
}

// What an output report the remote took changes: the report mode, the sensor's enable register.
void Apply(const uint8_t* bytes) {
    if (bytes[0] == 0x12)
        settings.requestedKind = bytes[2];
    if (bytes[0] == 0x16 && (bytes[1] & 0x04)) {
        const ULONG address = bytes[2] << 16 | bytes[3] << 8 | bytes[4];
        if (kIrEnableRegister >= address && kIrEnableRegister < address + bytes[5])
            settings.irEnabled = bytes[6 + kIrEnableRegister - address] == kIrEnabled;
    }
}

void FormatBytes(const uint8_t* bytes, ULONG length, char* text, int size) {
    int at = 0;
    text[0] = '\0';
    for (ULONG i = 0; i < length && at + 4 < size; ++i)
        at += _snprintf(text + at, size - at, i ? " %02X" : "%02X", bytes[i]);
}

} // namespace

void RemoteInitialize(const UNICODE_STRING& key) {
    KeInitializeSpinLock(&stateLock);
    KeInitializeEvent(&sessionIdle, SynchronizationEvent, TRUE);
    const ULONG chars =
        key.Length / sizeof(WCHAR) < kPathChars - 1 ? key.Length / sizeof(WCHAR) : kPathChars - 1;
    RtlCopyMemory(serviceKeyText, key.Buffer, chars * sizeof(WCHAR));
    serviceKeyText[chars] = 0;
    RtlInitUnicodeString(&serviceKey, serviceKeyText);
}

NTSTATUS RemoteTakeOutputReport(bool byWriteFile, const uint8_t* bytes, ULONG length) {
    const ULONGLONG start = NowMicroseconds();
    BeginSessionIfNew(start);
    uint8_t report[kRemoteReportLength] = {};
    const ULONG kept = length < kRemoteReportLength ? length : kRemoteReportLength;
    RtlCopyMemory(report, bytes, kept);

    Refusal refusal;
    bool refused = false;
    {
        StateLock lock;
        const Scenario& scenario = scenarios[activeScenario];
        const bool off = ConditionsAt(scenario, MsSince(sessionStart, start)).flow == Flow::kOff;
        refused = Refuses(byWriteFile, report, length, off, scenario, refusal);
        if (!refused)
            Apply(report);
    }
    char text[3 * kRemoteReportLength + 1];
    FormatBytes(report, kept, text, sizeof text);
    DeviceLog(start, "WriteReport 0 -> %d via %s length %lu : %s", refused ? 0 : 1,
              byWriteFile ? "write" : "set", length, text);
    if (!refused)
        return STATUS_SUCCESS;
    DeviceLog(start, "Refusal 0 -> 0 : %s", refusal.reason);
    return refusal.status;
}

RemoteAction RemoteStep(ULONGLONG now, uint8_t* report, ULONG* length, NTSTATUS* failure) {
    StateLock lock;
    if (!sessionRunning || now < nextReportDue)
        return RemoteAction::kNothing;
    const Scenario& scenario = scenarios[activeScenario];
    const Conditions conditions = ConditionsAt(scenario, MsSince(sessionStart, now));
    const ULONGLONG period = 1000000 / conditions.rate;
    nextReportDue += period;
    if (now > nextReportDue + kQueuedReports * period)
        nextReportDue = now + period;
    if (conditions.flow == Flow::kOff) {
        *failure = STATUS_DEVICE_NOT_CONNECTED;
        return RemoteAction::kFailRead;
    }
    if (conditions.flow == Flow::kFail) {
        *failure = STATUS_DEVICE_DATA_ERROR;
        return RemoteAction::kFailRead;
    }
    if (conditions.flow == Flow::kSilent)
        return RemoteAction::kNothing;
    // In its power-on mode the remote speaks only when a button changes.
    if (conditions.flow == Flow::kSend && ReportKind(conditions, settings) == 0x30 &&
        conditions.kind < 0 && conditions.buttons1 == lastButtons[0] &&
        conditions.buttons2 == lastButtons[1])
        return RemoteAction::kNothing;
    BuildReport(conditions, settings, reportNumber++, MsSince(sessionStart, now) / 1000.0, report);
    lastButtons[0] = conditions.buttons1;
    lastButtons[1] = conditions.buttons2;
    const int dataBytes = InputDataLength(report[0]);
    *length = dataBytes ? 1 + dataBytes : kRemoteReportLength;
    return RemoteAction::kDeliver;
}

ULONGLONG RemoteNextStepMicroseconds() {
    StateLock lock;
    return sessionRunning ? nextReportDue : NowMicroseconds() + kIdleStepMicroseconds;
}

void RemoteLogRead(ULONGLONG readMicroseconds, bool delivered, const uint8_t* report,
                   ULONG length) {
    char done[24];
    FormatMs(NowMicroseconds(), done);
    char text[3 * kRemoteReportLength + 1] = "";
    if (delivered)
        FormatBytes(report, length, text, sizeof text);
    DeviceLog(readMicroseconds, "ReadReport 0 -> %d done %s%s%s", delivered ? 1 : 0, done,
              delivered ? " : " : "", text);
}
