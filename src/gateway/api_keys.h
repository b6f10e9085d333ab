// The HTTP API's keys: made by "tolvane -apikey NAME", revoked by "-apikey NAME -revoke",
// checked on every request.
//
// A key is "tv_" and 64 hex digits of RAND_bytes, shown once when it is made; only its
// SHA-256 is kept, so the file gives no key away. Each key also has a signing secret
// ("whsec_" and 64 hex digits), kept as it is since the gateway signs its webhooks with
// it, and shown once beside the key. The file (api_key_file, by default api_keys.dat in
// workpath) holds one line per key, "name|sha256 hex|secret|created unix time", mode
// 0600, replaced whole by write_file_atomic. A presented key is hashed and compared with
// every stored hash in constant time (CRYPTO_memcmp).
//
// With `store postgresql` the keys are rows of tv_api_keys in the shared database instead
// (the same fields), so that every gateway sharing it knows every key.
//
// ApiKeyTable reads the file and reads it again whenever it changed (size, time or inode),
// or the table at most every API_KEYS_REFRESH_MS, so that a key made or revoked while the
// gateway runs counts at its next request (on PostgreSQL within that time). While the
// database is away the keys read before stay. Safe from any thread.
#pragma once

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/result.h"
#include "foundation/sini.h"

namespace tolvane {

struct ApiKey {
    std::string name;
    std::string hash;    // SHA-256 of the key, 64 lower-case hex digits
    std::string secret;  // the webhook signing secret
    std::int64_t created = 0;
};

// SHA-256 of key in lower-case hex.
std::string api_key_hash(std::string_view key);
// A key name: 1 to 64 of letters, digits, ".", "_", "-".
bool api_key_name_ok(std::string_view name);
// The key file's lines; an error (with the system's code) when the file exists and cannot
// be read (a missing file is no keys). Malformed lines are skipped with a log line.
Result<std::vector<ApiKey>> api_keys_read(const std::string& path);
Status api_keys_write(const std::string& path, const std::vector<ApiKey>& keys);
// The key file the settings name.
std::string api_key_path(const SIni* ini);

inline constexpr long API_KEYS_REFRESH_MS = 2000;

// Where the settings keep the keys: a file, or (store postgresql) the shared database.
class ApiKeySource {
  public:
    virtual ~ApiKeySource() = default;
    // Every key; an error when they cannot be read now.
    virtual Result<std::vector<ApiKey>> load() = 0;
    // Adds a key: true when added, false when its name is taken; an error when it cannot.
    virtual Result<bool> add(const ApiKey& k) = 0;
    // Removes the key of that name: true when there was one; an error when it cannot.
    virtual Result<bool> remove(const std::string& name) = 0;
    // True when the keys may have changed since the last load.
    virtual bool changed() = 0;
};
// The source the settings name; an error when the store settings are wrong.
Result<std::unique_ptr<ApiKeySource>> api_key_source(const SIni* ini);

// "-apikey NAME" (args[at] is "-apikey"): makes a key and prints it and its secret on out;
// with "-revoke" after the name removes it. The exit status.
int apikey_tool(const SIni* ini, const std::vector<std::string>& args, std::size_t at,
                std::FILE* out);

class ApiKeyTable {
  public:
    // The keys of a file.
    explicit ApiKeyTable(std::string path);
    explicit ApiKeyTable(std::unique_ptr<ApiKeySource> source) : source_(std::move(source)) {}
    // The key whose hash matches a presented key; nullopt for none.
    std::optional<ApiKey> find(std::string_view key);
    // The key of that name, when the presented key is its key.
    std::optional<ApiKey> find(std::string_view name, std::string_view key);
    // The key of that name (its secret, for signing); nullopt when gone.
    std::optional<ApiKey> by_name(std::string_view name);

  private:
    void refresh_locked();
    std::unique_ptr<ApiKeySource> source_;
    std::mutex lock_;
    std::vector<ApiKey> keys_;  // guarded by lock_
};

}  // namespace tolvane
