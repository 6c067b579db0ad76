// Parsing of scenario files and the conditions they set at each moment. The virtual remote's
// driver parses the same files in kernel mode: nothing here allocates or needs more of the C
// library than string functions and snprintf.
#include "kernel_safe_model/scenario.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "hid/log_line.h"

namespace {

struct Command {
    const char* name;
    StepKind kind;
    int argumentCount;
    int base; // of the arguments
    int maxValue;
};

constexpr Command kCommands[] = {
    {"rate", StepKind::kRate, 1, 10, 100000},
    {"ir", StepKind::kIr, 8, 10, 1023},
    {"demo", StepKind::kDemo, 0, 10, 0},
    {"buttons", StepKind::kButtons, 2, 16, 0xFF},
    {"accel", StepKind::kAccel, 3, 16, 0xFF},
    {"kind", StepKind::kKind, 1, 16, 0xFF},
    {"report", StepKind::kReport, kRemoteReportLength, 16, 0xFF},
    {"silent", StepKind::kSilent, 0, 10, 0},
    {"garbage", StepKind::kGarbage, 0, 10, 0},
    {"fail", StepKind::kFail, 0, 10, 0},
    {"off", StepKind::kOff, 0, 10, 0},
    {"send", StepKind::kSend, 0, 10, 0},
};

constexpr int kMaxWords = 32;

struct ParseState {
    Scenario& scenario;
    char* error;
    int errorSize;
    int lineNumber;
    // A recorded session: its process and the time of its open.
    unsigned long recordedPid;
    double recordedOpenMs;
};

bool Fail(ParseState& state, const char* format, ...) {
    char message[128];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(message, sizeof message, format, arguments);
    va_end(arguments);
    std::snprintf(state.error, state.errorSize, "line %d: %s", state.lineNumber, message);
    return false;
}

bool AddStep(ParseState& state, const ScenarioStep& step) {
    Scenario& scenario = state.scenario;
    if (scenario.stepCount > 0 && step.atMs < scenario.steps[scenario.stepCount - 1].atMs)
        return Fail(state, "steps must not go back in time");
    if (scenario.stepCount == kMaxScenarioSteps)
        return Fail(state, "more than %d steps", kMaxScenarioSteps);
    scenario.steps[scenario.stepCount++] = step;
    return true;
}

// A line of a recorded session. Only the input reports the program read matter:
// "ReadReport <handle> -> 1 done <ms> : <22 bytes>", at their return, from the open on.
bool ParseRecordedLine(ParseState& state, const LogLine& logged) {
    if (state.recordedPid == 0)
        state.recordedPid = logged.pid;
    if (logged.pid != state.recordedPid)
        return true; // another program's calls
    if (std::strcmp(logged.call, "OpenHidHandle") == 0 && state.recordedOpenMs < 0)
        state.recordedOpenMs = logged.ms;
    double doneMs = 0;
    if (std::strcmp(logged.call, "ReadReport") != 0 || logged.result != 1 ||
        !LogNumber(logged, "done", doneMs))
        return true;
    ScenarioStep step = {};
    step.kind = StepKind::kReport;
    step.atMs = doneMs - (state.recordedOpenMs >= 0 ? state.recordedOpenMs : doneMs);
    char bytes[kLogReportTextSize + 1];
    char* words[kRemoteReportLength + 1];
    if (std::strlen(logged.text) >= sizeof bytes ||
        SplitWords(std::strcpy(bytes, logged.text), words, kRemoteReportLength + 1) !=
            kRemoteReportLength)
        return Fail(state, "a read's report is not %d bytes", kRemoteReportLength);
    for (int i = 0; i < kRemoteReportLength; ++i) {
        long byte = 0;
        if (!ParseNumber(words[i], 16, 0xFF, byte))
            return Fail(state, "'%s' is no report byte", words[i]);
        step.report[i] = static_cast<uint8_t>(byte);
    }
    return AddStep(state, step);
}

bool ParseSetting(Scenario& scenario, char* words[], int count) {
    if (count == 1 && std::strcmp(words[0], "absent") == 0)
        return scenario.absent = true;
    if (count != 2)
        return false;
    if (std::strcmp(words[0], "log") == 0 && std::strcmp(words[1], "summary") == 0)
        return scenario.logSummaryOnly = true;
    if (std::strcmp(words[0], "refuse") == 0 && std::strcmp(words[1], "write") == 0)
        return scenario.refuseWriteFile = true;
    if (std::strcmp(words[0], "refuse") == 0 && std::strcmp(words[1], "inexact") == 0)
        return scenario.refuseInexactLength = true;
    if (std::strcmp(words[0], "refuse") == 0 && std::strcmp(words[1], "every") == 0)
        return scenario.refuseEvery = true;
    if (std::strcmp(words[0], "model") == 0 && std::strcmp(words[1], "later") == 0)
        return scenario.laterModel = true;
    return false;
}

bool ParseLine(char* line, ParseState& state) {
    char copy[kLogLineSize];
    std::strcpy(copy, line);
    LogLine logged;
    if (ParseLogLine(copy, logged))
        return ParseRecordedLine(state, logged);
    if (char* comment = std::strchr(line, '#'))
        *comment = '\0';
    char* words[kMaxWords];
    const int count = SplitWords(line, words, kMaxWords);
    if (count == 0)
        return true;
    // A call's name, where a step has a value (two hexadecimal digits at most).
    if (count >= 4 && std::strlen(words[3]) > 2 && words[3][0] >= 'A' && words[3][0] <= 'Z')
        return Fail(state, "'%s' is no recorded call", words[3]);
    if (ParseSetting(state.scenario, words, count))
        return true;

    ScenarioStep step = {};
    int first = 0;
    long number = 0;
    if (ParseNumber(words[0], 10, 100000000L, number)) {
        step.atMs = static_cast<double>(number);
        first = 1;
    }
    if (first >= count)
        return Fail(state, "a time with no command");
    const char* name = words[first];
    const int argumentCount = count - first - 1;
    for (const Command& command : kCommands) {
        if (std::strcmp(name, command.name) != 0)
            continue;
        step.kind = command.kind;
        if (command.kind == StepKind::kKind && argumentCount == 1 &&
            std::strcmp(words[first + 1], "mode") == 0) {
            step.values[0] = -1;
            return AddStep(state, step);
        }
        if (argumentCount != command.argumentCount)
            return Fail(state, "'%s' takes %d values, not %d", name, command.argumentCount,
                        argumentCount);
        for (int i = 0; i < argumentCount; ++i) {
            if (!ParseNumber(words[first + 1 + i], command.base, command.maxValue, number))
                return Fail(state, "'%s' is no value for '%s'", words[first + 1 + i], name);
            if (command.kind == StepKind::kReport)
                step.report[i] = static_cast<uint8_t>(number);
            else
                step.values[i] = static_cast<int>(number);
        }
        if (command.kind == StepKind::kRate && step.values[0] == 0)
            return Fail(state, "the rate must be at least 1");
        return AddStep(state, step);
    }
    return Fail(state, "unknown command '%s'", name);
}

} // namespace

bool ParseScenario(const char* text, Scenario& scenario, char* error, int errorSize) {
    scenario.absent = false;
    scenario.logSummaryOnly = false;
    scenario.refuseWriteFile = false;
    scenario.refuseInexactLength = false;
    scenario.refuseEvery = false;
    scenario.laterModel = false;
    scenario.stepCount = 0;
    ParseState state = {scenario, error, errorSize, 0, 0, -1.0};
    char line[kLogLineSize];
    for (const char* at = text; *at;) {
        const char* end = std::strchr(at, '\n');
        const size_t length = end ? static_cast<size_t>(end - at) : std::strlen(at);
        ++state.lineNumber;
        if (length >= sizeof line)
            return Fail(state, "longer than %d characters", static_cast<int>(sizeof line - 1));
        std::memcpy(line, at, length);
        line[length] = '\0';
        if (!ParseLine(line, state))
            return false;
        at += length + (end ? 1 : 0);
    }
    return true;
}

Conditions ConditionsAt(const Scenario& scenario, double atMs) {
    Conditions conditions = {};
    conditions.rate = 100;
    for (int i = 0; i < 4; ++i)
        conditions.irX[i] = conditions.irY[i] = 1023;
    conditions.kind = -1;
    conditions.flow = Flow::kSend;

    for (int s = 0; s < scenario.stepCount && scenario.steps[s].atMs <= atMs; ++s) {
        const ScenarioStep& step = scenario.steps[s];
        const int* v = step.values;
        switch (step.kind) {
        case StepKind::kRate:
            conditions.rate = v[0];
            break;
        case StepKind::kIr:
            conditions.demo = false;
            conditions.report = nullptr;
            for (int i = 0; i < 4; ++i) {
                conditions.irX[i] = v[2 * i];
                conditions.irY[i] = v[2 * i + 1];
            }
            break;
        case StepKind::kDemo:
            conditions.demo = true;
            conditions.report = nullptr;
            break;
        case StepKind::kButtons:
            conditions.buttons1 = static_cast<uint8_t>(v[0]);
            conditions.buttons2 = static_cast<uint8_t>(v[1]);
            break;
        case StepKind::kAccel:
            conditions.accelFixed = true;
            for (int i = 0; i < 3; ++i)
                conditions.accel[i] = static_cast<uint8_t>(v[i]);
            break;
        case StepKind::kKind:
            conditions.kind = v[0];
            break;
        case StepKind::kReport:
            conditions.report = step.report;
            break;
        case StepKind::kSilent:
            conditions.flow = Flow::kSilent;
            break;
        case StepKind::kGarbage:
            conditions.flow = Flow::kGarbage;
            break;
        case StepKind::kFail:
            conditions.flow = Flow::kFail;
            break;
        case StepKind::kOff:
            conditions.flow = Flow::kOff;
            break;
        case StepKind::kSend:
            conditions.flow = Flow::kSend;
            break;
        }
    }
    return conditions;
}
