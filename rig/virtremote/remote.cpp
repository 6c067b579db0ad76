// The virtual remote's behaviour, on the scenario language and the report building that the
// simulated remote's stack uses too.
#include "virtremote/remote.h"

#include "hid/log_line.h"
#include "kernel_safe_model/remote_reports.h"
#include "kernel_safe_model/scenario.h"
#include "virtremote/kernel_support.h"
#include "kernel_safe_model/report_descriptor.h"

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

// How often a device's report thread looks for a newly named scenario.
constexpr ULONGLONG kPollMicroseconds = 10000;
// The remotes and the device of other identifiers.
constexpr int kMaxRemotes = kMaxVirtualRemotes + 1;
constexpr int kSubkeyChars = 32;

WCHAR serviceKeyText[kPathChars];
UNICODE_STRING serviceKey;

// The text of a scenario being parsed: one for all remotes, which parse one at a time.
KEVENT parseIdle;
char scenarioText[512 * 1024];

} // namespace

struct RemoteContext {
    WCHAR subkey[kSubkeyChars]; // empty: the slot is free
    DeviceLogFile log;
    // The report thread's own: the scenario taken up last, and when to look again.
    WCHAR sessionPath[kPathChars];
    ULONGLONG nextPoll;
    // The active scenario and the spare one, which the report thread parses a new one into;
    // the two change places under stateLock.
    Scenario scenarios[2];

    // The remote's state, under stateLock.
    KSPIN_LOCK stateLock;
    int activeScenario;
    bool sessionPending; // taken up, waiting for the first output report
    bool sessionRunning;
    ULONGLONG sessionStart;
    ULONGLONG nextReportDue;
    unsigned reportNumber;
    uint8_t lastButtons[2];
    RemoteSettings settings;
};

namespace {

RemoteContext remotes[kMaxRemotes];
KSPIN_LOCK attachLock;

struct StateLock {
    KSPIN_LOCK& lock;
    KIRQL irql;
    explicit StateLock(KSPIN_LOCK& held) : lock(held) {
        KeAcquireSpinLock(&lock, &irql);
    }
    ~StateLock() {
        KeReleaseSpinLock(&lock, irql);
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

// Reads and parses the named scenario; no scenario named: the demo. One that cannot be used
// leaves the remote switched off until the next.
bool ParseNamedScenario(const WCHAR* path, Scenario& scenario, char* error, int errorSize) {
    if (!path[0]) {
        UseOneStep(scenario, StepKind::kDemo);
        return true;
    }
    bool parsed = false;
    KeWaitForSingleObject(&parseIdle, Executive, KernelMode, FALSE, nullptr);
    if (ReadWholeFile(path, scenarioText, sizeof scenarioText)) {
        parsed = ParseScenario(scenarioText, scenario, error, errorSize);
    } else {
        _snprintf(error, errorSize - 1, "cannot read the scenario");
        error[errorSize - 1] = '\0';
    }
    KeSetEvent(&parseIdle, IO_NO_INCREMENT, FALSE);
    if (!parsed)
        UseOneStep(scenario, StepKind::kOff);
    return parsed;
}

// A session of the remote begins: its clock starts now. Under stateLock.
void BeginSession(RemoteContext& remote, ULONGLONG now) {
    remote.sessionPending = false;
    remote.sessionRunning = true;
    remote.sessionStart = now;
    remote.nextReportDue =
        now + 1000000 / ConditionsAt(remote.scenarios[remote.activeScenario], 0).rate;
    remote.reportNumber = 0;
    remote.lastButtons[0] = remote.lastButtons[1] = 0;
    remote.settings = {0x30, false};
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
    if (scenario.refuseEvery)
        return refuse(STATUS_UNSUCCESSFUL, "an empty slot that fails every output report");
    // The host learns nothing: the request is completed, and the remote never sees it.
    if (!byWriteFile && scenario.laterModel)
        return refuse(STATUS_SUCCESS, "dropped: the later model takes output reports by WriteFile");
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
void Apply(RemoteSettings& settings, const uint8_t* bytes) {
    if (bytes[0] == 0x12)
        settings.requestedKind = bytes[2];
    if (bytes[0] == 0x16 && (bytes[1] & 0x04)) {
        const ULONG address = bytes[2] << 16 | bytes[3] << 8 | bytes[4];
        if (kIrEnableRegister >= address && kIrEnableRegister < address + bytes[5])
            settings.irEnabled = bytes[6 + kIrEnableRegister - address] == kIrEnabled;
    }
}

} // namespace

void RemoteInitialize(const UNICODE_STRING& key) {
    KeInitializeSpinLock(&attachLock);
    KeInitializeEvent(&parseIdle, SynchronizationEvent, TRUE);
    const ULONG chars =
        key.Length / sizeof(WCHAR) < kPathChars - 1 ? key.Length / sizeof(WCHAR) : kPathChars - 1;
    RtlCopyMemory(serviceKeyText, key.Buffer, chars * sizeof(WCHAR));
    serviceKeyText[chars] = 0;
    RtlInitUnicodeString(&serviceKey, serviceKeyText);
}

RemoteContext* RemoteAttach(const WCHAR* subkey) {
    StateLock lock(attachLock);
    RemoteContext* free = nullptr;
    for (RemoteContext& remote : remotes) {
        if (remote.subkey[0] && SamePath(remote.subkey, subkey))
            return &remote;
        if (!remote.subkey[0] && !free)
            free = &remote;
    }
    if (!free)
        return nullptr;
    int i = 0;
    for (; subkey[i] && i + 1 < kSubkeyChars; ++i)
        free->subkey[i] = subkey[i];
    free->subkey[i] = 0;
    InitializeDeviceLog(free->log);
    KeInitializeSpinLock(&free->stateLock);
    free->sessionPath[0] = 1; // no scenario taken up yet
    free->sessionPath[1] = 0;
    free->settings = {0x30, false};
    return free;
}

void RemoteDetachAll() {
    for (RemoteContext& remote : remotes)
        if (remote.subkey[0])
            OpenDeviceLog(remote.log, L"");
}

unsigned short RemoteProductId(RemoteContext& remote) {
    return static_cast<unsigned short>(
        ReadNumberParameter(serviceKey, remote.subkey, L"Product", kRemoteProduct));
}

int RemoteReportDescriptor(RemoteContext& remote, uint8_t* out, int size) {
    const ULONG given = ReadBinaryParameter(serviceKey, remote.subkey, L"Descriptor", out, size);
    return given ? static_cast<int>(given) : BuildReportDescriptor(out, size);
}

void RemotePoll(RemoteContext& remote, ULONGLONG now) {
    if (now < remote.nextPoll)
        return;
    remote.nextPoll = now + kPollMicroseconds;
    WCHAR path[kPathChars];
    ReadParameter(serviceKey, remote.subkey, L"Scenario", path, kPathChars);
    if (SamePath(path, remote.sessionPath))
        return;
    CopyPath(remote.sessionPath, path);

    int spare = 0;
    {
        StateLock lock(remote.stateLock);
        spare = 1 - remote.activeScenario;
    }
    char error[160] = "";
    const bool parsed = ParseNamedScenario(path, remote.scenarios[spare], error, sizeof error);
    {
        StateLock lock(remote.stateLock);
        remote.activeScenario = spare;
        remote.sessionRunning = false;
        remote.sessionPending = true;
    }
    // The new log from here: the last lines of the session before stay in its own.
    WCHAR logPath[kPathChars];
    ReadParameter(serviceKey, remote.subkey, L"Log", logPath, kPathChars);
    OpenDeviceLog(remote.log, logPath);
    DeviceLog(remote.log, now, "Scenario 0 -> %d : %ws%s%s", parsed ? 1 : 0,
              path[0] ? path : L"demo", parsed ? "" : ": ", error);
}

NTSTATUS RemoteTakeOutputReport(RemoteContext& remote, bool byWriteFile, const uint8_t* bytes,
                                ULONG length) {
    const ULONGLONG start = NowMicroseconds();
    uint8_t report[kRemoteReportLength] = {};
    const ULONG kept = length < kRemoteReportLength ? length : kRemoteReportLength;
    RtlCopyMemory(report, bytes, kept);

    Refusal refusal;
    bool refused = false;
    {
        StateLock lock(remote.stateLock);
        if (remote.sessionPending)
            BeginSession(remote, start);
        const Scenario& scenario = remote.scenarios[remote.activeScenario];
        const bool off =
            ConditionsAt(scenario, MsSince(remote.sessionStart, start)).flow == Flow::kOff;
        refused = Refuses(byWriteFile, report, length, off, scenario, refusal);
        if (!refused)
            Apply(remote.settings, report);
    }
    char text[kLogReportTextSize];
    FormatLogReport(report, static_cast<int>(kept), text);
    DeviceLog(remote.log, start, "WriteReport 0 -> %d via %s length %lu : %s", refused ? 0 : 1,
              byWriteFile ? "write" : "set", length, text);
    if (!refused)
        return STATUS_SUCCESS;
    DeviceLog(remote.log, start, "Refusal 0 -> 0 : %s", refusal.reason);
    return refusal.status;
}

RemoteAction RemoteStep(RemoteContext& remote, ULONGLONG now, uint8_t* report, ULONG* length,
                        NTSTATUS* failure) {
    StateLock lock(remote.stateLock);
    if (!remote.sessionRunning || now < remote.nextReportDue)
        return RemoteAction::kNothing;
    const Scenario& scenario = remote.scenarios[remote.activeScenario];
    const Conditions conditions = ConditionsAt(scenario, MsSince(remote.sessionStart, now));
    const ULONGLONG period = 1000000 / conditions.rate;
    remote.nextReportDue += period;
    if (now > remote.nextReportDue + kQueuedReports * period)
        remote.nextReportDue = now + period;
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
    if (conditions.flow == Flow::kSend && ReportKind(conditions, remote.settings) == 0x30 &&
        conditions.kind < 0 && conditions.buttons1 == remote.lastButtons[0] &&
        conditions.buttons2 == remote.lastButtons[1])
        return RemoteAction::kNothing;
    BuildReport(conditions, remote.settings, remote.reportNumber++,
                MsSince(remote.sessionStart, now) / 1000.0, report);
    remote.lastButtons[0] = conditions.buttons1;
    remote.lastButtons[1] = conditions.buttons2;
    const int dataBytes = InputDataLength(report[0]);
    *length = dataBytes ? 1 + dataBytes : kRemoteReportLength;
    return RemoteAction::kDeliver;
}

ULONGLONG RemoteNextStepMicroseconds(RemoteContext& remote) {
    StateLock lock(remote.stateLock);
    const ULONGLONG idle = NowMicroseconds() + kIdleStepMicroseconds;
    return remote.sessionRunning && remote.nextReportDue < idle ? remote.nextReportDue : idle;
}

void RemoteLogRead(RemoteContext& remote, ULONGLONG readMicroseconds, bool delivered,
                   const uint8_t* report, ULONG length) {
    char done[kLogTimeSize];
    FormatLogTime(NowMicroseconds(), done);
    char text[kLogReportTextSize] = "";
    if (delivered)
        FormatLogReport(report, static_cast<int>(length), text);
    DeviceLog(remote.log, readMicroseconds, "ReadReport 0 -> %d done %s%s%s", delivered ? 1 : 0,
              done, delivered ? " : " : "", text);
}
