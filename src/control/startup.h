// The program's entry and the life of its one connection with the remote: the single-instance
// guard, the open, the probe that checks that the remote answers, the IR set-up, the hand-over
// to the reader thread and the main window, and the remote's share of the teardown.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>

// Non-zero while the probe loop or the reader loop is to go on.
extern std::atomic<uint8_t> readerRun;
// 1 from the probe loop's first pass until the loop has ended.
extern std::atomic<uint8_t> probeActive;

// Runs the whole program; returns the process exit code.
int RunProgram(HINSTANCE instance, int showCommand);

// Starts the probe thread and returns, after the probe period, whether the remote has answered.
bool ProbeDevice();
// Body of the probe thread.
void ProbeLoop();
// Ends the probe thread by force if it is still active, and lets go of its handle. False when it
// was ended by force and had still not ended after a bounded wait: its read may still be going on,
// and no other thread may read the link.
bool StopProbe();
// Stops the read loops, returns the remote to button-only reports and closes the link.
void ShutdownRemote();
