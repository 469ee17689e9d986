#include "platform/ShellApi.h"
#include "platform/Window.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

TEST(FakeTrayHost, AddClickDelete) {
    TFakeTrayHost tray;
    TTrayHost* old = SetTrayHost(&tray);
    std::vector<TMessage> got;
    HWND wnd = AllocateHWnd([&](TMessage& m) { got.push_back(m); });

    NOTIFYICONDATAA d{};
    d.cbSize = sizeof d;
    d.hWnd = wnd;
    d.uID = 7;
    d.uFlags = NIF_MESSAGE | NIF_TIP;
    d.uCallbackMessage = 0x464;
    std::strcpy(d.szTip, "tip");
    EXPECT_TRUE(Shell_NotifyIconA(NIM_ADD, &d));
    EXPECT_FALSE(Shell_NotifyIconA(NIM_ADD, &d)) << "the same icon twice";

    ASSERT_TRUE(tray.Click(wnd, 7, WM_RBUTTONDOWN));
    EXPECT_TRUE(got.empty()) << "the callback is posted, not sent";
    ASSERT_TRUE(TestSupport::WaitFor([&] { return !got.empty(); }));
    EXPECT_EQ(got[0].Msg, 0x464u);
    EXPECT_EQ(got[0].WParam, 7u);
    EXPECT_EQ(got[0].LParam, WM_RBUTTONDOWN);

    EXPECT_TRUE(Shell_NotifyIconA(NIM_DELETE, &d));
    EXPECT_FALSE(Shell_NotifyIconA(NIM_DELETE, &d));
    EXPECT_FALSE(tray.Click(wnd, 7, WM_RBUTTONDOWN));

    d.cbSize = 40;  // a record too small is refused before the host sees it
    EXPECT_FALSE(Shell_NotifyIconA(NIM_ADD, &d));
    EXPECT_EQ(tray.calls.size(), 4u);

    tray.cursor = {321, 123};
    POINT p;
    ASSERT_TRUE(GetCursorPos(&p));
    EXPECT_EQ(p.x, 321);
    EXPECT_EQ(p.y, 123);

    DeallocateHWnd(wnd);
    SetTrayHost(old);
}
