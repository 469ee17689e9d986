#include "framework/Application.h"
#include "framework/Dialogs.h"
#include "framework/Menus.h"
#include "platform/Window.h"
#include "support/TestSupport.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <gtest/gtest.h>

#include <thread>

TEST(Application, WaitMessageReturnsWhenAMessageArrives) {
    bool got = false;
    HWND wnd = AllocateHWnd([&](TMessage&) { got = true; });
    std::thread poster([wnd] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        PostMessageA(wnd, 0x401, 0, 0);
    });
    QElapsedTimer clock;
    clock.start();
    while (!got && clock.elapsed() < 10000) Application->WaitMessage(10000);
    poster.join();
    EXPECT_TRUE(got);
    EXPECT_LT(clock.elapsed(), 9000) << "the wait should end with the message, not the deadline";
    DeallocateHWnd(wnd);
}

TEST(Application, WaitMessageReturnsAtTheDeadlineWhenNothingArrives) {
    QElapsedTimer clock;
    clock.start();
    // Nothing is pending: the wait ends by its own deadline and does not hang.
    while (clock.elapsed() < 100) Application->WaitMessage(100);
    EXPECT_GE(clock.elapsed(), 100);
}

TEST(Application, ProcessMessagesDeliversPendingOnly) {
    int n = 0;
    HWND wnd = 0;
    wnd = AllocateHWnd([&](TMessage&) {
        if (++n < 5) PostMessageA(wnd, 1, 0, 0);
    });
    PostMessageA(wnd, 1, 0, 0);
    Application->ProcessMessages();
    EXPECT_EQ(n, 1) << "a message posted during processing waits for the next round";
    DeallocateHWnd(wnd);
}

namespace {
class TTestForm : public TForm {
public:
    std::vector<UINT> messages;

protected:
    void WndProc(TMessage& m) override { messages.push_back(m.Msg); }
};
}  // namespace

TEST(Application, ClosingTheMainFormTerminatesAndRunReturns) {
    TApplication& app = *Application;
    TForm* savedMain = app.MainForm;
    app.MainForm = nullptr;
    TTestForm form;
    ASSERT_EQ(app.MainForm, &form) << "the first form made becomes the main form";
    app.ShowMainForm = false;
    QTimer::singleShot(20, [&] {
        HWND h = form.Handle();
        PostMessageA(h, 0x464, 1, 0x204);
        QTimer::singleShot(20, [&] { form.close(); });
    });
    app.Run();
    EXPECT_TRUE(app.Terminated);
    EXPECT_FALSE(form.isVisible());
    EXPECT_EQ(form.messages, std::vector<UINT>{0x464});
    app.Terminated = false;
    app.MainForm = savedMain;
}

TEST(Application, DialogHooksReplaceTheRealDialogs) {
    std::string asked;
    TDialogHooks old = SetDialogHooks({
        [&](const std::string& text) { asked = text; },
        [&](const std::string&, const std::string& prompt, std::string& value) {
            value = prompt + "!";
            return true;
        },
        [&](const std::string& text) { return text == "yes?"; },
    });
    ShowMessage("hello");
    EXPECT_EQ(asked, "hello");
    std::string v = "x";
    EXPECT_TRUE(InputQuery("Rename", "New name:", v));
    EXPECT_EQ(v, "New name:!");
    EXPECT_TRUE(ConfirmYesNo("yes?"));
    EXPECT_FALSE(ConfirmYesNo("no?"));
    SetDialogHooks(old);
}

TEST(PopupMenu, OpensAtThePositionAndFiresItems) {
    TPopupMenu menu;
    int clicks = 0;
    TMenuItem* a = menu.Add("&Open");
    menu.Add("-");
    TMenuItem* b = menu.Add("E&xit");
    b->OnClick = [&](TObject* s) {
        EXPECT_EQ(s, b);
        ++clicks;
    };
    ASSERT_EQ(menu.Menu()->actions().size(), 3);
    EXPECT_TRUE(menu.Menu()->actions()[1]->isSeparator());
    EXPECT_EQ(menu.Menu()->actions()[2]->text(), "E&xit");
    menu.Popup(200, 150);
    ASSERT_TRUE(TestSupport::WaitFor([&] { return menu.Menu()->isVisible(); }));
    EXPECT_EQ(menu.Menu()->pos(), QPoint(200, 150));
    menu.Menu()->actions()[2]->trigger();
    menu.Menu()->actions()[0]->trigger();  // no handler: nothing happens
    EXPECT_EQ(clicks, 1);
    (void)a;
    menu.Menu()->hide();
}
