// Failed-login limiter: see auth_guard.h.
#include "foundation/auth_guard.h"

#include <arpa/inet.h>

#include <algorithm>
#include <chrono>
#include <cstring>

#include "foundation/lib.h"
#include "foundation/log.h"
#include "foundation/metrics.h"

namespace tolvane {

namespace {

// Failure times kept per key beyond the limit: the delay reaches its ceiling long before.
constexpr std::size_t KEEP_BEYOND_LIMIT = 32;
constexpr std::size_t USER_SHOWN_MAX = 255;

std::int64_t steady_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

AuthGuard::AuthGuard(AuthGuardRules rules, Clock clock) : rules_(rules), clock_(std::move(clock)) {}

std::int64_t AuthGuard::now() const {
    return clock_ ? clock_() : steady_ms();
}

void AuthGuard::set_rules(const AuthGuardRules& rules) {
    std::lock_guard<std::mutex> hold(lock_);
    rules_ = rules;
    if (rules_.fail_limit < 1) rules_.fail_limit = 1;
    if (rules_.max_keys < 1) rules_.max_keys = 1;
}

AuthGuardRules AuthGuard::rules() const {
    std::lock_guard<std::mutex> hold(lock_);
    return rules_;
}

std::string AuthGuard::address_key(std::string_view address) {
    const std::string text(address);
    unsigned char a6[16];
    if (inet_pton(AF_INET6, text.c_str(), a6) != 1) return text;
    static constexpr unsigned char MAPPED[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    char out[INET6_ADDRSTRLEN];
    if (std::memcmp(a6, MAPPED, sizeof MAPPED) == 0) {
        if (!inet_ntop(AF_INET, a6 + 12, out, sizeof out)) return text;
        return out;
    }
    std::memset(a6 + 8, 0, 8);
    if (!inet_ntop(AF_INET6, a6, out, sizeof out)) return text;
    return std::string(out) + "/64";
}

void AuthGuard::expire(Table& t, std::int64_t now) {
    while (!t.order.empty()) {
        const Entry& e = t.order.front();
        if (!e.fails.empty() && now - e.fails.back() < rules_.window_ms) break;
        t.index.erase(e.key);
        t.order.pop_front();
    }
}

long AuthGuard::hold_of(Table& t, const std::string& key, std::int64_t now) {
    auto it = t.index.find(key);
    if (it == t.index.end()) return 0;
    std::vector<std::int64_t>& f = it->second->fails;
    // Only the failures within the window count.
    auto first = std::find_if(f.begin(), f.end(),
                              [&](std::int64_t at) { return now - at < rules_.window_ms; });
    f.erase(f.begin(), first);
    const long n = static_cast<long>(f.size());
    if (n < rules_.fail_limit) return 0;
    long delay = rules_.base_delay_ms;
    for (long i = rules_.fail_limit; i < n && delay < rules_.max_delay_ms; ++i) delay *= 2;
    delay = std::min(delay, rules_.max_delay_ms);
    const std::int64_t until = f.back() + delay;
    return until > now ? static_cast<long>(until - now) : 0;
}

long AuthGuard::count(Table& t, const std::string& key, std::int64_t now) {
    auto it = t.index.find(key);
    if (it == t.index.end()) {
        if (t.order.size() >= rules_.max_keys) {
            // Full even after the expired keys went: the one failing least lately goes.
            t.index.erase(t.order.front().key);
            t.order.pop_front();
        }
        t.order.push_back(Entry{key, {}});
        it = t.index.emplace(key, std::prev(t.order.end())).first;
    } else {
        t.order.splice(t.order.end(), t.order, it->second);  // now the latest failure
    }
    std::vector<std::int64_t>& f = it->second->fails;
    f.push_back(now);
    const std::size_t keep = static_cast<std::size_t>(rules_.fail_limit) + KEEP_BEYOND_LIMIT;
    if (f.size() > keep) f.erase(f.begin(), f.begin() + static_cast<long>(f.size() - keep));
    return hold_of(t, key, now);
}

void AuthGuard::forget(Table& t, const std::string& key) {
    auto it = t.index.find(key);
    if (it == t.index.end()) return;
    t.order.erase(it->second);
    t.index.erase(it);
}

long AuthGuard::held_ms(std::string_view address, std::string_view user) {
    const std::string akey = address_key(address);
    std::lock_guard<std::mutex> hold(lock_);
    const std::int64_t t = now();
    expire(addresses_, t);
    expire(users_, t);
    long ms = hold_of(addresses_, akey, t);
    if (!user.empty()) ms = std::max(ms, hold_of(users_, std::string(user), t));
    return ms;
}

long AuthGuard::failed(std::string_view address, std::string_view user) {
    const std::string akey = address_key(address);
    std::lock_guard<std::mutex> hold(lock_);
    const std::int64_t t = now();
    expire(addresses_, t);
    expire(users_, t);
    long ms = count(addresses_, akey, t);
    if (!user.empty()) ms = std::max(ms, count(users_, std::string(user), t));
    return ms;
}

void AuthGuard::succeeded(std::string_view address, std::string_view user) {
    const std::string akey = address_key(address);
    std::lock_guard<std::mutex> hold(lock_);
    forget(addresses_, akey);
    if (!user.empty()) forget(users_, std::string(user));
}

void AuthGuard::clear() {
    std::lock_guard<std::mutex> hold(lock_);
    addresses_ = Table{};
    users_ = Table{};
}

std::size_t AuthGuard::tracked() {
    std::lock_guard<std::mutex> hold(lock_);
    return addresses_.order.size() + users_.order.size();
}

AuthGuard& auth_guard() {
    static AuthGuard* g = new AuthGuard();  // never destroyed: threads may use it at exit
    return *g;
}

std::string auth_quote(std::string_view user) {
    std::string out = "\"";
    for (unsigned char c : user.substr(0, std::min(user.size(), USER_SHOWN_MAX))) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c >= 0x20 && c < 0x7f) {
            out += static_cast<char>(c);
        } else {
            out += strprintf("\\x%02x", c);
        }
    }
    out += '"';
    return out;
}

namespace {

// Looked up per call: failures are rare enough, and the registry keeps one per channel.
MetricCounter& per_channel(const char* name, const char* help, const char* channel) {
    return metrics().counter(name, help, {{"channel", channel}});
}

// The address as the line shows it: what a socket gives is already plain, but nothing
// outside [0-9A-Za-z.:%] may reach a line that a ban is made from.
std::string shown_address(std::string_view address) {
    std::string out;
    for (char c : address.substr(0, std::min<std::size_t>(address.size(), 64))) {
        const bool plain = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') ||
                           (c >= 'A' && c <= 'Z') || c == '.' || c == ':' || c == '%';
        out += plain ? c : '?';
    }
    return out.empty() ? std::string("unknown") : out;
}

}  // namespace

long auth_failure(AuthGuard& guard, const char* channel, std::string_view address,
                  std::string_view user) {
    const std::string ip = shown_address(address);
    const std::string who = auth_quote(user);
    wmsg("authentication failed: channel=%s address=%s user=%s", channel, ip.c_str(), who.c_str());
    per_channel(METRIC_AUTH_FAILURES, "Failed password checks, by channel", channel).inc();
    const long ms = guard.failed(address, user);
    // Logged where a hold starts or grows, not for every attempt it refuses.
    if (ms > 0)
        imsg("authentication held: channel=%s address=%s user=%s for %ld ms", channel, ip.c_str(),
             who.c_str(), ms);
    return ms;
}

void auth_count_held(const char* channel) {
    per_channel(METRIC_AUTH_HELD, "Login attempts refused unchecked while held, by channel",
                channel)
        .inc();
}

}  // namespace tolvane
