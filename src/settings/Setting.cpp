#include "settings/Setting.h"

#include "codec/Base64.h"
#include "framework/Dialogs.h"
#include "framework/IniFiles.h"
#include "settings/VerInfo.h"

#include <QCloseEvent>
#include <QKeyEvent>
#include <QPainter>
#include <QProxyStyle>
#include <QShowEvent>
#include <QStyle>

#include <algorithm>

TfrmSetting* frmSetting = nullptr;

namespace {

const char* const kAccountConfig = "AccountConfig";
const char* const kGlobal = "Global Parameters";
const char* const kSiren = "Siren";

QString qstr(const std::string& s) { return QString::fromLocal8Bit(s.data(), static_cast<qsizetype>(s.size())); }
std::string bytes(const QString& s) { return s.toLocal8Bit().toStdString(); }

// Puts `text` into a field showing its start, as a freshly filled field does.
void setFieldText(QLineEdit* edit, const std::string& text) {
    edit->setText(qstr(text));
    edit->setCursorPosition(0);
}

// The integer of a decimal text of the copy (ports and APOP flags).
int toInt(const std::string& s) { return ParseIniInteger(s).value_or(0); }

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

QLabel* makeLabel(QWidget* parent, const char* caption, int left, int top, QWidget* buddy = nullptr) {
    auto* label = new QLabel(QString::fromUtf8(caption), parent);
    if (buddy) label->setBuddy(buddy);
    label->move(left, top);
    label->adjustSize();
    return label;
}

QPushButton* makeButton(QWidget* parent, const char* caption, int left, int top, int width, int height) {
    auto* button = new QPushButton(QString::fromUtf8(caption), parent);
    button->setGeometry(left, top, width, height);
    button->setAutoDefault(false);
    return button;
}

QCheckBox* makeCheck(QWidget* parent, const char* caption, int left, int top, int width, int height) {
    auto* check = new QCheckBox(QString::fromUtf8(caption), parent);
    check->setGeometry(left, top, width, height);
    return check;
}

QLineEdit* makeEdit(QWidget* parent, int left, int top, int width, int height) {
    auto* edit = new QLineEdit(parent);
    edit->setGeometry(left, top, width, height);
    return edit;
}

TSpinEdit* makeSpin(QWidget* parent, int left, int top, int width, int height, int min, int max, int value) {
    auto* spin = new TSpinEdit(parent);
    spin->setGeometry(left, top, width, height);
    spin->SetMinValue(min);
    spin->SetMaxValue(max);
    spin->SetValue(value);
    return spin;
}

// Holds a flag set for the life of the object.
class TFlagScope {
public:
    explicit TFlagScope(bool& flag) : flag_(flag), old_(flag) { flag_ = true; }
    ~TFlagScope() { flag_ = old_; }

private:
    bool& flag_;
    bool old_;
};

}  // namespace

TfrmSetting::TfrmSetting(TSettingHost* host, QWidget* parent) : TForm(parent), host_(host) {
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
    setWindowTitle(QStringLiteral("Zizora Duvizuv"));
    SetFixedClientSize(318, 313);

    pageSetting = new QTabWidget(this);
    pageSetting->setGeometry(8, 12, 301, 261);
    tbsZizaz = new QWidget;
    tbsRidovivez = new QWidget;
    tbsSiren = new QWidget;
    pageSetting->addTab(tbsZizaz, QStringLiteral("Zizaz"));
    pageSetting->addTab(tbsRidovivez, QStringLiteral("Ridovivez"));
    pageSetting->addTab(tbsSiren, QStringLiteral("Siren"));
    pageSetting->setCurrentWidget(tbsZizaz);

    btnOk = makeButton(this, "OK", 224, 284, 85, 21);
    btnCancel = makeButton(this, "Cancel", 132, 284, 85, 21);
    lblVerInfo = makeLabel(this, "lblVerInfo", 12, 284);

    // Page "Zizaz": accounts and the interval.
    QWidget* p = tbsZizaz;
    cboAccountName = new QComboBox(p);
    cboAccountName->setEditable(false);
    cboAccountName->setGeometry(12, 16, 185, 20);
    btnRenameAccount = makeButton(p, "&R", 200, 16, 25, 21);
    btnDeleteAccount = makeButton(p, "&D", 228, 16, 25, 21);
    btnCreateAccount = makeButton(p, "&C", 256, 16, 25, 21);
    edtPop = makeEdit(p, 136, 45, 145, 20);
    lblPop = makeLabel(p, "&POP3 Server:", 37, 51, edtPop);
    chkApop = makeCheck(p, "use &APOP", 64, 72, 97, 17);
    lblPort = new TMarkedLabel(QStringLiteral("POP3 Port &Number:"), p);
    lblPort->move(66, 101);
    lblPort->adjustSize();
    spePort = makeSpin(p, 226, 94, 58, 21, 1, 65535, 110);
    edtUser = makeEdit(p, 136, 126, 148, 20);
    lblUser = makeLabel(p, "&User Name:", 37, 133, edtUser);
    edtPassword = makeEdit(p, 136, 152, 148, 20);
    edtPassword->setEchoMode(QLineEdit::Password);
    auto* starStyle = new TStarPasswordStyle;
    starStyle->setParent(this);
    edtPassword->setStyle(starStyle);
    lblPassword = makeLabel(p, "&Password:", 37, 158, edtPassword);
    speInterval = makeSpin(p, 102, 192, 46, 21, 20, 600, 60);
    lblInterval = makeLabel(p, "&Interval (sec):", 13, 198, speInterval);

    // Page "Ridovivez": LED and tray options.
    p = tbsRidovivez;
    chkLightEqual = makeCheck(p, "&Light up on Equal", 13, 15, 141, 20);
    chkFlash = makeCheck(p, "&Flash LED", 13, 45, 116, 20);
    chkFlashEqual = makeCheck(p, "Flash on E&qual", 26, 70, 128, 20);
    chkFlashError = makeCheck(p, "Flash on &Error", 26, 96, 128, 20);
    chkAttentiveWait = makeCheck(p, "&Attentive to Velora", 13, 134, 154, 20);
    chkTaskTray = makeCheck(p, "Live in the &TaskTray", 13, 166, 154, 20);

    // Page "Siren": targets and sounds.
    p = tbsSiren;
    chkSirenEnabled = makeCheck(p, "&Sing with Siren", 13, 13, 129, 20);
    lblSirenTarget1 = makeLabel(p, "1. Target:", 19, 44);
    edtSirenTarget1 = makeEdit(p, 96, 40, 169, 20);
    lblSirenSong1 = makeLabel(p, "Song:", 38, 66);
    edtSirenSong1 = makeEdit(p, 104, 64, 161, 20);
    lblSirenTarget2 = makeLabel(p, "2. Target:", 19, 96);
    edtSirenTarget2 = makeEdit(p, 96, 92, 169, 20);
    lblSirenSong2 = makeLabel(p, "Song:", 38, 118);
    edtSirenSong2 = makeEdit(p, 104, 116, 161, 20);
    lblSirenTarget3 = makeLabel(p, "3. Target:", 19, 147);
    edtSirenTarget3 = makeEdit(p, 96, 144, 169, 20);
    lblSirenSong3 = makeLabel(p, "Song:", 38, 173);
    edtSirenSong3 = makeEdit(p, 104, 168, 161, 20);
    lblSirenSong0 = makeLabel(p, "for the othres:", 13, 205);
    edtSirenSong0 = makeEdit(p, 104, 200, 161, 20);

    // Tab order: the page control, the controls of each page, OK, Cancel.
    // Controls of the pages not on display are skipped by the focus chain.
    const std::vector<QWidget*> order = {
        pageSetting,     cboAccountName,  btnRenameAccount, btnDeleteAccount, btnCreateAccount, edtPop,
        edtUser,         edtPassword,     chkApop,          spePort,          speInterval,      chkLightEqual,
        chkFlash,        chkFlashEqual,   chkFlashError,    chkAttentiveWait, chkTaskTray,      chkSirenEnabled,
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
    spePort->OnChange = [this](TObject* sender) { Guard([this, sender] { spePortChange(sender); }); };
    connect(chkApop, &QCheckBox::toggled, this, bind(&TfrmSetting::chkApopClick));
    connect(chkFlash, &QCheckBox::toggled, this, bind(&TfrmSetting::chkFlashClick));
    connect(chkLightEqual, &QCheckBox::toggled, this, bind(&TfrmSetting::chkLightEqualClick));
    connect(chkSirenEnabled, &QCheckBox::toggled, this, bind(&TfrmSetting::chkSirenEnabledClick));

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
    const size_t k = static_cast<size_t>(i);
    for (const auto* list : {&AccountNames, &Servers, &UserNames, &Passwords, &Ports, &ApopFlags})
        if (k >= list->size()) return -1;
    return i;
}

int TfrmSetting::EditedAccount() const { return showing_ ? -1 : SelectedAccount(); }

void TfrmSetting::EnableAccountFields(bool on) {
    for (QWidget* w : std::initializer_list<QWidget*>{btnRenameAccount, edtPop, edtUser, edtPassword, chkApop, spePort})
        w->setEnabled(on);
}

// ---- operations ----

void TfrmSetting::ShowAccount() {
    // Showing an account puts its values into the fields; the change
    // handlers then leave the copy alone, so an account the user does not
    // edit is saved as it was read (a port outside 1..65535 included).
    TFlagScope scope(showing_);
    const int i = SelectedAccount();
    if (i < 0) {
        // No account to show (Count 0 in the file): the fields are empty and
        // disabled until an account is created.
        edtPop->clear();
        edtUser->clear();
        edtPassword->clear();
        spePort->SetValue(110);
        chkApop->setChecked(false);
        EnableAccountFields(false);
        return;
    }
    EnableAccountFields(true);
    const size_t k = static_cast<size_t>(i);
    setFieldText(edtPop, Servers[k]);
    setFieldText(edtUser, UserNames[k]);
    setFieldText(edtPassword, Passwords[k]);
    spePort->SetValue(toInt(Ports[k]));
    chkApop->setChecked(toInt(ApopFlags[k]) != 0);
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

void TfrmSetting::ClearAccountCopy() {
    AccountNames.clear();
    Servers.clear();
    UserNames.clear();
    Passwords.clear();
    Ports.clear();
    ApopFlags.clear();
}

void TfrmSetting::ReadSettings() {
    TIniFile ini(host_->GetIniPath());
    TBase64 base64;
    ClearAccountCopy();
    // A negative count means no accounts, as it does to the main window.
    AccountCount = std::max(0, ini.ReadInteger(kAccountConfig, "Count", 1));
    for (int n = 1; n <= AccountCount; ++n) {
        const std::string section = "Account" + std::to_string(n);
        AccountNames.push_back(ini.ReadString(section, "AccountName", section));
        Servers.push_back(ini.ReadString(section, "POPServer", ""));
        UserNames.push_back(ini.ReadString(section, "UserName", ""));
        Ports.push_back(std::to_string(ini.ReadInteger(section, "PortNumber", 110)));
        Passwords.push_back(base64.Decode(ini.ReadString(section, "Password", "")));
        ApopFlags.push_back(std::to_string(ini.ReadInteger(section, "APOP", 0)));
    }

    cboAccountName->clear();
    for (const auto& name : AccountNames) cboAccountName->addItem(qstr(name));
    if (!AccountNames.empty()) cboAccountName->setCurrentIndex(0);
    ShowAccount();

    speInterval->SetValue(ini.ReadInteger(kGlobal, "CheckInterval", 60));
    chkLightEqual->setChecked(ini.ReadInteger(kGlobal, "LightOnEqual", 1) != 0);
    chkFlash->setChecked(ini.ReadInteger(kGlobal, "Flash", 0) != 0);
    chkFlashEqual->setChecked(ini.ReadInteger(kGlobal, "FlashOnEqual", 0) != 0);
    chkFlashError->setChecked(ini.ReadInteger(kGlobal, "FlashOnError", 0) != 0);
    UpdateFlashOptions();
    chkAttentiveWait->setChecked(ini.ReadInteger(kGlobal, "AttentiveWait", 1) != 0);
    chkTaskTray->setChecked(ini.ReadInteger(kGlobal, "TaskTray", 0) != 0);
    chkSirenEnabled->setChecked(ini.ReadInteger(kSiren, "Enabled", 0) != 0);
    setFieldText(edtSirenTarget1, ini.ReadString(kSiren, "Target1", ""));
    setFieldText(edtSirenTarget2, ini.ReadString(kSiren, "Target2", ""));
    setFieldText(edtSirenTarget3, ini.ReadString(kSiren, "Target3", ""));
    setFieldText(edtSirenSong1, ini.ReadString(kSiren, "Song1", ""));
    setFieldText(edtSirenSong2, ini.ReadString(kSiren, "Song2", ""));
    setFieldText(edtSirenSong3, ini.ReadString(kSiren, "Song3", ""));
    setFieldText(edtSirenSong0, ini.ReadString(kSiren, "Song0", ""));
    UpdateSirenFields();
}

void TfrmSetting::WriteSettings() {
    TIniFile ini(host_->GetIniPath());
    TBase64 base64;
    const int count = std::min<int>(AccountCount, static_cast<int>(AccountNames.size()));
    for (int n = 1; n <= count; ++n) {
        const std::string section = "Account" + std::to_string(n);
        const size_t e = static_cast<size_t>(n - 1);
        ini.WriteString(section, "AccountName", AccountNames[e]);
        ini.WriteString(section, "POPServer", Servers[e]);
        ini.WriteString(section, "UserName", UserNames[e]);
        ini.WriteInteger(section, "PortNumber", toInt(Ports[e]));
        ini.WriteString(section, "Password", base64.Encode(Passwords[e]));
        ini.WriteInteger(section, "APOP", toInt(ApopFlags[e]));
    }
    ini.WriteInteger(kAccountConfig, "Count", count);
    ini.WriteInteger(kGlobal, "CheckInterval", speInterval->Value());
    ini.WriteBool(kGlobal, "LightOnEqual", chkLightEqual->isChecked());
    ini.WriteBool(kGlobal, "Flash", chkFlash->isChecked());
    ini.WriteBool(kGlobal, "FlashOnEqual", chkFlashEqual->isChecked());
    ini.WriteBool(kGlobal, "FlashOnError", chkFlashError->isChecked());
    ini.WriteBool(kGlobal, "AttentiveWait", chkAttentiveWait->isChecked());
    ini.WriteBool(kGlobal, "TaskTray", chkTaskTray->isChecked());
    ini.WriteBool(kSiren, "Enabled", chkSirenEnabled->isChecked());
    ini.WriteString(kSiren, "Target1", bytes(edtSirenTarget1->text()));
    ini.WriteString(kSiren, "Target2", bytes(edtSirenTarget2->text()));
    ini.WriteString(kSiren, "Target3", bytes(edtSirenTarget3->text()));
    ini.WriteString(kSiren, "Song1", bytes(edtSirenSong1->text()));
    ini.WriteString(kSiren, "Song2", bytes(edtSirenSong2->text()));
    ini.WriteString(kSiren, "Song3", bytes(edtSirenSong3->text()));
    ini.WriteString(kSiren, "Song0", bytes(edtSirenSong0->text()));
    ini.UpdateFile();
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
        lblVerInfo->setText(QStringLiteral("Ver. ") + qstr(version));
        lblVerInfo->adjustSize();
    });
}

void TfrmSetting::FormShow(TObject*) { ReadSettings(); }

void TfrmSetting::FormClose(TObject*) { ClearAccountCopy(); }

void TfrmSetting::btnOkClick(TObject*) {
    // A number still being typed (Enter presses OK while the spin box has the
    // focus) is brought into range before it is saved.
    spePort->ApplyRange();
    speInterval->ApplyRange();
    WriteSettings();
    host_->LoadSettings();
    Close();
}

void TfrmSetting::btnCancelClick(TObject*) { Close(); }

void TfrmSetting::cboAccountNameChange(TObject*) { ShowAccount(); }

// An edit of an account's field goes into the copy at the selected index;
// the port box's value goes with it, so an account the user edits is saved
// with the port on display (brought into 1..65535).
void TfrmSetting::StoreEdit(std::vector<std::string>* field, const std::string& value) {
    const int i = EditedAccount();
    if (i < 0) return;
    if (field) (*field)[static_cast<size_t>(i)] = value;
    Ports[static_cast<size_t>(i)] = std::to_string(spePort->Value());
}

void TfrmSetting::edtPopChange(TObject*) { StoreEdit(&Servers, bytes(edtPop->text())); }

void TfrmSetting::edtUserChange(TObject*) { StoreEdit(&UserNames, bytes(edtUser->text())); }

void TfrmSetting::edtPasswordChange(TObject*) { StoreEdit(&Passwords, bytes(edtPassword->text())); }

void TfrmSetting::spePortChange(TObject*) { StoreEdit(nullptr, {}); }

void TfrmSetting::chkApopClick(TObject*) { StoreEdit(&ApopFlags, chkApop->isChecked() ? "1" : "0"); }

void TfrmSetting::chkFlashClick(TObject*) { UpdateFlashOptions(); }

void TfrmSetting::chkLightEqualClick(TObject*) { UpdateFlashOptions(); }

void TfrmSetting::chkSirenEnabledClick(TObject*) { UpdateSirenFields(); }

void TfrmSetting::btnCreateAccountClick(TObject*) {
    if (AccountCount >= host_->GetMaxAccounts()) return;
    AccountCount = AccountCount + 1;
    const int n = AccountCount;
    AccountNames.push_back("Account" + std::to_string(n));
    Servers.emplace_back();
    UserNames.emplace_back();
    Passwords.emplace_back();
    Ports.push_back("110");
    ApopFlags.push_back("0");
    cboAccountName->addItem(qstr(AccountNames.back()));
    cboAccountName->setCurrentIndex(cboAccountName->count() - 1);
    ShowAccount();
}

void TfrmSetting::btnRenameAccountClick(TObject*) {
    int i = SelectedAccount();
    if (i < 0) return;
    std::string name = AccountNames[static_cast<size_t>(i)];
    if (!InputQuery("Rename", "New name:", name)) return;
    // The input box runs its own message loop: look at the selection again.
    i = SelectedAccount();
    if (i < 0) return;
    AccountNames[static_cast<size_t>(i)] = name;
    cboAccountName->setItemText(i, qstr(name));
    cboAccountName->setCurrentIndex(i);
}

void TfrmSetting::btnDeleteAccountClick(TObject*) {
    if (AccountCount <= 1) return;
    int i = SelectedAccount();
    if (i < 0) return;
    if (!ConfirmYesNo("Are you sure you want to delete '" + AccountNames[static_cast<size_t>(i)] +
                      "' and all of its information?"))
        return;
    i = SelectedAccount();
    if (i < 0 || AccountCount <= 1) return;
    AccountCount = AccountCount - 1;
    for (auto* list : {&AccountNames, &Servers, &UserNames, &Passwords, &Ports, &ApopFlags})
        list->erase(list->begin() + i);
    cboAccountName->removeItem(i);
    cboAccountName->setCurrentIndex(i < AccountCount ? i : i - 1);
    ShowAccount();
}
