// The remote's report descriptor, as the remote declares it: one game pad application collection,
// every report one Array main item of vendor-defined bytes (Report Count fields of 8 bits), so
// that the capabilities give 22-byte reports both ways.
#include "kernel_safe_model/report_descriptor.h"

#include <initializer_list>

namespace {

struct ReportLength {
    uint8_t id;
    uint8_t dataBytes;
};

constexpr ReportLength kOutputReports[] = {
    {0x10, 1},  {0x11, 1}, {0x12, 2},  {0x13, 1}, {0x14, 1}, {0x15, 1},
    {0x16, 21}, {0x17, 6}, {0x18, 21}, {0x19, 1}, {0x1A, 1},
};

constexpr ReportLength kInputReports[] = {
    {0x20, 6},  {0x21, 21}, {0x22, 4},  {0x30, 2},  {0x31, 5},  {0x32, 10}, {0x33, 17},
    {0x34, 21}, {0x35, 21}, {0x36, 21}, {0x37, 21}, {0x3D, 21}, {0x3E, 21}, {0x3F, 21},
};

template <int N> int LengthOf(const ReportLength (&reports)[N], int id) {
    for (const ReportLength& report : reports)
        if (report.id == id)
            return report.dataBytes;
    return 0;
}

} // namespace

int OutputDataLength(int id) {
    return LengthOf(kOutputReports, id);
}

int InputDataLength(int id) {
    return LengthOf(kInputReports, id);
}

int BuildReportDescriptor(uint8_t* out, int size) {
    constexpr uint8_t kHead[] = {
        0x05, 0x01,       // usage page: generic desktop
        0x09, 0x05,       // usage: game pad
        0xA1, 0x01,       // collection: application
        0x06, 0x00, 0xFF, //   usage page: vendor-defined
        0x15, 0x00,       //   logical minimum 0
        0x26, 0xFF, 0x00, //   logical maximum 255
        0x75, 0x08,       //   report size: 8 bits
    };
    int length = 0;
    const auto put = [&](uint8_t byte) {
        if (length < size)
            out[length] = byte;
        ++length;
    };
    for (const uint8_t byte : kHead)
        put(byte);
    // Each report: its ID, its count of bytes, one vendor usage, then output or input (data,
    // array, absolute).
    for (const ReportLength& report : kOutputReports)
        for (const uint8_t byte :
             {0x85, int(report.id), 0x95, int(report.dataBytes), 0x09, 0x01, 0x91, 0x00})
            put(static_cast<uint8_t>(byte));
    for (const ReportLength& report : kInputReports)
        for (const uint8_t byte :
             {0x85, int(report.id), 0x95, int(report.dataBytes), 0x09, 0x01, 0x81, 0x00})
            put(static_cast<uint8_t>(byte));
    put(0xC0); // end collection
    return length <= size ? length : 0;
}
