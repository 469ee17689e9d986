#include "imap/ImapProt.h"

#include "codec/Base64.h"
#include "codec/ServerText.h"
#include "platform/AsciiText.h"
#include "platform/Window.h"

#include <algorithm>

namespace {

// Socket error number of a connection closed under a running request.
constexpr WORD kErrInterrupted = 10004;
// Most of a server's text that an error message shows.
constexpr std::size_t kShownLimit = 200;
// Longest From value kept.
constexpr std::size_t kFromLimit = 10000;

std::string SocketFailureText(WORD error) {
    return "IMAP: " + SocketErrorText(error) + " (Winsock error #" + std::to_string(error) + ")";
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && EqualNoCaseAscii(text.substr(0, prefix.size()), prefix);
}

// The From value of a header block: the text after "From:" on the From
// line itself, as the POP3 engine reads it (a folded continuation is left
// out), so that one message gives the siren the same line over either
// protocol.
std::string HeaderFrom(std::string_view header) {
    while (!header.empty()) {
        std::size_t end = header.find('\n');
        std::string_view line = header.substr(0, end);
        header.remove_prefix(end == std::string_view::npos ? header.size() : end + 1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (StartsWithNoCase(line, "FROM:")) return CleanServerText(line.substr(5), kFromLimit);
    }
    return {};
}

// News of the examined folder: a message arrived (EXISTS) or left
// (EXPUNGE), or its flags changed (a FETCH that is not the answer to the
// fetch of `FetchedUid`).
bool IsMailboxNews(const TImapResponse& r, std::uint64_t FetchedUid) {
    if (r.Kind != TImapResponseKind::Untagged) return false;
    if (ImapNumbered(r, "EXISTS") || ImapNumbered(r, "EXPUNGE")) return true;
    std::optional<TImapFetch> fetch = ImapFetch(r);
    if (!fetch) return false;
    const TImapValue* uid = fetch->Item("UID");
    return FetchedUid == 0 || !uid || !uid->IsNumber() || uid->Number != FetchedUid || fetch->Item("FLAGS");
}

// The text a status response shows: its name, code and words.
std::string StatusText(const TImapResponse& r) {
    std::string text = r.Name;
    if (!r.Code.empty()) text += " [" + r.Code + (r.CodeText.empty() ? "" : " " + r.CodeText) + "]";
    if (!r.Text.empty()) text += " " + r.Text;
    return text;
}

}  // namespace

// ---------------------------------------------------------------------------
// Construction and events

TImapCli::TImapCli(TComponent* Owner) : TComponent(Owner) {
    FWindowHandle = AllocateHWnd([this](TMessage& m) { WindowProcedure(m); });
    FWSocket = std::make_unique<TWSocket>(nullptr);
    FWSocket->OnSessionClosed = [this](TObject* s, WORD e) { WSocketSessionClosed(s, e); };
}

TImapCli::~TImapCli() {
    // Nothing the socket reports while it closes may reach a client going away.
    FWSocket->OnSessionClosed = nullptr;
    FWSocket->OnSessionConnected = nullptr;
    FWSocket->OnDataAvailable = nullptr;
    FWSocket->OnDnsLookupDone = nullptr;
    FWSocket->OnTlsDone = nullptr;
    FWSocket.reset();
    if (FWindowHandle) DeallocateHWnd(FWindowHandle);
}

void TImapCli::WindowProcedure(TMessage& Msg) {
    if (Msg.Msg == WM_IMAP_REQUEST_DONE) {
        // An end posted before an Abort is never reported.
        if (Msg.WParam == FSerial) {
            FCurrentRequest = static_cast<TImapRequest>((Msg.LParam >> 16) & 0xFF);
            NotifyRequestDone(static_cast<WORD>(Msg.LParam & 0xFFFF));
        }
        Msg.Result = 0;
        return;
    }
    Msg.Result = DefWindowProcA(FWindowHandle, Msg.Msg, Msg.WParam, Msg.LParam);
}

void TImapCli::NotifyRequestDone(WORD Error) {
    if (OnRequestDone) OnRequestDone(this, FCurrentRequest, Error);
}

void TImapCli::NotifyResponse(const std::string& Line) {
    if (OnResponse) OnResponse(this, Line);
}

// ---------------------------------------------------------------------------
// Small routines

void TImapCli::SetEngineState(TImapEngineState State) { FEngineState = State; }

void TImapCli::RequireReady() {
    if (FEngineState != TImapEngineState::Idle) throw ImapException("IMAP component not ready");
}

void TImapCli::RequireAuthenticated(const char* Command) {
    RequireReady();
    if (!FConnected) throw ImapException("IMAP component not connected");
    if (!FAuthenticated) throw ImapException(std::string("IMAP: ") + Command + " is not allowed before the login");
}

bool TImapCli::HasCapability(std::string_view Name) const { return ImapHasCapability(FCapabilities, Name); }

void TImapCli::BeginRequest(TImapRequest Request) {
    FCurrentRequest = Request;
    FDoneSignalled = false;
    FRequestOutcome = 0;
    FErrorMessage.clear();
    FOnOk = nullptr;
    FPendingParts.clear();
}

void TImapCli::ResetReceiveState() {
    FReader = TImapReader();
    FLineSoFar.clear();
    FLineBytes = 0;
    FPendingParts.clear();
    ++FGeneration;
}

void TImapCli::DropConnection() {
    ResetReceiveState();
    FConnected = false;
    FAuthenticated = false;
    FExamined = false;
    FTag.clear();
    FWSocket->Abort();
}

void TImapCli::FailRequest(const std::string& Text, int Outcome) {
    if (FDoneSignalled) return;
    FRequestOutcome = Outcome;
    FErrorMessage = CleanServerText(Text, kShownLimit);
    if (Trim(FErrorMessage).empty()) FErrorMessage = "IMAP: no reason given";
    CompleteRequest(static_cast<WORD>(Outcome));
}

void TImapCli::FailAndDrop(const std::string& Text, int Outcome) {
    FailRequest(Text, Outcome);
    DropConnection();
}

void TImapCli::CompleteRequest(WORD Error) {
    if (FDoneSignalled) return;
    FDoneSignalled = true;
    FTag.clear();
    FOnOk = nullptr;
    FPendingParts.clear();
    SetEngineState(TImapEngineState::Idle);
    LPARAM message = static_cast<LPARAM>(Error) | (static_cast<LPARAM>(FCurrentRequest) << 16);
    PostMessageA(FWindowHandle, WM_IMAP_REQUEST_DONE, FSerial, message);
}

// ---------------------------------------------------------------------------
// Sending

void TImapCli::SendCommand(std::vector<std::string> Parts, std::function<void()> OnOk) {
    FTag = "A" + std::to_string(++FTagNumber);
    FOnOk = std::move(OnOk);
    FPendingParts.assign(Parts.begin() + 1, Parts.end());
    SetEngineState(TImapEngineState::AwaitingReply);
    SendRaw(FTag + " " + Parts.front() + "\r\n");
}

void TImapCli::SendRaw(const std::string& Bytes) {
    if (FConnected) FWSocket->SendText(Bytes);
}

void TImapCli::AppendLoginArg(std::vector<std::string>& Parts, const std::string& Text) const {
    if (std::optional<std::string> quoted = ImapQuoted(Text)) {
        Parts.back() += " " + *quoted;
        return;
    }
    const std::string size = std::to_string(Text.size());
    if (HasCapability("LITERAL+")) {
        Parts.back() += " {" + size + "+}\r\n" + Text;
        return;
    }
    // A synchronising literal: its bytes wait for the server's go-ahead.
    Parts.back() += " {" + size + "}";
    Parts.push_back(Text);
}

std::string TImapCli::QuotedFolder() const {
    std::optional<std::string> utf7 = ImapMailboxUtf7(Folder);
    if (!utf7) return {};
    return ImapQuoted(*utf7).value_or(std::string());
}

// ---------------------------------------------------------------------------
// Connecting

void TImapCli::Connect() {
    RequireReady();
    if (FConnected) throw ImapException("IMAP component already connected");
    BeginRequest(TImapRequest::Connect);
    ResetReceiveState();
    FTagNumber = 0;
    FTag.clear();
    FCapabilities.clear();
    FAuthenticated = false;
    FExamined = false;
    SetEngineState(TImapEngineState::LookingUp);
    // Checked before any connection: a setting that is not understood, or a
    // pin on a plain connection, must never become a plain-text login.
    if (Security < 0 || Security > 2)
        return FailRequest("IMAP: Security=" + std::to_string(Security) + " is not 0, 1 or 2");
    if (Security == 0 && !Trim(Fingerprint).empty())
        return FailRequest("IMAP: Security=0 is plain text, but a Fingerprint is set");
    if (Auth < 0 || Auth > 2) return FailRequest("IMAP: Auth=" + std::to_string(Auth) + " is not 0, 1 or 2");
    if (Auth != 0 && Security == 0)
        return FailRequest("IMAP: Auth=" + std::to_string(Auth) +
                           " needs Security 1 or 2: an OAuth2 token is never sent in plain text");
    std::string pin;
    if (Security != 0 && !Fingerprint.empty() && !NormalizeTlsFingerprint(Fingerprint, pin))
        return FailRequest("IMAP: TLS: the certificate fingerprint is not 64 hexadecimal digits");
    FWSocket->OnDnsLookupDone = [this](TObject* s, WORD e) { WSocketDnsLookupDone(s, e); };
    try {
        FWSocket->DnsLookup(Host);
    } catch (const Exception& e) {
        if (FEngineState == TImapEngineState::LookingUp) FailRequest("IMAP: " + e.Message());
    }
}

void TImapCli::WSocketDnsLookupDone(TObject*, WORD Error) {
    if (FEngineState != TImapEngineState::LookingUp || FDoneSignalled) return;
    if (Error != 0) return FailRequest(SocketFailureText(Error), Error);
    // The name itself: the socket connects to every address the lookup
    // found (IPv6 and IPv4, racing), not only to the first.
    FWSocket->SetAddr(Host);
    FWSocket->SetProto("tcp");
    FWSocket->SetPort(Port);
    FWSocket->KeepAliveIdle = KeepAliveIdle;
    FWSocket->KeepAliveInterval = KeepAliveInterval;
    FWSocket->KeepAliveProbes = KeepAliveProbes;
    FWSocket->SetTlsMode(Security == 1 ? tlsImplicit : Security == 2 ? tlsExplicit : tlsNone);
    // The certificate must carry the host as configured, not its address.
    FWSocket->SetTlsHost(Trim(Host));
    FWSocket->SetTlsFingerprint(Security != 0 ? Fingerprint : "");
    FWSocket->OnTlsDone = [this](TObject* s, WORD e) { WSocketTlsDone(s, e); };
    FWSocket->OnSessionConnected = [this](TObject* s, WORD e) { WSocketSessionConnected(s, e); };
    FWSocket->OnDataAvailable = [this](TObject* s, WORD e) { WSocketDataAvailable(s, e); };
    SetEngineState(TImapEngineState::Connecting);
    try {
        FWSocket->Connect();
    } catch (const Exception& e) {
        FailRequest("IMAP: " + e.Message());
        FWSocket->Abort();
    }
}

void TImapCli::WSocketSessionConnected(TObject*, WORD Error) {
    if (FDoneSignalled) return;
    if (Error != 0) {
        FConnected = false;
        // When every address failed, the reason of each family.
        FailRequest(Error == WSOCKET_TLS_ERROR                  ? "IMAP: " + FWSocket->TlsErrorText()
                    : !FWSocket->ConnectErrorText().empty() ? "IMAP: " + FWSocket->ConnectErrorText()
                                                            : SocketFailureText(Error),
                    Error);
        FWSocket->Close();
        return;
    }
    FConnected = true;
    SetEngineState(TImapEngineState::AwaitingGreeting);
}

void TImapCli::WSocketSessionClosed(TObject*, WORD) {
    FConnected = false;
    FAuthenticated = false;
    FExamined = false;
    ResetReceiveState();
    if (FDoneSignalled) return;
    if (FCurrentRequest == TImapRequest::Logout) {
        // Nothing can come after the close: the goodbye is complete.
        CompleteRequest(0);
        return;
    }
    FailRequest("IMAP: the server closed the connection", kErrInterrupted);
}

void TImapCli::StartTlsNow() {
    // Everything learnt in plain text could have been forged: forgotten.
    FCapabilities.clear();
    FWSocket->StartTls();
}

void TImapCli::WSocketTlsDone(TObject*, WORD Error) {
    if (FEngineState != TImapEngineState::StartingTls || FDoneSignalled) return;
    if (Error != 0) return FailAndDrop("IMAP: " + FWSocket->TlsErrorText());
    ResetReceiveState();
    FinishConnect();
}

void TImapCli::FinishConnect() {
    if (!FCapabilities.empty()) return CompleteRequest(0);
    SendCommand({"CAPABILITY"}, [this] { CompleteRequest(0); });
}

// ---------------------------------------------------------------------------
// Receiving

void TImapCli::WSocketDataAvailable(TObject*, WORD) {
    // A reader that failed has stopped; the connection is on its way out.
    if (FReader.Failed()) return;
    char buffer[kReceiveChunk];
    int count = FWSocket->Receive(buffer, static_cast<int>(sizeof buffer));
    if (count <= 0) return;
    const unsigned generation = FGeneration;
    std::string_view rest(buffer, static_cast<std::size_t>(count));
    // Fed one line at a time, so that at most one response completes per
    // piece and what follows a STARTTLS reply is known.
    while (!rest.empty()) {
        std::size_t lineEnd = rest.find('\n');
        std::size_t take = lineEnd == std::string_view::npos ? rest.size() : lineEnd + 1;
        std::string_view piece = rest.substr(0, take);
        rest.remove_prefix(take);

        const std::size_t room = kLinePiece - std::min(kLinePiece, FLineSoFar.size());
        FLineSoFar.append(piece.substr(0, std::min(piece.size(), room)));
        FLineBytes += piece.size();
        if (lineEnd != std::string_view::npos || FLineBytes >= kLinePiece) {
            std::string line;
            line.swap(FLineSoFar);
            FLineBytes = 0;
            while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
            NotifyResponse(CleanServerText(line, kShownLimit));
            if (generation != FGeneration) return;
        }

        if (!FReader.Feed(piece)) return FailAndDrop("IMAP: " + FReader.Error());
        while (std::optional<TImapResponse> response = FReader.Next()) {
            if (HandleResponse(*response)) continue;
            if (generation != FGeneration || FEngineState != TImapEngineState::StartingTls) return;
            // The server waits for the handshake now: whatever came after
            // its reply was put in by someone in the middle.
            if (!rest.empty())
                return FailAndDrop("IMAP: TLS: data received before the handshake (plaintext injection)");
            return StartTlsNow();
        }
        if (generation != FGeneration) return;
    }
}

bool TImapCli::HandleResponse(const TImapResponse& R) {
    const unsigned generation = FGeneration;
    if (R.Kind == TImapResponseKind::Continuation)
        HandleContinuation(R);
    else if (FEngineState == TImapEngineState::AwaitingGreeting)
        HandleGreeting(R);
    else if (R.Kind == TImapResponseKind::Untagged)
        HandleUntagged(R);
    else
        HandleTagged(R);
    return generation == FGeneration && FEngineState != TImapEngineState::StartingTls;
}

void TImapCli::HandleGreeting(const TImapResponse& R) {
    if (R.Kind != TImapResponseKind::Untagged || (R.Name != "OK" && R.Name != "PREAUTH")) {
        FailAndDrop(R.Name == "BYE" ? StatusText(R) : "IMAP: no greeting from the server: " + StatusText(R));
        return;
    }
    if (R.Name == "PREAUTH") {
        // A session that starts logged in cannot be moved under TLS: every
        // byte of it would be plain text.
        if (Security == 2) {
            FailAndDrop("IMAP: the server greets with PREAUTH on a plain connection, so STARTTLS cannot protect it");
            return;
        }
        FAuthenticated = true;
    }
    if (auto caps = ImapCapabilities(R)) FCapabilities = *caps;
    if (Security == 2) {
        SendCommand({"STARTTLS"}, [this] { SetEngineState(TImapEngineState::StartingTls); });
        return;
    }
    FinishConnect();
}

void TImapCli::HandleUntagged(const TImapResponse& R) {
    if (R.Name == "BYE") {
        // The server is leaving: the goodbye expects it, every other request fails.
        if (FCurrentRequest != TImapRequest::Logout || FDoneSignalled) FailAndDrop(StatusText(R));
        return;
    }
    if (FExamined && IsMailboxNews(R, FCurrentRequest == TImapRequest::Fetch ? FFetchUid : 0)) {
        ++FChanges;
        const unsigned generation = FGeneration;
        if (OnMailboxChange) OnMailboxChange(this);
        if (generation != FGeneration) return;
    }
    if (FDoneSignalled) return;
    if (auto caps = ImapCapabilities(R)) {
        // Those learnt before STARTTLS are forgotten when the handshake starts.
        FCapabilities = *caps;
        return;
    }
    switch (FCurrentRequest) {
        case TImapRequest::Status:
            if (auto status = ImapStatus(R)) {
                const std::string sent = ImapMailboxUtf7(Folder).value_or(std::string());
                const bool inbox = EqualNoCaseAscii(status->Mailbox, "INBOX") && EqualNoCaseAscii(sent, "INBOX");
                if (status->Mailbox != sent && !inbox) return;
                auto item = [&](const char* name, std::uint64_t& value) {
                    auto it = status->Items.find(name);
                    if (it != status->Items.end()) value = it->second;
                    return it != status->Items.end();
                };
                FStatusSeen = item("UNSEEN", FUnseen);
                item("UIDNEXT", FUidNext);
                item("UIDVALIDITY", FUidValidity);
            }
            break;
        case TImapRequest::Examine:
            if (R.Name == "OK" && R.Code == "UIDVALIDITY" && !R.CodeArgs.empty() && R.CodeArgs[0].IsNumber())
                FUidValidity = R.CodeArgs[0].Number;
            if (R.Name == "OK" && R.Code == "UIDNEXT" && !R.CodeArgs.empty() && R.CodeArgs[0].IsNumber())
                FUidNext = R.CodeArgs[0].Number;
            break;
        case TImapRequest::Search:
            if (auto hits = ImapSearch(R)) FUids.insert(FUids.end(), hits->begin(), hits->end());
            break;
        case TImapRequest::Fetch:
            TakeFetch(R);
            break;
        default:
            break;
    }
}

void TImapCli::TakeFetch(const TImapResponse& R) {
    std::optional<TImapFetch> fetch = ImapFetch(R);
    if (!fetch) return;
    // Another message's news (a flag change) is not this fetch's answer.
    const TImapValue* uid = fetch->Item("UID");
    if (uid && (!uid->IsNumber() || uid->Number != FFetchUid)) return;
    for (const auto& [name, value] : fetch->Items)
        if (StartsWithNoCase(name, "BODY[HEADER.FIELDS") && value.IsString()) {
            FFrom = HeaderFrom(value.Text);
            return;
        }
}

void TImapCli::HandleTagged(const TImapResponse& R) {
    if (FTag.empty() || R.Tag != FTag) {
        FailAndDrop("IMAP: a response tagged " + R.Tag +
                    (FTag.empty() ? " while no command runs" : " where " + FTag + " was expected"));
        return;
    }
    FTag.clear();
    FPendingParts.clear();
    if (FCurrentRequest == TImapRequest::Logout) {
        // The goodbye ends with the close that follows (see WSocketSessionClosed).
        return;
    }
    if (R.Name != "OK") {
        // A refused STARTTLS (or CAPABILITY) leaves no session to use.
        if (FCurrentRequest == TImapRequest::Connect)
            FailAndDrop(StatusText(R));
        else
            FailRequest(StatusText(R) + (FCurrentRequest == TImapRequest::Login ? FAuthStatus : ""));
        return;
    }
    if (auto caps = ImapCapabilities(R)) FCapabilities = *caps;
    std::function<void()> next = std::move(FOnOk);
    FOnOk = nullptr;
    if (next)
        next();
    else
        CompleteRequest(0);
}

void TImapCli::HandleContinuation(const TImapResponse& R) {
    if (FCurrentRequest == TImapRequest::Idle && !FDoneSignalled && !FIdling && FPendingParts.empty() &&
        !FTag.empty()) {
        FIdling = true;
        if (FEndIdleWanted) EndIdle();
        return;
    }
    if (FCurrentRequest == TImapRequest::Login && Auth != 0 && !FDoneSignalled && FPendingParts.empty() &&
        !FTag.empty() && !FAuthAnswered) {
        // The token was refused: the challenge says why, and the mechanism's
        // answer to it brings the tagged NO.
        FAuthAnswered = true;
        FAuthStatus = OAuth2ErrorStatus(R.Text);
        SendRaw(std::string(OAuth2ErrorAnswer(static_cast<TAuthMechanism>(Auth))) + "\r\n");
        return;
    }
    if (FPendingParts.empty()) return FailAndDrop("IMAP: an unexpected continuation request from the server");
    std::string part = std::move(FPendingParts.front());
    FPendingParts.pop_front();
    SendRaw(part + "\r\n");
}

// ---------------------------------------------------------------------------
// Operations

void TImapCli::Login() {
    RequireReady();
    if (!FConnected) throw ImapException("IMAP component not connected");
    BeginRequest(TImapRequest::Login);
    if (FAuthenticated) return CompleteRequest(0);
    if (Security == 0 && HasCapability("LOGINDISABLED"))
        return FailRequest("IMAP: the server refuses logins on a plain connection; set Security to 1 or 2");
    if (UserName.find('\0') != std::string::npos || PassWord.find('\0') != std::string::npos)
        return FailRequest("IMAP: the user name or password holds a zero byte");
    auto loggedIn = [this] {
        FAuthenticated = true;
        FExamined = false;
        CompleteRequest(0);
    };
    FAuthAnswered = false;
    FAuthStatus.clear();
    if (Auth == 1 || Auth == 2) {
        // Connect refuses this already; the token must never depend on that alone.
        if (Security == 0) return FailRequest("IMAP: an OAuth2 token is never sent in plain text");
        const auto mechanism = static_cast<TAuthMechanism>(Auth);
        const std::string command = std::string("AUTHENTICATE ") + SaslMechanismName(mechanism);
        const std::string response = OAuth2InitialResponse(mechanism, Trim(UserName), Trim(PassWord), Trim(Host), Port);
        if (HasCapability("SASL-IR"))
            SendCommand({command + " " + response}, loggedIn);
        else
            SendCommand({command, response}, loggedIn);
        return;
    }
    if (HasCapability("AUTH=PLAIN")) {
        const std::string response = TBase64().Encode(std::string(1, '\0') + UserName + '\0' + PassWord);
        if (HasCapability("SASL-IR"))
            SendCommand({"AUTHENTICATE PLAIN " + response}, loggedIn);
        else
            SendCommand({"AUTHENTICATE PLAIN", response}, loggedIn);
        return;
    }
    std::vector<std::string> parts{"LOGIN"};
    AppendLoginArg(parts, UserName);
    AppendLoginArg(parts, PassWord);
    SendCommand(std::move(parts), loggedIn);
}

void TImapCli::Status() {
    RequireAuthenticated("STATUS");
    BeginRequest(TImapRequest::Status);
    FUnseen = FUidNext = FUidValidity = 0;
    FStatusSeen = false;
    const std::string folder = QuotedFolder();
    if (folder.empty()) return FailRequest("IMAP: the folder name cannot be sent: " + Folder);
    SendCommand({"STATUS " + folder + " (UNSEEN UIDNEXT UIDVALIDITY)"}, [this] {
        if (!FStatusSeen) return FailRequest("IMAP: the server sent no unseen count for the folder");
        CompleteRequest(0);
    });
}

void TImapCli::Examine() {
    RequireAuthenticated("EXAMINE");
    BeginRequest(TImapRequest::Examine);
    FExamined = false;
    const std::string folder = QuotedFolder();
    if (folder.empty()) return FailRequest("IMAP: the folder name cannot be sent: " + Folder);
    SendCommand({"EXAMINE " + folder}, [this] {
        FExamined = true;
        CompleteRequest(0);
    });
}

void TImapCli::UidSearchUnseen() {
    RequireAuthenticated("UID SEARCH");
    if (!FExamined) throw ImapException("IMAP: UID SEARCH is not allowed before EXAMINE");
    BeginRequest(TImapRequest::Search);
    FUids.clear();
    SendCommand({"UID SEARCH UNSEEN"}, nullptr);
}

void TImapCli::FetchFrom(std::uint64_t Uid) {
    RequireAuthenticated("UID FETCH");
    if (!FExamined) throw ImapException("IMAP: UID FETCH is not allowed before EXAMINE");
    BeginRequest(TImapRequest::Fetch);
    FFrom.clear();
    FFetchUid = Uid;
    SendCommand({"UID FETCH " + std::to_string(Uid) + " (BODY.PEEK[HEADER.FIELDS (FROM)])"}, nullptr);
}

void TImapCli::Idle() {
    RequireAuthenticated("IDLE");
    if (!FExamined) throw ImapException("IMAP: IDLE is not allowed before EXAMINE");
    if (!HasCapability("IDLE")) throw ImapException("IMAP: the server does not offer IDLE");
    BeginRequest(TImapRequest::Idle);
    FIdling = FEndIdleWanted = FIdleDoneSent = false;
    SendCommand({"IDLE"}, nullptr);
}

void TImapCli::EndIdle() {
    if (FCurrentRequest != TImapRequest::Idle || FDoneSignalled || FIdleDoneSent) return;
    if (!FIdling) {
        FEndIdleWanted = true;  // DONE may only follow the server's go-ahead
        return;
    }
    FIdleDoneSent = true;
    SendRaw("DONE\r\n");
}

void TImapCli::Logout() {
    RequireReady();
    BeginRequest(TImapRequest::Logout);
    if (!FConnected) return CompleteRequest(0);
    SendCommand({"LOGOUT"}, nullptr);
}

void TImapCli::Abort() {
    // Whatever ran ends here, unreported, and so does any end posted before.
    FDoneSignalled = true;
    ++FSerial;
    FWSocket->CancelLookup();
    DropConnection();
    SetEngineState(TImapEngineState::Idle);
}
