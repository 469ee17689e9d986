// Host, port and protocol resolution, the dotted-address test and the
// texts of socket error numbers.
#include "NetTestUtil.h"

#include <gtest/gtest.h>

using NetTest::ErrorOf;

namespace {

TEST(Resolve, DottedAddressAcceptsFourPartsWithSurroundingBlanks) {
    EXPECT_TRUE(IsDottedAddress("1.2.3.4"));
    EXPECT_TRUE(IsDottedAddress("  1.2.3.4"));
    EXPECT_TRUE(IsDottedAddress("1.2.3.4   "));
    EXPECT_TRUE(IsDottedAddress("255.255.255.255"));
    EXPECT_TRUE(IsDottedAddress("0.0.0.0"));
}

TEST(Resolve, DottedAddressRejectsMalformedTexts) {
    for (const char* text : {"1.2.3", "1..2.3", "1.2.3.256", "1.2.3.4.5", "a.b.c.d", ".1.2.3", "1.2.3.", "256.1.1.1",
                             "1.2.3.4 x", "1.2. 3.4", "", "1.2.3.4a", "99999999999.1.1.1"})
        EXPECT_FALSE(IsDottedAddress(text)) << text;
}

TEST(Resolve, ParseLeadingNumberStopsAtFirstNonDigit) {
    EXPECT_EQ(ParseLeadingNumber("  110"), 110);
    EXPECT_EQ(ParseLeadingNumber("11x"), 11);
    EXPECT_EQ(ParseLeadingNumber("x11"), 0);
    EXPECT_EQ(ParseLeadingNumber(""), 0);
}

TEST(Resolve, PortNumbersNeedNoServiceLookup) {
    EXPECT_EQ(WSocketResolvePort("110", "tcp"), 110);
    EXPECT_EQ(WSocketResolvePort("0110", "tcp"), 110);
    EXPECT_EQ(WSocketResolvePort("11x", "tcp"), 11);
    // Only the low 16 bits are kept.
    EXPECT_EQ(WSocketResolvePort("65537", "tcp"), 1);
    // A number needs no known protocol either.
    EXPECT_EQ(WSocketResolvePort("25", "nosuchproto"), 25);
}

TEST(Resolve, PortTextLengthLimits) {
    std::string p31 = std::string(28, '0') + "110";
    ASSERT_EQ(p31.size(), 31u);
    EXPECT_EQ(WSocketResolvePort(p31, "tcp"), 110);
    EXPECT_EQ(ErrorOf([&] { WSocketResolvePort(p31 + "0", "tcp"); }), "WSocketResolvePort: Invalid Port.");
    EXPECT_EQ(ErrorOf([] { WSocketResolvePort("", "tcp"); }), "WSocketResolvePort: Invalid Port.");
    EXPECT_EQ(ErrorOf([] { WSocketResolvePort("110", ""); }), "WSocketResolvePort: Invalid Proto.");
    EXPECT_EQ(ErrorOf([] { WSocketResolvePort("110", std::string(32, 't')); }), "WSocketResolvePort: Invalid Proto.");
}

TEST(Resolve, ServiceNamesAreLookedUpForTheProtocol) {
    EXPECT_EQ(WSocketResolvePort("pop3", "tcp"), 110);
    EXPECT_EQ(WSocketResolvePort(" pop3 ", " tcp "), 110);
    std::string err = ErrorOf([] { WSocketResolvePort("no-such-service", "tcp"); });
    EXPECT_EQ(err.rfind("WSocketResolvePort: Cannot convert port 'no-such-service', Error #", 0), 0u) << err;
}

TEST(Resolve, Protocols) {
    EXPECT_EQ(WSocketResolveProto("tcp"), 6);
    EXPECT_EQ(WSocketResolveProto(" udp "), 17);
    EXPECT_EQ(WSocketResolveProto("17"), 17);
    EXPECT_EQ(WSocketResolveProto("icmp"), 1);  // from the protocol database
    EXPECT_EQ(ErrorOf([] { WSocketResolveProto(""); }), "WSocketResolveProto: Invalid Protocol.");
    EXPECT_EQ(ErrorOf([] { WSocketResolveProto(std::string(32, 'x')); }), "WSocketResolveProto: Invalid Protocol.");
    std::string err = ErrorOf([] { WSocketResolveProto("bogus"); });
    EXPECT_EQ(err.rfind("WSocketResolveProto: Cannot convert protocol 'bogus', Error #", 0), 0u) << err;
}

TEST(Resolve, Hosts) {
    EXPECT_EQ(WSocketResolveHost("127.0.0.1"), WSock::htonl(0x7f000001));
    EXPECT_EQ(WSocketResolveHost(" 10.1.2.3 "), WSock::htonl(0x0a010203));
    EXPECT_EQ(WSocketResolveHost("255.255.255.255"), 0xffffffffu);
    EXPECT_EQ(WSocketResolveHost("localhost"), WSock::htonl(0x7f000001));
    EXPECT_EQ(ErrorOf([] { WSocketResolveHost(""); }), "WSocketResolveHost: '' Invalid Hostname.");
    std::string long257(257, 'a');
    EXPECT_EQ(ErrorOf([&] { WSocketResolveHost(long257); }), "WSocketResolveHost: '" + long257 + "' Invalid Hostname.");
    // 256 characters pass the length test and go to the name lookup.
    std::string long256(256, 'a');
    std::string err = ErrorOf([&] { WSocketResolveHost(long256); });
    EXPECT_EQ(err.rfind("WSocketResolveHost: Cannot convert host address '" + long256 + "', Error #", 0), 0u) << err;
    // Not a dotted address by the test above: a name lookup that fails.
    err = ErrorOf([] { WSocketResolveHost("256.1.1.1"); });
    EXPECT_EQ(err.rfind("WSocketResolveHost: Cannot convert host address '256.1.1.1', Error #", 0), 0u) << err;
}

TEST(Resolve, ErrorTexts) {
    EXPECT_EQ(SocketErrorText(0), "No Error");
    EXPECT_EQ(SocketErrorText(10004), "Interrupted system call");
    EXPECT_EQ(SocketErrorText(10035), "Operation would block");
    EXPECT_EQ(SocketErrorText(10054), "Connection reset by peer");
    EXPECT_EQ(SocketErrorText(10057), "Socket is not connected");
    EXPECT_EQ(SocketErrorText(10058), "Can't send after socket shutdown");
    EXPECT_EQ(SocketErrorText(10061), "Connection refused");
    EXPECT_EQ(SocketErrorText(10071), "Too many levels of remote in path");
    EXPECT_EQ(SocketErrorText(10093), "WinSock not initialized");
    EXPECT_EQ(SocketErrorText(11001), "Host not found");
    EXPECT_EQ(SocketErrorText(11004), "No Data");
    EXPECT_EQ(SocketErrorText(12345), "Not a WinSock error");
    EXPECT_EQ(SocketErrorText(10072), "Not a WinSock error");
    EXPECT_EQ(SocketErrorText(-1), "Not a WinSock error");
}

TEST(Resolve, SystemErrorsMapToSocketErrorNumbers) {
    // A few values the units rely on; the table lives in the platform layer.
    EXPECT_EQ(WSock::SocketErrorFromErrno(0), 0);
    EXPECT_EQ(WSock::SocketErrorFromErrno(11 /* EAGAIN */), 10035);
    EXPECT_EQ(WSock::SocketErrorFromErrno(115 /* EINPROGRESS */), 10035);
    EXPECT_EQ(WSock::SocketErrorFromErrno(104 /* ECONNRESET */), 10054);
    EXPECT_EQ(WSock::SocketErrorFromErrno(32 /* EPIPE */), 10054);
    EXPECT_EQ(WSock::SocketErrorFromErrno(111 /* ECONNREFUSED */), 10061);
    EXPECT_EQ(WSock::SocketErrorFromErrno(110 /* ETIMEDOUT */), 10060);
    EXPECT_EQ(WSock::SocketErrorFromErrno(107 /* ENOTCONN */), 10057);
}

}  // namespace
