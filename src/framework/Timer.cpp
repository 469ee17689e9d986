#include "framework/Timer.h"

#include "framework/Application.h"

TTimer::TTimer(TComponent* owner) : TComponent(owner) {
    timer_.setTimerType(Qt::PreciseTimer);
    QObject::connect(&timer_, &QTimer::timeout, [this] { Guard([this] { Timer(); }); });
    Update();
}

void TTimer::SetInterval(int ms) {
    if (ms == interval_) return;
    interval_ = ms;
    Update();
}

void TTimer::SetEnabled(bool on) {
    if (on == enabled_) return;
    enabled_ = on;
    Update();
}

void TTimer::Update() {
    timer_.stop();
    if (enabled_ && interval_ > 0) timer_.start(interval_);
}

void TTimer::Timer() {
    if (OnTimer) OnTimer(this);
}
