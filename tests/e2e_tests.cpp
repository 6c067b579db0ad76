// The real program, end to end: every road a user meets, watched from the Windows side, once with
// the simulated remote beside a copy of the program and once with the real HID library and the
// virtual remote on Wine's HID stack. Lower time bounds are the program's own; upper bounds are
// generous, since the machines are noisy.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <ostream>
#include <string>

#include "hid/hid_library.h"
#include "tests/expected_reports.h"
#include "program_driver/program_driver.h"

// The remote in the names CTest shows.
void PrintTo(Remote remote, std::ostream* out) {
    *out << (remote == Remote::kSimulated ? "the simulated remote" : "the virtual remote");
}

namespace {

const DWORD kStartTimeoutMs = Scaled(15000);
const DWORD kExitTimeoutMs = Scaled(10000);

class ProgramTest : public testing::TestWithParam<Remote> {
  protected:
    void TearDown() override {
        EndProgram(program);
        EndProgram(other);
    }

    // Starts the program and waits until its window shows the first crosses of kCrosses.
    // The view is live about 1 s after the open. Scenarios that change what the remote reports
    // once the view is live do so 2.4 s after the open or later, so that a loaded machine still
    // shows the view first.
    HWND StartLive(const std::string& scenario, int crossCount = 4,
                   const std::vector<std::string>& moreRemotes = {}) {
        if (!StartProgram(scenario, program, GetParam(), moreRemotes))
            return nullptr;
        const HWND window = FindProgramWindow(program, kMainWindowClass, kStartTimeoutMs);
        if (!window)
            return nullptr;
        for (int i = 0; i < crossCount; ++i)
            if (!WaitForCross(window, kCrosses[i][0], kCrosses[i][1], kStartTimeoutMs))
                return nullptr;
        return window;
    }

    // The end every road must come to: the mode request for buttons only as the last report,
    // then exactly one close, and no read started on the closed link.
    // The close writes its line last. Once under Wine, on a loaded machine, the log read just
    // after the exit ended before the teardown's lines, which were there afterwards: the log is
    // read until that line is there (bounded), and a wait is reported.
    void ExpectOneTeardown(bool deviceTakesTheLast = true) {
        std::vector<LoggedCall> log = ReadLog(program);
        const double firstReadMs = NowMs();
        const auto complete = [&] {
            return std::any_of(log.begin(), log.end(), [&](const LoggedCall& call) {
                return call.call == "CloseHidHandle";
            });
        };
        while (!complete() && NowMs() < firstReadMs + Scaled(2000)) {
            Sleep(20);
            log = ReadLog(program);
        }
        if (NowMs() > firstReadMs + 10)
            std::printf("the log was complete %.0f ms after its first read since the exit\n",
                        NowMs() - firstReadMs);
        // The link of the run: an original that opened and did not answer has its own before it.
        const int run = CallsOf(log, program, "OpenHidHandle").back().result;
        const std::vector<LoggedCall> writes = OnLink(CallsOf(log, program, "WriteReport"), run);
        const std::vector<LoggedCall> closes = OnLink(CallsOf(log, program, "CloseHidHandle"), run);
        ASSERT_EQ(writes.size(), static_cast<size_t>(kRunReportCount));
        EXPECT_EQ(writes.back().bytes, ExpectedRunReport(kRunReportCount - 1));
        ASSERT_EQ(closes.size(), 1u);
        EXPECT_EQ(closes[0].result, 1);
        EXPECT_GT(closes[0].ms, writes.back().ms);
        for (const LoggedCall& read : OnLink(CallsOf(log, program, "ReadReport"), run))
            EXPECT_LT(read.ms, closes[0].ms) << "a read started on the closed link";
        ExpectTheDeviceGot(deviceTakesTheLast ? kRunReportCount : kRunReportCount - 1);
    }

    // The virtual remote took the run's first `count` output reports, byte for byte as the
    // library sent them, each cut to its ID's length, and no other.
    void ExpectTheDeviceGot(int count, const char* way = "write") {
        if (GetParam() != Remote::kVirtual)
            return;
        const std::vector<LoggedCall> taken = TakenBy(liveRemote);
        ASSERT_EQ(taken.size(), static_cast<size_t>(count));
        for (int i = 0; i < count; ++i) {
            EXPECT_EQ(taken[i].bytes, ExpectedRunReport(i).substr(0, 3 * taken[i].length - 1))
                << "report " << i;
            EXPECT_EQ(taken[i].way, way) << "report " << i;
        }
    }

    static std::vector<LoggedCall> OnLink(const std::vector<LoggedCall>& calls, int handle) {
        std::vector<LoggedCall> on;
        for (const LoggedCall& call : calls)
            if (call.handle == handle)
                on.push_back(call);
        return on;
    }

    // The product ids the program's opens asked for, in their order, and what each returned:
    // "0306 -1", "0330 1".
    std::vector<std::string> OpensAskedFor() {
        std::vector<std::string> opens;
        const std::string text = ReadTextFile(program.logPath);
        for (size_t at = text.find(" OpenHidHandle 057E "); at != std::string::npos;
             at = text.find(" OpenHidHandle 057E ", at + 1)) {
            const size_t end = text.find_first_of("\r\n", at);
            std::string open = text.substr(at + 20, end - at - 20);
            open.erase(5, 3); // "-> "
            opens.push_back(open);
        }
        return opens;
    }

    // The output reports that remote n of the virtual remote took.
    std::vector<LoggedCall> TakenBy(int remote) {
        std::vector<LoggedCall> taken;
        for (const LoggedCall& write : DeviceCalls(ReadDeviceLog(program, remote), "WriteReport"))
            if (write.result == 1)
                taken.push_back(write);
        return taken;
    }

    // Waits until this long after the open; returns the open's time.
    double WaitUntilAfterOpen(double ms) {
        const double openMs = CallsOf(ReadLog(program), program, "OpenHidHandle").at(0).ms;
        while (NowMs() < openMs + ms)
            Sleep(1);
        return openMs;
    }

    // Replays a recorded session (a capture) through this remote: the program shows a cross
    // centred on (crossX, crossY) and sends what it sent then, report for report.
    void ExpectReplay(const std::string& recordingPath, Remote remote, int crossX, int crossY,
                      std::vector<uint32_t>* picture = nullptr) {
        std::vector<LoggedCall> recorded;
        for (const LoggedCall& call : ReadLogFile(recordingPath))
            if (call.call == "WriteReport")
                recorded.push_back(call);
        const std::string recording = ReadTextFile(recordingPath);
        ASSERT_FALSE(recording.empty()) << recordingPath;
        ASSERT_TRUE(StartProgram(recording, program, remote));
        const HWND window = FindProgramWindow(program, kMainWindowClass, kStartTimeoutMs);
        ASSERT_NE(window, nullptr);
        ASSERT_TRUE(WaitForCross(window, crossX, crossY, Scaled(8000))) << "the cross did not show";
        if (picture)
            *picture = ClientPicture(window);
        PostKey(window, VK_ESCAPE);
        ASSERT_EQ(WaitForExit(program, kExitTimeoutMs), 0);
        const std::vector<LoggedCall> replayed = CallsOf(ReadLog(program), program, "WriteReport");
        ASSERT_EQ(replayed.size(), recorded.size());
        for (size_t i = 0; i < recorded.size(); ++i)
            EXPECT_EQ(replayed[i].bytes, recorded[i].bytes) << "report " << i;
    }

    void PostKey(HWND window, WPARAM key) {
        PostMessageA(window, WM_KEYDOWN, key, 1);
        PostMessageA(window, WM_KEYUP, key, 0xC0000001);
    }

    Program program;
    Program other;
    int liveRemote = 1; // the virtual remote that the run is to use
};

TEST_P(ProgramTest, NoRemoteShowsNotFoundAndExitsWithOne) {
    ASSERT_TRUE(StartProgram(Scenario("absent"), program, GetParam()));
    const HWND box = FindProgramWindow(program, "#32770", kStartTimeoutMs);
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(MessageBoxText(box), "Wii-Remote not found.");
    EXPECT_EQ(FindProgramWindow(program, kMainWindowClass), nullptr);
    PressOk(box);
    EXPECT_EQ(WaitForExit(program, kExitTimeoutMs), 1);

    // Both models looked for, the original first.
    EXPECT_EQ(OpensAskedFor(), (std::vector<std::string>{"0306 -1", "0330 -1"}));
    const std::vector<LoggedCall> log = ReadLog(program);
    for (const LoggedCall& call : log)
        EXPECT_TRUE(call.call == "OpenHidHandle" || call.call == "Device") << call.call;
}

TEST_P(ProgramTest, SilentRemoteShowsCannotOpenAndClosesTheLinkDespiteTheStuckProbe) {
    ASSERT_TRUE(StartProgram(Scenario("silent"), program, GetParam()));
    const HWND box = FindProgramWindow(program, "#32770", kStartTimeoutMs);
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(MessageBoxText(box), "Wii-Remote cannot open.");
    PressOk(box);
    // The probe thread still waits in its read: it must not hold the program up.
    EXPECT_EQ(WaitForExit(program, kExitTimeoutMs), 1);

    const std::vector<LoggedCall> log = ReadLog(program);
    const std::vector<LoggedCall> writes = CallsOf(log, program, "WriteReport");
    ASSERT_EQ(writes.size(), 1u) << "the mode request is the first and the last report";
    EXPECT_EQ(writes[0].bytes, ExpectedRunReport(0));
    const std::vector<LoggedCall> closes = CallsOf(log, program, "CloseHidHandle");
    ASSERT_EQ(closes.size(), 1u);
    EXPECT_EQ(closes[0].result, 1);
}

TEST_P(ProgramTest, NormalRunSetsUpTheSensorShowsTheCrossesAndEndsOnEsc) {
    const HWND window = StartLive(Scenario("four-objects"));
    ASSERT_NE(window, nullptr);

    char text[64] = "";
    GetWindowTextA(window, text, sizeof text);
    EXPECT_STREQ(text, "Wii Remote IR Sensor Test");
    RECT outer;
    GetWindowRect(window, &outer);
    EXPECT_EQ(outer.left, 10);
    EXPECT_EQ(outer.top, 10);
    EXPECT_EQ(outer.right - outer.left, 520);
    EXPECT_EQ(outer.bottom - outer.top, 420);
    EXPECT_EQ(GetWindowLongA(window, GWL_STYLE) & WS_OVERLAPPEDWINDOW, WS_OVERLAPPEDWINDOW);
    EXPECT_EQ(PixelAt(window, 250, 50), RGB(255, 255, 255)) << "nothing but crosses is drawn";

    const std::vector<LoggedCall> log = ReadLog(program);
    const std::vector<LoggedCall> writes = CallsOf(log, program, "WriteReport");
    ASSERT_EQ(writes.size(), static_cast<size_t>(kRunReportCount - 1));
    for (int i = 0; i < kRunReportCount - 1; ++i)
        EXPECT_EQ(writes[i].bytes, ExpectedRunReport(i)) << "report " << i;
    EXPECT_GT(writes[1].ms - writes[0].ms, 100.0) << "the probe period";
    EXPECT_GT(writes[kFirstAfterPause].ms - writes[kFirstAfterPause - 1].ms, 200.0);
    EXPECT_GT(writes[kSecondAfterPause].ms - writes[kSecondAfterPause - 1].ms, 200.0);

    // The probe thread reads first; the reader starts more than 500 ms after the set-up, and
    // the two never read at the same time.
    const std::vector<LoggedCall> reads = CallsOf(log, program, "ReadReport");
    ASSERT_FALSE(reads.empty());
    const unsigned long probeThread = reads[0].tid;
    const LoggedCall* firstReaderRead = nullptr;
    double lastProbeDone = 0;
    for (const LoggedCall& read : reads) {
        if (read.tid == probeThread)
            lastProbeDone = read.doneMs;
        else if (!firstReaderRead)
            firstReaderRead = &read;
    }
    ASSERT_NE(firstReaderRead, nullptr);
    EXPECT_GT(firstReaderRead->ms - writes.back().ms, 500.0);
    EXPECT_GT(firstReaderRead->ms, lastProbeDone);
    EXPECT_LT(firstReaderRead->ms - program.startMs, Scaled(5000));

    ExpectTheDeviceGot(kRunReportCount - 1);

    PostKey(window, VK_ESCAPE);
    EXPECT_EQ(WaitForExit(program, kExitTimeoutMs), 0);
    ExpectOneTeardown();
}

TEST_P(ProgramTest, CloseBoxEndsTheRunThroughTheTeardown) {
    const HWND window = StartLive(Scenario("four-objects"));
    ASSERT_NE(window, nullptr);
    PostMessageA(window, WM_SYSCOMMAND, SC_CLOSE, 0);
    EXPECT_EQ(WaitForExit(program, kExitTimeoutMs), 0);
    ExpectOneTeardown();
}

TEST_P(ProgramTest, HomeButtonEndsTheRunThroughTheTeardown) {
    ASSERT_TRUE(StartProgram(Scenario("home-at-1800"), program, GetParam()));
    EXPECT_EQ(WaitForExit(program, kExitTimeoutMs), 0);
    ExpectOneTeardown();
}

// The later model (057E:0330), which most remotes sold since about 2011 are: looked for where no
// original opens, then run exactly as the original is, at the same reports byte for byte.
TEST_P(ProgramTest, TheLaterModelAloneRunsAsTheOriginalAndHomeEndsIt) {
    const std::string later = "model later\n" + Scenario("home-at-1800");
    if (GetParam() == Remote::kSimulated) {
        ASSERT_TRUE(StartProgram(later, program, GetParam()));
    } else {
        liveRemote = 2;
        ASSERT_TRUE(StartProgram(Scenario("absent"), program, GetParam(), {later}));
    }
    EXPECT_EQ(WaitForExit(program, kExitTimeoutMs), 0);
    ExpectOneTeardown();
    const std::vector<std::string> opens = OpensAskedFor();
    ASSERT_EQ(opens.size(), 2u);
    EXPECT_EQ(opens[0], "0306 -1");
    EXPECT_EQ(opens[1].substr(0, 5), "0330 ");
}

TEST_P(ProgramTest, HomeWithAnotherButtonAndKeysOtherThanEscDoNothing) {
    const HWND window = StartLive(Scenario("home-with-other-buttons"));
    ASSERT_NE(window, nullptr);
    for (WPARAM key : {WPARAM('A'), WPARAM(VK_SPACE), WPARAM(VK_RETURN), WPARAM(VK_F1),
                       WPARAM(VK_DOWN), WPARAM(VK_BACK)})
        PostKey(window, key);
    while (NowMs() - program.startMs < 2600)
        Sleep(50);
    EXPECT_EQ(WaitForExit(program, 0), -1) << "the program ended";
    EXPECT_TRUE(CrossAt(window, kCrosses[0][0], kCrosses[0][1]));
    EXPECT_EQ(CallsOf(ReadLog(program), program, "WriteReport").size(),
              static_cast<size_t>(kRunReportCount - 1));

    PostKey(window, VK_ESCAPE);
    EXPECT_EQ(WaitForExit(program, kExitTimeoutMs), 0);
    ExpectOneTeardown();
}

TEST_P(ProgramTest, SecondInstanceEndsAtOnceAndSendsNothing) {
    const HWND window = StartLive(Scenario("four-objects"));
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(StartAnotherInstance(program, other));
    EXPECT_EQ(WaitForExit(other, kExitTimeoutMs), 0);
    EXPECT_EQ(FindProgramWindow(other, "#32770"), nullptr);
    EXPECT_TRUE(CallsOf(ReadLog(program), other, "OpenHidHandle").empty());

    PostKey(window, VK_ESCAPE);
    EXPECT_EQ(WaitForExit(program, kExitTimeoutMs), 0);
}

TEST_P(ProgramTest, GuardThatCannotBeCreatedEndsWithOneAndShowsNothing) {
    // An object of another kind under the guard's name: the mutex cannot be created.
    const HANDLE squatter = CreateEventA(nullptr, TRUE, FALSE, "wii-test-001");
    ASSERT_NE(squatter, nullptr);
    ASSERT_TRUE(StartProgram(Scenario("four-objects"), program, GetParam()));
    const int exitCode = WaitForExit(program, kExitTimeoutMs);
    CloseHandle(squatter);
    EXPECT_EQ(exitCode, 1);
    EXPECT_TRUE(ReadLog(program).empty());
}

TEST_P(ProgramTest, TeardownAskedForTwiceRunsOnce) {
    const HWND window = StartLive(Scenario("four-objects"));
    ASSERT_NE(window, nullptr);
    // On Windows all three reach the window before the quit message, which comes only once the
    // queue is empty; Wine may hand out the quit message sooner. Either way: one teardown.
    PostKey(window, VK_ESCAPE);
    PostKey(window, VK_ESCAPE);
    PostMessageA(window, WM_SYSCOMMAND, SC_CLOSE, 0);
    EXPECT_EQ(WaitForExit(program, kExitTimeoutMs), 0);
    ExpectOneTeardown();
}

TEST_P(ProgramTest, EscAndHomeTogetherTearDownOnce) {
    const HWND window = StartLive(Scenario("home-at-2900"));
    ASSERT_NE(window, nullptr);
    WaitUntilAfterOpen(2895);
    PostKey(window, VK_ESCAPE);
    EXPECT_EQ(WaitForExit(program, kExitTimeoutMs), 0);
    ExpectOneTeardown();
}

TEST_P(ProgramTest, GrowingTheWindowShowsTheCrossOfAnUnseenObject) {
    // Object 3 is not seen: its cross sits at (511, 511), below the client area at first.
    const HWND window = StartLive(Scenario("object-three-unseen"), 3);
    ASSERT_NE(window, nullptr);
    RECT client;
    GetClientRect(window, &client);
    EXPECT_LT(client.bottom, 511 - 4);
    SetWindowPos(window, nullptr, 0, 0, 700, 700, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    EXPECT_TRUE(WaitForCross(window, 511, 511, Scaled(5000)));
    // The view repaints 100 times a second, background first: a single look may fall between.
    EXPECT_TRUE(WaitForCross(window, kCrosses[0][0], kCrosses[0][1], 1000));
    PostKey(window, VK_ESCAPE);
    EXPECT_EQ(WaitForExit(program, kExitTimeoutMs), 0);
}

TEST_P(ProgramTest, WithObjectsZeroAndOneUnseenTheWindowKeepsItsMarkers) {
    const HWND window = StartLive(Scenario("objects-zero-and-one-leave"));
    ASSERT_NE(window, nullptr);
    const double openMs = WaitUntilAfterOpen(3300);
    // Reports with the new positions have been read, and no repaint asked for.
    const std::vector<LoggedCall> reads = CallsOf(ReadLog(program), program, "ReadReport");
    ASSERT_GT(reads.back().ms, openMs + 3000);
    for (const auto& cross : kCrosses)
        EXPECT_TRUE(CrossAt(window, cross[0], cross[1])) << cross[0] << "," << cross[1];
    EXPECT_FALSE(CrossAt(window, 50, 50));
    PostKey(window, VK_ESCAPE);
    EXPECT_EQ(WaitForExit(program, kExitTimeoutMs), 0);
}

TEST_P(ProgramTest, GarbageReportsAndFailingReadsNeitherCrashNorStallIt) {
    const HWND window = StartLive(Scenario("garbage-then-failing-reads"));
    ASSERT_NE(window, nullptr);
    EXPECT_TRUE(Answers(window));
    EXPECT_TRUE(WaitForCross(window, 50, 50, Scaled(5000))) << "the view did not come back";
    EXPECT_TRUE(Answers(window));
    PostKey(window, VK_ESCAPE);
    EXPECT_EQ(WaitForExit(program, kExitTimeoutMs), 0);
    ExpectOneTeardown();
}

TEST_P(ProgramTest, ProbeThreadStuckInARead_IsEndedAndTheReaderReadsAlone) {
    // The probe's first read gets a report; its second starts while the remote is silent and
    // never returns. The probe still passes; the reader must not read beside the stuck thread.
    const HWND window = StartLive(Scenario("silent-during-the-probe"));
    ASSERT_NE(window, nullptr);
    const std::vector<LoggedCall> reads = CallsOf(ReadLog(program), program, "ReadReport");
    ASSERT_GE(reads.size(), 2u);
    EXPECT_NE(reads.front().tid, reads.back().tid);
    PostKey(window, VK_ESCAPE);
    EXPECT_EQ(WaitForExit(program, kExitTimeoutMs), 0);
    ExpectOneTeardown();
}

TEST_P(ProgramTest, RemoteSwitchedOffMidStreamLeavesTheWindowIdleAndEscEndsIt) {
    const HWND window = StartLive(Scenario("switched-off-mid-stream"));
    ASSERT_NE(window, nullptr);
    WaitUntilAfterOpen(2700);
    // No spin: the reader waits for the close rather than retry a link that has gone.
    const double cpuBefore = ProgramCpuMs(program);
    Sleep(1000);
    EXPECT_LT(ProgramCpuMs(program) - cpuBefore, 100.0) << "ms of CPU in one second";
    EXPECT_TRUE(Answers(window));
    EXPECT_TRUE(CrossAt(window, kCrosses[0][0], kCrosses[0][1]));

    const double escMs = NowMs();
    PostKey(window, VK_ESCAPE);
    EXPECT_EQ(WaitForExit(program, kExitTimeoutMs), 0);
    // The teardown's write fails at once or within the library's bound of 1 s.
    EXPECT_LT(NowMs() - escMs, Scaled(3000));
    ExpectOneTeardown(false);
}

// Cases of the HID stack alone: the library's write ways, and a recording replayed.
class HidStackTest : public ProgramTest {};

TEST_P(HidStackTest, WhereWriteFileIsRefusedEveryReportGoesAsAnOutputReport) {
    const HWND window = StartLive(Scenario("refuse-write"));
    ASSERT_NE(window, nullptr);
    PostKey(window, VK_ESCAPE);
    EXPECT_EQ(WaitForExit(program, kExitTimeoutMs), 0);
    ExpectTheDeviceGot(kRunReportCount, "set");
    // The first report tried the exact write first, which the device refused; the library then
    // kept to the output-report request, and the capture says why.
    const std::vector<LoggedCall> writes = DeviceCalls(ReadDeviceLog(program), "WriteReport");
    ASSERT_EQ(writes.size(), static_cast<size_t>(kRunReportCount + 1));
    EXPECT_EQ(writes[0].result, 0);
    EXPECT_EQ(writes[0].way, "write");
    EXPECT_EQ(writes[0].bytes, "12 00 31");
    const std::vector<LoggedCall> log = ReadLog(program);
    const std::vector<LoggedCall> failures = CallsOf(log, program, "Failed");
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_EQ(failures[0].way, "exact");
    EXPECT_EQ(failures[0].error, 50) << "ERROR_NOT_SUPPORTED";
    for (const LoggedCall& write : CallsOf(log, program, "WriteReport"))
        EXPECT_EQ(write.way, "request");
}

TEST_P(HidStackTest, ARecordingThroughTheStackReplaysToTheSamePictureAndReports) {
    // Record: the objects move once the view is live.
    HWND window = StartLive(Scenario("objects-move"));
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(WaitForCross(window, 50, 50, Scaled(5000)));
    const std::vector<uint32_t> recordedPicture = ClientPicture(window);
    PostKey(window, VK_ESCAPE);
    ASSERT_EQ(WaitForExit(program, kExitTimeoutMs), 0);
    const std::string recordingPath = program.logPath;
    EndProgram(program);

    // Replay through each remote: the same picture, the same reports from the program.
    for (const Remote remote : {Remote::kSimulated, Remote::kVirtual}) {
        std::vector<uint32_t> picture;
        ExpectReplay(recordingPath, remote, 50, 50, &picture);
        EXPECT_TRUE(picture == recordedPicture) << "another picture";
        EndProgram(program);
    }
}

// The users' captures kept as regression cases (tests/scenarios/recorded-*.log), each replayed:
// the cross it ends with, from its "# cross <x> <y>" line, and the reports the program sent.
TEST_P(ProgramTest, EveryKeptRecordingReplaysToItsCrossAndItsReports) {
    const std::vector<std::string> recordings = KeptRecordings();
    ASSERT_FALSE(recordings.empty());
    for (const std::string& recording : recordings) {
        SCOPED_TRACE(recording);
        const std::string text = ReadTextFile(recording);
        const size_t at = text.find("# cross ");
        int x = 0;
        int y = 0;
        ASSERT_TRUE(at != std::string::npos &&
                    std::sscanf(text.c_str() + at, "# cross %d %d", &x, &y) == 2)
            << "no \"# cross <x> <y>\" line";
        ExpectReplay(recording, GetParam(), x, y);
        EndProgram(program);
    }
}

// The real library in this process, straight to the virtual remote: reports the remote cannot
// take are refused with a line that says why and an error, and the remote goes on working.
TEST_P(HidStackTest, TheRemoteRefusesBadReportsAndGoesOnWorking) {
    ASSERT_TRUE(UseScenario(Scenario("four-objects"), program, Remote::kVirtual));
    const int handle = OpenHidHandle(kRemoteVendor, kRemoteProduct);
    ASSERT_GT(handle, 0);
    unsigned char report[22] = {0x12, 0x00, 0x29};
    EXPECT_EQ(WriteReport(handle, report, nullptr), 0) << "a mode with no such report";
    const unsigned char longWrite[22] = {0x16, 0x04, 0xB0, 0x00, 0x30, 17};
    std::memcpy(report, longWrite, sizeof report);
    EXPECT_EQ(WriteReport(handle, report, nullptr), 0) << "a memory write of 17 bytes";
    const unsigned char modeRequest[22] = {0x12, 0x00, 0x31};
    std::memcpy(report, modeRequest, sizeof report);
    EXPECT_EQ(WriteReport(handle, report, nullptr), 1);
    // Reports the remote sent before the request may still come first.
    unsigned int count = 0;
    for (int i = 0; i < 5 && report[0] != 0x31; ++i)
        EXPECT_EQ(ReadReport(handle, report, &count), 1);
    EXPECT_EQ(report[0], 0x31);
    CloseHidHandle(handle);

    std::vector<std::string> refusals;
    for (const LoggedCall& line : DeviceCalls(ReadDeviceLog(program), "Refusal"))
        refusals.push_back(line.bytes);
    // Each of the library's ways met the same refusal: three for the mode request, two for the
    // memory write, whose padded length is its exact one.
    ASSERT_EQ(refusals.size(), 5u);
    EXPECT_EQ(refusals[0], "no report mode 29");
    EXPECT_EQ(refusals[3], "a memory write of 17 bytes (1 to 16)");

    // A scenario the remote cannot read leaves it switched off, and says so.
    ASSERT_TRUE(UseScenario(Scenario("not-a-scenario"), program, Remote::kVirtual));
    const int again = OpenHidHandle(kRemoteVendor, kRemoteProduct);
    std::memcpy(report, modeRequest, sizeof report);
    EXPECT_EQ(WriteReport(again, report, nullptr), 0);
    CloseHidHandle(again);
    const std::vector<LoggedCall> log = ReadDeviceLog(program);
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log[0].call, "Scenario");
    EXPECT_NE(log[0].bytes.find("line 2: unknown command 'jump'"), std::string::npos);
}

// A hid.dll left beside the program (a Downloads folder may hold anything) is never loaded: the
// library takes hid.dll from the system folder, and the run goes as any other.
TEST_P(HidStackTest, AHidDllBesideTheProgramIsNeverLoaded) {
    ASSERT_TRUE(CopyProgramWith(program, PlantedHidDll()));
    const HWND window = StartLive(Scenario("four-objects"));
    ASSERT_NE(window, nullptr);
    PostKey(window, VK_ESCAPE);
    EXPECT_EQ(WaitForExit(program, kExitTimeoutMs), 0);
    ExpectOneTeardown();
    const std::string mark = program.folder + "\\" + kPlantedDllMark;
    EXPECT_EQ(GetFileAttributesA(mark.c_str()), INVALID_FILE_ATTRIBUTES) << "it was loaded";
}

// Real report descriptors (tests/descriptors: the remote's, a keyboard's and a game pad's, which
// mix Variable and Array items, one of several report IDs), each declared by a second remote: the
// library reads each output report's length as a correct parser gives it (the file's "lengths"
// line), and its capture's device line names them.
TEST_P(HidStackTest, EachKeptDescriptorGivesTheOutputLengthsAParserGives) {
    const std::vector<std::string> files = DescriptorFiles();
    ASSERT_GE(files.size(), 4u);
    ASSERT_TRUE(UseScenario(Scenario("silent"), program, Remote::kVirtual));
    for (const std::string& file : files) {
        SCOPED_TRACE(file);
        const std::string text = ReadTextFile(file);
        const size_t at = text.find("\nlengths ");
        ASSERT_NE(at, std::string::npos) << "no lengths line";
        const std::string expected =
            text.substr(at + 9, text.find_first_of("\r\n", at + 9) - at - 9);
        ASSERT_TRUE(DeclareDescriptor(file));
        ASSERT_TRUE(AddVirtualRemotes(program, {Scenario("silent")}));
        // The library keeps to the capture of its first open in a process: this open's lines are
        // the ones after those of the opens before it.
        const size_t before = ReadLog(program).size();
        CloseHidHandle(OpenHidHandle(kRemoteVendor, kRemoteProduct));
        std::string read = "(no line)";
        std::string lines;
        const std::vector<LoggedCall> log = ReadLog(program);
        for (size_t i = before; i < log.size(); ++i) {
            if (log[i].call != "Device")
                continue;
            std::string path = log[i].bytes;
            std::transform(path.begin(), path.end(), path.begin(),
                           [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
            const std::string lengths =
                log[i].values.count("lengths") ? log[i].values.at("lengths") : "";
            lines += path + " " + lengths + "\n";
            if (path.find("#virtremote#0002#") != std::string::npos)
                read = lengths;
        }
        EXPECT_EQ(read, expected) << lines;
        EndProgram(program);
    }
    EXPECT_TRUE(DeclareDescriptor(""));
}

// Several devices with the remote's identifiers: the run takes the one that answers. An empty
// slot takes writes and never reports; a remote that is switched off refuses writes.
class SeveralRemotesTest : public ProgramTest {
  protected:
    // Every device but the live one got at most the probe's mode request and the request for
    // button-only reports that lets it go, in that order.
    void ExpectTheOthersGotAtMostTheProbe(int remotes) {
        for (int remote = 1; remote <= remotes; ++remote) {
            if (remote == liveRemote)
                continue;
            const std::vector<LoggedCall> taken = TakenBy(remote);
            ASSERT_LE(taken.size(), 2u) << "remote " << remote;
            if (!taken.empty()) {
                EXPECT_EQ(taken[0].bytes, "12 00 31") << "remote " << remote;
            }
            if (taken.size() == 2) {
                EXPECT_EQ(taken[1].bytes, "12 00 30") << "remote " << remote;
            }
        }
    }
};

TEST_P(SeveralRemotesTest, EmptySlotsAndASwitchedOffRemoteBeforeTheLiveOneAreLetGo) {
    liveRemote = 4;
    const HWND window = StartLive(Scenario("silent"), 4,
                                  {Scenario("silent"), Scenario("off"), Scenario("four-objects")});
    ASSERT_NE(window, nullptr);
    PostKey(window, VK_ESCAPE);
    EXPECT_EQ(WaitForExit(program, kExitTimeoutMs), 0);
    ExpectOneTeardown();
    ExpectTheOthersGotAtMostTheProbe(4);
    // The capture names every device looked at, and the candidates' fate.
    const std::vector<LoggedCall> log = ReadLog(program);
    int candidates = 0;
    for (const LoggedCall& device : CallsOf(log, program, "Device"))
        candidates += device.result;
    EXPECT_EQ(candidates, 4);
    const std::vector<LoggedCall> fates = CallsOf(log, program, "Candidate");
    EXPECT_EQ(fates.size(), 4u) << "one answered, three let go or left";
}

// Some adapters fail a write to a slot with no remote (31, ERROR_GEN_FAILURE) rather than take
// it: such a slot before the live remote stays in the race until the live one answers, and the
// capture names its refusals.
TEST_P(SeveralRemotesTest, AnEmptySlotThatFailsEveryWriteIsPassedByForTheLiveOne) {
    liveRemote = 2;
    const HWND window =
        StartLive(Scenario("empty-slot-that-refuses"), 4, {Scenario("four-objects")});
    ASSERT_NE(window, nullptr);
    PostKey(window, VK_ESCAPE);
    EXPECT_EQ(WaitForExit(program, kExitTimeoutMs), 0);
    ExpectOneTeardown();
    EXPECT_TRUE(TakenBy(1).empty());
    int refusals = 0;
    for (const LoggedCall& failure : CallsOf(ReadLog(program), program, "Failed"))
        refusals += failure.error == ERROR_GEN_FAILURE;
    EXPECT_GE(refusals, 1);
}

TEST_P(SeveralRemotesTest, OnlyEmptySlotsCannotOpenAndEachGotTheModeRequestAlone) {
    ASSERT_TRUE(StartProgram(Scenario("silent"), program, GetParam(),
                             {Scenario("silent"), Scenario("silent")}));
    const HWND box = FindProgramWindow(program, "#32770", kStartTimeoutMs);
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(MessageBoxText(box), "Wii-Remote cannot open.");
    PressOk(box);
    EXPECT_EQ(WaitForExit(program, kExitTimeoutMs), 1);
    for (int remote = 1; remote <= 3; ++remote) {
        const std::vector<LoggedCall> taken = TakenBy(remote);
        ASSERT_EQ(taken.size(), 1u) << "remote " << remote;
        EXPECT_EQ(taken[0].bytes, "12 00 31") << "remote " << remote;
    }
}

TEST_P(SeveralRemotesTest, OfTwoLiveRemotesTheFirstToAnswerIsUsedAndTheOtherStopsStreaming) {
    const HWND window = StartLive(Scenario("four-objects"), 4, {Scenario("four-objects")});
    ASSERT_NE(window, nullptr);
    PostKey(window, VK_ESCAPE);
    EXPECT_EQ(WaitForExit(program, kExitTimeoutMs), 0);
    liveRemote = TakenBy(1).size() > TakenBy(2).size() ? 1 : 2;
    ExpectOneTeardown();
    const std::vector<LoggedCall> other = TakenBy(3 - liveRemote);
    ASSERT_EQ(other.size(), 2u);
    EXPECT_EQ(other[1].bytes, "12 00 30");
}

// Households pair several remotes of both models: the later model is looked for only where no
// original answers, and an original that answers runs without it.
TEST_P(SeveralRemotesTest, TheLaterModelIsLookedForOnlyWhereNoOriginalAnswers) {
    const std::string later = "model later\n" + Scenario("four-objects");
    struct LineUp {
        const char* what;
        std::string first;
        std::vector<std::string> more;
        int live;
        bool laterAskedFor;
    };
    const LineUp lineUps[] = {
        {"an empty slot and a switched-off original before a later-model remote",
         Scenario("silent"),
         {Scenario("off"), later},
         3,
         true},
        {"an original and a later-model remote, both live",
         Scenario("four-objects"),
         {later},
         1,
         false},
    };
    for (const LineUp& lineUp : lineUps) {
        SCOPED_TRACE(lineUp.what);
        liveRemote = lineUp.live;
        const HWND window = StartLive(lineUp.first, 4, lineUp.more);
        ASSERT_NE(window, nullptr);
        PostKey(window, VK_ESCAPE);
        EXPECT_EQ(WaitForExit(program, kExitTimeoutMs), 0);
        ExpectOneTeardown();
        const int remotes = 1 + static_cast<int>(lineUp.more.size());
        ExpectTheOthersGotAtMostTheProbe(remotes);
        const std::vector<std::string> opens = OpensAskedFor();
        ASSERT_EQ(opens.size(), lineUp.laterAskedFor ? 2u : 1u);
        if (!lineUp.laterAskedFor) {
            EXPECT_TRUE(TakenBy(remotes).empty()) << "the later model got nothing";
        }
        EndProgram(program);
    }
}

std::string RemoteName(const testing::TestParamInfo<Remote>& info) {
    return info.param == Remote::kSimulated ? "dll" : "stack";
}

INSTANTIATE_TEST_SUITE_P(SimulatedRemote, ProgramTest, testing::Values(Remote::kSimulated),
                         RemoteName);
INSTANTIATE_TEST_SUITE_P(VirtualRemote, ProgramTest, testing::Values(Remote::kVirtual), RemoteName);
INSTANTIATE_TEST_SUITE_P(VirtualRemote, HidStackTest, testing::Values(Remote::kVirtual),
                         RemoteName);
INSTANTIATE_TEST_SUITE_P(VirtualRemote, SeveralRemotesTest, testing::Values(Remote::kVirtual),
                         RemoteName);

} // namespace
