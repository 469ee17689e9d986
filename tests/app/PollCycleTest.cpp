// The poll cycle end to end: the real main window checks real mailboxes on a
// private Dovecot (and scripted servers for the misbehaving cases), with the
// keyboard LED, sound and tray replaced by their in-memory doubles.
#include "app/CheckAll.h"
#include "app/Main.h"
#include "codec/Base64.h"
#include "platform/Keyboard.h"
#include "platform/Notify.h"
#include "platform/Sound.h"
#include "support/Fixtures.h"
#include "support/EnvScope.h"
#include "support/ImapFolderServer.h"
#include "support/MailboxServer.h"
#include "support/PrivateBus.h"
#include "support/ScriptedPop3Server.h"
#include "support/TestSupport.h"

#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <sstream>
#include <utility>

using TestSupport::TDovecotFixture;
using TestSupport::TempDir;
using TestSupport::TMailboxServer;
using TestSupport::TScript;
using TestSupport::TScriptedPop3Server;
using TestSupport::WaitFor;
using TestSupport::WriteFile;

namespace {

// The From values of USER's messages on the private Dovecot, message 1 first.
std::vector<std::string> Froms(const TDovecotFixture& pop, const std::string& user) {
    std::vector<std::string> out;
    for (const auto& entry : pop.Manifest(user)) out.push_back(entry.second);
    return out;
}

struct Account {
    std::string server, user, password, port;
    bool apop = false;
    int security = 0;
    std::string fingerprint{};
    int protocol = 0;
    std::string folder{};
};

// A server holding one message that says nothing until the test opens gate
// 1: a cycle waits on it for as long as the test likes.
void ScriptOneMessageAfterAPause(TScriptedPop3Server& server) {
    server.Play(TScript()
                    .Gate(1).Send("+OK ready\r\n")
                    .ExpectLine("USER u").Send("+OK\r\n")
                    .ExpectLine("PASS p").Send("+OK\r\n")
                    .ExpectLine("STAT").Send("+OK 1 100\r\n")
                    .ExpectLine("QUIT").Send("+OK\r\n").Close());
}

Account Login(const TestSupport::TMailboxServer& box) { return {"127.0.0.1", "u", "p", box.server.PortText()}; }

class PollCycle : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(pop.Running()) << "no POP3 server is running from " << pop.dir
                                << " (scripts/fixtures/dovecot.sh start)";
        oldKeyboard_ = SetKeyboardHost(&led);
        oldSound_ = SetSoundHost(&sound);
        oldTray_ = SetTrayHost(&tray);
        savedMain_ = Application->MainForm;
        Application->MainForm = nullptr;
        TestSupport::EscapedExceptions().clear();
    }
    void TearDown() override {
        form.reset();
        SetKeyboardHost(oldKeyboard_);
        SetSoundHost(oldSound_);
        SetTrayHost(oldTray_);
        Application->MainForm = savedMain_;
        Application->Terminated = false;
        EXPECT_TRUE(TestSupport::EscapedExceptions().empty()) << TestSupport::EscapedExceptions().front();
    }

    Account Dove(const std::string& user, bool apop = false) {
        return {pop.host, user, pop.users[user].password, pop.port, apop};
    }

    std::string Ini(const std::vector<Account>& accounts, const std::string& options) {
        TBase64 b64;
        std::string ini = "[AccountConfig]\nCount=" + std::to_string(accounts.size()) + "\n";
        for (size_t i = 0; i < accounts.size(); ++i) {
            const Account& a = accounts[i];
            ini += "[Account" + std::to_string(i + 1) + "]\nPOPServer=" + a.server + "\nUserName=" + a.user +
                   "\nPassword=" + b64.Encode(a.password) + "\nPortNumber=" + a.port +
                   "\nAPOP=" + (a.apop ? "1" : "0") + "\n";
            if (a.security != 0)
                ini += "Security=" + std::to_string(a.security) + "\nFingerprint=" + a.fingerprint + "\n";
            if (a.protocol != 0) ini += "Protocol=" + std::to_string(a.protocol) + "\n";
            if (!a.folder.empty()) ini += "Folder=" + a.folder + "\n";
        }
        return ini + "[Global Parameters]\nAttentiveWait=0\n" + options;
    }

    void Start(const std::vector<Account>& accounts, const std::string& options = "") {
        WriteFile(dir.File("Vesk.ini"), Ini(accounts, options));
        form = std::make_unique<TfrmMain>(nullptr, dir.File("Vesk"));
    }
    void Rewrite(const std::vector<Account>& accounts, const std::string& options = "") {
        WriteFile(dir.File("Vesk.ini"), Ini(accounts, options));
    }

    void Cycle() {
        led.Keys.clear();
        form->tmrMainTimer(form->tmrMain);
        EXPECT_TRUE(form->tmrMain->Enabled()) << "the timer is switched on again after every cycle";
    }

    TempDir dir;
    TDovecotFixture pop{VESK_APP_DOVECOT_DIR};
    TFakeKeyboardHost led;
    TFakeSoundHost sound;
    TFakeTrayHost tray;
    std::unique_ptr<TfrmMain> form;

private:
    TKeyboardHost* oldKeyboard_ = nullptr;
    TSoundHost* oldSound_ = nullptr;
    TTrayHost* oldTray_ = nullptr;
    TForm* savedMain_ = nullptr;
};

}  // namespace

TEST_F(PollCycle, NoCompleteAccountMeansNoConnectionAndTheLedOff) {
    TScriptedPop3Server server;
    led.Lit = true;
    Start({{"127.0.0.1", "", "pw", server.PortText()}, {"", "three", "pw", server.PortText()}}, "Flash=1\n");
    Cycle();
    EXPECT_EQ(server.Accepted(), 0);
    EXPECT_FALSE(led.Lit);
    EXPECT_EQ(led.Toggles(), 1) << "switched off without blinking";

    Rewrite({});
    form->LoadSettings();
    led.Lit = true;
    Cycle();
    EXPECT_FALSE(led.Lit);
}

TEST_F(PollCycle, NewMailBlinksThenUnchangedFollowsTheOptions) {
    Start({Dove("three")}, "Flash=1\nLightOnEqual=1\nFlashOnEqual=0\n");
    Cycle();
    EXPECT_EQ(form->GetMessageCount(0), 3);
    EXPECT_EQ(led.Toggles(), 11) << "changed: 2 x 5 + 1 toggles";
    EXPECT_TRUE(led.Lit);

    Cycle();  // unchanged, LightOnEqual without FlashOnEqual
    EXPECT_EQ(led.Toggles(), 0);
    EXPECT_TRUE(led.Lit);

    Rewrite({Dove("three")}, "Flash=1\nLightOnEqual=1\nFlashOnEqual=1\n");
    form->LoadSettings();
    Cycle();
    EXPECT_EQ(led.Toggles(), 12) << "FlashOnEqual blinks on an unchanged count: 11 from lit, then lit again";
    EXPECT_TRUE(led.Lit);

    Rewrite({Dove("three")}, "Flash=1\nLightOnEqual=0\nFlashOnEqual=1\n");
    form->LoadSettings();
    Cycle();
    EXPECT_EQ(led.Toggles(), 1) << "without LightOnEqual the LED goes dark, without blinking";
    EXPECT_FALSE(led.Lit);
    EXPECT_EQ(form->GetMessageCount(0), 3);
    EXPECT_TRUE(sound.Calls.empty()) << "the siren is off";
}

TEST_F(PollCycle, ApopLoginCountsToo) {
    Start({Dove("two", true)});
    Cycle();
    EXPECT_EQ(form->GetMessageCount(0), 2);
    EXPECT_TRUE(led.Lit);
}

TEST_F(PollCycle, MailMovingBetweenAccountsCountsAsNew) {
    Start({Dove("movea"), Dove("moveb")}, "Flash=1\nLightOnEqual=1\nFlashOnEqual=0\n");
    Cycle();
    ASSERT_EQ(form->GetMessageCount(0), 2) << form->pop3Main->ErrorMessage();
    ASSERT_EQ(form->GetMessageCount(1), 0);
    pop.Empty("movea");
    pop.Add("moveb", 2);
    Cycle();
    EXPECT_EQ(form->GetMessageCount(0), 0);
    EXPECT_EQ(form->GetMessageCount(1), 2);
    EXPECT_EQ(led.Toggles(), 12) << "same total, other distribution: handled as new mail (11 from lit, then lit)";
    EXPECT_TRUE(led.Lit);
}

TEST_F(PollCycle, SirenCollectsFromLinesAndPlaysTheMatchingSong) {
    const auto three = Froms(pop, "three");
    const auto two = Froms(pop, "two");
    ASSERT_EQ(three.size(), 3u);
    ASSERT_EQ(two.size(), 2u);
    // The second message of "three" carries a display name: target it.
    const std::string target = "Sender Number 2";
    ASSERT_NE(three[1].find(target), std::string::npos);
    Start({Dove("three"), Dove("two")},
          "[Siren]\nEnabled=1\nTarget1=nobody-matches-this\nSong1=/songs/one.wav\nTarget2=" + target +
              "\nSong2=/songs/two.wav\nSong0=/songs/other.wav\n");
    form->FromLines = "left over\n";
    Cycle();
    EXPECT_EQ(form->FromLines, three[2] + "\n" + three[1] + "\n" + three[0] + "\n" + two[1] + "\n" + two[0] + "\n");
    EXPECT_EQ(sound.Played(), std::vector<std::string>{"/songs/two.wav"});
    // The siren plays in every cycle with waiting mail, changed or not.
    Cycle();
    EXPECT_EQ(sound.Played().size(), 2u);
}

TEST_F(PollCycle, MessageWithoutFromAddsABareLineFeed) {
    const auto five = Froms(pop, "five");
    ASSERT_EQ(five.size(), 5u);
    ASSERT_EQ(five[4], "") << "the fifth generated message has no From line";
    Start({Dove("five")}, "[Siren]\nEnabled=1\nSong0=/songs/other.wav\n");
    Cycle();
    ASSERT_EQ(form->GetMessageCount(0), 5);
    EXPECT_EQ(form->FromLines.substr(0, 1), "\n");
    EXPECT_EQ(form->FromLines, "\n" + five[3] + "\n" + five[2] + "\n" + five[1] + "\n" + five[0] + "\n");
    EXPECT_EQ(sound.Played(), std::vector<std::string>{"/songs/other.wav"});
}

TEST_F(PollCycle, SilentServerFailsItsAccountAndTheNextIsStillChecked) {
    TScriptedPop3Server silent;
    silent.Greeting = "";
    led.Lit = true;
    Start({{"127.0.0.1", "u", "p", silent.PortText()}, Dove("three")},
          "Flash=1\nFlashOnError=1\n[Siren]\nEnabled=1\nSong0=/songs/other.wav\n");
    form->pop3Main->Timeout = 1;  // the program's 15 seconds, shortened for the test
    Cycle();
    EXPECT_EQ(silent.Accepted(), 1);
    EXPECT_EQ(form->GetMessageCount(0), 0);
    EXPECT_EQ(form->GetMessageCount(1), 3) << "the next account is still checked";
    EXPECT_EQ(led.Toggles(), 6) << "error: 2 x 2 + 1 toggles with FlashOnError, then back to lit";
    EXPECT_TRUE(led.Lit) << "the LED keeps the state it had";
    EXPECT_TRUE(sound.Calls.empty()) << "no siren in an error cycle";

    led.Lit = false;
    Rewrite({{"127.0.0.1", "u", "p", silent.PortText()}}, "Flash=1\nFlashOnError=0\n");
    form->LoadSettings();
    form->pop3Main->Timeout = 1;
    Cycle();
    EXPECT_EQ(led.Toggles(), 0) << "without FlashOnError an error does not blink";
    EXPECT_FALSE(led.Lit);
}

TEST_F(PollCycle, RefusedConnectionAndWrongPasswordAreErrorCycles) {
    Account wrong = Dove("three");
    wrong.password = "not the password";
    led.Lit = true;
    Start({{"127.0.0.1", "u", "p", std::to_string(TestSupport::UnusedPort())}, wrong}, "Flash=1\nFlashOnError=1\n");
    Cycle();
    EXPECT_EQ(form->GetMessageCount(0), 0);
    EXPECT_EQ(form->GetMessageCount(1), 0);
    EXPECT_EQ(led.Toggles(), 6) << "5 blinks, then back to the state it had";
    EXPECT_TRUE(led.Lit);
    EXPECT_FALSE(form->pop3Main->Connected());
}

TEST_F(PollCycle, SettingsSavedDuringACycleApplyToTheAccountsThatFollow) {
    TScriptedPop3Server slow;
    ScriptOneMessageAfterAPause(slow);
    Account first{"127.0.0.1", "u", "p", slow.PortText()};
    Account before = Dove("three");
    before.user = "";  // incomplete: would be skipped
    Start({first, before});
    // While the cycle waits for the first server's greeting, the settings are
    // saved (as the dialog's OK does): the second account becomes complete.
    bool saved = false;
    QTimer::singleShot(0, [&] {
        WaitFor([&] { return slow.ClientConnected(); });
        Rewrite({first, Dove("two")}, "CheckInterval=45\n");
        form->LoadSettings();
        saved = true;
        slow.Open(1);
    });
    Cycle();
    EXPECT_TRUE(saved);
    EXPECT_EQ(form->GetMessageCount(0), 1);
    EXPECT_EQ(form->GetMessageCount(1), 2) << "the reloaded account was checked";
    EXPECT_EQ(form->tmrMain->Interval(), 45000);
    EXPECT_TRUE(form->tmrMain->Running());
}

TEST_F(PollCycle, SettingsDialogSavedDuringACycleAppliesToTheAccountsThatFollow) {
    TScriptedPop3Server slow;
    ScriptOneMessageAfterAPause(slow);
    Account first{"127.0.0.1", "u", "p", slow.PortText()};
    Account second = Dove("two");
    second.user = "";  // incomplete: would be skipped
    Start({first, second});
    TfrmSetting dialog(form.get());
    frmSetting = &dialog;
    // While the cycle waits for the first server, the user opens the dialog,
    // completes the second account and presses OK.
    QTimer::singleShot(0, [&] {
        WaitFor([&] { return slow.ClientConnected(); });
        QTest::mouseClick(form->btnCallSetting, Qt::LeftButton);
        dialog.cboAccountName->setCurrentIndex(1);
        emit dialog.cboAccountName->activated(1);
        dialog.edtUser->setText("two");
        QTest::mouseClick(dialog.btnOk, Qt::LeftButton);
        slow.Open(1);
    });
    Cycle();
    frmSetting = nullptr;
    EXPECT_FALSE(dialog.isVisible());
    EXPECT_EQ(form->AccountAt(1).UserName, "two");
    EXPECT_EQ(form->GetMessageCount(0), 1);
    EXPECT_EQ(form->GetMessageCount(1), 2) << "the account completed in the dialog was checked in the same cycle";
}

TEST_F(PollCycle, ExitDuringACycleEndsTheWaitAtOnce) {
    TScriptedPop3Server silent;
    silent.Greeting = "";
    Start({{"127.0.0.1", "u", "p", silent.PortText()}, Dove("three")});
    form->pop3Main->Timeout = 0;  // no time limit: only the program's end can stop the wait
    QTimer::singleShot(0, [&] {
        WaitFor([&] { return silent.ClientConnected(); });
        form->pmnuRClickExitClick(form->pmnuRClickExit);
    });
    Cycle();
    EXPECT_TRUE(Application->Terminated);
    EXPECT_EQ(form->GetMessageCount(0), 0);
    EXPECT_FALSE(form->pop3Main->Connected());
}

TEST_F(PollCycle, SirenPlaysTheSameSongWithTheCacheAndWithoutUidl) {
    TMailboxServer box;
    box.messages = {{"a", " alice@example.org"}, {"b", " Bob <bob@example.org>"}, {"c", ""}, {"d", " dave@example.org"}};
    Start({Login(box)}, "[Siren]\nEnabled=1\nTarget1=carol@\nSong1=/songs/carol.wav\nTarget2=bob@example.org\n"
                         "Song2=/songs/bob.wav\nSong0=/songs/other.wav\n");
    const std::string expected = " dave@example.org\n\n Bob <bob@example.org>\n alice@example.org\n";
    Cycle();  // UIDL: fills the cache
    Cycle();  // UIDL: every value from the cache
    EXPECT_EQ(box.TakeTops(), 4);
    EXPECT_EQ(form->FromLines, expected);
    box.uidl = false;  // the server refuses UIDL: a TOP for every message, in every cycle
    Cycle();
    EXPECT_EQ(box.TakeTops(), 4);
    EXPECT_EQ(form->FromLines, expected);
    Cycle();
    EXPECT_EQ(box.TakeTops(), 4);
    EXPECT_EQ(sound.Played(), std::vector<std::string>(4, "/songs/bob.wav"));
}

TEST_F(PollCycle, TlsAccountsBesideAPlainOne) {
    TDovecotFixture tls{VESK_APP_DOVECOT_TLS_DIR};
    ASSERT_TRUE(tls.Running()) << "no TLS POP3 server is running from " << tls.dir;
    auto env = TestSupport::ReadEnvFile(tls.dir + "/server.env");
    setenv("SSL_CERT_FILE", env["VESK_POP3_CA"].c_str(), 1);
    setenv("SSL_CERT_DIR", tls.dir.c_str(), 1);
    const std::string password = tls.users["tlsbox"].password;
    const std::string otherPin(64, 'a');
    Start({Dove("three"),
           {"localhost", "tlsbox", password, env["VESK_POP3S_PORT"], false, 1},
           {"127.0.0.1", "tlsbox", password, tls.port, true, 2, env["VESK_POP3_FINGERPRINT"]},
           {"127.0.0.1", "tlsbox", password, env["VESK_POP3S_PORT"], false, 1, otherPin},
           {"127.0.0.1", "tlsbox", password, tls.port, false, 1}});  // POP3S spoken to the plain port
    Cycle();
    EXPECT_EQ(form->GetMessageCount(0), 3);
    EXPECT_EQ(form->GetMessageCount(1), 4);
    EXPECT_EQ(form->GetMessageCount(2), 4);
    EXPECT_EQ(form->GetAccountError(0), "");
    EXPECT_EQ(form->GetAccountError(1), "");
    EXPECT_EQ(form->GetAccountError(2), "");
    EXPECT_EQ(form->GetAccountError(3), "-ERR TLS: fingerprint mismatch");
    EXPECT_EQ(form->GetAccountError(4).rfind("-ERR TLS: ", 0), 0u) << form->GetAccountError(4);
}

// ---------------------------------------------------------------------------
// What the user sees of a cycle: error-output lines, tray icon, tooltip,
// window, notification.

namespace {

// A mailbox that answers USER with +OK, PASS with `pass` and STAT with
// `count` messages.
void ServeLogin(TScriptedPop3Server& server, const std::string& pass, int count = 0) {
    server.On("USER", "+OK\r\n");
    server.On("PASS", pass);
    server.On("STAT", "+OK " + std::to_string(count) + " 100\r\n");
    server.On("QUIT", "+OK bye\r\n", TScriptedPop3Server::Then::Close);
}

}  // namespace

TEST_F(PollCycle, ErrorOutputSaysWhenAnAccountFailsDifferentlyAndWhenItWorksAgain) {
    TScriptedPop3Server server;
    ServeLogin(server, "-ERR [AUTH] Authentication failed.\r\n");
    Start({Dove("three"), {"127.0.0.1", "u", "p", server.PortText()}});
    std::ostringstream out;
    form->StatusOutput = &out;
    Cycle();
    Cycle();
    EXPECT_EQ(out.str(), "Vesk: Account2: -ERR [AUTH] Authentication failed.\n") << "once, not per cycle";
    server.On("PASS", "-ERR [SYS/TEMP] Try again later.\r\n");
    Cycle();
    server.On("PASS", "+OK\r\n");
    Cycle();
    Cycle();
    EXPECT_EQ(out.str(),
              "Vesk: Account2: -ERR [AUTH] Authentication failed.\n"
              "Vesk: Account2: -ERR [SYS/TEMP] Try again later.\n"
              "Vesk: Account2: checked again\n");
}

// A server that sends binary junk (CR and LF bytes, never together) and
// closes: its account fails with a reason on the error output, and the next
// account's greeting is read as its own, every cycle.
TEST_F(PollCycle, AJunkSendingServerFailsAloneAndVisibly) {
    std::string junk;
    for (int i = 0; i < 40 * 256; ++i) junk += static_cast<char>(i % 256);
    TScriptedPop3Server server;
    server.Play(TScript().Send(junk).Close());
    Start({{"127.0.0.1", "u", "p", server.PortText()}, Dove("three")});
    std::ostringstream out;
    form->StatusOutput = &out;
    for (int cycle = 0; cycle < 2; ++cycle) {
        Cycle();
        EXPECT_EQ(form->GetMessageCount(1), 3) << "cycle " << cycle;
    }
    EXPECT_EQ(out.str(), "Vesk: Account1: " + form->GetAccountError(0) + "\n");
    EXPECT_FALSE(form->GetAccountError(0).empty());
    EXPECT_EQ(form->TrayState(), tsError);
}

TEST_F(PollCycle, ASecurityTypoFailsTheAccountWithoutConnecting) {
    TScriptedPop3Server server;
    Start({{"127.0.0.1", "u", "p", server.PortText()}, Dove("three")});
    std::string ini = Ini({{"127.0.0.1", "u", "p", server.PortText()}, Dove("three")}, "");
    ini.replace(ini.find("APOP=0\n"), 7, "APOP=0\nSecurity=1.0\n");
    WriteFile(dir.File("Vesk.ini"), ini);
    form->LoadSettings();
    Cycle();
    EXPECT_EQ(server.Accepted(), 0);
    EXPECT_EQ(form->StatusLines().front(), "Account1: connection failed: Security=1.0 is not 0, 1 or 2");
    EXPECT_EQ(form->GetMessageCount(1), 3);
}

// The poll cycle and --check run the same account check: the same failure
// gives the same reason and step in both.
TEST_F(PollCycle, BothDriversGiveTheSameReasonForTheSameFailure) {
    TScriptedPop3Server server;
    ServeLogin(server, "-ERR [AUTH] Authentication \x1b[1mfailed.\r\n");
    Start({{"127.0.0.1", "u", "p", server.PortText()}});
    Cycle();
    const std::vector<TCheckResult> results = TCheckAll().Run({CheckTargetOf(form->AccountAt(0), "Account1", false)});
    ASSERT_FALSE(results[0].Ok);
    EXPECT_EQ(results[0].Error, form->GetAccountError(0));
    EXPECT_EQ(form->StatusLines().front(), "Account1: login failed: " + results[0].Error);
}

TEST_F(PollCycle, TrayIconTooltipWindowAndNotificationFollowTheCycle) {
    TScriptedPop3Server server;
    ServeLogin(server, "-ERR [AUTH] Authentication failed.\r\n");
    TFakeNotificationHost notes;
    TNotificationHost* oldNotes = SetNotificationHost(&notes);
    Start({Dove("empty"), {"127.0.0.1", "u", "p", server.PortText()}, {"", "", "", "110"}},
          "TaskTray=1\nNotify=1\n");
    form->StatusOutput = nullptr;
    const auto key = std::make_pair(form->Handle(), UINT(1));
    EXPECT_EQ(tray.tips[key], "Vesk") << "nothing checked yet";

    Cycle();
    EXPECT_EQ(tray.icons[key].hIcon, TrayStateIconHandle(tsError));
    const std::string tip = tray.tips[key];
    EXPECT_EQ(tip.rfind("Vesk\nAccount1: 0 messages\nAccount2: login failed: -ERR [AUTH] Authentication failed.\n"
                        "Last check: ", 0), 0u)
        << tip << "\n(the incomplete third account is not listed)";
    EXPECT_EQ("Vesk\n" + form->lblStatus->text().toStdString(), tip) << "the window shows the same lines";

    server.On("PASS", "+OK\r\n");
    Cycle();
    EXPECT_EQ(tray.icons[key].hIcon, TrayStateIconHandle(tsNoMail));
    EXPECT_TRUE(notes.shown.empty());

    server.On("STAT", "+OK 1 100\r\n");
    Cycle();
    EXPECT_EQ(tray.icons[key].hIcon, TrayStateIconHandle(tsMail));
    EXPECT_NE(tray.tips[key].find("\nAccount2: 1 message\n"), std::string::npos) << tray.tips[key];
    ASSERT_EQ(notes.shown.size(), 1u);
    EXPECT_EQ(notes.shown[0].summary, "New mail");
    EXPECT_EQ(notes.shown[0].body, "Account2: 1 message");
    Cycle();
    EXPECT_EQ(notes.shown.size(), 1u) << "the same mail is not announced again";
    SetNotificationHost(oldNotes);
}


// An IMAP account in the running program is pushed: its server can IDLE,
// so a delivery reaches the LED, the tooltip, the siren and a notification
// without any timer cycle, and a message read on another device turns the LED
// dark; a timer cycle meanwhile opens no second connection to it.
TEST_F(PollCycle, AnImapAccountIsPushedToTheLedWithoutATimerCycle) {
    TFakeNotificationHost notes;
    TNotificationHost* oldNotes = SetNotificationHost(&notes);
    Account imap = Dove("imapbox");
    imap.port = pop.imapPort;
    imap.protocol = 1;
    Start({imap}, "CheckInterval=600\nTaskTray=1\nNotify=1\n[Siren]\nEnabled=1\nSong0=/songs/other.wav\n");
    form->StatusOutput = nullptr;
    const auto key = std::make_pair(form->Handle(), UINT(1));
    const auto logins = [&] {
        const std::string log = TestSupport::ReadFile(pop.dir + "/dovecot.log");
        int n = 0;
        for (std::size_t at = 0; (at = log.find("imap-login: Info: Login: user=<imapbox>", at)) != std::string::npos; ++at)
            ++n;
        return n;
    };

    ASSERT_TRUE(WaitFor([&] { return form->GetMessageCount(0) == 3; })) << form->GetAccountError(0);
    ASSERT_TRUE(WaitFor([&] { return led.Lit; }));
    EXPECT_EQ(tray.icons[key].hIcon, TrayStateIconHandle(tsMail));
    EXPECT_NE(tray.tips[key].find("\nAccount1: 3 messages\n"), std::string::npos) << tray.tips[key];
    const auto from = Froms(pop, "imapbox");
    EXPECT_EQ(form->FromLines, from[2] + "\n" + from[1] + "\n" + from[0] + "\n");
    EXPECT_EQ(sound.Played(), std::vector<std::string>{"/songs/other.wav"});
    ASSERT_EQ(notes.shown.size(), 1u);
    EXPECT_EQ(notes.shown[0].body.rfind("Account1: 3 messages\nFrom: ", 0), 0u) << notes.shown[0].body;

    pop.Add("imapbox", 1);
    ASSERT_TRUE(WaitFor([&] { return form->GetMessageCount(0) == 4; }));
    ASSERT_TRUE(WaitFor([&] { return notes.shown.size() == 2; }));
    EXPECT_EQ(notes.shown[1].body.rfind("Account1: 4 messages\n", 0), 0u) << notes.shown[1].body;

    pop.ImapClient("imapbox", {"seen", "INBOX", "1:*"});
    ASSERT_TRUE(WaitFor([&] { return form->GetMessageCount(0) == 0 && !led.Lit; }));
    EXPECT_EQ(tray.icons[key].hIcon, TrayStateIconHandle(tsNoMail));
    EXPECT_EQ(notes.shown.size(), 2u);

    EXPECT_EQ(logins(), 2) << "Vesk's one connection, held open, and the reader's";
    Cycle();
    EXPECT_EQ(form->GetMessageCount(0), 0);
    EXPECT_NE(form->StatusLines().front().find("Account1: 0 messages"), std::string::npos);
    EXPECT_EQ(logins(), 2) << "the cycle opened no connection of its own";
    SetNotificationHost(oldNotes);
}

// A reload restarts the push connection of an account whose mailbox, login or
// security changed, and leaves the others connected (switching the siren on
// only changes what the next checks read).
TEST_F(PollCycle, ReloadRestartsOnlyThePushConnectionsWhoseMailboxChanged) {
    TestSupport::TImapFolderServer same, moved;
    Account a{"127.0.0.1", "u", "p", same.server.PortText()};
    Account b{"127.0.0.1", "u", "p", moved.server.PortText()};
    a.protocol = b.protocol = 1;
    Start({a, b}, "CheckInterval=600\n");
    ASSERT_TRUE(WaitFor([&] { return same.Idling() && moved.Idling(); }));

    b.folder = "Lists";
    Rewrite({a, b}, "CheckInterval=600\n[Siren]\nEnabled=1\n");
    form->LoadSettings();
    ASSERT_TRUE(WaitFor([&] { return moved.logins == 2 && moved.Idling(); }));
    EXPECT_TRUE(moved.server.Got("A2 STATUS \"Lists\" (UNSEEN UIDNEXT UIDVALIDITY)")) << "the new folder is watched";
    EXPECT_EQ(same.logins, 1);
    EXPECT_TRUE(same.Idling());
    EXPECT_TRUE(form->PushWatchAt(0)->Target().WantFrom);
}

// Woken from suspend (the login manager, on a private bus standing in for
// the system bus, says so): every push connection is made again at once and
// every other account is checked without waiting for the timer.
TEST_F(PollCycle, AWakeReconnectsPushAccountsAndChecksTheOthers) {
    TestSupport::PrivateBus bus;
    ASSERT_FALSE(bus.Address().isEmpty()) << "dbus-daemon did not start";
    TestSupport::EnvScope system{"DBUS_SYSTEM_BUS_ADDRESS", bus.Address().constData()};
    QDBusConnection login = QDBusConnection::connectToBus(QString::fromUtf8(bus.Address()), "fake-login1");
    ASSERT_TRUE(login.registerService("org.freedesktop.login1"));
    TestSupport::TImapFolderServer pushed;
    pushed.unseen = {{1, " ann@example.org"}};
    pushed.uidNext = 2;
    Account imap{"127.0.0.1", "u", "p", pushed.server.PortText()};
    imap.protocol = 1;
    Start({imap, Dove("three")}, "CheckInterval=600\n");
    ASSERT_TRUE(WaitFor([&] { return pushed.Idling(); }));
    EXPECT_EQ(form->GetMessageCount(1), 0) << "no timer cycle yet";

    ASSERT_TRUE(form->SystemWake().Listening());
    TestSupport::PrivateBus::SendPrepareForSleep(login, false);
    ASSERT_TRUE(WaitFor([&] { return pushed.logins == 2 && pushed.Idling(); }, 10000));
    ASSERT_TRUE(WaitFor([&] { return form->GetMessageCount(1) == 3; }));
    EXPECT_EQ(form->GetMessageCount(0), 1);
    form.reset();
    QDBusConnection::disconnectFromBus("fake-login1");
}
