#include "platform/Sockets.h"

#include "platform/AsciiText.h"
#include "platform/NameLookup.h"

#include "platform/Window.h"

// The values of the names the system headers below redefine as macros, taken
// while they still mean this layer's own numbering.
namespace {
namespace lib {
constexpr int AfInet = WSock::AF_INET;
constexpr int AfInet6 = WSock::AF_INET6;
constexpr int AfUnspec = WSock::AF_UNSPEC;
constexpr int SockStream = WSock::SOCK_STREAM;
constexpr int SockDgram = WSock::SOCK_DGRAM;
constexpr int SockRaw = WSock::SOCK_RAW;
constexpr int IpprotoIp = WSock::IPPROTO_IP;
constexpr int IpprotoTcp = WSock::IPPROTO_TCP;
constexpr int SolSocket = WSock::SOL_SOCKET;
constexpr int SoReuseAddr = WSock::SO_REUSEADDR;
constexpr int SoKeepAlive = WSock::SO_KEEPALIVE;
constexpr int SoBroadcast = WSock::SO_BROADCAST;
constexpr int SoLinger = WSock::SO_LINGER;
constexpr int SoSndBuf = WSock::SO_SNDBUF;
constexpr int SoRcvBuf = WSock::SO_RCVBUF;
constexpr int SoError = WSock::SO_ERROR;
constexpr int SoType = WSock::SO_TYPE;
constexpr int TcpNoDelay = WSock::TCP_NODELAY;
constexpr int TcpKeepIdle = WSock::TCP_KEEPIDLE;
constexpr int TcpKeepIntvl = WSock::TCP_KEEPINTVL;
constexpr int TcpKeepCnt = WSock::TCP_KEEPCNT;
constexpr int IpMulticastIf = WSock::IP_MULTICAST_IF;
constexpr int IpMulticastTtl = WSock::IP_MULTICAST_TTL;
constexpr int IpMulticastLoop = WSock::IP_MULTICAST_LOOP;
constexpr int IpAddMembership = WSock::IP_ADD_MEMBERSHIP;
constexpr int IpDropMembership = WSock::IP_DROP_MEMBERSHIP;
constexpr long FionRead = WSock::FIONREAD;
constexpr long FionBio = WSock::FIONBIO;
constexpr int MsgOob = WSock::MSG_OOB;
constexpr int MsgPeek = WSock::MSG_PEEK;
}  // namespace lib
}  // namespace

#include <QSocketNotifier>

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <unordered_map>
#include <vector>

#undef htons
#undef ntohs
#undef htonl
#undef ntohl

namespace WSock {

namespace {

thread_local int t_lastError = 0;

int Fail(int error) {
    t_lastError = error;
    return SOCKET_ERROR;
}

int FailErrno() { return Fail(SocketErrorFromErrno(errno)); }

// --- the socket table ------------------------------------------------------

// One socket of this layer: its descriptor and the state of its readiness
// notifications. Owned by the GUI thread.
struct Entry {
    SOCKET id = INVALID_SOCKET;
    int fd = -1;
    int type = lib::SockStream;
    bool listening = false;
    bool connectPending = false;  // a connect is under way; FD_CONNECT not sent yet
    int connectError = 0;         // error of a connect that failed at once
    bool connected = false;       // stream connected (or datagram: always usable)
    bool failed = false;          // the connect failed: nothing more is reported
    int closeError = 0;           // reset seen by recv/send, reported with FD_CLOSE
    // WSAAsyncSelect registration.
    HWND wnd = 0;
    UINT msg = 0;
    long events = 0;
    bool readArmed = true;
    bool writeArmed = false;
    bool acceptArmed = true;
    bool closeSent = false;
    std::unique_ptr<QSocketNotifier> readNotifier;
    std::unique_ptr<QSocketNotifier> writeNotifier;
};

struct Table {
    std::unordered_map<SOCKET, std::unique_ptr<Entry>> sockets;
    SOCKET next = 0x100;
};

Table& SocketTable() {
    static Table* t = new Table;  // lives to the end of the process
    return *t;
}

Entry* Find(SOCKET s) {
    auto& socks = SocketTable().sockets;
    auto it = socks.find(s);
    return it == socks.end() ? nullptr : it->second.get();
}

void Post(Entry& e, long event, int error) {
    PostMessageA(e.wnd, e.msg, static_cast<WPARAM>(e.id),
                 WSAMakeSelectReply(static_cast<WORD>(event), static_cast<WORD>(error)));
}

void OnReadable(SOCKET id);
void OnWritable(SOCKET id);

// Enables exactly the notifiers whose events are armed, so that a socket with
// nothing to report is not watched at all (the watch is level-triggered).
void Update(Entry& e) {
    bool watchRead = false;
    bool watchWrite = false;
    if (e.events != 0 && e.wnd != 0 && !e.failed) {
        if (e.connectPending) {
            watchWrite = true;
        } else if (e.listening) {
            watchRead = e.acceptArmed && (e.events & FD_ACCEPT);
        } else if (e.type != lib::SockStream) {
            watchRead = e.readArmed && (e.events & FD_READ);
            watchWrite = e.writeArmed && (e.events & FD_WRITE);
        } else if (e.connected) {
            watchRead = !e.closeSent && e.readArmed && (e.events & (FD_READ | FD_CLOSE));
            watchWrite = e.writeArmed && (e.events & FD_WRITE);
        }
    }
    if (watchRead && !e.readNotifier) {
        SOCKET id = e.id;
        e.readNotifier = std::make_unique<QSocketNotifier>(e.fd, QSocketNotifier::Read);
        QObject::connect(e.readNotifier.get(), &QSocketNotifier::activated, [id] { OnReadable(id); });
    }
    if (watchWrite && !e.writeNotifier) {
        SOCKET id = e.id;
        e.writeNotifier = std::make_unique<QSocketNotifier>(e.fd, QSocketNotifier::Write);
        QObject::connect(e.writeNotifier.get(), &QSocketNotifier::activated, [id] { OnWritable(id); });
    }
    if (e.readNotifier && e.readNotifier->isEnabled() != watchRead) e.readNotifier->setEnabled(watchRead);
    if (e.writeNotifier && e.writeNotifier->isEnabled() != watchWrite) e.writeNotifier->setEnabled(watchWrite);
}

unsigned long g_wakeups = 0;

void OnReadable(SOCKET id) {
    ++g_wakeups;
    Entry* e = Find(id);
    if (!e) return;
    if (e->listening) {
        if (e->acceptArmed && (e->events & FD_ACCEPT)) {
            e->acceptArmed = false;
            Post(*e, FD_ACCEPT, 0);
        }
    } else if (e->type != lib::SockStream) {
        if (e->readArmed && (e->events & FD_READ)) {
            e->readArmed = false;
            Post(*e, FD_READ, 0);
        }
    } else if (!e->closeSent) {
        char probe;
        ssize_t n = ::recv(e->fd, &probe, 1, MSG_PEEK | MSG_DONTWAIT);
        if (n > 0) {
            // Data waiting: one FD_READ, then quiet until the receiver reads.
            e->readArmed = false;
            if (e->events & FD_READ) Post(*e, FD_READ, 0);
        } else if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
            int error = n == 0 ? e->closeError : SocketErrorFromErrno(errno);
            e->closeSent = true;
            if (e->events & FD_CLOSE) Post(*e, FD_CLOSE, error);
        }
    }
    Update(*e);
}

void OnWritable(SOCKET id) {
    ++g_wakeups;
    Entry* e = Find(id);
    if (!e) return;
    if (e->connectPending) {
        int error = e->connectError;
        if (error == 0) {
            int soError = 0;
            socklen_t len = sizeof soError;
            if (::getsockopt(e->fd, SOL_SOCKET, SO_ERROR, &soError, &len) != 0) soError = errno;
            error = SocketErrorFromErrno(soError);
        }
        e->connectPending = false;
        e->connectError = 0;
        if (error == 0) {
            e->connected = true;
            e->readArmed = true;
            e->writeArmed = false;
            if (e->events & FD_CONNECT) Post(*e, FD_CONNECT, 0);
            if (e->events & FD_WRITE) Post(*e, FD_WRITE, 0);
        } else {
            e->failed = true;
            if (e->events & FD_CONNECT) Post(*e, FD_CONNECT, error);
        }
    } else if (e->writeArmed && (e->events & FD_WRITE)) {
        e->writeArmed = false;
        Post(*e, FD_WRITE, 0);
    }
    Update(*e);
}

// A system address record of either family, and its length.
struct SystemAddress {
    ::sockaddr_storage storage{};
    socklen_t length = 0;
    ::sockaddr* get() { return reinterpret_cast<::sockaddr*>(&storage); }
};

bool ToSystemAddress(const sockaddr* name, int namelen, SystemAddress& out) {
    if (!name || namelen < static_cast<int>(sizeof(std::int16_t))) return false;
    std::int16_t family;
    std::memcpy(&family, name, sizeof family);
    out = SystemAddress{};
    if (family == lib::AfInet6) {
        if (namelen < static_cast<int>(sizeof(WSock::sockaddr_in6))) return false;
        WSock::sockaddr_in6 in;
        std::memcpy(&in, name, sizeof in);
        auto* sa = reinterpret_cast<::sockaddr_in6*>(&out.storage);
        sa->sin6_family = AF_INET6;
        sa->sin6_port = in.sin6_port;
        sa->sin6_flowinfo = in.sin6_flowinfo;
        std::memcpy(&sa->sin6_addr, &in.sin6_addr, 16);
        sa->sin6_scope_id = in.sin6_scope_id;
        out.length = sizeof(::sockaddr_in6);
        return true;
    }
    if (namelen < static_cast<int>(sizeof(WSock::sockaddr_in))) return false;
    WSock::sockaddr_in in;
    std::memcpy(&in, name, sizeof in);
    auto* sa = reinterpret_cast<::sockaddr_in*>(&out.storage);
    // Any other family number is handed on as it is (the system refuses it).
    sa->sin_family = static_cast<sa_family_t>(family == lib::AfInet ? AF_INET : family);
    sa->sin_port = in.sin_port;
    sa->sin_addr.s_addr = in.sin_addr.s_addr;
    out.length = sizeof(::sockaddr_in);
    return true;
}

// The length of the record FromSystemAddress writes for `in`.
int RecordLength(const SystemAddress& in) {
    return in.storage.ss_family == AF_INET6 ? static_cast<int>(sizeof(WSock::sockaddr_in6))
                                            : static_cast<int>(sizeof(WSock::sockaddr_in));
}

void FromSystemAddress(const SystemAddress& in, sockaddr* name, int* namelen) {
    if (!name || !namelen) return;
    unsigned char record[sizeof(WSock::sockaddr_in6)] = {};
    if (in.storage.ss_family == AF_INET6) {
        const auto* sa = reinterpret_cast<const ::sockaddr_in6*>(&in.storage);
        WSock::sockaddr_in6 out{};
        out.sin6_family = static_cast<std::int16_t>(lib::AfInet6);
        out.sin6_port = sa->sin6_port;
        out.sin6_flowinfo = sa->sin6_flowinfo;
        std::memcpy(&out.sin6_addr, &sa->sin6_addr, 16);
        out.sin6_scope_id = sa->sin6_scope_id;
        std::memcpy(record, &out, sizeof out);
    } else {
        const auto* sa = reinterpret_cast<const ::sockaddr_in*>(&in.storage);
        WSock::sockaddr_in out{};
        out.sin_family = static_cast<std::int16_t>(sa->sin_family == AF_INET ? lib::AfInet : sa->sin_family);
        out.sin_port = sa->sin_port;
        out.sin_addr.s_addr = sa->sin_addr.s_addr;
        std::memcpy(record, &out, sizeof out);
    }
    const int full = RecordLength(in);
    int n = std::min<int>(*namelen, full);
    if (n > 0) std::memcpy(name, record, static_cast<size_t>(n));
    *namelen = full;
}

int SystemFlags(int flags) {
    int out = 0;
    if (flags & lib::MsgOob) out |= MSG_OOB;
    if (flags & lib::MsgPeek) out |= MSG_PEEK;
    return out;
}

bool IsResetError(int error) {
    return error == WSAECONNRESET || error == WSAECONNABORTED || error == WSAETIMEDOUT;
}

std::mutex g_startupLock;
int g_startupCount = 0;

}  // namespace

int SocketErrorFromErrno(int err) {
    switch (err) {
        case 0: return 0;
        case EINTR: return WSAEINTR;
        case EBADF: return WSAENOTSOCK;
        case EACCES: case EPERM: return WSAEACCES;
        case EFAULT: return WSAEFAULT;
        case EINVAL: return WSAEINVAL;
        case EMFILE: case ENFILE: return WSAEMFILE;
#if EWOULDBLOCK != EAGAIN
        case EWOULDBLOCK:
#endif
        case EAGAIN: return WSAEWOULDBLOCK;
        // A connect under way is reported as "would block", as callers expect.
        case EINPROGRESS: return WSAEWOULDBLOCK;
        case EALREADY: return WSAEALREADY;
        case ENOTSOCK: return WSAENOTSOCK;
        case EDESTADDRREQ: return WSAEDESTADDRREQ;
        case EMSGSIZE: return WSAEMSGSIZE;
        case EPROTOTYPE: return WSAEPROTOTYPE;
        case ENOPROTOOPT: return WSAENOPROTOOPT;
        case EPROTONOSUPPORT: return WSAEPROTONOSUPPORT;
        case ESOCKTNOSUPPORT: return WSAESOCKTNOSUPPORT;
        case EOPNOTSUPP: return WSAEOPNOTSUPP;
        case EPFNOSUPPORT: return WSAEPFNOSUPPORT;
        case EAFNOSUPPORT: return WSAEAFNOSUPPORT;
        case EADDRINUSE: return WSAEADDRINUSE;
        case EADDRNOTAVAIL: return WSAEADDRNOTAVAIL;
        case ENETDOWN: return WSAENETDOWN;
        case ENETUNREACH: return WSAENETUNREACH;
        case ENETRESET: return WSAENETRESET;
        case ECONNABORTED: return WSAECONNABORTED;
        // Writing to a connection the peer has dropped.
        case EPIPE: case ECONNRESET: return WSAECONNRESET;
        case ENOBUFS: case ENOMEM: return WSAENOBUFS;
        case EISCONN: return WSAEISCONN;
        case ENOTCONN: return WSAENOTCONN;
        case ESHUTDOWN: return WSAESHUTDOWN;
        case ETOOMANYREFS: return WSAETOOMANYREFS;
        case ETIMEDOUT: return WSAETIMEDOUT;
        case ECONNREFUSED: return WSAECONNREFUSED;
        case ELOOP: return WSAELOOP;
        case ENAMETOOLONG: return WSAENAMETOOLONG;
        case EHOSTDOWN: return WSAEHOSTDOWN;
        case EHOSTUNREACH: return WSAEHOSTUNREACH;
        case ENOTEMPTY: return WSAENOTEMPTY;
        case EUSERS: return WSAEUSERS;
        case EDQUOT: return WSAEDQUOT;
        case ESTALE: return WSAESTALE;
        case EREMOTE: return WSAEREMOTE;
        // No closer socket error exists for the rest.
        default: return WSAEINVAL;
    }
}

unsigned long ReadinessWakeups() { return g_wakeups; }

int WSAStartup(WORD versionRequested, WSADATA* data) {
    int major = versionRequested & 0xff;
    int minor = (versionRequested >> 8) & 0xff;
    if (major < 1 || (major == 1 && minor < 1)) return WSAVERNOTSUPPORTED;
    if (!data) return WSAEFAULT;
    std::memset(data, 0, sizeof *data);
    WORD highest = 0x0202;
    data->wVersion = (major > 2 || (major == 2 && minor >= 2)) ? highest : versionRequested;
    data->wHighVersion = highest;
    std::strcpy(data->szDescription, "Vesk sockets (POSIX IPv4/IPv6)");
    std::strcpy(data->szSystemStatus, "Running");
    data->iMaxSockets = 0x7fff;
    data->iMaxUdpDg = 65467;
    std::lock_guard<std::mutex> g(g_startupLock);
    ++g_startupCount;
    return 0;
}

int WSACleanup() {
    std::lock_guard<std::mutex> g(g_startupLock);
    if (g_startupCount <= 0) return Fail(WSANOTINITIALISED);
    --g_startupCount;
    return 0;
}

int WSAGetLastError() { return t_lastError; }
void WSASetLastError(int error) { t_lastError = error; }

SOCKET socket(int af, int type, int protocol) {
    if (af != lib::AfInet && af != lib::AfInet6) return Fail(WSAEAFNOSUPPORT);
    if (type != lib::SockStream && type != lib::SockDgram && type != lib::SockRaw) return Fail(WSAESOCKTNOSUPPORT);
    int fd = ::socket(af == lib::AfInet6 ? AF_INET6 : AF_INET, type | SOCK_NONBLOCK | SOCK_CLOEXEC, protocol);
    if (fd < 0) return FailErrno();
    Table& t = SocketTable();
    auto e = std::make_unique<Entry>();
    e->id = t.next++;
    if (t.next < 0x100) t.next = 0x100;
    e->fd = fd;
    e->type = type;
    e->connected = type != lib::SockStream;
    SOCKET id = e->id;
    t.sockets[id] = std::move(e);
    return id;
}

int bind(SOCKET s, const sockaddr* name, int namelen) {
    Entry* e = Find(s);
    if (!e) return Fail(WSAENOTSOCK);
    SystemAddress sa;
    if (!ToSystemAddress(name, namelen, sa)) return Fail(WSAEFAULT);
    if (::bind(e->fd, sa.get(), sa.length) != 0) return FailErrno();
    return 0;
}

int listen(SOCKET s, int backlog) {
    Entry* e = Find(s);
    if (!e) return Fail(WSAENOTSOCK);
    if (e->type != lib::SockStream) return Fail(WSAEOPNOTSUPP);
    if (::listen(e->fd, backlog) != 0) return FailErrno();
    e->listening = true;
    e->connected = false;
    Update(*e);
    return 0;
}

SOCKET accept(SOCKET s, sockaddr* addr, int* addrlen) {
    Entry* e = Find(s);
    if (!e) return Fail(WSAENOTSOCK);
    if (!e->listening) return Fail(WSAEINVAL);
    SystemAddress sa;
    sa.length = sizeof sa.storage;
    int fd = ::accept4(e->fd, sa.get(), &sa.length, SOCK_NONBLOCK | SOCK_CLOEXEC);
    int savedErrno = errno;
    e->acceptArmed = true;
    Update(*e);
    if (fd < 0) return Fail(SocketErrorFromErrno(savedErrno));
    FromSystemAddress(sa, addr, addrlen);
    Table& t = SocketTable();
    auto ne = std::make_unique<Entry>();
    ne->id = t.next++;
    if (t.next < 0x100) t.next = 0x100;
    ne->fd = fd;
    ne->type = lib::SockStream;
    ne->connected = true;
    SOCKET id = ne->id;
    t.sockets[id] = std::move(ne);
    return id;
}

int connect(SOCKET s, const sockaddr* name, int namelen) {
    Entry* e = Find(s);
    if (!e) return Fail(WSAENOTSOCK);
    SystemAddress sa;
    if (!ToSystemAddress(name, namelen, sa)) return Fail(WSAEFAULT);
    int rc = ::connect(e->fd, sa.get(), sa.length);
    int savedErrno = rc == 0 ? 0 : errno;
    if (e->type != lib::SockStream) {
        if (rc != 0) return Fail(SocketErrorFromErrno(savedErrno));
        return 0;
    }
    switch (savedErrno) {
        case 0:
        case EINPROGRESS:
            break;
        case ECONNREFUSED:
        case ETIMEDOUT:
        case ENETUNREACH:
        case EHOSTUNREACH:
        case ECONNRESET:
            // The outcome of a connect is always reported through FD_CONNECT,
            // also when the system knows it at once.
            e->connectError = SocketErrorFromErrno(savedErrno);
            break;
        default:
            return Fail(SocketErrorFromErrno(savedErrno));
    }
    e->connectPending = true;
    e->failed = false;
    Update(*e);
    if (rc == 0) return 0;
    return Fail(WSAEWOULDBLOCK);
}

int send(SOCKET s, const char* buf, int len, int flags) {
    Entry* e = Find(s);
    if (!e) return Fail(WSAENOTSOCK);
    if (len < 0) return Fail(WSAEINVAL);
    if (e->type == lib::SockStream && !e->connected) return Fail(WSAENOTCONN);
    ssize_t n = ::send(e->fd, buf, static_cast<size_t>(len), SystemFlags(flags) | MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0) {
        int error = SocketErrorFromErrno(errno);
        if (error == WSAEWOULDBLOCK) e->writeArmed = true;
        if (IsResetError(error)) e->closeError = error;
        Update(*e);
        return Fail(error);
    }
    if (n < len) {
        // The socket took only part: it is full, so the next FD_WRITE comes
        // when there is room again.
        e->writeArmed = true;
        Update(*e);
    }
    return static_cast<int>(n);
}

int sendto(SOCKET s, const char* buf, int len, int flags, const sockaddr* to, int tolen) {
    Entry* e = Find(s);
    if (!e) return Fail(WSAENOTSOCK);
    if (len < 0) return Fail(WSAEINVAL);
    SystemAddress sa;
    const ::sockaddr* target = nullptr;
    socklen_t targetLen = 0;
    if (to) {
        if (!ToSystemAddress(to, tolen, sa)) return Fail(WSAEFAULT);
        target = sa.get();
        targetLen = sa.length;
    }
    ssize_t n = ::sendto(e->fd, buf, static_cast<size_t>(len), SystemFlags(flags) | MSG_NOSIGNAL | MSG_DONTWAIT,
                         target, targetLen);
    if (n < 0) {
        int error = SocketErrorFromErrno(errno);
        if (error == WSAEWOULDBLOCK) e->writeArmed = true;
        Update(*e);
        return Fail(error);
    }
    if (n < len) {
        e->writeArmed = true;
        Update(*e);
    }
    return static_cast<int>(n);
}

int recv(SOCKET s, char* buf, int len, int flags) {
    Entry* e = Find(s);
    if (!e) return Fail(WSAENOTSOCK);
    if (len < 0) return Fail(WSAEINVAL);
    if (e->type == lib::SockStream && !e->connected) return Fail(WSAENOTCONN);
    ssize_t n;
    if (len == 0) {
        // A zero-length read answers whether the socket could be read now.
        char probe;
        n = ::recv(e->fd, &probe, 1, MSG_PEEK | MSG_DONTWAIT);
        if (n > 0) n = 0;
    } else {
        n = ::recv(e->fd, buf, static_cast<size_t>(len), SystemFlags(flags) | MSG_DONTWAIT);
    }
    int savedErrno = errno;
    e->readArmed = true;
    if (n < 0) {
        int error = SocketErrorFromErrno(savedErrno);
        if (IsResetError(error)) e->closeError = error;
        Update(*e);
        return Fail(error);
    }
    Update(*e);
    if (n == 0) t_lastError = 0;
    return static_cast<int>(n);
}

int recvfrom(SOCKET s, char* buf, int len, int flags, sockaddr* from, int* fromlen) {
    Entry* e = Find(s);
    if (!e) return Fail(WSAENOTSOCK);
    if (len < 0) return Fail(WSAEINVAL);
    SystemAddress sa;
    sa.length = sizeof sa.storage;
    ssize_t n = ::recvfrom(e->fd, buf, static_cast<size_t>(len), SystemFlags(flags) | MSG_DONTWAIT, sa.get(),
                           &sa.length);
    int savedErrno = errno;
    e->readArmed = true;
    Update(*e);
    if (n < 0) return Fail(SocketErrorFromErrno(savedErrno));
    if (from && fromlen) FromSystemAddress(sa, from, fromlen);
    return static_cast<int>(n);
}

int shutdown(SOCKET s, int how) {
    Entry* e = Find(s);
    if (!e) return Fail(WSAENOTSOCK);
    int sysHow = how == SD_RECEIVE ? SHUT_RD : how == SD_SEND ? SHUT_WR : how == SD_BOTH ? SHUT_RDWR : -1;
    if (sysHow < 0) return Fail(WSAEINVAL);
    if (::shutdown(e->fd, sysHow) != 0) return FailErrno();
    return 0;
}

int closesocket(SOCKET s) {
    auto& socks = SocketTable().sockets;
    auto it = socks.find(s);
    if (it == socks.end()) return Fail(WSAENOTSOCK);
    std::unique_ptr<Entry> e = std::move(it->second);
    socks.erase(it);
    // The watchers go before the descriptor, whose number the system reuses.
    e->readNotifier.reset();
    e->writeNotifier.reset();
    if (::close(e->fd) != 0 && errno != EINTR && errno != EINPROGRESS) return FailErrno();
    return 0;
}

int setsockopt(SOCKET s, int level, int optname, const char* optval, int optlen) {
    Entry* e = Find(s);
    if (!e) return Fail(WSAENOTSOCK);
    if (!optval || optlen < 0) return Fail(WSAEFAULT);
    auto intValue = [&](int& out) {
        if (optlen >= static_cast<int>(sizeof(int))) {
            std::memcpy(&out, optval, sizeof out);
        } else if (optlen >= 1) {
            out = static_cast<unsigned char>(optval[0]);
        } else {
            return false;
        }
        return true;
    };
    int value = 0;
    if (level == lib::SolSocket) {
        int name;
        switch (optname) {
            case lib::SoReuseAddr: name = SO_REUSEADDR; break;
            case lib::SoKeepAlive: name = SO_KEEPALIVE; break;
            case lib::SoBroadcast: name = SO_BROADCAST; break;
            case lib::SoSndBuf: name = SO_SNDBUF; break;
            case lib::SoRcvBuf: name = SO_RCVBUF; break;
            case lib::SoLinger: {
                if (optlen < static_cast<int>(sizeof(WSock::linger))) return Fail(WSAEFAULT);
                WSock::linger l;
                std::memcpy(&l, optval, sizeof l);
                ::linger sl{l.l_onoff ? 1 : 0, l.l_linger};
                if (::setsockopt(e->fd, SOL_SOCKET, SO_LINGER, &sl, sizeof sl) != 0) return FailErrno();
                return 0;
            }
            default: return Fail(WSAENOPROTOOPT);
        }
        if (!intValue(value)) return Fail(WSAEFAULT);
        if (name != SO_SNDBUF && name != SO_RCVBUF) value = value ? 1 : 0;
        if (::setsockopt(e->fd, SOL_SOCKET, name, &value, sizeof value) != 0) return FailErrno();
        return 0;
    }
    if (level == lib::IpprotoTcp) {
        int name;
        switch (optname) {
            case lib::TcpNoDelay: name = TCP_NODELAY; break;
            case lib::TcpKeepIdle: name = TCP_KEEPIDLE; break;
            case lib::TcpKeepIntvl: name = TCP_KEEPINTVL; break;
            case lib::TcpKeepCnt: name = TCP_KEEPCNT; break;
            default: return Fail(WSAENOPROTOOPT);
        }
        if (!intValue(value)) return Fail(WSAEFAULT);
        if (name == TCP_NODELAY) value = value ? 1 : 0;
        if (::setsockopt(e->fd, IPPROTO_TCP, name, &value, sizeof value) != 0) return FailErrno();
        return 0;
    }
    if (level == lib::IpprotoIp) {
        switch (optname) {
            case lib::IpMulticastTtl:
            case lib::IpMulticastLoop: {
                if (!intValue(value)) return Fail(WSAEFAULT);
                int name = optname == lib::IpMulticastTtl ? IP_MULTICAST_TTL : IP_MULTICAST_LOOP;
                if (::setsockopt(e->fd, IPPROTO_IP, name, &value, sizeof value) != 0) return FailErrno();
                return 0;
            }
            case lib::IpMulticastIf: {
                if (optlen < 4) return Fail(WSAEFAULT);
                ::in_addr a;
                std::memcpy(&a.s_addr, optval, 4);
                if (::setsockopt(e->fd, IPPROTO_IP, IP_MULTICAST_IF, &a, sizeof a) != 0) return FailErrno();
                return 0;
            }
            case lib::IpAddMembership:
            case lib::IpDropMembership: {
                if (optlen < 8) return Fail(WSAEFAULT);
                ::ip_mreq m;
                std::memcpy(&m.imr_multiaddr.s_addr, optval, 4);
                std::memcpy(&m.imr_interface.s_addr, optval + 4, 4);
                int name = optname == lib::IpAddMembership ? IP_ADD_MEMBERSHIP : IP_DROP_MEMBERSHIP;
                if (::setsockopt(e->fd, IPPROTO_IP, name, &m, sizeof m) != 0) return FailErrno();
                return 0;
            }
            default: return Fail(WSAENOPROTOOPT);
        }
    }
    return Fail(WSAEINVAL);
}

int getsockopt(SOCKET s, int level, int optname, char* optval, int* optlen) {
    Entry* e = Find(s);
    if (!e) return Fail(WSAENOTSOCK);
    if (!optval || !optlen) return Fail(WSAEFAULT);
    int sysLevel;
    int sysName;
    if (level == lib::SolSocket) {
        sysLevel = SOL_SOCKET;
        switch (optname) {
            case lib::SoReuseAddr: sysName = SO_REUSEADDR; break;
            case lib::SoKeepAlive: sysName = SO_KEEPALIVE; break;
            case lib::SoBroadcast: sysName = SO_BROADCAST; break;
            case lib::SoSndBuf: sysName = SO_SNDBUF; break;
            case lib::SoRcvBuf: sysName = SO_RCVBUF; break;
            case lib::SoError: sysName = SO_ERROR; break;
            case lib::SoType: sysName = SO_TYPE; break;
            case lib::SoLinger: {
                if (*optlen < static_cast<int>(sizeof(WSock::linger))) return Fail(WSAEFAULT);
                ::linger sl{};
                socklen_t len = sizeof sl;
                if (::getsockopt(e->fd, SOL_SOCKET, SO_LINGER, &sl, &len) != 0) return FailErrno();
                WSock::linger l{static_cast<u_short>(sl.l_onoff), static_cast<u_short>(sl.l_linger)};
                std::memcpy(optval, &l, sizeof l);
                *optlen = sizeof l;
                return 0;
            }
            default: return Fail(WSAENOPROTOOPT);
        }
    } else if (level == lib::IpprotoTcp) {
        sysLevel = IPPROTO_TCP;
        switch (optname) {
            case lib::TcpNoDelay: sysName = TCP_NODELAY; break;
            case lib::TcpKeepIdle: sysName = TCP_KEEPIDLE; break;
            case lib::TcpKeepIntvl: sysName = TCP_KEEPINTVL; break;
            case lib::TcpKeepCnt: sysName = TCP_KEEPCNT; break;
            default: return Fail(WSAENOPROTOOPT);
        }
    } else {
        return Fail(WSAENOPROTOOPT);
    }
    if (*optlen < static_cast<int>(sizeof(int))) return Fail(WSAEFAULT);
    int value = 0;
    socklen_t len = sizeof value;
    if (::getsockopt(e->fd, sysLevel, sysName, &value, &len) != 0) return FailErrno();
    if (sysName == SO_ERROR && sysLevel == SOL_SOCKET) value = SocketErrorFromErrno(value);
    std::memcpy(optval, &value, sizeof value);
    *optlen = sizeof value;
    return 0;
}

int ioctlsocket(SOCKET s, long cmd, u_long* argp) {
    Entry* e = Find(s);
    if (!e) return Fail(WSAENOTSOCK);
    if (!argp) return Fail(WSAEFAULT);
    if (cmd == lib::FionRead) {
        int n = 0;
        if (::ioctl(e->fd, FIONREAD, &n) != 0) return FailErrno();
        *argp = static_cast<u_long>(n < 0 ? 0 : n);
        return 0;
    }
    if (cmd == lib::FionBio) {
        int flags = ::fcntl(e->fd, F_GETFL);
        if (flags < 0) return FailErrno();
        flags = *argp ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
        if (::fcntl(e->fd, F_SETFL, flags) != 0) return FailErrno();
        return 0;
    }
    return Fail(WSAEINVAL);
}

int getsockname(SOCKET s, sockaddr* name, int* namelen) {
    Entry* e = Find(s);
    if (!e) return Fail(WSAENOTSOCK);
    if (!name || !namelen || *namelen < static_cast<int>(sizeof(WSock::sockaddr_in))) return Fail(WSAEFAULT);
    SystemAddress sa;
    sa.length = sizeof sa.storage;
    if (::getsockname(e->fd, sa.get(), &sa.length) != 0) return FailErrno();
    // An IPv6 address needs the longer record.
    if (*namelen < RecordLength(sa)) return Fail(WSAEFAULT);
    FromSystemAddress(sa, name, namelen);
    return 0;
}

int getpeername(SOCKET s, sockaddr* name, int* namelen) {
    Entry* e = Find(s);
    if (!e) return Fail(WSAENOTSOCK);
    if (!name || !namelen || *namelen < static_cast<int>(sizeof(WSock::sockaddr_in))) return Fail(WSAEFAULT);
    SystemAddress sa;
    sa.length = sizeof sa.storage;
    if (::getpeername(e->fd, sa.get(), &sa.length) != 0) return FailErrno();
    // An IPv6 address needs the longer record.
    if (*namelen < RecordLength(sa)) return Fail(WSAEFAULT);
    FromSystemAddress(sa, name, namelen);
    return 0;
}

u_long inet_addr(const char* cp) {
    if (!cp) return INADDR_NONE;
    return ::inet_addr(cp);
}

char* inet_ntoa(in_addr in) {
    thread_local char text[INET_ADDRSTRLEN];
    ::in_addr a;
    a.s_addr = in.s_addr;
    if (!::inet_ntop(AF_INET, &a, text, sizeof text)) return nullptr;
    return text;
}

int inet_pton(int family, const char* text, void* addr) {
    if (!text || !addr) return Fail(WSAEFAULT);
    if (family == lib::AfInet) return ::inet_pton(AF_INET, text, addr) == 1 ? 1 : 0;
    if (family == lib::AfInet6) return ::inet_pton(AF_INET6, text, addr) == 1 ? 1 : 0;
    return Fail(WSAEAFNOSUPPORT);
}

const char* inet_ntop(int family, const void* addr, char* buf, std::size_t size) {
    if (!addr || !buf) {
        Fail(WSAEFAULT);
        return nullptr;
    }
    int sysFamily = family == lib::AfInet ? AF_INET : family == lib::AfInet6 ? AF_INET6 : -1;
    if (sysFamily < 0) {
        Fail(WSAEAFNOSUPPORT);
        return nullptr;
    }
    if (!::inet_ntop(sysFamily, addr, buf, static_cast<socklen_t>(size))) {
        Fail(WSAEINVAL);
        return nullptr;
    }
    return buf;
}

u_short htons(u_short v) { return static_cast<u_short>((v >> 8) | (v << 8)); }
u_short ntohs(u_short v) { return htons(v); }
u_long htonl(u_long v) { return __builtin_bswap32(v); }
u_long ntohl(u_long v) { return __builtin_bswap32(v); }

hostent* gethostbyname(const char* name) {
    thread_local std::vector<char> storage;
    if (!name) {
        Fail(WSAEFAULT);
        return nullptr;
    }
    HostResult r = LookupName(name);
    if (r.error != 0) {
        Fail(r.error);
        return nullptr;
    }
    storage.assign(sizeof(hostent) + 64 + r.addrs.size() * (4 + sizeof(char*)) + r.name.size() + 1, 0);
    int error = StoreHostEntry(r, storage.data(), static_cast<int>(storage.size()));
    if (error != 0) {
        Fail(error);
        return nullptr;
    }
    size_t align = alignof(char*);
    size_t base = (align - reinterpret_cast<std::uintptr_t>(storage.data()) % align) % align;
    return reinterpret_cast<hostent*>(storage.data() + base);
}

int getaddrinfo(const char* node, const char* service, const addrinfo* hints, addrinfo** res) {
    if (!node || !res || service) return WSAEINVAL;
    *res = nullptr;
    const int family = hints ? hints->ai_family : lib::AfUnspec;
    HostResult r = LookupName(node, family != lib::AfInet);
    if (r.error != 0) return r.error;
    std::vector<HostAddress> wanted;
    for (const HostAddress& a : r.all)
        if (family == lib::AfUnspec || a.family == family) wanted.push_back(a);
    if (wanted.empty()) return WSANO_DATA;
    *res = MakeAddrInfoList(wanted);
    return 0;
}

servent* getservbyname(const char* name, const char* proto) {
    thread_local servent result;
    thread_local ::servent sys;
    thread_local char buf[4096];
    thread_local char* noAliases[1] = {nullptr};
    ::servent* found = nullptr;
    if (!name) {
        Fail(WSAEFAULT);
        return nullptr;
    }
    int rc = ::getservbyname_r(name, proto, &sys, buf, sizeof buf, &found);
    if (rc != 0 || !found) {
        Fail(rc == ERANGE ? WSAENOBUFS : WSANO_DATA);
        return nullptr;
    }
    result.s_name = found->s_name;
    result.s_aliases = found->s_aliases ? found->s_aliases : noAliases;
    result.s_port = static_cast<std::int16_t>(found->s_port);  // already network order
    result.s_proto = found->s_proto;
    return &result;
}

protoent* getprotobyname(const char* name) {
    thread_local protoent result;
    thread_local ::protoent sys;
    thread_local char buf[4096];
    thread_local char* noAliases[1] = {nullptr};
    ::protoent* found = nullptr;
    if (!name) {
        Fail(WSAEFAULT);
        return nullptr;
    }
    // TCP and UDP answer without the protocol database: their numbers are
    // fixed, the database is read anew on every call (after a search for
    // the nsswitch modules it names), and a minimal system may lack
    // /etc/protocols altogether.
    static char tcpName[] = "tcp", udpName[] = "udp";
    const bool tcp = EqualNoCaseAscii(name, "tcp");
    if (tcp || EqualNoCaseAscii(name, "udp")) {
        result.p_name = tcp ? tcpName : udpName;
        result.p_aliases = noAliases;
        result.p_proto = static_cast<std::int16_t>(tcp ? 6 : 17);
        return &result;
    }
    int rc = ::getprotobyname_r(name, &sys, buf, sizeof buf, &found);
    if (rc != 0 || !found) {
        Fail(rc == ERANGE ? WSAENOBUFS : WSANO_DATA);
        return nullptr;
    }
    result.p_name = found->p_name;
    result.p_aliases = found->p_aliases ? found->p_aliases : noAliases;
    result.p_proto = static_cast<std::int16_t>(found->p_proto);
    return &result;
}

int WSAAsyncSelect(SOCKET s, HWND wnd, UINT msg, long events) {
    Entry* e = Find(s);
    if (!e) return Fail(WSAENOTSOCK);
    if (events != 0 && !IsWindow(wnd)) return Fail(WSAEINVAL);
    e->wnd = wnd;
    e->msg = msg;
    e->events = events;
    // A new registration reports afresh what is already the case.
    e->readArmed = true;
    e->acceptArmed = true;
    e->writeArmed = true;
    Update(*e);
    return 0;
}

HANDLE WSAAsyncGetHostByName(HWND wnd, UINT msg, const char* name, char* buf, int buflen) {
    if (!name || !buf || buflen <= 0) {
        Fail(WSAEFAULT);
        return 0;
    }
    if (!IsWindow(wnd)) {
        Fail(WSAEINVAL);
        return 0;
    }
    LookupRequest req;
    req.wnd = wnd;
    req.msg = msg;
    req.name = name;
    req.buf = buf;
    req.buflen = buflen;
    return StartNameLookup(std::move(req));
}

HANDLE WSAAsyncGetAddrInfo(HWND wnd, UINT msg, const char* name, addrinfo** result) {
    if (!name || !result) {
        Fail(WSAEFAULT);
        return 0;
    }
    if (!IsWindow(wnd)) {
        Fail(WSAEINVAL);
        return 0;
    }
    *result = nullptr;
    LookupRequest req;
    req.wnd = wnd;
    req.msg = msg;
    req.name = name;
    req.allFamilies = true;
    req.result = result;
    return StartNameLookup(std::move(req));
}

HANDLE WSAAsyncGetHostByAddr(HWND wnd, UINT msg, const char* addr, int len, int type, char* buf, int buflen) {
    if (!addr || !buf || buflen <= 0 || len < 4) {
        Fail(WSAEFAULT);
        return 0;
    }
    if (type != lib::AfInet) {
        Fail(WSAEAFNOSUPPORT);
        return 0;
    }
    if (!IsWindow(wnd)) {
        Fail(WSAEINVAL);
        return 0;
    }
    LookupRequest req;
    req.wnd = wnd;
    req.msg = msg;
    req.byAddr = true;
    std::memcpy(&req.addr, addr, 4);
    req.buf = buf;
    req.buflen = buflen;
    return StartNameLookup(std::move(req));
}

int WSACancelAsyncRequest(HANDLE asyncTaskHandle) {
    int error = CancelNameLookup(asyncTaskHandle);
    return error == 0 ? 0 : Fail(error);
}

}  // namespace WSock
