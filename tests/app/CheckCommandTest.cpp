// `Vesk --check`: the real program, without any display, against scripted
// servers in this process, and once against the private Dovecot.
#include "codec/Base64.h"
#include "support/Fixtures.h"
#include "support/ScriptedPop3Server.h"
#include "support/TestSupport.h"

#include <QProcess>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

using TestSupport::TempDir;
using TestSupport::TScriptedPop3Server;
using TestSupport::WaitFor;

namespace {

struct TRun {
    int exitCode = -1;
    std::string out, err;
};

// Runs Vesk with `arguments` in an environment without DISPLAY, WAYLAND_DISPLAY
// or QT_QPA_PLATFORM (a program that needed the GUI would abort). The event
// loop keeps running meanwhile, so the scripted servers answer.
TRun RunVesk(const QStringList& arguments) {
    QProcess vesk;
    QProcessEnvironment env;
    env.insert("PATH", qEnvironmentVariable("PATH"));
    vesk.setProcessEnvironment(env);
    vesk.start(VESK_BIN_DIR "/Vesk", arguments);
    TRun run;
    if (!vesk.waitForStarted(10000)) return run;
    if (!WaitFor([&] { return vesk.state() == QProcess::NotRunning; }, 30000)) vesk.kill();
    vesk.waitForFinished(5000);
    run.exitCode = vesk.exitStatus() == QProcess::NormalExit ? vesk.exitCode() : -1;
    run.out = vesk.readAllStandardOutput().toStdString();
    run.err = vesk.readAllStandardError().toStdString();
    return run;
}

// Every process's command line as the process list shows it, one per line.
std::string ProcessList() {
    std::string all;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const std::string pid = entry.path().filename().string();
        if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
        std::ifstream in(entry.path() / "cmdline", std::ios::binary);
        all += std::string(std::istreambuf_iterator<char>(in), {}) + "\n";
    }
    return all;
}

std::string AccountSection(int n, const std::string& name, int port, const std::string& user = "u",
                           const std::string& password = "p", const std::string& server = "127.0.0.1") {
    return "[Account" + std::to_string(n) + "]\nAccountName=" + name + "\nPOPServer=" + server + "\nUserName=" + user +
           "\nPassword=" + TBase64().Encode(password) + "\nPortNumber=" + std::to_string(port) + "\n";
}

}  // namespace

TEST(CheckCommand, PrintsOneLinePerAccountAndExitsOneWhenAnAccountFailed) {
    TScriptedPop3Server home, work;
    for (auto* server : {&home, &work}) {
        server->On("USER", "+OK\r\n");
        server->On("PASS", "+OK\r\n");
        server->On("QUIT", "+OK bye\r\n", TScriptedPop3Server::Then::Close);
    }
    home.On("STAT", "+OK 3 300\r\n");
    work.On("PASS", "-ERR [AUTH] Authentication failed.\r\n");
    TempDir dir;
    TestSupport::WriteFile(dir.File("status.ini"),
                           "[AccountConfig]\nCount=3\n" + AccountSection(1, "Home", home.Port()) +
                               "[Account2]\nAccountName=Unset\n" + AccountSection(3, "Work", work.Port()));
    TRun run = RunVesk({"--check", "--ini", QString::fromStdString(dir.File("status.ini"))});
    EXPECT_EQ(run.exitCode, 1) << run.err;
    EXPECT_EQ(run.out, "Home\t3\nWork\terror\t-ERR [AUTH] Authentication failed.\n")
        << "account order; the account without server is skipped";

    TestSupport::WriteFile(dir.File("good.ini"), "[AccountConfig]\nCount=1\n" + AccountSection(1, "Home", home.Port()));
    run = RunVesk({"--check", "--ini", QString::fromStdString(dir.File("good.ini"))});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.out, "Home\t3\n");
}

// A POP3 and an IMAP account (Protocol=1) of the real server, checked at
// once: the message count of the one, the unseen count of the other.
TEST(CheckCommand, CountsAPop3AndAnImapAccountOfTheRealServer) {
    const TestSupport::TDovecotFixture dovecot(VESK_APP_DOVECOT_DIR);
    ASSERT_FALSE(dovecot.imapPort.empty()) << "no IMAP server is running from " << dovecot.dir;
    const auto account = [&](int n, const std::string& name, const std::string& port, const std::string& user) {
        return AccountSection(n, name, std::stoi(port), user, dovecot.users.at(user).password);
    };
    TempDir dir;
    TestSupport::WriteFile(dir.File("mixed.ini"), "[AccountConfig]\nCount=2\n" +
                                                      account(1, "Pop", dovecot.port, "three") +
                                                      account(2, "Imap", dovecot.imapPort, "imapcheck") +
                                                      "Protocol=1\n");
    TRun run = RunVesk({"--check", "--ini", QString::fromStdString(dir.File("mixed.ini"))});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.out, "Pop\t3\nImap\t4\n");
}

// Whatever a server says, each account is one line of two or three fields:
// its text reaches the output cleaned (no TAB, line end or escape of its own).
TEST(CheckCommand, ServerTextCannotForgeLinesOrFields) {
    TScriptedPop3Server evil;
    evil.On("USER", "+OK\r\n");
    evil.On("PASS", "-ERR no\x1b]0;title\x07\tWork\t42\nHome\t9\r\n");
    evil.On("QUIT", "+OK bye\r\n", TScriptedPop3Server::Then::Close);
    TempDir dir;
    TestSupport::WriteFile(dir.File("evil.ini"), "[AccountConfig]\nCount=1\n" + AccountSection(1, "Evil", evil.Port()));
    TRun run = RunVesk({"--check", "--ini", QString::fromStdString(dir.File("evil.ini"))});
    EXPECT_EQ(run.exitCode, 1) << run.err;
    EXPECT_EQ(run.out, "Evil\terror\t-ERR no\xEF\xBF\xBD]0;title\xEF\xBF\xBD Work 42 Home 9\n");

    // The greeting --fingerprint --starttls refuses is shown cleaned too.
    TScriptedPop3Server refusing;
    refusing.Greeting = "-ERR \x1b]0;title\x07gone\r\n";
    run = RunVesk({"--starttls", "--fingerprint", QString::fromStdString("127.0.0.1:" + refusing.PortText())});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.err.find("refused the session: -ERR \xEF\xBF\xBD]0;title\xEF\xBF\xBDgone\n"), std::string::npos)
        << run.err;
}

// A Security that is no choice, or a pin on plain text, never becomes a
// plain-text login: the account fails before any connection.
TEST(CheckCommand, UnusableSecuritySettingsFailBeforeConnecting) {
    TScriptedPop3Server server;
    TempDir dir;
    TestSupport::WriteFile(dir.File("typo.ini"),
                           "[AccountConfig]\nCount=3\n" + AccountSection(1, "Typo", server.Port()) + "Security=TLS\n" +
                               AccountSection(2, "Three", server.Port()) + "Security=3\nFingerprint=ab\n" +
                               AccountSection(3, "Pinned", server.Port()) + "Security=0\nFingerprint=" +
                               std::string(64, 'a') + "\n");
    TRun run = RunVesk({"--check", "--ini", QString::fromStdString(dir.File("typo.ini"))});
    EXPECT_EQ(run.exitCode, 1) << run.err;
    EXPECT_EQ(run.out,
              "Typo\terror\tSecurity=TLS is not 0, 1 or 2\n"
              "Three\terror\tSecurity=3 is not 0, 1 or 2\n"
              "Pinned\terror\tSecurity=0 is plain text, but a Fingerprint is set\n");
    EXPECT_EQ(server.Accepted(), 0);
}

// Accounts whose secret a command prints: the good one logs in with it, and
// neither a refused login nor a failed command shows it; no process has it
// on its command line while Vesk sends it.
TEST(CheckCommand, APasswordCommandsSecretLogsInAndIsNeverShown) {
    const std::string secret = "tok-9f3e1c";
    TScriptedPop3Server home, work;
    std::string processes;
    for (auto* server : {&home, &work}) {
        server->On("USER", "+OK\r\n");
        server->On("PASS", "-ERR [AUTH] Authentication failed.\r\n");
        server->On("QUIT", "+OK bye\r\n", TScriptedPop3Server::Then::Close);
        server->OnCommand = [&](const std::string& line) {
            if (line.rfind("PASS ", 0) == 0) processes += ProcessList();
            return false;
        };
    }
    home.On("PASS " + secret, "+OK\r\n");
    home.On("STAT", "+OK 2 200\r\n");
    TempDir dir;
    TestSupport::WriteFile(dir.File("token"), secret + "\n");
    const std::string fromFile = "PasswordCommand=cat '" + dir.File("token") + "'\n";
    TestSupport::WriteFile(dir.File("cmd.ini"), "[AccountConfig]\nCount=3\n" +
                                                    AccountSection(1, "Home", home.Port(), "u", "") + fromFile +
                                                    AccountSection(2, "Work", work.Port(), "u", "") + fromFile +
                                                    AccountSection(3, "Broken", work.Port()) +
                                                    "PasswordCommand=echo 'no token' >&2; exit 1\n");
    TRun run = RunVesk({"--check", "--ini", QString::fromStdString(dir.File("cmd.ini"))});
    EXPECT_EQ(run.exitCode, 1) << run.err;
    EXPECT_EQ(run.out,
              "Home\t2\n"
              "Work\terror\t-ERR [AUTH] Authentication failed.\n"
              "Broken\terror\tpassword command failed: no token\n");
    EXPECT_EQ(run.err.find(secret), std::string::npos) << run.err;
    EXPECT_TRUE(home.Got("PASS " + secret));
    EXPECT_NE(processes.find("--check"), std::string::npos) << "the list was taken while Vesk ran";
    EXPECT_EQ(processes.find(secret), std::string::npos);
    EXPECT_EQ(work.Accepted(), 1) << "no connection for the account whose command failed";
}

TEST(CheckCommand, ASettingsFileThatCannotBeReadOrAWrongOptionIsExitTwo) {
    TempDir dir;
    TRun run = RunVesk({"--check", "--ini", QString::fromStdString(dir.File("missing.ini"))});
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_EQ(run.out, "");
    EXPECT_NE(run.err.find("missing.ini"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("settings dialog"), std::string::npos) << "says how to make one: " << run.err;

    run = RunVesk({"--check", "--no-such-option"});
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_NE(run.err.find("no-such-option"), std::string::npos) << run.err;

    run = RunVesk({"--version"});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.out, "Vesk 1.10\n");
}

// A server on ::1 only: checked with its address written bare or in
// brackets, and its certificate asked for by [IPv6]:PORT (a bare IPv6
// address with a port cannot be told apart and is refused).
TEST(CheckCommand, IPv6ServersByAddressWithOrWithoutBrackets) {
    // One server per account: the accounts are checked at the same time.
    TScriptedPop3Server server(QHostAddress(QHostAddress::LocalHostIPv6)), other(QHostAddress(QHostAddress::LocalHostIPv6));
    for (TScriptedPop3Server* s : {&server, &other}) {
        s->On("USER", "+OK\r\n");
        s->On("PASS", "+OK\r\n");
        s->On("STAT", "+OK 4 400\r\n");
        s->On("QUIT", "+OK bye\r\n", TScriptedPop3Server::Then::Close);
    }
    TempDir dir;
    TestSupport::WriteFile(dir.File("v6.ini"), "[AccountConfig]\nCount=2\n" +
                                                  AccountSection(1, "Bare", server.Port(), "u", "p", "::1") +
                                                  AccountSection(2, "Brackets", other.Port(), "u", "p", "[::1]"));
    TRun run = RunVesk({"--check", "--ini", QString::fromStdString(dir.File("v6.ini"))});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.out, "Bare\t4\nBrackets\t4\n");

    server.Greeting = "-ERR busy\r\n";
    run = RunVesk({"--starttls", "--fingerprint", QString::fromStdString("[::1]:" + server.PortText())});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.err.find("Vesk: [::1]:" + server.PortText() + ": the server refused the session: -ERR busy\n"),
              std::string::npos)
        << run.err;
    run = RunVesk({"--fingerprint", QString::fromStdString("::1:" + server.PortText())});
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_NE(run.err.find("write an IPv6 address in brackets"), std::string::npos) << run.err;
}
