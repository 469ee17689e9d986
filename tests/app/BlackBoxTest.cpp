// The real program, as a user runs it: Vesk under a private X display checks
// a mailbox on the private Dovecot every second and drives the display's
// Scroll Lock indicator, which `xset q` reads back.
#include "codec/Base64.h"
#include "support/Fixtures.h"
#include "support/TestSupport.h"

#include <QFile>
#include <QProcess>
#include <gtest/gtest.h>

#include <csignal>

namespace {

// "on", "off", or empty when the display cannot be read.
std::string ScrollLock(const QString& display) {
    QProcess xset;
    auto env = QProcessEnvironment::systemEnvironment();
    env.insert("DISPLAY", display);
    xset.setProcessEnvironment(env);
    xset.start("xset", {"q"});
    if (!xset.waitForFinished(10000)) return {};
    QString out = QString::fromLocal8Bit(xset.readAllStandardOutput());
    int at = out.indexOf("Scroll Lock:");
    if (at < 0) return {};
    return out.mid(at + 12).simplified().section(QChar(' '), 0, 0).toStdString();
}

}  // namespace

TEST(BlackBox, RealProgramLightsScrollLockForWaitingMailAndDarkensItWhenEmptied) {
    const TestSupport::TDovecotFixture dovecot(VESK_APP_DOVECOT_DIR);
    const std::string& host = dovecot.host;
    const std::string& port = dovecot.port;
    ASSERT_FALSE(port.empty()) << "no POP3 server is running from " << dovecot.dir;
    const QString display = QString::fromStdString(TestSupport::ReadTrimmed(std::string(VESK_APP_XVFB_DIR) + "/display"));
    ASSERT_FALSE(display.isEmpty()) << "no X display is running from " VESK_APP_XVFB_DIR;
    ASSERT_EQ(ScrollLock(display), "off");

    TestSupport::TempDir dir;
    const std::string exe = TestSupport::CopyProgram(VESK_BIN_DIR, dir.Path());
    ASSERT_FALSE(exe.empty());
    TBase64 b64;
    TestSupport::WriteFile(dir.File("Vesk.ini"),
                           "[AccountConfig]\nCount=1\n[Account1]\nPOPServer=" + host + "\nUserName=ledbox\nPassword=" +
                               b64.Encode("secret-ledbox") + "\nPortNumber=" + port +
                               "\n[Global Parameters]\nCheckInterval=1\nAttentiveWait=0\nFlash=0\n");

    QProcess vesk;
    auto env = QProcessEnvironment::systemEnvironment();
    env.insert("DISPLAY", display);
    env.insert("QT_QPA_PLATFORM", "offscreen");  // windows offscreen; the LED is the display's
    env.remove("WAYLAND_DISPLAY");                // an X11 session, even when the tests run under Wayland
    env.remove("XDG_SESSION_TYPE");
    vesk.setProcessEnvironment(env);
    vesk.start(QString::fromStdString(exe), {});
    ASSERT_TRUE(vesk.waitForStarted(10000));

    EXPECT_TRUE(TestSupport::WaitFor([&] { return ScrollLock(display) == "on"; }, 20000))
        << "Scroll Lock not lit for 3 waiting messages; " << vesk.readAllStandardError().toStdString();

    dovecot.Empty("ledbox");
    EXPECT_TRUE(TestSupport::WaitFor([&] { return ScrollLock(display) == "off"; }, 20000))
        << "Scroll Lock still lit after the mailbox was emptied";

    ::kill(static_cast<pid_t>(vesk.processId()), SIGTERM);
    ASSERT_TRUE(vesk.waitForFinished(10000));
    EXPECT_EQ(vesk.exitCode(), 0);
}
