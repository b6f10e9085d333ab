// Web administration: the connection thread, the credentials check, the commands and
// the template functions. See web_admin.h.
#include "gateway/web_admin.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <vector>

#include "foundation/auth_guard.h"
#include "foundation/lib.h"
#include "foundation/log.h"
#include "foundation/metrics.h"
#include "foundation/password.h"
#include "foundation/ssha.h"
#include "foundation/thread.h"
#include "gateway/delivery.h"
#include "gateway/gateway.h"
#include "gateway/web_session.h"
#include "gateway/web_status.h"
#include "records/msgrec.h"
#include "records/mutexlist.h"
#include "records/stores.h"

namespace tolvane {

namespace {

constexpr const char* STATUS_OK = "HTTP/1.0 200 OK";
constexpr const char* BUILTIN_NOT_FOUND =
    "<HTML>\n<HEAD>Page not found</HEAD>\n<BODY>\n<P>Page not found.</P>\n</BODY>\n</HTML>\n";

callback_data* cbd(void* data) {
    return static_cast<callback_data*>(data);
}

std::string var(web_serv* w, std::string_view name) {
    auto v = webserv_get(w, name);
    return v ? *v : std::string();
}

std::string field(web_serv* w, std::string_view name) {
    auto v = webserv_field(w, name);
    return v ? *v : std::string();
}

// The count list a "limit_mode" value selects: absent or "from" the senders, "ip" the
// client addresses, "to" the recipients, "user" the names clients authenticated as, "key"
// the HTTP API's keys; -1
// for anything else.
int limit_kind(const std::optional<std::string>& mode) {
    if (!mode || iequals(*mode, "from")) return MSGREC_FROM;
    if (iequals(*mode, "ip")) return MSGREC_IP;
    if (iequals(*mode, "to")) return MSGREC_TO;
    if (iequals(*mode, "user")) return MSGREC_USER;
    if (iequals(*mode, "key")) return MSGREC_KEY;
    return -1;
}

// ---- template functions ----

void show_status(tpl*, TplTokens*, void* data) {
    const long up = static_cast<long>(std::time(nullptr) - cbd(data)->gw->starttime);
    webserv_add(cbd(data)->web, "uptime", strprintf("%d", static_cast<int>(up)));
}

void time_length(tpl* t, TplTokens* args, void* data) {
    if (queue_items(args) < 1) return;
    const std::string& arg = args->nodes.front();
    auto v = webserv_get(cbd(data)->web, arg);
    const std::string text = v ? *v : arg;
    tpl_print_tpl(t, "%s", time_length_text(std::strtol(text.c_str(), nullptr, 10)).c_str());
}

void begin_limits(tpl* t, TplTokens* body, void* data) {
    web_serv* w = cbd(data)->web;
    Gateway& gw = *cbd(data)->gw;
    auto name = webserv_get(w, "limit_name");
    msgrecs* mr = nullptr;
    if (name) {
        mr = gw.limit_registry.find(*name);
        if (!mr) {
            emsg("Failed to find limit named (%s)", name->c_str());
            webserv_add(w, "result", "failure");
            return;
        }
    } else {
        std::vector<msgrecs*> all = gw.limit_registry.limits();
        if (all.empty()) return;
        mr = all.front();
    }
    const int kind = limit_kind(webserv_get(w, "limit_mode"));
    // The reset form names the limit whose rows it shows, also when none was asked for.
    webserv_add(w, "limit_shown", msgrec_name(mr));
    webserv_add(w, "limit_limit", strprintf("%d", kind >= 0 ? msgrec_limit(mr, kind) : 0));
    // Rows are copied under the list's lock and rendered after it, so that a slow client
    // never holds up the mail path counting into the same list.
    std::vector<std::pair<std::string, int>> rows;
    if (kind >= 0) rows = gw.state.limits->entries(mr, kind);
    for (const auto& [key, count] : rows) {
        webserv_add(w, "limit_string", key);
        webserv_add(w, "limit_count", strprintf("%d", count));
        tpl_display(t, body);
    }
    webserv_add(w, "limit_total", strprintf("%d", static_cast<int>(rows.size())));
}

void begin_limit_names(tpl* t, TplTokens* body, void* data) {
    web_serv* w = cbd(data)->web;
    std::vector<msgrecs*> all = cbd(data)->gw->limit_registry.limits();
    if (all.empty()) return;
    auto chosen = webserv_get(w, "limit_name");
    const std::string selected = chosen ? *chosen : std::string(msgrec_name(all.front()));
    for (msgrecs* mr : all) {
        const std::string name = msgrec_name(mr);
        webserv_add(w, "_limit_name_selected", name == selected ? "selected" : "");
        webserv_add(w, "_limit_name", name);
        tpl_display(t, body);
    }
}

// ---- commands ----

int main_page(web_serv* w, callback_data*) {
    return webserv_display(w, STATUS_OK, "main.htm");
}

// The part of the main page that refreshes itself, on its own.
int status_part(web_serv* w, callback_data*) {
    return webserv_display(w, STATUS_OK, "status.htm");
}

int shutdown_page(web_serv* w, callback_data*) {
    return webserv_display(w, STATUS_OK, "shutdown.htm");
}

int shutdown_do(web_serv* w, callback_data* cb) {
    webserv_add(w, "message", "Shutting down");
    const int shown = webserv_display(w, STATUS_OK, "shutdown.htm");
    // The answer goes out before the main loop starts stopping.
    webserv_flush(w);
    imsg("Shutdown requested through the web channel by [%s]", var(w, "remoteip").c_str());
    gateway_request_stop(*cb->gw);
    return shown;
}

int limit_reset(web_serv* w, callback_data* cb) {
    const std::vector<std::string> selected = webserv_wild(w, "sel_l_*");
    if (selected.empty()) return main_page(w, cb);
    const std::string name = field(w, "limit_name");
    msgrecs* mr = cb->gw->limit_registry.find(name);
    if (!mr) {
        emsg("Failed to find limit named (%s)", name.c_str());
        webserv_add(w, "result", "failure");
        return main_page(w, cb);
    }
    const int kind = limit_kind(webserv_field(w, "limit_mode"));
    if (kind >= 0) {
        for (const std::string& v : selected) {
            auto key = webserv_field(w, v);
            if (!key) continue;
            const int r = cb->gw->state.limits->reset(mr, kind, *key);
            if (r == 0) {
                emsg("Failed to update msgrec (%s)", key->c_str());
                webserv_add(w, "result", "failure");
            } else if (r == 1) {
                imsg("Count of (%s) in limit (%s) reset through the web channel", key->c_str(),
                     name.c_str());
            }
        }
    }
    return main_page(w, cb);
}

struct web_command {
    const char* cmd;
    int (*fn)(web_serv* w, callback_data* cb);
    // A command that changes state runs only from a page's own form; otherwise this
    // shows its page without changing anything.
    int (*unchanged)(web_serv* w, callback_data* cb);
};

// The first row is also the default.
constexpr web_command web_commands[] = {
    {"main", main_page, nullptr},
    {"shutdown", shutdown_page, nullptr},
    {"shutdown_do", shutdown_do, shutdown_page},
    {"limit_reset", limit_reset, main_page},
    {"status", status_part, nullptr},
};

const web_command& choose_command(web_serv* w) {
    if (auto cmd = webserv_field(w, "cmd")) {
        for (const web_command& c : web_commands) {
            if (*cmd == c.cmd) return c;
        }
        return web_commands[0];
    }
    for (const web_command& c : web_commands) {
        const std::string name = strprintf("cmd_%s", c.cmd);
        if (webserv_field(w, name) || webserv_field(w, name + ".x")) return c;
    }
    return web_commands[0];
}

std::string first_line(std::FILE* f) {
    std::string line;
    for (int ch; (ch = std::fgetc(f)) != EOF && ch != '\n';) {
        if (line.size() < TEXT_MAX) line.push_back(static_cast<char>(ch));
    }
    return line;
}

std::string setting_of(rini* r, int id) {
    const char* v = r ? rini_get(r, id, nullptr, nullptr) : nullptr;
    return v ? v : "";
}

}  // namespace

const tpl_fns web_tpl_fns[] = {
    {"show_status", show_status, nullptr, 0},
    {"time_length", time_length, nullptr, 1},
    {"begin_limits", begin_limits, "end_limits", 0},
    {"begin_limit_names", begin_limit_names, "end_limit_names", 0},
    {"show_gateway", web_show_gateway, nullptr, 0},
    {"begin_transports", web_begin_transports, "end_transports", 0},
    {"begin_outcomes", web_begin_outcomes, "end_outcomes", 0},
    {nullptr, nullptr, nullptr, 0},
};

std::string time_length_text(long seconds) {
    if (seconds < 0) seconds = 0;
    const long weeks = seconds / 604800;
    const long days = (seconds % 604800) / 86400;
    const long rest = seconds % 86400;
    std::string out;
    if (weeks != 0) out += strprintf("%dwks ", static_cast<int>(weeks));
    if (days != 0) out += strprintf("%ddays ", static_cast<int>(days));
    out += strprintf("%02d:%02d:%02d", static_cast<int>(rest / 3600),
                     static_cast<int>(rest % 3600 / 60), static_cast<int>(rest % 60));
    return out;
}

int web_check_auth(std::string_view authorization, const std::string& admin_file) {
    std::string user;
    std::string password;
    if (!web_basic_credentials(authorization, user, password)) return 0;
    std::FILE* f = std::fopen(admin_file.c_str(), "r");
    if (!f) {
        emsg("Failed to read admin.dat: %s", system_error(errno).c_str());
        return 0;
    }
    const std::string line = first_line(f);
    std::fclose(f);
    const std::vector<std::string> parts = s_split_words(line, ":\r\n");
    if (parts.size() < 2) {
        emsg("Failed to read admin.dat: its first line is not user:digest");
        return 0;
    }
    if (user != parts[0]) return 0;
    const PasswordCheck got = password_check(password, parts[1]);
    if (got == PasswordCheck::right_old) {
        // The old salted SHA-1 entry gives way to the system's password hashing now that
        // the password is at hand; if that fails, the old entry keeps working.
        const Result<std::string> fresh = password_hash(password);
        Status st = fresh ? password_file_update(admin_file, user, parts[1], *fresh)
                          : Status(fresh.error());
        if (!st)
            emsg("admin.dat: old password entry not rewritten (%s)", st.error().reason.c_str());
        else
            imsg("admin.dat: password entry of %s rewritten with yescrypt", user.c_str());
    }
    return got == PasswordCheck::wrong ? 0 : 1;
}

int command_auth(web_serv* w) {
    return web_check_auth(webserv_get_header(w, "Authorization"), "admin.dat");
}

WebLogin web_login(web_serv* w, const std::string& ip, AuthGuard& guard, long& retry_ms) {
    retry_ms = 0;
    const std::string header = webserv_get_header(w, "Authorization");
    // A browser asks without credentials first: that is no attempt.
    if (header.empty()) return WebLogin::missing;
    std::string user;
    std::string password;
    if (!web_basic_credentials(header, user, password)) user.clear();
    if (const long ms = guard.held_ms(ip, user); ms > 0) {
        retry_ms = ms;
        auth_count_held("web");
        return WebLogin::held;
    }
    if (command_auth(w)) {
        guard.succeeded(ip, user);
        return WebLogin::ok;
    }
    auth_failure(guard, "web", ip, user);
    return WebLogin::wrong;
}

namespace {

// host[:port] of an Origin or Referer value ("scheme://host[:port][/...]"), "" when the
// value has no such part.
std::string authority_of(std::string_view url) {
    const std::size_t sep = url.find("://");
    if (sep == std::string_view::npos) return {};
    std::string_view rest = url.substr(sep + 3);
    rest = rest.substr(0, rest.find_first_of("/?#"));
    // Credentials in a URL are no part of where it comes from.
    if (const std::size_t at = rest.rfind('@'); at != std::string_view::npos) {
        rest = rest.substr(at + 1);
    }
    return std::string(rest);
}

}  // namespace

Status web_command_allowed(std::string_view method, std::string_view token, bool token_ok,
                           const web_hosts& hosts, std::string_view origin,
                           std::string_view referer) {
    if (!iequals(method, "POST")) return Error{0, "not sent by POST"};
    if (!token_ok) return Error{0, token.empty() ? "no form token" : "wrong form token"};
    // Compared with the names this server answers to, never with the Host header: a page
    // whose name was pointed at this machine sends its own name in both.
    for (const auto& [name, value] :
         {std::pair<const char*, std::string_view>{"Origin", origin}, {"Referer", referer}}) {
        if (value.empty()) continue;
        const std::string from = authority_of(value);
        if (from.empty() || !hosts.accepts(from))
            return Error{0, strprintf("%s (%s) is not this server (%s)", name,
                                      web_printable(value).c_str(), hosts.text().c_str())};
    }
    return {};
}

web_hosts web_hosts_of(rini* r, CHAN* conn) {
    std::vector<std::string> listen = s_split_words(setting_of(r, WEB_LISTEN), ", \t");
    if (listen.empty()) listen.emplace_back("127.0.0.1");
    std::string machine = setting_of(r, HOST);
    if (machine.empty()) machine = tcp_hostname();
    int port = conn ? conn->lcl_saved : 0;
    if (port <= 0 && conn) tcp_getport(conn, port);
    return web_hosts_from(setting_of(r, WEB_HOST), listen, conn ? conn->myname : std::string(),
                          machine, port);
}

// ---- health and metrics ----

namespace {

std::vector<web_health_item> probe_now(Gateway& gw) {
    WebHealthProbe p;
    {
        std::lock_guard<std::mutex> hold(gw.web_probe->lock);
        p = gw.web_probe->probe;
    }
    return p ? p() : std::vector<web_health_item>{};
}

void send_text(web_serv* w, const char* status, const char* type, const std::string& body,
               const char* extra_header = nullptr) {
    webserv_printf(w, "%s\r\n", status);
    webserv_printf(w, "Content-Type: %s\r\n", type);
    webserv_printf(w, "Content-Length: %d\r\n", static_cast<int>(body.size()));
    if (extra_header) webserv_printf(w, "%s\r\n", extra_header);
    webserv_printf(w, "Cache-Control: no-store\r\n\r\n");
    tpl_write_tpl(w->tpl.get(), body.data(), body.size());
    w->shown = true;
}

// A login refused while its address or user is held: 429 with the seconds to wait.
void too_many_page(web_serv* w, long retry_ms) {
    const long seconds = std::max(1L, (retry_ms + 999) / 1000);
    const std::string body =
        strprintf("Too many failed logins; try again in %ld seconds.\n", seconds);
    webserv_printf(w, "HTTP/1.0 429 Too Many Requests\r\n");
    webserv_printf(w, "Retry-After: %ld\r\n", seconds);
    webserv_printf(w, "Content-Type: text/plain; charset=utf-8\r\n");
    webserv_printf(w, "Content-Length: %d\r\n", static_cast<int>(body.size()));
    webserv_printf(w, "Cache-Control: no-store\r\n\r\n");
    tpl_write_tpl(w->tpl.get(), body.data(), body.size());
    w->shown = true;
}

void health_page(web_serv* w, Gateway& gw) {
    std::string reasons;
    std::string listed;
    for (const web_health_item& i : probe_now(gw)) {
        const std::string state = i.why.empty() ? (i.up ? "up" : "down") : i.why;
        if (i.listed)
            listed += i.name + ": " + state + "\n";
        else if (!i.up)
            reasons += i.name + ": " + state + "\n";
    }
    if (reasons.empty()) {
        send_text(w, "HTTP/1.0 200 OK", "text/plain; charset=utf-8", "ok\n" + listed);
    } else {
        send_text(w, "HTTP/1.0 503 Service Unavailable", "text/plain; charset=utf-8",
                  reasons + listed);
    }
}

void metrics_page(web_serv* w, Gateway& gw) {
    // Transport states are asked for now rather than kept, so they are never stale.
    for (const web_health_item& i : probe_now(gw)) {
        MetricLabels labels{{"transport", i.name}};
        if (!i.role.empty()) labels.emplace_back("role", i.role);
        metrics()
            .gauge(METRIC_TRANSPORT_UP, "1 when the transport or listener is up, else 0", labels)
            .set(i.up ? 1 : 0);
    }
    metrics()
        .gauge("tolvane_web_connections_open", "Web administration connections being served")
        .set(web_connections_open(gw));
    const queue_stats q = delivery_queue_stats(gw);
    metrics()
        .gauge(METRIC_QUEUE_LENGTH, "Entries in the queue not done yet")
        .set(static_cast<std::int64_t>(q.waiting));
    metrics()
        .gauge(METRIC_QUEUE_OLDEST, "Seconds since the oldest waiting entry was queued")
        .set(q.oldest_ms > 0 ? std::max<std::int64_t>(0, delivery_now_ms() - q.oldest_ms) / 1000
                             : 0);
    send_text(w, "HTTP/1.0 200 OK", "text/plain; version=0.0.4; charset=utf-8", metrics().render());
}

}  // namespace

void web_set_health_probe(Gateway& gw, WebHealthProbe probe) {
    std::lock_guard<std::mutex> hold(gw.web_probe->lock);
    gw.web_probe->probe = std::move(probe);
}

std::vector<web_health_item> web_health_now(Gateway& gw) {
    return probe_now(gw);
}

namespace {

bool has_header(web_serv* w, std::string_view name) {
    for (const PAIR& h : w->head) {
        if (iequals(h.var, name)) return true;
    }
    return false;
}

// A short plain answer with its own header block (no page template).
void send_plain(web_serv* w, const char* status, const char* extra_header, const char* body) {
    send_text(w, status, "text/plain; charset=utf-8", body, extra_header);
}

// Runs the chosen command in the request's login session: the session's token is the
// one the page shows, and a state-changing command runs only with it (which uses it up).
void run_command(web_serv* w, callback_data* cb, const web_hosts& hosts, const std::string& ip,
                 bool https) {
    const web_command& c = choose_command(w);
    dmsg("Web request from [%s]: %s", ip.c_str(), c.cmd);
    std::string user;
    std::string password;
    web_basic_credentials(webserv_get_header(w, "Authorization"), user, password);
    const std::time_t now = std::time(nullptr);
    web_session s = cb->gw->web_sessions.session_for(webserv_get_header(w, "Cookie"), user, now);
    if (s.fresh) webserv_set_header(w, "Set-Cookie", web_session_cookie(s.id, https));
    webserv_secret(w, s.id);
    webserv_secret(w, s.token);
    webserv_add(w, "result", "success");
    // What the request asked to see, as page variables; shown escaped, and never the name
    // of a template.
    if (auto v = webserv_field(w, "limit_name")) webserv_add(w, "limit_name", *v);
    if (auto v = webserv_field(w, "limit_mode")) webserv_add(w, "limit_mode", *v);
    bool allowed = true;
    if (c.unchanged) {
        const std::string sent = field(w, "token");
        std::string next;
        const bool token_ok =
            !sent.empty() && cb->gw->web_sessions.use_token(s.id, sent, now, next);
        if (token_ok) {
            s.token = next;
            webserv_secret(w, next);
        }
        Status may =
            web_command_allowed(w->method, sent, token_ok, hosts, webserv_get_header(w, "Origin"),
                                webserv_get_header(w, "Referer"));
        allowed = may.ok();
        if (!allowed) {
            imsg("Web command %s from [%s] not carried out: %s", c.cmd, ip.c_str(),
                 may.reason().c_str());
            webserv_add(w, "result", "refused");
        }
    }
    webserv_add(w, "token", s.token);
    if (allowed) {
        c.fn(w, cb);
    } else {
        c.unchanged(w, cb);
    }
}

// The headers every answer carries.
void set_page_headers(web_serv* w, rini* reader) {
    webserv_set_header(w, "WWW-Authenticate",
                       strprintf("Basic realm=\"tolvane.%s\"", setting_of(reader, HOST).c_str()));
    webserv_set_header(w, "Content-Type", "text/html; charset=utf-8");
    // The pages are not to be shown inside another site's frame, nor kept by caches.
    webserv_set_header(w, "X-Frame-Options", "DENY");
    webserv_set_header(w, "Cache-Control", "no-store");
}

// The page for a request from ip: refused (host name, address, a full house, no login) or
// the one asked for.
void answer_request(web_serv* w, callback_data& cb, rini* reader, CHAN* conn, bool reserved,
                    const std::string& ip) {
    const bool open_metrics = istrue(setting_of(reader, METRICS_OPEN).c_str()) != 0;
    const web_hosts hosts = web_hosts_of(reader, conn);
    const std::string host = webserv_get_header(w, "Host");
    // Asked once, only where the answer depends on it, through the failed-login
    // limiter: no credentials, held (429), wrong (401) or right.
    long retry_ms = 0;
    WebLogin login = WebLogin::missing;
    bool asked = false;
    auto logged_in = [&] {
        if (!asked) login = web_login(w, ip, auth_guard(), retry_ms);
        asked = true;
        return login == WebLogin::ok;
    };
    if (has_header(w, "Host") && !hosts.accepts(host)) {
        // A browser names the server it means here; a name this server does not
        // answer to is another site's (DNS rebinding) or a mistake.
        imsg("Web request from [%s] refused: Host (%s) is none of web_host (%s)", ip.c_str(),
             web_printable(host).c_str(), hosts.text().c_str());
        send_plain(w, "HTTP/1.0 421 Misdirected Request", nullptr,
                   "This server does not answer to that host name.\n");
    } else if (!wild_list(ip, setting_of(reader, WEB_ALLOW))) {
        imsg("Web request from [%s] refused: not in web_allow", ip.c_str());
        webserv_display(w, STATUS_OK, "banned.htm");
    } else if (w->ref == "/health") {
        health_page(w, *cb.gw);
    } else if (reserved && !logged_in()) {
        imsg(
            "Web request from [%s] for %s refused: every connection is taken, the reserve "
            "serves /health and logged-in requests only",
            ip.c_str(), web_printable(w->ref).c_str());
        send_plain(w, "HTTP/1.0 503 Service Unavailable", "Retry-After: 2",
                   "Busy: every connection is taken, try again later.\n");
    } else if (w->ref == "/metrics" && open_metrics) {
        metrics_page(w, *cb.gw);
    } else if (!logged_in() && login == WebLogin::held) {
        imsg("Web request from [%s] for %s: login held for %ld ms after failures", ip.c_str(),
             web_printable(w->ref).c_str(), retry_ms);
        too_many_page(w, retry_ms);
    } else if (!logged_in()) {
        imsg("Web request from [%s] for %s: credentials missing or wrong", ip.c_str(),
             web_printable(w->ref).c_str());
        webserv_display(w, "HTTP/1.0 401 Unauthorized", "needauth.htm");
    } else if (w->ref == "/metrics") {
        metrics_page(w, *cb.gw);
    } else {
        run_command(w, &cb, hosts, ip, conn->ssl != nullptr);
    }
}

// A request nothing answered: the not-found page, or the built-in one.
void show_not_found(web_serv* w) {
    if (webserv_showfile(w, "notfound.htm")) return;
    webserv_printf(w, "Content-Type: text/html\r\n");
    webserv_printf(w, "Content-Length: %d\r\n",
                   static_cast<int>(std::char_traits<char>::length(BUILTIN_NOT_FOUND)));
    webserv_printf(w, "\r\n");
    webserv_printf(w, "%s", BUILTIN_NOT_FOUND);
}

}  // namespace

void command_thread(Gateway& gw, CHAN* conn, bool reserved) {
    std::srand(static_cast<unsigned>(std::time(nullptr)) + static_cast<unsigned>(std::clock()));
    std::unique_ptr<rini> reader = rini_init(gw.ini());
    callback_data cb;
    cb.ini = reader.get();
    cb.gw = &gw;
    auto w = webserv_init(conn, setting_of(reader.get(), WEBPATH), web_tpl_fns, &cb);
    cb.web = w.get();
    w->cancel = &gw.stop;
    // A reserve slot is for a client that sends its request at once.
    if (reserved) w->request_ms = std::min(w->request_ms, WEBSERV_FIRST_LINE_MS);
    if (istrue(setting_of(reader.get(), WEB_TRACE).c_str())) {
        const std::string logpath = setting_of(reader.get(), LOGPATH);
        webserv_debug(w.get(), attach_path(logpath, "input.log"),
                      attach_path(logpath, "output.log"));
    }
    if (webserv_load(w.get())) {
        set_page_headers(w.get(), reader.get());
        std::string ip;
        tcp_getip(conn, ip);
        // The banned and 401 pages see this one variable and nothing of the request.
        webserv_add(w.get(), "remoteip", ip);
        answer_request(w.get(), cb, reader.get(), conn, reserved, ip);
        if (!w->shown) show_not_found(w.get());
    }
    webserv_free(w);
    rini_free(reader);
    tcp_close_nice(conn);
}

}  // namespace tolvane
