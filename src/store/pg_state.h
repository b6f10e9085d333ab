// The gateway's shared state on PostgreSQL: message records, the message log, the phone
// pool and the rate-limit counts (the interfaces of records/stores.h), for several
// gateways that share one database.
//
//   gw.state = pg_state_stores(dsn, '|', phone_range_of("+61", "0400", 0, 1000),
//                              gw.limit_registry, gw.pg_side.get());
//
// What each table holds (created by migration 2 of pg_schema.cpp):
// - tv_records: one row per outcome with its line exactly as a day file holds it, its kind
//   and local day, so that a day reads back in the day file's format.
// - tv_msglog: one row per (phone, address compared without ASCII case) with its time; the
//   row id keeps the order in which the pairs were first stored.
// - tv_phones: one row per bound pool number. A bind finds the lowest free or day-idle
//   number and binds it in one transaction under an advisory lock, so no two gateways
//   ever hand out the same number.
// - tv_limit_kinds / tv_limit_counts: per limit and kind an epoch and the time of its last
//   change, per key its count. A check and reserve is one upsert (in the tv_reserve
//   function of migration 6): the count grows only while it stays below the limit, atomic
//   across gateways. The reservations of concurrent sessions go together, one call and
//   one transaction for all that wait at the moment (pg_reserve.h). A unit held is a count (it is
//   given back when its SMS fails), so a sent SMS settles nothing. When a kind has not
//   changed for its period, its epoch grows and every count of the older epoch reads as 0.
//
// Records and log entries go, while the queue is open on the same database, in the
// queue's grouped commits of outcomes (PgSideWriters): no round trip of the caller's, kept
// and written again while the database is away, committed before the delete of the
// entry they record; without the queue (tools) on links of their own.
//
// Durability: records, log entries and counts commit without waiting for the server's
// disk. What depends on them is promised later by a commit that does wait (a mail's "250"
// waits for its queue entries' commit, which the server writes after its reservations;
// an entry's delete comes after its record and log entry), and the server writes its log
// in order, so that commit carries them; alone they reach the disk within the server's WAL
// writer delay. A server crash may thus lose the outcomes of the last moment only together
// with the deletes of their entries, which are then sent again.
//
// Ownership: each store holds its own connections (PgLink: reconnected by itself), so
// the four do not queue behind each other; the reservations one that carries their
// batches, the counts' other calls two, records and log two each, so that concurrent
// mails do not wait for each other's round trips. "now" comes from the clock of the
// registry of limits the stores are made for (the counts from that of each limit's). Limits: while
// the database is away, records and log entries written without the queue are lost with a log line,
// look-ups find nothing, a reservation is let through (new mails are refused by the queue then) and
// the pool binds nothing.
#pragma once

#include <string>

#include "records/phones.h"
#include "records/stores.h"

namespace tolvane {

class PgSideWriters;

// The four PostgreSQL stores on dsn for the limits of registry (which must outlive them);
// records take delim as their field delimiter. Records and log entries ride in the
// groups of the queue that side has open on dsn (borrowed, must outlive the stores; null:
// every write on the stores' own links, as a tool's).
StateStores pg_state_stores(const std::string& dsn, char delim, const phone_range& pool,
                            LimitRegistry& registry, PgSideWriters* side);

}  // namespace tolvane
