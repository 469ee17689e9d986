// CPU time the POP3 client spends while it waits for a server that says
// nothing: one connect whose greeting never comes, waited for with a
// 10-second Timeout. The wait blocks in the event loop between messages, so
// the process should use well under 5% of one core during it.
//
// Counters: cpu_ms (process CPU time during the wait), wall_ms, cpu_percent
// (cpu_ms / wall_ms * 100).
#include "framework/Application.h"
#include "pop3/Pop3Prot.h"

#include <QApplication>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <benchmark/benchmark.h>

#include <chrono>
#include <ctime>
#include <vector>

namespace {

void BM_SilentServerWait(benchmark::State& state) {
    QTcpServer server;
    if (!server.listen(QHostAddress::LocalHost, 0)) {
        state.SkipWithError("cannot listen on loopback");
        return;
    }
    std::vector<QTcpSocket*> kept;
    QObject::connect(&server, &QTcpServer::newConnection, [&] {
        while (QTcpSocket* s = server.nextPendingConnection()) kept.push_back(s);  // accepted, never answered
    });

    double cpuMs = 0, wallMs = 0;
    for (auto _ : state) {
        TSyncPop3Cli cli;
        cli.Host = "127.0.0.1";
        cli.Port = std::to_string(server.serverPort());
        cli.Timeout = static_cast<int>(state.range(0));
        std::clock_t cpu0 = std::clock();
        auto wall0 = std::chrono::steady_clock::now();
        bool ok = cli.ConnectWait();
        std::clock_t cpu1 = std::clock();
        auto wall1 = std::chrono::steady_clock::now();
        if (ok || cli.ErrorMessage() != "426 Timeout") state.SkipWithError("the wait did not time out");
        cpuMs += 1000.0 * static_cast<double>(cpu1 - cpu0) / CLOCKS_PER_SEC;
        wallMs += std::chrono::duration<double, std::milli>(wall1 - wall0).count();
    }
    state.counters["cpu_ms"] = cpuMs / static_cast<double>(state.iterations());
    state.counters["wall_ms"] = wallMs / static_cast<double>(state.iterations());
    state.counters["cpu_percent"] = wallMs > 0 ? 100.0 * cpuMs / wallMs : 0;
    for (QTcpSocket* s : kept) delete s;
}
BENCHMARK(BM_SilentServerWait)->Arg(10)->Iterations(1)->Unit(benchmark::kMillisecond);

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
