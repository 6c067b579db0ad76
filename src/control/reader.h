// The reader thread: reads every input report for the rest of the run and asks the main window
// for repaints and, on the remote's Home button, for the teardown.
#pragma once

// Body of the reader thread.
void ReaderLoop();
// Thread entry for _beginthread.
void ReaderThreadMain(void*);
// Asks the main window to repaint its whole client area, with erasing. No effect before the
// window exists or after its teardown.
void RequestRepaint();
// Asks the main window, synchronously, to run the teardown. No effect before the window exists
// or after its teardown.
void RequestTeardown();
