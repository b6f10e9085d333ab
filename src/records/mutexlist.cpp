// Process locks and the worker-thread count.
#include "records/mutexlist.h"

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>

#include "foundation/lib.h"
#include "foundation/log.h"
#include "foundation/thread.h"

namespace tolvane {

namespace {

constexpr std::array<const char*, PROCESS_LOCKS> LOCK_NAMES = {"PHONES", "THREADS"};

std::array<std::unique_ptr<MUTEX>, PROCESS_LOCKS> locks;
std::atomic<long> wait_limit{MUTEXLIST_WAIT_MS};
std::atomic<int> threads{0};
// Wakes thread_count_wait_zero when a counted thread ends.
std::mutex count_lock;
std::condition_variable count_changed;

// A broken lock invariant: the message goes to the log and to standard error (the log
// may not be open yet), then the process stops.
[[noreturn]] void lock_fault(const std::string& message) {
    emsg("%s", message.c_str());
    log_flush();
    std::fprintf(stderr, "%s\n", message.c_str());
    std::fflush(stderr);
    lib_abort();
}

}  // namespace

int mutexlist_init() {
    for (int n = 0; n < PROCESS_LOCKS; ++n) {
        if (locks[n]) continue;
        locks[n] = th_mutex_new(LOCK_NAMES[n]);
        if (!locks[n]) lock_fault(strprintf("Failed to init mutex %d(%s)", n, LOCK_NAMES[n]));
    }
    return 1;
}

int mutexlist_get_debug(int n, const char* file, int line) {
    if (n < 0 || n >= PROCESS_LOCKS || !locks[n]) {
        lock_fault(strprintf("Mutex %d does not exist", n));
    }
    MUTEX* m = locks[n].get();
    if (th_mutex_wait_remember(m, wait_limit.load(), file, line) != 1) {
        const char* held_file = th_mutex_file(m);
        lock_fault(strprintf("Failed to get mutex %d(%s). Held at (%s:%d)", n, LOCK_NAMES[n],
                             held_file ? held_file : "", th_mutex_line(m)));
    }
    return 1;
}

int mutexlist_release(int n) {
    if (n < 0 || n >= PROCESS_LOCKS || !locks[n]) {
        lock_fault(strprintf("Mutex %d does not exist", n));
    }
    int rc = th_mutex_release(locks[n].get());
    if (rc != 1) emsg("Failed to release mutex %d(%s)", n, LOCK_NAMES[n]);
    return rc;
}

void mutexlist_free() {
    for (auto& m : locks) th_mutex_free(m);
}

const char* mutexlist_name(int n) {
    if (n < 0 || n >= PROCESS_LOCKS) return "";
    return LOCK_NAMES[n];
}

long mutexlist_wait_limit() {
    return wait_limit.load();
}

void mutexlist_set_wait_limit(long ms) {
    wait_limit.store(ms > 0 ? ms : MUTEXLIST_WAIT_MS);
}

void add_thread() {
    ProcessLock hold(THREADS);
    threads.fetch_add(1);
}

void rmv_thread() {
    {
        ProcessLock hold(THREADS);
        threads.fetch_sub(1);
    }
    // Taken after the change, so a waiter has either seen the new count or is waiting.
    std::lock_guard<std::mutex> g(count_lock);
    count_changed.notify_all();
}

bool thread_count_wait_zero(long limit_ms) {
    std::unique_lock<std::mutex> g(count_lock);
    return count_changed.wait_for(g, std::chrono::milliseconds(limit_ms > 0 ? limit_ms : 0),
                                  [] { return threads.load() == 0; });
}

int thread_count() {
    return threads.load();
}

namespace {

// How long the process's exit waits for counted threads still running (a shutdown has
// waited for them already; one that overran it ended the process without exit).
constexpr long COUNTED_EXIT_WAIT_MS = 2000;

// The owner of the counted threads: each is joined once it has ended, by the next start
// or at process exit. When some are still running at exit after COUNTED_EXIT_WAIT_MS,
// the set is kept, not destroyed: the process ends under them.
struct CountedThreads {
    std::unique_ptr<ThreadSet> set = std::make_unique<ThreadSet>();
    ~CountedThreads() {
        if (!set->join_all(COUNTED_EXIT_WAIT_MS)) (void)set.release();
    }
};

ThreadSet& counted_threads() {
    static CountedThreads owner;
    return *owner.set;
}

}  // namespace

bool start_counted_thread(std::function<void()> fn) {
    add_thread();
    bool started = counted_threads().start([fn = std::move(fn)](std::stop_token) {
        fn();
        rmv_thread();
    });
    if (!started) rmv_thread();
    return started;
}

}  // namespace tolvane
