// A connection held open for push against the scripted IMAP folder: news is
// counted at once, a renewal costs no report, a broken or dead connection is
// mended without a word, refused attempts back off and are shown, and a
// server without IDLE goes back to the poll cycle. Last, a real Dovecot that
// goes away and comes back on its ports.
#include "check/PushWatch.h"
#include "support/Fixtures.h"
#include "support/ImapFolderServer.h"
#include "support/TestSupport.h"

#include <QFile>
#include <QProcess>
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <vector>

using TestSupport::TImapFolderServer;
using TestSupport::WaitFor;

namespace {

class PushWatch : public ::testing::Test {
protected:
    void SetUp() override {
        box->unseen = {{1, " ann@example.org"}};
        box->uidNext = 2;
    }

    // Starts a watch of the box's folder that reads From lines, its secret
    // from `passwordCommand` when one is given.
    void Start(const std::string& passwordCommand = "") {
        TCheckTarget target;
        target.Name = "Box";
        target.Server = "127.0.0.1";
        target.Port = box->server.Port();
        target.UserName = "u";
        target.Secret = passwordCommand.empty() ? "p" : "stale";
        target.Protocol = TProtocol::Imap;
        target.WantFrom = true;
        target.PasswordCommand = passwordCommand;
        watch = std::make_unique<TPushWatch>(target, &cache, 0);
        watch->SilenceLimit = 1;
        watch->OnResult = [this](const TCheckResult& r) { results.push_back(r); };
        watch->OnPolled = [this] { ++polled; };
        watch->Start();
    }
    int Idles() const {
        const auto& lines = box->server.Lines();
        return static_cast<int>(std::count_if(lines.begin(), lines.end(), [](const std::string& l) {
            return l.size() > 5 && l.compare(l.size() - 5, 5, " IDLE") == 0;
        }));
    }

    std::unique_ptr<TImapFolderServer> box = std::make_unique<TImapFolderServer>();
    TFromCache cache;
    std::unique_ptr<TPushWatch> watch;
    std::vector<TCheckResult> results;
    int polled = 0;
};

}  // namespace

TEST_F(PushWatch, NewsIsCountedAtOnceAndARenewalReportsNothing) {
    Start();
    ASSERT_TRUE(WaitFor([&] { return box->Idling(); }));
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].Count, 1);
    EXPECT_EQ(results[0].FromLines, std::vector<std::string>{" ann@example.org"});

    box->Deliver(" bob@example.org");
    ASSERT_TRUE(WaitFor([&] { return results.size() == 2 && box->Idling(); }));
    EXPECT_EQ(results[1].Count, 2);
    EXPECT_TRUE(results[1].NewMail);
    EXPECT_EQ(results[1].FromLines, (std::vector<std::string>{" bob@example.org", " ann@example.org"}));
    EXPECT_EQ(box->TakeFetches(), 2) << "ann's From line came from the cache";

    box->Read(1);
    ASSERT_TRUE(WaitFor([&] { return results.size() == 3 && box->Idling(); }));
    EXPECT_EQ(results[2].Count, 1);
    EXPECT_FALSE(results[2].NewMail) << "a message read elsewhere is no new mail";

    // Renewed every second from now on: each renewal counts again, quietly.
    watch->RenewSeconds = 1;
    box->Deliver(" cy@example.org");
    ASSERT_TRUE(WaitFor([&] { return results.size() == 4 && box->Idling(); }));
    const int idles = Idles();
    ASSERT_TRUE(WaitFor([&] { return Idles() >= idles + 2; }));
    EXPECT_EQ(results.size(), 4u);
    EXPECT_EQ(box->logins, 1) << "one connection all along";
    EXPECT_EQ(polled, 0);
}

// Mail delivered while the watch counts is told with the count's answer,
// not in the wait that follows: the watch counts again before it waits.
TEST_F(PushWatch, NewsDuringACountIsNotLost) {
    Start();
    ASSERT_TRUE(WaitFor([&] { return box->Idling(); }));
    box->afterSearch = [&] { box->Deliver(" cy@example.org", true); };
    box->Deliver(" bob@example.org");
    ASSERT_TRUE(WaitFor([&] { return results.size() == 3 && box->Idling(); }));
    EXPECT_EQ(results[1].Count, 2);
    EXPECT_EQ(results[2].Count, 3);
}

TEST_F(PushWatch, ABrokenConnectionIsMendedSilentlyAndADeadOneIsFound) {
    Start();
    ASSERT_TRUE(WaitFor([&] { return box->Idling(); }));
    box->server.Send("* BYE Server shutting down.\r\n");
    box->server.CloseClient();
    ASSERT_TRUE(WaitFor([&] { return box->logins == 2 && box->Idling(); }));
    EXPECT_EQ(results.size(), 1u) << "nothing to show: the count is as it was and the reconnection worked";

    // A DONE nobody answers: after the silence limit the connection is dead.
    box->answerDone = false;
    box->Deliver(" bob@example.org");
    ASSERT_TRUE(WaitFor([&] { return box->logins == 3; }));
    box->answerDone = true;
    ASSERT_TRUE(WaitFor([&] { return results.size() == 2 && box->Idling(); }));
    EXPECT_TRUE(results[1].Ok) << results[1].Error;
    EXPECT_EQ(results[1].Count, 2);
}

// The secret is fetched for each new connection; the rounds on the held one
// need none.
TEST_F(PushWatch, APasswordCommandRunsOnlyForANewConnection) {
    TestSupport::TempDir dir;
    const std::string runs = dir.File("runs");
    Start("echo run >> '" + runs + "'; echo p");
    ASSERT_TRUE(WaitFor([&] { return box->Idling(); }));
    EXPECT_TRUE(box->server.Got("A1 AUTHENTICATE PLAIN AHUAcA==")) << "logged in with the command's p";
    box->Deliver(" bob@example.org");
    ASSERT_TRUE(WaitFor([&] { return results.size() == 2 && box->Idling(); }));
    EXPECT_EQ(TestSupport::ReadFile(runs), "run\n");

    box->server.CloseClient();
    ASSERT_TRUE(WaitFor([&] { return box->logins == 2 && box->Idling(); }));
    EXPECT_EQ(TestSupport::ReadFile(runs), "run\nrun\n");
}

TEST_F(PushWatch, RefusedAttemptsBackOffAndAreShown) {
    Start();
    ASSERT_TRUE(WaitFor([&] { return box->Idling(); }));
    box.reset();  // the server goes away: its port refuses from now on
    ASSERT_TRUE(WaitFor([&] { return results.size() == 3; }, 10000));
    for (std::size_t i = 1; i < 3; ++i) {
        EXPECT_FALSE(results[i].Ok);
        EXPECT_EQ(results[i].FailedStep, TCheckStep::Connection);
        EXPECT_NE(results[i].Error.find("refused"), std::string::npos) << results[i].Error;
    }
    EXPECT_EQ(watch->Failures(), 2);
    EXPECT_EQ(watch->State(), TPushWatch::TState::Retrying);
    EXPECT_GT(watch->NextAttempt(), QDateTime::currentDateTime().addMSecs(1000)) << "the second pause is longer";

    // 1, 2, 4 ... seconds, never more than the bound.
    const int expected[] = {0, 1, 2, 4, 8, 16, 32, 64, 128, 256, 300, 300};
    for (int failures = 0; failures < 12; ++failures)
        EXPECT_EQ(TPushWatch::RetryDelaySeconds(failures, 300), expected[failures]) << failures;
    EXPECT_EQ(TPushWatch::RetryDelaySeconds(1000, 300), 300);
}

TEST_F(PushWatch, AServerWithoutIdleIsLeftToThePollCycle) {
    box->idle = false;
    box->Greet();
    Start();
    ASSERT_TRUE(WaitFor([&] { return polled == 1; }));
    EXPECT_EQ(watch->State(), TPushWatch::TState::Polled);
    EXPECT_FALSE(watch->Holding());
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].Count, 1);
    EXPECT_TRUE(WaitFor([&] { return !box->server.ClientConnected(); }));
}

// Dovecot stopped and started again on the same ports: the watch shows the
// failed attempts, comes back by itself, and the next delivery is pushed.
TEST(PushDovecot, AServerBackOnItsPortsPushesAgain) {
    TestSupport::TempDir dir;
    // The server's own user must reach the mail.
    QFile::setPermissions(QString::fromStdString(dir.Path()), QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                                  QFileDevice::ExeOwner | QFileDevice::ReadGroup |
                                                                  QFileDevice::ExeGroup | QFileDevice::ReadOther |
                                                                  QFileDevice::ExeOther);
    const std::string box = dir.File("dovecot");
    TestSupport::RunDovecotScript({"start", box, "pushbox:2"});
    struct TStop {
        std::string box;
        ~TStop() { QProcess::execute(VESK_SOURCE_DIR "/scripts/fixtures/dovecot.sh", {"stop", QString::fromStdString(box)}); }
    } stop{box};
    const TestSupport::TDovecotFixture server(box);

    TCheckTarget target;
    target.Server = "127.0.0.1";
    target.Port = std::stoi(server.imapPort);
    target.UserName = "pushbox";
    target.Secret = server.users.at("pushbox").password;
    target.Protocol = TProtocol::Imap;
    TPushWatch watch(target);
    std::vector<TCheckResult> results;
    watch.OnResult = [&](const TCheckResult& r) { results.push_back(r); };
    watch.Start();
    const auto pushing = [&](int count) {
        return !results.empty() && results.back().Ok && results.back().Count == count &&
               watch.State() == TPushWatch::TState::Waiting;
    };
    ASSERT_TRUE(WaitFor([&] { return pushing(2); })) << (results.empty() ? "" : results.back().Error);

    TestSupport::RunDovecotScript({"stop", box});
    ASSERT_TRUE(WaitFor([&] { return !results.empty() && !results.back().Ok; }));
    TestSupport::RunDovecotScript({"start", box, "pushbox:2"},
                                  {"VESK_DOVECOT_PORT=" + server.port, "VESK_DOVECOT_IMAP_PORT=" + server.imapPort});
    ASSERT_TRUE(WaitFor([&] { return pushing(2); }, 15000)) << results.back().Error;
    server.Add("pushbox", 1);
    EXPECT_TRUE(WaitFor([&] { return pushing(3); }));
}
