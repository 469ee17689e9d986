#include "pop3/MD5.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

// Input pieces of Md5DigestHex.
constexpr std::size_t kWorkSize = 16384;

const unsigned char kPadding[64] = {0x80};

inline std::uint32_t F(std::uint32_t x, std::uint32_t y, std::uint32_t z) { return (x & y) | (~x & z); }
inline std::uint32_t G(std::uint32_t x, std::uint32_t y, std::uint32_t z) { return (x & z) | (y & ~z); }
inline std::uint32_t H(std::uint32_t x, std::uint32_t y, std::uint32_t z) { return x ^ y ^ z; }
inline std::uint32_t I(std::uint32_t x, std::uint32_t y, std::uint32_t z) { return y ^ (x | ~z); }

inline std::uint32_t Rotl(std::uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

// The sixty-four constants: floor(abs(sin(i + 1)) * 2^32).
const std::uint32_t kT[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391,
};

// Shift amounts of each round, four per round.
const int kShift[4][4] = {{7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};

void Transform(std::uint32_t state[4], const unsigned char block[64]) {
    std::uint32_t x[16];
    for (int i = 0; i < 16; ++i)
        x[i] = std::uint32_t(block[i * 4]) | std::uint32_t(block[i * 4 + 1]) << 8 |
               std::uint32_t(block[i * 4 + 2]) << 16 | std::uint32_t(block[i * 4 + 3]) << 24;
    std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    for (int i = 0; i < 64; ++i) {
        std::uint32_t f;
        int k;
        switch (i / 16) {
            case 0: f = F(b, c, d); k = i; break;
            case 1: f = G(b, c, d); k = (5 * i + 1) % 16; break;
            case 2: f = H(b, c, d); k = (3 * i + 5) % 16; break;
            default: f = I(b, c, d); k = (7 * i) % 16; break;
        }
        std::uint32_t next = b + Rotl(a + f + x[k] + kT[i], kShift[i / 16][i % 4]);
        a = d;
        d = c;
        c = b;
        b = next;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    std::memset(x, 0, sizeof x);
}

}  // namespace

void Md5Init(Md5Context& context) {
    std::memset(&context, 0, sizeof context);
    context.State[0] = 0x67452301;
    context.State[1] = 0xefcdab89;
    context.State[2] = 0x98badcfe;
    context.State[3] = 0x10325476;
}

void Md5Update(Md5Context& context, const void* data, std::size_t length) {
    const auto* input = static_cast<const unsigned char*>(data);
    std::size_t index = (context.Count[0] >> 3) & 0x3F;
    // Bit count modulo 2^64, kept as two words with the carry into the high one.
    std::uint64_t bits = (std::uint64_t(context.Count[1]) << 32 | context.Count[0]) + (std::uint64_t(length) << 3);
    context.Count[0] = std::uint32_t(bits);
    context.Count[1] = std::uint32_t(bits >> 32);

    std::size_t partLen = 64 - index;
    std::size_t i = 0;
    if (length >= partLen) {
        std::memcpy(&context.Buffer[index], input, partLen);
        Transform(context.State, context.Buffer);
        for (i = partLen; i + 63 < length; i += 64) Transform(context.State, &input[i]);
        index = 0;
    }
    if (length > i) std::memcpy(&context.Buffer[index], &input[i], length - i);
}

void Md5Final(unsigned char digest[16], Md5Context& context) {
    unsigned char bits[8];
    for (int i = 0; i < 8; ++i) bits[i] = static_cast<unsigned char>(context.Count[i / 4] >> (8 * (i % 4)));
    std::size_t index = (context.Count[0] >> 3) & 0x3F;
    std::size_t padLen = index < 56 ? 56 - index : 120 - index;
    Md5Update(context, kPadding, padLen);
    Md5Update(context, bits, 8);
    for (int i = 0; i < 16; ++i) digest[i] = static_cast<unsigned char>(context.State[i / 4] >> (8 * (i % 4)));
    std::memset(&context, 0, sizeof context);
}

std::string Md5DigestHex(const void* data, std::size_t length) {
    static const char kHex[] = "0123456789ABCDEF";
    Md5Context context;
    Md5Init(context);
    const auto* input = static_cast<const unsigned char*>(data);
    if (length > 0) {
        std::vector<unsigned char> work(kWorkSize);
        for (std::size_t done = 0; done < length;) {
            std::size_t n = std::min(kWorkSize, length - done);
            std::memcpy(work.data(), input + done, n);
            Md5Update(context, work.data(), n);
            done += n;
        }
    }
    unsigned char digest[16];
    Md5Final(digest, context);
    std::string text(32, '0');
    for (int i = 0; i < 16; ++i) {
        text[2 * i] = kHex[digest[i] >> 4];
        text[2 * i + 1] = kHex[digest[i] & 0x0F];
    }
    return text;
}

std::string Md5StringHex(const std::string& text) { return Md5DigestHex(text.data(), text.size()); }
