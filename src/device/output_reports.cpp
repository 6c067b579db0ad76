// Output reports: each sender fills its bytes in place and writes the buffer at once.
#include "device/output_reports.h"

unsigned char outputReport[kReportBufferSize];
unsigned int outputCount;

static int SendOutputReport() {
    return WriteReport(hidHandle, outputReport, &outputCount);
}

int SetLeds(uint8_t leds) {
    outputReport[0] = 0x11;
    outputReport[1] = leds;
    return SendOutputReport();
}

int SetReportMode(uint8_t flags, uint8_t mode) {
    outputReport[0] = 0x12;
    outputReport[1] = flags;
    outputReport[2] = mode;
    return SendOutputReport();
}

int SetIrEnable(uint8_t value) {
    outputReport[0] = 0x13;
    outputReport[1] = value;
    return SendOutputReport();
}

int SetIrEnable2(uint8_t value) {
    outputReport[0] = 0x1A;
    outputReport[1] = value;
    return SendOutputReport();
}

int WriteRegister(uint8_t value, uint8_t address1, uint8_t address2, uint8_t address3,
                  uint8_t address4) {
    // The register write is the longest report the remote takes: 22 bytes, one data byte used
    // and fifteen zero bytes after it.
    constexpr int kRegisterReportLength = 22;
    outputReport[0] = 0x16;
    outputReport[1] = address1;
    outputReport[2] = address2;
    outputReport[3] = address3;
    outputReport[4] = address4;
    outputReport[5] = 0x01;
    outputReport[6] = value;
    for (int i = 7; i < kRegisterReportLength; ++i)
        outputReport[i] = 0x00;
    return SendOutputReport();
}
