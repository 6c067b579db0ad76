// A stand-in for the HID library in unit tests: records every write as the device would receive
// it and serves scripted reads.
#pragma once

#include <atomic>

#include "program_driver/clock.h"

constexpr int kFakeMaxRecords = 64;
constexpr int kFakeMaxReads = 64;

struct RecordedWrite {
    unsigned char bytes[256];
    double atMs;
};

// Counters are atomic: the program's threads may call the library side by side.
struct FakeHid {
    int openResult;
    std::atomic<int> openCalls;
    std::atomic<int> closeCalls;
    std::atomic<int> readCalls;
    std::atomic<int> readsAfterClose;
    std::atomic<int> writeCount;
    RecordedWrite writes[kFakeMaxRecords];
    // Scripted reads, served in order; once they run out every read fails without touching the
    // caller's buffer.
    unsigned char reads[kFakeMaxReads][256];
    int readLengths[kFakeMaxReads];
    int readCount;
    std::atomic<int> nextRead;
};

extern FakeHid fakeHid;

void ResetFakeHid();
// Queues a read that delivers these bytes.
void QueueFakeRead(const unsigned char* bytes, int length);
