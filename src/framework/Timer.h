// A timer with an interval in milliseconds, an enabled switch and a tick event.
//
// Setting a different interval restarts the countdown; setting the same one
// leaves it running. An interval of 0 or less keeps the timer from ticking
// while leaving Enabled as it is. Switching the timer on starts a full
// countdown.
#pragma once

#include "framework/Classes.h"

#include <QTimer>

class TTimer : public TComponent {
public:
    explicit TTimer(TComponent* owner = nullptr);

    int Interval() const { return FInterval; }
    void SetInterval(int ms);
    bool Enabled() const { return FEnabled; }
    void SetEnabled(bool on);
    // True while a countdown runs, that is, a tick will come.
    bool Running() const { return FTimer.isActive(); }
    // Milliseconds left until the next tick; -1 when none will come.
    int RemainingTime() const { return FTimer.remainingTime(); }

    TNotifyEvent OnTimer;

protected:
    virtual void Timer();

private:
    void Update();

    QTimer FTimer;
    int FInterval = 1000;
    bool FEnabled = true;
};
