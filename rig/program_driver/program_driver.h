// Drives the real program from the Windows side, as a user would meet it: starts it with one of
// the two remotes, a scenario and a log, finds its windows, reads and answers its message boxes,
// sends it keys and close requests, samples its pixels and reads the logs.
//
// The simulated remote is a DLL beside a copy of the program; its log has every call. The virtual
// remote is a device on the HID stack under the real library: the library's capture has every
// call, in the same format, and the device's own log what reached the device.
#pragma once

#include <windows.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "rig_facts.h"
#include "program_driver/clock.h"

// One line of a call log (hid/log_line.h): the HID library's capture or the virtual remote's
// device log.
struct LoggedCall {
    unsigned long pid = 0;
    unsigned long tid = 0;
    double ms = 0;     // start of the call, performance counter in ms
    double doneMs = 0; // return of a read
    std::string call;
    int handle = 0;
    int result = 0;
    std::string bytes; // "12 00 31 ..." for writes and successful reads
    std::string way;   // how an output report went: the capture's "exact", "request" or
                       // "padded", the device's "write" or "set"; the step of a failure
    int error = 0;     // the Windows error code of a failed call of the stack
    int length = 0;    // the device's log: the output report's length as the device got it
    std::map<std::string, double> numbers;     // every named value that is a number
    std::map<std::string, std::string> values; // every named value, as written
};

enum class Remote { kSimulated, kVirtual };

// The centres of the crosses (sensor coordinates / 2) of the scenario most runs use,
// "four-objects": four objects in view, each with its own spot on the plot.
constexpr int kCrosses[4][2] = {{100, 150}, {200, 250}, {300, 100}, {400, 350}};

struct Program {
    PROCESS_INFORMATION process = {};
    Remote remote = Remote::kSimulated;
    std::string logPath;                         // every call: the HID library's capture
    std::string deviceLogPath;                   // the virtual remote's log
    std::vector<std::string> moreDeviceLogPaths; // the logs of remotes 2 and up
    std::string folder; // a copy of the program elsewhere (CopyProgramWith); empty: the build's
    double startMs = 0;
};

// An upper bound of the cases, scaled for a program that runs under emulation: the 32-bit build
// under WoW64 or 32-bit Wine, where IR_TEST_TIME_SCALE says by how much. Lower bounds, the
// program's own waits, are never scaled.
DWORD Scaled(DWORD ms);

// The scenarios the cases use by name: the files of tests/scenarios, copied beside the driver's
// executable into scenarios\ (a name is a file's name without .txt or .log). A name with no
// file ends the process with exit code 3 and says why.
std::string ScenarioPath(const char* name);
std::string Scenario(const char* name);
// A whole file's text; empty when it cannot be read.
std::string ReadTextFile(const std::string& path);

// Makes this scenario the next one of the remote, with fresh logs, for a program or this process.
bool UseScenario(const std::string& scenarioText, Program& program, Remote remote);
// Starts ir-sensor-test.exe with this scenario and remote. For the virtual remote, a scenario
// with "absent" removes the device for the run, leaving the HID device of other identifiers;
// moreRemotes are the scenarios of remotes 2 and up, which enumerate after the first and the
// device of other identifiers, in their order, for this run.
bool StartProgram(const std::string& scenarioText, Program& program,
                  Remote remote = Remote::kSimulated,
                  const std::vector<std::string>& moreRemotes = {});
// For the virtual remote: remotes 2 and up with these scenarios, which enumerate after the first
// and the device of other identifiers, until the program is ended.
bool AddVirtualRemotes(Program& program, const std::vector<std::string>& scenarios);
// The report descriptor a virtual remote (2 and up) declares from when it is next made: the one in
// this file (hexadecimal bytes; tests/descriptors), or with "" its own.
bool DeclareDescriptor(const std::string& path, int remote = 2);
// The files of tests/descriptors, copied beside the driver's executable into descriptors\.
std::vector<std::string> DescriptorFiles();
// The users' captures kept as regression cases: tests/scenarios/recorded-*.log.
std::vector<std::string> KeptRecordings();
// Puts a copy of the program and its real HID library in a folder of its own, with this file
// beside them, as a user's Downloads folder may hold one; the program's next runs start there.
bool CopyProgramWith(Program& program, const std::string& file);
// A hid.dll of the program's build that leaves kPlantedDllMark beside itself when it is loaded.
std::string PlantedHidDll();
// Starts another instance that shares the first one's scenario and log.
bool StartAnotherInstance(const Program& first, Program& second);
// The exit code once the program has ended, or -1 if it still runs after timeoutMs.
int WaitForExit(Program& program, DWORD timeoutMs);
// Ends the program by force if it still runs, and lets go of its handles; a virtual remote that
// was removed for the run is put back.
void EndProgram(Program& program);

// A top-level window of the program with this class, waiting up to timeoutMs for it.
HWND FindProgramWindow(const Program& program, const char* className, DWORD timeoutMs = 0);
// The text of a message box, and its OK button pressed, waiting up to timeoutMs for them.
std::string MessageBoxText(HWND box, DWORD timeoutMs = Scaled(5000));
void PressOk(HWND box, DWORD timeoutMs = Scaled(5000));
// Whether the window's thread still answers within timeoutMs.
bool Answers(HWND window, DWORD timeoutMs = Scaled(2000));

// Client-area pixel colour, as 0xBBGGRR, or CLR_INVALID outside the visible area.
COLORREF PixelAt(HWND window, int x, int y);
// A marker cross centred on (cx, cy): two black strokes of nine pixels on white.
bool CrossAt(HWND window, int cx, int cy);
// The client area's pixels, row by row, as 0x00RRGGBB.
std::vector<uint32_t> ClientPicture(HWND window);
// Waits up to timeoutMs for a cross to show at (cx, cy).
bool WaitForCross(HWND window, int cx, int cy, DWORD timeoutMs);

// A call log's lines; ReadLog: the program's capture.
std::vector<LoggedCall> ReadLogFile(const std::string& path);
std::vector<LoggedCall> ReadLog(const Program& program);
// The virtual remote's log of this run: "WriteReport" lines are the output reports it got (result
// 0: refused, a "Refusal" line says why), "ReadReport" lines the input reports it delivered.
std::vector<LoggedCall> ReadDeviceLog(const Program& program, int remote = 1);
// The calls of one kind ("WriteReport", ...; null: all) made by the program's own process.
std::vector<LoggedCall> CallsOf(const std::vector<LoggedCall>& log, const Program& program,
                                const char* call);
// The lines of one kind in the device's log.
std::vector<LoggedCall> DeviceCalls(const std::vector<LoggedCall>& log, const char* call);

// The CPU time the program has used so far, in ms.
double ProgramCpuMs(const Program& program);
