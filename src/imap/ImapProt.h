// The IMAP client: an event-driven engine (TImapCli) with the few commands a
// mail watcher needs: connect (with TLS from the first byte or STARTTLS),
// log in, ask a folder's STATUS, EXAMINE it, search its unseen messages by
// UID, fetch one message's From field, wait for news of the examined folder
// (IDLE), log out.
//
// Like the POP3 engine it owns one TWSocket and runs one request at a time.
// Every operation returns at once; a call that is not allowed now raises
// ImapException and sends nothing, otherwise the request ends later with one
// OnRequestDone, posted to the client's own hidden window (never delivered
// from inside an operation or a socket handler). Results stay in the
// properties (Unseen, UidNext, UidValidity, Uids, From, ErrorMessage).
//
// The socket runs in plain mode; every byte received goes to a TImapReader,
// which bounds what a server can make the client hold. Anything the client
// cannot trust to line up with its commands (a wrong tag, a response that
// does not parse, bytes before a STARTTLS handshake) fails the request and
// drops the connection.
#pragma once

#include "codec/OAuth2.h"
#include "framework/Classes.h"
#include "imap/ImapResponse.h"
#include "net/WSocket.h"
#include "platform/WinTypes.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

enum class TImapRequest : std::uint8_t { Connect, Login, Status, Examine, Search, Fetch, Logout, Idle };

enum class TImapEngineState : std::uint8_t {
    Idle,
    LookingUp,
    Connecting,
    AwaitingGreeting,
    AwaitingReply,  // a command was sent, its tagged reply awaited
    StartingTls     // the handshake after STARTTLS runs
};

using TImapRequestDone = std::function<void(TObject* Sender, TImapRequest Request, WORD Error)>;
using TImapResponseEvent = std::function<void(TObject* Sender, const std::string& Line)>;
using TImapNotifyEvent = std::function<void(TObject* Sender)>;

class ImapException : public Exception {
public:
    explicit ImapException(const std::string& message) : Exception(message) {}
};

// The message the engine posts to itself to report the end of a request.
constexpr UINT WM_IMAP_REQUEST_DONE = WM_USER + 1;

class TImapCli : public TComponent {
public:
    explicit TImapCli(TComponent* Owner = nullptr);
    ~TImapCli() override;
    TImapCli(const TImapCli&) = delete;
    TImapCli& operator=(const TImapCli&) = delete;

    // --- operations
    void Connect();
    void Login();
    void Status();
    void Examine();
    void UidSearchUnseen();
    void FetchFrom(std::uint64_t Uid);
    // IDLE on the examined folder (the server must offer IDLE): the request
    // runs until EndIdle, the server's news meanwhile reported by
    // OnMailboxChange; it ends when the server has answered the DONE.
    void Idle();
    // Ends a running IDLE (DONE is sent once the server has said it idles);
    // does nothing when no IDLE runs or its end is on its way.
    void EndIdle();
    void Logout();
    // Drops the connection and the running request at once; no
    // OnRequestDone follows for it.
    void Abort();

    // --- properties
    std::string Host;
    std::string Port = "imap";
    std::string UserName;
    std::string PassWord;
    // 0: plain text; 1: TLS from the first byte; 2: plain, then STARTTLS
    // before anything else. Any other value, or a Fingerprint with 0, fails
    // the connect before a connection is made.
    int Security = 0;
    // SHA-256 of the server certificate (see TWSocket::SetTlsFingerprint).
    std::string Fingerprint;
    // How Login logs in: 0 the password (AUTHENTICATE PLAIN or LOGIN), 1
    // AUTHENTICATE XOAUTH2, 2 AUTHENTICATE OAUTHBEARER with PassWord as the
    // bearer token (TAuthMechanism). Any other value, and 1 or 2 with
    // Security 0, fail the connect before a connection is made.
    int Auth = 0;
    // The folder to watch, in UTF-8.
    std::string Folder = "INBOX";
    // TCP keepalive of the next connection (see TWSocket::KeepAliveIdle);
    // 0: the system's.
    int KeepAliveIdle = 0, KeepAliveInterval = 0, KeepAliveProbes = 0;

    // --- read-only state
    bool Connected() const { return FConnected; }
    TImapEngineState EngineState() const { return FEngineState; }
    // Connected, logged in or not, and no request running.
    bool Ready() const { return FConnected && FEngineState == TImapEngineState::Idle; }
    bool Authenticated() const { return FAuthenticated; }
    bool Examined() const { return FExamined; }
    bool HasCapability(std::string_view Name) const;
    // True while an IDLE runs and the server has said it idles.
    bool Idling() const { return FIdling && !FDoneSignalled; }
    // Counts the news of the examined folder received on this connection
    // (a message arrived, left, or changed flags): a count taken before it
    // changed may be out of date.
    unsigned Changes() const { return FChanges; }
    TImapRequest CurrentRequest() const { return FCurrentRequest; }
    // 0 after a success; a socket error number, 10004 (closed under the
    // request) or 500 after a failure.
    int RequestOutcome() const { return FRequestOutcome; }
    // Why the last request failed: cleaned, never empty after a failure.
    const std::string& ErrorMessage() const { return FErrorMessage; }
    const std::vector<std::string>& Capabilities() const { return FCapabilities; }
    std::uint64_t Unseen() const { return FUnseen; }
    // As the last STATUS or EXAMINE gave them (EXAMINE: the folder's own).
    std::uint64_t UidNext() const { return FUidNext; }
    std::uint64_t UidValidity() const { return FUidValidity; }
    // The UIDs the last search found, in the order the server sent them.
    const std::vector<std::uint64_t>& Uids() const { return FUids; }
    // The last fetched message's From value, cleaned (empty when it has none).
    const std::string& From() const { return FFrom; }

    // --- events
    TImapRequestDone OnRequestDone;
    // Every line received (a literal's bytes without line end count as one
    // line every kLinePiece bytes): the server is still talking.
    TImapResponseEvent OnResponse;
    // News of the examined folder arrived (see Changes); called from the
    // receiving handler, so it may only start what sends (EndIdle).
    TImapNotifyEvent OnMailboxChange;

protected:
    static constexpr std::size_t kReceiveChunk = 16384;
    static constexpr std::size_t kLinePiece = 4096;

    virtual void WindowProcedure(TMessage& Msg);
    virtual void NotifyRequestDone(WORD Error);
    virtual void NotifyResponse(const std::string& Line);

    void SetEngineState(TImapEngineState State);
    void RequireReady();
    void RequireAuthenticated(const char* Command);
    // Starts a request: the current one, its outcome and error cleared.
    void BeginRequest(TImapRequest Request);
    // Sends a command under the next tag. `Parts` after the first are sent
    // one per continuation request ("+") of the server; a tagged OK runs
    // `OnOk` (none: the request ends).
    void SendCommand(std::vector<std::string> Parts, std::function<void()> OnOk);
    void SendRaw(const std::string& Bytes);
    // Ends the running request as failed with `Text` (cleaned) and `Outcome`.
    void FailRequest(const std::string& Text, int Outcome = 500);
    // The same, and the connection goes: what follows cannot be trusted.
    void FailAndDrop(const std::string& Text, int Outcome = 500);
    void DropConnection();
    void ResetReceiveState();
    void CompleteRequest(WORD Error);

    // Socket handlers.
    void WSocketDnsLookupDone(TObject* Sender, WORD Error);
    void WSocketSessionConnected(TObject* Sender, WORD Error);
    void WSocketDataAvailable(TObject* Sender, WORD Error);
    void WSocketSessionClosed(TObject* Sender, WORD Error);
    void WSocketTlsDone(TObject* Sender, WORD Error);

    // Response handling; false when the connection state changed so that
    // nothing more received may be read (a STARTTLS handshake, a drop).
    bool HandleResponse(const TImapResponse& R);
    void HandleGreeting(const TImapResponse& R);
    void HandleUntagged(const TImapResponse& R);
    void HandleTagged(const TImapResponse& R);
    void HandleContinuation(const TImapResponse& R);
    // After the greeting (and TLS): CAPABILITY when none is known, then done.
    void FinishConnect();
    void StartTlsNow();
    void TakeFetch(const TImapResponse& R);
    // The folder as a quoted modified UTF-7 mailbox name; empty when it
    // cannot be one.
    std::string QuotedFolder() const;
    // Argument of LOGIN: quoted, or a literal (ending the part when it
    // must wait for the server's go-ahead).
    void AppendLoginArg(std::vector<std::string>& Parts, const std::string& Text) const;

    std::unique_ptr<TWSocket> FWSocket;
    HWND FWindowHandle = 0;

    TImapEngineState FEngineState = TImapEngineState::Idle;
    TImapRequest FCurrentRequest = TImapRequest::Connect;
    bool FConnected = false;
    bool FAuthenticated = false;
    bool FExamined = false;
    bool FDoneSignalled = true;
    // Counts requests; a posted end names its request, and an end of one
    // that was dropped meanwhile is never reported.
    WPARAM FSerial = 0;

    TImapReader FReader;
    // Bytes of the line received so far (for OnResponse).
    std::string FLineSoFar;
    std::size_t FLineBytes = 0;
    // Counts connections and drops: a handler that finds it changed after
    // a call stops reading what belonged to the connection before.
    unsigned FGeneration = 0;
    int FTagNumber = 0;
    std::string FTag;  // the running command's tag; empty when none runs
    std::deque<std::string> FPendingParts;
    std::function<void()> FOnOk;
    // An OAuth2 login's failure challenge was answered; the status it gave.
    bool FAuthAnswered = false;
    std::string FAuthStatus;

    int FRequestOutcome = 0;
    std::string FErrorMessage;
    std::vector<std::string> FCapabilities;
    std::uint64_t FUnseen = 0, FUidNext = 0, FUidValidity = 0;
    bool FStatusSeen = false;
    std::vector<std::uint64_t> FUids;
    std::uint64_t FFetchUid = 0;
    std::string FFrom;
    // IDLE: the server said it idles; DONE is wanted or was sent.
    bool FIdling = false;
    bool FEndIdleWanted = false;
    bool FIdleDoneSent = false;
    unsigned FChanges = 0;
};
