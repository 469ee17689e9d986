// The client over TLS: POP3S and STLS against the private Dovecot that
// requires TLS (scripts/fixtures/dovecot-tls.sh), once through Dante, and
// the faults a real network can show against the scripted TLS server. In
// every failing case no USER, PASS or APOP line may reach the server.
#include "Pop3TestClient.h"
#include "support/Fixtures.h"
#include "support/TlsTestServer.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

using TestSupport::ReadEnvFile;
using TestSupport::TlsTestServer;

namespace {

std::string Pop3FixtureDir(const char* suffix) { return std::string(VESK_POP3_FIXTURE_DIR) + suffix; }

class Pop3Tls : public ::testing::Test {
protected:
    void SetUp() override {
        env_ = ReadEnvFile(Pop3FixtureDir("-tls") + "/server.env");
        ASSERT_FALSE(env_["VESK_POP3S_PORT"].empty()) << "the TLS Dovecot is not running";
        // The fixture's authority is the only one trusted; the scripted
        // server's certificates come from another fixture and another one.
        setenv("SSL_CERT_FILE", env_["VESK_POP3_CA"].c_str(), 1);
        setenv("SSL_CERT_DIR", Pop3FixtureDir("-tls").c_str(), 1);
        cli.UserName = "alice";
        cli.PassWord = "secret-alice";
    }
    // Logs in with USER/PASS or APOP and reads the mailbox's count.
    void CheckMailbox(bool apop) {
        ASSERT_TRUE(cli.ConnectWait()) << cli.ErrorMessage();
        ASSERT_FALSE(cli.TimeStamp().empty());
        if (apop) {
            ASSERT_TRUE(cli.APopWait()) << cli.ErrorMessage();
        } else {
            ASSERT_TRUE(cli.UserWait()) << cli.ErrorMessage();
            ASSERT_TRUE(cli.PassWait()) << cli.ErrorMessage();
        }
        ASSERT_TRUE(cli.StatWait()) << cli.ErrorMessage();
        EXPECT_EQ(cli.MsgCount(), 3);
        EXPECT_TRUE(cli.QuitWait());
    }
    std::map<std::string, std::string> env_;
    TestPop3Cli cli;
};

}  // namespace

TEST_F(Pop3Tls, PopsAndStlsLogInWithUserPassAndApop) {
    struct Case {
        int security;
        const char* host;
        bool apop;
    } cases[] = {{1, "127.0.0.1", false}, {1, "localhost", true}, {2, "localhost", false}, {2, "127.0.0.1", true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.security) + " " + c.host + (c.apop ? " APOP" : " USER"));
        cli.Security = c.security;
        cli.Host = c.host;
        cli.Port = env_[c.security == 1 ? "VESK_POP3S_PORT" : "VESK_POP3_PORT"];
        CheckMailbox(c.apop);
    }
    // The pin of the server's certificate in the form openssl prints it.
    cli.Security = 1;
    cli.Fingerprint = env_["VESK_POP3_FINGERPRINT"];
    cli.Port = env_["VESK_POP3S_PORT"];
    CheckMailbox(false);
}

TEST_F(Pop3Tls, StlsThroughDante) {
    std::string proxyPort = ReadEnvFile(Pop3FixtureDir("-dante") + "/server.env")["VESK_DANTE_PORT"];
    ASSERT_FALSE(proxyPort.empty()) << "the Dante fixture is not running";
    cli.Security = 2;
    cli.Host = "127.0.0.1";
    cli.Port = env_["VESK_POP3_PORT"];
    cli.Socket().SetSocksServer("127.0.0.1");
    cli.Socket().SetSocksPort(proxyPort);
    CheckMailbox(false);
}

TEST_F(Pop3Tls, FailedChecksEndTheAccountBeforeAnyCredential) {
    const std::string certs = Pop3FixtureDir("-certs");
    setenv("SSL_CERT_FILE", (certs + "/ca.pem").c_str(), 1);
    setenv("SSL_CERT_DIR", certs.c_str(), 1);
    const std::string untrustedPin = TlsTestServer::Fingerprint(certs, "untrusted");
    using F = TPop3Failure;
    struct Case {
        const char* cert;
        const char* mode;
        const char* scriptCase;
        std::string pin;
        std::string error;
        TPop3Failure failure;
    } cases[] = {
        {"untrusted", "implicit", "normal", "",
         "-ERR TLS: certificate verify failed: unable to get local issuer certificate", F::Tls},
        {"wrongname", "implicit", "normal", "", "-ERR TLS: certificate is for another host", F::Tls},
        {"expired", "implicit", "normal", "", "-ERR TLS: certificate verify failed: certificate has expired", F::Tls},
        {"server", "implicit", "normal", untrustedPin, "-ERR TLS: fingerprint mismatch", F::Tls},
        {"server", "implicit", "normal", "00:11:22",
         "-ERR TLS: the certificate fingerprint is not 64 hexadecimal digits", F::Settings},
        {"server", "stls", "stls-err", "", "-ERR STLS refused by the server", F::Refused},
        {"server", "stls", "inject", "", "-ERR TLS: data received before the handshake (plaintext injection)", F::Tls},
        {"server", "implicit", "close", "", "-ERR TLS: connection closed during handshake", F::Tls},
        {"server", "implicit", "stall", "", "426 Timeout", F::TimedOut},
        {"untrusted", "implicit", "normal", untrustedPin, "", F::None},  // a pin replaces the chain check
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.cert) + " " + c.mode + " " + c.scriptCase + " pin '" + c.pin + "'");
        TlsTestServer server(certs, c.cert, c.mode, c.scriptCase);
        ASSERT_NE(server.port, 0);
        TestPop3Cli client;
        client.Timeout = 1;
        client.Security = std::string(c.mode) == "implicit" ? 1 : 2;
        client.Fingerprint = c.pin;
        client.Host = "127.0.0.1";
        client.Port = std::to_string(server.port);
        client.UserName = "alice";
        client.PassWord = "secret-alice";
        bool opened = client.OpenWait();
        EXPECT_EQ(opened, c.error.empty()) << client.ErrorMessage();
        EXPECT_EQ(client.ErrorMessage(), c.error);
        EXPECT_EQ(client.Failure(), c.failure);
        if (c.error.empty()) {
            EXPECT_TRUE(server.Received("PASS secret-alice"));
        } else {
            EXPECT_FALSE(client.Connected());
            EXPECT_FALSE(server.ReceivedCredentials()) << server.Log();
        }
    }
}

namespace {

// The certificates of the scripted TLS server, its authority the only one
// trusted; answers their folder.
std::string TrustScriptedCerts() {
    const std::string certs = Pop3FixtureDir("-certs");
    setenv("SSL_CERT_FILE", (certs + "/ca.pem").c_str(), 1);
    setenv("SSL_CERT_DIR", certs.c_str(), 1);
    return certs;
}

// A client logged in over implicit TLS to the scripted TLS server, message 1
// chosen; its time-out is long, so that no outcome can come from it.
void OpenScripted(TestPop3Cli& client, const TlsTestServer& server) {
    client.Timeout = 60;
    client.Security = 1;
    client.Host = "127.0.0.1";
    client.Port = std::to_string(server.port);
    client.UserName = "alice";
    client.PassWord = "secret-alice";
    ASSERT_TRUE(client.OpenWait()) << client.ErrorMessage();
    client.MsgNum = 1;
}

}  // namespace

// The engine cuts a line at its buffer's end without reading; over TLS the
// rest of the reply is already decrypted and the socket is quiet, and still
// the reply must go on to its end.
TEST_F(Pop3Tls, AnOverlongHeaderLineInOneWriteEndsTheTop) {
    TlsTestServer server(TrustScriptedCerts(), "server", "implicit", "longline");
    ASSERT_NE(server.port, 0);
    TestPop3Cli client;
    OpenScripted(client, server);
    EXPECT_TRUE(client.TopWait()) << client.ErrorMessage();
    EXPECT_EQ(client.FromValue(), " Alice <alice@example.test>");
}

// close_notify in the middle of a reply, the TCP connection left open: the
// request fails at once, as under a TCP close.
TEST_F(Pop3Tls, CloseNotifyUnderARequestFailsItAsATcpCloseDoes) {
    TlsTestServer server(TrustScriptedCerts(), "server", "implicit", "close-notify");
    ASSERT_NE(server.port, 0);
    TestPop3Cli client;
    OpenScripted(client, server);
    EXPECT_FALSE(client.TopWait());
    EXPECT_EQ(client.ErrorMessage(), "-ERR Interrupted system call (Winsock error #10004)");
    EXPECT_FALSE(client.Connected());
}
