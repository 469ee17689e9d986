// The TLS layer against scripted TLS servers (tests/support/tls_server.py)
// whose certificates the fixture made with the openssl command: the trusted
// authority reaches OpenSSL through SSL_CERT_FILE, as a user's own would.
// Each client queues a USER line before the handshake has ended, so a
// layer that let plain text out early, or sent it after a failed check,
// shows in the server's log.
#include "NetTestUtil.h"
#include "support/Fixtures.h"
#include "support/TlsTestServer.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <thread>

using namespace NetTest;
using TestSupport::WaitFor;

namespace {

std::string NetFixtureDir() { return TestSupport::FixtureDir("VESK_NET_FIXTURE_DIR", VESK_NET_FIXTURE_DIR); }

std::string CertDir() { return NetFixtureDir() + "/tls"; }

std::string Fingerprint(const std::string& cert) { return TestSupport::TlsTestServer::Fingerprint(CertDir(), cert); }

// A scripted server with the certificates of this test area.
struct TTlsServer : TestSupport::TlsTestServer {
    TTlsServer(const std::string& cert, const std::string& mode, const std::string& scriptCase)
        : TlsTestServer(CertDir(), cert, mode, scriptCase) {}
};

const char* const kGreeting = "+OK Vesk test server <1896.697170952@dbc.mtview.ca.us>\r\n";

// A line-mode client that records what it hears.
struct TTlsClient {
    TWSocket s;
    std::vector<std::string> lines;
    std::vector<int> connected;
    int tlsDone = -1;
    bool closed = false;
    std::function<void(const std::string&)> onLine;

    TTlsClient() {
        s.SetLineMode(true);
        s.OnSessionConnected = [this](TObject*, WORD e) { connected.push_back(e); };
        s.OnSessionClosed = [this](TObject*, WORD) { closed = true; };
        s.OnTlsDone = [this](TObject*, WORD e) { tlsDone = e; };
        s.OnDataAvailable = [this](TObject*, WORD) {
            std::string line = s.ReceiveText();
            if (line.empty()) return;
            lines.push_back(line);
            if (onLine) onLine(line);
        };
    }
    // Connects with implicit TLS and sends a USER line as soon as the TCP
    // connection stands, before the handshake (Early), else on the greeting.
    void Start(int port, bool Early = true) {
        s.SetTlsMode(tlsImplicit);
        s.OnChangeState = [this, Early](TObject*, TSocketState, TSocketState state) {
            if (Early && state == wsConnected) s.SendText("USER early\r\n");
        };
        if (!Early)
            onLine = [this](const std::string& line) {
                if (line == kGreeting) s.SendText("USER late\r\n");
            };
        ConnectTo(s, port);
    }
    bool WaitLine(const std::string& line) {
        return WaitFor([&] {
            for (const auto& l : lines)
                if (l == line) return true;
            return closed;
        }) && !closed;
    }
};

class TlsSocket : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        // Only the test authority is trusted, whatever the machine's store holds.
        setenv("SSL_CERT_FILE", (CertDir() + "/ca.pem").c_str(), 1);
        setenv("SSL_CERT_DIR", CertDir().c_str(), 1);
    }
};


// A certificate the client must refuse: the connect fails with the reason,
// the layer above never hears a line, and nothing it sent reached the server.
void ExpectRefused(const std::string& cert, const std::string& host, const std::string& fingerprint,
                   const std::string& text) {
    SCOPED_TRACE(cert + " for " + host);
    TTlsServer server(cert, "implicit", "normal");
    ASSERT_NE(server.port, 0);
    TTlsClient c;
    c.s.SetTlsHost(host);
    c.s.SetTlsFingerprint(fingerprint);
    c.Start(server.port);
    ASSERT_TRUE(WaitFor([&] { return c.closed; }));
    EXPECT_EQ(c.connected, std::vector<int>{WSOCKET_TLS_ERROR});
    EXPECT_EQ(c.s.TlsErrorText(), text);
    EXPECT_TRUE(c.lines.empty());
    EXPECT_FALSE(server.ReceivedCredentials());
}

}  // namespace

TEST_F(TlsSocket, ImplicitTlsCarriesLinesAndChecksAddressOrName) {
    TTlsServer server("server", "implicit", "normal");
    ASSERT_NE(server.port, 0);
    for (std::string host : {"", "localhost"}) {
        SCOPED_TRACE("TlsHost '" + host + "'");
        TTlsClient c;
        c.s.SetTlsHost(host);  // empty: the address is checked
        c.onLine = [&](const std::string& line) {
            if (line == "+OK\r\n") c.s.SendText("QUIT\r\n");
        };
        c.Start(server.port);
        ASSERT_TRUE(c.WaitLine("+OK bye\r\n")) << server.Log();
        EXPECT_EQ(c.connected, std::vector<int>{0});
        EXPECT_EQ(c.lines, (std::vector<std::string>{kGreeting, "+OK\r\n", "+OK bye\r\n"}));
        EXPECT_TRUE(c.s.TlsEstablished());
        std::string pin;
        ASSERT_TRUE(NormalizeTlsFingerprint(Fingerprint("server"), pin));
        std::string seen;
        ASSERT_TRUE(NormalizeTlsFingerprint(c.s.TlsCertInfo().Sha256, seen));
        EXPECT_EQ(seen, pin);
        EXPECT_TRUE(c.s.TlsCertInfo().Trusted);
        ASSERT_TRUE(WaitFor([&] { return c.closed; }));
    }
    // Server name indication only for a name, never for an address.
    EXPECT_EQ(server.Log(), "USER early\nQUIT\nSNI localhost\nUSER early\nQUIT\n");
}

TEST_F(TlsSocket, RefusedCertificatesFailTheConnectWithTheirReason) {
    ExpectRefused("untrusted", "", "",
                  "TLS: certificate verify failed: unable to get local issuer certificate");
    ExpectRefused("wrongname", "", "", "TLS: certificate is for another host");
    ExpectRefused("wrongname", "localhost", "", "TLS: certificate is for another host");
    ExpectRefused("expired", "", "", "TLS: certificate verify failed: certificate has expired");
    // A pin overrides the store: the trusted certificate with another's pin fails.
    ExpectRefused("server", "", Fingerprint("untrusted"), "TLS: fingerprint mismatch");
}

TEST_F(TlsSocket, PinnedFingerprintAcceptsThatCertificateOnly) {
    TTlsServer server("untrusted", "implicit", "normal");
    ASSERT_NE(server.port, 0);
    TTlsClient c;
    c.s.SetTlsFingerprint(Fingerprint("untrusted"));  // colon form, upper case
    c.Start(server.port);
    ASSERT_TRUE(c.WaitLine(kGreeting));
    EXPECT_EQ(c.connected, std::vector<int>{0});
    EXPECT_FALSE(c.s.TlsCertInfo().Trusted);
    EXPECT_TRUE(WaitFor([&] { return server.Received("USER early"); }));
    EXPECT_THROW(c.s.SetTlsFingerprint("12:34"), ESocketException);
}

TEST_F(TlsSocket, StalledHandshakeEndsWithTheWait) {
    TTlsServer server("server", "implicit", "stall");
    ASSERT_NE(server.port, 0);
    TTlsClient c;
    c.s.Timeout = 700;
    bool done = false;
    c.s.OnSessionConnected = [&](TObject*, WORD) { done = true; };
    EXPECT_EQ(c.s.RunAndWait(done, [&] { c.Start(server.port); }), 12001);
    EXPECT_FALSE(done);
    EXPECT_FALSE(c.s.TlsEstablished());
    c.s.Abort();
}

TEST_F(TlsSocket, CloseDuringTheHandshakeFailsTheConnect) {
    TTlsServer server("server", "implicit", "close");
    ASSERT_NE(server.port, 0);
    TTlsClient c;
    c.Start(server.port);
    ASSERT_TRUE(WaitFor([&] { return c.closed; }));
    EXPECT_EQ(c.connected, std::vector<int>{WSOCKET_TLS_ERROR});
    EXPECT_EQ(c.s.TlsErrorText(), "TLS: connection closed during handshake");
}

// A certificate names its host in its subjectAltName alone (never in the
// subject's CN), and a wildcard stands only for a whole left-most label.
TEST_F(TlsSocket, HostNamesComeFromTheSubjectAltNameAndWholeWildcardsOnly) {
    struct Case {
        const char* cert;
        const char* host;
        bool accepted;
    } cases[] = {
        {"cnonly", "cn.example.test", false},
        {"partialwild", "foo.example.test", false},
        {"wildcard", "mail.example.test", true},
        {"server", "localhost", true},
    };
    for (const Case& c : cases) {
        if (!c.accepted) {
            ExpectRefused(c.cert, c.host, "", "TLS: certificate is for another host");
            continue;
        }
        SCOPED_TRACE(std::string(c.cert) + " for " + c.host);
        TTlsServer server(c.cert, "implicit", "normal");
        ASSERT_NE(server.port, 0);
        TTlsClient client;
        client.s.SetTlsHost(c.host);
        client.Start(server.port);
        EXPECT_TRUE(client.WaitLine(kGreeting)) << client.s.TlsErrorText();
        EXPECT_EQ(client.connected, std::vector<int>{0});
    }
}

// The subject and issuer are cleaned where they enter: a control or
// bidirectional character the certificate's maker put in shows as the mark.
TEST_F(TlsSocket, CertificateSubjectShowsControlsAsTheMark) {
    TTlsServer server("bidi", "implicit", "normal");
    ASSERT_NE(server.port, 0);
    TTlsClient c;
    c.Start(server.port);
    ASSERT_TRUE(c.WaitLine(kGreeting)) << c.s.TlsErrorText();
    EXPECT_EQ(c.s.TlsCertInfo().Subject, "CN = evil\xEF\xBF\xBDtxt.exe\xEF\xBF\xBD" "end");
    EXPECT_EQ(c.s.TlsCertInfo().Issuer, "CN = Vesk test CA");
}

// STLS: a plain session, then StartTls once the server agreed.
TEST_F(TlsSocket, StartTlsAfterTheReplyAndRefusesInjectedBytes) {
    for (std::string scriptCase : {"normal", "inject"}) {
        SCOPED_TRACE(scriptCase);
        TTlsServer server("server", "stls", scriptCase);
        ASSERT_NE(server.port, 0);
        TTlsClient c;
        c.onLine = [&](const std::string& line) {
            if (line == kGreeting) c.s.SendText("STLS\r\n");
            if (line == "+OK begin TLS\r\n") {
                c.s.StartTls();
                c.s.SendText("USER after\r\n");
            }
        };
        ConnectTo(c.s, server.port);
        ASSERT_TRUE(WaitFor([&] { return c.tlsDone >= 0; })) << server.Log();
        if (scriptCase == "normal") {
            EXPECT_EQ(c.tlsDone, 0);
            EXPECT_TRUE(c.WaitLine("+OK\r\n"));
            EXPECT_TRUE(server.Received("USER after"));
        } else {
            EXPECT_EQ(c.tlsDone, WSOCKET_TLS_ERROR);
            EXPECT_EQ(c.s.TlsErrorText(), "TLS: data received before the handshake (plaintext injection)");
            EXPECT_TRUE(WaitFor([&] { return c.closed; }));
            // The forged line never reached the layer above.
            EXPECT_EQ(c.lines, (std::vector<std::string>{kGreeting, "+OK begin TLS\r\n"}));
            EXPECT_FALSE(server.ReceivedCredentials());
        }
    }
}

TEST_F(TlsSocket, ImplicitTlsThroughDante) {
    std::string proxyPort = TestSupport::ReadEnvFile(NetFixtureDir() + "/dante/server.env")["VESK_DANTE_PORT"];
    ASSERT_FALSE(proxyPort.empty()) << "the Dante fixture is not running";
    TTlsServer server("server", "implicit", "normal");
    ASSERT_NE(server.port, 0);
    TTlsClient c;
    c.s.SetSocksServer("127.0.0.1");
    c.s.SetSocksPort(proxyPort);
    c.s.SetSocksLevel("5");
    c.Start(server.port, false);  // (a send before the proxy's reply would go to the proxy)
    ASSERT_TRUE(c.WaitLine("+OK\r\n")) << server.Log();
    EXPECT_EQ(c.connected, std::vector<int>{0});
    EXPECT_EQ(c.lines.front(), kGreeting);
    EXPECT_TRUE(server.Received("USER late"));
}

// A server that floods while the reader is slow for a moment: the layer
// reads from the socket no more than it may hold (TCP's flow control holds
// the server back), and a reader that takes 4,093 bytes a notification, as
// the POP3 engine does, still gets every byte in order, up to the close.
TEST_F(TlsSocket, AFloodIsReadOnlyAsFastAsTheReaderTakesIt) {
    TTlsServer server("server", "implicit", "flood");
    ASSERT_NE(server.port, 0);
    TWSocket s;
    s.SetTlsMode(tlsImplicit);
    std::uint64_t total = 0;
    std::size_t mostHeld = 0;
    bool inOrder = true;
    bool stalled = false;
    bool closed = false;
    s.OnDataAvailable = [&](TObject*, WORD) {
        if (!stalled && total >= (1u << 20)) {
            // Held up for a moment while the server goes on sending.
            stalled = true;
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
        }
        char buf[4093];
        int n = s.Receive(buf, sizeof buf);
        for (int i = 0; i < n; ++i, ++total) {
            // The server's stream: 8-byte big-endian block numbers.
            const auto expected = static_cast<unsigned char>((total / 8) >> (56 - 8 * (total % 8)));
            inOrder = inOrder && static_cast<unsigned char>(buf[i]) == expected;
        }
        mostHeld = std::max(mostHeld, s.TlsBufferedBytes());
    };
    s.OnSessionClosed = [&](TObject*, WORD) { closed = true; };
    ConnectTo(s, server.port);
    ASSERT_TRUE(WaitFor([&] { return closed; }, 60000)) << total;
    EXPECT_EQ(total, 16u << 20);
    EXPECT_TRUE(inOrder);
    EXPECT_LE(mostHeld, kTlsReceiveLimit);
}
