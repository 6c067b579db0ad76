// Scenarios of the simulated remotes (the DLL and the virtual device): timed steps that say what
// the remote reports and how. Both remotes read the same files, and a step means the same in both.
//
// A scenario is a text file, one step a line; '#' starts a comment. A step is
//     [<ms>] <command> [<arguments>]
// where <ms> (default 0) counts from the open (for the virtual device: from the first output
// report of a session) and never goes back from one step to the next:
//     absent                           no remote is found (the simulated DLL; the virtual device
//                                      is absent only when it is removed)
//     log summary                      the simulated DLL's capture has no reads, only the other
//                                      calls and, every second and at the close, how many
//                                      reports were delivered and dropped
//     refuse write                     the virtual device refuses output reports that come by
//                                      WriteFile: only HidD_SetOutputReport's way gets through
//     refuse inexact                   the virtual device refuses output reports that are not
//                                      exactly their ID's length
//     refuse every                     the virtual device fails every output report, either way,
//                                      with 31 (ERROR_GEN_FAILURE), as some adapters' empty
//                                      slots do
//     model later                      the remote is the later model (product id 0330), which
//                                      takes output reports by WriteFile only: one that comes
//                                      by HidD_SetOutputReport's way is completed and dropped
//                                      (the virtual device: for remotes 2 and up, which are made
//                                      for a run; its id is fixed when the device starts)
//     rate <n>                         n reports a second (1 to 100000; default 100)
//     ir <x0> <y0> <x1> <y1> <x2> <y2> <x3> <y3>
//                                      the four IR objects, decimal 0..1023 (X 1023: not seen)
//     demo                             the four objects move by themselves
//     buttons <b1> <b2>                the two button bytes, hexadecimal (b2 80 is Home)
//     accel <x> <y> <z>                fixed acceleration bytes, hexadecimal
//     kind <id> | kind mode            send reports with this ID (hexadecimal), or again the
//                                      ID the program last asked for with 12 00 <id>
//     report <b0> ... <b21>            send exactly these 22 bytes (hexadecimal)
//     silent                           no report from then on: a read returns only at the close
//     garbage                          reports with IDs outside 30..3F and arbitrary bytes
//     fail                             the remote's reports fail at the report rate: the stack
//                                      passes over them, and a read waits for the next good one
//     off                              the remote is switched off: reads and writes fail as a
//                                      disconnected remote's do, until the next scenario
//     send                             ordinary reports again
// Before any step: no object seen, no button, acceleration around 80 80 9A with a varying,
// never zero X byte, reports of the requested ID (30 until the program asks), 100 a second.
//
// A recorded session (the HID library's capture, hid/log_line.h) is a
// scenario too: each input report the program read becomes a "report" step at the time it
// arrived, counted from the open; the other lines are left out.
#pragma once

#include <cstdint>

#include "rig_facts.h"

constexpr int kMaxScenarioSteps = 4096;

enum class StepKind {
    kRate,
    kIr,
    kDemo,
    kButtons,
    kAccel,
    kKind,
    kReport,
    kSilent,
    kGarbage,
    kFail,
    kOff,
    kSend
};

struct ScenarioStep {
    double atMs;
    StepKind kind;
    int values[8];
    uint8_t report[kRemoteReportLength];
};

struct Scenario {
    bool absent;
    bool logSummaryOnly;
    bool refuseWriteFile;
    bool refuseInexactLength;
    bool refuseEvery;
    bool laterModel;
    int stepCount;
    ScenarioStep steps[kMaxScenarioSteps];
};

// Parses text (NUL-terminated). On an error returns false and writes "line N: what" to error.
bool ParseScenario(const char* text, Scenario& scenario, char* error, int errorSize);

// How reads behave at one moment.
enum class Flow { kSend, kSilent, kGarbage, kFail, kOff };

// Everything the steps up to one moment have set.
struct Conditions {
    int rate;
    bool demo;
    int irX[4];
    int irY[4];
    uint8_t buttons1;
    uint8_t buttons2;
    bool accelFixed;
    uint8_t accel[3];
    int kind;              // -1: the ID the program asked for
    const uint8_t* report; // a recorded report to send as it is, or null
    Flow flow;
};

// Conditions at atMs: the defaults, then every step up to and including that moment.
Conditions ConditionsAt(const Scenario& scenario, double atMs);
