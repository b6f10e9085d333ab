// Web administration: serving one accepted connection of the Command listener.
//
// The main loop accepts each connection (and starts SSL on it in HTTPS mode),
// counts a thread in with add_thread and hands the connection to web_admin_start,
// which serves it on a thread of its own; that thread counts itself out with
// rmv_thread when it ends. Returns 0 when no thread could be started (the
// connection is then closed and the count given back).
//
// One request is served per connection: the client address is tested against
// `web_allow` (else "banned.htm"), the Basic credentials against the first line
// of admin.dat in the home directory, "user:{ssha}digest" (else "needauth.htm"
// with 401), and then one command runs: "main" (the default), "shutdown" (asks
// for confirmation), "shutdown_do" (answers, then stops the server) or
// "limit_reset" (sets the selected counts of one rate limit to 0). The command
// comes from the variable "cmd", or from a variable "cmd_<name>" or
// "cmd_<name>.x" (what an image button sends). Pages are templates in `webpath`;
// the template functions below give them the uptime and the rate-limit counts.
// Requests go to `logpath`/input.log and every answer is copied to output.log.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "foundation/sini.h"
#include "foundation/tpl.h"
#include "gateway/webserv.h"
#include "net/tcp.h"

namespace tolvane {

int web_admin_start(std::unique_ptr<CHAN> conn);

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
// The same check for an Authorization header value against a given password file.
int web_check_auth(std::string_view authorization, const std::string& admin_file);

// Seconds as "1wks 2days 03:04:05" (weeks and days only when not 0).
std::string time_length_text(long seconds);

}  // namespace tolvane
