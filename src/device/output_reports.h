// Senders of the five kinds of output report. Each one writes its own bytes into the shared output
// buffer and sends it at once; bytes it does not set keep what earlier reports left there.
// Output reports are sent from the UI thread only, so the buffer needs no lock.
#pragma once

#include <cstdint>

#include "device/device_link.h"

extern unsigned char outputReport[kReportBufferSize];
extern unsigned int outputCount;

int SetLeds(uint8_t leds);
int SetReportMode(uint8_t flags, uint8_t mode);
int SetIrEnable(uint8_t value);
int SetIrEnable2(uint8_t value);
// Writes one data byte to the remote's register at the four address bytes, most significant first.
int WriteRegister(uint8_t value, uint8_t address1, uint8_t address2, uint8_t address3,
                  uint8_t address4);

// Input report IDs the remote can be asked for.
constexpr uint8_t kReportButtons = 0x30;
constexpr uint8_t kReportButtonsAccel = 0x31;
constexpr uint8_t kReportButtonsAccelIr = 0x33;
