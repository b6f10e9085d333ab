// Reading one HTTP/1.0 request from bytes as they arrive, apart from any socket, so
// that the connection code, the tests and the fuzzer drive the same parser.
//
// web_reader takes the bytes of a request in pieces of any size (feed) and says
// when it has the request line, the headers up to the empty line and, for POST,
// the whole body (WEB_DONE), when it needs more (WEB_MORE) or when the request is
// refused (WEB_BAD, with the log line in why()). Form fields of the query or body
// are decoded by web_form_fields; the Basic credentials of an Authorization header
// by web_basic_credentials.
//
// Ownership: plain values; the reader owns what it has read. Limits: a line is cut
// at 999 characters (the rest of it skipped, so one line sent is one line read); a
// line ends at LF, one CR before it is dropped, a NUL inside becomes a blank; at
// most WEBSERV_MAX_HEADERS header lines and a body of at most WEBSERV_MAX_BODY
// bytes; the method must be GET or POST (any letter case); bytes after the body
// are ignored.
//
//   web_reader r;
//   while (r.feed(data, n) == WEB_MORE) { ... read more ... }
//   if (r.status() == WEB_DONE)
//       for (auto& [name, value] : web_form_fields(r.req.query)) ...
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "foundation/containers.h"

namespace tolvane {

inline constexpr int WEBSERV_MAX_HEADERS = 200;
inline constexpr long WEBSERV_MAX_BODY = 1024 * 1024;

enum WebReadStatus { WEB_MORE = 0, WEB_DONE = 1, WEB_BAD = 2 };

struct web_request {
    std::string method;  // GET or POST as sent
    std::string ref;     // the path, without the query
    std::string query;   // the query of the target (GET) or the body (POST)
    PairList head;       // headers; a repeated one replaces the earlier value
    long length = 0;     // Content-Length (0 when absent)
};

class web_reader {
  public:
    // Takes more bytes; the status after them. Bytes given after WEB_DONE or WEB_BAD are
    // ignored.
    WebReadStatus feed(const char* data, std::size_t n);
    WebReadStatus feed(std::string_view s) { return feed(s.data(), s.size()); }
    // The peer closed: a request that is not complete is refused.
    WebReadStatus finish();
    WebReadStatus status() const { return status_; }
    // The reason of a refusal, as the log line says it.
    const std::string& why() const { return why_; }
    // True once the request line has been read (so a log line can name it).
    bool have_request_line() const { return stage_ != Stage::RequestLine; }

    web_request req;
    // Header lines in arrival order (name, value), for the request log.
    std::vector<std::pair<std::string, std::string>> header_lines;

  private:
    enum class Stage { RequestLine, Headers, Body, Done };
    WebReadStatus bad(std::string why);
    WebReadStatus line(std::string text);

    Stage stage_ = Stage::RequestLine;
    WebReadStatus status_ = WEB_MORE;
    std::string why_;
    std::string pending_;  // bytes of an unfinished line
    bool skipping_ = false;
    int headers_ = 0;
};

// Fields of a query or form body, split at "&", each "name" or "name=value", both
// URL-decoded; items with an empty name are dropped.
std::vector<std::pair<std::string, std::string>> web_form_fields(std::string_view text);

// User name and password of a "Basic" Authorization value (the scheme in any letter
// case, the Base64 part cut at 999 characters). The user name ends at the first ":";
// the password is everything after it. False when the value is not of that form.
bool web_basic_credentials(std::string_view authorization, std::string& user,
                           std::string& password);

// A request value made safe for one log line: cut at 999 characters, control
// characters replaced by "?".
std::string web_printable(std::string_view text);

}  // namespace tolvane
