// Web administration: the connection thread, the credentials check, the commands and
// the template functions. See web_admin.h.
#include "gateway/web_admin.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <vector>

#include "foundation/lib.h"
#include "foundation/log.h"
#include "foundation/ssha.h"
#include "foundation/thread.h"
#include "gateway/gateway.h"
#include "records/msgrec.h"
#include "records/mutexlist.h"

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

// The count list a "limit_mode" value selects: absent or "from" the senders, "ip" the
// client addresses, "to" the recipients; -1 for anything else.
int limit_kind(web_serv* w) {
    auto mode = webserv_get(w, "limit_mode");
    if (!mode || iequals(*mode, "from")) return MSGREC_FROM;
    if (iequals(*mode, "ip")) return MSGREC_IP;
    if (iequals(*mode, "to")) return MSGREC_TO;
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
    const int kind = limit_kind(w);
    webserv_add(w, "limit_limit", strprintf("%d", kind >= 0 ? msgrec_limit(mr, kind) : 0));
    // Rows are copied under the list's lock and rendered after it, so that a slow client
    // never holds up the mail path counting into the same list.
    std::vector<std::pair<std::string, int>> rows;
    if (kind >= 0) {
        msgrec_list_walk(msgrec_list_of(mr, kind),
                         [&](msgrec& e) { rows.emplace_back(e.string, e.count); });
    }
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

int shutdown_page(web_serv* w, callback_data*) {
    return webserv_display(w, STATUS_OK, "shutdown.htm");
}

int shutdown_do(web_serv* w, callback_data*) {
    webserv_add(w, "message", "Shutting down");
    const int shown = webserv_display(w, STATUS_OK, "shutdown.htm");
    // The answer goes out before the main loop starts stopping.
    webserv_flush(w);
    imsg("Shutdown requested through the web channel by [%s]", var(w, "remoteip").c_str());
    ShutdownNow.store(1);
    return shown;
}

int limit_reset(web_serv* w, callback_data* cb) {
    const std::vector<std::string> selected = webserv_wild(w, "sel_l_*");
    if (selected.empty()) return main_page(w, cb);
    const std::string name = var(w, "limit_name");
    msgrecs* mr = msgrec_find(name);
    if (!mr) {
        emsg("Failed to find limit named (%s)", name.c_str());
        webserv_add(w, "result", "failure");
        return main_page(w, cb);
    }
    const int kind = limit_kind(w);
    if (kind >= 0) {
        for (const std::string& v : selected) {
            auto key = webserv_get(w, v);
            if (!key) continue;
            const int r = msgrec_reset(mr, kind, *key);
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
};

// The first row is also the default.
constexpr web_command web_commands[] = {
    {"main", main_page},
    {"shutdown", shutdown_page},
    {"shutdown_do", shutdown_do},
    {"limit_reset", limit_reset},
};

const web_command& choose_command(web_serv* w) {
    if (auto cmd = webserv_get(w, "cmd")) {
        for (const web_command& c : web_commands) {
            if (*cmd == c.cmd) return c;
        }
        return web_commands[0];
    }
    for (const web_command& c : web_commands) {
        const std::string name = strprintf("cmd_%s", c.cmd);
        if (webserv_get(w, name) || webserv_get(w, name + ".x")) return c;
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
    const std::vector<std::string> words = s_split_words(authorization, " \t");
    if (words.size() < 2 || !iequals(words[0], "basic")) return 0;
    std::string decoded;
    if (decode_base64(cut(words[1]), decoded, TEXT_MAX + 1) < 0) return 0;
    // A user name cannot hold ":", a password can: only the first one separates them.
    const std::size_t colon = decoded.find(':');
    if (colon == std::string::npos) return 0;
    const std::string user = decoded.substr(0, colon);
    const std::string password = decoded.substr(colon + 1);

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
    return ssha_check(password, parts[1]) ? 1 : 0;
}

int command_auth(web_serv* w) {
    return web_check_auth(webserv_get_header(w, "Authorization"), "admin.dat");
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
        webserv_set_header(w.get(), "Content-Type", "text/html");
        std::string ip;
        tcp_getip(conn, ip);
        webserv_add(w.get(), "remoteip", ip);
        if (!wild_list(ip, setting_of(reader.get(), WEB_ALLOW))) {
            imsg("Web request from [%s] refused: not in web_allow", ip.c_str());
            webserv_display(w.get(), STATUS_OK, "banned.htm", false);
        } else if (!command_auth(w.get())) {
            imsg("Web request from [%s] for %s: credentials missing or wrong", ip.c_str(),
                 w->ref.c_str());
            webserv_display(w.get(), "HTTP/1.0 401 Unauthorized", "needauth.htm", false);
        } else {
            const web_command& c = choose_command(w.get());
            dmsg("Web request from [%s]: %s", ip.c_str(), c.cmd);
            webserv_add(w.get(), "result", "success");
            c.fn(w.get(), &cb);
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
    auto t = th_new([c] {
        command_thread(c.get());
        rmv_thread();
    });
    if (!t) {
        rmv_thread();
        return 0;
    }
    th_free(t);
    return 1;
}

}  // namespace tolvane
