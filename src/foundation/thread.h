// Threads and named locks.
//
// ThreadSet owns threads that end on their own (one per web connection, per
// receiving loop): each is a std::jthread joined once its work has returned, none is
// detached. th_join_later takes a jthread that cannot join itself where it stands (it
// is releasing its own owner) and joins it once it has returned. MUTEX is a named,
// re-entrant lock that remembers its holder (thread id, source place, time of
// acquisition) and is taken with a time limit in milliseconds. The queued wait
// hands a busy lock to waiting threads in the order in which they arrived. A
// broken lock invariant ends the process through lib_abort, which leaves a line
// in startstop.log.
//
//   auto m = th_mutex_new("PHONES");
//   if (MutexHold hold(m.get()); hold) { ... }      // waits up to TH_FOREVER
#pragma once

#include <condition_variable>
#include <cstddef>
#include <ctime>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <stop_token>
#include <thread>
#include "foundation/srcloc.h"

namespace tolvane {
class MUTEX;
}  // namespace tolvane

// The handles are opaque; their deleters live in thread.cpp so that callers can own them
// through std::unique_ptr without seeing the types.
template <>
struct std::default_delete<tolvane::MUTEX> {
    void operator()(tolvane::MUTEX* m) const noexcept;
};

namespace tolvane {

// The limit used wherever a caller means "as long as it takes" (a little under 28 hours).
inline constexpr long TH_FOREVER = 99999999;
// Threads that end on their own, owned: every thread started here is a std::jthread
// that the set joins once its function has returned (at the next start, in reap() or
// join_all(), and in the destructor, which asks every thread to stop and waits for all).
// The function gets the thread's stop token; the thread runs th_release_thread_state()
// before it counts as ended.
class ThreadSet {
  public:
    ThreadSet() = default;
    ~ThreadSet();
    ThreadSet(const ThreadSet&) = delete;
    ThreadSet& operator=(const ThreadSet&) = delete;

    // Starts fn on a thread of the set; false (logged) when no thread could be started.
    bool start(std::function<void(std::stop_token)> fn);
    // Joins the threads whose function has returned.
    void reap();
    // Asks every thread to stop (their stop tokens), without waiting.
    void request_stop();
    // Waits up to limit_ms for every thread to end and joins those that did; true when
    // none is left.
    bool join_all(long limit_ms);
    // Threads started and not joined yet (ended or not); threads still running.
    std::size_t size() const;
    std::size_t running() const;

  private:
    struct Entry {
        std::jthread thread;
        bool done = false;  // the function has returned (under g_)
    };
    void reap_locked(std::list<Entry>& out);
    mutable std::mutex g_;
    std::condition_variable ended_;
    std::list<Entry> threads_;
    std::size_t running_ = 0;
};

// Keeps a thread that cannot be joined where it stands (its owner is being released on
// the thread itself, and a jthread cannot join itself) until it has ended: it is joined by
// the next call, by th_join_pending(), or at process exit. Its stop is asked at once; the
// thread must be about to end.
void th_join_later(std::jthread t);
// Joins every thread handed to th_join_later (each is about to end); how many it joined.
std::size_t th_join_pending();

// The calling thread's id as a small integer (the kernel thread id); printed in every log line.
int th_id();
// A library that keeps state per thread (the TLS library does) registers how to release it.
// Every thread of a ThreadSet (and every worker pool of the transports) runs the hook when
// its work is done; a thread that must have
// released that state before it says it has finished calls th_release_thread_state itself
// (running the hook twice is harmless). Without it, a thread still ending while the process
// exits leaves that state behind, unreachable.
void th_on_thread_end(void (*hook)());
void th_release_thread_state();

class MUTEX;
std::unique_ptr<MUTEX> th_mutex_new_remember(const char* name, const char* file, int line);
inline std::unique_ptr<MUTEX> th_mutex_new(
    const char* name, std::source_location loc = std::source_location::current()) {
    return th_mutex_new_remember(name, loc.file_name(), static_cast<int>(loc.line()));
}
void th_mutex_free(std::unique_ptr<MUTEX>& m);

// 1 when the caller holds the lock (again, if it held it already), 0 on time-out or a null lock.
int th_mutex_wait_remember(MUTEX* m, long ms, const char* file, int line);
inline int th_mutex_wait(MUTEX* m, long ms,
                         std::source_location loc = std::source_location::current()) {
    return th_mutex_wait_remember(m, ms, loc.file_name(), static_cast<int>(loc.line()));
}
// Releases one acquisition; the lock is free when every acquisition is released. Returns 1.
int th_mutex_release(MUTEX* m);

// As th_mutex_wait; on failure logs who holds the lock and ends the process.
int th_mutex_wait_or_die_real(MUTEX* m, long ms, const char* file, int line);
inline int th_mutex_wait_or_die(MUTEX* m, long ms,
                                std::source_location loc = std::source_location::current()) {
    return th_mutex_wait_or_die_real(m, ms, loc.file_name(), static_cast<int>(loc.line()));
}

// Queued wait: threads get the lock in the order in which they joined its waiting list.
void th_mutex_queue_init();
void th_mutex_queue_clear();
int th_mutex_get_queue_real(MUTEX* m, const char* file, int line);
inline int th_mutex_get_queue(MUTEX* m,
                              std::source_location loc = std::source_location::current()) {
    return th_mutex_get_queue_real(m, loc.file_name(), static_cast<int>(loc.line()));
}
// Number of threads on the lock's queued-wait list (0 without a queue table).
int th_mutex_queue_length(const MUTEX* m);

// Observers, for messages and tests.
const char* th_mutex_name(const MUTEX* m);  // "UNNAMED" for a lock without a name
int th_mutex_holder(const MUTEX* m);        // thread id of the holder, -1 when free
int th_mutex_nref(const MUTEX* m);          // extra acquisitions by the holder
const char* th_mutex_file(const MUTEX* m);  // place of the last acquisition
int th_mutex_line(const MUTEX* m);
std::time_t th_mutex_aquired(const MUTEX* m);  // 0 when free

// Scoped acquisition: takes the lock in the constructor, releases it in the destructor.
class MutexHold {
  public:
    explicit MutexHold(MUTEX* m, long ms = TH_FOREVER,
                       std::source_location loc = std::source_location::current());
    ~MutexHold();
    MutexHold(const MutexHold&) = delete;
    MutexHold& operator=(const MutexHold&) = delete;
    explicit operator bool() const { return held_; }
    void release();

  private:
    MUTEX* m_;
    bool held_;
};

// Fatal stop for broken invariants: appends "lib_abort called %s:%d %p %p\n" to startstop.log
// in the current directory (once), calls the hooks and aborts.
[[noreturn]] void lib_abort_real(const char* file, int line);
[[noreturn]] inline void lib_abort(std::source_location loc = std::source_location::current()) {
    lib_abort_real(loc.file_name(), static_cast<int>(loc.line()));
}
// Optional hooks called by lib_abort before the process ends (their addresses are printed).
void lib_abort_hooks(void (*first)(), void (*second)());

}  // namespace tolvane
