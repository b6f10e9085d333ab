// The HTTP API's keys: see api_keys.h.
#include "gateway/api_keys.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "foundation/fileio.h"
#include "foundation/lib.h"
#include "foundation/log.h"
#include "gateway/keys.h"
#include "gateway/store_admin.h"
#include "store/pg.h"
#include "store/pg_schema.h"

namespace tolvane {

namespace {

std::string hex(const unsigned char* p, std::size_t n) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(n * 2);
    for (std::size_t i = 0; i < n; ++i) {
        out += digits[p[i] >> 4];
        out += digits[p[i] & 15];
    }
    return out;
}

// 32 random bytes in hex after a prefix; empty when the generator fails.
std::string random_token(const char* prefix) {
    unsigned char b[32];
    if (RAND_bytes(b, sizeof b) != 1) return std::string();
    return prefix + hex(b, sizeof b);
}

bool same_hash(const std::string& a, const std::string& b) {
    return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

}  // namespace

std::string api_key_hash(std::string_view key) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    if (EVP_Digest(key.data(), key.size(), md, &n, EVP_sha256(), nullptr) != 1) return "";
    return hex(md, n);
}

bool api_key_name_ok(std::string_view name) {
    if (name.empty() || name.size() > 64) return false;
    for (char c : name) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                        (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-';
        if (!ok) return false;
    }
    return true;
}

Result<std::vector<ApiKey>> api_keys_read(const std::string& path) {
    std::vector<ApiKey> out;
    std::ifstream in(path);
    if (!in) {
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0 && errno == ENOENT) return out;
        const int code = errno;
        return Error{code, "cannot read " + path + ": " + system_error(code)};
    }
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        if (line.empty() || line[0] == '#') continue;
        std::vector<std::string> f = s_split_words(line, "|");
        if (f.size() != 4 || !api_key_name_ok(f[0]) || f[1].size() != 64) {
            emsg("API key file %s line %d is not a key; skipped", path.c_str(), number);
            continue;
        }
        out.push_back(ApiKey{f[0], f[1], f[2], std::atoll(f[3].c_str())});
    }
    return out;
}

Status api_keys_write(const std::string& path, const std::vector<ApiKey>& keys) {
    std::string text = "# tolvane API keys: name|sha256 of the key|signing secret|created\n";
    for (const ApiKey& k : keys)
        text += k.name + "|" + k.hash + "|" + k.secret + "|" + std::to_string(k.created) + "\n";
    return write_file_atomic(path, text, 0600);
}

std::string api_key_path(const SIni* ini) {
    const char* set = sini_getx(ini, API_KEY_FILE, nullptr, nullptr, 0);
    if (set != nullptr && *set != '\0') return set;
    const char* work = sini_getx(ini, WORKPATH, nullptr, nullptr, 0);
    return attach_path(work ? work : ".", "api_keys.dat");
}

namespace {

// The key file: read whole, replaced whole; changed when its size, time or inode did.
class FileKeys : public ApiKeySource {
  public:
    explicit FileKeys(std::string path) : path_(std::move(path)) {}
    Result<std::vector<ApiKey>> load() override { return api_keys_read(path_); }
    Result<bool> add(const ApiKey& k) override {
        Result<std::vector<ApiKey>> keys = api_keys_read(path_);
        if (!keys) return keys.error();
        if (std::any_of(keys->begin(), keys->end(),
                        [&](const ApiKey& o) { return o.name == k.name; }))
            return false;
        keys->push_back(k);
        if (Status written = api_keys_write(path_, *keys); !written) return written.error();
        return true;
    }
    Result<bool> remove(const std::string& name) override {
        Result<std::vector<ApiKey>> keys = api_keys_read(path_);
        if (!keys) return keys.error();
        auto it = std::find_if(keys->begin(), keys->end(),
                               [&](const ApiKey& o) { return o.name == name; });
        if (it == keys->end()) return false;
        keys->erase(it);
        if (Status written = api_keys_write(path_, *keys); !written) return written.error();
        return true;
    }
    bool changed() override {
        struct stat st {};
        std::int64_t size = -1, mtime = -1, ino = -1;
        if (::stat(path_.c_str(), &st) == 0) {
            size = st.st_size;
            mtime = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
            ino = static_cast<std::int64_t>(st.st_ino);
        }
        if (size == size_ && mtime == mtime_ && ino == ino_) return false;
        size_ = size;
        mtime_ = mtime;
        ino_ = ino;
        return true;
    }

  private:
    std::string path_;
    std::int64_t size_ = -2, mtime_ = -2, ino_ = -2;
};

// The table tv_api_keys of the shared database, read again every API_KEYS_REFRESH_MS.
class PgKeys : public ApiKeySource {
  public:
    explicit PgKeys(std::string dsn) : link_(std::move(dsn), "api keys") {}
    Result<std::vector<ApiKey>> load() override {
        std::vector<ApiKey> out;
        Status s = link_.run([&](PgConn& c) -> Status {
            Result<PgResult> r =
                c.exec("SELECT name, hash, secret, created FROM tv_api_keys ORDER BY name", {});
            if (!r) return r.error();
            out.clear();
            for (int i = 0; i < r->rows(); ++i)
                out.push_back(ApiKey{r->text(i, 0), r->text(i, 1), r->text(i, 2), r->int64(i, 3)});
            return {};
        });
        if (!s) return s.error();
        return out;
    }
    // True when added, false when the name is taken.
    Result<bool> add(const ApiKey& k) override {
        if (Status up = upgrade(); !up) return up.error();
        bool exists = false;
        Status s = link_.run([&](PgConn& c) -> Status {
            Result<PgResult> r = c.exec(
                "INSERT INTO tv_api_keys (name, hash, secret, created) VALUES "
                "($1, $2, $3, $4) ON CONFLICT (name) DO NOTHING",
                {pg_text(k.name), pg_text(k.hash), pg_text(k.secret), pg_int(k.created)});
            if (!r) return r.error();
            exists = r->affected() == 0;
            return {};
        });
        if (!s) return s.error();
        return !exists;
    }
    // True when a key of that name was found (and removed).
    Result<bool> remove(const std::string& name) override {
        if (Status up = upgrade(); !up) return up.error();
        bool found = false;
        Status s = link_.run([&](PgConn& c) -> Status {
            Result<PgResult> r = c.exec("DELETE FROM tv_api_keys WHERE name = $1", {pg_text(name)});
            if (!r) return r.error();
            found = r->affected() > 0;
            return {};
        });
        if (!s) return s.error();
        return found;
    }
    bool changed() override {
        const auto now = std::chrono::steady_clock::now();
        if (now < next_) return false;
        next_ = now + std::chrono::milliseconds(API_KEYS_REFRESH_MS);
        return true;
    }

  private:
    // The tool may run before any gateway brought the schema up to date.
    Status upgrade() {
        return link_.run([](PgConn& c) -> Status {
            if (Result<int> version = pg_schema_upgrade(c); !version) return version.error();
            return {};
        });
    }
    PgLink link_;
    std::chrono::steady_clock::time_point next_{};
};

}  // namespace

Result<std::unique_ptr<ApiKeySource>> api_key_source(const SIni* ini) {
    Result<StoreKind> kind = store_kind(ini);
    if (!kind) return kind.error();
    std::unique_ptr<ApiKeySource> source;
    if (*kind == StoreKind::POSTGRESQL)
        source = std::make_unique<PgKeys>(or_empty(sini_getx(ini, STORE_DSN, nullptr, nullptr, 0)));
    else
        source = std::make_unique<FileKeys>(api_key_path(ini));
    return source;
}

int apikey_tool(const SIni* ini, const std::vector<std::string>& args, std::size_t at,
                std::FILE* out) {
    if (at + 1 >= args.size() || !api_key_name_ok(args[at + 1])) {
        std::fprintf(out, "usage: tolvane -apikey NAME [-revoke] (NAME: letters, digits, . _ -)\n");
        return 1;
    }
    const std::string name = args[at + 1];
    const bool revoke = at + 2 < args.size() && iequals(args[at + 2], "-revoke");
    Result<std::unique_ptr<ApiKeySource>> source = api_key_source(ini);
    if (!source) {
        std::fprintf(out, "ERROR: %s\n", source.reason().c_str());
        return 1;
    }
    if (revoke) {
        Result<bool> found = (*source)->remove(name);
        if (!found) {
            std::fprintf(out, "ERROR: cannot revoke the key: %s\n", found.reason().c_str());
            return 1;
        }
        if (!*found) {
            std::fprintf(out, "No API key named %s\n", name.c_str());
            return 1;
        }
        std::fprintf(out, "API key %s revoked\n", name.c_str());
        return 0;
    }
    const std::string key = random_token("tv_");
    const std::string secret = random_token("whsec_");
    if (key.empty() || secret.empty()) {
        std::fprintf(out, "ERROR: no random bytes for a key\n");
        return 1;
    }
    const ApiKey k{name, api_key_hash(key), secret, static_cast<std::int64_t>(std::time(nullptr))};
    Result<bool> added = (*source)->add(k);
    if (!added) {
        std::fprintf(out, "ERROR: cannot store the key: %s\n", added.reason().c_str());
        return 1;
    }
    if (!*added) {
        std::fprintf(out, "An API key named %s exists; revoke it first\n", name.c_str());
        return 1;
    }
    std::fprintf(out, "API key %s (shown only now; the gateway keeps only its hash):\n%s\n",
                 name.c_str(), key.c_str());
    std::fprintf(out, "Webhook signing secret:\n%s\n", secret.c_str());
    return 0;
}

ApiKeyTable::ApiKeyTable(std::string path) : source_(std::make_unique<FileKeys>(std::move(path))) {}

void ApiKeyTable::refresh_locked() {
    if (!source_->changed()) return;
    Result<std::vector<ApiKey>> keys = source_->load();
    if (!keys) {
        emsg("API keys: %s; the keys read before stay", keys.reason().c_str());
        return;
    }
    keys_ = std::move(*keys);
}
std::optional<ApiKey> ApiKeyTable::find(std::string_view key) {
    const std::string h = api_key_hash(key);
    std::lock_guard<std::mutex> g(lock_);
    refresh_locked();
    std::optional<ApiKey> found;
    // Every hash is compared, so the time taken says nothing of which one matched.
    for (const ApiKey& k : keys_)
        if (same_hash(k.hash, h) && !found) found = k;
    return found;
}

std::optional<ApiKey> ApiKeyTable::find(std::string_view name, std::string_view key) {
    const std::string h = api_key_hash(key);
    std::lock_guard<std::mutex> g(lock_);
    refresh_locked();
    for (const ApiKey& k : keys_)
        if (k.name == name) return same_hash(k.hash, h) ? std::optional<ApiKey>(k) : std::nullopt;
    return std::nullopt;
}

std::optional<ApiKey> ApiKeyTable::by_name(std::string_view name) {
    std::lock_guard<std::mutex> g(lock_);
    refresh_locked();
    for (const ApiKey& k : keys_)
        if (k.name == name) return k;
    return std::nullopt;
}

}  // namespace tolvane
