// Passwords in a real desktop keyring: gnome-keyring's Secret Service on a
// private bus (scripts/fixtures/keyring.sh). The dialog stores into it, the
// desktop's own tool (secret-tool) finds what it stored, and `Vesk --check`
// and the running program's poll cycle log in with what the keyring holds,
// or fail with the keyring's reason.
#include "app/Main.h"
#include "codec/Base64.h"
#include "platform/Keyboard.h"
#include "platform/ShellApi.h"
#include "platform/Sound.h"
#include "settings/Setting.h"
#include "support/ScriptedPop3Server.h"
#include "support/TestSupport.h"

#include <QProcess>
#include <gtest/gtest.h>

#include <fstream>

using TestSupport::ReadFile;
using TestSupport::TempDir;
using TestSupport::TScriptedPop3Server;
using TestSupport::WaitFor;
using TestSupport::WriteFile;

namespace {

// The variables that lead a client to the fixture's keyring (keyring.env),
// or to a bus where nothing listens (nobus.env).
QProcessEnvironment KeyringEnvironment(const char* file = "keyring.env") {
    QProcessEnvironment env;
    env.insert("PATH", qEnvironmentVariable("PATH"));
    std::ifstream in(std::string(VESK_KEYRING_DIR) + "/" + file);
    for (std::string line; std::getline(in, line);)
        if (const size_t eq = line.find('='); eq != std::string::npos)
            env.insert(QString::fromStdString(line.substr(0, eq)), QString::fromStdString(line.substr(eq + 1)));
    EXPECT_TRUE(env.contains("DBUS_SESSION_BUS_ADDRESS")) << "no " << file << " in " VESK_KEYRING_DIR;
    return env;
}

struct TRun {
    int exitCode = -1;
    std::string out, err;
};

// Runs `program` with `arguments` and `input` on its standard input; the
// event loop keeps running meanwhile, so the scripted servers answer.
TRun RunProgram(const QString& program, const QStringList& arguments, const QProcessEnvironment& env,
         const std::string& input = "") {
    QProcess process;
    process.setProcessEnvironment(env);
    process.start(program, arguments);
    TRun run;
    if (!process.waitForStarted(10000)) return run;
    process.write(input.data(), static_cast<qint64>(input.size()));
    process.closeWriteChannel();
    if (!WaitFor([&] { return process.state() == QProcess::NotRunning; }, 30000)) process.kill();
    process.waitForFinished(5000);
    run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.out = process.readAllStandardOutput().toStdString();
    run.err = process.readAllStandardError().toStdString();
    return run;
}

TRun SecretTool(const QStringList& arguments, const std::string& input = "") {
    return RunProgram("secret-tool", arguments, KeyringEnvironment(), input);
}

// Puts `secret` into the keyring under the key of `user` at 127.0.0.1:`port`,
// as a user would with the desktop's own tool.
void StoreSecret(const std::string& user, int port, const std::string& secret) {
    const std::string key = user + "@127.0.0.1:" + std::to_string(port);
    const TRun store = SecretTool({"store", "--label", "Vesk", "xdg:schema", "org.qt.keychain", "type", "plaintext",
                                   "server", "Vesk", "user", QString::fromStdString(key)},
                                  secret);
    ASSERT_EQ(store.exitCode, 0) << store.err;
}

// Leads this process's own keyring requests to the fixture's keyring.
void UseTheFixturesKeyring() {
    const QProcessEnvironment env = KeyringEnvironment();
    for (const QString& name : env.keys()) qputenv(name.toLocal8Bit(), env.value(name).toLocal8Bit());
}

class FakeMain : public TSettingHost {
public:
    std::string GetIniPath() const override { return iniPath; }
    int GetMaxAccounts() const override { return 20; }
    void LoadSettings() override {}
    std::string iniPath;
};

// A POP3 server that takes only the password `secret`.
void Serve(TScriptedPop3Server& server, const std::string& secret) {
    server.On("USER", "+OK\r\n");
    server.On("PASS", "-ERR [AUTH] Authentication failed.\r\n");
    server.On("PASS " + secret, "+OK\r\n");
    server.On("STAT", "+OK 2 200\r\n");
    server.On("QUIT", "+OK bye\r\n", TScriptedPop3Server::Then::Close);
}

std::string KeyringAccount(int port) {
    return "[AccountConfig]\nCount=1\n[Global Parameters]\nKeyring=1\n[Account1]\nAccountName=Box\n"
           "POPServer=127.0.0.1\nUserName=kim\nPortNumber=" + std::to_string(port) + "\nPassword=\n";
}

}  // namespace

// The dialog's OK with the option on: the file keeps no password, and the
// desktop's tool finds it under service "Vesk" and the account's key.
TEST(Keyring, TheDialogsOkStoresThePasswordWhereTheDesktopFindsIt) {
    UseTheFixturesKeyring();
    TempDir dir;
    FakeMain host;
    host.iniPath = dir.File("Vesk.ini");
    TfrmSetting dialog(&host);
    dialog.Show();
    dialog.edtPop->setText("pop.example");
    dialog.edtUser->setText("ann");
    dialog.edtPassword->setText("dialog pw 1");
    dialog.chkKeyring->setChecked(true);
    dialog.btnOk->click();
    ASSERT_TRUE(WaitFor([&] { return !dialog.isVisible(); }, 30000));
    const std::string ini = ReadFile(host.iniPath);
    EXPECT_NE(ini.find("Password=\n"), std::string::npos) << ini;
    EXPECT_NE(ini.find("Keyring=1\n"), std::string::npos) << ini;
    const TRun lookup = SecretTool({"lookup", "server", "Vesk", "user", "ann@pop.example:110"});
    EXPECT_EQ(lookup.exitCode, 0) << lookup.err;
    EXPECT_EQ(lookup.out, "dialog pw 1");
}

// `--check` reads the password the user put into the keyring and logs in.
TEST(Keyring, ACheckLogsInWithTheKeyringsPassword) {
    TScriptedPop3Server server;
    Serve(server, "kim's pw");
    StoreSecret("kim", server.Port(), "kim's pw");
    TempDir dir;
    WriteFile(dir.File("Vesk.ini"), KeyringAccount(server.Port()));
    const TRun run = RunProgram(VESK_BIN_DIR "/Vesk", {"--check", "--ini", QString::fromStdString(dir.File("Vesk.ini"))},
                         KeyringEnvironment());
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.out, "Box\t2\n");
    EXPECT_TRUE(server.Got("PASS kim's pw"));
}

// The running program's poll cycle reads the password from the keyring too.
TEST(Keyring, ThePollCycleLogsInWithTheKeyringsPassword) {
    UseTheFixturesKeyring();
    TScriptedPop3Server server;
    Serve(server, "cycle pw");
    StoreSecret("kim", server.Port(), "cycle pw");
    TempDir dir;
    WriteFile(dir.File("Vesk.ini"), KeyringAccount(server.Port()));
    TFakeKeyboardHost led;
    TFakeSoundHost sound;
    TFakeTrayHost tray;
    TKeyboardHost* const oldLed = SetKeyboardHost(&led);
    TSoundHost* const oldSound = SetSoundHost(&sound);
    TTrayHost* const oldTray = SetTrayHost(&tray);
    TForm* const oldMain = Application->MainForm;
    Application->MainForm = nullptr;
    {
        TfrmMain form(nullptr, dir.File("Vesk"));
        form.StatusOutput = nullptr;
        form.tmrMainTimer(form.tmrMain);
        EXPECT_TRUE(WaitFor([&] { return form.GetMessageCount(0) == 2; }, 30000)) << form.GetAccountError(0);
        EXPECT_TRUE(server.Got("PASS cycle pw"));
        EXPECT_TRUE(led.Lit);
    }
    Application->MainForm = oldMain;
    SetKeyboardHost(oldLed);
    SetSoundHost(oldSound);
    SetTrayHost(oldTray);
}

// A keyring that cannot be reached fails the account with its reason, before
// any connection, and the file stays as it was.
TEST(Keyring, AnUnreachableKeyringFailsTheAccountAndLeavesTheFile) {
    TScriptedPop3Server server;
    Serve(server, "pw");
    TempDir dir;
    const std::string ini = KeyringAccount(server.Port());
    WriteFile(dir.File("Vesk.ini"), ini);
    const TRun run = RunProgram(VESK_BIN_DIR "/Vesk", {"--check", "--ini", QString::fromStdString(dir.File("Vesk.ini"))},
                         KeyringEnvironment("nobus.env"));
    EXPECT_EQ(run.exitCode, 1) << run.err;
    EXPECT_EQ(run.out.rfind("Box\terror\tkeyring: ", 0), 0u) << run.out;
    EXPECT_EQ(server.Accepted(), 0);
    EXPECT_EQ(ReadFile(dir.File("Vesk.ini")), ini);
}
