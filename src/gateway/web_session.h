// Login sessions of the web channel and the form tokens of their pages.
//
// The pages' forms carry a token that a page of another site cannot read, so a form it
// makes the browser send cannot carry it. A token is good for one login session and one
// use: the first request with valid credentials that names no live session starts one
// (its id goes back in the cookie WEB_SESSION_COOKIE: HttpOnly, SameSite=Strict, and
// Secure over HTTPS). Each page the session is shown gets a token of its own, so that
// pages open side by side (two tabs) each can send their form; a request that presents
// one of them uses it up and its answer page gets a new one. The last
// WEB_SESSION_TOKENS tokens handed out and not used are good; older ones are refused
// (the refusal page carries a good one). A session ends after WEB_SESSION_IDLE_S without
// a request, after WEB_SESSION_MAX_S in all, when the user name changes, and with the
// process. At most WEB_SESSIONS_MAX live at once; the one used longest ago gives way to a
// new one.
//
// Ids and tokens are 32 hexadecimal digits from the system's random source; without
// random data no session is started, and no command that changes state can be sent.
//
// The sessions are a WebSessions, owned by the Gateway (`web_sessions`) and reached by
// the web channel through it. Any thread may call; one lock guards the table (never held
// while doing anything else).
//
//   web_session s = gw.web_sessions.session_for(cookie_header, "admin", now);  // this page's
//   if (s.fresh) send "Set-Cookie: " + web_session_cookie(s.id, https);
//   bool ok = gw.web_sessions.use_token(s.id, form_token, now, s.token);  // s.token: the next
#pragma once

#include <ctime>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace tolvane {

inline constexpr const char* WEB_SESSION_COOKIE = "tolvane_session";
inline constexpr long WEB_SESSION_IDLE_S = 30 * 60;
inline constexpr long WEB_SESSION_MAX_S = 12 * 60 * 60;
inline constexpr std::size_t WEB_SESSIONS_MAX = 64;
inline constexpr std::size_t WEB_SESSION_TOKENS = 16;

struct web_session {
    std::string id;      // empty: no session (no random data)
    std::string token;   // the form token of the page this request is shown
    bool fresh = false;  // started by this request: the cookie must be sent
};

// The value of the session cookie in a Cookie header ("" when absent).
std::string web_session_cookie_value(std::string_view cookie_header);
// The Set-Cookie value that gives the browser the session id.
std::string web_session_cookie(std::string_view id, bool https);

// The live login sessions of one gateway's web channel.
class WebSessions {
  public:
    // The session named by the request's Cookie header for user, or a new one, with a new
    // token for the page this request is shown.
    web_session session_for(std::string_view cookie_header, std::string_view user, std::time_t now);
    // Presents a form token to the session: true when it is one of its good tokens, which
    // is then used up; next is a new token for the answer page (empty when the token was
    // refused, the session has ended, or there is no random data).
    bool use_token(std::string_view id, std::string_view token, std::time_t now, std::string& next);
    // Ends every session.
    void clear();

  private:
    struct Row {
        std::string id;
        std::string user;
        std::deque<std::string> tokens;  // unused tokens of the pages shown, oldest first
        std::time_t started = 0;
        std::time_t used = 0;
    };
    Row* find_locked(std::string_view id, std::time_t now);
    std::mutex lock_;
    std::vector<Row> table_;  // guarded by lock_
};

}  // namespace tolvane
