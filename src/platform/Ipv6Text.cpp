#include "platform/Ipv6Text.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>

std::optional<TIpv6Bytes> Ipv6FromText(const std::string& Text) {
    std::string literal = Text;
    if (literal.size() >= 2 && literal.front() == '[' && literal.back() == ']')
        literal = literal.substr(1, literal.size() - 2);
    // inet_pton reads up to the first zero byte: one inside the text would
    // make a longer text pass as the address before it.
    if (literal.find('\0') != std::string::npos) return std::nullopt;
    in6_addr addr{};
    if (inet_pton(AF_INET6, literal.c_str(), &addr) != 1) return std::nullopt;
    TIpv6Bytes bytes;
    std::memcpy(bytes.data(), &addr, bytes.size());
    return bytes;
}

std::string Ipv6Text(const TIpv6Bytes& Bytes) {
    in6_addr addr{};
    std::memcpy(&addr, Bytes.data(), Bytes.size());
    char text[INET6_ADDRSTRLEN] = {};
    if (inet_ntop(AF_INET6, &addr, text, sizeof text) == nullptr) return "";
    return text;
}
