// The host names and addresses the web channel answers to: see web_hosts.h.
#include "gateway/web_hosts.h"

#include "foundation/lib.h"

namespace tolvane {

namespace {

bool is_port(std::string_view digits, int& port) {
    if (digits.empty() || digits.size() > 5) return false;
    int n = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') return false;
        n = n * 10 + (c - '0');
    }
    if (n > 65535) return false;
    port = n;
    return true;
}

// Characters no host name or address holds: a user part, a path, blanks, controls.
bool plain_host(std::string_view host) {
    for (char c : host) {
        const auto u = static_cast<unsigned char>(c);
        if (u <= 0x20 || u == 0x7f || c == '@' || c == '/' || c == '\\' || c == '?' || c == '#' ||
            c == '[' || c == ']')
            return false;
    }
    return !host.empty();
}

bool wildcard_address(std::string_view a) {
    return a.empty() || a == "0.0.0.0" || a == "::" || a == "[::]" || a == "*";
}

}  // namespace

bool web_split_authority(std::string_view authority, std::string& host, int& port) {
    host.clear();
    port = -1;
    std::string_view a = strtrm(authority);
    std::string_view name;
    if (!a.empty() && a.front() == '[') {
        const std::size_t close = a.find(']');
        if (close == std::string_view::npos) return false;
        name = a.substr(1, close - 1);
        std::string_view rest = a.substr(close + 1);
        if (!rest.empty() && (rest.front() != ':' || !is_port(rest.substr(1), port))) return false;
    } else if (const std::size_t colon = a.find(':'); colon == std::string_view::npos) {
        name = a;
    } else if (a.find(':', colon + 1) != std::string_view::npos) {
        name = a;  // an IPv6 address without brackets (as web_host may give it)
    } else {
        name = a.substr(0, colon);
        if (!is_port(a.substr(colon + 1), port)) return false;
    }
    if (!name.empty() && name.back() == '.') name.remove_suffix(1);
    if (!plain_host(name)) return false;
    host = strlwr(name);
    return true;
}

bool web_hosts::add(std::string_view text) {
    entry e;
    if (!web_split_authority(text, e.host, e.port)) return false;
    for (const entry& have : entries_) {
        if (have.host == e.host && have.port == e.port) return true;
    }
    entries_.push_back(std::move(e));
    return true;
}

bool web_hosts::accepts(std::string_view authority) const {
    std::string host;
    int port = -1;
    if (!web_split_authority(authority, host, port)) return false;
    for (const entry& e : entries_) {
        if (!wild_match(host, e.host)) continue;
        if (e.port >= 0 ? port == e.port : (port < 0 || port == port_)) return true;
    }
    return false;
}

std::string web_hosts::text() const {
    std::string out;
    for (const entry& e : entries_) {
        if (!out.empty()) out += ' ';
        const bool v6 = e.host.find(':') != std::string::npos;
        out += v6 ? "[" + e.host + "]" : e.host;
        if (e.port >= 0) out += ":" + std::to_string(e.port);
    }
    return out;
}

web_hosts web_hosts_from(std::string_view setting, const std::vector<std::string>& listen,
                         std::string_view local, std::string_view machine, int port) {
    web_hosts h;
    h.set_port(port);
    const std::vector<std::string> given = s_split_words(setting, ", \t");
    if (!given.empty()) {
        for (const std::string& g : given) h.add(g);
        return h;
    }
    for (const std::string& l : listen) {
        if (!wildcard_address(l)) h.add(l);
    }
    if (!local.empty()) h.add(local);
    h.add("localhost");
    if (!machine.empty()) h.add(machine);
    return h;
}

}  // namespace tolvane
