// Web administration: the accepting thread and the serving of each connection.
//
// web_accept_start runs a thread of its own that accepts on the Command listener
// (never the once-a-second main loop, so a slow or silent client holds up nobody):
// a client outside `web_allow` is closed at once, before anything is read; beyond
// `web_max_connections` connections being served a new one is closed at once; each
// other one (SSL started in HTTPS mode, its handshake deferred to the connection's
// own thread) is served by web_admin_start on a thread of its own. Accepting and
// serving threads are counted with add_thread/rmv_thread, so shutdown waits for
// them; the accepting thread is woken by the stop itself (gateway_stop_fd).
//
// One request is served per connection, and must arrive within 10 s. GET /health
// (no password) answers 200 "ok" or 503 with the reasons the health probe gives;
// GET /metrics answers the metrics in the Prometheus text format (no password when
// `metrics_open` is true). Every other request needs the Basic credentials of the
// first line of admin.dat in the home directory, "user:hash" (else "needauth.htm" with
// 401, rendered with "remoteip" as its only variable; after repeated failures of the
// address or the user, 429 with Retry-After while the limiter holds them), and then
// one command runs: "main" (the default), "shutdown" (asks for confirmation),
// "shutdown_do" (answers, then stops the server) or "limit_reset" (sets the
// selected counts of one rate limit to 0). The command comes from the field "cmd",
// or from a field "cmd_<name>" or "cmd_<name>.x" (what an image button sends). The
// two that change state run only when sent by POST with the page's form token
// (field "token") and, when the browser names them, an Origin and Referer of this
// server; otherwise their page is shown and nothing changes. Pages are templates in
// `webpath`; the template functions below give them the uptime and the rate-limit
// counts. Requests go to `logpath`/input.log and every answer is copied to
// output.log.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/auth_guard.h"
#include "foundation/sini.h"
#include "foundation/tpl.h"
#include "gateway/webserv.h"
#include "net/tcp.h"

namespace tolvane {

inline constexpr int WEB_MAX_CONNECTIONS_DEFAULT = 256;

// Starts the accepting thread on listener (counted in with add_thread); 0 when it could
// not be started.
int web_accept_start(CHAN* listener, bool https);
// The accepting loop itself, until ShutdownNow is set.
void web_accept_loop(CHAN* listener, bool https);
// Serves one accepted connection on a counted thread of its own (start_counted_thread).
// 0 when no thread could be started (the connection is then closed).
int web_admin_start(std::unique_ptr<CHAN> conn);
// Connections being served now.
int web_connections_open();

// Serves one request on conn and closes it (the thread body, without the counting).
void command_thread(CHAN* conn);

// Data of the gateway's template functions.
struct callback_data {
    web_serv* web = nullptr;
    rini* ini = nullptr;
};

// show_status, time_length, begin_limits ... end_limits, begin_limit_names ...
// end_limit_names; the table ends with a null name.
extern const tpl_fns web_tpl_fns[];

// 1 when the request's Basic credentials match the first line of admin.dat in the
// current directory.
int command_auth(web_serv* w);
// The same check for an Authorization header value against a given password file; an
// entry of the old "{ssha}" form that matches is rewritten there with yescrypt.
int web_check_auth(std::string_view authorization, const std::string& admin_file);

// A request's login through the failed-login limiter (foundation/auth_guard.h): no
// credentials (not counted), held (not checked; retry_ms until it may be tried: 429), a
// failure (logged and counted: 401) or a success (clears the counts).
enum class WebLogin { ok, missing, wrong, held };
WebLogin web_login(web_serv* w, const std::string& ip, AuthGuard& guard, long& retry_ms);

// The form token the pages carry (32 hexadecimal digits, made once per process; empty
// when the system gave no random data).
const std::string& web_token();
// Whether a state-changing command may run: sent by POST, with the form token, and with
// an Origin and a Referer (each only when present) naming host (the Host header). False
// with the reason in why.
bool web_command_allowed(std::string_view method, std::string_view token, std::string_view host,
                         std::string_view origin, std::string_view referer, std::string& why);

// One part of the gateway as /health and /metrics see it.
struct web_health_item {
    std::string name;  // "smtp", or a transport's mode name
    std::string role;  // "listener", "send", "receive"
    bool up = false;
    std::string why;  // when down
};
using WebHealthProbe = std::function<std::vector<web_health_item>()>;
// The gateway installs the probe once its parts are open (and clears it before closing
// them); without one /health answers "ok".
void web_set_health_probe(WebHealthProbe probe);
std::vector<web_health_item> web_health_now();

// Seconds as "1wks 2days 03:04:05" (weeks and days only when not 0).
std::string time_length_text(long seconds);

}  // namespace tolvane
