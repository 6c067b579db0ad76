// The simulated remote: its scenario files, and its behaviour as the program's device layer sees
// it through the four HID operations.
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "device/input_reports.h"
#include "device/output_reports.h"
#include "hid/log_line.h"
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

TEST(ScenarioTest, RejectsBadFilesWithTheLineAndTheReason) {
    const struct {
        const char* text;
        const char* says;
    } cases[] = {
        {"ir 1 2 3\n", "line 1: 'ir' takes 8 values, not 3"},
        {"# fine\njump 3\n", "line 2: unknown command 'jump'"},
        {"ir 1 2 3 4 5 6 7 1024\n", "line 1: '1024' is no value for 'ir'"},
        {"buttons 00 zz\n", "line 1: 'zz' is no value for 'buttons'"},
        {"500 send\n100 silent\n", "line 2: steps must not go back in time"},
        {"rate 0\n", "line 1: the rate must be at least 1"},
        {"300\n", "line 1: a time with no command"},
    };
    for (const auto& bad : cases) {
        Scenario scenario;
        char error[128] = "";
        EXPECT_FALSE(ParseScenario(bad.text, scenario, error, sizeof error)) << bad.text;
        EXPECT_STREQ(error, bad.says);
    }
}

class SimulatedRemoteTest : public testing::Test {
  protected:
    void Use(const char* scenarioText) {
        scenarioPath = WriteTempFile("scenario.txt", scenarioText);
        logPath = TempPath("log.txt");
        DeleteFileA(logPath.c_str());
        SetEnvironmentVariableA("SIMREMOTE_SCENARIO", scenarioPath.c_str());
        SetEnvironmentVariableA("SIMREMOTE_LOG", logPath.c_str());
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

    // Every call is in the log, writes with their 22 bytes.
    CloseHidHandle(hidHandle);
    const std::string log = ReadFileText(logPath);
    EXPECT_NE(log.find(" OpenHidHandle 057E 0306 -> 1"), std::string::npos) << log;
    EXPECT_NE(log.find(" WriteReport 1 -> 1 : 12 00 33 00 00 00 00 00 00 00 00 00 00 00 00 00 00 "
                       "00 00 00 00 00\n"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find(" ReadReport 1 -> 1 done "), std::string::npos);
    EXPECT_NE(log.find(" CloseHidHandle 1 -> 1\n"), std::string::npos);
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

TEST_F(SimulatedRemoteTest, GarbageAndFailingReadsKeepThePace) {
    Use("garbage\n150 fail\n");
    hidHandle = OpenHidHandle(kRemoteVendor, kRemoteProduct);
    ASSERT_GT(hidHandle, 0);
    unsigned char report[256];
    unsigned int count = 0;
    for (int i = 0; i < 5; ++i) {
        ASSERT_EQ(ReadReport(hidHandle, report, &count), 1);
        EXPECT_TRUE(report[0] < 0x30 || report[0] > 0x3F) << int(report[0]);
    }
    while (ReadReport(hidHandle, report, &count) == 1) {
    }
    report[0] = 0xAB;
    const double start = NowMs();
    EXPECT_EQ(ReadReport(hidHandle, report, &count), 0);
    EXPECT_EQ(ReadReport(hidHandle, report, &count), 0);
    EXPECT_GT(NowMs() - start, 10.0) << "failing reads returned at once";
    EXPECT_EQ(report[0], 0xAB);
}

} // namespace
