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

#include <pthread.h>
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
#include <unordered_map>

#include "foundation/log.h"

namespace tolvane {

namespace {

std::string errno_text(int err) {
    char buf[256];
    // GNU strerror_r may return a static text instead of filling buf.
    const char* s = strerror_r(err, buf, sizeof buf);
    return s ? s : "";
}

struct ThreadState {
    std::mutex m;
    bool alive = true;
};

struct StartBlock {
    std::function<void()> fn;
    std::shared_ptr<ThreadState> state;
};

std::atomic<void (*)()> g_thread_end_hook{nullptr};

void* thread_trampoline(void* arg) {
    std::unique_ptr<StartBlock> start(static_cast<StartBlock*>(arg));
    start->fn();
    start->fn = nullptr;
    th_release_thread_state();
    {
        // After this point the thread no longer accepts signals through its handle, so a
        // late th_kill never touches a descriptor that the system has already reused.
        std::lock_guard<std::mutex> g(start->state->m);
        start->state->alive = false;
    }
    return nullptr;
}

}  // namespace

class Thread {
  public:
    pthread_t id{};
    std::shared_ptr<ThreadState> state;
};

std::unique_ptr<Thread> th_new(std::function<void()> fn, std::size_t stack) {
    if (!fn) return nullptr;
    pthread_attr_t attr;
    int r = pthread_attr_init(&attr);
    if (r != 0) {
        emsg("Thread creation failed r=%d %s\n", r, errno_text(r).c_str());
        errno = r;
        return nullptr;
    }
    if ((r = pthread_attr_setscope(&attr, PTHREAD_SCOPE_SYSTEM)) != 0)
        emsg("Thread setscope failed %s\n", errno_text(r).c_str());
    if ((r = pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED)) != 0)
        emsg("Thread setdetachstate failed %s\n", errno_text(r).c_str());
    std::size_t want = std::max<std::size_t>(stack, static_cast<std::size_t>(PTHREAD_STACK_MIN));
    if ((r = pthread_attr_setstacksize(&attr, want)) != 0)
        emsg("Thread setstacksize failed %s\n", errno_text(r).c_str());

    auto t = std::make_unique<Thread>();
    t->state = std::make_shared<ThreadState>();
    auto start = std::make_unique<StartBlock>();
    start->fn = std::move(fn);
    start->state = t->state;
    r = pthread_create(&t->id, &attr, thread_trampoline, start.get());
    pthread_attr_destroy(&attr);
    if (r != 0) {
        emsg("Thread creation failed r=%d %s\n", r, errno_text(r).c_str());
        errno = r;
        return nullptr;
    }
    start.release();  // now owned by the new thread
    return t;
}

void th_free(std::unique_ptr<Thread>& t) {
    t.reset();
}

int th_kill(const Thread* t, int sig) {
    if (!t || !t->state) return ESRCH;
    std::lock_guard<std::mutex> g(t->state->m);
    if (!t->state->alive) return ESRCH;
    if (sig == 0) return 0;
    return pthread_kill(t->id, sig);
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

void std::default_delete<tolvane::Thread>::operator()(tolvane::Thread* t) const noexcept {
    delete t;
}
void std::default_delete<tolvane::MUTEX>::operator()(tolvane::MUTEX* m) const noexcept {
    delete m;
}
