#include "pop3/Pop3Prot.h"

#include "codec/ServerText.h"
#include "framework/Application.h"
#include "platform/AsciiText.h"
#include "platform/Window.h"
#include "pop3/MD5.h"
#include "pop3/Pop3Replies.h"

#include <algorithm>
#include <cstring>
#include <typeinfo>

namespace {

// Socket error number of a connection closed under a running request
// ("Interrupted system call").
constexpr WORD kErrInterrupted = 10004;
// Longest header value kept.
constexpr std::size_t kHeaderValueLimit = 10000;
// Most text a multi-line reply may have (line ends counted): a TOP n 0 reply
// is a header alone, every other one may be a whole mailbox listing or message.
constexpr std::size_t kHeaderReplyLimit = std::size_t{1} << 20;
constexpr std::size_t kDataReplyLimit = std::size_t{16} << 20;
// Longest single-line reply (a greeting, a status line): a server that sends
// more without a line end is not speaking POP3.
constexpr std::size_t kReplyLineLimit = std::size_t{64} << 10;
// Most of a server's reply that an error text shows.
constexpr std::size_t kShownReplyLimit = 200;

// What each request is: the command word it sends (none for a connect and
// for Open, which send no command of their own), the operation that starts
// it (what a sequence calls for its steps; none for Open, which is a
// sequence itself) and the protocol state a positive reply to its command
// brings. The rows are in the order a sequence runs its steps.
struct TRequestInfo {
    TPop3Request Rq;
    const char* Command;
    void (TCustomPop3Cli::*Operation)();
    TPop3ProtocolState OnOkState;
};
constexpr TRequestInfo kRequests[] = {
    {rqConnect, "", &TCustomPop3Cli::Connect, pop3WaitingUser},
    {rqUser, "USER", &TCustomPop3Cli::User, pop3WaitingPass},
    {rqPass, "PASS", &TCustomPop3Cli::Pass, pop3Transaction},
    {rqRPop, "RPOP", &TCustomPop3Cli::RPop, pop3Transaction},
    {rqDele, "DELE", &TCustomPop3Cli::Dele, pop3Transaction},
    {rqNoop, "NOOP", &TCustomPop3Cli::Noop, pop3Transaction},
    {rqList, "LIST", &TCustomPop3Cli::List, pop3Transaction},
    {rqRSet, "RSET", &TCustomPop3Cli::RSet, pop3Transaction},
    {rqAPop, "APOP", &TCustomPop3Cli::APop, pop3Transaction},
    {rqAuth, "AUTH", &TCustomPop3Cli::Authenticate, pop3Transaction},
    {rqRetr, "RETR", &TCustomPop3Cli::Retr, pop3Transaction},
    {rqTop, "TOP", &TCustomPop3Cli::Top, pop3Transaction},
    {rqStat, "STAT", &TCustomPop3Cli::Stat, pop3Transaction},
    {rqUidl, "UIDL", &TCustomPop3Cli::Uidl, pop3Transaction},
    {rqLast, "LAST", &TCustomPop3Cli::Last, pop3Transaction},
    {rqQuit, "QUIT", &TCustomPop3Cli::Quit, pop3Disconnected},
    {rqOpen, "", nullptr, pop3Transaction},
};

// Every request has exactly one row.
constexpr bool EachRequestOnce() {
    for (int rq = rqConnect; rq <= rqOpen; ++rq) {
        int rows = 0;
        for (const TRequestInfo& info : kRequests) rows += info.Rq == rq;
        if (rows != 1) return false;
    }
    return std::size(kRequests) == rqOpen + 1;
}
static_assert(EachRequestOnce());

const TRequestInfo& RequestInfo(TPop3Request Rq) {
    return *std::find_if(std::begin(kRequests), std::end(kRequests),
                         [Rq](const TRequestInfo& info) { return info.Rq == Rq; });
}

// The bit of a step in a sequence's step set.
constexpr std::uint32_t StepBit(TPop3Request Rq) { return std::uint32_t{1} << Rq; }

std::string SocketFailureText(WORD error) {
    return "-ERR " + SocketErrorText(error) + " (Winsock error #" + std::to_string(error) + ")";
}

// The name of the exception's class, as the failure text of a connect shows it.
std::string ExceptionClassName(const std::exception& e) {
    if (dynamic_cast<const ESocketException*>(&e)) return "ESocketException";
    if (dynamic_cast<const Pop3Exception*>(&e)) return "Pop3Exception";
    return "Exception";
}

}  // namespace

// ---------------------------------------------------------------------------
// Construction

TCustomPop3Cli::TCustomPop3Cli(TComponent* Owner) : TComponent(Owner) {
    FWindowHandle = AllocateHWnd([this](TMessage& m) { WindowProcedure(m); });
    FWSocket = std::make_unique<TWSocket>(nullptr);
    FWSocket->OnSessionClosed = [this](TObject* s, WORD e) { WSocketSessionClosed(s, e); };
}

TCustomPop3Cli::~TCustomPop3Cli() {
    if (FWSocket) {
        // The client is going away: nothing the socket reports while it
        // closes may reach it.
        FWSocket->OnSessionClosed = nullptr;
        FWSocket->OnSessionConnected = nullptr;
        FWSocket->OnDataAvailable = nullptr;
        FWSocket->OnDnsLookupDone = nullptr;
        FWSocket->OnTlsDone = nullptr;
        FWSocket.reset();
    }
    if (FWindowHandle) DeallocateHWnd(FWindowHandle);
}

// ---------------------------------------------------------------------------
// Events

void TCustomPop3Cli::WindowProcedure(TMessage& Msg) {
    if (Msg.Msg == WM_POP3_REQUEST_DONE) {
        if (OnRequestDone) OnRequestDone(this, FCurrentRequest, static_cast<WORD>(Msg.LParam & 0xFFFF));
        Msg.Result = 0;
        return;
    }
    Msg.Result = DefWindowProcA(FWindowHandle, Msg.Msg, Msg.WParam, Msg.LParam);
}

void TCustomPop3Cli::NotifySessionConnected(WORD Error) {
    if (OnSessionConnected) OnSessionConnected(this, Error);
}

void TCustomPop3Cli::NotifyResponse(const std::string& Msg) {
    if (OnResponse) OnResponse(this, Msg);
}

void TCustomPop3Cli::NotifyStateChange() {
    if (OnStateChange) OnStateChange(this);
}

void TCustomPop3Cli::NotifyDisplay(const std::string& Msg) {
    if (OnDisplay) OnDisplay(this, Msg);
}

void TCustomPop3Cli::NotifySessionClosed(WORD Error) {
    if (OnSessionClosed) OnSessionClosed(this, Error);
}

void TCustomPop3Cli::NotifyHeaderEnd() {
    if (OnHeaderEnd) OnHeaderEnd(this);
}

int TCustomPop3Cli::ReceiveRaw(void* Buffer, int BufferSize) { return FWSocket->Receive(Buffer, BufferSize); }

// ---------------------------------------------------------------------------
// Small routines

void TCustomPop3Cli::SetEngineState(TPop3EngineState State) {
    if (State == FEngineState) return;
    FEngineState = State;
    NotifyStateChange();
}

void TCustomPop3Cli::SetProtocolState(TPop3ProtocolState State) { FProtocolState = State; }

void TCustomPop3Cli::RequireReady() {
    if (FEngineState != esIdle && FEngineState != esBetweenSteps) throw Pop3Exception("POP3 component not ready");
}

bool TCustomPop3Cli::CheckOk() {
    bool ok = !FLastResponse.empty() && FLastResponse[0] == '+';
    FReplyStatus = ok ? 0 : 500;
    return ok;
}

void TCustomPop3Cli::SetErrorMessage() {
    if (!FErrorMessage.empty()) return;
    // The server's words, made safe to show; a failure always says something,
    // even when the server said nothing (or only bytes that end at a zero).
    FErrorMessage = CleanServerText(FLastResponse, kShownReplyLimit);
    if (Trim(FErrorMessage).empty()) FErrorMessage = "-ERR Empty reply";
}

void TCustomPop3Cli::ResetReceiveState() {
    FReceiveLength = 0;
    FReceiveBuffer[0] = 0;
    FCutPending = false;
    FNextContinues = false;
    FLineContinues = false;
    FLineBytes = 0;
    FHeldReply.clear();
}

void TCustomPop3Cli::DropConnection() {
    ResetReceiveState();
    FWSocket->Abort();
}

void TCustomPop3Cli::FailAndDrop(TPop3Failure Kind, const std::string& Text, int Outcome) {
    FNext.Handler = nullptr;
    FailRequest(Kind, Text, Outcome);
    DropConnection();
}

void TCustomPop3Cli::FailRequest(TPop3Failure Kind, const std::string& Text, int Outcome) {
    FLastResponse = Text;
    FReplyStatus = 500;
    FRequestOutcome = Outcome;
    FFailure = Kind;
    SetErrorMessage();
    NotifyRequestDone(static_cast<WORD>(Outcome));
}

void TCustomPop3Cli::RaiseShown(const std::string& Msg) {
    FErrorMessage = Msg;
    NotifyDisplay(FErrorMessage);
    throw Pop3Exception(Msg);
}

void TCustomPop3Cli::NotifyRequestDone(WORD Error) {
    // A QUIT that was sent ends at the later of its reply and the close, and
    // always with 0.
    if (FCurrentRequest == rqQuit) {
        if (!FQuitHalfDone) {
            FQuitHalfDone = true;
            return;
        }
        FQuitHalfDone = false;
        Error = 0;
    }
    CompleteRequest(Error);
}

void TCustomPop3Cli::CompleteRequest(WORD Error) {
    if (FDoneSignalled) return;
    FDoneSignalled = true;
    if (FSequenceContinuation) {
        if (FEngineState != esAborting) SetEngineState(esBetweenSteps);
        RunNextStep();
        return;
    }
    SetEngineState(esIdle);
    FInSequence = false;
    PostMessageA(FWindowHandle, WM_POP3_REQUEST_DONE, 0, static_cast<LPARAM>(Error));
}

// ---------------------------------------------------------------------------
// Connecting

void TCustomPop3Cli::Connect() {
    RequireReady();
    if (FConnected) throw Pop3Exception("POP3 component already connected");
    if (!FInSequence) FCurrentRequest = rqConnect;
    FDoneSignalled = false;
    // Nothing of an earlier connection (a cut line among it) carries over.
    ResetReceiveState();
    FRequestOutcome = 0;
    FFailure = TPop3Failure::None;
    // A new server chooses its own stamp; the last one's never carries over.
    FTimeStamp.clear();
    SetEngineState(esLookingUp);
    FErrorMessage.clear();
    FWSocket->OnDataSent = nullptr;
    // Checked before any connection: a value that is no known setting, or a
    // pin on a plain-text connection, must never become a plain-text login.
    if (Security < 0 || Security > 2) {
        FailRequest(TPop3Failure::Settings, "Security=" + std::to_string(Security) + " is not 0, 1 or 2", 500);
        return;
    }
    if (Security == 0 && !Trim(Fingerprint).empty()) {
        FailRequest(TPop3Failure::Settings, "Security=0 is plain text, but a Fingerprint is set", 500);
        return;
    }
    if (Auth < 0 || Auth > 2) {
        FailRequest(TPop3Failure::Settings, "Auth=" + std::to_string(Auth) + " is not 0, 1 or 2", 500);
        return;
    }
    if (Auth != 0 && !TlsWanted()) {
        FailRequest(TPop3Failure::Settings,
                    "Auth=" + std::to_string(Auth) +
                        " needs Security 1 or 2: an OAuth2 token is never sent in plain text",
                    500);
        return;
    }
    std::string pin;
    if (TlsWanted() && !Fingerprint.empty() && !NormalizeTlsFingerprint(Fingerprint, pin)) {
        // Checked before any connection: a mistyped pin must never turn into
        // a connection without one.
        FailRequest(TPop3Failure::Settings, "-ERR TLS: the certificate fingerprint is not 64 hexadecimal digits", 500);
        return;
    }
    FWSocket->OnDnsLookupDone = [this](TObject* s, WORD e) { WSocketDnsLookupDone(s, e); };
    try {
        FWSocket->DnsLookup(Host);
    } catch (const Exception& e) {
        // The lookup could not even start (an empty host name, for one): the
        // request fails like a connect that raised, instead of leaving the
        // engine looking up forever.
        if (FEngineState != esLookingUp || FDoneSignalled) return;
        FailRequest(TPop3Failure::Network, "-ERR " + ExceptionClassName(e) + ": " + e.Message(), 500);
    }
}

void TCustomPop3Cli::WSocketDnsLookupDone(TObject*, WORD Error) {
    if (Error != 0) {
        FailRequest(TPop3Failure::Network, SocketFailureText(Error), Error);
        return;
    }
    // The name itself: the socket connects to every address the lookup
    // found (IPv6 and IPv4, racing), not only to the first.
    FWSocket->SetAddr(Host);
    FWSocket->SetProto("tcp");
    FWSocket->SetPort(Port);
    FWSocket->SetLocalAddr(LocalAddr);
    // The certificate must carry the host as configured (not the address it
    // resolved to).
    FWSocket->SetTlsMode(Security == 1 ? tlsImplicit : Security == 2 ? tlsExplicit : tlsNone);
    FWSocket->SetTlsHost(Trim(Host));
    FWSocket->SetTlsFingerprint(TlsWanted() ? Fingerprint : "");
    FWSocket->OnTlsDone = [this](TObject* s, WORD e) { WSocketTlsDone(s, e); };
    FWSocket->OnSessionConnected = [this](TObject* s, WORD e) { WSocketSessionConnected(s, e); };
    FWSocket->OnDataAvailable = [this](TObject* s, WORD e) { WSocketDataAvailable(s, e); };
    SetEngineState(esConnecting);
    try {
        FWSocket->Connect();
    } catch (const Exception& e) {
        FailRequest(TPop3Failure::Network, "-ERR " + ExceptionClassName(e) + ": " + e.Message(), 500);
        // The socket may be open already (a failed bind): close it, or every
        // later connect would refuse to change its settings.
        FWSocket->Abort();
    }
}

void TCustomPop3Cli::WSocketSessionConnected(TObject*, WORD Error) {
    if (Error != 0) {
        FConnected = false;
        if (Error == WSOCKET_TLS_ERROR)
            FailRequest(TPop3Failure::Tls, "-ERR " + FWSocket->TlsErrorText(), Error);
        else if (!FWSocket->ConnectErrorText().empty())  // every address failed: each family's reason
            FailRequest(TPop3Failure::Network, "-ERR " + FWSocket->ConnectErrorText(), Error);
        else
            FailRequest(TPop3Failure::Network, SocketFailureText(Error), Error);
        FWSocket->Close();
        SetEngineState(esIdle);
        return;
    }
    FConnected = true;
    SetEngineState(esAwaitingGreeting);
}

void TCustomPop3Cli::WSocketSessionClosed(TObject*, WORD Error) {
    FConnected = false;
    // A line the server left unfinished ends with the connection.
    ResetReceiveState();
    NotifySessionClosed(Error);
    if (FCurrentRequest == rqQuit) {
        // No reply can come after the close: a QUIT still waiting for one
        // ends with the close alone.
        if (!FDoneSignalled) FQuitHalfDone = true;
    } else if (!FDoneSignalled && FEngineState != esAborting && FRequestOutcome == 0) {
        // The server went away under a running request: that request failed.
        FRequestOutcome = kErrInterrupted;
        FFailure = TPop3Failure::Closed;
        if (FErrorMessage.empty()) FErrorMessage = SocketFailureText(kErrInterrupted);
    }
    NotifyRequestDone(kErrInterrupted);
    SetProtocolState(pop3Disconnected);
}

// ---------------------------------------------------------------------------
// Receiving

void TCustomPop3Cli::WSocketDataAvailable(TObject*, WORD Error) {
    int room = kReceiveBufferSize - FReceiveLength - 3;
    int count;
    if (room > 0) {
        count = ReceiveRaw(FReceiveBuffer + FReceiveLength, room);
        if (count <= 0) return;
    } else if (FReceiveBuffer[kLinePiece - 1] == '\r') {
        // Cut before a held CR, which may be the first half of the line end
        // still to come: it stays held, and the continuation starts with it.
        FReceiveBuffer[kLinePiece - 1] = '\r';
        FReceiveBuffer[kLinePiece] = '\n';
        FReceiveBuffer[kLinePiece + 1] = '\r';
        FCutPending = true;
        count = 2;
    } else {
        // kLinePiece bytes held and no line end among them: cut the line here.
        FReceiveBuffer[kLinePiece] = '\r';
        FReceiveBuffer[kLinePiece + 1] = '\n';
        FCutPending = true;
        count = 2;
    }
    FReceiveLength += count;
    FReceiveBuffer[FReceiveLength] = 0;
    ProcessReceived(Error);
}

void TCustomPop3Cli::ProcessReceived(WORD Error) {
    while (FReceiveLength > 0) {
        const char* buf = FReceiveBuffer;
        const char* end = nullptr;
        for (int i = 0; i + 1 < FReceiveLength; ++i)
            if (buf[i] == '\r' && buf[i + 1] == '\n') {
                end = buf + i;
                break;
            }
        if (!end) return;
        int lineLen = static_cast<int>(end - buf);
        // The text ends early at a zero byte.
        FLastResponse.assign(buf, strnlen(buf, static_cast<std::size_t>(lineLen)));
        // The line leaves the buffer before anyone hears of it, so a handler
        // that processes messages (and with them more received data) can
        // never see it twice.
        std::memmove(FReceiveBuffer, FReceiveBuffer + lineLen + 2,
                     static_cast<std::size_t>(FReceiveLength - lineLen - 2) + 1);
        FReceiveLength -= lineLen + 2;
        // Only the line ending at a cut's own line end is cut; the one after
        // it continues it.
        FLineContinues = FNextContinues;
        FNextContinues = FCutPending;
        FCutPending = false;
        FLineBytes = FLineContinues ? FLineBytes + static_cast<std::size_t>(lineLen) : static_cast<std::size_t>(lineLen);
        NotifyResponse(FLastResponse);
        if ((FLineContinues || FNextContinues) && !InMultiLineReply()) {
            // A greeting or status line in pieces is handled once, at its
            // end, with the text of its first piece; the others are never a
            // reply of their own. One that never ends fails whatever request
            // waits, and the connection goes, since the rest would follow.
            if (FLineBytes > kReplyLineLimit) {
                FConnected = false;
                FailAndDrop(TPop3Failure::TooLong, "-ERR Reply too long", 426);
                SetEngineState(esIdle);
                return;
            }
            if (FLineContinues) NotifyDisplay("< " + FLastResponse);
            if (!FLineContinues) FHeldReply = FLastResponse;
            if (FNextContinues) continue;
            FLastResponse.swap(FHeldReply);
            FHeldReply.clear();
        }

        switch (FEngineState) {
            case esAwaitingGreeting:
                // After a negative greeting the close follows; nothing more is read.
                if (!HandleGreeting(Error)) return;
                break;
            case esAwaitingStls:
                HandleStlsReply();
                return;
            case esAwaitingReply:
                if (!FNext.Handler) throw Pop3Exception("Program error: FNext is nil");
                (this->*FNext.Handler)();
                break;
            default:
                NotifyDisplay("< " + FLastResponse);
                break;
        }
    }
}

bool TCustomPop3Cli::HandleGreeting(WORD Error) {
    NotifyDisplay("< " + FLastResponse);
    if (!CheckOk()) {
        SetErrorMessage();
        FRequestOutcome = FReplyStatus;
        FFailure = TPop3Failure::Refused;
        ResetReceiveState();
        FWSocket->Close();
        return false;
    }
    // The stamp for APOP, when the greeting carries a proper one.
    FTimeStamp = ApopTimeStamp(FLastResponse);
    if (Security == 2) {
        // Nothing else happens in plain text: STLS first.
        SetEngineState(esAwaitingStls);
        SendCommand("STLS");
        return false;
    }
    GreetingDone(Error);
    return true;
}

void TCustomPop3Cli::GreetingDone(WORD Error) {
    SetProtocolState(pop3WaitingUser);
    SetEngineState(esConnected);
    NotifySessionConnected(Error);
    NotifyRequestDone(0);
}

bool TCustomPop3Cli::HandleStlsReply() {
    NotifyDisplay("< " + FLastResponse);
    if (!CheckOk()) {
        FailConnect(TPop3Failure::Refused, "-ERR STLS refused by the server");
        return false;
    }
    // Whatever came after the reply was not sent by the server (it waits for
    // the handshake now): someone in the middle added it.
    if (FReceiveLength > 0) {
        FailConnect(TPop3Failure::Tls, "-ERR TLS: data received before the handshake (plaintext injection)");
        return false;
    }
    SetEngineState(esStartingTls);
    FWSocket->StartTls();
    return false;
}

void TCustomPop3Cli::WSocketTlsDone(TObject*, WORD Error) {
    if (FEngineState != esStartingTls) return;
    if (Error != 0) {
        FailConnect(TPop3Failure::Tls, "-ERR " + FWSocket->TlsErrorText());
        return;
    }
    // The session starts afresh: only the greeting's stamp (for APOP) is
    // kept from the plain-text part.
    ResetReceiveState();
    GreetingDone(0);
}

void TCustomPop3Cli::FailConnect(TPop3Failure Kind, const std::string& Text) {
    NotifyDisplay(Text);
    FConnected = false;
    FErrorMessage.clear();
    FailRequest(Kind, Text, 500);
    DropConnection();
    SetEngineState(esIdle);
}

void TCustomPop3Cli::HandleReply() {
    NotifyDisplay("< " + FLastResponse);
    if (!CheckOk()) {
        FailRequest(TPop3Failure::Refused, FLastResponse, FReplyStatus);
        return;
    }
    FRequestOutcome = 0;
    FFailure = TPop3Failure::None;
    SetProtocolState(FNext.OnOkState);
    if (FNext.OnOk) {
        TContinuation next = FNext.OnOk;
        next();
    } else {
        NotifyRequestDone(0);
    }
}

void TCustomPop3Cli::HandleAuthReply() {
    const bool challenge = FLastResponse == "+" || FLastResponse.starts_with("+ ");
    if (!challenge) {
        // The final reply; a failure carries what the challenge said.
        if (FLastResponse.empty() || FLastResponse[0] != '+') FLastResponse += FAuthStatus;
        HandleReply();
        return;
    }
    NotifyDisplay("< " + FLastResponse);
    const auto mechanism = static_cast<TAuthMechanism>(Auth);
    switch (FAuthStage) {
        case TAuthStage::AwaitingGo:
            FAuthStage = TAuthStage::AwaitingResult;
            SendCommand(OAuth2InitialResponse(mechanism, Trim(UserName), Trim(PassWord), Trim(Host), Port));
            break;
        case TAuthStage::AwaitingResult:
            // The token was refused: the challenge says why, and the
            // mechanism's answer to it brings the final -ERR.
            FAuthStatus = OAuth2ErrorStatus(FLastResponse.substr(std::min<std::size_t>(2, FLastResponse.size())));
            FAuthStage = TAuthStage::AwaitingFinal;
            SendCommand(OAuth2ErrorAnswer(mechanism));
            break;
        case TAuthStage::AwaitingFinal:
            FailAndDrop(TPop3Failure::Malformed, "-ERR AUTH: a second challenge after the failure" + FAuthStatus, 500);
            break;
    }
}

// ---------------------------------------------------------------------------
// Multi-line replies

void TCustomPop3Cli::BeginMultiLine(const TNotifyEvent& BeginEvent, const TNotifyEvent& LineEvent,
                                    const TNotifyEvent& EndEvent, TLineHandler Parser) {
    FDataLines = {LineEvent, EndEvent, Parser};
    FDataBytes = 0;
    FDataLimit = FCurrentStep == rqTop && MsgLines == 0 ? kHeaderReplyLimit : kDataReplyLimit;
    if (BeginEvent) BeginEvent(this);
    FNext.Handler = &TCustomPop3Cli::HandleDataLine;
}

bool TCustomPop3Cli::InMultiLineReply() const {
    return FEngineState == esAwaitingReply && FNext.Handler == &TCustomPop3Cli::HandleDataLine;
}

void TCustomPop3Cli::HandleDataLine() {
    if (!FConnected) {
        FErrorMessage = "-ERR Disconneced unexpectedly";
        FRequestOutcome = 500;
        FFailure = TPop3Failure::Closed;
        NotifyDisplay(FErrorMessage);
        NotifyRequestDone(500);
        return;
    }
    FDataBytes += FLastResponse.size() + 2;
    if (FDataBytes > FDataLimit) {
        // A reply that never ends: the request fails and the connection is
        // dropped, since the rest of the reply would follow.
        FailAndDrop(TPop3Failure::TooLong, "-ERR Reply too long", 426);
        return;
    }
    if (FLineContinues) {
        // The rest of a cut line: its text, nothing more (a parser would
        // read a new entry out of it).
        if (!FDataLines.Parser) {
            TNotifyEvent lineEvent = FDataLines.LineEvent;
            if (lineEvent) lineEvent(this);
        }
        return;
    }
    if (FLastResponse == ".") {
        TNotifyEvent endEvent = FDataLines.EndEvent;
        if (endEvent) endEvent(this);
        FLastResponse.clear();
        FNext.Handler = nullptr;
        NotifyRequestDone(0);
        return;
    }
    if (FLastResponse.size() >= 2 && FLastResponse[0] == '.' && FLastResponse[1] == '.') FLastResponse.erase(0, 1);
    if (FInHeader) CaptureHeader(FLastResponse);
    if (FDataLines.Parser) (this->*FDataLines.Parser)();
    TNotifyEvent lineEvent = FDataLines.LineEvent;
    if (lineEvent) lineEvent(this);
}

void TCustomPop3Cli::CaptureHeader(const std::string& Line) {
    if (Line.empty()) {
        FInHeader = false;
        NotifyHeaderEnd();
        return;
    }
    if (Line[0] == '\t') return;  // folded continuation
    std::size_t colon = Line.find(':');
    if (colon == std::string::npos) return;
    FLastHeaderKey = LowerAscii(Trim(Line.substr(0, colon)));
    // The values reach the siren, the tooltip and notifications: kept clean.
    FLastHeaderValue = CleanServerText(std::string_view(Line).substr(colon + 1), kHeaderValueLimit);
    static const char* const keys[] = {"from", "to", "subject", "date", "message-id", "replyto", "return-path"};
    std::string* fields[] = {&FFromValue,      &FToValue,      &FSubjectValue,  &FDateValue,
                             &FMessageIdValue, &FReplyToValue, &FReturnPathValue};
    for (std::size_t i = 0; i < std::size(keys); ++i)
        if (FLastHeaderKey == keys[i]) {
            *fields[i] = FLastHeaderValue;
            break;
        }
}

void TCustomPop3Cli::ParseListLine() { TwoNumbers(FLastResponse, MsgNum, FMsgSize); }

void TCustomPop3Cli::ParseUidlLine() {
    if (IsUidlListingLine(FLastResponse)) {
        NumberAndUid(FLastResponse, MsgNum, FMsgUidl);
        return;
    }
    // The listing cannot be trusted: the request fails, the line reaches its
    // event as no message at all (number 0, no id), and the connection is
    // dropped, since whatever the server sends after it cannot be relied on
    // to line up with a request.
    MsgNum = 0;
    FMsgUidl.clear();
    FailAndDrop(TPop3Failure::Malformed, "-ERR Malformed UIDL line: " + FLastResponse.substr(0, 80), 500);
}

// ---------------------------------------------------------------------------
// Sending

void TCustomPop3Cli::SendRequest(TPop3Request Rq, const std::string& Args, TContinuation Continuation) {
    RequireReady();
    if (!FConnected) throw Pop3Exception("POP3 component not connected");
    const TRequestInfo& info = RequestInfo(Rq);
    if (!FInSequence) FCurrentRequest = Rq;
    FCurrentStep = Rq;
    FDoneSignalled = false;
    FNext = {&TCustomPop3Cli::HandleReply, info.OnOkState, std::move(Continuation)};
    SetEngineState(esAwaitingReply);
    SendCommand(info.Command + Args);
}

void TCustomPop3Cli::SendCommand(const std::string& Command) {
    NotifyDisplay("> " + Command);
    if (Application) Application->ProcessMessages();
    // The messages just processed may have carried the close of the
    // connection, which has ended this request already: nothing to send to.
    if (!FConnected) return;
    FWSocket->SendText(Command + "\r\n");
}

void TCustomPop3Cli::RaiseInvalidNow(TPop3Request Rq) {
    RaiseShown(std::string("-ERR ") + RequestInfo(Rq).Command + " command invalid now");
}

void TCustomPop3Cli::StartTransactionCommand(TPop3Request Rq, const std::string& Arg, TContinuation Continuation) {
    if (FProtocolState != pop3Transaction) RaiseInvalidNow(Rq);
    FInHeader = true;
    FLastHeaderKey.clear();
    FLastHeaderValue.clear();
    FFromValue.clear();
    FToValue.clear();
    FSubjectValue.clear();
    FReplyToValue.clear();
    FReturnPathValue.clear();
    FMessageIdValue.clear();
    FDateValue.clear();
    SendRequest(Rq, Arg.empty() ? Arg : " " + Arg, std::move(Continuation));
}

// ---------------------------------------------------------------------------
// Operations

void TCustomPop3Cli::User() {
    if (FProtocolState > pop3WaitingUser) RaiseInvalidNow(rqUser);
    SendRequest(rqUser, " " + Trim(UserName), nullptr);
}

void TCustomPop3Cli::Pass() {
    if (FProtocolState > pop3WaitingPass) RaiseInvalidNow(rqPass);
    SendRequest(rqPass, " " + Trim(PassWord), nullptr);
}

void TCustomPop3Cli::RPop() {
    if (FProtocolState > pop3WaitingPass) RaiseInvalidNow(rqRPop);
    SendRequest(rqRPop, " " + Trim(PassWord), nullptr);
}

void TCustomPop3Cli::APop() {
    if (FProtocolState != pop3WaitingUser) RaiseInvalidNow(rqAPop);
    if (FTimeStamp.empty()) RaiseShown("-ERR Server do not support APOP (no timestamp)");
    std::string digest = LowerAscii(Md5StringHex(FTimeStamp + PassWord));
    SendRequest(rqAPop, " " + Trim(UserName) + " " + digest, nullptr);
}

void TCustomPop3Cli::Authenticate() {
    if (FProtocolState != pop3WaitingUser) RaiseInvalidNow(rqAuth);
    if (Auth != 1 && Auth != 2) RaiseShown("-ERR AUTH needs Auth 1 or 2");
    // Connect refuses this already; the token must never depend on that alone.
    if (!TlsWanted()) RaiseShown("-ERR AUTH: an OAuth2 token is never sent in plain text");
    FAuthStage = TAuthStage::AwaitingGo;
    FAuthStatus.clear();
    // The response waits for the go-ahead: a large provider refuses it on
    // the command line.
    SendRequest(rqAuth, std::string(" ") + SaslMechanismName(static_cast<TAuthMechanism>(Auth)), nullptr);
    FNext.Handler = &TCustomPop3Cli::HandleAuthReply;
}

void TCustomPop3Cli::Quit() {
    RequireReady();
    if (FConnected) {
        SendRequest(rqQuit, "", nullptr);
        return;
    }
    FCurrentStep = rqQuit;
    FCurrentRequest = rqQuit;
    FDoneSignalled = false;
    CompleteRequest(0);
}

void TCustomPop3Cli::Stat() {
    StartTransactionCommand(rqStat, "", [this] {
        if (!NumbersFit(FLastResponse)) {
            FMsgCount = 0;
            FMsgSize = 0;
            FailRequest(TPop3Failure::Malformed,
                        "-ERR Malformed STAT reply (count or size out of range): " + FLastResponse, 500);
            return;
        }
        if (!TwoNumbers(FLastResponse, FMsgCount, FMsgSize)) {
            // No count, or a count without anything after it (read as 0):
            // reporting an empty mailbox that nobody saw would be a lie.
            FailRequest(TPop3Failure::Malformed, "-ERR Malformed STAT reply (no count and size): " + FLastResponse,
                        500);
            return;
        }
        NotifyRequestDone(static_cast<WORD>(FRequestOutcome));
    });
}

void TCustomPop3Cli::List() {
    if (MsgNum > 0) {
        StartTransactionCommand(rqList, std::to_string(MsgNum), [this] {
            TwoNumbers(FLastResponse, MsgNum, FMsgSize);
            NotifyRequestDone(static_cast<WORD>(FRequestOutcome));
        });
    } else {
        StartTransactionCommand(rqList, "", [this] {
            BeginMultiLine(OnListBegin, OnListLine, OnListEnd, &TCustomPop3Cli::ParseListLine);
        });
    }
}

void TCustomPop3Cli::Uidl() {
    if (MsgNum > 0) {
        StartTransactionCommand(rqUidl, std::to_string(MsgNum), [this] {
            NumberAndUid(FLastResponse, MsgNum, FMsgUidl);
            NotifyRequestDone(static_cast<WORD>(FRequestOutcome));
        });
    } else {
        StartTransactionCommand(rqUidl, "", [this] {
            BeginMultiLine(OnUidlBegin, OnUidlLine, OnUidlEnd, &TCustomPop3Cli::ParseUidlLine);
        });
    }
}

void TCustomPop3Cli::Retr() {
    StartTransactionCommand(rqRetr, std::to_string(MsgNum),
                            [this] { BeginMultiLine(OnMessageBegin, OnMessageLine, OnMessageEnd, nullptr); });
}

void TCustomPop3Cli::Top() {
    if (MsgLines < 0) throw Pop3Exception("Invalid MsgLines for TOP command");
    StartTransactionCommand(rqTop, std::to_string(MsgNum) + " " + std::to_string(MsgLines),
                            [this] { BeginMultiLine(OnMessageBegin, OnMessageLine, OnMessageEnd, nullptr); });
}

void TCustomPop3Cli::Dele() { StartTransactionCommand(rqDele, std::to_string(MsgNum), nullptr); }

void TCustomPop3Cli::Noop() { StartTransactionCommand(rqNoop, "", nullptr); }

void TCustomPop3Cli::Last() {
    StartTransactionCommand(rqLast, "", [this] {
        TwoNumbers(FLastResponse, MsgNum, FMsgSize);
        NotifyRequestDone(static_cast<WORD>(FRequestOutcome));
    });
}

void TCustomPop3Cli::RSet() { StartTransactionCommand(rqRSet, "", nullptr); }

void TCustomPop3Cli::Abort() {
    // The request it ends (if one runs) failed by this abort, though its
    // outcome stays as it was.
    if (!FDoneSignalled) FFailure = TPop3Failure::Aborted;
    SetEngineState(esAborting);
    FWSocket->CancelLookup();
    DropConnection();
    SetEngineState(esIdle);
}

// ---------------------------------------------------------------------------
// Sequences

void TCustomPop3Cli::Open() {
    if (FConnected) throw Pop3Exception("pop3 component already connected");
    RequireReady();
    FCurrentRequest = rqOpen;
    FRequestOutcome = 0;
    FFailure = TPop3Failure::None;
    StartSequence(StepBit(rqConnect) | StepBit(rqUser) | StepBit(rqPass));
}

void TCustomPop3Cli::StartSequence(std::uint32_t Steps) {
    FStepSet = Steps;
    FCurrentStep.reset();
    FSequenceResult = 0;
    FInSequence = true;
    FLastResponse.clear();
    FErrorMessage.clear();
    RunNextStep();
}

void TCustomPop3Cli::RunNextStep() {
    if (FEngineState == esAborting) {
        FStepSet = 0;
        FSequenceResult = 426;
        FFailure = TPop3Failure::Aborted;
        FErrorMessage = "426 Operation aborted.";
    }
    FSequenceContinuation = true;
    if (FRequestOutcome != 0) {
        FSequenceResult = FRequestOutcome;
        FStepSet = (FCurrentStep != rqQuit && (FStepSet & StepBit(rqQuit))) ? StepBit(rqQuit) : 0;
    }
    for (const TRequestInfo& step : kRequests) {
        if (!step.Operation || !(FStepSet & StepBit(step.Rq))) continue;
        FCurrentStep = step.Rq;
        FStepSet &= ~StepBit(step.Rq);
        (this->*step.Operation)();
        return;
    }
    FStepSet = 0;
    FSequenceContinuation = false;
    FDoneSignalled = false;
    NotifyRequestDone(static_cast<WORD>(FSequenceResult));
}

// ---------------------------------------------------------------------------
// TSyncPop3Cli

TSyncPop3Cli::TSyncPop3Cli(TComponent* Owner) : TPop3Cli(Owner) { Timeout = 15; }

void TSyncPop3Cli::NotifyResponse(const std::string& Msg) {
    TPop3Cli::NotifyResponse(Msg);
    if (Timeout > 0) RestartDeadline();
}

void TSyncPop3Cli::RestartDeadline() { FSilenceStart = GetTickCount(); }

bool TSyncPop3Cli::AwaitReady() {
    RestartDeadline();
    FWaitStart = FSilenceStart;
    // Longest single block while no limit applies; the loop only re-tests
    // its conditions after it, it never spins.
    constexpr std::uint64_t kIdleWakeMs = 1000;
    for (;;) {
        if (FEngineState == esIdle) return FRequestOutcome == 0;
        if (!Application || Application->Terminated) break;
        std::uint64_t waitMs = kIdleWakeMs;
        if (Timeout > 0) {
            std::uint64_t limit = static_cast<std::uint64_t>(Timeout) * 1000;
            std::uint64_t elapsed = static_cast<DWORD>(GetTickCount() - FSilenceStart);
            if (elapsed > limit) break;
            // A request ends within kReplyTimeouts time-outs in all, however
            // steadily its lines (or the pieces of one line) trickle in.
            std::uint64_t total = static_cast<DWORD>(GetTickCount() - FWaitStart);
            if (total > limit * kReplyTimeouts) break;
            // Wake just after a limit passes, so the tests above see it.
            waitMs = std::min<std::uint64_t>({limit - elapsed + 1, limit * kReplyTimeouts - total + 1, kIdleWakeMs});
        }
        if (MultiThreaded) FWSocket->PumpThreadMessages();
        if (FEngineState == esIdle) continue;
        // Block in the event loop until the next message or the limit.
        Application->WaitMessage(static_cast<int>(waitMs));
    }
    Abort();
    FErrorMessage = "426 Timeout";
    FFailure = TPop3Failure::TimedOut;
    FReplyStatus = 426;
    return false;
}

bool TSyncPop3Cli::RunSync(void (TCustomPop3Cli::*Operation)()) {
    try {
        (this->*Operation)();
    } catch (...) {
        return false;
    }
    return AwaitReady();
}

bool TSyncPop3Cli::ConnectWait() { return RunSync(&TCustomPop3Cli::Connect); }
bool TSyncPop3Cli::OpenWait() { return RunSync(&TCustomPop3Cli::Open); }
bool TSyncPop3Cli::UserWait() { return RunSync(&TCustomPop3Cli::User); }
bool TSyncPop3Cli::PassWait() { return RunSync(&TCustomPop3Cli::Pass); }
bool TSyncPop3Cli::RPopWait() { return RunSync(&TCustomPop3Cli::RPop); }
bool TSyncPop3Cli::APopWait() { return RunSync(&TCustomPop3Cli::APop); }
bool TSyncPop3Cli::AuthenticateWait() { return RunSync(&TCustomPop3Cli::Authenticate); }
bool TSyncPop3Cli::QuitWait() { return RunSync(&TCustomPop3Cli::Quit); }
bool TSyncPop3Cli::StatWait() { return RunSync(&TCustomPop3Cli::Stat); }
bool TSyncPop3Cli::ListWait() { return RunSync(&TCustomPop3Cli::List); }
bool TSyncPop3Cli::RetrWait() { return RunSync(&TCustomPop3Cli::Retr); }
bool TSyncPop3Cli::TopWait() { return RunSync(&TCustomPop3Cli::Top); }
bool TSyncPop3Cli::DeleWait() { return RunSync(&TCustomPop3Cli::Dele); }
bool TSyncPop3Cli::NoopWait() { return RunSync(&TCustomPop3Cli::Noop); }
bool TSyncPop3Cli::LastWait() { return RunSync(&TCustomPop3Cli::Last); }
bool TSyncPop3Cli::RSetWait() { return RunSync(&TCustomPop3Cli::RSet); }
bool TSyncPop3Cli::UidlWait() { return RunSync(&TCustomPop3Cli::Uidl); }
bool TSyncPop3Cli::AbortWait() { return RunSync(&TCustomPop3Cli::Abort); }
