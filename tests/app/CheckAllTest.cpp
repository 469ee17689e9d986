// Checking many accounts at once against scripted servers on loopback.
#include "app/CheckAll.h"
#include "support/ImapFolderServer.h"
#include "support/ScriptedPop3Server.h"
#include "support/TestSupport.h"

#include <QElapsedTimer>
#include <QTimer>
#include <gtest/gtest.h>

#include <memory>

using TestSupport::TScriptedPop3Server;
using Then = TScriptedPop3Server::Then;

namespace {

// A mailbox that logs in with USER/PASS and holds `count` messages.
void ServeMailbox(TScriptedPop3Server& server, int count) {
    server.On("USER", "+OK\r\n");
    server.On("PASS", "+OK\r\n");
    server.On("STAT", "+OK " + std::to_string(count) + " 1000\r\n");
    server.On("QUIT", "+OK bye\r\n", Then::Close);
}

TCheckTarget Target(const std::string& name, const TScriptedPop3Server& server) {
    return {name, "127.0.0.1", server.Port(), "user", "secret", false};
}

}  // namespace

TEST(CheckAll, ResultsInAccountOrderWithTheEnginesErrorTexts) {
    TScriptedPop3Server good, refused;
    // An IMAP server that could push is counted and left, never waited on.
    TestSupport::TImapFolderServer imap;
    imap.unseen = {{4, " a@example.org"}, {9, " b@example.org"}};
    TCheckTarget folder = Target("Lists", imap.server);
    folder.Protocol = TProtocol::Imap;
    ServeMailbox(good, 3);
    ServeMailbox(refused, 0);
    refused.On("PASS", "-ERR [AUTH] Authentication failed.\r\n");
    std::vector<TCheckTarget> accounts{
        Target("Home", good),
        {"Blank", "", 110, "user", "x", false},  // no server: skipped
        Target("Work", refused),
        {"Gone", "127.0.0.1", TestSupport::UnusedPort(), "user", "x", false},
        folder,
    };
    auto results = TCheckAll().Run(accounts);
    ASSERT_EQ(results.size(), 5u);
    EXPECT_TRUE(results[4].Ok) << results[4].Error;
    EXPECT_EQ(results[4].Count, 2);
    EXPECT_TRUE(imap.server.Got("A3 LOGOUT"));
    EXPECT_FALSE(imap.Idling());
    EXPECT_TRUE(results[0].Checked && results[0].Ok);
    EXPECT_EQ(results[0].Count, 3);
    EXPECT_FALSE(results[1].Checked);
    EXPECT_TRUE(results[2].Checked);
    EXPECT_FALSE(results[2].Ok);
    EXPECT_EQ(results[2].Error, "-ERR [AUTH] Authentication failed.");
    EXPECT_TRUE(refused.Got("QUIT")) << "a refused login still says goodbye";
    EXPECT_FALSE(results[3].Ok);
    EXPECT_NE(results[3].Error.find("refused"), std::string::npos) << results[3].Error;
    EXPECT_TRUE(good.Got("QUIT"));
}

TEST(CheckAll, AllConnectionsAreInFlightAtOnce) {
    // Five servers that each greet only 2 s after the start: one after
    // another that would take 10 s.
    std::vector<std::unique_ptr<TScriptedPop3Server>> servers;
    std::vector<TCheckTarget> accounts;
    for (int i = 0; i < 5; ++i) {
        servers.push_back(std::make_unique<TScriptedPop3Server>());
        ServeMailbox(*servers.back(), i);
        servers.back()->Greeting.clear();
        accounts.push_back(Target("Box" + std::to_string(i), *servers.back()));
    }
    QTimer::singleShot(2000, [&] {
        for (auto& s : servers) s->Send("+OK slow server ready\r\n");
    });
    QElapsedTimer clock;
    clock.start();
    auto results = TCheckAll().Run(accounts);
    EXPECT_LT(clock.elapsed(), 5000);
    for (int i = 0; i < 5; ++i) {
        EXPECT_TRUE(results[static_cast<size_t>(i)].Ok) << results[static_cast<size_t>(i)].Error;
        EXPECT_EQ(results[static_cast<size_t>(i)].Count, i);
    }
}

TEST(CheckAll, ASilentServerFailsAfterTheSilenceLimit) {
    TScriptedPop3Server silent, good;
    silent.Greeting.clear();
    ServeMailbox(good, 1);
    TCheckAll check;
    check.Timeout = 1;
    QElapsedTimer clock;
    clock.start();
    auto results = check.Run({Target("Silent", silent), Target("Good", good)});
    EXPECT_GE(clock.elapsed(), 900);
    EXPECT_LT(clock.elapsed(), 4000);
    EXPECT_FALSE(results[0].Ok);
    EXPECT_EQ(results[0].Error, "426 Timeout");
    EXPECT_TRUE(results[1].Ok) << "the other account is not held up";
}
