#include "net/WSocket.h"

#include "framework/Application.h"
#include "platform/Window.h"

#include <QCoreApplication>

#include <algorithm>
#include <cctype>
#include <cstring>

using namespace WSock;

namespace {

std::atomic<int> g_WSocketGCount{0};
bool g_SocketLibraryStarted = false;
WSADATA g_WSAData{};

const char* const kSocketLibraryName = "wsock32.dll";

// Longest single wait of the component's wait loops; they re-check their
// condition at least this often even when no message arrives.
constexpr int kYieldWaitMs = 1000;

std::string Trim(const std::string& s) {
    size_t b = 0;
    size_t e = s.size();
    while (b < e && static_cast<unsigned char>(s[b]) <= ' ') ++b;
    while (e > b && static_cast<unsigned char>(s[e - 1]) <= ' ') --e;
    return s.substr(b, e - b);
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

std::string DottedText(WSock::u_long addr) {
    in_addr a{addr};
    const char* t = inet_ntoa(a);
    return t ? t : "";
}

}  // namespace

// ---------------------------------------------------------------------------
// Socket library, resolution and error texts

void LoadSocketLibrary() {
    if (g_SocketLibraryStarted) return;
    int rc = WSAStartup(0x0101, &g_WSAData);
    if (rc != 0) throw ESocketException(Format("%s: WSAStartup error #%d", kSocketLibraryName, rc));
    g_SocketLibraryStarted = true;
}

void UnloadSocketLibrary() {
    if (g_SocketLibraryStarted) {
        WSACleanup();
        g_SocketLibraryStarted = false;
    }
    g_WSocketGCount = 0;
}

bool SocketLibraryLoaded() { return g_SocketLibraryStarted; }

int WSocketGCount() { return g_WSocketGCount; }

int ParseLeadingNumber(const std::string& Text) {
    size_t i = 0;
    while (i < Text.size() && Text[i] == ' ') ++i;
    long long value = 0;
    while (i < Text.size() && IsDigit(Text[i])) {
        value = value * 10 + (Text[i] - '0');
        if (value > 0x7fffffff) value = 0x7fffffff;  // saturate instead of overflowing
        ++i;
    }
    return static_cast<int>(value);
}

bool IsDottedAddress(const std::string& Text) {
    size_t i = 0;
    const size_t n = Text.size();
    while (i < n && Text[i] == ' ') ++i;
    if (i < n && Text[i] == '.') return false;
    int dots = 0;
    int part = 0;
    while (i < n) {
        char c = Text[i];
        if (IsDigit(c)) {
            part = part * 10 + (c - '0');
            if (part > 1000) part = 1000;  // already too big for a part
            ++i;
        } else if (c == '.') {
            ++dots;
            if (dots > 3 || part > 255 || i == n - 1 || !IsDigit(Text[i + 1])) return false;
            part = 0;
            ++i;
        } else if (c == ' ') {
            while (i < n && Text[i] == ' ') ++i;
            if (i < n) return false;
        } else {
            return false;
        }
    }
    return dots == 3 && part <= 255;
}

WSock::u_long WSocketResolveHost(const std::string& InAddr) {
    if (InAddr.empty() || InAddr.size() > 256)
        throw ESocketException("WSocketResolveHost: '" + InAddr + "' Invalid Hostname.");
    LoadSocketLibrary();
    std::string host = Trim(InAddr);
    if (IsDottedAddress(InAddr)) {
        WSock::u_long addr = inet_addr(host.c_str());
        if (addr == INADDR_NONE && host != "255.255.255.255")
            throw ESocketException("WSocketResolveHost: '" + InAddr + "' Invalid IP address.");
        return addr;
    }
    hostent* he = gethostbyname(host.c_str());
    if (!he || !he->h_addr_list || !he->h_addr_list[0])
        throw ESocketException(Format("WSocketResolveHost: Cannot convert host address '%s', Error #%d",
                                      InAddr.c_str(), WSAGetLastError()));
    WSock::u_long addr;
    std::memcpy(&addr, he->h_addr_list[0], 4);
    return addr;
}

WORD WSocketResolvePort(const std::string& Port, const std::string& Proto) {
    if (Port.empty() || Port.size() >= 32) throw ESocketException("WSocketResolvePort: Invalid Port.");
    if (Proto.empty() || Proto.size() >= 32) throw ESocketException("WSocketResolvePort: Invalid Proto.");
    if (IsDigit(Port[0])) return static_cast<WORD>(ParseLeadingNumber(Port) & 0xffff);
    LoadSocketLibrary();
    std::string port = Trim(Port);
    std::string proto = Trim(Proto);
    servent* se = getservbyname(port.c_str(), proto.empty() ? nullptr : proto.c_str());
    if (!se)
        throw ESocketException(
            Format("WSocketResolvePort: Cannot convert port '%s', Error #%d", Port.c_str(), WSAGetLastError()));
    return ntohs(static_cast<u_short>(se->s_port));
}

int WSocketResolveProto(const std::string& Proto) {
    if (Proto.empty() || Proto.size() >= 32) throw ESocketException("WSocketResolveProto: Invalid Protocol.");
    std::string proto = Trim(Proto);
    if (!proto.empty() && IsDigit(proto[0])) return ParseLeadingNumber(proto);
    LoadSocketLibrary();
    protoent* pe = getprotobyname(proto.c_str());
    if (!pe)
        throw ESocketException(Format("WSocketResolveProto: Cannot convert protocol '%s', Error #%d", proto.c_str(),
                                      WSAGetLastError()));
    return pe->p_proto;
}

std::string SocketErrorText(int ErrCode) {
    switch (ErrCode) {
        case 0: return "No Error";
        case 10004: return "Interrupted system call";
        case 10009: return "Bad file number";
        case 10013: return "Permission denied";
        case 10014: return "Bad address";
        case 10022: return "Invalid argument";
        case 10024: return "Too many open files";
        case 10035: return "Operation would block";
        case 10036: return "Operation now in progress";
        case 10037: return "Operation already in progress";
        case 10038: return "Socket operation on non-socket";
        case 10039: return "Destination address required";
        case 10040: return "Message too long";
        case 10041: return "Protocol wrong type for socket";
        case 10042: return "Protocol not available";
        case 10043: return "Protocol not supported";
        case 10044: return "Socket type not supported";
        case 10045: return "Operation not supported on socket";
        case 10046: return "Protocol family not supported";
        case 10047: return "Address family not supported by protocol family";
        case 10048: return "Address already in use";
        case 10049: return "Address not available";
        case 10050: return "Network is down";
        case 10051: return "Network is unreachable";
        case 10052: return "Network dropped connection on reset";
        case 10053: return "Connection aborted";
        case 10054: return "Connection reset by peer";
        case 10055: return "No buffer space available";
        case 10056: return "Socket is already connected";
        case 10057: return "Socket is not connected";
        case 10058: return "Can't send after socket shutdown";
        case 10059: return "Too many references: can't splice";
        case 10060: return "Connection timed out";
        case 10061: return "Connection refused";
        case 10062: return "Too many levels of symbolic links";
        case 10063: return "File name too long";
        case 10064: return "Host is down";
        case 10065: return "No route to host";
        case 10066: return "Directory not empty";
        case 10067: return "Too many processes";
        case 10068: return "Too many users";
        case 10069: return "Disc quota exceeded";
        case 10070: return "Stale NFS file handle";
        case 10071: return "Too many levels of remote in path";
        case 10091: return "Network sub-system is unusable";
        case 10092: return "WinSock DLL cannot support this application";
        case 10093: return "WinSock not initialized";
        case 11001: return "Host not found";
        case 11002: return "Non-authoritative host not found";
        case 11003: return "Non-recoverable error";
        case 11004: return "No Data";
        default: return "Not a WinSock error";
    }
}

// ---------------------------------------------------------------------------
// TCustomWSocket

TCustomWSocket::TCustomWSocket(TComponent* AOwner) : TComponent(AOwner) {
    AllocateWindow();
    FDnsLookupBuffer = std::make_unique<char[]>(1025);
    MultiCastIpTTL = 1;
    TCustomWSocket::ResetDefaults();
    ++g_WSocketGCount;
}

TCustomWSocket::~TCustomWSocket() {
    FDestroying = true;
    try {
        CancelLookup();
    } catch (const std::exception&) {
    }
    try {
        if (FState != wsClosed) TCustomWSocket::Close();
    } catch (const std::exception&) {
    }
    if (--g_WSocketGCount < 1) {
        UnloadSocketLibrary();
        g_WSocketGCount = 0;
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
    if (static_cast<SOCKET>(Msg.WParam) != FHSocket || bPaused) return;
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
        if (bAllSent) NotifyDataSent(E);
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
    std::memset(&sin, 0, sizeof sin);
    sin.sin_family = static_cast<std::int16_t>(AF_INET);
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
    bAllSent = true;
    bPaused = false;
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
    if (FHSocket != INVALID_SOCKET && FState != wsClosed) {
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
    try {
        LoadSocketLibrary();
        if (!FProtoResolved) {
            FProto = WSocketResolveProto(FProtoStr);
            FType = FProto == IPPROTO_TCP ? SOCK_STREAM : FProto == IPPROTO_UDP ? SOCK_DGRAM : SOCK_RAW;
            FProtoResolved = true;
        }
        if (!FPortResolved) {
            FPortNum = WSocketResolvePort(FPortStr, FProtoStr);
            sin.sin_port = htons(FPortNum);
            FPortResolved = true;
        }
        if (!FLocalPortResolved) {
            FLocalPortNum = WSocketResolvePort(FLocalPortStr, FProtoStr);
            FLocalPortResolved = true;
        }
        if (!FAddrResolved) {
            sin.sin_addr.s_addr = WSocketResolveHost(FAddrStr);
            FAddrResolved = true;
        }
    } catch (const ESocketException& E) {
        RaiseError("connect: " + E.Message());
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

    if (FType == SOCK_DGRAM) {
        if (!BindLocalChecked()) return;
        if (MultiCast) {
            if (MultiCastIpTTL != 1) {
                int ttl = MultiCastIpTTL;
                if (setsockopt(FHSocket, IPPROTO_IP, IP_MULTICAST_TTL, reinterpret_cast<const char*>(&ttl),
                               sizeof ttl) == SOCKET_ERROR) {
                    ReportSocketError("setsockopt(IP_MULTICAST_TTL)");
                    return;
                }
            }
            if (FLocalAddr != "0.0.0.0") {
                in_addr iface{WSocketResolveHost(FLocalAddr)};
                if (setsockopt(FHSocket, IPPROTO_IP, IP_MULTICAST_IF, reinterpret_cast<const char*>(&iface),
                               sizeof iface) == SOCKET_ERROR) {
                    ReportSocketError("setsockopt(IP_MULTICAST_IF)");
                    return;
                }
            }
        }
        if (sin.sin_addr.s_addr == INADDR_NONE) {
            int on = 1;
            if (setsockopt(FHSocket, SOL_SOCKET, SO_BROADCAST, reinterpret_cast<const char*>(&on), sizeof on) ==
                SOCKET_ERROR) {
                ReportSocketError("setsockopt(SO_BROADCAST)");
                return;
            }
        }
    } else {
        int on = -1;
        if (setsockopt(FHSocket, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&on), sizeof on) ==
            SOCKET_ERROR) {
            ReportSocketError("setsockopt(SO_REUSEADDR)");
            return;
        }
        if (ComponentOptions & wsoTcpNoDelay) {
            if (setsockopt(FHSocket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on) ==
                SOCKET_ERROR) {
                ReportSocketError("setsockopt(IPPROTO_TCP, TCP_NODELAY)");
                return;
            }
        }
        ApplyLinger();
        if (setsockopt(FHSocket, SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<const char*>(&on), sizeof on) ==
            SOCKET_ERROR) {
            ReportSocketError("setsockopt(SO_KEEPALIVE)");
            return;
        }
        if (FLocalPortNum != 0 || FLocalAddr != "0.0.0.0") {
            if (!BindLocalChecked()) return;
        }
    }

    FSelectEvent = FD_READ | FD_WRITE | FD_CLOSE | FD_ACCEPT | FD_CONNECT;
    if (WSAAsyncSelect(FHSocket, FWindowHandle, WM_ASYNCSELECT, FSelectEvent) == SOCKET_ERROR) {
        ReportSocketError("WSAAsyncSelect");
        return;
    }

    if (FType == SOCK_DGRAM) {
        SetState(wsConnected);
        NotifySessionConnected(0);
    } else {
        int rc = connect(FHSocket, reinterpret_cast<const sockaddr*>(&sin), sizeof sin);
        if (rc == 0 || WSAGetLastError() == WSAEWOULDBLOCK) {
            SetState(wsConnecting);
        } else {
            FLastError = WSAGetLastError();
            ReportSocketError("Connect");
        }
    }
}

void TCustomWSocket::BindLocal() { BindLocalChecked(); }

bool TCustomWSocket::BindLocalChecked() {
    sockaddr_in local{};
    local.sin_family = static_cast<std::int16_t>(AF_INET);
    local.sin_port = htons(FLocalPortNum);
    local.sin_addr.s_addr = WSocketResolveHost(FLocalAddr);
    if (bind(FHSocket, reinterpret_cast<const sockaddr*>(&local), sizeof local) == SOCKET_ERROR) {
        FLastError = WSAGetLastError();
        RaiseErrorFmt(Format("winsock.bind failed, error #%d", FLastError));
        return false;
    }
    int len = sizeof local;
    if (getsockname(FHSocket, reinterpret_cast<sockaddr*>(&local), &len) == SOCKET_ERROR) {
        FLastError = WSAGetLastError();
        RaiseErrorFmt(Format("winsock.getsockname failed, error #%d", FLastError));
        return false;
    }
    FLocalPortNum = ntohs(local.sin_port);
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
    if (setsockopt(FHSocket, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&li), sizeof li) == SOCKET_ERROR)
        ReportSocketError("setsockopt(SO_LINGER)");
}

// --- closing ---------------------------------------------------------------

void TCustomWSocket::Close() { DoClose(true, 0); }

void TCustomWSocket::CloseLater() { PostMessageA(FWindowHandle, WM_CLOSE_DELAYED, 0, 0); }

void TCustomWSocket::FreeLater() { PostMessageA(FWindowHandle, WM_WSOCKET_RELEASE, 0, 0); }

void TCustomWSocket::DoClose(bool bShut, WORD Error) {
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
                bAllSent = true;
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
        n = sendto(FHSocket, static_cast<const char*>(Data), Len, FSendFlags, reinterpret_cast<const sockaddr*>(&sin),
                   sizeof sin);
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
    bAllSent = false;
    if (Len <= 0)
        Len = 0;
    else
        QueueSendData(Data, Len);
    TryToSend();
    if (bAllSent) PostMessageA(FWindowHandle, WM_ASYNCSELECT, static_cast<WPARAM>(FHSocket), FD_WRITE);
    return Len;
}

int TCustomWSocket::SendText(const std::string& Str) {
    if (Str.empty()) return 0;
    return Send(Str.data(), static_cast<int>(Str.size()));
}

int TCustomWSocket::SendTo(const sockaddr_in& Dest, int DestLen, const void* Data, int Len) {
    int n = sendto(FHSocket, static_cast<const char*>(Data), Len, FSendFlags, reinterpret_cast<const sockaddr*>(&Dest),
                   DestLen);
    if (n > 0) NotifySendData(n);
    return n;
}

void TCustomWSocket::Flush() {
    while (FHSocket != INVALID_SOCKET && !bAllSent) {
        TryToSend();
        if (bAllSent || FHSocket == INVALID_SOCKET) break;
        YieldToMessages();
        if (FTerminated) break;
    }
}

// --- receiving -------------------------------------------------------------

int TCustomWSocket::RecvRaw(void* Buffer, int BufferSize, int Flags) {
    return recv(FHSocket, static_cast<char*>(Buffer), BufferSize, Flags);
}

int TCustomWSocket::RecvFromRaw(void* Buffer, int BufferSize, sockaddr_in& From, int& FromLen) {
    return recvfrom(FHSocket, static_cast<char*>(Buffer), BufferSize, 0, reinterpret_cast<sockaddr*>(&From),
                    &FromLen);
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

int TCustomWSocket::ReceiveFrom(void* Buffer, int BufferSize, sockaddr_in& From, int& FromLen) {
    int n = RecvFromRaw(Buffer, BufferSize, From, FromLen);
    if (n < 0)
        FLastError = WSAGetLastError();
    else
        FReadCount += n;
    return n;
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

void TCustomWSocket::DnsLookup(const std::string& HostName) {
    if (HostName.empty()) {
        RaiseError("DNS lookup: invalid host name.");
        NotifyDnsLookupDone(WSAEINVAL);
        return;
    }
    if (FDnsLookupHandle != 0) {
        WSACancelAsyncRequest(FDnsLookupHandle);
        FDnsLookupHandle = 0;
    }
    FDnsResult.clear();
    FDnsResultList.clear();
    LoadSocketLibrary();
    if (IsDottedAddress(HostName)) {
        WSock::u_long addr = inet_addr(Trim(HostName).c_str());
        if (addr != INADDR_NONE) {
            FDnsResult = DottedText(addr);
            FDnsResultList.push_back(FDnsResult);
            NotifyDnsLookupDone(0);
            return;
        }
    }
    if (FWindowHandle == 0) {
        RaiseError("DnsLookup: Window not assigned");
        return;
    }
    FDnsLookupTempMsgFlag = false;
    FDnsLookupHandle = WSAAsyncGetHostByName(FWindowHandle, WM_ASYNCGETHOSTBYNAME, HostName.c_str(),
                                             FDnsLookupBuffer.get(), 1025);
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
    if (Error == 0) {
        const auto* he = reinterpret_cast<const hostent*>(FDnsLookupBuffer.get());
        for (char** p = he->h_addr_list; p && *p; ++p) {
            WSock::u_long addr;
            std::memcpy(&addr, *p, 4);
            FDnsResultList.push_back(DottedText(addr));
        }
        if (!FDnsResultList.empty()) FDnsResult = FDnsResultList.front();
    }
    NotifyDnsLookupDone(Error);
}

void TCustomWSocket::ReverseDnsLookup(const std::string& HostAddr) {
    if (HostAddr.empty() || HostAddr.size() > 256) {
        RaiseError("ReverseDnsLookup: Invalid host name.");
        NotifyDnsLookupDone(WSAEINVAL);
        return;
    }
    if (FDnsLookupHandle != 0) {
        WSACancelAsyncRequest(FDnsLookupHandle);
        FDnsLookupHandle = 0;
    }
    FDnsResult.clear();
    FDnsResultList.clear();
    LoadSocketLibrary();
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
    if (!FDestroying) NotifyDnsLookupDone(WSAEINTR);
}

// --- server side -----------------------------------------------------------

void TCustomWSocket::Listen() {
    if (!FPortAssigned) {
        WSASetLastError(WSAEINVAL);
        ReportSocketError("listen: port not assigned");
        return;
    }
    if (!FProtoAssigned) {
        WSASetLastError(WSAEINVAL);
        ReportSocketError("listen: protocol not assigned");
        return;
    }
    if (!FAddrAssigned) {
        WSASetLastError(WSAEINVAL);
        ReportSocketError("listen: address not assigned");
        return;
    }
    try {
        LoadSocketLibrary();
        if (!FProtoResolved) {
            FProto = WSocketResolveProto(FProtoStr);
            FType = FProto == IPPROTO_UDP ? SOCK_DGRAM : SOCK_STREAM;
            FProtoResolved = true;
        }
        if (!FPortResolved) {
            FPortNum = WSocketResolvePort(FPortStr, FProtoStr);
            sin.sin_port = htons(FPortNum);
            FPortResolved = true;
        }
        if (!FAddrResolved) {
            sin.sin_addr.s_addr = WSocketResolveHost(FAddrStr);
            FAddrResolved = true;
        }
    } catch (const ESocketException& E) {
        RaiseError("listen: " + E.Message());
        return;
    }
    ClearSendQueue();
    FHSocket = socket(FAddrFormat, FType, FProto);
    if (FHSocket == INVALID_SOCKET) {
        ReportSocketError("socket");
        return;
    }
    if (FType == SOCK_DGRAM && ReuseAddr) {
        int on = -1;
        if (setsockopt(FHSocket, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&on), sizeof on) ==
            SOCKET_ERROR) {
            ReportSocketError("setsockopt(SO_REUSEADDR)");
            return;
        }
    }
    if (bind(FHSocket, reinterpret_cast<const sockaddr*>(&sin), sizeof sin) == SOCKET_ERROR) {
        // The socket is released before the report so that it cannot leak
        // when the report raises.
        int err = WSAGetLastError();
        closesocket(FHSocket);
        FHSocket = INVALID_SOCKET;
        WSASetLastError(err);
        ReportSocketError("Bind");
        Close();
        return;
    }
    SetState(wsBound);
    if (FType == SOCK_DGRAM && MultiCast) {
        ip_mreq mreq{};
        mreq.imr_multiaddr.s_addr = inet_addr(MultiCastAddrStr.c_str());
        mreq.imr_interface.s_addr = sin.sin_addr.s_addr;
        if (setsockopt(FHSocket, IPPROTO_IP, IP_ADD_MEMBERSHIP, reinterpret_cast<const char*>(&mreq), sizeof mreq) ==
            SOCKET_ERROR) {
            ReportSocketError("setsockopt(IP MULTICAST)");
            return;
        }
    }
    if (FType == SOCK_STREAM) {
        if (listen(FHSocket, 5) == SOCKET_ERROR) {
            ReportSocketError("Listen");
            return;
        }
        SetState(wsListening);
    } else if (FType == SOCK_DGRAM || FType == SOCK_RAW) {
        SetState(wsListening);
        SetState(wsConnected);
        NotifySessionConnected(0);
    } else {
        RaiseError("Listen: unexpected protocol.");
        return;
    }
    FSelectEvent = FD_READ | FD_WRITE | FD_ACCEPT | FD_CLOSE;
    if (WSAAsyncSelect(FHSocket, FWindowHandle, WM_ASYNCSELECT, FSelectEvent) == SOCKET_ERROR)
        ReportSocketError("WSAASyncSelect");
}

SOCKET TCustomWSocket::Accept() {
    if (FState != wsListening) {
        WSASetLastError(WSAEINVAL);
        ReportSocketError("not a listening socket");
        return INVALID_SOCKET;
    }
    int len = sizeof sin;
    FASocket = accept(FHSocket, reinterpret_cast<sockaddr*>(&sin), &len);
    if (FASocket == INVALID_SOCKET) {
        ReportSocketError("Accept");
        return INVALID_SOCKET;
    }
    return FASocket;
}

void TCustomWSocket::Dup(SOCKET NewHSocket) {
    if (NewHSocket == 0 || NewHSocket == INVALID_SOCKET) {
        WSASetLastError(WSAEINVAL);
        ReportSocketError("Dup");
        return;
    }
    if (FState != wsClosed) {
        if (closesocket(FHSocket) == SOCKET_ERROR) {
            ReportSocketError("Dup (closesocket)");
            return;
        }
        SetState(wsClosed);
    }
    FHSocket = NewHSocket;
    ApplyLinger();
    FSelectEvent = FD_READ | FD_WRITE | FD_CONNECT | FD_CLOSE;
    if (WSAAsyncSelect(FHSocket, FWindowHandle, WM_ASYNCSELECT, FSelectEvent) == SOCKET_ERROR) {
        ReportSocketError("WSAAsyncSelect");
        return;
    }
    SetState(wsConnected);
}

void TCustomWSocket::Shutdown(int How) {
    if (FHSocket != INVALID_SOCKET) shutdown(FHSocket, How);
}

void TCustomWSocket::Pause() {
    bPaused = true;
    WSAAsyncSelect(FHSocket, FWindowHandle, 0, 0);
}

void TCustomWSocket::Resume() {
    bPaused = false;
    WSAAsyncSelect(FHSocket, FWindowHandle, WM_ASYNCSELECT, FSelectEvent);
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
    sockaddr_in peer{};
    int len = sizeof peer;
    if (getpeername(FHSocket, reinterpret_cast<sockaddr*>(&peer), &len) == SOCKET_ERROR) {
        ReportSocketError("GetPeerName");
        return "error";
    }
    return DottedText(peer.sin_addr.s_addr);
}

std::string TCustomWSocket::PeerPort() {
    if (FState != wsConnected) return "error";
    sockaddr_in peer{};
    int len = sizeof peer;
    if (getpeername(FHSocket, reinterpret_cast<sockaddr*>(&peer), &len) == SOCKET_ERROR) {
        ReportSocketError("GetPeerPort");
        return "error";
    }
    return Format("%d", ntohs(peer.sin_port));
}

std::string TCustomWSocket::LocalPortText() {
    if (FState != wsBound && FState != wsConnected && FState != wsListening) return "error";
    sockaddr_in local{};
    int len = sizeof local;
    if (getsockname(FHSocket, reinterpret_cast<sockaddr*>(&local), &len) == SOCKET_ERROR) return "error";
    return Format("%d", ntohs(local.sin_port));
}

std::string TCustomWSocket::LocalAddrText() {
    if (FState != wsBound && FState != wsConnected && FState != wsListening) return "error";
    sockaddr_in local{};
    int len = sizeof local;
    if (getsockname(FHSocket, reinterpret_cast<sockaddr*>(&local), &len) == SOCKET_ERROR) return "error";
    return DottedText(local.sin_addr.s_addr);
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

// ---------------------------------------------------------------------------
// TCustomSocksWSocket

namespace {

// Longest user code, password or host name a request carries: the length
// byte of the version 5 fields (RFC 1928, RFC 1929), also applied to the
// zero-terminated fields of version 4 and 4A.
constexpr size_t kSocksFieldMax = 255;

// Error code and text for requests that cannot carry a field.
constexpr int kSocksFieldTooLong = 20014;

std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

}  // namespace

TCustomSocksWSocket::TCustomSocksWSocket(TComponent* AOwner) : TCustomWSocket(AOwner) {}

TCustomSocksWSocket::~TCustomSocksWSocket() = default;

void TCustomSocksWSocket::ResetDefaults() {
    TCustomWSocket::ResetDefaults();
    FSocksState = 0;
    FSocksServer.clear();
    FSocksPort.clear();
    FSocksLevel = "5";
    FSocksRcvdCnt = 0;
    FSocksRcvdPtr = 0;
    FSocksServerAssigned = false;
    FSocksPortAssigned = false;
}

void TCustomSocksWSocket::SetSocksServer(const std::string& Value) {
    if (FState != wsClosed) {
        RaiseError("Can't change socks server if not closed");
        return;
    }
    FSocksServer = Trim(Value);
    FSocksServerAssigned = !FSocksServer.empty();
}

void TCustomSocksWSocket::SetSocksPort(const std::string& Value) {
    if (FState != wsClosed) {
        RaiseError("Can't change socks port if not closed");
        return;
    }
    FSocksPort = Trim(Value);
    FSocksPortAssigned = !FSocksPort.empty();
}

void TCustomSocksWSocket::SetSocksLevel(const std::string& Value) {
    if (FState != wsClosed) {
        RaiseError("Can't change socks level if not closed");
        return;
    }
    if (Value != "4" && Value != "5" && Value != "4A" && Value != "4a") {
        RaiseError("Invalid socks level. Must be 4, 4A or 5.");
        return;
    }
    FSocksLevel = Value == "4a" ? "4A" : Value;
}

void TCustomSocksWSocket::Connect() {
    if (!FSocksServerAssigned) {
        TCustomWSocket::Connect();
        return;
    }
    if (Lower(FProtoStr) != "tcp") {
        RaiseError("tcp is the only protocol supported thru socks server");
        return;
    }
    try {
        if (!FPortResolved) {
            sin.sin_port = htons(WSocketResolvePort(FSocksPort, FProtoStr));
            FPortResolved = true;
        }
        if (!FAddrResolved) {
            sin.sin_addr.s_addr = WSocketResolveHost(FSocksServer);
            FAddrResolved = true;
        }
        FSocksDestPort = WSocketResolvePort(FPortStr, FProtoStr);
        FSocksState = 1;
        FRcvCnt = 0;
    } catch (const ESocketException& E) {
        RaiseError("connect: " + E.Message());
        return;
    }
    TCustomWSocket::Connect();
}

void TCustomSocksWSocket::Listen() {
    if (FSocksServerAssigned) {
        RaiseError("Listening is not supported thru socks server");
        return;
    }
    TCustomWSocket::Listen();
}

void TCustomSocksWSocket::NotifySessionConnected(WORD Error) {
    if (FSocksState != 1) {
        TCustomWSocket::NotifySessionConnected(Error);
        return;
    }
    NotifySocksConnected(Error);
    if (Error != 0) {
        TCustomWSocket::NotifySessionConnected(Error);
        return;
    }
    if (!FSocksLevel.empty() && FSocksLevel[0] == '4') {
        SocksDoConnect();
    } else {
        FSocksMethod = SocksAuthentication == socksAuthenticateUsercode ? 2 : 0;
        const char request[3] = {5, 1, static_cast<char>(FSocksMethod)};
        SocksSend(std::string(request, 3));
    }
}

void TCustomSocksWSocket::SocksSend(const std::string& Request) {
    try {
        Send(Request.data(), static_cast<int>(Request.size()));
    } catch (const std::exception&) {
    }
}

void TCustomSocksWSocket::SocksDoConnect() {
    FSocksState = 3;
    std::string req;
    if (!FSocksLevel.empty() && FSocksLevel[0] == '4') {
        WSock::u_long addr;
        bool level4A = FSocksLevel == "4A";
        if (level4A) {
            addr = inet_addr("0.0.0.1");
        } else {
            try {
                addr = WSocketResolveHost(FAddrStr);
            } catch (const Exception& E) {
                NotifySocksError(20017, "ESocketException " + E.Message());
                DoClose(true, 20017);
                return;
            }
        }
        if (SocksUsercode.size() > kSocksFieldMax) {
            SocksFailure(kSocksFieldTooLong, "socks user code too long (at most 255 bytes)");
            return;
        }
        if (level4A && FAddrStr.size() > kSocksFieldMax) {
            SocksFailure(kSocksFieldTooLong, "socks host name too long (at most 255 bytes)");
            return;
        }
        req += static_cast<char>(4);
        req += static_cast<char>(1);
        req += static_cast<char>(FSocksDestPort >> 8);
        req += static_cast<char>(FSocksDestPort & 0xff);
        req.append(reinterpret_cast<const char*>(&addr), 4);
        req += SocksUsercode;
        req += '\0';
        if (level4A) {
            req += FAddrStr;
            req += '\0';
        }
    } else {
        if (FAddrStr.size() > kSocksFieldMax) {
            SocksFailure(kSocksFieldTooLong, "socks host name too long (at most 255 bytes)");
            return;
        }
        req += static_cast<char>(5);
        req += static_cast<char>(1);
        req += static_cast<char>(0);
        req += static_cast<char>(3);
        req += static_cast<char>(FAddrStr.size());
        req += FAddrStr;
        req += static_cast<char>(FSocksDestPort >> 8);
        req += static_cast<char>(FSocksDestPort & 0xff);
    }
    SocksSend(req);
}

void TCustomSocksWSocket::SocksDoAuthenticate() {
    FSocksState = 2;
    if (SocksUsercode.size() > kSocksFieldMax) {
        SocksFailure(kSocksFieldTooLong, "socks user code too long (at most 255 bytes)");
        return;
    }
    if (SocksPassword.size() > kSocksFieldMax) {
        SocksFailure(kSocksFieldTooLong, "socks password too long (at most 255 bytes)");
        return;
    }
    NotifySocksAuthState(socksAuthBegun);
    std::string req;
    req += static_cast<char>(1);
    req += static_cast<char>(SocksUsercode.size());
    req += SocksUsercode;
    req += static_cast<char>(SocksPassword.size());
    req += SocksPassword;
    SocksSend(req);
}

void TCustomSocksWSocket::SocksFailure(int Error, const std::string& Msg) {
    NotifySocksError(Error, Msg);
    FSocksState = 0;
    NotifySessionConnected(static_cast<WORD>(Error));
    DoClose(true, static_cast<WORD>(Error));
}

bool TCustomSocksWSocket::SocksSuccess() {
    FSocksState = 0;
    NotifySessionConnected(0);
    return NotifyDataAvailable(0);
}

bool TCustomSocksWSocket::SocksReceive(int Room) {
    if (Room <= 0) return false;
    int n = Receive(FRcvBuf + FRcvCnt, Room);
    if (n <= 0) return false;
    FRcvCnt += n;
    return true;
}

bool TCustomSocksWSocket::NotifyDataAvailable(WORD Error) {
    if (FSocksState == 0) return TCustomWSocket::NotifyDataAvailable(Error);
    if (Error != 0) {
        SocksFailure(Error, "data receive error");
        return false;
    }
    const auto byte = [this](int i) { return static_cast<unsigned char>(FRcvBuf[i]); };
    switch (FSocksState) {
        case 1: {
            if (!FSocksLevel.empty() && FSocksLevel[0] == '4') {
                SocksFailure(20001, "TWSocket logic error");
                return false;
            }
            SocksReceive(127 - FRcvCnt);
            if (FRcvCnt < 2) return true;
            FRcvCnt = 0;
            if (byte(0) != 5) {
                SocksFailure(20002, "socks version error");
                return false;
            }
            if (byte(1) == 0) {
                if (FSocksMethod != 0) NotifySocksAuthState(socksAuthSkipped);
                SocksDoConnect();
            } else if (byte(1) == 2) {
                SocksDoAuthenticate();
            } else {
                SocksFailure(20003, "authentification method not acceptable");
                return false;
            }
            return true;
        }
        case 2: {
            SocksReceive(127 - FRcvCnt);
            if (FRcvCnt >= 1 && byte(0) != 1) {
                SocksFailure(20002, "socks version error");
                return false;
            }
            if (FRcvCnt > 2) {
                SocksFailure(20001, "too much data availaible");
                return false;
            }
            if (FRcvCnt == 2) {
                if (byte(1) != 0) {
                    SocksFailure(20015, "socks authentication failed");
                    return false;
                }
                FRcvCnt = 0;
                NotifySocksAuthState(socksAuthAccepted);
                SocksDoConnect();
            }
            return true;
        }
        case 3:
            if (!FSocksLevel.empty() && FSocksLevel[0] == '4') {
                SocksReceive(8 - FRcvCnt);
                if (FRcvCnt < 8) return true;
                FRcvCnt = 0;
                if (byte(0) != 0) {
                    SocksFailure(20002, "socks version error");
                    return false;
                }
                switch (byte(1)) {
                    case 90: return SocksSuccess();
                    case 91: SocksFailure(20016, "request rejected or failed"); return false;
                    case 92: SocksFailure(20008, "connection refused"); return false;
                    case 93: SocksFailure(20015, "authentification failed"); return false;
                    default: SocksFailure(20012, Format("unassigned error #%d", byte(1))); return false;
                }
            } else {
                SocksReceive(127 - FRcvCnt);
                if (FRcvCnt >= 1 && byte(0) != 5) {
                    SocksFailure(20002, "socks version error");
                    return false;
                }
                if (FRcvCnt >= 2 && byte(1) != 0) {
                    switch (byte(1)) {
                        case 1: SocksFailure(20004, "general SOCKS server failure"); break;
                        case 2: SocksFailure(20005, "connection not allowed by ruleset"); break;
                        case 3: SocksFailure(20006, "network unreachable"); break;
                        case 4: SocksFailure(20007, "host unreachable"); break;
                        case 5: SocksFailure(20008, "connection refused"); break;
                        case 6: SocksFailure(20009, "time to live expired"); break;
                        case 7: SocksFailure(20010, "command not supported"); break;
                        case 8: SocksFailure(20011, "address type not supported"); break;
                        default: SocksFailure(20012, Format("unassigned error #%d", byte(1))); break;
                    }
                    return false;
                }
                if (FRcvCnt <= 4) return true;
                int type = byte(3);
                int need = type == 1 ? 10 : type == 3 ? 7 + byte(4) : 5;
                if (FRcvCnt < need) return true;
                int addrEnd;
                if (type == 1) {
                    WSock::u_long bound;
                    std::memcpy(&bound, FRcvBuf + 4, 4);
                    FBoundAddr = DottedText(bound);
                    addrEnd = 8;
                } else if (type == 3) {
                    FBoundAddr.assign(FRcvBuf + 5, byte(4));
                    addrEnd = 5 + byte(4);
                } else {
                    SocksFailure(20011, "address type not supported");
                    return false;
                }
                FBoundPort = Format("%d", (byte(addrEnd) << 8) | byte(addrEnd + 1));
                FSocksRcvdCnt = std::max(0, FRcvCnt - addrEnd - 2);
                FSocksRcvdPtr = addrEnd + 2;
                FRcvCnt = 0;
                return SocksSuccess();
            }
        default:
            SocksFailure(20013, "internal error");
            return false;
    }
}

void TCustomSocksWSocket::NotifySessionClosed(WORD Error) {
    if (FSocksState == 2) NotifySocksAuthState(socksAuthRejected);
    TCustomWSocket::NotifySessionClosed(Error);
}

int TCustomSocksWSocket::RcvdCount() {
    if (FSocksRcvdCnt > 0) return FSocksRcvdCnt;
    return TCustomWSocket::RcvdCount();
}

int TCustomSocksWSocket::RecvRaw(void* Buffer, int BufferSize, int Flags) {
    if (FSocksRcvdCnt > 0) {
        int n = std::min(BufferSize, FSocksRcvdCnt);
        if (n <= 0) return 0;
        std::memcpy(Buffer, FRcvBuf + FSocksRcvdPtr, static_cast<size_t>(n));
        FSocksRcvdPtr += n;
        FSocksRcvdCnt -= n;
        return n;
    }
    return TCustomWSocket::RecvRaw(Buffer, BufferSize, Flags);
}

void TCustomSocksWSocket::NotifySocksConnected(WORD Error) {
    if (OnSocksConnected) OnSocksConnected(this, Error);
}

void TCustomSocksWSocket::NotifySocksError(int Error, const std::string& Msg) {
    if (OnSocksError) OnSocksError(this, Error, Msg);
}

void TCustomSocksWSocket::NotifySocksAuthState(TSocksAuthState AuthState) {
    if (OnSocksAuthState) OnSocksAuthState(this, AuthState);
}

// ---------------------------------------------------------------------------
// TCustomLineWSocket

TCustomLineWSocket::TCustomLineWSocket(TComponent* AOwner) : TCustomTlsWSocket(AOwner) {
    LineEnd = "\r\n";
    FLineMode = false;
    LineLimit = 65536;
}

TCustomLineWSocket::~TCustomLineWSocket() = default;

void TCustomLineWSocket::SetLineMode(bool Value) {
    if (Value == FLineMode) return;
    FLineMode = Value;
    if (FRcvdCnt > 0 || FLineLength > 0) PostMessageA(FWindowHandle, WM_TRIGGER_DATA_AVAILABLE, 0, 0);
}

int TCustomLineWSocket::RcvdCount() {
    if (FLineMode) return FLineLength;
    return TCustomTlsWSocket::RcvdCount();
}

int TCustomLineWSocket::RecvRaw(void* Buffer, int BufferSize, int Flags) {
    if (FLineMode && FLineLength > 0) {
        // Hand out the current line; what the caller leaves of it moves to
        // the front, inside the line's own place in the buffer.
        int n = std::min(BufferSize, FLineLength);
        if (n <= 0) return 0;
        std::memcpy(Buffer, FRcvdPtr.data(), static_cast<size_t>(n));
        if (n < FLineLength) {
            std::memmove(FRcvdPtr.data(), FRcvdPtr.data() + n, static_cast<size_t>(FLineLength - n));
            FLineLength -= n;
        } else {
            FLineLength = 0;
        }
        return n;
    }
    if (!FLineMode && FRcvdCnt > 0) {
        // Bytes left over from a line-mode period come first.
        int n = std::min(BufferSize, FRcvdCnt);
        if (n <= 0) return 0;
        std::memcpy(Buffer, FRcvdPtr.data(), static_cast<size_t>(n));
        std::memmove(FRcvdPtr.data(), FRcvdPtr.data() + n, static_cast<size_t>(FRcvdCnt - n + 1));
        FRcvdCnt -= n;
        return n;
    }
    return TCustomTlsWSocket::RecvRaw(Buffer, BufferSize, Flags);
}

void TCustomLineWSocket::GrowBuffer(int Size) {
    if (static_cast<int>(FRcvdPtr.size()) >= Size) return;
    size_t grown = std::max<size_t>(static_cast<size_t>(Size), FRcvdPtr.size() + FRcvdPtr.size() / 2);
    FRcvdPtr.resize(grown, '\0');
    FRcvBufSize = static_cast<int>(FRcvdPtr.size());
}

bool TCustomLineWSocket::NotifyDataAvailable(WORD Error) {
    if (!FLineMode || LineEnd.empty() || SocksInProgress()) return TCustomTlsWSocket::NotifyDataAvailable(Error);
    ReadAndDeliverLines(false);
    return true;
}

void TCustomLineWSocket::ReadAndDeliverLines(bool HeldBytesToo) {
    int n = TCustomTlsWSocket::RcvdCount();
    if (n < 0 && !HeldBytesToo) return;
    if (n <= 0) n = 255;
    GrowBuffer(FRcvdCnt + n + 1);
    int got = Receive(FRcvdPtr.data() + FRcvdCnt, n);
    int searchFrom = 0;
    if (got > 0) {
        FRcvdPtr[static_cast<size_t>(FRcvdCnt + got)] = '\0';
        int count = got;
        if (LineEdit) {
            EditLine(count);
        } else if (LineEcho) {
            try {
                Send(FRcvdPtr.data() + FRcvdCnt, got);
            } catch (const std::exception&) {
            }
        }
        // A terminator split across two reads starts before the new bytes.
        searchFrom = std::max(0, FRcvdCnt - static_cast<int>(LineEnd.size()));
        FRcvdCnt += count;
    } else if (!HeldBytesToo) {
        return;
    }
    DeliverLines(searchFrom);
    if (FRcvdPtr.empty()) return;  // closed from a handler
    if (FLineMode && LineLimit > 0 && FRcvdCnt > LineLimit) {
        FLineClearData = true;
        NotifyLineLimitExceeded(FRcvdCnt, FLineClearData);
        if (FLineClearData) {
            FRcvdCnt = 0;
            FLineLength = 0;
            if (!FRcvdPtr.empty()) FRcvdPtr[0] = '\0';
        }
        FLineClearData = false;
    }
}

void TCustomLineWSocket::DeliverLines(int SearchFrom) {
    const int endLen = static_cast<int>(LineEnd.size());
    for (;;) {
        if (!FLineMode || FRcvdPtr.empty()) return;
        const char* data = FRcvdPtr.data();
        const char* hit = std::search(data + SearchFrom, data + FRcvdCnt, LineEnd.begin(), LineEnd.end());
        if (hit == data + FRcvdCnt) return;
        const int lineTotal = static_cast<int>(hit - data) + endLen;
        FLineLength = lineTotal;
        DeliverCurrentLine();
        if (FRcvdPtr.empty()) return;  // closed from a handler
        if (FLineLength > 0) {
            // Line mode was switched off with part of the line unread: close
            // the gap, so that the unread part is followed directly by the
            // bytes after the line.
            std::memmove(FRcvdPtr.data() + FLineLength, FRcvdPtr.data() + lineTotal,
                         static_cast<size_t>(FRcvdCnt - lineTotal + 1));
            FRcvdCnt -= lineTotal - FLineLength;
            FLineLength = 0;
            return;
        }
        std::memmove(FRcvdPtr.data(), FRcvdPtr.data() + lineTotal, static_cast<size_t>(FRcvdCnt - lineTotal + 1));
        FRcvdCnt -= lineTotal;
        SearchFrom = 0;
    }
}

void TCustomLineWSocket::DeliverCurrentLine() {
    while (FLineMode && FLineLength > 0) {
        int before = FLineLength;
        if (!TCustomTlsWSocket::NotifyDataAvailable(0)) {
            FLineLength = 0;  // no handler: the line is dropped
            return;
        }
        if (FRcvdPtr.empty()) return;
        // A handler that takes nothing of the line would be called for ever:
        // the line is dropped instead.
        if (FLineMode && FLineLength == before) FLineLength = 0;
    }
}

void TCustomLineWSocket::WindowProcedure(TMessage& Msg) {
    if (Msg.Msg != WM_TRIGGER_DATA_AVAILABLE) {
        TCustomTlsWSocket::WindowProcedure(Msg);
        return;
    }
    try {
        WMTriggerDataAvailable(Msg);
    } catch (const Exception& E) {
        HandleBackgroundError(E);
    }
}

void TCustomLineWSocket::WMTriggerDataAvailable(TMessage&) {
    while (FRcvdCnt > 0) {
        int held = FRcvdCnt;
        int read = FReadCount;
        if (FLineMode && !LineEnd.empty() && !SocksInProgress()) {
            FLineLength = 0;
            ReadAndDeliverLines(true);
        } else if (!TCustomTlsWSocket::NotifyDataAvailable(0)) {
            break;  // no handler: the bytes stay
        }
        // A pass that neither consumed held bytes nor read new ones ends it.
        if (FRcvdCnt == held && FReadCount == read) break;
    }
}

void TCustomLineWSocket::NotifySessionClosed(WORD Error) {
    if (!FRcvdPtr.empty()) {
        if (FLineMode && FRcvdCnt > 0) {
            // What is held without a terminator is the last line.
            FLineLength = FRcvdCnt;
            DeliverCurrentLine();
        }
        FRcvdPtr.clear();
        FRcvdPtr.shrink_to_fit();
        FRcvBufSize = 0;
        FRcvdCnt = 0;
        FLineLength = 0;
    }
    TCustomTlsWSocket::NotifySessionClosed(Error);
}

void TCustomLineWSocket::NotifyLineLimitExceeded(int Cnt, bool& ClearData) {
    if (OnLineLimitExceeded) OnLineLimitExceeded(this, Cnt, ClearData);
}

void TCustomLineWSocket::EditLine(int& Len) {
    const int held = FRcvdCnt;
    const int count = Len;
    std::vector<char> work;
    bool copying = false;
    int out = held;
    int lowest = held;
    auto startCopy = [&] {
        if (copying) return;
        copying = true;
        work.assign(FRcvdPtr.begin(), FRcvdPtr.begin() + out);
    };
    auto put = [&](char c) {
        if (static_cast<int>(work.size()) <= out) work.resize(static_cast<size_t>(out) + 256, '\0');
        work[static_cast<size_t>(out)] = c;
    };
    auto echo = [&](const char* p, int n) {
        if (!LineEcho) return;
        try {
            Send(p, n);
        } catch (const std::exception&) {
        }
    };
    for (int i = 0; i < count; ++i) {
        char c = FRcvdPtr[static_cast<size_t>(held + i)];
        if (c == '\b') {
            startCopy();
            if (out > 0) echo("\b \b", 3);
            if (out > 0) --out;
            lowest = std::min(lowest, out);
        } else if (c == '\t') {
            startCopy();
            do {
                put(' ');
                ++out;
                echo(" ", 1);
            } while (out % 8 != 0);
        } else {
            echo(&c, 1);
            if (copying) put(c);
            ++out;
        }
    }
    if (copying) {
        GrowBuffer(out + 1);
        std::memcpy(FRcvdPtr.data(), work.data(), static_cast<size_t>(out));
    }
    FRcvdPtr[static_cast<size_t>(out)] = '\0';
    FRcvdCnt = lowest;
    Len = out - lowest;
}

// ---------------------------------------------------------------------------
// TCustomSyncWSocket

TCustomSyncWSocket::TCustomSyncWSocket(TComponent* AOwner) : TCustomLineWSocket(AOwner) {}

TCustomSyncWSocket::~TCustomSyncWSocket() = default;

int TCustomSyncWSocket::RunAndWait(bool& Flag, const std::function<void()>& Proc) {
    Flag = false;
    if (Proc) Proc();
    return WaitForFlag(Flag);
}

int TCustomSyncWSocket::WaitForFlag(bool& Flag) {
    FTimeStop = GetTickCount() + static_cast<DWORD>(Timeout);
    while (!Flag) {
        int wait = kYieldWaitMs;
        if (Timeout > 0) {
            int left = static_cast<int>(FTimeStop - GetTickCount());
            if (left <= 0) return 12001;
            wait = std::min(wait, left);
        }
        if ((Application && Application->Terminated) || FTerminated) return 12001;
        // Block in the event loop until the next message (never spin).
        if (Application)
            Application->WaitMessage(wait);
        else
            QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, wait);
    }
    return 0;
}
