// Hot paths of the gateway records: rate-limit count look-ups and adds, the message
// log with a million entries, and loading a pool of a million numbers.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <charconv>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "records/msglog.h"
#include "records/msgrec.h"
#include "records/phones.h"

namespace fs = std::filesystem;
using namespace tolvane;

namespace {

struct TempDir {
    fs::path path;
    TempDir() {
        std::string tmpl = (fs::temp_directory_path() / "records_bench_XXXXXX").string();
        path = ::mkdtemp(tmpl.data());
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
};

std::string key_of(long i) {
    return "Sender" + std::to_string(i) + "@example.com";
}

// One limit per key count, loaded from a counter file written here.
struct Limit {
    TempDir dir;
    LimitRegistry registry;
    msgrecs_ptr mr;
    std::vector<std::string> keys;
    explicit Limit(long n) {
        {
            std::ofstream out(dir.path / "bench.from");
            char digits[16];
            for (long i = 0; i < n; ++i) {
                std::snprintf(digits, sizeof digits, "%010ld", i % 1000);
                out << key_of(i) << '|' << digits << '\n';
            }
        }
        Result<msgrecs_ptr> made =
            msgrec_init(registry, "bench", dir.path.string(), '|', "0", 0, 500, 500);
        if (made) mr = std::move(*made);
        // Look-ups come in another letter case, as addresses do.
        for (long i = 0; i < n; ++i) keys.push_back("sender" + std::to_string(i) + "@EXAMPLE.com");
    }
};

Limit& limit_with(long n) {
    static std::map<long, std::unique_ptr<Limit>> made;
    auto& l = made[n];
    if (!l) l = std::make_unique<Limit>(n);
    return *l;
}

// The key looked up is one the caller has just read, so it is built fresh (and hot in
// the cache) for each look-up, in another letter case, as addresses arrive.
void BM_CountLookup(benchmark::State& state) {
    Limit& l = limit_with(state.range(0));
    const long n = static_cast<long>(l.keys.size());
    std::string key;
    key.reserve(64);
    long i = 0;
    // Scattered order, so that consecutive look-ups do not share cache lines.
    const long step = 7919;
    for (auto _ : state) {
        key.assign("sender");
        char digits[24];
        auto r = std::to_chars(digits, digits + sizeof digits, i);
        key.append(digits, r.ptr);
        key.append("@EXAMPLE.com");
        benchmark::DoNotOptimize(msgrec_from_count(l.mr.get(), key));
        i = (i + step) % n;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_CountLookup)->Arg(10)->Arg(100000);

// The same look-ups over the busiest few senders only (512 keys spread over the whole
// table): the entries stay in the cache, so this shows the index's own cost, which must
// not grow with the number of keys.
void BM_CountLookupBusy(benchmark::State& state) {
    Limit& l = limit_with(state.range(0));
    const long n = static_cast<long>(l.keys.size());
    std::string key;
    key.reserve(64);
    long i = 0;
    for (auto _ : state) {
        long k = (i * 7919) % n;
        key.assign("sender");
        char digits[24];
        auto r = std::to_chars(digits, digits + sizeof digits, k);
        key.append(digits, r.ptr);
        key.append("@EXAMPLE.com");
        benchmark::DoNotOptimize(msgrec_from_count(l.mr.get(), key));
        i = (i + 1) & 511;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_CountLookupBusy)->Arg(10)->Arg(100000);

void BM_CountLookupMissing(benchmark::State& state) {
    Limit& l = limit_with(state.range(0));
    const std::string absent = "nobody-at-all@example.com";
    for (auto _ : state) benchmark::DoNotOptimize(msgrec_from_count(l.mr.get(), absent));
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_CountLookupMissing)->Arg(10)->Arg(100000);

// An add to a known key: ten digits rewritten in place in the counter file.
void BM_CountAdd(benchmark::State& state) {
    Limit& l = limit_with(state.range(0));
    std::size_t i = 0, n = l.keys.size();
    for (auto _ : state) {
        msgrec_add_from(l.mr.get(), l.keys[i], 1);
        i = (i + 7919) % n;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_CountAdd)->Arg(10)->Arg(100000);

constexpr long kLogEntries = 1000000;

std::string phone_of(long i) {
    return "+4917" + std::to_string(10000000 + i);
}

struct BigLog {
    TempDir dir;
    MessageLog log;
    std::string path;
    double load_seconds = 0;
    double baseline_seconds = 0;
    BigLog() {
        path = (dir.path / "msglog.dat").string();
        {
            std::ofstream out(path);
            for (long i = 0; i < kLogEntries; ++i)
                out << phone_of(i) << '|' << "user" << (i % 5000) << "@example.com|"
                    << 1700000000 + i << '\n';
        }
        // Processor time: the machines these run on are shared, so wall time says little.
        std::clock_t c0 = std::clock();
        (void)log.load(path, '|');
        load_seconds = static_cast<double>(std::clock() - c0) / CLOCKS_PER_SEC;
        // A yardstick from the same run: the same file read into a plain standard map.
        c0 = std::clock();
        {
            std::unordered_map<std::string, std::string> plain;
            std::ifstream in(path);
            for (std::string line; std::getline(in, line);) {
                auto bar = line.find('|');
                plain[line.substr(0, bar)] = line.substr(bar + 1);
            }
            benchmark::DoNotOptimize(plain.size());
        }
        baseline_seconds = static_cast<double>(std::clock() - c0) / CLOCKS_PER_SEC;
    }
};

BigLog& big_log() {
    static BigLog log;
    return log;
}

void BM_MsglogLookup(benchmark::State& state) {
    BigLog& log = big_log();
    std::vector<std::string> phones;
    for (long i = 0; i < 4096; ++i) phones.push_back(phone_of((i * 104729) % kLogEntries));
    std::string email;
    std::size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(log.log.lookup(phones[i & 4095].c_str(), 0, email));
        ++i;
    }
    state.counters["entries"] = static_cast<double>(log.log.size());
    state.counters["load_cpu_s"] = log.load_seconds;
    state.counters["plain_map_cpu_s"] = log.baseline_seconds;
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_MsglogLookup);

// A store of a known pair: table update plus the appended line.
void BM_MsglogStore(benchmark::State& state) {
    MessageLog& log = big_log().log;
    std::vector<std::string> phones;
    for (long i = 0; i < 4096; ++i) phones.push_back(phone_of((i * 104729) % kLogEntries));
    std::size_t i = 0;
    for (auto _ : state) {
        log.store(phones[i & 4095].c_str(), "user1@example.com");
        ++i;
    }
    state.counters["entries"] = static_cast<double>(log.size());
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_MsglogStore);

// Loading a range of a million numbers of which a few hundred are bound.
void BM_PoolLoad(benchmark::State& state) {
    TempDir dir;
    std::string work = dir.path.string();
    PhonePool pool;
    pool.init(work, "+61", "0400", 0, 1000000);
    for (long i = 0; i < 400; ++i) {
        std::string n = "+61400" + std::to_string(i * 2477);
        pool.out(n.c_str(), "someone@example.com");
    }
    long loaded = 0;
    for (auto _ : state) loaded = pool.init(work, "+61", "0400", 0, 1000000);
    state.counters["bound"] = static_cast<double>(loaded);
}
BENCHMARK(BM_PoolLoad)->Unit(benchmark::kMillisecond);

}  // namespace
