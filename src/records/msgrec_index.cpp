// Rate-limit keys: how a key is cut, compared and found among a limit's entries.
//
// Keys compare without regard to ASCII case; the index hashes the folded bytes with a
// seed that differs per process. Owns nothing beyond the slots of each KeyIndex, which
// point at entries their msgrec_list owns.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <random>

#include "foundation/fileio.h"
#include "foundation/lib.h"
#include "records/msgrec_internal.h"
#include "records/record_file.h"

namespace tolvane::msgrec_detail {

namespace {

// The seed differs per process, so that nobody can choose keys that pile up in one run
// of the table.
std::uint64_t hash_seed() {
    static const std::uint64_t seed = [] {
        std::random_device rd;
        return (static_cast<std::uint64_t>(rd()) << 32) ^ rd();
    }();
    return seed;
}

}  // namespace

std::uint64_t ci_hash(std::string_view s) {
    std::uint64_t h = 1469598103934665603ull ^ hash_seed();
    for (unsigned char c : s) h = (h ^ fold(c)) * 1099511628211ull;
    // Spread the high bits into the low ones the table uses.
    h ^= h >> 33;
    h *= 0xff51afd7ed558ccdull;
    h ^= h >> 33;
    return h;
}

bool ci_equal(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (fold(static_cast<unsigned char>(a[i])) != fold(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

msgrec* KeyIndex::find(std::string_view key) const {
    if (slots_.empty()) return nullptr;
    std::uint64_t h = ci_hash(key);
    std::size_t mask = slots_.size() - 1;
    for (std::size_t i = h & mask;; i = (i + 1) & mask) {
        const Slot& s = slots_[i];
        if (!s.entry) return nullptr;
        if (s.hash == h && ci_equal(s.entry->string, key)) return s.entry;
    }
}

void KeyIndex::add(msgrec* e) {
    if ((used_ + 1) * 2 > slots_.size()) grow();
    if (place(ci_hash(e->string), e)) ++used_;
}

bool KeyIndex::place(std::uint64_t h, msgrec* e) {
    std::size_t mask = slots_.size() - 1;
    for (std::size_t i = h & mask;; i = (i + 1) & mask) {
        Slot& s = slots_[i];
        if (!s.entry) {
            s = Slot{h, e};
            return true;
        }
        if (s.hash == h && ci_equal(s.entry->string, e->string)) return false;
    }
}

void KeyIndex::grow() {
    std::vector<Slot> old = std::move(slots_);
    slots_.assign(std::max<std::size_t>(16, old.size() * 2), Slot{});
    for (const Slot& s : old)
        if (s.entry) place(s.hash, s.entry);
}

std::string normal_key(std::string_view key) {
    std::string k(key.substr(0, std::min(key.size(), TEXT_MAX)));
    for (char& c : k)
        if (is_binary(static_cast<unsigned char>(c))) c = '?';
    return k;
}

bool is_normal_key(std::string_view key) {
    if (key.size() > TEXT_MAX) return false;
    for (char c : key)
        if (is_binary(static_cast<unsigned char>(c))) return false;
    return true;
}

std::string folded_key(std::string_view key) {
    std::string k = normal_key(key);
    for (char& c : k) c = static_cast<char>(fold(static_cast<unsigned char>(c)));
    return k;
}

std::string ten_digits(int count) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%010d", count);
    return std::string(buf, 10);
}

int saturating_add(int a, int b) {
    long long s = static_cast<long long>(a) + b;
    if (s > INT_MAX) return INT_MAX;
    if (s < INT_MIN) return INT_MIN;
    return static_cast<int>(s);
}

bool all_digits(std::string_view s) {
    if (s.empty()) return false;
    for (char c : s)
        if (c < '0' || c > '9') return false;
    return true;
}

bool read_whole(const std::string& path, std::string& out) {
    UniqueFd f(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!f) return false;
    out.clear();
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(f.get(), buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) break;
        out.append(buf, static_cast<std::size_t>(n));
    }
    return true;
}

}  // namespace tolvane::msgrec_detail
