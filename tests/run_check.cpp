// A short check of a whole run of the program beside the simulated remote, for builds whose
// tests cannot run here (the 32-bit one, under emulation): the window comes up with its crosses,
// Esc ends it with exit code 0 after the 1 + 20 reports and the final 12 00 30, and with no remote
// it says "Wii-Remote not found." and exits with 1. Prints what fails; exits with the failures.
#include <cstdio>
#include <string>

#include "tests/expected_reports.h"
#include "tests/program_driver.h"

namespace {

// Under emulation a program start takes about a minute.
constexpr DWORD kTimeoutMs = 5 * 60 * 1000;
int checks;
int failures;

void Check(bool ok, const char* what) {
    std::printf("%s: %s\n", ok ? "ok" : "FAILED", what);
    ++checks;
    failures += ok ? 0 : 1;
}

void CheckLiveRunEndedWithEsc() {
    Program program;
    Check(StartProgram(kFourObjects, program), "the program starts");
    const HWND window = FindProgramWindow(program, "wnd-001", kTimeoutMs);
    Check(window != nullptr, "the window comes up");
    if (!window) {
        EndProgram(program);
        return;
    }
    bool allCrosses = true;
    for (const auto& cross : kCrosses)
        allCrosses = allCrosses && WaitForCross(window, cross[0], cross[1], kTimeoutMs);
    Check(allCrosses, "the window shows the four crosses");
    PostMessageA(window, WM_KEYDOWN, VK_ESCAPE, 1);
    Check(WaitForExit(program, kTimeoutMs) == 0, "Esc ends it with exit code 0");

    const std::vector<LoggedCall> writes = CallsOf(ReadLog(program), program, "WriteReport");
    bool asExpected = writes.size() == kRunReportCount;
    for (size_t i = 0; asExpected && i < writes.size(); ++i)
        asExpected = writes[i].bytes == ExpectedRunReport(static_cast<int>(i));
    Check(asExpected, "the remote receives the mode request, the 20 set-up reports and 12 00 30");
    EndProgram(program);
}

void CheckNoRemote() {
    Program program;
    Check(StartProgram("absent\n", program), "the program starts with no remote");
    const HWND box = FindProgramWindow(program, "#32770", kTimeoutMs);
    Check(box != nullptr && MessageBoxText(box, kTimeoutMs) == "Wii-Remote not found.",
          "it says \"Wii-Remote not found.\"");
    if (box)
        PressOk(box, kTimeoutMs);
    Check(WaitForExit(program, kTimeoutMs) == 1, "it exits with 1");
    EndProgram(program);
}

} // namespace

int main() {
    CheckLiveRunEndedWithEsc();
    CheckNoRemote();
    std::printf("%d passed, %d failed\n", checks - failures, failures);
    return failures;
}
