// The asynchronous engine against the scripted server on loopback.
#include "Pop3TestClient.h"

#include "codec/ServerText.h"
#include "pop3/MD5.h"
#include "support/ScriptedPop3Server.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <string>

using TestSupport::TScript;
using TestSupport::TScriptedPop3Server;
using TestSupport::WaitFor;
using Then = TScriptedPop3Server::Then;

namespace {

std::string Lower(std::string s) {
    for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

class Pop3Engine : public ::testing::Test {
protected:
    void SetUp() override {
        cli.Host = "127.0.0.1";
        cli.Port = server.PortText();
        server.On("USER", "+OK\r\n");
        server.On("PASS", "+OK logged in\r\n");
        server.On("QUIT", "+OK bye\r\n", Then::Close);
    }
    void TearDown() override { EXPECT_EQ(server.Failure(), ""); }

    // The conversation up to the transaction state, as the rules above have it.
    TScript LoggedIn(const std::string& user = "", const std::string& pass = "") {
        return TScript()
            .Send(server.Greeting)
            .ExpectLine("USER " + user).Send("+OK\r\n")
            .ExpectLine("PASS " + pass).Send("+OK logged in\r\n");
    }

    // Connected and in the transaction state, with the events so far cleared.
    void LogIn() {
        ASSERT_TRUE(cli.ConnectWait());
        ASSERT_TRUE(cli.UserWait());
        ASSERT_TRUE(cli.PassWait());
        ASSERT_EQ(cli.ProtocolState(), pop3Transaction);
        ASSERT_TRUE(cli.WaitDone(3));
        cli.Done.clear();
        cli.Log.clear();
        cli.Display.clear();
        cli.Responses.clear();
        cli.States.clear();
    }

    // Starts `op` on the engine and waits for its OnRequestDone.
    template <class Op>
    std::pair<TPop3Request, WORD> Run(Op op) {
        std::size_t before = cli.Done.size();
        op();
        EXPECT_TRUE(cli.WaitDone(before + 1));
        return cli.Done.size() > before ? cli.Done.back() : std::make_pair(rqOpen, WORD(0xFFFF));
    }

    TScriptedPop3Server server;
    TestPop3Cli cli;
};

}  // namespace

// ---------------------------------------------------------------------------
// Greeting and time stamp

TEST_F(Pop3Engine, GreetingWithStampConnectsAndKeepsTheStamp) {
    auto done = Run([&] { cli.Connect(); });
    EXPECT_EQ(done, std::make_pair(rqConnect, WORD(0)));
    EXPECT_TRUE(cli.Connected());
    EXPECT_EQ(cli.ProtocolState(), pop3WaitingUser);
    EXPECT_EQ(cli.TimeStamp(), "<1896.697170952@dbc.mtview.ca.us>");
    EXPECT_EQ(cli.LastResponse(), "+OK POP3 test server ready <1896.697170952@dbc.mtview.ca.us>");
    EXPECT_EQ(cli.RequestOutcome(), 0);
    EXPECT_EQ(cli.Display, std::vector<std::string>{"< " + cli.LastResponse()});
    // OnSessionConnected comes with the greeting, before the request ends.
    EXPECT_EQ(cli.Log, (std::vector<std::string>{"connected 0", "done 0 0"}));
    // Every change of the engine state once, none repeated.
    EXPECT_EQ(cli.States, (std::vector<TPop3EngineState>{esLookingUp, esConnecting, esAwaitingGreeting, esConnected,
                                                         esIdle}));
}

TEST_F(Pop3Engine, SecondConnectionNeverReusesTheFirstStamp) {
    ASSERT_TRUE(cli.ConnectWait());
    ASSERT_FALSE(cli.TimeStamp().empty());
    ASSERT_TRUE(cli.QuitWait());
    server.Greeting = "+OK <not-a-message-id>\r\n";
    ASSERT_TRUE(cli.ConnectWait());
    EXPECT_EQ(cli.TimeStamp(), "");
    EXPECT_THROW(cli.APop(), Pop3Exception);
    EXPECT_FALSE(cli.APopWait());
    EXPECT_EQ(cli.ErrorMessage(), "-ERR Server do not support APOP (no timestamp)");
    EXPECT_EQ(cli.Display.back(), "-ERR Server do not support APOP (no timestamp)");
    EXPECT_FALSE(server.Got("APOP"));
}

TEST_F(Pop3Engine, NegativeGreetingFailsThroughTheClose) {
    server.Greeting = "-ERR too busy\r\n+OK never read\r\n";
    auto done = Run([&] { cli.Connect(); });
    EXPECT_EQ(done, std::make_pair(rqConnect, WORD(10004)));
    EXPECT_EQ(cli.ErrorMessage(), "-ERR too busy");
    EXPECT_EQ(cli.RequestOutcome(), 500);
    EXPECT_EQ(cli.ReplyStatus(), 500);
    EXPECT_FALSE(cli.Connected());
    EXPECT_EQ(cli.ProtocolState(), pop3Disconnected);
    EXPECT_EQ(cli.EngineState(), esIdle);
    EXPECT_EQ(cli.Responses, std::vector<std::string>{"-ERR too busy"});
}

// A rejected greeting always gives a reason, cleaned and shortened, and
// leaves nothing behind: the next connection's greeting is read as its own
// (a cut line left over once swallowed it as its continuation).
TEST_F(Pop3Engine, RejectedGreetingsGiveAReasonAndLeaveNothingForTheNextConnection) {
    std::string junk;  // CR and LF bytes, but never the two together
    for (int i = 0; i < 40 * 256; ++i) junk += static_cast<char>(i % 256);
    const std::string mark(kUnshownMark);
    using F = TPop3Failure;
    struct Case {
        std::string greeting;
        std::string error;
        TPop3Failure failure;
    } cases[] = {
        {junk, "-ERR Interrupted system call (Winsock error #10004)", F::Closed},
        {std::string(5000, 'x') + "\r\n", std::string(200, 'x'), F::Refused},
        {"\r\n", "-ERR Empty reply", F::Refused},
        {std::string("\0junk\r\n", 7), "-ERR Empty reply", F::Refused},
        {"-ERR \x1b]0;owned\x07" "busy\tWork\t42\r\n", "-ERR " + mark + "]0;owned" + mark + "busy Work 42", F::Refused},
    };
    TScriptedPop3Server good;
    good.Greeting = "+OK ready\r\n";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.error);
        server.Play(TScript().Send(c.greeting).Close());
        cli.Port = server.PortText();
        EXPECT_FALSE(cli.ConnectWait());
        EXPECT_EQ(cli.ErrorMessage(), c.error);
        EXPECT_EQ(cli.Failure(), c.failure);
        EXPECT_FALSE(cli.Connected());
        cli.Port = good.PortText();
        ASSERT_TRUE(cli.ConnectWait()) << cli.ErrorMessage();
        EXPECT_EQ(cli.LastResponse(), "+OK ready");
        cli.Abort();
    }
}

// ---------------------------------------------------------------------------
// Log-in commands

TEST_F(Pop3Engine, UserAndPassAreTrimmedApopPasswordIsNot) {
    cli.UserName = " \tmrose  ";
    cli.PassWord = " tanstaaf\t";
    LogIn();
    EXPECT_EQ(server.Lines(), (std::vector<std::string>{"USER mrose", "PASS tanstaaf"}));
    ASSERT_TRUE(cli.QuitWait());

    server.On("APOP", "+OK maildrop ready\r\n");
    ASSERT_TRUE(cli.ConnectWait());
    ASSERT_TRUE(cli.APopWait());
    EXPECT_EQ(cli.ProtocolState(), pop3Transaction);
    std::string digest = Lower(Md5StringHex("<1896.697170952@dbc.mtview.ca.us> tanstaaf\t"));
    EXPECT_EQ(server.Lines().back(), "APOP mrose " + digest);
    EXPECT_EQ(cli.Display.back(), "< +OK maildrop ready");
    EXPECT_NE(std::find(cli.Display.begin(), cli.Display.end(), "> APOP mrose " + digest), cli.Display.end());
}

TEST_F(Pop3Engine, ApopSendsTheStandardsExampleDigest) {
    cli.UserName = "mrose";
    cli.PassWord = "tanstaaf";
    server.Play(TScript()
                    .Send("+OK POP3 server ready <1896.697170952@dbc.mtview.ca.us>\r\n")
                    .ExpectLine("APOP mrose c4c9334bac560ecc979e58001b3e22fb").Send("+OK\r\n"));
    ASSERT_TRUE(cli.ConnectWait());
    ASSERT_TRUE(cli.APopWait());
    EXPECT_EQ(server.Lines().back(), "APOP mrose c4c9334bac560ecc979e58001b3e22fb");
}

TEST_F(Pop3Engine, RefusedUserLeavesStateSoPassMayFollow) {
    server.On("USER", "-ERR who?\r\n");
    ASSERT_TRUE(cli.ConnectWait());
    EXPECT_FALSE(cli.UserWait());
    EXPECT_EQ(cli.ProtocolState(), pop3WaitingUser);
    EXPECT_EQ(cli.ErrorMessage(), "-ERR who?");
    EXPECT_EQ(cli.RequestOutcome(), 500);
    EXPECT_EQ(cli.Failure(), TPop3Failure::Refused);
    EXPECT_TRUE(cli.PassWait());
    EXPECT_EQ(cli.ProtocolState(), pop3Transaction);
    EXPECT_EQ(cli.Failure(), TPop3Failure::None);
    // The first failure's text stays.
    EXPECT_EQ(cli.ErrorMessage(), "-ERR who?");
}

// ---------------------------------------------------------------------------
// Single-line transaction replies

// Which replies parse: Pop3Replies.TwoNumbersAndTheirRange. One that does not
// fails the request and leaves no count.
TEST_F(Pop3Engine, StatReplyThatDoesNotParseFailsTheRequest) {
    LogIn();
    // failure: the last response; none: the request succeeds.
    struct { const char* reply; std::string failure; int count, size; } cases[] = {
        {"+OK 2147483647 2147483647", "", 2147483647, 2147483647},
        {"+OK 4294967296 10", "-ERR Malformed STAT reply (count or size out of range): +OK 4294967296 10", 0, 0},
        {"+OK 2 320", "", 2, 320},
        {"+OK 7", "-ERR Malformed STAT reply (no count and size): +OK 7", 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reply);
        server.On("STAT", std::string(c.reply) + "\r\n");
        ASSERT_EQ(cli.StatWait(), c.failure.empty());
        EXPECT_EQ(server.Lines().back(), "STAT");
        EXPECT_EQ(cli.MsgCount(), c.count);
        EXPECT_EQ(cli.MsgSize(), c.size);
        if (c.failure.empty()) continue;
        EXPECT_EQ(cli.LastResponse(), c.failure);
        // The error message keeps the first failure's text.
        EXPECT_EQ(cli.ErrorMessage().rfind("-ERR Malformed STAT reply (count or size out of range)", 0), 0u);
        EXPECT_EQ(cli.Failure(), TPop3Failure::Malformed);
        EXPECT_TRUE(cli.Connected());
    }
}

TEST_F(Pop3Engine, ListAndUidlWithANumberAndLast) {
    LogIn();
    server.On("LIST 3", "+OK 3 120\r\n");
    cli.MsgNum = 3;
    ASSERT_TRUE(cli.ListWait());
    EXPECT_EQ(cli.MsgNum, 3);
    EXPECT_EQ(cli.MsgSize(), 120);

    server.On("UIDL 2", "+OK 2   abc-DEF~!\x01tail\r\n");
    cli.MsgNum = 2;
    ASSERT_TRUE(cli.UidlWait());
    EXPECT_EQ(cli.MsgNum, 2);
    EXPECT_EQ(cli.MsgUidl(), "abc-DEF~!");

    server.On("LAST", "+OK 5 0\r\n");
    ASSERT_TRUE(cli.LastWait());
    EXPECT_EQ(cli.MsgNum, 5);
    EXPECT_EQ(cli.MsgSize(), 0);
}

TEST_F(Pop3Engine, NumbersInCommandsAreSentAsTheyAre) {
    LogIn();
    server.On("RETR", "-ERR no such message\r\n");
    server.On("DELE", "+OK\r\n");
    server.On("TOP", "-ERR no\r\n");
    cli.MsgNum = 0;
    EXPECT_FALSE(cli.RetrWait());
    cli.MsgNum = -4;
    EXPECT_TRUE(cli.DeleWait());
    cli.MsgNum = 5;
    cli.MsgLines = 0;
    EXPECT_FALSE(cli.TopWait());
    server.On("NOOP", "+OK\r\n");
    server.On("RSET", "+OK\r\n");
    EXPECT_TRUE(cli.NoopWait());
    EXPECT_TRUE(cli.RSetWait());
    EXPECT_EQ(server.Lines(), (std::vector<std::string>{"USER ", "PASS ", "RETR 0", "DELE -4", "TOP 5 0", "NOOP",
                                                        "RSET"}));
    EXPECT_EQ(cli.ErrorMessage(), "-ERR no such message");
}

// ---------------------------------------------------------------------------
// Multi-line replies

TEST_F(Pop3Engine, ListingDeliversEachLineWithItsNumbers) {
    LogIn();
    server.On("LIST", "+OK 3 messages\r\n1 120\r\n2 200\r\n7\r\n.\r\n");
    std::vector<std::string> seen;
    cli.OnListBegin = [&](TObject*) { seen.push_back("begin"); };
    cli.OnListLine = [&](TObject*) {
        seen.push_back(cli.LastResponse() + "=" + std::to_string(cli.MsgNum) + "/" + std::to_string(cli.MsgSize()));
    };
    cli.OnListEnd = [&](TObject*) { seen.push_back("end"); };
    cli.MsgNum = 0;
    auto done = Run([&] { cli.List(); });
    EXPECT_EQ(done, std::make_pair(rqList, WORD(0)));
    EXPECT_EQ(server.Lines().back(), "LIST");
    EXPECT_EQ(seen, (std::vector<std::string>{"begin", "1 120=1/120", "2 200=2/200", "7=0/0", "end"}));
    EXPECT_EQ(cli.LastResponse(), "");
}

// Which listing lines parse: Pop3Replies.UidlListingLines. One that does not
// fails the request, reaches its event as no message (number 0, no id) and
// drops the connection; its text is shown cut to 80 characters.
TEST_F(Pop3Engine, UidlListingGivesNumberAndIdOrFailsAndDropsTheConnection) {
    LogIn();
    server.On("UIDL", "+OK\r\n1 whqtswO00WBw418f9t5JxYwZ\r\n2 QhdPYR:00WBw1Ph7x7 rest\r\n.\r\n");
    std::vector<std::string> seen;
    cli.OnUidlLine = [&](TObject*) { seen.push_back(std::to_string(cli.MsgNum) + " " + cli.MsgUidl()); };
    cli.MsgNum = 0;
    ASSERT_TRUE(cli.UidlWait());
    EXPECT_EQ(seen, (std::vector<std::string>{"1 whqtswO00WBw418f9t5JxYwZ", "2 QhdPYR:00WBw1Ph7x7"}));
    // Header capture runs over listings too: the colon made a key.
    EXPECT_EQ(cli.LastHeaderKey(), "2 qhdpyr");
    ASSERT_TRUE(cli.QuitWait());

    for (const std::string& line : {std::string("0 zero"), "1 " + std::string(100, 'x')}) {
        SCOPED_TRACE(line);
        LogIn();
        server.On("UIDL", "+OK\r\n1 fine\r\n" + line + "\r\n2 after\r\n.\r\n");
        seen.clear();
        cli.MsgNum = 0;
        EXPECT_FALSE(cli.UidlWait());
        EXPECT_EQ(cli.ErrorMessage(), "-ERR Malformed UIDL line: " + line.substr(0, 80));
        EXPECT_EQ(cli.Failure(), TPop3Failure::Malformed);
        EXPECT_EQ(seen, (std::vector<std::string>{"1 fine", "0 "}));
        EXPECT_FALSE(cli.Connected());
        EXPECT_TRUE(WaitFor([&] { return !server.ClientConnected(); }));
    }
}

TEST_F(Pop3Engine, TopCapturesHeadersAndRemovesByteStuffing) {
    LogIn();
    server.On("TOP 5 0",
              "+OK top of message follows\r\n"
              "Return-Path: <bounce@example.org>\r\n"
              "FROM: first@example.org\r\n"
              "From:  second <second@example.org>\r\n"
              "\tcontinued: not a header\r\n"
              " Subject: indented with a space\r\n"
              "no colon on this line\r\n"
              "To:you@example.org\r\n"
              "Date: Mon, 7 Dec 2026 10:00:00 +0000\r\n"
              "Message-ID: <id@example.org>\r\n"
              "ReplyTo: someone\r\n"
              "\r\n"
              "..leading dot\r\n"
              "...\r\n"
              ".single\r\n"
              "From: body@example.org\r\n"
              ".\r\n");
    std::vector<std::string> lines;
    int headerEnds = 0;
    bool inHeaderAtEnd = true;
    cli.OnMessageLine = [&](TObject*) { lines.push_back(cli.LastResponse()); };
    cli.OnHeaderEnd = [&](TObject*) {
        ++headerEnds;
        inHeaderAtEnd = cli.InHeader();
    };
    cli.MsgNum = 5;
    cli.MsgLines = 0;
    auto done = Run([&] { cli.Top(); });
    EXPECT_EQ(done, std::make_pair(rqTop, WORD(0)));
    EXPECT_EQ(cli.FromValue(), "  second <second@example.org>");
    EXPECT_EQ(cli.SubjectValue(), " indented with a space");
    EXPECT_EQ(cli.ToValue(), "you@example.org");
    EXPECT_EQ(cli.DateValue(), " Mon, 7 Dec 2026 10:00:00 +0000");
    EXPECT_EQ(cli.MessageIdValue(), " <id@example.org>");
    EXPECT_EQ(cli.ReplyToValue(), " someone");
    EXPECT_EQ(cli.ReturnPathValue(), " <bounce@example.org>");
    // The body's From line came after the header's end.
    EXPECT_EQ(cli.LastHeaderKey(), "replyto");
    EXPECT_EQ(headerEnds, 1);
    EXPECT_FALSE(inHeaderAtEnd);
    ASSERT_EQ(lines.size(), 15u);
    EXPECT_EQ(lines[3], "\tcontinued: not a header");
    EXPECT_EQ(lines[10], "");  // the empty line still reaches the line event
    EXPECT_EQ(lines[11], ".leading dot");
    EXPECT_EQ(lines[12], "..");
    EXPECT_EQ(lines[13], ".single");
    EXPECT_EQ(cli.LastResponse(), "");

    // The next transaction command clears every captured field.
    server.On("STAT", "+OK 1 1\r\n");
    ASSERT_TRUE(cli.StatWait());
    EXPECT_EQ(cli.FromValue(), "");
    EXPECT_EQ(cli.ReturnPathValue(), "");
    EXPECT_EQ(cli.LastHeaderKey(), "");
    EXPECT_EQ(cli.LastHeaderValue(), "");
}

TEST_F(Pop3Engine, RetrEventsAreThoseOfTheMomentTheReplyStarts) {
    LogIn();
    std::vector<std::string> seen;
    server.On("RETR 1", "+OK\r\nSubject: x\r\n\r\nbody\r\n.\r\n");
    cli.OnMessageBegin = [&](TObject*) {
        seen.push_back("begin");
        // Replacing the published events now does not affect this reply.
        cli.OnMessageLine = [&](TObject*) { seen.push_back("replaced"); };
    };
    cli.OnMessageLine = [&](TObject*) { seen.push_back("line " + cli.LastResponse()); };
    cli.OnMessageEnd = [&](TObject*) { seen.push_back("end"); };
    cli.MsgNum = 1;
    ASSERT_TRUE(cli.RetrWait());
    EXPECT_EQ(seen, (std::vector<std::string>{"begin", "line Subject: x", "line ", "line body", "end"}));
}

TEST_F(Pop3Engine, NegativeFirstLineStartsNoMultiLineReading) {
    LogIn();
    bool began = false;
    cli.OnMessageBegin = [&](TObject*) { began = true; };
    server.On("RETR", "-ERR no such message\r\n");
    cli.MsgNum = 9;
    auto done = Run([&] { cli.Retr(); });
    EXPECT_EQ(done, std::make_pair(rqRetr, WORD(500)));
    EXPECT_FALSE(began);
}

// ---------------------------------------------------------------------------
// Cutting lines

TEST_F(Pop3Engine, LineSplitAcrossReadsIsHandledOnceWhenComplete) {
    server.Play(TScript().Gate(1).Send("+OK split gre").Gate(2).Send("eting\r").Gate(3).Send("\n"));
    cli.Connect();
    ASSERT_TRUE(WaitFor([&] { return cli.EngineState() == esAwaitingGreeting && server.ClientConnected(); }));
    server.Open(1);
    ASSERT_TRUE(WaitFor([&] { return cli.HeldBytes() == 13; }));
    server.Open(2);
    ASSERT_TRUE(WaitFor([&] { return cli.HeldBytes() == 19; }));
    EXPECT_TRUE(cli.Responses.empty());
    server.Open(3);
    ASSERT_TRUE(cli.WaitDone());
    EXPECT_EQ(cli.Responses, std::vector<std::string>{"+OK split greeting"});
    EXPECT_EQ(cli.HeldBytes(), 0);
}

TEST_F(Pop3Engine, LoneCrOrLfEndsNothing) {
    server.Greeting = "+OK a\rb\nc\r\n";
    ASSERT_TRUE(cli.ConnectWait());
    EXPECT_EQ(cli.Responses, std::vector<std::string>{"+OK a\rb\nc"});
}

TEST_F(Pop3Engine, TwoRepliesInOneReadAreHandledInOrder) {
    LogIn();
    // The second line arrives with the first; it finds the engine idle and is
    // only shown.
    server.On("NOOP", "+OK first\r\n+OK second\r\n");
    auto done = Run([&] { cli.Noop(); });
    EXPECT_EQ(done, std::make_pair(rqNoop, WORD(0)));
    EXPECT_EQ(cli.Responses, (std::vector<std::string>{"+OK first", "+OK second"}));
    EXPECT_EQ(cli.Display, (std::vector<std::string>{"> NOOP", "< +OK first", "< +OK second"}));
}

TEST_F(Pop3Engine, LongLineArrivesInPiecesOf4093Bytes) {
    LogIn();
    std::string line(5000, 'x');
    line[0] = 'a';
    line[4092] = 'b';
    line[4093] = 'c';
    server.On("RETR 1", "+OK\r\n" + line + "\r\n.\r\n");
    std::vector<std::string> lines;
    cli.OnMessageLine = [&](TObject*) { lines.push_back(cli.LastResponse()); };
    cli.MsgNum = 1;
    ASSERT_TRUE(cli.RetrWait());
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], line.substr(0, 4093));
    EXPECT_EQ(lines[1], line.substr(4093));
}

TEST_F(Pop3Engine, ZeroByteEndsTheLineText) {
    server.Greeting = std::string("+OK before\0after\r\n", 18);
    ASSERT_TRUE(cli.ConnectWait());
    EXPECT_EQ(cli.LastResponse(), "+OK before");
}

// ---------------------------------------------------------------------------
// Closes

TEST_F(Pop3Engine, CloseDuringStatFailsTheRequest) {
    server.Play(LoggedIn().ExpectLine("STAT").Reset());
    LogIn();
    auto done = Run([&] { cli.Stat(); });
    EXPECT_EQ(done, std::make_pair(rqStat, WORD(10004)));
    // OnSessionClosed first (with whatever error the drop carried), then the end.
    ASSERT_EQ(cli.Log.size(), 2u);
    EXPECT_EQ(cli.Log[0].rfind("closed ", 0), 0u);
    EXPECT_EQ(cli.Log[1], "done 5 10004");
    EXPECT_EQ(cli.ProtocolState(), pop3Disconnected);
    EXPECT_FALSE(cli.Connected());
    EXPECT_EQ(cli.RequestOutcome(), 10004);
    EXPECT_EQ(cli.Failure(), TPop3Failure::Closed);
    EXPECT_EQ(cli.ErrorMessage(), "-ERR Interrupted system call (Winsock error #10004)");
    EXPECT_EQ(cli.MsgCount(), 0);
}

TEST_F(Pop3Engine, CloseDuringStatIsAFailureForTheWrapper) {
    server.Play(LoggedIn().ExpectLine("STAT").Close());
    LogIn();
    EXPECT_FALSE(cli.StatWait());
    EXPECT_EQ(cli.ErrorMessage(), "-ERR Interrupted system call (Winsock error #10004)");
    // The next command is refused at once.
    EXPECT_FALSE(cli.NoopWait());
}

TEST_F(Pop3Engine, CloseDuringTopReplyFails) {
    server.Play(LoggedIn().ExpectLine("TOP 1 0").Send("+OK\r\nFrom: a@b\r\nSubject: cut").Close());
    LogIn();
    cli.MsgNum = 1;
    EXPECT_FALSE(cli.TopWait());
    EXPECT_TRUE(cli.WaitDone());
    EXPECT_EQ(cli.Done.back(), std::make_pair(rqTop, WORD(10004)));
    EXPECT_EQ(cli.FromValue(), " a@b");
    EXPECT_EQ(cli.ProtocolState(), pop3Disconnected);
}

TEST_F(Pop3Engine, CloseBeforeTheGreetingFailsTheConnect) {
    server.Play(TScript().Gate(1).Close());
    cli.Connect();
    ASSERT_TRUE(WaitFor([&] { return server.ClientConnected() && cli.Connected(); }));
    server.Open(1);
    ASSERT_TRUE(cli.WaitDone());
    EXPECT_EQ(cli.Done.back(), std::make_pair(rqConnect, WORD(10004)));
    EXPECT_EQ(cli.RequestOutcome(), 10004);
    EXPECT_EQ(cli.ErrorMessage(), "-ERR Interrupted system call (Winsock error #10004)");
    EXPECT_EQ(cli.ProtocolState(), pop3Disconnected);
}

TEST_F(Pop3Engine, CloseBetweenRequestsEndsNothing) {
    LogIn();
    server.CloseClient();
    ASSERT_TRUE(WaitFor([&] { return !cli.Connected(); }));
    EXPECT_EQ(cli.Log, std::vector<std::string>{"closed 0"});
    EXPECT_EQ(cli.RequestOutcome(), 0);
    EXPECT_EQ(cli.ProtocolState(), pop3Disconnected);
}

// ---------------------------------------------------------------------------
// QUIT

TEST_F(Pop3Engine, QuitEndsAtTheLaterOfReplyAndClose) {
    server.Play(LoggedIn().ExpectLine("QUIT").Send("+OK bye\r\n").Gate(1).Close());  // the close waits
    LogIn();
    cli.Quit();
    ASSERT_TRUE(WaitFor([&] { return cli.Responses.size() == 1; }));
    // The reply alone does not end it.
    EXPECT_FALSE(WaitFor([&] { return !cli.Done.empty(); }, 200));
    EXPECT_EQ(cli.EngineState(), esAwaitingReply);
    EXPECT_EQ(cli.ProtocolState(), pop3Disconnected);
    server.Open(1);
    ASSERT_TRUE(cli.WaitDone());
    EXPECT_EQ(cli.Done.back(), std::make_pair(rqQuit, WORD(0)));
    EXPECT_EQ(cli.EngineState(), esIdle);
}

TEST_F(Pop3Engine, QuitAfterNegativeReplyReportsZero) {
    LogIn();
    server.On("QUIT", "-ERR cannot update maildrop\r\n", Then::Close);
    auto done = Run([&] { cli.Quit(); });
    EXPECT_EQ(done, std::make_pair(rqQuit, WORD(0)));
    EXPECT_EQ(cli.RequestOutcome(), 500);
    EXPECT_EQ(cli.ErrorMessage(), "-ERR cannot update maildrop");
}

TEST_F(Pop3Engine, QuitAnsweredOnlyByACloseEndsAtTheClose) {
    server.Play(LoggedIn().ExpectLine("QUIT").Close());
    LogIn();
    EXPECT_TRUE(cli.QuitWait());
    EXPECT_TRUE(cli.WaitDone());
    EXPECT_EQ(cli.Done.back(), std::make_pair(rqQuit, WORD(0)));
}

TEST_F(Pop3Engine, QuitWhileNotConnectedEndsLaterWithoutSending) {
    cli.Quit();
    // Reported from the message loop, never from inside the call.
    EXPECT_TRUE(cli.Done.empty());
    EXPECT_EQ(cli.EngineState(), esIdle);
    ASSERT_TRUE(cli.WaitDone());
    EXPECT_EQ(cli.Done.back(), std::make_pair(rqQuit, WORD(0)));
    EXPECT_EQ(server.Accepted(), 0);
}

// ---------------------------------------------------------------------------
// Preconditions

TEST_F(Pop3Engine, PreconditionsRaiseInTheirOrderAndSendNothing) {
    const auto message = &TestSupport::ErrorOf<Pop3Exception>;
    // Not connected, disconnected protocol state.
    EXPECT_EQ(message([&] { cli.User(); }), "POP3 component not connected");
    EXPECT_EQ(message([&] { cli.Pass(); }), "POP3 component not connected");
    EXPECT_EQ(message([&] { cli.RPop(); }), "POP3 component not connected");
    EXPECT_EQ(message([&] { cli.APop(); }), "-ERR APOP command invalid now");
    EXPECT_EQ(cli.ErrorMessage(), "-ERR APOP command invalid now");
    for (auto [name, op] : std::vector<std::pair<std::string, void (TCustomPop3Cli::*)()>>{
             {"STAT", &TCustomPop3Cli::Stat},
             {"LIST", &TCustomPop3Cli::List},
             {"UIDL", &TCustomPop3Cli::Uidl},
             {"RETR", &TCustomPop3Cli::Retr},
             {"TOP", &TCustomPop3Cli::Top},
             {"DELE", &TCustomPop3Cli::Dele},
             {"NOOP", &TCustomPop3Cli::Noop},
             {"RSET", &TCustomPop3Cli::RSet},
             {"LAST", &TCustomPop3Cli::Last}}) {
        EXPECT_EQ(message([&, op = op] { (cli.*op)(); }), "-ERR " + name + " command invalid now");
        EXPECT_EQ(cli.Display.back(), "-ERR " + name + " command invalid now");
    }
    cli.MsgLines = -1;
    std::size_t shown = cli.Display.size();
    EXPECT_EQ(message([&] { cli.Top(); }), "Invalid MsgLines for TOP command");
    EXPECT_EQ(cli.ErrorMessage(), "-ERR LAST command invalid now");  // untouched
    EXPECT_EQ(cli.Display.size(), shown);
    cli.MsgLines = 0;

    // Busy: the state checks come first, then readiness.
    server.Play(TScript().Gate(1).Send("+OK <1@x>\r\n"));  // the rules answer the rest
    cli.Connect();
    EXPECT_EQ(message([&] { cli.Connect(); }), "POP3 component not ready");
    EXPECT_EQ(message([&] { cli.Open(); }), "POP3 component not ready");
    EXPECT_EQ(message([&] { cli.Quit(); }), "POP3 component not ready");
    EXPECT_EQ(message([&] { cli.User(); }), "POP3 component not ready");
    EXPECT_EQ(message([&] { cli.Stat(); }), "-ERR STAT command invalid now");
    ASSERT_TRUE(WaitFor([&] { return cli.Connected(); }));
    EXPECT_EQ(message([&] { cli.Open(); }), "pop3 component already connected");
    server.Open(1);
    ASSERT_TRUE(cli.WaitIdle());
    EXPECT_EQ(message([&] { cli.Connect(); }), "POP3 component already connected");
    EXPECT_EQ(message([&] { cli.Open(); }), "pop3 component already connected");

    // Logged in: the log-in commands are out of place.
    ASSERT_TRUE(cli.UserWait());
    EXPECT_EQ(message([&] { cli.User(); }), "-ERR USER command invalid now");
    EXPECT_EQ(message([&] { cli.APop(); }), "-ERR APOP command invalid now");
    ASSERT_TRUE(cli.PassWait());
    EXPECT_EQ(message([&] { cli.Pass(); }), "-ERR PASS command invalid now");
    EXPECT_EQ(message([&] { cli.RPop(); }), "-ERR RPOP command invalid now");
    EXPECT_EQ(server.Lines(), (std::vector<std::string>{"USER ", "PASS "}));
}

// ---------------------------------------------------------------------------
// Connect failures and sequences

TEST_F(Pop3Engine, RefusedConnectionReportsTheSocketError) {
    {
        TScriptedPop3Server closed;
        cli.Port = closed.PortText();
    }  // nothing listens there any more
    auto done = Run([&] { cli.Connect(); });
    EXPECT_EQ(done.first, rqConnect);
    EXPECT_EQ(done.second, 10061);
    EXPECT_EQ(cli.RequestOutcome(), 10061);
    EXPECT_EQ(cli.ReplyStatus(), 500);
    EXPECT_EQ(cli.ErrorMessage(), "-ERR " + SocketErrorText(10061) + " (Winsock error #10061)");
    EXPECT_FALSE(cli.Connected());
    EXPECT_EQ(cli.EngineState(), esIdle);
}

TEST_F(Pop3Engine, EmptyHostFailsInsteadOfStickingInTheLookup) {
    cli.Host = "";
    EXPECT_FALSE(cli.ConnectWait());
    EXPECT_EQ(cli.EngineState(), esIdle);
    EXPECT_EQ(cli.RequestOutcome(), 500);
    EXPECT_EQ(cli.ErrorMessage().rfind("-ERR ESocketException: ", 0), 0u) << cli.ErrorMessage();
    // The engine is usable again at once.
    cli.Host = "127.0.0.1";
    EXPECT_TRUE(cli.ConnectWait());
}

TEST_F(Pop3Engine, OpenRunsConnectUserPassAsOneRequest) {
    cli.UserName = "u";
    cli.PassWord = "p";
    server.Play(LoggedIn("u", "p"));
    auto done = Run([&] { cli.Open(); });
    EXPECT_EQ(done, std::make_pair(rqOpen, WORD(0)));
    EXPECT_EQ(cli.Done.size(), 1u);
    EXPECT_EQ(cli.ProtocolState(), pop3Transaction);
    EXPECT_EQ(server.Lines(), (std::vector<std::string>{"USER u", "PASS p"}));
    // Between the steps the engine rests in esBetweenSteps, never in esIdle.
    auto firstIdle = std::find(cli.States.begin(), cli.States.end(), esIdle);
    EXPECT_EQ(firstIdle, cli.States.end() - 1);
    EXPECT_NE(std::find(cli.States.begin(), cli.States.end(), esBetweenSteps), cli.States.end());
}

TEST_F(Pop3Engine, OpenStopsAtTheFirstFailingStep) {
    server.Play(TScript().Send(server.Greeting).ExpectLine("USER ").Send("-ERR unknown user\r\n"));
    EXPECT_FALSE(cli.OpenWait());
    ASSERT_TRUE(cli.WaitDone());
    EXPECT_EQ(cli.Done.back(), std::make_pair(rqOpen, WORD(500)));
    EXPECT_EQ(cli.ErrorMessage(), "-ERR unknown user");
    EXPECT_EQ(server.Lines(), std::vector<std::string>{"USER "});
}

TEST_F(Pop3Engine, AbortDropsTheConnectionAtOnce) {
    server.Play(LoggedIn().ExpectLine("STAT"));  // and no reply
    LogIn();
    cli.Stat();
    ASSERT_TRUE(WaitFor([&] { return server.Got("STAT"); }));
    cli.Abort();
    EXPECT_EQ(cli.EngineState(), esIdle);
    EXPECT_FALSE(cli.Connected());
    ASSERT_TRUE(cli.WaitDone());
    EXPECT_EQ(cli.Done.back(), std::make_pair(rqStat, WORD(10004)));
    // Our own abort is not taken for the server going away.
    EXPECT_EQ(cli.RequestOutcome(), 0);
    EXPECT_EQ(cli.Failure(), TPop3Failure::Aborted);
}

TEST_F(Pop3Engine, DisplayShowsCommandsAndReplies) {
    cli.UserName = "me";
    cli.PassWord = "secret";
    server.Play(LoggedIn("me", "secret").ExpectLine("STAT").Send("+OK 0 0\r\n"));
    ASSERT_TRUE(cli.ConnectWait());
    ASSERT_TRUE(cli.UserWait());
    ASSERT_TRUE(cli.PassWait());
    ASSERT_TRUE(cli.StatWait());
    EXPECT_EQ(cli.Display,
              (std::vector<std::string>{"< " + cli.Responses[0], "> USER me", "< +OK", "> PASS secret",
                                        "< +OK logged in", "> STAT", "< +OK 0 0"}));
}

TEST_F(Pop3Engine, HeaderValueIsCutAt10000Characters) {
    // A received line never exceeds 4093 bytes, so the cut is checked on the
    // capture itself.
    std::string value(20000, 'v');
    cli.Capture("Subject:" + value);
    EXPECT_EQ(cli.LastHeaderKey(), "subject");
    EXPECT_EQ(cli.SubjectValue(), value.substr(0, 10000));
    cli.Capture("\tFrom: folded");
    cli.Capture("From without colon");
    EXPECT_EQ(cli.LastHeaderKey(), "subject");
    EXPECT_EQ(cli.FromValue(), "");
    cli.Capture(" \x01 From\t : x");
    EXPECT_EQ(cli.FromValue(), " x");
}

// A token is never sent in plain text, and a login kind that is none of the
// three never becomes one: both end the connect before any connection.
TEST_F(Pop3Engine, AnOAuth2LoginWithoutTlsOrAnUnknownAuthNeverConnects) {
    const std::pair<int, std::string> cases[] = {
        {1, "Auth=1 needs Security 1 or 2: an OAuth2 token is never sent in plain text"},
        {2, "Auth=2 needs Security 1 or 2: an OAuth2 token is never sent in plain text"},
        {3, "Auth=3 is not 0, 1 or 2"},
    };
    for (const auto& [auth, error] : cases) {
        cli.Auth = auth;
        EXPECT_FALSE(cli.ConnectWait());
        EXPECT_EQ(cli.ErrorMessage(), error);
        EXPECT_EQ(cli.Failure(), TPop3Failure::Settings);
    }
    EXPECT_EQ(server.Accepted(), 0);
}
