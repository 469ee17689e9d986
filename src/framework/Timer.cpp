#include "framework/Timer.h"

#include "framework/Application.h"

TTimer::TTimer(TComponent* owner) : TComponent(owner) {
    FTimer.setTimerType(Qt::PreciseTimer);
    QObject::connect(&FTimer, &QTimer::timeout, [this] { Guard([this] { Timer(); }); });
    Update();
}

void TTimer::SetInterval(int ms) {
    if (ms == FInterval) return;
    FInterval = ms;
    Update();
}

void TTimer::SetEnabled(bool on) {
    if (on == FEnabled) return;
    FEnabled = on;
    Update();
}

void TTimer::Update() {
    FTimer.stop();
    if (FEnabled && FInterval > 0) FTimer.start(FInterval);
}

void TTimer::Timer() {
    if (OnTimer) OnTimer(this);
}
