// Start-up, probe and teardown of the connection with the remote.
#include "control/startup.h"

#include <process.h>

#include "control/reader.h"
#include "control/wait.h"
#include "device/input_reports.h"
#include "device/ir_setup.h"
#include "device/output_reports.h"
#include "display/main_window.h"

std::atomic<uint8_t> readerRun;
std::atomic<uint8_t> probeActive;

namespace {

// The probe thread's handle. It is kept until StopProbe has decided, so that the forced end can
// only ever reach the probe thread itself, never a thread that later got the same handle.
HANDLE probeThread;
// Held until the process ends; its existence is the single-instance guard.
HANDLE instanceMutex;

constexpr int kProbePeriodMs = 100;
constexpr DWORD kProbeSleepMs = 100;
// How long the start-up waits for a probe thread still finishing its last read.
constexpr DWORD kProbeGraceMs = 100;
// A forced end comes into effect some time after TerminateThread returns; this long at most.
constexpr DWORD kProbeEndMs = 1000;

unsigned __stdcall ProbeThreadMain(void*) {
    ProbeLoop();
    return 0;
}

// Only one thread may read at a time. After a successful probe the probe thread sees readerRun
// cleared at most one read and one sleep after the probe period, long before the set-up is over;
// one that is still active now is stuck in a read that may never return, and is ended.
bool RetireProbe() {
    if (probeThread)
        WaitForSingleObject(probeThread, kProbeGraceMs);
    return StopProbe();
}

// After an original that did not answer: a later-model remote, if one opens, probed the same way
// once the original's probe thread has ended and its link is closed (one thread reads at a time,
// and a stuck read must not reach the new link). Where none opens, the original's link stays as
// it was, for the road of a failed probe.
bool ProbeLaterModel() {
    const int later = OpenHidHandle(kRemoteVendorId, kLaterRemoteProductId);
    if (later == kNoDevice)
        return false;
    // A probe thread that has not ended yet reads only the original's link, whose close ends
    // that read: the new link is never its.
    StopProbe();
    CloseRemoteLink();
    hidHandle = later;
    linkClosed = false;
    SetReportMode(0x00, kReportButtonsAccel);
    return ProbeDevice();
}

} // namespace

void ProbeLoop() {
    while (readerRun != 0 && !linkClosed) {
        probeActive = 1;
        ReadAndParse();
        Sleep(kProbeSleepMs);
    }
    probeActive = 0;
}

bool ProbeDevice() {
    RemoteState.accelX = 0;
    readerRun = 1;
    probeThread =
        reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, ProbeThreadMain, nullptr, 0, nullptr));
    WaitMs(kProbePeriodMs);
    readerRun = 0;
    return RemoteState.accelX != 0;
}

bool StopProbe() {
    if (!probeThread)
        return true;
    // The thread may end by itself between the test and the forced end; its handle is still
    // valid then, and ending a thread that has already ended does nothing.
    bool ended = true;
    if (probeActive == 1) {
        TerminateThread(probeThread, 0xFFFFFFFF);
        ended = WaitForSingleObject(probeThread, kProbeEndMs) == WAIT_OBJECT_0;
        // Ended before it could say so itself; a later probe must not find it active.
        probeActive = 0;
    }
    CloseHandle(probeThread);
    probeThread = nullptr;
    return ended;
}

void ShutdownRemote() {
    readerRun = 0;
    SetReportMode(0x00, kReportButtons);
    CloseRemoteLink();
}

int RunProgram(HINSTANCE instance, int showCommand) {
    instanceMutex = CreateMutexA(nullptr, TRUE, "wii-test-001");
    if (!instanceMutex)
        return 1;
    if (GetLastError() == ERROR_ALREADY_EXISTS)
        return 0; // another instance runs: not a failure

    // The original model first; the later one only where no original opens or answers.
    hidHandle = OpenHidHandle(kRemoteVendorId, kRemoteProductId);
    const bool laterModelAskedFor = hidHandle == kNoDevice;
    if (laterModelAskedFor)
        hidHandle = OpenHidHandle(kRemoteVendorId, kLaterRemoteProductId);
    if (hidHandle == kNoDevice) {
        MessageBoxA(nullptr, "Wii-Remote not found.", nullptr, MB_OK);
        return 1;
    }

    SetReportMode(0x00, kReportButtonsAccel);
    bool answered = ProbeDevice();
    if (!answered && !laterModelAskedFor)
        answered = ProbeLaterModel();
    if (!answered) {
        MessageBoxA(nullptr, "Wii-Remote cannot open.", nullptr, MB_OK);
        StopProbe();
        CloseRemoteLink();
        return 1;
    }

    InitIrSensor();
    if (!RetireProbe()) {
        // A second reader beside a probe read that is still going on could take its reports.
        ShutdownRemote();
        MessageBoxA(nullptr, "Wii-Remote cannot open.", nullptr, MB_OK);
        return 1;
    }
    _beginthread(ReaderThreadMain, 0, nullptr);

    if (!CreateMainWindow(instance, showCommand)) {
        // Not a success: leave the remote as it was found and say so in the exit code.
        ShutdownRemote();
        return 1;
    }
    return RunMessageLoop();
}
