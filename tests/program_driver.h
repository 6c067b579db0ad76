// Drives a copy of the real program from the Windows side, as a user would meet it: starts it
// beside the simulated remote with a scenario and a log, finds its windows, reads and answers its
// message boxes, sends it keys and close requests, samples its pixels and reads the remote's log.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "tests/clock.h"

// One line of the simulated remote's log.
struct LoggedCall {
    unsigned long pid = 0;
    unsigned long tid = 0;
    double ms = 0;     // start of the call, performance counter in ms
    double doneMs = 0; // return of a read
    std::string call;
    int handle = 0;
    int result = 0;
    std::string bytes; // "12 00 31 ..." for writes and successful reads
};

// The scenario most runs use: four objects in view, each with its own spot on the plot, and the
// centres of their crosses (sensor coordinates / 2).
constexpr const char* kFourObjects = "ir 200 300 400 500 600 200 800 700\n";
constexpr int kCrosses[4][2] = {{100, 150}, {200, 250}, {300, 100}, {400, 350}};

struct Program {
    PROCESS_INFORMATION process = {};
    std::string logPath;
    double startMs = 0;
};

// Starts ir-sensor-test.exe from the simulated remote's folder with this scenario.
bool StartProgram(const char* scenarioText, Program& program);
// Starts another instance that shares the first one's scenario and log.
bool StartAnotherInstance(const Program& first, Program& second);
// The exit code once the program has ended, or -1 if it still runs after timeoutMs.
int WaitForExit(Program& program, DWORD timeoutMs);
// Ends the program by force if it still runs, and lets go of its handles.
void EndProgram(Program& program);

// A top-level window of the program with this class, waiting up to timeoutMs for it.
HWND FindProgramWindow(const Program& program, const char* className, DWORD timeoutMs = 0);
// The text of a message box, and its OK button pressed, waiting up to timeoutMs for them.
std::string MessageBoxText(HWND box, DWORD timeoutMs = 5000);
void PressOk(HWND box, DWORD timeoutMs = 5000);
// Whether the window's thread still answers within timeoutMs.
bool Answers(HWND window, DWORD timeoutMs = 2000);

// Client-area pixel colour, as 0xBBGGRR, or CLR_INVALID outside the visible area.
COLORREF PixelAt(HWND window, int x, int y);
// A marker cross centred on (cx, cy): two black strokes of nine pixels on white.
bool CrossAt(HWND window, int cx, int cy);
// Waits up to timeoutMs for a cross to show at (cx, cy).
bool WaitForCross(HWND window, int cx, int cy, DWORD timeoutMs);

std::vector<LoggedCall> ReadLog(const Program& program);
// The calls of one kind ("WriteReport", ...) made by the program's own process.
std::vector<LoggedCall> CallsOf(const std::vector<LoggedCall>& log, const Program& program,
                                const char* call);
