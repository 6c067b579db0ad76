// Report bytes as the tests compare them, and as the logs write them: "12 00 31".
#pragma once

#include <cstdio>
#include <string>

inline std::string Hex(const unsigned char* bytes, int count) {
    std::string text;
    char byte[4];
    for (int i = 0; i < count; ++i) {
        std::snprintf(byte, sizeof byte, i ? " %02X" : "%02X", bytes[i]);
        text += byte;
    }
    return text;
}
