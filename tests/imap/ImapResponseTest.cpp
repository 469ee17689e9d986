#include "imap/ImapResponse.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

// "{n}" CRLF and the bytes: a literal as a server sends it.
std::string Lit(const std::string& bytes) { return "{" + std::to_string(bytes.size()) + "}\r\n" + bytes; }

std::string Repeat(const std::string& piece, int times) {
    std::string s;
    for (int i = 0; i < times; ++i) s += piece;
    return s;
}

// A parsed value in one line of text: numbers as #n, strings quoted with
// the bytes outside printable ASCII as \xNN, lists in parentheses.
std::string Show(const TImapValue& v) {
    switch (v.Kind) {
        case TImapValueKind::Nil: return "NIL";
        case TImapValueKind::Atom: return v.Text;
        case TImapValueKind::Number: return "#" + std::to_string(v.Number);
        case TImapValueKind::String: {
            std::string s = "\"";
            for (char c : v.Text) {
                unsigned char u = static_cast<unsigned char>(c);
                if (u < 0x20 || u >= 0x7f || c == '"' || c == '\\') {
                    char hex[8];
                    std::snprintf(hex, sizeof hex, "\\x%02X", u);
                    s += hex;
                } else {
                    s += c;
                }
            }
            return s + "\"";
        }
        case TImapValueKind::List: {
            std::string s = "(";
            for (const TImapValue& item : v.Items) s += (s.size() > 1 ? " " : "") + Show(item);
            return s + ")";
        }
    }
    return "?";
}

std::string Show(const TImapResponse& r) {
    std::string s = r.Kind == TImapResponseKind::Tagged ? r.Tag : r.Kind == TImapResponseKind::Untagged ? "*" : "+";
    if (r.Id) s += " " + std::to_string(*r.Id);
    if (!r.Name.empty()) s += " " + r.Name;
    for (const TImapValue& v : r.Values) s += " " + Show(v);
    if (!r.Code.empty()) {
        s += " [" + r.Code;
        for (const TImapValue& v : r.CodeArgs) s += " " + Show(v);
        if (r.CodeArgs.empty() && !r.CodeText.empty()) s += " ~" + r.CodeText;
        s += "]";
    }
    if (r.IsStatus() || r.Kind == TImapResponseKind::Continuation) s += " '" + r.Text + "'";
    return s;
}

// Feeds the bytes whole or one at a time; the responses in order, then
// "error: reason" if the reader failed.
std::vector<std::string> Read(const std::string& wire, bool byteByByte, TImapLimits limits = {}) {
    TImapReader reader(limits);
    std::vector<std::string> out;
    for (std::size_t i = 0; i < wire.size(); i += byteByByte ? 1 : wire.size()) {
        reader.Feed(std::string_view(wire).substr(i, byteByByte ? 1 : wire.size()));
        while (auto r = reader.Next()) out.push_back(Show(*r));
    }
    if (reader.Failed()) out.push_back("error: " + reader.Error());
    return out;
}

TImapResponse ParseOne(const std::string& wire) {
    TImapReader reader;
    reader.Feed(wire);
    auto r = reader.Next();
    EXPECT_TRUE(r && !reader.Next()) << reader.Error();
    return r.value_or(TImapResponse{});
}

}  // namespace

TEST(ImapResponse, WellFormedResponsesWholeAndByteByByte) {
    const std::string binary("\0\r\n{3}\xff", 7);
    const struct {
        std::string Wire;
        std::string Parsed;
    } cases[] = {
        // Dovecot's greeting, login, failure and mailbox selection.
        {"* OK [CAPABILITY IMAP4rev1 SASL-IR LOGIN-REFERRALS ID ENABLE IDLE LITERAL+ AUTH=PLAIN AUTH=LOGIN] Dovecot "
         "(Debian) ready.\r\n",
         "* OK [CAPABILITY IMAP4rev1 SASL-IR LOGIN-REFERRALS ID ENABLE IDLE LITERAL+ AUTH=PLAIN AUTH=LOGIN] 'Dovecot "
         "(Debian) ready.'"},
        {"a1 OK [CAPABILITY IMAP4rev1 SASL-IR CONDSTORE QRESYNC SPECIAL-USE] Logged in\r\n",
         "a1 OK [CAPABILITY IMAP4rev1 SASL-IR CONDSTORE QRESYNC SPECIAL-USE] 'Logged in'"},
        {"a1 NO [AUTHENTICATIONFAILED] Authentication failed.\r\n", "a1 NO [AUTHENTICATIONFAILED] 'Authentication failed.'"},
        {"A2 BAD Error in IMAP command received by server.\r\n", "A2 BAD 'Error in IMAP command received by server.'"},
        {"* FLAGS (\\Answered \\Flagged \\Deleted \\Seen \\Draft)\r\n",
         "* FLAGS (\\Answered \\Flagged \\Deleted \\Seen \\Draft)"},
        {"* OK [PERMANENTFLAGS (\\Answered \\Seen \\*)] Flags permitted.\r\n",
         "* OK [PERMANENTFLAGS (\\Answered \\Seen \\*)] 'Flags permitted.'"},
        {"* OK [UIDVALIDITY 3857529045] UIDs valid\r\n", "* OK [UIDVALIDITY #3857529045] 'UIDs valid'"},
        {"* OK [UNSEEN 12] First unseen.\r\n", "* OK [UNSEEN #12] 'First unseen.'"},
        {"a3 OK [READ-WRITE] Select completed (0.001 + 0.000 secs).\r\n",
         "a3 OK [READ-WRITE] 'Select completed (0.001 + 0.000 secs).'"},
        {"* 3 EXISTS\r\n", "* 3 EXISTS"},
        {"* 2 expunge\n", "* 2 EXPUNGE"},
        {"* BYE Logging out\r\n", "* BYE 'Logging out'"},
        {"A4 OK\r\n", "A4 OK ''"},
        // Free text in an unknown code is kept as sent.
        {"* NO [X-ODD a \"b] c\r\n", "* NO [X-ODD ~a \"b] 'c'"},
        {"* NO [REFERRAL imap://u;AUTH=*@h/] go\r\n", "* NO [REFERRAL imap://u;AUTH=*@h/] 'go'"},
        // Continuations: text, Base64 data, nothing.
        {"+ idling\r\n", "+ 'idling'"},
        {"+ dXNlcm5hbWU6\r\n", "+ 'dXNlcm5hbWU6'"},
        {"+\r\n", "+ ''"},
        // The folder of a STATUS quoted, as an atom or as a literal.
        {"* STATUS \"Entw&APw-rfe\" (MESSAGES 4 UNSEEN 3 UIDNEXT 44 UIDVALIDITY 9)\r\n",
         "* STATUS \"Entw&APw-rfe\" (MESSAGES #4 UNSEEN #3 UIDNEXT #44 UIDVALIDITY #9)"},
        {"* STATUS INBOX (UNSEEN 0)\r\n", "* STATUS INBOX (UNSEEN #0)"},
        {"* STATUS " + Lit("A \"b\"") + " (UNSEEN 1)\r\n", "* STATUS \"A \\x22b\\x22\" (UNSEEN #1)"},
        {"* SEARCH 1 5 9\r\n", "* SEARCH #1 #5 #9"},
        {"* SEARCH\r\n", "* SEARCH"},
        {"* SEARCH  2  7 \r\n", "* SEARCH #2 #7"},
        {"* SEARCH 99999999999999999999\r\n", "* SEARCH 99999999999999999999"},
        // FETCH: section atoms, literals (binary, empty, non-synchronising, literal8), nesting.
        {"* 12 FETCH (UID 9 BODY[HEADER.FIELDS (FROM)] " + Lit("From: Ann <ann@example.org>\r\n\r\n") + ")\r\n",
         "* 12 FETCH (UID #9 BODY[HEADER.FIELDS (FROM)] \"From: Ann <ann@example.org>\\x0D\\x0A\\x0D\\x0A\")"},
        {"* 1 FETCH (BODY[] " + Lit(binary) + " FLAGS (\\Seen))\r\n",
         "* 1 FETCH (BODY[] \"\\x00\\x0D\\x0A{3}\\xFF\" FLAGS (\\Seen))"},
        {"* 1 FETCH (BODY[HEADER.FIELDS (\"From\" \"X-]\")]<0> {0}\r\n BINARY[1] ~{2}\r\nab RFC822 {1+}\r\nc)\r\n",
         "* 1 FETCH (BODY[HEADER.FIELDS (\"From\" \"X-]\")]<0> \"\" BINARY[1] \"ab\" RFC822 \"c\")"},
        {"* 2 FETCH (BODYSTRUCTURE (\"TEXT\" \"PLAIN\" (\"CHARSET\" \"US-ASCII\") NIL nil \"7BIT\" 3028 92))\r\n",
         "* 2 FETCH (BODYSTRUCTURE (\"TEXT\" \"PLAIN\" (\"CHARSET\" \"US-ASCII\") NIL NIL \"7BIT\" #3028 #92))"},
        {"* LIST (\\HasNoChildren) \"/\" \"a \\\"b\\\" \\\\c\"\r\n", "* LIST (\\HasNoChildren) \"/\" \"a \\x22b\\x22 \\x5Cc\""},
        {"* LIST () NIL x]y\r\n", "* LIST () NIL x]y"},
        {"* ID (\"name\" \"Dovecot\")\r\n", "* ID (\"name\" \"Dovecot\")"},
    };
    for (bool byteByByte : {false, true}) {
        std::string stream;
        std::vector<std::string> expected;
        for (const auto& c : cases) {
            EXPECT_EQ(Read(c.Wire, byteByByte), std::vector<std::string>{c.Parsed}) << c.Wire;
            stream += c.Wire;
            expected.push_back(c.Parsed);
        }
        EXPECT_EQ(Read(stream, byteByByte), expected) << "all cases as one stream";
    }
}

TEST(ImapResponse, MalformedAndHostileInputStopsTheReader) {
    const struct {
        std::string Wire;
        std::string Reason;
    } cases[] = {
        {"\r\n", "empty line"},
        {" * OK\r\n", "bad tag"},
        {"*OK\r\n", "expected a space"},
        {"A1 FETCH (UID 1)\r\n", "tagged response without OK, NO or BAD"},
        {"* 5 OK x\r\n", "numbered status response"},
        {"* 1 FETCH (UID 1\r\n", "unbalanced parentheses"},
        {"* 1 FETCH UID 1)\r\n", "unexpected bytes at end of response"},
        {"* 1 FETCH (UID 1))\r\n", "unexpected bytes at end of response"},
        {"* FLAGS (\\Seen)(x)\r\n", "expected a space"},
        {"* FLAGS(\\Seen)\r\n", "expected a space"},
        {"* LIST () \"/\" \"abc\r\n", "unterminated quoted string"},
        {"* LIST () \"/\" \"a\\x\"\r\n", "bad escape in quoted string"},
        {"* OK [ALERT x\r\n", "unterminated response code"},
        {"* OK note {3}\r\nabc\r\n", "literal after text"},
        {"* 1 FETCH (BODY[] {3} x)\r\n", "literal not at end of line"},
        {"* 1 FETCH (BODY[HEADER\r\n", "unterminated section"},
        {"* 1 FETCH (BODY[] {abc}\r\n", "bad literal count"},
        {"* 1 FETCH (BODY[] {}\r\n", "bad literal count"},
        {"* 1 FETCH (BODY[] {-1}\r\n", "bad literal count"},
        {"* 1 FETCH (BODY[] {99999999999999999999999}\r\n", "literal too large"},
        {"* 1 FETCH (BODY[] {1048577}\r\n", "literal too large"},
        {"* FLAGS " + std::string(65, '(') + std::string(65, ')') + "\r\n", "lists nested too deeply"},
        {"* SEARCH" + Repeat(Repeat(" 1", 30000) + " {0}\r\n", 3) + "\r\n", "too many values"},
        {"* X" + Repeat(" {0}\r\n", 65537), "too many values"},
        // Bounds hold before the line end or the literal bytes arrive.
        {"* OK " + std::string(64 * 1024 - 3, 'x'), "line too long"},
        {"* OK " + std::string(64 * 1024 - 4, 'x') + "\n", "line too long"},
        {"* 1 FETCH (A " + Lit(std::string(1 << 20, 'a')) + " B {1048576}\r\n", "response too large"},
        {"* 1 FETCH (A " + Lit(std::string(1 << 20, 'a')) + " B " + Lit(std::string((1 << 20) - 100, 'b')) +
             std::string(200, 'c'),
         "response too large"},
    };
    for (bool byteByByte : {false, true})
        for (const auto& c : cases)
            EXPECT_EQ(Read(c.Wire, byteByByte), std::vector<std::string>{"error: " + c.Reason})
                << c.Wire.substr(0, 60) << (byteByByte ? " (byte by byte)" : "");
}

TEST(ImapResponse, LimitsAdmitWhatFitsExactly) {
    std::string line = "* OK " + std::string(64 * 1024 - 5, 'x') + "\r\n";
    std::string literal = "* 1 FETCH (BODY[] " + Lit(std::string(1 << 20, 'z')) + ")\r\n";
    TImapReader reader;
    EXPECT_TRUE(reader.Feed(line + literal + literal));
    EXPECT_EQ(reader.Next()->Text.size(), 64u * 1024 - 5);
    EXPECT_EQ(reader.Next()->Values[0].Items[1].Text.size(), 1u << 20);
    EXPECT_TRUE(reader.Next());
    EXPECT_FALSE(reader.Next());
}

TEST(ImapResponse, ResponsesBeforeAnErrorAreKeptAndLaterBytesIgnored) {
    TImapReader reader;
    EXPECT_FALSE(reader.Feed("* 4 EXISTS\r\n* 1 FETCH (\r\n* 5 EXISTS\r\n"));
    EXPECT_EQ(ImapNumbered(*reader.Next(), "EXISTS"), 4u);
    EXPECT_FALSE(reader.Next());
    EXPECT_FALSE(reader.Feed("* 6 EXISTS\r\n"));
    EXPECT_FALSE(reader.Next());
    EXPECT_EQ(reader.Error(), "unbalanced parentheses");
}

TEST(ImapResponse, ViewsReadWhatTheWatcherNeeds) {
    auto caps = ImapCapabilities(ParseOne("* CAPABILITY IMAP4rev1 idle AUTH=PLAIN\r\n"));
    ASSERT_TRUE(caps);
    EXPECT_EQ(*caps, (std::vector<std::string>{"IMAP4REV1", "IDLE", "AUTH=PLAIN"}));
    EXPECT_TRUE(ImapHasCapability(*caps, "Idle"));
    EXPECT_FALSE(ImapHasCapability(*caps, "LITERAL+"));
    EXPECT_EQ(ImapCapabilities(ParseOne("* OK [CAPABILITY IMAP4rev1 IDLE] hi\r\n"))->size(), 2u);
    EXPECT_FALSE(ImapCapabilities(ParseOne("* OK [UNSEEN 3] hi\r\n")));

    auto status = ImapStatus(ParseOne("* STATUS " + Lit("Bad\"Box") + " (UNSEEN 3 uidnext 44)\r\n"));
    ASSERT_TRUE(status);
    EXPECT_EQ(status->Mailbox, "Bad\"Box");
    EXPECT_EQ(status->Items, (std::map<std::string, std::uint64_t>{{"UIDNEXT", 44}, {"UNSEEN", 3}}));
    EXPECT_FALSE(ImapStatus(ParseOne("* STATUS INBOX (UNSEEN)\r\n")));

    EXPECT_EQ(ImapSearch(ParseOne("* SEARCH 1 5 9 (MODSEQ 917162500)\r\n")), (std::vector<std::uint64_t>{1, 5, 9}));
    EXPECT_EQ(ImapSearch(ParseOne("* SEARCH\r\n")), std::vector<std::uint64_t>{});
    EXPECT_FALSE(ImapSearch(ParseOne("* SEARCH 1 x\r\n")));

    EXPECT_EQ(ImapNumbered(ParseOne("* 7 EXPUNGE\r\n"), "EXPUNGE"), 7u);
    EXPECT_FALSE(ImapNumbered(ParseOne("* 7 EXPUNGE\r\n"), "EXISTS"));

    auto fetch = ImapFetch(ParseOne("* 12 FETCH (UID 9 BODY[HEADER.FIELDS (FROM)] " + Lit("From: a\r\n") + ")\r\n"));
    ASSERT_TRUE(fetch);
    EXPECT_EQ(fetch->Message, 12u);
    EXPECT_EQ(fetch->Item("uid")->Number, 9u);
    EXPECT_EQ(fetch->Item("body[header.fields (from)]")->Text, "From: a\r\n");
    EXPECT_EQ(fetch->Item("FLAGS"), nullptr);
}

TEST(ImapResponse, QuotingAndFolderNames) {
    const struct {
        std::string Utf8;
        std::optional<std::string> Quoted;  // nothing: needs a literal
        std::optional<std::string> Mailbox;  // nothing: not UTF-8
    } cases[] = {
        {"INBOX", "\"INBOX\"", "INBOX"},
        {"", "\"\"", ""},
        {"a \"b\" \\c", "\"a \\\"b\\\" \\\\c\"", "a \"b\" \\c"},
        {"Tom & Jerry", "\"Tom & Jerry\"", "Tom &- Jerry"},
        {"Entwürfe", std::nullopt, "Entw&APw-rfe"},
        {"~peter/mail/台北/日本語", std::nullopt, "~peter/mail/&U,BTFw-/&ZeVnLIqe-"},
        {"😀", std::nullopt, "&2D3eAA-"},
        {"Tab\tEnd", "\"Tab\tEnd\"", "Tab&AAk-End"},
        {"line\r\n", std::nullopt, "line&AA0ACg-"},
        {std::string("a\0b", 3), std::nullopt, "a&AAA-b"},
        {"\xC3", std::nullopt, std::nullopt},
        {"\xC0\xAF", std::nullopt, std::nullopt},
        {"\xED\xA0\x80", std::nullopt, std::nullopt},
        {"\xF4\x90\x80\x80", std::nullopt, std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ImapQuoted(c.Utf8), c.Quoted) << c.Utf8;
        EXPECT_EQ(ImapMailboxUtf7(c.Utf8), c.Mailbox) << c.Utf8;
    }
}
