// The host names and addresses the web channel answers to: splitting Host values, the
// default names, web_host entries with and without ports, wildcards and IPv6.
#include "gateway/web_hosts.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tolvane {
namespace {

TEST(WebSplitAuthority, HostAndPortOrRefusal) {
    struct Case {
        const char* text;
        bool ok;
        const char* host;
        int port;
    };
    const std::vector<Case> cases = {
        {"localhost", true, "localhost", -1},
        {"LocalHost:8775", true, "localhost", 8775},
        {" gw.example.com. ", true, "gw.example.com", -1},
        {"[::1]:443", true, "::1", 443},
        {"[::1]", true, "::1", -1},
        {"::1", true, "::1", -1},
        {"127.0.0.1:0", true, "127.0.0.1", 0},
        {"", false, "", -1},
        {":8775", false, "", -1},
        {"host:", false, "", -1},
        {"host:http", false, "", -1},
        {"host:65536", false, "", -1},
        {"host:123456", false, "", -1},
        {"user@host", false, "", -1},
        {"host/path", false, "", -1},
        {"ho st", false, "", -1},
        {"[::1", false, "", -1},
        {"[::1]x", false, "", -1},
        {"host\x01", false, "", -1},
        {".", false, "", -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        std::string host;
        int port = 7;
        EXPECT_EQ(web_split_authority(c.text, host, port), c.ok);
        if (c.ok) {
            EXPECT_EQ(host, c.host);
            EXPECT_EQ(port, c.port);
        }
    }
}

TEST(WebHosts, DefaultsAreTheListenAddressesTheLocalOneLocalhostAndTheMachine) {
    const web_hosts h =
        web_hosts_from("", {"127.0.0.1", "::1", "0.0.0.0"}, "10.0.0.5", "gw.example", 8775);
    EXPECT_EQ(h.text(), "127.0.0.1 [::1] 10.0.0.5 localhost gw.example");
    const std::vector<std::pair<std::string, bool>> table = {
        {"127.0.0.1:8775", true},     {"127.0.0.1", true},
        {"[::1]:8775", true},         {"10.0.0.5:8775", true},
        {"localhost:8775", true},     {"localhost", true},
        {"GW.EXAMPLE:8775", true},    {"gw.example.", true},
        {"0.0.0.0:8775", false},  // a wildcard address is no name of the server
        {"localhost:8776", false},    {"evil.example", false},
        {"evil.example:8775", false}, {"gw.example.evil.example", false},
        {"127.0.0.2:8775", false},    {"", false},
    };
    for (const auto& [host, ok] : table) {
        SCOPED_TRACE(host);
        EXPECT_EQ(h.accepts(host), ok);
    }
}

TEST(WebHosts, WebHostReplacesTheDefaultsAndAPortInAnEntryIsThatPortOnly) {
    const web_hosts h = web_hosts_from("admin.corp.example, *.lan  [fd00::1]:443 10.1.2.3:8443",
                                       {"127.0.0.1"}, "127.0.0.1", "gw", 8775);
    const std::vector<std::pair<std::string, bool>> table = {
        {"admin.corp.example", true},
        {"admin.corp.example:8775", true},
        {"admin.corp.example:443", false},
        {"printer.lan", true},
        {"a.b.lan:8775", true},
        {"lan", false},
        {"[fd00::1]:443", true},
        {"[fd00::1]", false},
        {"10.1.2.3:8443", true},
        {"10.1.2.3", false},
        {"localhost", false},
        {"127.0.0.1:8775", false},
        {"gw", false},
    };
    for (const auto& [host, ok] : table) {
        SCOPED_TRACE(host);
        EXPECT_EQ(h.accepts(host), ok);
    }
}

TEST(WebHosts, AStarEntryTakesEveryNameAndBadEntriesAreSkipped) {
    const web_hosts all = web_hosts_from("*", {}, "", "", 80);
    EXPECT_TRUE(all.accepts("anything.example:80"));
    EXPECT_FALSE(all.accepts("anything.example:81"));
    EXPECT_FALSE(all.accepts("user@x"));
    const web_hosts h = web_hosts_from("bad:port, good", {}, "", "", 80);
    EXPECT_EQ(h.text(), "good");
}

TEST(WebHosts, TheSameEntryIsKeptOnce) {
    const web_hosts h = web_hosts_from("", {"127.0.0.1"}, "127.0.0.1", "localhost", 1);
    EXPECT_EQ(h.text(), "127.0.0.1 localhost");
}

}  // namespace
}  // namespace tolvane
