// The reply parsers on their own, without a server.
#include "pop3/Pop3Replies.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

TEST(Pop3Replies, StampsOnlyWhenWellFormed) {
    const std::pair<const char*, const char*> cases[] = {  // greeting, stamp
        {"+OK Dovecot ready. <28d8.2.6b174228.CERJy+jpdbVV1qt+VSNipw==@vm>",
         "<28d8.2.6b174228.CERJy+jpdbVV1qt+VSNipw==@vm>"},
        {"+OK <a@b> and <c@d>", "<a@b>"},
        {"+OK no stamp at all", ""},
        {"+OK closing first > then <opening@x", ""},
        {"+OK <no-at-sign.123>", ""},
        {"+OK <with space@host>", ""},
        {"+OK <<nested@host>>", ""},
        {"+OK <>", ""},
        {"+OK <ctl\x01@host>", ""},
        {"+OK <high\xE9@host>", ""},
    };
    for (auto [greeting, stamp] : cases) EXPECT_EQ(ApopTimeStamp(greeting), stamp) << greeting;
}

// STAT (and LIST, LAST): a count and a size, both within the int range.
TEST(Pop3Replies, TwoNumbersAndTheirRange) {
    struct { const char* text; bool parsed; int first, second; } cases[] = {
        {"+OK 2 320", true, 2, 320},
        {"+OK 3 octets", true, 3, 0},
        {"+OK\t12\t\t34 x", true, 12, 34},
        {"+OK count=9, size=10", true, 9, 0},
        {"+OK 2147483647 2147483647", true, 2147483647, 2147483647},
        // Without a count, or with nothing after it, no count can be trusted.
        {"+OK 7", false, 0, 0},
        {"+OK", false, 0, 0},
        {"+OK AAAAAAAA", false, 0, 0},
    };
    for (const auto& c : cases) {
        int first = -1, second = -1;
        EXPECT_TRUE(NumbersFit(c.text)) << c.text;
        EXPECT_EQ(TwoNumbers(c.text, first, second), c.parsed) << c.text;
        EXPECT_EQ(std::make_pair(first, second), std::make_pair(c.first, c.second)) << c.text;
    }
    // Numbers that would be read wrapped, or negative.
    for (const char* text : {"+OK 4294967296 10", "+OK 4294967297 5", "+OK 1000000000000 10", "+OK 3 4294967296",
                             "+OK -1 0", "+OK 3 -5"})
        EXPECT_FALSE(NumbersFit(text)) << text;
}

// UIDL listing lines, and the reply to UIDL with a number, which is read the
// same way.
TEST(Pop3Replies, UidlListingLines) {
    const std::string longest(kUidLimit, 'x');
    struct { std::string text; bool listing; int number; std::string uid; } cases[] = {
        {"1 whqtswO00WBw418f9t5JxYwZ", true, 1, "whqtswO00WBw418f9t5JxYwZ"},
        {"2 QhdPYR:00WBw1Ph7x7 rest", true, 2, "QhdPYR:00WBw1Ph7x7"},
        {"2147483647 " + longest, true, 2147483647, longest},  // the highest number, the longest id
        {"+OK 2   abc-DEF~!\x01tail", false, 2, "abc-DEF~!"},
        {"+OK no number here", false, 0, ""},
    };
    for (const auto& c : cases) {
        int number = -1;
        std::string uid = "old";
        NumberAndUid(c.text, number, uid);
        EXPECT_EQ(IsUidlListingLine(c.text), c.listing) << c.text;
        EXPECT_EQ(std::make_pair(number, uid), std::make_pair(c.number, c.uid)) << c.text;
    }
    // Listing lines out of form, which fail the request.
    for (const std::string& line : {std::string("1"), std::string("no number"), "1 " + longest + "x",
                                    std::string("0 zero"), std::string("2147483648 past-the-top"),
                                    std::string("4294967297 wraps-to-one"), std::string(" 1 indented")})
        EXPECT_FALSE(IsUidlListingLine(line)) << line;
}
