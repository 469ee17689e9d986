// The client over TLS: POP3S and STLS against the private Dovecot that
// requires TLS (scripts/fixtures/dovecot-tls.sh), once through Dante, and
// the faults a real network can show against the scripted TLS server. In
// every failing case no USER, PASS or APOP line may reach the server.
#include "Pop3TestClient.h"
#include "codec/Base64.h"
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

// OAuth2 over POP3S: AUTH names the mechanism alone and the response follows
// the go-ahead (a large provider refuses it on the AUTH line); a refused
// token's challenge gets the answer its mechanism wants, and the final -ERR
// is shown with the challenge's status.
TEST_F(Pop3Tls, OAuth2SendsTheResponseAfterTheGoAheadAndAnswersTheChallenge) {
    TlsTestServer server(TrustScriptedCerts(), "server", "implicit", "oauth");
    ASSERT_NE(server.port, 0);
    const std::string port = std::to_string(server.port);
    struct Case {
        int auth;
        const char* user;
        const char* token;
        std::string response;  // before Base64
        const char* answer;    // to the challenge; none: the token is good
    } cases[] = {
        {1, "alice", "good", "user=alice\x01" "auth=Bearer good\x01\x01", nullptr},
        {1, "alice", "stale", "user=alice\x01" "auth=Bearer stale\x01\x01", ""},
        {2, "al,i=ce", "good", "n,a=al=2Ci=3Dce,\x01host=127.0.0.1\x01port=" + port + "\x01" "auth=Bearer good\x01\x01",
         nullptr},
        {2, "alice", "stale", "n,a=alice,\x01host=127.0.0.1\x01port=" + port + "\x01" "auth=Bearer stale\x01\x01",
         "AQ=="},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.auth) + " " + c.token);
        const std::size_t logged = server.Log().size();
        TestPop3Cli client;
        client.Security = 1;
        client.Auth = c.auth;
        client.Host = "127.0.0.1";
        client.Port = port;
        client.UserName = c.user;
        client.PassWord = c.token;
        ASSERT_TRUE(client.ConnectWait()) << client.ErrorMessage();
        EXPECT_EQ(client.AuthenticateWait(), c.answer == nullptr) << client.ErrorMessage();
        EXPECT_EQ(client.ProtocolState(), c.answer ? pop3WaitingUser : pop3Transaction);
        if (c.answer) {
            EXPECT_EQ(client.ErrorMessage(), "-ERR [AUTH] Authentication failed. (status 401)");
        }
        EXPECT_TRUE(client.QuitWait());
        const std::string mechanism = c.auth == 1 ? "XOAUTH2" : "OAUTHBEARER";
        const std::string answer = c.answer ? std::string(c.answer) + "\n" : "";
        EXPECT_EQ(server.Log().substr(logged), "AUTH " + mechanism + "\n" + TBase64().Encode(c.response) + "\n" +
                                                   answer + "QUIT\n");
    }
}
