// The HTTP API's keys: see api_keys.h.
#include "gateway/api_keys.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "foundation/fileio.h"
#include "foundation/lib.h"
#include "foundation/log.h"
#include "gateway/keys.h"

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

bool api_keys_read(const std::string& path, std::vector<ApiKey>& out, std::string& why) {
    out.clear();
    std::ifstream in(path);
    if (!in) {
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0 && errno == ENOENT) return true;
        why = "cannot read " + path + ": " + system_error(errno);
        return false;
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
    return true;
}

bool api_keys_write(const std::string& path, const std::vector<ApiKey>& keys, std::string& why) {
    std::string text = "# tolvane API keys: name|sha256 of the key|signing secret|created\n";
    for (const ApiKey& k : keys)
        text += k.name + "|" + k.hash + "|" + k.secret + "|" + std::to_string(k.created) + "\n";
    return write_file_atomic(path, text, 0600, why);
}

std::string api_key_path(const SIni* ini) {
    const char* set = sini_getx(ini, API_KEY_FILE, nullptr, nullptr, 0);
    if (set != nullptr && *set != '\0') return set;
    const char* work = sini_getx(ini, WORKPATH, nullptr, nullptr, 0);
    return attach_path(work ? work : ".", "api_keys.dat");
}

int apikey_tool(const SIni* ini, const std::vector<std::string>& args, std::size_t at,
                std::FILE* out) {
    if (at + 1 >= args.size() || !api_key_name_ok(args[at + 1])) {
        std::fprintf(out, "usage: tolvane -apikey NAME [-revoke] (NAME: letters, digits, . _ -)\n");
        return 1;
    }
    const std::string name = args[at + 1];
    const bool revoke = at + 2 < args.size() && iequals(args[at + 2], "-revoke");
    const std::string path = api_key_path(ini);
    std::vector<ApiKey> keys;
    std::string why;
    if (!api_keys_read(path, keys, why)) {
        std::fprintf(out, "ERROR: %s\n", why.c_str());
        return 1;
    }
    auto it = std::find_if(keys.begin(), keys.end(), [&](const ApiKey& k) { return k.name == name; });
    if (revoke) {
        if (it == keys.end()) {
            std::fprintf(out, "No API key named %s\n", name.c_str());
            return 1;
        }
        keys.erase(it);
    } else {
        if (it != keys.end()) {
            std::fprintf(out, "An API key named %s exists; revoke it first\n", name.c_str());
            return 1;
        }
        const std::string key = random_token("tv_");
        const std::string secret = random_token("whsec_");
        if (key.empty() || secret.empty()) {
            std::fprintf(out, "ERROR: no random bytes for a key\n");
            return 1;
        }
        keys.push_back(ApiKey{name, api_key_hash(key), secret, static_cast<std::int64_t>(std::time(nullptr))});
        if (!api_keys_write(path, keys, why)) {
            std::fprintf(out, "ERROR: cannot write %s: %s\n", path.c_str(), why.c_str());
            return 1;
        }
        std::fprintf(out, "API key %s (shown only now; the gateway keeps only its hash):\n%s\n",
                     name.c_str(), key.c_str());
        std::fprintf(out, "Webhook signing secret:\n%s\n", secret.c_str());
        return 0;
    }
    if (!api_keys_write(path, keys, why)) {
        std::fprintf(out, "ERROR: cannot write %s: %s\n", path.c_str(), why.c_str());
        return 1;
    }
    std::fprintf(out, "API key %s revoked\n", name.c_str());
    return 0;
}

void ApiKeyTable::refresh_locked() {
    struct stat st {};
    std::int64_t size = -1, mtime = -1, ino = -1;
    if (::stat(path_.c_str(), &st) == 0) {
        size = st.st_size;
        mtime = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
        ino = static_cast<std::int64_t>(st.st_ino);
    }
    if (size == seen_size_ && mtime == seen_mtime_ns_ && ino == seen_ino_) return;
    std::vector<ApiKey> keys;
    std::string why;
    if (!api_keys_read(path_, keys, why)) {
        emsg("API keys: %s; the keys read before stay", why.c_str());
        return;
    }
    keys_ = std::move(keys);
    seen_size_ = size;
    seen_mtime_ns_ = mtime;
    seen_ino_ = ino;
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
