// Decoding of the remote's input reports 0x30 to 0x3F into RemoteState.
#include "device/input_reports.h"

LatestSample RemoteState;
unsigned char inputReport[kReportBufferSize];
unsigned int inputCount;

static void DecodeIrObjects() {
    for (int i = 0; i < kIrObjectCount; ++i) {
        const int a = inputReport[6 + 3 * i];
        const int b = inputReport[7 + 3 * i];
        const int c = inputReport[8 + 3 * i];
        // Each value is composed in full before its one store.
        RemoteState.irX[i].store(a + ((c & 0x30) << 4), std::memory_order_relaxed);
        RemoteState.irY[i].store(b + ((c & 0xC0) << 2), std::memory_order_relaxed);
    }
}

void ReadAndParse() {
    if (!linkClosed)
        ReadReport(hidHandle, inputReport, &inputCount);

    const int id = inputReport[0];
    if ((id & 0xF0) != 0x30)
        return;
    RemoteState.buttons1.store(inputReport[1], std::memory_order_relaxed);
    RemoteState.buttons2.store(inputReport[2], std::memory_order_relaxed);
    if (id & 0x01) {
        RemoteState.accelX.store(inputReport[3], std::memory_order_relaxed);
        RemoteState.accelY.store(inputReport[4], std::memory_order_relaxed);
        RemoteState.accelZ.store(inputReport[5], std::memory_order_relaxed);
    }
    if (id & 0x02)
        DecodeIrObjects();
}
