// The HID library's overlapped link, over a named-pipe pair standing in for the device: each
// pipe message is one report; the library's search for the remote where there is none; and the
// call log's line, as its one reader takes it back.
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <thread>

#include "hid/hid_library.h"
#include "hid/candidates.h"
#include "hid/log_line.h"
#include "hid/overlapped_link.h"
#include "rig_facts.h"
#include "program_driver/clock.h"

namespace {

// A reader on its own thread, so that the test can watch it wait and wake.
struct PendingRead {
    unsigned char report[300];
    unsigned int count = 0;
    std::atomic<int> result{-1};
    std::atomic<double> doneMs{0};
    std::thread thread;

    void Start(int link) {
        std::memset(report, 0xEE, sizeof report);
        thread = std::thread([this, link] {
            result = LinkRead(link, report, &count);
            doneMs = NowMs();
        });
    }
    bool Done() const {
        return result != -1;
    }
};

// A link whose device is the overlapped end of a named pipe, as a HID device handle is; the test
// plays the remote on the other end with plain blocking calls.
int OpenPipeLink(HANDLE& remote, unsigned inputLength, unsigned outputLength) {
    static int pipeNumber;
    char name[64];
    std::snprintf(name, sizeof name, "\\\\.\\pipe\\irtest-%lu-%d", GetCurrentProcessId(),
                  ++pipeNumber);
    remote = CreateNamedPipeA(name, PIPE_ACCESS_DUPLEX, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE,
                              1, 4096, 4096, 0, nullptr);
    const HANDLE device = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_OVERLAPPED, nullptr);
    if (remote == INVALID_HANDLE_VALUE || device == INVALID_HANDLE_VALUE)
        return -1;
    DWORD mode = PIPE_READMODE_MESSAGE;
    SetNamedPipeHandleState(device, &mode, nullptr, nullptr);
    unsigned short lengths[256] = {};
    lengths[0x11] = 2;
    lengths[0x12] = 3;
    lengths[0x16] = 22;
    return AdoptLink(device, inputLength, outputLength, lengths);
}

class LinkTest : public testing::Test {
  protected:
    void OpenPipes(unsigned inputLength, unsigned outputLength) {
        link = OpenPipeLink(remote, inputLength, outputLength);
        ASSERT_GT(link, 0);
    }
    void TearDown() override {
        LinkClose(link);
        if (pending.thread.joinable())
            pending.thread.join();
        if (remote != INVALID_HANDLE_VALUE)
            CloseHandle(remote);
    }
    void SendFromRemote(const unsigned char* bytes, DWORD length) {
        DWORD written = 0;
        ASSERT_TRUE(WriteFile(remote, bytes, length, &written, nullptr));
    }
    // The next message the device's end sent, or -1 if there is none.
    int ReceiveAtRemote(unsigned char* bytes, DWORD size) {
        DWORD available = 0;
        if (!PeekNamedPipe(remote, nullptr, 0, nullptr, &available, nullptr) || available == 0)
            return -1;
        DWORD read = 0;
        return ReadFile(remote, bytes, size, &read, nullptr) ? static_cast<int>(read) : -1;
    }

    HANDLE remote = INVALID_HANDLE_VALUE;
    int link = -1;
    PendingRead pending;
};

TEST_F(LinkTest, ReadWaitsForAReportWhileWritesGoAhead) {
    OpenPipes(22, 22);
    pending.Start(link);
    Sleep(150);
    EXPECT_FALSE(pending.Done()) << "a read returned with no report there";

    // Writes go out while the read waits, each with its own length from the device's table;
    // an ID the table does not know goes out padded to the output report length.
    unsigned char mode[256] = {0x12, 0x00, 0x31, 0x77};
    unsigned char unknown[256] = {0x42, 0x01};
    unsigned int count = 0;
    const double before = NowMs();
    EXPECT_EQ(LinkWrite(link, mode, &count), 1);
    EXPECT_EQ(LinkWrite(link, unknown, &count), 1);
    EXPECT_LT(NowMs() - before, 250.0);
    unsigned char received[64];
    ASSERT_EQ(ReceiveAtRemote(received, sizeof received), 3);
    EXPECT_EQ(std::memcmp(received, mode, 3), 0);
    ASSERT_EQ(ReceiveAtRemote(received, sizeof received), 22);
    EXPECT_EQ(received[0], 0x42);
    EXPECT_EQ(received[1], 0x01);
    EXPECT_EQ(received[21], 0x00);
    EXPECT_FALSE(pending.Done());

    unsigned char report[22] = {0x33, 0x00, 0x80, 0x81};
    SendFromRemote(report, sizeof report);
    pending.thread.join();
    EXPECT_EQ(pending.result, 1);
    EXPECT_EQ(pending.count, 22u);
    EXPECT_EQ(std::memcmp(pending.report, report, sizeof report), 0);
}

TEST_F(LinkTest, CloseWakesAWaitingReadAndRetiresTheHandle) {
    OpenPipes(22, 22);
    pending.Start(link);
    Sleep(100);
    ASSERT_FALSE(pending.Done());

    const double before = NowMs();
    EXPECT_EQ(LinkClose(link), 1);
    EXPECT_LT(NowMs() - before, 250.0) << "the close waited for the read";
    pending.thread.join();
    EXPECT_EQ(pending.result, 0);
    EXPECT_LT(pending.doneMs - before, 500.0);
    EXPECT_EQ(pending.report[0], 0xEE) << "a woken read touched the buffer";

    // Everything after the close fails at once, and a new link never gets the old number.
    unsigned char report[256] = {0x12, 0x00, 0x30};
    unsigned int count = 0;
    const double after = NowMs();
    EXPECT_EQ(LinkRead(link, report, &count), 0);
    EXPECT_EQ(LinkWrite(link, report, &count), 0);
    EXPECT_EQ(LinkClose(link), 0);
    for (int unknown : {-1, 0, 9999})
        EXPECT_EQ(LinkRead(unknown, report, &count), 0);
    EXPECT_LT(NowMs() - after, 250.0);
    EXPECT_EQ(report[0], 0x12);
    const int closed = link;
    OpenPipes(22, 22);
    EXPECT_NE(link, closed);
}

TEST_F(LinkTest, InputLongerThanTheCallersBufferIsClipped) {
    OpenPipes(300, 22);
    unsigned char report[300];
    for (int i = 0; i < 300; ++i)
        report[i] = static_cast<unsigned char>(i);
    SendFromRemote(report, sizeof report);
    pending.Start(link);
    pending.thread.join();
    EXPECT_EQ(pending.result, 1);
    EXPECT_EQ(pending.count, 256u);
    EXPECT_EQ(std::memcmp(pending.report, report, 256), 0);
    EXPECT_EQ(pending.report[256], 0xEE);
    EXPECT_EQ(pending.report[299], 0xEE);
}

TEST_F(LinkTest, ReadOnAFailedDeviceWaitsForTheCloseInsteadOfSpinning) {
    OpenPipes(22, 22);
    CloseHandle(remote); // the remote goes away
    remote = INVALID_HANDLE_VALUE;
    pending.Start(link);
    Sleep(200);
    EXPECT_FALSE(pending.Done()) << "a read on a failed device returned at once";
    LinkClose(link);
    pending.thread.join();
    EXPECT_EQ(pending.result, 0);
}

// A long-running caller opens and closes as often as it likes: each open gets a number never seen
// before, the old numbers stay dead, and a closed link's read still in flight holds nothing up.
// Several candidates behind one handle, with the race's read waiting on both, too.
TEST(LinkNumbersTest, NeverRunOutAndAreNeverReused) {
    int last = 0;
    for (int round = 0; round < 150; ++round) {
        HANDLE remotes[2];
        const int links[2] = {OpenPipeLink(remotes[0], 22, 22), OpenPipeLink(remotes[1], 22, 22)};
        ASSERT_GT(links[0], last) << "round " << round;
        ASSERT_GT(links[1], links[0]) << "round " << round;
        last = links[1];
        const int handle = OpenCandidates(links, 2);
        unsigned char report[256] = {};
        unsigned int count = 0;
        std::atomic<int> result{-1};
        std::thread reader([&] { result = CandidatesRead(handle, report, &count); });
        Sleep(round % 10 == 0 ? 20 : 0);
        EXPECT_EQ(CandidatesClose(handle), 1);
        reader.join();
        EXPECT_EQ(result, 0);
        int way = 0;
        EXPECT_EQ(CandidatesWrite(handle, report, &count, &way), 0);
        EXPECT_EQ(LinkClose(links[1]), 0) << "a closed candidate's number came back";
        for (HANDLE remote : remotes)
            CloseHandle(remote);
    }
}

// The prefix may hold the virtual remote; no device has these identifiers. (The end-to-end cases
// through the HID stack remove the remote and find only a device of other identifiers.)
TEST(HidLibraryTest, FindsNothingForIdentifiersNoDeviceHas) {
    EXPECT_EQ(OpenHidHandle(kRemoteVendor, kNoDeviceProduct), -1);
}

// The call log's one reader takes back what its writer wrote, and the lines of every kind the
// logs hold: IDs for a target, a negative handle, a result left out, a text with '#' and ':'.
TEST(LogLineTest, ReadsBackWhatIsWrittenAndEveryKindOfLine) {
    char line[kLogLineSize];
    const int start = FormatLogLineStart(line, 4242, 77, 1234567891);
    const uint8_t report[24] = {0x33, 0x00, 0x80, 0xFF};
    char bytes[kLogReportTextSize];
    FormatLogReport(report, 24, bytes);
    std::snprintf(line + start, sizeof line - start, "ReadReport 3 -> 1 done 1234570.5 : %s\n",
                  bytes);
    LogLine read;
    ASSERT_TRUE(ParseLogLine(line, read));
    EXPECT_EQ(read.pid, 4242u);
    EXPECT_EQ(read.tid, 77u);
    EXPECT_DOUBLE_EQ(read.ms, 1234567.891);
    EXPECT_STREQ(read.call, "ReadReport");
    EXPECT_EQ(read.handle, 3);
    EXPECT_EQ(read.result, 1);
    double done = 0;
    EXPECT_TRUE(LogNumber(read, "done", done));
    EXPECT_DOUBLE_EQ(done, 1234570.5);
    EXPECT_STREQ(read.text, "33 00 80 FF 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00");

    char open[] = "1 2 3.000 OpenHidHandle 057E 0306 -> -1";
    ASSERT_TRUE(ParseLogLine(open, read));
    EXPECT_EQ(read.handle, 0);
    EXPECT_EQ(read.result, -1);
    char failed[] = "1 2 3.000 Failed -1 -> 0 via SetupDiGetClassDevs error 13";
    ASSERT_TRUE(ParseLogLine(failed, read));
    EXPECT_EQ(read.handle, -1);
    EXPECT_STREQ(LogValue(read, "via"), "SetupDiGetClassDevs");
    char memory[] = "1 2 3.000 Memory 1 -> private 4096 pagefile 8192\r\n";
    ASSERT_TRUE(ParseLogLine(memory, read));
    EXPECT_FALSE(read.hasResult);
    EXPECT_STREQ(LogValue(read, "pagefile"), "8192");
    char device[] = "1 2 3.000 Device 0 -> 1 vendor 057E link 4 : \\\\?\\hid#vr#0 : x";
    ASSERT_TRUE(ParseLogLine(device, read));
    EXPECT_STREQ(LogValue(read, "link"), "4");
    EXPECT_STREQ(read.text, "\\\\?\\hid#vr#0 : x");
    char step[] = "100 ir 1 2 3 4 5 6 7 8";
    EXPECT_FALSE(ParseLogLine(step, read)) << "a scenario's step";
}

} // namespace
