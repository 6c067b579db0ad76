// What the virtual remote's driver needs around it in kernel mode: a clock, and a log file that
// any of its threads may append lines to.
#pragma once

#include "virtremote/kernel.h"

#include <cstdint>

// The system time in microseconds.
ULONGLONG NowMicroseconds();

// A log file that any thread may append lines to, one at a time.
struct DeviceLogFile {
    HANDLE file;
    KEVENT idle; // a mutex for the handle: lines are written, and the file changed, one at a time
};

// Readies the log; once, before any other call.
void InitializeDeviceLog(DeviceLogFile& log);
// Opens the log at this DOS path ("C:\..."), appending, in place of any log open before; an
// empty path only closes it. At passive level.
void OpenDeviceLog(DeviceLogFile& log, const WCHAR* path);
// Appends "<pid> <tid> <ms> " and the formatted rest as one line of the call log's format
// (hid/log_line.h). At passive level.
void DeviceLog(DeviceLogFile& log, ULONGLONG startMicroseconds, const char* format, ...);

// Reads a whole file at this DOS path into buffer and ends it with a NUL; false when the file
// cannot be read or does not fit.
bool ReadWholeFile(const WCHAR* path, char* buffer, ULONG size);

// A string value of a key below the driver's service key (subkey as "\\Parameters"), or an
// empty string.
void ReadParameter(const UNICODE_STRING& serviceKey, const WCHAR* subkey, const WCHAR* name,
                   WCHAR* value, ULONG valueChars);
// A number (REG_DWORD) of such a key, or fallback where there is none.
ULONG ReadNumberParameter(const UNICODE_STRING& serviceKey, const WCHAR* subkey, const WCHAR* name,
                          ULONG fallback);
// A binary value of such a key, into value (at most size bytes); returns its length, 0 when there
// is none or it does not fit.
ULONG ReadBinaryParameter(const UNICODE_STRING& serviceKey, const WCHAR* subkey, const WCHAR* name,
                          uint8_t* value, ULONG size);
