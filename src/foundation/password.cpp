// Stored passwords: see password.h.
#include "foundation/password.h"

#include <crypt.h>
#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include "foundation/fileio.h"
#include "foundation/lib.h"
#include "foundation/ssha.h"
#include "foundation/utf8.h"

namespace tolvane {

namespace {

// Longest password looked at; a longer one is refused without being hashed.
constexpr std::size_t PASSWORD_MAX_BYTES = 1023;

// Lets PASSWORD_CHECKS_AT_ONCE hashes run at a time: each takes ~16 MiB while it runs,
// and a crowd of guessers must not multiply that.
class HashTurns {
  public:
    void take() {
        std::unique_lock<std::mutex> hold(lock_);
        cv_.wait(hold, [&] { return busy_ < PASSWORD_CHECKS_AT_ONCE; });
        ++busy_;
    }
    void give() {
        {
            std::lock_guard<std::mutex> hold(lock_);
            --busy_;
        }
        cv_.notify_one();
    }

  private:
    std::mutex lock_;
    std::condition_variable cv_;
    int busy_ = 0;
};

HashTurns& turns() {
    static HashTurns* t = new HashTurns();  // never destroyed: threads may hash at exit
    return *t;
}

// Right checks of the last few minutes. A browser sends its credentials with every
// request (the status part refreshes itself), and a mail program may log in for every
// mail: each would cost a whole hash. Kept is only an HMAC, under a secret drawn once per
// process, of the stored entry and the password: never the password, and a changed entry
// no longer matches. Wrong passwords are never remembered.
class RightChecks {
  public:
    std::string key(std::string_view password, std::string_view stored) {
        std::call_once(once_, [&] { ready_ = RAND_bytes(secret_, sizeof secret_) == 1; });
        if (!ready_) return {};
        std::string in(stored);
        in.push_back('\0');
        in.append(password);
        unsigned char md[EVP_MAX_MD_SIZE];
        unsigned int len = 0;
        if (!HMAC(EVP_sha256(), secret_, sizeof secret_,
                  reinterpret_cast<const unsigned char*>(in.data()), in.size(), md, &len))
            return {};
        OPENSSL_cleanse(in.data(), in.size());
        return std::string(reinterpret_cast<const char*>(md), len);
    }
    bool known(const std::string& k) {
        if (k.empty()) return false;
        std::lock_guard<std::mutex> hold(lock_);
        auto it = until_.find(k);
        if (it == until_.end()) return false;
        if (it->second < std::chrono::steady_clock::now()) {
            until_.erase(it);
            return false;
        }
        return true;
    }
    void remember(const std::string& k) {
        if (k.empty()) return;
        std::lock_guard<std::mutex> hold(lock_);
        const auto now = std::chrono::steady_clock::now();
        std::erase_if(until_, [&](const auto& e) { return e.second < now; });
        if (until_.size() >= KEEP_MAX) until_.clear();
        until_[k] = now + KEEP_FOR;
    }

  private:
    static constexpr std::size_t KEEP_MAX = 256;
    static constexpr std::chrono::minutes KEEP_FOR{5};
    std::once_flag once_;
    bool ready_ = false;
    unsigned char secret_[32];
    std::mutex lock_;
    std::map<std::string, std::chrono::steady_clock::time_point> until_;
};

RightChecks& right_checks() {
    static RightChecks* r = new RightChecks();  // never destroyed, as turns()
    return *r;
}

// crypt_r of password with setting (a full stored hash is its own setting); empty when
// the setting is not one crypt_r knows.
std::string crypt_text(std::string_view password, const std::string& setting) {
    const std::string pw(password);
    // The work area is some 32 KiB: never on a session thread's small stack.
    auto data = std::make_unique<crypt_data>();
    const char* out = crypt_r(pw.c_str(), setting.c_str(), data.get());
    std::string result = out && out[0] != '*' ? std::string(out) : std::string();
    OPENSSL_cleanse(data.get(), sizeof *data);
    return result;
}

std::string crypt_in_turn(std::string_view password, const std::string& setting) {
    turns().take();
    std::string out = crypt_text(password, setting);
    turns().give();
    return out;
}

}  // namespace

Result<std::string> password_hash(std::string_view password) {
    if (password.size() > PASSWORD_MAX_BYTES || password.find('\0') != std::string_view::npos)
        return Error{0, "the password is too long or holds a NUL byte"};
    char setting[CRYPT_GENSALT_OUTPUT_SIZE];
    // No random bytes of ours: libcrypt draws them from the system.
    if (!crypt_gensalt_rn("$y$", 0, nullptr, 0, setting, sizeof setting)) {
        const int e = errno;
        return Error{e, strprintf("crypt_gensalt_rn failed (%s)", system_error(e).c_str())};
    }
    std::string out = crypt_in_turn(password, setting);
    if (out.empty()) return Error{0, "crypt_r failed"};
    return out;
}

PasswordCheck password_check(std::string_view password, std::string_view stored) {
    if (password.empty() || password.size() > PASSWORD_MAX_BYTES ||
        password.find('\0') != std::string_view::npos)
        return PasswordCheck::wrong;
    if (istarts_with(stored, SSHA_PREFIX))
        return ssha_check(password, stored) ? PasswordCheck::right_old : PasswordCheck::wrong;
    if (stored.size() < 4 || stored[0] != '$') return PasswordCheck::wrong;
    RightChecks& rc = right_checks();
    const std::string key = rc.key(password, stored);
    if (rc.known(key)) return PasswordCheck::right;
    // Asked again once its turn comes: a crowd of the same login waits for one hash.
    turns().take();
    std::string made;
    const bool seen = rc.known(key);
    if (!seen) made = crypt_text(password, std::string(stored));
    turns().give();
    if (seen) return PasswordCheck::right;
    if (made.size() != stored.size() || CRYPTO_memcmp(made.data(), stored.data(), made.size()) != 0)
        return PasswordCheck::wrong;
    rc.remember(key);
    return PasswordCheck::right;
}

std::string password_refusal(std::string_view password) {
    if (utf8_length(password) < PASSWORD_MIN_CHARS)
        return strprintf("The password must be at least %d characters long.",
                         static_cast<int>(PASSWORD_MIN_CHARS));
    if (password.size() > PASSWORD_MAX_BYTES)
        return strprintf("The password must be at most %d bytes long.",
                         static_cast<int>(PASSWORD_MAX_BYTES));
    return {};
}

Status password_file_update(const std::string& path, std::string_view user,
                            std::string_view old_entry, std::string_view new_entry) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        const int e = errno;
        return Error{e, strprintf("%s: %s", path.c_str(), system_error(e).c_str())};
    }
    std::string old;
    {
        std::ifstream in(path, std::ios::binary);
        if (!in) {
            const int e = errno;
            return Error{e, strprintf("%s: %s", path.c_str(), system_error(e).c_str())};
        }
        std::ostringstream all;
        all << in.rdbuf();
        old = all.str();
    }
    const std::string want = std::string(user) + ":" + std::string(old_entry);
    std::string text;
    bool replaced = false;
    std::size_t at = 0;
    while (at < old.size()) {
        const std::size_t nl = old.find('\n', at);
        const std::size_t end = nl == std::string::npos ? old.size() : nl + 1;
        std::string_view line(old.data() + at, end - at);
        std::string_view body = line;
        while (!body.empty() && (body.back() == '\n' || body.back() == '\r')) body.remove_suffix(1);
        if (!replaced && body == want) {
            text += std::string(user) + ":" + std::string(new_entry);
            text.append(line.substr(body.size()));  // its own line end
            replaced = true;
        } else {
            text.append(line);
        }
        at = end;
    }
    if (!replaced) {
        return Error{0, strprintf("%s holds no line for %.*s with that entry", path.c_str(),
                                  static_cast<int>(user.size()), user.data())};
    }
    return write_file_atomic(path, text, st.st_mode & 07777);
}

}  // namespace tolvane
