// SOCKS through real proxies on loopback, started by the CTest fixtures:
// Dante (SOCKS 4 and 5, no login; it also reaches ::1) and microsocks
// (SOCKS 5 with RFC 1929 login). Behind them a scripted server plays the
// destination. A proxy that
// is not running is a failure, never a skip.
#include "NetTestUtil.h"
#include "support/Fixtures.h"
#include "support/ScriptedPop3Server.h"

#include <deque>

using namespace NetTest;
using namespace TestSupport;

namespace {

std::string NetFixtureDir() { return FixtureDir("VESK_NET_FIXTURE_DIR", VESK_NET_FIXTURE_DIR); }

struct TProxy {
    std::string port, user, pass;
};

TProxy Dante() {
    auto env = ReadEnvFile(NetFixtureDir() + "/dante/server.env");
    return {env["VESK_DANTE_PORT"], "", ""};
}

TProxy Microsocks() {
    auto env = ReadEnvFile(NetFixtureDir() + "/microsocks/server.env");
    return {env["VESK_MICROSOCKS_PORT"], env["VESK_MICROSOCKS_USER"], env["VESK_MICROSOCKS_PASS"]};
}

struct TProxyLog : TEventLog {
    std::string SocksError;
    void AttachSocks(TWSocket& s) {
        Attach(s);
        s.OnChangeState = nullptr;
        s.OnDataSent = nullptr;
        s.OnSendData = nullptr;
        s.OnSocksError = [this](TObject*, int e, const std::string& msg) {
            Events.push_back("sockserror " + std::to_string(e));
            SocksError = msg;
        };
        s.OnSocksAuthState = [this](TObject*, TSocksAuthState a) {
            static const char* names[] = {"begun", "accepted", "rejected", "skipped"};
            Events.push_back(std::string("auth ") + names[a]);
        };
    }
};

// A POP3-like exchange with the destination through the proxy.
void Exchange(const TProxy& proxy, const std::string& level, const std::string& addr, TSocksAuthentication auth,
              const std::string& user, const std::string& pass, const std::string& expectedEvents) {
    ASSERT_FALSE(proxy.port.empty()) << "the proxy fixture is not running (" << NetFixtureDir() << ")";
    TScriptedServer destination(TScript().Send("+OK ready\r\n").ExpectLine("QUIT").Send("+OK bye\r\n").Close());
    TProxyLog log;
    TWSocket s;
    log.AttachSocks(s);
    s.OnDataAvailable = [&](TObject*, WORD) {
        std::string text = s.ReceiveText();
        log.Data += text;
        if (!text.empty()) log.Events.push_back("data " + text.substr(0, text.size() - 2));
        if (log.Data == "+OK ready\r\n") s.SendText("QUIT\r\n");
    };
    s.SetSocksServer("127.0.0.1");
    s.SetSocksPort(proxy.port);
    s.SetSocksLevel(level);
    s.SocksAuthentication = auth;
    s.SocksUsercode = user;
    s.SocksPassword = pass;
    s.SetAddr(addr);
    s.SetPort(destination.PortText());
    s.Connect();
    ASSERT_TRUE(WaitFor([&] { return s.State() == wsClosed; }, 15000)) << log.Joined();
    EXPECT_EQ(log.Joined(), expectedEvents);
    if (expectedEvents.find("sockserror") == std::string::npos) {
        EXPECT_EQ(destination.Received(), "QUIT\r\n");
    }
}

const char* const kPop3Dialogue = "connected 0; data +OK ready; data +OK bye; closed 0 in connected; ";

TEST(SocksProxy, DanteVersion4) {
    Exchange(Dante(), "4", "127.0.0.1", socksNoAuthentication, "vesk", "", kPop3Dialogue);
}

TEST(SocksProxy, DanteVersion5WithAddressAndName) {
    Exchange(Dante(), "5", "127.0.0.1", socksNoAuthentication, "", "", kPop3Dialogue);
    Exchange(Dante(), "5", "localhost", socksNoAuthentication, "", "", kPop3Dialogue);
}

// A POP3 server that listens on ::1 only, reached through Dante (at its IPv4
// or its IPv6 address) by its IPv6 literal: the request carries the address,
// Dante's reply its IPv6 bound address, and a login and a count go through.
TEST(SocksProxy, DanteVersion5ToAnIpv6OnlyServer) {
    TProxy p = Dante();
    ASSERT_FALSE(p.port.empty()) << "the proxy fixture is not running (" << NetFixtureDir() << ")";
    TScriptedPop3Server server(QHostAddress(QHostAddress::LocalHostIPv6));
    server.Greeting = "+OK ready\r\n";
    server.On("USER", "+OK\r\n");
    server.On("PASS", "+OK logged in\r\n");
    server.On("STAT", "+OK 2 320\r\n");
    server.On("QUIT", "+OK bye\r\n", TScriptedPop3Server::Then::Close);
    // The proxy by its IPv4 and by its IPv6 address.
    const std::vector<std::pair<const char*, const char*>> cases = {
        {"127.0.0.1", "::1"}, {"127.0.0.1", "[::1]"}, {"::1", "::1"}};
    for (const auto& [proxy, addr] : cases) {
        SCOPED_TRACE(std::string(proxy) + " to " + addr);
        const size_t linesBefore = server.Lines().size();
        std::deque<std::string> commands = {"USER alice", "PASS secret", "STAT", "QUIT"};
        TProxyLog log;
        TWSocket s;
        log.AttachSocks(s);
        s.OnDataAvailable = [&](TObject*, WORD) {
            log.Data += s.ReceiveText();
            size_t end;
            while ((end = log.Data.find("\r\n")) != std::string::npos) {
                log.Events.push_back("data " + log.Data.substr(0, end));
                log.Data.erase(0, end + 2);
                if (!commands.empty()) {
                    s.SendText(commands.front() + "\r\n");
                    commands.pop_front();
                }
            }
        };
        s.SetSocksServer(proxy);
        s.SetSocksPort(p.port);
        s.SetAddr(addr);
        s.SetPort(server.PortText());
        s.Connect();
        ASSERT_TRUE(WaitFor([&] { return s.State() == wsClosed; }, 15000)) << log.Joined();
        EXPECT_EQ(log.Joined(),
                  "connected 0; data +OK ready; data +OK; data +OK logged in; data +OK 2 320; data +OK bye; "
                  "closed 0 in connected; ");
        EXPECT_EQ(s.BoundAddr(), "::1");
        EXPECT_EQ(std::vector<std::string>(server.Lines().begin() + static_cast<long>(linesBefore), server.Lines().end()),
                  (std::vector<std::string>{"USER alice", "PASS secret", "STAT", "QUIT"}));
    }
}

TEST(SocksProxy, MicrosocksVersion5WithLogin) {
    TProxy p = Microsocks();
    ASSERT_FALSE(p.user.empty());
    Exchange(p, "5", "127.0.0.1", socksAuthenticateUsercode, p.user, p.pass,
             std::string("auth begun; auth accepted; ") + kPop3Dialogue);
}

TEST(SocksProxy, MicrosocksRejectsAWrongPassword) {
    TProxy p = Microsocks();
    ASSERT_FALSE(p.port.empty()) << "the proxy fixture is not running";
    TScriptedServer destination(TScript().DrainUntilClosed());
    TProxyLog log;
    TWSocket s;
    log.AttachSocks(s);
    s.SetSocksServer("127.0.0.1");
    s.SetSocksPort(p.port);
    s.SocksAuthentication = socksAuthenticateUsercode;
    s.SocksUsercode = p.user;
    s.SocksPassword = p.pass + "-wrong";
    s.SetAddr("127.0.0.1");
    s.SetPort(destination.PortText());
    s.Connect();
    ASSERT_TRUE(WaitFor([&] { return s.State() == wsClosed; }, 15000)) << log.Joined();
    // The proxy answers with a failure status (and closes): either the
    // status is read first, or the close comes first during the login.
    std::string events = log.Joined();
    EXPECT_TRUE(events == "auth begun; sockserror 20015; connected 20015; closed 20015 in closed; " ||
                events == "auth begun; auth rejected; closed 0 in connected; ")
        << events;
    EXPECT_EQ(destination.Accepted(), 0);
}

TEST(SocksProxy, MicrosocksWithoutCredentials) {
    TProxy p = Microsocks();
    TProxyLog log;
    ASSERT_FALSE(p.port.empty()) << "the proxy fixture is not running";
    TWSocket s;
    log.AttachSocks(s);
    s.SetSocksServer("127.0.0.1");
    s.SetSocksPort(p.port);
    s.SetAddr("127.0.0.1");
    s.SetPort("110");
    s.Connect();
    ASSERT_TRUE(WaitFor([&] { return s.State() == wsClosed; }, 15000)) << log.Joined();
    EXPECT_EQ(log.Joined(), "sockserror 20003; connected 20003; closed 20003 in closed; ");
    EXPECT_EQ(log.SocksError, "authentification method not acceptable");
}

}  // namespace
