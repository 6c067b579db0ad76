// The IR sensor set-up script.
#include "device/ir_setup.h"

#include "control/wait.h"
#include "device/output_reports.h"

// Report mode with IR, the two enable reports, and the sensor's enable register written twice.
static void SendIrEnableBlock() {
    SetReportMode(0x00, kReportButtonsAccelIr);
    SetIrEnable(0x04);
    SetIrEnable2(0x04);
    WriteRegister(0x01, 0x04, 0xB0, 0x00, 0x30);
    WriteRegister(0x08, 0x04, 0xB0, 0x00, 0x30);
}

void InitIrSensor() {
    // The enable block goes out three times, with a pause after each of the first two, giving the
    // sensor time to take it.
    constexpr int kEnablePauseMs = 200;
    SetLeds(0x10);
    SendIrEnableBlock();
    WaitMs(kEnablePauseMs);
    SendIrEnableBlock();
    WaitMs(kEnablePauseMs);
    SendIrEnableBlock();
    // Four more of the sensor's registers.
    WriteRegister(0x90, 0x04, 0xB0, 0x00, 0x06);
    WriteRegister(0xC0, 0x04, 0xB0, 0x00, 0x08);
    WriteRegister(0x40, 0x04, 0xB0, 0x00, 0x1A);
    WriteRegister(0x33, 0x04, 0xB0, 0x00, 0x33);
}
