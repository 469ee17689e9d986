#include "codec/Base64.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace {

std::string bytes(std::initializer_list<int> values) {
    std::string s;
    for (int v : values) s += static_cast<char>(v);
    return s;
}

// Standard Base64 decoding of canonical text, written independently of the
// codec, as the reference for the round trip.
std::string referenceEncode(const std::string& in) {
    static const char* t = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    unsigned long bits = 0;
    int n = 0;
    for (unsigned char c : in) {
        bits = (bits << 8) | c;
        n += 8;
        while (n >= 6) {
            n -= 6;
            out += t[(bits >> n) & 63];
        }
    }
    if (n > 0) out += t[(bits << (6 - n)) & 63];
    while (out.size() % 4) out += '=';
    return out;
}

}  // namespace

TEST(Base64, EncodesRfc4648TestVectors) {
    TBase64 b;
    EXPECT_EQ(b.Encode(""), "");
    EXPECT_EQ(b.Encode("f"), "Zg==");
    EXPECT_EQ(b.Encode("fo"), "Zm8=");
    EXPECT_EQ(b.Encode("foo"), "Zm9v");
    EXPECT_EQ(b.Encode("foob"), "Zm9vYg==");
    EXPECT_EQ(b.Encode("fooba"), "Zm9vYmE=");
    EXPECT_EQ(b.Encode("foobar"), "Zm9vYmFy");
    EXPECT_EQ(b.Encode(bytes({0xFF, 0xFE, 0x00})), "//4A");
}

TEST(Base64, EncodesLongInputOnOneLine) {
    TBase64 b;
    std::string text = b.Encode(std::string(1000, 'x'));
    EXPECT_EQ(text.size(), 4u * ((1000 + 2) / 3));
    EXPECT_EQ(text.find('\n'), std::string::npos);
}

TEST(Base64, RoundTripsEveryLengthWithZeroAndHighBytes) {
    TBase64 b;
    std::mt19937 rng(12345);
    std::uniform_int_distribution<int> byte(0, 255);
    for (size_t len = 0; len <= 300; ++len) {
        std::string data;
        for (size_t i = 0; i < len; ++i) data += static_cast<char>(byte(rng));
        if (len > 2) {
            data[0] = '\0';
            data[len / 2] = static_cast<char>(0xFF);
        }
        std::string text = b.Encode(data);
        ASSERT_EQ(text, referenceEncode(data)) << "length " << len;
        ASSERT_EQ(b.Decode(text), data) << "length " << len;
    }
}

TEST(Base64, KeepsNonCanonicalPadBits) {
    TBase64 b;
    EXPECT_EQ(b.Decode("QR=="), bytes({0x41, 0x10}));
    EXPECT_EQ(b.Decode("QUJ="), bytes({0x41, 0x42, 0x40}));
    EXPECT_EQ(b.Decode("QQ=="), bytes({0x41}));  // canonical: nothing extra
    EXPECT_EQ(b.Decode("AA=="), bytes({0x00}));
}

TEST(Base64, DecodesTextWithoutPadding) {
    TBase64 b;
    EXPECT_EQ(b.Decode("QQ"), bytes({0x41}));
    EXPECT_EQ(b.Decode("QUI"), bytes({0x41, 0x42}));
    EXPECT_EQ(b.Decode("Q"), "");
}

TEST(Base64, StopsAtFirstPad) {
    TBase64 b;
    EXPECT_EQ(b.Decode("===="), "");
    EXPECT_EQ(b.Decode(""), "");
    EXPECT_EQ(b.Decode("QUJD=QUJD"), "ABC");
}

TEST(Base64, ReadsCharactersOutsideTheAlphabetAsSlash) {
    TBase64 b;
    EXPECT_EQ(b.Decode("QU-D"), b.Decode("QU/D"));
    EXPECT_EQ(b.Decode(std::string("QU\0D", 4)), b.Decode("QU/D"));
    // Line breaks are data, not skipped.
    EXPECT_NE(b.Decode("QUJD\r\nQUJD"), b.Decode("QUJDQUJD"));
    EXPECT_EQ(b.Decode("QUJD\r\nQUJD").size(), 7u);
}
