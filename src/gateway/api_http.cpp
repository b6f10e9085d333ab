// HTTP/1.1 requests of the API: see api_http.h.
#include "gateway/api_http.h"

#include <cctype>
#include <climits>

#include "foundation/lib.h"

namespace tolvane {

std::string ApiHttpRequest::header(std::string_view lower_name) const {
    for (const auto& [name, value] : headers)
        if (name == lower_name) return value;
    return std::string();
}

ApiHttpReader::ApiHttpReader(std::size_t max_body) : max_body_(max_body) {
    http_parser_init(&parser_, HTTP_REQUEST);
    parser_.data = this;
    http_parser_settings_init(&settings_);
    settings_.on_url = on_url;
    settings_.on_header_field = on_field;
    settings_.on_header_value = on_value;
    settings_.on_headers_complete = on_headers_complete;
    settings_.on_body = on_body;
    settings_.on_message_complete = on_complete;
}

int ApiHttpReader::refuse(int status, std::string why) {
    bad_status_ = status;
    why_ = std::move(why);
    return -1;
}

bool ApiHttpReader::count_head(std::size_t n) {
    head_bytes_ += n;
    return head_bytes_ <= API_MAX_HEAD;
}

int ApiHttpReader::on_url(http_parser* p, const char* at, std::size_t n) {
    auto* r = static_cast<ApiHttpReader*>(p->data);
    if (!r->count_head(n)) return r->refuse(431, "request line too long");
    r->target_.append(at, n);
    return 0;
}

int ApiHttpReader::on_field(http_parser* p, const char* at, std::size_t n) {
    auto* r = static_cast<ApiHttpReader*>(p->data);
    if (!r->count_head(n)) return r->refuse(431, "headers too long");
    if (r->in_value_ || r->req.headers.empty()) {
        if (r->req.headers.size() >= API_MAX_HEADERS) return r->refuse(431, "too many headers");
        r->req.headers.emplace_back();
        r->in_value_ = false;
    }
    for (std::size_t i = 0; i < n; ++i)
        r->req.headers.back().first +=
            static_cast<char>(std::tolower(static_cast<unsigned char>(at[i])));
    return 0;
}

int ApiHttpReader::on_value(http_parser* p, const char* at, std::size_t n) {
    auto* r = static_cast<ApiHttpReader*>(p->data);
    if (!r->count_head(n)) return r->refuse(431, "headers too long");
    if (r->req.headers.empty()) return r->refuse(400, "header value without a name");
    r->in_value_ = true;
    r->req.headers.back().second.append(at, n);
    return 0;
}

int ApiHttpReader::on_headers_complete(http_parser* p) {
    auto* r = static_cast<ApiHttpReader*>(p->data);
    r->req.method = http_method_str(static_cast<http_method>(p->method));
    const std::size_t q = r->target_.find('?');
    r->req.path = r->target_.substr(0, q);
    r->req.query = q == std::string::npos ? std::string() : r->target_.substr(q + 1);
    r->req.keep_alive = http_should_keep_alive(p) != 0;
    r->req.http10 = p->http_major == 1 && p->http_minor == 0;
    r->req.expect_continue = iequals(r->req.header("expect"), "100-continue");
    if ((p->flags & F_CHUNKED) == 0 && p->content_length != ULLONG_MAX &&
        p->content_length > r->max_body_)
        return r->refuse(413, strprintf("body of %llu bytes over the limit",
                                        static_cast<unsigned long long>(p->content_length)));
    r->head_done_ = true;
    return 0;
}

int ApiHttpReader::on_body(http_parser* p, const char* at, std::size_t n) {
    auto* r = static_cast<ApiHttpReader*>(p->data);
    if (r->req.body.size() + n > r->max_body_) return r->refuse(413, "body over the limit");
    r->req.body.append(at, n);
    return 0;
}

int ApiHttpReader::on_complete(http_parser* p) {
    auto* r = static_cast<ApiHttpReader*>(p->data);
    r->status_ = ApiRead::done;
    // Stops the parser after this request: what follows belongs to the next one.
    http_parser_pause(p, 1);
    return 0;
}

ApiRead ApiHttpReader::run() {
    if (status_ != ApiRead::more || pending_.empty()) return status_;
    const std::size_t used =
        http_parser_execute(&parser_, &settings_, pending_.data(), pending_.size());
    const auto err = static_cast<http_errno>(parser_.http_errno);
    if (status_ == ApiRead::done) {
        pending_.erase(0, used);
        return status_;
    }
    if (err != HPE_OK) {
        if (why_.empty()) {
            bad_status_ = err == HPE_INVALID_VERSION ? 505 : 400;
            why_ = http_errno_description(err);
        }
        status_ = ApiRead::bad;
        return status_;
    }
    pending_.erase(0, used);
    return status_;
}

ApiRead ApiHttpReader::feed(const char* data, std::size_t n) {
    if (status_ != ApiRead::more) return status_;
    pending_.append(data, n);
    return run();
}

ApiRead ApiHttpReader::next() {
    if (status_ == ApiRead::bad) return status_;
    http_parser_pause(&parser_, 0);
    req = ApiHttpRequest{};
    target_.clear();
    head_bytes_ = 0;
    in_value_ = false;
    head_done_ = false;
    status_ = ApiRead::more;
    return run();
}

const char* api_reason(int status) {
    switch (status) {
        case 100:
            return "Continue";
        case 200:
            return "OK";
        case 202:
            return "Accepted";
        case 400:
            return "Bad Request";
        case 401:
            return "Unauthorized";
        case 403:
            return "Forbidden";
        case 404:
            return "Not Found";
        case 405:
            return "Method Not Allowed";
        case 409:
            return "Conflict";
        case 413:
            return "Content Too Large";
        case 415:
            return "Unsupported Media Type";
        case 422:
            return "Unprocessable Content";
        case 429:
            return "Too Many Requests";
        case 431:
            return "Request Header Fields Too Large";
        case 500:
            return "Internal Server Error";
        case 503:
            return "Service Unavailable";
        case 505:
            return "HTTP Version Not Supported";
        default:
            return "Unknown";
    }
}

std::string api_http_answer(int status, std::string_view content_type, std::string_view body,
                            bool keep_alive,
                            const std::vector<std::pair<std::string, std::string>>& extra) {
    std::string out = strprintf("HTTP/1.1 %d %s\r\n", status, api_reason(status));
    if (!content_type.empty()) {
        out += "Content-Type: ";
        out += content_type;
        out += "\r\n";
    }
    out += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    if (!keep_alive) out += "Connection: close\r\n";
    for (const auto& [name, value] : extra) out += name + ": " + value + "\r\n";
    out += "\r\n";
    out += body;
    return out;
}

}  // namespace tolvane
