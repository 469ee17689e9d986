#include "app/Main.h"

#include "app/IniLocation.h"
#include "codec/Base64.h"
#include "framework/IniFiles.h"
#include "platform/AsciiText.h"
#include "signals/Siren.h"
#include "signals/SlLed.h"

#include <QCoreApplication>

#include <algorithm>
#include <cstring>

TfrmMain* frmMain = nullptr;

namespace {

template <class T>
T valueAt(const std::vector<T>& v, int p, T def) {
    return p >= 0 && static_cast<size_t>(p) < v.size() ? v[static_cast<size_t>(p)] : def;
}

template <class T>
void storeAt(std::vector<T>& v, int p, T value) {
    if (p < 0) return;
    if (static_cast<size_t>(p) >= v.size()) v.resize(static_cast<size_t>(p) + 1, T{});
    v[static_cast<size_t>(p)] = std::move(value);
}

bool endsWithExeNoCase(const std::string& path) {
    return path.size() >= 4 && EqualNoCaseAscii(std::string_view(path).substr(path.size() - 4), ".exe");
}

}  // namespace

TfrmMain::TfrmMain(QWidget* parent, std::string exePath) : TForm(parent), exePath_(std::move(exePath)) {
    setWindowTitle("Vesk");
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
    SetFixedClientSize(250, 154);
    if (Application && Application->Icon) setWindowIcon(IconOfHandle(Application->Icon));

    btnCallSetting = new QPushButton(QString::fromUtf8("&make up Vesk"), this);
    btnCallSetting->setGeometry(115, 122, 123, 20);
    QObject::connect(btnCallSetting, &QPushButton::clicked, [this] { Guard([this] { btnCallSettingClick(this); }); });

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

std::string TfrmMain::IniPathOf(const std::string& exePath) {
    if (endsWithExeNoCase(exePath)) return exePath.substr(0, exePath.size() - 3) + "ini";
    return exePath + ".ini";
}

void TfrmMain::FormCreate(TObject*) {
    InTaskTray = false;
    if (exePath_.empty()) exePath_ = QCoreApplication::applicationFilePath().toLocal8Bit().toStdString();
    IniPath = ChooseIniPath(exePath_, IniOption());
    SirenEnabled = false;
    MaxAccounts = 20;
    LoadSettings();
}

void TfrmMain::FormDestroy(TObject*) {
    // A connection still open is told goodbye without waiting for the answer.
    if (pop3Main->Connected()) Guard([this] { pop3Main->Quit(); });
    if (InTaskTray) RemoveTrayIcon();
}

std::string TfrmMain::GetServer(int p) const { return valueAt(servers_, p, std::string()); }
std::string TfrmMain::GetUserName(int p) const { return valueAt(userNames_, p, std::string()); }
std::string TfrmMain::GetPassword(int p) const { return valueAt(passwords_, p, std::string()); }
int TfrmMain::GetPort(int p) const { return valueAt(ports_, p, 110); }
bool TfrmMain::GetAPop(int p) const { return valueAt(apops_, p, false); }
int TfrmMain::GetMessageCount(int p) const { return valueAt(messageCounts_, p, 0); }

void TfrmMain::SetServer(int p, const std::string& value) { storeAt(servers_, p, value); }
void TfrmMain::SetUserName(int p, const std::string& value) { storeAt(userNames_, p, value); }
void TfrmMain::SetPassword(int p, const std::string& value) { storeAt(passwords_, p, value); }
void TfrmMain::SetPort(int p, int value) { storeAt(ports_, p, value); }
void TfrmMain::SetAPop(int p, bool value) { storeAt(apops_, p, value); }
void TfrmMain::SetMessageCount(int p, int value) { storeAt(messageCounts_, p, value); }

void TfrmMain::ClearAccounts() {
    servers_.clear();
    userNames_.clear();
    passwords_.clear();
    ports_.clear();
    apops_.clear();
}

void TfrmMain::ClearMessageCounts() { messageCounts_.clear(); }

void TfrmMain::SetAccountCount(int n) {
    // A negative count in the file means no accounts.
    AccountCount = std::max(0, std::min(n, MaxAccounts));
}

void TfrmMain::LoadSettings() {
    TIniFile ini(IniPath);
    TBase64 base64;
    ClearAccounts();
    SetAccountCount(ini.ReadInteger("AccountConfig", "Count", 1));
    for (int n = AccountCount; n >= 1; --n) {
        const std::string section = "Account" + std::to_string(n);
        const int p = n - 1;
        SetServer(p, ini.ReadString(section, "POPServer", ""));
        SetUserName(p, ini.ReadString(section, "UserName", ""));
        SetPort(p, ini.ReadInteger(section, "PortNumber", 110));
        SetPassword(p, base64.Decode(ini.ReadString(section, "Password", "")));
        SetAPop(p, ini.ReadInteger(section, "APOP", 0) != 0);
    }
    // Seconds to milliseconds; an interval that does not fit stops the timer
    // like 0 or a negative one does.
    long long interval = static_cast<long long>(ini.ReadInteger("Global Parameters", "CheckInterval", 60)) * 1000;
    tmrMain->SetInterval(interval > INT32_MAX ? 0 : static_cast<int>(std::max(interval, 0LL)));
    LightOnEqual = ini.ReadInteger("Global Parameters", "LightOnEqual", 1) != 0;
    Flash = ini.ReadInteger("Global Parameters", "Flash", 0) != 0;
    FlashOnEqual = ini.ReadInteger("Global Parameters", "FlashOnEqual", 0) != 0;
    FlashOnError = ini.ReadInteger("Global Parameters", "FlashOnError", 0) != 0;
    AttentiveWait = ini.ReadInteger("Global Parameters", "AttentiveWait", 1) != 0;
    SetTaskTray(ini.ReadInteger("Global Parameters", "TaskTray", 0) != 0);
    SirenEnabled = ini.ReadInteger("Siren", "Enabled", 0) != 0;
}

void TfrmMain::SetTaskTray(bool on) {
    on = trayWatch_.Follow(on, [this] { SetTaskTray(true); });
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
    TrayIconData.hIcon = Application ? Application->Icon : 0;
    std::strncpy(TrayIconData.szTip, "Vesk", sizeof TrayIconData.szTip);
    Shell_NotifyIconA(NIM_ADD, &TrayIconData);
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
    TSlLed led;
    led.FlashEnabled = Flash;
    led.AttentiveWait = AttentiveWait;
    if (SirenEnabled) HeaderText.clear();

    std::vector<int> previous(static_cast<size_t>(std::max(AccountCount, 0)));
    long long previousTotal = 0;
    for (size_t p = 0; p < previous.size(); ++p) {
        previous[p] = GetMessageCount(static_cast<int>(p));
        previousTotal += previous[p];
    }
    // A reload during the cycle may change the number of accounts: positions
    // the snapshot does not cover had no mail before.
    auto previousAt = [&previous](int p) {
        return static_cast<size_t>(p) < previous.size() ? previous[static_cast<size_t>(p)] : 0;
    };

    ClearMessageCounts();
    long long total = 0;
    bool failed = false;
    for (int p = 0; p < AccountCount; ++p) {
        if (GetServer(p).empty() || GetUserName(p).empty()) continue;
        pop3Main->Host = GetServer(p);
        pop3Main->Port = std::to_string(GetPort(p));
        pop3Main->UserName = GetUserName(p);
        pop3Main->PassWord = GetPassword(p);
        pop3Main->MsgLines = 0;
        try {
            auto require = [this](bool ok) {
                if (!ok) throw Pop3Exception(pop3Main->ErrorMessage());
            };
            if (pop3Main->Connected()) require(pop3Main->QuitWait());
            require(pop3Main->ConnectWait());
            if (GetAPop(p)) {
                require(pop3Main->APopWait());
            } else {
                require(pop3Main->UserWait());
                require(pop3Main->PassWait());
            }
            require(pop3Main->StatWait());
            SetMessageCount(p, pop3Main->MsgCount());
            if (SirenEnabled && GetMessageCount(p) > 0) {
                for (int m = GetMessageCount(p); m >= 1; --m) {
                    pop3Main->MsgNum = m;
                    require(pop3Main->TopWait());
                    HeaderText += pop3Main->FromValue();
                    HeaderText += '\n';
                }
            }
            pop3Main->QuitWait();
        } catch (const std::exception&) {
            // Contained in this account: the cycle becomes an error cycle and
            // goes on with the next account.
            failed = true;
            try {
                pop3Main->QuitWait();
            } catch (const std::exception&) {
            }
        }
        total += GetMessageCount(p);
    }

    if (!failed && SirenEnabled && total > 0) {
        TSiren siren;
        siren.IniPath = IniPath;
        siren.Play(HeaderText);
    }

    bool sameDistribution = true;
    for (int p = AccountCount - 1; p >= 0; --p) {
        if (GetMessageCount(p) != previousAt(p)) {
            sameDistribution = false;
            break;
        }
    }
    if (failed) {
        led.SetBlinkCount(2);
        if (!FlashOnError) led.FlashEnabled = false;
        led.Signal(led.GetLedState());
    } else if (total == 0) {
        led.FlashEnabled = false;
        led.Signal(false);
    } else if (total != previousTotal || !sameDistribution) {
        led.SetBlinkCount(5);
        led.Signal(true);
    } else if (LightOnEqual) {
        led.SetBlinkCount(5);
        if (!FlashOnEqual) led.FlashEnabled = false;
        led.Signal(true);
    } else {
        led.SetBlinkCount(5);
        led.FlashEnabled = false;
        led.Signal(false);
    }
    tmrMain->SetEnabled(true);
}
