// Parsing of scenario files and the conditions they set at each moment.
#include "simremote/scenario.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

struct Command {
    const char* name;
    StepKind kind;
    int argumentCount;
    int base; // of the arguments
    int maxValue;
};

constexpr Command kCommands[] = {
    {"rate", StepKind::kRate, 1, 10, 100000}, {"ir", StepKind::kIr, 8, 10, 1023},
    {"demo", StepKind::kDemo, 0, 10, 0},      {"buttons", StepKind::kButtons, 2, 16, 0xFF},
    {"accel", StepKind::kAccel, 3, 16, 0xFF}, {"kind", StepKind::kKind, 1, 16, 0xFF},
    {"silent", StepKind::kSilent, 0, 10, 0},  {"garbage", StepKind::kGarbage, 0, 10, 0},
    {"fail", StepKind::kFail, 0, 10, 0},      {"send", StepKind::kSend, 0, 10, 0},
};

// Splits a line into words in place; returns how many.
int SplitWords(char* line, char* words[], int maxWords) {
    int count = 0;
    for (char* word = std::strtok(line, " \t\r"); word && count < maxWords;
         word = std::strtok(nullptr, " \t\r"))
        words[count++] = word;
    return count;
}

bool ParseNumber(const char* word, int base, long maxValue, long& value) {
    char* end = nullptr;
    value = std::strtol(word, &end, base);
    return end != word && *end == '\0' && value >= 0 && value <= maxValue;
}

bool ParseLine(char* line, Scenario& scenario, char* error, int errorSize, int lineNumber) {
    if (char* comment = std::strchr(line, '#'))
        *comment = '\0';
    char* words[16];
    int count = SplitWords(line, words, 16);
    if (count == 0)
        return true;

    ScenarioStep step = {};
    int first = 0;
    long number = 0;
    if (ParseNumber(words[0], 10, 100000000L, number)) {
        step.atMs = static_cast<double>(number);
        first = 1;
    }
    if (first >= count) {
        std::snprintf(error, errorSize, "line %d: a time with no command", lineNumber);
        return false;
    }
    const char* name = words[first];
    const int argumentCount = count - first - 1;
    if (std::strcmp(name, "absent") == 0 && argumentCount == 0) {
        scenario.absent = true;
        return true;
    }
    if (std::strcmp(name, "log") == 0 && argumentCount == 1 &&
        std::strcmp(words[first + 1], "summary") == 0) {
        scenario.logSummaryOnly = true;
        return true;
    }
    for (const Command& command : kCommands) {
        if (std::strcmp(name, command.name) != 0)
            continue;
        step.kind = command.kind;
        if (command.kind == StepKind::kKind && argumentCount == 1 &&
            std::strcmp(words[first + 1], "mode") == 0) {
            step.values[0] = -1;
        } else {
            if (argumentCount != command.argumentCount) {
                std::snprintf(error, errorSize, "line %d: '%s' takes %d values, not %d", lineNumber,
                              name, command.argumentCount, argumentCount);
                return false;
            }
            for (int i = 0; i < argumentCount; ++i) {
                if (!ParseNumber(words[first + 1 + i], command.base, command.maxValue, number)) {
                    std::snprintf(error, errorSize, "line %d: '%s' is no value for '%s'",
                                  lineNumber, words[first + 1 + i], name);
                    return false;
                }
                step.values[i] = static_cast<int>(number);
            }
            if (command.kind == StepKind::kRate && step.values[0] == 0) {
                std::snprintf(error, errorSize, "line %d: the rate must be at least 1", lineNumber);
                return false;
            }
        }
        if (scenario.stepCount > 0 && step.atMs < scenario.steps[scenario.stepCount - 1].atMs) {
            std::snprintf(error, errorSize, "line %d: steps must not go back in time", lineNumber);
            return false;
        }
        if (scenario.stepCount == kMaxScenarioSteps) {
            std::snprintf(error, errorSize, "line %d: more than %d steps", lineNumber,
                          kMaxScenarioSteps);
            return false;
        }
        scenario.steps[scenario.stepCount++] = step;
        return true;
    }
    std::snprintf(error, errorSize, "line %d: unknown command '%s'", lineNumber, name);
    return false;
}

} // namespace

bool ParseScenario(const char* text, Scenario& scenario, char* error, int errorSize) {
    scenario.absent = false;
    scenario.logSummaryOnly = false;
    scenario.stepCount = 0;
    char line[512];
    int lineNumber = 0;
    for (const char* at = text; *at;) {
        const char* end = std::strchr(at, '\n');
        const size_t length = end ? static_cast<size_t>(end - at) : std::strlen(at);
        ++lineNumber;
        if (length >= sizeof line) {
            std::snprintf(error, errorSize, "line %d: longer than %d characters", lineNumber,
                          static_cast<int>(sizeof line - 1));
            return false;
        }
        std::memcpy(line, at, length);
        line[length] = '\0';
        if (!ParseLine(line, scenario, error, errorSize, lineNumber))
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
            for (int i = 0; i < 4; ++i) {
                conditions.irX[i] = v[2 * i];
                conditions.irY[i] = v[2 * i + 1];
            }
            break;
        case StepKind::kDemo:
            conditions.demo = true;
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
        case StepKind::kSilent:
            conditions.flow = Flow::kSilent;
            break;
        case StepKind::kGarbage:
            conditions.flow = Flow::kGarbage;
            break;
        case StepKind::kFail:
            conditions.flow = Flow::kFail;
            break;
        case StepKind::kSend:
            conditions.flow = Flow::kSend;
            break;
        }
    }
    return conditions;
}
