// The durable message queue: what the gateway has promised to deliver.
//
// A mail is answered "250" and an SMS acknowledged to its centre only once its entries are
// in a store that survives a crash; delivery workers then claim entries, send them and mark
// them done. The store is an interface so that a shared store (several gateways on several
// hosts) can replace the local journal without touching its users.
//
//   Result<std::unique_ptr<QueueStore>> q = queue_file_open(workpath + "/queue", {});
//   if (!q) fail(q.reason());
//   std::vector<queue_entry> batch(1);
//   batch[0].kind = QUEUE_MAIL_TO_SMS; batch[0].destination = "+61400000000"; ...
//   if (Status s = q->enqueue(batch); !s) reply q->refusal(); // nothing of the batch is kept
//   ... a worker: auto e = q->claim(QUEUE_MAIL_TO_SMS, now_ms);
//   if (q->attempt(e->id)) { send; (void)q->complete(e->id, ok, error); }
//
// Ownership: the store owns its entries; claim() hands out a copy, and the entry stays
// claimed (invisible to other claims) until complete() or release(). Claims are not
// durable: after a crash every entry not done is ready again, in the order it was
// enqueued. Every operation is safe from any thread.
//
// Limits: an entry's texts are held whole (the message paths cut them before); a batch is
// stored all or nothing. The store does not decide about retries or expiry; its callers do.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "foundation/result.h"

namespace tolvane {

// What an entry is for. Callers may keep entries of a kind of their own (e.g. parts of a long
// SMS waiting for the rest); no delivery worker claims a kind it does not serve.
enum QueueKind : int {
    QUEUE_MAIL_TO_SMS = 1,  // a mail's SMS to one destination, sent through Send
    QUEUE_SMS_TO_MAIL = 2,  // a received SMS's mail, relayed through Smtp
    QUEUE_SMS_PART = 3,     // one received part of a long SMS, kept until it is complete
    QUEUE_WEBHOOK = 4,      // a signed JSON body POSTed to a URL (gateway/webhooks.h)
};

struct queue_entry {
    std::uint64_t id = 0;  // set by enqueue(); grows with every entry
    int kind = QUEUE_MAIL_TO_SMS;
    std::string destination;  // phone number or mail address
    std::string originator;   // number or address the message is sent from
    std::string sender;       // the mail's envelope sender or the SMS's number
    std::string text;         // UTF-8 text or mail body
    std::string billing;      // address that is billed and told of a failure
    std::string client;       // client address of the mail, "SMS" for a received SMS
    std::string user;         // the name the mail's client authenticated as ("" for none)
    std::vector<std::pair<std::string, std::string>> headers;  // header copy for the send
    std::uint32_t flags = 0;                                   // caller's own bits, stored as given
    std::uint32_t attempts = 0;      // attempts made so far (marked before each send)
    std::string last_error;          // reason of the last failed attempt
    std::int64_t enqueued_ms = 0;    // wall-clock time of enqueue, ms since the epoch
    std::int64_t not_before_ms = 0;  // not claimed before this time (0: at once)
    // Asks enqueue() to mark the first attempt on stable storage with the entry itself, so
    // that the first send needs no flush of its own (a store may ignore it). Until that send
    // the entry counts no attempt in memory; a store read again after a crash counts it.
    // Not stored.
    bool mark_first_attempt = false;
};

struct queue_stats {
    std::size_t waiting = 0;     // entries not done (claimed or not)
    std::int64_t oldest_ms = 0;  // enqueue time of the oldest of them; 0 when none
};

class QueueStore {
  public:
    virtual ~QueueStore() = default;

    // Stores the whole batch and gives each entry its id and enqueue time (when 0). On
    // success the batch is on stable storage; on an error nothing of it is kept and the
    // error's reason says why.
    virtual Status enqueue(std::vector<queue_entry>& batch) = 0;

    // The oldest ready, unclaimed entry of `kind` (not_before_ms <= now_ms), now claimed.
    virtual std::optional<queue_entry> claim(int kind, std::int64_t now_ms) = 0;

    // claim() up to n times: the oldest ready entries, now claimed (fewer, or none, when
    // fewer are ready). A shared store takes them in one statement.
    virtual std::vector<queue_entry> claim_many(int kind, std::int64_t now_ms, std::size_t n) {
        std::vector<queue_entry> out;
        while (out.size() < n) {
            std::optional<queue_entry> e = claim(kind, now_ms);
            if (!e) break;
            out.push_back(std::move(*e));
        }
        return out;
    }

    // The earliest not_before_ms among unclaimed entries of `kind` that are not ready at
    // now_ms; nullopt when there are none (a waiting worker needs no timer).
    virtual std::optional<std::int64_t> next_ready(int kind, std::int64_t now_ms) = 0;

    // Counts one more attempt of a claimed entry, on stable storage before it succeeds, so
    // a crash during the send that follows resends this entry at most once more. On an
    // error the entry is not to be sent.
    virtual Status attempt(std::uint64_t id) = 0;

    // attempt() for several claimed entries, on stable storage together (one flush for
    // all where the store can). On an error nothing is to be sent: a local journal has then
    // counted none of them; another store may have counted some.
    virtual Status attempt_many(const std::vector<std::uint64_t>& ids) {
        for (std::uint64_t id : ids)
            if (Status s = attempt(id); !s) return s;
        return {};
    }

    // The entry is finished (delivered, or failed for good): it is never claimed again. The
    // caller does not wait for the disk flush: the record is flushed in the background, at
    // the latest with the next attempt() that writes. The local journal has it in its
    // file when this returns, so a killed gateway never sends a finished entry again (a
    // power cut can still cost the last moments' records); a shared store sends it with
    // its next group of statements.
    // An error says the record could not be written (or there is no such entry).
    virtual Status complete(std::uint64_t id, bool delivered, const std::string& error) = 0;

    // Gives a claimed entry back: ready again at not_before_ms (0: at once). A non-empty error
    // is kept as its last error (and stored); an empty one leaves the entry as it was.
    virtual void release(std::uint64_t id, const std::string& error,
                         std::int64_t not_before_ms) = 0;

    // Gives back a claimed entry whose send was cut short by a shutdown, its outcome
    // unknown: ready again at once, its last error kept, and the attempt counted for
    // that send no longer counts (stored without a wait: on disk with the next flush, at
    // the latest when the store closes). A store that cannot take an attempt back
    // releases the entry with the attempt counted.
    virtual void release_cut(std::uint64_t id) { release(id, std::string(), 0); }

    // Makes every unclaimed entry of `kind` that waits for a later time ready now (an
    // operator's "try again now"); returns how many.
    virtual std::size_t retry_now(int kind) = 0;

    // Entries not done, in enqueue order; kind 0 lists every kind.
    virtual std::vector<queue_entry> list(int kind) = 0;

    virtual queue_stats stats() = 0;

    // Called (from the thread that stored the entries or released one, under the store's
    // lock: it must be quick and must not call the store) with the kind of entries that
    // became ready, so
    // that waiting workers wake without polling. Once set_notify returns, the previous
    // function is no longer called.
    virtual void set_notify(std::function<void(int kind)> notify) = 0;

    // The SMTP reply for a mail whose enqueue() failed. A local disk that cannot take it is
    // short of storage (452); a shared store says 451 while its database is out of reach,
    // so that clients try again soon.
    virtual std::pair<int, const char*> refusal() const {
        return {452, "Insufficient system storage"};
    }

    // The entries of a kind no worker claims, kept by the gateway that stored them (the
    // parts of a long SMS it is still collecting), that this gateway is to take up at
    // start-up, in enqueue order. A local store's entries are all its own. A shared store
    // gives this gateway's own and those of a gateway that has gone (its lease not renewed
    // for queue_lease), which become this gateway's; a live gateway's are left to it.
    virtual std::vector<queue_entry> adopt(int kind) { return list(kind); }

    // Sets of a kept kind shared by the gateways of a shared store (the parts of a long SMS
    // that reach different gateways). A set is the entries of `kind` from `originator`
    // whose flags agree with `value` under `mask`; the bits outside the mask number the
    // entry within the set, and `total` entries make it whole.
    struct kept_set {
        int kind = QUEUE_SMS_PART;
        std::string originator;
        std::uint32_t mask = 0;
        std::uint32_t value = 0;
        int total = 0;
    };

    // Takes every gateway's stored entries of the set for this gateway, under a lock on the
    // set, so that of two gateways taking it at once one gets the entries and the other
    // none. With `whole`, only when they number `total` distinct entries. Entries taken
    // already (by any gateway, this one too) are not taken again until they are given
    // back or their taker's lease runs out. The caller finishes them (complete(), or
    // enqueue_replacing()) or gives them back (give_back_set()). nullopt for a local store,
    // which shares nothing; an error when the store could not be asked.
    virtual Result<std::optional<std::vector<queue_entry>>> take_set(const kept_set& set,
                                                                     bool whole) {
        (void)set;
        (void)whole;
        return std::optional<std::vector<queue_entry>>();
    }
    // Taken entries whose set could not be finished: takeable again by any gateway.
    virtual void give_back_set(const std::vector<std::uint64_t>& ids) { (void)ids; }

    // The workers of `kind` cannot send now (their transport is down, or they stop): a
    // shared store gives back to every gateway the new entries it took for them as they
    // were stored, and stores the next ones free for anyone until these workers claim
    // again. A local store takes nothing on the way in.
    virtual void give_back_held(int kind) { (void)kind; }

    // The entries of `kind` kept by gateways that have gone (their lease ran out), now this
    // gateway's, in enqueue order: a running gateway asks now and then. A local store has
    // no other gateway.
    virtual std::vector<queue_entry> adopt_gone(int kind) {
        (void)kind;
        return {};
    }

    // Stores the batch and finishes the entries `done` in the same write, so that a crash
    // keeps either the entries it was given or those it replaces (the joined mail of a
    // long SMS replacing its stored parts). A store that cannot do both at once stores,
    // then finishes (a crash in between keeps both). On an error nothing is stored or
    // finished.
    virtual Status enqueue_replacing(std::vector<queue_entry>& batch,
                                     const std::vector<std::uint64_t>& done) {
        if (Status s = enqueue(batch); !s) return s;
        for (std::uint64_t id : done) (void)complete(id, true, "replaced");
        return {};
    }

    // Whether a shared store's database can be reached now, for /health and the status
    // page; nullopt for a local store, which has no database to lose.
    virtual std::optional<bool> database_up() const { return std::nullopt; }
};

// Tuning of the local journal.
struct queue_file_options {
    std::int64_t segment_bytes = 8 << 20;  // a segment is closed after it passes this size
    bool sync = true;  // false: no flush to disk (tests and benchmarks of the cost only)
    // When the flusher finds writers waiting right after a flush, it waits this long (µs)
    // before taking them, so that writers arriving meanwhile share the flush (0: never).
    int gather_us = 50;
    // When a new segment starts and the oldest one still holds at most this many waiting
    // entries, they are copied forward so that it can be deleted (0: never).
    std::size_t compact_max = 256;
    // The flusher keeps the current segment written ahead of its records with zeros, in
    // whole chunks of this many bytes, so that most flushes overwrite space the file already
    // has and their fdatasync need not write the file's size (0: the file grows with every
    // flush). Zeros where a record would start read as the end of the records.
    std::int64_t prealloc_bytes = 1 << 20;
    // Reads the journal and changes nothing (a listing beside a running gateway); every
    // write then fails.
    bool read_only = false;
    // Called by the flushing thread, without the store's lock, before each write (tests use
    // it to hold a flush while other writers line up behind it).
    std::function<void()> before_flush;
};

// The local journal in `dir` (made when missing): reads every segment, cuts a torn tail with
// a log line, steps over damaged records to the next whole one (a copy of the damaged
// segment kept in `dir`/damaged with a note of the entries lost, a log line per damaged
// range), and holds every entry not done, ready in enqueue order.
// An error when the directory cannot be used. The process must own the directory alone
// (the gateway's process lock sees to that).
Result<std::unique_ptr<QueueStore>> queue_file_open(const std::string& dir,
                                                    const queue_file_options& options);

// How often the journal has been flushed to disk by this process (for tests and benchmarks).
std::uint64_t queue_file_syncs(const QueueStore* store);
// Writes and flushes every record written without waiting (done, released) before it
// returns; a delivery worker never needs this, tests and tools do.
void queue_file_flush(QueueStore* store);
// Entries lost in damaged journal records: the sum of the notes beside the copies kept in
// `dir`/damaged (the count goes when they are removed); a read-only listing adds damage no
// gateway has dealt with yet. 0 for any other store.
std::size_t queue_file_lost(QueueStore* store);
// Writers waiting for a flush right now (for tests).
std::size_t queue_file_waiters(QueueStore* store);

}  // namespace tolvane
