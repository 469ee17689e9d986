#include "pop3/MD5.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cctype>
#include <random>
#include <string>

namespace {

// OpenSSL's MD5 as the reference, in the same upper-case text form.
std::string oracle(const std::string& data) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    EVP_Digest(data.data(), data.size(), md, &len, EVP_md5(), nullptr);
    static const char* hex = "0123456789ABCDEF";
    std::string s;
    for (unsigned int i = 0; i < len; ++i) {
        s += hex[md[i] >> 4];
        s += hex[md[i] & 15];
    }
    return s;
}

std::string randomBytes(std::mt19937& rng, std::size_t n) {
    std::uniform_int_distribution<int> byte(0, 255);
    std::string s(n, '\0');
    for (auto& c : s) c = static_cast<char>(byte(rng));
    return s;
}

}  // namespace

TEST(MD5, Rfc1321TestSuiteInUpperCase) {
    EXPECT_EQ(Md5StringHex(""), "D41D8CD98F00B204E9800998ECF8427E");
    EXPECT_EQ(Md5StringHex("a"), "0CC175B9C0F1B6A831C399E269772661");
    EXPECT_EQ(Md5StringHex("abc"), "900150983CD24FB0D6963F7D28E17F72");
    EXPECT_EQ(Md5StringHex("message digest"), "F96B697D7CB7938D525A2F31AAF161D0");
    EXPECT_EQ(Md5StringHex("abcdefghijklmnopqrstuvwxyz"), "C3FCD3D76192E4007DFB496CCA67E13B");
    EXPECT_EQ(Md5StringHex("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
              "D174AB98D277D9F5A5611C2C9F419D9F");
    EXPECT_EQ(Md5StringHex("1234567890123456789012345678901234567890"
                           "1234567890123456789012345678901234567890"),
              "57EDF4A22BE3C955AC49DA2E2107B67A");
}

TEST(MD5, Rfc1939ApopExample) {
    // The APOP example of the POP3 standard: stamp followed by the secret.
    std::string hex = Md5StringHex("<1896.697170952@dbc.mtview.ca.us>tanstaaf");
    for (auto& c : hex) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    EXPECT_EQ(hex, "c4c9334bac560ecc979e58001b3e22fb");
}

TEST(MD5, MatchesOpenSslAcrossPadAndPieceBoundaries) {
    std::mt19937 rng(1321);
    for (std::size_t n = 0; n <= 200; ++n) {
        std::string s = randomBytes(rng, n);
        ASSERT_EQ(Md5StringHex(s), oracle(s)) << "length " << n;
    }
    // Around the 16384-byte pieces Md5DigestHex feeds.
    for (std::size_t n = 16383; n <= 16390; ++n) {
        std::string s = randomBytes(rng, n);
        ASSERT_EQ(Md5StringHex(s), oracle(s)) << "length " << n;
    }
    std::string big = randomBytes(rng, 1 << 20);
    EXPECT_EQ(Md5StringHex(big), oracle(big));
    std::string odd = randomBytes(rng, 3 * 16384 + 77);
    EXPECT_EQ(Md5DigestHex(odd.data(), odd.size()), oracle(odd));
}

TEST(MD5, ZeroAndHighBytesCountAsData) {
    std::string withZero("ab\0cd", 5);
    EXPECT_EQ(Md5StringHex(withZero), oracle(withZero));
    EXPECT_NE(Md5StringHex(withZero), Md5StringHex("ab"));
    std::string zeros(64, '\0');
    EXPECT_EQ(Md5StringHex(zeros), oracle(zeros));
    std::string high = "\xE3\x81\x82\xFF\x80";
    EXPECT_EQ(Md5StringHex(high), oracle(high));
}

TEST(MD5, IncrementalUpdatesEqualOneUpdateAndFinalWipesContext) {
    std::mt19937 rng(7);
    std::string s = randomBytes(rng, 1000);
    // Uneven pieces cross block boundaries at every offset.
    Md5Context ctx;
    Md5Init(ctx);
    std::size_t pos = 0, step = 1;
    while (pos < s.size()) {
        std::size_t n = std::min(step, s.size() - pos);
        Md5Update(ctx, s.data() + pos, n);
        pos += n;
        step = step * 3 % 97 + 1;
    }
    Md5Update(ctx, s.data(), 0);
    unsigned char digest[16];
    Md5Final(digest, ctx);
    static const char* hex = "0123456789ABCDEF";
    std::string text;
    for (unsigned char b : digest) {
        text += hex[b >> 4];
        text += hex[b & 15];
    }
    EXPECT_EQ(text, oracle(s));
    const auto* raw = reinterpret_cast<const unsigned char*>(&ctx);
    for (std::size_t i = 0; i < sizeof ctx; ++i) ASSERT_EQ(raw[i], 0) << "byte " << i;
}

TEST(MD5, BitCountCarriesIntoHighWord) {
    // A count just below 2^32 bits: the next update must carry into the high
    // word and the final block must carry both words.
    Md5Context ctx;
    Md5Init(ctx);
    ctx.Count[0] = 0xFFFFFFF8u;  // 2^32 - 8 bits, i.e. one byte short of 2^29 bytes, block offset 63
    Md5Update(ctx, "xy", 2);
    EXPECT_EQ(ctx.Count[0], 8u);
    EXPECT_EQ(ctx.Count[1], 1u);
}
