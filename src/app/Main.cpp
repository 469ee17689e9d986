#include "app/Main.h"

#include "app/IniLocation.h"
#include "app/LedDecision.h"
#include "platform/AsciiText.h"
#include "platform/Notify.h"
#include "signals/Siren.h"
#include "signals/SlLed.h"

#include <QCoreApplication>
#include <QTime>
#include <QTimer>

#include <algorithm>
#include <cstring>
#include <iostream>

TfrmMain* frmMain = nullptr;

namespace {

// Stores `value` at p, growing `v` with empty entries to reach p.
template <class T>
void StoreAt(std::vector<T>& v, int p, T value) {
    if (p < 0) return;
    if (static_cast<size_t>(p) >= v.size()) v.resize(static_cast<size_t>(p) + 1, T{});
    v[static_cast<size_t>(p)] = std::move(value);
}

template <class T>
T ValueAt(const std::vector<T>& v, int p, T def) {
    return p >= 0 && static_cast<size_t>(p) < v.size() ? v[static_cast<size_t>(p)] : def;
}

// Switches a timer on when it goes out of scope, however the scope is left.
class TTimerRearm {
public:
    explicit TTimerRearm(TTimer* timer) : FTimer(timer) {}
    ~TTimerRearm() { FTimer->SetEnabled(true); }
    TTimerRearm(const TTimerRearm&) = delete;
    TTimerRearm& operator=(const TTimerRearm&) = delete;

private:
    TTimer* FTimer;
};

}  // namespace

TfrmMain::TfrmMain(QWidget* parent, std::string exePath) : TForm(parent), FExePath(std::move(exePath)) {
    setWindowTitle("Vesk");
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
    SetFixedClientSize(250, 154);
    if (Application && Application->Icon) setWindowIcon(IconOfHandle(Application->Icon));

    btnCallSetting = new QPushButton(QString::fromUtf8("&make up Vesk"), this);
    btnCallSetting->setGeometry(115, 122, 123, 20);
    QObject::connect(btnCallSetting, &QPushButton::clicked, [this] { Guard([this] { btnCallSettingClick(this); }); });

    lblStatus = new QLabel(this);
    lblStatus->setGeometry(8, 6, 234, 110);
    lblStatus->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    lblStatus->setWordWrap(true);
    lblStatus->setTextFormat(Qt::PlainText);
    StatusOutput = &std::cerr;

    tmrMain = new TTimer(this);
    tmrMain->SetInterval(60000);
    tmrMain->SetEnabled(true);
    tmrMain->OnTimer = [this](TObject* s) { tmrMainTimer(s); };

    pmnuRClick = new TPopupMenu(this);
    pmnuRClickSetting = pmnuRClick->Add("&make up Vesk");
    pmnuRClickSep0 = pmnuRClick->Add("-");
    pmnuRClickExit = pmnuRClick->Add("E&xit");
    pmnuRClickSetting->OnClick = [this](TObject* s) { pmnuRClickSettingClick(s); };
    pmnuRClickExit->OnClick = [this](TObject* s) { pmnuRClickExitClick(s); };

    pop3Main = new TSyncPop3Cli(this);
    pop3Main->LocalAddr = "0.0.0.0";
    pop3Main->Port = "pop3";
    pop3Main->MsgLines = 0;
    pop3Main->MsgNum = 0;
    pop3Main->Timeout = kSilenceLimitSeconds;
    pop3Main->MultiThreaded = false;

    FSystemWake = std::make_unique<TSystemWake>();
    FSystemWake->OnWake = [this](const std::string&) {
        // From the event loop: the wake comes from inside a bus handler.
        QTimer::singleShot(0, this, [this] { Guard([this] { WakeUp(); }); });
    };

    CenterOnScreen();
    FormCreate(this);
}

TfrmMain::~TfrmMain() {
    FormDestroy(this);
    delete pop3Main;
    delete pmnuRClick;
    delete tmrMain;
    if (frmMain == this) frmMain = nullptr;
}

std::string TfrmMain::IniPathOf(const std::string& exePath) { return IniBesideExecutable(exePath); }

void TfrmMain::FormCreate(TObject*) {
    InTaskTray = false;
    if (FExePath.empty()) FExePath = QCoreApplication::applicationFilePath().toLocal8Bit().toStdString();
    IniPath = ChooseIniPath(FExePath, IniOption());
    SirenEnabled = false;
    MaxAccounts = kMaxCheckedAccounts;
    LoadSettings();
}

void TfrmMain::FormDestroy(TObject*) {
    FPushWatches.clear();
    FSystemWake.reset();
    // A connection still open is told goodbye without waiting for the answer.
    if (pop3Main->Connected()) Guard([this] { pop3Main->Quit(); });
    if (InTaskTray) RemoveTrayIcon();
}

const TAccount& TfrmMain::AccountAt(int p) const {
    static const TAccount none{};
    return p >= 0 && static_cast<size_t>(p) < FAccounts.size() ? FAccounts[static_cast<size_t>(p)] : none;
}

int TfrmMain::GetMessageCount(int p) const { return ValueAt(FMessageCounts, p, 0); }
std::string TfrmMain::GetAccountError(int p) const { return ValueAt(FAccountErrors, p, std::string()); }
std::string TfrmMain::GetAccountName(int p) const {
    const std::string& name = AccountAt(p).AccountName;
    return name.empty() ? AccountSection(p + 1) : name;
}

void TfrmMain::SetMessageCount(int p, int value) { StoreAt(FMessageCounts, p, value); }

void TfrmMain::ClearAccounts() { FAccounts.clear(); }

void TfrmMain::ClearMessageCounts() { FMessageCounts.clear(); }

void TfrmMain::SetAccountCount(int n) {
    // A negative count in the file means no accounts.
    AccountCount = std::max(0, std::min(n, MaxAccounts));
}

void TfrmMain::LoadSettings() {
    const TSettingsFile file(IniPath);
    ClearAccounts();
    SetAccountCount(file.ReadAccountCount());
    FAccounts.resize(static_cast<size_t>(AccountCount));
    for (int n = 1; n <= AccountCount; ++n) FAccounts[static_cast<size_t>(n - 1)] = file.ReadAccount(n);
    const TGlobalOptions options = file.ReadGlobalOptions();
    // Seconds to milliseconds. An interval longer than the timer can count
    // (INT32_MAX ms, about 24.8 days) is clamped to that; 0 or a negative
    // one stops the timer.
    const long long interval = static_cast<long long>(options.CheckInterval) * 1000;
    tmrMain->SetInterval(static_cast<int>(std::clamp<long long>(interval, 0, INT32_MAX)));
    LightOnEqual = options.LightOnEqual;
    Flash = options.Flash;
    FlashOnEqual = options.FlashOnEqual;
    FlashOnError = options.FlashOnError;
    AttentiveWait = options.AttentiveWait;
    NotifyEnabled = options.Notify;
    SetTaskTray(options.TaskTray);
    SirenEnabled = file.ReadSirenOptions().Enabled;
    SyncPushWatches();
}

TPushWatch* TfrmMain::PushWatchAt(int p) const {
    return p >= 0 && static_cast<size_t>(p) < FPushWatches.size() ? FPushWatches[static_cast<size_t>(p)].get()
                                                                   : nullptr;
}

void TfrmMain::SyncPushWatches() {
    const int count = std::min(AccountCount, kMaxCheckedAccounts);
    if (FPushWatches.size() > static_cast<size_t>(count)) FPushWatches.resize(static_cast<size_t>(count));
    FPushWatches.resize(static_cast<size_t>(count));
    for (int p = 0; p < count; ++p) {
        const TAccount& account = AccountAt(p);
        std::unique_ptr<TPushWatch>& watch = FPushWatches[static_cast<size_t>(p)];
        const bool wanted = account.Protocol == static_cast<int>(TProtocol::Imap) && !account.Server.empty() &&
                            !account.UserName.empty() && AccountSettingsError(account).empty();
        if (!wanted) {
            watch.reset();
            continue;
        }
        TCheckTarget target = CheckTargetOf(account, GetAccountName(p), SirenEnabled);
        // A watch of the same mailbox, login and security goes on as it is;
        // only whether it reads From lines follows the new settings.
        if (watch) {
            const TCheckTarget& held = watch->Target();
            if (held.Server == target.Server && held.Port == target.Port && held.UserName == target.UserName &&
                held.Secret == target.Secret && held.PasswordCommand == target.PasswordCommand &&
                held.Security == target.Security &&
                held.Fingerprint == target.Fingerprint && held.Folder == target.Folder) {
                watch->SetWantFrom(target.WantFrom);
                continue;
            }
        }
        target.PreviousCount = GetMessageCount(p);
        target.PreviousMark = ValueAt(FMailboxMarks, p, TMailboxMark{});
        watch = std::make_unique<TPushWatch>(target, &FromCache, p);
        watch->SilenceLimit = pop3Main->Timeout;
        watch->OnResult = [this, p](const TCheckResult&) { PushResult(p); };
        watch->Start();
    }
}

void TfrmMain::WakeUp() {
    for (const auto& watch : FPushWatches)
        if (watch) watch->Reconnect();
    if (!FCycleRunning) tmrMainTimer(tmrMain);
}

void TfrmMain::SetTaskTray(bool on) {
    on = FTrayWatch.Follow(on, [this] { SetTaskTray(true); });
    if (on != InTaskTray) {
        InTaskTray = on;
        if (on) {
            AddTrayIcon();
            hide();
        } else {
            show();
            RemoveTrayIcon();
        }
    }
    if (!on && !isVisible()) show();
}

void TfrmMain::AddTrayIcon() {
    std::memset(&TrayIconData, 0, sizeof TrayIconData);
    TrayIconData.cbSize = sizeof TrayIconData;
    TrayIconData.hWnd = Handle();
    TrayIconData.uID = 1;
    TrayIconData.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    TrayIconData.uCallbackMessage = WM_TRAYNOTIFY;
    TrayIconData.hIcon = TrayStateIconHandle(FTrayState);
    std::strncpy(TrayIconData.szTip, "Vesk", sizeof TrayIconData.szTip);
    Shell_NotifyIconA(NIM_ADD, &TrayIconData);
    if (!FStatusLines.empty()) SetNotifyIconTip(TrayIconData.hWnd, TrayIconData.uID, TrayTip());
}

void TfrmMain::UpdateTrayIcon() {
    if (!InTaskTray) return;
    TrayIconData.hIcon = TrayStateIconHandle(FTrayState);
    Shell_NotifyIconA(NIM_MODIFY, &TrayIconData);
    SetNotifyIconTip(TrayIconData.hWnd, TrayIconData.uID, TrayTip());
}

std::string TfrmMain::TrayTip() const { return TrayTipOf(FStatusLines); }

void TfrmMain::RemoveTrayIcon() { Shell_NotifyIconA(NIM_DELETE, &TrayIconData); }

void TfrmMain::TrayNotify(TMessage& message) {
    POINT p;
    GetCursorPos(&p);
    if (message.LParam == WM_RBUTTONDOWN) pmnuRClick->Popup(p.x, p.y);
}

void TfrmMain::WndProc(TMessage& message) {
    if (message.Msg == WM_TRAYNOTIFY)
        TrayNotify(message);
    else
        TForm::WndProc(message);
}

// The settings dialog is shown without waiting for it; when it is open
// already it only comes to the front, keeping the user's edits.
void TfrmMain::btnCallSettingClick(TObject*) {
    if (frmSetting) frmSetting->Show();
}

void TfrmMain::pmnuRClickSettingClick(TObject*) {
    if (frmSetting) frmSetting->Show();
}

void TfrmMain::pmnuRClickExitClick(TObject*) { close(); }

// One poll cycle as its steps over one cycle result: snapshot, check each
// account, status, notification, siren, LED, re-arm. The timer stays off
// while the cycle runs, so cycles never nest; the checks process messages, so
// menus, the settings dialog and Exit work meanwhile. Each account is read
// from the table when its turn comes: settings saved during the cycle apply
// to the accounts that follow.
void TfrmMain::tmrMainTimer(TObject*) {
    tmrMain->SetEnabled(false);
    const TTimerRearm rearm(tmrMain);  // after the LED signaller is released
    TSlLed led;
    led.FlashEnabled = Flash;
    led.AttentiveWait = AttentiveWait;
    if (SirenEnabled) FromLines.clear();

    // A reload during the cycle may change the number of accounts: positions
    // the snapshot does not cover had no mail before.
    TCycleResult cycle;
    cycle.Previous = MessageCountsByPosition();
    FCyclePrevious = cycle.Previous;
    ClearMessageCounts();
    FAccountErrors.clear();
    FCycleRunning = true;

    for (int p = 0; p < AccountCount; ++p) {
        // An account without server or user name is skipped, which is no failure.
        if (!AccountAt(p).Server.empty() && !AccountAt(p).UserName.empty()) {
            TPushWatch* watch = PushWatchAt(p);
            if (watch && watch->Holding()) {
                // Held open for push: no second connection; as it stands.
                TCycleAccount held = PushedAccount(p);
                if (held.Result.Checked) cycle.Checked.push_back(std::move(held));
            } else {
                cycle.Checked.push_back(CheckedAccount(p));
            }
            if (!cycle.Checked.empty() && cycle.Checked.back().Position == p && !cycle.Checked.back().Result.Ok)
                cycle.Failed = true;
        }
        cycle.Total += GetMessageCount(p);
    }
    cycle.FromLines = FromLines;
    FCycleRunning = false;
    FinishCycle(cycle, led);
    if (!FPushed.empty() && !FDecisionPosted) DecideNow(std::exchange(FPushed, {}));
}

void TfrmMain::FinishCycle(const TCycleResult& cycle, TSlLed& led) {
    ShowStatus(cycle);
    if (NotifyEnabled) {
        const std::string notice = NewMailNoticeOf(cycle, SirenEnabled);
        if (!notice.empty()) ShowDesktopNotification("New mail", notice);
    }
    SoundSiren(cycle);
    SignalLed(led, cycle);
}

TCycleAccount TfrmMain::PushedAccount(int p) {
    const TPushWatch* watch = PushWatchAt(p);
    TCheckResult result = watch->LastResult();
    SetMessageCount(p, result.Ok ? result.Count : 0);
    StoreAt(FAccountErrors, p, result.Ok ? std::string() : result.Error);
    if (result.Ok) StoreAt(FMailboxMarks, p, result.Mark);
    for (const std::string& from : result.FromLines) FromLines += from + '\n';
    // Its news was told when it came.
    result.NewMail = false;
    result.FromLines.clear();
    TCycleAccount account{p, GetAccountName(p), result};
    if (!result.Ok && watch->State() == TPushWatch::TState::Retrying)
        account.NextAttempt = watch->NextAttempt().toString("HH:mm:ss").toStdString();
    return account;
}

void TfrmMain::PushResult(int p) {
    // Decided from the event loop, never inside the watch's own call: the
    // decision may wait (the LED), and a reload meanwhile may end the watch.
    // Results that come while one decision is on its way or waits (an
    // attentive LED sleeps a second) are decided together, once.
    FPushed.insert(p);
    if (FDecisionPosted) return;
    FDecisionPosted = true;
    QTimer::singleShot(0, this, [this] {
        FDecisionPosted = false;
        // The running cycle may have passed them already: decided at its end.
        if (FCycleRunning || FPushed.empty()) return;
        DecideNow(std::exchange(FPushed, {}));
    });
}

void TfrmMain::DecideNow(const std::set<int>& pushed) {
    TSlLed led;
    led.FlashEnabled = Flash;
    led.AttentiveWait = AttentiveWait;
    TCycleResult cycle;
    cycle.Previous = MessageCountsByPosition();
    FromLines.clear();
    for (int q = 0; q < AccountCount; ++q) {
        if (AccountAt(q).Server.empty() || AccountAt(q).UserName.empty()) continue;
        TPushWatch* watch = PushWatchAt(q);
        TCycleAccount account;
        if (watch && watch->Holding()) {
            const bool news = pushed.count(q) != 0;
            const bool newMail = news && watch->LastResult().NewMail;
            account = PushedAccount(q);
            account.Result.NewMail = newMail;
            if (news) ReportAccountChange(q, account.Result.Ok);
        } else {
            // As the last poll cycle found it; its news was told then.
            TCheckResult last = ValueAt(FLastResults, q, TCheckResult{});
            for (const std::string& from : last.FromLines) FromLines += from + '\n';
            last.NewMail = false;
            last.FromLines.clear();
            account = {q, GetAccountName(q), last};
        }
        if (!account.Result.Checked) continue;
        if (!account.Result.Ok) cycle.Failed = true;
        cycle.Checked.push_back(std::move(account));
    }
    for (int q = 0; q < AccountCount; ++q) cycle.Total += GetMessageCount(q);
    cycle.FromLines = FromLines;
    FinishCycle(cycle, led);
}

TCycleAccount TfrmMain::CheckedAccount(int p) {
    TCycleAccount checked{p, GetAccountName(p), RunCheck(p)};
    StoreAt(FLastResults, p, checked.Result);
    checked.Result.FromLines.clear();  // kept once, in FromLines
    ReportAccountChange(p, checked.Result.Ok);
    return checked;
}

void TfrmMain::SoundSiren(const TCycleResult& cycle) {
    if (cycle.Failed || !SirenEnabled || cycle.Total <= 0) return;
    TSiren siren;
    siren.IniPath = IniPath;
    siren.Play(cycle.FromLines);
}

void TfrmMain::SignalLed(TSlLed& led, const TCycleResult& cycle) {
    // Flash as the cycle began (a reload meanwhile does not change it); the
    // other options as they are now.
    const TLedOptions options{led.FlashEnabled, LightOnEqual, FlashOnEqual, FlashOnError};
    const TLedDecision decision =
        DecideLed(cycle.Previous, MessageCountsByPosition(), cycle.Total, cycle.Failed, options);
    led.SetBlinkCount(decision.BlinkCount);
    led.FlashEnabled = decision.FlashEnabled;
    switch (decision.Target) {
        case TLedTarget::Keep:
            led.Signal(led.GetLedState());
            break;
        case TLedTarget::On:
            led.Signal(true);
            break;
        case TLedTarget::Off:
            led.Signal(false);
            break;
    }
}

std::vector<int> TfrmMain::MessageCountsByPosition() const {
    std::vector<int> counts(static_cast<size_t>(std::max(AccountCount, 0)));
    for (size_t p = 0; p < counts.size(); ++p) counts[p] = GetMessageCount(static_cast<int>(p));
    return counts;
}

bool TfrmMain::CheckAccount(int p) { return RunCheck(p).Ok; }

TCheckResult TfrmMain::RunCheck(int p) {
    // A copy: a reload while the check waits changes the table, not this check.
    const TAccount account = AccountAt(p);
    TCheckTarget target = CheckTargetOf(account, GetAccountName(p), SirenEnabled);
    target.PreviousCount = p < static_cast<int>(FCyclePrevious.size()) ? FCyclePrevious[static_cast<size_t>(p)] : 0;
    target.PreviousMark = ValueAt(FMailboxMarks, p, TMailboxMark{});
    const std::unique_ptr<TMailSession> session = NewMailSession(target, pop3Main);
    TAccountCheck check(*session, target, &FromCache, p);
    check.SilenceLimit = pop3Main->Timeout;
    check.Run();
    const TCheckResult& result = check.Result();
    SetMessageCount(p, result.Count);
    if (result.Ok) StoreAt(FMailboxMarks, p, result.Mark);
    for (const std::string& from : result.FromLines) FromLines += from + '\n';
    StoreAt(FAccountErrors, p, result.Ok ? std::string() : result.Error);
    return result;
}

void TfrmMain::ReportAccountChange(int p, bool checked) {
    const std::string reported = ValueAt(FReportedErrors, p, std::string());
    const std::string error = checked ? std::string() : GetAccountError(p);
    if (error == reported) return;
    StoreAt(FReportedErrors, p, error);
    if (!StatusOutput) return;
    *StatusOutput << "Vesk: " << GetAccountName(p) << ": " << (checked ? std::string("checked again") : error) << '\n';
    StatusOutput->flush();
}

void TfrmMain::ShowStatus(const TCycleResult& cycle) {
    FStatusLines = StatusLinesOf(cycle, QTime::currentTime().toString("HH:mm:ss").toStdString());
    FTrayState = cycle.Failed ? tsError : cycle.Total > 0 ? tsMail : tsNoMail;
    std::string text;
    for (const std::string& line : FStatusLines) text += (text.empty() ? "" : "\n") + line;
    lblStatus->setText(QString::fromLocal8Bit(text));
    UpdateTrayIcon();
}
