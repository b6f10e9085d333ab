// The threads that run the listener's sessions, and the reactor their idle connections
// wait in.
//
// A greeted connection becomes a task; a worker asks the policy's connect stage (a
// refused client hears so right after the greeting) and runs the dialogue. While the
// dialogue waits for the client's next command (before MAIL: after the greeting,
// HELO/EHLO, AUTH, STARTTLS, RSET; between recipients; after a mail's reply) and nothing
// of the client's is there, it stops (SMTP_SUSPENDED) and the connection waits in the
// reactor (net/reactor.h): one epoll thread watches every such connection, so a client
// that connects and says nothing, or stops in the middle of its envelope, costs its
// buffers, not a thread. When the client speaks, the connection becomes a task again and
// a worker goes on where the dialogue stopped. A connection silent for the client
// time-out there is closed, as a read that timed out would close it (a transaction still
// open is told to its policy, which gives back what it holds). Within DATA and during an
// AUTH or STARTTLS exchange the worker waits for the client itself, for at most that
// time-out. When
// the dialogue hands the connection on (RSET, or the next MAIL FROM), the next mail runs
// on the same worker: no thread is started per mail.
//
// Workers are started when every one is busy: at once while there are few, and beyond
// that only for a session still without a worker after POOL_GROW_AFTER_MS (a worker
// whose client is slow to answer lets it go within milliseconds, so a burst of clients
// does not start a thread each). Up to one per allowed session; they end after a minute
// without work (a few stay). Each session counts in the engine's sessions_busy
// from the moment it is queued or parked until its last mail is released, so that shutdown
// waits for it. smtp_session_pool_close_idle (the server's stop) closes the parked
// connections with "421" and makes every session that reaches the end of a mail close
// likewise instead of waiting for another.
//
// Ownership: the pool belongs to the engine (smtp_engine::session_pool) and owns its
// workers (std::jthread in a ThreadSet) and its reactor; the engine's destructor stops the
// pool, which stops the reactor (closing what is parked) and joins every worker before the
// engine goes (the server drains its sessions first).
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>

#include "foundation/log.h"
#include "foundation/thread.h"
#include "foundation/tracefile.h"
#include "net/reactor.h"
#include "smtp/engine.h"
#include "smtp/engine_impl.h"
#include "smtp/server.h"

namespace tolvane {

struct smtp_session_pool {
    std::mutex m;
    std::condition_variable cv;
    std::deque<std::unique_ptr<smtp_message>> tasks;
    // Queued sessions no idle worker is there to take (tasks beyond the workers waiting),
    // read without the lock by the dialogues. A task a waiting worker is about to take is
    // not counted: it holds nobody up.
    std::atomic<int> backlog{0};
    int threads = 0;  // workers alive
    int waiting = 0;  // workers waiting for a task
    // Workers that have just parked their session and are on their way back to wait: a
    // session queued meanwhile (often that very one, its client quick to speak again) is
    // theirs to take, and no worker is started for it.
    std::atomic<int> returning{0};
    int max_threads = 1;
    bool stopping = false;
    std::atomic<bool> closing{false};  // sessions end at the end of their mail ("421")
    // Never written: parked in the reactor only for its idle limit, the later look at
    // sessions still without a worker; grow_pending while it is parked. Declared before
    // the reactor, so closed after it.
    struct OwnedFd {
        int fd = -1;
        ~OwnedFd() {
            if (fd >= 0) ::close(fd);
        }
    } grow;
    bool grow_pending = false;
    // When a worker last took a task (steady clock, ms): a queue that moves needs no more
    // workers, however long it is.
    std::int64_t last_take_ms = 0;
    // Idle connections waiting for their client; no workers of its own (a ready connection
    // is queued for the session workers). Null when it could not start: sessions then wait
    // on their workers, as they always may.
    std::unique_ptr<Reactor> reactor;
    // Declared last: destroyed first, it joins the workers while the fields above are
    // still there.
    ThreadSet workers;
};

namespace {

std::int64_t steady_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Sets the backlog after tasks or waiting changed (under the pool's lock).
void note_backlog(smtp_session_pool* p) {
    const int unclaimed = static_cast<int>(p->tasks.size()) - p->waiting;
    p->backlog.store(unclaimed > 0 ? unclaimed : 0, std::memory_order_relaxed);
}

// Workers kept however long they idle.
constexpr int POOL_KEEP = 4;
// Workers started at once for a session that finds none idle; beyond them a session waits
// this long for a busy one to come free before a worker is started for it.
constexpr int POOL_EAGER = 8;
constexpr long POOL_GROW_AFTER_MS = 10;
constexpr auto POOL_IDLE = std::chrono::seconds(60);
// How long a stop waits for the workers to end.
constexpr auto POOL_STOP_WAIT = std::chrono::seconds(2);
constexpr std::string_view R_CLOSING = "421 Service closing transmission channel";

void enqueue(smtp_session_pool* p, smtp_engine& d, std::unique_ptr<smtp_message> m);

// A session's end at a shutdown: told why, then closed (the message closes its connection).
void close_with_421(smtp_engine& d, std::unique_ptr<smtp_message>& m) {
    if (m && m->sock) {
        if (smtp_logging(d)) smtp_log(d, m->sock->sockno(), "SMTP->[%s]", R_CLOSING.data());
        (void)m->sock->reply(R_CLOSING);
        (void)m->sock->flush();
    }
    m.reset();
}

// Parks m's connection in the reactor until its client speaks (a worker then runs it) or
// stays silent for the client time-out (closed); true when it was taken. Only a connection
// whose next bytes can come from its descriptor alone is parked. At a stop, a mail whose
// envelope is under way goes back to a worker to be finished, as a mail on a worker is;
// the others are told "421".
bool park(smtp_session_pool* p, smtp_engine& d, std::unique_ptr<smtp_message>& m) {
    if (!p->reactor || !m || !m->sock || m->sock->wrap_pending || !m->sock->input_drained())
        return false;
    const int fd = m->sock->link->wait_fd();
    if (fd < 0 || !m->sock->flush()) return false;
    m->sock->release_buffer();
    auto box = std::make_shared<std::unique_ptr<smtp_message>>(std::move(m));
    p->returning.fetch_add(1);  // before its wake can queue it
    const bool parked = p->reactor->park(fd, d.client_timeout, [p, dp = &d, box](Reactor::Wake w) {
        if (w == Reactor::Wake::readable ||
            (w == Reactor::Wake::stopping && *box && smtp_mail_under_way(**box))) {
            enqueue(p, *dp, std::move(*box));
            return;
        }
        // A transaction that ends before its mail: its policy is told, as for a client
        // that went away while a worker waited for it.
        if (*box && (*box)->policy && smtp_transaction_open(**box)) (*box)->policy->on_abort();
        if (w == Reactor::Wake::stopping)
            close_with_421(*dp, *box);
        else
            box->reset();  // silent too long: closed, as a timed-out read closes it
        dp->sessions_busy.fetch_sub(1);
    });
    if (!parked) {
        p->returning.fetch_sub(1);
        m = std::move(*box);
    }
    return parked;
}

// The mails of one connection while its client keeps talking: each hands the connection
// to the next through its own `next` (RSET, a new HELO, the next MAIL), and the next runs on
// this worker unless its client has nothing waiting; the connection then waits in the
// reactor and this worker is free (true: counted in the pool's returning until the worker
// waits again).
bool run_session(smtp_session_pool* p, smtp_engine& d, std::unique_ptr<smtp_message> first) {
    std::unique_ptr<smtp_message> next = std::move(first);
    // The dialogue trace of this connection is held: it goes out when the client has kept
    // the session waiting for a second, when much is held, and when the session leaves this
    // worker (before the session stops counting as busy). A short session costs one write.
    TraceHold trace_hold;
    if (next->sock && !next->sock->greeting_untraced.empty()) {
        smtp_log(d, next->sock->sockno(), "SMTP->[220 %s]", next->sock->greeting_untraced.c_str());
        next->sock->greeting_untraced.clear();
    }
    for (bool first_mail = true; next; first_mail = false) {
        if (!first_mail && p->closing.load() && !smtp_mail_under_way(*next)) {
            // A shutdown: the client is between mails (or idle before one). A mail under
            // way (suspended within its envelope) is finished first.
            if (next->suspended && next->policy && smtp_transaction_open(*next))
                next->policy->on_abort();
            close_with_421(d, next);
            break;
        }
        // The dialogue may stop to wait for its client without this thread only while the
        // connection can be parked.
        bool can_park = p->reactor != nullptr;
        if (next->suspended) {
            next->suspended = false;
            if (park(p, d, next)) {
                trace_write_held();
                return true;  // still counted busy: the reactor has it
            }
            can_park = false;  // this time it waits here
        }
        next->may_suspend = can_park;
        next->backlog = &p->backlog;
        if (d.run_mail)
            d.run_mail(next);
        else
            next.reset();
    }
    trace_write_held();
    d.sessions_busy.fetch_sub(1);
    return false;
}

void worker(smtp_session_pool* p, smtp_engine* d) {
    std::unique_lock<std::mutex> g(p->m);
    for (;;) {
        ++p->waiting;
        note_backlog(p);
        bool got = p->cv.wait_for(g, POOL_IDLE, [&] { return p->stopping || !p->tasks.empty(); });
        --p->waiting;
        if (p->stopping || (!got && p->threads > POOL_KEEP)) break;
        if (p->tasks.empty()) continue;
        std::unique_ptr<smtp_message> task = std::move(p->tasks.front());
        p->tasks.pop_front();
        p->last_take_ms = steady_ms();
        note_backlog(p);
        g.unlock();
        const bool parked = run_session(p, *d, std::move(task));
        g.lock();
        if (parked) p->returning.fetch_sub(1);  // waits now, under the same lock
    }
    // Counted out now; the thread set releases what its libraries keep for the thread
    // before it counts as ended, and the stop waits for that.
    --p->threads;
}

// Starts a worker (under the pool's lock); false when none could start.
bool start_worker_locked(smtp_session_pool* p, smtp_engine& d) {
    if (p->threads >= p->max_threads) return false;
    ++p->threads;  // counted before it starts, under the lock it takes first
    if (p->workers.start([p, dp = &d](std::stop_token) { worker(p, dp); })) return true;
    --p->threads;
    emsg("SMTP: cannot start a session thread (%d running)", p->threads);
    return false;
}

bool grow_later(smtp_session_pool* p, smtp_engine& d);

// The later look at sessions still queued with no idle worker to take them. While the
// workers keep taking tasks the queue moves and nothing is started (a burst of clients
// is drained by the workers there are); when none was taken for POOL_GROW_AFTER_MS (slow
// clients hold every worker), a quarter more workers start, at least one. Another look
// follows while sessions are left waiting.
void grow_late(smtp_session_pool* p, smtp_engine& d, Reactor::Wake w) {
    bool again = false;
    {
        std::lock_guard<std::mutex> g(p->m);
        p->grow_pending = false;
        if (w == Reactor::Wake::stopping || p->stopping) return;
        const int unclaimed = static_cast<int>(p->tasks.size()) - p->waiting;
        if (unclaimed <= 0) return;
        again = true;
        if (steady_ms() - p->last_take_ms >= POOL_GROW_AFTER_MS) {
            const int more = std::min(unclaimed, std::max(1, p->threads / 4));
            for (int n = 0; n < more; ++n)
                if (!start_worker_locked(p, d)) return;
            again = unclaimed > more;
        }
    }
    if (again) (void)grow_later(p, d);
}

// Asks for the later look unless one is on its way; false when it cannot be had (no
// reactor, or it stopped): the caller then starts a worker at once.
bool grow_later(smtp_session_pool* p, smtp_engine& d) {
    {
        std::lock_guard<std::mutex> g(p->m);
        if (p->grow_pending) return true;
        if (!p->reactor || p->grow.fd < 0) return false;
        p->grow_pending = true;
    }
    // Parked without the pool's lock: the look itself takes it on the reactor's thread.
    if (p->reactor->park(p->grow.fd, POOL_GROW_AFTER_MS,
                         [p, dp = &d](Reactor::Wake w) { grow_late(p, *dp, w); }))
        return true;
    std::lock_guard<std::mutex> g(p->m);
    p->grow_pending = false;
    return false;
}

// Queues a session (already counted busy) for a worker, starting one when every worker is
// busy and the cap allows (at once while there are few, otherwise after a moment).
void enqueue(smtp_session_pool* p, smtp_engine& d, std::unique_ptr<smtp_message> m) {
    std::unique_lock<std::mutex> g(p->m);
    if (p->stopping) {
        g.unlock();
        close_with_421(d, m);
        d.sessions_busy.fetch_sub(1);
        return;
    }
    p->tasks.push_back(std::move(m));
    note_backlog(p);
    if (p->waiting + p->returning.load() >= static_cast<int>(p->tasks.size())) {
        // Told after the lock is let go: a worker woken under it would only wake to wait
        // for the lock (two more futex calls per connection).
        g.unlock();
        p->cv.notify_one();
        return;
    }
    if (p->threads >= POOL_EAGER && p->threads < p->max_threads) {
        g.unlock();
        if (grow_later(p, d)) return;
        g.lock();
        if (p->stopping) return;  // the stop dropped the task
    }
    if (start_worker_locked(p, d)) return;
    // Every worker is busy and no more can start: the task waits for the first to finish.
    if (p->threads == 0) {
        // Nothing will ever take it: the client is closed.
        std::unique_ptr<smtp_message> lost = std::move(p->tasks.back());
        p->tasks.pop_back();
        note_backlog(p);
        g.unlock();
        lost.reset();
        d.sessions_busy.fetch_sub(1);
    }
}

smtp_session_pool* pool_of(smtp_engine& d) {
    if (!d.session_pool) {
        auto p = std::make_shared<smtp_session_pool>();
        // One worker per session the cap allows; without a cap, a bound all the same.
        p->max_threads = d.max_sessions > 0 ? d.max_sessions : 4096;
        p->reactor = std::make_unique<Reactor>(0);
        if (!p->reactor->ok()) p->reactor.reset();
        p->grow.fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        d.session_pool = std::move(p);
    }
    return d.session_pool.get();
}

}  // namespace

bool smtp_session_start(smtp_engine& d, std::unique_ptr<smtp_message> m) {
    if (!d.run_mail) return false;
    smtp_session_pool* p = pool_of(d);
    d.sessions_busy.fetch_add(1);
    // Its connect stage is asked on a worker first (a refused client hears so right after
    // the greeting); the dialogue then parks it while its client is silent.
    enqueue(p, d, std::move(m));
    return true;
}

void smtp_session_pool_close_idle(smtp_engine& d) {
    if (!d.session_pool) return;
    d.session_pool->closing.store(true);
    // Every parked connection is told "421" and closed on this thread; a session that
    // ends its mail later closes the same way.
    if (d.session_pool->reactor) d.session_pool->reactor->stop();
}

int smtp_session_parked(const smtp_engine& d) {
    return d.session_pool && d.session_pool->reactor
               ? static_cast<int>(d.session_pool->reactor->parked())
               : 0;
}

void smtp_session_pool_stop(smtp_engine& d) {
    if (!d.session_pool) return;
    smtp_session_pool_close_idle(d);
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
