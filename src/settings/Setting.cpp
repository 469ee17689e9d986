#include "settings/Setting.h"

#include "framework/Dialogs.h"
#include "settings/VerInfo.h"

#include <QCloseEvent>
#include <QFileInfo>
#include <QKeyEvent>
#include <QPainter>
#include <QProxyStyle>
#include <QShowEvent>
#include <QStyle>

#include <algorithm>
#include <span>

TfrmSetting* frmSetting = nullptr;

namespace {

QString QStr(const std::string& s) { return QString::fromLocal8Bit(s.data(), static_cast<qsizetype>(s.size())); }
std::string Bytes(const QString& s) { return s.toLocal8Bit().toStdString(); }
// The Folder key is UTF-8 whatever the locale: the IMAP session encodes it
// for the server from that. So is PasswordCommand, as the shell gets it.
QString QStrUtf8(const std::string& s) { return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size())); }

// Puts `text` into a field showing its start, as a freshly filled field does.
void SetFieldText(QLineEdit* edit, const std::string& text) {
    edit->setText(QStr(text));
    edit->setCursorPosition(0);
}

// A label that underlines its marked letter without being linked to any
// control (a plain QLabel shows the "&" itself unless it has a buddy).
class TMarkedLabel : public QLabel {
public:
    using QLabel::QLabel;
    QSize sizeHint() const override {
        QMargins m = contentsMargins();
        return fontMetrics().size(Qt::TextShowMnemonic, text()) + QSize(m.left() + m.right(), m.top() + m.bottom());
    }
    QSize minimumSizeHint() const override { return sizeHint(); }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        style()->drawItemText(&painter, contentsRect(), Qt::AlignLeft | Qt::AlignVCenter | Qt::TextShowMnemonic,
                              palette(), isEnabled(), text(), foregroundRole());
    }
};

// Shows every character of a password field as "*".
class TStarPasswordStyle : public QProxyStyle {
public:
    int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                  QStyleHintReturn* returnData) const override {
        if (hint == SH_LineEdit_PasswordCharacter) return '*';
        return QProxyStyle::styleHint(hint, option, widget, returnData);
    }
};

QLabel* MakeLabel(QWidget* parent, const char* caption, int left, int top, QWidget* buddy = nullptr) {
    auto* label = new QLabel(QString::fromUtf8(caption), parent);
    if (buddy) label->setBuddy(buddy);
    label->move(left, top);
    label->adjustSize();
    return label;
}

QPushButton* MakeButton(QWidget* parent, const char* caption, int left, int top, int width, int height) {
    auto* button = new QPushButton(QString::fromUtf8(caption), parent);
    button->setGeometry(left, top, width, height);
    button->setAutoDefault(false);
    return button;
}

QCheckBox* MakeCheck(QWidget* parent, const char* caption, int left, int top, int width, int height) {
    auto* check = new QCheckBox(QString::fromUtf8(caption), parent);
    check->setGeometry(left, top, width, height);
    return check;
}

QLineEdit* MakeEdit(QWidget* parent, int left, int top, int width, int height) {
    auto* edit = new QLineEdit(parent);
    edit->setGeometry(left, top, width, height);
    return edit;
}

TSpinEdit* MakeSpin(QWidget* parent, int left, int top, int width, int height, int min, int max, int value) {
    auto* spin = new TSpinEdit(parent);
    spin->setGeometry(left, top, width, height);
    spin->SetMinValue(min);
    spin->SetMaxValue(max);
    spin->SetValue(value);
    return spin;
}

// The entries None, SSL/TLS and STARTTLS of the security box: Security 0, 1, 2.
constexpr int kSecurityChoices = 3;
// The entries POP3 and IMAP of the protocol box: Protocol 0, 1.
constexpr int kProtocolChoices = 2;
// The entries Password, XOAUTH2 and OAUTHBEARER of the login box: Auth 0, 1, 2.
constexpr int kAuthChoices = 3;

bool ValidProtocol(int protocol) { return protocol >= 0 && protocol < kProtocolChoices; }
bool ValidSecurity(int security) { return security >= 0 && security < kSecurityChoices; }

// The usual port of a protocol: plain text and STARTTLS share one, TLS from
// the first byte has its own.
int UsualPort(int protocol, bool tls) {
    if (protocol == static_cast<int>(TProtocol::Imap)) return tls ? kDefaultImapTlsPort : kDefaultImapPort;
    return tls ? kDefaultTlsPort : kDefaultPort;
}

// The port to show once the user has picked `protocol` and `security` for an
// account that had `oldProtocol`. A port that is one of the old protocol's
// usual ones (of any protocol when the old one was not valid) becomes the
// usual port of the new pair; any other port is the user's own and stays.
// With a security that is not valid, the port stays on its side: TLS from the
// first byte or not.
int MovedPort(int port, int oldProtocol, int protocol, int security) {
    if (!ValidProtocol(protocol)) return port;
    bool usual = false;
    bool tlsSide = false;
    for (int p = 0; p < kProtocolChoices; ++p) {
        if (ValidProtocol(oldProtocol) && p != oldProtocol) continue;
        for (bool tls : {false, true})
            if (port == UsualPort(p, tls)) {
                usual = true;
                tlsSide = tls;
            }
    }
    if (!usual) return port;
    const bool tls = ValidSecurity(security) ? security == static_cast<int>(TSecurity::Tls) : tlsSide;
    return UsualPort(protocol, tls);
}

// Holds a flag set for the life of the object.
class TFlagScope {
public:
    explicit TFlagScope(bool& flag) : FFlag(flag), FOld(flag) { FFlag = true; }
    ~TFlagScope() { FFlag = FOld; }

private:
    bool& FFlag;
    bool FOld;
};

}  // namespace

TfrmSetting::TfrmSetting(TSettingHost* host, QWidget* parent) : TForm(parent), FHost(host) {
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
    setWindowTitle(QStringLiteral("Zizora Duvizuv"));
    SetFixedClientSize(318, 461);

    pageSetting = new QTabWidget(this);
    pageSetting->setGeometry(8, 12, 301, 409);
    tbsZizaz = new QWidget;
    tbsRidovivez = new QWidget;
    tbsSiren = new QWidget;
    pageSetting->addTab(tbsZizaz, QStringLiteral("Zizaz"));
    pageSetting->addTab(tbsRidovivez, QStringLiteral("Ridovivez"));
    pageSetting->addTab(tbsSiren, QStringLiteral("Siren"));
    pageSetting->setCurrentWidget(tbsZizaz);

    btnOk = MakeButton(this, "OK", 224, 432, 85, 21);
    btnCancel = MakeButton(this, "Cancel", 132, 432, 85, 21);
    lblVerInfo = MakeLabel(this, "lblVerInfo", 12, 432);

    // Page "Zizaz": accounts and the interval.
    QWidget* p = tbsZizaz;
    cboAccountName = new QComboBox(p);
    cboAccountName->setEditable(false);
    cboAccountName->setGeometry(12, 16, 185, 20);
    btnRenameAccount = MakeButton(p, "&R", 200, 16, 25, 21);
    btnDeleteAccount = MakeButton(p, "&D", 228, 16, 25, 21);
    btnCreateAccount = MakeButton(p, "&C", 256, 16, 25, 21);
    edtPop = MakeEdit(p, 136, 45, 145, 20);
    lblPop = MakeLabel(p, "&POP3 Server:", 37, 51, edtPop);
    chkApop = MakeCheck(p, "use &APOP", 64, 72, 97, 17);
    lblPort = new TMarkedLabel(QStringLiteral("POP3 Port &Number:"), p);
    lblPort->move(66, 101);
    lblPort->adjustSize();
    spePort = MakeSpin(p, 226, 94, 58, 21, 1, 65535, 110);
    edtUser = MakeEdit(p, 136, 126, 148, 20);
    lblUser = MakeLabel(p, "&User Name:", 37, 133, edtUser);
    edtPassword = MakeEdit(p, 136, 152, 148, 20);
    edtPassword->setEchoMode(QLineEdit::Password);
    auto* starStyle = new TStarPasswordStyle;
    starStyle->setParent(this);
    edtPassword->setStyle(starStyle);
    lblPassword = MakeLabel(p, "&Password:", 37, 158, edtPassword);
    edtPasswordCommand = MakeEdit(p, 136, 178, 148, 20);
    edtPasswordCommand->setPlaceholderText(QStringLiteral("optional"));
    lblPasswordCommand = MakeLabel(p, "Password co&mmand:", 13, 184, edtPasswordCommand);
    cboProtocol = new QComboBox(p);
    cboProtocol->setEditable(false);
    cboProtocol->addItems({QStringLiteral("POP3"), QStringLiteral("IMAP")});
    cboProtocol->setGeometry(136, 204, 148, 20);
    lblProtocol = MakeLabel(p, "Pr&otocol:", 37, 208, cboProtocol);
    edtFolder = MakeEdit(p, 136, 230, 148, 20);
    edtFolder->setPlaceholderText(QString::fromUtf8(kDefaultFolder));
    lblFolder = MakeLabel(p, "&Folder:", 37, 234, edtFolder);
    cboSecurity = new QComboBox(p);
    cboSecurity->setEditable(false);
    cboSecurity->addItems({QStringLiteral("None"), QStringLiteral("SSL/TLS"), QStringLiteral("STARTTLS")});
    cboSecurity->setGeometry(136, 256, 148, 20);
    lblSecurity = MakeLabel(p, "&Security:", 37, 260, cboSecurity);
    edtFingerprint = MakeEdit(p, 136, 282, 148, 20);
    edtFingerprint->setPlaceholderText(QStringLiteral("optional"));
    lblFingerprint = MakeLabel(p, "Certificate S&HA-256:", 13, 286, edtFingerprint);
    cboAuth = new QComboBox(p);
    cboAuth->setEditable(false);
    cboAuth->addItems({QStringLiteral("Password"), QStringLiteral("XOAUTH2"), QStringLiteral("OAUTHBEARER")});
    cboAuth->setGeometry(136, 308, 148, 20);
    lblAuth = MakeLabel(p, "Lo&gin:", 37, 312, cboAuth);
    speInterval = MakeSpin(p, 102, 340, 46, 21, 20, 600, 60);
    lblInterval = MakeLabel(p, "&Interval (sec):", 13, 346, speInterval);

    // Page "Ridovivez": LED and tray options.
    p = tbsRidovivez;
    chkLightEqual = MakeCheck(p, "&Light up on Equal", 13, 15, 141, 20);
    chkFlash = MakeCheck(p, "&Flash LED", 13, 45, 116, 20);
    chkFlashEqual = MakeCheck(p, "Flash on E&qual", 26, 70, 128, 20);
    chkFlashError = MakeCheck(p, "Flash on &Error", 26, 96, 128, 20);
    chkAttentiveWait = MakeCheck(p, "&Attentive to Velora", 13, 134, 154, 20);
    chkTaskTray = MakeCheck(p, "Live in the &TaskTray", 13, 166, 154, 20);
    chkKeyring = MakeCheck(p, "Keep passwords in the desktop keyring", 13, 198, 270, 20);

    // Page "Siren": targets and sounds.
    p = tbsSiren;
    chkSirenEnabled = MakeCheck(p, "&Sing with Siren", 13, 13, 129, 20);
    lblSirenTarget1 = MakeLabel(p, "1. Target:", 19, 44);
    edtSirenTarget1 = MakeEdit(p, 96, 40, 169, 20);
    lblSirenSong1 = MakeLabel(p, "Song:", 38, 66);
    edtSirenSong1 = MakeEdit(p, 104, 64, 161, 20);
    lblSirenTarget2 = MakeLabel(p, "2. Target:", 19, 96);
    edtSirenTarget2 = MakeEdit(p, 96, 92, 169, 20);
    lblSirenSong2 = MakeLabel(p, "Song:", 38, 118);
    edtSirenSong2 = MakeEdit(p, 104, 116, 161, 20);
    lblSirenTarget3 = MakeLabel(p, "3. Target:", 19, 147);
    edtSirenTarget3 = MakeEdit(p, 96, 144, 169, 20);
    lblSirenSong3 = MakeLabel(p, "Song:", 38, 173);
    edtSirenSong3 = MakeEdit(p, 104, 168, 161, 20);
    lblSirenSong0 = MakeLabel(p, "for the othres:", 13, 205);
    edtSirenSong0 = MakeEdit(p, 104, 200, 161, 20);

    // Tab order: the page control, the controls of each page, OK, Cancel.
    // Controls of the pages not on display are skipped by the focus chain.
    const std::vector<QWidget*> order = {
        pageSetting,     cboAccountName,  btnRenameAccount, btnDeleteAccount, btnCreateAccount, edtPop,
        edtUser,         edtPassword,     edtPasswordCommand,
        chkApop,         spePort,         cboProtocol,      edtFolder,
        cboSecurity,     edtFingerprint,  cboAuth,          speInterval,      chkLightEqual,
        chkFlash,        chkFlashEqual,   chkFlashError,    chkAttentiveWait, chkTaskTray,      chkKeyring, chkSirenEnabled,
        edtSirenTarget1, edtSirenSong1,   edtSirenTarget2,  edtSirenSong2,    edtSirenTarget3,  edtSirenSong3,
        edtSirenSong0,   btnOk,           btnCancel,
    };
    for (size_t k = 1; k < order.size(); ++k) setTabOrder(order[k - 1], order[k]);

    // Handlers. Exceptions escaping them go to the application's handler.
    auto bind = [this](auto&& handler) {
        return [this, handler] { Guard([this, &handler] { (this->*handler)(this); }); };
    };
    connect(btnOk, &QPushButton::clicked, this, bind(&TfrmSetting::btnOkClick));
    connect(btnCancel, &QPushButton::clicked, this, bind(&TfrmSetting::btnCancelClick));
    connect(cboAccountName, &QComboBox::activated, this, bind(&TfrmSetting::cboAccountNameChange));
    connect(btnRenameAccount, &QPushButton::clicked, this, bind(&TfrmSetting::btnRenameAccountClick));
    connect(btnDeleteAccount, &QPushButton::clicked, this, bind(&TfrmSetting::btnDeleteAccountClick));
    connect(btnCreateAccount, &QPushButton::clicked, this, bind(&TfrmSetting::btnCreateAccountClick));
    connect(edtPop, &QLineEdit::textChanged, this, bind(&TfrmSetting::edtPopChange));
    connect(edtUser, &QLineEdit::textChanged, this, bind(&TfrmSetting::edtUserChange));
    connect(edtPassword, &QLineEdit::textChanged, this, bind(&TfrmSetting::edtPasswordChange));
    connect(edtPasswordCommand, &QLineEdit::textChanged, this, bind(&TfrmSetting::edtPasswordCommandChange));
    spePort->OnChange = [this](TObject* sender) { Guard([this, sender] { spePortChange(sender); }); };
    connect(chkApop, &QCheckBox::toggled, this, bind(&TfrmSetting::chkApopClick));
    connect(cboProtocol, &QComboBox::currentIndexChanged, this, bind(&TfrmSetting::cboProtocolChange));
    connect(edtFolder, &QLineEdit::textChanged, this, bind(&TfrmSetting::edtFolderChange));
    connect(cboSecurity, &QComboBox::currentIndexChanged, this, bind(&TfrmSetting::cboSecurityChange));
    connect(edtFingerprint, &QLineEdit::textChanged, this, bind(&TfrmSetting::edtFingerprintChange));
    connect(cboAuth, &QComboBox::currentIndexChanged, this, bind(&TfrmSetting::cboAuthChange));
    connect(chkFlash, &QCheckBox::toggled, this, bind(&TfrmSetting::chkFlashClick));
    connect(chkLightEqual, &QCheckBox::toggled, this, bind(&TfrmSetting::chkLightEqualClick));
    connect(chkSirenEnabled, &QCheckBox::toggled, this, bind(&TfrmSetting::chkSirenEnabledClick));
    connect(chkKeyring, &QCheckBox::clicked, this, [this] { FKeyringClicked = true; });

    CenterOnScreen();
    FormCreate(this);
}

TfrmSetting::~TfrmSetting() {
    // Destroying the window hides it and takes the focus from its controls
    // (a spin box may then bring its text into range): no handler of this
    // form may run once its members are gone.
    spePort->OnChange = nullptr;
    speInterval->OnChange = nullptr;
    for (QObject* child : findChildren<QObject*>()) QObject::disconnect(child, nullptr, this, nullptr);
    if (frmSetting == this) frmSetting = nullptr;
}

void TfrmSetting::Show() {
    if (!isVisible()) {
        show();  // FormShow reads the settings
    } else if (isMinimized()) {
        setWindowState(windowState() & ~Qt::WindowMinimized);
    }
    raise();
    activateWindow();
}

void TfrmSetting::Close() { close(); }

void TfrmSetting::showEvent(QShowEvent* event) {
    TForm::showEvent(event);
    // A window restored by the desktop (spontaneous) has not been opened anew.
    if (!event->spontaneous()) Guard([this] { FormShow(this); });
}

void TfrmSetting::closeEvent(QCloseEvent* event) {
    // Closing only hides the dialog; it never ends the program.
    Guard([this] { FormClose(this); });
    event->accept();
}

void TfrmSetting::keyPressEvent(QKeyEvent* event) {
    switch (event->key()) {
        case Qt::Key_Return:
        case Qt::Key_Enter:
            // Enter presses the focused button, or OK when the focus is on
            // any other control.
            if (auto* button = qobject_cast<QPushButton*>(focusWidget()))
                button->click();
            else
                btnOk->click();
            event->accept();
            return;
        case Qt::Key_Escape:
            btnCancel->click();
            event->accept();
            return;
        default:
            TForm::keyPressEvent(event);
    }
}

int TfrmSetting::SelectedAccount() const {
    const int i = cboAccountName->currentIndex();
    if (i < 0) return -1;
    return static_cast<size_t>(i) < Accounts.size() ? i : -1;
}

bool TfrmSetting::SameAccountAt(int i, size_t count, const std::string& name) const {
    return i >= 0 && Accounts.size() == count && static_cast<size_t>(i) < count &&
           Accounts[static_cast<size_t>(i)].AccountName == name;
}

int TfrmSetting::EditedAccount() const { return FShowing ? -1 : SelectedAccount(); }

void TfrmSetting::EnableAccountFields(bool on) {
    for (QWidget* w : std::initializer_list<QWidget*>{btnRenameAccount, edtPop, edtUser, edtPassword,
                                                      edtPasswordCommand, chkApop, spePort, cboProtocol, edtFolder,
                                                      cboSecurity, edtFingerprint, cboAuth})
        w->setEnabled(on);
    EnableProtocolFields();
}

void TfrmSetting::EnableProtocolFields() {
    const bool account = SelectedAccount() >= 0;
    const bool imap = cboProtocol->currentIndex() == static_cast<int>(TProtocol::Imap);
    chkApop->setEnabled(account && !imap);
    edtFolder->setEnabled(account && imap);
}

// ---- operations ----

void TfrmSetting::ShowAccount() {
    // Showing an account puts its values into the fields; the change
    // handlers then leave the copy alone, so an account the user does not
    // edit is saved as it was read (a port outside 1..65535 included).
    TFlagScope scope(FShowing);
    const int i = SelectedAccount();
    if (i < 0) {
        // No account to show (Count 0 in the file): the fields are empty and
        // disabled until an account is created.
        edtPop->clear();
        edtUser->clear();
        edtPassword->clear();
        edtPasswordCommand->clear();
        spePort->SetValue(110);
        chkApop->setChecked(false);
        ShowProtocol(nullptr);
        edtFolder->clear();
        ShowSecurity(nullptr);
        edtFingerprint->clear();
        ShowAuth(nullptr);
        EnableAccountFields(false);
        return;
    }
    const TAccount& account = Accounts[static_cast<size_t>(i)];
    ShowProtocol(&account);
    EnableAccountFields(true);
    SetFieldText(edtPop, account.Server);
    SetFieldText(edtUser, account.UserName);
    SetFieldText(edtPassword, account.Password);
    edtPasswordCommand->setText(QStrUtf8(account.PasswordCommand));
    edtPasswordCommand->setCursorPosition(0);
    spePort->SetValue(account.Port);
    chkApop->setChecked(account.APop != 0);
    edtFolder->setText(QStrUtf8(account.Folder));
    edtFolder->setCursorPosition(0);
    ShowSecurity(&account);
    SetFieldText(edtFingerprint, account.Fingerprint);
    ShowAuth(&account);
}

namespace {

// Shows a choice of the account (Security, Protocol, Auth) in its box: the
// entry of a valid value, or a value that is none of the choices as the file
// holds it ("Key=<text> (not valid)"), never as the first choice: the
// account is not checked until the user picks one. No account: the first.
void ShowChoice(QComboBox* box, int choices, const char* key, const TAccount* account, int value,
                const std::string& text) {
    while (box->count() > choices) box->removeItem(choices);
    if (!account) {
        box->setCurrentIndex(0);
    } else if (value >= 0 && value < choices) {
        box->setCurrentIndex(value);
    } else {
        box->addItem(QStr(std::string(key) + "=" + (text.empty() ? std::to_string(value) : text) + " (not valid)"));
        box->setCurrentIndex(choices);
    }
}

}  // namespace

void TfrmSetting::ShowAuth(const TAccount* account) {
    ShowChoice(cboAuth, kAuthChoices, "Auth", account, account ? account->Auth : 0,
               account ? account->AuthText : std::string());
}

void TfrmSetting::ShowProtocol(const TAccount* account) {
    ShowChoice(cboProtocol, kProtocolChoices, "Protocol", account, account ? account->Protocol : 0,
               account ? account->ProtocolText : std::string());
}

void TfrmSetting::ShowSecurity(const TAccount* account) {
    ShowChoice(cboSecurity, kSecurityChoices, "Security", account, account ? account->Security : 0,
               account ? account->SecurityText : std::string());
}

void TfrmSetting::UpdateFlashOptions() {
    chkFlashEqual->setEnabled(chkFlash->isChecked() && chkLightEqual->isChecked());
    chkFlashError->setEnabled(chkFlash->isChecked());
}

void TfrmSetting::UpdateSirenFields() {
    const bool on = chkSirenEnabled->isChecked();
    for (QLineEdit* e : {edtSirenTarget1, edtSirenTarget2, edtSirenTarget3, edtSirenSong1, edtSirenSong2,
                         edtSirenSong3, edtSirenSong0})
        e->setEnabled(on);
}

void TfrmSetting::ClearAccountCopy() { Accounts.clear(); }

void TfrmSetting::ReadSettings() {
    TSettingsFile file(FHost->GetIniPath());
    ClearAccountCopy();
    // A negative count means no accounts, as it does to the main window. At
    // most kMaxListedAccounts are listed (and saved again): a count typed by
    // hand as 2147483647 must not keep the dialog reading for ever.
    AccountCount = std::clamp(file.ReadAccountCount(), 0, kMaxListedAccounts);
    for (int n = 1; n <= AccountCount; ++n) Accounts.push_back(file.ReadAccount(n));

    cboAccountName->clear();
    for (const TAccount& account : Accounts) cboAccountName->addItem(QStr(account.AccountName));
    if (!Accounts.empty()) cboAccountName->setCurrentIndex(0);
    ShowAccount();

    const TGlobalOptions options = file.ReadGlobalOptions();
    speInterval->SetValue(options.CheckInterval);
    chkLightEqual->setChecked(options.LightOnEqual);
    chkFlash->setChecked(options.Flash);
    chkFlashEqual->setChecked(options.FlashOnEqual);
    chkFlashError->setChecked(options.FlashOnError);
    UpdateFlashOptions();
    chkAttentiveWait->setChecked(options.AttentiveWait);
    chkTaskTray->setChecked(options.TaskTray);
    chkKeyring->setChecked(options.Keyring);
    FKeyringInFile = options.Keyring;
    if (!QFileInfo::exists(QString::fromStdString(FHost->GetIniPath()))) ProbeKeyring();
    const TSirenOptions siren = file.ReadSirenOptions();
    chkSirenEnabled->setChecked(siren.Enabled);
    SetFieldText(edtSirenTarget1, siren.Target1);
    SetFieldText(edtSirenTarget2, siren.Target2);
    SetFieldText(edtSirenTarget3, siren.Target3);
    SetFieldText(edtSirenSong1, siren.Song1);
    SetFieldText(edtSirenSong2, siren.Song2);
    SetFieldText(edtSirenSong3, siren.Song3);
    SetFieldText(edtSirenSong0, siren.Song0);
    UpdateSirenFields();
}

void TfrmSetting::WriteSettings() {
    TGlobalOptions options;
    options.CheckInterval = speInterval->Value();
    options.LightOnEqual = chkLightEqual->isChecked();
    options.Flash = chkFlash->isChecked();
    options.FlashOnEqual = chkFlashEqual->isChecked();
    options.FlashOnError = chkFlashError->isChecked();
    options.AttentiveWait = chkAttentiveWait->isChecked();
    options.TaskTray = chkTaskTray->isChecked();
    options.Keyring = chkKeyring->isChecked();
    TSirenOptions siren;
    siren.Enabled = chkSirenEnabled->isChecked();
    siren.Target1 = Bytes(edtSirenTarget1->text());
    siren.Target2 = Bytes(edtSirenTarget2->text());
    siren.Target3 = Bytes(edtSirenTarget3->text());
    siren.Song1 = Bytes(edtSirenSong1->text());
    siren.Song2 = Bytes(edtSirenSong2->text());
    siren.Song3 = Bytes(edtSirenSong3->text());
    siren.Song0 = Bytes(edtSirenSong0->text());
    const size_t count = std::min(static_cast<size_t>(std::max(AccountCount, 0)), Accounts.size());
    TSettingsFile(FHost->GetIniPath()).Write(std::span(Accounts).first(count), options, siren);
}

// ---- handlers ----

void TfrmSetting::FormCreate(TObject*) {
    ClearAccountCopy();
    // An error reading the version is reported and the label keeps its
    // caption "lblVerInfo"; the dialog is created all the same.
    Guard([this] {
        std::string version;
        TVerInfo info;
        info.GetProductVersion(version);
        lblVerInfo->setText(QStringLiteral("Ver. ") + QStr(version));
        lblVerInfo->adjustSize();
    });
}

void TfrmSetting::FormShow(TObject*) { ReadSettings(); }

void TfrmSetting::FormClose(TObject*) {
    EndKeyringRound();
    ++FKeyringProbe;
    ClearAccountCopy();
}

void TfrmSetting::btnOkClick(TObject*) {
    if (FKeyringPending > 0) return;
    // A number still being typed (Enter presses OK while the spin box has the
    // focus) is brought into range before it is saved.
    spePort->ApplyRange();
    speInterval->ApplyRange();
    const size_t count = std::min(static_cast<size_t>(std::max(AccountCount, 0)), Accounts.size());
    std::vector<TKeyringTask> tasks;
    if (chkKeyring->isChecked()) {
        // Every password of the copy goes into the keyring before the file
        // loses it. An empty one is kept there already (or there is none);
        // when its key was edited, its entry is copied to the new key, or the
        // account would find nothing at its next check.
        for (size_t i = 0; i < count; ++i) {
            const TAccount& account = Accounts[i];
            if (!account.Password.empty())
                tasks.push_back({i, TKeyringStep::Store});
            else if (!account.KeyringKeyRead.empty() && account.KeyringKeyRead != KeyringKeyOf(account))
                tasks.push_back({i, TKeyringStep::Copy});
        }
        return KeyringRound(tasks);
    }
    if (FKeyringInFile) {
        if (!ConfirmYesNo("Write the passwords kept in the desktop keyring back into the settings file?")) return;
        for (size_t i = 0; i < count; ++i)
            if (Accounts[i].Password.empty() && !Accounts[i].KeyringKeyRead.empty())
                tasks.push_back({i, TKeyringStep::ReadBack});
        return KeyringRound(tasks);
    }
    SaveAndClose();
}

void TfrmSetting::SaveAndClose() {
    WriteSettings();
    FHost->LoadSettings();
    Close();
}

void TfrmSetting::KeyringRound(const std::vector<TKeyringTask>& tasks) {
    EndKeyringRound();
    if (tasks.empty()) return SaveAndClose();
    const unsigned run = FKeyringRun;
    FKeyringPending = tasks.size();
    pageSetting->setEnabled(false);
    btnOk->setEnabled(false);
    for (const TKeyringTask& task : tasks) {
        const TAccount& account = Accounts[task.account];
        auto done = [this, alive = std::weak_ptr<int>(FAlive), run, task](const TKeyringResult& result) {
            if (alive.lock()) Guard([&] { KeyringAnswer(run, task, result); });
        };
        if (task.step == TKeyringStep::Store)
            WriteKeyring(KeyringKeyOf(account), account.Password, done);
        else
            ReadKeyring(account.KeyringKeyRead, done);
    }
}

void TfrmSetting::KeyringAnswer(unsigned run, const TKeyringTask& task, const TKeyringResult& result) {
    if (run != FKeyringRun || FKeyringPending == 0 || task.account >= Accounts.size()) return;
    TAccount& account = Accounts[task.account];
    if (task.step == TKeyringStep::Copy && result.Ok) {
        // The entry read; its copy under the new key ends this account's part.
        auto done = [this, alive = std::weak_ptr<int>(FAlive), run, task](const TKeyringResult& written) {
            if (alive.lock()) Guard([&] { KeyringAnswer(run, {task.account, TKeyringStep::Store}, written); });
        };
        return WriteKeyring(KeyringKeyOf(account), result.Secret, done);
    }
    // An account without an entry has no password to read back or copy: it
    // fails at its check as it would have before the edit.
    const bool missingIsFine = result.NotFound && task.step != TKeyringStep::Store;
    if (!result.Ok && !missingIsFine && FKeyringError.empty()) FKeyringError = result.Error;
    if (result.Ok && task.step == TKeyringStep::ReadBack) account.Password = result.Secret;
    if (--FKeyringPending > 0) return;
    const std::string error = FKeyringError;
    EndKeyringRound();
    // A failing keyring saves nothing: the file keeps its passwords and the
    // dialog its edits, for another OK or a Cancel.
    if (!error.empty()) return ShowMessage("keyring: " + error);
    SaveAndClose();
}

void TfrmSetting::ProbeKeyring() {
    const unsigned probe = ++FKeyringProbe;
    FKeyringClicked = false;
    ReadKeyring(kKeyringProbeKey, [this, alive = std::weak_ptr<int>(FAlive), probe](const TKeyringResult& result) {
        if (!alive.lock() || probe != FKeyringProbe || FKeyringClicked) return;
        if (result.Ok || result.NotFound) chkKeyring->setChecked(true);
    });
}

void TfrmSetting::EndKeyringRound() {
    ++FKeyringRun;
    FKeyringPending = 0;
    FKeyringError.clear();
    pageSetting->setEnabled(true);
    btnOk->setEnabled(true);
}

void TfrmSetting::btnCancelClick(TObject*) { Close(); }

void TfrmSetting::cboAccountNameChange(TObject*) { ShowAccount(); }

// An edit of an account's field goes into the copy at the selected index;
// the port box's value goes with it, so an account the user edits is saved
// with the port on display (brought into 1..65535).
void TfrmSetting::StoreEdit(const std::function<void(TAccount&)>& edit) {
    const int i = EditedAccount();
    if (i < 0) return;
    TAccount& account = Accounts[static_cast<size_t>(i)];
    if (edit) edit(account);
    account.Port = spePort->Value();
}

void TfrmSetting::edtPopChange(TObject*) {
    StoreEdit([this](TAccount& a) { a.Server = Bytes(edtPop->text()); });
}

void TfrmSetting::edtUserChange(TObject*) {
    StoreEdit([this](TAccount& a) { a.UserName = Bytes(edtUser->text()); });
}

void TfrmSetting::edtPasswordChange(TObject*) {
    StoreEdit([this](TAccount& a) { a.Password = Bytes(edtPassword->text()); });
}

void TfrmSetting::edtPasswordCommandChange(TObject*) {
    // UTF-8, as the command is given to the shell.
    StoreEdit([this](TAccount& a) { a.PasswordCommand = edtPasswordCommand->text().toUtf8().toStdString(); });
}

void TfrmSetting::spePortChange(TObject*) { StoreEdit(nullptr); }

void TfrmSetting::chkApopClick(TObject*) {
    StoreEdit([this](TAccount& a) { a.APop = chkApop->isChecked() ? 1 : 0; });
}

void TfrmSetting::cboProtocolChange(TObject*) {
    const int i = EditedAccount();
    if (i < 0) return;
    const int protocol = cboProtocol->currentIndex();
    if (!ValidProtocol(protocol)) return;
    const TAccount& account = Accounts[static_cast<size_t>(i)];
    spePort->SetValue(MovedPort(spePort->Value(), account.Protocol, protocol, account.Security));
    StoreEdit([protocol](TAccount& a) {
        a.Protocol = protocol;
        a.ProtocolText.clear();
    });
    // The account holds a valid choice now: the entry of the file's value goes.
    while (cboProtocol->count() > kProtocolChoices) cboProtocol->removeItem(kProtocolChoices);
    EnableProtocolFields();
}

void TfrmSetting::edtFolderChange(TObject*) {
    // An empty field is saved as INBOX (the file never holds an empty Folder).
    StoreEdit([this](TAccount& a) { a.Folder = edtFolder->text().toUtf8().toStdString(); });
}

void TfrmSetting::cboSecurityChange(TObject*) {
    const int i = EditedAccount();
    if (i < 0) return;
    const int security = cboSecurity->currentIndex();
    if (!ValidSecurity(security)) return;
    const TAccount& account = Accounts[static_cast<size_t>(i)];
    spePort->SetValue(MovedPort(spePort->Value(), account.Protocol, account.Protocol, security));
    StoreEdit([security](TAccount& a) {
        a.Security = security;
        a.SecurityText.clear();
    });
    // The account holds a valid choice now: the entry of the file's value goes.
    while (cboSecurity->count() > kSecurityChoices) cboSecurity->removeItem(kSecurityChoices);
}

void TfrmSetting::edtFingerprintChange(TObject*) {
    StoreEdit([this](TAccount& a) { a.Fingerprint = Bytes(edtFingerprint->text()); });
}

void TfrmSetting::cboAuthChange(TObject*) {
    const int auth = cboAuth->currentIndex();
    if (auth < 0 || auth >= kAuthChoices) return;
    if (EditedAccount() < 0) return;
    StoreEdit([auth](TAccount& a) {
        a.Auth = auth;
        a.AuthText.clear();
    });
    while (cboAuth->count() > kAuthChoices) cboAuth->removeItem(kAuthChoices);
}

void TfrmSetting::chkFlashClick(TObject*) { UpdateFlashOptions(); }

void TfrmSetting::chkLightEqualClick(TObject*) { UpdateFlashOptions(); }

void TfrmSetting::chkSirenEnabledClick(TObject*) { UpdateSirenFields(); }

void TfrmSetting::btnCreateAccountClick(TObject*) {
    if (AccountCount >= FHost->GetMaxAccounts()) return;
    AccountCount = AccountCount + 1;
    Accounts.push_back(NewAccount(AccountCount));
    cboAccountName->addItem(QStr(Accounts.back().AccountName));
    cboAccountName->setCurrentIndex(cboAccountName->count() - 1);
    ShowAccount();
}

void TfrmSetting::btnRenameAccountClick(TObject*) {
    const int i = SelectedAccount();
    if (i < 0) return;
    const size_t count = Accounts.size();
    const std::string named = Accounts[static_cast<size_t>(i)].AccountName;
    std::string name = named;
    if (!InputQuery("Rename", "New name:", name)) return;
    // The input box runs its own message loop (a poll cycle keeps the form
    // usable meanwhile): the account it named is renamed, and only while it
    // is still there, whatever is selected now.
    if (!SameAccountAt(i, count, named)) return;
    Accounts[static_cast<size_t>(i)].AccountName = name;
    cboAccountName->setItemText(i, QStr(name));
}

void TfrmSetting::btnDeleteAccountClick(TObject*) {
    if (AccountCount <= 1) return;
    const int i = SelectedAccount();
    if (i < 0) return;
    const size_t count = Accounts.size();
    const std::string named = Accounts[static_cast<size_t>(i)].AccountName;
    if (!ConfirmYesNo("Are you sure you want to delete '" + named + "' and all of its information?")) return;
    // As for a rename: the account the question named, if it is unchanged.
    if (!SameAccountAt(i, count, named) || AccountCount <= 1) return;
    AccountCount = AccountCount - 1;
    Accounts.erase(Accounts.begin() + i);
    cboAccountName->removeItem(i);
    cboAccountName->setCurrentIndex(i < AccountCount ? i : i - 1);
    ShowAccount();
}
