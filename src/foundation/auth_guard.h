// Failed logins: the one limiter of every channel that checks a password (the SMTP
// listener's AUTH, the web administration's Basic credentials).
//
// Failures are counted per client address and per user name, each in a table of its own.
// A key with at least fail_limit failures within the last window is held: an attempt for
// it waits until its last failure + delay, where delay = base_delay * 2^(failures -
// fail_limit), at most max_delay (1 s, 2 s, 4 s ... 60 s with the defaults). While the
// client's address or the user named is held, the channel refuses the attempt at once,
// without checking the password ("454 4.7.0 Temporary authentication failure", HTTP 429
// with Retry-After). A success clears both the address's and the user's count.
//
// An IPv6 address counts by its /64 network (one host commonly has the whole of it); an
// IPv4 address written in IPv6 form counts as that IPv4 address.
//
// Every failure is logged in one fixed line that fail2ban can match
// (docs/fail2ban/tolvane.conf), at the "Warning" label:
//   authentication failed: channel=smtp address=192.0.2.7 user="bob"
// the user text escaped (quote, backslash, control and non-ASCII bytes as \" \\ \xNN) so
// that a name can never forge another field or line. Failures and refusals while held are
// counted in /metrics (tolvane_auth_failures_total, tolvane_auth_held_total by channel).
//
// Memory is bounded: each table keeps at most max_keys keys (the one with the oldest last
// failure goes first) and forgets a key once its last failure is older than the window;
// each key remembers at most its last fail_limit + 32 failure times (the delay has long
// reached its ceiling by then). Thread-safe: one lock, never held while a password is
// checked.
//
//   AuthGuard& g = auth_guard();
//   if (long ms = g.held_ms(ip, user)) return refuse_for(ms);
//   if (check(user, password)) g.succeeded(ip, user);
//   else auth_failure("smtp", ip, user);
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace tolvane {

struct AuthGuardRules {
    int fail_limit = 5;            // failures within the window before attempts are held
    long window_ms = 600000;       // 10 minutes
    long base_delay_ms = 1000;     // the hold at the limit; doubled for each failure beyond
    long max_delay_ms = 60000;     // ceiling of the hold
    std::size_t max_keys = 10000;  // per table (addresses, users)
};

class AuthGuard {
  public:
    // Milliseconds of a monotonic clock; tests give their own.
    using Clock = std::function<std::int64_t()>;
    explicit AuthGuard(AuthGuardRules rules = {}, Clock clock = nullptr);

    // New rules; the counts so far are kept.
    void set_rules(const AuthGuardRules& rules);
    AuthGuardRules rules() const;
    // Milliseconds until an attempt from address for user may be checked; 0 when it may
    // now. An empty user (not known yet) is looked up by address only.
    long held_ms(std::string_view address, std::string_view user);
    // Counts one failure of address and of user (an empty user only of address); the
    // hold it starts in milliseconds, 0 while below the limit.
    long failed(std::string_view address, std::string_view user);
    // Clears the counts of address and user.
    void succeeded(std::string_view address, std::string_view user);
    void clear();
    // Keys tracked in both tables (for tests and the memory bound).
    std::size_t tracked();

    // The key an address counts under: IPv6 by its /64 ("2001:db8:1:2::/64"), an
    // IPv4-mapped address as IPv4, anything else as it is.
    static std::string address_key(std::string_view address);

  private:
    struct Entry {
        std::string key;
        std::vector<std::int64_t> fails;  // oldest first
    };
    struct Table {
        std::list<Entry> order;  // oldest last failure first
        std::unordered_map<std::string, std::list<Entry>::iterator> index;
    };
    std::int64_t now() const;
    void expire(Table& t, std::int64_t now);
    long hold_of(Table& t, const std::string& key, std::int64_t now);
    long count(Table& t, const std::string& key, std::int64_t now);
    void forget(Table& t, const std::string& key);

    mutable std::mutex lock_;
    AuthGuardRules rules_;
    Clock clock_;
    Table addresses_, users_;
};

// The process-wide limiter both channels use.
AuthGuard& auth_guard();

// User text as the failure line shows it, quotes included: printable ASCII as it is,
// '"' and '\' escaped with a backslash, every other byte as \xNN; cut at 255 bytes.
std::string auth_quote(std::string_view user);

// A failed attempt on channel ("smtp", "web"): logs the failure line, counts it, and
// counts it in guard; the hold that starts (ms, 0 when none), which is logged once too.
long auth_failure(AuthGuard& guard, const char* channel, std::string_view address,
                  std::string_view user);
// An attempt refused while held (not checked, not a failure): counted only.
void auth_count_held(const char* channel);

inline constexpr const char* METRIC_AUTH_FAILURES = "tolvane_auth_failures_total";
inline constexpr const char* METRIC_AUTH_HELD = "tolvane_auth_held_total";

}  // namespace tolvane
