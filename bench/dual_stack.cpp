// Time to a checked POP3 account (connect, USER, PASS, STAT, QUIT) on a name
// with an IPv6 and an IPv4 address, the server listening on 127.0.0.1:
//   healthy: the IPv6 address refuses at once (the IPv4 attempt starts then);
//   blackhole: the IPv6 address drops connection requests (a listener on
//     [::1] whose queue is full), so IPv4 starts when the 250 ms stagger ends.
// The goal: the black-holed case within 300 ms of the healthy one.
// The name comes from the platform's test host table.
#include "framework/Application.h"
#include "net/WSocket.h"
#include "pop3/Pop3Prot.h"

#include <QApplication>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <benchmark/benchmark.h>

#include <chrono>
#include <memory>
#include <vector>

namespace {

// A minimal POP3 server on 127.0.0.1 that says yes to everything.
struct TYesServer {
    QTcpServer server;
    TYesServer() {
        server.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&server, &QTcpServer::newConnection, [this] {
            while (QTcpSocket* s = server.nextPendingConnection()) {
                s->write("+OK ready\r\n");
                QObject::connect(s, &QTcpSocket::readyRead, s, [s] {
                    while (s->canReadLine()) {
                        const QByteArray line = s->readLine().trimmed().toUpper();
                        if (line.startsWith("STAT")) s->write("+OK 1 100\r\n");
                        else if (line.startsWith("QUIT")) { s->write("+OK bye\r\n"); s->disconnectFromHost(); }
                        else s->write("+OK\r\n");
                    }
                });
                QObject::connect(s, &QTcpSocket::disconnected, s, &QObject::deleteLater);
            }
        });
    }
};

// [::1]:port with a full queue: requests there are dropped.
struct TBlackHole {
    WSock::SOCKET listener;
    std::vector<WSock::SOCKET> fillers;
    explicit TBlackHole(int port) {
        TSocketAddress a;
        ParseAddressLiteral("::1", a);
        a.SetPort(WSock::htons(static_cast<WSock::u_short>(port)));
        listener = WSock::socket(WSock::AF_INET6, WSock::SOCK_STREAM, 0);
        WSock::bind(listener, a.Sockaddr(), a.Length);
        WSock::listen(listener, 0);
        for (int i = 0; i < 3; ++i) {
            fillers.push_back(WSock::socket(WSock::AF_INET6, WSock::SOCK_STREAM, 0));
            WSock::connect(fillers.back(), a.Sockaddr(), a.Length);
        }
        Application->ProcessMessages();
    }
    ~TBlackHole() {
        for (WSock::SOCKET f : fillers) WSock::closesocket(f);
        WSock::closesocket(listener);
    }
};

void BM_CheckOverDualStackName(benchmark::State& state) {
    const bool blackhole = state.range(0) != 0;
    TYesServer yes;
    const int port = yes.server.serverPort();
    std::unique_ptr<TBlackHole> hole;
    if (blackhole) hole = std::make_unique<TBlackHole>(port);
    WSock::SetTestHosts({{"dual.bench", {"::1", "127.0.0.1"}}});
    double wallMs = 0;
    for (auto _ : state) {
        TSyncPop3Cli cli;
        cli.Host = "dual.bench";
        cli.Port = std::to_string(port);
        cli.UserName = "u";
        cli.PassWord = "p";
        cli.Timeout = 15000;
        auto t0 = std::chrono::steady_clock::now();
        bool ok = cli.ConnectWait() && cli.UserWait() && cli.PassWait() && cli.StatWait() && cli.QuitWait();
        wallMs += std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
        if (!ok) state.SkipWithError(cli.ErrorMessage().c_str());
    }
    WSock::SetTestHosts({});
    state.counters["wall_ms"] = wallMs / static_cast<double>(state.iterations());
    state.SetLabel(blackhole ? "IPv6 black-holed" : "IPv6 refused");
}
BENCHMARK(BM_CheckOverDualStackName)->Arg(0)->Arg(1)->Iterations(10)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication qtApp(argc, argv);
    TApplication app;
    app.Initialize();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
