// The message queue on PostgreSQL (see queue_pg.h).
//
// Threads: callers (SMTP sessions, SMS threads, delivery workers) submit jobs to the group;
// a flusher thread writes the jobs nobody waits for (complete, release); a listener thread
// holds the LISTEN connection, wakes local workers on NOTIFY and renews the leases. Every
// statement runs on one link, reads (list, stats, next_ready) too, so that they see every
// write this process handed in before them.
#include "queue/queue_pg.h"
#include "queue/queue_pg_group.h"
#include "queue/queue_pg_rows.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "foundation/fileio.h"
#include "foundation/kind.h"
#include "foundation/lib.h"
#include "foundation/log.h"
#include "store/pg.h"
#include "store/pg_schema.h"

namespace tolvane {

namespace {

constexpr const char* COLUMNS = QUEUE_PG_COLUMNS;

// The earliest time an entry of kind $1 that is not ours becomes claimable: another
// gateway's claim counts from when its lease runs out, on our clock ($2 is our now).
#define QUEUE_PG_NEXT_DUE                                                        \
    "SELECT min(CASE WHEN owner IS NULL THEN not_before_ms"                      \
    " ELSE greatest(not_before_ms, lease_until_ms - tv_now_ms() + $2 + 1)"       \
    " END) FROM tv_queue WHERE kind = $1 AND (owner IS NULL OR owner <> $3)"

// A claim: up to $5 ready rows of kind $1, picked, locked and marked ours ($3, lease $4)
// in one statement, in the columns of row_entry() and then the owner they were taken
// from and whether their first attempt was stored with them. When none was ready, one row
// of NULLs instead whose last column is the next due time, so that the worker about to
// wait needs no second round trip to learn until when.
constexpr const char* CLAIM_SQL =
    "WITH c AS (SELECT id, owner AS was, marked AS m FROM tv_queue"
    " WHERE kind = $1 AND not_before_ms <= $2"
    " AND (owner IS NULL OR lease_until_ms < tv_now_ms())"
    " ORDER BY id LIMIT $5 FOR UPDATE SKIP LOCKED),"
    " u AS (UPDATE tv_queue q SET owner = $3, marked = false,"
    " lease_until_ms = tv_now_ms() + $4 FROM c WHERE q.id = c.id"
    " RETURNING q.id, q.kind, q.destination, q.originator, q.sender, q.body, q.billing,"
    " q.client, q.headers, q.flags, q.attempts, q.last_error,"
    " q.enqueued_ms, q.not_before_ms, q.usr, c.was, c.m)"
    " SELECT u.*, NULL::bigint FROM u"
    " UNION ALL SELECT NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL,"
    " NULL, NULL, NULL, NULL, NULL, NULL, (" QUEUE_PG_NEXT_DUE ")"
    " WHERE NOT EXISTS (SELECT 1 FROM c)";

std::int64_t wall_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::int64_t steady_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// New entries stored already ours for our own workers (see enqueue_replacing): at most
// what this many claims of those workers ask for, or, when more, what they took in the
// last TAKEN_WAIT_MS up to TAKEN_BUSY; and only while the oldest of them has waited no
// longer than TAKEN_WAIT_MS for a worker. A busy lane so keeps a grouped commit of a busy
// SMTP listener (a mail from each of its sessions) to itself: stored free, most of them
// would cost a NOTIFY, a wake-up and a claim statement each. A slow lane (a modem) keeps
// no more than its claims' worth, so that a burst is shared with the other gateways.
constexpr std::size_t TAKEN_CLAIMS = 4;
constexpr std::size_t TAKEN_BUSY = 64;
constexpr std::int64_t TAKEN_WAIT_MS = 250;

std::string no_entry(std::uint64_t id) {
    return strprintf("no queue entry %llu held by this gateway",
                     static_cast<unsigned long long>(id));
}

class PgQueue final : public QueueStore {
  public:
    explicit PgQueue(const queue_pg_options& o)
        : opt_(o),
          group_(o.dsn, o.channel, o.before_group),
          claim_link_(o.dsn, "queue claims", true) {}
    ~PgQueue() override;

    Status open();

    Status enqueue(std::vector<queue_entry>& batch) override;
    std::optional<queue_entry> claim(int kind, std::int64_t now_ms) override {
        std::vector<queue_entry> got = claim_many(kind, now_ms, 1);
        if (got.empty()) return std::nullopt;
        return std::move(got.front());
    }
    std::vector<queue_entry> claim_many(int kind, std::int64_t now_ms, std::size_t n) override;
    std::optional<std::int64_t> next_ready(int kind, std::int64_t now_ms) override;
    Status attempt(std::uint64_t id) override;
    Status attempt_many(const std::vector<std::uint64_t>& ids) override;
    Status complete(std::uint64_t id, bool delivered, const std::string& error) override;
    void release(std::uint64_t id, const std::string& error, std::int64_t not_before_ms) override;
    void release_cut(std::uint64_t id) override;
    std::size_t retry_now(int kind) override;
    std::vector<queue_entry> list(int kind) override;
    std::vector<queue_entry> adopt(int kind) override;
    Result<std::optional<std::vector<queue_entry>>> take_set(const kept_set& set,
                                                             bool whole) override;
    void give_back_set(const std::vector<std::uint64_t>& ids) override;
    void give_back_held(int kind) override;
    std::vector<queue_entry> adopt_gone(int kind) override;
    Status enqueue_replacing(std::vector<queue_entry>& batch,
                             const std::vector<std::uint64_t>& done) override;
    queue_stats stats() override;
    void set_notify(std::function<void(int kind)> notify) override {
        std::lock_guard<std::mutex> lock(nm_);
        notify_ = std::move(notify);
    }

    std::pair<int, const char*> refusal() const override {
        return {451, "Requested action aborted: local error in processing"};
    }

    // The listening connection notices a server that stops at once (it is told, or its
    // socket closes) and reconnects within PG_RETRY_MS; the writing link says whether its
    // last use found the server.
    std::optional<bool> database_up() const override {
        return listening_.load() && group_.link().up();
    }

    std::uint64_t commits() const { return group_.commits(); }
    std::size_t waiting() { return group_.waiting(); }

  private:
    using Job = PgJob;
    Result<std::vector<queue_entry>> take_rows(const std::string& what, const PgStmt& st,
                                               const std::vector<PgStmt>& before = {});
    void listen_loop(std::stop_token stop);
    bool renew();
    // Something of `kind` (0: of every kind) may have become claimable: the next claim
    // asks the database, and our workers are woken.
    void wake(int kind) {
        {
            std::lock_guard<std::mutex> lock(dm_);
            ++wakes_[kind];
        }
        wake_workers(kind);
    }
    void wake_workers(int kind) {
        std::lock_guard<std::mutex> lock(nm_);
        if (notify_) notify_(kind);
    }
    std::pair<std::uint64_t, std::uint64_t> wakes_seen(int kind);
    bool take_waiting(int kind, std::size_t n, std::vector<queue_entry>& got);
    bool nothing_new(int kind, std::int64_t now_ms);
    void give_back(std::uint64_t id, const std::string& error, std::int64_t not_before_ms,
                   bool cut);
    static bool marks_first_attempt(const queue_entry& e);
    PgStmt insert_statement(const queue_entry& e, bool ours) const;
    std::vector<bool> take_on_the_way_in(const std::vector<queue_entry>& batch,
                                         std::int64_t now_ms);
    void took_on_the_way_in(const std::vector<queue_entry>& batch, const std::vector<bool>& hold,
                            bool stored);
    void forget(std::uint64_t id) {
        std::lock_guard<std::mutex> lock(hm_);
        held_.erase(id);
        attempted_.erase(id);
        marked_.erase(id);
    }
    bool holds(std::uint64_t id) {
        std::lock_guard<std::mutex> lock(hm_);
        return held_.count(id) != 0;
    }

    const queue_pg_options opt_;
    PgGroup group_;
    PgLink claim_link_;
    std::atomic<int> releases_pending_{0};  // releases handed in and not yet written

    std::mutex nm_;  // the notify function
    std::function<void(int kind)> notify_;

    std::mutex hm_;  // entries this process claimed and has not finished
    std::set<std::uint64_t> held_;
    // Of those, the ones whose first attempt was stored with them and is not yet made:
    // their row counts it already, so attempt() writes nothing for it.
    std::set<std::uint64_t> marked_;
    std::set<std::uint64_t> attempted_;  // held entries whose attempt() counted (hm_)
    // New entries stored already ours, for our own workers of their kind, so that no claim
    // statement is needed for them (enqueue_replacing); per kind whose workers claim here
    // (hm_). They are held entries like claimed ones: in held_, their lease renewed.
    struct Waiting {
        queue_entry e;
        std::int64_t since_ms = 0;  // steady clock
    };
    struct Taken {
        std::size_t room = 0;    // what four claims ask for (0: not claimed here)
        std::size_t coming = 0;  // taken by enqueues whose commit is under way
        std::deque<Waiting> ready;
        // When our workers took entries in the last TAKEN_WAIT_MS (steady ms, oldest
        // first, at most TAKEN_BUSY).
        std::deque<std::int64_t> took;
        void count_took(std::size_t k, std::int64_t now);
        std::size_t room_now(std::int64_t now);  // at most this many wait here now
    };
    std::map<int, Taken> taken_;

    std::mutex dm_;  // per kind: the next due time a claim that found nothing read, and when
    std::map<int, std::pair<std::int64_t, std::optional<std::int64_t>>> due_;
    // Wake-ups so far per kind (0: every kind), and per kind the last claim that found
    // nothing: the wake-ups it had seen before it asked, and the next due time it read.
    std::map<int, std::uint64_t> wakes_;
    struct Empty {
        std::pair<std::uint64_t, std::uint64_t> seen;
        std::optional<std::int64_t> due;
    };
    std::map<int, Empty> empty_;

    std::jthread listener_;  // stopped through its stop token
    std::unique_ptr<PgConn> first_listen_;  // handed to the listener thread
    std::atomic<bool> listening_{false};    // the listener thread holds a connection
    std::atomic<bool> keeps_{false};        // rows of kept kinds are ours: renew their lease
    UniqueFd stop_read_;
    UniqueFd stop_write_;
};

PgQueue::~PgQueue() {
    // No more records or log rows handed in: what is handed in is written by close().
    if (listener_.joinable() && opt_.side != nullptr) opt_.side->install(opt_.dsn, this, nullptr);
    listener_.request_stop();  // its stop callback wakes its poll()
    if (listener_.joinable()) listener_.join();
    // Entries taken on their way in that no worker claimed: free for every gateway now
    // rather than after our lease (the delivery engine's stop has done so already).
    std::vector<int> kinds;
    {
        std::lock_guard<std::mutex> lock(hm_);
        for (const auto& [kind, t] : taken_) kinds.push_back(kind);
    }
    for (int kind : kinds) give_back_held(kind);
    group_.close();
}

bool PgQueue::renew() {
    {
        std::lock_guard<std::mutex> lock(hm_);
        if (held_.empty() && group_.idle() && !keeps_.load()) return true;
    }
    auto job = std::make_shared<Job>();
    job->durable = false;
    job->stmts.push_back({"UPDATE tv_queue SET lease_until_ms = tv_now_ms() + $2 WHERE owner = $1",
                          {pg_text(opt_.owner), pg_int(opt_.lease_ms)}});
    return group_.submit(job).ok();
}

void PgQueue::listen_loop(std::stop_token stop) {
    std::stop_callback on_stop(stop, [fd = stop_write_.get()] {
        char b = 1;
        (void)!::write(fd, &b, 1);
    });
    std::unique_ptr<PgConn> conn = std::move(first_listen_);
    std::int64_t next_connect = 0;
    std::int64_t renew_every = std::max<std::int64_t>(opt_.lease_ms / 3, 100);
    std::int64_t next_renew = steady_ms() + renew_every;
    for (;;) {
        std::int64_t now = steady_ms();
        if (!conn && now >= next_connect) {
            if (auto opened = PgConn::open(opt_.dsn); opened && (*opened)->listen(opt_.channel))
                conn = std::move(*opened);
            if (conn) {
                // Whatever happened while we were not listening: every worker looks again.
                wake(0);
            } else {
                next_connect = now + PG_RETRY_MS;
            }
        }
        listening_ = conn != nullptr;
        // With the server back, the writing link reconnects now rather than on the next
        // mail, so that /health says so before any mail is offered.
        bool writer_down = false;
        if (conn && !group_.link().up()) writer_down = !group_.link().connect();
        if (now >= next_renew) next_renew = now + (renew() ? renew_every : PG_RETRY_MS);
        std::int64_t timeout = next_renew - now;
        if (!conn) timeout = std::min(timeout, std::max<std::int64_t>(next_connect - now, 0));
        if (writer_down) timeout = std::min<std::int64_t>(timeout, PG_RETRY_MS);
        pollfd fds[2] = {{stop_read_.get(), POLLIN, 0}, {conn ? conn->socket() : -1, POLLIN, 0}};
        int n = ::poll(fds, 2, static_cast<int>(std::max<std::int64_t>(timeout, 0)));
        if (n < 0 && errno != EINTR) break;
        if (fds[0].revents != 0) break;
        if (conn && fds[1].revents != 0) {
            Result<std::vector<PgConn::Notice>> notes = conn->notifications();
            if (!notes) {
                conn.reset();  // the queue link logs the outage; reconnect at once
                listening_ = false;
                next_connect = steady_ms();
            }
            std::set<int> kinds;
            if (notes)
                for (const auto& note : *notes) kinds.insert(std::atoi(note.payload.c_str()));
            for (int k : kinds) wake(k);
        }
    }
}

Status PgQueue::open() {
    if (Status s = group_.link().run([](PgConn& c) -> Status {
            if (Result<int> version = pg_schema_upgrade(c); !version) return version.error();
            return {};
        });
        !s)
        return s;
    // Our own earlier run's claims: nobody is sending them now.
    PgResult given;
    if (Status s = group_.link().run([&](PgConn& c) -> Status {
            Result<PgResult> r = c.exec(
                "UPDATE tv_queue SET owner = NULL, lease_until_ms = 0"
                " WHERE owner = $1 AND kind <> $2::integer",
                {pg_text(opt_.owner), pg_int(QUEUE_SMS_PART)});
            if (!r) return r.error();
            given = std::move(*r);
            return {};
        });
        !s)
        return s;
    if (given.affected() > 0)
        imsg("Queue: %lld entries this gateway held when it stopped are ready again",
             static_cast<long long>(given.affected()));
    // Listening before open() returns: a NOTIFY sent from then on is never missed.
    Result<std::unique_ptr<PgConn>> listener = PgConn::open(opt_.dsn);
    if (!listener) return listener.error();
    if (Status s = (*listener)->listen(opt_.channel); !s) return s;
    first_listen_ = std::move(*listener);
    listening_ = true;
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        return Error{0, "cannot make a pipe: " + system_error(errno)};
    stop_read_.reset(fds[0]);
    stop_write_.reset(fds[1]);
    group_.set_committed([this](int kind) { wake(kind); });
    group_.start();
    listener_ = std::jthread([this](std::stop_token stop) { listen_loop(stop); });
    // Records and message-log rows of delivered entries ride in the groups of outcomes,
    // ahead of the delete of their entry.
    if (opt_.side != nullptr)
        opt_.side->install(opt_.dsn, this, [this](PgStmt st) {
            auto job = std::make_shared<Job>();
            job->durable = false;
            job->keep = true;
            job->stmts.push_back(std::move(st));
            group_.submit_later(job);
        });
    return {};
}

Status PgQueue::enqueue(std::vector<queue_entry>& batch) {
    return enqueue_replacing(batch, {});
}

// The entries replaced go in the same transaction as the new ones: a kept entry of ours,
// or one nobody holds (another gateway's, taken by us: owner is ours then too).
//
// A new entry that is due now, of a kind whose workers claim here, is stored already ours
// (owner and lease set in its INSERT) while few wait here and our workers keep up (see
// TAKEN_CLAIMS): our next worker takes it without a claim statement, and other gateways
// are not woken for it. Beyond that entries are stored free, so that a backlog here is
// still sent by whichever gateway has a worker free.
Status PgQueue::enqueue_replacing(std::vector<queue_entry>& batch,
                                  const std::vector<std::uint64_t>& done) {
    if (batch.empty() && done.empty()) return {};
    std::int64_t now = wall_ms();
    for (queue_entry& e : batch)
        if (e.enqueued_ms == 0) e.enqueued_ms = now;
    std::vector<bool> hold = take_on_the_way_in(batch, now);
    std::vector<std::uint64_t> ids(batch.size());
    auto job = std::make_shared<Job>();
    std::set<int> announce;
    for (std::size_t i = 0; i < batch.size(); ++i) {
        const queue_entry& e = batch[i];
        job->stmts.push_back(insert_statement(e, hold[i]));
        if (!hold[i]) announce.insert(e.kind);
    }
    for (std::uint64_t id : done)
        job->stmts.push_back(
            {"DELETE FROM tv_queue WHERE id = $1 AND (owner IS NULL OR owner = $2)",
             {pg_int(static_cast<std::int64_t>(id)), pg_text(opt_.owner)}});
    // The group wakes our workers and the other gateways once per kind it stored free
    // (set_committed); entries stored ours wake our workers below.
    job->notify.assign(announce.begin(), announce.end());
    job->take = [&ids](std::vector<PgResult>& r) {
        for (std::size_t i = 0; i < ids.size(); ++i)
            ids[i] = static_cast<std::uint64_t>(r[i].int64(0, 0));
    };
    Status stored = group_.submit(job);
    if (stored)
        for (std::size_t i = 0; i < batch.size(); ++i) batch[i].id = ids[i];
    took_on_the_way_in(batch, hold, stored.ok());
    if (!stored) return stored;
    for (const queue_entry& e : batch)
        if (e.kind == QUEUE_SMS_PART) keeps_ = true;
    return {};
}

// The first attempt stored with the entry is counted in its row from the start.
bool PgQueue::marks_first_attempt(const queue_entry& e) {
    return e.mark_first_attempt && e.attempts == 0 && e.kind != QUEUE_SMS_PART;
}

PgStmt PgQueue::insert_statement(const queue_entry& e, bool ours) const {
    const bool marked = marks_first_attempt(e);
    return {"INSERT INTO tv_queue (kind, destination, originator, sender, body,"
            " billing, client, headers, flags, attempts, last_error, enqueued_ms,"
            " not_before_ms, usr, owner, lease_until_ms, marked) VALUES ($1, $2, $3, $4, $5,"
            " $6, $7, $8, $9, $10, $11, $12, $13, $17, CASE WHEN $1::integer ="
            " $14::integer OR $19::boolean THEN $15::text END, CASE WHEN $1::integer ="
            " $14::integer OR $19::boolean THEN tv_now_ms() + $16::bigint ELSE 0 END,"
            " $18::boolean) RETURNING id",
            {pg_int(e.kind), pg_bytes(e.destination), pg_bytes(e.originator), pg_bytes(e.sender),
             pg_bytes(e.text), pg_bytes(e.billing), pg_bytes(e.client),
             pg_bytes(encode_headers(e.headers)), pg_int(e.flags),
             pg_int(e.attempts + (marked ? 1 : 0)), pg_bytes(e.last_error), pg_int(e.enqueued_ms),
             pg_int(e.not_before_ms), pg_int(QUEUE_SMS_PART), pg_text(opt_.owner),
             pg_int(opt_.lease_ms), pg_bytes(e.user), pg_text(marked ? "true" : "false"),
             pg_text(ours ? "true" : "false")}};
}

// Which entries of the batch are stored ours (see enqueue_replacing); their places are
// kept until took_on_the_way_in.
std::vector<bool> PgQueue::take_on_the_way_in(const std::vector<queue_entry>& batch,
                                              std::int64_t now_ms) {
    std::vector<bool> hold(batch.size(), false);
    const std::int64_t steady = steady_ms();
    std::lock_guard<std::mutex> lock(hm_);
    for (std::size_t i = 0; i < batch.size(); ++i) {
        const queue_entry& e = batch[i];
        if (e.kind == QUEUE_SMS_PART || e.not_before_ms > now_ms) continue;
        auto it = taken_.find(e.kind);
        if (it == taken_.end()) continue;
        Taken& t = it->second;
        if (t.ready.size() + t.coming >= t.room_now(steady)) continue;
        // Our workers do not keep up: the rest is for whichever gateway is free.
        if (!t.ready.empty() && steady - t.ready.front().since_ms > TAKEN_WAIT_MS) continue;
        ++t.coming;
        hold[i] = true;
    }
    return hold;
}

// After the enqueue's commit (stored) or its failure: the entries stored ours wait for our
// workers, who are woken for them. When those workers gave up meanwhile (their transport
// went down), the entries go back to every gateway at once.
void PgQueue::took_on_the_way_in(const std::vector<queue_entry>& batch,
                                 const std::vector<bool>& hold, bool stored) {
    std::set<int> wake_kinds;
    std::vector<std::uint64_t> back;
    {
        std::lock_guard<std::mutex> lock(hm_);
        for (std::size_t i = 0; i < batch.size(); ++i) {
            if (!hold[i]) continue;
            Taken& t = taken_[batch[i].kind];
            --t.coming;
            if (!stored) continue;
            const queue_entry& e = batch[i];
            held_.insert(e.id);
            if (marks_first_attempt(e)) marked_.insert(e.id);
            if (t.room == 0) {
                back.push_back(e.id);
                continue;
            }
            t.ready.push_back({e, steady_ms()});
            wake_kinds.insert(e.kind);
        }
    }
    for (std::uint64_t id : back) give_back(id, std::string(), 0, false);
    // Nothing new for a claim to find in the database: they wait here.
    for (int kind : wake_kinds) wake_workers(kind);
}

void PgQueue::give_back_held(int kind) {
    std::vector<std::uint64_t> back;
    {
        std::lock_guard<std::mutex> lock(hm_);
        auto it = taken_.find(kind);
        if (it == taken_.end()) return;
        // Nothing more is taken for these workers until they claim again.
        it->second.room = 0;
        for (const Waiting& w : it->second.ready) back.push_back(w.e.id);
        it->second.ready.clear();
    }
    for (std::uint64_t id : back) give_back(id, std::string(), 0, false);
}

std::vector<queue_entry> PgQueue::claim_many(int kind, std::int64_t now_ms, std::size_t n) {
    std::vector<queue_entry> got;
    std::vector<std::string> taken_from;
    std::vector<bool> marked;
    std::optional<std::optional<std::int64_t>> due;  // set when nothing was ready
    PgStmt st{CLAIM_SQL, {pg_int(kind), pg_int(now_ms), pg_text(opt_.owner), pg_int(opt_.lease_ms),
                          pg_int(static_cast<std::int64_t>(n))}};
    auto read = [&](PgResult& r) {
        got.clear();
        taken_from.clear();
        marked.clear();
        due.reset();
        for (int i = 0; i < r.rows(); ++i) {
            if (r.null(i, 0)) {  // the row of the next due time: nothing was claimed
                due.emplace();
                if (!r.null(i, 17)) *due = r.int64(i, 17);
                continue;
            }
            got.push_back(row_entry(r, i));
            taken_from.push_back(r.null(i, 15) ? std::string() : r.text(i, 15));
            marked.push_back(r.text(i, 16) == "t");
        }
    };
    if (n == 0) return got;
    if (take_waiting(kind, n, got)) return got;
    // Taken before the statement: a wake-up while it runs makes the next claim ask again.
    const std::pair<std::uint64_t, std::uint64_t> seen = wakes_seen(kind);
    if (nothing_new(kind, now_ms)) return got;
    bool ok = false;
    if (releases_pending_.load() == 0) {
        // Claims need no disk flush, so they go on a link of their own (its commits do not
        // wait for the disk) and never wait behind a group that does. Only a release of
        // ours not yet written must be seen first.
        ok = claim_link_
                 .run([&](PgConn& c) -> Status {
                     Result<PgResult> r = c.exec(st.sql, st.params);
                     if (!r) return r.error();
                     read(*r);
                     return {};
                 })
                 .ok();
    } else {
        auto job = std::make_shared<Job>();
        job->durable = false;
        job->stmts.push_back(st);
        job->take = [&](std::vector<PgResult>& r) { read(r[0]); };
        ok = group_.submit(job).ok();
    }
    if (!ok) return {};
    {
        // The worker that found nothing asks next for the time to wait until: it is here.
        std::lock_guard<std::mutex> lock(dm_);
        if (due) {
            due_[kind] = {now_ms, *due};
            empty_[kind] = Empty{seen, *due};
        } else {
            empty_.erase(kind);
        }
    }
    // RETURNING gives no order.
    std::vector<std::size_t> order(got.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::sort(order.begin(), order.end(),
              [&](std::size_t a, std::size_t b) { return got[a].id < got[b].id; });
    std::vector<queue_entry> out;
    std::lock_guard<std::mutex> lock(hm_);
    for (std::size_t i : order) {
        queue_entry& e = got[i];
        if (!taken_from[i].empty())
            imsg("Queue entry %llu taken over from %s, whose lease ran out",
                 static_cast<unsigned long long>(e.id), taken_from[i].c_str());
        // Until its send the marked attempt is not counted, as with the local journal.
        if (marked[i] && e.attempts > 0) --e.attempts;
        held_.insert(e.id);
        if (marked[i]) marked_.insert(e.id);
        out.push_back(std::move(e));
    }
    if (!out.empty()) taken_[kind].count_took(out.size(), steady_ms());
    return out;
}

// Entries stored ours for our workers come first, without a statement: up to n of them
// into got; false when none waits. Marks the kind as claimed here, with its room.
bool PgQueue::take_waiting(int kind, std::size_t n, std::vector<queue_entry>& got) {
    std::lock_guard<std::mutex> lock(hm_);
    Taken& t = taken_[kind];
    t.room = std::max(t.room, TAKEN_CLAIMS * n);
    if (t.ready.empty()) return false;
    std::size_t k = 0;
    for (; k < n && !t.ready.empty(); ++k) {
        got.push_back(std::move(t.ready.front().e));
        t.ready.pop_front();
    }
    t.count_took(k, steady_ms());
    return true;
}

void PgQueue::Taken::count_took(std::size_t k, std::int64_t now) {
    for (std::size_t i = 0; i < k; ++i) took.push_back(now);
    while (took.size() > TAKEN_BUSY) took.pop_front();
}

std::size_t PgQueue::Taken::room_now(std::int64_t now) {
    while (!took.empty() && now - took.front() > TAKEN_WAIT_MS) took.pop_front();
    if (room == 0) return 0;
    return std::max(room, took.size());
}

std::pair<std::uint64_t, std::uint64_t> PgQueue::wakes_seen(int kind) {
    std::lock_guard<std::mutex> lock(dm_);
    return {wakes_[kind], wakes_[0]};
}

// Whether a claim would find nothing for certain: the last claim of the kind found nothing,
// no wake-up came since it asked (a NOTIFY of another gateway's new or released entries,
// our own stored free, released or made ready again; every kind's when the listening
// connection came back), and the next due time it read has not come. Not while nobody
// listens (a NOTIFY may be missed then), nor while a release of ours is being written.
// The next_ready() that follows is answered too.
bool PgQueue::nothing_new(int kind, std::int64_t now_ms) {
    // A release of ours not yet written wakes only after its commit: the claim must ask
    // (behind it, in the group).
    if (!listening_.load() || releases_pending_.load() != 0) return false;
    std::lock_guard<std::mutex> lock(dm_);
    auto it = empty_.find(kind);
    if (it == empty_.end()) return false;
    const Empty& e = it->second;
    if (e.seen != std::make_pair(wakes_[kind], wakes_[0])) return false;
    if (e.due && *e.due <= now_ms) return false;
    due_[kind] = {now_ms, e.due};
    return true;
}

std::optional<std::int64_t> PgQueue::next_ready(int kind, std::int64_t now_ms) {
    {
        std::lock_guard<std::mutex> lock(hm_);
        auto it = taken_.find(kind);
        if (it != taken_.end() && !it->second.ready.empty()) return now_ms;
    }
    {
        // Answered by the claim that just found nothing, at the same moment: whatever
        // changed since (an enqueue, a release, a NOTIFY) wakes the worker anyway.
        std::lock_guard<std::mutex> lock(dm_);
        auto it = due_.find(kind);
        if (it != due_.end() && it->second.first == now_ms) {
            std::optional<std::int64_t> due = it->second.second;
            due_.erase(it);
            if (!due) return std::nullopt;
            return std::max(*due, now_ms);
        }
    }
    PgResult r;
    // Another gateway's claim counts from when its lease runs out, on our clock.
    auto job = std::make_shared<Job>();
    job->reads = true;
    job->stmts.push_back(
        {QUEUE_PG_NEXT_DUE, {pg_int(kind), pg_int(now_ms), pg_text(opt_.owner)}});
    job->take = [&r](std::vector<PgResult>& res) { r = std::move(res[0]); };
    if (!group_.submit(job)) return now_ms + PG_RETRY_MS;
    if (r.null(0, 0)) return std::nullopt;
    return std::max(r.int64(0, 0), now_ms);
}

Status PgQueue::attempt(std::uint64_t id) {
    return attempt_many({id});
}

Status PgQueue::attempt_many(const std::vector<std::uint64_t>& ids) {
    std::vector<std::uint64_t> to_write;
    {
        std::lock_guard<std::mutex> lock(hm_);
        for (std::uint64_t id : ids)
            if (held_.count(id) == 0) return Error{0, no_entry(id)};
        for (std::uint64_t id : ids)
            if (marked_.erase(id) == 0)
                to_write.push_back(id);
            else
                attempted_.insert(id);  // counted in its row since it was stored
    }
    if (to_write.empty()) return {};  // counted in their rows since they were stored
    std::vector<std::int64_t> changed(to_write.size(), 0);
    auto job = std::make_shared<Job>();
    for (std::uint64_t id : to_write)
        job->stmts.push_back(
            {"UPDATE tv_queue SET attempts = attempts + 1 WHERE id = $1 AND owner = $2",
             {pg_int(static_cast<std::int64_t>(id)), pg_text(opt_.owner)}});
    job->take = [&changed](std::vector<PgResult>& r) {
        for (std::size_t i = 0; i < changed.size(); ++i) changed[i] = r[i].affected();
    };
    if (Status s = group_.submit(job); !s) return s;
    for (std::size_t i = 0; i < to_write.size(); ++i)
        if (changed[i] == 0) {
            // Another gateway took it over while our lease could not be renewed: it sends it.
            forget(to_write[i]);
            return Error{0, strprintf("queue entry %llu was taken over by another gateway",
                                      static_cast<unsigned long long>(to_write[i]))};
        }
    {
        std::lock_guard<std::mutex> lock(hm_);
        for (std::uint64_t id : to_write) attempted_.insert(id);
    }
    return {};
}

Status PgQueue::complete(std::uint64_t id, bool delivered, const std::string& error) {
    (void)delivered;
    (void)error;  // the records keep the outcome; the queue only forgets the entry
    bool held = false;
    {
        std::lock_guard<std::mutex> lock(hm_);
        held = held_.erase(id) != 0;
        marked_.erase(id);
        attempted_.erase(id);
    }
    if (!held) {
        // An entry nobody claimed (a stored part of a long SMS, finished with its set): it is
        // finished now, unless another gateway holds it.
        std::int64_t gone = 0;
        auto job = std::make_shared<Job>();
        job->stmts.push_back(
            {"DELETE FROM tv_queue WHERE id = $1 AND (owner IS NULL OR owner = $2)",
             {pg_int(static_cast<std::int64_t>(id)), pg_text(opt_.owner)}});
        job->take = [&gone](std::vector<PgResult>& r) { gone = r[0].affected(); };
        if (Status s = group_.submit(job); !s) return s;
        if (gone == 0) return Error{0, no_entry(id)};
        return {};
    }
    auto job = std::make_shared<Job>();
    job->keep = true;
    job->durable = false;
    // A claim the server lost in a crash left the row free: it is still ours to finish.
    // One another gateway took over after our lease is not.
    job->stmts.push_back({"DELETE FROM tv_queue WHERE id = $1 AND (owner = $2 OR owner IS NULL)",
                          {pg_int(static_cast<std::int64_t>(id)), pg_text(opt_.owner)},
                          "SELECT tv_delete_done($1::bigint[], $2::text[])"});
    group_.submit_later(job);
    return {};
}

void PgQueue::release(std::uint64_t id, const std::string& error, std::int64_t not_before_ms) {
    give_back(id, error, not_before_ms, false);
}

void PgQueue::release_cut(std::uint64_t id) {
    give_back(id, std::string(), 0, true);
}

// A marked first attempt not made is given back as it was, still marked; with an error, as
// the local journal does, the row then counts the attempts made only. A cut send's attempt
// is taken back: its outcome is unknown, not a failure.
void PgQueue::give_back(std::uint64_t id, const std::string& error, std::int64_t not_before_ms,
                        bool cut) {
    bool unsent = false;
    int uncount = 0;
    {
        std::lock_guard<std::mutex> lock(hm_);
        if (held_.erase(id) == 0) return;
        unsent = marked_.erase(id) != 0;
        if (attempted_.erase(id) != 0 && cut) uncount = 1;
    }
    auto job = std::make_shared<Job>();
    job->durable = false;
    job->counter = &releases_pending_;
    auto kind = std::make_shared<int>(0);
    job->stmts.push_back(
        {"WITH r AS (UPDATE tv_queue SET owner = NULL, lease_until_ms = 0,"
         " not_before_ms = $3,"
         " marked = $6::boolean AND $4::bytea = ''::bytea,"
         " attempts = greatest(attempts - CASE WHEN $6::boolean AND $4::bytea <> ''::bytea"
         "  THEN 1 ELSE 0 END - $7::int, 0),"
         " last_error = CASE WHEN $4::bytea = ''::bytea THEN last_error ELSE $4 END"
         " WHERE id = $1 AND owner = $2 RETURNING kind)"
         " SELECT kind, pg_notify($5, kind::text) FROM r",
         {pg_int(static_cast<std::int64_t>(id)), pg_text(opt_.owner), pg_int(not_before_ms),
          pg_bytes(error), pg_text(opt_.channel), pg_text(unsent ? "true" : "false"),
          pg_int(uncount)}});
    job->take = [kind](std::vector<PgResult>& r) {
        *kind = r[0].rows() == 1 ? static_cast<int>(r[0].int64(0, 0)) : 0;
    };
    // Other gateways hear the NOTIFY; our own workers are woken here, even while the
    // listening connection is away.
    job->after = [this, kind] {
        if (*kind != 0) wake(*kind);
    };
    ++releases_pending_;
    group_.submit_later(job);
}

std::size_t PgQueue::retry_now(int kind) {
    std::int64_t changed = 0;
    std::int64_t now = wall_ms();
    auto job = std::make_shared<Job>();
    job->work = [&](PgConn& c) -> Status {
        Result<PgResult> r = c.exec(
            "UPDATE tv_queue SET not_before_ms = 0 WHERE kind = $1 AND owner IS NULL"
            " AND not_before_ms > $2",
            {pg_int(kind), pg_int(now)});
        if (!r) return r.error();
        changed = r->affected();
        return c.exec_only("SELECT pg_notify($1, $2)", {pg_text(opt_.channel), pg_int(kind)});
    };
    if (Status s = group_.submit(job); !s) {
        emsg("Queue: cannot make the postponed entries ready (%s)", s.error().reason.c_str());
        return 0;
    }
    return static_cast<std::size_t>(changed);
}

std::vector<queue_entry> PgQueue::list(int kind) {
    std::vector<queue_entry> out;
    Status s = group_.read([&](PgConn& c) -> Status {
        Result<PgResult> r = c.exec(std::string("SELECT ") + COLUMNS +
                                        " FROM tv_queue WHERE $1 = 0 OR kind = $1 ORDER BY id",
                                    {pg_int(kind)});
        if (!r) return r.error();
        out.clear();
        for (int i = 0; i < r->rows(); ++i) out.push_back(row_entry(*r, i));
        return {};
    });
    if (!s) emsg("Queue: cannot list the entries (%s)", s.error().reason.c_str());
    return out;
}

std::vector<queue_entry> PgQueue::adopt(int kind) {
    std::vector<queue_entry> out;
    auto job = std::make_shared<Job>();
    // Taken in one statement: two gateways starting at once never both adopt a row.
    job->work = [&](PgConn& c) -> Status {
        Result<PgResult> r =
            c.exec(std::string("UPDATE tv_queue SET owner = $2, joined = false,"
                               " lease_until_ms = tv_now_ms() + $3::bigint WHERE kind = $1 AND "
                               "(owner IS NULL OR owner = $2"
                               " OR lease_until_ms < tv_now_ms()) RETURNING ") +
                       COLUMNS,
                   {pg_int(kind), pg_text(opt_.owner), pg_int(opt_.lease_ms)});
        if (!r) return r.error();
        out.clear();
        for (int i = 0; i < r->rows(); ++i) out.push_back(row_entry(*r, i));
        return {};
    };
    if (Status s = group_.submit(job); !s) {
        emsg("Queue: cannot take up the kept entries (%s)", s.error().reason.c_str());
        return {};
    }
    std::sort(out.begin(), out.end(),
              [](const queue_entry& a, const queue_entry& b) { return a.id < b.id; });
    if (!out.empty()) keeps_ = true;
    return out;
}

// Runs `before` and then `st` (which returns QUEUE_PG_COLUMNS) in one group; the rows in
// enqueue order, now this gateway's to keep (their lease renewed with its own). An error
// when the database could not be asked.
Result<std::vector<queue_entry>> PgQueue::take_rows(const std::string& what, const PgStmt& st,
                                                    const std::vector<PgStmt>& before) {
    std::vector<queue_entry> out;
    auto job = std::make_shared<Job>();
    job->durable = false;  // taking moves no promise: a lost take leaves the rows as they were
    job->stmts = before;
    job->stmts.push_back(st);
    job->take = [&out](std::vector<PgResult>& r) {
        out.clear();
        const PgResult& rows = r.back();
        for (int i = 0; i < rows.rows(); ++i) out.push_back(row_entry(rows, i));
    };
    if (Status s = group_.submit(job); !s) {
        emsg("Queue: cannot take %s (%s)", what.c_str(), s.error().reason.c_str());
        if (s.error().reason.empty()) s.error().reason = "the database could not be asked";
        return s.error();
    }
    std::sort(out.begin(), out.end(),
              [](const queue_entry& a, const queue_entry& b) { return a.id < b.id; });
    if (!out.empty()) keeps_ = true;
    return out;
}

// The set's lock is an advisory lock on a hash of the set (a shared hash means only that two
// sets wait for each other a moment). The rows are read after it is held, so the gateway
// that takes the lock second sees what the first committed: two gateways storing the last
// two parts at once both store theirs, and the later take finds the set whole.
Result<std::optional<std::vector<queue_entry>>> PgQueue::take_set(const kept_set& set,
                                                                  bool whole) {
    std::uint32_t h = 2166136261u;
    auto mix = [&h](std::string_view bytes) {
        for (unsigned char b : bytes) h = (h ^ b) * 16777619u;
    };
    mix(set.originator);
    std::string tail = strprintf(":%d:%u", set.kind, set.value & set.mask);
    mix(tail);
    PgStmt lock{"SELECT pg_advisory_xact_lock(7361, $1::integer)",
                {pg_int(static_cast<std::int32_t>(h))}};
    PgStmt st{std::string("WITH s AS (SELECT id, flags & $5 AS part FROM tv_queue WHERE kind = $1"
                          " AND originator = $2 AND (flags & $3) = $4 AND NOT joined),"
                          " n AS (SELECT count(DISTINCT part) AS parts FROM s)"
                          " UPDATE tv_queue q SET owner = $6, joined = true,"
                          " lease_until_ms = tv_now_ms() + $7::bigint FROM s, n WHERE q.id = s.id"
                          " AND (NOT $8::boolean OR n.parts >= $9) RETURNING ") +
                  "q.id, q.kind, q.destination, q.originator, q.sender, q.body, q.billing,"
                  " q.client, q.headers, q.flags, q.attempts, q.last_error, q.enqueued_ms,"
                  " q.not_before_ms, q.usr",
              {pg_int(set.kind), pg_bytes(set.originator), pg_int(set.mask),
               pg_int(set.value & set.mask), pg_int(~set.mask), pg_text(opt_.owner),
               pg_int(opt_.lease_ms), pg_text(whole ? "true" : "false"), pg_int(set.total)}};
    Result<std::vector<queue_entry>> rows = take_rows("a set of kept entries", st, {lock});
    if (!rows) return rows.error();
    return std::optional<std::vector<queue_entry>>(std::move(*rows));
}

void PgQueue::give_back_set(const std::vector<std::uint64_t>& ids) {
    if (ids.empty()) return;
    auto job = std::make_shared<Job>();
    job->durable = false;
    job->keep = true;  // else the set waits for our lease to run out
    for (std::uint64_t id : ids)
        job->stmts.push_back({"UPDATE tv_queue SET joined = false WHERE id = $1 AND owner = $2",
                              {pg_int(static_cast<std::int64_t>(id)), pg_text(opt_.owner)}});
    group_.submit_later(job);
}

// One statement: of two gateways adopting at once, each row goes to one (the second
// finds it renewed when its lock is granted and leaves it).
std::vector<queue_entry> PgQueue::adopt_gone(int kind) {
    // Asked every second or so: while the database is away the outage is logged once,
    // by the links, not here at every ask.
    if (!group_.link().up()) return {};
    PgStmt st{std::string("UPDATE tv_queue SET owner = $2, joined = false,"
                          " lease_until_ms = tv_now_ms() + $3::bigint WHERE kind = $1"
                          " AND owner <> $2 AND lease_until_ms < tv_now_ms() RETURNING ") +
                  COLUMNS,
              {pg_int(kind), pg_text(opt_.owner), pg_int(opt_.lease_ms)}};
    // A failure is logged by take_rows; the next ask tries again.
    Result<std::vector<queue_entry>> taken =
        take_rows("the entries of gateways that have gone", st);
    if (!taken) return {};
    std::vector<queue_entry> out = std::move(*taken);
    if (!out.empty())
        imsg("Queue: %zu kept entries taken over from gateways whose lease ran out", out.size());
    return out;
}

queue_stats PgQueue::stats() {
    queue_stats s;
    PgResult r;
    if (group_.read([&](PgConn& c) -> Status {
            Result<PgResult> counted =
                c.exec("SELECT count(*), coalesce(min(enqueued_ms), 0) FROM tv_queue", {});
            if (!counted) return counted.error();
            r = std::move(*counted);
            return {};
        })) {
        s.waiting = static_cast<std::size_t>(r.int64(0, 0));
        s.oldest_ms = r.int64(0, 1);
    }
    return s;
}

}  // namespace

Result<std::unique_ptr<QueueStore>> queue_pg_open(const queue_pg_options& options) {
    if (options.dsn.empty()) return Error{0, "store_dsn is not set"};
    if (options.owner.empty()) return Error{0, "the queue needs an owner name"};
    auto q = std::make_unique<PgQueue>(options);
    if (Status s = q->open(); !s) return s.error();
    return std::unique_ptr<QueueStore>(std::move(q));
}

std::uint64_t queue_pg_commits(const QueueStore* store) {
    const auto* q = kind_cast<const PgQueue>(store);
    return q != nullptr ? q->commits() : 0;
}

std::size_t queue_pg_waiting(QueueStore* store) {
    auto* q = kind_cast<PgQueue>(store);
    return q != nullptr ? q->waiting() : 0;
}

bool queue_is_pg(const QueueStore* store) {
    return kind_cast<const PgQueue>(store) != nullptr;
}

}  // namespace tolvane
