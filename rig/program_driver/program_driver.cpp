// The driver of the real program for the end-to-end tests.
// Before the driver's header, whose Scenario() hides the remote model's type of that name.
#include "kernel_safe_model/scenario.h"
#include "program_driver/program_driver.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "hid/log_line.h"

namespace {

std::string ThisFolder() {
    char path[MAX_PATH];
    GetModuleFileNameA(nullptr, path, sizeof path);
    *std::strrchr(path, '\\') = '\0';
    return path;
}

// A file name no earlier run has used: Wine hands out the process numbers of ended processes
// again, and the virtual remote starts a session only for a scenario file of another name.
std::string TempFile(const char* name) {
    static int runNumber;
    char folder[MAX_PATH];
    GetTempPathA(sizeof folder, folder);
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return std::string(folder) + "ir-e2e-" + std::to_string(GetCurrentProcessId()) + "-" +
           std::to_string(now.QuadPart) + "-" + std::to_string(++runNumber) + "-" + name;
}

// The build whose program the cases run: this one's, or the one IR_TEST_PROGRAM_BUILD names (the
// 32-bit build, which the 64-bit tests run under WoW64).
std::string ProgramBuild() {
    char folder[MAX_PATH];
    const DWORD length = GetEnvironmentVariableA("IR_TEST_PROGRAM_BUILD", folder, sizeof folder);
    return length && length < sizeof folder ? std::string(folder) : ThisFolder();
}

// The folder of the program that meets this remote: the copy beside the simulated DLL, or the
// build's own beside the real library.
std::string ProgramFolder(Remote remote) {
    return remote == Remote::kSimulated ? ProgramBuild() + "\\simremote" : ProgramBuild();
}

bool Launch(Program& program) {
    const std::string folder =
        program.folder.empty() ? ProgramFolder(program.remote) : program.folder;
    std::string commandLine = "\"" + folder + "\\" + kProgramFile + "\"";
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    // Once under Wine, right after the program of the case before had ended, CreateProcess
    // failed for a case: it is tried again, and says why.
    for (int attempt = 1;; ++attempt) {
        program.startMs = NowMs();
        if (CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                           folder.c_str(), &startup, &program.process))
            return true;
        std::printf("starting %s failed (attempt %d): error %lu\n", commandLine.c_str(), attempt,
                    GetLastError());
        if (attempt == 3)
            return false;
        Sleep(200);
    }
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

// Runs the virtual remote's setup tool with these arguments; true when it succeeds.
bool RunSetup(const std::string& arguments) {
    std::string commandLine = "\"" + ThisFolder() + "\\virtremote_setup.exe\" " + arguments;
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process))
        return false;
    WaitForSingleObject(process.hProcess, 90000);
    DWORD code = 1;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return code == 0;
}

// The key under which remote n of the virtual remote finds its settings, opened for writing;
// null when it cannot be.
HKEY OpenRemoteKey(int remote) {
    std::string keyName = kVirtualRemoteParametersKey;
    if (remote > 1)
        keyName += "\\" + std::to_string(remote);
    HKEY key = nullptr;
    return RegCreateKeyExA(HKEY_LOCAL_MACHINE, keyName.c_str(), 0, nullptr, 0, KEY_SET_VALUE,
                           nullptr, &key, nullptr) == ERROR_SUCCESS
               ? key
               : nullptr;
}

// The model a virtual remote is made as, from its scenario ("model later": the later model's
// product id): the device reports its id from its start, so it is set before the remote is made.
bool SetModel(int remote, const std::string& scenarioText) {
    static struct Scenario parsed; // the type, not the driver's Scenario()
    char error[128];
    const bool later =
        ParseScenario(scenarioText.c_str(), parsed, error, sizeof error) && parsed.laterModel;
    const HKEY key = OpenRemoteKey(remote);
    if (!key)
        return false;
    const DWORD product = later ? kLaterRemoteProduct : kRemoteProduct;
    const bool set =
        RegSetValueExA(key, "Product", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&product),
                       sizeof product) == ERROR_SUCCESS;
    RegCloseKey(key);
    return set;
}

bool ConfigureVirtualRemote(const std::string& scenarioPath, const std::string& logPath,
                            int remote = 1) {
    const HKEY key = OpenRemoteKey(remote);
    if (!key)
        return false;
    const bool set =
        RegSetValueExA(key, "Scenario", 0, REG_SZ,
                       reinterpret_cast<const BYTE*>(scenarioPath.c_str()),
                       scenarioPath.size() + 1) == ERROR_SUCCESS &&
        RegSetValueExA(key, "Log", 0, REG_SZ, reinterpret_cast<const BYTE*>(logPath.c_str()),
                       logPath.size() + 1) == ERROR_SUCCESS;
    RegCloseKey(key);
    const double deadline = NowMs() + 5000;
    WIN32_FILE_ATTRIBUTE_DATA log;
    while (set && !(GetFileAttributesExA(logPath.c_str(), GetFileExInfoStandard, &log) &&
                    log.nFileSizeLow > 0)) {
        if (NowMs() > deadline)
            return false;
        Sleep(5);
    }
    return set;
}

// A scenario in a file of its own.

bool WriteScenario(const char* scenarioText, std::string& path) {
    path = TempFile("scenario.txt");
    FILE* file = std::fopen(path.c_str(), "wb");
    if (!file)
        return false;
    std::fputs(scenarioText, file);
    std::fclose(file);
    return true;
}

bool removedRemote = false;
bool addedRemotes = false;

} // namespace

std::vector<LoggedCall> ReadLogFile(const std::string& path) {
    std::vector<LoggedCall> log;
    FILE* file = std::fopen(path.c_str(), "rb");
    if (!file)
        return log;
    char line[kLogLineSize];
    while (std::fgets(line, sizeof line, file)) {
        LogLine parsed;
        if (!ParseLogLine(line, parsed))
            continue;
        LoggedCall call;
        call.pid = parsed.pid;
        call.tid = parsed.tid;
        call.ms = parsed.ms;
        call.call = parsed.call;
        call.handle = static_cast<int>(parsed.handle);
        call.result = static_cast<int>(parsed.result);
        for (int i = 0; i + 1 < parsed.valueCount; ++i) {
            call.values[parsed.values[i]] = parsed.values[i + 1];
            double number = 0;
            if (ParseDecimal(parsed.values[i + 1], number))
                call.numbers[parsed.values[i]] = number;
        }
        LogNumber(parsed, "done", call.doneMs);
        if (const char* way = LogValue(parsed, "via"))
            call.way = way;
        call.error = static_cast<int>(call.numbers["error"]);
        call.length = static_cast<int>(call.numbers["length"]);
        call.bytes = parsed.text;
        log.push_back(call);
    }
    std::fclose(file);
    return log;
}

DWORD Scaled(DWORD ms) {
    static const double scale = [] {
        char text[16] = "";
        GetEnvironmentVariableA("IR_TEST_TIME_SCALE", text, sizeof text);
        const double read = std::atof(text);
        return read >= 1 ? read : 1.0;
    }();
    return static_cast<DWORD>(ms * scale);
}

std::string ScenarioPath(const char* name) {
    for (const char* extension : {".txt", ".log"}) {
        const std::string path = ThisFolder() + "\\scenarios\\" + name + extension;
        if (GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES)
            return path;
    }
    std::fprintf(stderr, "no scenario '%s' in %s\\scenarios\n", name, ThisFolder().c_str());
    std::fflush(stderr);
    ExitProcess(3);
}

std::string Scenario(const char* name) {
    return ReadTextFile(ScenarioPath(name));
}

std::string ReadTextFile(const std::string& path) {
    std::string text;
    FILE* file = std::fopen(path.c_str(), "rb");
    if (!file)
        return text;
    char buffer[4096];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;)
        text.append(buffer, n);
    std::fclose(file);
    return text;
}

bool UseScenario(const std::string& scenarioText, Program& program, Remote remote) {
    std::string scenarioPath;
    if (!WriteScenario(scenarioText.c_str(), scenarioPath))
        return false;
    program.remote = remote;
    program.logPath = TempFile("log.txt");
    DeleteFileA(program.logPath.c_str());
    SetEnvironmentVariableA("TINY_HID_CAPTURE", program.logPath.c_str());
    if (remote == Remote::kSimulated) {
        SetEnvironmentVariableA("SIMREMOTE_SCENARIO", scenarioPath.c_str());
        return true;
    }
    program.deviceLogPath = TempFile("device-log.txt");
    DeleteFileA(program.deviceLogPath.c_str());
    return ConfigureVirtualRemote(scenarioPath, program.deviceLogPath);
}

bool AddVirtualRemotes(Program& program, const std::vector<std::string>& scenarios) {
    addedRemotes = true;
    for (size_t i = 0; i < scenarios.size(); ++i)
        if (!SetModel(static_cast<int>(i) + 2, scenarios[i]))
            return false;
    if (!RunSetup("remotes \"" + ThisFolder() + "\\virtremote\" " +
                  std::to_string(scenarios.size())))
        return false;
    program.moreDeviceLogPaths.clear();
    for (size_t i = 0; i < scenarios.size(); ++i) {
        std::string scenarioPath;
        program.moreDeviceLogPaths.push_back(TempFile("device-log.txt"));
        if (!WriteScenario(scenarios[i].c_str(), scenarioPath) ||
            !ConfigureVirtualRemote(scenarioPath, program.moreDeviceLogPaths.back(),
                                    static_cast<int>(i) + 2))
            return false;
    }
    return true;
}

bool DeclareDescriptor(const std::string& path, int remote) {
    return RunSetup("descriptor \"" + path + "\" " + std::to_string(remote));
}

// The files of a folder beside the driver's executable that match a pattern.
std::vector<std::string> FilesBeside(const char* subfolder, const char* pattern) {
    std::vector<std::string> files;
    WIN32_FIND_DATAA found;
    const std::string folder = ThisFolder() + "\\" + subfolder + "\\";
    const HANDLE search = FindFirstFileA((folder + pattern).c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return files;
    do
        files.push_back(folder + found.cFileName);
    while (FindNextFileA(search, &found));
    FindClose(search);
    return files;
}

std::vector<std::string> DescriptorFiles() {
    return FilesBeside("descriptors", "*.txt");
}

std::vector<std::string> KeptRecordings() {
    return FilesBeside("scenarios", "recorded-*.log");
}

bool StartProgram(const std::string& scenarioText, Program& program, Remote remote,
                  const std::vector<std::string>& moreRemotes) {
    if (!UseScenario(scenarioText, program, remote) ||
        (!moreRemotes.empty() && !AddVirtualRemotes(program, moreRemotes)))
        return false;
    const bool absent = scenarioText.find("\nabsent") != std::string::npos ||
                        scenarioText.compare(0, 6, "absent") == 0;
    if (remote == Remote::kVirtual && absent && !removedRemote) {
        removedRemote = true;
        if (!RunSetup("remove remote") || !RunSetup("wait absent 30"))
            return false;
    }
    return Launch(program);
}

bool CopyProgramWith(Program& program, const std::string& file) {
    const std::string folder = TempFile("program");
    const std::string build = ProgramBuild();
    const char* fileName = std::strrchr(file.c_str(), '\\');
    if (!CreateDirectoryA(folder.c_str(), nullptr) ||
        !CopyFileA((build + "\\" + kProgramFile).c_str(), (folder + "\\" + kProgramFile).c_str(),
                   FALSE) ||
        !CopyFileA((build + "\\tiny_hid_dll.dll").c_str(), (folder + "\\tiny_hid_dll.dll").c_str(),
                   FALSE) ||
        !fileName || !CopyFileA(file.c_str(), (folder + fileName).c_str(), FALSE))
        return false;
    program.folder = folder;
    return true;
}

std::string PlantedHidDll() {
    return ProgramBuild() + "\\planted\\hid.dll";
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
    if (addedRemotes) {
        addedRemotes = false;
        RunSetup("remotes \"" + ThisFolder() + "\\virtremote\" 0");
    }
    if (removedRemote) {
        removedRemote = false;
        RunSetup("install \"" + ThisFolder() + "\\virtremote\"");
        RunSetup("wait present 30");
    }
    if (!program.process.hProcess)
        return;
    if (WaitForSingleObject(program.process.hProcess, 0) != WAIT_OBJECT_0) {
        TerminateProcess(program.process.hProcess, 99);
        WaitForSingleObject(program.process.hProcess, 5000);
    }
    CloseHandle(program.process.hThread);
    CloseHandle(program.process.hProcess);
    // Its ids stay: the lines of its logs are still told apart by them once it has ended.
    program.process.hThread = nullptr;
    program.process.hProcess = nullptr;
}

HWND FindProgramWindow(const Program& program, const char* className, DWORD timeoutMs) {
    const double deadline = NowMs() + timeoutMs;
    for (;;) {
        WindowSearch search = {program.process.dwProcessId, className, nullptr};
        EnumWindows(MatchWindow, reinterpret_cast<LPARAM>(&search));
        if (search.found || NowMs() >= deadline)
            return search.found;
        // A program that has ended shows no more windows.
        DWORD code = 0;
        if (GetExitCodeProcess(program.process.hProcess, &code) && code != STILL_ACTIVE) {
            std::printf("the program ended with exit code %ld without a window of class %s\n",
                        static_cast<long>(code), className);
            return nullptr;
        }
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

std::vector<uint32_t> ClientPicture(HWND window) {
    RECT client;
    GetClientRect(window, &client);
    const int width = client.right;
    const int height = client.bottom;
    std::vector<uint32_t> pixels(static_cast<size_t>(width) * height);
    const HDC dc = GetDC(window);
    const HDC memory = CreateCompatibleDC(dc);
    const HBITMAP bitmap = CreateCompatibleBitmap(dc, width, height);
    const HGDIOBJ old = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, width, height, dc, 0, 0, SRCCOPY);
    SelectObject(memory, old);
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height; // top row first
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    GetDIBits(memory, bitmap, 0, height, pixels.data(), &info, DIB_RGB_COLORS);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(window, dc);
    return pixels;
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
    return ReadLogFile(program.logPath);
}

std::vector<LoggedCall> ReadDeviceLog(const Program& program, int remote) {
    return ReadLogFile(remote > 1 ? program.moreDeviceLogPaths.at(remote - 2)
                                  : program.deviceLogPath);
}

std::vector<LoggedCall> CallsOf(const std::vector<LoggedCall>& log, const Program& program,
                                const char* call) {
    std::vector<LoggedCall> calls;
    for (const LoggedCall& logged : log)
        if (logged.pid == program.process.dwProcessId && (!call || logged.call == call))
            calls.push_back(logged);
    return calls;
}

std::vector<LoggedCall> DeviceCalls(const std::vector<LoggedCall>& log, const char* call) {
    std::vector<LoggedCall> calls;
    for (const LoggedCall& logged : log)
        if (logged.call == call)
            calls.push_back(logged);
    return calls;
}

double ProgramCpuMs(const Program& program) {
    FILETIME created;
    FILETIME exited;
    FILETIME kernel;
    FILETIME user;
    if (!GetProcessTimes(program.process.hProcess, &created, &exited, &kernel, &user))
        return 0;
    const auto ms = [](const FILETIME& time) {
        return (static_cast<double>(time.dwHighDateTime) * 4294967296.0 + time.dwLowDateTime) /
               10000.0;
    };
    return ms(kernel) + ms(user);
}
