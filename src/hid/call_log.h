// The call log of a HID library: one line per call, the same format for the simulated remote's
// log and the real library's capture, so that a recorded session reads like a simulated one and
// can be replayed as a scenario.
//     <pid> <tid> <ms> <call> <handle or ids> -> <result> [done <ms>] [via <way>] [: <bytes>]
// <ms> is the performance counter in milliseconds at the call's start (and, for reads, its
// return); <way> is how the real library handed a write to the stack (exact, request, padded);
// <bytes> are the first 22 bytes written or read, in hexadecimal. The real library adds a line
// for every call of the stack that failed, with the way or step and the Windows error code:
//     <pid> <tid> <ms> Failed <handle> -> 0 via <way or step> error <code>
#pragma once

// The performance counter in milliseconds.
double CallLogNowMs();
// Opens (appending) the file that this environment variable names, once; without it, nothing is
// logged.
void OpenCallLog(const char* environmentVariable);
// Writes "<pid> <tid> <startMs> " and the formatted rest as one line.
void LogCall(double startMs, const char* format, ...);
// The lines of a read (with its return and, if it succeeded, the report) and of a write.
void LogRead(double startMs, int handle, int result, const unsigned char* report);
void LogWrite(double startMs, int handle, int result, const unsigned char* report,
              const char* way = nullptr);
