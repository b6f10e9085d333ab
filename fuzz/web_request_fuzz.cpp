// Feeds the web request reader any bytes a client may send, cut into segments at a
// length the input chooses, then decodes what a complete request carries: form fields
// of the query or body, the Basic credentials, and the command check on its headers.
// Checks that the same bytes read in one piece give the same request, that lines and
// bodies stay within their limits, and that every escaped value is free of markup.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "foundation/containers.h"
#include "foundation/weblib.h"
#include "gateway/web_admin.h"
#include "gateway/webserv_reader.h"

namespace {

using namespace tolvane;

void check_escaped(std::string_view v) {
    const std::string e = html_escape(v);
    if (e.find_first_of("<>\"'") != std::string::npos) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const std::size_t seg = 1 + data[0] % 31;
    const std::string_view in(reinterpret_cast<const char*>(data + 1), size - 1);

    web_reader pieces;
    for (std::size_t at = 0; at < in.size() && pieces.status() == WEB_MORE; at += seg) {
        pieces.feed(in.substr(at, seg));
    }
    web_reader whole;
    whole.feed(in);
    if (pieces.status() != whole.status()) std::abort();
    if (pieces.status() == WEB_MORE) {
        pieces.finish();
        if (pieces.status() != WEB_BAD || pieces.why().empty()) std::abort();
        return 0;
    }
    if (pieces.status() == WEB_BAD) {
        if (pieces.why() != whole.why() || pieces.why().empty()) std::abort();
        return 0;
    }
    const web_request& r = pieces.req;
    if (r.method != whole.req.method || r.ref != whole.req.ref || r.query != whole.req.query) {
        std::abort();
    }
    if (r.ref.size() > 999 || r.length < 0 || r.length > WEBSERV_MAX_BODY) std::abort();
    if (r.method.size() != 3 && r.method.size() != 4) std::abort();
    if (pieces.header_lines.size() > static_cast<std::size_t>(WEBSERV_MAX_HEADERS)) std::abort();
    for (const auto& [name, value] : pieces.header_lines) {
        if (name.size() + value.size() + 2 > 999) std::abort();
        if (name.find('\n') != std::string::npos || value.find('\n') != std::string::npos) {
            std::abort();
        }
    }

    for (const auto& [name, value] : web_form_fields(r.query)) {
        if (name.empty()) std::abort();
        check_escaped(name);
        check_escaped(value);
    }
    std::string user;
    std::string password;
    if (web_basic_credentials(pair_findnc(r.head, "Authorization"), user, password)) {
        if (user.find(':') != std::string::npos) std::abort();
        if (user.size() + password.size() > 999) std::abort();
    }
    // The host check takes any Host value without fault; a name it accepts is one of its
    // entries (or that entry with the listener's port).
    const web_hosts hosts = web_hosts_from("", {"127.0.0.1"}, "127.0.0.1", "gw.example", 8775);
    std::string host;
    int port = 0;
    const std::string host_header = pair_findnc(r.head, "Host");
    if (hosts.accepts(host_header)) {
        if (!web_split_authority(host_header, host, port)) std::abort();
        if (host != "127.0.0.1" && host != "localhost" && host != "gw.example") std::abort();
        if (port != -1 && port != 8775) std::abort();
    }
    const std::string token = pair_findnc(r.head, "X-Token");
    Status may = web_command_allowed(r.method, token, token == "right", hosts,
                                     pair_findnc(r.head, "Origin"), pair_findnc(r.head, "Referer"));
    if (may.ok() != may.reason().empty()) std::abort();
    return 0;
}
