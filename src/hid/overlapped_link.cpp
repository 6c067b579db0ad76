// Overlapped report I/O on a device handle, shared between a reading thread and a writing one.
//
// Each link has one OVERLAPPED and event for reads and another for writes, so a write never waits
// for a read. Unlike the usual HID read, a waiting read also waits on the link's close event: the
// program closes the link while its reader thread waits, and that read must end at once. Writes
// wait on it too, and for the write timeout at most.
//
// No lock is held across a wait: the program may end a thread by force while it waits in a read.
// Instead every call holds a reference to its link, and the OS handles are closed by whoever drops
// the last one, so a close never pulls a handle from under a call in progress. (A thread ended by
// force keeps its reference; that link's OS handles then go with the process.)
//
// Every call of the stack that fails is a line of the capture, with the way or step and the
// Windows error code.
#include "hid/overlapped_link.h"

#include <hidclass.h>

#include <atomic>
#include <climits>
#include <cstring>

#include "hid/call_log.h"

namespace {

// Links open at once. A closed link's slot serves a new link once its last I/O has completed.
constexpr int kLinkSlots = 64;
// After a cancel, the stack's last word on the write is awaited this long, inside the write's
// own bound.
constexpr DWORD kCancelGraceMs = 100;

BOOL WindowsWrite(HANDLE device, void* report, DWORD length, OVERLAPPED* overlapped) {
    return WriteFile(device, report, length, nullptr, overlapped);
}

// The request that HidD_SetOutputReport makes, but overlapped: over Bluetooth it waits for the
// device's handshake (for seconds, where the remote does not answer), and HidD_SetOutputReport
// can be neither bounded nor woken by a close. Windows' class driver reads the report from the
// output buffer (the request is METHOD_IN_DIRECT, the buffer reaches it by an MDL), Wine's from
// the input buffer, which Windows' ignores: the report goes in both.
BOOL WindowsRequestOutputReport(HANDLE device, void* report, DWORD length, OVERLAPPED* overlapped) {
    return DeviceIoControl(device, IOCTL_HID_SET_OUTPUT_REPORT, report, length, report, length,
                           nullptr, overlapped);
}

BOOL WindowsRead(HANDLE device, void* report, DWORD length, OVERLAPPED* overlapped) {
    return ReadFile(device, report, length, nullptr, overlapped);
}

// CancelIoEx reaches the I/O of every thread; CancelIo would cancel only this thread's own.
BOOL WindowsCancel(HANDLE device, OVERLAPPED* overlapped) {
    return CancelIoEx(device, overlapped);
}

} // namespace

const LinkStack kWindowsHidStack = {WindowsWrite, WindowsRequestOutputReport, WindowsRead,
                                    WindowsCancel};

// - exact: WriteFile of the report's own length, which Windows 8 and later pass on as it is.
// - request: the output-report request with the device's output report length. Windows 7
//   refuses a WriteFile shorter than that, and its Bluetooth stack hands a padded one to a remote
//   that drops reports longer than their own; the request reaches it.
// - padded: WriteFile of the output report length, for stacks that want the whole buffer but
//   send only the report's own length.
const char* const kWriteWayNames[kWriteWayCount] = {"exact", "request", "padded"};

namespace {

struct Link {
    // References: one for the link while it is open, one for each call inside it.
    std::atomic<int> users;
    std::atomic<bool> open;
    std::atomic<bool> readPending;
    std::atomic<bool> writing;
    std::atomic<bool> writeStuck;
    std::atomic<int> writeWay;
    std::atomic<int> number; // the link's number, or one of the slot states below
    const LinkStack* stack;
    HANDLE device;
    HANDLE closeEvent;
    HANDLE readEvent;
    HANDLE writeEvent;
    OVERLAPPED readOverlapped;
    OVERLAPPED writeOverlapped;
    unsigned inputLength;
    unsigned outputLength;
    unsigned short outputLengthById[kReportIds];
    unsigned char readBuffer[kLinkReportLimit];
    unsigned char writeBuffer[kLinkReportLimit];
};

// Slot states where a link's number would be.
constexpr int kFreeSlot = 0;
constexpr int kClaimedSlot = -1;  // a link is being set up in it
constexpr int kDrainingSlot = -2; // closed; an I/O of the closed link may still be in flight

// Link numbers are handed out once and never reused, so a stale number can never reach a newer
// device: they count up from 1, and only after 2^31 - 1 opens would they start again. The slots
// behind them are reused.
Link links[kLinkSlots];
std::atomic<int> lastLinkNumber;

void LogFailure(const Link& link, const char* step, DWORD error) {
    LogCall(CallLogNowMs(), "Failed %d -> 0 via %s error %lu", link.number.load(), step, error);
}

// The last reference closes the OS handles. The device's close cancels what is in flight, but
// the stack may still complete a read or a stuck write into the slot's OVERLAPPED and buffers
// afterwards: the slot drains until then.
void ReleaseLink(Link& link) {
    if (link.users.fetch_sub(1) != 1)
        return;
    CloseHandle(link.device);
    CloseHandle(link.closeEvent);
    CloseHandle(link.readEvent);
    CloseHandle(link.writeEvent);
    link.number = kDrainingSlot;
}

bool Drained(const Link& link) {
    return (!link.readPending || HasOverlappedIoCompleted(&link.readOverlapped)) &&
           (!link.writeStuck || HasOverlappedIoCompleted(&link.writeOverlapped));
}

Link* ClaimSlot() {
    for (Link& link : links) {
        int state = kFreeSlot;
        if (link.number.compare_exchange_strong(state, kClaimedSlot))
            return &link;
        state = kDrainingSlot;
        if (Drained(link) && link.number.compare_exchange_strong(state, kClaimedSlot))
            return &link;
    }
    return nullptr;
}

int NextLinkNumber() {
    int last = lastLinkNumber.load();
    while (!lastLinkNumber.compare_exchange_weak(last, last == INT_MAX ? 1 : last + 1)) {
    }
    return last == INT_MAX ? 1 : last + 1;
}

} // namespace

bool AddReference(std::atomic<int>& users) {
    int held = users.load();
    do {
        if (held == 0)
            return false;
    } while (!users.compare_exchange_weak(held, held + 1));
    return true;
}

namespace {

Link* AcquireLink(int number) {
    if (number <= 0)
        return nullptr;
    for (Link& link : links) {
        if (link.number != number)
            continue;
        if (!AddReference(link.users))
            return nullptr;
        // The slot may have gone to a newer link between the look and the reference.
        if (link.number != number || !link.open) {
            ReleaseLink(link);
            return nullptr;
        }
        return &link;
    }
    return nullptr;
}

// The device has failed: wait for the close rather than fail at once, so that a reader with no
// other pacing does not spin.
int WaitForClose(Link& link) {
    WaitForSingleObject(link.closeEvent, INFINITE);
    return 0;
}

// Starts a read unless one is in flight already: a read that an earlier call started and could
// not finish (its thread was ended, or another link answered first) is still the one to wait
// for, since its OVERLAPPED may not be reused while it is in flight. False when the stack refused.
bool StartRead(Link& link) {
    if (link.readPending)
        return true;
    std::memset(&link.readOverlapped, 0, sizeof link.readOverlapped);
    link.readOverlapped.hEvent = link.readEvent;
    ResetEvent(link.readEvent);
    if (!link.stack->read(link.device, link.readBuffer, link.inputLength, &link.readOverlapped) &&
        GetLastError() != ERROR_IO_PENDING) {
        LogFailure(link, "read", GetLastError());
        return false;
    }
    link.readPending = true;
    return true;
}

// The end of a read whose event is signalled: stores the report and returns true, or says why
// not in *error.
bool FinishRead(Link& link, unsigned char* report, unsigned int* count, DWORD* error) {
    DWORD received = 0;
    const BOOL done = GetOverlappedResult(link.device, &link.readOverlapped, &received, FALSE);
    *error = GetLastError();
    link.readPending = false;
    if (!done) {
        LogFailure(link, "read", *error);
        return false;
    }
    const DWORD length = received < kCallerReportLimit ? received : kCallerReportLimit;
    std::memcpy(report, link.readBuffer, length);
    if (count)
        *count = length;
    return true;
}

// A read that ends as cancelled on a link that is still open was not cancelled by its close:
// Windows cancels a thread's pending I/O when the thread ends, and a read that a thread ended by
// force had started ends so in the next reader's hands. It is started again.
bool CancelledWhileOpen(const Link& link, DWORD error) {
    return error == ERROR_OPERATION_ABORTED && link.open;
}

int ReadOnce(Link& link, unsigned char* report, unsigned int* count) {
    for (int aborted = 0;; ++aborted) {
        // Only someone else's cancel ends reads again and again: no spinning on it.
        if (aborted > 1 && WaitForSingleObject(link.closeEvent, kCancelGraceMs) == WAIT_OBJECT_0)
            return 0;
        if (!StartRead(link))
            return WaitForClose(link);
        // The close event comes first, so a close wins when both are signalled.
        const HANDLE waits[2] = {link.closeEvent, link.readEvent};
        if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0 + 1)
            return 0; // closed: the close has cancelled the read
        DWORD error = 0;
        if (FinishRead(link, report, count, &error))
            return 1;
        if (!CancelledWhileOpen(link, error))
            return error == ERROR_OPERATION_ABORTED ? 0 : WaitForClose(link);
    }
}

// Cancels a read that this call started and that is still in flight, and waits a moment for the
// stack to let it go, so that it does not outlive its thread (whose end would cancel it) nor end
// in another call's hands. What it may have read by then is dropped: the device was not chosen.
void CollectRead(Link& link) {
    if (!link.readPending)
        return;
    link.stack->cancel(link.device, &link.readOverlapped);
    if (WaitForSingleObject(link.readEvent, kCancelGraceMs) != WAIT_OBJECT_0)
        return; // still the stack's: the next read waits for it, as for one a forced end left
    DWORD received = 0;
    GetOverlappedResult(link.device, &link.readOverlapped, &received, FALSE);
    link.readPending = false;
}

// What one way's attempt at an output report came to.
enum class WriteEnd {
    kSent,
    kSentBeforeItsCancel, // the write had completed by the time it was cancelled
    kRefused,             // the stack said no: another way may do
    kLost, // timed out and cancelled, closed, or the device has gone: not sent, and no other way
           // may send it, since a cancelled write may still reach the device
};

// Fills the write buffer for this way and returns the length to send, or 0 when the way adds
// nothing to one tried before it. Past the report's own length the buffer holds zeros: the
// caller's buffer holds whatever earlier reports left there.
DWORD FillWriteBuffer(Link& link, int way, const unsigned char* report) {
    const unsigned exact = link.outputLengthById[report[0]];
    if ((way == kExactWrite && exact == 0) || (way == kPaddedWrite && exact >= link.outputLength))
        return 0;
    const unsigned length = way == kExactWrite ? exact : link.outputLength;
    // An ID the device did not declare goes as the caller has it, to the output report length.
    unsigned own = exact ? exact : length;
    if (own > kCallerReportLimit)
        own = kCallerReportLimit;
    std::memcpy(link.writeBuffer, report, own);
    std::memset(link.writeBuffer + own, 0, length - own);
    return length;
}

// A stack's "no" is any error but the device being gone and the write's own cancel.
WriteEnd Refused(const Link& link, int way, DWORD error) {
    LogFailure(link, kWriteWayNames[way], error);
    return error == ERROR_DEVICE_NOT_CONNECTED || error == ERROR_OPERATION_ABORTED
               ? WriteEnd::kLost
               : WriteEnd::kRefused;
}

DWORD TimeLeft(ULONGLONG deadline, DWORD reserve) {
    const ULONGLONG now = GetTickCount64() + reserve;
    return now < deadline ? static_cast<DWORD>(deadline - now) : 0;
}

// Sends the write buffer one way and waits for the stack's answer until the deadline, or until
// the link is closed.
WriteEnd SendOneWay(Link& link, int way, DWORD length, ULONGLONG deadline, DWORD* sent) {
    std::memset(&link.writeOverlapped, 0, sizeof link.writeOverlapped);
    link.writeOverlapped.hEvent = link.writeEvent;
    ResetEvent(link.writeEvent);
    const LinkStack& stack = *link.stack;
    const BOOL done =
        way == kOutputReportRequest
            ? stack.requestOutputReport(link.device, link.writeBuffer, length,
                                        &link.writeOverlapped)
            : stack.write(link.device, link.writeBuffer, length, &link.writeOverlapped);
    if (!done && GetLastError() != ERROR_IO_PENDING)
        return Refused(link, way, GetLastError());

    bool cancelled = false;
    const HANDLE waits[2] = {link.closeEvent, link.writeEvent};
    const DWORD waited =
        done ? WAIT_OBJECT_0 + 1
             : WaitForMultipleObjects(2, waits, FALSE, TimeLeft(deadline, kCancelGraceMs));
    if (waited != WAIT_OBJECT_0 + 1) {
        // Timed out or closed: the write's own final status says whether it went out.
        if (waited == WAIT_TIMEOUT)
            LogFailure(link, kWriteWayNames[way], ERROR_TIMEOUT);
        stack.cancel(link.device, &link.writeOverlapped);
        if (WaitForSingleObject(link.writeEvent, kCancelGraceMs) != WAIT_OBJECT_0) {
            // The stack still holds the OVERLAPPED, which may not be reused until it lets go.
            link.writeStuck = true;
            LogFailure(link, "cancel", ERROR_TIMEOUT);
            return WriteEnd::kLost;
        }
        cancelled = true;
    }

    if (GetOverlappedResult(link.device, &link.writeOverlapped, sent, FALSE))
        return cancelled ? WriteEnd::kSentBeforeItsCancel : WriteEnd::kSent;
    const WriteEnd end = Refused(link, way, GetLastError());
    return cancelled ? WriteEnd::kLost : end;
}

int WriteOnce(Link& link, const unsigned char* report, unsigned int* count, LinkWriteInfo& info) {
    const ULONGLONG deadline = GetTickCount64() + kWriteTimeoutMs;
    // The way that worked last time goes first, then the others in their order.
    const int remembered = link.writeWay;
    int ways[kWriteWayCount] = {remembered};
    for (int way = 0, next = 1; way < kWriteWayCount; ++way)
        if (way != remembered)
            ways[next++] = way;

    // A write that the stack held past its cancel blocks the write side until the stack lets
    // it go; it is looked at again now, and waited for within this write's bound.
    if (link.writeStuck) {
        const HANDLE waits[2] = {link.closeEvent, link.writeEvent};
        if (WaitForMultipleObjects(2, waits, FALSE, TimeLeft(deadline, 0)) == WAIT_OBJECT_0 + 1 &&
            HasOverlappedIoCompleted(&link.writeOverlapped)) {
            link.writeStuck = false;
            LogCall(CallLogNowMs(), "Released %d -> 1 : the stuck write is done",
                    link.number.load());
        }
    }
    for (const int way : ways) {
        if (!link.open || link.writeStuck) {
            info.deviceLost = link.open;
            return 0;
        }
        const DWORD length = FillWriteBuffer(link, way, report);
        if (length == 0)
            continue;
        info.way = way;
        DWORD sent = 0;
        switch (SendOneWay(link, way, length, deadline, &sent)) {
        case WriteEnd::kSent:
            link.writeWay = way;
            [[fallthrough]];
        case WriteEnd::kSentBeforeItsCancel:
            if (count)
                *count = sent;
            return 1;
        case WriteEnd::kLost:
            info.deviceLost = link.open;
            return 0;
        case WriteEnd::kRefused:
            break;
        }
    }
    return 0;
}

} // namespace

int AdoptLink(HANDLE device, unsigned inputLength, unsigned outputLength,
              const unsigned short outputLengthById[kReportIds], const LinkStack& stack) {
    if (inputLength == 0 || inputLength > kLinkReportLimit || outputLength > kLinkReportLimit)
        return -1;
    Link* slot = ClaimSlot();
    if (!slot) {
        LogCall(CallLogNowMs(), "Failed 0 -> 0 via open error %d : %d links are open",
                ERROR_TOO_MANY_OPEN_FILES, kLinkSlots);
        return -1;
    }
    Link& link = *slot;
    link.closeEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    link.readEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    link.writeEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!link.closeEvent || !link.readEvent || !link.writeEvent) {
        for (HANDLE event : {link.closeEvent, link.readEvent, link.writeEvent})
            if (event)
                CloseHandle(event);
        link.number = kFreeSlot;
        return -1;
    }
    link.readPending = false;
    link.writing = false;
    link.writeStuck = false;
    link.writeWay = kExactWrite;
    link.stack = &stack;
    link.device = device;
    link.inputLength = inputLength;
    link.outputLength = outputLength;
    for (int id = 0; id < kReportIds; ++id) {
        const unsigned length = outputLengthById[id];
        link.outputLengthById[id] = length <= kLinkReportLimit ? length : 0;
    }
    link.open = true;
    link.users = 1;
    const int number = NextLinkNumber();
    link.number = number; // publishes the link: calls may use it from now on
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

int LinkReadFirst(const int* numbers, int linkCount, HANDLE wake, unsigned char* report,
                  unsigned int* count, bool* failed) {
    Link* held[kMaxReadFirst] = {};
    if (linkCount > kMaxReadFirst)
        linkCount = kMaxReadFirst;
    for (int i = 0; i < linkCount; ++i) {
        held[i] = AcquireLink(numbers[i]);
        failed[i] = !held[i] || !StartRead(*held[i]);
    }
    int answered = -1;
    for (;;) {
        // The wake comes first, so a close wins when a report is there too.
        HANDLE waits[1 + kMaxReadFirst] = {wake};
        int waitingLink[kMaxReadFirst];
        int waitCount = 1;
        for (int i = 0; i < linkCount; ++i)
            if (held[i] && !failed[i]) {
                waitingLink[waitCount - 1] = i;
                waits[waitCount++] = held[i]->readEvent;
            }
        const DWORD waited = WaitForMultipleObjects(waitCount, waits, FALSE, INFINITE);
        if (waited <= WAIT_OBJECT_0 || waited >= WAIT_OBJECT_0 + waitCount)
            break;
        const int i = waitingLink[waited - WAIT_OBJECT_0 - 1];
        DWORD error = 0;
        if (FinishRead(*held[i], report, count, &error)) {
            answered = i;
            break;
        }
        if (!CancelledWhileOpen(*held[i], error) || !StartRead(*held[i]))
            failed[i] = true;
    }
    for (Link* link : held)
        if (link) {
            CollectRead(*link);
            ReleaseLink(*link);
        }
    return answered;
}

int LinkWrite(int number, const unsigned char* report, unsigned int* count, LinkWriteInfo* info) {
    LinkWriteInfo ignored;
    LinkWriteInfo& said = info ? *info : ignored;
    said = {kExactWrite, false};
    Link* link = AcquireLink(number);
    if (!link)
        return 0;
    // The write side has one OVERLAPPED; a second writer at the same time fails rather than
    // share it.
    int result = 0;
    if (!link->writing.exchange(true)) {
        result = WriteOnce(*link, report, count, said);
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
    link->stack->cancel(link->device, nullptr);
    ReleaseLink(*link); // this call's reference
    ReleaseLink(*link); // the open link's own
    return 1;
}
