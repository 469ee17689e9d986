#include "platform/Desktop.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

bool ConnectUnix(const std::string& path, bool abstract) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    size_t offset = abstract ? 1 : 0;
    if (path.size() + offset >= sizeof addr.sun_path) {
        ::close(fd);
        return false;
    }
    std::memcpy(addr.sun_path + offset, path.data(), path.size());
    socklen_t len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + offset + path.size() + (abstract ? 0 : 1));
    bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), len) == 0;
    ::close(fd);
    return ok;
}

bool ConnectTcp(const std::string& host, int port) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* res = nullptr;
    if (::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &res) != 0) return false;
    bool ok = false;
    for (addrinfo* a = res; a && !ok; a = a->ai_next) {
        int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0) continue;
        ok = ::connect(fd, a->ai_addr, a->ai_addrlen) == 0;
        ::close(fd);
    }
    ::freeaddrinfo(res);
    return ok;
}

bool XDisplayReachable(const std::string& display) {
    // [host]:number[.screen]
    size_t colon = display.rfind(':');
    if (colon == std::string::npos) return false;
    std::string host = display.substr(0, colon);
    std::string rest = display.substr(colon + 1);
    char* end = nullptr;
    long number = std::strtol(rest.c_str(), &end, 10);
    if (end == rest.c_str() || number < 0) return false;
    if (host.empty() || host == "unix") {
        std::string path = "/tmp/.X11-unix/X" + std::to_string(number);
        return ConnectUnix(path, true) || ConnectUnix(path, false);
    }
    if (host.rfind("/", 0) == 0) return ConnectUnix(host + ":" + rest, false);  // launchd-style path
    return ConnectTcp(host, 6000 + static_cast<int>(number));
}

int g_signalPipe[2] = {-1, -1};

extern "C" void OnTerminationSignal(int) {
    int saved = errno;
    char c = 1;
    if (::write(g_signalPipe[1], &c, 1) < 0) { /* the pipe is full: a request is pending already */ }
    errno = saved;
}

}  // namespace

bool DisplayReachable() {
    if (const char* wl = std::getenv("WAYLAND_DISPLAY"); wl && *wl) {
        std::string path = wl;
        if (path.front() != '/') {
            const char* runtime = std::getenv("XDG_RUNTIME_DIR");
            path = std::string(runtime ? runtime : "") + "/" + path;
        }
        if (ConnectUnix(path, false)) return true;
    }
    const char* display = std::getenv("DISPLAY");
    return display && *display && XDisplayReachable(display);
}

void EnsureRuntimeDir() {
    if (const char* dir = std::getenv("XDG_RUNTIME_DIR"); dir && *dir) return;
    std::string path = "/tmp/runtime-" + std::to_string(::getuid());
    struct stat st;
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) return;
    // Use it only when it is ours and private: never one another user made.
    if (::lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::getuid() ||
        (st.st_mode & 077) != 0)
        return;
    ::setenv("XDG_RUNTIME_DIR", path.c_str(), 1);
}

void OnTerminationRequest(std::function<void()> handler) {
    if (g_signalPipe[0] < 0) {
        if (::pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
    }
    auto* notifier = new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read, QCoreApplication::instance());
    QObject::connect(notifier, &QSocketNotifier::activated, [handler = std::move(handler)] {
        char buf[16];
        while (::read(g_signalPipe[0], buf, sizeof buf) > 0) {
        }
        handler();
    });
    struct sigaction sa {};
    sa.sa_handler = OnTerminationSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    ::sigaction(SIGTERM, &sa, nullptr);
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGHUP, &sa, nullptr);
}
