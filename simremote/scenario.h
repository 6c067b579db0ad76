// Scenarios of the simulated remote: timed steps that say what the remote reports and how.
//
// A scenario is a text file, one step a line; '#' starts a comment. A step is
//     [<ms>] <command> [<arguments>]
// where <ms> (default 0) counts from OpenHidHandle and never goes back from one step to the next:
//     absent                           OpenHidHandle finds no remote and returns -1
//     log summary                      log no reads, only the other calls and, at the close, how
//                                      many reports were delivered and how many dropped
//     rate <n>                         n reports a second (1 to 100000; default 100)
//     ir <x0> <y0> <x1> <y1> <x2> <y2> <x3> <y3>
//                                      the four IR objects, decimal 0..1023 (X 1023: not seen)
//     demo                             the four objects move by themselves
//     buttons <b1> <b2>                the two button bytes, hexadecimal (b2 80 is Home)
//     accel <x> <y> <z>                fixed acceleration bytes, hexadecimal
//     kind <id> | kind mode            send reports with this ID (hexadecimal), or again the
//                                      ID the program last asked for with 12 00 <id>
//     silent                           a read started from then on returns only at the close
//     garbage                          reports with IDs outside 30..3F and arbitrary bytes
//     fail                             reads fail at the report rate and leave the buffer alone
//     send                             ordinary reports again
// Before any step: no object seen, no button, acceleration around 80 80 9A with a varying,
// never zero X byte, reports of the requested ID (30 until the program asks), 100 a second.
#pragma once

#include <cstdint>

constexpr int kMaxScenarioSteps = 256;

enum class StepKind { kRate, kIr, kDemo, kButtons, kAccel, kKind, kSilent, kGarbage, kFail, kSend };

struct ScenarioStep {
    double atMs;
    StepKind kind;
    int values[8];
};

struct Scenario {
    bool absent;
    bool logSummaryOnly;
    int stepCount;
    ScenarioStep steps[kMaxScenarioSteps];
};

// Parses text (NUL-terminated). On an error returns false and writes "line N: what" to error.
bool ParseScenario(const char* text, Scenario& scenario, char* error, int errorSize);

// How reads behave at one moment.
enum class Flow { kSend, kSilent, kGarbage, kFail };

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
    int kind; // -1: the ID the program asked for
    Flow flow;
};

// Conditions at atMs: the defaults, then every step up to and including that moment.
Conditions ConditionsAt(const Scenario& scenario, double atMs);
