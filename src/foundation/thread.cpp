// Threads and named locks: see thread.h.
//
// A MUTEX is a small monitor (std::mutex + condition variable) rather than a
// polled system mutex: waiters block until the lock is handed on or their
// deadline passes. Waiters are served first come, first served, so a steady
// stream of short holders cannot starve a thread that has been waiting longer.
// The deadline keeps the whole-second granularity callers were written for: a
// limit below one second fails at once on a busy lock, a limit of n seconds
// gives up when the wall clock has advanced n whole seconds.
#include "foundation/thread.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <system_error>
#include <unordered_map>
#include <vector>

#include "foundation/log.h"

namespace tolvane {

namespace {

std::atomic<void (*)()> g_thread_end_hook{nullptr};

}  // namespace

ThreadSet::~ThreadSet() {
    request_stop();
    std::list<Entry> all;
    {
        std::unique_lock<std::mutex> lk(g_);
        ended_.wait(lk, [this] { return running_ == 0; });
        all.swap(threads_);
    }
    // The jthreads join as the list goes; each has returned already.
}

bool ThreadSet::start(std::function<void(std::stop_token)> fn) {
    if (!fn) return false;
    reap();
    std::lock_guard<std::mutex> lk(g_);
    Entry& e = threads_.emplace_back();
    try {
        // The thread marks its entry under g_, which is held until the entry is complete.
        e.thread = std::jthread([this, &e, fn = std::move(fn)](std::stop_token st) mutable {
            fn(st);
            fn = nullptr;
            th_release_thread_state();
            std::lock_guard<std::mutex> done(g_);
            e.done = true;
            --running_;
            ended_.notify_all();
        });
    } catch (const std::system_error& err) {
        emsg("Thread creation failed: %s", err.what());
        threads_.pop_back();
        return false;
    }
    ++running_;
    return true;
}

void ThreadSet::reap_locked(std::list<Entry>& out) {
    for (auto it = threads_.begin(); it != threads_.end();) {
        auto next = std::next(it);
        if (it->done) out.splice(out.end(), threads_, it);
        it = next;
    }
}

void ThreadSet::reap() {
    std::list<Entry> ended;
    {
        std::lock_guard<std::mutex> lk(g_);
        reap_locked(ended);
    }
    // Joined here, outside the lock: each has only its return left.
}

void ThreadSet::request_stop() {
    std::lock_guard<std::mutex> lk(g_);
    for (Entry& e : threads_) e.thread.request_stop();
}

bool ThreadSet::join_all(long limit_ms) {
    std::list<Entry> ended;
    bool all = false;
    {
        std::unique_lock<std::mutex> lk(g_);
        all = ended_.wait_for(lk, std::chrono::milliseconds(limit_ms > 0 ? limit_ms : 0),
                              [this] { return running_ == 0; });
        reap_locked(ended);
    }
    return all;
}

std::size_t ThreadSet::size() const {
    std::lock_guard<std::mutex> lk(g_);
    return threads_.size();
}

std::size_t ThreadSet::running() const {
    std::lock_guard<std::mutex> lk(g_);
    return running_;
}

namespace {

// Threads handed over by th_join_later. The list is never destroyed: a thread may hand
// itself over while the process exits (a link's reader letting go of its link), after the
// static destructors have run. What was handed over by then is joined at exit.
struct LateJoins {
    std::mutex g;
    std::vector<std::jthread> threads;
};

LateJoins& late_joins() {
    static LateJoins* joins = [] {
        auto* made = new LateJoins;
        std::atexit([] { (void)th_join_pending(); });
        return made;
    }();
    return *joins;
}

}  // namespace

namespace {

// Takes the handed-over threads out of the list, all but the calling one (a thread
// handed over that hands over another cannot join itself): it stays for a later call.
std::vector<std::jthread> take_late_joins(std::jthread* add) {
    std::vector<std::jthread> out;
    LateJoins& j = late_joins();
    std::lock_guard<std::mutex> lk(j.g);
    out.swap(j.threads);
    auto self = std::find_if(out.begin(), out.end(), [](const std::jthread& t) {
        return t.get_id() == std::this_thread::get_id();
    });
    if (self != out.end()) {
        j.threads.push_back(std::move(*self));
        out.erase(self);
    }
    if (add) j.threads.push_back(std::move(*add));
    return out;
}

}  // namespace

void th_join_later(std::jthread t) {
    if (!t.joinable()) return;
    t.request_stop();
    // The ones handed over before were ending when they came: they join as the list goes.
    take_late_joins(&t);
}

std::size_t th_join_pending() {
    std::vector<std::jthread> all = take_late_joins(nullptr);
    for (std::jthread& t : all) t.join();
    return all.size();
}

void th_on_thread_end(void (*hook)()) {
    g_thread_end_hook.store(hook);
}

void th_release_thread_state() {
    if (auto hook = g_thread_end_hook.load()) hook();
}

int th_id() {
    thread_local int id = static_cast<int>(::syscall(SYS_gettid));
    return id;
}

// ---------------------------------------------------------------- MUTEX

class MUTEX {
  public:
    const char* name = nullptr;
    const char* file = "";
    int line = 0;
    int nref = 0;
    int threadid = -1;
    std::time_t aquired = 0;

    mutable std::mutex g;  // guards every field and the waiting line
    std::condition_variable cv;
    std::deque<std::uint64_t> waiting;  // tickets of blocked waiters, oldest first
    std::uint64_t next_ticket = 0;
};

namespace {

void take(MUTEX* m, int me, const char* file, int line) {
    m->threadid = me;
    m->nref = 0;
    m->aquired = std::time(nullptr);
    m->file = file ? file : "";
    m->line = line;
}

// The moment a wait of ms milliseconds gives up: ms / 1000 whole seconds of wall clock
// after the second in which it started (so 1999 ms means "until the next second but one").
std::chrono::steady_clock::time_point deadline_for(long ms) {
    using namespace std::chrono;
    auto wall = system_clock::now();
    auto into_second = wall - floor<seconds>(wall);
    return steady_clock::now() + seconds(ms / 1000) -
           duration_cast<steady_clock::duration>(into_second);
}

}  // namespace

std::unique_ptr<MUTEX> th_mutex_new_remember(const char* name, const char* file, int line) {
    auto m = std::make_unique<MUTEX>();
    m->name = name;
    m->file = file ? file : "";
    m->line = line;
    return m;
}

void th_mutex_free(std::unique_ptr<MUTEX>& m) {
    m.reset();
}

int th_mutex_wait_remember(MUTEX* m, long ms, const char* file, int line) {
    if (!m) return 0;
    const int me = th_id();
    std::unique_lock<std::mutex> lk(m->g);
    if (m->threadid == me) {
        ++m->nref;
        return 1;
    }
    if (m->threadid == -1 && m->waiting.empty()) {
        take(m, me, file, line);
        return 1;
    }
    if (ms < 1000) return 0;

    const auto until = deadline_for(ms);
    const std::uint64_t ticket = m->next_ticket++;
    m->waiting.push_back(ticket);
    auto my_turn = [&] { return m->threadid == -1 && m->waiting.front() == ticket; };
    bool ok = m->cv.wait_until(lk, until, my_turn);
    m->waiting.erase(std::find(m->waiting.begin(), m->waiting.end(), ticket));
    if (!ok) {
        // Leaving the line may make a waiter behind us the first one for a free lock.
        if (m->threadid == -1 && !m->waiting.empty()) m->cv.notify_all();
        return 0;
    }
    take(m, me, file, line);
    return 1;
}

int th_mutex_release(MUTEX* m) {
    if (!m) return 1;
    const int me = th_id();
    std::unique_lock<std::mutex> lk(m->g);
    if (m->threadid != me) {
        const int holder = m->threadid;
        const char* hf = m->file;
        const int hl = m->line;
        lk.unlock();
        emsg("Mutex release failed: name(%s), released by thread(%d), held by(%s:%d), threadid(%d)",
             m->name ? m->name : "UNNAMED", me, hf, hl, holder);
        lib_abort();
    }
    if (m->nref > 0) {
        --m->nref;
        return 1;
    }
    m->threadid = -1;
    m->aquired = 0;
    const bool wake = !m->waiting.empty();
    lk.unlock();
    if (wake) m->cv.notify_all();
    return 1;
}

int th_mutex_wait_or_die_real(MUTEX* m, long ms, const char* file, int line) {
    if (th_mutex_wait_remember(m, ms, file, line)) return 1;
    const char* hf = "";
    int hl = 0, holder = -1, nref = 0;
    if (m) {
        std::lock_guard<std::mutex> g(m->g);
        hf = m->file;
        hl = m->line;
        holder = m->threadid;
        nref = m->nref;
    }
    emsg(
        "Mutex wait or die failed: name(%s), called by(%s:%d), held by(%s:%d), threadid(%d), "
        "nref(%d)",
        (m && m->name) ? m->name : "UNNAMED", file ? file : "", line, hf, hl, holder, nref);
    lib_abort_real(file ? file : "", line);
}

const char* th_mutex_name(const MUTEX* m) {
    return (m && m->name) ? m->name : "UNNAMED";
}

int th_mutex_holder(const MUTEX* m) {
    if (!m) return -1;
    std::lock_guard<std::mutex> g(m->g);
    return m->threadid;
}

int th_mutex_nref(const MUTEX* m) {
    if (!m) return 0;
    std::lock_guard<std::mutex> g(m->g);
    return m->nref;
}

const char* th_mutex_file(const MUTEX* m) {
    if (!m) return "";
    std::lock_guard<std::mutex> g(m->g);
    return m->file;
}

int th_mutex_line(const MUTEX* m) {
    if (!m) return 0;
    std::lock_guard<std::mutex> g(m->g);
    return m->line;
}

std::time_t th_mutex_aquired(const MUTEX* m) {
    if (!m) return 0;
    std::lock_guard<std::mutex> g(m->g);
    return m->aquired;
}

// ---------------------------------------------------------------- queued wait

namespace {

// The waiting lists of every lock that has been waited for in queued mode. Held only for
// the short list operations, never while waiting for a target lock.
struct QueueTable {
    std::mutex g;
    std::condition_variable cv;  // signalled whenever a list loses its head
    std::unordered_map<const MUTEX*, std::deque<int>> lists;
};

std::mutex queue_table_guard;  // guards the pointer below
std::shared_ptr<QueueTable> queue_table;

std::shared_ptr<QueueTable> current_queue_table() {
    std::lock_guard<std::mutex> g(queue_table_guard);
    return queue_table;
}

}  // namespace

void th_mutex_queue_init() {
    {
        std::lock_guard<std::mutex> g(queue_table_guard);
        if (!queue_table) {
            queue_table = std::make_shared<QueueTable>();
            return;
        }
    }
    emsg("th_mutex_queue_init called twice");
    lib_abort();
}

void th_mutex_queue_clear() {
    std::lock_guard<std::mutex> g(queue_table_guard);
    queue_table.reset();
}

int th_mutex_queue_length(const MUTEX* m) {
    auto table = current_queue_table();
    if (!table || !m) return 0;
    std::lock_guard<std::mutex> g(table->g);
    auto it = table->lists.find(m);
    return it == table->lists.end() ? 0 : static_cast<int>(it->second.size());
}

int th_mutex_get_queue_real(MUTEX* m, const char* file, int line) {
    auto table = current_queue_table();
    if (!table) {
        emsg("th_mutex_queue_init not called");
        lib_abort_real(file ? file : "", line);
    }
    if (!m) return 0;
    const int me = th_id();
    // The holder takes its lock again at once: making it wait behind threads that wait
    // for that very lock would stop all of them for good.
    if (th_mutex_holder(m) == me) return th_mutex_wait_remember(m, 0, file, line);
    bool joined = false;
    for (;;) {
        bool at_head;
        {
            std::lock_guard<std::mutex> g(table->g);
            auto it = table->lists.find(m);
            at_head = it == table->lists.end() || it->second.empty() || it->second.front() == me;
        }
        if (at_head && th_mutex_wait_remember(m, 1000, file, line)) {
            if (joined) {
                std::lock_guard<std::mutex> g(table->g);
                auto& list = table->lists[m];
                list.erase(std::remove(list.begin(), list.end(), me), list.end());
                if (list.empty()) table->lists.erase(m);
                table->cv.notify_all();
            }
            return 1;
        }
        std::unique_lock<std::mutex> lk(table->g);
        auto& list = table->lists[m];
        if (!joined) {
            list.push_back(me);
            joined = true;
        }
        if (!at_head) {
            // Woken early when the head leaves; otherwise look again after a second.
            table->cv.wait_for(lk, std::chrono::seconds(1),
                               [&] { return !list.empty() && list.front() == me; });
        }
    }
}

// ---------------------------------------------------------------- MutexHold

MutexHold::MutexHold(MUTEX* m, long ms, std::source_location loc)
    : m_(m),
      held_(th_mutex_wait_remember(m, ms, loc.file_name(), static_cast<int>(loc.line())) == 1) {}

MutexHold::~MutexHold() {
    release();
}

void MutexHold::release() {
    if (held_) th_mutex_release(m_);
    held_ = false;
}

// ---------------------------------------------------------------- fatal stop

namespace {
std::atomic<void (*)()> abort_hook_first{nullptr};
std::atomic<void (*)()> abort_hook_second{nullptr};
std::atomic<bool> abort_written{false};

void* hook_address(void (*fn)()) {
    return reinterpret_cast<void*>(reinterpret_cast<std::uintptr_t>(fn));
}
}  // namespace

void lib_abort_hooks(void (*first)(), void (*second)()) {
    abort_hook_first = first;
    abort_hook_second = second;
}

void lib_abort_real(const char* file, int line) {
    if (!abort_written.exchange(true)) {
        auto first = abort_hook_first.load();
        auto second = abort_hook_second.load();
        std::unique_ptr<std::FILE, int (*)(std::FILE*)> f(std::fopen("startstop.log", "a"),
                                                          std::fclose);
        if (f) {
            std::fprintf(f.get(), "lib_abort called %s:%d %p %p\n", file ? file : "", line,
                         hook_address(first), hook_address(second));
        }
        f.reset();
        if (first) first();
        if (second) second();
        // The message that explains the stop must reach the log file.
        log_flush();
    }
    std::abort();
}

}  // namespace tolvane

void std::default_delete<tolvane::MUTEX>::operator()(tolvane::MUTEX* m) const noexcept {
    delete m;
}
