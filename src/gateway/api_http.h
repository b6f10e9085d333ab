// HTTP/1.1 requests of the API read from bytes as they arrive, on the http_parser
// library (Debian's libhttp-parser-dev), and the answers written back.
//
// ApiHttpReader takes a connection's bytes in pieces of any size and says when it has a
// whole request (ApiRead::done), needs more (more) or refuses the bytes (bad, with the
// status to answer and close with: 400 malformed, 413 a body over the limit, 431 headers
// over API_MAX_HEAD bytes or API_MAX_HEADERS lines). Bodies come with Content-Length or
// chunked. Keep-alive follows the request's version and Connection header. Bytes after a
// request (pipelining) stay in the reader; next() starts on them.
//
// Ownership: plain values; one reader per connection, used by one thread at a time.
//
//   ApiHttpReader r(65536);
//   while (r.feed(buf, n) == ApiRead::more) { ... read more ... }
//   if (r.status() == ApiRead::done) { answer(r.req); r.next(); }
#pragma once

#include <http_parser.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tolvane {

inline constexpr std::size_t API_MAX_HEAD = 16384;  // bytes of request line and headers
inline constexpr std::size_t API_MAX_HEADERS = 100;

struct ApiHttpRequest {
    std::string method;  // "GET", "POST", ...
    std::string path;    // the target without its query, not decoded
    std::string query;   // after "?", not decoded
    std::vector<std::pair<std::string, std::string>> headers;  // names in lower case
    std::string body;
    bool keep_alive = true;
    bool http10 = false;           // an HTTP/1.0 request (keep-alive must then be said)
    bool expect_continue = false;  // "Expect: 100-continue" was sent
    // The value of a header (name in lower case); "" when absent.
    std::string header(std::string_view lower_name) const;
};

enum class ApiRead { more, done, bad };

class ApiHttpReader {
  public:
    explicit ApiHttpReader(std::size_t max_body);
    ApiHttpReader(const ApiHttpReader&) = delete;
    ApiHttpReader& operator=(const ApiHttpReader&) = delete;

    // Takes more bytes; the status after them (bytes after a whole request are kept).
    ApiRead feed(const char* data, std::size_t n);
    ApiRead feed(std::string_view s) { return feed(s.data(), s.size()); }
    ApiRead status() const { return status_; }
    // The status to answer a refusal with, and why (for the log).
    int bad_status() const { return bad_status_; }
    const std::string& why() const { return why_; }
    // The headers are complete (a 100 Continue may be sent while the body is awaited).
    bool head_done() const { return head_done_; }
    // Starts the next request with the bytes kept after this one; its status.
    ApiRead next();
    // Some of the present request has been read (it is under way, not idle).
    bool started() const { return head_bytes_ > 0 || head_done_; }
    // Bytes kept that belong to the next request.
    bool has_pending() const { return !pending_.empty(); }

    ApiHttpRequest req;

  private:
    static int on_url(http_parser* p, const char* at, std::size_t n);
    static int on_field(http_parser* p, const char* at, std::size_t n);
    static int on_value(http_parser* p, const char* at, std::size_t n);
    static int on_headers_complete(http_parser* p);
    static int on_body(http_parser* p, const char* at, std::size_t n);
    static int on_complete(http_parser* p);
    int refuse(int status, std::string why);
    bool count_head(std::size_t n);
    ApiRead run();

    http_parser parser_{};
    http_parser_settings settings_{};
    std::size_t max_body_;
    std::string pending_;  // bytes not yet parsed
    std::string target_;
    std::size_t head_bytes_ = 0;
    bool in_value_ = false;
    bool head_done_ = false;
    ApiRead status_ = ApiRead::more;
    int bad_status_ = 400;
    std::string why_;
};

// The status line's reason phrase of the statuses the API answers with.
const char* api_reason(int status);

// A whole answer: status line, Content-Type (when there is a body), Content-Length,
// "Connection: close" unless keep_alive, the extra header lines (each "Name: value"), the
// body.
std::string api_http_answer(int status, std::string_view content_type, std::string_view body,
                            bool keep_alive,
                            const std::vector<std::pair<std::string, std::string>>& extra = {});

}  // namespace tolvane
