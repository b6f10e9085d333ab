// Process locks: a fixed, numbered set of named locks for the gateway's shared
// tables and counters, and the count of running worker threads.
//
// The list is created once at start-up (mutexlist_init) and freed at shutdown;
// the module owns the locks. Each acquisition records the caller's place, so a
// lock that cannot be had within the wait limit (two minutes) is reported with
// the place that holds it, and the process stops: a lock held that long is a
// bug, not a load problem. The locks are re-entrant; no path holds two at once.
//
//   if (ProcessLock hold(PHONES); hold) { ...pool work... }
//   add_thread(); ...; rmv_thread();
#pragma once

#include <functional>

#include "foundation/srcloc.h"

namespace tolvane {

enum ProcessLockId : int { PHONES = 0, THREADS = 1, PROCESS_LOCKS = 2 };

inline constexpr long MUTEXLIST_WAIT_MS = 120000;

// Creates one lock per name; 1 on success (failures stop the process). A second call
// without mutexlist_free in between keeps the existing locks.
int mutexlist_init();
// Waits for lock n for at most the wait limit and records file and line as the holder's
// place. Returns 1; a number outside the list or a lock not obtained stops the process.
int mutexlist_get_debug(int n, const char* file, int line);
inline int mutexlist_get(int n, std::source_location loc = std::source_location::current()) {
    return mutexlist_get_debug(n, loc.file_name(), static_cast<int>(loc.line()));
}
// Releases one acquisition of lock n; logs "Failed to release mutex %d(%s)" when that fails.
int mutexlist_release(int n);
void mutexlist_free();
// Name of lock n ("" outside the list).
const char* mutexlist_name(int n);

// The wait limit in milliseconds (MUTEXLIST_WAIT_MS unless changed, e.g. by a test).
long mutexlist_wait_limit();
void mutexlist_set_wait_limit(long ms);

// Scoped acquisition of a process lock.
class ProcessLock {
  public:
    explicit ProcessLock(int n, std::source_location loc = std::source_location::current())
        : n_(n),
          held_(mutexlist_get_debug(n, loc.file_name(), static_cast<int>(loc.line())) == 1) {}
    ~ProcessLock() {
        if (held_) mutexlist_release(n_);
    }
    ProcessLock(const ProcessLock&) = delete;
    ProcessLock& operator=(const ProcessLock&) = delete;
    explicit operator bool() const { return held_; }

  private:
    int n_;
    bool held_;
};

// Count a worker thread in and out under the THREADS lock; thread_count reads the count.
void add_thread();
void rmv_thread();
int thread_count();
// Waits up to limit_ms for the count to reach 0, woken by each thread that ends; true
// when it did.
bool thread_count_wait_zero(long limit_ms);
// Runs fn on a new worker thread, counted in before it starts (so that shutdown waits
// for it even when it has not run yet) and out when fn returns. The thread is owned by
// the process's set of counted threads, which joins it once it has ended (at the next
// start, or at exit). False, with nothing counted, when no thread could be started.
[[nodiscard]] bool start_counted_thread(std::function<void()> fn);

}  // namespace tolvane
