// The HID library's capture: one line per call, in the format of hid/log_line.h. The simulated
// remote's stack adds the device's own lines.
#pragma once

// The performance counter in milliseconds.
double CallLogNowMs();
// Opens (appending) the file that this environment variable names, once; without it, nothing is
// logged.
void OpenCallLog(const char* environmentVariable);
// Writes "<pid> <tid> <startMs> " and the formatted rest as one line.
void LogCall(double startMs, const char* format, ...);
// Whether reads are lines of their own (from the start they are); a soak's log leaves them out.
void LogReadLines(bool logged);
// The lines of a read (with its return and, if it succeeded, the report) and of a write.
void LogRead(double startMs, int handle, int result, const unsigned char* report);
void LogWrite(double startMs, int handle, int result, const unsigned char* report,
              const char* way = nullptr);
