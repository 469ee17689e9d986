// Starts the real Vesk program, as a user would, on the offscreen platform.
#include "support/TestSupport.h"

#include <QFile>
#include <QProcess>
#include <gtest/gtest.h>

#include <csignal>

TEST(Startup, RealProgramStartsWithItsIniAndEndsCleanly) {
    TestSupport::TempDir dir;
    const std::string exe = dir.File("Vesk");
    ASSERT_TRUE(QFile::copy(VESK_BIN_DIR "/Vesk", QString::fromStdString(exe)));
    const std::string ini =
        "[AccountConfig]\nCount=1\n[Account1]\nPOPServer=\nUserName=\n"
        "[Global Parameters]\nCheckInterval=1\nTaskTray=1\n";
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
    EXPECT_EQ(vesk.exitCode(), 0) << vesk.readAllStandardError().toStdString();
    EXPECT_EQ(TestSupport::ReadFile(dir.File("Vesk.ini")), ini) << "the program itself never writes its INI file";
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
