// What the login and the folder check send: quoted strings and folder names
// in modified UTF-7.
#include "imap/ImapResponse.h"

std::optional<std::string> ImapQuoted(std::string_view text) {
    std::string quoted = "\"";
    for (char c : text) {
        unsigned char u = static_cast<unsigned char>(c);
        if (u == 0 || u == '\r' || u == '\n' || u >= 0x80) return std::nullopt;
        if (c == '"' || c == '\\') quoted += '\\';
        quoted += c;
    }
    quoted += '"';
    return quoted;
}

namespace {

// The next code point of UTF-8 text, or -1 when the bytes at `i` are not
// valid UTF-8 (truncated, overlong, a surrogate, beyond U+10FFFF).
long NextCodePoint(std::string_view s, std::size_t& i) {
    unsigned char b = static_cast<unsigned char>(s[i++]);
    if (b < 0x80) return b;
    int more;
    long cp;
    long least;
    if ((b & 0xE0) == 0xC0) {
        more = 1, cp = b & 0x1F, least = 0x80;
    } else if ((b & 0xF0) == 0xE0) {
        more = 2, cp = b & 0x0F, least = 0x800;
    } else if ((b & 0xF8) == 0xF0) {
        more = 3, cp = b & 0x07, least = 0x10000;
    } else {
        return -1;
    }
    for (; more > 0; --more) {
        if (i >= s.size()) return -1;
        unsigned char c = static_cast<unsigned char>(s[i++]);
        if ((c & 0xC0) != 0x80) return -1;
        cp = (cp << 6) | (c & 0x3F);
    }
    if (cp < least || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return -1;
    return cp;
}

}  // namespace

// Printable ASCII stands for itself ("&" as "&-"); every run of other
// characters goes as its UTF-16 units in Base64 with "," for "/", without
// padding, between "&" and "-".
std::optional<std::string> ImapMailboxUtf7(std::string_view utf8) {
    static const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+,";
    std::string out;
    std::uint32_t bits = 0;
    int held = 0;  // bits waiting in `bits`
    bool shifted = false;
    auto unit = [&](std::uint32_t u) {
        bits = (bits << 16) | u;
        held += 16;
        while (held >= 6) {
            held -= 6;
            out += alphabet[(bits >> held) & 0x3F];
        }
        bits &= (1u << held) - 1;
    };
    auto unshift = [&] {
        if (!shifted) return;
        if (held > 0) out += alphabet[(bits << (6 - held)) & 0x3F];
        bits = 0;
        held = 0;
        out += '-';
        shifted = false;
    };
    std::size_t i = 0;
    while (i < utf8.size()) {
        long cp = NextCodePoint(utf8, i);
        if (cp < 0) return std::nullopt;
        if (cp >= 0x20 && cp <= 0x7E) {
            unshift();
            out += static_cast<char>(cp);
            if (cp == '&') out += '-';
            continue;
        }
        if (!shifted) {
            out += '&';
            shifted = true;
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            unit(0xD800 + (static_cast<std::uint32_t>(cp) >> 10));
            unit(0xDC00 + (static_cast<std::uint32_t>(cp) & 0x3FF));
        } else {
            unit(static_cast<std::uint32_t>(cp));
        }
    }
    unshift();
    return out;
}
