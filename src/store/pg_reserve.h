// Rate-limit reservations on PostgreSQL gathered across the threads of one gateway: the
// reservations that wait at the same moment go to the server as one call of the
// tv_reserve function (one statement, one round trip, one transaction), each checked and
// counted in turn exactly as if it had been sent alone.
//
//   PgReserveBatcher b(dsn);
//   Result<bool> held = b.reserve(PgReservation{"msgrec", MSGREC_FROM, "ann@x", 1, 3, 24, true},
//                                 time(nullptr));  // held, refused, or the store is away
//
// Gathering works like a grouped commit without a thread of its own: a caller that finds
// a connection free sends every reservation waiting then (its own among them) and wakes
// their callers with their answers; the others wait meanwhile and the next batch takes
// whatever gathered during the round trip. A lone reservation therefore goes at once, and
// under load one round trip answers many sessions.
//
// Exactness: inside the call each reservation is the same upsert as a lone one (the kind's
// row, then the key's count, which grows only while below the limit), reading the newest
// count, so no limit is passed across gateways. A batch holds the rows it changed until
// its commit, which is brief (the whole batch runs in the server without a round trip in
// between); the kind's row is written at most once a second (when it does not yet say
// the current second), so reservations of one limit and kind wait for each other only
// on the same key. Batches sort their reservations by limit,
// kind and key, so two batches take their row locks in the same order and never deadlock.
//
// Failure: when the server cannot be reached or the call fails, every reservation of the
// batch gets -1 with the reason (nothing of the batch was counted: it is one transaction);
// callers never wait for a dead server longer than one connection attempt. A connection
// found broken (a server restart) is tried once more on a new one before that.
//
// Ownership: the batcher owns its connections (PgLink, reconnecting by themselves); any
// thread may call reserve(). The reservation is copied into the batch only by pointer and
// must outlive the call (it does: the caller waits).
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "foundation/result.h"
#include "store/pg.h"

namespace tolvane {

// One reservation: `units` of `key` for limit `name` and its `kind`; with check only while
// limit is 0 or the key's count stays below limit; the kind's counts expire together after
// `hours` (0: never) without a change.
struct PgReservation {
    std::string name;
    int kind = 0;
    std::string key;
    int units = 0;
    int limit = 0;
    int hours = 0;
    bool check = true;
    // Units asked for in advance beyond `units` (see pg_credit.h); 0 asks for none.
    int want = 0;
};

// The answer to one reservation: held 1 or refused 0; when refused while other units of
// the key are out in advance, wait_ms > 0 says how long until they are back or count as
// used (ask again then). extra: the units granted in advance (held beyond `units`), in
// the key's epoch `epoch`.
struct PgGrant {
    int held = 0;
    int wait_ms = 0;
    int extra = 0;
    std::int64_t epoch = 0;
};

// Runs one batch on conn as one call of tv_reserve, in the lock order (limit, kind, key;
// equal ones in the order given): element i is 1 when list[i] was held, 0 when refused.
// nows holds each reservation's clock. The error (nothing held) is the database's text, or
// the function's answer when it cannot be read.
Result<std::vector<int>> pg_reserve_batch(PgConn& conn,
                                          const std::vector<const PgReservation*>& list,
                                          const std::vector<std::int64_t>& nows);
// The same with each reservation's whole answer; units granted in advance are held by the
// database for hold_ms (after that, what was not given back counts as used).
Result<std::vector<PgGrant>> pg_reserve_grants(PgConn& conn,
                                               const std::vector<const PgReservation*>& list,
                                               const std::vector<std::int64_t>& nows,
                                               int hold_ms);

class PgReserveBatcher {
  public:
    // links: connections that may each carry a batch at once; max_batch: reservations a
    // batch takes at most.
    // hold_ms: how long the database keeps units granted in advance for their gateway.
    explicit PgReserveBatcher(const std::string& dsn, std::size_t links = 1,
                              std::size_t max_batch = 64, int hold_ms = 2000);
    PgReserveBatcher(const PgReserveBatcher&) = delete;
    PgReserveBatcher& operator=(const PgReserveBatcher&) = delete;

    // True held, false refused; the error when the store could not be asked.
    Result<bool> reserve(const PgReservation& r, std::int64_t now);
    // The whole answer (a wait counts as refused in reserve()).
    Result<PgGrant> grant(const PgReservation& r, std::int64_t now);

    // Batches sent and reservations they carried, since the start.
    std::uint64_t batches() const;
    std::uint64_t reservations() const;
    // Reservations waiting for a connection now.
    std::size_t waiting() const;

  private:
    struct Waiter {
        const PgReservation* r = nullptr;
        std::int64_t now = 0;
        PgGrant answer;
        bool done = false;
        std::string why;  // empty when the batch succeeded
        std::condition_variable cv;
    };
    // Sends batch on link and fills in every waiter's answer (without the lock).
    void run(PgLink& link, const std::vector<Waiter*>& batch);

    const std::size_t max_batch_;
    const int hold_ms_;
    std::vector<std::unique_ptr<PgLink>> links_;
    mutable std::mutex m_;
    std::vector<PgLink*> idle_;   // guarded by m_
    std::deque<Waiter*> queue_;   // guarded by m_: not yet taken by a batch
    std::uint64_t batches_ = 0;   // guarded by m_
    std::uint64_t reserved_ = 0;  // guarded by m_
};

}  // namespace tolvane
