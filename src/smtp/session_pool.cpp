// The threads that run the listener's sessions.
//
// A greeted connection becomes a task; a worker runs the engine's run_mail (the
// server's dialogue with its policy) for its first mail and, when the dialogue hands
// the connection on (RSET, or the next MAIL FROM), for each further mail on the
// same thread: no thread is started per mail. Workers are started when every
// one is busy, up to one per allowed session, and end after a minute without
// work (a few stay). Each session counts in the engine's sessions_busy from the
// moment it is queued until its last mail is released, so that shutdown waits
// for it.
//
// Ownership: the pool belongs to the transport (smtp_engine::session_pool) and owns its
// workers (std::jthread in a ThreadSet): a worker that ended idle is joined by the
// next start, and the engine's destructor stops the pool and joins every worker
// before the engine goes (the server drains its sessions first).
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>

#include "foundation/log.h"
#include "foundation/thread.h"
#include "foundation/tracefile.h"
#include "smtp/engine.h"
#include "smtp/engine_impl.h"

namespace tolvane {

struct smtp_session_pool {
    std::mutex m;
    std::condition_variable cv;
    std::deque<std::unique_ptr<smtp_message>> tasks;
    int threads = 0;  // workers alive
    int waiting = 0;  // workers waiting for a task
    int max_threads = 1;
    bool stopping = false;
    // Declared last: destroyed first, it joins the workers while the fields above are
    // still there.
    ThreadSet workers;
};

namespace {

// Workers kept however long they idle.
constexpr int POOL_KEEP = 4;
constexpr auto POOL_IDLE = std::chrono::seconds(60);
// How long a stop waits for the workers to end.
constexpr auto POOL_STOP_WAIT = std::chrono::seconds(2);

// Every mail of one connection, in turn: each hands the connection to the next through
// its own `next` (RSET, a new HELO, the next MAIL), and the next runs on this worker.
void run_session(smtp_engine& d, std::unique_ptr<smtp_message> first) {
    std::unique_ptr<smtp_message> next = std::move(first);
    // The dialogue trace of this connection is held: it goes out when the client has kept
    // the session waiting for a second, when much is held, and when the connection ends
    // (before the session stops counting as busy). A short session costs one trace write.
    TraceHold trace_hold;
    if (next->sock && !next->sock->greeting_untraced.empty()) {
        smtp_log(d, next->sock->sockno(), "SMTP->[220 %s]", next->sock->greeting_untraced.c_str());
        next->sock->greeting_untraced.clear();
    }
    while (next) {
        if (d.run_mail)
            d.run_mail(next);
        else
            next.reset();
    }
    trace_write_held();
    d.sessions_busy.fetch_sub(1);
}

void worker(smtp_session_pool* p, smtp_engine* d) {
    std::unique_lock<std::mutex> g(p->m);
    for (;;) {
        ++p->waiting;
        bool got = p->cv.wait_for(g, POOL_IDLE, [&] { return p->stopping || !p->tasks.empty(); });
        --p->waiting;
        if (p->stopping || (!got && p->threads > POOL_KEEP)) break;
        if (p->tasks.empty()) continue;
        std::unique_ptr<smtp_message> task = std::move(p->tasks.front());
        p->tasks.pop_front();
        g.unlock();
        run_session(*d, std::move(task));
        g.lock();
    }
    // Counted out now; the thread set releases what its libraries keep for the thread
    // before it counts as ended, and the stop waits for that.
    --p->threads;
}

}  // namespace

bool smtp_session_start(smtp_engine& d, std::unique_ptr<smtp_message> m) {
    if (!d.run_mail) return false;
    if (!d.session_pool) {
        d.session_pool = std::make_shared<smtp_session_pool>();
        // One worker per session the cap allows; without a cap, a bound all the same.
        d.session_pool->max_threads = d.max_sessions > 0 ? d.max_sessions : 4096;
    }
    smtp_session_pool* p = d.session_pool.get();
    d.sessions_busy.fetch_add(1);
    std::unique_lock<std::mutex> g(p->m);
    p->tasks.push_back(std::move(m));
    if (p->waiting >= static_cast<int>(p->tasks.size())) {
        // Told after the lock is let go: a worker woken under it would only wake to wait
        // for the lock (two more futex calls per connection).
        g.unlock();
        p->cv.notify_one();
        return true;
    }
    if (p->threads < p->max_threads) {
        // Counted before it starts, under the lock it takes first.
        ++p->threads;
        if (p->workers.start([p, dp = &d](std::stop_token) { worker(p, dp); })) return true;
        --p->threads;
        emsg("SMTP: cannot start a session thread (%d running)", p->threads);
    }
    // Every worker is busy and no more can start: the task waits for the first to finish.
    if (p->threads == 0) {
        // Nothing will ever take it: the client is closed.
        std::unique_ptr<smtp_message> lost = std::move(p->tasks.back());
        p->tasks.pop_back();
        d.sessions_busy.fetch_sub(1);
        return true;
    }
    return true;
}

void smtp_session_pool_stop(smtp_engine& d) {
    if (!d.session_pool) return;
    {
        std::lock_guard<std::mutex> g(d.session_pool->m);
        d.session_pool->stopping = true;
        // Sessions still queued are dropped: their connections close.
        d.session_pool->tasks.clear();
    }
    d.session_pool->cv.notify_all();
    // The idle workers end at once and are joined here. One still in a session (its
    // client outlived the drain) is waited for a moment here, and joined when the pool
    // goes with the transport.
    (void)d.session_pool->workers.join_all(
        std::chrono::duration_cast<std::chrono::milliseconds>(POOL_STOP_WAIT).count());
}

}  // namespace tolvane
