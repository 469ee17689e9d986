// The socket library's start and clean-up, the resolution of host, port and
// protocol texts, and the texts of socket error numbers.
#include "net/WSocket.h"
#include "net/WSocketPrivate.h"
#include "platform/AsciiText.h"

#include <cstring>

using namespace WSock;

namespace {

std::atomic<int> g_WSocketGCount{0};
bool g_SocketLibraryStarted = false;
WSADATA g_WSAData{};

const char* const kSocketLibraryName = "wsock32.dll";

}  // namespace

std::atomic<int>& WSocketInstanceCount() { return g_WSocketGCount; }

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

std::string TSocketAddress::Text() const {
    char text[INET6_ADDRSTRLEN] = {};
    if (Family() == AF_INET6) {
        const auto* a = reinterpret_cast<const sockaddr_in6*>(&Record);
        return inet_ntop(AF_INET6, &a->sin6_addr, text, sizeof text) ? text : "";
    }
    if (Family() == AF_INET) return DottedText(reinterpret_cast<const sockaddr_in*>(&Record)->sin_addr.s_addr);
    return "";
}

void TSocketAddress::SetPort(WORD PortNetworkOrder) {
    if (Family() == AF_INET6)
        reinterpret_cast<sockaddr_in6*>(&Record)->sin6_port = PortNetworkOrder;
    else if (Family() == AF_INET)
        reinterpret_cast<sockaddr_in*>(&Record)->sin_port = PortNetworkOrder;
}

std::string StripAddressBrackets(const std::string& Text) {
    std::string t = Trim(Text);
    if (t.size() >= 2 && t.front() == '[' && t.back() == ']') t = t.substr(1, t.size() - 2);
    return t;
}

bool ParseAddressLiteral(const std::string& Text, TSocketAddress& Address) {
    Address = TSocketAddress{};
    if (IsDottedAddress(Text)) {
        auto* a = reinterpret_cast<sockaddr_in*>(&Address.Record);
        a->sin_family = static_cast<std::int16_t>(AF_INET);
        a->sin_addr.s_addr = inet_addr(Trim(Text).c_str());
        Address.Length = sizeof(sockaddr_in);
        return true;
    }
    const std::string bare = StripAddressBrackets(Text);
    // Only a text with a colon can be IPv6; the check keeps names away from
    // the parser.
    // inet_pton stops at a zero byte: one inside would let a longer text
    // pass as the address before it.
    if (bare.find(':') == std::string::npos || bare.size() >= INET6_ADDRSTRLEN ||
        bare.find('\0') != std::string::npos)
        return false;
    in6_addr bytes{};
    if (inet_pton(AF_INET6, bare.c_str(), &bytes) != 1) return false;
    auto* a = reinterpret_cast<sockaddr_in6*>(&Address.Record);
    a->sin6_family = static_cast<std::int16_t>(AF_INET6);
    a->sin6_addr = bytes;
    Address.Length = sizeof(sockaddr_in6);
    return true;
}

bool IsIPv6Literal(const std::string& Text) {
    TSocketAddress a;
    return ParseAddressLiteral(Text, a) && a.Family() == AF_INET6;
}

std::vector<TSocketAddress> WSocketResolveHostAll(const std::string& InAddr) {
    if (InAddr.empty() || InAddr.size() > 256)
        throw ESocketException("WSocketResolveHost: '" + InAddr + "' Invalid Hostname.");
    TSocketAddress literal;
    if (ParseAddressLiteral(InAddr, literal)) {
        // Dotted IPv4 goes through WSocketResolveHost for its checks.
        if (literal.Family() == AF_INET)
            reinterpret_cast<sockaddr_in*>(&literal.Record)->sin_addr.s_addr = WSocketResolveHost(InAddr);
        return {literal};
    }
    LoadSocketLibrary();
    addrinfo* list = nullptr;
    int error = getaddrinfo(Trim(InAddr).c_str(), nullptr, nullptr, &list);
    if (error != 0)
        throw ESocketException(
            Format("WSocketResolveHost: Cannot convert host address '%s', Error #%d", InAddr.c_str(), error));
    std::vector<TSocketAddress> out;
    for (addrinfo* p = list; p; p = p->ai_next) {
        TSocketAddress a;
        std::memcpy(&a.Record, p->ai_addr, p->ai_addrlen);
        a.Length = static_cast<int>(p->ai_addrlen);
        out.push_back(a);
    }
    freeaddrinfo(list);
    return out;
}

std::vector<TSocketAddress> InterleaveAddressFamilies(const std::vector<TSocketAddress>& Addresses) {
    std::vector<TSocketAddress> v6, v4, out;
    for (const TSocketAddress& a : Addresses) (a.Family() == AF_INET6 ? v6 : v4).push_back(a);
    for (size_t i = 0; i < v6.size() || i < v4.size(); ++i) {
        if (i < v6.size()) out.push_back(v6[i]);
        if (i < v4.size()) out.push_back(v4[i]);
    }
    return out;
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
