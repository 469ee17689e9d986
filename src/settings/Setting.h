// The settings dialog "Zizora Duvizuv": the accounts, the poll interval, the
// LED and tray options and the siren's targets and sounds.
//
// The dialog is created once, hidden, and lives as long as the program;
// closing it only hides it. Each time it becomes visible it reads the INI
// file into a copy of its own (ReadSettings); the user edits that copy and
// the option controls; OK writes everything back (WriteSettings), makes the
// main window reload the file and hides the dialog; with the keyring option
// on, OK first stores every password of the copy in the desktop keyring and
// writes the file only once all are stored (a keyring that fails shows
// "keyring: <reason>" and leaves the dialog open with its edits); turning the
// option off asks before the keyring's passwords are read back into the
// file. Cancel, Esc and the close
// box hide it without writing.
#pragma once

#include "framework/Application.h"
#include "framework/SpinEdit.h"
#include "platform/Keyring.h"
#include "settings/SettingsFile.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>

#include <functional>
#include <memory>
#include <string>
#include <vector>

// What the dialog needs of the main window.
class TSettingHost {
public:
    virtual ~TSettingHost() = default;
    // The INI file the dialog reads and writes.
    virtual std::string GetIniPath() const = 0;
    // The most accounts the user may create.
    virtual int GetMaxAccounts() const = 0;
    // Reloads the settings after the dialog has saved them.
    virtual void LoadSettings() = 0;
};

class TfrmSetting : public TForm {
public:
    explicit TfrmSetting(TSettingHost* host, QWidget* parent = nullptr);
    ~TfrmSetting() override;

    // Shows the dialog without waiting for it. When it is already visible it
    // is only brought to the front; the settings are not read again.
    void Show();
    // Hides the dialog (FormClose runs first).
    void Close();

    // Controls.
    QTabWidget* pageSetting;
    QWidget* tbsZizaz;
    QWidget* tbsRidovivez;
    QWidget* tbsSiren;
    QPushButton* btnOk;
    QPushButton* btnCancel;
    QLabel* lblVerInfo;

    QComboBox* cboAccountName;
    QPushButton* btnRenameAccount;
    QPushButton* btnDeleteAccount;
    QPushButton* btnCreateAccount;
    QLabel* lblPop;
    QLineEdit* edtPop;
    QCheckBox* chkApop;
    QLabel* lblPort;
    TSpinEdit* spePort;
    QLabel* lblUser;
    QLineEdit* edtUser;
    QLabel* lblPassword;
    QLineEdit* edtPassword;
    QLabel* lblPasswordCommand;
    // A command whose first line of output is the secret; when set it wins
    // over the password.
    QLineEdit* edtPasswordCommand;
    QLabel* lblProtocol;
    // POP3, IMAP: the account's Protocol 0, 1; while the account shown has a
    // Protocol that is neither, a third entry "Protocol=<value> (not valid)"
    // shows it and is selected.
    QComboBox* cboProtocol;
    QLabel* lblFolder;
    // The folder an IMAP account watches; disabled for any other account.
    QLineEdit* edtFolder;
    QLabel* lblSecurity;
    // None, SSL/TLS, STARTTLS: the account's Security 0, 1, 2; while the
    // account shown has a Security that is none of them, a fourth entry
    // "Security=<value> (not valid)" shows it and is selected.
    QComboBox* cboSecurity;
    QLabel* lblFingerprint;
    QLineEdit* edtFingerprint;
    QLabel* lblAuth;
    // Password, XOAUTH2, OAUTHBEARER: the account's Auth 0, 1, 2; while the
    // account shown has an Auth that is none of them, a fourth entry
    // "Auth=<value> (not valid)" shows it and is selected.
    QComboBox* cboAuth;
    QLabel* lblInterval;
    TSpinEdit* speInterval;

    QCheckBox* chkLightEqual;
    QCheckBox* chkFlash;
    QCheckBox* chkFlashEqual;
    QCheckBox* chkFlashError;
    QCheckBox* chkAttentiveWait;
    QCheckBox* chkTaskTray;
    // Key Keyring: passwords in the desktop keyring instead of the file.
    QCheckBox* chkKeyring;

    QCheckBox* chkSirenEnabled;
    QLabel* lblSirenTarget1;
    QLineEdit* edtSirenTarget1;
    QLabel* lblSirenSong1;
    QLineEdit* edtSirenSong1;
    QLabel* lblSirenTarget2;
    QLineEdit* edtSirenTarget2;
    QLabel* lblSirenSong2;
    QLineEdit* edtSirenSong2;
    QLabel* lblSirenTarget3;
    QLineEdit* edtSirenTarget3;
    QLabel* lblSirenSong3;
    QLineEdit* edtSirenSong3;
    QLabel* lblSirenSong0;
    QLineEdit* edtSirenSong0;

    // The dialog's copy of the account table: entry i is item i of
    // cboAccountName. AccountCount is the number of accounts in the copy
    // (ClearAccountCopy empties the entries and leaves it as it was).
    int AccountCount = 0;
    std::vector<TAccount> Accounts;

    // Operations.
    void ShowAccount();
    void UpdateFlashOptions();
    void UpdateSirenFields();
    void ClearAccountCopy();
    void ReadSettings();
    void WriteSettings();
    // Writes the settings, makes the main window reload them and closes.
    void SaveAndClose();

    // Event handlers.
    void FormCreate(TObject* Sender);
    void FormShow(TObject* Sender);
    void FormClose(TObject* Sender);
    void btnOkClick(TObject* Sender);
    void btnCancelClick(TObject* Sender);
    void cboAccountNameChange(TObject* Sender);
    void edtPopChange(TObject* Sender);
    void edtUserChange(TObject* Sender);
    void edtPasswordChange(TObject* Sender);
    void edtPasswordCommandChange(TObject* Sender);
    void spePortChange(TObject* Sender);
    void chkApopClick(TObject* Sender);
    // The protocol and security choices also move a port that is one of the
    // usual ones (110, 995, 143, 993) to the usual port of the new choice.
    void cboProtocolChange(TObject* Sender);
    void edtFolderChange(TObject* Sender);
    void cboSecurityChange(TObject* Sender);
    void edtFingerprintChange(TObject* Sender);
    void cboAuthChange(TObject* Sender);
    void chkFlashClick(TObject* Sender);
    void chkLightEqualClick(TObject* Sender);
    void chkSirenEnabledClick(TObject* Sender);
    void btnCreateAccountClick(TObject* Sender);
    void btnRenameAccountClick(TObject* Sender);
    void btnDeleteAccountClick(TObject* Sender);

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    // The selected account's index when the copy has an entry for it, else -1.
    int SelectedAccount() const;
    // The selected account's index when a field change comes from the user
    // (not from ShowAccount), else -1.
    int EditedAccount() const;
    // True while the dialog's copy still has `count` accounts and the one at
    // index i is still called `name`: what a question box named is still there.
    bool SameAccountAt(int i, size_t count, const std::string& name) const;
    // Applies `edit` (none: only the port) to the account being edited and
    // stores the port on display with it.
    void StoreEdit(const std::function<void(TAccount&)>& edit);
    void EnableAccountFields(bool on);
    // Selects the account's Security in the security box (None for no
    // account), adding the entry of a value that is not valid.
    void ShowSecurity(const TAccount* account);
    // The same for the protocol box (POP3 for no account).
    void ShowProtocol(const TAccount* account);
    // The same for the login box (Password for no account).
    void ShowAuth(const TAccount* account);
    // APOP is for POP3 accounts and the folder for IMAP ones: each is enabled
    // only while the protocol box shows its protocol for an account.
    void EnableProtocolFields();

    // What a keyring round does for one account of the copy: store its
    // password under its key; copy the entry it had when the file was read
    // to its key (user, server or port were edited); or read that entry's
    // password back into the copy.
    enum class TKeyringStep { Store, Copy, ReadBack };
    struct TKeyringTask {
        size_t account;
        TKeyringStep step;
    };
    // Runs `tasks` against the keyring, then saves and closes; the dialog
    // waits meanwhile with its pages disabled.
    void KeyringRound(const std::vector<TKeyringTask>& tasks);
    void KeyringAnswer(unsigned run, const TKeyringTask& task, const TKeyringResult& result);
    // Ends a keyring round: its answers still to come are ignored.
    void EndKeyringRound();
    // For a file that does not exist yet: asks the keyring for an entry that
    // is never there, and ticks the keyring option when it answers at all,
    // unless the user has set the option meanwhile.
    void ProbeKeyring();

    TSettingHost* FHost;
    bool FShowing = false;
    // The Keyring option as the file had it.
    bool FKeyringInFile = false;
    // The keyring round under way: its number, the answers it still awaits,
    // its first failure.
    unsigned FKeyringRun = 0;
    size_t FKeyringPending = 0;
    std::string FKeyringError;
    // The probe of the dialog's current showing (ended by FormClose) and
    // whether the user has clicked the keyring option since it started.
    unsigned FKeyringProbe = 0;
    bool FKeyringClicked = false;
    // Lives as long as the dialog: a keyring answer after its end is dropped.
    std::shared_ptr<int> FAlive = std::make_shared<int>(0);
};

extern TfrmSetting* frmSetting;
