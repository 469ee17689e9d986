// One account's check against scripted servers on loopback: the reasons it
// gives, the goodbye after a failure, the time limits, and the From lines it
// reads through the cache. The drivers' own tests (order, reloads,
// concurrency, output) stay with them in tests/app.
#include "check/AccountCheck.h"
#include "support/CheckRun.h"
#include "support/ImapFolderServer.h"
#include "support/MailboxServer.h"
#include "support/ScriptedPop3Server.h"
#include "support/TestSupport.h"

#include <QTimer>
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <utility>

using TestSupport::Check;
using TestSupport::TImapFolderServer;
using TestSupport::TMailboxServer;
using TestSupport::TScript;
using TestSupport::TScriptedPop3Server;

namespace {

TCheckTarget Target(const TScriptedPop3Server& server, bool wantFrom = false) {
    TCheckTarget target;
    target.Name = "Box";
    target.Server = "127.0.0.1";
    target.Port = server.Port();
    target.UserName = "u";
    target.Secret = "p";
    target.WantFrom = wantFrom;
    return target;
}

std::vector<std::string> Tops(const TScriptedPop3Server& server) {
    std::vector<std::string> out;
    for (const auto& line : server.Lines())
        if (line.rfind("TOP ", 0) == 0) out.push_back(line);
    return out;
}

}  // namespace

TEST(AccountCheck, AFailedStepKeepsTheReasonAndLogsOutASuccessCounts) {
    TScriptedPop3Server refusing, accepting;
    refusing.Play(TScript()
                      .Send(refusing.Greeting)
                      .ExpectLine("USER u").Send("+OK\r\n")
                      .ExpectLine("PASS p").Send("-ERR wrong password\r\n")
                      .ExpectLine("QUIT").Send("+OK bye\r\n").Close());
    accepting.Play(TScript()
                       .Send(accepting.Greeting)
                       .ExpectLine("USER u").Send("+OK\r\n")
                       .ExpectLine("PASS p").Send("+OK\r\n")
                       .ExpectLine("STAT").Send("+OK 2 200\r\n")
                       .ExpectLine("QUIT").Send("+OK bye\r\n").Close());
    TCheckResult failed = Check(Target(refusing));
    EXPECT_TRUE(failed.Checked);
    EXPECT_FALSE(failed.Ok);
    EXPECT_EQ(failed.FailedStep, TCheckStep::Login);
    EXPECT_EQ(failed.Error, "-ERR wrong password");
    EXPECT_EQ(failed.Count, 0);
    EXPECT_TRUE(refusing.Finished()) << "a refused login still says goodbye: " << refusing.Failure();

    TCheckTarget again = Target(accepting);
    again.PreviousCount = 1;
    TCheckResult ok = Check(again);
    EXPECT_TRUE(ok.Ok);
    EXPECT_TRUE(ok.NewMail) << "2 messages where the last check saw 1";
    EXPECT_FALSE(failed.NewMail);
    EXPECT_EQ(ok.Error, "");
    EXPECT_EQ(ok.Count, 2);
    EXPECT_TRUE(accepting.Finished()) << accepting.Failure();
}

TEST(AccountCheck, AnStlsAccountNeverLogsInWhenTheServerRefusesStls) {
    TScriptedPop3Server server;
    server.On("STLS", "-ERR not here\r\n");
    TCheckTarget target = Target(server);
    target.Security = TSecurity::StartTls;
    TCheckResult result = Check(target);
    EXPECT_FALSE(result.Ok);
    EXPECT_EQ(result.FailedStep, TCheckStep::Connection);
    EXPECT_EQ(result.Error, "-ERR STLS refused by the server");
    EXPECT_TRUE(server.Got("STLS"));
    EXPECT_FALSE(server.Got("USER u")) << "no credential before the certificate check";
}

// A greeting trickled in pieces that never end: each piece is data, but the
// request as a whole gets 4 silence limits, so the check still ends.
TEST(AccountCheck, AnEndlessGreetingFailsAfterFourSilenceLimits) {
    TScriptedPop3Server endless;
    endless.Greeting = "+OK ";
    QTimer trickle;
    trickle.setInterval(400);
    QObject::connect(&trickle, &QTimer::timeout, [&] { endless.Send(std::string(4100, 'A')); });
    trickle.start();
    TCheckResult result = Check(Target(endless), nullptr, 1);
    EXPECT_FALSE(result.Ok);
    EXPECT_EQ(result.Error, "426 Timeout");
}

// The From lines of the waiting mail, newest first; a TOP that fails midway
// fails the check but keeps what was read, and the count stays.
TEST(AccountCheck, TopFailingMidwayKeepsWhatWasCollected) {
    TScriptedPop3Server server;
    server.Play(TScript()
                    .Send(server.Greeting)
                    .ExpectLine("USER u").Send("+OK\r\n")
                    .ExpectLine("PASS p").Send("+OK\r\n")
                    .ExpectLine("STAT").Send("+OK 5 5000\r\n")
                    .ExpectLine("UIDL").Send("+OK\r\n1 a\r\n2 b\r\n3 c\r\n4 d\r\n5 e\r\n.\r\n")
                    .ExpectLine("TOP 5 0").Send("+OK\r\nFrom: fifth@example.org\r\nSubject: x\r\n\r\n.\r\n")
                    .ExpectLine("TOP 4 0").Send("-ERR no such message\r\n")
                    .ExpectLine("QUIT").Send("+OK bye\r\n").Close());
    TCheckResult result = Check(Target(server, true));
    EXPECT_FALSE(result.Ok);
    EXPECT_EQ(result.FailedStep, TCheckStep::Check);
    EXPECT_EQ(result.FromLines, std::vector<std::string>{" fifth@example.org"});
    EXPECT_FALSE(server.Got("TOP 3 0"));
    EXPECT_EQ(result.Count, 5) << "the STAT count stays";
    EXPECT_TRUE(server.Finished()) << server.Failure();
}

TEST(AccountCheck, FromCacheAsksTopOnlyForMailItHasNotSeen) {
    TMailboxServer box;
    TFromCache cache;
    const auto check = [&] { return Check(Target(box.server, true), &cache).FromLines; };
    box.messages = {{"id-1", " one@example.org"}, {"id-2", " two@example.org"}, {"id-3", " three@example.org"}};
    using Lines = std::vector<std::string>;
    EXPECT_EQ(check(), (Lines{" three@example.org", " two@example.org", " one@example.org"}));
    EXPECT_EQ(box.TakeTops(), 3);

    EXPECT_EQ(check(), (Lines{" three@example.org", " two@example.org", " one@example.org"}));
    EXPECT_EQ(box.TakeTops(), 0) << "nothing new: every From value comes from the cache";

    box.messages.push_back({"id-4", " four@example.org"});
    EXPECT_EQ(check(), (Lines{" four@example.org", " three@example.org", " two@example.org", " one@example.org"}));
    EXPECT_EQ(box.TakeTops(), 1);
    EXPECT_TRUE(box.server.Got("TOP 4 0"));

    // A deleted message renumbers those after it and leaves the cache.
    box.messages.erase(box.messages.begin() + 1);
    EXPECT_EQ(check(), (Lines{" four@example.org", " three@example.org", " one@example.org"}));
    EXPECT_EQ(box.TakeTops(), 0);
    EXPECT_EQ(cache.Find(0, "id-2"), nullptr);
    EXPECT_EQ(cache.Size(0), 3u);

    // The same ids on another server are other messages.
    TMailboxServer other;
    other.messages = {{"id-1", " elsewhere@example.net"}};
    EXPECT_EQ(Check(Target(other.server, true), &cache).FromLines, Lines{" elsewhere@example.net"});
    EXPECT_EQ(other.TakeTops(), 1);

    // A server that refuses UIDL gets a TOP for every message, every time.
    other.uidl = false;
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(Check(Target(other.server, true), &cache).FromLines, Lines{" elsewhere@example.net"});
        EXPECT_EQ(other.TakeTops(), 1);
    }
}

TEST(AccountCheck, AHugeMailboxCostsAtMostAThousandTops) {
    // The server claims the largest count there is and lists the ids of its
    // top 1,005 messages.
    constexpr int claimed = 2147483647;
    TScriptedPop3Server huge;
    huge.On("USER", "+OK\r\n");
    huge.On("PASS", "+OK\r\n");
    huge.On("STAT", "+OK 2147483647 0\r\n");
    std::string listing = "+OK\r\n";
    for (int m = claimed; m > claimed - 1005; --m) listing += std::to_string(m) + " u" + std::to_string(m) + "\r\n";
    huge.On("UIDL", listing + ".\r\n");
    huge.On("TOP", "+OK\r\nFrom: bulk@example.org\r\n\r\n.\r\n");
    huge.On("QUIT", "+OK\r\n", TScriptedPop3Server::Then::Close);
    TFromCache cache;
    TCheckResult result = Check(Target(huge, true), &cache);
    EXPECT_TRUE(result.Ok) << result.Error;
    const auto first = Tops(huge);
    ASSERT_EQ(first.size(), 1000u);
    EXPECT_EQ(first.front(), "TOP 2147483647 0");
    EXPECT_EQ(first.back(), "TOP 2147482648 0");
    EXPECT_EQ(cache.Size(0), 1000u);
    EXPECT_EQ(result.FromLines.size(), 1000u);
    Check(Target(huge, true), &cache);
    EXPECT_EQ(Tops(huge).size(), 1000u) << "the second check reads every value from the cache";
}

// Over IMAP the count is the folder's unseen mail, the From lines are the
// newest unseen messages', and a second check reads them from the cache.
TEST(AccountCheck, ImapCountsUnseenMailAndReadsTheNewestFromLinesOnce) {
    // Unseen messages by UID (10 was read, so it is not counted).
    TImapFolderServer box;
    box.unseen = {{3, " old@example.org"}, {7, " mid@example.org"}, {8, " new@example.org"}};
    box.uidNext = 11;
    TFromCache cache;
    TCheckTarget target = Target(box.server, true);
    target.Protocol = TProtocol::Imap;
    const auto check = [&] { return Check<TImapSession>(target, &cache); };
    using Lines = std::vector<std::string>;

    TCheckResult first = check();
    ASSERT_TRUE(first.Ok) << first.Error;
    EXPECT_EQ(first.Count, 3);
    EXPECT_TRUE(first.NewMail);
    EXPECT_EQ(first.Mark.UidNext, 11u);
    EXPECT_EQ(first.Mark.UidValidity, 5u);
    EXPECT_EQ(first.FromLines, (Lines{" new@example.org", " mid@example.org", " old@example.org"}));
    EXPECT_EQ(box.TakeFetches(), 3);
    EXPECT_TRUE(box.server.Got("A1 AUTHENTICATE PLAIN AHUAcA=="));

    // Message 9 marked unread again: unseen, but no delivery (UIDNEXT as it
    // was), so no new mail.
    box.unseen.erase(3);
    box.unseen[9] = " newest@example.org";
    target.PreviousMark = first.Mark;
    TCheckResult second = check();
    ASSERT_TRUE(second.Ok) << second.Error;
    EXPECT_FALSE(second.NewMail);
    EXPECT_EQ(second.FromLines, (Lines{" newest@example.org", " new@example.org", " mid@example.org"}));
    EXPECT_EQ(box.TakeFetches(), 1) << "only the message the cache has not seen is fetched";
    EXPECT_TRUE(box.server.Got("A5 UID FETCH 9 (BODY.PEEK[HEADER.FIELDS (FROM)])"));
}

// IMAP's new mail is a delivery (UIDNEXT grew in the same numbering); where
// no mark of the same folder is known, a grown count is.
TEST(AccountCheck, NewMailIsADeliveryIntoTheSameFolder) {
    struct Case {
        const char* what;
        TMailboxMark before;
        int previousCount;
        TMailboxMark now;
        int count;
        bool newMail;
    };
    const TMailboxMark none{};
    const Case cases[] = {
        {"POP3: the count grew", none, 2, none, 3, true},
        {"POP3: the count stayed", none, 3, none, 3, false},
        {"first IMAP check", none, 0, {"box", 5, 11}, 2, true},
        {"delivery", {"box", 5, 11}, 2, {"box", 5, 12}, 2, true},
        {"delivered and read elsewhere", {"box", 5, 11}, 2, {"box", 5, 12}, 0, false},
        {"marked unread again", {"box", 5, 11}, 0, {"box", 5, 11}, 3, false},
        {"renumbered, count grew", {"box", 5, 11}, 1, {"box", 6, 3}, 2, true},
        {"renumbered, count fell", {"box", 5, 11}, 3, {"box", 6, 30}, 2, false},
        {"another folder", {"other", 5, 11}, 3, {"box", 5, 30}, 3, false},
    };
    for (const Case& c : cases) {
        TCheckTarget target;
        target.PreviousMark = c.before;
        target.PreviousCount = c.previousCount;
        EXPECT_EQ(IsNewMail(target, c.count, c.now), c.newMail) << c.what;
    }
}

// A password command that fails fails the login before any connection, with
// the first line of its standard error or what happened.
TEST(AccountCheck, AFailingPasswordCommandFailsTheLoginWithItsReason) {
    struct Case {
        const char* command;
        const char* error;
    };
    const Case cases[] = {
        {"echo p; echo ' gpg: no secret key ' >&2; echo more >&2; exit 2", "password command failed: gpg: no secret key"},
        {"echo p; exit 3", "password command failed: exit status 3"},
        {"true", "password command failed: no output"},
        {"echo; echo p", "password command failed: no output"},
        {"echo p; exec sleep 30", "password command failed: timed out after 1 s"},
        {"printf 'agent:\\tlocked\\n' >&2; sleep 30", "password command failed: agent: locked"},
    };
    TScriptedPop3Server server;
    for (const Case& c : cases) {
        TCheckTarget target = Target(server);
        target.PasswordCommand = c.command;
        const TCheckResult result = Check(target, nullptr, kSilenceLimitSeconds, 1);
        EXPECT_FALSE(result.Ok) << c.command;
        EXPECT_EQ(result.FailedStep, TCheckStep::Login) << c.command;
        EXPECT_EQ(result.Error, c.error) << c.command;
    }
    EXPECT_EQ(server.Accepted(), 0) << "no connection without a secret";
}

// The command's first line logs in, whatever the stored password says; the
// command reads no input (its standard input is at its end at once).
TEST(AccountCheck, APasswordCommandsFirstLineLogsIn) {
    TScriptedPop3Server server;
    server.Play(TScript()
                    .Send(server.Greeting)
                    .ExpectLine("USER u").Send("+OK\r\n")
                    .ExpectLine("PASS to ken").Send("+OK\r\n")
                    .ExpectLine("STAT").Send("+OK 1 100\r\n")
                    .ExpectLine("QUIT").Send("+OK bye\r\n").Close());
    TCheckTarget target = Target(server);
    target.Secret = "stored";
    target.PasswordCommand = "cat; printf 'to ken\\r\\nsecond line\\n'";
    const TCheckResult result = Check(target, nullptr, kSilenceLimitSeconds, 5);
    EXPECT_TRUE(result.Ok) << result.Error;
    EXPECT_EQ(result.Count, 1);
    EXPECT_TRUE(server.Finished()) << server.Failure();
}

// An account whose password is kept in the keyring logs in with what the
// keyring holds; its password command, when set, wins; a keyring that fails
// or holds nothing for the account fails the login before any connection.
TEST(AccountCheck, TheKeyringsPasswordLogsInUnlessACommandIsSet) {
    TFakeKeyringHost keyring;
    TKeyringHost* const old = SetKeyringHost(&keyring);
    TMailboxServer box;
    box.server.On("PASS", "-ERR [AUTH] Authentication failed.\r\n");
    box.server.On("PASS from-keyring", "+OK\r\n");
    box.server.On("PASS from-command", "+OK\r\n");
    TAccount account = NewAccount(1);
    account.Server = "127.0.0.1";
    account.Port = box.server.Port();
    account.UserName = "u";
    account.SecretInKeyring = true;
    const std::string key = "u@127.0.0.1:" + std::to_string(box.server.Port());
    EXPECT_EQ(KeyringKeyOf(account), key);
    keyring.entries[key] = "from-keyring";

    TCheckResult result = Check(CheckTargetOf(account, "Box", false));
    EXPECT_TRUE(result.Ok) << result.Error;
    EXPECT_TRUE(box.server.Got("PASS from-keyring"));

    account.PasswordCommand = "echo from-command";
    result = Check(CheckTargetOf(account, "Box", false));
    EXPECT_TRUE(result.Ok) << result.Error;
    EXPECT_EQ(keyring.reads, 1) << "the command wins: no keyring read";
    account.PasswordCommand.clear();

    const int accepted = box.server.Accepted();
    keyring.Failure = "The keyring is locked";
    result = Check(CheckTargetOf(account, "Box", false));
    EXPECT_EQ(result.FailedStep, TCheckStep::Login);
    EXPECT_EQ(result.Error, "keyring: The keyring is locked");
    keyring.Failure.clear();
    keyring.entries.clear();
    result = Check(CheckTargetOf(account, "Box", false));
    EXPECT_EQ(result.Error, "keyring: no password kept for " + key);
    EXPECT_EQ(box.server.Accepted(), accepted) << "no connection without a secret";
    SetKeyringHost(old);
}
