#include "codec/Base64.h"

#include <array>

namespace {

constexpr char kTable[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=";
constexpr int kPad = 64;

// Index of every byte in the table, -1 for bytes outside it.
constexpr std::array<signed char, 256> makeIndex() {
    std::array<signed char, 256> index{};
    for (auto& v : index) v = -1;
    for (int i = 0; i < 65; ++i) index[static_cast<unsigned char>(kTable[i])] = static_cast<signed char>(i);
    return index;
}
constexpr auto kIndex = makeIndex();

}  // namespace

std::string TBase64::Encode(const std::string& data) const {
    std::string out;
    out.reserve((data.size() + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 3 <= data.size(); i += 3) {
        unsigned b0 = static_cast<unsigned char>(data[i]);
        unsigned b1 = static_cast<unsigned char>(data[i + 1]);
        unsigned b2 = static_cast<unsigned char>(data[i + 2]);
        out += kTable[b0 >> 2];
        out += kTable[((b0 & 3) << 4) | (b1 >> 4)];
        out += kTable[((b1 & 15) << 2) | (b2 >> 6)];
        out += kTable[b2 & 63];
    }
    size_t rest = data.size() - i;
    if (rest == 1) {
        unsigned b0 = static_cast<unsigned char>(data[i]);
        out += kTable[b0 >> 2];
        out += kTable[(b0 & 3) << 4];
    } else if (rest == 2) {
        unsigned b0 = static_cast<unsigned char>(data[i]);
        unsigned b1 = static_cast<unsigned char>(data[i + 1]);
        out += kTable[b0 >> 2];
        out += kTable[((b0 & 3) << 4) | (b1 >> 4)];
        out += kTable[(b1 & 15) << 2];
    }
    while (out.size() % 4 != 0) out += '=';
    return out;
}

std::string TBase64::Decode(const std::string& text) const {
    std::string out;
    out.reserve(text.size() / 4 * 3 + 2);
    unsigned char a1 = 0, a2 = 0, a3 = 0;
    int p = 1;
    for (char ch : text) {
        int v = kIndex[static_cast<unsigned char>(ch)];
        if (v == kPad) {
            // The bits held for this position are kept when they are not zero.
            unsigned char held = p == 2 ? a1 : p == 3 ? a2 : p == 4 ? a3 : 0;
            if (held != 0) out += static_cast<char>(held);
            break;
        }
        if (v < 0) v = 63;  // outside the alphabet: read as "/"
        switch (p) {
        case 1:
            a1 = static_cast<unsigned char>((v << 2) & 255);
            p = 2;
            break;
        case 2:
            a1 = static_cast<unsigned char>(a1 | ((v & 48) >> 4));
            out += static_cast<char>(a1);
            a2 = static_cast<unsigned char>((v & 15) << 4);
            p = 3;
            break;
        case 3:
            a2 = static_cast<unsigned char>(a2 | ((v & 60) >> 2));
            out += static_cast<char>(a2);
            a3 = static_cast<unsigned char>((v & 3) << 6);
            p = 4;
            break;
        default:
            a3 = static_cast<unsigned char>(a3 | (v & 63));
            out += static_cast<char>(a3);
            p = 1;
            break;
        }
    }
    return out;
}
