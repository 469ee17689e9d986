// The socket component against real sockets on 127.0.0.1, driven through
// the message loop.
#include "NetTestUtil.h"

#include "platform/Window.h"

#include <QTimer>
#include <gtest/gtest.h>

using namespace NetTest;
using namespace TestSupport;

namespace {

TEST(Socket, ClientEventOrderWithPeerClose) {
    TScriptedServer server(TScript().ExpectLine("HELLO").Send("WORLD\r\n").Close());
    TEventLog log;
    TWSocket s;
    log.Attach(s);
    s.OnSessionConnected = [&](TObject*, WORD e) {
        log.Events.push_back("connected " + std::to_string(e));
        s.SendText("HELLO\r\n");
    };

    s.DnsLookup("127.0.0.1");
    ASSERT_EQ(log.Joined(), "dns 0; ");  // at once for a dotted address
    EXPECT_EQ(s.DnsResult(), "127.0.0.1");
    s.SetAddr(s.DnsResult());
    s.SetProto("tcp");
    s.SetPort(server.PortText());
    s.Connect();
    EXPECT_EQ(log.Joined(), "dns 0; state closed>opened; state opened>connecting; ");
    ASSERT_TRUE(WaitFor([&] { return s.State() == wsClosed; })) << log.Joined();
    EXPECT_EQ(log.Joined(),
              "dns 0; state closed>opened; state opened>connecting; state connecting>connected; connected 0; "
              "senddata 7; sent 0; sent 0; data 0 7; closed 0 in connected; state connected>closed; ");
    EXPECT_EQ(log.Data, "WORLD\r\n");
    EXPECT_EQ(server.Received(), "HELLO\r\n");
    EXPECT_EQ(s.ReadCount(), 0) << "counters are reset by the close";
}

TEST(Socket, LocalCloseChangesStateThenReportsTheClose) {
    TScriptedServer server(TScript().DrainUntilClosed());
    TEventLog log;
    TWSocket s;
    log.Attach(s);
    ConnectTo(s, server.Port());
    ASSERT_TRUE(WaitConnected(s));
    EXPECT_EQ(s.PeerAddr(), "127.0.0.1");
    EXPECT_EQ(s.PeerPort(), server.PortText());
    EXPECT_EQ(s.LocalAddrText(), "127.0.0.1");
    EXPECT_NE(s.LocalPortText(), "error");
    log.Events.clear();
    s.Close();
    EXPECT_EQ(log.Joined(), "state connected>closed; closed 0 in closed; ");
    EXPECT_EQ(s.PeerAddr(), "error");
    EXPECT_EQ(s.LocalPortText(), "error");
    ASSERT_TRUE(WaitFor([&] { return server.Finished(); }));
    Application->ProcessMessages();
    EXPECT_EQ(log.Count("closed"), 1);
}

TEST(Socket, RefusedConnectionPassesThroughConnected) {
    TEventLog log;
    TWSocket s;
    log.Attach(s);
    ConnectTo(s, UnusedPort());
    ASSERT_TRUE(WaitFor([&] { return log.Count("closed") > 0; })) << log.Joined();
    EXPECT_EQ(log.Joined(),
              "state closed>opened; state opened>connecting; state connecting>connected; connected 10061; "
              "state connected>closed; closed 0 in closed; ");
    EXPECT_EQ(s.State(), wsClosed);
}

TEST(Socket, PeerResetReportsTheError) {
    TScriptedServer server(TScript().Gate(1).Reset());
    TEventLog log;
    TWSocket s;
    log.Attach(s);
    ConnectTo(s, server.Port());
    ASSERT_TRUE(WaitConnected(s));
    server.Open(1);
    ASSERT_TRUE(WaitFor([&] { return s.State() == wsClosed; })) << log.Joined();
    EXPECT_TRUE(log.Has("closed 10054 in connected")) << log.Joined();
    EXPECT_EQ(log.Count("closed"), 1);
}

TEST(Socket, SendWhileNotConnected) {
    TWSocket s;
    // With OnError assigned the report does not raise.
    int errors = 0;
    s.OnError = [&](TObject*) { ++errors; };
    EXPECT_EQ(s.Send("x", 1), -1);
    EXPECT_EQ(s.LastError(), 10057);
    EXPECT_EQ(errors, 1);
    // Without it, the text says what happened.
    s.OnError = nullptr;
    EXPECT_EQ(ErrorOf([&] { s.Send("x", 1); }), "Error 10057 in function Send\r\nSocket is not connected");
}

TEST(Socket, SendWhileConnectingClosesFirst) {
    // A server that never accepts keeps the connect pending? Loopback accepts
    // in the kernel, so check right after Connect, before any message runs.
    TScriptedServer server(TScript().DrainUntilClosed());
    TEventLog log;
    TWSocket s;
    log.Attach(s);
    ConnectTo(s, server.Port());
    ASSERT_EQ(s.State(), wsConnecting);
    log.Events.clear();
    EXPECT_EQ(ErrorOf([&] { s.SendText("x"); }), "Error 10057 in function Send\r\nSocket is not connected");
    EXPECT_EQ(log.Joined(), "closed 10057 in connecting; state connecting>closed; ");
    EXPECT_EQ(s.State(), wsClosed);
    EXPECT_EQ(s.HSocket(), WSock::INVALID_SOCKET);
    // Notifications still queued for the old socket are ignored.
    Application->ProcessMessages();
    EXPECT_EQ(log.Count("connected"), 0) << log.Joined();
}

TEST(Socket, ConnectAfterCloseNeedsThePortAgain) {
    TScriptedServer server(TScript().DrainUntilClosed());
    TWSocket s;
    ConnectTo(s, server.Port());
    ASSERT_TRUE(WaitConnected(s));
    s.Close();
    EXPECT_EQ(ErrorOf([&] { s.Connect(); }), "Connect: No Port Specified");
    s.SetPort(server.PortText());
    EXPECT_EQ(ErrorOf([&] { s.Connect(); }), "Connect: No IP Address Specified");
    // The same text as before counts as a new assignment after the close.
    s.SetAddr("127.0.0.1");
    s.SetProto("");
    EXPECT_EQ(ErrorOf([&] { s.Connect(); }), "Connect: No Protocol Specified");
    s.SetProto("tcp");
    s.Connect();
    EXPECT_TRUE(WaitConnected(s));
    EXPECT_EQ(ErrorOf([&] { s.Connect(); }), "Connect: Socket already in use");
}

TEST(Socket, PropertiesChangeOnlyWhileClosed) {
    TScriptedServer server(TScript().DrainUntilClosed());
    TWSocket s;
    EXPECT_EQ(s.LocalAddr(), "0.0.0.0");
    EXPECT_EQ(s.LocalPort(), "0");
    EXPECT_EQ(s.Proto(), "tcp");
    EXPECT_EQ(s.LingerOnOff(), wsLingerOn);
    EXPECT_EQ(s.State(), wsClosed);
    s.SetAddr("  127.0.0.1  ");
    EXPECT_EQ(s.Addr(), "127.0.0.1");
    s.SetLocalAddr("");
    EXPECT_EQ(s.LocalAddr(), "0.0.0.0");
    s.SetPort(server.PortText());
    s.Connect();
    ASSERT_TRUE(WaitConnected(s));
    EXPECT_EQ(ErrorOf([&] { s.SetAddr("10.0.0.1"); }), "Cannot change Addr if not closed");
    EXPECT_EQ(ErrorOf([&] { s.SetPort("1"); }), "Cannot change Port if not closed");
    EXPECT_EQ(ErrorOf([&] { s.SetProto("udp"); }), "Cannot change Proto if not closed");
    EXPECT_EQ(ErrorOf([&] { s.SetLocalAddr("127.0.0.1"); }), "Cannot change LocalAddr if not closed");
    EXPECT_EQ(ErrorOf([&] { s.SetLocalPort("0"); }), "Cannot change LocalPort if not closed");
    // The current value while assigned: no change, no state check.
    EXPECT_EQ(ErrorOf([&] { s.SetAddr("127.0.0.1"); }), "(no exception)");
    EXPECT_EQ(ErrorOf([&] { s.SetPort(server.PortText()); }), "(no exception)");
    EXPECT_EQ(ErrorOf([&] { s.SetSendFlags(static_cast<TSocketSendFlags>(7)); }), "Invalid SendFlags");
    s.SetSendFlags(wsSendUrgent);
    EXPECT_EQ(s.SendFlags(), wsSendUrgent);
}

TEST(Socket, ConnectReportsResolutionFailures) {
    TWSocket s;
    s.SetAddr("127.0.0.1");
    s.SetPort("no-such-service");
    std::string err = ErrorOf([&] { s.Connect(); });
    EXPECT_EQ(err.rfind("connect: WSocketResolvePort: Cannot convert port 'no-such-service', Error #", 0), 0u) << err;
    EXPECT_EQ(s.State(), wsClosed);
}

TEST(Socket, LocalBindAndLocalPort) {
    TScriptedServer server(TScript().DrainUntilClosed());
    TWSocket s;
    s.SetLocalAddr("127.0.0.1");
    ConnectTo(s, server.Port());
    EXPECT_NE(s.LocalPort(), "0") << "the bound port replaces 0";
    ASSERT_TRUE(WaitConnected(s));
    EXPECT_EQ(s.LocalPortText(), s.LocalPort());
    s.Close();
    EXPECT_EQ(s.LocalPort(), "0");
}

// The keepalive timing asked for is the connection's; unset, the system's
// stays (which is not ours to assert).
TEST(Socket, KeepAliveTimingReachesTheConnection) {
    TScriptedServer server(TScript().DrainUntilClosed());
    TWSocket s;
    s.KeepAliveIdle = 60;
    s.KeepAliveInterval = 15;
    s.KeepAliveProbes = 4;
    ConnectTo(s, server.Port());
    ASSERT_TRUE(WaitConnected(s));
    auto option = [&](int level, int name) {
        int value = -1;
        int size = sizeof value;
        EXPECT_EQ(WSock::getsockopt(s.HSocket(), level, name, reinterpret_cast<char*>(&value), &size), 0);
        return value;
    };
    EXPECT_NE(option(WSock::SOL_SOCKET, WSock::SO_KEEPALIVE), 0);
    EXPECT_EQ(option(WSock::IPPROTO_TCP, WSock::TCP_KEEPIDLE), 60);
    EXPECT_EQ(option(WSock::IPPROTO_TCP, WSock::TCP_KEEPINTVL), 15);
    EXPECT_EQ(option(WSock::IPPROTO_TCP, WSock::TCP_KEEPCNT), 4);
    s.Close();
}

TEST(Socket, DnsLookupOfANameCompletesFromTheMessageLoop) {
    TEventLog log;
    TWSocket s;
    log.Attach(s);
    s.DnsLookup("localhost");
    EXPECT_EQ(log.Count("dns"), 0) << "a name lookup completes later";
    ASSERT_TRUE(WaitFor([&] { return log.Count("dns") == 1; }));
    EXPECT_EQ(log.Joined(), "dns 0; ");
    EXPECT_EQ(s.DnsResult(), "127.0.0.1");
    ASSERT_FALSE(s.DnsResultList().empty());
    EXPECT_EQ(s.DnsResultList().front(), "127.0.0.1");
}

TEST(Socket, DnsLookupOfAnUnknownNameFailsWithHostNotFound) {
    // A name with an empty label: the resolver refuses it without asking any
    // name server, so the test stays on this machine.
    TEventLog log;
    TWSocket s;
    log.Attach(s);
    s.DnsLookup("no..such.host");
    ASSERT_TRUE(WaitFor([&] { return log.Count("dns") == 1; }, 15000));
    EXPECT_EQ(log.Joined(), "dns 11001; ");
    EXPECT_EQ(s.DnsResult(), "");
    EXPECT_TRUE(s.DnsResultList().empty());
}

TEST(Socket, CancelLookupReportsInterruptedAndDropsTheResult) {
    TEventLog log;
    TWSocket s;
    log.Attach(s);
    s.DnsLookup("localhost");
    s.CancelLookup();
    EXPECT_EQ(log.Joined(), "dns 10004; ");
    s.CancelLookup();  // nothing pending: nothing happens
    EXPECT_EQ(log.Count("dns"), 1);
    // The lookups run in order; when this one is done, the cancelled one is too.
    s.DnsLookup("localhost");
    ASSERT_TRUE(WaitFor([&] { return log.Count("dns") == 2; }));
    Application->ProcessMessages();
    EXPECT_EQ(log.Joined(), "dns 10004; dns 0; ");
}

TEST(Socket, ANewLookupReplacesAPendingOneSilently) {
    TEventLog log;
    TWSocket s;
    log.Attach(s);
    s.DnsLookup("no..such.host");
    s.DnsLookup("localhost");
    ASSERT_TRUE(WaitFor([&] { return log.Count("dns") == 1; }, 15000));
    Application->ProcessMessages();
    EXPECT_EQ(log.Joined(), "dns 0; ");
    EXPECT_EQ(s.DnsResult(), "127.0.0.1");
}

TEST(Socket, DnsLookupOfNothingIsAnError) {
    TEventLog log;
    TWSocket s;
    log.Attach(s);
    EXPECT_EQ(ErrorOf([&] { s.DnsLookup(""); }), "DNS lookup: invalid host name.");
    s.OnError = [](TObject*) {};
    s.DnsLookup("");
    EXPECT_EQ(log.Joined(), "dns 10022; ");
}

TEST(Socket, ReverseLookupOfLoopback) {
    TEventLog log;
    TWSocket s;
    log.Attach(s);
    s.ReverseDnsLookup("127.0.0.1");
    ASSERT_TRUE(WaitFor([&] { return log.Count("dns") == 1; }, 15000));
    EXPECT_EQ(log.Joined(), "dns 0; ");
    EXPECT_FALSE(s.DnsResult().empty());
    ASSERT_EQ(s.DnsResultList().size(), 1u);
    EXPECT_EQ(s.DnsResultList()[0], s.DnsResult());
    EXPECT_EQ(ErrorOf([&] { s.ReverseDnsLookup(""); }), "ReverseDnsLookup: Invalid host name.");
}

TEST(Socket, ALookupReplyWithoutAPendingLookupIsKeptAndThenIgnored) {
    TEventLog log;
    TWSocket s;
    log.Attach(s);
    // A reply that arrives while no lookup handle is known yet is stashed;
    // it belongs to no later lookup, so it never completes one.
    SendMessageA(s.Handle(), WM_ASYNCGETHOSTBYNAME, 987654, 0);
    EXPECT_EQ(log.Count("dns"), 0);
    s.DnsLookup("localhost");
    ASSERT_TRUE(WaitFor([&] { return log.Count("dns") == 1; }));
    EXPECT_EQ(log.Joined(), "dns 0; ");
}

TEST(Socket, DataWithoutAHandlerIsDiscarded) {
    TScriptedServer server(TScript().Send(std::string(5000, 'x')).Gate(1).Send("tail").Close());
    TEventLog log;
    TTestSocket s;
    log.Attach(s);
    s.OnDataAvailable = nullptr;
    ConnectTo(s, server.Port());
    ASSERT_TRUE(WaitConnected(s));
    // The 5000 bytes are read and dropped, in reads of at most 1024 bytes,
    // and not counted as read by the application.
    ASSERT_TRUE(WaitFor([&] { return s.RawBytes == 5000; }));
    EXPECT_EQ(s.ReadCount(), 0);
    EXPECT_EQ(s.RcvdCount(), 0);
    // Now a handler sees only what comes after.
    log.Attach(s);
    server.Open(1);
    ASSERT_TRUE(WaitFor([&] { return s.State() == wsClosed; }));
    EXPECT_EQ(log.Data, "tail");
}

TEST(Socket, AHandlerThatDoesNotReadDoesNotHangTheLoop) {
    TScriptedServer server(TScript().Send("12345").Gate(1).Close());
    TWSocket s;
    int calls = 0;
    s.OnDataAvailable = [&](TObject*, WORD) { ++calls; };
    ConnectTo(s, server.Port());
    ASSERT_TRUE(WaitFor([&] { return calls > 0; }));
    Application->ProcessMessages();
    EXPECT_EQ(s.RcvdCount(), 5);
    // Reading re-arms the notification; the rest comes in the next event.
    char buf[8];
    EXPECT_EQ(s.Receive(buf, 2), 2);
    int before = calls;
    ASSERT_TRUE(WaitFor([&] { return calls > before; }));
    std::string rest;
    s.OnDataAvailable = [&](TObject*, WORD) { rest += s.ReceiveText(); };
    server.Open(1);
    // The close is seen once the bytes before it are read.
    EXPECT_EQ(s.Receive(buf, 3), 3);
    EXPECT_EQ(std::string(buf, 3), "345");
    ASSERT_TRUE(WaitFor([&] { return s.State() == wsClosed; }));
    EXPECT_EQ(rest, "");
}

TEST(Socket, PauseHoldsEventsUntilResume) {
    TScriptedServer server(TScript().Gate(1).Send("later").DrainUntilClosed());
    TEventLog log;
    TWSocket s;
    log.Attach(s);
    ConnectTo(s, server.Port());
    ASSERT_TRUE(WaitConnected(s));
    s.Pause();
    server.Open(1);
    ASSERT_TRUE(WaitFor([&] { return s.RcvdCount() == 5; }));
    Application->ProcessMessages();
    EXPECT_EQ(log.Data, "");
    s.Resume();
    ASSERT_TRUE(WaitFor([&] { return log.Data == "later"; }));
}

TEST(Socket, ExceptionInAHandlerAbortsTheConnection) {
    TScriptedServer server(TScript().DrainUntilClosed());
    TEventLog log;
    TWSocket s;
    log.Attach(s);
    s.OnSessionConnected = [](TObject*, WORD) { throw ESocketException("handler failed"); };
    std::string seen;
    s.OnBgException = [&](TObject*, const std::exception& e, bool&) { seen = e.what(); };
    ConnectTo(s, server.Port());
    ASSERT_TRUE(WaitFor([&] { return s.State() == wsClosed; })) << log.Joined();
    EXPECT_EQ(seen, "handler failed");
    ASSERT_TRUE(WaitFor([&] { return server.Finished(); }));
}

TEST(Socket, BackgroundExceptionMayKeepTheConnection) {
    TScriptedServer server(TScript().DrainUntilClosed());
    TWSocket s;
    int seen = 0;
    s.OnBgException = [&](TObject*, const std::exception& e, bool& CanClose) {
        EXPECT_STREQ(e.what(), "Test exception in WSocket");
        ++seen;
        CanClose = false;
    };
    ConnectTo(s, server.Port());
    ASSERT_TRUE(WaitConnected(s));
    PostMessageA(s.Handle(), WM_TRIGGER_EXCEPTION, 0, 0);
    ASSERT_TRUE(WaitFor([&] { return seen == 1; }));
    EXPECT_EQ(s.State(), wsConnected);
    s.OnBgException = nullptr;
    PostMessageA(s.Handle(), WM_TRIGGER_EXCEPTION, 0, 0);
    ASSERT_TRUE(WaitFor([&] { return s.State() == wsClosed; }));
}

TEST(Socket, CloseLaterAndAbort) {
    TScriptedServer server(TScript().DrainUntilClosed());
    TEventLog log;
    TWSocket s;
    log.Attach(s);
    ConnectTo(s, server.Port());
    ASSERT_TRUE(WaitConnected(s));
    s.CloseLater();
    EXPECT_EQ(s.State(), wsConnected);
    ASSERT_TRUE(WaitFor([&] { return s.State() == wsClosed; }));
    EXPECT_EQ(log.Count("closed 0"), 1);

    TScriptedServer server2(TScript().DrainUntilClosed());
    ConnectTo(s, server2.Port());
    ASSERT_TRUE(WaitConnected(s));
    s.SendText("pending");
    s.Abort();
    EXPECT_EQ(s.State(), wsClosed);
    ASSERT_TRUE(WaitFor([&] { return server2.Finished(); }));
}

TEST(Socket, FreeLaterDestroysTheComponentFromTheLoop) {
    int before = WSocketGCount();
    auto* s = new TWSocket;
    EXPECT_EQ(WSocketGCount(), before + 1);
    HWND wnd = s->Handle();
    s->FreeLater();
    EXPECT_TRUE(IsWindow(wnd));
    ASSERT_TRUE(WaitFor([&] { return !IsWindow(wnd); }));
    EXPECT_EQ(WSocketGCount(), before);
}

TEST(Socket, IdleConnectionCausesNoWakeups) {
    TScriptedServer server(TScript().DrainUntilClosed());
    TEventLog log;
    TWSocket s;
    log.Attach(s);
    ConnectTo(s, server.Port());
    ASSERT_TRUE(WaitConnected(s));
    ASSERT_TRUE(WaitFor([&] { return log.Count("sent") == 1; }));
    Application->ProcessMessages();
    size_t events = log.Events.size();
    // Let the loop run through a number of timer ticks: an idle socket must
    // deliver nothing and keep no readiness watch firing.
    int ticks = 0;
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&] { ++ticks; });
    timer.start(10);
    unsigned long wakeupsBefore = WSock::ReadinessWakeups();
    ASSERT_TRUE(WaitFor([&] { return ticks >= 10; }));
    EXPECT_EQ(WSock::ReadinessWakeups(), wakeupsBefore);
    EXPECT_EQ(log.Events.size(), events);
}

TEST(Socket, FlushWaitsUntilTheQueueHasLeft) {
    std::string chunk(65536, 'f');
    TScriptedServer server(TScript().Gate(1).DrainUntilClosed(), 4096);
    TWSocket s;
    ConnectTo(s, server.Port());
    ASSERT_TRUE(WaitConnected(s));
    size_t total = 0;
    while (s.AllSent()) {
        ASSERT_LT(total, 64u << 20) << "the socket never refused data";
        s.Send(chunk.data(), static_cast<int>(chunk.size()));
        total += chunk.size();
    }
    server.Open(1);
    s.Flush();
    EXPECT_TRUE(s.AllSent());
    ASSERT_TRUE(WaitFor([&] { return server.Received().size() == total; }, 60000));
}

TEST(Socket, StreamServerAcceptsAClient) {
    TEventLog listenLog;
    TWSocket listener;
    listenLog.Attach(listener);
    listener.SetAddr("127.0.0.1");
    listener.SetPort("0");
    listener.SetProto("tcp");
    listener.Listen();
    EXPECT_EQ(listenLog.Joined(), "state closed>bound; state bound>listening; ");
    int port = std::stoi(listener.LocalPortText());
    ASSERT_GT(port, 0);

    TWSocket served;
    std::string serverGot;
    served.OnDataAvailable = [&](TObject*, WORD) {
        serverGot += served.ReceiveText();
        if (serverGot == "ping") served.SendText("pong");
    };
    listener.OnSessionAvailable = [&](TObject*, WORD e) {
        EXPECT_EQ(e, 0);
        WSock::SOCKET h = listener.Accept();
        ASSERT_NE(h, WSock::INVALID_SOCKET);
        served.Dup(h);
    };

    TEventLog clientLog;
    TWSocket client;
    clientLog.Attach(client);
    client.OnSessionConnected = [&](TObject*, WORD) { client.SendText("ping"); };
    ConnectTo(client, port);
    ASSERT_TRUE(WaitFor([&] { return clientLog.Data == "pong"; })) << clientLog.Joined();
    EXPECT_EQ(serverGot, "ping");
    EXPECT_EQ(served.State(), wsConnected);
    EXPECT_EQ(served.PeerAddr(), "127.0.0.1");
    EXPECT_EQ(served.PeerPort(), client.LocalPortText());
    EXPECT_EQ(client.PeerPort(), std::to_string(port));

    bool servedClosed = false;
    served.OnSessionClosed = [&](TObject*, WORD) { servedClosed = true; };
    client.Close();
    ASSERT_TRUE(WaitFor([&] { return servedClosed && served.State() == wsClosed; }));

    EXPECT_EQ(ErrorOf([&] { client.Accept(); }),
              "Error 10022 in function not a listening socket\r\nInvalid argument");
    listener.Close();
    EXPECT_EQ(listener.State(), wsClosed);
}

TEST(Socket, ListenNeedsPortProtocolAndAddress) {
    TWSocket s;
    s.SetAddr("127.0.0.1");
    EXPECT_EQ(ErrorOf([&] { s.Listen(); }), "Error 10022 in function listen: port not assigned\r\nInvalid argument");
    s.SetPort("0");
    s.SetProto("");
    EXPECT_EQ(ErrorOf([&] { s.Listen(); }),
              "Error 10022 in function listen: protocol not assigned\r\nInvalid argument");
    s.SetProto("tcp");
    s.SetAddr("");
    EXPECT_EQ(ErrorOf([&] { s.Listen(); }), "Error 10022 in function listen: address not assigned\r\nInvalid argument");
    EXPECT_EQ(s.State(), wsClosed);
}

TEST(Socket, ListenOnAPortInUseFailsAndLeavesNothingOpen) {
    TWSocket first;
    first.SetAddr("127.0.0.1");
    first.SetPort("0");
    first.Listen();
    TWSocket second;
    second.SetAddr("127.0.0.1");
    second.SetPort(first.LocalPortText());
    EXPECT_EQ(ErrorOf([&] { second.Listen(); }), "Error 10048 in function Bind\r\nAddress already in use");
    EXPECT_EQ(second.State(), wsClosed);
    EXPECT_EQ(second.HSocket(), WSock::INVALID_SOCKET);
}

TEST(Socket, DatagramExchange) {
    TEventLog rlog;
    TWSocket receiver;
    rlog.Attach(receiver);
    receiver.SetAddr("127.0.0.1");
    receiver.SetPort("0");
    receiver.SetProto("udp");
    receiver.Listen();
    EXPECT_EQ(rlog.Joined(), "state closed>bound; state bound>listening; state listening>connected; connected 0; ");
    std::string port = receiver.LocalPortText();

    std::string got;
    WSock::sockaddr_in from{};
    receiver.OnDataAvailable = [&](TObject*, WORD) {
        char buf[1500];
        int len = sizeof from;
        int n = receiver.ReceiveFrom(buf, sizeof buf, from, len);
        if (n > 0) {
            got.assign(buf, static_cast<size_t>(n));
            receiver.SendTo(from, len, "reply", 5);
        }
    };

    TEventLog slog;
    TWSocket sender;
    slog.Attach(sender);
    sender.SetAddr("127.0.0.1");
    sender.SetPort(port);
    sender.SetProto("udp");
    sender.Connect();
    EXPECT_EQ(sender.State(), wsConnected);
    EXPECT_TRUE(slog.Has("connected 0"));
    EXPECT_EQ(sender.SendText("datagram one"), 12);
    ASSERT_TRUE(WaitFor([&] { return got == "datagram one"; }));
    EXPECT_EQ(WSock::ntohs(from.sin_port), std::stoi(sender.LocalPortText()));
    ASSERT_TRUE(WaitFor([&] { return slog.Data == "reply"; })) << slog.Joined();
    sender.Close();
    receiver.Close();
}

}  // namespace

namespace {

TEST(Socket, DatagramToTheBroadcastAddressEnablesBroadcast) {
    // Only the option is checked: nothing is sent off the loopback.
    TWSocket s;
    s.SetAddr("255.255.255.255");
    s.SetPort("9");
    s.SetProto("udp");
    s.Connect();
    ASSERT_EQ(s.State(), wsConnected);
    int value = 0;
    int len = sizeof value;
    ASSERT_EQ(WSock::getsockopt(s.HSocket(), WSock::SOL_SOCKET, WSock::SO_BROADCAST, reinterpret_cast<char*>(&value),
                                &len),
              0);
    EXPECT_NE(value, 0);
    s.Close();
}

}  // namespace
