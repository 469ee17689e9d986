// TCustomWSocket: the component's hidden window and its readiness messages,
// connecting, closing, sending, receiving, name lookups and addresses.
#include "net/WSocket.h"
#include "net/WSocketPrivate.h"

#include "framework/Application.h"
#include "platform/AsciiText.h"
#include "platform/Window.h"

#include <QCoreApplication>

#include <algorithm>
#include <cstring>

using namespace WSock;

namespace {

// The timer on the hidden window that starts a connection's next attempt
// (the SOCKS layer's negotiation timer is 1).
constexpr UINT kConnectAttemptTimer = 2;

std::string FamilyName(int Family) { return Family == AF_INET6 ? "IPv6" : "IPv4"; }

}  // namespace


TCustomWSocket::TCustomWSocket(TComponent* AOwner) : TComponent(AOwner) {
    AllocateWindow();
    FDnsLookupBuffer = std::make_unique<char[]>(1025);
    MultiCastIpTTL = 1;
    TCustomWSocket::ResetDefaults();
    ++WSocketInstanceCount();
}

TCustomWSocket::~TCustomWSocket() {
    FDestroying = true;
    try {
        CancelLookup();
    } catch (const std::exception&) {
    }
    if (FDnsAddrInfo) freeaddrinfo(FDnsAddrInfo);
    try {
        if (FState != wsClosed) TCustomWSocket::Close();
    } catch (const std::exception&) {
    }
    AbandonRace();
    if (--WSocketInstanceCount() < 1) {
        UnloadSocketLibrary();
        WSocketInstanceCount() = 0;
    }
    ClearSendQueue();
    ReleaseWindow();
}

void TCustomWSocket::AllocateWindow() {
    FWindowHandle = AllocateHWnd([this](TMessage& Msg) {
        try {
            WindowProcedure(Msg);
        } catch (const Exception& E) {
            HandleBackgroundError(E);
        }
    });
    if (FWindowHandle == 0) RaiseError("Cannot create a hidden window for TWSocket");
}

void TCustomWSocket::ReleaseWindow() {
    if (FWindowHandle == 0) return;
    DeallocateHWnd(FWindowHandle);
    FWindowHandle = 0;
}

void TCustomWSocket::WindowProcedure(TMessage& Msg) {
    switch (Msg.Msg) {
        case WM_ASYNCSELECT: Do_FD_Events(Msg); break;
        case WM_ASYNCGETHOSTBYNAME: WMAsyncGetHostByName(Msg); break;
        case WM_ASYNCGETHOSTBYADDR: WMAsyncGetHostByAddr(Msg); break;
        case WM_CLOSE_DELAYED: Close(); break;
        case WM_WSOCKET_RELEASE:
            // The component was made with new and is owned by nobody else.
            delete this;
            return;
        case WM_TRIGGER_EXCEPTION: throw ESocketException("Test exception in WSocket");
        case WM_TIMER:
            if (Msg.WParam == kConnectAttemptTimer)
                RaceTimer();
            else
                Msg.Result = DefWindowProcA(FWindowHandle, Msg.Msg, Msg.WParam, Msg.LParam);
            break;
        default: Msg.Result = DefWindowProcA(FWindowHandle, Msg.Msg, Msg.WParam, Msg.LParam); break;
    }
}

void TCustomWSocket::HandleBackgroundError(const std::exception& E) {
    bool CanClose = true;
    if (OnBgException) {
        try {
            OnBgException(this, E, CanClose);
        } catch (const std::exception&) {
        }
    }
    if (CanClose) {
        try {
            Abort();
        } catch (const std::exception&) {
        }
    }
}

void TCustomWSocket::Do_FD_Events(TMessage& Msg) {
    const SOCKET from = static_cast<SOCKET>(Msg.WParam);
    if (from != FHSocket && !FRacing.empty() && !FPaused && (WSAGETSELECTEVENT(Msg.LParam) & FD_CONNECT))
        RaceConnectEvent(from, WSAGETSELECTERROR(Msg.LParam));
    if (from != FHSocket || FPaused) return;
    WORD Events = WSAGETSELECTEVENT(Msg.LParam);
    WORD E = WSAGETSELECTERROR(Msg.LParam);
    if (Events & FD_CONNECT) {
        if (FState != wsConnected) {
            SetState(wsConnected);
            NotifySessionConnected(E);
            if (E != 0 && FState != wsClosed) Close();
        }
    }
    if (Events & FD_READ) {
        if (FState != wsConnected) {
            SetState(wsConnected);
            NotifySessionConnected(E);
        }
        DrainReceive(E, ComponentOptions);
    }
    if (Events & FD_WRITE) {
        TryToSend();
        if (FAllSent) NotifyDataSent(E);
    }
    if (Events & FD_ACCEPT) NotifySessionAvailable(E);
    if ((Events & FD_CLOSE) && FState != wsConnecting) {
        DrainReceive(0, ComponentOptions & ~static_cast<TWSocketOptions>(wsoNoReceiveLoop));
        if (!FCloseInvoked) {
            FCloseInvoked = true;
            NotifySessionClosed(E);
        }
        if (FState != wsClosed) Close();
    }
}

void TCustomWSocket::DrainReceive(WORD Error, TWSocketOptions Options) {
    // The pending count after the previous pass: a pass that left it unchanged
    // consumed nothing (a handler that does not read), and looping on would
    // never end. The next read notification comes once the receiver reads.
    long long previous = -1;
    try {
        for (;;) {
            FLastError = 0;
            if (!NotifyDataAvailable(Error)) {
                char junk[1024];
                int n = RecvRaw(junk, sizeof junk, 0);
                if (n < 0 && WSAGetLastError() == WSAEWOULDBLOCK) {
                    FLastError = 0;
                    break;
                }
            }
            if (Options & wsoNoReceiveLoop) break;
            if (FLastError != 0) break;
            if (FHSocket == INVALID_SOCKET) break;  // a handler closed the socket
            WSock::u_long count = 0;
            if (ioctlsocket(FHSocket, FIONREAD, &count) == SOCKET_ERROR) {
                FLastError = WSAGetLastError();
                break;
            }
            if (count == 0) break;
            if (static_cast<long long>(count) == previous) break;
            previous = count;
        }
    } catch (const std::exception&) {
    }
}

void TCustomWSocket::SetState(TSocketState NewState) {
    TSocketState OldState = FState;
    FState = NewState;
    NotifyChangeState(OldState, NewState);
}

void TCustomWSocket::ResetDefaults() {
    std::memset(&FSin, 0, sizeof FSin);
    FSin.sin_family = static_cast<std::int16_t>(AF_INET);
    std::memset(&FSin6, 0, sizeof FSin6);
    FSin6.sin6_family = static_cast<std::int16_t>(AF_INET6);
    FAddrFormat = PF_INET;
    FPortAssigned = false;
    FAddrAssigned = false;
    FAddrResolved = false;
    FPortResolved = false;
    FProtoResolved = false;
    FLocalPortResolved = false;
    FProtoAssigned = true;
    FProto = IPPROTO_TCP;
    FProtoStr = "tcp";
    FType = SOCK_STREAM;
    FLocalPortStr = "0";
    FLocalAddr = "0.0.0.0";
    FLingerOnOff = wsLingerOn;
    FLingerTimeout = 0;
    FHSocket = INVALID_SOCKET;
    FSelectEvent = 0;
    FState = wsClosed;
    FAllSent = true;
    FPaused = false;
    FReadCount = 0;
    FCloseInvoked = false;
    FlushTimeout = 60;
}

// --- property setters ------------------------------------------------------

// Stores a trimmed remote address, port or protocol text (`what` names it);
// a new text must be resolved again before it is used. Changing it needs a
// closed socket.
void TCustomWSocket::AssignEndpointText(const char* what, const std::string& Value, std::string& text,
                                        bool& assigned, bool& resolved) {
    std::string v = Trim(Value);
    if (assigned && v == text) return;
    if (FState != wsClosed) {
        RaiseError(std::string("Cannot change ") + what + " if not closed");
        return;
    }
    text = v;
    assigned = !v.empty();
    if (assigned) resolved = false;
}

void TCustomWSocket::SetAddr(const std::string& Value) {
    AssignEndpointText("Addr", Value, FAddrStr, FAddrAssigned, FAddrResolved);
}

void TCustomWSocket::SetPort(const std::string& Value) {
    AssignEndpointText("Port", Value, FPortStr, FPortAssigned, FPortResolved);
}

void TCustomWSocket::SetProto(const std::string& Value) {
    AssignEndpointText("Proto", Value, FProtoStr, FProtoAssigned, FProtoResolved);
}

void TCustomWSocket::SetLocalAddr(const std::string& Value) {
    if (FState != wsClosed) {
        RaiseError("Cannot change LocalAddr if not closed");
        return;
    }
    std::string v = Trim(Value);
    FLocalAddr = v.empty() ? "0.0.0.0" : v;
}

void TCustomWSocket::SetLocalPort(const std::string& Value) {
    if (FState != wsClosed) {
        RaiseError("Cannot change LocalPort if not closed");
        return;
    }
    FLocalPortStr = Value;
    FLocalPortResolved = false;
}

TSocketSendFlags TCustomWSocket::SendFlags() const {
    switch (FSendFlags) {
        case 0: return wsSendNormal;
        case MSG_OOB: return wsSendUrgent;
        default:
            const_cast<TCustomWSocket*>(this)->RaiseError("Invalid internal SendFlags");
            return wsSendNormal;
    }
}

void TCustomWSocket::SetSendFlags(TSocketSendFlags Value) {
    switch (Value) {
        case wsSendNormal: FSendFlags = 0; break;
        case wsSendUrgent: FSendFlags = MSG_OOB; break;
        default: RaiseError("Invalid SendFlags"); break;
    }
}

// --- errors ----------------------------------------------------------------

void TCustomWSocket::RaiseError(const std::string& Msg) {
    if (OnError)
        NotifyError();
    else
        throw ESocketException(Msg);
}

void TCustomWSocket::RaiseErrorFmt(const std::string& Text) { RaiseError(Text); }

void TCustomWSocket::ReportSocketError(const std::string& FunctionName) {
    int ErrCode = WSAGetLastError();
    std::string Line = Format("Error %d in function %s\r\n%s", ErrCode, FunctionName.c_str(),
                              SocketErrorText(ErrCode).c_str());
    if (ErrCode == WSAECONNRESET || ErrCode == WSAENOTCONN) {
        AbandonRace();
        if (FHSocket != INVALID_SOCKET) closesocket(FHSocket);
        FHSocket = INVALID_SOCKET;
        if (FState != wsClosed) NotifySessionClosed(static_cast<WORD>(ErrCode));
        SetState(wsClosed);
    }
    FLastError = ErrCode;
    RaiseError(Line);
}

// --- connecting ------------------------------------------------------------

void TCustomWSocket::Connect() {
    if ((FHSocket != INVALID_SOCKET || !FRacing.empty()) && FState != wsClosed) {
        RaiseError("Connect: Socket already in use");
        return;
    }
    if (!FPortAssigned) {
        RaiseError("Connect: No Port Specified");
        return;
    }
    if (!FAddrAssigned) {
        RaiseError("Connect: No IP Address Specified");
        return;
    }
    if (!FProtoAssigned) {
        RaiseError("Connect: No Protocol Specified");
        return;
    }
    FConnectAttempts.clear();
    FConnectErrorText.clear();
    FCandidates.clear();
    if (!ResolveEndpoint(false)) return;
    if (FCandidates.size() > 1) {
        StartRace();
        return;
    }

    ClearSendQueue();
    FHSocket = socket(FAddrFormat, FType, FProto);
    if (FHSocket == INVALID_SOCKET) {
        ReportSocketError("Connect (socket)");
        return;
    }
    SetState(wsOpened);
    if (FState != wsOpened) {
        WSASetLastError(WSAEINVAL);
        ReportSocketError("Connect (Invalid operation in OnChangeState)");
        return;
    }
    if (!(FType == SOCK_DGRAM ? PrepareDatagram() : PrepareStream())) return;

    FSelectEvent = FD_READ | FD_WRITE | FD_CLOSE | FD_ACCEPT | FD_CONNECT;
    if (WSAAsyncSelect(FHSocket, FWindowHandle, WM_ASYNCSELECT, FSelectEvent) == SOCKET_ERROR) {
        ReportSocketError("WSAAsyncSelect");
        return;
    }

    if (FType == SOCK_DGRAM) {
        SetState(wsConnected);
        NotifySessionConnected(0);
    } else {
        int len = 0;
        const sockaddr* remote = RemoteRecord(len);
        int rc = connect(FHSocket, remote, len);
        if (rc == 0 || WSAGetLastError() == WSAEWOULDBLOCK) {
            SetState(wsConnecting);
        } else {
            FLastError = WSAGetLastError();
            ReportSocketError("Connect");
        }
    }
}

const sockaddr* TCustomWSocket::RemoteRecord(int& Length) {
    if (FAddrFormat == PF_INET6) {
        FSin6.sin6_port = FSin.sin_port;  // the port is resolved into the IPv4 record
        Length = sizeof FSin6;
        return reinterpret_cast<const sockaddr*>(&FSin6);
    }
    Length = sizeof FSin;
    return reinterpret_cast<const sockaddr*>(&FSin);
}

void TCustomWSocket::SetRemote(const TSocketAddress& Address) {
    if (Address.Family() == AF_INET6) {
        const WORD port = FSin.sin_port;
        std::memcpy(&FSin6, &Address.Record, sizeof FSin6);
        FSin6.sin6_port = port;
        FAddrFormat = PF_INET6;
    } else {
        FSin.sin_addr.s_addr = reinterpret_cast<const sockaddr_in*>(&Address.Record)->sin_addr.s_addr;
        FAddrFormat = PF_INET;
    }
}

// --- connecting to a name with several addresses ---------------------------
//
// The attempts race (RFC 8305): the addresses are tried in the order of
// InterleaveAddressFamilies, the next one ConnectAttemptDelay after the start
// of the one before, or at once when that one failed. All of it runs on the
// hidden window (connect notifications and one timer), so nothing waits.
// While the race runs the component is wsConnecting with no socket of its
// own; the winner becomes its socket and the losers are closed. When every
// attempt failed, the last one reports the failure as a single connect would
// (OnSessionConnected with its error, then the close), and ConnectErrorText
// names the last error of each family.

void TCustomWSocket::StartRace() {
    ClearSendQueue();
    SetState(wsOpened);
    if (FState != wsOpened) {
        WSASetLastError(WSAEINVAL);
        ReportSocketError("Connect (Invalid operation in OnChangeState)");
        return;
    }
    FNextCandidate = 0;
    FSelectEvent = FD_READ | FD_WRITE | FD_CLOSE | FD_ACCEPT | FD_CONNECT;
    SetState(wsConnecting);
    StartNextAttempt(csFirst);
}

void TCustomWSocket::StartNextAttempt(TConnectStart Why) {
    KillTimer(FWindowHandle, kConnectAttemptTimer);
    while (FNextCandidate < FCandidates.size() && FState == wsConnecting) {
        const size_t index = FNextCandidate++;
        TSocketAddress target = FCandidates[index];
        target.SetPort(FSin.sin_port);
        FConnectAttempts.push_back({target.Text(), target.Family(), Why, 0, false});
        const size_t attempt = FConnectAttempts.size() - 1;
        SOCKET s = socket(target.Family(), SOCK_STREAM, FProto);
        int error = s == INVALID_SOCKET ? WSAGetLastError() : 0;
        if (s != INVALID_SOCKET) {
            // The options go through the component's own helpers, which work
            // on FHSocket (and bind by FAddrFormat's family).
            const int format = FAddrFormat;
            FHSocket = s;
            FAddrFormat = target.Family();
            bool prepared = false;
            try {
                prepared = PrepareStream() &&
                           WSAAsyncSelect(s, FWindowHandle, WM_ASYNCSELECT, FSelectEvent) != SOCKET_ERROR;
            } catch (...) {
                FHSocket = INVALID_SOCKET;
                FAddrFormat = format;
                closesocket(s);
                throw;
            }
            FHSocket = INVALID_SOCKET;
            FAddrFormat = format;
            if (prepared && (connect(s, target.Sockaddr(), target.Length) == 0 ||
                             WSAGetLastError() == WSAEWOULDBLOCK)) {
                FRacing.push_back({s, index, attempt});
                if (FNextCandidate < FCandidates.size())
                    SetTimer(FWindowHandle, kConnectAttemptTimer, static_cast<UINT>(ConnectAttemptDelay));
                return;
            }
            error = prepared ? WSAGetLastError() : (FLastError != 0 ? FLastError : WSAGetLastError());
            closesocket(s);
        }
        FConnectAttempts[attempt].Error = error != 0 ? error : WSAEINVAL;
        Why = csAfterFailure;
    }
    // Nothing left to start: when nothing runs either, the failure is
    // reported from the message loop, not from inside Connect.
    if (FRacing.empty() && FState == wsConnecting) PostMessageA(FWindowHandle, WM_TIMER, kConnectAttemptTimer, 0);
}

void TCustomWSocket::RaceTimer() {
    KillTimer(FWindowHandle, kConnectAttemptTimer);
    if (FState != wsConnecting || FHSocket != INVALID_SOCKET || FCandidates.empty()) return;
    if (FNextCandidate < FCandidates.size()) {
        StartNextAttempt(csStagger);
    } else if (FRacing.empty()) {
        int last = WSAECONNREFUSED;
        for (const TConnectAttempt& a : FConnectAttempts)
            if (a.Error != 0) last = a.Error;
        FinishRaceFailed(last);
    }
}

void TCustomWSocket::RaceConnectEvent(SOCKET Socket, WORD Error) {
    auto it = std::find_if(FRacing.begin(), FRacing.end(), [&](const TRaceSocket& r) { return r.Socket == Socket; });
    if (it == FRacing.end()) return;
    const TRaceSocket racer = *it;
    FRacing.erase(it);
    TConnectAttempt& attempt = FConnectAttempts[racer.Attempt];
    if (Error == 0) {
        attempt.Won = true;
        KillTimer(FWindowHandle, kConnectAttemptTimer);
        for (const TRaceSocket& other : FRacing) closesocket(other.Socket);
        FRacing.clear();
        TSocketAddress winner = FCandidates[racer.Candidate];
        winner.SetPort(FSin.sin_port);
        SetRemote(winner);
        FCandidates.clear();
        FHSocket = Socket;  // the notification goes on as the component's own
        return;
    }
    attempt.Error = Error;
    if (FNextCandidate < FCandidates.size()) {
        closesocket(Socket);
        StartNextAttempt(csAfterFailure);
        return;
    }
    if (!FRacing.empty()) {
        closesocket(Socket);
        return;
    }
    // The last attempt failed: it reports the failure as the socket of a
    // single connect would.
    FConnectErrorText = RaceErrorText();
    FCandidates.clear();
    FHSocket = Socket;
}

void TCustomWSocket::FinishRaceFailed(int Error) {
    FConnectErrorText = RaceErrorText();
    FCandidates.clear();
    FLastError = Error;
    SetState(wsConnected);
    NotifySessionConnected(static_cast<WORD>(Error));
    if (FState == wsClosed) return;
    SetState(wsClosed);
    if (!FDestroying && !FCloseInvoked) {
        FCloseInvoked = true;
        NotifySessionClosed(0);
    }
    ResetDefaults();
}

void TCustomWSocket::AbandonRace() {
    if (FRacing.empty() && FCandidates.empty()) return;
    if (FWindowHandle != 0) KillTimer(FWindowHandle, kConnectAttemptTimer);
    for (const TRaceSocket& r : FRacing) closesocket(r.Socket);
    FRacing.clear();
    FCandidates.clear();
}

std::string TCustomWSocket::RaceErrorText() const {
    std::string text;
    for (int family : {AF_INET6, AF_INET}) {
        const TConnectAttempt* last = nullptr;
        for (const TConnectAttempt& a : FConnectAttempts)
            if (a.Family == family && a.Error != 0) last = &a;
        if (!last) continue;
        if (!text.empty()) text += "; ";
        text += Format("%s %s: %s (error #%d)", FamilyName(family).c_str(), last->Address.c_str(),
                       SocketErrorText(last->Error).c_str(), last->Error);
    }
    return text;
}

// Resolves what is not resolved yet of the protocol, the remote port and the
// remote address, and for a connect also the local port. A failure is
// reported as "connect: ..." or "listen: ..."; false then.
bool TCustomWSocket::ResolveEndpoint(bool ForListen) {
    try {
        LoadSocketLibrary();
        if (!FProtoResolved) {
            FProto = WSocketResolveProto(FProtoStr);
            if (ForListen)
                FType = FProto == IPPROTO_UDP ? SOCK_DGRAM : SOCK_STREAM;
            else
                FType = FProto == IPPROTO_TCP ? SOCK_STREAM : FProto == IPPROTO_UDP ? SOCK_DGRAM : SOCK_RAW;
            FProtoResolved = true;
        }
        if (!FPortResolved) {
            FPortNum = WSocketResolvePort(FPortStr, FProtoStr);
            FSin.sin_port = htons(FPortNum);
            FPortResolved = true;
        }
        if (!ForListen && !FLocalPortResolved) {
            FLocalPortNum = WSocketResolvePort(FLocalPortStr, FProtoStr);
            FLocalPortResolved = true;
        }
        if (!FAddrResolved) {
            TSocketAddress literal;
            if (IsDottedAddress(FAddrStr)) {
                FSin.sin_addr.s_addr = WSocketResolveHost(FAddrStr);
                FAddrFormat = PF_INET;
            } else if (ParseAddressLiteral(FAddrStr, literal)) {
                SetRemote(literal);
            } else {
                // A name: the addresses of the last lookup of it, else a
                // lookup now. A local address binds the connection to its
                // family.
                std::vector<TSocketAddress> all = FDnsLookupName == FAddrStr && !FDnsAddrs.empty()
                                                      ? FDnsAddrs
                                                      : WSocketResolveHostAll(FAddrStr);
                TSocketAddress local;
                if (FLocalAddr != "0.0.0.0" && ParseAddressLiteral(FLocalAddr, local)) {
                    std::vector<TSocketAddress> same;
                    for (const TSocketAddress& a : all)
                        if (a.Family() == local.Family()) same.push_back(a);
                    if (same.empty())
                        throw ESocketException("WSocketResolveHost: '" + FAddrStr + "' has no " +
                                               FamilyName(local.Family()) + " address for LocalAddr " + FLocalAddr);
                    all = same;
                }
                all = InterleaveAddressFamilies(all);
                if (all.size() == 1 || ForListen || FType != SOCK_STREAM)
                    SetRemote(all.front());
                else
                    FCandidates = all;
            }
            FAddrResolved = true;
        }
    } catch (const ESocketException& E) {
        RaiseError((ForListen ? "listen: " : "connect: ") + E.Message());
        return false;
    }
    return true;
}

bool TCustomWSocket::SetOption(int Level, int Name, const void* Value, int Size, const char* What) {
    if (setsockopt(FHSocket, Level, Name, static_cast<const char*>(Value), Size) != SOCKET_ERROR) return true;
    ReportSocketError(std::string("setsockopt(") + What + ")");
    return false;
}

bool TCustomWSocket::SetOption(int Level, int Name, int Value, const char* What) {
    return SetOption(Level, Name, &Value, sizeof Value, What);
}

// The options of a datagram socket before its first use: bound to the
// local address, the multicast time-to-live and interface, broadcast.
bool TCustomWSocket::PrepareDatagram() {
    if (!BindLocalChecked()) return false;
    if (MultiCast) {
        if (MultiCastIpTTL != 1 && !SetOption(IPPROTO_IP, IP_MULTICAST_TTL, MultiCastIpTTL, "IP_MULTICAST_TTL"))
            return false;
        if (FLocalAddr != "0.0.0.0") {
            in_addr iface{WSocketResolveHost(FLocalAddr)};
            if (!SetOption(IPPROTO_IP, IP_MULTICAST_IF, &iface, sizeof iface, "IP_MULTICAST_IF")) return false;
        }
    }
    if (FAddrFormat == PF_INET && FSin.sin_addr.s_addr == INADDR_NONE && !SetOption(SOL_SOCKET, SO_BROADCAST, 1, "SO_BROADCAST")) return false;
    return true;
}

// The options of a stream socket before it connects; bound only when a local
// port or address was asked for.
bool TCustomWSocket::PrepareStream() {
    const int on = -1;
    if (!SetOption(SOL_SOCKET, SO_REUSEADDR, on, "SO_REUSEADDR")) return false;
    if ((ComponentOptions & wsoTcpNoDelay) && !SetOption(IPPROTO_TCP, TCP_NODELAY, on, "IPPROTO_TCP, TCP_NODELAY"))
        return false;
    ApplyLinger();
    if (!SetOption(SOL_SOCKET, SO_KEEPALIVE, on, "SO_KEEPALIVE")) return false;
    if (KeepAliveIdle > 0 && !SetOption(IPPROTO_TCP, TCP_KEEPIDLE, KeepAliveIdle, "IPPROTO_TCP, TCP_KEEPIDLE"))
        return false;
    if (KeepAliveInterval > 0 &&
        !SetOption(IPPROTO_TCP, TCP_KEEPINTVL, KeepAliveInterval, "IPPROTO_TCP, TCP_KEEPINTVL"))
        return false;
    if (KeepAliveProbes > 0 && !SetOption(IPPROTO_TCP, TCP_KEEPCNT, KeepAliveProbes, "IPPROTO_TCP, TCP_KEEPCNT"))
        return false;
    if (FLocalPortNum != 0 || FLocalAddr != "0.0.0.0") return BindLocalChecked();
    return true;
}

void TCustomWSocket::BindLocal() { BindLocalChecked(); }

bool TCustomWSocket::BindLocalChecked() {
    TSocketAddress local;
    if (FAddrFormat == PF_INET6) {
        // The unspecified address of either family means any IPv6 address here.
        if (FLocalAddr == "0.0.0.0" || !ParseAddressLiteral(FLocalAddr, local)) {
            local = TSocketAddress{};
            local.Record.ss_family = static_cast<std::int16_t>(AF_INET6);
            local.Length = sizeof(sockaddr_in6);
        }
    } else {
        auto* in = reinterpret_cast<sockaddr_in*>(&local.Record);
        in->sin_family = static_cast<std::int16_t>(AF_INET);
        in->sin_addr.s_addr = IsIPv6Literal(FLocalAddr) ? INADDR_NONE : WSocketResolveHost(FLocalAddr);
        local.Length = sizeof(sockaddr_in);
        if (in->sin_addr.s_addr == INADDR_NONE && FLocalAddr != "255.255.255.255") {
            // An IPv6 local address for an IPv4 connection.
            FLastError = WSAEAFNOSUPPORT;
            RaiseErrorFmt(Format("winsock.bind failed, error #%d", FLastError));
            return false;
        }
    }
    local.SetPort(htons(FLocalPortNum));
    if (bind(FHSocket, local.Sockaddr(), local.Length) == SOCKET_ERROR) {
        FLastError = WSAGetLastError();
        RaiseErrorFmt(Format("winsock.bind failed, error #%d", FLastError));
        return false;
    }
    int len = sizeof local.Record;
    if (getsockname(FHSocket, reinterpret_cast<sockaddr*>(&local.Record), &len) == SOCKET_ERROR) {
        FLastError = WSAGetLastError();
        RaiseErrorFmt(Format("winsock.getsockname failed, error #%d", FLastError));
        return false;
    }
    // The port sits at the same place in the records of both families.
    FLocalPortNum = ntohs(reinterpret_cast<const sockaddr_in*>(&local.Record)->sin_port);
    FLocalPortStr = Format("%d", FLocalPortNum);
    return true;
}

void TCustomWSocket::ApplyLinger() {
    if (FLingerOnOff == wsLingerNoSet) return;
    if (FHSocket == INVALID_SOCKET) {
        RaiseError("Cannot set linger option at this time");
        return;
    }
    // wsLingerOff: the close resets the connection (what Abort asks for).
    // wsLingerOn: an orderly close, which waits up to LingerTimeout seconds
    // for unsent data when the time-out is positive and else finishes in the
    // background without dropping data.
    linger li{};
    if (FLingerOnOff == wsLingerOff) {
        li.l_onoff = 1;
        li.l_linger = 0;
    } else {
        li.l_onoff = FLingerTimeout > 0 ? 1 : 0;
        li.l_linger = static_cast<u_short>(FLingerTimeout);
    }
    SetOption(SOL_SOCKET, SO_LINGER, &li, sizeof li, "SO_LINGER");
}

// --- closing ---------------------------------------------------------------

void TCustomWSocket::Close() { DoClose(true, 0); }

void TCustomWSocket::CloseLater() { PostMessageA(FWindowHandle, WM_CLOSE_DELAYED, 0, 0); }

void TCustomWSocket::FreeLater() { PostMessageA(FWindowHandle, WM_WSOCKET_RELEASE, 0, 0); }

void TCustomWSocket::DoClose(bool bShut, WORD Error) {
    AbandonRace();
    if (FHSocket != INVALID_SOCKET) {
        if (FState == wsClosed) return;
        if (bShut) shutdown(FHSocket, SD_SEND);
        for (;;) {
            if (closesocket(FHSocket) != SOCKET_ERROR) break;
            FLastError = WSAGetLastError();
            if (FLastError == WSAEWOULDBLOCK) {
                YieldToMessages();
                continue;
            }
            if (FLastError == WSANOTINITIALISED) break;
            FHSocket = INVALID_SOCKET;
            ReportSocketError("Disconnect (closesocket)");
            return;
        }
        FHSocket = INVALID_SOCKET;
        SetState(wsClosed);
        if (!FDestroying && !FCloseInvoked) {
            FCloseInvoked = true;
            NotifySessionClosed(Error);
        }
        try {
            ResetDefaults();
        } catch (const std::exception&) {
        }
    } else if (FState != wsClosed) {
        SetState(wsClosed);
        ResetDefaults();
    }
}

void TCustomWSocket::Abort() {
    CancelLookup();
    ClearSendQueue();
    if (FState == wsConnected && FProto == IPPROTO_TCP) {
        FLingerOnOff = wsLingerOff;
        ApplyLinger();
    }
    DoClose(false, 0);
}

void TCustomWSocket::Shutdown(int How) {
    if (FHSocket != INVALID_SOCKET) shutdown(FHSocket, How);
}

// --- pausing ---------------------------------------------------------------

void TCustomWSocket::Pause() {
    FPaused = true;
    WSAAsyncSelect(FHSocket, FWindowHandle, 0, 0);
}

void TCustomWSocket::Resume() {
    FPaused = false;
    WSAAsyncSelect(FHSocket, FWindowHandle, WM_ASYNCSELECT, FSelectEvent);
}

// --- sending ---------------------------------------------------------------

void TCustomWSocket::QueueSendData(const void* Data, int Len) {
    if (Len <= 0) return;
    const char* p = static_cast<const char*>(Data);
    if (FBufList.empty()) FBufList.push_back(std::make_unique<TBuffer>(FBufSize));
    int stored = FBufList.back()->Write(p, Len);
    while (stored < Len) {
        p += stored;
        Len -= stored;
        FBufList.push_back(std::make_unique<TBuffer>(FBufSize));
        stored = FBufList.back()->Write(p, Len);
    }
}

void TCustomWSocket::ClearSendQueue() { FBufList.clear(); }

void TCustomWSocket::TryToSend() {
    if (FHSocket == INVALID_SOCKET || FBufList.empty()) return;
    // OnSendData may call Send; the outer loop then sends the new bytes, so a
    // nested call must not send the same block a second time.
    if (FInTryToSend) return;
    FInTryToSend = true;
    struct Leave {
        bool& flag;
        ~Leave() { flag = false; }
    } leave{FInTryToSend};
    for (;;) {
        if (FBufList.empty()) return;
        TBuffer* block = FBufList.front().get();
        int len = 0;
        const char* data = block->Peek(len);
        if (len <= 0) {
            if (FBufList.size() == 1) {
                FAllSent = true;
                return;
            }
            FBufList.erase(FBufList.begin());
            continue;
        }
        int n = SendChunk(data, len);
        if (n == 0) return;
        if (n < 0) {
            int err = WSAGetLastError();
            if (err == WSAECONNABORTED || err == WSAECONNRESET || err == WSAENOTCONN || err == WSAENOTSOCK ||
                err == WSAEINVAL) {
                FCloseInvoked = true;
                Close();
                NotifySessionClosed(static_cast<WORD>(err));
                return;
            }
            if (err == WSAEWOULDBLOCK) return;
            ReportSocketError("TryToSend failed");
            return;
        }
        // OnSendData may have emptied the queue (Abort) meanwhile.
        if (FBufList.empty() || FBufList.front().get() != block) return;
        block->Remove(n);
        if (n != len) return;
    }
}

int TCustomWSocket::SendChunk(const void* Data, int Len) {
    int n;
    if (FType == SOCK_DGRAM)
    {
        int len = 0;
        const sockaddr* remote = RemoteRecord(len);
        n = sendto(FHSocket, static_cast<const char*>(Data), Len, FSendFlags, remote, len);
    }
    else
        n = send(FHSocket, static_cast<const char*>(Data), Len, FSendFlags);
    if (n > 0) NotifySendData(n);
    return n;
}

int TCustomWSocket::Send(const void* Data, int Len) {
    if (FState != wsConnected) {
        WSASetLastError(WSAENOTCONN);
        ReportSocketError("Send");
        return -1;
    }
    FAllSent = false;
    if (Len <= 0)
        Len = 0;
    else
        QueueSendData(Data, Len);
    TryToSend();
    if (FAllSent) PostMessageA(FWindowHandle, WM_ASYNCSELECT, static_cast<WPARAM>(FHSocket), FD_WRITE);
    return Len;
}

int TCustomWSocket::SendText(const std::string& Str) {
    if (Str.empty()) return 0;
    return Send(Str.data(), static_cast<int>(Str.size()));
}

void TCustomWSocket::Flush() {
    while (FHSocket != INVALID_SOCKET && !FAllSent) {
        TryToSend();
        if (FAllSent || FHSocket == INVALID_SOCKET) break;
        YieldToMessages();
        if (FTerminated) break;
    }
}

// --- receiving -------------------------------------------------------------

int TCustomWSocket::RecvRaw(void* Buffer, int BufferSize, int Flags) {
    return recv(FHSocket, static_cast<char*>(Buffer), BufferSize, Flags);
}

int TCustomWSocket::Receive(void* Buffer, int BufferSize) {
    int n = RecvRaw(Buffer, BufferSize, 0);
    if (n < 0)
        FLastError = WSAGetLastError();
    else
        FReadCount += n;
    return n;
}

std::string TCustomWSocket::ReceiveText() {
    int n = RcvdCount();
    if (n < 0) return "";
    if (n == 0) n = 255;
    std::string s(static_cast<size_t>(n), '\0');
    int got = Receive(s.data(), n);
    if (got < 1) return "";
    s.resize(static_cast<size_t>(got));
    return s;
}

int TCustomWSocket::RcvdCount() {
    WSock::u_long count = 0;
    if (ioctlsocket(FHSocket, FIONREAD, &count) == SOCKET_ERROR) {
        ReportSocketError("ioctlSocket");
        return -1;
    }
    return static_cast<int>(count);
}

void TCustomWSocket::WaitUntilClosed() {
    while (FHSocket != INVALID_SOCKET && FState != wsClosed) {
        YieldToMessages();
        if (FHSocket == INVALID_SOCKET || FState == wsClosed || FTerminated) break;
        WSock::u_long count = 0;
        if (ioctlsocket(FHSocket, FIONREAD, &count) == SOCKET_ERROR) break;
        if (count > 0) NotifyDataAvailable(0);
        if (FHSocket == INVALID_SOCKET) break;
        char probe;
        if (RecvRaw(&probe, 0, 0) < 1) {
            FLastError = WSAGetLastError();
            if (FLastError != WSAEWOULDBLOCK) break;
        }
        YieldToMessages();
    }
}

// --- name lookups ----------------------------------------------------------

void TCustomWSocket::BeginLookup() {
    if (FDnsLookupHandle != 0) {
        WSACancelAsyncRequest(FDnsLookupHandle);
        FDnsLookupHandle = 0;
    }
    // A list written by a lookup whose reply was already on its way.
    if (FDnsAddrInfo) freeaddrinfo(FDnsAddrInfo);
    FDnsAddrInfo = nullptr;
    FDnsResult.clear();
    FDnsResultList.clear();
    FDnsAddrs.clear();
    FDnsLookupName.clear();
    LoadSocketLibrary();
}

void TCustomWSocket::DnsLookup(const std::string& HostName) {
    if (HostName.empty()) {
        RaiseError("DNS lookup: invalid host name.");
        NotifyDnsLookupDone(WSAEINVAL);
        return;
    }
    BeginLookup();
    TSocketAddress literal;
    if (ParseAddressLiteral(HostName, literal) &&
        (literal.Family() == AF_INET6 || inet_addr(Trim(HostName).c_str()) != INADDR_NONE)) {
        FDnsResult = literal.Text();
        FDnsResultList.push_back(FDnsResult);
        FDnsAddrs.push_back(literal);
        FDnsLookupName = Trim(HostName);
        NotifyDnsLookupDone(0);
        return;
    }
    if (FWindowHandle == 0) {
        RaiseError("DnsLookup: Window not assigned");
        return;
    }
    FDnsLookupTempMsgFlag = false;
    FDnsPendingName = Trim(HostName);
    FDnsLookupHandle = WSAAsyncGetAddrInfo(FWindowHandle, WM_ASYNCGETHOSTBYNAME, HostName.c_str(), &FDnsAddrInfo);
    if (FDnsLookupHandle == 0) {
        RaiseErrorFmt(Format("%s: can't start DNS lookup, error #%d", HostName.c_str(), WSAGetLastError()));
        return;
    }
    if (FDnsLookupTempMsgFlag) {
        FDnsLookupTempMsgFlag = false;
        WMAsyncGetHostByName(FDnsLookupTempMsg);
    }
}

void TCustomWSocket::WMAsyncGetHostByName(TMessage& Msg) {
    if (FDnsLookupHandle == 0) {
        // The reply overtook the return of the call that started the lookup.
        FDnsLookupTempMsg = Msg;
        FDnsLookupTempMsgFlag = true;
        return;
    }
    if (static_cast<HANDLE>(Msg.WParam) != FDnsLookupHandle) return;
    FDnsLookupHandle = 0;
    WORD Error = WSAGETASYNCERROR(Msg.LParam);
    // Every address of both families, in the resolver's order; a connect to
    // this name uses them without looking it up again.
    for (const addrinfo* p = Error == 0 ? FDnsAddrInfo : nullptr; p; p = p->ai_next) {
        if (!p->ai_addr || p->ai_addrlen > sizeof(sockaddr_storage)) continue;
        TSocketAddress a;
        std::memcpy(&a.Record, p->ai_addr, p->ai_addrlen);
        a.Length = static_cast<int>(p->ai_addrlen);
        FDnsAddrs.push_back(a);
        FDnsResultList.push_back(a.Text());
    }
    if (FDnsAddrInfo) freeaddrinfo(FDnsAddrInfo);
    FDnsAddrInfo = nullptr;
    if (!FDnsResultList.empty()) {
        FDnsResult = FDnsResultList.front();
        FDnsLookupName = FDnsPendingName;
    }
    NotifyDnsLookupDone(Error);
}

void TCustomWSocket::ReverseDnsLookup(const std::string& HostAddr) {
    if (HostAddr.empty() || HostAddr.size() > 256) {
        RaiseError("ReverseDnsLookup: Invalid host name.");
        NotifyDnsLookupDone(WSAEINVAL);
        return;
    }
    BeginLookup();
    WSock::u_long addr = inet_addr(Trim(HostAddr).c_str());
    if (FWindowHandle == 0) {
        RaiseError("ReverseDnsLookup: Window not assigned");
        return;
    }
    FDnsLookupTempMsgFlag = false;
    FDnsLookupHandle = WSAAsyncGetHostByAddr(FWindowHandle, WM_ASYNCGETHOSTBYADDR, reinterpret_cast<const char*>(&addr),
                                             4, AF_INET, FDnsLookupBuffer.get(), 1025);
    if (FDnsLookupHandle == 0) {
        RaiseErrorFmt(Format("%s: can't start DNS lookup, error #%d", HostAddr.c_str(), WSAGetLastError()));
        return;
    }
}

void TCustomWSocket::WMAsyncGetHostByAddr(TMessage& Msg) {
    if (FDnsLookupHandle == 0 || static_cast<HANDLE>(Msg.WParam) != FDnsLookupHandle) return;
    FDnsLookupHandle = 0;
    WORD Error = WSAGETASYNCERROR(Msg.LParam);
    if (Error == 0) {
        const auto* he = reinterpret_cast<const hostent*>(FDnsLookupBuffer.get());
        FDnsResult = he->h_name ? he->h_name : "";
        FDnsResultList.push_back(FDnsResult);
    }
    NotifyDnsLookupDone(Error);
}

void TCustomWSocket::CancelLookup() {
    if (FDnsLookupHandle == 0) return;
    if (WSACancelAsyncRequest(FDnsLookupHandle) == SOCKET_ERROR && WSAGetLastError() != WSAEALREADY) {
        FDnsLookupHandle = 0;
        ReportSocketError("WSACancelAsyncRequest");
        return;
    }
    // Also when the reply was already on its way (WSAEALREADY): with the
    // handle cleared it is ignored when it arrives, so the lookup ends here.
    FDnsLookupHandle = 0;
    if (FDnsAddrInfo) freeaddrinfo(FDnsAddrInfo);
    FDnsAddrInfo = nullptr;
    if (!FDestroying) NotifyDnsLookupDone(WSAEINTR);
}

// --- addresses -------------------------------------------------------------

int TCustomWSocket::GetPeerName(sockaddr_in& Name, int NameLen) {
    if (FState != wsConnected) return -1;
    int len = NameLen;
    return getpeername(FHSocket, reinterpret_cast<sockaddr*>(&Name), &len);
}

int TCustomWSocket::GetLocalName(sockaddr_in& Name, int NameLen) {
    int len = NameLen;
    return getsockname(FHSocket, reinterpret_cast<sockaddr*>(&Name), &len);
}

std::string TCustomWSocket::PeerAddr() {
    if (FState != wsConnected) return "error";
    TSocketAddress peer;
    int len = sizeof peer.Record;
    if (getpeername(FHSocket, reinterpret_cast<sockaddr*>(&peer.Record), &len) == SOCKET_ERROR) {
        ReportSocketError("GetPeerName");
        return "error";
    }
    return peer.Text();
}

std::string TCustomWSocket::PeerPort() {
    if (FState != wsConnected) return "error";
    TSocketAddress peer;
    int len = sizeof peer.Record;
    if (getpeername(FHSocket, reinterpret_cast<sockaddr*>(&peer.Record), &len) == SOCKET_ERROR) {
        ReportSocketError("GetPeerPort");
        return "error";
    }
    // The port sits at the same place in the records of both families.
    return Format("%d", ntohs(reinterpret_cast<const sockaddr_in*>(&peer.Record)->sin_port));
}

bool TCustomWSocket::LocalName(sockaddr_in& local) {
    TSocketAddress any;
    if (!LocalAddress(any)) return false;
    std::memcpy(&local, &any.Record, sizeof local);
    return true;
}

bool TCustomWSocket::LocalAddress(TSocketAddress& local) {
    if (FState != wsBound && FState != wsConnected && FState != wsListening) return false;
    int len = sizeof local.Record;
    return getsockname(FHSocket, reinterpret_cast<sockaddr*>(&local.Record), &len) != SOCKET_ERROR;
}

std::string TCustomWSocket::LocalPortText() {
    sockaddr_in local{};
    return LocalName(local) ? Format("%d", ntohs(local.sin_port)) : "error";
}

std::string TCustomWSocket::LocalAddrText() {
    TSocketAddress local;
    return LocalAddress(local) ? local.Text() : "error";
}

bool TCustomWSocket::TimeIsSet(const WSock::timeval& tvp) { return tvp.tv_sec != 0 || tvp.tv_usec != 0; }

void TCustomWSocket::TimeClear(WSock::timeval& tvp) {
    tvp.tv_sec = 0;
    tvp.tv_usec = 0;
}

bool TCustomWSocket::TimeCompare(const WSock::timeval& tvp, const WSock::timeval& uvp, bool Equal) {
    bool same = tvp.tv_sec == uvp.tv_sec && tvp.tv_usec == uvp.tv_usec;
    return Equal ? same : !same;
}

// --- messages --------------------------------------------------------------

bool TCustomWSocket::PumpOneMessage() {
    if (Application && Application->Terminated) {
        FTerminated = true;
        return false;
    }
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    if (Application && Application->Terminated) FTerminated = true;
    return false;
}

void TCustomWSocket::PumpThreadMessages() {
    while (PumpOneMessage()) {
    }
}

void TCustomWSocket::YieldToMessages() {
    // Used by the component's wait loops: block until the next message (or a
    // short deadline), handle what is pending, and let the caller re-check.
    if (Application) {
        Application->WaitMessage(kYieldWaitMs);
        if (Application->Terminated) FTerminated = true;
    } else {
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, kYieldWaitMs);
    }
}

// --- events ----------------------------------------------------------------

bool TCustomWSocket::NotifyDataAvailable(WORD Error) {
    if (!OnDataAvailable) return false;
    OnDataAvailable(this, Error);
    return true;
}

void TCustomWSocket::NotifySessionAvailable(WORD Error) {
    if (OnSessionAvailable) OnSessionAvailable(this, Error);
}

void TCustomWSocket::NotifySessionConnected(WORD Error) {
    if (OnSessionConnected) OnSessionConnected(this, Error);
}

void TCustomWSocket::NotifySessionClosed(WORD Error) {
    if (OnSessionClosed) OnSessionClosed(this, Error);
}

void TCustomWSocket::NotifyDataSent(WORD Error) {
    if (OnDataSent) OnDataSent(this, Error);
}

void TCustomWSocket::NotifyChangeState(TSocketState OldState, TSocketState NewState) {
    if (OnChangeState) OnChangeState(this, OldState, NewState);
}

void TCustomWSocket::NotifyDnsLookupDone(WORD Error) {
    if (OnDnsLookupDone) OnDnsLookupDone(this, Error);
}

void TCustomWSocket::NotifyError() {
    if (OnError) OnError(this);
}

void TCustomWSocket::NotifySendData(int BytesSent) {
    if (OnSendData) OnSendData(this, BytesSent);
}
