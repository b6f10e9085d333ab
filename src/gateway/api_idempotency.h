// Idempotency keys of the HTTP API: a send repeated with the same Idempotency-Key header
// and the same body within API_IDEMPOTENCY_HOURS gets the first answer again and sends
// nothing more.
//
// A key is scoped to the API key that used it. begin() serialises the requests of one
// key: the first goes on (Slot::go) and holds the key until finish(); requests arriving
// meanwhile wait for it and then get its answer (Slot::replay). The same key with another
// body is a conflict (Slot::conflict, answered 422). Only an accepted send (202) is kept;
// a refusal frees the key for a retry.
//
// Kept answers are appended to a file (api_idempotency_file: workpath/api_idempotency.log,
// one JSON object per line) and flushed to disk (fdatasync) before the answer goes out, so
// that a retry after a crash still finds it; at start-up expired lines are dropped and the
// file written anew.
//
// With `store postgresql` the answers are rows of the shared store instead (PgApiStore,
// store/pg_api.h), so that a key used on one gateway is known to every gateway on the
// database: the first request takes the key's row, a twin on another gateway finds it
// taken and asks again every 20 ms until it is answered (at most API_IDEMPOTENCY_WAIT_MS,
// then Slot::unavailable, as when the store cannot be asked). A row taken by a gateway
// that stopped before it answered is taken over after API_IDEMPOTENCY_STALE_MS.
//
// Ownership: owned by the API server; safe from any thread.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "foundation/result.h"
#include "store/pg_api.h"

namespace tolvane {

inline constexpr int API_IDEMPOTENCY_HOURS = 24;
inline constexpr std::size_t API_IDEMPOTENCY_KEY_MAX = 255;
inline constexpr long API_IDEMPOTENCY_WAIT_MS = 30000;
inline constexpr long API_IDEMPOTENCY_STALE_MS = 60000;

class ApiIdempotency {
  public:
    // path: the file of the kept answers; shared: the shared store's instead (or null).
    explicit ApiIdempotency(std::string path, std::shared_ptr<PgApiStore> shared = nullptr)
        : path_(std::move(path)), shared_(std::move(shared)) {}
    ~ApiIdempotency();
    ApiIdempotency(const ApiIdempotency&) = delete;
    ApiIdempotency& operator=(const ApiIdempotency&) = delete;

    // Reads the file back (expired lines dropped) and writes it anew; the error (with the
    // system's code) when it cannot be written or opened.
    Status open();

    // unavailable: the shared store cannot be asked, or another gateway's first request is
    // not answered in time (answered 503).
    enum class Slot { go, replay, conflict, unavailable };
    struct Answer {
        int status = 0;
        std::string body;
    };
    // For api key `owner`, idempotency key `key` and the body's SHA-256 `body_hash`:
    // go (call finish() next), replay (answer holds the first answer) or conflict.
    Slot begin(const std::string& owner, const std::string& key, const std::string& body_hash,
               Answer& answer);
    // Ends a go: the answer is kept (durably) when status is 202, else the key is freed.
    void finish(const std::string& owner, const std::string& key, const Answer& answer);

  private:
    struct Entry {
        std::string body_hash;
        bool busy = true;  // its first request is being answered
        Answer answer;
        std::int64_t at_ms = 0;
    };
    void expire_locked(std::int64_t now);
    Slot begin_shared(const std::string& k, const std::string& owner, const std::string& key,
                      const std::string& body_hash, Answer& answer);
    void finish_shared(const std::string& k, const std::string& owner, const std::string& key,
                       const Answer& answer);
    std::string path_;
    std::shared_ptr<PgApiStore> shared_;
    std::mutex lock_;
    std::condition_variable done_;
    std::map<std::string, Entry> entries_;  // owner "\n" key; guarded by lock_
    int fd_ = -1;
};

}  // namespace tolvane
