#include "framework/IniFiles.h"

#include "platform/Profile.h"

#include <algorithm>
#include <climits>

std::optional<int> ParseIniInteger(const std::string& text) {
    size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    bool hex = false;
    if (i < text.size() && text[i] == '$') {
        hex = true;
        ++i;
    } else if (text.size() - i > 2 && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
        hex = true;
        i += 2;
    }
    if (i >= text.size()) return std::nullopt;
    unsigned long long value = 0;
    for (; i < text.size(); ++i) {
        char c = text[i];
        int digit;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (hex && c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else if (hex && c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        else
            return std::nullopt;
        value = value * (hex ? 16 : 10) + static_cast<unsigned>(digit);
        if (value > 0xFFFFFFFFull) return std::nullopt;
    }
    long long result;
    if (hex) {
        // Hexadecimal text names the 32 bits: $FFFFFFFF is -1.
        result = static_cast<std::int32_t>(static_cast<std::uint32_t>(value));
    } else {
        if (value > static_cast<unsigned long long>(INT_MAX) + (negative ? 1 : 0)) return std::nullopt;
        result = static_cast<long long>(value);
    }
    if (negative) result = -result;
    if (result < INT_MIN || result > INT_MAX) return std::nullopt;
    return static_cast<int>(result);
}

std::string TIniFile::ReadString(const std::string& section, const std::string& key, const std::string& def) const {
    char buffer[2048];
    DWORD n = GetPrivateProfileStringA(section.c_str(), key.c_str(), def.c_str(), buffer, sizeof buffer,
                                       FileName.c_str());
    return std::string(buffer, n);
}

int TIniFile::ReadInteger(const std::string& section, const std::string& key, int def) const {
    return ParseIniInteger(ReadString(section, key, "")).value_or(def);
}

bool TIniFile::ReadBool(const std::string& section, const std::string& key, bool def) const {
    return ReadInteger(section, key, def ? 1 : 0) != 0;
}

void TIniFile::WriteString(const std::string& section, const std::string& key, const std::string& value) {
    if (!WritePrivateProfileStringA(section.c_str(), key.c_str(), value.c_str(), FileName.c_str()))
        RaiseWriteError();
}

void TIniFile::WriteInteger(const std::string& section, const std::string& key, int value) {
    WriteString(section, key, std::to_string(value));
}

void TIniFile::WriteBool(const std::string& section, const std::string& key, bool value) {
    WriteString(section, key, value ? "1" : "0");
}

void TIniFile::UpdateFile() {
    if (!WritePrivateProfileStringA(nullptr, nullptr, nullptr, FileName.c_str())) RaiseWriteError();
}

void TIniFile::RaiseWriteError() const { throw EIniFileException(FileName + " に書き込めません"); }

std::string TMemIniFile::ReadString(const std::string& section, const std::string& key, const std::string& def) const {
    // As a read into TIniFile's 2048-byte buffer: at most 2047 bytes, and a
    // default trimmed of blanks.
    constexpr size_t kLimit = 2047;
    if (const std::string* value = FValues.Find(section, key)) return value->substr(0, kLimit);
    auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; };
    size_t b = 0, e = def.size();
    while (b < e && blank(def[b])) ++b;
    while (e > b && blank(def[e - 1])) --e;
    return def.substr(b, std::min(e - b, kLimit));
}

int TMemIniFile::ReadInteger(const std::string& section, const std::string& key, int def) const {
    return ParseIniInteger(ReadString(section, key, "")).value_or(def);
}

bool TMemIniFile::ReadBool(const std::string& section, const std::string& key, bool def) const {
    return ReadInteger(section, key, def ? 1 : 0) != 0;
}
