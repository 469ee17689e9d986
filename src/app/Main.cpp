#include "app/Main.h"

#include "app/IniLocation.h"
#include "app/LedDecision.h"
#include "platform/AsciiText.h"
#include "platform/Notify.h"
#include "signals/Siren.h"
#include "signals/SlLed.h"

#include <QCoreApplication>
#include <QTime>

#include <algorithm>
#include <cstring>
#include <iostream>

TfrmMain* frmMain = nullptr;

namespace {

// The field of the account at p, or `def` past the end of the table.
template <class T>
T FieldAt(const std::vector<TAccount>& accounts, int p, T TAccount::*field, T def) {
    return p >= 0 && static_cast<size_t>(p) < accounts.size() ? accounts[static_cast<size_t>(p)].*field : def;
}

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
    pop3Main->Timeout = 15;
    pop3Main->MultiThreaded = false;

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
    MaxAccounts = 20;
    LoadSettings();
}

void TfrmMain::FormDestroy(TObject*) {
    // A connection still open is told goodbye without waiting for the answer.
    if (pop3Main->Connected()) Guard([this] { pop3Main->Quit(); });
    if (InTaskTray) RemoveTrayIcon();
}

const TAccount& TfrmMain::AccountAt(int p) const {
    static const TAccount none{};
    return p >= 0 && static_cast<size_t>(p) < FAccounts.size() ? FAccounts[static_cast<size_t>(p)] : none;
}

std::string TfrmMain::GetServer(int p) const { return FieldAt(FAccounts, p, &TAccount::Server, std::string()); }
std::string TfrmMain::GetUserName(int p) const { return FieldAt(FAccounts, p, &TAccount::UserName, std::string()); }
std::string TfrmMain::GetPassword(int p) const { return FieldAt(FAccounts, p, &TAccount::Password, std::string()); }
int TfrmMain::GetPort(int p) const { return FieldAt(FAccounts, p, &TAccount::Port, kDefaultPort); }
bool TfrmMain::GetAPop(int p) const { return FieldAt(FAccounts, p, &TAccount::APop, 0) != 0; }
int TfrmMain::GetMessageCount(int p) const { return ValueAt(FMessageCounts, p, 0); }
std::string TfrmMain::GetAccountError(int p) const { return ValueAt(FAccountErrors, p, std::string()); }
std::string TfrmMain::GetAccountName(int p) const {
    std::string name = FieldAt(FAccounts, p, &TAccount::AccountName, std::string());
    return name.empty() ? AccountSection(p + 1) : name;
}

namespace {

// The account at p, the table grown with empty entries to reach it; null for
// a negative p.
TAccount* AccountToStore(std::vector<TAccount>& accounts, int p) {
    if (p < 0) return nullptr;
    if (static_cast<size_t>(p) >= accounts.size()) accounts.resize(static_cast<size_t>(p) + 1);
    return &accounts[static_cast<size_t>(p)];
}

}  // namespace

void TfrmMain::SetAccountName(int p, const std::string& value) {
    if (TAccount* a = AccountToStore(FAccounts, p)) a->AccountName = value;
}
void TfrmMain::SetServer(int p, const std::string& value) {
    if (TAccount* a = AccountToStore(FAccounts, p)) a->Server = value;
}
void TfrmMain::SetUserName(int p, const std::string& value) {
    if (TAccount* a = AccountToStore(FAccounts, p)) a->UserName = value;
}
void TfrmMain::SetPassword(int p, const std::string& value) {
    if (TAccount* a = AccountToStore(FAccounts, p)) a->Password = value;
}
void TfrmMain::SetPort(int p, int value) {
    if (TAccount* a = AccountToStore(FAccounts, p)) a->Port = value;
}
void TfrmMain::SetAPop(int p, bool value) {
    if (TAccount* a = AccountToStore(FAccounts, p)) a->APop = value ? 1 : 0;
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
    // From the highest position down: the table reaches its length at once.
    for (int n = AccountCount; n >= 1; --n) {
        *AccountToStore(FAccounts, n - 1) = file.ReadAccount(n);
    }
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

std::string TfrmMain::TrayTip() const {
    std::string tip = "Vesk";
    for (const std::string& line : FStatusLines) tip += "\n" + line;
    return tip;
}

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

// One poll cycle: check every account, then signal. The timer stays off while
// the cycle runs, so cycles never nest; the waits process messages, so menus,
// the settings dialog and Exit work meanwhile. Every value is read through the
// accessors when it is needed: settings saved during the cycle apply to the
// accounts and steps that follow.
void TfrmMain::tmrMainTimer(TObject*) {
    tmrMain->SetEnabled(false);
    const TTimerRearm rearm(tmrMain);  // after the LED signaller is released
    TSlLed led;
    led.FlashEnabled = Flash;
    led.AttentiveWait = AttentiveWait;
    if (SirenEnabled) HeaderText.clear();

    // A reload during the cycle may change the number of accounts: positions
    // the snapshot does not cover had no mail before.
    const std::vector<int> previous = MessageCountsByPosition();
    ClearMessageCounts();
    FAccountErrors.clear();

    long long total = 0;
    bool failed = false;
    std::vector<int> checked;
    for (int p = 0; p < AccountCount; ++p) {
        // An account without server or user name is skipped, which is no failure.
        const bool complete = !GetServer(p).empty() && !GetUserName(p).empty();
        if (complete) {
            const bool ok = CheckAccount(p);
            if (!ok) failed = true;
            checked.push_back(p);
            ReportAccountChange(p, ok);
        }
        total += GetMessageCount(p);
    }
    ShowStatus(checked, failed, total);
    if (NotifyEnabled) NotifyNewMail(previous, checked);

    if (!failed && SirenEnabled && total > 0) {
        TSiren siren;
        siren.IniPath = IniPath;
        siren.Play(HeaderText);
    }

    // Flash as the cycle began (a reload meanwhile does not change it); the
    // other options as they are now.
    const TLedOptions options{led.FlashEnabled, LightOnEqual, FlashOnEqual, FlashOnError};
    const TLedDecision decision = DecideLed(previous, MessageCountsByPosition(), total, failed, options);
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

bool TfrmMain::CheckAccount(int p) {
    pop3Main->Host = GetServer(p);
    pop3Main->Port = std::to_string(GetPort(p));
    pop3Main->UserName = GetUserName(p);
    pop3Main->PassWord = GetPassword(p);
    pop3Main->Security = FieldAt(FAccounts, p, &TAccount::Security, 0);
    pop3Main->Fingerprint = FieldAt(FAccounts, p, &TAccount::Fingerprint, std::string());
    pop3Main->MsgLines = 0;
    // Settings that cannot be checked as they stand (a Security that is no
    // choice, a pin on plain text) fail before any connection.
    FCurrentStep = "connection";
    std::string error = AccountSettingsError(AccountAt(p));
    if (error.empty()) {
        try {
            if (RunAccountSteps(p)) {
                StoreAt(FAccountErrors, p, std::string());
                return true;
            }
            error = pop3Main->ErrorMessage();
        } catch (const std::exception& e) {
            // A call the POP3 client refuses in its state: this account fails,
            // the cycle goes on with the next one.
            error = e.what();
        }
    }
    // An empty reason would read as "checked" everywhere it is shown.
    if (error.empty()) error = "-ERR No reason given";
    StoreAt(FAccountErrors, p, error);
    StoreAt(FAccountSteps, p, FCurrentStep);
    try {
        pop3Main->QuitWait();
    } catch (const std::exception&) {
    }
    return false;
}

bool TfrmMain::RunAccountSteps(int p) {
    // A connection left over from before is closed first.
    FCurrentStep = "connection";
    if (pop3Main->Connected() && !pop3Main->QuitWait()) return false;
    if (!pop3Main->ConnectWait()) return false;
    FCurrentStep = "login";
    if (GetAPop(p)) {
        if (!pop3Main->APopWait()) return false;
    } else {
        if (!pop3Main->UserWait() || !pop3Main->PassWait()) return false;
    }
    FCurrentStep = "check";
    if (!pop3Main->StatWait()) return false;
    SetMessageCount(p, pop3Main->MsgCount());
    if (SirenEnabled && GetMessageCount(p) > 0 && !ReadFromValues(p)) return false;
    pop3Main->QuitWait();  // the count is taken: how the logout ends does not matter
    return true;
}

bool TfrmMain::ReadFromValues(int p) {
    const int highest = GetMessageCount(p);
    const int lowest = highest > kSirenMessages ? highest - kSirenMessages + 1 : 1;
    // The mailbox is the one just logged in to, whatever a reload has changed
    // in the table since.
    FromCache.Bind(p, pop3Main->Host, pop3Main->Port, pop3Main->UserName);
    std::vector<std::string> ids;
    if (!ListUniqueIds(lowest, highest, ids)) return false;
    if (!ids.empty()) FromCache.Retain(p, ids);
    for (int m = highest; m >= lowest; --m) {
        const std::string* id = ids.empty() ? nullptr : &ids[static_cast<size_t>(highest - m)];
        const std::string* cached = id && !id->empty() ? FromCache.Find(p, *id) : nullptr;
        if (cached) {
            HeaderText += *cached;
        } else {
            pop3Main->MsgNum = m;
            if (!pop3Main->TopWait()) return false;
            HeaderText += pop3Main->FromValue();
            if (id && !id->empty()) FromCache.Store(p, *id, pop3Main->FromValue());
        }
        HeaderText += '\n';
    }
    return true;
}

bool TfrmMain::ListUniqueIds(int lowest, int highest, std::vector<std::string>& ids) {
    std::vector<std::string> listed(static_cast<size_t>(highest - lowest) + 1);
    pop3Main->MsgNum = 0;  // the whole listing
    pop3Main->OnUidlLine = [&](TObject*) {
        const int m = pop3Main->MsgNum;
        if (m >= lowest && m <= highest) listed[static_cast<size_t>(highest - m)] = pop3Main->MsgUidl();
    };
    const bool ok = pop3Main->UidlWait();
    pop3Main->OnUidlLine = nullptr;
    if (ok) {
        ids = std::move(listed);
        return true;
    }
    // UIDL is optional: a server that answers it with -ERR (and stays
    // connected) gets a TOP for every message. A listing that broke off or
    // did not parse fails the account.
    ids.clear();
    return pop3Main->Connected() && pop3Main->ReplyStatus() == 500;
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

void TfrmMain::ShowStatus(const std::vector<int>& checkedPositions, bool failed, long long total) {
    FStatusLines.clear();
    for (int p : checkedPositions) {
        const std::string error = GetAccountError(p);
        if (error.empty()) {
            const int count = GetMessageCount(p);
            FStatusLines.push_back(GetAccountName(p) + ": " + std::to_string(count) +
                                   (count == 1 ? " message" : " messages"));
        } else {
            FStatusLines.push_back(GetAccountName(p) + ": " + ValueAt(FAccountSteps, p, std::string("check")) +
                                   " failed: " + error);
        }
    }
    FStatusLines.push_back("Last check: " + QTime::currentTime().toString("HH:mm:ss").toStdString());
    FTrayState = failed ? tsError : total > 0 ? tsMail : tsNoMail;

    std::string text;
    for (const std::string& line : FStatusLines) text += (text.empty() ? "" : "\n") + line;
    lblStatus->setText(QString::fromLocal8Bit(text));
    UpdateTrayIcon();
}

void TfrmMain::NotifyNewMail(const std::vector<int>& previous, const std::vector<int>& checkedPositions) {
    std::string body;
    for (int p : checkedPositions) {
        const int before = static_cast<size_t>(p) < previous.size() ? previous[static_cast<size_t>(p)] : 0;
        const int now = GetMessageCount(p);
        if (!GetAccountError(p).empty() || now <= before) continue;
        body += (body.empty() ? "" : "\n") + GetAccountName(p) + ": " + std::to_string(now) +
                (now == 1 ? " message" : " messages");
    }
    if (body.empty()) return;
    // The first From lines the siren has read (the newest message first).
    if (SirenEnabled) {
        constexpr int kFromLines = 3;
        std::size_t start = 0;
        for (int shown = 0; shown < kFromLines && start < HeaderText.size(); ++shown) {
            std::size_t end = HeaderText.find('\n', start);
            if (end == std::string::npos) end = HeaderText.size();
            std::string from = HeaderText.substr(start, end - start);
            start = end + 1;
            std::size_t first = from.find_first_not_of(" \t");
            if (first == std::string::npos) {
                --shown;  // a message without a From line
                continue;
            }
            body += "\nFrom: " + from.substr(first);
        }
    }
    ShowDesktopNotification("New mail", body);
}
