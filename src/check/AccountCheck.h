// One account's check, the one way Vesk checks a mailbox: the poll cycle
// runs it for one account after another, `--check` for every account at
// once. It connects (with the account's security), logs in, counts the
// waiting mail, reads the From lines of the newest messages when they are
// wanted (asking the server only for mail the From cache has not seen),
// logs out, and gives one result.
//
// The check is a state machine driven by the end of each request of a mail
// session; the session is the protocol behind a small interface, so that a
// second protocol is one more session and nothing else. Every request gets
// the silence limit of quiet and kReplyTimeouts silence limits in all; the
// logout's time-out leaves the result as it stands.
//
// An account with a password command runs it first, at every check that
// connects (a token may have expired since the last), and logs in with the
// first line it prints; a command that fails fails the login. A check on a
// connection still logged in (KeepOpen) needs no secret and runs none.
// An account whose secret is kept in the desktop keyring has it read from
// there in the same step, asynchronously and without a time limit (the
// keyring may be waiting for the user to unlock it); a keyring that fails
// fails the login with "keyring: <reason>".
#pragma once

#include "check/FromCache.h"
#include "check/PasswordCommand.h"
#include "codec/OAuth2.h"
#include "imap/ImapProt.h"
#include "platform/Keyring.h"
#include "pop3/Pop3Prot.h"
#include "settings/SettingsFile.h"

#include <QTimer>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// Seconds of silence after which a request fails with "426 Timeout".
constexpr int kSilenceLimitSeconds = 15;

// The step of a check that failed, as the status lines name it.
enum class TCheckStep { Connection, Login, Check };
const char* CheckStepName(TCheckStep Step);

// Where an IMAP folder stood at a check: a message delivered since has a UID
// of at least UidNext, as long as UidValidity is the same. Mailbox names the
// folder (server, port, user, folder), so that a mark is never compared with
// another mailbox's. A POP3 check leaves it empty.
struct TMailboxMark {
    std::string Mailbox;
    std::uint64_t UidValidity = 0;
    std::uint64_t UidNext = 0;
};

// What checking one account needs.
struct TCheckTarget {
    std::string Name;
    std::string Server;
    int Port = kDefaultPort;
    std::string UserName;
    std::string Secret;
    bool APop = false;
    TProtocol Protocol = TProtocol::Pop3;
    // The IMAP folder, UTF-8.
    std::string Folder = kDefaultFolder;
    TSecurity Security = TSecurity::Plain;
    std::string Fingerprint{};
    // When set, the secret is what this command prints (see
    // TPasswordCommand), fetched afresh by each check; Secret is unused.
    std::string PasswordCommand{};
    // When set and there is no PasswordCommand, the secret is read from the
    // desktop keyring under this key by each check; Secret is unused.
    std::string KeyringKey{};
    // How the session logs in; with OAuth2 the Secret is the bearer token.
    TAuthMechanism Auth = TAuthMechanism::Password;
    // Read the From lines of the waiting mail (the siren or a notification
    // wants them).
    bool WantFrom = false;
    // The count the last check of this mailbox gave: more now is new mail
    // (POP3, and IMAP when no mark of the same folder is known).
    int PreviousCount = 0;
    // The mark the last check of this folder left (IMAP): a UIDNEXT that
    // grew under the same UIDVALIDITY is new mail.
    TMailboxMark PreviousMark{};
    // Why the settings forbid a check (AccountSettingsError); the account
    // then fails with it before any connection.
    std::string SettingsError{};
};

// The target of the account as the file has it, under `name`.
TCheckTarget CheckTargetOf(const TAccount& Account, const std::string& Name, bool WantFrom);

struct TCheckResult {
    // False for an account that was not checked (no server or user name).
    bool Checked = false;
    // True when the count was taken (and the From lines read, if wanted).
    bool Ok = false;
    int Count = 0;
    // True when the check succeeded and mail arrived since the last one.
    bool NewMail = false;
    // Where the folder stands now (IMAP, after a count).
    TMailboxMark Mark{};
    // When it failed: the step and the reason (never empty).
    TCheckStep FailedStep = TCheckStep::Connection;
    std::string Error;
    // The From values read, newest message first, one per message (empty
    // for a message without one); at most TFromCache::kMaxEntries. A check
    // that failed while reading keeps those read before.
    std::vector<std::string> FromLines;
};

// A protocol's side of a check. Each request starts at once and ends later
// with one OnDone (never from inside the call); a request that cannot start
// raises. Between requests the session keeps what the last one learnt.
class TMailSession {
public:
    virtual ~TMailSession() = default;
    virtual void Connect(const TCheckTarget& Target) = 0;
    virtual void LogIn(const TCheckTarget& Target) = 0;
    // The number of waiting messages: Count().
    virtual void CountMail() = 0;
    // The unique ids of messages `Lowest` to `Highest`: Ids(), index 0 for
    // `Highest`, empty entries where the server names none, and no entries
    // at all when the server keeps no ids (a success all the same).
    virtual void ListIds(int Lowest, int Highest) = 0;
    // The From value of message `Number`: From().
    virtual void ReadFrom(int Number) = 0;
    virtual void LogOut() = 0;
    // Drops the connection at once; no OnDone follows.
    virtual void Abort() = 0;

    // Holding the connection open for the server's news (IMAP's IDLE); a
    // protocol without it keeps these answers.
    // Connected and logged in: a check may start at the count.
    virtual bool LoggedIn() const { return false; }
    // Logged in, and the server can tell of news while the session waits.
    virtual bool CanWait() const { return false; }
    // Waits for news; OnNews says it came, EndWait ends the wait, which ends
    // with OnDone(true) (OnDone(false): the connection failed meanwhile).
    virtual void WaitForNews() { throw Exception("this server cannot tell of news"); }
    virtual void EndWait() {}
    // Counts the news received on this connection, waiting or not: a count
    // taken while it changed may already be out of date.
    virtual unsigned NewsCount() const { return 0; }
    // True while a connection is open and no request runs.
    virtual bool Ready() const = 0;
    virtual int Count() const = 0;
    // Where the mailbox stands after the count; none for POP3.
    virtual TMailboxMark Mark() const { return {}; }
    virtual const std::vector<std::string>& Ids() const = 0;
    virtual std::string From() const = 0;
    // Why the last request failed (cleaned server text, or the session's
    // own words); never empty after a failure.
    virtual std::string ErrorText() const = 0;

    // The end of a request: true when it succeeded.
    std::function<void(bool Ok)> OnDone;
    // Something arrived from the server: the silence starts afresh.
    std::function<void()> OnProgress;
    // News of the mailbox arrived while the session waits (see WaitForNews).
    std::function<void()> OnNews;
};

// What the protocol sessions share: the engine they run over (the caller's,
// such as the main window's, or one of their own), its end-of-request and
// progress events hooked for the session's life, and the one request the
// session waits for.
template <class TCli, class TStep>
class TEngineSession : public TMailSession {
public:
    ~TEngineSession() override {
        FCli->OnRequestDone = FSavedDone;
        FCli->OnResponse = FSavedResponse;
    }
    void Abort() override {
        FWaiting = false;
        FCli->Abort();
    }

protected:
    explicit TEngineSession(TCli* Engine)
        : FOwned(Engine ? nullptr : std::make_unique<TCli>()), FCli(Engine ? Engine : FOwned.get()) {
        FSavedDone = FCli->OnRequestDone;
        FSavedResponse = FCli->OnResponse;
        FCli->OnRequestDone = [this](auto&&...) { RequestDone(); };
        FCli->OnResponse = [this](auto&&...) {
            if (OnProgress) OnProgress();
        };
    }
    // The engine's report that a request ended.
    virtual void RequestDone() = 0;
    // Starts `Operation` as the request this session waits for.
    void Begin(TStep Step, void (TCli::*Operation)()) {
        FPending = Step;
        FWaiting = true;
        try {
            (FCli->*Operation)();
        } catch (...) {
            FWaiting = false;
            throw;
        }
    }
    // Puts the target's server, login and security on the engine; a
    // connection left over from an earlier check is not this account's.
    void SetTarget(const TCheckTarget& Target) {
        if (FCli->Connected()) Abort();
        FCli->Host = Target.Server;
        FCli->Port = std::to_string(Target.Port);
        FCli->UserName = Target.UserName;
        FCli->PassWord = Target.Secret;
        FCli->Security = static_cast<int>(Target.Security);
        FCli->Fingerprint = Target.Fingerprint;
        FCli->Auth = static_cast<int>(Target.Auth);
    }

    std::unique_ptr<TCli> FOwned;
    TCli* FCli;
    decltype(TCli::OnRequestDone) FSavedDone;
    decltype(TCli::OnResponse) FSavedResponse;
    TStep FPending{};
    bool FWaiting = false;
};

// POP3 behind the session interface, over an engine the caller may own (the
// main window's) or the session makes for itself.
class TPop3Session : public TEngineSession<TCustomPop3Cli, TPop3Request> {
public:
    explicit TPop3Session(TCustomPop3Cli* Engine = nullptr);
    ~TPop3Session() override;
    void Connect(const TCheckTarget& Target) override;
    void LogIn(const TCheckTarget& Target) override;
    void CountMail() override;
    void ListIds(int Lowest, int Highest) override;
    void ReadFrom(int Number) override;
    void LogOut() override;
    bool Ready() const override;
    int Count() const override { return FCli->MsgCount(); }
    const std::vector<std::string>& Ids() const override { return FIds; }
    std::string From() const override { return FCli->FromValue(); }
    std::string ErrorText() const override;

private:
    void RequestDone() override;

    int FLowest = 0, FHighest = 0;
    std::vector<std::string> FIds, FListed;
};

// IMAP behind the session interface: the count is the folder's unseen
// messages (STATUS; once the folder is examined, UID SEARCH UNSEEN, which
// gives the ids too), the ids are the newest unseen messages' UIDs as
// "UIDVALIDITY:UID" (EXAMINE, UID SEARCH UNSEEN), a From line is one UID
// FETCH of the From field, and the wait for news is IDLE on the examined
// folder; over an engine the caller gives or its own.
// What an IMAP session waits for; None: an end the engine does not report.
enum class TImapStep { None, Connect, Login, Count, CountSearch, Examine, Search, Fetch, Logout, IdleExamine, Idle };

class TImapSession : public TEngineSession<TImapCli, TImapStep> {
public:
    explicit TImapSession(TImapCli* Engine = nullptr);
    ~TImapSession() override;
    void Connect(const TCheckTarget& Target) override;
    void LogIn(const TCheckTarget& Target) override;
    void CountMail() override;
    void ListIds(int Lowest, int Highest) override;
    void ReadFrom(int Number) override;
    void LogOut() override;
    bool Ready() const override { return FCli->Ready(); }
    bool LoggedIn() const override { return FCli->Connected() && FCli->Authenticated(); }
    bool CanWait() const override { return LoggedIn() && FCli->HasCapability("IDLE"); }
    void WaitForNews() override;
    void EndWait() override { FCli->EndIdle(); }
    unsigned NewsCount() const override { return FCli->Changes(); }
    int Count() const override;
    TMailboxMark Mark() const override;
    const std::vector<std::string>& Ids() const override { return FIds; }
    std::string From() const override { return FFrom; }
    std::string ErrorText() const override;

private:
    using TStep = TImapStep;
    void RequestDone() override;
    // Starts the engine's next operation within the session's request; false
    // when it cannot start.
    bool StartNext(TStep Step, void (TImapCli::*Operation)());
    // Takes the last search's hits as the folder's unseen UIDs.
    void TakeSearch();
    // The newest of them as the ids ListIds asked for.
    void SliceNewest();
    // Ends the request the session answers itself, later, with `Ok`.
    void FinishLater(bool Ok);

    int FLowest = 0, FHighest = 0;
    // The count came from a search of the examined folder (not STATUS).
    bool FCountedBySearch = false;
    // The folder's unseen UIDs as the last search gave them, newest first.
    bool FSearched = false;
    std::vector<std::uint64_t> FUnseenUids;
    // The listed UIDs, newest first; FIds holds the same as ids.
    std::vector<std::uint64_t> FNewest;
    std::vector<std::string> FIds;
    std::string FFrom;
    // Carries the end of a request the session answers itself.
    QObject FContext;
};

// The name a mark of `Target`'s folder carries.
std::string MailboxOf(const TCheckTarget& Target);

// Whether a count of `Count` with the folder at `Now` is new mail since the
// check that gave `Target`'s PreviousCount and PreviousMark.
bool IsNewMail(const TCheckTarget& Target, int Count, const TMailboxMark& Now);

// The session that speaks `Target`'s protocol; a POP3 one over `Pop3Engine`
// when one is given (the main window's), every other over its own engine.
std::unique_ptr<TMailSession> NewMailSession(const TCheckTarget& Target, TCustomPop3Cli* Pop3Engine = nullptr);

class TAccountCheck {
public:
    enum class TState { Idle, FetchingSecret, Connecting, LoggingIn, Counting, ListingIds, ReadingFrom, LoggingOut, Done };

    // `Cache` (may be null) keeps the From values of `Slot` across checks.
    TAccountCheck(TMailSession& Session, TCheckTarget Target, TFromCache* Cache = nullptr, int Slot = 0);
    ~TAccountCheck();
    TAccountCheck(const TAccountCheck&) = delete;
    TAccountCheck& operator=(const TAccountCheck&) = delete;

    // Seconds of silence after which a request fails; 0 or less: no limit.
    int SilenceLimit = kSilenceLimitSeconds;
    // A check that succeeds leaves the connection open and logged in (no
    // logout), and a check that finds its session so starts at the count:
    // the way a connection held open for news is checked again.
    bool KeepOpen = false;
    // Seconds the target's password command may run (its own limit: the
    // silence limits do not apply to it).
    int PasswordCommandSeconds = kPasswordCommandSeconds;
    // Called once when the check has ended.
    std::function<void()> OnFinished;

    // Starts the check; it ends later with OnFinished.
    void Start();
    // Starts the check and processes messages until it has ended; a wait
    // that the application's end cuts short fails the check with
    // "426 Timeout". Returns Result().Ok.
    bool Run();
    bool Finished() const { return FState == TState::Done; }
    TState State() const { return FState; }
    const TCheckResult& Result() const { return FResult; }

    static const char* StateName(TState State);

private:
    void SetState(TState State);
    void RequestDone(bool Ok);
    void Connect();
    void SecretFetched(bool Ok);
    void KeyringRead(const TKeyringResult& Result);
    // Starts a request in `State`; one that cannot start fails `Step`.
    void Request(TState State, TCheckStep Step, const std::function<void()>& Start);
    void ReadNextFrom();
    void Fail(TCheckStep Step, const std::string& Text);
    void LogOut();
    void TimeExpired();
    // Ends the check; the connection is dropped unless `KeepConnection`.
    void Stop(bool KeepConnection = false);
    void RestartSilence();

    TMailSession& FSession;
    TCheckTarget FTarget;
    TFromCache* FCache;
    int FSlot;
    TCheckResult FResult;
    TPasswordCommand FPasswordCommand;
    // Lives while a keyring read of this check is awaited: a late answer
    // finds it gone.
    std::shared_ptr<int> FKeyringRead;
    TState FState = TState::Idle;
    TCheckStep FStep = TCheckStep::Connection;
    int FNext = 0, FLowest = 0;  // the next message whose From is read, the last one
    QTimer FSilence;
    QTimer FRequestLimit;
};
