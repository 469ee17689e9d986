#include "pop3/Pop3Replies.h"

#include "platform/AsciiText.h"

#include <cstdint>

namespace {

bool IsBlank(char c) { return c == '\t' || c == '\n' || c == '\r' || c == ' '; }

bool IsIdChar(char c) { return static_cast<unsigned char>(c) >= 33 && static_cast<unsigned char>(c) <= 126; }

// Skips blanks, then reads decimal digits in 32-bit arithmetic (wrapping);
// no sign. `i` ends after the digits.
int ReadNumber(const std::string& s, std::size_t& i) {
    while (i < s.size() && IsBlank(s[i])) ++i;
    std::uint32_t value = 0;
    while (i < s.size() && IsDigit(s[i])) value = value * 10 + static_cast<std::uint32_t>(s[i++] - '0');
    return static_cast<std::int32_t>(value);
}

}  // namespace

std::string ApopTimeStamp(const std::string& Greeting) {
    std::size_t open = Greeting.find('<');
    if (open == std::string::npos) return "";
    std::size_t close = Greeting.find('>', open);
    if (close == std::string::npos || close == open + 1) return "";
    bool at = false;
    for (std::size_t i = open + 1; i < close; ++i) {
        if (!IsIdChar(Greeting[i]) || Greeting[i] == '<') return "";
        if (Greeting[i] == '@') at = true;
    }
    return at ? Greeting.substr(open, close - open + 1) : "";
}

bool TwoNumbers(const std::string& Text, int& First, int& Second) {
    std::size_t i = 0;
    while (i < Text.size() && !IsDigit(Text[i])) ++i;
    if (i >= Text.size()) {
        First = Second = 0;
        return false;
    }
    First = ReadNumber(Text, i);
    while (i < Text.size() && IsBlank(Text[i])) ++i;
    if (i >= Text.size()) {
        First = Second = 0;
        return false;
    }
    Second = IsDigit(Text[i]) ? ReadNumber(Text, i) : 0;
    return true;
}

bool NumbersFit(const std::string& Text) {
    // The numbers TwoNumbers reads: the first digits, then the digits after
    // the blanks that follow them.
    std::size_t i = 0;
    while (i < Text.size() && !IsDigit(Text[i])) ++i;
    for (int n = 0; n < 2 && i < Text.size(); ++n) {
        if (i > 0 && Text[i - 1] == '-') return false;
        std::uint64_t value = 0;
        for (; i < Text.size() && IsDigit(Text[i]); ++i) {
            value = value * 10 + static_cast<std::uint64_t>(Text[i] - '0');
            if (value > static_cast<std::uint64_t>(INT32_MAX)) return false;
        }
        while (i < Text.size() && IsBlank(Text[i])) ++i;
        if (i + 1 < Text.size() && Text[i] == '-' && IsDigit(Text[i + 1])) return false;
        if (i >= Text.size() || !IsDigit(Text[i])) break;
    }
    return true;
}

bool IsUidlListingLine(const std::string& Line) {
    std::size_t i = 0;
    std::uint64_t number = 0;
    while (i < Line.size() && IsDigit(Line[i])) {
        number = number * 10 + static_cast<std::uint64_t>(Line[i++] - '0');
        if (number > INT32_MAX) return false;
    }
    if (i == 0 || number == 0 || i >= Line.size() || Line[i] != ' ') return false;
    while (i < Line.size() && Line[i] == ' ') ++i;
    std::size_t b = i;
    while (i < Line.size() && IsIdChar(Line[i])) ++i;
    return i > b && i - b <= kUidLimit;
}

void NumberAndUid(const std::string& Text, int& Number, std::string& Uid) {
    Number = 0;
    Uid.clear();
    std::size_t i = 0;
    while (i < Text.size() && !IsDigit(Text[i])) ++i;
    if (i >= Text.size()) return;
    Number = ReadNumber(Text, i);
    while (i < Text.size() && Text[i] == ' ') ++i;
    std::size_t b = i;
    while (i < Text.size() && IsIdChar(Text[i])) ++i;
    Uid = Text.substr(b, i - b);
}
