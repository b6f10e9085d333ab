// Authentication on the listener: the users file and the AUTH command (PLAIN and
// LOGIN mechanisms).
//
// The users file holds one "name:hash" line per user, the format of the web
// administrator's file: "$y$..." (yescrypt, foundation/password.h) or the old
// "{ssha}..." form, which is rewritten as "$y$..." at the user's next successful login.
// It is read once, when the transport starts. An AUTH exchange is never written to the
// dialogue trace or the log as sent: its lines appear as "AUTH <redacted>". A failed
// attempt costs the client a second on its connection and counts toward the
// connection's error budget, and counts in the process's failed-login limiter
// (foundation/auth_guard.h) for the client's address and the user named: while either is
// held, AUTH is answered "454 4.7.0 Temporary authentication failure" without a look at
// the password.
//
// Limits: names and passwords of at most 255 bytes; at most 10,000 users.
#include <fstream>
#include <optional>

#include <openssl/rand.h>

#include "foundation/auth_guard.h"
#include "foundation/lib.h"
#include "foundation/log.h"
#include "foundation/password.h"
#include "foundation/ssha.h"
#include "smtp/engine.h"
#include "smtp/engine_impl.h"

namespace tolvane {

namespace {

constexpr std::size_t AUTH_FIELD_MAX = 255;
constexpr std::size_t USERS_MAX = 10000;

bool reply(smtp_message& m, std::string_view text) {
    if (smtp_logging(*m.drv))
        smtp_log(*m.drv, m.sock->sockno(), "SMTP->[%.*s]", static_cast<int>(text.size()),
                 text.data());
    return m.sock->reply(text) && m.sock->flush();
}

// One line of the client inside the exchange; false when the connection ended.
bool read_secret(smtp_message& m, std::string& out) {
    std::string_view piece;
    bool more = false;
    if (m.sock->next(piece, more) <= 0) return false;
    out.assign(piece.substr(0, 2 * AUTH_FIELD_MAX + 8));
    while (more) {
        if (m.sock->next(piece, more) <= 0) return false;
    }
    if (smtp_logging(*m.drv)) smtp_log(*m.drv, m.sock->sockno(), "SMTP<-[AUTH <redacted>]");
    return true;
}

bool decode(std::string_view b64, std::string& out) {
    if (b64 == "=") {  // an empty initial response
        out.clear();
        return true;
    }
    return decode_base64(b64, out, 3 * AUTH_FIELD_MAX + 8) >= 0;
}

// A yescrypt entry no password is checked right against in practice (made once).
const std::string& unknown_user_entry() {
    static const std::string entry = [] {
        unsigned char raw[24];
        std::string secret = "unknown user ";
        if (RAND_bytes(raw, sizeof raw) == 1)
            secret += encode_base64(std::string_view(reinterpret_cast<char*>(raw), sizeof raw));
        Result<std::string> hash = password_hash(secret);
        return hash ? std::move(*hash) : std::string();
    }();
    return entry;
}

// The client's address, asked of the connection when the dialogue has not yet.
std::string client_ip(smtp_message& m) {
    if (!m.ip) {
        std::string ip;
        int port = 0;
        if (m.sock && m.sock->peer(ip, port)) m.ip = ip;
    }
    return m.ip ? *m.ip : std::string();
}

bool held(smtp_message& m, std::string_view user) {
    return m.drv->guard->held_ms(client_ip(m), user) > 0;
}

// The answer while held; counts as a refused command. False when the connection ended.
bool refuse_held(smtp_message& m) {
    auth_count_held("smtp");
    if (smtp_error_budget_spent(m)) return false;
    return reply(m, "454 4.7.0 Temporary authentication failure");
}

// Stores a user's password, right at a login against an old "{ssha}" entry, in the new
// form: in memory at once, in the users file atomically (other lines kept). A failure
// only leaves the old entry in place, to be tried again at the next login.
void rehash(smtp_engine& d, const std::string& name, std::string_view password,
            const std::string& old_entry) {
    // One rewrite at a time: a second login of the same user then finds it done.
    static std::mutex one_at_a_time;
    std::lock_guard<std::mutex> turn(one_at_a_time);
    {
        std::lock_guard<std::mutex> hold(d.users_lock);
        auto it = d.users.find(name);
        if (it == d.users.end() || it->second != old_entry) return;
    }
    Result<std::string> made = password_hash(password);
    if (!made) {
        emsg("SMTP user %s: new password hash not made (%s)", name.c_str(),
             made.error().reason.c_str());
        return;
    }
    const std::string fresh = std::move(*made);
    if (!d.users_file.empty()) {
        if (Status st = password_file_update(d.users_file, name, old_entry, fresh); !st) {
            emsg("SMTP user %s: old password entry not rewritten (%s)", name.c_str(),
                 st.error().reason.c_str());
            return;
        }
    }
    {
        std::lock_guard<std::mutex> hold(d.users_lock);
        auto it = d.users.find(name);
        if (it != d.users.end() && it->second == old_entry) it->second = fresh;
    }
    imsg("SMTP user %s: password entry rewritten with yescrypt", name.c_str());
}

}  // namespace

bool smtp_users_load(const std::string& path, std::map<std::string, std::string>& users,
                     std::string& err) {
    users.clear();
    std::ifstream in(path);
    if (!in) {
        err = system_error(errno);
        return false;
    }
    std::string line;
    int lineno = 0;
    while (std::getline(in, line) && users.size() < USERS_MAX) {
        ++lineno;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line[0] == '#') continue;
        std::size_t colon = line.find(':');
        const std::string_view entry =
            std::string_view(line).substr(colon == std::string::npos ? line.size() : colon + 1);
        if (colon == 0 || colon == std::string::npos ||
            !(istarts_with(entry, SSHA_PREFIX) || entry.starts_with('$'))) {
            emsg("%s line %d: not \"name:hash\", skipped", path.c_str(), lineno);
            continue;
        }
        users[line.substr(0, std::min(colon, AUTH_FIELD_MAX))] = line.substr(colon + 1);
    }
    return true;
}

bool smtp_auth_offered(const smtp_message& m) {
    const smtp_engine& d = *m.drv;
    return d.auth != SMTP_AUTH_OFF && (d.auth_plaintext || (m.sock && m.sock->tls));
}

namespace {

// What a step of AUTH tells the command: go on, or its result (0 answered, -1 close).
using auth_step = std::optional<int>;

auth_step cancelled(smtp_message& m) {
    return reply(m, "501 Authentication cancelled") ? 0 : -1;
}

// AUTH PLAIN: the response on the command line or after a 334; name and password from
// it, ok false when it is not the three fields in base64.
auth_step read_plain(smtp_message& m, const std::vector<std::string>& w, std::string& name,
                     std::string& password, bool& ok) {
    std::string resp;
    if (w.size() > 1) {
        resp = w[1];
    } else {
        if (!reply(m, "334 ")) return -1;
        if (!read_secret(m, resp)) return -1;
    }
    if (resp == "*") return cancelled(m);
    std::string raw;
    ok = decode(resp, raw);
    // authorization identity NUL authentication identity NUL password
    std::size_t a = raw.find('\0');
    std::size_t b = a == std::string::npos ? a : raw.find('\0', a + 1);
    if (!ok || b == std::string::npos) {
        ok = false;
    } else {
        name = raw.substr(a + 1, b - a - 1);
        password = raw.substr(b + 1);
    }
    return std::nullopt;
}

// AUTH LOGIN: the name (on the command line or asked for), then the password.
auth_step read_login(smtp_message& m, const std::vector<std::string>& w, std::string& name,
                     std::string& password, bool& ok) {
    std::string resp;
    if (w.size() > 1) {
        resp = w[1];
    } else {
        if (!reply(m, "334 VXNlcm5hbWU6")) return -1;  // "Username:"
        if (!read_secret(m, resp)) return -1;
    }
    if (resp == "*") return cancelled(m);
    ok = decode(resp, name);
    if (!reply(m, "334 UGFzc3dvcmQ6")) return -1;  // "Password:"
    if (!read_secret(m, resp)) return -1;
    if (resp == "*") return cancelled(m);
    ok = ok && decode(resp, password);
    return std::nullopt;
}

// The name and password given (ok false when they could not be read) against the users
// file: the session logs in, or the failure is counted and answered.
int check_login(smtp_message& m, const std::string& name, const std::string& password, bool ok) {
    smtp_engine& d = *m.drv;
    if (ok && held(m, name)) return refuse_held(m) ? 0 : -1;
    std::string stored;
    bool known = false;
    if (ok && name.size() <= AUTH_FIELD_MAX && password.size() <= AUTH_FIELD_MAX) {
        std::lock_guard<std::mutex> hold(d.users_lock);
        auto it = d.users.find(name);
        if (it != d.users.end()) {
            stored = it->second;
            known = true;
        }
    }
    // Checked outside the lock: a check costs tens of milliseconds. An unknown name costs
    // as much, so that the time of the answer does not tell which names exist.
    const PasswordCheck got =
        known ? password_check(password, stored)
              : (password_check(password, unknown_user_entry()), PasswordCheck::wrong);
    const std::string ip = client_ip(m);
    if (got != PasswordCheck::wrong) {
        m.sock->user = name;
        d.guard->succeeded(ip, name);
        imsg("SMTP client %s authenticated as %s", ip.c_str(), name.c_str());
        if (got == PasswordCheck::right_old) rehash(d, name, password, stored);
        return reply(m, "235 Authentication successful") ? 0 : -1;
    }
    auth_failure(*d.guard, "smtp", ip, ok ? std::string_view(name) : std::string_view());
    // Guessing costs time; the budget ends a connection that keeps guessing.
    m.sock->pause(d.auth_fail_delay_ms);
    if (smtp_error_budget_spent(m)) return -1;
    return reply(m, "535 Authentication failed") ? 0 : -1;
}

}  // namespace

int smtp_auth_command(smtp_message& m, std::string_view line) {
    smtp_engine& d = *m.drv;
    if (d.auth == SMTP_AUTH_OFF) return 1;  // not a command of this listener
    if (!(m.sock && (d.auth_plaintext || m.sock->tls))) {
        if (smtp_error_budget_spent(m)) return -1;
        return reply(m, "530 Must issue a STARTTLS command first") ? 0 : -1;
    }
    if (!m.sock->user.empty()) {
        if (smtp_error_budget_spent(m)) return -1;
        return reply(m, "503 Already authenticated") ? 0 : -1;
    }
    std::vector<std::string> w = s_split_words(line.substr(4), " \t");
    std::string mech = w.empty() ? std::string() : w[0];
    const bool plain = iequals(mech, "PLAIN");
    const bool login = iequals(mech, "LOGIN");
    if (!plain && !login) {
        if (smtp_error_budget_spent(m)) return -1;
        return reply(m, "504 Unrecognized authentication type") ? 0 : -1;
    }
    // A held address is told so before any secret is asked for.
    if (held(m, {})) return refuse_held(m) ? 0 : -1;
    std::string name, password;
    bool ok = true;
    auth_step done =
        plain ? read_plain(m, w, name, password, ok) : read_login(m, w, name, password, ok);
    if (done) return *done;
    return check_login(m, name, password, ok);
}

}  // namespace tolvane
