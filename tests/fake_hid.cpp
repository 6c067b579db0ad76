// The test double of the HID library: records writes and serves scripted reads.
#include "tests/fake_hid.h"

#include <windows.h>

#include <cstring>

#include "hid/hid_library.h"

FakeHid fakeHid;

void ResetFakeHid() {
    fakeHid.openResult = 7;
    fakeHid.openCalls = 0;
    fakeHid.closeCalls = 0;
    fakeHid.readCalls = 0;
    fakeHid.readsAfterClose = 0;
    fakeHid.writeCount = 0;
    std::memset(fakeHid.writes, 0, sizeof fakeHid.writes);
    fakeHid.readCount = 0;
    fakeHid.nextRead = 0;
}

void QueueFakeRead(const unsigned char* bytes, int length) {
    std::memcpy(fakeHid.reads[fakeHid.readCount], bytes, length);
    fakeHid.readLengths[fakeHid.readCount] = length;
    ++fakeHid.readCount;
}

extern "C" int OpenHidHandle(int, int) {
    ++fakeHid.openCalls;
    return fakeHid.openResult;
}

extern "C" int ReadReport(int, unsigned char* report, unsigned int* count) {
    ++fakeHid.readCalls;
    if (fakeHid.closeCalls > 0)
        ++fakeHid.readsAfterClose;
    const int next = fakeHid.nextRead;
    if (next >= fakeHid.readCount)
        return 0;
    const int length = fakeHid.readLengths[next];
    std::memcpy(report, fakeHid.reads[next], length);
    *count = length;
    fakeHid.nextRead = next + 1;
    return 1;
}

extern "C" int WriteReport(int, unsigned char* report, unsigned int*) {
    const int index = fakeHid.writeCount;
    if (index < kFakeMaxRecords) {
        RecordedWrite& write = fakeHid.writes[index];
        std::memcpy(write.bytes, report, sizeof write.bytes);
        write.atMs = NowMs();
    }
    fakeHid.writeCount = index + 1;
    return 1;
}

extern "C" int CloseHidHandle(int) {
    ++fakeHid.closeCalls;
    return 1;
}
