#include "codec/Base64.h"
#include "framework/Dialogs.h"
#include "settings/Setting.h"
#include "support/TestSupport.h"

#include <QFile>
#include <QTest>
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <map>

#include <memory>
#include <optional>
#include <utility>

using TestSupport::ReadFile;
using TestSupport::TempDir;
using TestSupport::WriteFile;

namespace {

// Stands in for the main window: the INI path, the account limit, and a
// record of the reloads (with the file as it was at each reload).
class FakeMain : public TSettingHost {
public:
    std::string GetIniPath() const override { return iniPath; }
    int GetMaxAccounts() const override { return maxAccounts; }
    void LoadSettings() override { reloads.push_back(ReadFile(iniPath)); }

    std::string iniPath;
    int maxAccounts = 20;
    std::vector<std::string> reloads;
};

std::string str(const QString& s) { return s.toLocal8Bit().toStdString(); }

// One field of every account in the dialog's copy; ports and APOP flags as
// decimal text.
template <class F>
std::vector<std::string> Column(const TfrmSetting& d, F field) {
    std::vector<std::string> out;
    for (const TAccount& a : d.Accounts) out.push_back(field(a));
    return out;
}
std::vector<std::string> AccountNames(const TfrmSetting& d) {
    return Column(d, [](const TAccount& a) { return a.AccountName; });
}
std::vector<std::string> Servers(const TfrmSetting& d) {
    return Column(d, [](const TAccount& a) { return a.Server; });
}
std::vector<std::string> Passwords(const TfrmSetting& d) {
    return Column(d, [](const TAccount& a) { return a.Password; });
}
std::vector<std::string> Ports(const TfrmSetting& d) {
    return Column(d, [](const TAccount& a) { return std::to_string(a.Port); });
}
std::vector<std::string> ApopFlags(const TfrmSetting& d) {
    return Column(d, [](const TAccount& a) { return std::to_string(a.APop); });
}

// The file an OK with no INI file and no change writes.
const char* const kDefaultFile =
    "[Account1]\nAccountName=Account1\nPOPServer=\nUserName=\nPortNumber=110\nPassword=\nAPOP=0\nSecurity=0\n"
    "Fingerprint=\nProtocol=0\nFolder=INBOX\nPasswordCommand=\nAuth=0\n"
    "\n[AccountConfig]\nCount=1\n"
    "\n[Global Parameters]\nCheckInterval=60\nLightOnEqual=1\nFlash=0\nFlashOnEqual=0\nFlashOnError=0\n"
    "AttentiveWait=1\nTaskTray=0\nKeyring=0\n"
    "\n[Siren]\nEnabled=0\nTarget1=\nTarget2=\nTarget3=\nSong1=\nSong2=\nSong3=\nSong0=\n";

class SettingDialog : public ::testing::Test {
protected:
    void SetUp() override {
        TestSupport::EscapedExceptions().clear();
        host.iniPath = dir.File("Vesk.ini");
        TDialogHooks hooks;
        hooks.confirm = [this](const std::string& text) {
            if (duringBox) duringBox();
            confirmations.push_back(text);
            return confirmAnswer;
        };
        hooks.inputQuery = [this](const std::string& caption, const std::string& prompt, std::string& value) {
            if (duringBox) duringBox();
            queries.push_back(caption + "|" + prompt + "|" + value);
            if (!inputAnswer) return false;
            value = *inputAnswer;
            return true;
        };
        hooks.showMessage = [](const std::string& text) { ADD_FAILURE() << "message box: " << text; };
        oldHooks = SetDialogHooks(hooks);
        // No keyring answers unless a test says so: a dialog for a new file
        // asks whether one does.
        keyring.Failure = "The name org.freedesktop.secrets was not provided by any .service files";
        oldKeyring = SetKeyringHost(&keyring);
    }
    void TearDown() override {
        dlg.reset();
        SetKeyringHost(oldKeyring);
        SetDialogHooks(oldHooks);
        EXPECT_TRUE(TestSupport::EscapedExceptions().empty());
        TestSupport::EscapedExceptions().clear();
    }

    TfrmSetting& Open() {
        if (!dlg) dlg = std::make_unique<TfrmSetting>(&host);
        dlg->Show();
        EXPECT_TRUE(dlg->isVisible());
        return *dlg;
    }
    // Opens the dialog and waits until it has the keyboard focus.
    TfrmSetting& OpenActive() {
        Open();
        EXPECT_TRUE(QTest::qWaitForWindowActive(dlg.get()));
        return *dlg;
    }
    void Focus(QWidget* w) {
        w->setFocus();
        EXPECT_TRUE(TestSupport::WaitFor([w] { return w->hasFocus(); })) << w->objectName().toStdString();
    }
    void TypeInto(QWidget* w, const char* text) {
        Focus(w);
        QTest::keyClick(w, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClick(w, Qt::Key_Delete);
        QTest::keyClicks(w, text);
    }
    std::vector<std::string> Items() const {
        std::vector<std::string> items;
        for (int i = 0; i < dlg->cboAccountName->count(); ++i) items.push_back(str(dlg->cboAccountName->itemText(i)));
        return items;
    }
    void Select(int index) {
        // As the user does: the account box's change handler runs only for a
        // selection by the user.
        dlg->cboAccountName->setCurrentIndex(index);
        emit dlg->cboAccountName->activated(index);
    }
    std::string Ini() const { return ReadFile(host.iniPath); }
    void WriteIni(const std::string& text) { WriteFile(host.iniPath, text); }

    TempDir dir;
    FakeMain host;
    TFakeKeyringHost keyring;
    TKeyringHost* oldKeyring = nullptr;
    std::unique_ptr<TfrmSetting> dlg;
    TDialogHooks oldHooks;
    std::vector<std::string> confirmations;
    bool confirmAnswer = true;
    std::vector<std::string> queries;
    std::optional<std::string> inputAnswer;
    // Runs while a question box is up, as the user's clicks meanwhile.
    std::function<void()> duringBox;
};

std::string ThreeAccounts() {
    std::string text = "[AccountConfig]\nCount=3\n";
    for (int n = 1; n <= 3; ++n) {
        std::string s = std::to_string(n);
        text += "[Account" + s + "]\nAccountName=Account" + s + "\nPOPServer=pop" + s + ".example\nUserName=user" +
                s + "\nPortNumber=11" + s + "\nPassword=\nAPOP=0\n";
    }
    return text;
}

}  // namespace

TEST_F(SettingDialog, FirstShowingWithoutIniFileShowsTheDefaults) {
    auto& d = Open();
    EXPECT_EQ(str(d.windowTitle()), "Zizora Duvizuv");
    EXPECT_EQ(d.pageSetting->currentWidget(), d.tbsZizaz);
    EXPECT_EQ(Items(), std::vector<std::string>{"Account1"});
    EXPECT_EQ(d.cboAccountName->currentIndex(), 0);
    EXPECT_EQ(d.AccountCount, 1);
    EXPECT_EQ(str(d.edtPop->text()), "");
    EXPECT_EQ(str(d.edtUser->text()), "");
    EXPECT_EQ(str(d.edtPassword->text()), "");
    EXPECT_EQ(d.spePort->Text(), "110");
    EXPECT_FALSE(d.chkApop->isChecked());
    EXPECT_EQ(d.speInterval->Text(), "60");
    EXPECT_TRUE(d.chkLightEqual->isChecked());
    EXPECT_TRUE(d.chkAttentiveWait->isChecked());
    for (QCheckBox* c : {d.chkFlash, d.chkFlashEqual, d.chkFlashError, d.chkTaskTray, d.chkSirenEnabled})
        EXPECT_FALSE(c->isChecked()) << str(c->text());
    EXPECT_FALSE(d.chkFlashEqual->isEnabled());
    EXPECT_FALSE(d.chkFlashError->isEnabled());
    for (QLineEdit* e : {d.edtSirenTarget1, d.edtSirenTarget2, d.edtSirenTarget3, d.edtSirenSong1, d.edtSirenSong2,
                         d.edtSirenSong3, d.edtSirenSong0}) {
        EXPECT_FALSE(e->isEnabled());
        EXPECT_EQ(str(e->text()), "");
    }
    EXPECT_TRUE(d.lblSirenTarget1->isEnabled());
    // The copy holds the one default account.
    EXPECT_EQ(Ports(d), std::vector<std::string>{"110"});
    EXPECT_EQ(ApopFlags(d), std::vector<std::string>{"0"});
    // The test program carries the program's version block.
    EXPECT_EQ(str(d.lblVerInfo->text()), "Ver. 1.10");
    // Reading creates no file.
    EXPECT_FALSE(QFile::exists(QString::fromStdString(host.iniPath)));
    // Every character of the password shows as "*".
    d.edtPassword->setText("secret");
    EXPECT_EQ(str(d.edtPassword->displayText()), "******");
}

TEST_F(SettingDialog, TabOrderAndLabelLettersMoveTheFocus) {
    auto& d = OpenActive();
    Focus(d.cboAccountName);
    const std::vector<QWidget*> zizaz = {d.btnRenameAccount, d.btnDeleteAccount, d.btnCreateAccount, d.edtPop,
                                         d.edtUser,          d.edtPassword,      d.edtPasswordCommand,
                                         d.chkApop,          d.spePort,          d.cboProtocol,      d.cboSecurity,
                                         d.edtFingerprint,   d.cboAuth,          d.speInterval,      d.btnOk,
                                         d.btnCancel};
    for (QWidget* next : zizaz) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        EXPECT_EQ(QApplication::focusWidget(), next) << str(QApplication::focusWidget()->metaObject()->className());
    }
    d.pageSetting->setCurrentWidget(d.tbsRidovivez);
    Focus(d.chkLightEqual);
    for (QWidget* next : std::initializer_list<QWidget*>{d.chkFlash, d.chkAttentiveWait, d.chkTaskTray, d.chkKeyring, d.btnOk}) {
        // The two indented boxes are disabled while "&Flash LED" is off.
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        EXPECT_EQ(QApplication::focusWidget(), next);
    }
    d.pageSetting->setCurrentWidget(d.tbsZizaz);
    Focus(d.btnOk);
    QTest::keyClick(&d, Qt::Key_U, Qt::AltModifier);
    EXPECT_EQ(QApplication::focusWidget(), d.edtUser);
    QTest::keyClick(&d, Qt::Key_G, Qt::AltModifier);
    EXPECT_EQ(QApplication::focusWidget(), d.cboAuth);
    QTest::keyClick(&d, Qt::Key_I, Qt::AltModifier);
    EXPECT_EQ(QApplication::focusWidget(), d.speInterval);
    // "POP3 Port &Number:" is linked to no control: its letter moves nothing.
    QTest::keyClick(&d, Qt::Key_N, Qt::AltModifier);
    EXPECT_EQ(QApplication::focusWidget(), d.speInterval);
}

TEST_F(SettingDialog, CreateStopsAtTheLimitAndDeleteKeepsTheLastAccount) {
    std::string text = "[AccountConfig]\nCount=20\n";
    WriteIni(text);
    auto& d = Open();
    ASSERT_EQ(Items().size(), 20u);
    d.btnCreateAccount->click();
    EXPECT_EQ(Items().size(), 20u);
    EXPECT_EQ(d.AccountCount, 20);
    EXPECT_EQ(AccountNames(d).size(), 20u);
    d.btnCancel->click();

    WriteIni("[AccountConfig]\nCount=1\n");
    Open();
    d.btnDeleteAccount->click();
    EXPECT_TRUE(confirmations.empty());
    EXPECT_EQ(Items(), std::vector<std::string>{"Account1"});

    // Creating appends AccountN with the defaults and shows it.
    d.edtPop->setText("pop.example");
    d.btnCreateAccount->click();
    EXPECT_EQ(Items(), (std::vector<std::string>{"Account1", "Account2"}));
    EXPECT_EQ(d.cboAccountName->currentIndex(), 1);
    EXPECT_EQ(str(d.edtPop->text()), "");
    EXPECT_EQ(d.spePort->Text(), "110");
    EXPECT_EQ(Servers(d), (std::vector<std::string>{"pop.example", ""}));
    EXPECT_EQ(Ports(d), (std::vector<std::string>{"110", "110"}));
    EXPECT_EQ(ApopFlags(d), (std::vector<std::string>{"0", "0"}));
}

TEST_F(SettingDialog, DeletingSelectsTheFollowingOrTheNewLastAccount) {
    WriteIni(ThreeAccounts());
    auto& d = Open();
    // Answered No: nothing changes.
    Select(1);
    confirmAnswer = false;
    d.btnDeleteAccount->click();
    ASSERT_EQ(confirmations.size(), 1u);
    EXPECT_EQ(confirmations[0], "Are you sure you want to delete 'Account2' and all of its information?");
    EXPECT_EQ(Items().size(), 3u);

    confirmAnswer = true;
    Select(2);
    d.btnDeleteAccount->click();
    EXPECT_EQ(Items(), (std::vector<std::string>{"Account1", "Account2"}));
    EXPECT_EQ(d.cboAccountName->currentIndex(), 1);
    EXPECT_EQ(str(d.edtPop->text()), "pop2.example");
    EXPECT_EQ(d.AccountCount, 2);
    d.btnCancel->click();

    Open();
    Select(0);
    d.btnDeleteAccount->click();
    EXPECT_EQ(Items(), (std::vector<std::string>{"Account2", "Account3"}));
    EXPECT_EQ(d.cboAccountName->currentIndex(), 0);
    EXPECT_EQ(str(d.edtPop->text()), "pop2.example");
    EXPECT_EQ(str(d.edtUser->text()), "user2");
    EXPECT_EQ(d.spePort->Text(), "112");
    EXPECT_EQ(Servers(d), (std::vector<std::string>{"pop2.example", "pop3.example"}));
    d.btnCancel->click();

    // Names are not compared: a new account after deleting Account2 of three
    // is a second "Account3".
    Open();
    Select(1);
    d.btnDeleteAccount->click();
    d.btnCreateAccount->click();
    EXPECT_EQ(Items(), (std::vector<std::string>{"Account1", "Account3", "Account3"}));
    EXPECT_EQ(d.cboAccountName->currentIndex(), 2);
    EXPECT_EQ(str(d.edtPop->text()), "");
    EXPECT_EQ(Ini(), ThreeAccounts());
}

// A poll cycle keeps the form usable under a question box: the user may pick
// another account before answering. The answer applies to the account the
// question named.
TEST_F(SettingDialog, DeleteAndRenameActOnTheAccountTheirQuestionNamed) {
    WriteIni(ThreeAccounts());
    auto& d = Open();
    Select(0);
    duringBox = [this] { Select(2); };
    d.btnDeleteAccount->click();
    EXPECT_EQ(Items(), (std::vector<std::string>{"Account2", "Account3"}));
    EXPECT_EQ(Servers(d), (std::vector<std::string>{"pop2.example", "pop3.example"}));

    Select(0);
    duringBox = [this] { Select(1); };
    inputAnswer = "Renamed";
    d.btnRenameAccount->click();
    EXPECT_EQ(AccountNames(d), (std::vector<std::string>{"Renamed", "Account3"}));
}

// A count typed by hand far beyond any real number of accounts: the dialog
// lists the first hundred at once (before, it read the file for every count).
TEST_F(SettingDialog, AHugeCountListsTheFirstHundredAccountsAtOnce) {
    WriteIni("[AccountConfig]\nCount=2147483647\n[Account100]\nAccountName=Hundredth\n");
    const auto start = std::chrono::steady_clock::now();
    auto& d = Open();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    ASSERT_EQ(Items().size(), 100u);
    EXPECT_EQ(Items().back(), "Hundredth");
    d.btnCancel->click();

    WriteIni("[AccountConfig]\nCount=25\n");
    Open();
    EXPECT_EQ(Items().size(), 25u);
}

TEST_F(SettingDialog, RenameTakesTheEnteredTextUnchanged) {
    WriteIni(ThreeAccounts());
    auto& d = Open();
    Select(1);
    inputAnswer.reset();
    d.btnRenameAccount->click();
    ASSERT_EQ(queries.size(), 1u);
    EXPECT_EQ(queries[0], "Rename|New name:|Account2");
    EXPECT_EQ(Items()[1], "Account2");

    inputAnswer = "Account1";
    d.btnRenameAccount->click();
    EXPECT_EQ(Items(), (std::vector<std::string>{"Account1", "Account1", "Account3"}));
    EXPECT_EQ(d.cboAccountName->currentIndex(), 1);
    Select(2);
    inputAnswer = "";
    d.btnRenameAccount->click();
    EXPECT_EQ(AccountNames(d), (std::vector<std::string>{"Account1", "Account1", ""}));
    d.btnOk->click();
    EXPECT_NE(Ini().find("[Account2]\nAccountName=Account1\n"), std::string::npos);
    EXPECT_NE(Ini().find("[Account3]\nAccountName=\n"), std::string::npos);
}

TEST_F(SettingDialog, CancelEscAndCloseBoxDiscardEditsReopeningWhileOpenKeepsThem) {
    WriteIni(ThreeAccounts());
    const std::string before = Ini();
    auto& d = OpenActive();
    d.edtPop->setText("edited.example");
    d.chkTaskTray->setChecked(true);
    d.pageSetting->setCurrentWidget(d.tbsSiren);
    // Opening again while open only brings the dialog to the front.
    d.Show();
    EXPECT_EQ(str(d.edtPop->text()), "edited.example");
    EXPECT_EQ(Servers(d)[0], "edited.example");
    EXPECT_TRUE(d.chkTaskTray->isChecked());

    d.btnCancel->click();
    EXPECT_FALSE(d.isVisible());
    EXPECT_TRUE(AccountNames(d).empty());
    EXPECT_TRUE(Servers(d).empty());
    // Controls keep their contents while hidden; the next showing reads the file.
    EXPECT_EQ(str(d.edtPop->text()), "edited.example");
    OpenActive();
    EXPECT_EQ(str(d.edtPop->text()), "pop1.example");
    EXPECT_FALSE(d.chkTaskTray->isChecked());
    // The page last shown comes back.
    EXPECT_EQ(d.pageSetting->currentWidget(), d.tbsSiren);

    d.pageSetting->setCurrentWidget(d.tbsZizaz);
    TypeInto(d.edtUser, "someone");
    QTest::keyClick(d.edtUser, Qt::Key_Escape);
    EXPECT_FALSE(d.isVisible());
    OpenActive();
    EXPECT_EQ(str(d.edtUser->text()), "user1");
    d.edtUser->setText("someone");
    d.close();  // the close box
    EXPECT_FALSE(d.isVisible());
    EXPECT_TRUE(host.reloads.empty());
    EXPECT_EQ(Ini(), before);
}

TEST_F(SettingDialog, FlashAndSirenBoxesEnableTheirDependentsAndDisabledStatesAreSaved) {
    WriteIni("[Global Parameters]\nLightOnEqual=0\nFlashOnEqual=1\n");
    auto& d = Open();
    EXPECT_FALSE(d.chkLightEqual->isChecked());
    EXPECT_TRUE(d.chkFlashEqual->isChecked());
    EXPECT_FALSE(d.chkFlashEqual->isEnabled());
    d.chkFlash->click();
    EXPECT_FALSE(d.chkFlashEqual->isEnabled());
    EXPECT_TRUE(d.chkFlashError->isEnabled());
    d.chkLightEqual->click();
    EXPECT_TRUE(d.chkFlashEqual->isEnabled());
    d.chkFlashError->click();
    d.chkFlash->click();
    EXPECT_FALSE(d.chkFlashEqual->isEnabled());
    EXPECT_FALSE(d.chkFlashError->isEnabled());

    d.chkSirenEnabled->click();
    EXPECT_TRUE(d.edtSirenSong0->isEnabled());
    d.edtSirenTarget2->setText("boss@example.org");
    d.edtSirenSong0->setText("/sounds/other.wav");
    d.chkSirenEnabled->click();
    EXPECT_FALSE(d.edtSirenTarget2->isEnabled());
    d.btnOk->click();
    const std::string ini = Ini();
    for (const char* line : {"\nLightOnEqual=1\n", "\nFlash=0\n", "\nFlashOnEqual=1\n", "\nFlashOnError=1\n"})
        EXPECT_NE(ini.find(line), std::string::npos) << line << ini;
    EXPECT_NE(ini.find("Enabled=0\nTarget1=\nTarget2=boss@example.org\nTarget3=\nSong1=\nSong2=\nSong3=\n"
                       "Song0=/sounds/other.wav\n"),
              std::string::npos)
        << ini;
}

TEST_F(SettingDialog, TypedNumbersAreBroughtIntoRangeOnLeavingAndOnEnter) {
    auto& d = OpenActive();
    TypeInto(d.spePort, "70000");
    EXPECT_EQ(Ports(d)[0], "70000");
    Focus(d.edtUser);
    EXPECT_EQ(d.spePort->Text(), "65535");
    EXPECT_EQ(Ports(d)[0], "65535");

    // Enter presses OK while the spin box still has the focus: the typed
    // number is brought into range before it is saved.
    TypeInto(d.speInterval, "5");
    QTest::keyClick(d.speInterval, Qt::Key_Return);
    EXPECT_FALSE(d.isVisible());
    EXPECT_NE(Ini().find("CheckInterval=20\n"), std::string::npos);
    EXPECT_NE(Ini().find("PortNumber=65535\n"), std::string::npos);

    OpenActive();
    TypeInto(d.spePort, "0");
    QTest::keyClick(d.spePort, Qt::Key_Enter, Qt::KeypadModifier);
    EXPECT_FALSE(d.isVisible());
    EXPECT_NE(Ini().find("PortNumber=1\n"), std::string::npos);
    EXPECT_EQ(host.reloads.size(), 2u);
}

TEST_F(SettingDialog, EnterPressesTheFocusedButtonOrOk) {
    WriteIni(ThreeAccounts());
    auto& d = OpenActive();
    Focus(d.btnCreateAccount);
    QTest::keyClick(d.btnCreateAccount, Qt::Key_Return);
    EXPECT_TRUE(d.isVisible());
    EXPECT_EQ(Items().size(), 4u);
    Focus(d.btnCancel);
    QTest::keyClick(d.btnCancel, Qt::Key_Return);
    EXPECT_FALSE(d.isVisible());
    EXPECT_EQ(Ini(), ThreeAccounts());

    OpenActive();
    TypeInto(d.edtPop, "new.example");
    QTest::keyClick(d.edtPop, Qt::Key_Return);
    EXPECT_FALSE(d.isVisible());
    EXPECT_NE(Ini().find("POPServer=new.example\n"), std::string::npos);
    ASSERT_EQ(host.reloads.size(), 1u);
}

TEST_F(SettingDialog, OkWithoutChangesWritesEveryKeyInOrder) {
    auto& d = Open();
    d.btnOk->click();
    EXPECT_EQ(Ini(), kDefaultFile);
    EXPECT_FALSE(d.isVisible());
    // The main window reloads after the whole file is written.
    ASSERT_EQ(host.reloads.size(), 1u);
    EXPECT_EQ(host.reloads[0], kDefaultFile);

    // A file the dialog wrote comes back byte for byte, and so does one with
    // comments and keys of its own; changed values are replaced in place.
    const std::string full =
        "; Vesk settings\n[AccountConfig]\nCount=2\n\n"
        "[Account1]\nAccountName=Home\nPOPServer=pop.home.example\nUserName=me\nPortNumber=995\n"
        "Password=c2VjcmV0\nAPOP=1\nSecurity=1\nFingerprint=0a:1B:2c\nNote=kept\nProtocol=0\nFolder=INBOX\n"
        "PasswordCommand=\nAuth=1\n\n"
        "[Account2]\nAccountName=Work\nPOPServer=10.0.0.2\nUserName=w\nPortNumber=110\nPassword=\nAPOP=0\n"
        "Security=2\nFingerprint=\nProtocol=1\nFolder=Archive\nPasswordCommand=cat ~/.token\nAuth=0\n\n"
        "[Global Parameters]\nCheckInterval=300\nLightOnEqual=0\nFlash=1\nFlashOnEqual=1\nFlashOnError=0\n"
        "AttentiveWait=0\nTaskTray=1\nKeyring=0\n\n"
        "[Siren]\nEnabled=1\nTarget0=zero\nTarget1=a\nTarget2=b\nTarget3=c\nTarget4=d\nTarget5=e\n"
        "Song0=/s/0.wav\nSong1=/s/1.wav\nSong2=/s/2.wav\nSong3=/s/3.wav\nSong4=/s/4.wav\nSong5=/s/5.wav\n";
    WriteIni(full);
    Open();
    EXPECT_EQ(Passwords(d)[0], "secret");
    Select(1);
    d.btnOk->click();
    EXPECT_EQ(Ini(), full);

    Open();
    d.edtSirenTarget1->setText("x@example.org");
    d.speInterval->SetValue(45);
    d.btnOk->click();
    std::string changed = full;
    changed.replace(changed.find("Target1=a"), 9, "Target1=x@example.org");
    changed.replace(changed.find("CheckInterval=300"), 17, "CheckInterval=45");
    EXPECT_EQ(Ini(), changed);
}

TEST_F(SettingDialog, AccountsAreReadAndWrittenAsTheFileHoldsThem) {
    // No AccountName: the section's name. A non-canonical password is written
    // back as the canonical text of what it decodes to. APOP=2 stays 2.
    WriteIni("[AccountConfig]\nCount=2\n[Account1]\nPOPServer=a\nPassword=QR==\nAPOP=2\n"
             "[Account2]\nAccountName=Two\nPassword=QUJD\n");
    auto& d = Open();
    EXPECT_EQ(Items(), (std::vector<std::string>{"Account1", "Two"}));
    EXPECT_EQ(Passwords(d)[0], std::string("\x41\x10", 2));
    EXPECT_TRUE(d.chkApop->isChecked());
    EXPECT_EQ(ApopFlags(d)[0], "2");
    d.btnOk->click();
    const std::string ini = Ini();
    EXPECT_NE(ini.find("[Account1]\nPOPServer=a\nPassword=QRA=\nAPOP=2\nAccountName=Account1\nUserName=\n"
                       "PortNumber=110\n"),
              std::string::npos)
        << ini;
    EXPECT_NE(ini.find("Password=QUJD\n"), std::string::npos);

    // Count=25: all listed and written back, Count stays 25.
    std::string many = "[AccountConfig]\nCount=25\n";
    for (int n = 1; n <= 25; ++n)
        many += "[Account" + std::to_string(n) + "]\nAccountName=A" + std::to_string(n) + "\nPOPServer=\n"
                "UserName=\nPortNumber=110\nPassword=\nAPOP=0\nSecurity=0\nFingerprint=\nProtocol=0\nFolder=INBOX\n"
                "PasswordCommand=\nAuth=0\n";
    WriteIni(many);
    Open();
    ASSERT_EQ(Items().size(), 25u);
    EXPECT_EQ(Items()[24], "A25");
    Select(24);
    d.edtUser->setText("last");
    d.btnCreateAccount->click();
    EXPECT_EQ(Items().size(), 25u);
    d.btnOk->click();
    std::string expected = many;
    expected.replace(expected.find("A25\nPOPServer=\nUserName="), 24, "A25\nPOPServer=\nUserName=last");
    // The options follow as new sections.
    EXPECT_EQ(Ini().substr(0, expected.size()), expected);
    EXPECT_EQ(Ini().substr(expected.size(), 22), "\n[Global Parameters]\nC");
}

TEST_F(SettingDialog, SecurityChoiceMovesTheUsualPortAndIsSavedAfterApop) {
    WriteIni("[AccountConfig]\nCount=2\n[Account1]\nPOPServer=a\nPortNumber=110\nSecurity=1\n"
             "Fingerprint=AB:cd\n[Account2]\nPOPServer=b\nPortNumber=2000\n");
    auto& d = Open();
    // Showing an account changes nothing, not even a port that does not match.
    EXPECT_EQ(d.cboSecurity->currentIndex(), 1);
    EXPECT_EQ(str(d.cboSecurity->currentText()), "SSL/TLS");
    EXPECT_EQ(str(d.edtFingerprint->text()), "AB:cd");
    EXPECT_EQ(d.spePort->Text(), "110");
    d.cboSecurity->setCurrentIndex(2);  // STARTTLS keeps 110
    EXPECT_EQ(d.spePort->Text(), "110");
    d.cboSecurity->setCurrentIndex(1);
    EXPECT_EQ(d.spePort->Text(), "995");
    d.cboSecurity->setCurrentIndex(0);
    EXPECT_EQ(d.spePort->Text(), "110");
    d.cboSecurity->setCurrentIndex(1);
    d.edtFingerprint->setText("");
    Select(1);
    EXPECT_EQ(d.cboSecurity->currentIndex(), 0);
    EXPECT_EQ(str(d.edtFingerprint->text()), "");
    d.cboSecurity->setCurrentIndex(1);  // a port of the user's own stays
    EXPECT_EQ(d.spePort->Text(), "2000");
    d.cboSecurity->setCurrentIndex(2);
    d.edtFingerprint->setText("00:11");
    d.btnOk->click();
    const std::string ini = Ini();
    EXPECT_NE(ini.find("[Account1]\nPOPServer=a\nPortNumber=995\nSecurity=1\nFingerprint=\nAccountName=Account1\n"
                       "UserName=\nPassword=\nAPOP=0\nProtocol=0\nFolder=INBOX\nPasswordCommand=\nAuth=0\n[Account2]"),
              std::string::npos)
        << ini;
    EXPECT_NE(ini.find("PortNumber=2000\nAccountName=Account2\nUserName=\nPassword=\nAPOP=0\nSecurity=2\n"
                       "Fingerprint=00:11\nProtocol=0\nFolder=INBOX\n"),
              std::string::npos)
        << ini;
}

TEST_F(SettingDialog, ASecurityThatIsNotValidIsShownAndSavedAsReadUntilAChoiceIsPicked) {
    WriteIni("[AccountConfig]\nCount=2\n[Account1]\nPOPServer=a\nPortNumber=110\nSecurity=TLS\n"
             "[Account2]\nPOPServer=b\nSecurity=2\n");
    auto& d = Open();
    auto entries = [&d] { return d.cboSecurity->count(); };
    EXPECT_EQ(str(d.cboSecurity->currentText()), "Security=TLS (not valid)");
    Select(1);
    EXPECT_EQ(entries(), 3) << "the entry is there only for an account with such a value";
    EXPECT_EQ(d.cboSecurity->currentIndex(), 2);
    Select(0);
    EXPECT_EQ(str(d.cboSecurity->currentText()), "Security=TLS (not valid)");
    d.edtPop->setText("edited");  // another field edited: the value stays
    d.btnOk->click();
    EXPECT_NE(Ini().find("[Account1]\nPOPServer=edited\nPortNumber=110\nSecurity=TLS\n"), std::string::npos) << Ini();

    Open();
    d.cboSecurity->setCurrentIndex(1);
    EXPECT_EQ(entries(), 3);
    EXPECT_EQ(d.spePort->Text(), "995");
    d.btnOk->click();
    EXPECT_NE(Ini().find("[Account1]\nPOPServer=edited\nPortNumber=995\nSecurity=1\n"), std::string::npos) << Ini();
}

// The login box: an Auth that is none of its choices is shown and saved as
// the file holds it until the user picks one.
TEST_F(SettingDialog, ALoginThatIsNotValidIsShownAndSavedAsReadUntilAChoiceIsPicked) {
    WriteIni("[AccountConfig]\nCount=2\n[Account1]\nPOPServer=a\nSecurity=1\nAuth=oauth\n"
             "[Account2]\nPOPServer=b\nSecurity=1\nAuth=2\n");
    auto& d = Open();
    EXPECT_EQ(str(d.cboAuth->currentText()), "Auth=oauth (not valid)");
    Select(1);
    EXPECT_EQ(str(d.cboAuth->currentText()), "OAUTHBEARER");
    EXPECT_EQ(d.cboAuth->count(), 3);
    Select(0);
    d.edtPop->setText("edited");
    d.btnOk->click();
    EXPECT_NE(Ini().find("\nAuth=oauth\n"), std::string::npos) << Ini();

    Open();
    d.cboAuth->setCurrentIndex(1);
    EXPECT_EQ(d.cboAuth->count(), 3);
    EXPECT_EQ(str(d.cboAuth->currentText()), "XOAUTH2");
    d.btnOk->click();
    EXPECT_NE(Ini().find("POPServer=edited\nSecurity=1\nAuth=1\n"), std::string::npos) << Ini();
    EXPECT_NE(Ini().find("POPServer=b\nSecurity=1\nAuth=2\n"), std::string::npos) << Ini();
}

// A port that is one of the usual ports of the account's protocol follows the
// protocol and security picked; any other port is the user's own and stays.
TEST_F(SettingDialog, ProtocolAndSecurityChoicesMoveOnlyAUsualPort) {
    struct Case {
        const char* port;
        const char* keys;
        QComboBox* TfrmSetting::*box;
        int pick;
        const char* moved;
    };
    const auto protocol = &TfrmSetting::cboProtocol;
    const auto security = &TfrmSetting::cboSecurity;
    const Case cases[] = {
        {"110", "", protocol, 1, "143"},
        {"995", "Security=1\n", protocol, 1, "993"},
        {"143", "Security=2\nProtocol=1\n", protocol, 0, "110"},
        {"993", "Security=1\nProtocol=1\n", protocol, 0, "995"},
        {"143", "Protocol=1\n", security, 1, "993"},
        {"993", "Security=1\nProtocol=1\n", security, 2, "143"},
        {"2000", "", protocol, 1, "2000"},
        {"110", "Protocol=1\n", security, 1, "110"},
        // A Security not valid keeps the port's side; after a Protocol not
        // valid, any usual port moves.
        {"995", "Security=TLS\n", protocol, 1, "993"},
        {"110", "Protocol=imap\n", protocol, 1, "143"},
    };
    for (const Case& c : cases) {
        WriteIni(std::string("[Account1]\nPortNumber=") + c.port + "\n" + c.keys);
        auto& d = Open();
        EXPECT_EQ(d.spePort->Text(), c.port) << "showing changes nothing";
        (d.*c.box)->setCurrentIndex(c.pick);
        EXPECT_EQ(d.spePort->Text(), c.moved) << c.port << " " << c.keys;
        EXPECT_EQ(Ports(d)[0], c.moved);
        d.btnCancel->click();
    }
}

TEST_F(SettingDialog, ImapTakesAFolderInsteadOfApopAndAProtocolNotValidIsKeptUntilOneIsPicked) {
    WriteIni("[AccountConfig]\nCount=2\n[Account1]\nPOPServer=a\nAPOP=1\n"
             "[Account2]\nPOPServer=b\nProtocol=imap\nFolder=Lists\n");
    auto& d = Open();
    auto apopAndFolder = [&d] { return std::make_pair(d.chkApop->isEnabled(), d.edtFolder->isEnabled()); };
    EXPECT_EQ(apopAndFolder(), std::make_pair(true, false));
    d.cboProtocol->setCurrentIndex(1);
    EXPECT_EQ(apopAndFolder(), std::make_pair(false, true));
    EXPECT_TRUE(d.chkApop->isChecked());
    d.edtFolder->setText(QString::fromUtf8("Archiv/Größe"));
    Select(1);
    EXPECT_EQ(str(d.cboProtocol->currentText()), "Protocol=imap (not valid)");
    EXPECT_EQ(apopAndFolder(), std::make_pair(true, false));
    EXPECT_EQ(str(d.edtFolder->text()), "Lists");
    d.edtPop->setText("edited");  // another field edited: the value stays
    d.btnOk->click();
    EXPECT_NE(Ini().find("\nFingerprint=\nProtocol=1\nFolder=Archiv/Größe\nPasswordCommand=\nAuth=0\n[Account2]\nPOPServer=edited\n"
                         "Protocol=imap\nFolder=Lists\n"),
              std::string::npos)
        << Ini();
    EXPECT_NE(Ini().find("[Account1]\nPOPServer=a\nAPOP=1\n"), std::string::npos);

    Open();
    Select(1);
    d.cboProtocol->setCurrentIndex(1);
    EXPECT_EQ(d.cboProtocol->count(), 2);
    d.edtFolder->clear();
    d.btnOk->click();
    EXPECT_NE(Ini().find("[Account2]\nPOPServer=edited\nProtocol=1\nFolder=INBOX\n"), std::string::npos) << Ini();
}

// The command is shown as the file has it, in plain sight (unlike the
// password), and saved after the folder.
TEST_F(SettingDialog, APasswordCommandIsShownAndSavedPerAccount) {
    WriteIni("[AccountConfig]\nCount=2\n[Account1]\nPOPServer=a\nPasswordCommand=cat ~/.token; true\n"
             "[Account2]\nPOPServer=b\n");
    auto& d = OpenActive();
    EXPECT_EQ(str(d.edtPasswordCommand->displayText()), "cat ~/.token; true");
    Select(1);
    EXPECT_EQ(str(d.edtPasswordCommand->text()), "");
    Focus(d.btnOk);
    QTest::keyClick(&d, Qt::Key_M, Qt::AltModifier);
    EXPECT_EQ(QApplication::focusWidget(), d.edtPasswordCommand);
    QTest::keyClicks(d.edtPasswordCommand, "oauth2-token --user b");
    d.btnOk->click();
    EXPECT_NE(Ini().find("[Account1]\nPOPServer=a\nPasswordCommand=cat ~/.token; true\n"), std::string::npos) << Ini();
    EXPECT_NE(Ini().find("\nFolder=INBOX\nPasswordCommand=oauth2-token --user b\nAuth=0\n\n[Global Parameters]"), std::string::npos)
        << Ini();
}

TEST_F(SettingDialog, PortsOutsideTheRangeAreSavedAsReadUnlessTheAccountIsEdited) {
    WriteIni("[AccountConfig]\nCount=3\n[Account1]\nPortNumber=70000\n[Account2]\nPortNumber=0\n"
             "[Account3]\nPortNumber=-5\n");
    auto& d = Open();
    EXPECT_EQ(d.spePort->Text(), "65535");
    EXPECT_EQ(Ports(d), (std::vector<std::string>{"70000", "0", "-5"}));
    Select(2);
    EXPECT_EQ(d.spePort->Text(), "1");
    d.edtPop->setText("edited");
    Select(0);
    d.btnOk->click();
    const std::string ini = Ini();
    EXPECT_NE(ini.find("[Account1]\nPortNumber=70000\n"), std::string::npos) << ini;
    EXPECT_NE(ini.find("[Account2]\nPortNumber=0\n"), std::string::npos) << ini;
    EXPECT_NE(ini.find("[Account3]\nPortNumber=1\n"), std::string::npos) << ini;
}

TEST_F(SettingDialog, LoweredCountLeavesHigherSectionsAndNewAccountsReuseThem) {
    WriteIni(ThreeAccounts());
    auto& d = Open();
    Select(2);
    d.btnDeleteAccount->click();
    d.btnOk->click();
    std::string ini = Ini();
    EXPECT_NE(ini.find("Count=2\n"), std::string::npos);
    EXPECT_NE(ini.find("[Account3]\nAccountName=Account3\nPOPServer=pop3.example\nUserName=user3\n"
                       "PortNumber=113\nPassword=\nAPOP=0\n"),
              std::string::npos)
        << ini;
    Open();
    EXPECT_EQ(Items().size(), 2u);
    d.btnCreateAccount->click();
    d.btnOk->click();
    ini = Ini();
    EXPECT_NE(ini.find("[Account3]\nAccountName=Account3\nPOPServer=\nUserName=\nPortNumber=110\nPassword=\n"
                       "APOP=0\n"),
              std::string::npos)
        << ini;
    EXPECT_NE(ini.find("Count=3\n"), std::string::npos);
}

TEST_F(SettingDialog, NoAccountsInTheFileDisablesTheAccountFieldsUntilOneIsCreated) {
    for (const char* count : {"0", "-2"}) {
        WriteIni(std::string("[AccountConfig]\nCount=") + count + "\n[Account1]\nPOPServer=old\n");
        auto& d = Open();
        EXPECT_EQ(d.AccountCount, 0) << count;
        EXPECT_TRUE(Items().empty());
        EXPECT_EQ(d.cboAccountName->currentIndex(), -1);
        for (QWidget* w : std::initializer_list<QWidget*>{d.edtPop, d.edtUser, d.edtPassword, d.chkApop, d.spePort,
                                                          d.btnRenameAccount})
            EXPECT_FALSE(w->isEnabled());
        // Nothing to rename or delete, and field changes have no account.
        d.btnRenameAccount->click();
        d.btnDeleteAccount->click();
        d.edtPop->setText("x");
        EXPECT_TRUE(queries.empty());
        EXPECT_TRUE(confirmations.empty());
        d.btnOk->click();
        EXPECT_NE(Ini().find("Count=0\n"), std::string::npos);
        EXPECT_NE(Ini().find("POPServer=old\n"), std::string::npos);

        Open();
        d.btnCreateAccount->click();
        EXPECT_EQ(Items(), std::vector<std::string>{"Account1"});
        EXPECT_TRUE(d.edtPop->isEnabled());
        EXPECT_EQ(str(d.edtPop->text()), "");
        d.edtPop->setText("new");
        d.btnOk->click();
        EXPECT_NE(Ini().find("Count=1\n"), std::string::npos);
        EXPECT_NE(Ini().find("POPServer=new\n"), std::string::npos);
    }
}

TEST_F(SettingDialog, AWriteErrorIsReportedAndTheDialogStaysOpenWithTheEdits) {
    WriteIni(ThreeAccounts());
    const QString path = QString::fromStdString(host.iniPath);
    QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::ReadGroup | QFileDevice::ReadOther);
    auto& d = Open();
    d.edtPop->setText("edited.example");
    d.btnOk->click();
    auto& escaped = TestSupport::EscapedExceptions();
    ASSERT_EQ(escaped.size(), 1u);
    EXPECT_EQ(escaped[0], host.iniPath + " に書き込めません");
    escaped.clear();
    EXPECT_TRUE(d.isVisible());
    EXPECT_TRUE(host.reloads.empty());
    EXPECT_EQ(str(d.edtPop->text()), "edited.example");
    EXPECT_EQ(Servers(d)[0], "edited.example");
    EXPECT_EQ(Ini(), ThreeAccounts());

    // Once the file can be written, OK saves the same edits.
    QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    d.btnOk->click();
    EXPECT_FALSE(d.isVisible());
    EXPECT_NE(Ini().find("POPServer=edited.example\n"), std::string::npos);
    EXPECT_EQ(host.reloads.size(), 1u);
}

TEST_F(SettingDialog, DestroyingTheDialogWhileANumberIsBeingTypedRunsNoHandler) {
    auto& d = OpenActive();
    TypeInto(d.spePort, "70000");
    ASSERT_TRUE(d.spePort->hasFocus());
    // The focus leaves the port box as the window goes: the box brings its
    // text into range, and the form's handler must not run on a half-gone form.
    dlg.reset();
    EXPECT_TRUE(host.reloads.empty());
}

namespace {

// Two accounts with passwords, and the keyring option as given.
std::string TwoAccountsWithPasswords(bool keyring) {
    std::string text = "[AccountConfig]\nCount=2\n[Global Parameters]\nKeyring=" + std::string(keyring ? "1" : "0") + "\n";
    for (int n = 1; n <= 2; ++n) {
        const std::string s = std::to_string(n);
        text += "[Account" + s + "]\nAccountName=A" + s + "\nPOPServer=pop" + s + ".example\nUserName=user" + s +
                "\nPortNumber=110\nPassword=" + (keyring ? "" : TBase64().Encode("pw" + s)) + "\n";
    }
    return text;
}

}  // namespace

// Turning the keyring on stores every password there before the file loses
// it: a failing keyring saves nothing and keeps the dialog open.
TEST_F(SettingDialog, KeyringOnStoresThePasswordsBeforeTheFileLosesThem) {
    keyring.Failure.clear();
    std::vector<std::string> messages;
    TDialogHooks hooks = SetDialogHooks({});
    hooks.showMessage = [&](const std::string& text) { messages.push_back(text); };
    SetDialogHooks(hooks);
    WriteIni(TwoAccountsWithPasswords(false));
    const std::string before = Ini();
    auto& d = Open();
    d.chkKeyring->setChecked(true);
    keyring.Failure = "Cannot create an item in a locked collection";
    d.btnOk->click();
    ASSERT_TRUE(TestSupport::WaitFor([&] { return !messages.empty(); }));
    EXPECT_EQ(messages, std::vector<std::string>{"keyring: Cannot create an item in a locked collection"});
    EXPECT_TRUE(d.isVisible());
    EXPECT_TRUE(d.btnOk->isEnabled());
    EXPECT_EQ(Ini(), before);

    keyring.Failure.clear();
    d.btnOk->click();
    ASSERT_TRUE(TestSupport::WaitFor([&] { return !d.isVisible(); }));
    EXPECT_EQ(keyring.entries, (std::map<std::string, std::string>{{"user1@pop1.example:110", "pw1"},
                                                                   {"user2@pop2.example:110", "pw2"}}));
    EXPECT_NE(Ini().find("Keyring=1"), std::string::npos);
    EXPECT_EQ(Ini().find("Password=pw"), std::string::npos);
    EXPECT_EQ(Ini().find(TBase64().Encode("pw1")), std::string::npos);
    for (int n = 1; n <= 2; ++n) EXPECT_TRUE(TSettingsFile(host.iniPath).ReadAccount(n).SecretInKeyring) << n;
}

// Turning it off asks first; Yes reads the passwords back into the file.
TEST_F(SettingDialog, KeyringOffAsksBeforeWritingThePasswordsBack) {
    keyring.Failure.clear();
    keyring.entries = {{"user1@pop1.example:110", "pw1"}, {"user2@pop2.example:110", "pw2"}};
    WriteIni(TwoAccountsWithPasswords(true));
    const std::string before = Ini();
    auto& d = Open();
    EXPECT_TRUE(d.chkKeyring->isChecked());
    d.chkKeyring->setChecked(false);
    confirmAnswer = false;
    d.btnOk->click();
    EXPECT_EQ(confirmations,
              std::vector<std::string>{"Write the passwords kept in the desktop keyring back into the settings file?"});
    EXPECT_TRUE(d.isVisible());
    EXPECT_EQ(Ini(), before);

    confirmAnswer = true;
    d.btnOk->click();
    ASSERT_TRUE(TestSupport::WaitFor([&] { return !d.isVisible(); }));
    const TSettingsFile file(host.iniPath);
    EXPECT_FALSE(file.ReadGlobalOptions().Keyring);
    EXPECT_EQ(file.ReadAccount(1).Password, "pw1");
    EXPECT_EQ(file.ReadAccount(2).Password, "pw2");
}

// A dialog for a file that does not exist yet ticks the keyring option when
// a keyring answers; a keyring that does not answer, a file that exists (it
// keeps meaning what it says) or the user's own click leave it as it was.
TEST_F(SettingDialog, TheKeyringOptionIsOnForANewFileWhenAKeyringAnswers) {
    struct Case {
        const char* name;
        bool fileExists, keyringAnswers, userClicks, ticked;
    } cases[] = {
        {"new file, keyring answers", false, true, false, true},
        {"new file, no keyring", false, false, false, false},
        {"file without the key", true, true, false, false},
        {"the user clicked first", false, true, true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        dlg.reset();
        std::remove(host.iniPath.c_str());
        if (c.fileExists) WriteIni("[AccountConfig]\nCount=0\n");
        if (c.keyringAnswers) keyring.Failure.clear();
        const int reads = keyring.reads;
        auto& d = Open();
        if (c.userClicks) {
            d.chkKeyring->click();
            d.chkKeyring->click();
        }
        TestSupport::WaitFor([&] { return d.chkKeyring->isChecked(); }, 300);
        EXPECT_EQ(d.chkKeyring->isChecked(), c.ticked);
        EXPECT_EQ(keyring.reads - reads, c.fileExists ? 0 : 1);
        EXPECT_TRUE(keyring.entries.empty()) << "asking stores nothing";
        keyring.Failure = "no keyring";
    }
}

// An edit of an account's user, server or port moves its keyring entry with
// it; turning the keyring off then reads the password from where it was.
TEST_F(SettingDialog, AnEditedKeyFollowsTheAccountsKeyringEntry) {
    keyring.Failure.clear();
    keyring.entries = {{"user1@pop1.example:110", "pw1"}, {"user2@pop2.example:110", "pw2"}};
    WriteIni(TwoAccountsWithPasswords(true));
    auto& d = Open();
    d.edtPop->setText("mail1.example");
    d.btnOk->click();
    ASSERT_TRUE(TestSupport::WaitFor([&] { return !d.isVisible(); }));
    EXPECT_EQ(keyring.entries["user1@mail1.example:110"], "pw1");
    EXPECT_EQ(keyring.writes, 1) << "the unchanged account's entry is left alone";
    EXPECT_TRUE(TSettingsFile(host.iniPath).ReadAccount(1).Password.empty());

    Open();
    Select(1);
    d.edtUser->setText("someone");
    d.chkKeyring->setChecked(false);
    d.btnOk->click();
    ASSERT_TRUE(TestSupport::WaitFor([&] { return !d.isVisible(); }));
    const TSettingsFile file(host.iniPath);
    EXPECT_EQ(file.ReadAccount(1).Password, "pw1");
    EXPECT_EQ(file.ReadAccount(2).Password, "pw2");
    EXPECT_EQ(file.ReadAccount(2).UserName, "someone");
}
