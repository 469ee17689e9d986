// The IMAP check against the real server: the private Dovecot of
// scripts/fixtures/dovecot.sh and its twin that requires TLS
// (dovecot-tls.sh), each test on mailboxes of its own, with Python's imaplib
// (tests/support/imap_client.py) as a second client that reads and files
// mail meanwhile; one session at a time on a mailbox. A missing server is a
// failure, never a skip.
#include "check/AccountCheck.h"
#include "support/CheckRun.h"
#include "support/Fixtures.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

using TestSupport::Check;
using TestSupport::TDovecotFixture;

namespace {

class ImapDovecot : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(plain.imapPort.empty()) << "no IMAP server is running from " << plain.dir;
        ASSERT_FALSE(tls.imapsPort.empty()) << "no TLS IMAP server is running from " << tls.dir;
    }

    // An IMAP account of USER on the plain IMAP port of `server`.
    static TCheckTarget Target(const TDovecotFixture& server, const std::string& user) {
        TCheckTarget target;
        target.Name = user;
        target.Server = server.host;
        target.Port = std::stoi(server.imapPort);
        target.UserName = user;
        target.Secret = server.users.at(user).password;
        target.Protocol = TProtocol::Imap;
        return target;
    }

    TDovecotFixture plain{VESK_IMAP_DOVECOT_DIR};
    TDovecotFixture tls{VESK_IMAP_DOVECOT_TLS_DIR};
};

}  // namespace

TEST_F(ImapDovecot, EachConnectionKindCountsTheUnseenMailOfTheInbox) {
    const auto pinned = [&](const std::string& port, TSecurity security) {
        TCheckTarget target = Target(tls, "tlsbox");
        target.Port = std::stoi(port);
        target.Security = security;
        target.Fingerprint = tls.fingerprint;
        return target;
    };
    const struct Case {
        const char* what;
        TCheckTarget target;
        int count;
    } cases[] = {
        {"plain", Target(plain, "inbox"), 3},
        {"IMAPS, pinned", pinned(tls.imapsPort, TSecurity::Tls), 4},
        {"STARTTLS, pinned", pinned(tls.imapPort, TSecurity::StartTls), 4},
    };
    for (const Case& c : cases) {
        TCheckResult result = Check<TImapSession>(c.target);
        EXPECT_TRUE(result.Ok) << c.what << ": " << result.Error;
        EXPECT_EQ(result.Count, c.count) << c.what;
        EXPECT_EQ(result.Mark.UidNext, static_cast<std::uint64_t>(c.count) + 1) << c.what;
    }
}

TEST_F(ImapDovecot, MailAnotherClientReadIsNoLongerCounted) {
    const TCheckTarget target = Target(plain, "seen");
    ASSERT_EQ(Check<TImapSession>(target).Count, 5);
    plain.ImapClient("seen", {"seen", "INBOX", "2:3"});
    TCheckResult result = Check<TImapSession>(target);
    EXPECT_TRUE(result.Ok) << result.Error;
    EXPECT_EQ(result.Count, 3);
}

// "Größe & 受信箱": Latin letters beyond ASCII, an ampersand, Japanese; the
// folder holds two messages, the inbox one.
TEST_F(ImapDovecot, AFolderNamedBeyondAsciiIsWatchedByItsUtf8Name) {
    const std::string sample = plain.dir + "/messages/folders/1.eml";
    plain.ImapClient("folders", {"fill", "Gr&APYA3w-e &- &U9dP4Xux-", sample, sample});
    TCheckTarget target = Target(plain, "folders");
    target.Folder = "Gr\xC3\xB6\xC3\x9F" "e & \xE5\x8F\x97\xE4\xBF\xA1\xE7\xAE\xB1";
    TCheckResult result = Check<TImapSession>(target);
    EXPECT_TRUE(result.Ok) << result.Error;
    EXPECT_EQ(result.Count, 2);
}

// The password holds a double quote, a backslash and a space; the fixture
// keeps it through a delivery, and the delivery is counted.
TEST_F(ImapDovecot, APasswordWithQuoteAndBackslashLogsIn) {
    ASSERT_EQ(plain.users.at("odd").password, "q\"uo\\te d");
    const TCheckTarget target = Target(plain, "odd");
    TCheckResult result = Check<TImapSession>(target);
    EXPECT_TRUE(result.Ok) << result.Error;
    EXPECT_EQ(result.Count, 2);

    plain.Add("odd", 1);
    EXPECT_EQ(TDovecotFixture(plain.dir).users.at("odd").password, "q\"uo\\te d");
    result = Check<TImapSession>(target);
    EXPECT_TRUE(result.Ok) << result.Error;
    EXPECT_EQ(result.Count, 3);
}

// The siren's From lines: every unseen message's, newest first, as the
// fixture wrote them (what POP3 reads too); not one message turns \Seen, nor
// loses the \Recent that the user's own mail program is to see.
TEST_F(ImapDovecot, FromLinesAreReadWithoutChangingAnyFlag) {
    const std::string before = plain.ImapClient("froms", {"flags", "INBOX"});
    ASSERT_EQ(std::count(before.begin(), before.end(), '\n'), 7) << before;
    ASSERT_EQ(before.find("Seen"), std::string::npos) << before;
    TCheckTarget target = Target(plain, "froms");
    target.WantFrom = true;
    TCheckResult result = Check<TImapSession>(target);
    EXPECT_TRUE(result.Ok) << result.Error;
    std::vector<std::string> expected;
    for (const auto& entry : plain.Manifest("froms")) expected.insert(expected.begin(), entry.second);
    ASSERT_EQ(expected.size(), 7u);
    EXPECT_EQ(result.FromLines, expected);
    EXPECT_EQ(plain.ImapClient("froms", {"flags", "INBOX"}), before);
}
