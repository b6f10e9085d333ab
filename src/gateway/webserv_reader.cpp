// Reading one HTTP request from bytes: see webserv_reader.h.
#include "gateway/webserv_reader.h"

#include <cstdlib>

#include "foundation/lib.h"
#include "foundation/ssha.h"
#include "foundation/weblib.h"

namespace tolvane {

WebReadStatus web_reader::bad(std::string why) {
    why_ = std::move(why);
    status_ = WEB_BAD;
    stage_ = Stage::Done;
    return status_;
}

WebReadStatus web_reader::line(std::string text) {
    if (!text.empty() && text.back() == '\r') text.pop_back();
    for (char& c : text) {
        if (c == '\0') c = ' ';
    }
    if (stage_ == Stage::RequestLine) {
        const std::vector<std::string> words = s_split_words(text, " \t");
        if (words.size() < 2 || !(iequals(words[0], "GET") || iequals(words[0], "POST"))) {
            return bad(strprintf("webserv: (%s) unrecognised", web_printable(text).c_str()));
        }
        req.method = words[0];
        const std::string& target = words[1];
        const std::size_t q = target.find('?');
        req.ref = target.substr(0, q);
        req.query = q == std::string::npos ? std::string() : target.substr(q + 1);
        stage_ = Stage::Headers;
        return WEB_MORE;
    }
    // A header line.
    if (text.empty()) {
        if (iequals(req.method, "POST")) {
            req.query.clear();
            stage_ = Stage::Body;
            if (req.length > 0) return WEB_MORE;
        }
        stage_ = Stage::Done;
        status_ = WEB_DONE;
        return status_;
    }
    if (++headers_ > WEBSERV_MAX_HEADERS) {
        return bad(
            strprintf("webserv: more than %d header lines, request refused", WEBSERV_MAX_HEADERS));
    }
    const std::size_t at = text.find(": ");
    if (at == std::string::npos || at == 0) return WEB_MORE;
    std::string name = text.substr(0, at);
    std::string value = text.substr(at + 2);
    if (iequals(name, "content-length")) {
        // Digits only: a sign, blanks or a number past the limit are not a length we take.
        const bool digits = !value.empty() && value.size() <= 9 &&
                            value.find_first_not_of("0123456789") == std::string::npos;
        const long n = digits ? std::strtol(value.c_str(), nullptr, 10) : -1;
        if (n < 0 || n > WEBSERV_MAX_BODY) {
            return bad(
                strprintf("webserv: content length (%s) refused", web_printable(value).c_str()));
        }
        req.length = n;
    }
    pair_add(req.head, std::string_view(name), std::string_view(value));
    header_lines.emplace_back(std::move(name), std::move(value));
    return WEB_MORE;
}

WebReadStatus web_reader::feed(const char* data, std::size_t n) {
    std::string_view in(data, data ? n : 0);
    while (status_ == WEB_MORE && !in.empty()) {
        if (stage_ == Stage::Body) {
            const std::size_t want = static_cast<std::size_t>(req.length) - req.query.size();
            const std::size_t take = std::min(want, in.size());
            req.query.append(in.substr(0, take));
            in.remove_prefix(take);
            if (req.query.size() == static_cast<std::size_t>(req.length)) {
                stage_ = Stage::Done;
                status_ = WEB_DONE;
            }
            break;
        }
        const std::size_t lf = in.find('\n');
        const std::string_view part = in.substr(0, lf);
        if (!skipping_) {
            const std::size_t room = pending_.size() < TEXT_MAX ? TEXT_MAX - pending_.size() : 0;
            pending_.append(part.substr(0, room));
            // One character more than a line may hold means it was longer: the rest goes.
            if (part.size() > room) skipping_ = true;
        }
        if (lf == std::string_view::npos) break;
        in.remove_prefix(lf + 1);
        skipping_ = false;
        std::string text;
        std::swap(text, pending_);
        line(std::move(text));
    }
    return status_;
}

WebReadStatus web_reader::finish() {
    if (status_ != WEB_MORE) return status_;
    if (stage_ == Stage::Body) {
        return bad(strprintf("webserv: request body ended after %d of %ld bytes",
                             static_cast<int>(req.query.size()), req.length));
    }
    return bad("webserv: connection closed before the request was complete");
}

std::vector<std::pair<std::string, std::string>> web_form_fields(std::string_view text) {
    std::vector<std::pair<std::string, std::string>> out;
    std::size_t from = 0;
    while (from <= text.size()) {
        std::size_t amp = text.find('&', from);
        if (amp == std::string_view::npos) amp = text.size();
        std::string_view item = text.substr(from, amp - from);
        from = amp + 1;
        if (item.empty()) continue;
        const std::size_t eq = item.find('=');
        std::string name(item.substr(0, eq));
        std::string value(eq == std::string_view::npos ? std::string_view() : item.substr(eq + 1));
        unescape_url(name);
        unescape_url(value);
        if (name.empty()) continue;
        out.emplace_back(std::move(name), std::move(value));
    }
    return out;
}

bool web_basic_credentials(std::string_view authorization, std::string& user,
                           std::string& password) {
    user.clear();
    password.clear();
    const std::vector<std::string> words = s_split_words(authorization, " \t");
    if (words.size() < 2 || !iequals(words[0], "basic")) return false;
    std::string decoded;
    if (decode_base64(cut(words[1]), decoded, TEXT_MAX + 1) < 0) return false;
    // A user name cannot hold ":", a password can: only the first one separates them.
    const std::size_t colon = decoded.find(':');
    if (colon == std::string::npos) return false;
    user = decoded.substr(0, colon);
    password = decoded.substr(colon + 1);
    return true;
}

std::string web_printable(std::string_view text) {
    std::string out = cut(text);
    for (char& c : out) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7f) c = '?';
    }
    return out;
}

}  // namespace tolvane
