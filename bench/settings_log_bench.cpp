// Settings look-ups and reader walks on an 80-key table, and log lines per second from
// two threads with every line flushed.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "foundation/log.h"
#include "foundation/sini.h"

using namespace tolvane;

namespace {

// 80 rows shaped like the gateway's key table (names, defaults, fallbacks, templates).
const sini_table kKeys[] = {
    {0, "host", SM_NONE, nullptr, -1, nullptr},
    {1, "smtp_inport", SM_NONE, "1025", -1, nullptr},
    {2, "smtp_greeting", SM_NONE, "TOLVANE", -1, nullptr},
    {3, "smtp_outserver", SM_NONE, nullptr, 0, nullptr},
    {4, "smtp_outport", SM_NONE, "25", -1, nullptr},
    {5, "smtp_prefix", SM_NONE, "", -1, nullptr},
    {6, "smtp_domain", SM_NONE, nullptr, 0, nullptr},
    {7, "smtp_sms_todomain", SM_NONE, nullptr, -1, nullptr},
    {8, "delivery_mode", SM_NONE, "gsm", -1, nullptr},
    {9, "send_mode", SM_NONE, nullptr, 8, nullptr},
    {10, "recv_mode", SM_NONE, nullptr, 8, nullptr},
    {11, "phone_range", SM_NONE, nullptr, -1, "min=\"VALUE\" max=\"VALUE\""},
    {12, "phone_country", SM_NONE, nullptr, -1, nullptr},
    {13, "phone_service", SM_NONE, nullptr, -1, nullptr},
    {14, "gsm_com", SM_NONE, "COM1", -1, nullptr},
    {15, "gsm_baud", SM_NONE, "9600", -1, nullptr},
    {16, "gsm_number", SM_NONE, nullptr, -1, nullptr},
    {17, "sca_number", SM_NONE, nullptr, -1, nullptr},
    {18, "com_debug_file", SM_NONE, nullptr, -1, nullptr},
    {19, "smtp_debug_file", SM_NONE, nullptr, -1, nullptr},
    {20, "gsm_pin", SM_NONE, nullptr, -1, nullptr},
    {21, "gsm_pin2", SM_NONE, nullptr, -1, nullptr},
    {22, "gsm_puk", SM_NONE, nullptr, -1, nullptr},
    {23, "gsm_puk2", SM_NONE, nullptr, -1, nullptr},
    {24, "gsm_init", SM_NONE, "AT", -1, nullptr},
    {25, "gsm_noinit", SM_NONE, "false", -1, nullptr},
    {26, "gsm_crlf", SM_NONE, "true", -1, nullptr},
    {27, "cpin_ok", SM_NONE, "false", -1, nullptr},
    {28, "cbst_one", SM_NONE, "false", -1, nullptr},
    {29, "cnmi_flush", SM_NONE, "false", -1, nullptr},
    {30, "gsm_min_signal", SM_NONE, "0", -1, nullptr},
    {31, "gsm_signal_timeout", SM_NONE, "60", -1, nullptr},
    {32, "home", SM_NONE, "/usr/local/tolvane", -1, nullptr},
    {33, "workpath", SM_NONE, nullptr, 32, nullptr},
    {34, "webpath", SM_NONE, "./web", -1, nullptr},
    {35, "logpath", SM_NONE, nullptr, 33, nullptr},
    {36, "loglevel", SM_NONE, "debug", -1, nullptr},
    {37, "accept_ip", SM_MULTI, "*", -1, nullptr},
    {38, "accept_from", SM_MULTI, "*", -1, nullptr},
    {39, "accept_to", SM_MULTI, "*", -1, nullptr},
    {40, "from_limit", SM_NONE, "500", -1, nullptr},
    {41, "to_limit", SM_NONE, "500", -1, nullptr},
    {42, "ip_limit", SM_NONE, "0", -1, nullptr},
    {43, "sms_static", SM_NONE, "false", -1, nullptr},
    {44, "sms_subject", SM_NONE, "true", -1, nullptr},
    {45, "reply_with", SM_NONE, "true", -1, nullptr},
    {46, "email_subject", SM_NONE, "$(BODY20)", -1, nullptr},
    {47, "sms_mode", SM_NONE, "text", -1, nullptr},
    {48, "sms_dcs", SM_NONE, "7bit", -1, nullptr},
    {49, "sms_extended", SM_NONE, "false", -1, nullptr},
    {50, "sms_smart", SM_NONE, nullptr, -1, nullptr},
    {51, "sms_format", SM_NONE, nullptr, -1, nullptr},
    {52, "sms_best_guess", SM_NONE, "false", -1, nullptr},
    {53, "smpp_host", SM_NONE, nullptr, -1, nullptr},
    {54, "smpp_port", SM_NONE, "2775", -1, nullptr},
    {55, "smpp_user", SM_NONE, nullptr, -1, nullptr},
    {56, "smpp_pass", SM_NONE, nullptr, -1, nullptr},
    {57, "smpp_addr_range", SM_NONE, "*", -1, nullptr},
    {58, "sms_bounces", SM_NONE, "true", -1, nullptr},
    {59, "sms_retries", SM_NONE, "3", -1, nullptr},
    {60, "smtp_retries", SM_NONE, "3", -1, nullptr},
    {61, "smtp_retry_wait", SM_NONE, "5", -1, nullptr},
    {62, "log_delimiter", SM_NONE, "|", -1, nullptr},
    {63, "report", SM_MULTI, "message=\"Tolvane is alive\" days=\"*\"", -1,
     "time=VALUE to=VALUE message=VALUE days=VALUE"},
    {64, "sms_to", SM_MULTI, "keyword=\"to\" phone=\"*\" prefix=\"\" domain=\"\"", -1,
     "keyword=VALUE phone=VALUE prefix=VALUE domain=VALUE"},
    {65, "alias_file", SM_NONE, "delimiter=\"*\" order=\"phone,email\"", -1,
     "file=VALUE delimiter=VALUE order=VALUE required=VALUE"},
    {66, "delivery_file", SM_NONE, "delimiter=\" \" order=\"phone,email\"", -1,
     "file=VALUE delimiter=VALUE order=VALUE"},
    {67, "web_port", SM_NONE, "8775", -1, nullptr},
    {68, "web_allow", SM_NONE, "127.0.0.1", -1, nullptr},
    {69, "web_https", SM_NONE, "true", -1, nullptr},
    {70, "robot_cmd", SM_NONE, nullptr, -1, nullptr},
    {71, "limit_msg", SM_NONE, "Limit reached", -1, nullptr},
    {72, "ip_limit_msg", SM_NONE, nullptr, 71, nullptr},
    {73, "from_limit_msg", SM_NONE, nullptr, 71, nullptr},
    {74, "to_limit_msg", SM_NONE, nullptr, 71, nullptr},
    {75, "limit", SM_MULTI, "name=\"msgrec\" period=\"24\"", -1,
     "name=VALUE ip=VALUE to=VALUE from=VALUE period=VALUE"},
    {76, "ssl_dir", SM_NONE, nullptr, 33, nullptr},
    {77, "ssl_priv", SM_NONE, "tv_priv.pem", -1, nullptr},
    {78, "ssl_cert", SM_NONE, "tv_cert.pem", -1, nullptr},
    {79, "sms_ignore", SM_MULTI, nullptr, -1, nullptr},
    {-1, nullptr, SM_NONE, nullptr, -1, nullptr},
};

std::string make_dir() {
    char tmpl[] = "/tmp/settings_log_bench.XXXXXX";
    if (!mkdtemp(tmpl)) std::abort();
    return tmpl;
}

// A settings file of a realistic size: most keys set, twenty client patterns, a few
// reports, limits and keyword rules, and one section.
SIni* table() {
    static std::unique_ptr<SIni> ini = [] {
        std::string dir = make_dir();
        std::string path = dir + "/tolvane.ini";
        {
            std::ofstream out(path);
            out << "# bench settings\nsmtp_inport 2525\nsmtp_greeting Bench gateway\n"
                   "workpath /var/lib/tolvane\nloglevel info\nphone_country 61\n"
                   "phone_range min=\"100\" max=\"199\"\ngsm_number 0412000000\n";
            for (int i = 0; i < 20; ++i) out << "accept_ip 10.0." << i << ".*\n";
            for (int i = 0; i < 4; ++i)
                out << "report time=\"0" << i << ":00\" to=\"04120000" << i << "\"\n";
            for (int i = 0; i < 3; ++i) out << "limit name=\"l" << i << "\" ip=\"" << i << "\"\n";
            for (int i = 0; i < 5; ++i)
                out << "sms_to keyword=\"k" << i << "\" domain=\"d" << i << ".example\"\n";
            out << "domain office\nsmtp_greeting Office\naccept_ip 192.168.*\n";
        }
        auto t = sini_init(kKeys);
        sini_load(t.get(), path, nullptr);
        std::filesystem::remove_all(dir);
        return t;
    }();
    return ini.get();
}

void BM_sini_getx_set(benchmark::State& state) {
    SIni* ini = table();
    for (auto _ : state) benchmark::DoNotOptimize(sini_getx(ini, 1, nullptr, nullptr, 0));
}
BENCHMARK(BM_sini_getx_set);

void BM_sini_getx_default(benchmark::State& state) {
    SIni* ini = table();
    for (auto _ : state) benchmark::DoNotOptimize(sini_getx(ini, 59, nullptr, nullptr, 0));
}
BENCHMARK(BM_sini_getx_default);

void BM_sini_getx_fallback_chain(benchmark::State& state) {
    SIni* ini = table();
    // logpath -> workpath (set); ssl_dir -> workpath; to_limit_msg -> limit_msg default.
    for (auto _ : state) {
        benchmark::DoNotOptimize(sini_getx(ini, 35, nullptr, nullptr, 0));
        benchmark::DoNotOptimize(sini_getx(ini, 74, nullptr, nullptr, 0));
    }
    state.SetItemsProcessed(2 * state.iterations());
}
BENCHMARK(BM_sini_getx_fallback_chain);

void BM_sini_getx_attribute(benchmark::State& state) {
    SIni* ini = table();
    for (auto _ : state) {
        benchmark::DoNotOptimize(sini_getx(ini, 63, nullptr, "message", 2));
        benchmark::DoNotOptimize(sini_getx(ini, 65, nullptr, "order", 0));  // from the default
    }
    state.SetItemsProcessed(2 * state.iterations());
}
BENCHMARK(BM_sini_getx_attribute);

void BM_sini_getx_section(benchmark::State& state) {
    SIni* ini = table();
    for (auto _ : state) {
        benchmark::DoNotOptimize(sini_getx(ini, 37, "office", nullptr, 5));  // into global
        benchmark::DoNotOptimize(sini_getx(ini, 4, "office", nullptr, 0));   // default
    }
    state.SetItemsProcessed(2 * state.iterations());
}
BENCHMARK(BM_sini_getx_section);

void BM_sini_getx_l(benchmark::State& state) {
    SIni* ini = table();
    for (auto _ : state)
        benchmark::DoNotOptimize(sini_getx_l(ini, "SMTP_Greeting", nullptr, nullptr, 0));
}
BENCHMARK(BM_sini_getx_l);

// One full walk over the twenty client patterns, through a reader as a worker does it.
void BM_rini_walk_accept_ip(benchmark::State& state) {
    auto r = rini_init(table());
    long values = 0;
    for (auto _ : state) {
        for (const char* v = rini_get_first(r.get(), 37, nullptr, nullptr); v;
             v = rini_get_next(r.get(), nullptr))
            ++values;
    }
    state.SetItemsProcessed(values);
    rini_free(r);
}
BENCHMARK(BM_rini_walk_accept_ip)->ThreadRange(1, 2);

// The usual walk over attribute entries: identifying attribute, then the others of each.
void BM_rini_walk_report(benchmark::State& state) {
    auto r = rini_init(table());
    for (auto _ : state) {
        for (const char* t = rini_get_first(r.get(), 63, nullptr, "time"); t;
             t = rini_get_next(r.get(), "time")) {
            benchmark::DoNotOptimize(rini_get_cur(r.get(), "to"));
            benchmark::DoNotOptimize(rini_get_cur(r.get(), "message"));
        }
    }
    rini_free(r);
}
BENCHMARK(BM_rini_walk_report);

void BM_sini_load(benchmark::State& state) {
    std::string dir = make_dir();
    std::string path = dir + "/big.ini";
    {
        std::ofstream out(path);
        for (int i = 0; i < 1000; ++i) out << "accept_ip 10." << i % 250 << ".*.*\n";
        for (int i = 0; i < 200; ++i) out << "report time=\"08:00\" to=\"0412" << i << "\"\n";
    }
    for (auto _ : state) {
        auto ini = sini_init(kKeys);
        benchmark::DoNotOptimize(sini_load(ini.get(), path, nullptr));
    }
    state.SetItemsProcessed(1200 * state.iterations());
    std::filesystem::remove_all(dir);
}
BENCHMARK(BM_sini_load);

// ---------------------------------------------------------------- log

// The bench's own log in a directory of its own, removed when the program ends.
struct BenchLog {
    std::string dir = make_dir();
    std::unique_ptr<Log> log;
    BenchLog() {
        log = log_init(LOG_DEBUG);
        log_doflush(log.get(), 1);
        log_setup(log.get(), dir.c_str(), "tolvane.log");
        log_set(log.get());
    }
    ~BenchLog() {
        log_free(log);
        std::filesystem::remove_all(dir);
    }
};

Log* bench_log() {
    static BenchLog b;
    return b.log.get();
}

// Lines per second with every line flushed; with two threads both write to one file.
void BM_log_lines_doflush1(benchmark::State& state) {
    bench_log();
    for (auto _ : state)
        imsg("Received SMS from %s, %d characters, reference %ld", "+61412000000", 160,
             static_cast<long>(state.iterations()));
    state.SetItemsProcessed(state.iterations());
    state.counters["lines/s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_log_lines_doflush1)->Threads(1)->Threads(2)->UseRealTime();

// A line below the log's level costs only the level test.
void BM_log_filtered_debug(benchmark::State& state) {
    Log* l = bench_log();
    log_set_level(l, LOG_INFO);
    for (auto _ : state) dmsg("not written %s %d", "x", 1);
    log_set_level(l, LOG_DEBUG);
}
BENCHMARK(BM_log_filtered_debug);

// Two plain threads writing a fixed number of lines: the figure the gateway cares about.
void BM_log_two_threads_fixed(benchmark::State& state) {
    bench_log();
    const int per_thread = static_cast<int>(state.range(0));
    for (auto _ : state) {
        auto start = std::chrono::steady_clock::now();
        std::thread a([&] {
            for (int i = 0; i < per_thread; ++i) imsg("thread a line %d of the load", i);
        });
        std::thread b([&] {
            for (int i = 0; i < per_thread; ++i) imsg("thread b line %d of the load", i);
        });
        a.join();
        b.join();
        std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        state.SetIterationTime(took.count());
    }
    state.SetItemsProcessed(2L * per_thread * state.iterations());
    state.counters["lines/s"] = benchmark::Counter(
        static_cast<double>(2L * per_thread * state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_log_two_threads_fixed)->Arg(50000)->UseManualTime()->Iterations(3);

// The floor under the figure above, measured in the same run: two threads handing one
// line each per write() to one appending file, nothing else. Compare lines/s as a ratio.
void BM_raw_write_two_threads_fixed(benchmark::State& state) {
    static std::string dir = make_dir();
    const std::string path = dir + "/raw.log";
    const int per_thread = static_cast<int>(state.range(0));
    const std::string line =
        "Dec  7 23:05:21  [812][16386] Info: thread a line 12345 of the load\n";
    for (auto _ : state) {
        int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0) std::abort();
        auto start = std::chrono::steady_clock::now();
        auto writer = [&] {
            for (int i = 0; i < per_thread; ++i) {
                if (::write(fd, line.data(), line.size()) < 0) std::abort();
            }
        };
        std::thread a(writer);
        std::thread b(writer);
        a.join();
        b.join();
        std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        state.SetIterationTime(took.count());
        ::close(fd);
    }
    std::filesystem::remove(path);
    state.counters["lines/s"] = benchmark::Counter(
        static_cast<double>(2L * per_thread * state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_raw_write_two_threads_fixed)->Arg(50000)->UseManualTime()->Iterations(3);

}  // namespace
