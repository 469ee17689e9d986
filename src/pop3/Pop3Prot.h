// The POP3 client: an event-driven engine (TCustomPop3Cli, published as
// TPop3Cli) and its blocking front end (TSyncPop3Cli).
//
// The engine owns one TWSocket, resolves the server, connects, reads the
// greeting and then runs one command/reply exchange at a time. Every
// operation returns at once; a call that is not allowed now raises
// Pop3Exception and sends nothing, otherwise the request ends later with one
// OnRequestDone, always delivered from a message posted to the client's own
// hidden window (never from inside an operation or a socket handler). Results
// stay in the properties (MsgCount, MsgSize, MsgNum, MsgUidl, LastResponse,
// ErrorMessage) and, after TOP and RETR, in the captured header fields.
//
// Logging in is USER and PASS, APOP, or with Auth 1 or 2 an OAuth2 bearer
// token (AUTH XOAUTH2 or AUTH OAUTHBEARER, the response sent after the
// server's go-ahead), which is only ever sent over TLS.
//
// With Security 1 the socket speaks TLS from the first byte and reports the
// connection only once the certificate passed its check; with Security 2
// the engine sends STLS right after the greeting and the connect request
// ends only once the handshake and the check passed. Either way no
// credential can be sent before.
//
// The engine cuts lines itself (the socket runs in plain mode): at most 4093
// bytes are held without a line end, so a longer line arrives in pieces.
// Replies of several lines (RETR, TOP, LIST and UIDL without a number) are
// delivered line by line with the byte-stuffing dot removed, and the values
// of a few header fields are captured while the lines are header lines.
//
// TSyncPop3Cli gives each operation a twin that starts it and waits in the
// event loop until the engine is idle again, giving up after Timeout seconds
// without a received line (or when the application is ending).
#pragma once

#include "codec/OAuth2.h"
#include "framework/Classes.h"
#include "net/WSocket.h"
#include "platform/WinTypes.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

enum TPop3ProtocolState { pop3Disconnected, pop3WaitingUser, pop3WaitingPass, pop3Transaction };

// Every request the engine runs, with the values OnRequestDone reports. Each
// but rqOpen is also a step a sequence can run (Open is a sequence of
// connect, USER and PASS); Pop3Prot.cpp's request table gives each its
// command word and the operation that runs it.
enum TPop3Request {
    rqConnect,
    rqUser,
    rqPass,
    rqRPop,
    rqQuit,
    rqStat,
    rqList,
    rqRetr,
    rqTop,
    rqDele,
    rqNoop,
    rqLast,
    rqRSet,
    rqUidl,
    rqAPop,
    rqAuth,
    rqOpen
};

enum TPop3EngineState : std::uint8_t {
    esIdle,
    esLookingUp,
    esConnecting,
    esConnected,
    esBetweenSteps,
    esAwaitingGreeting,
    esAwaitingReply,
    esAborting,
    esAwaitingStls,  // STLS sent, its reply awaited
    esStartingTls    // the TLS handshake of STLS runs
};

// What made a request fail, kept beside its numeric outcome (which stays
// what it always was: 500, a socket error number, 10004 or 426).
enum class TPop3Failure : std::uint8_t {
    None,       // no failure: the request succeeded, or none ended yet
    Refused,    // the server answered other than +OK (greeting, command, STLS)
    Malformed,  // a positive reply that does not parse (STAT, a UIDL listing line)
    TooLong,    // a reply past the most it may have
    Closed,     // the connection closed under the request
    Network,    // the name lookup or the connection failed, or the socket refused to start
    Tls,        // the handshake or the certificate check failed, or bytes came before it
    Settings,   // Security or Fingerprint hold no usable value; nothing was connected
    TimedOut,   // a wait of TSyncPop3Cli gave up (silence, or the application ending)
    Aborted,    // Abort ended the request
};

using TPop3Display = std::function<void(TObject* Sender, const std::string& Msg)>;
using TPop3RequestDone = std::function<void(TObject* Sender, TPop3Request RqType, WORD Error)>;

class Pop3Exception : public Exception {
public:
    explicit Pop3Exception(const std::string& message) : Exception(message) {}
};

// The message the engine posts to itself to report the end of a request.
constexpr UINT WM_POP3_REQUEST_DONE = WM_USER + 1;

class TCustomPop3Cli : public TComponent {
public:
    explicit TCustomPop3Cli(TComponent* Owner = nullptr);
    ~TCustomPop3Cli() override;
    TCustomPop3Cli(const TCustomPop3Cli&) = delete;
    TCustomPop3Cli& operator=(const TCustomPop3Cli&) = delete;

    // --- operations
    virtual void Connect();
    virtual void Open();
    virtual void User();
    virtual void Pass();
    virtual void RPop();
    virtual void APop();
    // AUTH with the mechanism Auth names, PassWord being the token.
    virtual void Authenticate();
    virtual void Quit();
    virtual void Stat();
    virtual void List();
    virtual void Retr();
    virtual void Top();
    virtual void Dele();
    virtual void Noop();
    virtual void Last();
    virtual void RSet();
    virtual void Uidl();
    virtual void Abort();

    // --- properties
    std::string Host;
    std::string LocalAddr = "0.0.0.0";
    std::string Port = "pop3";
    std::string UserName;
    std::string PassWord;
    // 0: plain text; 1: TLS from the first byte (POP3S); 2: plain, then
    // STLS before anything else. Any other value fails the connect before a
    // connection is made, and so does a Fingerprint with 0.
    int Security = 0;
    // SHA-256 of the server certificate's DER form (hex digits, colons and
    // case ignored); when set, the certificate is accepted if and only if it
    // has this fingerprint. Used with Security 1 and 2.
    std::string Fingerprint;
    // How Authenticate logs in: 1 XOAUTH2, 2 OAUTHBEARER (TAuthMechanism);
    // 0 is the password (USER/PASS, APOP). Any other value, and 1 or 2 with
    // Security 0, fail the connect before a connection is made.
    int Auth = 0;
    const std::string& ErrorMessage() const { return FErrorMessage; }
    const std::string& LastResponse() const { return FLastResponse; }
    TPop3ProtocolState ProtocolState() const { return FProtocolState; }
    int MsgCount() const { return FMsgCount; }
    int MsgSize() const { return FMsgSize; }
    int MsgLines = 0;
    int MsgNum = 0;
    const std::string& MsgUidl() const { return FMsgUidl; }
    int Tag = 0;

    // --- read-only state
    bool Connected() const { return FConnected; }
    TPop3EngineState EngineState() const { return FEngineState; }
    int RequestOutcome() const { return FRequestOutcome; }
    int ReplyStatus() const { return FReplyStatus; }
    // The kind of the failure RequestOutcome() (or a time-out or abort,
    // which leave it alone) reports; set and cleared with it.
    TPop3Failure Failure() const { return FFailure; }
    const std::string& TimeStamp() const { return FTimeStamp; }
    // True while a multi-line reply runs.
    bool InMultiLineReply() const;
    bool InHeader() const { return FInHeader; }
    const std::string& LastHeaderKey() const { return FLastHeaderKey; }
    const std::string& LastHeaderValue() const { return FLastHeaderValue; }
    const std::string& FromValue() const { return FFromValue; }
    const std::string& ToValue() const { return FToValue; }
    const std::string& SubjectValue() const { return FSubjectValue; }
    const std::string& DateValue() const { return FDateValue; }
    const std::string& MessageIdValue() const { return FMessageIdValue; }
    const std::string& ReplyToValue() const { return FReplyToValue; }
    const std::string& ReturnPathValue() const { return FReturnPathValue; }

    // --- events
    TPop3Display OnDisplay;
    TNotifyEvent OnMessageBegin;
    TNotifyEvent OnMessageEnd;
    TNotifyEvent OnMessageLine;
    TNotifyEvent OnListBegin;
    TNotifyEvent OnListEnd;
    TNotifyEvent OnListLine;
    TNotifyEvent OnUidlBegin;
    TNotifyEvent OnUidlEnd;
    TNotifyEvent OnUidlLine;
    TNotifyEvent OnHeaderEnd;
    TNotifyEvent OnStateChange;
    TPop3RequestDone OnRequestDone;
    TPop3Display OnResponse;
    TSessionConnected OnSessionConnected;
    TSessionClosed OnSessionClosed;

protected:
    using TLineHandler = void (TCustomPop3Cli::*)();
    using TContinuation = std::function<void()>;

    // What comes of the next received line while a reply is awaited: the
    // handler it goes to; for a positive reply to a command, the protocol
    // state the command brings and what follows it (none: the request ends).
    struct TNextReply {
        TLineHandler Handler = nullptr;
        TPop3ProtocolState OnOkState = pop3Disconnected;
        TContinuation OnOk;
    };
    // What each data line of a multi-line reply goes to, and the event at
    // its end.
    struct TDataLines {
        TNotifyEvent LineEvent;
        TNotifyEvent EndEvent;
        TLineHandler Parser = nullptr;
    };

    // Size of the receive buffer; a line is cut after kLinePiece bytes.
    static constexpr int kReceiveBufferSize = 4096;
    static constexpr int kLinePiece = kReceiveBufferSize - 3;

    virtual void WindowProcedure(TMessage& Msg);
    virtual void NotifySessionConnected(WORD Error);
    virtual void NotifyResponse(const std::string& Msg);
    virtual void NotifyStateChange();
    // Ends the running request (the QUIT rule, then the completion).
    virtual void NotifyRequestDone(WORD Error);
    virtual void NotifyDisplay(const std::string& Msg);
    virtual void NotifySessionClosed(WORD Error);
    virtual void NotifyHeaderEnd();
    // One read from the socket into `Buffer`; what the receive path uses.
    virtual int ReceiveRaw(void* Buffer, int BufferSize);

    // Small routines.
    bool TlsWanted() const { return Security == 1 || Security == 2; }
    void SetEngineState(TPop3EngineState State);
    // The only place the protocol state changes.
    void SetProtocolState(TPop3ProtocolState State);
    void RequireReady();
    bool CheckOk();
    // The error message, unless one is set: the last response made safe to
    // show and shortened, never empty.
    void SetErrorMessage();
    // Forgets every received byte and the state of a cut line; whenever a
    // connection starts or is dropped.
    void ResetReceiveState();
    // Drops the connection at once, with whatever it had sent.
    void DropConnection();
    // Fails the running request and drops the connection: what the server
    // sends after it could not be trusted to line up with a request.
    void FailAndDrop(TPop3Failure Kind, const std::string& Text, int Outcome);
    // Ends the running request as failed: Text becomes the last response
    // (and the error message unless one is set), Outcome the request's
    // outcome and the code it completes with, Kind its failure kind.
    void FailRequest(TPop3Failure Kind, const std::string& Text, int Outcome);
    [[noreturn]] void RaiseShown(const std::string& Msg);
    void CompleteRequest(WORD Error);

    // Sending.
    // Sends Rq's command word followed by Args (which start with their
    // space); a positive reply brings the protocol state the request table
    // gives Rq, then Continuation (none: the request ends).
    void SendRequest(TPop3Request Rq, const std::string& Args, TContinuation Continuation);
    void SendCommand(const std::string& Command);
    // Raises "-ERR <command word> command invalid now", shown.
    [[noreturn]] void RaiseInvalidNow(TPop3Request Rq);
    void StartTransactionCommand(TPop3Request Rq, const std::string& Arg, TContinuation Continuation);

    // Socket handlers.
    void WSocketDnsLookupDone(TObject* Sender, WORD Error);
    void WSocketSessionConnected(TObject* Sender, WORD Error);
    void WSocketDataAvailable(TObject* Sender, WORD Error);
    void WSocketSessionClosed(TObject* Sender, WORD Error);
    void WSocketTlsDone(TObject* Sender, WORD Error);
    // Ends the connect request as failed with Text, dropping the connection.
    void FailConnect(TPop3Failure Kind, const std::string& Text);
    // Cuts the held bytes into lines and dispatches each; Error is the data
    // notification's, passed on at the greeting.
    void ProcessReceived(WORD Error);

    // Line handlers.
    // False after a negative greeting.
    bool HandleGreeting(WORD Error);
    // The greeting passed (and with STLS, the handshake): the session is ready.
    void GreetingDone(WORD Error);
    // Always false: no line after the STLS reply is read in plain text.
    bool HandleStlsReply();
    void HandleReply();
    // The lines of AUTH: the go-ahead, a failure challenge, the final reply.
    void HandleAuthReply();
    void HandleDataLine();
    void BeginMultiLine(const TNotifyEvent& BeginEvent, const TNotifyEvent& LineEvent, const TNotifyEvent& EndEvent,
                        TLineHandler Parser);
    void CaptureHeader(const std::string& Line);
    void ParseListLine();
    void ParseUidlLine();

    // Sequences: Steps holds one bit (1 << request) per step to run.
    void StartSequence(std::uint32_t Steps);
    void RunNextStep();

    std::unique_ptr<TWSocket> FWSocket;
    HWND FWindowHandle = 0;

    TPop3EngineState FEngineState = esIdle;
    TPop3ProtocolState FProtocolState = pop3Disconnected;
    bool FConnected = false;
    TPop3Request FCurrentRequest = rqConnect;
    bool FDoneSignalled = true;

    char FReceiveBuffer[kReceiveBufferSize] = {};
    int FReceiveLength = 0;
    // A line was cut: the next line taken from the buffer continues it.
    bool FCutPending = false;
    bool FNextContinues = false;
    // The line being handled continues a cut line: never the end of a reply,
    // never dot-unstuffed, never a header line or a reply of its own.
    bool FLineContinues = false;
    // Bytes of the line being handled, its cut pieces counted together.
    std::size_t FLineBytes = 0;
    // The first piece of a status line that came in pieces, handled at its end.
    std::string FHeldReply;

    // The multi-line reply running: its text so far and the most it may have.
    std::size_t FDataBytes = 0;
    std::size_t FDataLimit = 0;

    int FRequestOutcome = 0;
    TPop3Failure FFailure = TPop3Failure::None;
    int FReplyStatus = 0;
    TNextReply FNext;
    // Where a running AUTH stands, and the status its failure challenge gave.
    enum class TAuthStage : std::uint8_t { AwaitingGo, AwaitingResult, AwaitingFinal };
    TAuthStage FAuthStage = TAuthStage::AwaitingGo;
    std::string FAuthStatus;

    // Steps of the running sequence still to run, one bit (1 << request) each.
    std::uint32_t FStepSet = 0;
    // The request whose command was sent last (in a sequence: the step that
    // runs); none before the first step of a sequence.
    std::optional<TPop3Request> FCurrentStep;
    int FSequenceResult = 0;
    bool FInSequence = false;
    bool FSequenceContinuation = false;  // RunNextStep when set
    bool FQuitHalfDone = false;

    std::string FTimeStamp;
    std::string FErrorMessage;
    std::string FLastResponse;
    int FMsgCount = 0;
    int FMsgSize = 0;
    std::string FMsgUidl;

    bool FInHeader = false;
    std::string FLastHeaderKey;
    std::string FLastHeaderValue;
    std::string FFromValue;
    std::string FToValue;
    std::string FSubjectValue;
    std::string FReplyToValue;
    std::string FMessageIdValue;
    std::string FDateValue;
    std::string FReturnPathValue;
    TDataLines FDataLines;
};

class TPop3Cli : public TCustomPop3Cli {
public:
    explicit TPop3Cli(TComponent* Owner = nullptr) : TCustomPop3Cli(Owner) {}
};

class TSyncPop3Cli : public TPop3Cli {
public:
    explicit TSyncPop3Cli(TComponent* Owner = nullptr);

    // Waits until the engine is idle: true when the request succeeded.
    virtual bool AwaitReady();
    virtual bool ConnectWait();
    virtual bool OpenWait();
    virtual bool UserWait();
    virtual bool PassWait();
    virtual bool RPopWait();
    virtual bool APopWait();
    virtual bool AuthenticateWait();
    virtual bool QuitWait();
    virtual bool StatWait();
    virtual bool ListWait();
    virtual bool RetrWait();
    virtual bool TopWait();
    virtual bool DeleWait();
    virtual bool NoopWait();
    virtual bool LastWait();
    virtual bool RSetWait();
    virtual bool UidlWait();
    virtual bool AbortWait();

    // Seconds without a received line after which a wait gives up; 0 or
    // less: no limit.
    int Timeout = 15;
    // A request gets at most this many time-outs in all, however steadily
    // the server trickles its reply (lines, or pieces of one endless line).
    static constexpr int kReplyTimeouts = 4;
    // While waiting, pump this thread's messages with the socket layer's own
    // loop before blocking for the next one.
    bool MultiThreaded = false;

protected:
    void NotifyResponse(const std::string& Msg) override;
    bool RunSync(void (TCustomPop3Cli::*Operation)());
    // Starts counting the silence afresh.
    void RestartDeadline();

    // Tick count (GetTickCount) at which the current silence began. The wait
    // gives up once more than Timeout seconds have elapsed since; comparing
    // elapsed time keeps the wrap of the millisecond clock harmless.
    DWORD FSilenceStart = 0;
    // Tick count at which the running wait began.
    DWORD FWaitStart = 0;
};
