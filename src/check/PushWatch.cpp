#include "check/PushWatch.h"

#include <QRandomGenerator>

#include <algorithm>

TPushWatch::TPushWatch(TCheckTarget Target, TFromCache* Cache, int Slot)
    : FTarget(std::move(Target)), FCache(Cache), FSlot(Slot) {
    for (QTimer* timer : {&FRenew, &FEndLimit, &FRetry}) timer->setSingleShot(true);
    QObject::connect(&FRenew, &QTimer::timeout, [this] { EndWait(); });
    QObject::connect(&FEndLimit, &QTimer::timeout, [this] {
        // The server never answered the end of the wait: the connection is dead.
        if (FState != TState::Ending) return;
        FSession->Abort();
        Dropped();
    });
    QObject::connect(&FRetry, &QTimer::timeout, [this] { Round(); });
}

TPushWatch::~TPushWatch() { Stop(); }

int TPushWatch::RetryDelaySeconds(int Failures, int MaxSeconds) {
    if (Failures <= 0) return 0;
    const int shift = std::min(Failures - 1, 20);
    return std::min(1 << shift, std::max(MaxSeconds, 1));
}

void TPushWatch::Start() {
    if (FState != TState::Idle && FState != TState::Stopped && FState != TState::Polled) return;
    Round();
}

void TPushWatch::Reconnect() {
    if (FState == TState::Polled) return;
    FFailures = 0;
    FRetry.stop();
    FRenew.stop();
    FEndLimit.stop();
    FCheck.reset();
    if (FSession) FSession->Abort();
    Round();
}

void TPushWatch::Stop() {
    FRenew.stop();
    FEndLimit.stop();
    FRetry.stop();
    FCheck.reset();
    FFinished.reset();
    if (FSession) {
        FSession->OnDone = nullptr;
        FSession->OnNews = nullptr;
        FSession->Abort();
    }
    FSession.reset();
    FEngine.reset();
    FState = TState::Stopped;
}

void TPushWatch::Round() {
    FFinished.reset();
    if (!FSession) {
        FEngine = std::make_unique<TImapCli>();
        FEngine->KeepAliveIdle = KeepAliveIdle;
        FEngine->KeepAliveInterval = KeepAliveInterval;
        FEngine->KeepAliveProbes = KeepAliveProbes;
        FSession = std::make_unique<TImapSession>(FEngine.get());
    }
    FState = TState::Checking;
    FWasHolding = FSession->LoggedIn();
    FNewsAtRound = FSession->NewsCount();
    FCheck = std::make_unique<TAccountCheck>(*FSession, FTarget, FCache, FSlot);
    FCheck->SilenceLimit = SilenceLimit;
    FCheck->KeepOpen = true;
    FCheck->OnFinished = [this] { Checked(); };
    FCheck->Start();
}

void TPushWatch::Checked() {
    // The check ends inside its own call chain: it is freed at the next round.
    FFinished = std::move(FCheck);
    const TCheckResult result = FFinished->Result();
    if (!result.Ok) {
        // A check on the held connection that fails is that connection
        // dropping; a fresh attempt that fails is news for the user.
        if (FWasHolding && FFailures == 0) return Dropped();
        ++FFailures;
        Report(result);
        return RetryLater();
    }
    FFailures = 0;
    FTarget.PreviousCount = result.Count;
    if (!result.Mark.Mailbox.empty()) FTarget.PreviousMark = result.Mark;
    const bool changed = !FReported || !FLast.Ok || FLast.Count != result.Count || result.NewMail;
    if (changed) Report(result);
    if (!FSession->CanWait()) {
        // No push from this server: the poll cycle checks it as before.
        FState = TState::Polled;
        FSession->Abort();
        if (OnPolled) OnPolled();
        return;
    }
    // News that came while counting (a delivery during the search) is told
    // only once: count again rather than wait for news already received.
    if (FWasHolding && FSession->NewsCount() != FNewsAtRound) return Round();
    Wait();
}

void TPushWatch::Report(const TCheckResult& Result) {
    FReported = true;
    FLast = Result;
    if (OnResult) OnResult(Result);
}

void TPushWatch::Wait() {
    FState = TState::Waiting;
    FSession->OnNews = [this] { EndWait(); };
    FSession->OnDone = [this](bool ok) { WaitDone(ok); };
    try {
        FSession->WaitForNews();
    } catch (const std::exception&) {
        FSession->Abort();
        return Dropped();
    }
    if (RenewSeconds > 0) FRenew.start(RenewSeconds * 1000);
}

void TPushWatch::EndWait() {
    if (FState != TState::Waiting) return;
    FState = TState::Ending;
    FRenew.stop();
    FSession->EndWait();
    if (SilenceLimit > 0) FEndLimit.start(SilenceLimit * 1000);
}

void TPushWatch::WaitDone(bool Ok) {
    if (FState != TState::Waiting && FState != TState::Ending) return;
    FRenew.stop();
    FEndLimit.stop();
    FSession->OnNews = nullptr;
    if (!Ok) return Dropped();
    Round();
}

void TPushWatch::Dropped() {
    FRenew.stop();
    FEndLimit.stop();
    if (FSession) FSession->OnNews = nullptr;
    if (FFailures == 0) {
        // A routine close: one attempt at once, nothing shown unless it fails.
        FFailures = 0;
        FWasHolding = false;
        // Round() from the event loop: the drop may be reported from deep
        // inside the engine.
        FState = TState::Retrying;
        FNextAttempt = QDateTime::currentDateTime();
        FRetry.start(0);
        return;
    }
    RetryLater();
}

void TPushWatch::RetryLater() {
    FState = TState::Retrying;
    const int seconds = RetryDelaySeconds(FFailures, MaxRetrySeconds);
    // Up to a tenth more, so that accounts of one server do not all come back
    // in the same instant.
    const int jitterMs = static_cast<int>(QRandomGenerator::global()->bounded(seconds * 100 + 1));
    const int delayMs = seconds * 1000 + jitterMs;
    FNextAttempt = QDateTime::currentDateTime().addMSecs(delayMs);
    FRetry.start(delayMs);
}
