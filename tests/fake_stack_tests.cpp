// The library over a fake stack that behaves as Windows does where Windows is stricter than Wine:
// a thread's pending reads are cancelled when the thread ends, a stack may let a cancelled write
// go seconds late, a thread ended by force may be in the middle of anything, and the search may
// meet more devices with the remote's identifiers than one adapter has slots. And the race of
// several candidates over the same stack, where the test decides who answers when.
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "hid/call_log.h"
#include "hid/candidates.h"
#include "hid/device_search.h"
#include "hid/overlapped_link.h"
#include "rig_facts.h"
#include "program_driver/clock.h"
#include "tests/hex.h"

namespace {

constexpr LONG kStatusPending = 0x00000103;
constexpr LONG kStatusCancelled = static_cast<LONG>(0xC0000120);
constexpr LONG kStatusDeviceNotConnected = static_cast<LONG>(0xC000009D);
constexpr int kDevices = kMaxCandidates + 1;
constexpr DWORD kLateWriteMs = 3000;

struct PendingRead {
    OVERLAPPED* overlapped;
    void* buffer;
    DWORD thread; // Windows cancels it when this thread ends
};

struct RulesDevice {
    HANDLE handle = nullptr;
    std::vector<PendingRead> reads;
    bool writesLate = false; // its first write is let go only kLateWriteMs later, cancel or not
    bool heldAWrite = false;
    bool gone = false;         // writes fail as a device's that has gone away
    bool cancelledAll = false; // a cancel of everything: the link's close

    std::vector<std::string> got; // the reports it got, as hex
};

std::mutex lock;
RulesDevice devices[kDevices];
std::vector<std::thread> lateWrites;

RulesDevice* DeviceOf(HANDLE handle) {
    for (RulesDevice& device : devices)
        if (device.handle == handle)
            return &device;
    return nullptr;
}

void Complete(OVERLAPPED* overlapped, LONG status, DWORD length) {
    overlapped->Internal = static_cast<ULONG_PTR>(status);
    overlapped->InternalHigh = length;
    SetEvent(overlapped->hEvent);
}

BOOL Pending() {
    SetLastError(ERROR_IO_PENDING);
    return FALSE;
}

BOOL RulesWrite(HANDLE handle, void* report, DWORD length, OVERLAPPED* overlapped) {
    std::lock_guard<std::mutex> hold(lock);
    RulesDevice& device = *DeviceOf(handle);
    const std::string bytes = Hex(static_cast<unsigned char*>(report), 3);
    if (device.gone) {
        Complete(overlapped, kStatusDeviceNotConnected, 0);
        return Pending();
    }
    if (device.writesLate && !device.heldAWrite) {
        device.heldAWrite = true;
        overlapped->Internal = kStatusPending;
        lateWrites.emplace_back([&device, bytes, overlapped, length] {
            Sleep(kLateWriteMs);
            std::lock_guard<std::mutex> late(lock);
            device.got.push_back(bytes);
            Complete(overlapped, 0, length);
        });
        return Pending();
    }
    device.got.push_back(bytes);
    Complete(overlapped, 0, length);
    return TRUE;
}

BOOL RulesRead(HANDLE handle, void* report, DWORD, OVERLAPPED* overlapped) {
    std::lock_guard<std::mutex> hold(lock);
    overlapped->Internal = kStatusPending;
    DeviceOf(handle)->reads.push_back({overlapped, report, GetCurrentThreadId()});
    return Pending();
}

// Reads end as cancelled; a held write ignores its cancel.
BOOL RulesCancel(HANDLE handle, OVERLAPPED* overlapped) {
    std::lock_guard<std::mutex> hold(lock);
    DeviceOf(handle)->cancelledAll |= !overlapped;
    std::vector<PendingRead>& reads = DeviceOf(handle)->reads;
    for (auto read = reads.begin(); read != reads.end();)
        if (!overlapped || read->overlapped == overlapped) {
            Complete(read->overlapped, kStatusCancelled, 0);
            read = reads.erase(read);
        } else {
            ++read;
        }
    return TRUE;
}

constexpr LinkStack kRulesStack = {RulesWrite, RulesWrite, RulesRead, RulesCancel};

// What Windows does when a thread ends: its pending reads end as cancelled.
void EndThreadIo(DWORD thread) {
    std::lock_guard<std::mutex> hold(lock);
    for (RulesDevice& device : devices)
        for (auto read = device.reads.begin(); read != device.reads.end();)
            if (read->thread == thread) {
                Complete(read->overlapped, kStatusCancelled, 0);
                read = device.reads.erase(read);
            } else {
                ++read;
            }
}

// Completes a read of this device that a thread other than notBy started, with a report of this
// ID; false when none is started within 2 s.
bool Deliver(int index, unsigned char id, DWORD notBy = 0) {
    for (const double deadline = NowMs() + 2000; NowMs() < deadline; Sleep(5)) {
        std::lock_guard<std::mutex> hold(lock);
        for (auto read = devices[index].reads.begin(); read != devices[index].reads.end(); ++read)
            if (read->thread != notBy) {
                unsigned char report[22] = {id, 0x00, 0x00, 0x81};
                std::memcpy(read->buffer, report, sizeof report);
                Complete(read->overlapped, 0, sizeof report);
                devices[index].reads.erase(read);
                return true;
            }
    }
    return false;
}

int PendingReadsOf(int index) {
    std::lock_guard<std::mutex> hold(lock);
    return static_cast<int>(devices[index].reads.size());
}

void UseDevices(int count) {
    std::lock_guard<std::mutex> hold(lock);
    for (int i = 0; i < kDevices; ++i) {
        devices[i] = RulesDevice();
        if (i < count)
            devices[i].handle = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    }
}

void LengthsOfTheRemote(unsigned short lengths[256]) {
    std::memset(lengths, 0, 256 * sizeof lengths[0]);
    lengths[0x11] = 2;
    lengths[0x12] = 3;
    lengths[0x16] = 22;
}

int AdoptRulesLink(int index) {
    unsigned short lengths[256];
    LengthsOfTheRemote(lengths);
    return AdoptLink(devices[index].handle, 22, 22, lengths, kRulesStack);
}

// The process's capture (the library keeps to the first it opens): a pipe, which a thread of the
// test drains into captured while draining is set. Left undrained, the pipe holds a writer in its
// WriteFile, in a plain wait.
std::mutex captureLock;
std::string captured;
std::atomic<bool> draining{true};

DWORD WINAPI DrainCapture(void* pipe) {
    char chunk[4096];
    for (DWORD got = 0;;) {
        if (!draining) {
            Sleep(5);
            continue;
        }
        if (!ReadFile(pipe, chunk, sizeof chunk, &got, nullptr))
            return 0;
        std::lock_guard<std::mutex> hold(captureLock);
        captured.append(chunk, got);
    }
}

void OpenCapture() {
    static bool opened;
    if (opened)
        return;
    opened = true;
    const std::string path =
        "\\\\.\\pipe\\ir-windows-rules-" + std::to_string(GetCurrentProcessId());
    const HANDLE pipe =
        CreateNamedPipeA(path.c_str(), PIPE_ACCESS_INBOUND, PIPE_TYPE_BYTE, 1, 1, 1, 0, nullptr);
    SetEnvironmentVariableA("IR_TEST_RULES_CAPTURE", path.c_str());
    OpenCallLog("IR_TEST_RULES_CAPTURE");
    CloseHandle(CreateThread(nullptr, 0, DrainCapture, pipe, 0, nullptr));
}

std::string CaptureText() {
    OpenCapture();
    std::lock_guard<std::mutex> hold(captureLock);
    return captured;
}

// Waits up to 1 s for this part to show in the capture.
bool CaptureShows(const std::string& part) {
    for (const double deadline = NowMs() + 1000; NowMs() < deadline; Sleep(5))
        if (CaptureText().find(part) != std::string::npos)
            return true;
    return false;
}

int CountOf(const std::string& text, const std::string& part) {
    int count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

struct ThreadRead {
    unsigned char report[256] = {};
    unsigned int count = 0;
    std::atomic<int> result{-1};
};

DWORD WINAPI ReadTheHandle(void* parameter) {
    auto* read = static_cast<std::pair<int, ThreadRead*>*>(parameter);
    read->second->result = CandidatesRead(read->first, read->second->report, &read->second->count);
    return 0;
}

// Reads the handle on a thread of its own while this device delivers a report of this ID to a
// read that a thread other than notBy started. The read's result and report, or false when the
// device got no read to deliver to (the handle is then closed, which ends the read).
bool ReadWhileDelivering(int handle, int index, unsigned char id, ThreadRead& read,
                         DWORD notBy = 0) {
    std::thread reader([&] { read.result = CandidatesRead(handle, read.report, nullptr); });
    const bool delivered = Deliver(index, id, notBy);
    if (!delivered)
        CandidatesClose(handle);
    reader.join();
    return delivered;
}

class WindowsRulesTest : public testing::Test {
  protected:
    void TearDown() override {
        for (std::thread& late : lateWrites)
            late.join();
        lateWrites.clear();
    }
};

// The program ends its probe thread by force in a read on the candidates; Windows then cancels
// the reads that thread started. The next reader must still find every candidate in the race,
// and the chosen one must go on reading.
TEST_F(WindowsRulesTest, ReadsThatAnEndedThreadLeftPendingDropNoCandidate) {
    UseDevices(2);
    const int links[2] = {AdoptRulesLink(0), AdoptRulesLink(1)};
    const int handle = OpenCandidates(links, 2);
    ASSERT_GT(handle, 0);

    ThreadRead probe;
    std::pair<int, ThreadRead*> probeCall(handle, &probe);
    DWORD probeId = 0;
    const HANDLE probeThread = CreateThread(nullptr, 0, ReadTheHandle, &probeCall, 0, &probeId);
    for (const double deadline = NowMs() + 2000;
         NowMs() < deadline && (PendingReadsOf(0) == 0 || PendingReadsOf(1) == 0);)
        Sleep(5);
    ASSERT_EQ(PendingReadsOf(0), 1);
    TerminateThread(probeThread, 1);
    WaitForSingleObject(probeThread, INFINITE);
    CloseHandle(probeThread);
    EndThreadIo(probeId);

    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round == 0 ? "the first read after the end" : "a later read");
        ThreadRead reader;
        ASSERT_TRUE(ReadWhileDelivering(handle, 0, 0x31, reader, probeId))
            << "no read on the first candidate";
        EXPECT_EQ(reader.result, 1);
        EXPECT_EQ(reader.report[0], 0x31);
    }
    CandidatesClose(handle);
}

// A write that the stack lets go only seconds after its cancel blocks the write side until then,
// but not for good: the next write, the teardown's above all, goes out.
TEST_F(WindowsRulesTest, AWriteLetGoLateHoldsUpNoWriteAfterIt) {
    UseDevices(1);
    devices[0].writesLate = true;
    const int link = AdoptRulesLink(0);
    unsigned char report[256] = {0x12, 0x00, 0x31};
    const double startMs = NowMs();
    EXPECT_EQ(LinkWrite(link, report, nullptr), 0);
    EXPECT_LT(NowMs() - startMs, kWriteTimeoutMs + 150.0);
    Sleep(static_cast<DWORD>(startMs + kLateWriteMs + 200 - NowMs()));
    const unsigned char buttonsOnly[3] = {0x12, 0x00, 0x30};
    std::memcpy(report, buttonsOnly, sizeof buttonsOnly);
    EXPECT_EQ(LinkWrite(link, report, nullptr), 1);
    LinkClose(link);
    std::lock_guard<std::mutex> hold(lock);
    EXPECT_EQ(devices[0].got, (std::vector<std::string>{"12 00 31", "12 00 30"}));
}

DWORD WINAPI WriteLinesForever(void*) {
    for (;;)
        LogCall(CallLogNowMs(), "Busy 0 -> 1 : a line of a thread that is ended");
}

// A thread that the program ends by force may be writing a line of the capture (here: held in
// its WriteFile by a pipe nobody reads); no other thread's line may wait for it.
TEST_F(WindowsRulesTest, AThreadEndedInALineOfTheCaptureHoldsUpNoOtherLine) {
    OpenCapture();
    draining = false;
    const HANDLE writer = CreateThread(nullptr, 0, WriteLinesForever, nullptr, 0, nullptr);
    Sleep(200);
    TerminateThread(writer, 1);
    EXPECT_EQ(WaitForSingleObject(writer, 1000), WAIT_OBJECT_0);
    CloseHandle(writer);
    draining = true;
    const HANDLE done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::thread([done] {
        LogCall(CallLogNowMs(), "After 0 -> 1 : the line after the end");
        SetEvent(done);
    }).detach(); // left waiting if it hangs: the case fails either way
    EXPECT_EQ(WaitForSingleObject(done, 1000), WAIT_OBJECT_0) << "the next line hangs";
    EXPECT_TRUE(CaptureShows(" After 0 -> 1 : the line after the end\n"));
    CloseHandle(done);
}

// Two adapters of four slots and a few remotes: every device with the identifiers is a
// candidate up to the race's limit, any further one and any error of the listing is a line.
const char* const kFakePath = "\\\\?\\hid#fake#";

bool FakeBeginList(void**, const char**, DWORD*) {
    return true;
}
ListedPath FakeInterfacePath(void*, DWORD index, char* path, DWORD size, DWORD* error) {
    if (index >= kDevices) {
        *error = ERROR_INVALID_DATA;
        return ListedPath::kListFailed;
    }
    std::snprintf(path, size, "%s%lu", kFakePath, index);
    return ListedPath::kListed;
}
void FakeEndList(void*) {}
bool FakeAskDevice(const char* path, DeviceFacts& facts, DWORD*) {
    std::memset(&facts, 0, sizeof facts);
    facts.attributes.VendorID = kRemoteVendor;
    facts.attributes.ProductID = kRemoteProduct;
    facts.caps.InputReportByteLength = 22;
    facts.caps.OutputReportByteLength = 22;
    LengthsOfTheRemote(facts.outputLengthById);
    for (const int id : {0x11, 0x12, 0x16})
        facts.outputDeclared[id] = true;
    facts.described = std::strncmp(path, kFakePath, std::strlen(kFakePath)) == 0;
    return true;
}
HANDLE FakeOpenForReports(const char* path, DWORD*) {
    return devices[std::atoi(path + std::strlen(kFakePath))].handle;
}
constexpr DeviceSearch kFakeSearch = {FakeBeginList, FakeInterfacePath,  FakeEndList,
                                      FakeAskDevice, FakeOpenForReports, &kRulesStack};

TEST_F(WindowsRulesTest, EveryDeviceWithTheIdentifiersIsLookedAt) {
    UseDevices(kDevices);
    const size_t before = CaptureText().size();
    const int handle = FindAndOpen(kRemoteVendor, kRemoteProduct, kFakeSearch);
    ASSERT_GT(handle, 0);
    unsigned char report[256] = {0x12, 0x00, 0x31};
    int way = 0;
    EXPECT_EQ(CandidatesWrite(handle, report, nullptr, &way), 1);
    CandidatesClose(handle);

    ASSERT_TRUE(CaptureShows("error 13 listing the devices"));
    const std::string capture = CaptureText().substr(before);
    EXPECT_EQ(CountOf(capture, " Device "), kDevices + 1) << capture;
    EXPECT_EQ(CountOf(capture, " link "), kMaxCandidates) << capture;
    EXPECT_EQ(CountOf(capture, "beyond the 16 candidates"), 1) << capture;
    EXPECT_EQ(CountOf(capture, "error 13 listing the devices"), 1) << capture;
    std::lock_guard<std::mutex> hold(lock);
    for (int i = 0; i < kMaxCandidates; ++i)
        EXPECT_EQ(devices[i].got, std::vector<std::string>{"12 00 31"}) << "device " << i;
}

// The race, with the test deciding who answers when.
class RaceTest : public WindowsRulesTest {
  protected:
    int OpenRace(int count) {
        UseDevices(count);
        int links[kDevices];
        for (int i = 0; i < count; ++i)
            links[i] = AdoptRulesLink(i);
        return OpenCandidates(links, count);
    }
    static int Write(int handle, unsigned char mode) {
        unsigned char report[256] = {0x12, 0x00, mode};
        int way = 0;
        return CandidatesWrite(handle, report, nullptr, &way);
    }
    static std::vector<std::string> Got(int index) {
        std::lock_guard<std::mutex> hold(lock);
        return devices[index].got;
    }
    static bool Closed(int index) {
        std::lock_guard<std::mutex> hold(lock);
        return devices[index].cancelledAll;
    }
    static bool WaitUntilClosed(int index) {
        for (const double deadline = NowMs() + 2000; NowMs() < deadline; Sleep(5))
            if (Closed(index))
                return true;
        return false;
    }
};

// An empty slot first, which takes writes and never answers; the remote second. The remote is
// chosen, the slot is let go with the request for button-only reports, and from then on every
// call goes to the remote alone.
TEST_F(RaceTest, TheSecondCandidateAnswersFirstAndTheEmptySlotIsLetGo) {
    const int handle = OpenRace(2);
    EXPECT_EQ(Write(handle, 0x31), 1);
    ThreadRead read;
    ASSERT_TRUE(ReadWhileDelivering(handle, 1, 0x31, read));
    EXPECT_EQ(read.result, 1);
    ASSERT_TRUE(WaitUntilClosed(0)) << "the empty slot was not let go";
    EXPECT_EQ(Got(0), (std::vector<std::string>{"12 00 31", "12 00 30"}));
    EXPECT_EQ(Write(handle, 0x33), 1);
    EXPECT_EQ(Got(1), (std::vector<std::string>{"12 00 31", "12 00 33"}));
    EXPECT_EQ(PendingReadsOf(0), 0) << "a read left on the slot";
    CandidatesClose(handle);
    EXPECT_TRUE(Closed(1));
}

// A paired remote that is switched off: gone at its first write, it leaves the race at once and
// the live one goes on.
TEST_F(RaceTest, ACandidateGoneAtItsFirstWriteLeavesTheRace) {
    const int handle = OpenRace(2);
    {
        std::lock_guard<std::mutex> hold(lock);
        devices[0].gone = true;
    }
    EXPECT_EQ(Write(handle, 0x31), 1);
    EXPECT_TRUE(Closed(0));
    ThreadRead read;
    ASSERT_TRUE(ReadWhileDelivering(handle, 1, 0x31, read));
    EXPECT_EQ(read.result, 1);
    EXPECT_EQ(PendingReadsOf(0), 0);
    CandidatesClose(handle);
}

// The program's teardown closes the handle while its reader waits on the race: the read ends at
// once, and every candidate is closed.
TEST_F(RaceTest, ACloseDuringARaceReadWakesItAndClosesEveryCandidate) {
    const int handle = OpenRace(3);
    ThreadRead read;
    std::atomic<double> doneMs{0};
    std::thread reader([&] {
        read.result = CandidatesRead(handle, read.report, nullptr);
        doneMs = NowMs();
    });
    for (const double deadline = NowMs() + 2000; NowMs() < deadline && PendingReadsOf(2) == 0;)
        Sleep(5);
    const double closeMs = NowMs();
    EXPECT_EQ(CandidatesClose(handle), 1);
    reader.join();
    EXPECT_EQ(read.result, 0);
    EXPECT_LT(doneMs - closeMs, 100.0);
    for (int i = 0; i < 3; ++i)
        EXPECT_TRUE(Closed(i)) << "candidate " << i;
    EXPECT_EQ(Write(handle, 0x30), 0) << "the closed handle still writes";
}

} // namespace
