// The main window: start-up, the tray icon and its menu, the settings loaded
// from the INI file and the account table that the poll cycle works on.
#pragma once

#include "app/CycleReport.h"
#include "check/FromCache.h"
#include "check/PushWatch.h"
#include "app/TrayWatch.h"
#include "app/TrayIcons.h"
#include "signals/SlLed.h"
#include "framework/Application.h"
#include "framework/Menus.h"
#include "framework/Timer.h"
#include "platform/ShellApi.h"
#include "platform/SystemWake.h"
#include "pop3/Pop3Prot.h"
#include "settings/Setting.h"
#include "settings/SettingsFile.h"

#include <QLabel>
#include <QPushButton>

#include <memory>
#include <ostream>
#include <set>
#include <string>
#include <vector>

constexpr UINT WM_TRAYNOTIFY = WM_USER + 100;  // 0x464, the tray icon's callback message

class TfrmMain : public TForm, public TSettingHost {
public:
    // `exePath` names the executable the INI path is derived from; empty means
    // the running program.
    explicit TfrmMain(QWidget* parent = nullptr, std::string exePath = {});
    ~TfrmMain() override;

    // Controls and components.
    QPushButton* btnCallSetting;
    // The free area above the button: one line per checked account and the
    // time of the last check, as the tray icon's tooltip shows them.
    QLabel* lblStatus;
    TTimer* tmrMain;
    TPopupMenu* pmnuRClick;
    TMenuItem* pmnuRClickSetting;
    TMenuItem* pmnuRClickSep0;
    TMenuItem* pmnuRClickExit;
    TSyncPop3Cli* pop3Main;

    // Settings and state.
    std::string IniPath;
    int MaxAccounts = 0;
    int AccountCount = 0;
    bool LightOnEqual = false;
    bool Flash = false;
    bool FlashOnEqual = false;
    bool FlashOnError = false;
    bool AttentiveWait = false;
    bool SirenEnabled = false;
    bool InTaskTray = false;
    bool NotifyEnabled = false;  // Global Parameters / Notify
    // The From lines of the latest cycle, one per message read (newest
    // first within an account), each ended by a line feed: what the siren
    // matches.
    std::string FromLines;
    // The From values read so far, by account and unique id; kept for the
    // program's life so that a cycle sends TOP only for mail it has not seen.
    TFromCache FromCache;
    NOTIFYICONDATAA TrayIconData{};

    // Account table: position p (0-based) belongs to section Account<p+1>.
    // The account at p as the file has it; an empty record past the end.
    const TAccount& AccountAt(int p) const;
    int GetMessageCount(int p) const;
    // Why the account's check failed in the latest poll cycle (the check's
    // reason); empty when it was checked, skipped, or not yet.
    std::string GetAccountError(int p) const;
    // The account's display name (AccountName; its section's name by default).
    std::string GetAccountName(int p) const;
    void SetMessageCount(int p, int value);
    void ClearAccounts();
    void ClearMessageCounts();
    void SetAccountCount(int n);

    void LoadSettings() override;
    void SetTaskTray(bool on);
    void AddTrayIcon();
    void RemoveTrayIcon();
    void TrayNotify(TMessage& message);

    // Event handlers.
    void FormCreate(TObject* Sender);
    void FormDestroy(TObject* Sender);
    void btnCallSettingClick(TObject* Sender);
    void pmnuRClickSettingClick(TObject* Sender);
    void pmnuRClickExitClick(TObject* Sender);
    void tmrMainTimer(TObject* Sender);

    // Checks the account at position p with one account check over pop3Main,
    // waiting for it: takes the message count (SetMessageCount) and, with the
    // siren on, appends the From lines it read to FromLines. False when a step
    // failed: the reason is kept (GetAccountError).
    bool CheckAccount(int p);

    // Push: an IMAP account whose server can push is held open by a watch
    // (one per position, started when the settings are loaded); the poll
    // cycle leaves it alone and takes its last result, and a result the
    // watch reports decides the LED, status, notification and siren at once.
    // The watch at p, or null.
    TPushWatch* PushWatchAt(int p) const;
    // Connects every push account again and checks every other one now (the
    // machine woke up, the network came back: SystemWake says so).
    void WakeUp();
    TSystemWake& SystemWake() { return *FSystemWake; }

    // The status of the latest poll cycle: one line per checked account
    // ("Home: 3 messages", "Work: login failed: <reason>") and the time of the
    // check; empty before the first cycle.
    const std::vector<std::string>& StatusLines() const { return FStatusLines; }
    // The tray icon's tooltip: "Vesk", then the status lines.
    std::string TrayTip() const;
    // What the tray icon shows: no mail, mail waiting, or a failed check.
    TTrayState TrayState() const { return FTrayState; }
    // Where the one-line reports of failing and recovering accounts go
    // ("Vesk: <AccountName>: <reason>", "Vesk: <AccountName>: checked again").
    std::ostream* StatusOutput;

    // What the settings dialog reads of the main window.
    std::string GetIniPath() const override { return IniPath; }
    int GetMaxAccounts() const override { return MaxAccounts; }

    // The INI path for an executable at `exePath`: Vesk.exe reads Vesk.ini,
    // and a name without ".exe" gets ".ini" appended (Vesk reads Vesk.ini).
    static std::string IniPathOf(const std::string& exePath);

protected:
    void WndProc(TMessage& message) override;

private:
    // The check of account p as the cycle records it.
    TCycleAccount CheckedAccount(int p);
    // Account p as its push watch last found it (for the cycle).
    TCycleAccount PushedAccount(int p);
    // Starts, keeps or ends the push watches as the loaded settings say.
    void SyncPushWatches();
    // A watch reported a result for account p.
    void PushResult(int p);
    // The LED, status, notification and siren for the accounts as they stand
    // now, with the news of the `pushed` accounts as the only new mail.
    void DecideNow(const std::set<int>& pushed);
    // The end of a cycle: status, notification, siren, LED.
    void FinishCycle(const TCycleResult& cycle, TSlLed& led);
    // Checks account p (CheckAccount) and gives its whole result.
    TCheckResult RunCheck(int p);
    // The message counts of positions 0 to AccountCount - 1.
    std::vector<int> MessageCountsByPosition() const;
    // Writes a line to StatusOutput when the account's outcome differs from
    // the one last reported for its position.
    void ReportAccountChange(int p, bool checked);
    // Shows the cycle's outcome in the window, the tray icon and its tooltip.
    void ShowStatus(const TCycleResult& cycle);
    // Puts the current icon state and tooltip on the tray icon.
    void UpdateTrayIcon();
    // The siren plays for the From lines when no account failed and mail waits.
    void SoundSiren(const TCycleResult& cycle);
    // Sets or blinks the LED as DecideLed says for the cycle.
    void SignalLed(TSlLed& led, const TCycleResult& cycle);

    std::string FExePath;
    TTrayWatch FTrayWatch;
    // The accounts of the file; entries grown by a store are empty and zero,
    // positions past the end read as a section without keys.
    std::vector<TAccount> FAccounts;
    // Results of the latest poll cycle by position; they outlive a reload.
    std::vector<int> FMessageCounts;
    std::vector<std::string> FAccountErrors;
    // The failure last reported on the error output, by position; empty while
    // the account works (or never failed).
    std::vector<std::string> FReportedErrors;
    std::vector<std::string> FStatusLines;
    // The counts the running cycle began with, by position.
    std::vector<int> FCyclePrevious;
    // Where each IMAP folder stood at its last good check, by position.
    std::vector<TMailboxMark> FMailboxMarks;
    // Each account's last result, by position (From lines included).
    std::vector<TCheckResult> FLastResults;
    std::vector<std::unique_ptr<TPushWatch>> FPushWatches;
    std::unique_ptr<TSystemWake> FSystemWake;
    bool FCycleRunning = false;
    // Accounts whose push results wait for their decision (one for all of
    // them: posted, or at the end of a running cycle).
    std::set<int> FPushed;
    bool FDecisionPosted = false;
    TTrayState FTrayState = tsNoMail;
};

extern TfrmMain* frmMain;
