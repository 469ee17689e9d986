// The blocking operations: time-outs, progress, termination, re-entrancy.
#include "Pop3TestClient.h"

#include "framework/Application.h"
#include "support/ScriptedPop3Server.h"

#include <QTimer>
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>

using TestSupport::TScript;
using TestSupport::TScriptedPop3Server;
using TestSupport::WaitFor;

namespace {

class Pop3Sync : public ::testing::Test {
protected:
    void SetUp() override {
        cli.Host = "127.0.0.1";
        cli.Port = server.PortText();
        server.On("USER", "+OK\r\n");
        server.On("PASS", "+OK\r\n");
        server.On("QUIT", "+OK\r\n", TScriptedPop3Server::Then::Close);
    }
    void TearDown() override { Application->Terminated = false; }

    void LogIn() {
        ASSERT_TRUE(cli.ConnectWait());
        ASSERT_TRUE(cli.UserWait());
        ASSERT_TRUE(cli.PassWait());
    }

    TScriptedPop3Server server;
    TestPop3Cli cli;
};

}  // namespace

TEST_F(Pop3Sync, SilentServerTimesOut) {
    server.Greeting = "";
    cli.Timeout = 1;
    EXPECT_FALSE(cli.ConnectWait());
    EXPECT_EQ(cli.ErrorMessage(), "426 Timeout");
    EXPECT_EQ(cli.ReplyStatus(), 426);
    EXPECT_FALSE(cli.Connected());
    EXPECT_EQ(cli.EngineState(), esIdle);
}

TEST_F(Pop3Sync, SilenceAfterACommandTimesOutAndDisconnects) {
    server.On("STAT", "");
    LogIn();
    cli.Timeout = 1;
    EXPECT_FALSE(cli.StatWait());
    EXPECT_EQ(cli.ErrorMessage(), "426 Timeout");
    EXPECT_EQ(cli.ReplyStatus(), 426);
    EXPECT_FALSE(cli.Connected());
    EXPECT_EQ(cli.ProtocolState(), pop3Disconnected);
    // The time-out's abort ended the request; nothing is left running.
    EXPECT_TRUE(cli.WaitDone(4));
    EXPECT_EQ(cli.Done.back().first, rqStat);
    // The connection is gone: the next command is refused at once.
    EXPECT_FALSE(cli.NoopWait());
}

TEST_F(Pop3Sync, LinesTricklingInsideTheTimeoutNeverTimeOut) {
    LogIn();
    cli.Timeout = 2;
    // Eight lines 300 ms apart: the reply takes longer than Timeout, the
    // silence between its lines never does.
    int sent = 0;
    QTimer trickle;
    trickle.setInterval(300);
    QObject::connect(&trickle, &QTimer::timeout, [&] {
        static const char* lines[] = {"+OK\r\n", "From: a@b\r\n", "To: c@d\r\n", "Subject: s\r\n",
                                      "\r\n",    "body 1\r\n",    "body 2\r\n",  ".\r\n"};
        server.Send(lines[sent++]);
        if (sent == 8) trickle.stop();
    });
    server.OnCommand = [&](const std::string& line) {
        if (line != "TOP 1 0") return false;
        trickle.start();
        return true;
    };
    cli.MsgNum = 1;
    EXPECT_TRUE(cli.TopWait());
    EXPECT_EQ(sent, 8);
    EXPECT_EQ(cli.FromValue(), " a@b");
}

TEST_F(Pop3Sync, TerminationMakesAWaitGiveUp) {
    server.On("STAT", "");
    LogIn();
    cli.Timeout = 0;  // no limit: only the termination can end the wait
    QTimer::singleShot(50, [] { Application->Terminated = true; });
    EXPECT_FALSE(cli.StatWait());
    EXPECT_EQ(cli.ErrorMessage(), "426 Timeout");
    EXPECT_EQ(cli.ReplyStatus(), 426);
    EXPECT_FALSE(cli.Connected());

    // An operation that ends at once still reports before the termination
    // is looked at.
    EXPECT_TRUE(Application->Terminated);
    EXPECT_TRUE(cli.QuitWait());
    EXPECT_EQ(server.Accepted(), 1);
}

TEST_F(Pop3Sync, AWrapperCalledInsideAWaitFailsAtOnce) {
    server.On("STAT", "+OK 3 300\r\n");
    LogIn();
    std::vector<bool> nested;
    cli.OnResponse = [&](TObject*, const std::string&) { nested.push_back(cli.NoopWait()); };
    EXPECT_TRUE(cli.StatWait());
    EXPECT_EQ(nested, std::vector<bool>{false});
    EXPECT_EQ(cli.MsgCount(), 3);
    EXPECT_FALSE(server.Got("NOOP"));
}

TEST_F(Pop3Sync, ImmediateFailuresAndSuccesses) {
    // Quit while not connected: true at once, nothing sent.
    EXPECT_TRUE(cli.QuitWait());
    EXPECT_EQ(server.Accepted(), 0);

    LogIn();
    // A precondition failure is false and leaves ErrorMessage alone.
    cli.MsgLines = -1;
    EXPECT_FALSE(cli.TopWait());
    EXPECT_EQ(cli.ErrorMessage(), "");
    cli.MsgLines = 0;
    EXPECT_FALSE(cli.ConnectWait());
    EXPECT_EQ(cli.ErrorMessage(), "");
    EXPECT_FALSE(cli.APopWait());
    EXPECT_EQ(cli.ErrorMessage(), "-ERR APOP command invalid now");
    EXPECT_TRUE(cli.Connected());

    EXPECT_TRUE(cli.QuitWait());
    EXPECT_FALSE(cli.Connected());
    EXPECT_TRUE(cli.AbortWait());
}

TEST_F(Pop3Sync, OpenWaitReturnsAfterTheWholeSequence) {
    cli.UserName = "u";
    cli.PassWord = "p";
    EXPECT_TRUE(cli.OpenWait());
    EXPECT_EQ(cli.ProtocolState(), pop3Transaction);
    EXPECT_EQ(server.Lines(), (std::vector<std::string>{"USER u", "PASS p"}));
    EXPECT_TRUE(cli.QuitWait());

    server.On("PASS", "-ERR bad password\r\n");
    EXPECT_FALSE(cli.OpenWait());
    EXPECT_EQ(cli.ErrorMessage(), "-ERR bad password");
    EXPECT_EQ(cli.ReplyStatus(), 500);
}

TEST_F(Pop3Sync, MultiThreadedWaitPumpsThroughTheSocketLayer) {
    cli.MultiThreaded = true;
    server.On("STAT", "+OK 4 1000\r\n");
    LogIn();
    EXPECT_TRUE(cli.StatWait());
    EXPECT_EQ(cli.MsgCount(), 4);
    EXPECT_TRUE(cli.QuitWait());
}

TEST_F(Pop3Sync, OtherClientsWorkFromInsideAWait) {
    // A handler that runs inside one client's wait may drive a second client
    // through a whole session.
    TScriptedPop3Server other;
    other.Play(TScript()
                   .Send(other.Greeting)
                   .ExpectLine("USER ").Send("+OK\r\n")
                   .ExpectLine("PASS ").Send("+OK\r\n")
                   .ExpectLine("STAT").Send("+OK 9 9\r\n"));
    TestPop3Cli second;
    second.Host = "127.0.0.1";
    second.Port = other.PortText();
    int count = -1;
    server.On("STAT", "+OK 1 1\r\n");
    LogIn();
    cli.OnResponse = [&](TObject*, const std::string&) {
        if (count >= 0) return;
        count = 0;
        if (second.ConnectWait() && second.UserWait() && second.PassWait() && second.StatWait())
            count = second.MsgCount();
    };
    EXPECT_TRUE(cli.StatWait());
    EXPECT_EQ(count, 9);
    EXPECT_EQ(cli.MsgCount(), 1);
    EXPECT_TRUE(other.Finished()) << other.Failure();
}

// ---- servers that misbehave ----

// A header line of exactly 4094 bytes ending in "." is cut after 4093 bytes;
// the piece "." that continues it arrives before its line end, and the rest
// of the reply in a later packet. The piece is no end of the reply: the TOP
// goes on to its real end and the next command gets its own reply.
TEST_F(Pop3Sync, APieceOfACutLineIsNeverTheEndOfTheReply) {
    server.On("NOOP", "+OK noop\r\n");
    LogIn();
    std::string line = "X-Long: ";
    line += std::string(4094 - line.size() - 1, 'a') + ".";
    ASSERT_EQ(line.size(), 4094u);
    server.OnCommand = [&](const std::string& command) {
        if (command != "TOP 1 0") return false;
        server.Send("+OK\r\n" + line);
        QTimer::singleShot(300, [&] { server.Send("\r\nSubject: s\r\n\r\n.\r\n"); });
        return true;
    };
    cli.MsgNum = 1;
    EXPECT_TRUE(cli.TopWait());
    EXPECT_EQ(cli.SubjectValue(), " s");
    EXPECT_TRUE(cli.NoopWait());
    EXPECT_EQ(cli.LastResponse(), "+OK noop");
}

// A connect that raises at once (here: no such local address to bind) must
// leave the socket closed, so the next connect can change its settings.
TEST_F(Pop3Sync, AFailedBindLeavesTheClientReadyToConnectAgain) {
    cli.LocalAddr = "192.0.2.1";
    EXPECT_FALSE(cli.ConnectWait());
    EXPECT_NE(cli.ErrorMessage().find("bind"), std::string::npos) << cli.ErrorMessage();
    cli.LocalAddr = "0.0.0.0";
    EXPECT_TRUE(cli.ConnectWait()) << cli.ErrorMessage();
}

// A header line every 200 ms keeps the silence short for ever: the reply as
// a whole gets 4 time-outs, then the request fails and the connection goes.
TEST_F(Pop3Sync, AReplyThatNeverEndsFailsAfterFourTimeouts) {
    LogIn();
    cli.Timeout = 1;
    QTimer trickle;
    trickle.setInterval(200);
    QObject::connect(&trickle, &QTimer::timeout, [&] { server.Send("X-More: x\r\n"); });
    server.OnCommand = [&](const std::string& command) {
        if (command != "TOP 1 0") return false;
        server.Send("+OK\r\n");
        trickle.start();
        return true;
    };
    cli.MsgNum = 1;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(cli.TopWait());
    const auto took = std::chrono::steady_clock::now() - start;
    trickle.stop();
    EXPECT_GE(took, std::chrono::seconds(4));
    EXPECT_LT(took, std::chrono::seconds(7));
    EXPECT_EQ(cli.ErrorMessage(), "426 Timeout");
    EXPECT_FALSE(cli.Connected());
}

// A status line that never ends, in pieces: past 64 KiB it fails at once;
// trickled slower, it gets 4 time-outs in all like any reply (each piece
// used to count as a reply of its own and restart the silence for ever).
TEST_F(Pop3Sync, AStatusLineThatNeverEndsFails) {
    LogIn();
    cli.Timeout = 1;
    server.On("STAT", "+OK 2 320 " + std::string(70000, 'A'));
    EXPECT_FALSE(cli.StatWait());
    EXPECT_EQ(cli.ErrorMessage(), "-ERR Reply too long");
    EXPECT_FALSE(cli.Connected());

    LogIn();
    QTimer trickle;
    trickle.setInterval(500);
    QObject::connect(&trickle, &QTimer::timeout, [&] { server.Send(std::string(4100, 'A')); });
    server.OnCommand = [&](const std::string& command) {
        if (command != "STAT") return false;
        server.Send("+OK 2 320 ");
        trickle.start();
        return true;
    };
    EXPECT_FALSE(cli.StatWait());
    trickle.stop();
    EXPECT_EQ(cli.ErrorMessage(), "426 Timeout");
    EXPECT_FALSE(cli.Connected());
}

// More than 1 MiB of header for a TOP n 0: the request fails at once with
// "-ERR Reply too long" and the connection is dropped.
TEST_F(Pop3Sync, AHeaderPastOneMebibyteFailsTheTop) {
    LogIn();
    std::string header = "+OK\r\n";
    while (header.size() <= (1u << 20) + 100) header += "X-Filler: " + std::string(100, 'f') + "\r\n";
    server.On("TOP", header);
    cli.MsgNum = 1;
    EXPECT_FALSE(cli.TopWait());
    EXPECT_EQ(cli.ErrorMessage(), "-ERR Reply too long");
    EXPECT_EQ(cli.RequestOutcome(), 426);
    EXPECT_FALSE(cli.Connected());
}
