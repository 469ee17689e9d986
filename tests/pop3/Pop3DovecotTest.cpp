// The client against a real POP3 server: the private Dovecot instance that
// scripts/fixtures/dovecot.sh runs for these tests (its folder is the build's
// fixture folder, or VESK_DOVECOT_DIR when set). A missing server is a
// failure, never a skip.
#include "Pop3TestClient.h"

#include "support/Fixtures.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

namespace {

class Pop3Dovecot : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(pop.Running()) << "no POP3 server is running from " << pop.dir
                                   << " (scripts/fixtures/dovecot.sh start)";
        ASSERT_EQ(pop.users.count("fifty"), 1u);
        cli.Host = pop.host;
        cli.Port = pop.port;
    }

    void Use(const std::string& user) {
        cli.UserName = user;
        cli.PassWord = pop.users[user].password;
    }

    // Message file name (its UIDL) to the text after "From:" on its From line.
    std::map<std::string, std::string> Manifest(const std::string& user) {
        auto entries = pop.Manifest(user);
        return {entries.begin(), entries.end()};
    }

    TestSupport::TDovecotFixture pop{TestSupport::FixtureDir("VESK_DOVECOT_DIR", VESK_POP3_FIXTURE_DIR)};
    TestPop3Cli cli;
};

}  // namespace

TEST_F(Pop3Dovecot, UserPassSessionReadsEverySender) {
    Use("fifty");
    ASSERT_TRUE(cli.ConnectWait()) << cli.ErrorMessage();
    EXPECT_EQ(cli.LastResponse().rfind("+OK", 0), 0u);
    ASSERT_TRUE(cli.UserWait()) << cli.ErrorMessage();
    ASSERT_TRUE(cli.PassWait()) << cli.ErrorMessage();
    ASSERT_TRUE(cli.StatWait());
    ASSERT_EQ(cli.MsgCount(), 50);
    int total = cli.MsgSize();
    EXPECT_GT(total, 0);

    // The listings: every message once, sizes adding up to STAT's.
    std::map<int, std::string> uids;
    cli.OnUidlLine = [&](TObject*) { uids[cli.MsgNum] = cli.MsgUidl(); };
    cli.MsgNum = 0;
    ASSERT_TRUE(cli.UidlWait());
    ASSERT_EQ(uids.size(), 50u);
    int sum = 0, lines = 0;
    cli.OnListLine = [&](TObject*) {
        sum += cli.MsgSize();
        ++lines;
    };
    cli.MsgNum = 0;  // the UIDL listing left the last number there
    ASSERT_TRUE(cli.ListWait());
    EXPECT_EQ(lines, 50);
    EXPECT_EQ(sum, total);

    // TOP n 0 from the highest number down, as the poll cycle does.
    auto manifest = Manifest("fifty");
    ASSERT_EQ(manifest.size(), 50u);
    int withoutFrom = 0;
    cli.MsgLines = 0;
    for (int n = 50; n >= 1; --n) {
        cli.MsgNum = n;
        ASSERT_TRUE(cli.TopWait()) << "message " << n << ": " << cli.ErrorMessage();
        ASSERT_EQ(manifest.count(uids[n]), 1u) << uids[n];
        EXPECT_EQ(cli.FromValue(), manifest[uids[n]]) << "message " << n;
        if (cli.FromValue().empty()) ++withoutFrom;
    }
    EXPECT_EQ(withoutFrom, 10);

    // LIST and UIDL of one message.
    cli.MsgNum = 7;
    ASSERT_TRUE(cli.ListWait());
    EXPECT_EQ(cli.MsgNum, 7);
    EXPECT_GT(cli.MsgSize(), 0);
    cli.MsgNum = 7;
    ASSERT_TRUE(cli.UidlWait());
    EXPECT_EQ(cli.MsgUidl(), uids[7]);

    ASSERT_TRUE(cli.QuitWait());
    EXPECT_FALSE(cli.Connected());
    EXPECT_EQ(cli.ProtocolState(), pop3Disconnected);
}

TEST_F(Pop3Dovecot, RetrGivesTheMessageAsDelivered) {
    Use("three");
    ASSERT_TRUE(cli.ConnectWait());
    ASSERT_TRUE(cli.UserWait());
    ASSERT_TRUE(cli.PassWait());
    std::map<int, std::string> uids;
    cli.OnUidlLine = [&](TObject*) { uids[cli.MsgNum] = cli.MsgUidl(); };
    cli.MsgNum = 0;
    ASSERT_TRUE(cli.UidlWait());
    ASSERT_EQ(uids.size(), 3u);

    // Message files are numbered in the manifest's order.
    auto manifestOrder = [&] {
        std::map<std::string, int> index;
        int i = 0;
        for (const auto& entry : pop.Manifest("three")) index[entry.first] = ++i;
        return index;
    }();
    for (int n = 1; n <= 3; ++n) {
        std::string text;
        cli.OnMessageLine = [&](TObject*) { text += cli.LastResponse() + "\n"; };
        cli.MsgNum = n;
        ASSERT_TRUE(cli.RetrWait());
        std::string file = pop.dir + "/messages/three/" + std::to_string(manifestOrder[uids[n]]) + ".eml";
        EXPECT_EQ(text, TestSupport::ReadFile(file)) << file;
        // The stuffed body lines came through with one dot less on the wire.
        EXPECT_NE(text.find("\n.a line that starts with a full stop\n..two full stops\n"), std::string::npos);
    }
    ASSERT_TRUE(cli.QuitWait());
}

TEST_F(Pop3Dovecot, ApopLogsIn) {
    Use("three");
    ASSERT_TRUE(cli.ConnectWait());
    ASSERT_FALSE(cli.TimeStamp().empty()) << cli.LastResponse();
    ASSERT_TRUE(cli.APopWait()) << cli.ErrorMessage();
    EXPECT_EQ(cli.ProtocolState(), pop3Transaction);
    ASSERT_TRUE(cli.StatWait());
    EXPECT_EQ(cli.MsgCount(), 3);
    ASSERT_TRUE(cli.QuitWait());
}

TEST_F(Pop3Dovecot, EmptyMailboxAndOpen) {
    Use("empty");
    ASSERT_TRUE(cli.OpenWait()) << cli.ErrorMessage();
    ASSERT_TRUE(cli.StatWait());
    EXPECT_EQ(cli.MsgCount(), 0);
    EXPECT_EQ(cli.MsgSize(), 0);
    int lines = 0;
    cli.OnListLine = [&](TObject*) { ++lines; };
    cli.MsgNum = 0;
    ASSERT_TRUE(cli.ListWait());
    EXPECT_EQ(lines, 0);
    cli.MsgNum = 1;
    cli.MsgLines = 0;
    EXPECT_FALSE(cli.TopWait());
    EXPECT_EQ(cli.ErrorMessage().rfind("-ERR", 0), 0u);
    ASSERT_TRUE(cli.QuitWait());
}

TEST_F(Pop3Dovecot, WrongPasswordsAreRefused) {
    Use("three");
    cli.PassWord = "wrong";
    ASSERT_TRUE(cli.ConnectWait());
    ASSERT_TRUE(cli.UserWait());
    EXPECT_FALSE(cli.PassWait());
    EXPECT_EQ(cli.ErrorMessage().rfind("-ERR", 0), 0u);
    EXPECT_EQ(cli.ReplyStatus(), 500);
    EXPECT_EQ(cli.ProtocolState(), pop3WaitingPass);
    cli.QuitWait();

    ASSERT_TRUE(cli.ConnectWait());
    EXPECT_FALSE(cli.APopWait());
    EXPECT_EQ(cli.ErrorMessage().rfind("-ERR", 0), 0u);
    cli.QuitWait();
}
