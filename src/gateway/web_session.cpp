// Login sessions of the web channel and their form tokens: see web_session.h.
#include "gateway/web_session.h"

#include <openssl/crypto.h>
#include <openssl/rand.h>

#include <algorithm>
#include <deque>
#include <mutex>
#include <vector>

#include "foundation/lib.h"
#include "foundation/log.h"

namespace tolvane {

namespace {

// 32 hexadecimal digits from the system's random source, "" without one.
std::string random_hex() {
    unsigned char raw[16];
    if (RAND_bytes(raw, sizeof raw) != 1) return {};
    std::string hex;
    for (unsigned char b : raw) hex += strprintf("%02x", b);
    return hex;
}

bool same_secret(std::string_view a, std::string_view b) {
    return a.size() == b.size() && !a.empty() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

template <class Row>
bool alive(const Row& s, std::time_t now) {
    return now - s.used <= WEB_SESSION_IDLE_S && now - s.started <= WEB_SESSION_MAX_S &&
           now >= s.started;
}

// A new token for a page of a session (its tokens, under the table's lock), kept among
// the session's last WEB_SESSION_TOKENS; "" without random data (no command can then be
// sent from that page).
std::string issue_token(std::deque<std::string>& tokens) {
    std::string t = random_hex();
    if (t.empty()) {
        emsg("No random data for a new web form token; commands are off");
        return t;
    }
    tokens.push_back(t);
    while (tokens.size() > WEB_SESSION_TOKENS) tokens.pop_front();
    return t;
}

}  // namespace

std::string web_session_cookie_value(std::string_view header) {
    const std::string name = std::string(WEB_SESSION_COOKIE) + "=";
    for (const std::string& part : s_split_words(header, ";")) {
        std::string_view p = strtrm(part);
        if (p.substr(0, name.size()) == name) return std::string(p.substr(name.size()));
    }
    return {};
}

std::string web_session_cookie(std::string_view id, bool https) {
    return strprintf("%s=%.*s; Path=/; HttpOnly; SameSite=Strict%s", WEB_SESSION_COOKIE,
                     static_cast<int>(id.size()), id.data(), https ? "; Secure" : "");
}

// Under lock_: the live row of id, or null (ended rows are removed on the way).
WebSessions::Row* WebSessions::find_locked(std::string_view id, std::time_t now) {
    std::erase_if(table_, [now](const Row& s) { return !alive(s, now); });
    for (Row& s : table_) {
        if (same_secret(s.id, id)) return &s;
    }
    return nullptr;
}

web_session WebSessions::session_for(std::string_view cookie_header, std::string_view user,
                                     std::time_t now) {
    web_session out;
    const std::string asked = web_session_cookie_value(cookie_header);
    std::lock_guard<std::mutex> hold(lock_);
    if (!asked.empty()) {
        Row* s = find_locked(asked, now);
        if (s && s->user == user) {
            s->used = now;
            out.id = s->id;
            out.token = issue_token(s->tokens);
            return out;
        }
        // A session of another user name (admin.dat changed) ends here.
        if (s) std::erase_if(table_, [&](const Row& r) { return &r == s; });
    }
    Row row;
    row.id = random_hex();
    const std::string token = random_hex();
    if (row.id.empty() || token.empty()) {
        emsg("No random data for a web login session; state-changing commands are off");
        return out;
    }
    row.tokens.push_back(token);
    row.user = std::string(user);
    row.started = row.used = now;
    if (table_.size() >= WEB_SESSIONS_MAX) {
        auto oldest = std::min_element(table_.begin(), table_.end(),
                                       [](const Row& a, const Row& b) { return a.used < b.used; });
        table_.erase(oldest);
    }
    out.id = row.id;
    out.token = token;
    out.fresh = true;
    table_.push_back(std::move(row));
    return out;
}

bool WebSessions::use_token(std::string_view id, std::string_view token, std::time_t now,
                            std::string& next) {
    next.clear();
    std::lock_guard<std::mutex> hold(lock_);
    Row* s = id.empty() ? nullptr : find_locked(id, now);
    if (!s) return false;
    // Every token is compared, so that the time taken does not say which one matched.
    auto match = s->tokens.end();
    for (auto it = s->tokens.begin(); it != s->tokens.end(); ++it)
        if (same_secret(token, *it)) match = it;
    if (match == s->tokens.end()) return false;
    s->tokens.erase(match);
    next = issue_token(s->tokens);
    return true;
}

void WebSessions::clear() {
    std::lock_guard<std::mutex> hold(lock_);
    table_.clear();
}

}  // namespace tolvane
