// The IMAP engine against the scripted line server on loopback: the exact
// bytes it sends, the values it reads, and each fault a server (or someone
// in the middle) could bring.
#include "codec/Base64.h"
#include "imap/ImapProt.h"
#include "support/ScriptedPop3Server.h"
#include "support/TestSupport.h"
#include "support/TlsTestServer.h"

#include <QTest>
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

using TestSupport::TScript;
using TestSupport::TScriptedPop3Server;
using TestSupport::WaitFor;

namespace {

std::string Literal(const std::string& bytes) { return "{" + std::to_string(bytes.size()) + "}\r\n" + bytes; }

class ImapEngine : public ::testing::Test {
protected:
    void SetUp() override {
        server.Unmatched.clear();
        cli.Host = "127.0.0.1";
        cli.Port = server.PortText();
        cli.UserName = "u";
        cli.PassWord = "p";
        cli.OnRequestDone = [this](TObject*, TImapRequest, WORD) { ++ends; };
    }

    // Starts `op` and waits for its one end; true when it succeeded.
    bool Run(void (TImapCli::*op)()) {
        const int before = ends;
        (cli.*op)();
        EXPECT_EQ(ends, before) << "the end is posted, never reported from inside the call";
        EXPECT_TRUE(WaitFor([&] { return ends > before; }));
        return cli.RequestOutcome() == 0;
    }

    TScriptedPop3Server server;
    TImapCli cli;
    int ends = 0;
};

const std::string kGreeting = "* OK [CAPABILITY IMAP4rev1 SASL-IR AUTH=PLAIN] ready\r\n";

}  // namespace

TEST_F(ImapEngine, ChecksAFolderFromGreetingToLogout) {
    cli.Folder = "Entw\xC3\xBC" "rfe";
    const std::string header = "From: Ann\x1b\r\n <ann@example.org>\r\nSubject: x\r\n\r\n";
    const std::vector<std::string> sent = {
        "A1 AUTHENTICATE PLAIN AHUAcA==",
        "A2 STATUS \"Entw&APw-rfe\" (UNSEEN UIDNEXT UIDVALIDITY)",
        "A3 EXAMINE \"Entw&APw-rfe\"",
        "A4 UID SEARCH UNSEEN",
        "A5 UID FETCH 43 (BODY.PEEK[HEADER.FIELDS (FROM)])",
        "A6 LOGOUT",
    };
    server.Play(TScript()
                    .Send(kGreeting)
                    .ExpectLine(sent[0]).Send("A1 OK [CAPABILITY IMAP4rev1 IDLE] in\r\n")
                    .ExpectLine(sent[1])
                    .Send("* STATUS \"Entw&APw-rfe\" (UNSEEN 2 UIDNEXT 44 UIDVALIDITY 6)\r\nA2 OK\r\n")
                    .ExpectLine(sent[2]).Send("* 5 EXISTS\r\n* OK [UIDVALIDITY 7] v\r\nA3 OK [READ-ONLY] done\r\n")
                    .ExpectLine(sent[3]).Send("* SEARCH 40 43\r\nA4 OK\r\n")
                    .ExpectLine(sent[4])
                    .Send("* 4 FETCH (FLAGS (\\Seen) UID 40)\r\n"
                          "* 5 FETCH (UID 43 BODY[HEADER.FIELDS (FROM)] " + Literal(header) + ")\r\nA5 OK\r\n")
                    .ExpectLine(sent[5]).Send("* BYE see you\r\nA6 OK\r\n").Close());
    ASSERT_TRUE(Run(&TImapCli::Connect)) << cli.ErrorMessage();
    ASSERT_TRUE(Run(&TImapCli::Login)) << cli.ErrorMessage();
    EXPECT_TRUE(ImapHasCapability(cli.Capabilities(), "IDLE")) << "the login's capabilities replace the greeting's";
    ASSERT_TRUE(Run(&TImapCli::Status)) << cli.ErrorMessage();
    EXPECT_EQ(cli.Unseen(), 2u);
    EXPECT_EQ(cli.UidNext(), 44u);
    ASSERT_TRUE(Run(&TImapCli::Examine)) << cli.ErrorMessage();
    EXPECT_EQ(cli.UidValidity(), 7u) << "the selected folder's own value wins";
    ASSERT_TRUE(Run(&TImapCli::UidSearchUnseen)) << cli.ErrorMessage();
    EXPECT_EQ(cli.Uids(), (std::vector<std::uint64_t>{40, 43}));
    const int before = ends;
    cli.FetchFrom(43);
    ASSERT_TRUE(WaitFor([&] { return ends > before; }));
    EXPECT_EQ(cli.RequestOutcome(), 0) << cli.ErrorMessage();
    EXPECT_EQ(cli.From(), " Ann\xEF\xBF\xBD") << "the From line cleaned (as POP3 reads it), the other message ignored";
    ASSERT_TRUE(Run(&TImapCli::Logout));
    EXPECT_FALSE(cli.Connected());

    std::string wire;
    for (const auto& line : sent) wire += line + "\r\n";
    EXPECT_EQ(server.Received(), wire);
    EXPECT_TRUE(server.Finished()) << server.Failure();
}

TEST_F(ImapEngine, LoginSendsEachPasswordInAFormTheServerTakes) {
    const std::string eightBit = "a\"b\\\xE9";
    struct Case {
        const char* name;
        std::string caps, password;
        std::vector<std::pair<std::string, std::string>> exchange;  // line expected, bytes sent back
        bool ok;
    } cases[] = {
        {"quoted", "IMAP4rev1", "a\"b\\c", {{"A1 LOGIN \"u\" \"a\\\"b\\\\c\"", "A1 OK\r\n"}}, true},
        {"non-synchronising literal", "IMAP4rev1 LITERAL+", eightBit,
         {{"A1 LOGIN \"u\" {5+}", ""}, {eightBit, "A1 OK\r\n"}}, true},
        {"synchronising literal", "IMAP4rev1", eightBit,
         {{"A1 LOGIN \"u\" {5}", "+ go\r\n"}, {eightBit, "A1 OK\r\n"}}, true},
        {"literal refused before its bytes", "IMAP4rev1", eightBit,
         {{"A1 LOGIN \"u\" {5}", "A1 NO too long\r\n"}}, false},
        {"two-step AUTHENTICATE", "IMAP4rev1 AUTH=PLAIN", "p",
         {{"A1 AUTHENTICATE PLAIN", "+ \r\n"}, {"AHUAcA==", "A1 OK\r\n"}}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TScriptedPop3Server box;
        box.Unmatched.clear();
        TScript script;
        script.Send("* OK [CAPABILITY " + c.caps + "] hi\r\n");
        std::string wire;
        for (const auto& [line, reply] : c.exchange) {
            script.ExpectLine(line);
            if (!reply.empty()) script.Send(reply);
            wire += line + "\r\n";
        }
        box.Play(script);
        cli.Abort();
        cli.Port = box.PortText();
        cli.PassWord = c.password;
        ASSERT_TRUE(Run(&TImapCli::Connect)) << cli.ErrorMessage();
        EXPECT_EQ(Run(&TImapCli::Login), c.ok) << cli.ErrorMessage();
        EXPECT_EQ(cli.Authenticated(), c.ok);
        EXPECT_EQ(box.Received(), wire);
        EXPECT_TRUE(box.Finished()) << box.Failure();
    }
}

TEST_F(ImapEngine, LoginDisabledOnAPlainConnectionSendsNoCredential) {
    server.Greeting = "* OK [CAPABILITY IMAP4rev1 AUTH=PLAIN LOGINDISABLED] hi\r\n";
    ASSERT_TRUE(Run(&TImapCli::Connect));
    EXPECT_FALSE(Run(&TImapCli::Login));
    EXPECT_EQ(cli.ErrorMessage(), "IMAP: the server refuses logins on a plain connection; set Security to 1 or 2");
    EXPECT_EQ(server.Received(), "");
}

// (A refused or tampered STARTTLS is in the TLS test below.)
TEST_F(ImapEngine, AConnectThatCannotBeTrustedFailsAndDrops) {
    struct Case {
        const char* name;
        int security;
        TScript script;
        std::string error;  // part of the error message
    } cases[] = {
        {"PREAUTH where STARTTLS is wanted", 2, TScript().Send("* PREAUTH [CAPABILITY IMAP4rev1] hi\r\n"), "PREAUTH"},
        {"BYE for a greeting", 0, TScript().Send("* BYE too busy\r\n"), "BYE too busy"},
    };
    for (Case& c : cases) {
        SCOPED_TRACE(c.name);
        TScriptedPop3Server box;
        box.Play(c.script);
        cli.Abort();
        cli.Port = box.PortText();
        cli.Security = c.security;
        EXPECT_FALSE(Run(&TImapCli::Connect));
        EXPECT_NE(cli.ErrorMessage().find(c.error), std::string::npos) << cli.ErrorMessage();
        EXPECT_FALSE(cli.Connected());
        EXPECT_THROW(cli.Login(), ImapException) << "no login after a failed connect";
        EXPECT_TRUE(WaitFor([&] { return !box.ClientConnected(); }));
    }
}

TEST_F(ImapEngine, AServerThatBreaksTheConversationFailsTheRequestAndDrops) {
    struct Case {
        const char* name;
        std::string reply;  // to STATUS
        std::string error;  // the error message, or its start
        int outcome;
    } cases[] = {
        {"BYE in the middle", "* BYE shutting down\r\n", "BYE shutting down", 500},
        {"a wrong tag", "A7 OK\r\n", "IMAP: a response tagged A7 where A2 was expected", 500},
        {"a literal over the reader's bound", "* 1 FETCH (BODY[] {2000000}\r\n", "IMAP: ", 500},
        {"the connection closed", "", "IMAP: the server closed the connection", 10004},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TScriptedPop3Server box;
        TScript script;
        script.Send(kGreeting).ExpectLine("A1 AUTHENTICATE PLAIN AHUAcA==").Send("A1 OK\r\n").ExpectLine(
            "A2 STATUS \"INBOX\" (UNSEEN UIDNEXT UIDVALIDITY)");
        if (c.reply.empty())
            script.Close();
        else
            script.Send(c.reply);
        box.Play(script);
        cli.Abort();
        cli.Port = box.PortText();
        ASSERT_TRUE(Run(&TImapCli::Connect));
        ASSERT_TRUE(Run(&TImapCli::Login));
        EXPECT_FALSE(Run(&TImapCli::Status));
        EXPECT_EQ(cli.ErrorMessage().rfind(c.error, 0), 0u) << cli.ErrorMessage();
        EXPECT_EQ(cli.RequestOutcome(), c.outcome);
        EXPECT_FALSE(cli.Connected());
        EXPECT_TRUE(WaitFor([&] { return !box.ClientConnected(); }));
    }
}

// Over TLS against the scripted TLS server: from the first byte, and with
// STARTTLS, after which the plain-text capabilities (LOGINDISABLED among
// them) are forgotten and asked again; a refused or tampered STARTTLS never
// lets a credential out.
TEST_F(ImapEngine, TlsProtectsTheLoginAndStartTlsForgetsWhatCameBefore) {
    const std::string certs = VESK_IMAP_CERTS_DIR;
    setenv("SSL_CERT_FILE", (certs + "/ca.pem").c_str(), 1);
    setenv("SSL_CERT_DIR", certs.c_str(), 1);
    struct Case {
        const char* mode;
        const char* scriptCase;
        int security;
        std::string error;  // part of the connect's error; empty: all works
    } cases[] = {
        {"implicit", "normal", 1, ""},
        {"stls", "normal", 2, ""},
        {"stls", "stls-err", 2, "NO not now"},
        {"stls", "inject", 2, "plaintext injection"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.mode) + " " + c.scriptCase);
        TestSupport::TlsTestServer tls(certs, "server", c.mode, c.scriptCase, "imap");
        ASSERT_NE(tls.port, 0);
        cli.Abort();
        cli.Port = std::to_string(tls.port);
        cli.Security = c.security;
        const bool connected = Run(&TImapCli::Connect);
        EXPECT_EQ(connected, c.error.empty()) << cli.ErrorMessage();
        if (!connected) {
            EXPECT_NE(cli.ErrorMessage().find(c.error), std::string::npos) << cli.ErrorMessage();
            EXPECT_FALSE(cli.Connected());
            EXPECT_FALSE(tls.Received("A2")) << tls.Log();
            continue;
        }
        EXPECT_FALSE(ImapHasCapability(cli.Capabilities(), "LOGINDISABLED"));
        EXPECT_TRUE(Run(&TImapCli::Login)) << cli.ErrorMessage();
        EXPECT_TRUE(Run(&TImapCli::Logout));
        EXPECT_TRUE(tls.Received(c.security == 2 ? "A3 AUTHENTICATE PLAIN AHUAcA==" : "A1 AUTHENTICATE PLAIN AHUAcA=="))
            << tls.Log();
    }
}

// IDLE: the server's news is reported while it idles, DONE goes only after
// its go-ahead (even when the end was wanted before), and the tagged answer
// ends the request; a flag change counts as news, the fetch's own answer not.
TEST_F(ImapEngine, IdleReportsTheFoldersNewsAndEndsWithDone) {
    server.Play(TScript()
                    .Send("* OK [CAPABILITY IMAP4rev1 SASL-IR AUTH=PLAIN IDLE] ready\r\n")
                    .ExpectLine("A1 AUTHENTICATE PLAIN AHUAcA==").Send("A1 OK in\r\n")
                    .ExpectLine("A2 EXAMINE \"INBOX\"").Send("* 3 EXISTS\r\nA2 OK [READ-ONLY] done\r\n")
                    .ExpectLine("A3 IDLE").Send("+ idling\r\n* OK Still here\r\n* 4 EXISTS\r\n")
                    .ExpectLine("DONE").Send("A3 OK Idle completed.\r\n")
                    .ExpectLine("A4 UID FETCH 9 (BODY.PEEK[HEADER.FIELDS (FROM)])")
                    .Send("* 4 FETCH (UID 9 BODY[HEADER.FIELDS (FROM)] {2}\r\n\r\n)\r\n"
                          "* 2 FETCH (FLAGS (\\Seen))\r\nA4 OK\r\n")
                    .ExpectLine("A5 IDLE").Gate(1).Send("+ idling\r\n")
                    .ExpectLine("DONE").Send("A5 OK Idle completed.\r\n"));
    int news = 0;
    cli.OnMailboxChange = [&](TObject*) {
        ++news;
        cli.EndIdle();
    };
    ASSERT_TRUE(Run(&TImapCli::Connect)) << cli.ErrorMessage();
    ASSERT_TRUE(Run(&TImapCli::Login)) << cli.ErrorMessage();
    ASSERT_TRUE(Run(&TImapCli::Examine)) << cli.ErrorMessage();
    EXPECT_EQ(news, 0) << "the folder's own EXISTS is no news";
    ASSERT_TRUE(Run(&TImapCli::Idle)) << cli.ErrorMessage();
    EXPECT_EQ(news, 1);

    const int before = ends;
    cli.FetchFrom(9);
    ASSERT_TRUE(WaitFor([&] { return ends > before; }));
    EXPECT_EQ(cli.Changes(), 2u) << "the other message's flag change, not the fetch's answer";

    cli.OnMailboxChange = nullptr;
    cli.Idle();
    cli.EndIdle();
    ASSERT_TRUE(WaitFor([&] { return server.Got("A5 IDLE"); }));
    QTest::qWait(100);
    EXPECT_EQ(server.Lines().back(), "A5 IDLE") << "DONE waits for the server's go-ahead";
    server.Open(1);
    ASSERT_TRUE(WaitFor([&] { return ends > before + 1; }));
    EXPECT_EQ(cli.RequestOutcome(), 0) << cli.ErrorMessage();
    EXPECT_TRUE(server.Finished()) << server.Failure();
}

// OAuth2 over TLS: AUTHENTICATE with the response on the command line where
// SASL-IR is offered, else after the go-ahead; a refused token's challenge
// gets the answer its mechanism wants, and the tagged NO is shown with the
// challenge's status. Without TLS no token leaves, nor is a connection made.
TEST_F(ImapEngine, OAuth2LoginsUseSaslIrWhenOfferedAndAnswerTheChallenge) {
    const std::string certs = VESK_IMAP_CERTS_DIR;
    setenv("SSL_CERT_FILE", (certs + "/ca.pem").c_str(), 1);
    setenv("SSL_CERT_DIR", certs.c_str(), 1);
    cli.Auth = 1;
    EXPECT_FALSE(Run(&TImapCli::Connect));
    EXPECT_EQ(cli.ErrorMessage(), "IMAP: Auth=1 needs Security 1 or 2: an OAuth2 token is never sent in plain text");
    EXPECT_EQ(server.Accepted(), 0);

    const std::string bearer = "n,a=u,\x01host=127.0.0.1\x01port=";
    struct Case {
        const char* scriptCase;
        int auth;
        const char* token;
        std::vector<std::string> lines;  // received, after the response
        bool ok;
    } cases[] = {
        {"oauth", 1, "good", {"A1 AUTHENTICATE XOAUTH2 {response}"}, true},
        {"oauth", 2, "stale", {"A1 AUTHENTICATE OAUTHBEARER {response}", "AQ=="}, false},
        {"oauth-noir", 1, "stale", {"A1 AUTHENTICATE XOAUTH2", "{response}", ""}, false},
        {"oauth-noir", 2, "good", {"A1 AUTHENTICATE OAUTHBEARER", "{response}"}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.scriptCase) + " " + c.token);
        TestSupport::TlsTestServer tls(certs, "server", "implicit", c.scriptCase, "imap");
        ASSERT_NE(tls.port, 0);
        cli.Abort();
        cli.Port = std::to_string(tls.port);
        cli.Security = 1;
        cli.Auth = c.auth;
        cli.PassWord = c.token;
        const std::string response =
            c.auth == 1 ? TBase64().Encode("user=u\x01" "auth=Bearer " + std::string(c.token) + "\x01\x01")
                        : TBase64().Encode(bearer + cli.Port + "\x01" "auth=Bearer " + c.token + "\x01\x01");
        ASSERT_TRUE(Run(&TImapCli::Connect)) << cli.ErrorMessage();
        EXPECT_EQ(Run(&TImapCli::Login), c.ok) << cli.ErrorMessage();
        if (!c.ok) {
            EXPECT_EQ(cli.ErrorMessage(), "NO [AUTHENTICATIONFAILED] Authentication failed. (status 401)");
        }
        EXPECT_EQ(cli.Authenticated(), c.ok);
        EXPECT_TRUE(Run(&TImapCli::Logout));
        std::string wire;
        for (std::string line : c.lines) {
            if (const std::size_t at = line.find("{response}"); at != std::string::npos) line.replace(at, 10, response);
            wire += line + "\n";
        }
        EXPECT_EQ(tls.Log(), wire + "A2 LOGOUT\n");
    }
}
