// The application object and the form base class.
//
// TApplication wraps the Qt application: it keeps the title and the main
// form, runs the message loop until the main form closes, processes pending
// messages on request (ProcessMessages, WaitMessage) and says when the program
// is ending (Terminated). An exception that escapes an event handler ends that
// handler only: its message is shown in a message box (or handed to
// OnException when one is set) and the loop goes on.
#pragma once

#include "framework/Classes.h"
#include "platform/WinTypes.h"

#include <QWidget>

#include <exception>
#include <string>

class TForm;

class TApplication : public TComponent {
public:
    TApplication();
    ~TApplication() override;

    // Sets up the handlers the framework needs (exceptions from window
    // procedures, the form font); call once after the Qt application exists.
    void Initialize();

    // Makes `form` the main form when there is none yet.
    void RegisterForm(TForm* form);

    // Shows the main form unless ShowMainForm is false, then processes
    // messages until the main form closes or Terminate is called.
    void Run();

    // Processes every message that is pending now, then returns.
    void ProcessMessages();

    // Waits in the event loop until at least one message arrives or `ms`
    // milliseconds pass, processes what is pending and returns; never spins.
    void WaitMessage(int ms);

    // Ends the program: Terminated becomes true at once and the loop of Run
    // ends as soon as control returns to it.
    void Terminate();

    // Reports an exception that escaped an event handler.
    void HandleException(const std::exception& e);
    void ShowException(const std::exception& e);

    bool ShowMainForm = true;
    std::string Title;
    bool Terminated = false;
    TForm* MainForm = nullptr;
    HICON Icon = 0;

    // When set, receives the escaped exceptions instead of the message box.
    std::function<void(const std::exception&)> OnException;

private:
    bool FRunning = false;
};

extern TApplication* Application;

// Runs `f`; an exception from it goes to Application->HandleException.
template <class F>
void Guard(F&& f) {
    try {
        f();
    } catch (const std::exception& e) {
        if (Application) Application->HandleException(e);
    }
}

// Base of the program's windows. A form has a window handle (made when first
// asked for) whose messages reach WndProc. Closing the main form ends the
// application.
class TForm : public QWidget, public TComponent {
public:
    explicit TForm(QWidget* parent = nullptr);
    ~TForm() override;

    HWND Handle();
    bool HandleAllocated() const { return FHandle != 0; }

    // Sets the client-area size and keeps the border from resizing it.
    void SetFixedClientSize(int width, int height);
    // Moves the form to the centre of the screen it is on.
    void CenterOnScreen();

protected:
    virtual void WndProc(TMessage& message);
    void closeEvent(QCloseEvent* event) override;

private:
    HWND FHandle = 0;
};

// The font the forms are designed with: the Japanese proportional UI font,
// 12 pixels high (substituted by an installed Japanese font where it is
// missing).
QFont FormFont();
