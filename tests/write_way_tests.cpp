// The link's ways of handing output reports to the HID stack, against fake stacks that answer as
// the stacks users have are reported to (Wine's class driver answers none of them this way): the
// link must settle on a way the remote really gets, send no report twice, and hold no write
// longer than its timeout.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "hid/overlapped_link.h"
#include "program_driver/clock.h"
#include "tests/hex.h"

namespace {

constexpr LONG kStatusPending = 0x00000103;
constexpr LONG kStatusNotSupported = static_cast<LONG>(0xC00000BB);
constexpr LONG kStatusDeviceNotConnected = static_cast<LONG>(0xC000009D);
constexpr LONG kStatusCancelled = static_cast<LONG>(0xC0000120);
constexpr unsigned kOutputLength = 22;

// How a fake stack answers one call.
enum class Answer {
    kTakes,            // done at once; the device gets the report's own bytes
    kTakesLater,       // pending, then done
    kDropsPadded,      // accepted; the device gets it only if it is no longer than its own length
                       // (a Bluetooth interrupt channel, a remote that drops longer reports)
    kRefusesAtOnce,    // fails at once: 1784, ERROR_INVALID_USER_BUFFER
    kRefusesLater,     // pending, then fails: 50, ERROR_NOT_SUPPORTED
    kHangs,            // pending until cancelled
    kTimesOutOnce,     // the first such call pends until cancelled; later ones are done at once
    kTimesOutOnceSent, // as kTimesOutOnce, but that call has reached the device by its cancel
    kGone,             // pending, then fails: 1167, ERROR_DEVICE_NOT_CONNECTED
};

struct FakeStack {
    const char* name;
    Answer shortWrite; // WriteFile shorter than the output report length
    Answer fullWrite;  // WriteFile of the output report length
    Answer request;    // the output-report request
    // What the link must make of the four reports: LinkWrite's result for each, and the ways the
    // stack saw for each.
    int results[4];
    const char* ways[4];
};

// The reports, in the order sent: a mode request, a register write of the full 22 bytes, the
// LEDs, and another mode request.
const unsigned char kReports[4][22] = {
    {0x12, 0x00, 0x31},
    {0x16, 0x04, 0xB0, 0x00, 0x30, 0x01, 0x08},
    {0x11, 0x10},
    {0x12, 0x00, 0x33},
};
const unsigned kOwnLengths[4] = {3, 22, 2, 3};

// clang-format off
const FakeStack kStacks[] = {
    {"Windows8AndLater", Answer::kTakes, Answer::kTakes, Answer::kTakes,
     {1, 1, 1, 1}, {"exact", "exact", "exact", "exact"}},
    // A short WriteFile is refused, a padded one dropped on the way: only the request works.
    {"Windows7", Answer::kRefusesAtOnce, Answer::kDropsPadded, Answer::kTakesLater,
     {1, 1, 1, 1}, {"exact request", "request", "request", "request"}},
    // The whole buffer is wanted and cut to the report's length; requests are not supported.
    // The full-length register write goes exact, which then goes first again.
    {"FullBuffer", Answer::kRefusesAtOnce, Answer::kTakes, Answer::kRefusesLater,
     {1, 1, 1, 1}, {"exact request padded", "exact", "exact request padded", "padded"}},
    // A write that times out is not sent again another way, and the way stays.
    {"TimesOutOnce", Answer::kTimesOutOnce, Answer::kTakes, Answer::kTakes,
     {0, 1, 1, 1}, {"exact", "exact", "exact", "exact"}},
    {"TimesOutOnceButWentOut", Answer::kTimesOutOnceSent, Answer::kTakes, Answer::kTakes,
     {1, 1, 1, 1}, {"exact", "exact", "exact", "exact"}},
    {"RemoteGone", Answer::kGone, Answer::kGone, Answer::kGone,
     {0, 0, 0, 0}, {"exact", "exact", "exact", "exact"}},
    {"RequestNeverCompletes", Answer::kRefusesAtOnce, Answer::kDropsPadded, Answer::kHangs,
     {0, 1, 0, 0}, {"exact request", "exact", "exact request", "exact request"}},
};
// clang-format on

// The fake stack's one device, shared by its calls.
struct FakeDevice {
    std::mutex lock;
    const FakeStack* stack = nullptr;
    bool timedOutOnce = false;
    std::string ways;             // the ways the current write's calls took
    std::vector<std::string> got; // the reports the device got, as hex
    bool dirtyPadding = false;    // a call carried bytes past the report's own length
    OVERLAPPED* pending[4] = {};  // calls in flight
    std::string pendingReport[4]; // what each in-flight call carries, if it is to arrive
};
FakeDevice fake;

unsigned OwnLength(unsigned char id) {
    for (int i = 0; i < 4; ++i)
        if (kReports[i][0] == id)
            return kOwnLengths[i];
    return 0;
}

void Complete(OVERLAPPED* overlapped, LONG status, DWORD length) {
    overlapped->Internal = static_cast<ULONG_PTR>(status);
    overlapped->InternalHigh = length;
    SetEvent(overlapped->hEvent);
}

BOOL Pend(OVERLAPPED* overlapped, const std::string& report) {
    overlapped->Internal = kStatusPending;
    for (int i = 0; i < 4; ++i)
        if (!fake.pending[i]) {
            fake.pending[i] = overlapped;
            fake.pendingReport[i] = report;
            break;
        }
    SetLastError(ERROR_IO_PENDING);
    return FALSE;
}

BOOL Call(const char* way, Answer answer, void* buffer, DWORD length, OVERLAPPED* overlapped) {
    std::lock_guard<std::mutex> hold(fake.lock);
    fake.ways += fake.ways.empty() ? way : std::string(" ") + way;
    const unsigned char* bytes = static_cast<const unsigned char*>(buffer);
    const unsigned own = OwnLength(bytes[0]);
    for (unsigned i = own; i < length; ++i)
        fake.dirtyPadding |= bytes[i] != 0;
    const std::string report = Hex(bytes, static_cast<int>(own));
    if (answer == Answer::kTimesOutOnce || answer == Answer::kTimesOutOnceSent) {
        if (!fake.timedOutOnce) {
            fake.timedOutOnce = true;
            return Pend(overlapped, answer == Answer::kTimesOutOnceSent ? report : "");
        }
        answer = Answer::kTakes;
    }
    switch (answer) {
    case Answer::kTakes:
    case Answer::kTakesLater:
    case Answer::kDropsPadded:
        if (answer != Answer::kDropsPadded || length == own)
            fake.got.push_back(report);
        Complete(overlapped, 0, length);
        if (answer == Answer::kTakesLater)
            break;
        return TRUE;
    case Answer::kRefusesAtOnce:
        SetLastError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    case Answer::kRefusesLater:
        Complete(overlapped, kStatusNotSupported, 0);
        break;
    case Answer::kGone:
        Complete(overlapped, kStatusDeviceNotConnected, 0);
        break;
    default:
        return Pend(overlapped, "");
    }
    SetLastError(ERROR_IO_PENDING);
    return FALSE;
}

BOOL FakeWrite(HANDLE, void* report, DWORD length, OVERLAPPED* overlapped) {
    const FakeStack& stack = *fake.stack;
    return length < kOutputLength
               ? Call("exact", stack.shortWrite, report, length, overlapped)
               : Call(OwnLength(static_cast<unsigned char*>(report)[0]) == length ? "exact"
                                                                                  : "padded",
                      stack.fullWrite, report, length, overlapped);
}

BOOL FakeRequest(HANDLE, void* report, DWORD length, OVERLAPPED* overlapped) {
    return Call("request", fake.stack->request, report, length, overlapped);
}

BOOL FakeRead(HANDLE, void*, DWORD, OVERLAPPED* overlapped) {
    std::lock_guard<std::mutex> hold(fake.lock);
    return Pend(overlapped, "");
}

// A cancelled call ends as cancelled, or as done where it had reached the device.
BOOL FakeCancel(HANDLE, OVERLAPPED* overlapped) {
    std::lock_guard<std::mutex> hold(fake.lock);
    BOOL found = FALSE;
    for (int i = 0; i < 4; ++i)
        if (fake.pending[i] && (!overlapped || fake.pending[i] == overlapped)) {
            const bool arrived = !fake.pendingReport[i].empty();
            if (arrived)
                fake.got.push_back(fake.pendingReport[i]);
            Complete(fake.pending[i], arrived ? 0 : kStatusCancelled, arrived ? kOutputLength : 0);
            fake.pending[i] = nullptr;
            found = TRUE;
        }
    if (!found)
        SetLastError(ERROR_NOT_FOUND);
    return found;
}

constexpr LinkStack kFakeStack = {FakeWrite, FakeRequest, FakeRead, FakeCancel};

int AdoptFakeLink(const FakeStack& stack) {
    std::lock_guard<std::mutex> hold(fake.lock);
    fake.stack = &stack;
    fake.timedOutOnce = false;
    fake.got.clear();
    fake.dirtyPadding = false;
    unsigned short lengths[256] = {};
    for (int i = 0; i < 4; ++i)
        lengths[kReports[i][0]] = static_cast<unsigned short>(kOwnLengths[i]);
    return AdoptLink(CreateEventA(nullptr, TRUE, FALSE, nullptr), 22, kOutputLength, lengths,
                     kFakeStack);
}

class WriteWayTest : public testing::TestWithParam<FakeStack> {};

TEST_P(WriteWayTest, EveryReportReportedSentReachesTheDeviceOnceWithinTheTimeout) {
    const FakeStack& stack = GetParam();
    const int link = AdoptFakeLink(stack);
    ASSERT_GT(link, 0);
    std::vector<std::string> sent;
    for (int i = 0; i < 4; ++i) {
        // The caller's buffer holds what earlier reports left there.
        unsigned char report[256];
        std::memset(report, 0xAA, sizeof report);
        std::memcpy(report, kReports[i], kOwnLengths[i]);
        fake.ways.clear();
        unsigned int count = 0;
        const double startMs = NowMs();
        EXPECT_EQ(LinkWrite(link, report, &count), stack.results[i]) << "report " << i;
        EXPECT_LT(NowMs() - startMs, kWriteTimeoutMs + 150.0) << "report " << i;
        std::lock_guard<std::mutex> hold(fake.lock);
        EXPECT_EQ(fake.ways, stack.ways[i]) << "report " << i;
        if (stack.results[i])
            sent.push_back(Hex(kReports[i], static_cast<int>(kOwnLengths[i])));
    }
    LinkClose(link);
    std::lock_guard<std::mutex> hold(fake.lock);
    EXPECT_EQ(fake.got, sent) << "the device got other reports than the link said it sent";
    EXPECT_FALSE(fake.dirtyPadding) << "padding that is not zeros";
}

TEST(WriteWayCloseTest, CloseWakesAWriteThatHangsAtOnce) {
    const FakeStack& hangs = *std::find_if(std::begin(kStacks), std::end(kStacks), [](auto& stack) {
        return std::strcmp(stack.name, "RequestNeverCompletes") == 0;
    });
    const int link = AdoptFakeLink(hangs);
    ASSERT_GT(link, 0);
    unsigned char report[256] = {0x12, 0x00, 0x31};
    std::atomic<double> doneMs{0};
    std::thread writer([&] {
        EXPECT_EQ(LinkWrite(link, report, nullptr), 0);
        doneMs = NowMs();
    });
    Sleep(200);
    const double closeMs = NowMs();
    EXPECT_EQ(LinkClose(link), 1);
    writer.join();
    EXPECT_LT(doneMs - closeMs, 100.0);
}

std::string StackName(const testing::TestParamInfo<FakeStack>& info) {
    return info.param.name;
}

INSTANTIATE_TEST_SUITE_P(FakeStacks, WriteWayTest, testing::ValuesIn(kStacks), StackName);

} // namespace
