// One account's connection held open for push: it logs in, counts (reading
// the From lines when wanted), waits for the server's news (IMAP's IDLE), and
// on news counts again and goes back to waiting, so new mail is known within
// a second of its delivery instead of at the next poll.
//
// The wait is renewed every RenewSeconds (servers and home routers drop
// quieter connections); after the end of a wait the server's answer must come
// within the silence limit, or the connection counts as dead. A connection
// that drops (the server's BYE, a reset, a keepalive that went unanswered, a
// dead end of a wait) is connected again at once; while that keeps failing
// the watch waits 1, 2, 4 ... up to 300 s (with a little jitter) between
// attempts. Only a failed attempt is reported: a routine close that the next
// attempt mends never is.
//
// A server that cannot push leaves the watch in Polled: the connection is
// closed and the account is checked by the poll cycle as before.
#pragma once

#include "check/AccountCheck.h"

#include <QDateTime>
#include <QTimer>

#include <functional>
#include <memory>

class TPushWatch {
public:
    enum class TState { Idle, Checking, Waiting, Ending, Retrying, Polled, Stopped };

    // `Cache` (may be null) keeps the From values of `Slot` across checks.
    TPushWatch(TCheckTarget Target, TFromCache* Cache = nullptr, int Slot = 0);
    ~TPushWatch();
    TPushWatch(const TPushWatch&) = delete;
    TPushWatch& operator=(const TPushWatch&) = delete;

    int SilenceLimit = kSilenceLimitSeconds;
    int RenewSeconds = 600;
    // The longest pause between attempts.
    int MaxRetrySeconds = 300;
    // TCP keepalive of the held connection (see TWSocket::KeepAliveIdle).
    int KeepAliveIdle = 60, KeepAliveInterval = 15, KeepAliveProbes = 4;

    // A check ended with a result to show: a count that changed (or the
    // first), or a failed attempt (the connection is then retried at
    // NextAttempt()). The same count again, as a renewal finds it, is not
    // reported.
    std::function<void(const TCheckResult&)> OnResult;
    // The server cannot push: the account is the poll cycle's again.
    std::function<void()> OnPolled;

    void Start();
    // Drops whatever runs and connects again at once, failures forgotten (the
    // machine woke up, the network came back).
    void Reconnect();
    void Stop();
    // Whether the next checks read the From lines (the siren was switched).
    void SetWantFrom(bool WantFrom) { FTarget.WantFrom = WantFrom; }

    TState State() const { return FState; }
    // True while the watch holds the account (connected, or about to be):
    // the poll cycle leaves it alone.
    bool Holding() const { return FState != TState::Idle && FState != TState::Polled && FState != TState::Stopped; }
    const TCheckTarget& Target() const { return FTarget; }
    // The last result reported (a failure while retrying).
    const TCheckResult& LastResult() const { return FLast; }
    // When the next attempt starts, while Retrying.
    QDateTime NextAttempt() const { return FNextAttempt; }
    // Failed attempts in a row.
    int Failures() const { return FFailures; }
    // The pause before attempt number `Failures` + 1 without jitter, seconds.
    static int RetryDelaySeconds(int Failures, int MaxSeconds);

private:
    void Round();
    void Checked();
    void Wait();
    void EndWait();
    void WaitDone(bool Ok);
    // The held connection is gone: connect again at once, or after a pause
    // when the last attempt failed too.
    void Dropped();
    void RetryLater();
    void Report(const TCheckResult& Result);

    TCheckTarget FTarget;
    TFromCache* FCache;
    int FSlot;
    TState FState = TState::Idle;
    std::unique_ptr<TImapCli> FEngine;
    std::unique_ptr<TImapSession> FSession;
    std::unique_ptr<TAccountCheck> FCheck;
    // A check whose end is being handled: freed at the next round.
    std::unique_ptr<TAccountCheck> FFinished;
    bool FReported = false;
    bool FWasHolding = false;  // the round started on an open connection
    unsigned FNewsAtRound = 0;  // the session's news count when the round began
    TCheckResult FLast;
    int FFailures = 0;
    QDateTime FNextAttempt;
    QTimer FRenew, FEndLimit, FRetry;
};
