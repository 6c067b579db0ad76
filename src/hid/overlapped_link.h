// Overlapped report I/O on an open device handle: reads that a close wakes, writes that go ahead
// while a read waits, and handle numbers that are retired on close. Works on any handle opened
// with FILE_FLAG_OVERLAPPED; finding and opening the HID device is done elsewhere.
#pragma once

#include <windows.h>

#include <atomic>

#include "hid/hid_library.h"

// The longest report, in either direction, that a link carries.
constexpr unsigned kLinkReportLimit = 1024;
// The caller's report buffers are kReportBufferSize long; longer input reports are clipped to it.
constexpr unsigned kCallerReportLimit = kReportBufferSize;
// Report IDs are one byte.
constexpr int kReportIds = 256;
// No write holds its caller longer than this, whatever the stack does.
constexpr DWORD kWriteTimeoutMs = 1000;

// The HID stack's calls that carry reports. Each starts an overlapped operation, as WriteFile
// does: TRUE when it is done already, FALSE with ERROR_IO_PENDING while it runs, FALSE with
// another error when the stack refuses it at once. A finished operation leaves its status and
// length in the OVERLAPPED and signals its event, for GetOverlappedResult. Every link of the
// library uses kWindowsHidStack; tests put stacks of their own here.
struct LinkStack {
    BOOL (*write)(HANDLE device, void* report, DWORD length, OVERLAPPED* overlapped);
    // What HidD_SetOutputReport sends: IOCTL_HID_SET_OUTPUT_REPORT.
    BOOL (*requestOutputReport)(HANDLE device, void* report, DWORD length, OVERLAPPED* overlapped);
    BOOL (*read)(HANDLE device, void* report, DWORD length, OVERLAPPED* overlapped);
    // A null overlapped cancels every operation on the device.
    BOOL (*cancel)(HANDLE device, OVERLAPPED* overlapped);
};
extern const LinkStack kWindowsHidStack;

// The ways an output report can take, in the order they are tried (the way that worked last goes
// first). Their names are the capture's.
enum WriteWay { kExactWrite, kOutputReportRequest, kPaddedWrite, kWriteWayCount };
extern const char* const kWriteWayNames[kWriteWayCount];

// Takes over device (opened for overlapped I/O) and returns its link number, or -1 when no link
// can be made (the caller then still owns the handle). inputLength and outputLength are the
// device's report lengths; outputLengthById gives the exact length of each output report by its
// ID, 0 where the device did not say.
int AdoptLink(HANDLE device, unsigned inputLength, unsigned outputLength,
              const unsigned short outputLengthById[kReportIds],
              const LinkStack& stack = kWindowsHidStack);

// Waits for one input report and stores it at report[0] (at most kCallerReportLimit bytes);
// returns 1. Returns 0 without touching the buffer when the link is closed or unknown; a read
// cancelled while the link is open is started again. When the device fails (it has gone away),
// waits until the link is closed and then returns 0, so that a caller with no other pacing does not
// spin. One thread reads a link at a time.
int LinkRead(int link, unsigned char* report, unsigned int* count);

// Waits for the first input report from any of these links (at most kMaxReadFirst), or until
// wake is signalled. Returns the index of the link whose report is now at report[0], or -1 when
// woken. A link whose read fails is left out of the wait, and failed[index] says so; with none
// left, the wait is for wake alone. A read that ends as cancelled while its link is still open
// (its thread was ended) is started again. The reads of the others are cancelled before the call
// returns, so that none outlives it.
constexpr int kMaxReadFirst = 16;
int LinkReadFirst(const int* links, int linkCount, HANDLE wake, unsigned char* report,
                  unsigned int* count, bool* failed);

struct LinkWriteInfo {
    int way;         // the last way tried
    bool deviceLost; // not sent because the device has gone or did not answer in time
};

// Sends the output report at report[0]; returns 1 when the device took it. One thread writes a
// link at a time; a write goes ahead while another thread waits in LinkRead.
int LinkWrite(int link, const unsigned char* report, unsigned int* count,
              LinkWriteInfo* info = nullptr);

// Wakes a waiting read or write, cancels pending I/O, and retires the link number: every later
// call with it fails at once. Returns without waiting for the read to finish.
int LinkClose(int link);

// One more reference to a slot (a link's, a race's) that is still in use: false, and no
// reference taken, once its count has dropped to 0.
bool AddReference(std::atomic<int>& users);
