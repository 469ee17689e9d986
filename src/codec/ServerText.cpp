#include "codec/ServerText.h"

#include <algorithm>

namespace {

// The length of the well-formed UTF-8 sequence at s[i] and its code point;
// 0 when the bytes there are not one (overlong forms and surrogates
// included).
std::size_t DecodeUtf8(std::string_view s, std::size_t i, char32_t& cp) {
    const auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[i + k]); };
    const unsigned char c = b(0);
    std::size_t n;
    char32_t min;
    if (c < 0x80) {
        cp = c;
        return 1;
    } else if (c >= 0xC2 && c <= 0xDF) {
        n = 2, cp = c & 0x1F, min = 0x80;
    } else if (c >= 0xE0 && c <= 0xEF) {
        n = 3, cp = c & 0x0F, min = 0x800;
    } else if (c >= 0xF0 && c <= 0xF4) {
        n = 4, cp = c & 0x07, min = 0x10000;
    } else {
        return 0;
    }
    if (i + n > s.size()) return 0;
    for (std::size_t k = 1; k < n; ++k) {
        if ((b(k) & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (b(k) & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    return n;
}

bool Unshown(char32_t cp) {
    return cp < 0x20 || (cp >= 0x7F && cp <= 0x9F) ||   // C0, DEL, C1
           cp == 0x061C || cp == 0x200E || cp == 0x200F ||  // bidirectional marks
           (cp >= 0x202A && cp <= 0x202E) ||               // embeddings and overrides
           (cp >= 0x2066 && cp <= 0x2069);                  // isolates
}

}  // namespace

std::string CleanServerText(std::string_view Text, std::size_t Limit) {
    std::string out;
    out.reserve(std::min(Text.size(), Limit));
    for (std::size_t i = 0; i < Text.size();) {
        char32_t cp = 0;
        std::size_t n = DecodeUtf8(Text, i, cp);
        std::string_view piece;
        if (n == 0) {
            piece = kUnshownMark;
            n = 1;
        } else if (cp == '\t' || cp == '\r' || cp == '\n') {
            piece = " ";
        } else if (Unshown(cp)) {
            piece = kUnshownMark;
        } else {
            piece = Text.substr(i, n);
        }
        if (out.size() + piece.size() > Limit) break;
        out += piece;
        i += n;
    }
    return out;
}
