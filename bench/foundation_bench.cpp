// Hot paths of the foundation: list matching on every mail, wildcard matching of
// hostile patterns, hash look-ups, the formatter behind every log line.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "foundation/containers.h"
#include "foundation/lib.h"
#include "foundation/ssha.h"

namespace tolvane {
namespace {

// A realistic accept list: twenty patterns, the match near the end.
const char* kPatterns =
    "10.*, 192.168.1.*, 172.16.*.*, 203.0.113.?, 198.51.100.*, 0412*, 0413*, +6141*, "
    "*@example.com, *@mail.example.org, admin@*, ops-*@corp.example, 127.0.0.*, ::1, "
    "8.8.8.8, 1.1.1.1, *.internal, host-??.lan, 100.64.*, 169.254.*";

void BM_WildList20(benchmark::State& state) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(wild_list("169.254.10.20", kPatterns));
        benchmark::DoNotOptimize(wild_list("no-match.example.net", kPatterns));
    }
}
BENCHMARK(BM_WildList20);

void BM_WildMatch4000x30Stars(benchmark::State& state) {
    const std::string subject(4000, 'a');
    std::string pattern;
    for (int i = 0; i < 30; ++i) pattern += "*a";
    pattern += "*b";  // never matches: the worst case for a backtracking matcher
    for (auto _ : state) benchmark::DoNotOptimize(wild_match(subject, pattern));
}
BENCHMARK(BM_WildMatch4000x30Stars)->Unit(benchmark::kMicrosecond);

void BM_MatchWild4000x30Sets(benchmark::State& state) {
    const std::string subject(4000, 'a');
    std::string pattern;
    for (int i = 0; i < 30; ++i) pattern += "*[ab]";
    pattern += "*c";
    for (auto _ : state) benchmark::DoNotOptimize(match_wild(pattern.c_str(), subject.c_str()));
}
BENCHMARK(BM_MatchWild4000x30Sets)->Unit(benchmark::kMicrosecond);

void BM_HashFind(benchmark::State& state) {
    auto h = hash_init<int>(1009);
    std::vector<std::string> keys;
    for (int i = 0; i < 10000; ++i) {
        keys.push_back("user" + std::to_string(i) + "@example.com");
        hash_add(h.get(), keys.back(), i);
    }
    std::size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(hash_find(h.get(), keys[i], 0));
        i = (i + 7919) % keys.size();
    }
}
BENCHMARK(BM_HashFind);

void BM_FormatLogLine(benchmark::State& state) {
    for (auto _ : state)
        benchmark::DoNotOptimize(strprintf("Sending SMS to %s (%d of %d), %.*s", "+61412345678", 2,
                                           5, 40, "The quick brown fox jumps over the dog"));
}
BENCHMARK(BM_FormatLogLine);

void BM_RawEmail(benchmark::State& state) {
    std::string raw;
    for (auto _ : state)
        benchmark::DoNotOptimize(
            rfc_raw_email("\"Jane Q. Doe\" <jane.doe@mail.example.com> (work)", raw));
}
BENCHMARK(BM_RawEmail);

void BM_SshaCheck(benchmark::State& state) {
    const std::string stored = ssha_encode("administrator password");
    for (auto _ : state) benchmark::DoNotOptimize(ssha_check("administrator password", stored));
}
BENCHMARK(BM_SshaCheck);

}  // namespace
}  // namespace tolvane
