// Several transports behind routes: the settings' transport sections and route lines
// (good texts and the exact error of each bad one), the picking of a transport (failover,
// share by weight and outstanding sends, the transport an answer came in on, from=), the
// rest after failures in a row, and the routed transport over scripted members (the
// carrier named, a reset before the rest, waiting when nothing is usable, windows split
// by transport).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <string>
#include <thread>
#include <vector>

#include "gateway/keys.h"
#include "gateway/routes.h"
#include "gateway/smpp_receipts.h"
#include "sms/sms_smpp_impl.h"
#include "support/status_check.h"

namespace tolvane {
namespace {

std::string shown(const RouteTable& t) {
    std::string out;
    for (const TransportDef& d : t.transports) {
        out += d.name + ":" + delivery_name(d.mode) + (d.receive ? ",rx" : "") + ",w" +
               std::to_string(d.weight);
        if (!d.device.empty()) out += "," + d.device;
        out += ";";
    }
    for (const RouteDef& r : t.routes) {
        out += "[" + r.match + (r.from.empty() ? "" : " from " + r.from) +
               (r.strategy == RouteStrategy::share ? " share" : " failover");
        for (std::size_t v : r.via) out += " " + t.transports[v].name;
        out += "]";
    }
    return out;
}

TEST(RouteTableParse, GoodTexts) {
    struct Case {
        const char* text;
        const char* want;
    };
    const Case cases[] = {
        // No transport section: nothing to route, the single transport of send_mode.
        {"delivery_mode smpp\nsmpp_host 127.0.0.1\n", ""},
        // Receive defaults to what the mode can do; weight to 1; no route: all, failover.
        {"transport a\nmode smpp\ntransport r\nmode robot\n",
         "a:smpp,rx,w1;r:robot,w1;[* failover a r]"},
        {"route match=\"+44*\" via=\"b,a\" strategy=\"failover\"\n"
         "route match=\"*\" via=\"a\"\n"
         "transport a\n  mode smpp\ntransport b\nmode SMPP\nreceive false\nweight 3\n",
         "a:smpp,rx,w1;b:smpp,w3;[+44* failover b a][* failover a]"},
        // A modem takes the global gsm_com unless its section names its own.
        {"gsm_com /dev/ttyA\nroute match=* via=\"m1, m2\" strategy=share from=\"*@corp\"\n"
         "transport m1\nmode gsm\ntransport m2\nmode gsm\ngsm_com /dev/ttyB\n",
         "m1:gsm,rx,w1,/dev/ttyA;m2:gsm,rx,w1,/dev/ttyB;[* from *@corp share m1 m2]"},
        // Comments, blank lines and carriage returns are nothing.
        {"# transport x\r\n\r\ntransport a\r\nmode smpp\r\n", "a:smpp,rx,w1;[* failover a]"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        Result<RouteTable> t = route_table_parse(c.text, "f.ini");
        ASSERT_TRUE(succeeded(t));
        EXPECT_EQ(shown(*t), c.want);
    }
}

TEST(RouteTableParse, BadTextsGiveFileLineAndReason) {
    struct Case {
        const char* text;
        const char* want;
    };
    const Case cases[] = {
        {"transport a\nmode smpp\nroute match=\"*\" via=\"a\"\n",
         "f.ini line 3: route belongs in the global part, not in transport a"},
        {"route match=\"*\" via=\"a,c\"\ntransport a\nmode smpp\n",
         "f.ini line 1: route names unknown transport (c)"},
        {"route match=\"*\" via=\"smpp\"\n", "f.ini line 1: route names unknown transport (smpp)"},
        {"transport a\nmode smpp\n\ntransport b\nreceive false\n",
         "f.ini line 4: transport b has no mode"},
        {"transport m1\nmode gsm\ngsm_com /dev/ttyS1\ntransport m2\nmode gsm\ngsm_com /dev/ttyS1\n",
         "f.ini line 4: transports m1 and m2 use one modem (/dev/ttyS1)"},
        // Both fall back to the default device.
        {"transport m1\nmode gsm\ntransport m2\nmode gsm\n",
         "f.ini line 3: transports m1 and m2 use one modem (COM1)"},
        {"transport a\nmode smpp\ntransport a\nmode gsm\n",
         "f.ini line 3: transport a is defined twice (line 1)"},
        {"transport\n", "f.ini line 1: transport needs one name without blanks or commas"},
        {"transport a b\nmode smpp\n",
         "f.ini line 1: transport needs one name without blanks or commas"},
        {"transport a\nmode pigeon\n",
         "f.ini line 2: transport a: mode (pigeon) is not gsm, smpp, xml, smtp or robot"},
        {"transport a\nmode robot\nreceive true\n",
         "f.ini line 1: transport a: mode robot cannot receive"},
        {"transport a\nmode smpp\nreceive maybe\n",
         "f.ini line 3: transport a: receive (maybe) is not true or false"},
        {"transport a\nmode smpp\nweight 0\n",
         "f.ini line 3: transport a: weight (0) is not a whole number from 1 to 1000"},
        {"weight 2\n", "f.ini line 1: weight belongs in a transport section"},
        // A key the routes do not know is the settings table's business.
        {"route2 x\nroute via=\"a\"\ntransport a\nmode smpp\n",
         "f.ini line 2: route needs match=\"...\""},
        {"transport a\nmode smpp\n", ""},  // good: the end of the table
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        Result<RouteTable> t = route_table_parse(c.text, "f.ini");
        if (*c.want == '\0') {
            EXPECT_TRUE(succeeded(t));
            continue;
        }
        EXPECT_FALSE(t.ok());
        EXPECT_EQ(t.reason(), c.want);
    }
    const char* bad_route[] = {
        "route match=\"*\"\n",                                // no via
        "route match=\"*\" via=\"\"\n",                       // empty via
        "route match=\"*\" via=\"a\" strategy=\"random\"\n",  // unknown strategy
        "route match=\"*\" via=\"a\" colour=\"red\"\n",       // unknown attribute
        "route match=\"* via=a\n",                            // quote never closed
    };
    for (const char* text : bad_route) {
        SCOPED_TRACE(text);
        std::string full = std::string("transport a\nmode smpp\n") + "x 1\n";
        full = std::string(text) + full;
        Result<RouteTable> t = route_table_parse(full, "f.ini");
        EXPECT_FALSE(t.ok());
        EXPECT_EQ(t.reason().rfind("f.ini line 1: route", 0), 0u) << t.reason();
    }
}

RouteTable table_of(const char* text) {
    Result<RouteTable> t = route_table_parse(text, "f.ini");
    EXPECT_TRUE(succeeded(t));
    return t ? std::move(*t) : RouteTable{};
}

constexpr const char* THREE =
    "route match=\"+44*\" via=\"b,a\" strategy=\"failover\"\n"
    "route match=\"+61*\" via=\"a,b,c\" strategy=\"share\" from=\"*@vip\"\n"
    "route match=\"+61*\" via=\"c\"\n"
    "transport a\nmode smpp\nsmpp_port 1\n"
    "transport b\nmode smpp\nsmpp_port 2\n"
    "transport c\nmode smpp\nsmpp_port 3\nweight 2\n";

TEST(RoutePicker, FirstMatchingRouteWinsAndFromNarrowsIt) {
    RoutePicker p(table_of(THREE), {});
    EXPECT_EQ(p.route_for("+447700900000", {"x@y", ""}), 0);
    EXPECT_EQ(p.route_for("+61412345678", {"ann@vip", ""}), 1);
    EXPECT_EQ(p.route_for("+61412345678", {"", "ann@vip"}), 1);  // the user may match
    EXPECT_EQ(p.route_for("+61412345678", {"ann@else", "bob"}), 2);
    EXPECT_EQ(p.route_for("+1202555", {"ann@vip", ""}), -1);
}

TEST(RoutePicker, FailoverTakesTheFirstUsableAndComesBack) {
    RoutePicker p(table_of(THREE), {3, 1000});
    std::vector<bool> up{true, true, true};
    auto is_up = [&up](std::size_t m) { return static_cast<bool>(up[m]); };
    EXPECT_EQ(p.pick(0, is_up, -1, 0), 1u);  // b first
    p.finish(1, SendOutcome::sent, 0, 1);
    up[1] = false;
    EXPECT_EQ(p.pick(0, is_up, -1, 0), 0u);  // b down: a
    p.finish(0, SendOutcome::sent, 0, 1);
    up[1] = true;
    EXPECT_EQ(p.pick(0, is_up, -1, 0), 1u);  // b back
    p.finish(1, SendOutcome::sent, 0, 1);
    up[0] = up[1] = false;
    EXPECT_FALSE(p.pick(0, is_up, -1, 0));
    EXPECT_FALSE(p.route_usable(0, is_up, 0));
    EXPECT_FALSE(p.pick(-1, is_up, -1, 0));
}

TEST(RoutePicker, FailuresInARowMakeATransportRestForItsTime) {
    RoutePicker p(table_of(THREE), {3, 1000});
    auto up = [](std::size_t) { return true; };
    // Two failures, a success, two more: never three in a row.
    for (SendOutcome o : {SendOutcome::failed, SendOutcome::failed, SendOutcome::sent,
                          SendOutcome::failed, SendOutcome::failed, SendOutcome::other}) {
        ASSERT_EQ(p.pick(0, up, -1, 100), 1u);
        EXPECT_FALSE(p.finish(1, o, 100, 1));
    }
    ASSERT_EQ(p.pick(0, up, -1, 100), 1u);
    EXPECT_TRUE(p.finish(1, SendOutcome::failed, 100, 1));  // the third in a row
    EXPECT_TRUE(p.state(1, 100, 1).resting);
    EXPECT_EQ(p.state(1, 100, 1).rest_left_s, 1);
    EXPECT_EQ(p.state(1, 100, 1).failed_today, 5);
    EXPECT_EQ(p.state(1, 100, 1).sent_today, 1);
    EXPECT_EQ(p.pick(0, up, -1, 100), 0u);  // resting: a takes over
    p.finish(0, SendOutcome::sent, 100, 1);
    EXPECT_EQ(p.pick(0, up, -1, 1099), 0u);
    p.finish(0, SendOutcome::sent, 1099, 1);
    EXPECT_EQ(p.pick(0, up, -1, 1100), 1u);  // rested
    EXPECT_FALSE(p.state(1, 1100, 1).resting);
    EXPECT_EQ(p.state(1, 1100, 1).failures, 0);
    // A new day starts its counts afresh.
    EXPECT_EQ(p.state(1, 1100, 2).failed_today, 0);
}

TEST(RoutePicker, ShareSpreadsByWeightAndOutstanding) {
    RoutePicker p(table_of(THREE), {});
    auto up = [](std::size_t) { return true; };
    // Sequential sends: a, b, c by weight 1:1:2 over 40 picks.
    std::vector<int> count(3, 0);
    for (int i = 0; i < 40; ++i) {
        std::optional<std::size_t> m = p.pick(1, up, -1, 0);
        ASSERT_TRUE(m);
        ++count[*m];
        p.finish(*m, SendOutcome::sent, 0, 1);
    }
    EXPECT_EQ(count, (std::vector<int>{10, 10, 20}));
    // Sends in flight: the one with the fewest outstanding per weight is taken.
    RoutePicker q(table_of(THREE), {});
    EXPECT_EQ(q.pick(1, up, -1, 0), 0u);
    EXPECT_EQ(q.pick(1, up, -1, 0), 1u);
    EXPECT_EQ(q.pick(1, up, -1, 0), 2u);
    EXPECT_EQ(q.pick(1, up, -1, 0), 2u);  // c has room for two
    q.finish(1, SendOutcome::sent, 0, 1);
    EXPECT_EQ(q.pick(1, up, -1, 0), 1u);  // b's send ended
    // Down ones are left out.
    auto only_c = [](std::size_t m) { return m == 2; };
    EXPECT_EQ(q.pick(1, only_c, -1, 0), 2u);
}

TEST(RoutePicker, AnAnswerGoesBackThroughItsTransportWhileUsable) {
    RoutePicker p(table_of(THREE), {});
    std::vector<bool> up{true, true, true};
    auto is_up = [&up](std::size_t m) { return static_cast<bool>(up[m]); };
    EXPECT_EQ(p.pick(0, is_up, 2, 0), 2u);   // c is not on the route, but it came from c
    EXPECT_EQ(p.pick(-1, is_up, 2, 0), 2u);  // nor is any route needed
    up[2] = false;
    EXPECT_EQ(p.pick(0, is_up, 2, 0), 1u);  // c down: the route
}

// A member transport whose sends are scripted.
class FakeTransport : public SmsTransport {
  public:
    explicit FakeTransport(int mode = SMS_SMPP) : SmsTransport(mode, "fake") {}
    SendResult send(const SmsOut& sms) override {
        to.emplace_back(sms.to);
        if (results.empty()) return Sent{"id" + std::to_string(to.size()), 1};
        SendFailure k = results.front();
        results.pop_front();
        if (k == SendFailure::temporary) is_up = false;  // went down under the send
        return SendError{k, 1, "refused"};
    }
    bool up() const override { return is_up; }
    void reset_after_failures() override { ++resets; }
    bool can_receive() const override { return true; }
    // Hands one SMS to the sink, then holds on until the stop.
    Status receive(InboundSink& sink, std::stop_token stop) override {
        ++receivers;
        (void)sink.received(*this, InboundSms{"+61400000001", "", "hello", {}});
        while (!stop.stop_requested()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return Status{};
    }
    std::atomic<int> receivers{0};
    void flip(bool now_up) {
        is_up = now_up;
        state_changed();
    }
    std::vector<std::string> to;
    std::deque<SendFailure> results;
    bool is_up = true;
    int resets = 0;
};

struct Routed {
    std::vector<FakeTransport*> m;
    std::unique_ptr<RoutedTransport> t;
    explicit Routed(const char* text, RoutePicker::Limits limits = {3, 600000}) {
        RouteTable table = table_of(text);
        std::vector<std::unique_ptr<SmsTransport>> members;
        for (std::size_t i = 0; i < table.transports.size(); ++i) {
            auto f = std::make_unique<FakeTransport>();
            m.push_back(f.get());
            members.push_back(std::move(f));
        }
        t = std::make_unique<RoutedTransport>(SMS_SMPP, std::move(table), limits,
                                              std::move(members));
    }
};

TEST(RoutedTransport, NamesTheCarrierAndRefusesWhatNoRouteTakes) {
    Routed r(THREE);
    SendResult s = r.t->send({.from = "", .to = "+447700900001", .text = "hi"});
    ASSERT_TRUE(s);
    EXPECT_EQ(s->transport, "b");
    EXPECT_EQ(r.m[1]->to, std::vector<std::string>{"+447700900001"});
    SendResult none = r.t->send({.from = "", .to = "+61400000000", .text = "hi"});
    ASSERT_TRUE(none);  // route 3: c
    EXPECT_EQ(none->transport, "c");
    SendResult no = r.t->send({.from = "", .to = "+12025550100", .text = "hi"});
    ASSERT_FALSE(no);
    EXPECT_EQ(no.error().kind, SendFailure::failed);
    EXPECT_EQ(no.error().reason, "No route (+12025550100)");
    EXPECT_FALSE(route_known(r.t.get(), "+12025550100", {"a@b"}));
    EXPECT_TRUE(route_known(r.t.get(), "+61400000000", {"a@b"}));
    FakeTransport single;
    EXPECT_TRUE(route_known(&single, "+12025550100", {}));
}

TEST(RoutedTransport, ResetsAtTheFailLimitThenRestsWhileTheNextCarries) {
    Routed r(THREE, {2, 600000});
    r.m[1]->results = {SendFailure::failed, SendFailure::failed};
    SmsOut sms{.from = "", .to = "+447700900002", .text = "x"};
    SendResult first = r.t->send(sms);
    ASSERT_FALSE(first);
    EXPECT_EQ(first.error().reason, "refused (via b)");
    EXPECT_EQ(first.error().transport, "b");
    EXPECT_EQ(r.m[1]->resets, 0);
    EXPECT_FALSE(r.t->send(sms));
    EXPECT_EQ(r.m[1]->resets, 1);  // reset once, as it starts to rest
    SendResult third = r.t->send(sms);
    ASSERT_TRUE(third);
    EXPECT_EQ(third->transport, "a");
    EXPECT_EQ(r.m[1]->to.size(), 2u);
    std::vector<RoutedTransport::Member> ms = r.t->members();
    ASSERT_EQ(ms.size(), 3u);
    EXPECT_FALSE(ms[1].usable);
    EXPECT_EQ(ms[1].state.rfind("resting 600 s", 0), 0u) << ms[1].state;
    EXPECT_EQ(ms[1].run.failed_today, 2);
    EXPECT_EQ(ms[0].run.sent_today, 1);
}

// An SMS sent on its own, or as a window of one (a delivery worker's single entry), goes to
// the next usable transport when its own went down under the send; the window tells the
// acceptance once, from the transport that carried it.
TEST(RoutedTransport, ASingleSmsFailsOverAloneOrAsAWindowOfOne) {
    for (bool window : {false, true}) {
        SCOPED_TRACE(window ? "window of one" : "send");
        Routed r(THREE);
        SmsOut uk{.from = "", .to = "+447700900003", .text = "x"};
        r.m[1]->results = {SendFailure::temporary};
        std::vector<std::string> told;
        WindowHooks h;
        h.after = [&](std::size_t i, const SendResult& res) {
            told.push_back(std::to_string(i) + (res ? res->transport : "-"));
        };
        SendResult s = window ? r.t->send_window(std::span<const SmsOut>(&uk, 1), h)[0]
                              : r.t->send(uk);
        ASSERT_TRUE(s);
        EXPECT_EQ(s->transport, "a");
        EXPECT_EQ(r.m[1]->to.size(), 1u);
        EXPECT_EQ(told, window ? std::vector<std::string>{"0a"} : std::vector<std::string>{});
    }
}

TEST(RoutedTransport, WaitsWhenNothingIsUsableAndGoesOnWhenAMemberDropsMidSend) {
    Routed r(THREE);
    int told = 0;
    r.t->set_state_watcher([&told] { ++told; });
    SmsOut uk{.from = "", .to = "+447700900003", .text = "x"};
    // b goes down under the send: a takes the SMS at once.
    r.m[1]->results = {SendFailure::temporary};
    SendResult s = r.t->send(uk);
    ASSERT_TRUE(s);
    EXPECT_EQ(s->transport, "a");
    r.m[0]->flip(false);
    EXPECT_EQ(told, 1);  // a member's change reaches the routed transport's watcher
    EXPECT_FALSE(r.t->usable_for(uk));
    SendResult wait = r.t->send(uk);
    ASSERT_FALSE(wait);
    EXPECT_EQ(wait.error().kind, SendFailure::temporary);
    EXPECT_TRUE(r.t->up());  // c still carries its own route
    EXPECT_EQ(r.t->routes_stuck(), "no usable transport for route +44*");
    r.m[2]->flip(false);
    EXPECT_FALSE(r.t->up());
    r.m[1]->flip(true);
    EXPECT_TRUE(r.t->usable_for(uk));
    r.t->set_state_watcher(nullptr);
}

TEST(RoutedTransport, AWindowIsSplitByTransportWithTheCallersIndexes) {
    Routed r(THREE);
    std::vector<SmsOut> items{{.from = "", .to = "+447700900004", .text = "x"},
                              {.from = "", .to = "+61400000001", .text = "x"},
                              {.from = "", .to = "+12025550100", .text = "x"},
                              {.from = "", .to = "+447700900005", .text = "x"}};
    std::vector<std::size_t> before;
    std::vector<std::pair<std::size_t, std::string>> after;
    WindowHooks h;
    h.before = [&](std::span<const std::size_t> idx) {
        before.insert(before.end(), idx.begin(), idx.end());
        return true;
    };
    h.after = [&](std::size_t i, const SendResult& res) {
        after.emplace_back(i, res ? res->transport : std::string("-"));
    };
    std::vector<SendResult> out = r.t->send_window(items, h);
    ASSERT_EQ(out.size(), 4u);
    EXPECT_EQ(before, (std::vector<std::size_t>{0, 3, 1}));  // b's group first, then c's
    EXPECT_EQ(after,
              (std::vector<std::pair<std::size_t, std::string>>{{0, "b"}, {3, "b"}, {1, "c"}}));
    EXPECT_EQ(out[0]->transport, "b");
    EXPECT_EQ(out[1]->transport, "c");
    ASSERT_FALSE(out[2]);
    EXPECT_EQ(out[2].error().reason, "No route (+12025550100)");
    EXPECT_EQ(r.m[1]->to, (std::vector<std::string>{"+447700900004", "+447700900005"}));
}

class Recorder : public InboundSink {
  public:
    InboundVerdict received(SmsTransport& from, InboundSms sms) override {
        std::lock_guard<std::mutex> g(lock);
        got.emplace_back(&from, sms.text);
        return {};
    }
    std::size_t count() {
        std::lock_guard<std::mutex> g(lock);
        return got.size();
    }
    std::mutex lock;
    std::vector<std::pair<SmsTransport*, std::string>> got;
};

TEST(RoutedTransport, ReceivesThroughEveryReceivingMemberUntilTheStop) {
    Routed r(
        "transport a\nmode smpp\ntransport b\nmode smpp\nreceive false\n"
        "transport c\nmode gsm\n");
    EXPECT_TRUE(r.t->can_receive());
    Recorder sink;
    std::stop_source stop;
    Status result = Error{1, "not run"};
    std::thread rx([&] { result = r.t->receive(sink, stop.get_token()); });
    for (int i = 0; i < 5000 && sink.count() < 2; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    stop.request_stop();
    rx.join();
    EXPECT_TRUE(result);
    EXPECT_EQ(r.m[0]->receivers, 1);
    EXPECT_EQ(r.m[1]->receivers, 0);  // receive false
    EXPECT_EQ(r.m[2]->receivers, 1);
    ASSERT_EQ(sink.got.size(), 2u);
    // Each SMS names the member it came in on, so that its answer can go back there.
    for (const auto& [from, text] : sink.got) {
        EXPECT_TRUE(from == r.m[0] || from == r.m[2]);
        EXPECT_EQ(text, "hello");
    }
    Routed none("transport a\nmode smpp\nreceive false\n");
    EXPECT_FALSE(none.t->can_receive());
}

// Each SMPP centre behind the routes takes the gateway's receipt handler itself (a member
// left without one would acknowledge receipts unrecorded); other transports are left out.
TEST(RoutedTransport, EverySmppMemberTakesTheReceiptHandler) {
    std::vector<std::unique_ptr<SmsTransport>> members;
    members.push_back(std::make_unique<smpp_impl::sms_smpp>());
    members.push_back(std::make_unique<FakeTransport>());
    members.push_back(std::make_unique<smpp_impl::sms_smpp>());
    RoutedTransport routed(SMS_SMPP, table_of(THREE), {3, 600000}, std::move(members));
    EXPECT_EQ(smpp_receipts_install(nullptr, &routed), 2);
    smpp_impl::sms_smpp alone;
    EXPECT_EQ(smpp_receipts_install(nullptr, &alone), 1);
    FakeTransport other;
    EXPECT_EQ(smpp_receipts_install(nullptr, &other), 0);
    EXPECT_EQ(smpp_receipts_install(nullptr, nullptr), 0);
}

}  // namespace
}  // namespace tolvane
