// IPv4 and IPv6 sockets with the socket library's calling conventions.
//
// Every function keeps its own name, arguments, results and error numbers:
// a failing call returns SOCKET_ERROR (or INVALID_SOCKET, or a null pointer)
// and leaves the socket error number for WSAGetLastError. The error numbers
// are the socket library's (10035 would block, 10054 reset, 10061 refused,
// 11001 host not found, ...); one table in Sockets.cpp maps the system's
// errno values and resolver results onto them.
//
// Underneath are non-blocking POSIX sockets. A socket handle is a number
// handed out by this layer and never reused, so a notification still queued
// for a closed socket can never be taken for one about a newer socket.
//
// Readiness: WSAAsyncSelect posts the notification message to a window with
// the socket in wParam and (event bits | error << 16) in lParam, with these
// rules: FD_CONNECT once when a connect completes (carrying its error);
// FD_WRITE once after a connect succeeded and again only after a send failed
// with 10035; FD_READ when data is waiting, re-armed only after recv/recvfrom
// was called; FD_ACCEPT for a listening socket, re-armed by accept; FD_CLOSE
// once when the peer closes or resets (carrying the error). Readiness is
// watched on the GUI thread's event loop (one Qt socket notifier per
// direction and socket, enabled only while an event is armed), so nothing
// polls or spins while a socket is idle.
//
// Name lookups (WSAAsyncGetHostByName / ByAddr, and WSAAsyncGetAddrInfo for
// every IPv4 and IPv6 address of a name) run on one worker thread and
// complete by posting the reply message with the lookup handle in wParam and
// (buffer length | error << 16) in lParam; the answer is written into the
// caller's buffer (or result pointer) before the message is posted. After
// WSACancelAsyncRequest returns, the buffer is never touched again and no
// reply is posted.
//
// Test double: SetTestHosts installs a host table that every lookup of this
// layer consults before the system's resolver.
//
// Everything except the lookup worker runs on the GUI thread.
#pragma once

#include "platform/WinTypes.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// The system's socket headers define some of these names as macros; they are
// set aside while this header declares its own.
#pragma push_macro("AF_INET")
#undef AF_INET
#pragma push_macro("PF_INET")
#undef PF_INET
#pragma push_macro("AF_INET6")
#undef AF_INET6
#pragma push_macro("PF_INET6")
#undef PF_INET6
#pragma push_macro("AF_UNSPEC")
#undef AF_UNSPEC
#pragma push_macro("IPPROTO_IPV6")
#undef IPPROTO_IPV6
#pragma push_macro("INET_ADDRSTRLEN")
#undef INET_ADDRSTRLEN
#pragma push_macro("INET6_ADDRSTRLEN")
#undef INET6_ADDRSTRLEN
#pragma push_macro("getaddrinfo")
#undef getaddrinfo
#pragma push_macro("freeaddrinfo")
#undef freeaddrinfo
#pragma push_macro("s6_addr")
#undef s6_addr
#pragma push_macro("SOCK_STREAM")
#undef SOCK_STREAM
#pragma push_macro("SOCK_DGRAM")
#undef SOCK_DGRAM
#pragma push_macro("SOCK_RAW")
#undef SOCK_RAW
#pragma push_macro("IPPROTO_IP")
#undef IPPROTO_IP
#pragma push_macro("IPPROTO_TCP")
#undef IPPROTO_TCP
#pragma push_macro("IPPROTO_UDP")
#undef IPPROTO_UDP
#pragma push_macro("INADDR_ANY")
#undef INADDR_ANY
#pragma push_macro("INADDR_NONE")
#undef INADDR_NONE
#pragma push_macro("SOL_SOCKET")
#undef SOL_SOCKET
#pragma push_macro("SO_REUSEADDR")
#undef SO_REUSEADDR
#pragma push_macro("SO_KEEPALIVE")
#undef SO_KEEPALIVE
#pragma push_macro("SO_BROADCAST")
#undef SO_BROADCAST
#pragma push_macro("SO_LINGER")
#undef SO_LINGER
#pragma push_macro("SO_SNDBUF")
#undef SO_SNDBUF
#pragma push_macro("SO_RCVBUF")
#undef SO_RCVBUF
#pragma push_macro("SO_ERROR")
#undef SO_ERROR
#pragma push_macro("SO_TYPE")
#undef SO_TYPE
#pragma push_macro("TCP_NODELAY")
#undef TCP_NODELAY
#pragma push_macro("TCP_KEEPIDLE")
#undef TCP_KEEPIDLE
#pragma push_macro("TCP_KEEPINTVL")
#undef TCP_KEEPINTVL
#pragma push_macro("TCP_KEEPCNT")
#undef TCP_KEEPCNT
#pragma push_macro("IP_MULTICAST_IF")
#undef IP_MULTICAST_IF
#pragma push_macro("IP_MULTICAST_TTL")
#undef IP_MULTICAST_TTL
#pragma push_macro("IP_MULTICAST_LOOP")
#undef IP_MULTICAST_LOOP
#pragma push_macro("IP_ADD_MEMBERSHIP")
#undef IP_ADD_MEMBERSHIP
#pragma push_macro("IP_DROP_MEMBERSHIP")
#undef IP_DROP_MEMBERSHIP
#pragma push_macro("FIONREAD")
#undef FIONREAD
#pragma push_macro("FIONBIO")
#undef FIONBIO
#pragma push_macro("MSG_OOB")
#undef MSG_OOB
#pragma push_macro("MSG_PEEK")
#undef MSG_PEEK
#pragma push_macro("htons")
#undef htons
#pragma push_macro("ntohs")
#undef ntohs
#pragma push_macro("htonl")
#undef htonl
#pragma push_macro("ntohl")
#undef ntohl

namespace WSock {

using SOCKET = std::int32_t;
using u_short = std::uint16_t;
using u_long = std::uint32_t;
using HANDLE = std::uint32_t;  // lookup handle, 0 = none

constexpr SOCKET INVALID_SOCKET = -1;
constexpr int SOCKET_ERROR = -1;

constexpr int AF_INET = 2;
constexpr int PF_INET = 2;
// The socket library's numbering of IPv6 (not the system's).
constexpr int AF_INET6 = 23;
constexpr int PF_INET6 = 23;
constexpr int AF_UNSPEC = 0;
constexpr int IPPROTO_IPV6 = 41;
constexpr int INET_ADDRSTRLEN = 16;
constexpr int INET6_ADDRSTRLEN = 46;
constexpr int SOCK_STREAM = 1;
constexpr int SOCK_DGRAM = 2;
constexpr int SOCK_RAW = 3;
constexpr int IPPROTO_IP = 0;
constexpr int IPPROTO_TCP = 6;
constexpr int IPPROTO_UDP = 17;
constexpr u_long INADDR_ANY = 0;
constexpr u_long INADDR_NONE = 0xffffffffu;

// Option levels and names in the socket library's numbering.
constexpr int SOL_SOCKET = 0xffff;
constexpr int SO_REUSEADDR = 0x0004;
constexpr int SO_KEEPALIVE = 0x0008;
constexpr int SO_BROADCAST = 0x0020;
constexpr int SO_LINGER = 0x0080;
constexpr int SO_SNDBUF = 0x1001;
constexpr int SO_RCVBUF = 0x1002;
constexpr int SO_ERROR = 0x1007;
constexpr int SO_TYPE = 0x1008;
constexpr int TCP_NODELAY = 0x0001;
// Keepalive timing (seconds of quiet before the first probe, seconds between
// probes, probes unanswered before the connection counts as dead).
constexpr int TCP_KEEPIDLE = 3;
constexpr int TCP_KEEPCNT = 16;
constexpr int TCP_KEEPINTVL = 17;
constexpr int IP_MULTICAST_IF = 2;
constexpr int IP_MULTICAST_TTL = 3;
constexpr int IP_MULTICAST_LOOP = 4;
constexpr int IP_ADD_MEMBERSHIP = 5;
constexpr int IP_DROP_MEMBERSHIP = 6;

constexpr long FIONREAD = 0x4004667F;
constexpr long FIONBIO = static_cast<long>(0x8004667EL);

constexpr int MSG_OOB = 1;
constexpr int MSG_PEEK = 2;

constexpr int SD_RECEIVE = 0;
constexpr int SD_SEND = 1;
constexpr int SD_BOTH = 2;

// Readiness event bits for WSAAsyncSelect.
constexpr long FD_READ = 0x01;
constexpr long FD_WRITE = 0x02;
constexpr long FD_OOB = 0x04;
constexpr long FD_ACCEPT = 0x08;
constexpr long FD_CONNECT = 0x10;
constexpr long FD_CLOSE = 0x20;

inline LPARAM WSAMakeSelectReply(WORD event, WORD error) {
    return static_cast<LPARAM>(static_cast<DWORD>(event) | (static_cast<DWORD>(error) << 16));
}
inline WORD WSAGETSELECTEVENT(LPARAM lParam) { return static_cast<WORD>(lParam & 0xffff); }
inline WORD WSAGETSELECTERROR(LPARAM lParam) { return static_cast<WORD>((lParam >> 16) & 0xffff); }
inline WORD WSAGETASYNCBUFLEN(LPARAM lParam) { return static_cast<WORD>(lParam & 0xffff); }
inline WORD WSAGETASYNCERROR(LPARAM lParam) { return static_cast<WORD>((lParam >> 16) & 0xffff); }

// Socket error numbers.
constexpr int WSABASEERR = 10000;
constexpr int WSAEINTR = 10004;
constexpr int WSAEBADF = 10009;
constexpr int WSAEACCES = 10013;
constexpr int WSAEFAULT = 10014;
constexpr int WSAEINVAL = 10022;
constexpr int WSAEMFILE = 10024;
constexpr int WSAEWOULDBLOCK = 10035;
constexpr int WSAEINPROGRESS = 10036;
constexpr int WSAEALREADY = 10037;
constexpr int WSAENOTSOCK = 10038;
constexpr int WSAEDESTADDRREQ = 10039;
constexpr int WSAEMSGSIZE = 10040;
constexpr int WSAEPROTOTYPE = 10041;
constexpr int WSAENOPROTOOPT = 10042;
constexpr int WSAEPROTONOSUPPORT = 10043;
constexpr int WSAESOCKTNOSUPPORT = 10044;
constexpr int WSAEOPNOTSUPP = 10045;
constexpr int WSAEPFNOSUPPORT = 10046;
constexpr int WSAEAFNOSUPPORT = 10047;
constexpr int WSAEADDRINUSE = 10048;
constexpr int WSAEADDRNOTAVAIL = 10049;
constexpr int WSAENETDOWN = 10050;
constexpr int WSAENETUNREACH = 10051;
constexpr int WSAENETRESET = 10052;
constexpr int WSAECONNABORTED = 10053;
constexpr int WSAECONNRESET = 10054;
constexpr int WSAENOBUFS = 10055;
constexpr int WSAEISCONN = 10056;
constexpr int WSAENOTCONN = 10057;
constexpr int WSAESHUTDOWN = 10058;
constexpr int WSAETOOMANYREFS = 10059;
constexpr int WSAETIMEDOUT = 10060;
constexpr int WSAECONNREFUSED = 10061;
constexpr int WSAELOOP = 10062;
constexpr int WSAENAMETOOLONG = 10063;
constexpr int WSAEHOSTDOWN = 10064;
constexpr int WSAEHOSTUNREACH = 10065;
constexpr int WSAENOTEMPTY = 10066;
constexpr int WSAEPROCLIM = 10067;
constexpr int WSAEUSERS = 10068;
constexpr int WSAEDQUOT = 10069;
constexpr int WSAESTALE = 10070;
constexpr int WSAEREMOTE = 10071;
constexpr int WSASYSNOTREADY = 10091;
constexpr int WSAVERNOTSUPPORTED = 10092;
constexpr int WSANOTINITIALISED = 10093;
constexpr int WSAHOST_NOT_FOUND = 11001;
constexpr int WSATRY_AGAIN = 11002;
constexpr int WSANO_RECOVERY = 11003;
constexpr int WSANO_DATA = 11004;

// Records, laid out as the socket library lays them out.
struct in_addr {
    u_long s_addr;  // network byte order
};

struct sockaddr {
    u_short sa_family;
    char sa_data[14];
};

struct sockaddr_in {
    std::int16_t sin_family;
    u_short sin_port;  // network byte order
    in_addr sin_addr;
    char sin_zero[8];
};
static_assert(sizeof(sockaddr_in) == 16, "the IPv4 address record is 16 bytes");

struct in6_addr {
    unsigned char s6_addr[16];
};

struct sockaddr_in6 {
    std::int16_t sin6_family;
    u_short sin6_port;  // network byte order
    u_long sin6_flowinfo;
    in6_addr sin6_addr;
    u_long sin6_scope_id;
};
static_assert(sizeof(sockaddr_in6) == 28, "the IPv6 address record is 28 bytes");

// Room for an address record of either family.
struct sockaddr_storage {
    std::int16_t ss_family;
    char ss_pad1[6];
    std::int64_t ss_align;
    char ss_pad2[112];
};
static_assert(sizeof(sockaddr_storage) == 128, "the address storage is 128 bytes");

// One answer of an address-info lookup; a list linked by ai_next.
struct addrinfo {
    int ai_flags;
    int ai_family;    // AF_INET or AF_INET6
    int ai_socktype;  // SOCK_STREAM
    int ai_protocol;  // IPPROTO_TCP
    std::size_t ai_addrlen;
    char* ai_canonname;
    sockaddr* ai_addr;  // sockaddr_in or sockaddr_in6, port 0
    addrinfo* ai_next;
};
struct hostent {
    char* h_name;
    char** h_aliases;
    std::int16_t h_addrtype;
    std::int16_t h_length;
    char** h_addr_list;
};

struct servent {
    char* s_name;
    char** s_aliases;
    std::int16_t s_port;  // network byte order
    char* s_proto;
};

struct protoent {
    char* p_name;
    char** p_aliases;
    std::int16_t p_proto;
};

struct linger {
    u_short l_onoff;
    u_short l_linger;
};

struct ip_mreq {
    in_addr imr_multiaddr;
    in_addr imr_interface;
};

struct timeval {
    long tv_sec;
    long tv_usec;
};

constexpr int WSADESCRIPTION_LEN = 256;
constexpr int WSASYS_STATUS_LEN = 128;

struct WSADATA {
    WORD wVersion;
    WORD wHighVersion;
    char szDescription[WSADESCRIPTION_LEN + 1];
    char szSystemStatus[WSASYS_STATUS_LEN + 1];
    u_short iMaxSockets;
    u_short iMaxUdpDg;
    char* lpVendorInfo;
};

// Library start-up and clean-up. WSAStartup answers 0 (and fills `data`)
// for any requested version from 1.1 up, else WSAVERNOTSUPPORTED. Every
// WSAStartup is matched by one WSACleanup.
int WSAStartup(WORD versionRequested, WSADATA* data);
int WSACleanup();

int WSAGetLastError();
void WSASetLastError(int error);

// New sockets are non-blocking.
SOCKET socket(int af, int type, int protocol);
int bind(SOCKET s, const sockaddr* name, int namelen);
int listen(SOCKET s, int backlog);
SOCKET accept(SOCKET s, sockaddr* addr, int* addrlen);
// A connect that cannot complete at once fails with WSAEWOULDBLOCK; its end
// is reported by FD_CONNECT.
int connect(SOCKET s, const sockaddr* name, int namelen);
int send(SOCKET s, const char* buf, int len, int flags);
int sendto(SOCKET s, const char* buf, int len, int flags, const sockaddr* to, int tolen);
int recv(SOCKET s, char* buf, int len, int flags);
int recvfrom(SOCKET s, char* buf, int len, int flags, sockaddr* from, int* fromlen);
int shutdown(SOCKET s, int how);
int closesocket(SOCKET s);
int setsockopt(SOCKET s, int level, int optname, const char* optval, int optlen);
int getsockopt(SOCKET s, int level, int optname, char* optval, int* optlen);
// FIONREAD (bytes waiting) and FIONBIO.
int ioctlsocket(SOCKET s, long cmd, u_long* argp);
int getsockname(SOCKET s, sockaddr* name, int* namelen);
int getpeername(SOCKET s, sockaddr* name, int* namelen);

u_long inet_addr(const char* cp);
// The dotted form, in a buffer of the calling thread valid until its next call.
char* inet_ntoa(in_addr in);
// Text to address (1), not an address of that family (0), or an unknown
// family (-1, error WSAEAFNOSUPPORT). AF_INET6 takes the bare form only.
int inet_pton(int family, const char* text, void* addr);
// The address's text (RFC 5952 form for IPv6) in `buf`; null when it does
// not fit or the family is unknown.
const char* inet_ntop(int family, const void* addr, char* buf, std::size_t size);
u_short htons(u_short hostshort);
u_short ntohs(u_short netshort);
u_long htonl(u_long hostlong);
u_long ntohl(u_long netlong);

// Blocking lookups; the result lives in storage of the calling thread until
// its next call of the same function. IPv4 addresses only.
hostent* gethostbyname(const char* name);
servent* getservbyname(const char* name, const char* proto);
// Blocking: every address of `node` (both families unless hints->ai_family
// asks for one; `service` must be null). Answers 0 or the socket error
// number; the list is freed with freeaddrinfo.
int getaddrinfo(const char* node, const char* service, const addrinfo* hints, addrinfo** res);
protoent* getprotobyname(const char* name);

int WSAAsyncSelect(SOCKET s, HWND wnd, UINT msg, long events);
HANDLE WSAAsyncGetHostByName(HWND wnd, UINT msg, const char* name, char* buf, int buflen);
// Every IPv4 and IPv6 address of `name` (also a literal of either family),
// in the resolver's order. On success *result holds the list, written
// before the reply is posted; the caller frees it with freeaddrinfo.
// `result` must stay valid until the reply or a cancel.
HANDLE WSAAsyncGetAddrInfo(HWND wnd, UINT msg, const char* name, addrinfo** result);
void freeaddrinfo(addrinfo* list);
HANDLE WSAAsyncGetHostByAddr(HWND wnd, UINT msg, const char* addr, int len, int type, char* buf, int buflen);
// 0 when the lookup was cancelled; else SOCKET_ERROR with WSAEALREADY (it has
// already completed and its reply is posted) or WSAEINVAL (unknown handle).
int WSACancelAsyncRequest(HANDLE asyncTaskHandle);

// Test double of the name service: while a table is installed, a name found
// in it (compared without regard to ASCII case) resolves to its addresses
// (IPv4 or IPv6 text, in the order given; an empty list: host not found),
// and every other name goes to the system's resolver. An empty table removes
// the double.
void SetTestHosts(std::vector<std::pair<std::string, std::vector<std::string>>> table);

// The socket error number for an errno value (0 for 0).
int SocketErrorFromErrno(int err);

// How many times a readiness watch has fired since the program started (a
// socket with nothing to report must not make this grow).
unsigned long ReadinessWakeups();

}  // namespace WSock

#pragma pop_macro("AF_INET")
#pragma pop_macro("PF_INET")
#pragma pop_macro("AF_INET6")
#pragma pop_macro("PF_INET6")
#pragma pop_macro("AF_UNSPEC")
#pragma pop_macro("IPPROTO_IPV6")
#pragma pop_macro("INET_ADDRSTRLEN")
#pragma pop_macro("INET6_ADDRSTRLEN")
#pragma pop_macro("getaddrinfo")
#pragma pop_macro("freeaddrinfo")
#pragma pop_macro("s6_addr")
#pragma pop_macro("SOCK_STREAM")
#pragma pop_macro("SOCK_DGRAM")
#pragma pop_macro("SOCK_RAW")
#pragma pop_macro("IPPROTO_IP")
#pragma pop_macro("IPPROTO_TCP")
#pragma pop_macro("IPPROTO_UDP")
#pragma pop_macro("INADDR_ANY")
#pragma pop_macro("INADDR_NONE")
#pragma pop_macro("SOL_SOCKET")
#pragma pop_macro("SO_REUSEADDR")
#pragma pop_macro("SO_KEEPALIVE")
#pragma pop_macro("SO_BROADCAST")
#pragma pop_macro("SO_LINGER")
#pragma pop_macro("SO_SNDBUF")
#pragma pop_macro("SO_RCVBUF")
#pragma pop_macro("SO_ERROR")
#pragma pop_macro("SO_TYPE")
#pragma pop_macro("TCP_NODELAY")
#pragma pop_macro("TCP_KEEPIDLE")
#pragma pop_macro("TCP_KEEPINTVL")
#pragma pop_macro("TCP_KEEPCNT")
#pragma pop_macro("IP_MULTICAST_IF")
#pragma pop_macro("IP_MULTICAST_TTL")
#pragma pop_macro("IP_MULTICAST_LOOP")
#pragma pop_macro("IP_ADD_MEMBERSHIP")
#pragma pop_macro("IP_DROP_MEMBERSHIP")
#pragma pop_macro("FIONREAD")
#pragma pop_macro("FIONBIO")
#pragma pop_macro("MSG_OOB")
#pragma pop_macro("MSG_PEEK")
#pragma pop_macro("htons")
#pragma pop_macro("ntohs")
#pragma pop_macro("htonl")
#pragma pop_macro("ntohl")
