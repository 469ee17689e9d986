// Line mode (lines delivered one OnDataAvailable each, limit, editing and
// echo) over real loopback connections, and the synchronous wait.
#include "NetTestUtil.h"

#include <QTimer>

using namespace NetTest;
using namespace TestSupport;

namespace {

// A line-mode socket whose handler takes each line whole and records it.
struct TLineClient {
    TTestSocket s;
    std::vector<std::string> Lines;
    std::vector<int> Counts;  // RcvdCount seen when each handler call began
    bool Closed = false;

    TLineClient() {
        s.SetLineMode(true);
        s.OnDataAvailable = [this](TObject*, WORD) {
            Counts.push_back(s.RcvdCount());
            std::string line = s.ReceiveText();
            if (!line.empty()) Lines.push_back(line);
        };
        s.OnSessionClosed = [this](TObject*, WORD) { Closed = true; };
    }
    void Connect(int port) { ConnectTo(s, port); }
};

TEST(LineMode, ATerminatorSplitAcrossReads) {
    TScriptedServer server(TScript().Send("AB\r").Gate(1).Send("\nCD\r\n").DrainUntilClosed());
    TLineClient c;
    c.Connect(server.Port());
    ASSERT_TRUE(WaitFor([&] { return c.s.RawBytes == 3; }));
    Application->ProcessMessages();
    EXPECT_TRUE(c.Lines.empty()) << "no line before its terminator is complete";
    server.Open(1);
    ASSERT_TRUE(WaitFor([&] { return c.Lines.size() == 2; }));
    EXPECT_EQ(c.Lines, (std::vector<std::string>{"AB\r\n", "CD\r\n"}));
    EXPECT_EQ(c.Counts, (std::vector<int>{4, 4})) << "RcvdCount is the length of the current line";
}

TEST(LineMode, SeveralLinesInOneReadAndAnOtherTerminator) {
    TScriptedServer server(TScript().Send("one|two||three|rest").DrainUntilClosed());
    TLineClient c;
    c.s.LineEnd = "|";
    c.Connect(server.Port());
    ASSERT_TRUE(WaitFor([&] { return c.Lines.size() == 4; }));
    EXPECT_EQ(c.Lines, (std::vector<std::string>{"one|", "two|", "|", "three|"}));
}

TEST(LineMode, AHandlerReadingTwoBytesAtATime) {
    TScriptedServer server(TScript().Send("abcde\r\nxy\r\n").DrainUntilClosed());
    TTestSocket s;
    s.SetLineMode(true);
    std::vector<std::string> pieces;
    s.OnDataAvailable = [&](TObject*, WORD) {
        char buf[2];
        int n = s.Receive(buf, 2);
        pieces.emplace_back(buf, static_cast<size_t>(std::max(n, 0)));
    };
    ConnectTo(s, server.Port());
    ASSERT_TRUE(WaitFor([&] { return pieces.size() == 6; }));
    Application->ProcessMessages();
    // The 7-byte line takes four calls, the 4-byte line two.
    EXPECT_EQ(pieces, (std::vector<std::string>{"ab", "cd", "e\r", "\n", "xy", "\r\n"}));
}

TEST(LineMode, WithoutAHandlerLinesAreDropped) {
    TScriptedServer server(TScript().Send("dropped 1\r\ndropped 2\r\n").Gate(1).Send("kept\r\n").DrainUntilClosed());
    TLineClient c;
    c.s.OnDataAvailable = nullptr;
    c.Connect(server.Port());
    ASSERT_TRUE(WaitFor([&] { return c.s.RawBytes == 22; }));
    Application->ProcessMessages();
    c.s.OnDataAvailable = [&](TObject*, WORD) { c.Lines.push_back(c.s.ReceiveText()); };
    server.Open(1);
    ASSERT_TRUE(WaitFor([&] { return !c.Lines.empty(); }));
    EXPECT_EQ(c.Lines, (std::vector<std::string>{"kept\r\n"}));
}

TEST(LineMode, AHandlerThatTakesNothingDoesNotHang) {
    TScriptedServer server(TScript().Send("ignored\r\nnext\r\n").DrainUntilClosed());
    TTestSocket s;
    s.SetLineMode(true);
    int calls = 0;
    s.OnDataAvailable = [&](TObject*, WORD) { ++calls; };
    ConnectTo(s, server.Port());
    ASSERT_TRUE(WaitFor([&] { return calls == 2; }));
    Application->ProcessMessages();
    EXPECT_EQ(calls, 2) << "each line is offered once and then dropped";
}

TEST(LineMode, LineLimitFiresWithoutATerminator) {
    TScriptedServer server(TScript().Send(std::string(70000, 'z')).Gate(1).Send("X\r\n").DrainUntilClosed());
    TLineClient c;
    std::vector<int> limits;
    c.s.OnLineLimitExceeded = [&](TObject*, int len, bool& clear) {
        limits.push_back(len);
        EXPECT_TRUE(clear);
    };
    c.Connect(server.Port());
    ASSERT_TRUE(WaitFor([&] { return c.s.RawBytes == 70000; }));
    Application->ProcessMessages();
    ASSERT_FALSE(limits.empty());
    EXPECT_GT(limits.back(), 65536);
    EXPECT_TRUE(c.Lines.empty());
    server.Open(1);
    ASSERT_TRUE(WaitFor([&] { return c.Lines.size() == 1; }));
    // Each firing discarded the bytes it reported; only the rest and "X\r\n"
    // make the line.
    long cleared = 0;
    for (int n : limits) cleared += n;
    EXPECT_EQ(static_cast<long>(c.Lines[0].size()), 70000 - cleared + 3);
    EXPECT_EQ(c.Lines[0].substr(c.Lines[0].size() - 3), "X\r\n");
}

TEST(LineMode, LineLimitMayKeepTheBytes) {
    TScriptedServer server(TScript().Send(std::string(70000, 'k')).Gate(1).Send("\r\n").DrainUntilClosed());
    TLineClient c;
    c.s.LineLimit = 1000;
    int fired = 0;
    c.s.OnLineLimitExceeded = [&](TObject*, int, bool& clear) {
        ++fired;
        clear = false;
    };
    c.Connect(server.Port());
    ASSERT_TRUE(WaitFor([&] { return c.s.RawBytes == 70000; }));
    server.Open(1);
    ASSERT_TRUE(WaitFor([&] { return c.Lines.size() == 1; }));
    EXPECT_GT(fired, 0);
    EXPECT_EQ(c.Lines[0], std::string(70000, 'k') + "\r\n");
}

TEST(LineMode, UnterminatedBytesAreTheLastLineOnClose) {
    TScriptedServer server(TScript().Send("first\r\nend").Close());
    TLineClient c;
    c.Connect(server.Port());
    ASSERT_TRUE(WaitFor([&] { return c.Closed; }));
    EXPECT_EQ(c.Lines, (std::vector<std::string>{"first\r\n", "end"}));
    EXPECT_EQ(c.Counts.back(), 3);
}

TEST(LineMode, TabsExpandToTheNextMultipleOfEight) {
    // Tab stops count from the start of the receive buffer, so each line
    // comes in a read of its own, when the buffer is empty.
    TScriptedServer server(
        TScript().Send("abcdefgh\tX\r\n").Gate(1).Send("abcde\tY\r\n").Gate(2).Send("\tZ\r\n").DrainUntilClosed());
    TLineClient c;
    c.s.LineEdit = true;
    c.Connect(server.Port());
    ASSERT_TRUE(WaitFor([&] { return c.Lines.size() == 1; }));
    server.Open(1);
    ASSERT_TRUE(WaitFor([&] { return c.Lines.size() == 2; }));
    server.Open(2);
    ASSERT_TRUE(WaitFor([&] { return c.Lines.size() == 3; }));
    EXPECT_EQ(c.Lines[0], "abcdefgh        X\r\n");  // at position 8: eight blanks
    EXPECT_EQ(c.Lines[1], "abcde   Y\r\n");          // at position 5: three blanks
    EXPECT_EQ(c.Lines[2], "        Z\r\n");
}

TEST(LineMode, EchoAndBackspace) {
    // Typed in pieces, as a terminal would: a backspace may reach back into
    // bytes of an earlier read.
    TScriptedServer server(TScript()
                               .Send("ab")
                               .Gate(1)
                               .Send("\bc\r\n")
                               .ExpectText("\r\n")
                               .Send("\b\bq\r\n")
                               .DrainUntilClosed());
    TLineClient c;
    c.s.LineEdit = true;
    c.s.LineEcho = true;
    c.Connect(server.Port());
    ASSERT_TRUE(WaitFor([&] { return c.s.RawBytes == 2; }));
    server.Open(1);
    ASSERT_TRUE(WaitFor([&] { return c.Lines.size() == 2; }));
    EXPECT_EQ(c.Lines[0], "ac\r\n");
    EXPECT_EQ(c.Lines[1], "q\r\n") << "backspaces at the start of a line erase nothing";
    ASSERT_TRUE(WaitFor([&] { return server.Received().size() >= 11; }));
    // Each byte echoed, each backspace as backspace-blank-backspace (none
    // when there is nothing to erase).
    EXPECT_EQ(server.Received(), "ab\b \bc\r\nq\r\n");
}

TEST(LineMode, EchoWithoutEditingSendsTheBytesBack) {
    TScriptedServer server(TScript().Send("x\by\r\n").ExpectText("\r\n").DrainUntilClosed());
    TLineClient c;
    c.s.LineEcho = true;
    c.Connect(server.Port());
    ASSERT_TRUE(WaitFor([&] { return c.Lines.size() == 1; }));
    EXPECT_EQ(c.Lines[0], "x\by\r\n");
    ASSERT_TRUE(WaitFor([&] { return server.Received() == "x\by\r\n"; }));
}

TEST(LineMode, SwitchingLineModeOffMidLineKeepsTheRestInOrder) {
    TScriptedServer server(TScript().Send("header\r\nraw data\r\nmore").DrainUntilClosed());
    TTestSocket s;
    s.SetLineMode(true);
    std::vector<std::string> got;
    s.OnDataAvailable = [&](TObject*, WORD) {
        if (s.LineMode()) {
            char buf[3];
            int n = s.Receive(buf, 3);  // "hea" of the first line
            got.emplace_back(buf, static_cast<size_t>(n));
            s.SetLineMode(false);
        } else {
            char buf[64];
            int n = s.Receive(buf, sizeof buf);
            if (n > 0) got.emplace_back(buf, static_cast<size_t>(n));
        }
    };
    ConnectTo(s, server.Port());
    ASSERT_TRUE(WaitFor([&] {
        std::string all;
        for (auto& g : got) all += g;
        return all == "header\r\nraw data\r\nmore";
    })) << got.size();
    EXPECT_EQ(got.front(), "hea");
}

TEST(LineMode, RunAndWaitPumpsUntilTheFlagIsSet) {
    TScriptedServer server(TScript().Send("+OK\r\n").DrainUntilClosed());
    TTestSocket s;
    s.SetLineMode(true);
    bool gotLine = false;
    std::string line;
    s.OnDataAvailable = [&](TObject*, WORD) {
        line = s.ReceiveText();
        gotLine = true;
    };
    int rc = s.RunAndWait(gotLine, [&] { ConnectTo(s, server.Port()); });
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(line, "+OK\r\n");
}

TEST(LineMode, WaitForFlagEndsWithTheTimeOutOrTheApplication) {
    TWSocket s;
    bool flag = false;
    s.Timeout = 50;
    EXPECT_EQ(s.WaitForFlag(flag), 12001);
    s.Timeout = 0;
    // Without a time-out, only the flag or the end of the application stops it.
    QTimer::singleShot(20, [] { Application->Terminate(); });
    EXPECT_EQ(s.WaitForFlag(flag), 12001);
    Application->Terminated = false;
    QTimer::singleShot(20, [&] { flag = true; });
    EXPECT_EQ(s.WaitForFlag(flag), 0);
}

}  // namespace
