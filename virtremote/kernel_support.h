// What the virtual remote's driver needs around it in kernel mode: a clock, and a log file that
// any of its threads may append lines to.
#pragma once

#include "virtremote/kernel.h"

// The system time in microseconds.
ULONGLONG NowMicroseconds();
// "<ms>.<µs>" of a time in microseconds; text holds at least 24 characters.
void FormatMs(ULONGLONG microseconds, char* text);

// Readies the log; once, before any other call.
void InitializeDeviceLog();
// Opens the log at this DOS path ("C:\..."), appending, in place of any log open before; an empty
// path only closes it. At passive level.
void OpenDeviceLog(const WCHAR* path);
// Appends "<pid> <tid> <ms> " and the formatted rest as one line. At passive level.
void DeviceLog(ULONGLONG startMicroseconds, const char* format, ...);

// Reads a whole file at this DOS path into buffer and ends it with a NUL; false when the file
// cannot be read or does not fit.
bool ReadWholeFile(const WCHAR* path, char* buffer, ULONG size);

// A string value of the driver's Parameters key, or an empty string.
void ReadParameter(const UNICODE_STRING& serviceKey, const WCHAR* name, WCHAR* value,
                   ULONG valueChars);
