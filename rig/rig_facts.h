// What the rig and the tests take as given, stated once: the remote's identifiers and report
// length, the virtual remote's names, and the program's names and waits as the tests expect them.
// Plain constants, so that the virtual remote's kernel-mode driver includes them too. What a test
// checks of the program (a message, the title) stays a literal in that test.
#pragma once

// The remote, and the devices beside it.
constexpr unsigned short kRemoteVendor = 0x057E;
constexpr unsigned short kRemoteProduct = 0x0306;
constexpr unsigned short kLaterRemoteProduct = 0x0330; // the later model
constexpr unsigned short kOtherProduct = 0x0001;       // the virtual remote's device of other IDs
constexpr unsigned short kNoDeviceProduct = 0x0331;    // no device has it
constexpr int kRemoteReportLength = 22;

// The virtual remote: hardware IDs (root\virtremote-2 to -5 for more remotes) and the registry
// key under which each remote finds its scenario and log ("\<n>" below it for remote n).
constexpr const char* kVirtualRemoteId = "root\\virtremote";
constexpr const char* kVirtualOtherId = "root\\virtremote-other";
constexpr int kMaxVirtualRemotes = 5;
constexpr const char* kVirtualRemoteParametersKey =
    "System\\CurrentControlSet\\Services\\virtremote\\Parameters";

// The program: its file, its main window's class, and its own waits from the open until it
// reads every report: the probe, the set-up's two pauses, the reader's delay.
constexpr const char* kProgramFile = "ir-sensor-test.exe";
constexpr const char* kMainWindowClass = "wnd-001";
// The file a hid.dll planted beside the program leaves in its own folder when it is loaded.
constexpr const char* kPlantedDllMark = "the planted hid.dll was loaded";
constexpr int kProgramWaitsUntilLiveMs = 100 + 200 + 200 + 500;
