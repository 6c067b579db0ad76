// The program's one window: it shows the IR plot, turns Esc into the end of the program, and its
// destroy handling is the teardown.
#pragma once

#include <windows.h>

#include <atomic>

// The main window, null until it has been created and again from its teardown on.
extern std::atomic<HWND> mainWindow;

LRESULT CALLBACK MainWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
// Registers the window class, creates the main window and shows it; false if it cannot be made.
bool CreateMainWindow(HINSTANCE instance, int showCommand);
// Runs the message loop until the quit message; returns its wParam.
int RunMessageLoop();
