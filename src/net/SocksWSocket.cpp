// TCustomSocksWSocket: SOCKS 4, 4A and 5 negotiation through a proxy.
#include "net/WSocket.h"
#include "net/WSocketPrivate.h"

#include "platform/AsciiText.h"
#include "platform/Window.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <span>

using namespace WSock;

namespace {

// Longest user code, password or host name a request carries: the length
// byte of the version 5 fields (RFC 1928, RFC 1929), also applied to the
// zero-terminated fields of version 4 and 4A.
constexpr size_t kSocksFieldMax = 255;

// Error code and text for requests that cannot carry a field.
constexpr int kSocksFieldTooLong = 20014;

// Reply codes of a proxy that refused a request: the error number and text
// each one is reported with. A code not in the table is reported as
// "unassigned error #<code>" (20012).
struct TSocksReplyText {
    int Reply;
    int Error;
    const char* Text;
};

const TSocksReplyText kSocks4Replies[] = {
    {91, 20016, "request rejected or failed"},
    {92, 20008, "connection refused"},
    {93, 20015, "authentification failed"},
};

const TSocksReplyText kSocks5Replies[] = {
    {1, 20004, "general SOCKS server failure"},
    {2, 20005, "connection not allowed by ruleset"},
    {3, 20006, "network unreachable"},
    {4, 20007, "host unreachable"},
    {5, 20008, "connection refused"},
    {6, 20009, "time to live expired"},
    {7, 20010, "command not supported"},
    {8, 20011, "address type not supported"},
};

constexpr int kSocksUnassignedReply = 20012;

// Error code and text for a version 4 or 4A request to an IPv6 address:
// those requests carry IPv4 addresses only.
constexpr int kSocks4NoIpv6 = 20019;

// Address types of version 5 requests and replies (RFC 1928).
constexpr int kSocksAtypIpv4 = 1;
constexpr int kSocksAtypName = 3;
constexpr int kSocksAtypIpv6 = 4;

// The negotiation's time-out: its timer on the socket's window, and the
// error it ends the negotiation with.
constexpr UINT kSocksTimer = 1;
constexpr int kSocksTimedOut = 20018;

// True when the name's addresses are all IPv6 (a failed lookup: false).
bool HasOnlyIPv6Addresses(const std::string& Name) {
    try {
        const std::vector<TSocketAddress> all = WSocketResolveHostAll(Name);
        return !all.empty() && std::all_of(all.begin(), all.end(), [](const TSocketAddress& a) {
            return a.Family() == AF_INET6;
        });
    } catch (const Exception&) {
        return false;
    }
}

}  // namespace

TCustomSocksWSocket::TCustomSocksWSocket(TComponent* AOwner) : TCustomWSocket(AOwner) {}

TCustomSocksWSocket::~TCustomSocksWSocket() = default;

void TCustomSocksWSocket::WindowProcedure(TMessage& Msg) {
    if (Msg.Msg != WM_TIMER || Msg.WParam != kSocksTimer) {
        TCustomWSocket::WindowProcedure(Msg);
        return;
    }
    KillTimer(FWindowHandle, kSocksTimer);
    if (SocksInProgress() && FState != wsClosed) SocksFailure(kSocksTimedOut, "socks negotiation timed out");
}

void TCustomSocksWSocket::ResetDefaults() {
    TCustomWSocket::ResetDefaults();
    if (FWindowHandle != 0) KillTimer(FWindowHandle, kSocksTimer);
    FSocksState = socksIdle;
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
    if (!EqualNoCaseAscii(FProtoStr, "tcp")) {
        RaiseError("tcp is the only protocol supported thru socks server");
        return;
    }
    try {
        if (!FPortResolved) {
            FSin.sin_port = htons(WSocketResolvePort(FSocksPort, FProtoStr));
            FPortResolved = true;
        }
        if (!FAddrResolved) {
            // One connection, to the proxy only: its IPv4 address when it has
            // one, else its first IPv6 address.
            const std::vector<TSocketAddress> all = WSocketResolveHostAll(FSocksServer);
            const auto v4 = std::find_if(all.begin(), all.end(), [](const TSocketAddress& a) {
                return a.Family() == AF_INET;
            });
            SetRemote(v4 != all.end() ? *v4 : all.front());
            FAddrResolved = true;
        }
        FSocksDestPort = WSocketResolvePort(FPortStr, FProtoStr);
        FSocksState = socksGreeting;
        FRcvCnt = 0;
    } catch (const ESocketException& E) {
        RaiseError("connect: " + E.Message());
        return;
    }
    TCustomWSocket::Connect();
    const int limit = NegotiationTimeout();
    if (limit > 0 && SocksInProgress() && FState != wsClosed)
        SetTimer(FWindowHandle, kSocksTimer, static_cast<UINT>(limit));
}

void TCustomSocksWSocket::Listen() {
    if (FSocksServerAssigned) {
        RaiseError("Listening is not supported thru socks server");
        return;
    }
    TCustomWSocket::Listen();
}

void TCustomSocksWSocket::NotifySessionConnected(WORD Error) {
    if (FSocksState != socksGreeting) {
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
    FSocksState = socksRequesting;
    std::string req;
    if (!FSocksLevel.empty() && FSocksLevel[0] == '4') {
        WSock::u_long addr;
        bool level4A = FSocksLevel == "4A";
        if (IsIPv6Literal(FAddrStr)) return SocksFailure(kSocks4NoIpv6, "socks 4 cannot reach an IPv6 address");
        if (level4A) {
            addr = inet_addr("0.0.0.1");
        } else {
            try {
                addr = WSocketResolveHost(FAddrStr);
            } catch (const Exception& E) {
                // A name with IPv6 addresses only is out of version 4's reach.
                if (HasOnlyIPv6Addresses(FAddrStr))
                    return SocksFailure(kSocks4NoIpv6, "socks 4 cannot reach an IPv6 address");
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
        // An IPv6 literal goes as its 16 bytes; anything else (names and
        // IPv4 literals alike) as a name for the proxy to resolve.
        TSocketAddress literal;
        const bool v6 = ParseAddressLiteral(FAddrStr, literal) && literal.Family() == AF_INET6;
        if (!v6 && FAddrStr.size() > kSocksFieldMax) {
            SocksFailure(kSocksFieldTooLong, "socks host name too long (at most 255 bytes)");
            return;
        }
        req += static_cast<char>(5);
        req += static_cast<char>(1);
        req += static_cast<char>(0);
        if (v6) {
            req += static_cast<char>(kSocksAtypIpv6);
            const in6_addr& bytes = reinterpret_cast<const sockaddr_in6*>(&literal.Record)->sin6_addr;
            req.append(reinterpret_cast<const char*>(&bytes), sizeof bytes);
        } else {
            req += static_cast<char>(kSocksAtypName);
            req += static_cast<char>(FAddrStr.size());
            req += FAddrStr;
        }
        req += static_cast<char>(FSocksDestPort >> 8);
        req += static_cast<char>(FSocksDestPort & 0xff);
    }
    SocksSend(req);
}

void TCustomSocksWSocket::SocksDoAuthenticate() {
    FSocksState = socksAuthenticating;
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
    KillTimer(FWindowHandle, kSocksTimer);
    NotifySocksError(Error, Msg);
    FSocksState = socksIdle;
    NotifySessionConnected(static_cast<WORD>(Error));
    DoClose(true, static_cast<WORD>(Error));
}

void TCustomSocksWSocket::SocksReplyFailure(bool Version4, int Reply) {
    const std::span<const TSocksReplyText> table = Version4 ? std::span<const TSocksReplyText>(kSocks4Replies)
                                                            : std::span<const TSocksReplyText>(kSocks5Replies);
    for (const TSocksReplyText& entry : table) {
        if (entry.Reply != Reply) continue;
        SocksFailure(entry.Error, entry.Text);
        return;
    }
    SocksFailure(kSocksUnassignedReply, Format("unassigned error #%d", Reply));
}

bool TCustomSocksWSocket::SocksSuccess() {
    KillTimer(FWindowHandle, kSocksTimer);
    FSocksState = socksIdle;
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
    if (FSocksState == socksIdle) return TCustomWSocket::NotifyDataAvailable(Error);
    if (Error != 0) {
        SocksFailure(Error, "data receive error");
        return false;
    }
    const auto byte = [this](int i) { return static_cast<unsigned char>(FRcvBuf[i]); };
    switch (FSocksState) {
        case socksGreeting: {
            if (!FSocksLevel.empty() && FSocksLevel[0] == '4') {
                SocksFailure(20001, "TWSocket logic error");
                return false;
            }
            SocksReceive(kSocksReplyMax - FRcvCnt);
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
        case socksAuthenticating: {
            SocksReceive(kSocksReplyMax - FRcvCnt);
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
        case socksRequesting:
            if (!FSocksLevel.empty() && FSocksLevel[0] == '4') {
                SocksReceive(8 - FRcvCnt);
                if (FRcvCnt < 8) return true;
                FRcvCnt = 0;
                if (byte(0) != 0) {
                    SocksFailure(20002, "socks version error");
                    return false;
                }
                if (byte(1) == 90) return SocksSuccess();
                SocksReplyFailure(true, byte(1));
                return false;
            } else {
                SocksReceive(kSocksReplyMax - FRcvCnt);
                if (FRcvCnt >= 1 && byte(0) != 5) {
                    SocksFailure(20002, "socks version error");
                    return false;
                }
                if (FRcvCnt >= 2 && byte(1) != 0) {
                    SocksReplyFailure(false, byte(1));
                    return false;
                }
                if (FRcvCnt <= 4) return true;
                // The bound address ends where its type says: 4 bytes, a
                // length byte and that many, or 16 bytes; the port follows.
                // An unknown type fails as soon as it is seen.
                const int type = byte(3);
                int addrEnd = 0;
                if (type == kSocksAtypIpv4) addrEnd = 4 + 4;
                else if (type == kSocksAtypName) addrEnd = 5 + byte(4);
                else if (type == kSocksAtypIpv6) addrEnd = 4 + 16;
                if (addrEnd != 0 && FRcvCnt < addrEnd + 2) return true;
                if (type == kSocksAtypIpv4) {
                    WSock::u_long bound;
                    std::memcpy(&bound, FRcvBuf + 4, 4);
                    FBoundAddr = DottedText(bound);
                } else if (type == kSocksAtypName) {
                    FBoundAddr.assign(FRcvBuf + 5, byte(4));
                } else if (type == kSocksAtypIpv6) {
                    TSocketAddress bound;
                    auto* record = reinterpret_cast<sockaddr_in6*>(&bound.Record);
                    record->sin6_family = static_cast<std::int16_t>(AF_INET6);
                    std::memcpy(&record->sin6_addr, FRcvBuf + 4, sizeof record->sin6_addr);
                    bound.Length = sizeof *record;
                    FBoundAddr = bound.Text();
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
    if (FSocksState == socksAuthenticating) NotifySocksAuthState(socksAuthRejected);
    TCustomWSocket::NotifySessionClosed(Error);
}

bool TCustomSocksWSocket::NegotiationInProgress() const {
    return SocksInProgress() || TCustomWSocket::NegotiationInProgress();
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
