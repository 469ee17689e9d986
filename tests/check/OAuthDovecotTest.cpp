// OAuth2 logins against the real server: the private Dovecot of
// scripts/fixtures/dovecot-oauth.sh checks each bearer token with a local
// introspection endpoint, which knows alice's token and no other.
#include "check/AccountCheck.h"
#include "support/CheckRun.h"
#include "support/Fixtures.h"

#include <gtest/gtest.h>

#include <cstdlib>

using TestSupport::Check;

TEST(OAuthDovecot, BothMechanismsLogInWithAGoodTokenAndReportARefusedOne) {
    const std::string dir = TestSupport::FixtureDir("VESK_DOVECOT_OAUTH_DIR", VESK_CHECK_OAUTH_DIR);
    auto env = TestSupport::ReadEnvFile(dir + "/server.env");
    ASSERT_FALSE(env["VESK_POP3S_PORT"].empty()) << "the OAuth2 Dovecot is not running";
    setenv("SSL_CERT_FILE", env["VESK_POP3_CA"].c_str(), 1);
    setenv("SSL_CERT_DIR", dir.c_str(), 1);
    struct Case {
        TProtocol protocol;
        TSecurity security;
        TAuthMechanism auth;
        const char* token;
        const char* error;  // none: the count is taken
        bool fromCommand = false;  // the token printed by a password command
    } cases[] = {
        {TProtocol::Pop3, TSecurity::Tls, TAuthMechanism::XOAuth2, "token-alice", nullptr},
        {TProtocol::Pop3, TSecurity::StartTls, TAuthMechanism::OAuthBearer, "token-alice", nullptr, true},
        {TProtocol::Pop3, TSecurity::Tls, TAuthMechanism::XOAuth2, "token-mallory",
         "-ERR [AUTH] Authentication failed. (status 401)"},
        // OAUTHBEARER's challenge carries the RFC 7628 status, XOAUTH2's the HTTP one.
        {TProtocol::Pop3, TSecurity::Tls, TAuthMechanism::OAuthBearer, "token-mallory",
         "-ERR [AUTH] Authentication failed. (status invalid_token)"},
        {TProtocol::Imap, TSecurity::Tls, TAuthMechanism::XOAuth2, "token-alice", nullptr},
        {TProtocol::Imap, TSecurity::StartTls, TAuthMechanism::OAuthBearer, "token-alice", nullptr, true},
        {TProtocol::Imap, TSecurity::Tls, TAuthMechanism::XOAuth2, "token-mallory",
         "NO [AUTHENTICATIONFAILED] Authentication failed. (status 401)", true},
        {TProtocol::Imap, TSecurity::Tls, TAuthMechanism::OAuthBearer, "token-mallory",
         "NO [AUTHENTICATIONFAILED] Authentication failed. (status invalid_token)"},
    };
    for (const Case& c : cases) {
        const bool imap = c.protocol == TProtocol::Imap;
        SCOPED_TRACE(std::string(imap ? "IMAP " : "POP3 ") + SaslMechanismName(c.auth) + " " + c.token +
                     (c.fromCommand ? " from a command" : ""));
        TCheckTarget target;
        target.Server = "127.0.0.1";
        const char* port = c.security == TSecurity::Tls ? (imap ? "VESK_IMAPS_PORT" : "VESK_POP3S_PORT")
                                                        : (imap ? "VESK_IMAP_PORT" : "VESK_POP3_PORT");
        target.Port = std::stoi(env[port]);
        target.UserName = "alice";
        if (c.fromCommand)
            target.PasswordCommand = std::string("echo ") + c.token;
        else
            target.Secret = c.token;
        target.Protocol = c.protocol;
        target.Security = c.security;
        target.Auth = c.auth;
        const TCheckResult result = imap ? Check<TImapSession>(target) : Check<TPop3Session>(target);
        EXPECT_EQ(result.Ok, c.error == nullptr) << result.Error;
        if (c.error) {
            EXPECT_EQ(result.FailedStep, TCheckStep::Login);
            EXPECT_EQ(result.Error, c.error);
        } else {
            EXPECT_EQ(result.Count, 3);
        }
    }
}
