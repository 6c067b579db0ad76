// Input reports of the simulated remotes. Kept free of the C library's maths so that the virtual
// remote's driver builds them the same way in kernel mode.
#include "kernel_safe_model/remote_reports.h"

#include <cstring>

namespace {

constexpr double kPi = 3.141592653589793;

// sin(x) to about 1e-7, by a polynomial on [-pi/2, pi/2].
double Sine(double x) {
    const long turns = static_cast<long>(x / (2 * kPi));
    x -= turns * 2 * kPi;
    if (x > kPi)
        x -= 2 * kPi;
    if (x < -kPi)
        x += 2 * kPi;
    if (x > kPi / 2)
        x = kPi - x;
    if (x < -kPi / 2)
        x = -kPi - x;
    const double x2 = x * x;
    return x * (1 - x2 / 6 * (1 - x2 / 20 * (1 - x2 / 42 * (1 - x2 / 72 * (1 - x2 / 110)))));
}

// The demo's lights: each its own slow figure across the sensor's range; object 3 leaves the
// view now and then.
void DemoPosition(int object, double seconds, int& x, int& y) {
    const double fx = 0.11 + 0.05 * object;
    const double fy = 0.07 + 0.04 * object;
    x = static_cast<int>(512 + 420 * Sine(2 * kPi * fx * seconds + object));
    y = static_cast<int>(384 + 300 * Sine(2 * kPi * fy * seconds + 2 * object));
    if (object == 3 && Sine(2 * kPi * 0.05 * seconds) > 0.7)
        x = y = 1023;
}

void BuildGarbage(unsigned number, uint8_t* report) {
    constexpr uint8_t kForeignIds[] = {0x20, 0x21, 0x22, 0x40, 0xFF, 0x00};
    report[0] = kForeignIds[number % sizeof kForeignIds];
    unsigned noise = number * 2654435761u;
    for (int i = 1; i < kRemoteReportLength; ++i) {
        noise = noise * 1103515245u + 12345u;
        report[i] = static_cast<uint8_t>(noise >> 16);
    }
}

} // namespace

int ReportKind(const Conditions& conditions, const RemoteSettings& settings) {
    if (conditions.report)
        return conditions.report[0];
    return conditions.kind >= 0 ? conditions.kind : settings.requestedKind;
}

void BuildReport(const Conditions& conditions, const RemoteSettings& settings, unsigned number,
                 double secondsOpen, uint8_t* report) {
    std::memset(report, 0, kRemoteReportLength);
    if (conditions.flow == Flow::kGarbage)
        return BuildGarbage(number, report);
    if (conditions.report) {
        std::memcpy(report, conditions.report, kRemoteReportLength);
        return;
    }
    const int id = ReportKind(conditions, settings);
    report[0] = static_cast<uint8_t>(id);
    report[1] = conditions.buttons1;
    report[2] = conditions.buttons2;
    if (id & 0x01) {
        if (conditions.accelFixed) {
            std::memcpy(report + 3, conditions.accel, 3);
        } else {
            report[3] = static_cast<uint8_t>(0x7E + number % 5); // never zero
            report[4] = 0x80;
            report[5] = 0x9A;
        }
    }
    if (id & 0x02) {
        for (int object = 0; object < 4; ++object) {
            int x = conditions.irX[object];
            int y = conditions.irY[object];
            if (conditions.demo)
                DemoPosition(object, secondsOpen, x, y);
            if (!settings.irEnabled)
                x = y = 1023;
            EncodeIrObject(x, y, report + 6 + 3 * object);
        }
    }
}

void EncodeIrObject(int x, int y, uint8_t* bytes) {
    if (x >= 1023) {
        bytes[0] = bytes[1] = bytes[2] = 0xFF;
        return;
    }
    bytes[0] = static_cast<uint8_t>(x & 0xFF);
    bytes[1] = static_cast<uint8_t>(y & 0xFF);
    // High bits of X in bits 5-4, of Y in bits 7-6; a small object size in bits 3-0.
    bytes[2] = static_cast<uint8_t>(((x >> 8) & 3) << 4 | ((y >> 8) & 3) << 6 | 0x02);
}
