// The driver of the real program for the end-to-end tests.
#include "tests/program_driver.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

namespace {

std::string ThisFolder() {
    char path[MAX_PATH];
    GetModuleFileNameA(nullptr, path, sizeof path);
    *std::strrchr(path, '\\') = '\0';
    return path;
}

std::string TempFile(const char* name) {
    static int runNumber;
    char folder[MAX_PATH];
    GetTempPathA(sizeof folder, folder);
    return std::string(folder) + "ir-e2e-" + std::to_string(GetCurrentProcessId()) + "-" +
           std::to_string(++runNumber) + "-" + name;
}

bool Launch(Program& program) {
    const std::string folder = ThisFolder() + "\\simremote";
    std::string commandLine = "\"" + folder + "\\ir-sensor-test.exe\"";
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    program.startMs = NowMs();
    return CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                          folder.c_str(), &startup, &program.process);
}

struct WindowSearch {
    DWORD pid;
    const char* className;
    HWND found;
};

BOOL CALLBACK MatchWindow(HWND window, LPARAM parameter) {
    WindowSearch& search = *reinterpret_cast<WindowSearch*>(parameter);
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    char className[64];
    if (pid == search.pid && GetClassNameA(window, className, sizeof className) &&
        std::strcmp(className, search.className) == 0) {
        search.found = window;
        return FALSE;
    }
    return TRUE;
}

} // namespace

bool StartProgram(const char* scenarioText, Program& program) {
    const std::string scenarioPath = TempFile("scenario.txt");
    FILE* file = std::fopen(scenarioPath.c_str(), "wb");
    if (!file)
        return false;
    std::fputs(scenarioText, file);
    std::fclose(file);
    program.logPath = TempFile("log.txt");
    DeleteFileA(program.logPath.c_str());
    SetEnvironmentVariableA("SIMREMOTE_SCENARIO", scenarioPath.c_str());
    SetEnvironmentVariableA("SIMREMOTE_LOG", program.logPath.c_str());
    return Launch(program);
}

bool StartAnotherInstance(const Program& first, Program& second) {
    second.logPath = first.logPath;
    return Launch(second);
}

int WaitForExit(Program& program, DWORD timeoutMs) {
    if (WaitForSingleObject(program.process.hProcess, timeoutMs) != WAIT_OBJECT_0)
        return -1;
    DWORD code = 0;
    GetExitCodeProcess(program.process.hProcess, &code);
    return static_cast<int>(code);
}

void EndProgram(Program& program) {
    if (!program.process.hProcess)
        return;
    if (WaitForSingleObject(program.process.hProcess, 0) != WAIT_OBJECT_0) {
        TerminateProcess(program.process.hProcess, 99);
        WaitForSingleObject(program.process.hProcess, 5000);
    }
    CloseHandle(program.process.hThread);
    CloseHandle(program.process.hProcess);
    program.process = {};
}

HWND FindProgramWindow(const Program& program, const char* className, DWORD timeoutMs) {
    const double deadline = NowMs() + timeoutMs;
    for (;;) {
        WindowSearch search = {program.process.dwProcessId, className, nullptr};
        EnumWindows(MatchWindow, reinterpret_cast<LPARAM>(&search));
        if (search.found || NowMs() >= deadline)
            return search.found;
        Sleep(10);
    }
}

std::string MessageBoxText(HWND box, DWORD timeoutMs) {
    // The box's controls come a moment after the box itself. Controls of another process answer
    // WM_GETTEXT only when it is sent to them.
    const double deadline = NowMs() + timeoutMs;
    do {
        for (HWND child = FindWindowExA(box, nullptr, "Static", nullptr); child;
             child = FindWindowExA(box, child, "Static", nullptr)) {
            char text[256] = "";
            DWORD_PTR length = 0;
            SendMessageTimeoutA(child, WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text),
                                SMTO_NORMAL, timeoutMs, &length);
            if (text[0])
                return text;
        }
        Sleep(10);
    } while (NowMs() < deadline);
    return "";
}

void PressOk(HWND box, DWORD timeoutMs) {
    const double deadline = NowMs() + timeoutMs;
    HWND button = nullptr;
    while (!(button = FindWindowExA(box, nullptr, "Button", nullptr)) && NowMs() < deadline)
        Sleep(10);
    PostMessageA(button, BM_CLICK, 0, 0);
}

bool Answers(HWND window, DWORD timeoutMs) {
    DWORD_PTR result = 0;
    return SendMessageTimeoutA(window, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, timeoutMs, &result) != 0;
}

COLORREF PixelAt(HWND window, int x, int y) {
    const HDC dc = GetDC(window);
    const COLORREF colour = GetPixel(dc, x, y);
    ReleaseDC(window, dc);
    return colour;
}

bool CrossAt(HWND window, int cx, int cy) {
    const HDC dc = GetDC(window);
    bool strokes = true;
    for (int d = -4; d <= 4 && strokes; ++d)
        strokes = GetPixel(dc, cx + d, cy) == 0 && GetPixel(dc, cx, cy + d) == 0;
    // Beside the strokes the background shows.
    const bool cross = strokes && GetPixel(dc, cx + 2, cy + 2) == RGB(255, 255, 255) &&
                       GetPixel(dc, cx - 2, cy - 2) == RGB(255, 255, 255);
    ReleaseDC(window, dc);
    return cross;
}

bool WaitForCross(HWND window, int cx, int cy, DWORD timeoutMs) {
    const double deadline = NowMs() + timeoutMs;
    while (!CrossAt(window, cx, cy)) {
        if (NowMs() >= deadline)
            return false;
        Sleep(20);
    }
    return true;
}

std::vector<LoggedCall> ReadLog(const Program& program) {
    std::vector<LoggedCall> log;
    FILE* file = std::fopen(program.logPath.c_str(), "rb");
    if (!file)
        return log;
    char line[512];
    while (std::fgets(line, sizeof line, file)) {
        std::istringstream words(line);
        LoggedCall call;
        std::string arrow;
        words >> call.pid >> call.tid >> call.ms >> call.call;
        if (call.call == "OpenHidHandle") {
            std::string vendor;
            std::string product;
            words >> vendor >> product >> arrow >> call.result;
        } else {
            words >> call.handle >> arrow >> call.result;
        }
        std::string word;
        if (words >> word && word == "done")
            words >> call.doneMs >> word;
        if (word == ":") {
            std::getline(words, call.bytes);
            call.bytes.erase(0, call.bytes.find_first_not_of(' '));
            call.bytes.erase(call.bytes.find_last_not_of("\r\n ") + 1);
        }
        log.push_back(call);
    }
    std::fclose(file);
    return log;
}

std::vector<LoggedCall> CallsOf(const std::vector<LoggedCall>& log, const Program& program,
                                const char* call) {
    std::vector<LoggedCall> calls;
    for (const LoggedCall& logged : log)
        if (logged.pid == program.process.dwProcessId && logged.call == call)
            calls.push_back(logged);
    return calls;
}
