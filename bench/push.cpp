// Push on a private Dovecot, driven through the real main window with the
// LED as an in-memory double: how soon a delivery lights the LED, and how
// soon push works again after the server was down. Run it through
// bench/push.sh, which starts the servers and prints the figures.
//
// BM_PushLatency (and BM_PushLatencyTls over IMAPS with a pinned
// certificate): one IMAP account held open by its push watch, CheckInterval
// 600 so no timer cycle runs. Each iteration writes a message into the
// Maildir's tmp/ and renames it into new/, as a delivery agent does; its time
// runs from just before the rename to the moment the fake keyboard host sees
// the Scroll Lock LED lit (the key-down that the main window's LED decision
// sends). The LED is put out by hand before each delivery. Between
// deliveries the watch gets a second to go back to waiting. Counters: median,
// 95th percentile, lowest and highest, and how many deliveries found the
// watch not waiting. These run with AttentiveWait off, as bench_poll_cycle
// does; BM_PushLatencyAttentive keeps it at its default (on): each LED
// decision then sleeps a second before it reads the LED, as the real
// keyboard hosts do.
//
// BM_PushRecovery/OUTAGE: the account waits; the server is stopped
// (dovecot.sh stop), left down OUTAGE seconds, and started again on the same
// ports. The time runs from the IMAP port accepting connections again (a
// probe connects every 10 ms while the server starts) to the LED lit by a
// message delivered at that moment: the watch's next attempt finds it.
// Counters: the outage as it was (port closed to port open), how long the
// watch still meant to wait then (its next attempt, back-off and jitter
// included), and its failed attempts by then.
//
// Environment: VESK_DOVECOT_DIR, the plain server's fixture folder (users
// "lat" and "rec"); VESK_DOVECOT_TLS_DIR (optional), one started with --tls
// (user "lat"); VESK_BENCH_DELIVERIES (50); VESK_BENCH_OUTAGES, seconds
// ("1 5 20"); VESK_BENCH_OUTAGE_RUNS (3).
#include "app/Main.h"
#include "bench_dovecot.h"
#include "platform/Keyboard.h"

#include <QEventLoop>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <functional>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>
#include <thread>

namespace {

using TClock = std::chrono::steady_clock;

double MsBetween(TClock::time_point from, TClock::time_point to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
}

std::string g_folder;  // where the main window's INI is written

// One private Dovecot and the INI lines that reach its IMAP service.
struct TServer {
    std::string Dir;
    std::string Host;
    std::string Port;      // IMAP's (IMAPS's for the TLS server)
    std::string PopPort;   // kept for starting the server again on the same ports
    std::string Security;  // the account's lines after the port
};

std::optional<TServer> ServerOf(const char* dir, bool tls) {
    if (!dir) return std::nullopt;
    TServer server{dir, bench::ServerEnvValue(dir, "VESK_POP3_HOST"),
                   bench::ServerEnvValue(dir, tls ? "VESK_IMAPS_PORT" : "VESK_IMAP_PORT"),
                   bench::ServerEnvValue(dir, "VESK_POP3_PORT"), "Protocol=1\n"};
    if (tls) server.Security += "Security=1\nFingerprint=" + bench::ServerEnvValue(dir, "VESK_POP3_FINGERPRINT") + "\n";
    if (server.Host.empty() || server.Port.empty()) return std::nullopt;
    return server;
}

std::optional<TServer> g_plain, g_tls;

// Runs the event loop until a condition holds or a time is up; whatever may
// make it hold calls Notify.
class TWaiter {
public:
    bool Until(const std::function<bool()>& done, int ms) {
        if (done()) return true;
        QTimer limit;
        limit.setSingleShot(true);
        QObject::connect(&limit, &QTimer::timeout, &FLoop, &QEventLoop::quit);
        limit.start(ms);
        while (!done() && limit.isActive()) FLoop.exec();
        return done();
    }
    void Pause(int ms) { Until([] { return false; }, ms); }
    void Notify() {
        if (FLoop.isRunning()) FLoop.quit();
    }

private:
    QEventLoop FLoop;
};

// The LED double, stamped when it is lit and told of every LED decision (each
// one reads the LED's state). With RealPauses it sleeps through a pause as
// the real hosts do (AttentiveWait's second before the LED is read).
class TLedProbe : public TFakeKeyboardHost {
public:
    explicit TLedProbe(TWaiter& waiter) : FWaiter(waiter) {}
    void Pause(DWORD milliseconds) override {
        TFakeKeyboardHost::Pause(milliseconds);
        if (RealPauses) std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
    }
    SHORT KeyState(int virtKey) override {
        ++Decisions;
        FWaiter.Notify();
        return TFakeKeyboardHost::KeyState(virtKey);
    }
    void KeyEvent(BYTE vk, BYTE scan, DWORD flags, ULONG_PTR extraInfo) override {
        const bool was = Lit;
        TFakeKeyboardHost::KeyEvent(vk, scan, flags, extraInfo);
        if (!was && Lit) {
            LitAt = TClock::now();
            FWaiter.Notify();
        }
    }
    void PutOut() {
        Lit = false;
        LitAt.reset();
    }

    bool RealPauses = false;
    int Decisions = 0;
    std::optional<TClock::time_point> LitAt;

private:
    TWaiter& FWaiter;
};

// Who owns the mail, as the fixture has it: nobody when it runs as root.
void OwnAsMail(const std::string& file) {
    if (geteuid() != 0) return;
    if (const passwd* pw = getpwnam("nobody")) {
        if (chown(file.c_str(), pw->pw_uid, pw->pw_gid) != 0) std::perror(file.c_str());
    }
}

// Writes a message into USER's Maildir tmp/ and returns the time just before
// it is renamed into new/ (the delivery).
TClock::time_point Deliver(const std::string& dir, const std::string& user) {
    static int serial = 0;
    const std::string maildir = dir + "/mail/" + user + "/Maildir";
    const std::string name = std::to_string(std::time(nullptr)) + ".M" + std::to_string(++serial) + "P" +
                             std::to_string(getpid()) + ".vesk-push-" + user;
    const std::string tmp = maildir + "/tmp/" + name;
    std::ofstream(tmp) << "From: sender" << serial << "@example.org\nTo: " << user
                       << "@vesk.test\nSubject: Pushed message " << serial << "\n\nBody.\n";
    OwnAsMail(tmp);
    const TClock::time_point at = TClock::now();
    if (std::rename(tmp.c_str(), (maildir + "/new/" + name).c_str()) != 0) std::perror(tmp.c_str());
    return at;
}

bool PortOpen(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return false;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool open = connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return open;
}

// The main window with one IMAP account for USER on SERVER, its LED the
// probe; ready once the first check's LED decision was made and the watch had
// a moment to start waiting. `attentive` keeps AttentiveWait at its default
// (on), with pauses slept for real.
class TPushedWindow {
public:
    TPushedWindow(const TServer& server, const std::string& user, bool attentive = false) : Led(Waiter) {
        Led.RealPauses = attentive;
        FOldLed = SetKeyboardHost(&Led);
        bench::TUser account;
        for (const bench::TUser& u : bench::Users(server.Dir))
            if (u.Name == user) account = u;
        std::ofstream(g_folder + "/Vesk.ini", std::ios::trunc)
            << "[AccountConfig]\nCount=1\n"
            << bench::AccountSection(1, server.Host, server.Port, account, server.Security)
            << "[Global Parameters]\nCheckInterval=600\nAttentiveWait=" << (attentive ? 1 : 0)
            << "\nFlash=0\n[Siren]\nEnabled=0\n";
        Form = std::make_unique<TfrmMain>(nullptr, g_folder + "/Vesk");
        Form->StatusOutput = nullptr;
        Ready = Waiter.Until([this] { return Led.Decisions > 0; }, 15000);
        Waiter.Pause(500);
        Ready = Ready && Watch() && Watch()->State() == TPushWatch::TState::Waiting;
    }
    ~TPushedWindow() {
        Form.reset();
        SetKeyboardHost(FOldLed);
    }
    TPushWatch* Watch() const { return Form->PushWatchAt(0); }

    TWaiter Waiter;
    TLedProbe Led;
    std::unique_ptr<TfrmMain> Form;
    bool Ready = false;

private:
    TKeyboardHost* FOldLed;
};

double Percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    const std::size_t rank = static_cast<std::size_t>(std::ceil(p * static_cast<double>(v.size())));
    return v[std::min(v.size(), std::max<std::size_t>(rank, 1)) - 1];
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

void Latency(benchmark::State& state, const TServer& server, bool attentive) {
    TPushedWindow window(server, "lat", attentive);
    if (!window.Ready) return state.SkipWithError("the account did not start waiting for push");
    std::vector<double> ms;
    int notWaiting = 0, lost = 0;
    int expected = window.Form->GetMessageCount(0);
    for (auto _ : state) {
        if (window.Watch()->State() != TPushWatch::TState::Waiting) ++notWaiting;
        window.Led.PutOut();
        const TClock::time_point delivered = Deliver(server.Dir, "lat");
        ++expected;
        if (!window.Waiter.Until([&] { return window.Led.LitAt.has_value(); }, 10000)) {
            ++lost;
            state.SetIterationTime(10.0);
            continue;
        }
        const double took = MsBetween(delivered, *window.Led.LitAt);
        if (window.Form->GetMessageCount(0) != expected) ++lost;
        ms.push_back(took);
        state.SetIterationTime(took / 1000);
        window.Waiter.Pause(1000);
    }
    if (ms.empty()) return state.SkipWithError("no delivery lit the LED");
    state.counters["median_ms"] = Median(ms);
    state.counters["p95_ms"] = Percentile(ms, 0.95);
    state.counters["min_ms"] = *std::min_element(ms.begin(), ms.end());
    state.counters["max_ms"] = *std::max_element(ms.begin(), ms.end());
    state.counters["deliveries"] = static_cast<double>(ms.size());
    state.counters["not_waiting"] = notWaiting;
    state.counters["lost_or_miscounted"] = lost;
}

// Runs dovecot.sh with ARGS; the event loop runs meanwhile. Returns the
// process, started; `finished` turns true when it ends.
std::unique_ptr<QProcess> Fixture(const QStringList& args, const TServer& server, bool& finished, TWaiter& waiter) {
    auto process = std::make_unique<QProcess>();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("VESK_DOVECOT_PORT", QString::fromStdString(server.PopPort));
    env.insert("VESK_DOVECOT_IMAP_PORT", QString::fromStdString(server.Port));
    process->setProcessEnvironment(env);
    process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process->setStandardOutputFile(QProcess::nullDevice());
    finished = false;
    QObject::connect(process.get(), &QProcess::finished, [&finished, &waiter] {
        finished = true;
        waiter.Notify();
    });
    process->start(VESK_DOVECOT_SH, args);
    return process;
}

void Recovery(benchmark::State& state) {
    const TServer& server = *g_plain;
    const int outage = static_cast<int>(state.range(0));
    // The mailboxes as the fixture started them, for starting it again.
    QStringList start{"start", QString::fromStdString(server.Dir)};
    for (const bench::TUser& u : bench::Users(server.Dir))
        start << QString::fromStdString(u.Name + ":" + std::to_string(u.Count) + ":" + u.Password);
    const int port = std::stoi(server.Port);

    TPushedWindow window(server, "rec");
    if (!window.Ready) return state.SkipWithError("the account did not start waiting for push");
    TWaiter& waiter = window.Waiter;
    double outageMs = 0, waitMs = 0, failures = 0;
    bool recovered = false;
    for (auto _ : state) {
        bool stopped = false, started = false;
        auto stop = Fixture({"stop", QString::fromStdString(server.Dir)}, server, stopped, waiter);
        waiter.Until([&] { return stopped; }, 30000);
        const TClock::time_point down = TClock::now();
        waiter.Pause(outage * 1000);

        std::optional<TClock::time_point> open;
        QTimer probe;
        QObject::connect(&probe, &QTimer::timeout, [&] {
            if (open || !PortOpen(port)) return;
            open = TClock::now();
            probe.stop();
            waiter.Notify();
        });
        auto restart = Fixture(start, server, started, waiter);
        probe.start(10);
        if (!waiter.Until([&] { return open.has_value(); }, 30000)) {
            waiter.Until([&] { return started; }, 30000);
            return state.SkipWithError("the server did not come back");
        }
        TPushWatch* watch = window.Watch();
        failures = watch->Failures();
        if (watch->State() == TPushWatch::TState::Retrying)
            waitMs = std::max<qint64>(0, QDateTime::currentDateTime().msecsTo(watch->NextAttempt()));
        outageMs = MsBetween(down, *open);
        window.Led.PutOut();
        Deliver(server.Dir, "rec");
        recovered = waiter.Until([&] { return window.Led.LitAt.has_value(); }, (outage + 330) * 1000);
        waiter.Until([&] { return started; }, 30000);
        if (!recovered) return state.SkipWithError("the delivery after the restart was never reported");
        state.SetIterationTime(MsBetween(*open, *window.Led.LitAt) / 1000);
    }
    state.counters["outage_s"] = outageMs / 1000;
    state.counters["next_attempt_in_ms"] = waitMs;
    state.counters["failed_attempts"] = failures;
}

int EnvInt(const char* name, int fallback) {
    const char* v = std::getenv(name);
    return v && *v ? std::atoi(v) : fallback;
}

}  // namespace

int main(int argc, char** argv) {
    bench::TApp app(argc, argv);
    QTemporaryDir folder;
    g_folder = folder.path().toStdString();
    g_plain = ServerOf(std::getenv("VESK_DOVECOT_DIR"), false);
    g_tls = ServerOf(std::getenv("VESK_DOVECOT_TLS_DIR"), true);
    if (!g_plain) {
        std::cerr << "VESK_DOVECOT_DIR names no running fixture (run bench/push.sh)\n";
        return 2;
    }
    const int deliveries = EnvInt("VESK_BENCH_DELIVERIES", 50);
    benchmark::RegisterBenchmark("BM_PushLatency", [](benchmark::State& s) { Latency(s, *g_plain, false); })
        ->Iterations(deliveries)->UseManualTime()->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("BM_PushLatencyAttentive", [](benchmark::State& s) { Latency(s, *g_plain, true); })
        ->Iterations(deliveries)->UseManualTime()->Unit(benchmark::kMillisecond);
    if (g_tls)
        benchmark::RegisterBenchmark("BM_PushLatencyTls", [](benchmark::State& s) { Latency(s, *g_tls, false); })
            ->Iterations(deliveries)->UseManualTime()->Unit(benchmark::kMillisecond);
    const char* outages = std::getenv("VESK_BENCH_OUTAGES");
    std::istringstream list(outages ? outages : "1 5 20");
    benchmark::internal::Benchmark* recovery = nullptr;
    for (int seconds; list >> seconds;) {
        if (!recovery)
            recovery = benchmark::RegisterBenchmark("BM_PushRecovery", Recovery)
                           ->Iterations(1)->Repetitions(EnvInt("VESK_BENCH_OUTAGE_RUNS", 3))
                           ->UseManualTime()->Unit(benchmark::kMillisecond);
        recovery->Arg(seconds);
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
