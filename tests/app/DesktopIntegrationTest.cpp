// The main window on the desktops it meets once installed: where the
// settings live (beside a portable Vesk, in the user's config folder for an
// installed one, or where --ini says; in each case the settings dialog's OK
// saves there and the main window reloads from there), the command line that
// can name them, and a desktop without a notification area.
#include "app/CommandLine.h"
#include "app/IniLocation.h"
#include "app/Main.h"
#include "settings/VerInfo.h"
#include "support/EnvScope.h"
#include "support/TestSupport.h"

#include <QFileInfo>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

using TestSupport::EnvScope;
using TestSupport::TempDir;

namespace {

namespace fs = std::filesystem;

fs::perms ModeOf(const std::string& path) { return fs::status(path).permissions() & fs::perms::mask; }

class Desktop : public ::testing::Test {
protected:
    void SetUp() override {
        oldHost_ = SetTrayHost(&tray);
        savedMain_ = Application->MainForm;
    }
    void TearDown() override {
        setting.reset();
        form.reset();
        SetIniOption("");
        SetTrayHost(oldHost_);
        Application->MainForm = savedMain_;
    }

    void Start(const std::string& ini) {
        TestSupport::WriteFile(dir.File("Vesk.ini"), ini);
        Application->MainForm = nullptr;
        form = std::make_unique<TfrmMain>(nullptr, dir.File("Vesk"));
    }
    void Reload(const std::string& ini) {
        TestSupport::WriteFile(dir.File("Vesk.ini"), ini);
        form->LoadSettings();
    }
    size_t Icons() const { return tray.icons.size(); }

    // Starts the main window for an executable at `exePath`, then saves
    // through the settings dialog with a changed check interval.
    void StartAndSave(const std::string& exePath) {
        Application->MainForm = nullptr;
        form = std::make_unique<TfrmMain>(nullptr, exePath);
        setting = std::make_unique<TfrmSetting>(form.get());
        setting->Show();
        setting->speInterval->SetValue(45);
        setting->btnOk->click();
        EXPECT_FALSE(setting->isVisible()) << "OK failed to save " << form->IniPath;
        EXPECT_EQ(form->tmrMain->Interval(), 45000) << "the main window reloads the saved file";
    }

    TempDir dir;
    TFakeTrayHost tray;
    std::unique_ptr<TfrmMain> form;
    std::unique_ptr<TfrmSetting> setting;

private:
    TTrayHost* oldHost_ = nullptr;
    TForm* savedMain_ = nullptr;
};

TEST_F(Desktop, PortableVeskKeepsItsSettingsBesideItself) {
    EnvScope xdg("XDG_CONFIG_HOME", dir.File("config").c_str());
    fs::create_directories(dir.File("portable"));
    StartAndSave(dir.File("portable/Vesk"));
    EXPECT_EQ(form->IniPath, dir.File("portable/Vesk.ini"));
    EXPECT_NE(TestSupport::ReadFile(dir.File("portable/Vesk.ini")).find("CheckInterval=45\n"), std::string::npos);
    EXPECT_FALSE(fs::exists(dir.File("config"))) << "a portable Vesk makes no config folder";
}

TEST_F(Desktop, InstalledVeskKeepsItsSettingsInThePrivateConfigFolder) {
    // /proc takes no new files, for root neither: like /usr/bin for a user.
    ASSERT_FALSE(QFileInfo::exists("/proc/Vesk.ini"));
    {
        EnvScope xdg("XDG_CONFIG_HOME", dir.File("xdg").c_str());
        StartAndSave("/proc/Vesk");
        EXPECT_EQ(form->IniPath, dir.File("xdg/vesk/Vesk.ini"));
        EXPECT_EQ(ModeOf(dir.File("xdg/vesk")), fs::perms::owner_all);
        EXPECT_EQ(ModeOf(dir.File("xdg/vesk/Vesk.ini")), fs::perms::owner_read | fs::perms::owner_write);
        EXPECT_NE(TestSupport::ReadFile(dir.File("xdg/vesk/Vesk.ini")).find("CheckInterval=45\n"), std::string::npos);
    }
    // XDG_CONFIG_HOME empty (or relative): ~/.config.
    for (const char* value : {"", "relative/config"}) {
        EnvScope xdg("XDG_CONFIG_HOME", value);
        EnvScope home("HOME", dir.File("home").c_str());
        EXPECT_EQ(ChooseIniPath("/proc/Vesk", ""), dir.File("home/.config/vesk/Vesk.ini")) << "XDG_CONFIG_HOME=" << value;
        EXPECT_TRUE(fs::is_directory(dir.File("home/.config/vesk")));
    }
}

TEST_F(Desktop, InstalledVeskUsesTheConfigFolderEvenWhereItMayWrite) {
    // An installed tree in a folder this user may write into, as root may /usr/bin.
    fs::create_directories(dir.File("usr/bin"));
    fs::create_directories(dir.File("usr/libexec/vesk"));
    TestSupport::WriteFile(dir.File("usr/libexec/vesk/vesk-desktop"), "");
    EnvScope xdg("XDG_CONFIG_HOME", dir.File("xdg").c_str());
    StartAndSave(dir.File("usr/bin/Vesk"));
    EXPECT_EQ(form->IniPath, dir.File("xdg/vesk/Vesk.ini"));
    EXPECT_FALSE(fs::exists(dir.File("usr/bin/Vesk.ini")));
    // The desktop program started by itself from its installed folder.
    EXPECT_EQ(ChooseIniPath(dir.File("usr/libexec/vesk/vesk-desktop"), ""), dir.File("xdg/vesk/Vesk.ini"));
}

TEST_F(Desktop, IniOptionOverridesBothPlaces) {
    EnvScope xdg("XDG_CONFIG_HOME", dir.File("config").c_str());
    fs::create_directories(dir.File("portable"));
    TestSupport::WriteFile(dir.File("portable/Vesk.ini"), "[Global Parameters]\nCheckInterval=99\n");
    fs::create_directories(dir.File("elsewhere"));
    const TCommandLine commandLine = ParseCommandLine({"Vesk", "--ini", QString::fromStdString(dir.File("elsewhere/my.ini"))});
    ASSERT_FALSE(commandLine.Exit) << commandLine.Error;
    SetIniOption(commandLine.IniPath);
    StartAndSave(dir.File("portable/Vesk"));
    EXPECT_EQ(form->IniPath, dir.File("elsewhere/my.ini"));
    EXPECT_NE(TestSupport::ReadFile(dir.File("elsewhere/my.ini")).find("CheckInterval=45\n"), std::string::npos);
    EXPECT_EQ(TestSupport::ReadFile(dir.File("portable/Vesk.ini")), "[Global Parameters]\nCheckInterval=99\n");
    EXPECT_FALSE(fs::exists(dir.File("config")));
}

TEST(CommandLine, VersionHelpAndMistakes) {
    // The version printed is the one in the executable's version block.
    std::string product;
    TVerInfo(VESK_BIN_DIR "/Vesk").GetProductVersion(product);
    ASSERT_FALSE(product.empty());
    for (const char* option : {"--version", "-v"}) {
        TCommandLine c = ParseCommandLine({"Vesk", option});
        EXPECT_TRUE(c.Exit);
        EXPECT_EQ(c.ExitCode, 0);
        EXPECT_EQ(c.Output, "Vesk " + product + "\n");
    }

    TCommandLine help = ParseCommandLine({"Vesk", "--help"});
    EXPECT_TRUE(help.Exit);
    EXPECT_EQ(help.ExitCode, 0);
    EXPECT_NE(help.Output.find("--ini <path>"), std::string::npos) << help.Output;
    EXPECT_NE(help.Output.find("--version"), std::string::npos) << help.Output;

    EXPECT_TRUE(AsksOnlyForInformation({"Vesk", "--ini", "x", "-v"}));
    EXPECT_FALSE(AsksOnlyForInformation({"Vesk", "--ini", "x"}));
    EXPECT_FALSE(AsksOnlyForInformation({"--version"})) << "the program's own name is no option";

    EXPECT_FALSE(ParseCommandLine({"Vesk"}).Exit);
    EXPECT_EQ(ParseCommandLine({"Vesk"}).IniPath, "");
    EXPECT_EQ(ParseCommandLine({"Vesk", "--ini=/x/y.ini"}).IniPath, "/x/y.ini");
    for (const QStringList& wrong : {QStringList{"Vesk", "--bogus"}, QStringList{"Vesk", "--ini"},
                                     QStringList{"Vesk", "--ini", ""}, QStringList{"Vesk", "stray"}}) {
        TCommandLine c = ParseCommandLine(wrong);
        EXPECT_TRUE(c.Exit) << wrong.join(' ').toStdString();
        EXPECT_EQ(c.ExitCode, 2) << wrong.join(' ').toStdString();
        EXPECT_EQ(c.Error.rfind("Vesk: ", 0), 0u) << c.Error;
        EXPECT_TRUE(c.Output.empty());
    }
}

TEST_F(Desktop, WithoutANotificationAreaTheWindowStaysShownUntilATrayHostAppears) {
    tray.available = false;
    testing::internal::CaptureStderr();
    Start("[Global Parameters]\nTaskTray=1\n");
    EXPECT_TRUE(form->isVisible()) << "no tray: the window is shown as with TaskTray=0";
    EXPECT_FALSE(form->InTaskTray);
    EXPECT_EQ(Icons(), 0u);
    Reload("[Global Parameters]\nTaskTray=1\nCheckInterval=30\n");  // the fallback goes on, said once
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_THAT(err, testing::HasSubstr("no notification area"));
    EXPECT_EQ(err.find('\n'), err.size() - 1) << "one line, once: " << err;
    EXPECT_EQ(TestSupport::ReadFile(dir.File("Vesk.ini")), "[Global Parameters]\nTaskTray=1\nCheckInterval=30\n");

    // A tray host starts: the setting is followed again.
    tray.SetAvailable(true);
    EXPECT_TRUE(form->InTaskTray);
    EXPECT_FALSE(form->isVisible());
    EXPECT_EQ(Icons(), 1u);
    EXPECT_FALSE(tray.availabilityHandler) << "nothing is watched once the setting is followed";

    // TaskTray=0 while falling back: a tray appearing later changes nothing.
    Reload("[Global Parameters]\nTaskTray=0\n");
    tray.available = false;
    Reload("[Global Parameters]\nTaskTray=1\n");
    EXPECT_TRUE(form->isVisible());
    EXPECT_EQ(Icons(), 0u);
    Reload("[Global Parameters]\nTaskTray=0\n");
    EXPECT_FALSE(tray.availabilityHandler);
    tray.SetAvailable(true);
    EXPECT_TRUE(form->isVisible());
    EXPECT_FALSE(form->InTaskTray);
    EXPECT_EQ(Icons(), 0u);
}

}  // namespace
