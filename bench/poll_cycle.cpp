// One poll cycle over the mailboxes of a running private Dovecot, timed from
// the timer's tick to the LED decision (the LED and the sound are in-memory
// doubles, AttentiveWait and Flash are off). Run it through
// bench/poll-cycle.sh, which starts the server with 20 mailboxes and compares
// the figure with other mail checkers.
//
// Environment: VESK_DOVECOT_DIR, the fixture folder (server.env, users.txt);
// VESK_BENCH_SECURITY=1 checks the accounts over POP3S (the server started
// with dovecot.sh --tls; its authority trusted through SSL_CERT_FILE).
#include "app/Main.h"
#include "codec/Base64.h"
#include "platform/Keyboard.h"
#include "platform/Sound.h"

#include <QApplication>
#include <QDir>
#include <QTemporaryDir>
#include <benchmark/benchmark.h>

#include <algorithm>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>

namespace {

std::string g_ini;        // accounts and options without the siren
std::string g_sirenIni;   // the same with the siren on
std::string g_folder;

std::string valueOf(const std::string& file, const std::string& key) {
    std::ifstream in(file);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind(key + "=", 0) != 0) continue;
        std::string v = line.substr(key.size() + 1);
        if (!v.empty() && (v.front() == '\'' || v.front() == '"')) v = v.substr(1, v.size() - 2);
        return v;
    }
    return {};
}

bool prepare() {
    const char* dir = std::getenv("VESK_DOVECOT_DIR");
    if (!dir) {
        std::cerr << "VESK_DOVECOT_DIR is not set (run bench/poll-cycle.sh)\n";
        return false;
    }
    std::string host = valueOf(std::string(dir) + "/server.env", "VESK_POP3_HOST");
    const char* security = std::getenv("VESK_BENCH_SECURITY");
    const bool tls = security && std::string(security) == "1";
    std::string port = valueOf(std::string(dir) + "/server.env", tls ? "VESK_POP3S_PORT" : "VESK_POP3_PORT");
    std::ifstream users(std::string(dir) + "/users.txt");
    TBase64 b64;
    std::string accounts;
    int count = 0;
    std::string line;
    while (std::getline(users, line)) {
        std::istringstream s(line);
        std::string name, pass;
        std::getline(s, name, ':');
        std::getline(s, pass, ':');
        ++count;
        accounts += "[Account" + std::to_string(count) + "]\nPOPServer=" + host + "\nUserName=" + name +
                    "\nPassword=" + b64.Encode(pass) + "\nPortNumber=" + port + "\n" + (tls ? "Security=1\n" : "");
    }
    if (count == 0 || port.empty()) {
        std::cerr << "no server or users in " << dir << "\n";
        return false;
    }
    std::string common = "[AccountConfig]\nCount=" + std::to_string(count) + "\n" + accounts +
                         "[Global Parameters]\nCheckInterval=3600\nAttentiveWait=0\nFlash=0\n";
    g_ini = common + "[Siren]\nEnabled=0\n";
    g_sirenIni = common + "[Siren]\nEnabled=1\nTarget1=nobody@nowhere\nSong1=/dev/null\n";
    return true;
}

void Cycle(benchmark::State& state, bool siren) {
    TFakeKeyboardHost led;
    TFakeSoundHost sound;
    TKeyboardHost* oldLed = SetKeyboardHost(&led);
    TSoundHost* oldSound = SetSoundHost(&sound);
    std::ofstream(g_folder + "/Vesk.ini", std::ios::trunc) << (siren ? g_sirenIni : g_ini);
    auto form = std::make_unique<TfrmMain>(nullptr, g_folder + "/Vesk");
    form->tmrMainTimer(form->tmrMain);  // the first connection warms the server's caches
    int accounts = form->AccountCount;
    for (auto _ : state) {
        form->tmrMainTimer(form->tmrMain);
    }
    long long mail = 0;
    for (int p = 0; p < accounts; ++p) mail += form->GetMessageCount(p);
    state.counters["accounts"] = accounts;
    state.counters["messages"] = static_cast<double>(mail);
    state.counters["ms_per_account"] = benchmark::Counter(
        static_cast<double>(accounts) * static_cast<double>(state.iterations()),
        benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    if (siren) state.counters["from_lines"] = static_cast<double>(std::count(form->HeaderText.begin(), form->HeaderText.end(), '\n'));
    form.reset();
    SetKeyboardHost(oldLed);
    SetSoundHost(oldSound);
}

void BM_PollCycleStatOnly(benchmark::State& state) { Cycle(state, false); }
void BM_PollCycleWithSiren(benchmark::State& state) { Cycle(state, true); }

BENCHMARK(BM_PollCycleStatOnly)->Unit(benchmark::kMillisecond)->MinTime(3.0)->UseRealTime();
BENCHMARK(BM_PollCycleWithSiren)->Unit(benchmark::kMillisecond)->MinTime(3.0)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication qtApp(argc, argv);
    TApplication app;
    app.Initialize();
    app.Title = "Vesk";
    QTemporaryDir folder;
    g_folder = folder.path().toStdString();
    if (!prepare()) return 2;
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
