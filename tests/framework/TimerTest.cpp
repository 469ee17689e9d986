#include "framework/Timer.h"
#include "support/TestSupport.h"

#include <QElapsedTimer>
#include <gtest/gtest.h>

TEST(Timer, TicksWhileEnabled) {
    TTimer t;
    int ticks = 0;
    t.OnTimer = [&](TObject* sender) {
        EXPECT_EQ(sender, &t);
        ++ticks;
    };
    t.SetInterval(10);
    ASSERT_TRUE(TestSupport::WaitFor([&] { return ticks >= 3; }));
    t.SetEnabled(false);
    EXPECT_FALSE(t.Running());
    int seen = ticks;
    Application->WaitMessage(50);
    EXPECT_EQ(ticks, seen);
}

TEST(Timer, ChangedIntervalRestartsCountdownUnchangedKeepsIt) {
    TTimer t;
    t.SetInterval(60000);
    ASSERT_TRUE(t.Running());
    // Let part of the countdown pass, then set the same interval: it keeps running.
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < 30) Application->WaitMessage(30 - static_cast<int>(clock.elapsed()));
    int before = t.RemainingTime();
    t.SetInterval(60000);
    EXPECT_LE(t.RemainingTime(), before);
    EXPECT_LT(t.RemainingTime(), 60000 - 20);
    // A different interval starts a full countdown of its own.
    t.SetInterval(90000);
    EXPECT_GT(t.RemainingTime(), 89000);
    // Switching off and on starts a full countdown too.
    t.SetEnabled(false);
    t.SetEnabled(true);
    EXPECT_GT(t.RemainingTime(), 89000);
}

TEST(Timer, ZeroOrNegativeIntervalStopsWithoutDisabling) {
    TTimer t;
    int ticks = 0;
    t.OnTimer = [&](TObject*) { ++ticks; };
    t.SetInterval(0);
    EXPECT_TRUE(t.Enabled());
    EXPECT_FALSE(t.Running());
    t.SetInterval(-5000);
    EXPECT_FALSE(t.Running());
    t.SetEnabled(false);
    t.SetEnabled(true);
    EXPECT_FALSE(t.Running());
    Application->WaitMessage(30);
    EXPECT_EQ(ticks, 0);
    t.SetInterval(5);
    EXPECT_TRUE(TestSupport::WaitFor([&] { return ticks > 0; }));
}

TEST(Timer, ExceptionInHandlerIsReportedAndTimerGoesOn) {
    TestSupport::EscapedExceptions().clear();
    TTimer t;
    int ticks = 0;
    t.OnTimer = [&](TObject*) {
        ++ticks;
        throw Exception("tick failed");
    };
    t.SetInterval(5);
    ASSERT_TRUE(TestSupport::WaitFor([&] { return ticks >= 2; }));
    ASSERT_FALSE(TestSupport::EscapedExceptions().empty());
    EXPECT_EQ(TestSupport::EscapedExceptions().front(), "tick failed");
}
