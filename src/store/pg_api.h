// The HTTP API's shared state in the shared store: each message's status and the kept
// answers of idempotency keys, so that every gateway on the database answers for every
// message and a key used on one gateway is known to all.
//
//   PgApiStore s(dsn);
//   s.put_message({"1043", "shop", "sent", line, updated_ms}, false);   // no round trip
//   Result<std::optional<std::string>> line = s.message("1043", "shop");
//   Result<PgApiStore::Claim> c = s.claim("shop", "order-7", hash, now_ms, expired, stale, kept);
//
// Tables (migration 8): tv_api_messages (id, key, status, line, updated): one row per
// message, `line` its status as the API's journal writes it (JSON); a change is taken
// only when it is not older than the row's (`updated`), and a first "queued" never
// overwrites a row that a delivery worker of any gateway wrote first.
// tv_api_idempotency (owner, key, hash, status, body, at): status 0 while the first
// request of the key is being answered; the kept answer afterwards.
//
// Status rows ride in the grouped commits of the queue open on the same database
// (PgSideWriters: no round trip, committed ahead of the entry's outcome), else on this
// store's own link; put_new_message_now() commits at once. Idempotency calls commit
// before they return (an answer kept here is promised to every later request). Safe from
// any thread (one PgLink).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "foundation/result.h"
#include "store/pg.h"

namespace tolvane {

struct PgApiMessage {
    std::string id, key, status;
    std::string line;  // the whole status as JSON
    std::int64_t updated_ms = 0;
};

class PgApiStore {
  public:
    // side: where status rows ride in the queue's groups (store/pg.h; borrowed, must
    // outlive the store; null: every row on the store's own link).
    explicit PgApiStore(std::string dsn, PgSideWriters* side = nullptr)
        : dsn_(dsn), side_(side), link_(std::move(dsn), "api state") {}

    // Brings the schema up to date and drops messages that ended before `ended_before`
    // and answers kept since before `kept_before`. The error is the database's text (or
    // the schema's); the link reconnects by itself on the next call.
    Status open(std::int64_t ended_before, std::int64_t kept_before);

    // Stores a change of a message (only_new: only when the message has no row yet).
    // Logged when it cannot be written.
    void put_message(const PgApiMessage& m, bool only_new);
    // A new message's first row, committed before it returns (on this store's own link):
    // a message the API has just answered for is then known to every gateway at once.
    Status put_new_message_now(const PgApiMessage& m);
    // The status line of message id sent with the key named key, nullopt when there is
    // none; the error when the database could not be asked.
    Result<std::optional<std::string>> message(const std::string& id, const std::string& key);

    // The state of an idempotency key after claim().
    enum class Claim {
        taken,     // ours now: answer, then keep() or release()
        busy,      // its first request is being answered (here or on another gateway)
        answered,  // answered before: status and body hold the answer, hash its body's
    };
    struct Kept {
        std::string hash;
        int status = 0;
        std::string body;
    };
    // Takes the key for (owner, key) with the body's hash at now_ms unless a row holds it;
    // a kept answer older than `expired_before`, or a claim older than `stale_before` whose
    // gateway never answered, is taken over. kept is filled for Claim::answered; the error
    // when the database could not be asked.
    Result<Claim> claim(const std::string& owner, const std::string& key, const std::string& hash,
                        std::int64_t now_ms, std::int64_t expired_before, std::int64_t stale_before,
                        Kept& kept);
    // Keeps the answer of a taken key; the error when it could not be stored.
    Status keep(const std::string& owner, const std::string& key, int status,
                const std::string& body);
    // Frees a taken key (the send was refused: the key may be used again).
    void release(const std::string& owner, const std::string& key);

  private:
    const std::string dsn_;
    PgSideWriters* const side_;
    PgLink link_;
};

}  // namespace tolvane
