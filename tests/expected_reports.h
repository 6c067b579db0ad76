// The output reports of a run as the remote receives them, byte for byte: the probe's mode
// request, the 20 reports of the IR set-up, and the teardown's mode request. Bytes a report does
// not set are what earlier reports left in the shared buffer.
#pragma once

#include <string>

constexpr int kRunReportCount = 22;

// The first 22 bytes of report i, as "12 00 31 ...".
inline std::string ExpectedRunReport(int i) {
    static const char* const kReports[kRunReportCount] = {
        "12 00 31 00 00 00 00", "11 10 31 00 00 00 00", "12 00 33 00 00 00 00",
        "13 04 33 00 00 00 00", "1A 04 33 00 00 00 00", "16 04 B0 00 30 01 01",
        "16 04 B0 00 30 01 08", "12 00 33 00 30 01 08", "13 04 33 00 30 01 08",
        "1A 04 33 00 30 01 08", "16 04 B0 00 30 01 01", "16 04 B0 00 30 01 08",
        "12 00 33 00 30 01 08", "13 04 33 00 30 01 08", "1A 04 33 00 30 01 08",
        "16 04 B0 00 30 01 01", "16 04 B0 00 30 01 08", "16 04 B0 00 06 01 90",
        "16 04 B0 00 08 01 C0", "16 04 B0 00 1A 01 40", "16 04 B0 00 33 01 33",
        "12 00 30 00 33 01 33",
    };
    // Bytes 7 to 21 are zero in every report of a run.
    return std::string(kReports[i]) + " 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00";
}

// The set-up's two pauses come before these reports of a run.
constexpr int kFirstAfterPause = 7;
constexpr int kSecondAfterPause = 12;
