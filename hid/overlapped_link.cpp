// Overlapped report I/O on a device handle, shared between a reading thread and a writing one.
//
// Each link has one OVERLAPPED and event for reads and another for writes, so a write never waits
// for a read. Unlike the usual HID read, a waiting read also waits on the link's close event: the
// program closes the link while its reader thread waits, and that read must end at once.
//
// No lock is held across a wait: the program may end a thread by force while it waits in a read.
// Instead every call holds a reference to its link, and the OS handles are closed by whoever drops
// the last one, so a close never pulls a handle from under a call in progress. (A thread ended by
// force keeps its reference; that link's OS handles then go with the process.)
#include "hid/overlapped_link.h"

// MinGW's HID headers declare C functions without saying so.
extern "C" {
#include <hidsdi.h>
}

#include <atomic>
#include <cstring>

namespace {

constexpr int kMaxLinks = 64;
constexpr DWORD kWriteTimeoutMs = 1000;

// The ways to hand an output report to the HID stack, tried in this order until one works.
// Current stacks forward the exact length and some pass padding on to the device, which may
// reject it; older stacks refuse anything shorter than the device's output report length; some
// refuse WriteFile altogether.
enum WriteWay { kExactWrite, kPaddedWrite, kSetOutputReport, kWriteWayCount };

struct Link {
    // References: one for the link while it is open, one for each call inside it.
    std::atomic<int> users;
    std::atomic<bool> open;
    std::atomic<bool> readPending;
    std::atomic<bool> writing;
    std::atomic<bool> writeStuck;
    std::atomic<int> writeWay;
    HANDLE device;
    HANDLE closeEvent;
    HANDLE readEvent;
    HANDLE writeEvent;
    OVERLAPPED readOverlapped;
    OVERLAPPED writeOverlapped;
    unsigned inputLength;
    unsigned outputLength;
    unsigned short outputLengthById[256];
    unsigned char readBuffer[kLinkReportLimit];
    unsigned char writeBuffer[kLinkReportLimit];
};

// Link numbers are handed out once and never reused, so a stale number can never reach a newer
// device. Number 0 is left unused.
Link links[kMaxLinks];
std::atomic<int> lastLinkNumber;

void ReleaseLink(Link& link) {
    if (link.users.fetch_sub(1) != 1)
        return;
    CloseHandle(link.device);
    CloseHandle(link.closeEvent);
    CloseHandle(link.readEvent);
    CloseHandle(link.writeEvent);
}

Link* AcquireLink(int number) {
    if (number <= 0 || number >= kMaxLinks)
        return nullptr;
    Link& link = links[number];
    int users = link.users.load();
    do {
        if (users == 0)
            return nullptr;
    } while (!link.users.compare_exchange_weak(users, users + 1));
    if (!link.open) {
        ReleaseLink(link);
        return nullptr;
    }
    return &link;
}

// The device has failed: wait for the close rather than fail at once, so that a reader with no
// other pacing does not spin.
int WaitForClose(Link& link) {
    WaitForSingleObject(link.closeEvent, INFINITE);
    return 0;
}

int ReadOnce(Link& link, unsigned char* report, unsigned int* count) {
    // A read that an earlier call started and could not finish (its thread was ended) is still
    // the one to wait for: its OVERLAPPED may not be reused while it is in flight.
    if (!link.readPending) {
        std::memset(&link.readOverlapped, 0, sizeof link.readOverlapped);
        link.readOverlapped.hEvent = link.readEvent;
        ResetEvent(link.readEvent);
        if (!ReadFile(link.device, link.readBuffer, link.inputLength, nullptr,
                      &link.readOverlapped) &&
            GetLastError() != ERROR_IO_PENDING)
            return WaitForClose(link);
        link.readPending = true;
    }

    // The close event comes first, so a close wins when both are signalled.
    const HANDLE waits[2] = {link.closeEvent, link.readEvent};
    if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0 + 1)
        return 0; // closed: the close has cancelled the read

    DWORD received = 0;
    const BOOL done = GetOverlappedResult(link.device, &link.readOverlapped, &received, FALSE);
    const DWORD error = GetLastError();
    link.readPending = false;
    if (!done)
        return error == ERROR_OPERATION_ABORTED ? 0 : WaitForClose(link);

    const DWORD length = received < kCallerReportLimit ? received : kCallerReportLimit;
    std::memcpy(report, link.readBuffer, length);
    if (count)
        *count = length;
    return 1;
}

bool WriteBuffer(Link& link, DWORD length, DWORD* sent) {
    std::memset(&link.writeOverlapped, 0, sizeof link.writeOverlapped);
    link.writeOverlapped.hEvent = link.writeEvent;
    ResetEvent(link.writeEvent);
    if (WriteFile(link.device, link.writeBuffer, length, nullptr, &link.writeOverlapped))
        return GetOverlappedResult(link.device, &link.writeOverlapped, sent, FALSE);
    if (GetLastError() != ERROR_IO_PENDING)
        return false;

    const HANDLE waits[2] = {link.closeEvent, link.writeEvent};
    if (WaitForMultipleObjects(2, waits, FALSE, kWriteTimeoutMs) == WAIT_OBJECT_0 + 1)
        return GetOverlappedResult(link.device, &link.writeOverlapped, sent, FALSE);

    // Closed or timed out: cancel, and let the OVERLAPPED go only once the write has ended.
    CancelIoEx(link.device, &link.writeOverlapped);
    if (WaitForSingleObject(link.writeEvent, kWriteTimeoutMs) != WAIT_OBJECT_0)
        link.writeStuck = true;
    return false;
}

bool TryWriteWay(Link& link, int way, const unsigned char* report, DWORD* sent) {
    const unsigned exact = link.outputLengthById[report[0]];
    const unsigned length = way == kExactWrite ? exact : link.outputLength;
    if (length == 0 || (way == kPaddedWrite && length == exact))
        return false; // nothing to try that the exact write has not tried already
    const unsigned fromCaller = length < kCallerReportLimit ? length : kCallerReportLimit;
    std::memcpy(link.writeBuffer, report, fromCaller);
    std::memset(link.writeBuffer + fromCaller, 0, length - fromCaller);
    if (way != kSetOutputReport)
        return WriteBuffer(link, length, sent);
    if (!HidD_SetOutputReport(link.device, link.writeBuffer, length))
        return false;
    *sent = length;
    return true;
}

int WriteOnce(Link& link, const unsigned char* report, unsigned int* count) {
    // The way that worked last time goes first, then the others in their order.
    const int remembered = link.writeWay;
    int ways[kWriteWayCount] = {remembered};
    for (int way = 0, next = 1; way < kWriteWayCount; ++way)
        if (way != remembered)
            ways[next++] = way;

    for (const int way : ways) {
        if (!link.open || link.writeStuck)
            return 0;
        DWORD sent = 0;
        if (TryWriteWay(link, way, report, &sent)) {
            link.writeWay = way;
            if (count)
                *count = sent;
            return 1;
        }
    }
    return 0;
}

} // namespace

int AdoptLink(HANDLE device, unsigned inputLength, unsigned outputLength,
              const unsigned short outputLengthById[256]) {
    if (inputLength == 0 || inputLength > kLinkReportLimit || outputLength > kLinkReportLimit)
        return -1;
    const int number = lastLinkNumber.fetch_add(1) + 1;
    if (number >= kMaxLinks)
        return -1;
    Link& link = links[number];
    link.closeEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    link.readEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    link.writeEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!link.closeEvent || !link.readEvent || !link.writeEvent) {
        for (HANDLE event : {link.closeEvent, link.readEvent, link.writeEvent})
            if (event)
                CloseHandle(event);
        return -1;
    }
    link.device = device;
    link.inputLength = inputLength;
    link.outputLength = outputLength;
    for (int id = 0; id < 256; ++id) {
        const unsigned length = outputLengthById[id];
        link.outputLengthById[id] = length <= kLinkReportLimit ? length : 0;
    }
    link.open = true;
    link.users = 1; // publishes the link: calls may use it from now on
    return number;
}

int LinkRead(int number, unsigned char* report, unsigned int* count) {
    Link* link = AcquireLink(number);
    if (!link)
        return 0;
    const int result = ReadOnce(*link, report, count);
    ReleaseLink(*link);
    return result;
}

int LinkWrite(int number, const unsigned char* report, unsigned int* count) {
    Link* link = AcquireLink(number);
    if (!link)
        return 0;
    // The write side has one OVERLAPPED; a second writer at the same time fails rather than
    // share it.
    int result = 0;
    if (!link->writing.exchange(true)) {
        result = WriteOnce(*link, report, count);
        link->writing = false;
    }
    ReleaseLink(*link);
    return result;
}

int LinkClose(int number) {
    Link* link = AcquireLink(number);
    if (!link)
        return 0;
    bool wasOpen = true;
    if (!link->open.compare_exchange_strong(wasOpen, false)) {
        ReleaseLink(*link);
        return 0;
    }
    SetEvent(link->closeEvent);
    // CancelIoEx reaches the I/O of every thread; CancelIo would cancel only this thread's own.
    CancelIoEx(link->device, nullptr);
    ReleaseLink(*link); // this call's reference
    ReleaseLink(*link); // the open link's own
    return 1;
}
