// The simulated remote: its behaviour as the program's device layer sees it through the four HID
// operations, which are the shipped library's over the simulated stack.
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "device/input_reports.h"
#include "device/output_reports.h"
#include "kernel_safe_model/scenario.h"
#include "program_driver/clock.h"

namespace {

std::string TempPath(const char* name) {
    char folder[MAX_PATH];
    GetTempPathA(sizeof folder, folder);
    return std::string(folder) + "simremote-test-" + std::to_string(GetCurrentProcessId()) + "-" +
           name;
}

std::string WriteTempFile(const char* name, const char* text) {
    const std::string path = TempPath(name);
    FILE* file = std::fopen(path.c_str(), "wb");
    std::fputs(text, file);
    std::fclose(file);
    return path;
}

std::string ReadFileText(const std::string& path) {
    std::string text;
    if (FILE* file = std::fopen(path.c_str(), "rb")) {
        char buffer[4096];
        for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;)
            text.append(buffer, n);
        std::fclose(file);
    }
    return text;
}

class SimulatedRemoteTest : public testing::Test {
  protected:
    void Use(const char* scenarioText) {
        scenarioPath = WriteTempFile("scenario.txt", scenarioText);
        logPath = TempPath("log.txt");
        DeleteFileA(logPath.c_str());
        SetEnvironmentVariableA("SIMREMOTE_SCENARIO", scenarioPath.c_str());
        SetEnvironmentVariableA("TINY_HID_CAPTURE", logPath.c_str());
    }
    void TearDown() override {
        CloseHidHandle(hidHandle);
        DeleteFileA(scenarioPath.c_str());
    }
    std::string scenarioPath;
    std::string logPath;
};

TEST_F(SimulatedRemoteTest, SendsTheReportsTheProgramAsksForAtItsRate) {
    Use("ir 100 200 300 400 1023 1023 1 1022\n"
        "250 buttons 00 80\n");
    hidHandle = OpenHidHandle(kRemoteVendor, kRemoteProduct);
    ASSERT_GT(hidHandle, 0);

    ReadAndParse(); // before any request: buttons only
    EXPECT_EQ(inputReport[0], 0x30);
    SetReportMode(0x00, 0x31);
    ReadAndParse();
    EXPECT_EQ(inputReport[0], 0x31);
    EXPECT_NE(RemoteState.accelX, 0);

    SetReportMode(0x00, 0x33);
    const double start = NowMs();
    for (int i = 0; i < 10; ++i)
        ReadAndParse();
    const double elapsed = NowMs() - start;
    EXPECT_GT(elapsed, 70.0) << "faster than 100 reports a second";
    EXPECT_LT(elapsed, 300.0) << "slower than 100 reports a second";
    EXPECT_EQ(inputReport[0], 0x33);
    EXPECT_EQ(RemoteState.irX[0], 100);
    EXPECT_EQ(RemoteState.irY[0], 200);
    EXPECT_EQ(RemoteState.irX[1], 300);
    EXPECT_EQ(RemoteState.irY[1], 400);
    EXPECT_EQ(RemoteState.irX[2], 1023);
    EXPECT_EQ(RemoteState.irY[2], 1023);
    EXPECT_EQ(RemoteState.irX[3], 1);
    EXPECT_EQ(RemoteState.irY[3], 1022);
    EXPECT_EQ(RemoteState.buttons2, 0);

    while (NowMs() - start < 300)
        ReadAndParse();
    EXPECT_EQ(RemoteState.buttons2, 0x80);

    // Every call is in the capture, writes with their 22 bytes and the exact way that carried
    // them (the device declares the remote's reports), and the device's line from its close.
    CloseHidHandle(hidHandle);
    const std::string log = ReadFileText(logPath);
    EXPECT_NE(log.find(" Device 0 -> 1 vendor 057E product 0306 input 22 output 22 lengths "
                       "10:2,11:2,12:3,13:2,14:2,15:2,16:22,17:7,18:22,19:2,1A:2 link 1 : "),
              std::string::npos)
        << log;
    EXPECT_NE(log.find(" OpenHidHandle 057E 0306 -> 1"), std::string::npos) << log;
    EXPECT_NE(log.find(" WriteReport 1 -> 1 via exact : 12 00 33 00 00 00 00 00 00 00 00 00 00 00 "
                       "00 00 00 00 00 00 00 00\n"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find(" ReadReport 1 -> 1 done "), std::string::npos);
    EXPECT_NE(log.find(" Reports 1 -> "), std::string::npos);
    EXPECT_NE(log.find(" CloseHidHandle 1 -> 1\n"), std::string::npos);
    EXPECT_EQ(log.find(" Failed "), std::string::npos) << log;
}

TEST_F(SimulatedRemoteTest, CloseWakesASilentReadAndLaterCallsFail) {
    Use("silent\n");
    const int handle = OpenHidHandle(kRemoteVendor, kRemoteProduct);
    ASSERT_GT(handle, 0);
    std::atomic<int> result{-1};
    unsigned char report[256] = {0xEE};
    unsigned int count = 0;
    std::thread reader([&] { result = ReadReport(handle, report, &count); });
    Sleep(150);
    EXPECT_EQ(result, -1) << "a silent remote answered";
    const double before = NowMs();
    EXPECT_EQ(CloseHidHandle(handle), 1);
    reader.join();
    EXPECT_LT(NowMs() - before, 250.0);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(report[0], 0xEE);
    EXPECT_EQ(ReadReport(handle, report, &count), 0);
    EXPECT_EQ(WriteReport(handle, report, &count), 0);
    EXPECT_EQ(CloseHidHandle(handle), 0);
}

TEST_F(SimulatedRemoteTest, AbsentOrUnreadableScenarioFindsNoRemote) {
    Use("absent\n");
    EXPECT_EQ(OpenHidHandle(kRemoteVendor, kRemoteProduct), -1);
    Use("ir 1 2\n");
    EXPECT_EQ(OpenHidHandle(kRemoteVendor, kRemoteProduct), -1);
    SetEnvironmentVariableA("SIMREMOTE_SCENARIO", "Z:\\no\\such\\scenario.txt");
    EXPECT_EQ(OpenHidHandle(kRemoteVendor, kRemoteProduct), -1);
    Use("\n");
    EXPECT_EQ(OpenHidHandle(kRemoteVendor, kOtherProduct), -1) << "another product id";
}

// A failing remote fails its reads, which the HID stack passes over: no report until it sends
// again, and then at its pace.
TEST_F(SimulatedRemoteTest, GarbageThenFailingReadsGiveNoReportUntilTheRemoteSendsAgain) {
    Use("garbage\n150 fail\n450 send\n");
    hidHandle = OpenHidHandle(kRemoteVendor, kRemoteProduct);
    ASSERT_GT(hidHandle, 0);
    const double openMs = NowMs();
    unsigned char report[256];
    unsigned int count = 0;
    for (int i = 0; i < 5; ++i) {
        ASSERT_EQ(ReadReport(hidHandle, report, &count), 1);
        EXPECT_TRUE(report[0] < 0x30 || report[0] > 0x3F) << int(report[0]);
    }
    while (NowMs() - openMs < 200)
        ASSERT_EQ(ReadReport(hidHandle, report, &count), 1);
    ASSERT_EQ(ReadReport(hidHandle, report, &count), 1);
    EXPECT_GT(NowMs() - openMs, 440.0) << "a report while the remote failed";
    EXPECT_EQ(report[0], 0x30);
    const double sendMs = NowMs();
    for (int i = 0; i < 5; ++i)
        ASSERT_EQ(ReadReport(hidHandle, report, &count), 1);
    EXPECT_GT(NowMs() - sendMs, 30.0) << "the reports held back came all at once";
}

} // namespace
