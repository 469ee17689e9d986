// SOCKS 4, 4A and 5 negotiation against a scripted proxy on loopback that
// answers with chosen bytes: every failure code, replies split at every
// offset, application bytes that arrive with the final reply.
#include "NetTestUtil.h"

#include <gtest/gtest.h>

using namespace NetTest;
using namespace TestSupport;

namespace {

std::string Bytes(std::initializer_list<int> list) {
    std::string s;
    for (int b : list) s += static_cast<char>(b);
    return s;
}

// The version 5 success reply with a bound IPv4 address and port.
const std::string kV5Success = Bytes({5, 0, 0, 1, 127, 0, 0, 1, 0x1f, 0x90});
const std::string kV4Success = Bytes({0, 90, 0x1f, 0x90, 127, 0, 0, 1});

// A SOCKS-aware event log.
struct TSocksLog : TEventLog {
    std::vector<std::string> SocksErrors;
    void AttachSocks(TWSocket& s) {
        Attach(s);
        s.OnSocksConnected = [this](TObject*, WORD e) { Events.push_back("socksconnected " + std::to_string(e)); };
        s.OnSocksError = [this](TObject*, int e, const std::string& msg) {
            Events.push_back("sockserror " + std::to_string(e));
            SocksErrors.push_back(msg);
        };
        s.OnSocksAuthState = [this](TObject*, TSocksAuthState a) {
            static const char* names[] = {"begun", "accepted", "rejected", "skipped"};
            Events.push_back(std::string("auth ") + names[a]);
        };
        s.OnChangeState = nullptr;
        s.OnDataSent = nullptr;
        s.OnSendData = nullptr;
    }
};

void ConnectThrough(TWSocket& s, int proxyPort, const std::string& level, const std::string& addr = "127.0.0.1",
                    const std::string& port = "110") {
    s.SetSocksServer("127.0.0.1");
    s.SetSocksPort(std::to_string(proxyPort));
    s.SetSocksLevel(level);
    s.SetAddr(addr);
    s.SetPort(port);
    s.SetProto("tcp");
    s.Connect();
}

TEST(Socks, Version4RequestAndSuccess) {
    TScriptedServer proxy(TScript().Expect(9 + 4).Send(kV4Success).ExpectText("hi").Send("welcome").DrainUntilClosed());
    TSocksLog log;
    TWSocket s;
    log.AttachSocks(s);
    s.SocksUsercode = "user";
    s.OnSessionConnected = [&](TObject*, WORD e) {
        log.Events.push_back("connected " + std::to_string(e));
        if (e == 0) s.SendText("hi");
    };
    ConnectThrough(s, proxy.Port(), "4", "127.0.0.1", "110");
    ASSERT_TRUE(WaitFor([&] { return log.Data == "welcome"; })) << log.Joined();
    EXPECT_EQ(proxy.Received().substr(0, 13), Bytes({4, 1, 0, 110, 127, 0, 0, 1, 'u', 's', 'e', 'r', 0}));
    EXPECT_EQ(log.Events.front(), "socksconnected 0");
    EXPECT_EQ(log.Events[1], "connected 0");
}

TEST(Socks, Version4ARequestCarriesTheName) {
    TScriptedServer proxy(TScript().ExpectText(std::string("mail.example\0", 13)).Send(kV4Success + "+OK").DrainUntilClosed());
    TSocksLog log;
    TWSocket s;
    log.AttachSocks(s);
    s.SocksUsercode = "id";
    ConnectThrough(s, proxy.Port(), "4a", "mail.example", "pop3");
    EXPECT_EQ(s.SocksLevel(), "4A");
    ASSERT_TRUE(WaitFor([&] { return log.Data == "+OK"; })) << log.Joined();
    EXPECT_EQ(proxy.Received(), Bytes({4, 1, 0, 110, 0, 0, 0, 1, 'i', 'd', 0}) + std::string("mail.example\0", 13));
    EXPECT_EQ(log.Joined().rfind("socksconnected 0; connected 0; data 0 3; ", 0), 0u) << log.Joined();
}

TEST(Socks, Version5RequestWithoutAuthentication) {
    TScriptedServer proxy(TScript().Expect(3).Send(Bytes({5, 0})).Expect(7 + 9).Send(kV5Success).DrainUntilClosed());
    TSocksLog log;
    TWSocket s;
    log.AttachSocks(s);
    ConnectThrough(s, proxy.Port(), "5", "mail.test", "995");
    ASSERT_TRUE(WaitFor([&] { return log.Has("connected 0"); })) << log.Joined();
    EXPECT_EQ(proxy.Received(), Bytes({5, 1, 0, 5, 1, 0, 3, 9}) + "mail.test" + Bytes({995 >> 8, 995 & 0xff}));
    EXPECT_EQ(s.BoundAddr(), "127.0.0.1");
    EXPECT_EQ(s.BoundPort(), "8080");
    EXPECT_EQ(log.Count("auth"), 0);
}

// What the connect request names as its target: an IPv6 literal, with or
// without brackets, as address type 4 and its 16 bytes; a name or an IPv4
// literal as a name (type 3) for the proxy to resolve.
TEST(Socks, Version5RequestForEachKindOfTarget) {
    const std::string v6 = Bytes({0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1});
    const std::string port = Bytes({0, 110});
    struct { const char* addr; std::string request; } cases[] = {
        {"2001:db8::1", Bytes({5, 1, 0, 4}) + v6 + port},
        {"[2001:db8::1]", Bytes({5, 1, 0, 4}) + v6 + port},
        {"::ffff:127.0.0.1", Bytes({5, 1, 0, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 127, 0, 0, 1}) + port},
        {"127.0.0.1", Bytes({5, 1, 0, 3, 9}) + "127.0.0.1" + port},
        {"mail.test", Bytes({5, 1, 0, 3, 9}) + "mail.test" + port},
        {"[mail.test]", Bytes({5, 1, 0, 3, 11}) + "[mail.test]" + port},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.addr);
        TScriptedServer proxy(
            TScript().Expect(3).Send(Bytes({5, 0})).Expect(c.request.size()).Send(kV5Success).DrainUntilClosed());
        TSocksLog log;
        TWSocket s;
        log.AttachSocks(s);
        ConnectThrough(s, proxy.Port(), "5", c.addr, "110");
        ASSERT_TRUE(WaitFor([&] { return log.Has("connected 0"); })) << log.Joined();
        EXPECT_EQ(proxy.Received().substr(3), c.request);
    }
}

// The bound address of the final reply in each address type, the reply cut
// one byte short of its end first: nothing connects before the last byte,
// and the bytes after it are the application's.
TEST(Socks, Version5ReplyWithEachAddressType) {
    struct { std::string reply; const char* addr; } cases[] = {
        {Bytes({5, 0, 0, 1, 10, 1, 2, 3}), "10.1.2.3"},
        {Bytes({5, 0, 0, 3, 4}) + "host", "host"},
        {Bytes({5, 0, 0, 3, 0}), ""},
        {Bytes({5, 0, 0, 4, 0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}), "2001:db8::1"},
        {Bytes({5, 0, 0, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}), "::1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.addr);
        const std::string reply = c.reply + Bytes({0x03, 0xe1});
        TScriptedServer proxy(TScript()
                                  .Expect(3)
                                  .Send(Bytes({5, 0}))
                                  .Expect(16)
                                  .Send(reply.substr(0, reply.size() - 1))
                                  .Gate(1)
                                  .Send(reply.substr(reply.size() - 1) + "ab")
                                  .DrainUntilClosed());
        TSocksLog log;
        TTestSocket s;
        log.AttachSocks(s);
        s.OnDataAvailable = [&](TObject*, WORD) { log.Data += s.ReceiveText(); };
        ConnectThrough(s, proxy.Port(), "5", "mail.test");
        ASSERT_TRUE(WaitFor([&] { return s.RawBytes >= static_cast<long>(2 + reply.size() - 1); })) << log.Joined();
        Application->ProcessMessages();
        EXPECT_FALSE(log.Has("connected 0")) << log.Joined();
        proxy.Open(1);
        ASSERT_TRUE(WaitFor([&] { return log.Data == "ab"; })) << log.Joined();
        EXPECT_EQ(log.Joined(), "socksconnected 0; connected 0; ");
        EXPECT_EQ(s.BoundAddr(), c.addr);
        EXPECT_EQ(s.BoundPort(), "993");
    }
}

// A proxy that closes part-way through its final reply: the session ends
// without ever being reported connected, whatever the reply's type and
// however much of it came.
TEST(Socks, Version5ReplyCutShortNeverConnects) {
    const std::string cut[] = {
        Bytes({5, 0, 0}),
        Bytes({5, 0, 0, 1, 127, 0, 0, 1, 0}),
        Bytes({5, 0, 0, 3, 255}) + std::string(200, 'n'),
        Bytes({5, 0, 0, 4, 0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0}),
    };
    for (const std::string& reply : cut) {
        SCOPED_TRACE("reply of " + std::to_string(reply.size()) + " bytes");
        TScriptedServer proxy(TScript().Expect(3).Send(Bytes({5, 0})).Expect(16).Send(reply).Close());
        TSocksLog log;
        TWSocket s;
        log.AttachSocks(s);
        ConnectThrough(s, proxy.Port(), "5", "mail.test");
        ASSERT_TRUE(WaitFor([&] { return s.State() == wsClosed; })) << log.Joined();
        EXPECT_FALSE(log.Has("connected 0")) << log.Joined();
        EXPECT_EQ(s.BoundAddr(), "");
    }
}

TEST(Socks, Version5UserPasswordLogin) {
    TScriptedServer proxy(TScript()
                              .Expect(3)
                              .Send(Bytes({5, 2}))
                              .Expect(1 + 1 + 5 + 1 + 6)
                              .Send(Bytes({1, 0}))
                              .Expect(7 + 9)
                              .Send(kV5Success)
                              .DrainUntilClosed());
    TSocksLog log;
    TWSocket s;
    log.AttachSocks(s);
    s.SocksAuthentication = socksAuthenticateUsercode;
    s.SocksUsercode = "alice";
    s.SocksPassword = "s3cr3t";
    ConnectThrough(s, proxy.Port(), "5");
    ASSERT_TRUE(WaitFor([&] { return log.Has("connected 0"); })) << log.Joined();
    EXPECT_EQ(log.Joined(), "socksconnected 0; auth begun; auth accepted; connected 0; ");
    EXPECT_EQ(proxy.Received().substr(0, 17), Bytes({5, 1, 2, 1, 5}) + "alice" + Bytes({6}) + "s3cr3t");
}

TEST(Socks, OfferedLoginThatTheProxySkips) {
    TScriptedServer proxy(TScript().Expect(3).Send(Bytes({5, 0})).Expect(16).Send(kV5Success).DrainUntilClosed());
    TSocksLog log;
    TWSocket s;
    log.AttachSocks(s);
    s.SocksAuthentication = socksAuthenticateUsercode;
    s.SocksUsercode = "u";
    ConnectThrough(s, proxy.Port(), "5");
    ASSERT_TRUE(WaitFor([&] { return log.Has("connected 0"); })) << log.Joined();
    EXPECT_EQ(log.Joined(), "socksconnected 0; auth skipped; connected 0; ");
}

TEST(Socks, LeftoverBytesOfTheFinalReplyComeFirst) {
    TScriptedServer proxy(
        TScript().Expect(3).Send(Bytes({5, 0})).Expect(16).Send(kV5Success + "abc").Gate(1).Send("def").DrainUntilClosed());
    TSocksLog log;
    TWSocket s;
    log.AttachSocks(s);
    int counted = -1;
    std::string first;
    s.OnDataAvailable = [&](TObject*, WORD) {
        if (counted < 0) {
            counted = s.RcvdCount();
            char buf[16];
            int n = s.Receive(buf, sizeof buf);
            if (n > 0) first.assign(buf, static_cast<size_t>(n));
        } else {
            log.Data += s.ReceiveText();
        }
    };
    ConnectThrough(s, proxy.Port(), "5");
    ASSERT_TRUE(WaitFor([&] { return !first.empty(); })) << log.Joined();
    EXPECT_EQ(counted, 3);
    EXPECT_EQ(first, "abc");
    EXPECT_EQ(log.Joined(), "socksconnected 0; connected 0; ");
    proxy.Open(1);
    ASSERT_TRUE(WaitFor([&] { return log.Data == "def"; }));
}

// The longest reply a version 5 proxy may give: the bound address as a
// 255-byte domain name. It must fit the reply buffer whole.
TEST(Socks, Version5ReplyWithTheLongestDomainName) {
    const std::string bound(255, 'b');
    TScriptedServer proxy(TScript()
                              .Expect(3)
                              .Send(Bytes({5, 0}))
                              .Expect(16)
                              .Send(Bytes({5, 0, 0, 3, 255}) + bound + Bytes({0x1f, 0x90}) + "abc")
                              .DrainUntilClosed());
    TSocksLog log;
    TWSocket s;
    log.AttachSocks(s);
    s.OnDataAvailable = [&](TObject*, WORD) { log.Data += s.ReceiveText(); };
    ConnectThrough(s, proxy.Port(), "5");
    ASSERT_TRUE(WaitFor([&] { return log.Data == "abc"; })) << log.Joined();
    EXPECT_EQ(log.Joined(), "socksconnected 0; connected 0; ");
}

TEST(Socks, RepliesSplitAtEveryOffset) {
    // Greeting reply, login reply and connect reply (with a name as bound
    // address and two application bytes) as one stream, cut once at every
    // offset; each piece reaches the client in a read of its own.
    const std::string greeting = Bytes({5, 2});
    const std::string login = Bytes({1, 0});
    const std::string connect = Bytes({5, 0, 0, 3, 4}) + "host" + Bytes({0x01, 0xbb}) + "ok";
    const std::string all = greeting + login + connect;
    for (size_t cut = 1; cut < all.size(); ++cut) {
        // The replies are sent one by one anyway: cuts between them split nothing.
        if (cut == greeting.size() || cut == greeting.size() + login.size()) continue;
        SCOPED_TRACE("cut at " + std::to_string(cut));
        TScript script;
        script.Expect(3);
        // Each reply is sent once its request has arrived.
        size_t requestAfter[] = {greeting.size(), greeting.size() + login.size()};
        size_t expectSizes[] = {1 + 1 + 1 + 1 + 1, 7 + 1};
        size_t pos = 0;
        for (int part = 0; part < 3; ++part) {
            size_t end = part < 2 ? requestAfter[part] : all.size();
            if (cut > pos && cut < end) {
                script.Send(all.substr(pos, cut - pos)).Gate(1).Send(all.substr(cut, end - cut));
            } else {
                script.Send(all.substr(pos, end - pos));
            }
            if (part < 2) script.Expect(expectSizes[part]);
            pos = end;
        }
        script.DrainUntilClosed();
        TScriptedServer proxy(script);
        TSocksLog log;
        TTestSocket s;
        log.AttachSocks(s);
        s.SocksAuthentication = socksAuthenticateUsercode;
        s.SocksUsercode = "u";
        s.SocksPassword = "p";
        ConnectThrough(s, proxy.Port(), "5", "h", "25");
        // The first piece has been read when the client took `cut` bytes.
        ASSERT_TRUE(WaitFor([&] { return s.RawBytes >= static_cast<long>(cut); })) << log.Joined();
        Application->ProcessMessages();
        const size_t replyEnd = all.size() - 2;  // the last two bytes are application data
        EXPECT_EQ(log.Has("connected 0"), cut >= replyEnd);
        proxy.Open(1);
        ASSERT_TRUE(WaitFor([&] { return log.Data == "ok"; })) << log.Joined();
        EXPECT_EQ(log.Joined(), std::string("socksconnected 0; auth begun; auth accepted; connected 0; ") +
                                    (cut == replyEnd + 1 ? "data 0 1; data 0 1; " : "data 0 2; "));
        EXPECT_EQ(s.BoundAddr(), "host");
        EXPECT_EQ(s.BoundPort(), "443");
        s.Close();
    }
}

struct FailureCase {
    std::string level;
    TScript script;
    int code;
    std::string text;
    std::string events;  // expected event list
};

void RunFailure(const FailureCase& c, const std::function<void(TWSocket&)>& setup = nullptr) {
    TScriptedServer proxy(c.script);
    TSocksLog log;
    TWSocket s;
    log.AttachSocks(s);
    if (setup) setup(s);
    ConnectThrough(s, proxy.Port(), c.level);
    ASSERT_TRUE(WaitFor([&] { return s.State() == wsClosed; })) << log.Joined();
    Application->ProcessMessages();
    EXPECT_EQ(log.Joined(), c.events);
    ASSERT_EQ(log.SocksErrors.size(), 1u);
    EXPECT_EQ(log.SocksErrors[0], c.text);
    std::string code = std::to_string(c.code);
    EXPECT_TRUE(log.Has("sockserror " + code));
    EXPECT_EQ(s.SocksServer(), "") << "a close clears the proxy";
}

std::string FailEvents(int code, const std::string& before = "socksconnected 0; ") {
    std::string c = std::to_string(code);
    return before + "sockserror " + c + "; connected " + c + "; closed " + c + " in closed; ";
}

TEST(Socks, Version4FailureCodes) {
    struct { int status; int code; const char* text; } cases[] = {
        {91, 20016, "request rejected or failed"},
        {92, 20008, "connection refused"},
        {93, 20015, "authentification failed"},
        {77, 20012, "unassigned error #77"},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.text);
        RunFailure({"4", TScript().Expect(9).Send(Bytes({0, k.status, 0, 0, 0, 0, 0, 0})).DrainUntilClosed(), k.code,
                    k.text, FailEvents(k.code)});
    }
    RunFailure({"4", TScript().Expect(9).Send(Bytes({4, 90, 0, 0, 0, 0, 0, 0})).DrainUntilClosed(), 20002,
                "socks version error", FailEvents(20002)});
}

TEST(Socks, Version5ReplyCodes) {
    const char* texts[] = {"general SOCKS server failure", "connection not allowed by ruleset", "network unreachable",
                           "host unreachable",             "connection refused",                "time to live expired",
                           "command not supported",        "address type not supported"};
    for (int reply = 1; reply <= 9; ++reply) {
        int code = reply <= 8 ? 20003 + reply : 20012;
        std::string text = reply <= 8 ? texts[reply - 1] : "unassigned error #9";
        SCOPED_TRACE(text);
        RunFailure({"5",
                    TScript().Expect(3).Send(Bytes({5, 0})).Expect(16).Send(Bytes({5, reply, 0, 1, 0, 0, 0, 0, 0, 0})).DrainUntilClosed(),
                    code, text, FailEvents(code)});
    }
}

TEST(Socks, Version5NegotiationFailures) {
    RunFailure({"5", TScript().Expect(3).Send(Bytes({4, 0})).DrainUntilClosed(), 20002, "socks version error",
                FailEvents(20002)});
    RunFailure({"5", TScript().Expect(3).Send(Bytes({5, 0xff})).DrainUntilClosed(), 20003,
                "authentification method not acceptable", FailEvents(20003)});
    for (int type : {0, 2, 5, 255}) {
        SCOPED_TRACE("address type " + std::to_string(type));
        RunFailure({"5", TScript().Expect(3).Send(Bytes({5, 0})).Expect(16).Send(Bytes({5, 0, 0, type, 0, 0, 0, 0, 0})).DrainUntilClosed(),
                    20011, "address type not supported", FailEvents(20011)});
    }
    RunFailure({"5", TScript().Expect(3).Send(Bytes({5, 0})).Expect(16).Send(Bytes({6, 0})).DrainUntilClosed(), 20002,
                "socks version error", FailEvents(20002)});
}

TEST(Socks, LoginFailures) {
    auto login = [](TWSocket& s) {
        s.SocksAuthentication = socksAuthenticateUsercode;
        s.SocksUsercode = "u";
        s.SocksPassword = "wrong";
    };
    RunFailure({"5", TScript().Expect(3).Send(Bytes({5, 2})).Expect(9).Send(Bytes({1, 1})).DrainUntilClosed(), 20015,
                "socks authentication failed", FailEvents(20015, "socksconnected 0; auth begun; ")},
               login);
    RunFailure({"5", TScript().Expect(3).Send(Bytes({5, 2})).Expect(9).Send(Bytes({5, 0})).DrainUntilClosed(), 20002,
                "socks version error", FailEvents(20002, "socksconnected 0; auth begun; ")},
               login);
    RunFailure({"5", TScript().Expect(3).Send(Bytes({5, 2})).Expect(9).Send(Bytes({1, 0, 0})).DrainUntilClosed(), 20001,
                "too much data availaible", FailEvents(20001, "socksconnected 0; auth begun; ")},
               login);
}

// A proxy that stops answering part-way ends the negotiation once the
// socket's Timeout has passed since the connect; a finished negotiation
// leaves the session alone however quiet it then is.
TEST(Socks, StalledProxyEndsAtTheSocketsTimeOut) {
    auto limit = [](TWSocket& s) { s.Timeout = 200; };
    RunFailure({"4", TScript().Expect(9).Gate(1), 20018, "socks negotiation timed out", FailEvents(20018)}, limit);
    RunFailure({"5", TScript().Expect(3).Send(Bytes({5, 0})).Expect(16).Gate(1), 20018, "socks negotiation timed out",
                FailEvents(20018)},
               limit);

    TScriptedServer proxy(TScript().Expect(3).Send(Bytes({5, 0})).Expect(16).Send(kV5Success).DrainUntilClosed());
    TSocksLog log;
    TWSocket s;
    log.AttachSocks(s);
    s.Timeout = 100;
    ConnectThrough(s, proxy.Port(), "5");
    ASSERT_TRUE(WaitFor([&] { return log.Has("connected 0"); })) << log.Joined();
    WaitFor([] { return false; }, 300);
    EXPECT_EQ(s.State(), wsConnected) << log.Joined();
}

TEST(Socks, ProxyClosingDuringLoginRejectsIt) {
    TScriptedServer proxy(TScript().Expect(3).Send(Bytes({5, 2})).Expect(9).Close());
    TSocksLog log;
    TWSocket s;
    log.AttachSocks(s);
    s.SocksAuthentication = socksAuthenticateUsercode;
    s.SocksUsercode = "u";
    s.SocksPassword = "wrong";
    ConnectThrough(s, proxy.Port(), "5");
    ASSERT_TRUE(WaitFor([&] { return s.State() == wsClosed; })) << log.Joined();
    EXPECT_EQ(log.Joined(), "socksconnected 0; auth begun; auth rejected; closed 0 in connected; ");
}

TEST(Socks, Version4NeedsAnAddressItCanResolve) {
    TScriptedServer proxy(TScript().DrainUntilClosed());
    TSocksLog log;
    TWSocket s;
    log.AttachSocks(s);
    ConnectThrough(s, proxy.Port(), "4", "no..such.host");
    ASSERT_TRUE(WaitFor([&] { return s.State() == wsClosed; }, 15000)) << log.Joined();
    EXPECT_EQ(log.Joined(), "socksconnected 0; sockserror 20017; closed 20017 in closed; ");
    ASSERT_EQ(log.SocksErrors.size(), 1u);
    EXPECT_EQ(log.SocksErrors[0].rfind(
                  "ESocketException WSocketResolveHost: Cannot convert host address 'no..such.host', Error #", 0),
              0u)
        << log.SocksErrors[0];
}

// Version 4 and 4A requests carry an IPv4 address (or, for 4A, a name the
// proxy resolves to one): an IPv6 literal fails before anything is sent.
TEST(Socks, Version4RefusesAnIpv6Target) {
    // Version 4 resolves a name itself; 4A leaves names to the proxy.
    WSock::SetTestHosts({{"v6only.test", {"::1"}}});
    const std::vector<std::pair<const char*, const char*>> cases = {
        {"4", "2001:db8::1"}, {"4", "[::1]"}, {"4", "v6only.test"}, {"4A", "2001:db8::1"}, {"4A", "[::1]"}};
    for (const auto& [level, addr] : cases) {
        SCOPED_TRACE(std::string(level) + " to " + addr);
        TScriptedServer proxy(TScript().DrainUntilClosed());
        TSocksLog log;
        TWSocket s;
        log.AttachSocks(s);
        ConnectThrough(s, proxy.Port(), level, addr);
        ASSERT_TRUE(WaitFor([&] { return s.State() == wsClosed; })) << log.Joined();
        EXPECT_EQ(log.Joined(), FailEvents(20019));
        EXPECT_EQ(log.SocksErrors.at(0), "socks 4 cannot reach an IPv6 address");
        EXPECT_EQ(proxy.Received(), "");
    }
    WSock::SetTestHosts({});
}

TEST(Socks, FieldsTooLongForTheRequestAreRefused) {
    std::string name256(256, 'n');
    {
        TScriptedServer proxy(TScript().Expect(3).Send(Bytes({5, 0})).DrainUntilClosed());
        TSocksLog log;
        TWSocket s;
        log.AttachSocks(s);
        ConnectThrough(s, proxy.Port(), "5", name256);
        ASSERT_TRUE(WaitFor([&] { return s.State() == wsClosed; })) << log.Joined();
        EXPECT_EQ(log.Joined(), FailEvents(20014));
        EXPECT_EQ(log.SocksErrors.at(0), "socks host name too long (at most 255 bytes)");
        EXPECT_EQ(proxy.Received().size(), 3u) << "no request was sent";
    }
    {
        TScriptedServer proxy(TScript().Expect(3).Send(Bytes({5, 2})).DrainUntilClosed());
        TSocksLog log;
        TWSocket s;
        log.AttachSocks(s);
        s.SocksAuthentication = socksAuthenticateUsercode;
        s.SocksUsercode = "u";
        s.SocksPassword = std::string(256, 'p');
        ConnectThrough(s, proxy.Port(), "5");
        ASSERT_TRUE(WaitFor([&] { return s.State() == wsClosed; })) << log.Joined();
        EXPECT_EQ(log.SocksErrors.at(0), "socks password too long (at most 255 bytes)");
        EXPECT_EQ(log.Count("auth begun"), 0);
    }
    {
        TScriptedServer proxy(TScript().DrainUntilClosed());
        TSocksLog log;
        TWSocket s;
        log.AttachSocks(s);
        s.SocksUsercode = name256;
        ConnectThrough(s, proxy.Port(), "4");
        ASSERT_TRUE(WaitFor([&] { return s.State() == wsClosed; })) << log.Joined();
        EXPECT_EQ(log.SocksErrors.at(0), "socks user code too long (at most 255 bytes)");
    }
    // 255 bytes fit exactly.
    std::string name255(255, 'n');
    TScriptedServer proxy(TScript().Expect(3).Send(Bytes({5, 0})).Expect(7 + 255).Send(kV5Success).DrainUntilClosed());
    TSocksLog log;
    TWSocket s;
    log.AttachSocks(s);
    ConnectThrough(s, proxy.Port(), "5", name255);
    ASSERT_TRUE(WaitFor([&] { return log.Has("connected 0"); })) << log.Joined();
    EXPECT_EQ(proxy.Received().substr(3, 5), Bytes({5, 1, 0, 3, 255}));
}

TEST(Socks, ProxyThatRefusesTheConnection) {
    TSocksLog log;
    TWSocket s;
    log.AttachSocks(s);
    ConnectThrough(s, UnusedPort(), "5");
    ASSERT_TRUE(WaitFor([&] { return s.State() == wsClosed; })) << log.Joined();
    EXPECT_EQ(log.Joined(), "socksconnected 10061; connected 10061; closed 0 in closed; ");
}

TEST(Socks, SettersAndRestrictions) {
    TWSocket s;
    EXPECT_EQ(s.SocksLevel(), "5");
    s.SetSocksLevel("4a");
    EXPECT_EQ(s.SocksLevel(), "4A");
    EXPECT_EQ(ErrorOf([&] { s.SetSocksLevel("6"); }), "Invalid socks level. Must be 4, 4A or 5.");
    EXPECT_EQ(s.SocksLevel(), "4A");
    s.SetSocksServer("  127.0.0.1 ");
    EXPECT_EQ(s.SocksServer(), "127.0.0.1");
    s.SetAddr("127.0.0.1");
    s.SetPort("0");
    EXPECT_EQ(ErrorOf([&] { s.Listen(); }), "Listening is not supported thru socks server");
    s.SetProto("udp");
    s.SetSocksPort("1080");
    EXPECT_EQ(ErrorOf([&] { s.Connect(); }), "tcp is the only protocol supported thru socks server");

    TScriptedServer proxy(TScript().DrainUntilClosed());
    s.SetProto("tcp");
    s.SetSocksPort(proxy.PortText());
    s.Connect();
    EXPECT_EQ(ErrorOf([&] { s.SetSocksServer("x"); }), "Can't change socks server if not closed");
    EXPECT_EQ(ErrorOf([&] { s.SetSocksPort("1"); }), "Can't change socks port if not closed");
    EXPECT_EQ(ErrorOf([&] { s.SetSocksLevel("5"); }), "Can't change socks level if not closed");
    s.Close();
    EXPECT_EQ(s.SocksServer(), "");
    EXPECT_EQ(s.SocksPort(), "");
    EXPECT_EQ(s.SocksLevel(), "5");
}

}  // namespace
