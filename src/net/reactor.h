// Reactor: parked descriptors watched by one epoll thread, and a small fixed pool of
// workers that run what became ready.
//
// A connection that has nothing to do until its peer speaks (an SMTP session between
// commands) is parked: it costs its own buffers and one entry here, not a thread. When
// its descriptor becomes readable, or its idle limit passes first, its ready function
// runs once on one of the workers; to wait again it parks again. Blocking steps that
// are not tied to a descriptor (storing a mail, a TLS handshake) go to the same workers
// with post().
//
// Threads: one watcher thread (epoll_wait) and `workers` worker threads, all std::jthread
// owned by the reactor and joined by stop() (or the destructor). With no workers the ready
// functions run on the watcher thread itself: they must then be quick and never block
// (hand the connection to a pool of one's own). park() and post() may be called from any
// thread, also from a ready function.
//
// Ownership: the reactor never closes a descriptor; the parked one belongs to its ready
// function's captures, which the reactor holds until the function has run. stop() runs
// every function still parked or queued with Wake::stopping on the calling thread, after
// the workers have been joined, so that whatever they own is released there. stop() must
// not be called from a worker.
//
//   Reactor r(4);
//   r.park(fd, 300000, [conn = std::move(conn)](Reactor::Wake w) mutable {
//       if (w != Reactor::Wake::readable) return;   // idle too long, or stopping
//       serve(std::move(conn));                      // reads, answers, parks again
//   });
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <stop_token>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

struct epoll_event;

namespace tolvane {

class Reactor {
  public:
    enum class Wake { readable, idle, stopping };
    // std::function wants copyable captures: a connection is captured by shared_ptr.
    using Ready = std::function<void(Wake)>;

    // workers: threads that run the ready functions; 0 runs them on the watcher thread.
    explicit Reactor(std::size_t workers);
    ~Reactor();  // stop()
    Reactor(const Reactor&) = delete;
    Reactor& operator=(const Reactor&) = delete;

    // False when the reactor could not start (no epoll, no threads); logged.
    bool ok() const { return epfd_ >= 0; }

    // Watches fd until it is readable (or hung up) or idle_ms passes (-1: no limit), then
    // runs ready once on a worker. False after stop() or when the descriptor cannot be
    // watched (ready is then not run and is released on the caller's thread).
    bool park(int fd, long idle_ms, Ready ready);
    // Runs fn on a worker (Wake::readable; on the watcher without workers), or with
    // Wake::stopping on stop(). False after stop().
    bool post(Ready fn);

    // Ends the watcher and the workers: functions still parked or queued run with
    // Wake::stopping on the calling thread, then every thread is joined. Idempotent.
    void stop();

    std::size_t parked() const;  // descriptors being watched
    std::size_t workers() const { return workers_.size(); }

  private:
    struct Parked {
        int fd = -1;
        Ready ready;
        std::multimap<std::int64_t, std::uint64_t>::iterator deadline;
        bool has_deadline = false;
    };
    void watch(std::stop_token st);
    void work(std::stop_token st);
    // Runs the queued ready functions on the watcher thread (a reactor without workers).
    void run_queued_here();
    // Takes the entry id out of the table (and its deadline and epoll watch): its ready
    // function, empty when it was gone already.
    Ready take_locked(std::uint64_t id);
    void queue_locked(Ready fn, Wake w);
    long next_timeout_locked(std::int64_t now_ms);
    bool watch_locked(int fd, ::epoll_event& ev);

    int epfd_ = -1;
    int wake_ = -1;  // eventfd: wakes the watcher for a nearer deadline or stop
    mutable std::mutex m_;
    std::condition_variable_any work_cv_;
    std::unordered_map<std::uint64_t, Parked> parked_;
    std::unordered_set<int> armed_before_;  // descriptors that may still be registered
    std::multimap<std::int64_t, std::uint64_t> deadlines_;  // ms since the steady epoch -> id
    // When the watcher's present wait ends by itself (INT64_MAX: never), whether a wake
    // is on its way to it, and the longest idle limit parked so far (see next_timeout).
    std::int64_t wakes_at_ = INT64_MAX;
    bool wake_sent_ = false;
    long longest_idle_ = -1;
    std::deque<std::pair<Ready, Wake>> ready_;
    std::uint64_t next_id_ = 1;
    bool stopped_ = false;
    std::vector<std::jthread> workers_;
    std::jthread watcher_;
};

}  // namespace tolvane
