#include "platform/Window.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>
#include <vector>

TEST(HiddenWindow, PostedMessagesArriveLaterAndInOrder) {
    std::vector<UINT> got;
    HWND wnd = AllocateHWnd([&](TMessage& m) {
        got.push_back(m.Msg);
        if (m.Msg == 0x401) PostMessageA(m.WParam, 0x402, 0, 0);  // posted from inside a procedure
    });
    ASSERT_NE(wnd, 0u);
    ASSERT_TRUE(PostMessageA(wnd, 0x401, wnd, 0));
    ASSERT_TRUE(PostMessageA(wnd, 0x403, 0, 0));
    EXPECT_TRUE(got.empty());
    ASSERT_TRUE(TestSupport::WaitFor([&] { return got.size() == 3; }));
    EXPECT_EQ(got, (std::vector<UINT>{0x401, 0x403, 0x402}));
    DeallocateHWnd(wnd);
}

// A procedure that waits in an event loop of its own still gets the messages
// queued behind its own, in order.
TEST(HiddenWindow, AProcedureWaitingInALoopGetsTheRestInOrder) {
    std::vector<UINT> got;
    bool nestedSawRest = false;
    HWND wnd = AllocateHWnd([&](TMessage& m) {
        got.push_back(m.Msg);
        if (m.Msg == 0x401) nestedSawRest = TestSupport::WaitFor([&] { return got.size() == 3; });
    });
    PostMessageA(wnd, 0x401, 0, 0);
    PostMessageA(wnd, 0x402, 0, 0);
    PostMessageA(wnd, 0x403, 0, 0);
    ASSERT_TRUE(TestSupport::WaitFor([&] { return got.size() == 3; }));
    EXPECT_TRUE(nestedSawRest);
    EXPECT_EQ(got, (std::vector<UINT>{0x401, 0x402, 0x403}));
    DeallocateHWnd(wnd);
}

TEST(HiddenWindow, SendCallsAtOnceAndReturnsResult) {
    HWND wnd = AllocateHWnd([](TMessage& m) { m.Result = static_cast<LRESULT>(m.WParam + m.LParam); });
    EXPECT_EQ(SendMessageA(wnd, 0x500, 40, 2), 42);
    DeallocateHWnd(wnd);
    EXPECT_EQ(SendMessageA(wnd, 0x500, 40, 2), 0);
}

TEST(HiddenWindow, MessagesToReleasedWindowAreDropped) {
    int count = 0;
    HWND wnd = AllocateHWnd([&](TMessage&) { ++count; });
    ASSERT_TRUE(PostMessageA(wnd, 0x401, 0, 0));
    DeallocateHWnd(wnd);
    EXPECT_FALSE(IsWindow(wnd));
    EXPECT_FALSE(PostMessageA(wnd, 0x401, 0, 0));
    HWND other = AllocateHWnd([&](TMessage&) {});
    EXPECT_NE(other, wnd) << "handles are never reused";
    bool later = false;
    PostMessageA(other, 1, 0, 0);
    HWND marker = AllocateHWnd([&](TMessage&) { later = true; });
    PostMessageA(marker, 1, 0, 0);
    ASSERT_TRUE(TestSupport::WaitFor([&] { return later; }));
    EXPECT_EQ(count, 0);
    DeallocateHWnd(other);
    DeallocateHWnd(marker);
}

TEST(HiddenWindow, MessagesPostedFromAnotherThreadArriveOnTheGuiThread) {
    std::thread::id seenOn;
    int count = 0;
    HWND wnd = AllocateHWnd([&](TMessage&) {
        seenOn = std::this_thread::get_id();
        ++count;
    });
    std::thread worker([wnd] {
        for (int i = 0; i < 100; ++i) PostMessageA(wnd, 0x402, static_cast<WPARAM>(i), 0);
    });
    worker.join();
    ASSERT_TRUE(TestSupport::WaitFor([&] { return count == 100; }));
    EXPECT_EQ(seenOn, std::this_thread::get_id());
    DeallocateHWnd(wnd);
}

TEST(HiddenWindow, ExceptionInProcedureGoesToTheHandler) {
    TestSupport::EscapedExceptions().clear();
    HWND wnd = AllocateHWnd([](TMessage&) { throw std::runtime_error("boom"); });
    PostMessageA(wnd, 0x401, 0, 0);
    ASSERT_TRUE(TestSupport::WaitFor([] { return !TestSupport::EscapedExceptions().empty(); }));
    EXPECT_EQ(TestSupport::EscapedExceptions().front(), "boom");
    DeallocateHWnd(wnd);
}

TEST(HiddenWindow, TimersRepeatUntilKilledOrReleased) {
    std::vector<WPARAM> ticks;
    HWND wnd = AllocateHWnd([&](TMessage& m) {
        if (m.Msg == WM_TIMER) ticks.push_back(m.WParam);
    });
    ASSERT_EQ(SetTimer(wnd, 7, 10), 7u);
    ASSERT_TRUE(TestSupport::WaitFor([&] { return ticks.size() >= 2; }));
    EXPECT_EQ(ticks[0], 7u);
    EXPECT_TRUE(KillTimer(wnd, 7));
    EXPECT_FALSE(KillTimer(wnd, 7));
    const size_t afterKill = ticks.size();
    ASSERT_EQ(SetTimer(wnd, 8, 10), 8u);
    DeallocateHWnd(wnd);
    EXPECT_EQ(SetTimer(wnd, 9, 10), 0u) << "no timer for a released window";
    TestSupport::WaitFor([] { return false; }, 100);
    EXPECT_EQ(ticks.size(), afterKill) << "neither the killed nor the released window's timer fired";
}

TEST(TickCount, Advances) {
    DWORD a = GetTickCount();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    DWORD b = GetTickCount();
    EXPECT_GE(static_cast<DWORD>(b - a), 20u);
}
