#include "codec/ServerText.h"

#include <gtest/gtest.h>

#include <string>

namespace {

const std::string M(kUnshownMark);

struct TCleanCase {
    const char* what;
    std::string in;
    std::string out;
};

TEST(ServerText, CleansEveryCharacterThatCouldForgeOrHideOutput) {
    const TCleanCase cases[] = {
        {"plain text stays", "-ERR [AUTH] Authentication failed.", "-ERR [AUTH] Authentication failed."},
        {"UTF-8 stays", "Jos\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x93\xAB", "Jos\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x93\xAB"},
        {"TAB and line ends become spaces", "-ERR x\tWork\t42\nHome\r1", "-ERR x Work 42 Home 1"},
        {"terminal escape", "a\x1b]0;title\x07z", "a" + M + "]0;title" + M + "z"},
        {"NUL and DEL", std::string("a\0b\x7f", 4), "a" + M + "b" + M},
        {"C1 control U+009B", "a\xC2\x9B" "31mz", "a" + M + "31mz"},
        {"raw C1 byte", "a\x9b" "31mz", "a" + M + "31mz"},
        {"right-to-left override U+202E", "abc\xE2\x80\xAE" "fdp.exe", "abc" + M + "fdp.exe"},
        {"isolate U+2067 and mark U+200F", "\xE2\x81\xA7x\xE2\x80\x8F", M + "x" + M},
        {"overlong slash", "\xC0\xAF", M + M},
        {"surrogate", "\xED\xA0\x80", M + M + M},
        {"cut sequence at the end", "ab\xE2\x82", "ab" + M + M},
    };
    for (const TCleanCase& c : cases) EXPECT_EQ(CleanServerText(c.in), c.out) << c.what;
}

TEST(ServerText, CutsAtTheLimitNeverInsideACharacter) {
    EXPECT_EQ(CleanServerText("abcdef", 4), "abcd");
    // A two-byte character that would end past the limit is left out whole.
    EXPECT_EQ(CleanServerText("abc\xC3\xA9z", 4), "abc");
    EXPECT_EQ(CleanServerText(std::string(100000, 'x')).size(), 4096u);
}

}  // namespace
