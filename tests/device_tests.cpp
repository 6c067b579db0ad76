// The device layer against the test double: the set-up script byte for byte as the remote
// receives it, the decoding of input reports, and the busy wait.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "control/wait.h"
#include "device/input_reports.h"
#include "device/ir_setup.h"
#include "device/output_reports.h"
#include "tests/expected_reports.h"
#include "tests/fake_hid.h"
#include "tests/hex.h"

namespace {

class DeviceTest : public testing::Test {
  protected:
    void SetUp() override {
        ResetFakeHid();
        std::memset(outputReport, 0, sizeof outputReport);
        std::memset(inputReport, 0, sizeof inputReport);
        linkClosed = false;
        hidHandle = 7;
    }
};

TEST_F(DeviceTest, SetUpScriptReachesTheRemoteByteForByteWithItsTwoPauses) {
    // As in a run: the probe's mode request first, the set-up, then the teardown's mode request.
    SetReportMode(0x00, 0x31);
    InitIrSensor();
    SetReportMode(0x00, 0x30);

    ASSERT_EQ(fakeHid.writeCount, kRunReportCount);
    for (int i = 0; i < kRunReportCount; ++i) {
        EXPECT_EQ(Hex(fakeHid.writes[i].bytes, 22), ExpectedRunReport(i)) << "report " << i;
        const unsigned char zeros[256 - 22] = {};
        EXPECT_EQ(std::memcmp(fakeHid.writes[i].bytes + 22, zeros, sizeof zeros), 0)
            << "report " << i << " has bytes past 22";
    }

    // The pauses fall after the 6th and the 11th report of the script (writes 6 and 11 here,
    // after the mode request); everything else goes out back to back.
    for (int i = 1; i < kRunReportCount; ++i) {
        const double gap = fakeHid.writes[i].atMs - fakeHid.writes[i - 1].atMs;
        if (i == kFirstAfterPause || i == kSecondAfterPause)
            EXPECT_GT(gap, 200.0) << "pause before write " << i;
        else
            EXPECT_LT(gap, 150.0) << "no pause expected before write " << i;
    }
}

TEST_F(DeviceTest, DecodesReportsByTheBitsOfTheirId) {
    // Nothing decoded yet: every field is zero, so all objects sit at (0, 0).
    for (int i = 0; i < kIrObjectCount; ++i) {
        EXPECT_EQ(RemoteState.irX[i], 0);
        EXPECT_EQ(RemoteState.irY[i], 0);
    }

    const unsigned char full[22] = {0x33, 0x01, 0x02, 0x80, 0x81, 0x82, 0x10, 0x20, 0x5A,
                                    0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x30, 0x34, 0x56, 0xF3};
    const unsigned char accel[22] = {0x31, 0x11, 0x12, 0x90, 0x91, 0x92,
                                     0x44, 0x44, 0x44, 0x44, 0x44, 0x44};
    const unsigned char buttons[22] = {0x30, 0x21, 0x80, 0x55, 0x55, 0x55, 0x55};
    const unsigned char foreign1[22] = {0x20, 0x99, 0x99, 0x99, 0x99, 0x99, 0x99};
    const unsigned char foreign2[22] = {0x40, 0x99, 0x99, 0x99, 0x99, 0x99, 0x99};
    for (const unsigned char* report : {full, accel, buttons, foreign1, foreign2})
        QueueFakeRead(report, 22);

    ReadAndParse();
    EXPECT_EQ(RemoteState.buttons1, 0x01);
    EXPECT_EQ(RemoteState.buttons2, 0x02);
    EXPECT_EQ(RemoteState.accelX, 0x80);
    EXPECT_EQ(RemoteState.accelY, 0x81);
    EXPECT_EQ(RemoteState.accelZ, 0x82);
    EXPECT_EQ(RemoteState.irX[0], 272); // 10 20 5A
    EXPECT_EQ(RemoteState.irY[0], 288);
    EXPECT_EQ(RemoteState.irX[1], 1023); // FF FF FF: not seen
    EXPECT_EQ(RemoteState.irY[1], 1023);
    EXPECT_EQ(RemoteState.irX[2], 0x300); // only the high bits of X
    EXPECT_EQ(RemoteState.irY[2], 0);
    EXPECT_EQ(RemoteState.irX[3], 0x334); // size bits 3..0 are not part of the position
    EXPECT_EQ(RemoteState.irY[3], 0x356);

    ReadAndParse(); // 0x31: buttons and acceleration, IR untouched
    EXPECT_EQ(RemoteState.buttons1, 0x11);
    EXPECT_EQ(RemoteState.buttons2, 0x12);
    EXPECT_EQ(RemoteState.accelX, 0x90);
    EXPECT_EQ(RemoteState.accelZ, 0x92);
    EXPECT_EQ(RemoteState.irX[0], 272);
    EXPECT_EQ(RemoteState.irY[3], 0x356);

    ReadAndParse(); // 0x30: buttons only
    EXPECT_EQ(RemoteState.buttons1, 0x21);
    EXPECT_EQ(RemoteState.buttons2, 0x80);
    EXPECT_EQ(RemoteState.accelX, 0x90);
    EXPECT_EQ(RemoteState.irX[0], 272);

    ReadAndParse(); // 0x20 and 0x40 lie outside 0x30..0x3F: nothing changes
    ReadAndParse();
    EXPECT_EQ(RemoteState.buttons1, 0x21);
    EXPECT_EQ(RemoteState.buttons2, 0x80);
    EXPECT_EQ(RemoteState.accelY, 0x91);
    EXPECT_EQ(RemoteState.irX[1], 1023);
}

TEST_F(DeviceTest, FailedReadDecodesTheOldBufferAgainAndClosedLinkIsNotRead) {
    const unsigned char buttons[22] = {0x30, 0x00, 0x80};
    QueueFakeRead(buttons, 22);
    ReadAndParse();
    RemoteState.buttons2 = 0;

    ReadAndParse(); // the script has run out: the read fails and leaves the buffer alone
    EXPECT_EQ(fakeHid.readCalls, 2);
    EXPECT_EQ(RemoteState.buttons2, 0x80);

    linkClosed = true;
    ReadAndParse();
    EXPECT_EQ(fakeHid.readCalls, 2);
}

TEST(WaitMsTest, NeverReturnsAtOrBeforeTheRequestedTime) {
    for (int ms : {0, 1, 20, 100}) {
        const double start = NowMs();
        WaitMs(ms);
        const double elapsed = NowMs() - start;
        EXPECT_GT(elapsed, ms) << ms;
        EXPECT_LT(elapsed, ms + 100.0) << ms;
    }
    const double start = NowMs();
    WaitMs(-5);
    EXPECT_LT(NowMs() - start, 50.0);
}

} // namespace
