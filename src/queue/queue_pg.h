// The message queue on PostgreSQL: one queue shared by several gateways (store postgresql).
//
// Entries are rows of tv_queue. A claim marks a row with this gateway's owner name and a
// lease (queue_lease) taken with FOR UPDATE SKIP LOCKED, so two gateways never claim the
// same row; the lease is renewed while this gateway holds the entry, and a row whose lease
// ran out (its gateway died or lost the database) is taken over by the next claim anywhere.
// Rows left claimed under our own owner name by an earlier run are ready again at open.
// claim_many() takes several rows in that one statement; a claim that finds none brings
// with it the next due time, which answers the next_ready() that follows at the same
// moment (anything that changes it since wakes the workers).
// Stored parts of a long SMS (QUEUE_SMS_PART, never claimed) carry their gateway's owner
// name and lease from the start, renewed while it runs; adopt() gives a starting gateway
// its own and takes over those whose lease ran out, in one statement.
//
// Writes are grouped like the file journal's: callers hand their statements to one queue;
// the first caller to find no transaction running takes everything waiting and runs it in
// one transaction, so concurrent enqueues, claims and attempts share one commit. enqueue()
// and attempt() return after their commit is on the server's disk; claims commit without
// waiting for the disk (a claim lost in a server crash only frees the entry again);
// complete() and release() do not wait at all, and a complete() that cannot be written is
// retried until it is (it must not be sent again). The next durable commit (an enqueue's
// or an attempt's) carries every outcome written before it. A group's statements are
// prepared and go to the server in one pipeline, BEGIN to COMMIT in one round trip.
// An entry stored with mark_first_attempt counts that attempt in its row (column
// marked): the claimer's first attempt() then writes nothing, as with the local journal.
// Other gateways learn of new entries by NOTIFY on the channel; a listening thread wakes the
// local workers (set_notify) and renews the leases.
//
//   queue_pg_options o;  o.dsn = "host=db dbname=tolvane";  o.owner = "gw1:/var/tolvane";
//   std::unique_ptr<QueueStore> q = queue_pg_open(o, why);   // null when the database is away
//
// Ownership: the store owns two connections and two threads, ended by its destructor, which
// writes what is still pending (one try). Limits: while the database is away every write
// fails with a reason starting "PostgreSQL store unavailable", claims find nothing and
// next_ready() asks again after a second; nothing is kept in memory meanwhile.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "queue/queue.h"

namespace tolvane {

class PgSideWriters;

struct queue_pg_options {
    std::string dsn;    // libpq connection string
    std::string owner;  // this gateway's name in claims; unique among the gateways
    std::int64_t lease_ms = 60000;
    std::string channel = "tv_queue";  // NOTIFY channel shared by the gateways
    // Called by the thread about to run a group, before its transaction (tests use it to
    // hold a group while other callers line up behind it).
    std::function<void()> before_group;
    // Where the queue installs its writer of statements that ride in its groups while it
    // is open (store/pg.h; borrowed, must outlive the queue); null: none (a tool's queue).
    PgSideWriters* side = nullptr;
};

// Connects, brings the schema up to date and gives back the claims an earlier run under the
// same owner left. An error when the database cannot be used.
Result<std::unique_ptr<QueueStore>> queue_pg_open(const queue_pg_options& options);

// Commits this store waited to be on the server's disk (enqueues, attempts): tests and the
// benchmark count them per mail. Claims, releases and outcomes commit without that wait.
std::uint64_t queue_pg_commits(const QueueStore* store);

// Jobs waiting for the next group right now (for tests).
std::size_t queue_pg_waiting(QueueStore* store);

// True when `store` is the PostgreSQL queue.
bool queue_is_pg(const QueueStore* store);

}  // namespace tolvane
