#include "app/Main.h"
#include "codec/Base64.h"
#include "support/TestSupport.h"

#include <QGuiApplication>
#include <QScreen>
#include <QTest>
#include <gtest/gtest.h>

#include <cstdint>

#include <memory>

using TestSupport::TempDir;
using TestSupport::WaitFor;
using TestSupport::WriteFile;

namespace {

// A main window reading `<folder>/Vesk.ini`, with the tray replaced by the
// in-memory double. The window is made with the INI already in place, as at
// program start.
class MainWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        oldHost_ = SetTrayHost(&tray);
        savedMain_ = Application->MainForm;
    }
    void TearDown() override {
        form.reset();
        SetTrayHost(oldHost_);
        Application->MainForm = savedMain_;
        Application->Terminated = false;
    }

    void Start(const std::string& ini) {
        if (!ini.empty()) WriteFile(IniFile(), ini);
        Application->MainForm = nullptr;
        form = std::make_unique<TfrmMain>(nullptr, dir.File("Vesk"));
    }
    void Reload(const std::string& ini) {
        WriteFile(IniFile(), ini);
        form->LoadSettings();
    }
    std::string IniFile() const { return dir.File("Vesk.ini"); }

    TempDir dir;
    TFakeTrayHost tray;
    std::unique_ptr<TfrmMain> form;

private:
    TTrayHost* oldHost_ = nullptr;
    TForm* savedMain_ = nullptr;
};

}  // namespace

TEST(IniPath, BesideTheExecutable) {
    EXPECT_EQ(TfrmMain::IniPathOf("/opt/vesk/Vesk"), "/opt/vesk/Vesk.ini");
    EXPECT_EQ(TfrmMain::IniPathOf("C:/Tools/Vesk.exe"), "C:/Tools/Vesk.ini");
    EXPECT_EQ(TfrmMain::IniPathOf("/x/VESK.EXE"), "/x/VESK.ini");
    EXPECT_EQ(TfrmMain::IniPathOf("/x/a.exe.bak"), "/x/a.exe.bak.ini");
}

TEST_F(MainWindowTest, WindowLayout) {
    Start("");
    EXPECT_EQ(form->windowTitle(), "Vesk");
    EXPECT_EQ(form->size(), QSize(250, 154));
    EXPECT_EQ(form->minimumSize(), form->maximumSize()) << "fixed border";
    EXPECT_FALSE(form->windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_TRUE(form->windowFlags() & Qt::WindowMinimizeButtonHint);
    EXPECT_EQ(form->btnCallSetting->text(), "&make up Vesk");
    EXPECT_EQ(form->btnCallSetting->geometry(), QRect(115, 122, 123, 20));
    EXPECT_EQ(form->font().pixelSize(), 12);
    const auto& items = form->pmnuRClick->Items();
    ASSERT_EQ(items.size(), 3u);
    EXPECT_EQ(items[0].get(), form->pmnuRClickSetting);
    EXPECT_EQ(form->pmnuRClickSetting->Caption, "&make up Vesk");
    EXPECT_EQ(form->pmnuRClickSep0->Caption, "-");
    EXPECT_EQ(form->pmnuRClickExit->Caption, "E&xit");
    QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    QPoint centre = form->frameGeometry().center();
    EXPECT_LE(std::abs(centre.x() - screen.center().x()), 2);
    EXPECT_LE(std::abs(centre.y() - screen.center().y()), 2);
}

TEST_F(MainWindowTest, NoFileGivesTheDefaults) {
    Start("");
    EXPECT_EQ(form->IniPath, dir.File("Vesk.ini"));
    EXPECT_EQ(form->MaxAccounts, 20);
    EXPECT_EQ(form->AccountCount, 1);
    EXPECT_EQ(form->AccountAt(0).Server, "");
    EXPECT_EQ(form->AccountAt(0).UserName, "");
    EXPECT_EQ(form->AccountAt(0).Port, 110);
    EXPECT_EQ(form->AccountAt(0).APop, 0);
    EXPECT_EQ(form->tmrMain->Interval(), 60000);
    EXPECT_TRUE(form->tmrMain->Running());
    EXPECT_TRUE(form->LightOnEqual);
    EXPECT_TRUE(form->AttentiveWait);
    EXPECT_FALSE(form->Flash);
    EXPECT_FALSE(form->FlashOnEqual);
    EXPECT_FALSE(form->FlashOnError);
    EXPECT_FALSE(form->SirenEnabled);
    EXPECT_FALSE(form->InTaskTray);
    EXPECT_TRUE(form->isVisible());
    EXPECT_TRUE(tray.calls.empty());
}

TEST_F(MainWindowTest, LoadsAccountsFromTheirSections) {
    TBase64 b64;
    Start("[AccountConfig]\nCount=2\n"
          "[Account1]\nPOPServer=pop.one.test\nUserName=alice\nPassword=" + b64.Encode("se cret\x01") +
          "\nPortNumber=1110\nAPOP=2\n"
          "[Account2]\nPOPServer=127.0.0.1\nUserName=bob\nPassword=QR==\n");
    EXPECT_EQ(form->AccountCount, 2);
    EXPECT_EQ(form->AccountAt(0).Server, "pop.one.test");
    EXPECT_EQ(form->AccountAt(0).UserName, "alice");
    EXPECT_EQ(form->AccountAt(0).Password, "se cret\x01");
    EXPECT_EQ(form->AccountAt(0).Port, 1110);
    EXPECT_NE(form->AccountAt(0).APop, 0) << "any nonzero APOP means on";
    EXPECT_EQ(form->AccountAt(1).Server, "127.0.0.1");
    EXPECT_EQ(form->AccountAt(1).Port, 110) << "PortNumber absent";
    EXPECT_EQ(form->AccountAt(1).APop, 0);
    EXPECT_EQ(form->AccountAt(1).Password, std::string("A\x10")) << "lenient decoding of a non-canonical password";
}

TEST_F(MainWindowTest, AccountCountLimits) {
    std::string many = "[AccountConfig]\nCount=25\n";
    for (int n = 1; n <= 25; ++n)
        many += "[Account" + std::to_string(n) + "]\nPOPServer=s" + std::to_string(n) + "\nUserName=u\n";
    Start(many);
    EXPECT_EQ(form->AccountCount, 20);
    EXPECT_EQ(form->AccountAt(19).Server, "s20");
    EXPECT_EQ(form->AccountAt(20).Server, "") << "sections above the limit are not read";

    Reload("[AccountConfig]\nCount=4\n[Account4]\nPOPServer=s4\n[Account5]\nPOPServer=s5\nUserName=u\n");
    EXPECT_EQ(form->AccountCount, 4);
    EXPECT_EQ(form->AccountAt(3).Server, "s4");
    EXPECT_EQ(form->AccountAt(4).Server, "") << "a leftover section above Count is ignored";

    Reload("[AccountConfig]\nCount=0\n[Account1]\nPOPServer=s1\n");
    EXPECT_EQ(form->AccountCount, 0);
    EXPECT_EQ(form->AccountAt(0).Server, "");

    Reload("[AccountConfig]\nCount=-3\n[Account1]\nPOPServer=s1\n");
    EXPECT_EQ(form->AccountCount, 0) << "a negative count means no accounts";
    EXPECT_EQ(form->AccountAt(0).Server, "");

    Reload("[AccountConfig]\nCount=0x2\n[Account2]\nPOPServer=s2\n");
    EXPECT_EQ(form->AccountCount, 2);
    EXPECT_EQ(form->AccountAt(1).Server, "s2");
}

TEST_F(MainWindowTest, CheckIntervalForms) {
    Start("[Global Parameters]\nCheckInterval=0x1E\n");
    EXPECT_EQ(form->tmrMain->Interval(), 30000);
    Reload("[Global Parameters]\nCheckInterval=$1E\n");
    EXPECT_EQ(form->tmrMain->Interval(), 30000);
    Reload("[Global Parameters]\nCheckInterval=abc\n");
    EXPECT_EQ(form->tmrMain->Interval(), 60000);
    Reload("[Global Parameters]\nCheckInterval=5\n");
    EXPECT_EQ(form->tmrMain->Interval(), 5000) << "no lower limit on loading";
    EXPECT_TRUE(form->tmrMain->Running());
    Reload("[Global Parameters]\nCheckInterval=0\n");
    EXPECT_FALSE(form->tmrMain->Running()) << "0 leaves the timer without a countdown";
    EXPECT_TRUE(form->tmrMain->Enabled());
    Reload("[Global Parameters]\nCheckInterval=-10\n");
    EXPECT_FALSE(form->tmrMain->Running()) << "a negative interval stops it like 0";
    Reload("[Global Parameters]\nCheckInterval=2147483\n");
    EXPECT_EQ(form->tmrMain->Interval(), 2147483000);
    Reload("[Global Parameters]\nCheckInterval=2147484\n");
    EXPECT_TRUE(form->tmrMain->Running()) << "an interval past the timer's range is clamped, not stopped";
    EXPECT_EQ(form->tmrMain->Interval(), INT32_MAX);
    Reload("[Global Parameters]\nCheckInterval=2147483647\n");
    EXPECT_EQ(form->tmrMain->Interval(), INT32_MAX);
    Reload("[Global Parameters]\nCheckInterval=60\n");
    EXPECT_TRUE(form->tmrMain->Running());
}

TEST_F(MainWindowTest, ReloadKeepsTheCountdownWhenTheIntervalIsUnchanged) {
    Start("[Global Parameters]\nCheckInterval=60\n");
    form->tmrMain->SetInterval(60000);
    WaitFor([] { return false; }, 40);
    int before = form->tmrMain->RemainingTime();
    form->LoadSettings();
    EXPECT_LE(form->tmrMain->RemainingTime(), before);
    Reload("[Global Parameters]\nCheckInterval=61\n");
    EXPECT_GT(form->tmrMain->RemainingTime(), 60000);
}

TEST_F(MainWindowTest, OptionFlags) {
    Start("[Global Parameters]\nLightOnEqual=0\nFlash=1\nFlashOnEqual=7\nFlashOnError=-1\nAttentiveWait=0\n"
          "[Siren]\nEnabled=1\n");
    EXPECT_FALSE(form->LightOnEqual);
    EXPECT_TRUE(form->Flash);
    EXPECT_TRUE(form->FlashOnEqual);
    EXPECT_TRUE(form->FlashOnError);
    EXPECT_FALSE(form->AttentiveWait);
    EXPECT_TRUE(form->SirenEnabled);
    Reload("[Global Parameters]\nFlash=junk\n[Siren]\nEnabled=0\n");
    EXPECT_FALSE(form->Flash) << "junk reads as the default";
    EXPECT_TRUE(form->LightOnEqual);
    EXPECT_FALSE(form->SirenEnabled);
}

TEST_F(MainWindowTest, MessageCountsSurviveAReload) {
    Start("[AccountConfig]\nCount=2\n");
    form->SetMessageCount(0, 3);
    form->SetMessageCount(1, 2);
    form->FromLines = "x\n";
    Reload("[AccountConfig]\nCount=1\n");
    EXPECT_EQ(form->GetMessageCount(0), 3);
    EXPECT_EQ(form->GetMessageCount(1), 2);
    EXPECT_EQ(form->FromLines, "x\n");
    form->ClearMessageCounts();
    EXPECT_EQ(form->GetMessageCount(0), 0);
}

TEST_F(MainWindowTest, PositionsPastTheTableReadAsEmptyAccounts) {
    Start("[AccountConfig]\nCount=1\n[Account1]\nPOPServer=s1\n");
    EXPECT_EQ(form->AccountAt(5).Server, "");
    EXPECT_EQ(form->AccountAt(-1).Server, "");
    form->ClearAccounts();
    EXPECT_EQ(form->AccountAt(0).Server, "");
    form->SetAccountCount(50);
    EXPECT_EQ(form->AccountCount, 20);
}

TEST_F(MainWindowTest, StartInTrayAddsTheIconAndKeepsTheWindowHidden) {
    Start("[Global Parameters]\nTaskTray=1\n");
    EXPECT_TRUE(form->InTaskTray);
    EXPECT_FALSE(form->isVisible());
    ASSERT_EQ(tray.calls.size(), 1u);
    const auto& call = tray.calls[0];
    EXPECT_EQ(call.message, NIM_ADD);
    EXPECT_EQ(call.data.cbSize, 88u);
    EXPECT_EQ(call.data.hWnd, form->Handle());
    EXPECT_EQ(call.data.uID, 1u);
    EXPECT_EQ(call.data.uFlags, 7u);
    EXPECT_EQ(call.data.uCallbackMessage, 0x464u);
    EXPECT_EQ(std::string(call.data.szTip, sizeof call.data.szTip), std::string("Vesk") + std::string(60, '\0'));
}

TEST_F(MainWindowTest, SwitchingTrayThroughReloads) {
    Start("[Global Parameters]\nTaskTray=0\n");
    EXPECT_TRUE(form->isVisible());
    EXPECT_TRUE(tray.icons.empty());

    Reload("[Global Parameters]\nTaskTray=1\n");
    EXPECT_TRUE(form->InTaskTray);
    EXPECT_FALSE(form->isVisible());
    EXPECT_EQ(tray.icons.size(), 1u);

    Reload("[Global Parameters]\nTaskTray=1\n");
    EXPECT_EQ(tray.calls.size(), 1u) << "an unchanged setting adds nothing";

    Reload("[Global Parameters]\nTaskTray=0\n");
    EXPECT_FALSE(form->InTaskTray);
    EXPECT_TRUE(form->isVisible());
    EXPECT_TRUE(tray.icons.empty());
    ASSERT_EQ(tray.calls.size(), 2u);
    EXPECT_EQ(tray.calls[1].message, NIM_DELETE);

    // A window hidden by other means is shown again by a reload.
    form->hide();
    form->LoadSettings();
    EXPECT_TRUE(form->isVisible());
}

TEST_F(MainWindowTest, FailedTrayIconStillHidesTheWindow) {
    tray.result = FALSE;
    Start("[Global Parameters]\nTaskTray=1\n");
    EXPECT_FALSE(form->isVisible());
    EXPECT_TRUE(form->InTaskTray);
}

TEST_F(MainWindowTest, RightClickOpensTheMenuAtTheCursorLeftClickDoesNothing) {
    Start("[Global Parameters]\nTaskTray=1\n");
    QMenu* menu = form->pmnuRClick->Menu();
    tray.cursor = {300, 200};
    ASSERT_TRUE(tray.Click(form->Handle(), 1, WM_LBUTTONDOWN));
    WaitFor([] { return false; }, 50);
    EXPECT_FALSE(menu->isVisible());

    ASSERT_TRUE(tray.Click(form->Handle(), 1, WM_RBUTTONDOWN));
    ASSERT_TRUE(WaitFor([&] { return menu->isVisible(); }));
    EXPECT_EQ(menu->pos(), QPoint(300, 200));
    menu->hide();
}

TEST_F(MainWindowTest, ExitFromTheTrayMenuRemovesTheIconBeforeTheEnd) {
    Start("[Global Parameters]\nTaskTray=1\n");
    ASSERT_EQ(tray.icons.size(), 1u);
    ASSERT_TRUE(tray.Click(form->Handle(), 1, WM_RBUTTONDOWN));
    QMenu* menu = form->pmnuRClick->Menu();
    QTimer::singleShot(0, [&] {
        WaitFor([&] { return menu->isVisible(); });
        menu->actions().last()->trigger();  // "E&xit"
    });
    Application->ShowMainForm = false;
    Application->Run();  // returns once the main window has closed
    EXPECT_TRUE(Application->Terminated);
    form.reset();  // the program's end: the window is destroyed
    EXPECT_TRUE(tray.icons.empty());
    ASSERT_FALSE(tray.calls.empty());
    EXPECT_EQ(tray.calls.back().message, NIM_DELETE);
    EXPECT_EQ(tray.calls.back().data.uID, 1u);
}

TEST_F(MainWindowTest, ClosingTheWindowEndsTheProgramWithoutTouchingTheTray) {
    Start("");
    QTimer::singleShot(0, [&] { form->close(); });
    Application->Run();
    EXPECT_TRUE(Application->Terminated);
    form.reset();
    EXPECT_TRUE(tray.calls.empty());
}

// The button and the tray menu item open the one settings dialog without
// waiting for it; a second opening only brings it forward and keeps the edits;
// its OK writes the file and the main window reloads it at once.
TEST_F(MainWindowTest, SettingsDialogOpensFromButtonAndTrayAndReloadsOnOk) {
    Start("[AccountConfig]\nCount=1\n[Account1]\nPOPServer=old.example.org\nUserName=me\n"
          "[Global Parameters]\nCheckInterval=60\nTaskTray=0\n");
    TfrmSetting dialog(form.get());
    frmSetting = &dialog;
    EXPECT_FALSE(dialog.isVisible());

    QTest::mouseClick(form->btnCallSetting, Qt::LeftButton);
    ASSERT_TRUE(dialog.isVisible()) << "shown without blocking the click";
    EXPECT_EQ(dialog.edtPop->text(), "old.example.org");
    dialog.edtPop->setText("new.example.org");

    form->pmnuRClickSettingClick(form->pmnuRClickSetting);
    EXPECT_TRUE(dialog.isVisible());
    EXPECT_EQ(dialog.edtPop->text(), "new.example.org") << "opening again does not read the file again";

    dialog.chkTaskTray->setChecked(true);
    QTest::mouseClick(dialog.btnOk, Qt::LeftButton);
    EXPECT_FALSE(dialog.isVisible());
    EXPECT_EQ(form->AccountAt(0).Server, "new.example.org") << "the main window reloaded the saved file";
    EXPECT_TRUE(form->InTaskTray);
    EXPECT_FALSE(form->isVisible());
    EXPECT_EQ(tray.icons.size(), 1u);
    frmSetting = nullptr;
}
