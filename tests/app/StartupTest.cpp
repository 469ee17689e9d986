// Starts the real Vesk program, as a user would, on the offscreen platform.
#include "support/Fixtures.h"
#include "support/ScriptedServer.h"
#include "support/TestSupport.h"

#include <QFile>
#include <QProcess>
#include <gtest/gtest.h>

#include <csignal>
#include <vector>

// Vesk starts the desktop program in its place, which reads the settings
// file named after Vesk beside it (its account's failure on standard error
// shows that it did).
TEST(Startup, RealProgramStartsWithItsIniAndEndsCleanly) {
    TestSupport::TempDir dir;
    const std::string exe = TestSupport::CopyProgram(VESK_BIN_DIR, dir.Path());
    ASSERT_FALSE(exe.empty());
    const std::string ini = "[AccountConfig]\nCount=1\n[Account1]\nAccountName=Beside\nPOPServer=127.0.0.1\nPortNumber=" +
                            std::to_string(TestSupport::UnusedPort()) +
                            "\nUserName=u\n[Global Parameters]\nCheckInterval=1\nTaskTray=1\n";
    TestSupport::WriteFile(dir.File("Vesk.ini"), ini);

    QProcess vesk;
    auto env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    vesk.setProcessEnvironment(env);
    vesk.setWorkingDirectory(QString::fromStdString(dir.Path()));
    vesk.start(QString::fromStdString(exe), {});
    ASSERT_TRUE(vesk.waitForStarted(10000));
    // It keeps running: a few check intervals pass without it ending.
    EXPECT_FALSE(vesk.waitForFinished(2500)) << vesk.readAllStandardError().toStdString();
    ASSERT_EQ(vesk.state(), QProcess::Running);

    ::kill(static_cast<pid_t>(vesk.processId()), SIGTERM);
    ASSERT_TRUE(vesk.waitForFinished(10000));
    EXPECT_EQ(vesk.exitStatus(), QProcess::NormalExit);
    const std::string err = vesk.readAllStandardError().toStdString();
    EXPECT_EQ(vesk.exitCode(), 0) << err;
    EXPECT_NE(err.find("Vesk: Beside: "), std::string::npos) << err;
    EXPECT_EQ(TestSupport::ReadFile(dir.File("Vesk.ini")), ini) << "the program itself never writes its INI file";
}

// Vesk itself loads no GUI library and no OpenSSL before a TLS session
// needs it (that is what keeps --check quick), and a copy without the
// desktop program says what is missing.
TEST(Startup, VeskLinksNoGuiAndNamesAMissingDesktopProgram) {
    QProcess readelf;
    readelf.start("readelf", {"-d", VESK_BIN_DIR "/Vesk"});
    ASSERT_TRUE(readelf.waitForFinished(10000));
    const QString needed = QString::fromLocal8Bit(readelf.readAllStandardOutput());
    ASSERT_TRUE(needed.contains("libQt6Core")) << needed.toStdString();
    for (const char* lib : {"libQt6Gui", "libQt6Widgets", "libX11", "libcanberra", "libQt6DBus", "libssl", "libcrypto"})
        EXPECT_FALSE(needed.contains(lib)) << lib;

    TestSupport::TempDir dir;
    ASSERT_TRUE(QFile::copy(VESK_BIN_DIR "/Vesk", QString::fromStdString(dir.File("Vesk"))));
    QProcess vesk;
    vesk.start(QString::fromStdString(dir.File("Vesk")), {});
    ASSERT_TRUE(vesk.waitForFinished(10000));
    EXPECT_EQ(vesk.exitCode(), 1);
    EXPECT_TRUE(vesk.readAllStandardError().contains("cannot start the desktop program"));
}

TEST(Startup, WithoutAnyDisplayItSaysSoAndRunsOffscreen) {
    TestSupport::TempDir dir;
    QProcess vesk;
    QProcessEnvironment env;  // no DISPLAY, no WAYLAND_DISPLAY, no QT_QPA_PLATFORM
    env.insert("PATH", qEnvironmentVariable("PATH"));
    env.insert("HOME", QString::fromStdString(dir.Path()));
    env.insert("XDG_RUNTIME_DIR", QString::fromStdString(dir.Path()));
    vesk.setProcessEnvironment(env);
    vesk.start(VESK_BIN_DIR "/Vesk", {});
    ASSERT_TRUE(vesk.waitForStarted(10000));
    EXPECT_FALSE(vesk.waitForFinished(1500)) << vesk.readAllStandardError().toStdString();
    ::kill(static_cast<pid_t>(vesk.processId()), SIGTERM);
    ASSERT_TRUE(vesk.waitForFinished(10000));
    EXPECT_EQ(vesk.exitCode(), 0);
    QString err = QString::fromLocal8Bit(vesk.readAllStandardError());
    EXPECT_TRUE(err.contains("no display is reachable")) << err.toStdString();
}

// --fingerprint reads the certificate of the TLS Dovecot without any display:
// by POP3S and by STLS, trusted only when the store holds its authority.
TEST(Startup, FingerprintPrintsTheCertificateWithoutADisplay) {
    TestSupport::TempDir dir;
    const std::string fixture = VESK_APP_DOVECOT_TLS_DIR;
    auto fix = TestSupport::ReadEnvFile(fixture + "/server.env");
    ASSERT_FALSE(fix["VESK_POP3S_PORT"].empty()) << "no TLS POP3 server is running from " << fixture;
    struct Case {
        std::vector<QString> args;
        bool trustCa;
        const char* trusted;
    } cases[] = {
        {{"--fingerprint", QString::fromStdString("localhost:" + fix["VESK_POP3S_PORT"])}, true, "yes"},
        {{"--starttls", "--fingerprint", QString::fromStdString("127.0.0.1:" + fix["VESK_POP3_PORT"])}, false,
         "no (certificate verify failed: unable to get local issuer certificate)"},
    };
    for (const Case& c : cases) {
        QProcess vesk;
        QProcessEnvironment env;  // no display of any kind
        env.insert("PATH", qEnvironmentVariable("PATH"));
        env.insert("HOME", QString::fromStdString(dir.Path()));
        env.insert("SSL_CERT_DIR", QString::fromStdString(dir.Path()));
        env.insert("SSL_CERT_FILE",
                   QString::fromStdString(c.trustCa ? fix["VESK_POP3_CA"] : dir.File("none.pem")));
        vesk.setProcessEnvironment(env);
        vesk.start(VESK_BIN_DIR "/Vesk", QStringList(c.args.begin(), c.args.end()));
        ASSERT_TRUE(vesk.waitForFinished(30000));
        const std::string out = vesk.readAllStandardOutput().toStdString();
        EXPECT_EQ(vesk.exitCode(), 0) << vesk.readAllStandardError().toStdString();
        EXPECT_NE(out.find("Fingerprint (SHA-256): " + fix["VESK_POP3_FINGERPRINT"] + "\n"), std::string::npos) << out;
        EXPECT_NE(out.find("Subject: CN = Vesk test server server\nIssuer: CN = Vesk test mail CA\n"),
                  std::string::npos)
            << out;
        EXPECT_NE(out.find(std::string(": ") + c.trusted + "\n"), std::string::npos) << out;
    }
    // Nothing listening: a failure, said on standard error.
    QProcess vesk;
    vesk.start(VESK_BIN_DIR "/Vesk", {"--fingerprint", "127.0.0.1:1"});
    ASSERT_TRUE(vesk.waitForFinished(30000));
    EXPECT_EQ(vesk.exitCode(), 1);
    EXPECT_NE(vesk.readAllStandardError().indexOf("Connection refused"), -1);
}
