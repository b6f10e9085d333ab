// Named locks and the counted worker threads.
#include "records/mutexlist.h"

#include <array>
#include <chrono>
#include <cstdio>
#include <string>

#include "foundation/lib.h"
#include "foundation/log.h"
#include "foundation/thread.h"

namespace tolvane {

namespace {

constexpr std::array<const char*, PROCESS_LOCKS> LOCK_NAMES = {"PHONES", "THREADS"};

// How long a set of counted threads that goes waits for those still running (a shutdown
// has waited for them already; one that overran it ended the process without this).
constexpr long COUNTED_EXIT_WAIT_MS = 2000;

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

NamedLock::NamedLock(ProcessLockId id) : id_(id), m_(th_mutex_new(LOCK_NAMES[id])) {
    if (!m_)
        lock_fault(
            strprintf("Failed to init mutex %d(%s)", static_cast<int>(id_), LOCK_NAMES[id_]));
}

NamedLock::~NamedLock() {
    th_mutex_free(m_);
}

int NamedLock::get_debug(const char* file, int line) {
    if (th_mutex_wait_remember(m_.get(), wait_limit_.load(), file, line) != 1) {
        const char* held_file = th_mutex_file(m_.get());
        lock_fault(strprintf("Failed to get mutex %d(%s). Held at (%s:%d)", static_cast<int>(id_),
                             LOCK_NAMES[id_], held_file ? held_file : "", th_mutex_line(m_.get())));
    }
    return 1;
}

int NamedLock::release() {
    int rc = th_mutex_release(m_.get());
    if (rc != 1) emsg("Failed to release mutex %d(%s)", static_cast<int>(id_), LOCK_NAMES[id_]);
    return rc;
}

const char* NamedLock::name() const {
    return LOCK_NAMES[id_];
}

void CountedThreads::State::add() {
    LockHold hold(lock);
    count.fetch_add(1);
}

void CountedThreads::State::remove() {
    {
        LockHold hold(lock);
        count.fetch_sub(1);
    }
    // Taken after the change, so a waiter has either seen the new count or is waiting.
    std::lock_guard<std::mutex> g(changed_lock);
    changed.notify_all();
}

CountedThreads::CountedThreads()
    : st_(std::make_shared<State>()), set_(std::make_unique<ThreadSet>()) {}

CountedThreads::~CountedThreads() {
    if (!set_->join_all(COUNTED_EXIT_WAIT_MS)) (void)set_.release();
}

void CountedThreads::add() {
    st_->add();
}

void CountedThreads::remove() {
    st_->remove();
}

bool CountedThreads::wait_zero(long limit_ms) {
    std::unique_lock<std::mutex> g(st_->changed_lock);
    return st_->changed.wait_for(g, std::chrono::milliseconds(limit_ms > 0 ? limit_ms : 0),
                                 [this] { return st_->count.load() == 0; });
}

bool CountedThreads::start(std::function<void()> fn) {
    st_->add();
    bool started = set_->start([st = st_, fn = std::move(fn)](std::stop_token) {
        fn();
        st->remove();
    });
    if (!started) st_->remove();
    return started;
}

}  // namespace tolvane
