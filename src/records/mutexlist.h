// Named locks with a wait limit, and the count of a gateway's running worker threads.
//
// A NamedLock belongs to what it guards: the phone pool's (PhonePool::use_lock, named
// PHONES) and the counted threads' (CountedThreads, named THREADS); two gateways in one
// process share neither. Each acquisition records the caller's place, so a lock that
// cannot be had within the wait limit (two minutes) is reported with the place that
// holds it, and the process stops: a lock held that long is a bug, not a load problem.
// The locks are re-entrant; no path holds two at once.
//
//   if (LockHold hold(pool.use_lock()); hold) { ...pool work... }
//   gw.threads.start([&gw] { ... });   // counted until it returns
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>

#include "foundation/srcloc.h"
#include "foundation/thread.h"

namespace tolvane {

// The locks by number, as their log lines name them.
enum ProcessLockId : int { PHONES = 0, THREADS = 1, PROCESS_LOCKS = 2 };

inline constexpr long MUTEXLIST_WAIT_MS = 120000;

class NamedLock {
  public:
    // A lock of the named kind (a lock that cannot be made stops the process).
    explicit NamedLock(ProcessLockId id);
    ~NamedLock();
    NamedLock(const NamedLock&) = delete;
    NamedLock& operator=(const NamedLock&) = delete;

    // Waits for the lock for at most the wait limit and records file and line as the
    // holder's place. Returns 1; a lock not obtained stops the process.
    int get_debug(const char* file, int line);
    int get(std::source_location loc = std::source_location::current()) {
        return get_debug(loc.file_name(), static_cast<int>(loc.line()));
    }
    // Releases one acquisition; logs "Failed to release mutex %d(%s)" when that fails.
    int release();
    // "PHONES", "THREADS".
    const char* name() const;

    // The wait limit in milliseconds (MUTEXLIST_WAIT_MS unless changed, e.g. by a test).
    long wait_limit() const { return wait_limit_.load(); }
    void set_wait_limit(long ms) { wait_limit_.store(ms > 0 ? ms : MUTEXLIST_WAIT_MS); }

  private:
    const ProcessLockId id_;
    std::unique_ptr<MUTEX> m_;
    std::atomic<long> wait_limit_{MUTEXLIST_WAIT_MS};
};

// Scoped acquisition of a named lock.
class LockHold {
  public:
    explicit LockHold(NamedLock& lock, std::source_location loc = std::source_location::current())
        : lock_(lock),
          held_(lock.get_debug(loc.file_name(), static_cast<int>(loc.line())) == 1) {}
    ~LockHold() {
        if (held_) lock_.release();
    }
    LockHold(const LockHold&) = delete;
    LockHold& operator=(const LockHold&) = delete;
    explicit operator bool() const { return held_; }

  private:
    NamedLock& lock_;
    bool held_;
};

// A gateway's counted worker threads (Gateway::threads): each is counted in before it
// starts (so that shutdown waits for it even when it has not run yet) and out when its
// function returns, under the THREADS lock. The set owns the threads and joins each once
// it has ended (at the next start, or when the set goes). A set that goes while threads
// still run waits for them for a little while (a shutdown has waited for them already)
// and then leaves them running: the process ends under them.
class CountedThreads {
  public:
    CountedThreads();
    ~CountedThreads();
    CountedThreads(const CountedThreads&) = delete;
    CountedThreads& operator=(const CountedThreads&) = delete;

    // Count a worker thread in and out; count() reads the count.
    void add();
    void remove();
    int count() const { return st_->count.load(); }
    // Waits up to limit_ms for the count to reach 0, woken by each thread that ends; true
    // when it did.
    bool wait_zero(long limit_ms);
    // Runs fn on a new thread of the set, counted as above. False, with nothing counted,
    // when no thread could be started.
    [[nodiscard]] bool start(std::function<void()> fn);
    // The lock the count changes under.
    NamedLock& lock() { return st_->lock; }

  private:
    // Shared with the threads, so that one left running when the set goes still counts
    // itself out safely.
    struct State {
        NamedLock lock{THREADS};
        std::atomic<int> count{0};
        // Wakes wait_zero when a counted thread ends.
        std::mutex changed_lock;
        std::condition_variable changed;
        void add();
        void remove();
    };
    std::shared_ptr<State> st_;
    std::unique_ptr<ThreadSet> set_;
};

}  // namespace tolvane
