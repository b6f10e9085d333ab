// Authentication on the listener: the users file and the AUTH command (PLAIN and
// LOGIN mechanisms).
//
// The users file holds one "name:{ssha}digest" line per user, the format of the
// web administrator's file; it is read once, when the transport starts. An AUTH
// exchange is never written to the dialogue trace or the log as sent: its lines
// appear as "AUTH <redacted>". A failed attempt costs the client a second and
// counts toward the connection's error budget.
//
// Limits: names and passwords of at most 255 bytes; at most 10,000 users.
#include <fstream>
#include <thread>

#include "foundation/lib.h"
#include "foundation/log.h"
#include "foundation/ssha.h"
#include "mail/sms_smtp.h"
#include "mail/sms_smtp_impl.h"

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
        if (colon == 0 || colon == std::string::npos ||
            !istarts_with(std::string_view(line).substr(colon + 1), SSHA_PREFIX)) {
            emsg("%s line %d: not \"name:{ssha}digest\", skipped", path.c_str(), lineno);
            continue;
        }
        users[line.substr(0, std::min(colon, AUTH_FIELD_MAX))] = line.substr(colon + 1);
    }
    return true;
}

bool smtp_auth_offered(const smtp_message& m) {
    const sms_smtp& d = *m.drv;
    return d.auth != SMTP_AUTH_OFF && (d.auth_plaintext || (m.sock && m.sock->tls));
}

int smtp_auth_command(smtp_message& m, std::string_view line) {
    sms_smtp& d = *m.drv;
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
    std::string name, password, field;
    bool ok = true;
    if (iequals(mech, "PLAIN")) {
        std::string resp;
        if (w.size() > 1) {
            resp = w[1];
        } else {
            if (!reply(m, "334 ")) return -1;
            if (!read_secret(m, resp)) return -1;
        }
        if (resp == "*") return reply(m, "501 Authentication cancelled") ? 0 : -1;
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
    } else if (iequals(mech, "LOGIN")) {
        std::string resp;
        if (w.size() > 1) {
            resp = w[1];
        } else {
            if (!reply(m, "334 VXNlcm5hbWU6")) return -1;  // "Username:"
            if (!read_secret(m, resp)) return -1;
        }
        if (resp == "*") return reply(m, "501 Authentication cancelled") ? 0 : -1;
        ok = decode(resp, name);
        if (!reply(m, "334 UGFzc3dvcmQ6")) return -1;  // "Password:"
        if (!read_secret(m, resp)) return -1;
        if (resp == "*") return reply(m, "501 Authentication cancelled") ? 0 : -1;
        ok = ok && decode(resp, password);
    } else {
        if (smtp_error_budget_spent(m)) return -1;
        return reply(m, "504 Unrecognized authentication type") ? 0 : -1;
    }
    auto it = ok && name.size() <= AUTH_FIELD_MAX ? d.users.find(name) : d.users.end();
    if (it != d.users.end() && password.size() <= AUTH_FIELD_MAX &&
        ssha_check(password, it->second)) {
        m.sock->user = name;
        imsg("SMTP client %s authenticated as %s", m.ip ? m.ip->c_str() : "", name.c_str());
        return reply(m, "235 Authentication successful") ? 0 : -1;
    }
    imsg("SMTP client %s failed to authenticate", m.ip ? m.ip->c_str() : "");
    // Guessing costs time; the budget ends a connection that keeps guessing.
    std::this_thread::sleep_for(std::chrono::milliseconds(d.auth_fail_delay_ms));
    if (smtp_error_budget_spent(m)) return -1;
    return reply(m, "535 Authentication failed") ? 0 : -1;
}

}  // namespace tolvane
