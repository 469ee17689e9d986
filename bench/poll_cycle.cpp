// One poll cycle over the mailboxes of a running private Dovecot, timed from
// the timer's tick to the LED decision (the LED and the sound are in-memory
// doubles, AttentiveWait and Flash are off). Run it through
// bench/poll-cycle.sh, which starts the server with 20 mailboxes and compares
// the figure with other mail checkers.
//
// Environment: VESK_DOVECOT_DIR, the fixture folder (server.env, users.txt);
// VESK_BENCH_SECURITY=1 checks the accounts over POP3S (the server started
// with dovecot.sh --tls; its authority trusted through SSL_CERT_FILE).
//
// With the siren on, the first cycle reads every From line by TOP (at most
// 1,000 per account) and keeps them in the From cache; the later cycles ask
// UIDL and send TOP only for mail not seen before. BM_PollCycleWithSiren times
// the later cycles, BM_PollCycleSirenFirst the first one (the cache emptied
// before each), with the TOPs sent per cycle and the most sent to one
// account. BM_FromCacheFill20x1000 fills a cache of 20 accounts x 1,000
// entries shaped like the test server's (Maildir file names as ids, the
// generated From lines) and reports the heap it holds.
#include "app/Main.h"
#include "bench_dovecot.h"
#include "platform/Keyboard.h"
#include "platform/Sound.h"

#include <QDir>
#include <QTemporaryDir>
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <memory>
#include <new>

// Heap bytes in use, counted by the replaced operator new and delete below:
// each block carries its size in front of it.
std::atomic<long long> g_heapBytes{0};
constexpr std::size_t kSizeHeader = alignof(std::max_align_t);

void* operator new(std::size_t size) {
    auto* block = static_cast<unsigned char*>(std::malloc(size + kSizeHeader));
    if (!block) throw std::bad_alloc();
    *reinterpret_cast<std::size_t*>(block) = size;
    g_heapBytes += static_cast<long long>(size);
    return block + kSizeHeader;
}

void operator delete(void* p) noexcept {
    if (!p) return;
    auto* block = static_cast<unsigned char*>(p) - kSizeHeader;
    g_heapBytes -= static_cast<long long>(*reinterpret_cast<std::size_t*>(block));
    std::free(block);
}

void operator delete(void* p, std::size_t) noexcept { operator delete(p); }

namespace {

std::string g_ini;        // accounts and options without the siren
std::string g_sirenIni;   // the same with the siren on
std::string g_folder;

bool prepare() {
    const char* dir = std::getenv("VESK_DOVECOT_DIR");
    if (!dir) {
        std::cerr << "VESK_DOVECOT_DIR is not set (run bench/poll-cycle.sh)\n";
        return false;
    }
    std::string host = bench::ServerEnvValue(dir, "VESK_POP3_HOST");
    const char* security = std::getenv("VESK_BENCH_SECURITY");
    const bool tls = security && std::string(security) == "1";
    std::string port = bench::ServerEnvValue(dir, tls ? "VESK_POP3S_PORT" : "VESK_POP3_PORT");
    std::string accounts;
    int count = 0;
    for (const bench::TUser& user : bench::Users(dir))
        accounts += bench::AccountSection(++count, host, port, user, tls ? "Security=1\n" : "");
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

// The TOPs the client sends, by account (a login starts the next account).
struct TTopCount {
    std::vector<long long> byAccount;
    void Hook(TSyncPop3Cli* client) {
        client->OnDisplay = [this](TObject*, const std::string& line) {
            if (line.rfind("> USER ", 0) == 0 || line.rfind("> APOP ", 0) == 0) byAccount.push_back(0);
            if (line.rfind("> TOP ", 0) == 0 && !byAccount.empty()) ++byAccount.back();
        };
    }
    long long Total() const {
        long long total = 0;
        for (long long n : byAccount) total += n;
        return total;
    }
    long long Most() const { return byAccount.empty() ? 0 : *std::max_element(byAccount.begin(), byAccount.end()); }
};

// Which cycles of the siren-on runs are timed.
enum class TCycles { All, Later, First };

void Cycle(benchmark::State& state, bool siren, TCycles timed = TCycles::All) {
    TFakeKeyboardHost led;
    TFakeSoundHost sound;
    TKeyboardHost* oldLed = SetKeyboardHost(&led);
    TSoundHost* oldSound = SetSoundHost(&sound);
    std::ofstream(g_folder + "/Vesk.ini", std::ios::trunc) << (siren ? g_sirenIni : g_ini);
    auto form = std::make_unique<TfrmMain>(nullptr, g_folder + "/Vesk");
    form->tmrMainTimer(form->tmrMain);  // the first connection warms the server's caches
    int accounts = form->AccountCount;
    TTopCount tops;
    tops.Hook(form->pop3Main);
    long long sent = 0, most = 0;
    for (auto _ : state) {
        if (timed == TCycles::First) {
            state.PauseTiming();
            form->FromCache.Clear();
            state.ResumeTiming();
        }
        tops.byAccount.clear();
        form->tmrMainTimer(form->tmrMain);
        sent += tops.Total();
        most = std::max(most, tops.Most());
    }
    if (siren) {
        state.counters["tops_per_cycle"] =
            static_cast<double>(sent) / static_cast<double>(std::max<benchmark::IterationCount>(state.iterations(), 1));
        state.counters["most_tops_one_account"] = static_cast<double>(most);
    }
    long long mail = 0;
    for (int p = 0; p < accounts; ++p) mail += form->GetMessageCount(p);
    state.counters["accounts"] = accounts;
    state.counters["messages"] = static_cast<double>(mail);
    state.counters["ms_per_account"] = benchmark::Counter(
        static_cast<double>(accounts) * static_cast<double>(state.iterations()),
        benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    if (siren) state.counters["from_lines"] = static_cast<double>(std::count(form->FromLines.begin(), form->FromLines.end(), '\n'));
    form.reset();
    SetKeyboardHost(oldLed);
    SetSoundHost(oldSound);
}

void BM_PollCycleStatOnly(benchmark::State& state) { Cycle(state, false); }
void BM_PollCycleWithSiren(benchmark::State& state) { Cycle(state, true, TCycles::Later); }
void BM_PollCycleSirenFirst(benchmark::State& state) { Cycle(state, true, TCycles::First); }

// A From value as the test server's generator writes message n's (the first
// physical line of it).
std::string GeneratedFrom(int n) {
    switch ((n - 1) % 5) {
        case 0: return " sender" + std::to_string(n) + "@example.org";
        case 1: return " Sender Number " + std::to_string(n) + " <sender" + std::to_string(n) + "@example.org>";
        case 2: return " =?UTF-8?B?6YCB5L+h6ICFMTIz?= <sender" + std::to_string(n) + "@example.jp>";
        case 3: return " \"Folded Sender " + std::to_string(n) + "\"";
        default: return "";
    }
}

void BM_FromCacheFill20x1000(benchmark::State& state) {
    constexpr int accounts = 20;
    const int entries = static_cast<int>(TFromCache::kMaxEntries);
    long long bytes = 0;
    for (auto _ : state) {
        const long long before = g_heapBytes;
        auto cache = std::make_unique<TFromCache>();
        for (int p = 0; p < accounts; ++p) {
            const std::string user = "box" + std::to_string(p + 1);
            cache->Bind(p, "127.0.0.1", "1100", user);
            for (int n = 1; n <= entries; ++n) {
                char id[96];
                std::snprintf(id, sizeof id, "%d.M%06dP%d.vesk-%s", 1780000000 + n, n, 4242, user.c_str());
                cache->Store(p, id, GeneratedFrom(n));
            }
        }
        bytes = g_heapBytes - before;
        benchmark::DoNotOptimize(cache.get());
    }
    state.counters["entries"] = accounts * entries;
    state.counters["heap_bytes"] = static_cast<double>(bytes);
    state.counters["bytes_per_entry"] = static_cast<double>(bytes) / (accounts * entries);
}

BENCHMARK(BM_PollCycleStatOnly)->Unit(benchmark::kMillisecond)->MinTime(3.0)->UseRealTime();
BENCHMARK(BM_PollCycleWithSiren)->Unit(benchmark::kMillisecond)->MinTime(3.0)->UseRealTime();
BENCHMARK(BM_PollCycleSirenFirst)->Unit(benchmark::kMillisecond)->MinTime(3.0)->UseRealTime();
BENCHMARK(BM_FromCacheFill20x1000)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    bench::TApp app(argc, argv);
    QTemporaryDir folder;
    g_folder = folder.path().toStdString();
    if (!prepare()) return 2;
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
