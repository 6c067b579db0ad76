// Writing and reading the call log's line.
#include "hid/log_line.h"

#include <cstring>

namespace {

int AppendUnsigned(char* text, unsigned long long value) {
    char digits[24];
    int count = 0;
    do {
        digits[count++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value);
    for (int i = 0; i < count; ++i)
        text[i] = digits[count - 1 - i];
    return count;
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

int DigitValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return 99;
}

} // namespace

void FormatLogTime(uint64_t microseconds, char* text) {
    int at = AppendUnsigned(text, microseconds / 1000);
    const unsigned fraction = static_cast<unsigned>(microseconds % 1000);
    text[at++] = '.';
    text[at++] = static_cast<char>('0' + fraction / 100);
    text[at++] = static_cast<char>('0' + fraction / 10 % 10);
    text[at++] = static_cast<char>('0' + fraction % 10);
    text[at] = '\0';
}

int FormatLogLineStart(char* line, unsigned long long pid, unsigned long long tid,
                       uint64_t microseconds) {
    int at = AppendUnsigned(line, pid);
    line[at++] = ' ';
    at += AppendUnsigned(line + at, tid);
    line[at++] = ' ';
    FormatLogTime(microseconds, line + at);
    at += static_cast<int>(std::strlen(line + at));
    line[at++] = ' ';
    line[at] = '\0';
    return at;
}

void FormatLogReport(const uint8_t* bytes, int length, char* text) {
    constexpr char kDigits[] = "0123456789ABCDEF";
    if (length > kLoggedReportLength)
        length = kLoggedReportLength;
    int at = 0;
    for (int i = 0; i < length; ++i) {
        if (i)
            text[at++] = ' ';
        text[at++] = kDigits[bytes[i] >> 4];
        text[at++] = kDigits[bytes[i] & 15];
    }
    text[at] = '\0';
}

int SplitWords(char* line, char* words[], int maxWords) {
    int count = 0;
    for (char* at = line; *at && count < maxWords;) {
        while (IsBlank(*at))
            *at++ = '\0';
        if (!*at)
            break;
        words[count++] = at;
        while (*at && !IsBlank(*at))
            ++at;
    }
    return count;
}

bool ParseNumber(const char* word, int base, long maxValue, long& value) {
    value = 0;
    if (!*word)
        return false;
    for (; *word; ++word) {
        const int digit = DigitValue(*word);
        if (digit >= base)
            return false;
        value = value * base + digit;
        if (value > maxValue)
            return false;
    }
    return true;
}

bool ParseDecimal(const char* word, double& value) {
    value = 0;
    double scale = 0;
    bool digits = false;
    for (; *word; ++word) {
        if (*word == '.' && scale == 0) {
            scale = 1;
            continue;
        }
        const int digit = DigitValue(*word);
        if (digit >= 10)
            return false;
        digits = true;
        if (scale == 0) {
            value = value * 10 + digit;
        } else {
            scale /= 10;
            value += digit * scale;
        }
    }
    return digits;
}

bool ParseLogLine(char* line, LogLine& parsed) {
    parsed = {};
    parsed.text = "";
    // The text may hold anything: it is cut off before the words are split.
    if (char* text = std::strstr(line, " : ")) {
        *text = '\0';
        text += 3;
        char* end = text + std::strlen(text);
        while (end > text && IsBlank(end[-1]))
            *--end = '\0';
        parsed.text = text;
    }
    char* words[4 + 2 + 2 + kMaxLogWords];
    const int count = SplitWords(line, words, sizeof words / sizeof words[0]);
    long pid = 0;
    long tid = 0;
    if (count < 6 || !ParseNumber(words[0], 10, 0x7FFFFFFF, pid) ||
        !ParseNumber(words[1], 10, 0x7FFFFFFF, tid) || !ParseDecimal(words[2], parsed.ms))
        return false;
    parsed.pid = static_cast<unsigned long>(pid);
    parsed.tid = static_cast<unsigned long>(tid);
    parsed.call = words[3];
    int arrow = 4;
    while (arrow < count && std::strcmp(words[arrow], "->") != 0)
        ++arrow;
    if (arrow == count || arrow > 6)
        return false;
    if (arrow == 5) {
        long handle = 0;
        const bool negative = words[4][0] == '-';
        if (ParseNumber(words[4] + (negative ? 1 : 0), 10, 0x7FFFFFFF, handle))
            parsed.handle = negative ? -handle : handle;
    }
    int next = arrow + 1;
    if (next < count) {
        long result = 0;
        const bool negative = words[next][0] == '-';
        if (ParseNumber(words[next] + (negative ? 1 : 0), 10, 0x7FFFFFFF, result)) {
            parsed.hasResult = true;
            parsed.result = negative ? -result : result;
            ++next;
        }
    }
    for (; next < count && parsed.valueCount < kMaxLogWords; ++next)
        parsed.values[parsed.valueCount++] = words[next];
    return true;
}

const char* LogValue(const LogLine& line, const char* name) {
    for (int i = 0; i + 1 < line.valueCount; ++i)
        if (std::strcmp(line.values[i], name) == 0)
            return line.values[i + 1];
    return nullptr;
}

bool LogNumber(const LogLine& line, const char* name, double& value) {
    const char* word = LogValue(line, name);
    return word && ParseDecimal(word, value);
}
