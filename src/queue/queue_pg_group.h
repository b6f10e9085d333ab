// Grouped commits for the PostgreSQL queue: many callers' statements in one transaction.
//
// Callers hand in jobs (statements to run); a group whose jobs are all statements goes to
// the server as one pipeline (BEGIN, the statements, COMMIT: one round trip); the first caller to
// find no transaction running takes every job waiting and runs them in one transaction on the
// group's link, so that concurrent enqueues and attempts share one commit. Jobs nobody waits for
// (outcomes, releases) ride along with the next caller's group, or are run by a flusher
// thread when none comes within LATER_LINGER_MS; an outcome that cannot be written is kept and
// tried again, every PG_RETRY_MS while the database is away. A group waits for the server's
// disk only when one of its jobs needs it (durable).
//
//   PgGroup g(dsn, before_group);  g.start();
//   auto job = std::make_shared<PgJob>();  job->work = [&](PgConn& c) -> Status {...};
//   if (Status s = g.submit(job); !s) ...;  // or g.submit_later(job) for no wait
//
// Ownership: the group owns its link and its flusher; close() (also the destructor) makes
// one last try for what is pending and reports what is lost. Limits: a job's `work` may run
// twice (alone, after its group failed for another job's statement), so it must only fill
// fields of its own; `after` runs once, after the commit.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "foundation/result.h"
#include "store/pg.h"

namespace tolvane {

// How long a job nobody waits for may wait for a caller's group to take it along. Under
// load a group commits every few milliseconds; idle, an outcome is written this much later.
inline constexpr long LATER_LINGER_MS = 5;

struct PgJob {
    // Either statements (sent with the group's others in one pipeline, their results
    // handed to take() after the commit... or before it, to fill the job's fields) or
    // work that runs its own statements one by one.
    std::vector<PgStmt> stmts;
    std::function<void(std::vector<PgResult>& results)> take;
    PgLink::Work work;
    // Kinds to announce on the group's channel once the group commits (one NOTIFY per
    // kind for the whole group).
    std::vector<int> notify;
    std::function<void()> after;
    bool keep = false;   // written later again when it fails (an outcome)
    bool reads = false;  // only reads: its commit writes nothing
    // Its commit must be on the server's disk before the caller hears of it. Claims,
    // releases, renewals and outcomes need not: a lost claim is only a free entry, and the
    // next durable commit (an attempt's) flushes an outcome written before it.
    bool durable = true;
    std::atomic<int>* counter = nullptr;  // decremented once the job is done
    // The caller waiting in submit(), woken alone when its job is done or it may lead.
    std::condition_variable* waiter = nullptr;
    bool done = false;
    bool ok = false;
    std::string why;
};

class PgGroup {
  public:
    // gather_us: when a durable group starts right after another (within 2 ms), the time
    // it waits for more callers to join it: one commit, and one wait for the server's
    // disk, for more mails, each a little later. About a disk flush of the server: 2 ms
    // took a commit for 6 mails instead of 3 under a 20-session load, at the same rate.
    // A lone client's mails never wait: their commits do not follow each other so soon.
    PgGroup(const std::string& dsn, std::string channel, std::function<void()> before_group,
            int gather_us = 2000)
        : link_(dsn, "queue"),
          channel_(std::move(channel)),
          before_group_(std::move(before_group)),
          gather_us_(gather_us) {}
    ~PgGroup() { close(); }
    PgGroup(const PgGroup&) = delete;
    PgGroup& operator=(const PgGroup&) = delete;

    // Called once per kind announced by a committed group (before start()): the local
    // side of the group's NOTIFY, one wake-up for however many jobs stored that kind.
    void set_committed(std::function<void(int kind)> committed) {
        committed_ = std::move(committed);
    }
    void start();
    void close();

    // Runs the job in a group and waits for its commit; an error when the job's statements
    // failed or the database could not be reached (the job is then not written).
    Status submit(const std::shared_ptr<PgJob>& job);
    // Runs a reading statement in the group, after every write handed in before it.
    Status read(const PgLink::Work& work);
    // Hands the job to the flusher without waiting.
    void submit_later(const std::shared_ptr<PgJob>& job);

    PgLink& link() { return link_; }
    const PgLink& link() const { return link_; }
    std::uint64_t commits() const { return commits_.load(); }
    std::size_t waiting();
    bool idle();  // nothing handed in and not yet written

  private:
    void lead(std::unique_lock<std::mutex>& lock);
    void finish(const std::shared_ptr<PgJob>& job);
    void wake_next();
    Status run_jobs(const std::vector<std::shared_ptr<PgJob>>& jobs);
    void flush_loop();
    void mark_closing();

    PgLink link_;
    const std::string channel_;
    std::function<void()> before_group_;
    std::function<void(int kind)> committed_;
    const int gather_us_;
    std::chrono::steady_clock::time_point last_durable_end_{};
    std::atomic<std::uint64_t> commits_{0};
    // Each caller in submit() waits on a condition of its own and the flusher on flush_:
    // the end of a group wakes only the callers it finished and the one who leads next,
    // not everyone waiting.
    std::mutex m_;
    std::condition_variable flush_;
    std::deque<std::shared_ptr<PgJob>> pending_;
    bool leading_ = false;
    bool last_failed_ = false;
    bool closing_ = false;
    std::size_t dropped_ = 0;  // outcomes given up at shutdown
    std::jthread flusher_;  // stopped through its stop token (close())
};

}  // namespace tolvane
