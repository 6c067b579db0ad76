// The call log's line: the one format of the HID library's capture (beside either remote) and the
// virtual remote's device log, so that a recorded session reads like a simulated one and
// can be replayed as a scenario. Everything here is plain C++ with no library calls beyond
// strcmp, so that the virtual remote's kernel-mode driver writes and reads it too.
//
//     <pid> <tid> <ms> <call> <target> -> <result> [<name> <value>]... [: <text>]
//
// <ms> is a clock in milliseconds with three decimals at the call's start: the performance
// counter in the library and the simulated remote's stack, the system time in the virtual remote.
// <target> is the handle, or for OpenHidHandle the vendor and product IDs (hexadecimal). <result>
// is the call's result; a line may leave it out. The named values:
//     done <ms>         the return of a read
//     via <way>         how an output report went: the library's exact, request or padded
//                       (WriteFile of the report's length, the output-report request, WriteFile
//                       of the output report length); the device's write or set; for a Failed
//                       line the way or step that failed
//     error <code>      the Windows error code of a failed call
//     length <n>        the device's log: the output report's length as the device got it
// and any others a line's call defines (Reports: dropped; Memory: private, pagefile, working,
// handles, gdi; Device: vendor, product, input, output, link). <text> is the report's first 22
// bytes in hexadecimal for reads and writes, or a path, a reason, a scenario's name.
//
// The calls: OpenHidHandle, ReadReport, WriteReport, CloseHidHandle, and from the real library
//     Failed <link> -> 0 via <way or step> error <code>      a call of the stack that failed
//     Released <link> -> 1                                   a stuck write the stack let go
//     Device <index> -> 1|0 ...                              a device it looked at
//     Candidate <handle> -> <link> answered|let go|left ...  the race of several devices
// from the simulated remote's stack Reports and Memory (its summary), and from the virtual remote
// Scenario (what a session reads) and Refusal (why an output report was refused).
#pragma once

#include <cstdint>

constexpr int kLogLineSize = 512;
constexpr int kLoggedReportLength = 22;
constexpr int kLogReportTextSize = 3 * kLoggedReportLength;
constexpr int kLogTimeSize = 24;
constexpr int kMaxLogWords = 48;

// Writing. "<pid> <tid> <ms> " at the start of line (kLogLineSize); returns its length.
int FormatLogLineStart(char* line, unsigned long long pid, unsigned long long tid,
                       uint64_t microseconds);
// "<ms>" of a time in microseconds, into kLogTimeSize characters.
void FormatLogTime(uint64_t microseconds, char* text);
// "xx xx ..." of the first bytes of a report, at most kLoggedReportLength, into
// kLogReportTextSize characters.
void FormatLogReport(const uint8_t* bytes, int length, char* text);

// Reading. The words point into the line, which is split in place.
struct LogLine {
    unsigned long pid;
    unsigned long tid;
    double ms;
    const char* call;
    long handle; // the target as a number; 0 for IDs
    bool hasResult;
    long result;
    int valueCount; // words after the result, before the text: names and values
    const char* values[kMaxLogWords];
    const char* text; // after " : ", or empty
};

// False when the line is no call log line.
bool ParseLogLine(char* line, LogLine& parsed);
// The value after this name, or null.
const char* LogValue(const LogLine& line, const char* name);
// The value after this name as a decimal number; false when there is none.
bool LogNumber(const LogLine& line, const char* name, double& value);

// The words and numbers of both text formats, the log and the scenarios.
// Splits a line into words in place at blanks; returns how many.
int SplitWords(char* line, char* words[], int maxWords);
// A whole word as a number of this base, no sign, at most maxValue.
bool ParseNumber(const char* word, int base, long maxValue, long& value);
// A decimal number with an optional fraction, as the log writes times.
bool ParseDecimal(const char* word, double& value);
