// Input reports and the latest sample of the remote: buttons, acceleration, four IR objects.
#pragma once

#include <atomic>
#include <cstdint>

#include "device/device_link.h"

constexpr int kIrObjectCount = 4;
// The IR sensor reports X = 1023 for an object it does not see.
constexpr int32_t kIrNotSeen = 1023;

// The latest values the remote reported. Every field is written as a whole value, so a reader on
// another thread never sees a coordinate that is only half decoded; a reader may still see
// objects from two successive reports.
struct LatestSample {
    std::atomic<uint8_t> buttons1;
    std::atomic<uint8_t> buttons2;
    std::atomic<uint8_t> accelX;
    std::atomic<uint8_t> accelY;
    std::atomic<uint8_t> accelZ;
    std::atomic<int32_t> irX[kIrObjectCount];
    std::atomic<int32_t> irY[kIrObjectCount];
};

extern LatestSample RemoteState;
extern unsigned char inputReport[kReportBufferSize];
extern unsigned int inputCount;

// Reads one input report and folds it into RemoteState. A failed read leaves the buffer as it
// was, and the previous report is decoded again. Once the link is closed nothing is read.
void ReadAndParse();
