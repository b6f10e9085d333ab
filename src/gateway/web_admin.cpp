// Web administration: the connection thread, the credentials check, the commands and
// the template functions. See web_admin.h.
#include "gateway/web_admin.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <vector>

#include <openssl/rand.h>

#include "foundation/auth_guard.h"
#include "foundation/lib.h"
#include "foundation/log.h"
#include "foundation/metrics.h"
#include "foundation/password.h"
#include "foundation/ssha.h"
#include "foundation/thread.h"
#include "gateway/delivery.h"
#include "gateway/gateway.h"
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
// client addresses, "to" the recipients, "user" the names clients authenticated as; -1
// for anything else.
int limit_kind(const std::optional<std::string>& mode) {
    if (!mode || iequals(*mode, "from")) return MSGREC_FROM;
    if (iequals(*mode, "ip")) return MSGREC_IP;
    if (iequals(*mode, "to")) return MSGREC_TO;
    if (iequals(*mode, "user")) return MSGREC_USER;
    return -1;
}

// ---- template functions ----

void show_status(tpl*, TplTokens*, void* data) {
    const long up = static_cast<long>(std::time(nullptr) - starttime);
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
    auto name = webserv_get(w, "limit_name");
    msgrecs* mr = nullptr;
    if (name) {
        mr = msgrec_find(*name);
        if (!mr) {
            emsg("Failed to find limit named (%s)", name->c_str());
            webserv_add(w, "result", "failure");
            return;
        }
    } else {
        std::vector<msgrecs*> all = msgrec_limits();
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
    if (kind >= 0) rows = limit_store().entries(mr, kind);
    for (const auto& [key, count] : rows) {
        webserv_add(w, "limit_string", key);
        webserv_add(w, "limit_count", strprintf("%d", count));
        tpl_display(t, body);
    }
    webserv_add(w, "limit_total", strprintf("%d", static_cast<int>(rows.size())));
}

void begin_limit_names(tpl* t, TplTokens* body, void* data) {
    web_serv* w = cbd(data)->web;
    std::vector<msgrecs*> all = msgrec_limits();
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

int shutdown_do(web_serv* w, callback_data*) {
    webserv_add(w, "message", "Shutting down");
    const int shown = webserv_display(w, STATUS_OK, "shutdown.htm");
    // The answer goes out before the main loop starts stopping.
    webserv_flush(w);
    imsg("Shutdown requested through the web channel by [%s]", var(w, "remoteip").c_str());
    gateway_request_stop();
    return shown;
}

int limit_reset(web_serv* w, callback_data* cb) {
    const std::vector<std::string> selected = webserv_wild(w, "sel_l_*");
    if (selected.empty()) return main_page(w, cb);
    const std::string name = field(w, "limit_name");
    msgrecs* mr = msgrec_find(name);
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
            const int r = limit_store().reset(mr, kind, *key);
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
        std::string why;
        const std::string fresh = password_hash(password, why);
        if (fresh.empty() || !password_file_update(admin_file, user, parts[1], fresh, why))
            emsg("admin.dat: old password entry not rewritten (%s)", why.c_str());
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

const std::string& web_token() {
    // Made once per process from the system's random source: a page of another site
    // cannot read it, so a form it makes the browser send cannot carry it.
    static const std::string token = [] {
        unsigned char raw[16];
        if (RAND_bytes(raw, sizeof raw) != 1) {
            // Without a random source the channel still works, but no command that
            // changes state can be sent (no token ever matches an empty one).
            emsg("No random data for the web form token; state-changing commands are off");
            return std::string();
        }
        std::string hex;
        for (unsigned char b : raw) hex += strprintf("%02x", b);
        return hex;
    }();
    return token;
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

bool same_strings(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    unsigned char diff = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    }
    return diff == 0;
}

}  // namespace

bool web_command_allowed(std::string_view method, std::string_view token, std::string_view host,
                         std::string_view origin, std::string_view referer, std::string& why) {
    if (!iequals(method, "POST")) {
        why = "not sent by POST";
        return false;
    }
    const std::string& mine = web_token();
    if (mine.empty() || !same_strings(token, mine)) {
        why = token.empty() ? "no form token" : "wrong form token";
        return false;
    }
    for (const auto& [name, value] :
         {std::pair<const char*, std::string_view>{"Origin", origin}, {"Referer", referer}}) {
        if (value.empty()) continue;
        const std::string from = authority_of(value);
        if (host.empty() || from.empty() || !iequals(from, host)) {
            why = strprintf("%s (%s) is not this server (%.*s)", name, web_printable(value).c_str(),
                            static_cast<int>(host.size()), host.data());
            return false;
        }
    }
    return true;
}

// ---- health and metrics ----

namespace {

std::mutex probe_lock;
WebHealthProbe health_probe;  // guarded by probe_lock
std::atomic<int> open_connections{0};

std::vector<web_health_item> probe_now() {
    WebHealthProbe p;
    {
        std::lock_guard<std::mutex> hold(probe_lock);
        p = health_probe;
    }
    return p ? p() : std::vector<web_health_item>{};
}

void send_text(web_serv* w, const char* status, const char* type, const std::string& body) {
    webserv_printf(w, "%s\r\n", status);
    webserv_printf(w, "Content-Type: %s\r\n", type);
    webserv_printf(w, "Content-Length: %d\r\n", static_cast<int>(body.size()));
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

void health_page(web_serv* w) {
    std::string reasons;
    for (const web_health_item& i : probe_now()) {
        if (!i.up) reasons += i.name + ": " + (i.why.empty() ? "down" : i.why) + "\n";
    }
    if (reasons.empty()) {
        send_text(w, "HTTP/1.0 200 OK", "text/plain; charset=utf-8", "ok\n");
    } else {
        send_text(w, "HTTP/1.0 503 Service Unavailable", "text/plain; charset=utf-8", reasons);
    }
}

void metrics_page(web_serv* w) {
    // Transport states are asked for now rather than kept, so they are never stale.
    for (const web_health_item& i : probe_now()) {
        MetricLabels labels{{"transport", i.name}};
        if (!i.role.empty()) labels.emplace_back("role", i.role);
        metrics()
            .gauge(METRIC_TRANSPORT_UP, "1 when the transport or listener is up, else 0", labels)
            .set(i.up ? 1 : 0);
    }
    metrics()
        .gauge("tolvane_web_connections_open", "Web administration connections being served")
        .set(open_connections.load());
    const queue_stats q = delivery_queue_stats();
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

void web_set_health_probe(WebHealthProbe probe) {
    std::lock_guard<std::mutex> hold(probe_lock);
    health_probe = std::move(probe);
}

std::vector<web_health_item> web_health_now() {
    return probe_now();
}

int web_connections_open() {
    return open_connections.load();
}

void command_thread(CHAN* conn) {
    std::srand(static_cast<unsigned>(std::time(nullptr)) + static_cast<unsigned>(std::clock()));
    std::unique_ptr<rini> reader = rini_init(ConfigSettings.get());
    callback_data cb;
    cb.ini = reader.get();
    auto w = webserv_init(conn, setting_of(reader.get(), WEBPATH), web_tpl_fns, &cb);
    cb.web = w.get();
    w->cancel = &ShutdownNow;
    const std::string logpath = setting_of(reader.get(), LOGPATH);
    webserv_debug(w.get(), attach_path(logpath, "input.log"), attach_path(logpath, "output.log"));

    if (webserv_load(w.get())) {
        webserv_set_header(
            w.get(), "WWW-Authenticate",
            strprintf("Basic realm=\"tolvane.%s\"", setting_of(reader.get(), HOST).c_str()));
        webserv_set_header(w.get(), "Content-Type", "text/html; charset=utf-8");
        // The pages are not to be shown inside another site's frame, nor kept by caches.
        webserv_set_header(w.get(), "X-Frame-Options", "DENY");
        webserv_set_header(w.get(), "Cache-Control", "no-store");
        std::string ip;
        tcp_getip(conn, ip);
        // The banned and 401 pages see this one variable and nothing of the request.
        webserv_add(w.get(), "remoteip", ip);
        const bool open_metrics = istrue(setting_of(reader.get(), METRICS_OPEN).c_str()) != 0;
        long retry_ms = 0;
        if (!wild_list(ip, setting_of(reader.get(), WEB_ALLOW))) {
            imsg("Web request from [%s] refused: not in web_allow", ip.c_str());
            webserv_display(w.get(), STATUS_OK, "banned.htm");
        } else if (w->ref == "/health") {
            health_page(w.get());
        } else if (w->ref == "/metrics" && open_metrics) {
            metrics_page(w.get());
        } else if (const WebLogin login = web_login(w.get(), ip, auth_guard(), retry_ms);
                   login == WebLogin::held) {
            imsg("Web request from [%s] for %s: login held for %ld ms after failures", ip.c_str(),
                 web_printable(w->ref).c_str(), retry_ms);
            too_many_page(w.get(), retry_ms);
        } else if (login != WebLogin::ok) {
            imsg("Web request from [%s] for %s: credentials missing or wrong", ip.c_str(),
                 web_printable(w->ref).c_str());
            webserv_display(w.get(), "HTTP/1.0 401 Unauthorized", "needauth.htm");
        } else if (w->ref == "/metrics") {
            metrics_page(w.get());
        } else {
            const web_command& c = choose_command(w.get());
            dmsg("Web request from [%s]: %s", ip.c_str(), c.cmd);
            webserv_add(w.get(), "result", "success");
            webserv_add(w.get(), "token", web_token());
            // What the request asked to see, as page variables; shown escaped, and never
            // the name of a template.
            if (auto v = webserv_field(w.get(), "limit_name")) {
                webserv_add(w.get(), "limit_name", *v);
            }
            if (auto v = webserv_field(w.get(), "limit_mode")) {
                webserv_add(w.get(), "limit_mode", *v);
            }
            std::string why;
            if (c.unchanged && !web_command_allowed(w->method, field(w.get(), "token"),
                                                    webserv_get_header(w.get(), "Host"),
                                                    webserv_get_header(w.get(), "Origin"),
                                                    webserv_get_header(w.get(), "Referer"), why)) {
                imsg("Web command %s from [%s] not carried out: %s", c.cmd, ip.c_str(),
                     why.c_str());
                webserv_add(w.get(), "result", "refused");
                c.unchanged(w.get(), &cb);
            } else {
                c.fn(w.get(), &cb);
            }
        }
        if (!w->shown && !webserv_showfile(w.get(), "notfound.htm")) {
            webserv_printf(w.get(), "Content-Type: text/html\r\n");
            webserv_printf(w.get(), "Content-Length: %d\r\n",
                           static_cast<int>(std::char_traits<char>::length(BUILTIN_NOT_FOUND)));
            webserv_printf(w.get(), "\r\n");
            webserv_printf(w.get(), "%s", BUILTIN_NOT_FOUND);
        }
    }
    webserv_free(w);
    rini_free(reader);
    tcp_close_nice(conn);
}

int web_admin_start(std::unique_ptr<CHAN> conn) {
    std::shared_ptr<CHAN> c(std::move(conn));
    open_connections.fetch_add(1);
    if (start_counted_thread([c] {
            command_thread(c.get());
            open_connections.fetch_sub(1);
        }))
        return 1;
    open_connections.fetch_sub(1);
    return 0;
}

namespace {

// True when a client waits on the listener; false after a stop request (or a signal).
bool wait_client_or_stop(CHAN* listener) {
    pollfd p[2] = {{listener->sk, POLLIN, 0}, {gateway_stop_fd(), POLLIN, 0}};
    // Without a stop descriptor the stop is seen by a short wait instead.
    const bool have_stop = p[1].fd >= 0;
    if (::poll(p, have_stop ? 2 : 1, have_stop ? -1 : 200) <= 0) return false;
    if (have_stop && (p[1].revents & POLLIN) && ShutdownNow.load() == 0) {
        char buf[16];
        while (::read(p[1].fd, buf, sizeof buf) > 0) {
        }
    }
    return (p[0].revents & (POLLIN | POLLERR | POLLHUP | POLLNVAL)) != 0;
}

}  // namespace

void web_accept_loop(CHAN* listener, bool https) {
    std::unique_ptr<rini> reader = rini_init(ConfigSettings.get());
    const std::string allow = setting_of(reader.get(), WEB_ALLOW);
    int most = std::atoi(setting_of(reader.get(), WEB_MAX_CONNECTIONS).c_str());
    if (most <= 0) most = WEB_MAX_CONNECTIONS_DEFAULT;
    rini_free(reader);
    // Woken by a client or by the stop; nothing else happens here, so that no client,
    // however slow, can hold up the next one.
    while (ShutdownNow.load() == 0) {
        if (listener->sk < 0) {
            emsg("Web administration listener closed; no more connections are taken");
            break;
        }
        if (!wait_client_or_stop(listener)) continue;
        std::unique_ptr<CHAN> c;
        if (!tcp_accept(listener, c) || !c || c->sk < 0) {
            const int err = c ? c->xerrno : 0;
            emsg("Web administration accept failed: %s", system_error(err).c_str());
            // Out of descriptors: give the connections being served a moment to end.
            lib_msleep(50);
            continue;
        }
        std::string ip;
        tcp_getip(c.get(), ip);
        if (!wild_list(ip, allow)) {
            imsg("Web connection from [%s] refused: not in web_allow", ip.c_str());
            continue;  // closed here, before a byte is read
        }
        if (open_connections.load() >= most) {
            imsg("Web connection from [%s] refused: %d connections already open", ip.c_str(), most);
            continue;
        }
        if (https) {
            std::string reason;
            if (!tcp_ssl_init(c.get(), 1, nullptr, reason)) {
                imsg("SSL failed (%s)", reason.c_str());
                continue;
            }
        }
        if (!web_admin_start(std::move(c))) emsg("Failed to start a web administration thread");
    }
}

int web_accept_start(CHAN* listener, bool https) {
    if (!listener) return 0;
    return start_counted_thread([listener, https] { web_accept_loop(listener, https); }) ? 1 : 0;
}

}  // namespace tolvane
