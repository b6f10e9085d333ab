// The host names and addresses the web channel answers to.
//
// A browser names the server it means in the Host header of every request and in the
// Origin (and Referer) of a form it sends. A page of another site whose name is made to
// point at this machine (DNS rebinding) reaches the channel with that site's name in
// both, so neither may be trusted against the other: each is checked against the names
// the listener serves. Those come from `web_host` (names or addresses separated by
// blanks or commas; "*" and "?" match as in web_allow), or by default: the addresses
// of `web_listen` (a wildcard address stands for none), the address the client
// reached, "localhost", and the machine's name (`host`).
//
// An entry without a port matches the name alone and the name with the listener's own
// port; an entry with a port ("gw.example.com:443", "[::1]:8775") matches only that
// port. Names are compared without regard to case and one dot at the end of a name is
// dropped; an IPv6 address is written in brackets in a Host value, and may be given
// with or without them in `web_host`. A Host value with anything else (a user part, a
// path, a port that is not a number) matches nothing.
//
// Plain values; built per request from the settings (a handful of entries).
//
//   web_hosts h = web_hosts_from("", {"127.0.0.1"}, "127.0.0.1", "gw", 8775);
//   h.accepts("localhost:8775");   // true
//   h.accepts("evil.example");     // false
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tolvane {

class web_hosts {
  public:
    // True when a Host value (or the host[:port] part of an Origin) names this server.
    bool accepts(std::string_view authority) const;
    // The entries as one text for the log ("localhost gw 127.0.0.1").
    std::string text() const;
    // Adds an entry ("name", "name:port", "[v6]", "[v6]:port", "v6"); false when it is
    // no name at all (empty, or a port that is not a number).
    bool add(std::string_view entry);
    void set_port(int port) { port_ = port; }
    bool empty() const { return entries_.empty(); }

  private:
    struct entry {
        std::string host;  // lower case, without brackets or a final dot; may hold wildcards
        int port = -1;     // -1: the name alone or with the listener's port
    };
    std::vector<entry> entries_;
    int port_ = -1;  // the listener's port
};

// The hosts of one listener: `setting` is the web_host value (empty: the defaults from
// listen, local and machine; see above); port is the listener's port.
web_hosts web_hosts_from(std::string_view setting, const std::vector<std::string>& listen,
                         std::string_view local, std::string_view machine, int port);

// Splits "host[:port]" (host possibly a bracketed IPv6 address) into the host (lower case,
// brackets and one final dot removed) and the port (-1 when none). False when the text is
// not of that form.
bool web_split_authority(std::string_view authority, std::string& host, int& port);

}  // namespace tolvane
