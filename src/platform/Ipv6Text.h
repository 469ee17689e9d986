// IPv6 addresses as text and as their 16 bytes, for the socket code above
// the platform layer that must tell an IPv6 literal from a host name (the
// SOCKS requests) or show an address it was given in bytes.
#pragma once

#include <array>
#include <optional>
#include <string>

using TIpv6Bytes = std::array<unsigned char, 16>;

// The address of an IPv6 literal ("2001:db8::1", also written "[2001:db8::1]"
// with one pair of brackets); nothing when the text is no IPv6 address (a
// name, an IPv4 address, a zone index, stray brackets).
std::optional<TIpv6Bytes> Ipv6FromText(const std::string& Text);

// The address in its shortest text form ("2001:db8::1", "::ffff:10.0.0.1").
std::string Ipv6Text(const TIpv6Bytes& Bytes);
