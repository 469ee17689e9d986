// IPv6 beside IPv4: address literals, the order a name's addresses are
// tried in, servers reached over ::1 by literal and by name, a black-holed
// IPv6 address that does not keep a connection from IPv4, and the TLS check
// of an IPv6 literal. Names with addresses of both families come from the
// platform's test host table.
#include "NetTestUtil.h"
#include "support/Fixtures.h"
#include "support/ScriptedPop3Server.h"
#include "support/TlsTestServer.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

using namespace NetTest;
using TestSupport::TScriptedPop3Server;
using TestSupport::WaitFor;

namespace {

// Installs a host table for the test's lifetime.
struct TTestHosts {
    explicit TTestHosts(std::vector<std::pair<std::string, std::vector<std::string>>> table) {
        WSock::SetTestHosts(std::move(table));
    }
    ~TTestHosts() { WSock::SetTestHosts({}); }
};

std::vector<std::string> Texts(const std::vector<TSocketAddress>& list) {
    std::vector<std::string> out;
    for (const TSocketAddress& a : list) out.push_back(a.Text());
    return out;
}

// "address start won" for each attempt of the last connect.
std::vector<std::string> Attempts(const TCustomWSocket& s) {
    std::vector<std::string> out;
    for (const TConnectAttempt& a : s.ConnectAttempts()) {
        const char* start = a.Start == csFirst ? "first" : a.Start == csStagger ? "stagger" : "after-failure";
        out.push_back(a.Address + " " + start + (a.Won ? " won" : a.Error ? " failed" : ""));
    }
    return out;
}

// Connects `s` to host:port the way the protocol engines do (a lookup, then
// the name itself) and waits for the greeting line.
std::string Greeting(TWSocket& s, const std::string& host, int port) {
    std::string line;
    bool done = false;
    s.SetLineMode(true);
    s.OnDataAvailable = [&](TObject*, WORD) {
        line = s.ReceiveText();
        done = true;
    };
    s.OnSessionConnected = [&](TObject*, WORD e) { done = done || e != 0; };
    s.OnDnsLookupDone = [&](TObject*, WORD e) {
        if (e != 0) {
            done = true;
            return;
        }
        s.SetAddr(host);
        s.SetPort(std::to_string(port));
        s.SetProto("tcp");
        s.Connect();
    };
    s.DnsLookup(host);
    EXPECT_TRUE(WaitFor([&] { return done; }));
    return line;
}

}  // namespace

TEST(DualStack, AddressLiteralsOfBothFamilies) {
    const std::vector<std::pair<std::string, std::string>> good = {
        {"2001:db8::1", "2001:db8::1"},
        {"[2001:db8::1]", "2001:db8::1"},
        {" [::1] ", "::1"},
        {"2001:0DB8:0:0:0:0:0:1", "2001:db8::1"},  // shown in its short form
        {"::ffff:192.0.2.1", "::ffff:192.0.2.1"},
        {"192.0.2.1", "192.0.2.1"},
    };
    for (const auto& [text, shown] : good) {
        TSocketAddress a;
        EXPECT_TRUE(ParseAddressLiteral(text, a)) << text;
        EXPECT_EQ(a.Text(), shown) << text;
    }
    for (const std::string& text : std::vector<std::string>{"[::1", "::1]", "[]", ":::", "[192.0.2.1]", "2001:db8::1%eth0", "mail.example.org",
                             "[2001:db8::1]:110", "2001:db8::g", std::string(300, ':')}) {
        TSocketAddress a;
        EXPECT_FALSE(ParseAddressLiteral(text, a)) << text;
    }
}

TEST(DualStack, AddressesAlternateFamiliesIPv6First) {
    TTestHosts hosts({{"mixed.test", {"192.0.2.1", "192.0.2.2", "2001:db8::1", "192.0.2.3", "2001:db8::2"}}});
    EXPECT_EQ(Texts(InterleaveAddressFamilies(WSocketResolveHostAll("mixed.test"))),
              (std::vector<std::string>{"2001:db8::1", "192.0.2.1", "2001:db8::2", "192.0.2.2", "192.0.2.3"}));
    // The asynchronous lookup reports every address, in the resolver's order.
    TWSocket s;
    int done = -1;
    s.OnDnsLookupDone = [&](TObject*, WORD e) { done = e; };
    s.DnsLookup("MIXED.test");
    ASSERT_TRUE(WaitFor([&] { return done >= 0; }));
    EXPECT_EQ(done, 0);
    EXPECT_EQ(s.DnsResultList(),
              (std::vector<std::string>{"192.0.2.1", "192.0.2.2", "2001:db8::1", "192.0.2.3", "2001:db8::2"}));
    EXPECT_EQ(s.DnsResult(), "192.0.2.1");
}

// A server on one family only, reached by literal and by a name with
// addresses of both families whose other family refuses the port.
TEST(DualStack, ReachesAServerOnOneFamilyByLiteralOrName) {
    TTestHosts hosts({{"dual.test", {"127.0.0.1", "::1"}}});
    struct Case {
        bool serverOnIPv6;
        std::string host;
        std::string peer;
        std::vector<std::string> attempts;
    };
    const std::vector<Case> cases = {
        {true, "::1", "::1", {}},
        {true, "[::1]", "::1", {}},
        {true, "dual.test", "::1", {"::1 first won"}},
        {false, "dual.test", "127.0.0.1", {"::1 first failed", "127.0.0.1 after-failure won"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.host + (c.serverOnIPv6 ? " (server on ::1)" : " (server on 127.0.0.1)"));
        TScriptedPop3Server server(QHostAddress(c.serverOnIPv6 ? QHostAddress::LocalHostIPv6 : QHostAddress::LocalHost));
        ASSERT_GT(server.Port(), 0);
        TWSocket s;
        EXPECT_EQ(Greeting(s, c.host, server.Port()), server.Greeting);
        EXPECT_EQ(s.PeerAddr(), c.peer);
        EXPECT_EQ(Attempts(s), c.attempts);
        s.Abort();
    }
}

TEST(DualStack, EveryFamilyFailingNamesTheLastErrorOfEach) {
    int port = 0;
    {
        TScriptedPop3Server gone;  // a port nobody listens on once it is gone
        port = gone.Port();
    }
    TTestHosts hosts({{"dual.test", {"127.0.0.1", "::1"}}});
    TWSocket s;
    TEventLog log;
    log.Attach(s);
    s.SetAddr("dual.test");
    s.SetPort(std::to_string(port));
    s.Connect();
    ASSERT_TRUE(WaitFor([&] { return s.State() == wsClosed; }));
    EXPECT_EQ(s.ConnectErrorText(),
              "IPv6 ::1: Connection refused (error #10061); IPv4 127.0.0.1: Connection refused (error #10061)");
    // The events of a single refused connect.
    EXPECT_EQ(log.Events, (std::vector<std::string>{"state closed>opened", "state opened>connecting",
                                                    "state connecting>connected", "connected 10061",
                                                    "state connected>closed", "closed 0 in closed"}));
}

namespace {

// A listener on [::1]:port whose queue is full: the system drops every
// further connection request there, so a connect to it neither completes
// nor fails (a black-holed address, without touching routes).
struct TBlackHole {
    WSock::SOCKET listener = WSock::INVALID_SOCKET;
    std::vector<WSock::SOCKET> fillers;
    TSocketAddress address;

    explicit TBlackHole(int port) {
        ParseAddressLiteral("::1", address);
        address.SetPort(WSock::htons(static_cast<WSock::u_short>(port)));
        listener = WSock::socket(WSock::AF_INET6, WSock::SOCK_STREAM, 0);
        if (WSock::bind(listener, address.Sockaddr(), address.Length) != 0 || WSock::listen(listener, 0) != 0) return;
        for (int i = 0; i < 3; ++i) {
            fillers.push_back(WSock::socket(WSock::AF_INET6, WSock::SOCK_STREAM, 0));
            WSock::connect(fillers.back(), address.Sockaddr(), address.Length);
        }
    }
    ~TBlackHole() {
        for (WSock::SOCKET f : fillers) WSock::closesocket(f);
        WSock::closesocket(listener);
    }
    // True once the queue is full (the first request sits in it).
    bool Full() const {
        TSocketAddress peer;
        int len = sizeof peer.Record;
        return !fillers.empty() &&
               WSock::getpeername(fillers.front(), reinterpret_cast<WSock::sockaddr*>(&peer.Record), &len) == 0;
    }
};

}  // namespace

TEST(DualStack, ABlackHoledIPv6AddressDoesNotKeepTheConnectionFromIPv4) {
    TScriptedPop3Server server;  // 127.0.0.1 only
    TBlackHole hole(server.Port());
    ASSERT_TRUE(WaitFor([&] { return hole.Full(); }));
    TTestHosts hosts({{"dual.test", {"::1", "127.0.0.1"}}});
    TWSocket s;
    EXPECT_EQ(Greeting(s, "dual.test", server.Port()), server.Greeting);
    EXPECT_EQ(s.PeerAddr(), "127.0.0.1");
    // IPv4 began when the stagger ran out, while IPv6 neither failed nor
    // connected; the IPv6 attempt was dropped when IPv4 won.
    EXPECT_EQ(Attempts(s), (std::vector<std::string>{"::1 first", "127.0.0.1 stagger won"}));
    s.Abort();
}

TEST(DualStack, TlsChecksAnIPv6LiteralAsAnAddressWithoutSni) {
    const std::string certs = TestSupport::FixtureDir("VESK_NET_FIXTURE_DIR", VESK_NET_FIXTURE_DIR) + "/tls";
    setenv("SSL_CERT_FILE", (certs + "/ca.pem").c_str(), 1);
    setenv("SSL_CERT_DIR", certs.c_str(), 1);
    struct Case {
        std::string cert, addr, tlsHost, error;
    };
    const std::vector<Case> cases = {
        {"server", "::1", "", ""},
        {"server", "[::1]", "[::1]", ""},
        {"wrongname", "[::1]", "", "TLS: certificate is for another host"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.cert + " at " + c.addr + " as '" + c.tlsHost + "'");
        TestSupport::TlsTestServer server(certs, c.cert, "implicit", "normal", "pop3", "::1");
        ASSERT_NE(server.port, 0);
        TWSocket s;
        std::vector<int> connected;
        std::string greeting;
        s.SetLineMode(true);
        s.SetTlsMode(tlsImplicit);
        s.SetTlsHost(c.tlsHost);
        s.OnSessionConnected = [&](TObject*, WORD e) { connected.push_back(e); };
        s.OnDataAvailable = [&](TObject*, WORD) { greeting += s.ReceiveText(); };
        s.SetAddr(c.addr);
        s.SetPort(std::to_string(server.port));
        s.Connect();
        ASSERT_TRUE(WaitFor([&] { return !greeting.empty() || s.State() == wsClosed; }));
        EXPECT_EQ(connected, std::vector<int>{c.error.empty() ? 0 : WSOCKET_TLS_ERROR});
        EXPECT_EQ(s.TlsErrorText(), c.error);
        EXPECT_EQ(greeting.empty(), !c.error.empty());
        s.Abort();
        EXPECT_EQ(server.Log().find("SNI"), std::string::npos) << server.Log();
    }
}
