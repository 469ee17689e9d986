// The message loop half of TApplication: what sockets and the POP3 engine
// call while they wait. It needs Qt Core alone, so `Vesk --check`, which
// links no GUI library, can use it; the forms and the parts of TApplication
// that show them are in Forms.cpp.
#include "framework/Application.h"

#include "platform/Window.h"

#include <QCoreApplication>
#include <QTimer>

TApplication* Application = nullptr;

TApplication::TApplication() {
    if (!Application) Application = this;
}

TApplication::~TApplication() {
    if (Application == this) {
        Application = nullptr;
        SetWindowProcExceptionHandler(nullptr);
    }
}

void TApplication::RegisterForm(TForm* form) {
    if (!MainForm) MainForm = form;
}

void TApplication::ProcessMessages() {
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void TApplication::WaitMessage(int ms) {
    if (ms <= 0) {
        ProcessMessages();
        return;
    }
    // The timer is one more event source: it wakes the wait at the deadline
    // when nothing else arrives first.
    QTimer deadline;
    deadline.setSingleShot(true);
    deadline.start(ms);
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
}

void TApplication::Terminate() {
    Terminated = true;
    if (FRunning) QCoreApplication::exit(0);
}
