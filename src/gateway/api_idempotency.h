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
// Ownership: owned by the API server; safe from any thread.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

namespace tolvane {

inline constexpr int API_IDEMPOTENCY_HOURS = 24;
inline constexpr std::size_t API_IDEMPOTENCY_KEY_MAX = 255;

class ApiIdempotency {
  public:
    explicit ApiIdempotency(std::string path) : path_(std::move(path)) {}
    ~ApiIdempotency();
    ApiIdempotency(const ApiIdempotency&) = delete;
    ApiIdempotency& operator=(const ApiIdempotency&) = delete;

    // Reads the file back (expired lines dropped) and writes it anew.
    bool open(std::string& why);

    enum class Slot { go, replay, conflict };
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
    std::string path_;
    std::mutex lock_;
    std::condition_variable done_;
    std::map<std::string, Entry> entries_;  // owner "\n" key; guarded by lock_
    int fd_ = -1;
};

}  // namespace tolvane
