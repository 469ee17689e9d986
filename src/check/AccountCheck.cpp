#include "check/AccountCheck.h"

#include "framework/Application.h"

#include <algorithm>

TAccountCheck::TAccountCheck(TMailSession& Session, TCheckTarget Target, TFromCache* Cache, int Slot)
    : FSession(Session), FTarget(std::move(Target)), FCache(Cache), FSlot(Slot) {
    FSilence.setSingleShot(true);
    FRequestLimit.setSingleShot(true);
    QObject::connect(&FSilence, &QTimer::timeout, [this] { TimeExpired(); });
    // However steadily a server trickles, a request ends within its limit.
    QObject::connect(&FRequestLimit, &QTimer::timeout, [this] { TimeExpired(); });
    FSession.OnDone = [this](bool ok) { RequestDone(ok); };
    FSession.OnProgress = [this] { RestartSilence(); };
    FPasswordCommand.OnDone = [this](bool ok) { SecretFetched(ok); };
}

TAccountCheck::~TAccountCheck() {
    FSession.OnDone = nullptr;
    FSession.OnProgress = nullptr;
}

const char* TAccountCheck::StateName(TState State) {
    static const char* const names[] = {"idle",        "fetching the secret", "connecting",  "logging in",
                                        "counting",    "listing ids",         "reading from", "logging out", "done"};
    return names[static_cast<int>(State)];
}

void TAccountCheck::SetState(TState State) { FState = State; }

void TAccountCheck::RestartSilence() {
    if (SilenceLimit > 0 && FState != TState::Done) FSilence.start(SilenceLimit * 1000);
}

void TAccountCheck::Start() {
    FResult = TCheckResult{};
    FResult.Checked = true;
    if (!FTarget.SettingsError.empty()) {
        Fail(TCheckStep::Connection, FTarget.SettingsError);
        return;
    }
    if (KeepOpen && FSession.LoggedIn()) {
        FStep = TCheckStep::Check;
        Request(TState::Counting, TCheckStep::Check, [this] { FSession.CountMail(); });
        return;
    }
    if (!FTarget.PasswordCommand.empty()) {
        // The command is part of the login; it runs under its own limit.
        SetState(TState::FetchingSecret);
        FStep = TCheckStep::Login;
        FPasswordCommand.TimeLimitSeconds = PasswordCommandSeconds;
        FPasswordCommand.Start(FTarget.PasswordCommand);
        return;
    }
    if (!FTarget.KeyringKey.empty()) {
        SetState(TState::FetchingSecret);
        FStep = TCheckStep::Login;
        FKeyringRead = std::make_shared<int>(0);
        ReadKeyring(FTarget.KeyringKey, [this, alive = std::weak_ptr<int>(FKeyringRead)](const TKeyringResult& r) {
            if (alive.lock()) KeyringRead(r);
        });
        return;
    }
    Connect();
}

void TAccountCheck::Connect() {
    Request(TState::Connecting, TCheckStep::Connection, [this] { FSession.Connect(FTarget); });
}

void TAccountCheck::SecretFetched(bool Ok) {
    if (FState != TState::FetchingSecret) return;
    if (!Ok) return Fail(TCheckStep::Login, FPasswordCommand.ErrorText());
    FTarget.Secret = FPasswordCommand.Secret();
    Connect();
}

void TAccountCheck::KeyringRead(const TKeyringResult& Result) {
    FKeyringRead.reset();
    if (FState != TState::FetchingSecret) return;
    if (!Result.Ok)
        return Fail(TCheckStep::Login,
                    "keyring: " + (Result.NotFound ? "no password kept for " + FTarget.KeyringKey : Result.Error));
    FTarget.Secret = Result.Secret;
    Connect();
}

bool TAccountCheck::Run() {
    Start();
    // The longest single block while no limit applies; the loop only re-tests
    // its conditions after it, it never spins.
    constexpr int kWakeMs = 1000;
    while (!Finished()) {
        if (!Application || Application->Terminated) {
            // The program is ending: no goodbye is waited for either.
            if (FState != TState::LoggingOut) {
                FResult.Ok = false;
                FResult.FailedStep = FStep;
                FResult.Error = "426 Timeout";
            }
            Stop();
            break;
        }
        Application->WaitMessage(kWakeMs);
    }
    return FResult.Ok;
}

void TAccountCheck::Request(TState State, TCheckStep Step, const std::function<void()>& Start) {
    SetState(State);
    FStep = Step;
    RestartSilence();
    if (SilenceLimit > 0) FRequestLimit.start(SilenceLimit * 1000 * TSyncPop3Cli::kReplyTimeouts);
    try {
        Start();
    } catch (const std::exception& e) {
        // A request the session refuses in its state fails the account (a
        // refused goodbye just ends the check).
        if (State == TState::LoggingOut)
            Stop();
        else
            Fail(Step, e.what());
    }
}

void TAccountCheck::RequestDone(bool Ok) {
    switch (FState) {
        case TState::Connecting:
            if (!Ok) return Fail(TCheckStep::Connection, FSession.ErrorText());
            return Request(TState::LoggingIn, TCheckStep::Login, [this] { FSession.LogIn(FTarget); });
        case TState::LoggingIn:
            if (!Ok) return Fail(TCheckStep::Login, FSession.ErrorText());
            return Request(TState::Counting, TCheckStep::Check, [this] { FSession.CountMail(); });
        case TState::Counting: {
            if (!Ok) return Fail(TCheckStep::Check, FSession.ErrorText());
            FResult.Count = FSession.Count();
            FResult.Mark = FSession.Mark();
            if (FResult.Mark.UidNext != 0) FResult.Mark.Mailbox = MailboxOf(FTarget);
            FResult.NewMail = IsNewMail(FTarget, FResult.Count, FResult.Mark);
            if (!FTarget.WantFrom || FResult.Count <= 0) {
                FResult.Ok = true;
                return LogOut();
            }
            const int highest = FResult.Count;
            FLowest = std::max(1, highest - static_cast<int>(TFromCache::kMaxEntries) + 1);
            // The cache holds the mailbox just logged in to, whatever a
            // reload has changed in the settings since.
            // An IMAP account's ids belong to its folder as well.
            if (FCache)
                FCache->Bind(FSlot, FTarget.Server, std::to_string(FTarget.Port),
                             FTarget.Protocol == TProtocol::Imap ? MailboxOf(FTarget) : FTarget.UserName);
            return Request(TState::ListingIds, TCheckStep::Check,
                           [this, highest] { FSession.ListIds(FLowest, highest); });
        }
        case TState::ListingIds:
            if (!Ok) return Fail(TCheckStep::Check, FSession.ErrorText());
            if (FCache && !FSession.Ids().empty()) FCache->Retain(FSlot, FSession.Ids());
            FNext = FResult.Count;
            return ReadNextFrom();
        case TState::ReadingFrom: {
            if (!Ok) return Fail(TCheckStep::Check, FSession.ErrorText());
            const std::string from = FSession.From();
            const std::vector<std::string>& ids = FSession.Ids();
            const size_t index = static_cast<size_t>(FResult.Count - FNext);
            if (FCache && index < ids.size() && !ids[index].empty()) FCache->Store(FSlot, ids[index], from);
            FResult.FromLines.push_back(from);
            --FNext;
            return ReadNextFrom();
        }
        case TState::LoggingOut:
            return Stop();
        case TState::Idle:
        case TState::FetchingSecret:
        case TState::Done:
            return;
    }
}

void TAccountCheck::ReadNextFrom() {
    const std::vector<std::string>& ids = FSession.Ids();
    for (; FNext >= FLowest; --FNext) {
        const size_t index = static_cast<size_t>(FResult.Count - FNext);
        const std::string* cached =
            FCache && index < ids.size() && !ids[index].empty() ? FCache->Find(FSlot, ids[index]) : nullptr;
        if (!cached) {
            const int number = FNext;
            return Request(TState::ReadingFrom, TCheckStep::Check, [this, number] { FSession.ReadFrom(number); });
        }
        FResult.FromLines.push_back(*cached);
    }
    FResult.Ok = true;
    LogOut();
}

void TAccountCheck::Fail(TCheckStep Step, const std::string& Text) {
    if (FState == TState::Done || FState == TState::LoggingOut) return;
    FResult.Ok = false;
    FResult.NewMail = false;
    FResult.FailedStep = Step;
    FResult.Error = Text.empty() ? "-ERR No reason given" : Text;
    // A connection still open is told goodbye; one under a running request
    // is dropped.
    if (FSession.Ready())
        LogOut();
    else
        Stop();
}

void TAccountCheck::LogOut() {
    if (KeepOpen && FResult.Ok) return Stop(true);
    // The result is taken: how the logout ends does not change it.
    Request(TState::LoggingOut, FStep, [this] { FSession.LogOut(); });
}

void TAccountCheck::TimeExpired() {
    if (FState == TState::Done) return;
    if (FState == TState::LoggingOut) return Stop();  // only the goodbye went unanswered
    Fail(FStep, "426 Timeout");
}

void TAccountCheck::Stop(bool KeepConnection) {
    if (FState == TState::Done) return;
    FPasswordCommand.Abort();
    FKeyringRead.reset();
    // Nothing of this check runs on the session before the connection.
    if (FState != TState::Idle && FState != TState::FetchingSecret && !KeepConnection) FSession.Abort();
    SetState(TState::Done);
    FSilence.stop();
    FRequestLimit.stop();
    if (OnFinished) OnFinished();
}
