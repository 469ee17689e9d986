// Forms, and the parts of TApplication that need the GUI: setting up the
// form font, showing the main form and running until it closes, and the
// message box for an exception that escaped a handler.
#include "framework/Application.h"

#include "platform/Window.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFont>
#include <QMessageBox>
#include <QScreen>

namespace {
const char* const kFormFontFamily = "ＭＳ Ｐゴシック";
}

void TApplication::Initialize() {
    SetWindowProcExceptionHandler([this](const std::exception& e) { HandleException(e); });
    QFont::insertSubstitutions(QString::fromUtf8(kFormFontFamily), {"IPAPGothic", "IPAGothic", "Noto Sans CJK JP"});
    if (auto* app = qobject_cast<QApplication*>(QCoreApplication::instance())) app->setQuitOnLastWindowClosed(false);
}

void TApplication::Run() {
    if (ShowMainForm && MainForm) MainForm->show();
    if (Terminated) return;
    FRunning = true;
    QCoreApplication::exec();
    FRunning = false;
}

void TApplication::HandleException(const std::exception& e) {
    if (OnException)
        OnException(e);
    else
        ShowException(e);
}

void TApplication::ShowException(const std::exception& e) {
    QMessageBox box(QMessageBox::Critical, QString::fromLocal8Bit(Title), QString::fromLocal8Bit(e.what()),
                    QMessageBox::Ok);
    box.exec();
}

TForm::TForm(QWidget* parent) : QWidget(parent) {
    setFont(FormFont());
    if (Application) Application->RegisterForm(this);
}

TForm::~TForm() {
    if (FHandle) DeallocateHWnd(FHandle);
    if (Application && Application->MainForm == this) Application->MainForm = nullptr;
}

HWND TForm::Handle() {
    if (!FHandle) FHandle = AllocateHWnd([this](TMessage& m) { WndProc(m); });
    return FHandle;
}

void TForm::SetFixedClientSize(int width, int height) { setFixedSize(width, height); }

void TForm::CenterOnScreen() {
    QScreen* s = screen() ? screen() : QGuiApplication::primaryScreen();
    if (!s) return;
    QRect area = s->availableGeometry();
    QRect frame = frameGeometry();
    // Before the first showing the frame is not known yet: centre the client area.
    QSize size = frame.isValid() && frame.size() != QSize(0, 0) ? frame.size() : this->size();
    move(area.center() - QPoint(size.width() / 2, size.height() / 2));
}

void TForm::WndProc(TMessage& message) {
    message.Result = DefWindowProcA(FHandle, message.Msg, message.WParam, message.LParam);
}

void TForm::closeEvent(QCloseEvent* event) {
    event->accept();
    if (Application && Application->MainForm == this) Application->Terminate();
}

QFont FormFont() {
    QFont font(QString::fromUtf8(kFormFontFamily));
    font.setPixelSize(12);
    return font;
}
