// Small text helpers over bytes, ASCII only: no locale, every byte outside
// the ASCII letters and digits taken as it is. The INI, version, socket and
// POP3 code share them.
#pragma once

#include <string>
#include <string_view>

// Text comparison the way the desktop's profile and resource functions do
// it: ASCII letters without regard to case, every other byte as it is.
inline bool EqualNoCaseAscii(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        unsigned char x = static_cast<unsigned char>(a[i]);
        unsigned char y = static_cast<unsigned char>(b[i]);
        if (x >= 'A' && x <= 'Z') x += 32;
        if (y >= 'A' && y <= 'Z') y += 32;
        if (x != y) return false;
    }
    return true;
}

// The text without the bytes with codes up to 32 (space and the control
// characters) at either end.
inline std::string Trim(std::string_view s) {
    size_t b = 0;
    size_t e = s.size();
    while (b < e && static_cast<unsigned char>(s[b]) <= ' ') ++b;
    while (e > b && static_cast<unsigned char>(s[e - 1]) <= ' ') --e;
    return std::string(s.substr(b, e - b));
}

inline bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// The text with the ASCII capitals A-Z made small; other bytes unchanged.
inline std::string LowerAscii(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}
