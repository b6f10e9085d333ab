// Web administration: serving each connection (the accepting thread and its slots are
// in web_accept.h).
//
// One request is served per connection; its request line must arrive within 2 s and the
// whole request within 10 s. A request whose Host header names none of the hosts of
// `web_host` (web_hosts.h) gets 421 Misdirected Request and nothing else. GET /health
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
// two that change state run only when sent by POST with the form token of the login
// session (field "token", web_session.h; a token is used up by the request that
// presents it) and, when the browser names them, an Origin and Referer of one of the
// hosts of `web_host`; otherwise their page is shown and nothing changes. A connection
// in a reserve slot (web_accept.h) is served only for /health or with valid
// credentials; any other request there gets 503. Pages are templates in `webpath`; the
// template functions below give them the uptime and the rate-limit counts. With
// `web_trace` true, requests go to `logpath`/input.log and answers are copied to
// output.log (dialogue traces, secrets masked: webserv.h).
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/auth_guard.h"
#include "foundation/result.h"
#include "foundation/sini.h"
#include "foundation/tpl.h"
#include "gateway/web_accept.h"
#include "gateway/web_hosts.h"
#include "gateway/webserv.h"
#include "net/tcp.h"

namespace tolvane {

class Gateway;

// Serves one request on conn for gw and closes it (the thread body, without the
// counting). reserved: the connection holds a reserve slot (see above).
void command_thread(Gateway& gw, CHAN* conn, bool reserved = false);

// Data of the gateway's template functions.
struct callback_data {
    web_serv* web = nullptr;
    rini* ini = nullptr;
    Gateway* gw = nullptr;  // the gateway the page shows (start time, stop, queue, records)
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

// Whether a state-changing command may run: sent by POST, with the session's form token
// (token: the field as sent; token_ok: it was the session's token), and with an Origin
// and a Referer (each only when present) naming one of hosts. The error says which of
// them failed.
Status web_command_allowed(std::string_view method, std::string_view token, bool token_ok,
                           const web_hosts& hosts, std::string_view origin,
                           std::string_view referer);
// The hosts the listener of conn answers to, from the settings read through r.
web_hosts web_hosts_of(rini* r, CHAN* conn);

// One part of the gateway as /health and /metrics see it.
struct web_health_item {
    std::string name;  // "smtp", or a transport's mode name
    std::string role;  // "listener", "send", "receive"
    bool up = false;
    std::string why;  // when down
    // One of several transports behind routes: listed after the first line of /health,
    // whose 503 only the routes themselves cause (a route without a usable transport).
    bool listed = false;
};
using WebHealthProbe = std::function<std::vector<web_health_item>()>;
// The probe of a gateway's web channel, owned by the Gateway.
struct WebProbe {
    std::mutex lock;
    WebHealthProbe probe;  // guarded by lock
};
// The gateway installs the probe once its parts are open (and clears it before closing
// them); without one /health answers "ok".
void web_set_health_probe(Gateway& gw, WebHealthProbe probe);
std::vector<web_health_item> web_health_now(Gateway& gw);

// Seconds as "1wks 2days 03:04:05" (weeks and days only when not 0).
std::string time_length_text(long seconds);

}  // namespace tolvane
