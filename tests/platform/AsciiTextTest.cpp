#include "platform/AsciiText.h"

#include <gtest/gtest.h>

#include <string>

TEST(AsciiText, TrimCutsControlBytesAndSpacesOnlyAtTheEnds) {
    EXPECT_EQ(Trim(" \t\r\n pop.example.org \x01\x1f"), "pop.example.org");
    EXPECT_EQ(Trim("a b\tc"), "a b\tc") << "inner blanks stay";
    EXPECT_EQ(Trim(" \t "), "");
    EXPECT_EQ(Trim(std::string("\x7f\xa0x\xa0", 4)), std::string("\x7f\xa0x\xa0", 4))
        << "bytes above the space are text, even DEL and non-ASCII";
    EXPECT_EQ(Trim(std::string("\0x\0", 3)), "x") << "a zero byte is a control byte";
}

TEST(AsciiText, DigitsAndLowerCaseAreAsciiOnly) {
    EXPECT_TRUE(IsDigit('0'));
    EXPECT_TRUE(IsDigit('9'));
    EXPECT_FALSE(IsDigit('/'));
    EXPECT_FALSE(IsDigit(':'));
    EXPECT_FALSE(IsDigit(static_cast<char>(0xb2))) << "superscript two in Latin-1";
    EXPECT_EQ(LowerAscii("Message-ID: <AZ@Example>"), "message-id: <az@example>");
    EXPECT_EQ(LowerAscii("\xc3\x84@[`{"), "\xc3\x84@[`{") << "only A-Z change";
}
