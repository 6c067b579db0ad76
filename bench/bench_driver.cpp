// The benchmark's driver on the Windows side: runs the program beside the simulated remote and
// prints what it measured as "name value" lines for scripts/bench.sh to gather.
//     bench_driver startup    process start and open to the reader's first read, and the floor
//     bench_driver latency [stack]   report-to-pixel latency of object 0 over 200+ moves; with
//                             "stack" through the real library and the virtual remote, from the
//                             device's hand-over of each report
//     bench_driver rate <n>   n reports a second: reports dropped, and the window's answer time
//     bench_driver memory     private bytes and working set while streaming
//     bench_driver soak <s> <n>   s seconds at n reports a second, four objects moving: the
//                                 program's resources every 10 s, reports delivered and dropped
//     bench_driver race <road> <runs>   teardowns asked for twice at once (esc-home, home-esc,
//                                 close-home, esc-esc): hangs and runs without exactly one teardown
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "hid/log_line.h"
#include "kernel_safe_model/remote_reports.h"
#include "program_driver/program_driver.h"

namespace {

constexpr DWORD kTimeoutMs = 15000;

double Percentile(std::vector<double> values, double fraction) {
    if (values.empty())
        return -1;
    std::sort(values.begin(), values.end());
    const size_t index = static_cast<size_t>(fraction * (values.size() - 1) + 0.5);
    return values[std::min(index, values.size() - 1)];
}

void Stop(Program& program, HWND window) {
    if (window)
        PostMessageA(window, WM_KEYDOWN, VK_ESCAPE, 1);
    WaitForExit(program, kTimeoutMs);
    EndProgram(program);
}

// Starts the program with this scenario and finds its window; ends it if there is none.
HWND StartWithWindow(const std::string& scenario, Program& program,
                     Remote remote = Remote::kSimulated) {
    if (!StartProgram(scenario, program, remote))
        return nullptr;
    const HWND window = FindProgramWindow(program, kMainWindowClass, kTimeoutMs);
    if (!window)
        Stop(program, nullptr);
    return window;
}

// When the program opened the remote: the time of the log's first line, or 0 if none comes.
double WaitForOpenMs(const Program& program) {
    while (NowMs() < program.startMs + kTimeoutMs) {
        const std::vector<LoggedCall> log = ReadLog(program);
        if (!log.empty())
            return log[0].ms;
        Sleep(5);
    }
    return 0;
}

int Startup() {
    Program program;
    if (!StartProgram(Scenario("four-objects"), program))
        return 1;
    const HWND window = FindProgramWindow(program, kMainWindowClass, kTimeoutMs);
    const double deadline = NowMs() + kTimeoutMs;
    double firstReaderRead = 0;
    double openMs = 0;
    std::vector<LoggedCall> writes;
    while (firstReaderRead == 0 && NowMs() < deadline) {
        Sleep(20);
        const std::vector<LoggedCall> log = ReadLog(program);
        const std::vector<LoggedCall> reads = CallsOf(log, program, "ReadReport");
        writes = CallsOf(log, program, "WriteReport");
        for (const LoggedCall& read : reads)
            if (read.tid != reads[0].tid) {
                firstReaderRead = read.ms;
                break;
            }
        if (!log.empty())
            openMs = log[0].ms;
    }
    Stop(program, window);
    if (firstReaderRead == 0 || writes.size() < 21)
        return 1;
    // The program's own waits: the probe period, the set-up's two pauses, the reader's delay.
    std::printf("start_to_live_ms %.1f\n", firstReaderRead - program.startMs);
    std::printf("open_to_live_ms %.1f\n", firstReaderRead - openMs);
    std::printf("floor_ms %.1f\n", static_cast<double>(kProgramWaitsUntilLiveMs));
    std::printf("process_start_to_open_ms %.1f\n", openMs - program.startMs);
    return 0;
}

// Sensor position of object 0 at move k: spread over the view, far from its last spot.
void MovePosition(int k, int& x, int& y) {
    x = 60 + (k * 337) % 880;
    y = 60 + (k * 211) % 620;
}

// The input reports the virtual remote handed over, their times on this process's clock: the
// device logs the system time, which is read here beside the performance counter.
std::vector<LoggedCall> DeviceReadsOnOurClock(const Program& program) {
    FILETIME system;
    const double counterMs = NowMs();
    GetSystemTimePreciseAsFileTime(&system);
    const double systemMs =
        (static_cast<double>(system.dwHighDateTime) * 4294967296.0 + system.dwLowDateTime) /
        10000.0;
    std::vector<LoggedCall> reads = DeviceCalls(ReadDeviceLog(program), "ReadReport");
    for (LoggedCall& read : reads)
        read.doneMs -= systemMs - counterMs;
    return reads;
}

int Latency(Remote remote) {
    constexpr int kMoves = 220;
    constexpr double kFirstMoveMs = 1500;
    constexpr double kIntervalMs = 80;
    // Object 1 stays in a corner; objects 2 and 3 are out of view.
    std::string scenario = "ir 20 20 1000 740 1023 1023 1023 1023\n";
    for (int k = 0; k < kMoves; ++k) {
        int x = 0;
        int y = 0;
        MovePosition(k, x, y);
        char step[96];
        std::snprintf(step, sizeof step, "%.0f ir %d %d 1000 740 1023 1023 1023 1023\n",
                      kFirstMoveMs + k * kIntervalMs, x, y);
        scenario += step;
    }
    Program program;
    const HWND window = StartWithWindow(scenario, program, remote);
    if (!window)
        return 1;
    const double openMs = WaitForOpenMs(program);

    // Poll the spot of each move until its cross's centre turns black.
    std::vector<double> seenMs(kMoves, 0);
    long polls = 0;
    const double pollStart = NowMs();
    const HDC dc = GetDC(window);
    for (int k = 0; k < kMoves; ++k) {
        int x = 0;
        int y = 0;
        MovePosition(k, x, y);
        const double moveMs = openMs + kFirstMoveMs + k * kIntervalMs;
        while (NowMs() < moveMs - 2)
            Sleep(1);
        while (NowMs() < moveMs + kIntervalMs) {
            ++polls;
            if (GetPixel(dc, x / 2, y / 2) == RGB(0, 0, 0) &&
                GetPixel(dc, x / 2 + 2, y / 2 + 2) == RGB(255, 255, 255)) {
                seenMs[k] = NowMs();
                break;
            }
        }
    }
    const double pollRate = polls / ((NowMs() - pollStart) / 1000.0);
    ReleaseDC(window, dc);

    // The report that carried each move: the first read returning object 0 at its new spot.
    const std::vector<LoggedCall> reads = remote == Remote::kSimulated
                                              ? CallsOf(ReadLog(program), program, "ReadReport")
                                              : DeviceReadsOnOurClock(program);
    Stop(program, window);
    std::vector<double> latencies;
    int missed = 0;
    int notSeen = 0;
    for (int k = 0; k < kMoves; ++k) {
        int x = 0;
        int y = 0;
        MovePosition(k, x, y);
        uint8_t encoded[3];
        EncodeIrObject(x, y, encoded);
        char bytes[kLogReportTextSize];
        FormatLogReport(encoded, 3, bytes);
        double deliveredMs = 0;
        for (const LoggedCall& read : reads)
            if (read.result == 1 && read.bytes.size() >= 26 &&
                read.bytes.compare(18, 8, bytes) == 0) {
                deliveredMs = read.doneMs;
                break;
            }
        notSeen += seenMs[k] == 0;
        if (deliveredMs == 0 || seenMs[k] == 0) {
            ++missed;
            continue;
        }
        latencies.push_back(seenMs[k] - deliveredMs);
    }
    std::printf("latency_moves %zu\n", latencies.size());
    std::printf("latency_missed %d\n", missed);
    std::printf("latency_not_seen %d\n", notSeen);
    std::printf("latency_p50_ms %.2f\n", Percentile(latencies, 0.50));
    std::printf("latency_p99_ms %.2f\n", Percentile(latencies, 0.99));
    std::printf("poll_rate_hz %.0f\n", pollRate);
    return 0;
}

int Rate(int rate) {
    const std::string scenario =
        "log summary\nrate " + std::to_string(rate) + "\n" + Scenario("four-objects");
    Program program;
    const HWND window = StartWithWindow(scenario, program);
    if (!window)
        return 1;
    // The reader starts about a second after the open; measure three seconds after that.
    while (NowMs() < program.startMs + 1500)
        Sleep(10);
    std::vector<double> answers;
    const double end = NowMs() + 3000;
    while (NowMs() < end) {
        const double before = NowMs();
        DWORD_PTR result = 0;
        if (!SendMessageTimeoutA(window, WM_NULL, 0, 0, SMTO_NORMAL, 1000, &result))
            answers.push_back(1000);
        else
            answers.push_back(NowMs() - before);
        Sleep(5);
    }
    Stop(program, window);

    // Reports delivered and dropped within the window, from the remote's counts every second.
    double firstMs = 0;
    double lastMs = 0;
    double delivered[2] = {};
    double dropped[2] = {};
    for (const LoggedCall& reports : CallsOf(ReadLog(program), program, "Reports")) {
        if (reports.ms < end - 3000 || reports.ms > end)
            continue;
        const int at = firstMs == 0 ? 0 : 1;
        if (at == 0)
            firstMs = reports.ms;
        lastMs = reports.ms;
        delivered[at] = reports.result;
        dropped[at] = reports.numbers.at("dropped");
    }
    const double seconds = (lastMs - firstMs) / 1000.0;
    if (seconds <= 0)
        return 1;
    std::printf("rate %d\n", rate);
    std::printf("rate_delivered_per_s %.0f\n", (delivered[1] - delivered[0]) / seconds);
    std::printf("rate_dropped_per_s %.0f\n", (dropped[1] - dropped[0]) / seconds);
    std::printf("rate_answer_p99_ms %.2f\n", Percentile(answers, 0.99));
    return 0;
}

// Memory while streaming, as the simulated remote sees it from inside the program's process at
// the close (another process reads no private bytes under Wine).
int Memory() {
    Program program;
    if (!StartProgram(Scenario("four-objects"), program))
        return 1;
    const HWND window = FindProgramWindow(program, kMainWindowClass, kTimeoutMs);
    while (NowMs() < program.startMs + 3000)
        Sleep(10);
    Stop(program, window);
    double privateBytes = -1;
    double pagefileBytes = -1;
    double workingSet = -1;
    for (const LoggedCall& memory : CallsOf(ReadLog(program), program, "Memory")) {
        privateBytes = memory.numbers.at("private");
        pagefileBytes = memory.numbers.at("pagefile");
        workingSet = memory.numbers.at("working");
    }
    // Wine leaves PrivateUsage at zero; the pagefile usage is the same private commit charge.
    std::printf("private_bytes %.0f\n", privateBytes > 0 ? privateBytes : pagefileBytes);
    std::printf("working_set_bytes %.0f\n", workingSet);
    return privateBytes < 0;
}

// Least-squares slope of y over x, per unit of x.
double Slope(const std::vector<double>& x, const std::vector<double>& y) {
    const double n = static_cast<double>(x.size());
    double sx = 0, sy = 0, sxx = 0, sxy = 0;
    for (size_t i = 0; i < x.size(); ++i) {
        sx += x[i];
        sy += y[i];
        sxx += x[i] * x[i];
        sxy += x[i] * y[i];
    }
    const double denominator = n * sxx - sx * sx;
    return denominator == 0 ? 0 : (n * sxy - sx * sy) / denominator;
}

int Soak(int seconds, int rate) {
    char scenario[96];
    std::snprintf(scenario, sizeof scenario, "log summary\nrate %d\ndemo\n", rate);
    Program program;
    const HWND window = StartWithWindow(scenario, program);
    if (!window)
        return 1;
    while (NowMs() < program.startMs + seconds * 1000.0)
        Sleep(100);
    const bool answered = Answers(window, 2000);
    Stop(program, window);

    // The samples every 10 s until the close; those after the first minute must not grow.
    // Reports count from the second after the open when the reader has long started: before
    // that nothing reads during the set-up, by design, and the remote drops what piles up.
    std::vector<double> minutes;
    std::vector<double> privateBytes;
    std::vector<double> handles;
    std::vector<double> gdiObjects;
    double openMs = 0;
    double delivered[2] = {-1, 0};
    double dropped[2] = {0, 0};
    // The close's own sample counts no handles (the remote writes it inside the close): the
    // samples end there.
    for (const LoggedCall& call : CallsOf(ReadLog(program), program, nullptr)) {
        if (call.call == "CloseHidHandle" ||
            (call.call == "Memory" && call.numbers.at("handles") == 0))
            break;
        if (openMs == 0 && call.call == "OpenHidHandle")
            openMs = call.ms;
        if (call.call == "Reports" && call.ms > openMs + 2000) {
            const int at = delivered[0] < 0 ? 0 : 1;
            delivered[at] = call.result;
            dropped[at] = call.numbers.at("dropped");
            continue;
        }
        if (call.call != "Memory")
            continue;
        const double minute = (call.ms - openMs) / 60000.0;
        // Wine leaves PrivateUsage at zero; the pagefile usage is the same commit charge.
        const double privateUsage = call.numbers.at("private");
        const double privateCommit = privateUsage > 0 ? privateUsage : call.numbers.at("pagefile");
        const double handleCount = call.numbers.at("handles");
        const double gdi = call.numbers.at("gdi");
        std::printf("soak_sample %.2f min private %.0f working %.0f handles %.0f gdi %.0f\n",
                    minute, privateCommit, call.numbers.at("working"), handleCount, gdi);
        if (minute < 1.0)
            continue;
        minutes.push_back(minute);
        privateBytes.push_back(privateCommit);
        handles.push_back(handleCount);
        gdiObjects.push_back(gdi);
    }
    if (minutes.size() < 2)
        return 1;
    const auto range = [](const std::vector<double>& v) {
        return *std::max_element(v.begin(), v.end()) - *std::min_element(v.begin(), v.end());
    };
    std::printf("soak_rate %d\n", rate);
    std::printf("soak_minutes %.1f\n", seconds / 60.0);
    std::printf("soak_private_bytes_first %.0f\n", privateBytes.front());
    std::printf("soak_private_bytes_range %.0f\n", range(privateBytes));
    std::printf("soak_private_bytes_per_min %.0f\n", Slope(minutes, privateBytes));
    std::printf("soak_handles_first %.0f\n", handles.front());
    std::printf("soak_handles_range %.0f\n", range(handles));
    std::printf("soak_gdi_first %.0f\n", gdiObjects.front());
    std::printf("soak_gdi_range %.0f\n", range(gdiObjects));
    std::printf("soak_delivered %.0f\n", delivered[1] - delivered[0]);
    std::printf("soak_dropped %.0f\n", dropped[1] - dropped[0]);
    std::printf("soak_window_answers %d\n", answered ? 1 : 0);
    return 0;
}

// One run of a road that asks for the teardown twice: Home is reported from kHomeMs after the
// open; the driver's own request lands at the same moment, or just after.
constexpr double kHomeMs = 1600;

bool RaceOnce(const std::string& road, int& exitCode, int& mode30Writes, int& closes) {
    const bool held = road == "close-home";
    char buttons[64];
    std::snprintf(buttons, sizeof buttons, "%.0f buttons 00 80\n%s", kHomeMs,
                  held ? "" : "1700 buttons 00 00\n");
    const std::string scenario = "log summary\n" + Scenario("four-objects") + buttons;
    Program program;
    if (!StartProgram(scenario, program))
        return false;
    const HWND window = FindProgramWindow(program, kMainWindowClass, kTimeoutMs);
    const double openMs = WaitForOpenMs(program);
    const double at = openMs + kHomeMs + (road == "home-esc" ? 15 : 0);
    while (NowMs() < at)
        Sleep(0);
    if (window && road == "close-home") {
        PostMessageA(window, WM_SYSCOMMAND, SC_CLOSE, 0);
    } else if (window) {
        PostMessageA(window, WM_KEYDOWN, VK_ESCAPE, 1);
        if (road == "esc-esc")
            PostMessageA(window, WM_KEYDOWN, VK_ESCAPE, 1);
    }
    exitCode = WaitForExit(program, kTimeoutMs);
    const std::vector<LoggedCall> log = ReadLog(program);
    mode30Writes = 0;
    for (const LoggedCall& write : CallsOf(log, program, "WriteReport"))
        mode30Writes += write.bytes.compare(0, 8, "12 00 30") == 0;
    closes = static_cast<int>(CallsOf(log, program, "CloseHidHandle").size());
    EndProgram(program);
    return true;
}

int Race(const std::string& road, int runs) {
    int hangs = 0;
    int badTeardowns = 0;
    int badExits = 0;
    for (int run = 0; run < runs; ++run) {
        int exitCode = 0;
        int mode30Writes = 0;
        int closes = 0;
        if (!RaceOnce(road, exitCode, mode30Writes, closes))
            return 1;
        hangs += exitCode == -1;
        badExits += exitCode != 0 && exitCode != -1;
        badTeardowns += mode30Writes != 1 || closes != 1;
    }
    std::printf("race %s\n", road.c_str());
    std::printf("race_runs %d\n", runs);
    std::printf("race_hangs %d\n", hangs);
    std::printf("race_bad_exits %d\n", badExits);
    std::printf("race_bad_teardowns %d\n", badTeardowns);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    const std::string command = argc > 1 ? argv[1] : "";
    if (command == "startup")
        return Startup();
    if (command == "latency")
        return Latency(argc > 2 && std::strcmp(argv[2], "stack") == 0 ? Remote::kVirtual
                                                                      : Remote::kSimulated);
    if (command == "rate" && argc > 2)
        return Rate(std::atoi(argv[2]));
    if (command == "memory")
        return Memory();
    if (command == "soak" && argc > 3)
        return Soak(std::atoi(argv[2]), std::atoi(argv[3]));
    if (command == "race" && argc > 3)
        return Race(argv[2], std::atoi(argv[3]));
    std::fprintf(stderr, "usage: bench_driver startup | latency [stack] | rate <n> | memory | "
                         "soak <seconds> <rate> | race <road> <runs>\n");
    return 2;
}
