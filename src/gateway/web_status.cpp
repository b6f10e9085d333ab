// What the status page, /health and /metrics know of the running gateway: see
// web_status.h.
#include "gateway/web_status.h"

#include <algorithm>
#include <cstdio>

#include "foundation/lib.h"
#include "foundation/metrics.h"
#include "gateway/delivery.h"
#include "gateway/gateway.h"
#include "gateway/routes.h"
#include "smtp/server.h"
#include "gateway/web_admin.h"
#include "records/msgrec.h"
#include "records/record_file.h"
#include "records/stores.h"

namespace tolvane {

namespace {

// The page's view of the store's outcomes: each line parsed, its direction by its kind.
day_summary summary_of(const DayOutcomes& o, char delim) {
    day_summary d;
    d.sent = o.sent;
    d.failed = o.failed;
    d.received = o.received;
    long seq = static_cast<long>(o.last.size());
    for (const DayOutcomes::Line& l : o.last) {
        record_outcome r;
        if (!web_parse_record(l.line, delim, r)) continue;
        r.direction = l.day_kind == "log" ? "SMS to mail" : "mail to SMS";
        r.seq = seq--;
        d.last.push_back(std::move(r));
    }
    return d;
}

// Today's summary from whichever store keeps the records; nothing when it cannot be read.
day_summary store_summary(Gateway& gw) {
    const char delimiter = gw.delimiter;
    // The store logs its own loss; the page, refreshed every few seconds, must not.
    Result<DayOutcomes> o = gw.state.records->today(std::time(nullptr), WEB_STATUS_OUTCOMES);
    if (!o) return {};
    return summary_of(*o, delimiter);
}

callback_data* cbd(void* data) {
    return static_cast<callback_data*>(data);
}

std::string number(double v) {
    return metric_number(v);
}

// Whether a part can carry traffic now, and how it says so.
template <class Part>
bool part_state(const Part* s, std::string& text) {
    if (!s) {
        text = "not open";
        return false;
    }
    const bool up = s->up();
    text = s->state_text();
    if (text.empty()) text = up ? "up" : "down";
    return up;
}

std::vector<web_health_item> probe(const Gateway& gw) {
    std::vector<web_health_item> items;
    auto add = [&items](const auto* s, std::string name, std::string role) {
        web_health_item i;
        i.name = std::move(name);
        i.role = std::move(role);
        i.up = part_state(s, i.why);
        items.push_back(std::move(i));
    };
    {
        // The listener is up while the server is open.
        web_health_item i;
        i.name = "smtp";
        i.role = "listener";
        i.up = gw.mail_server != nullptr;
        i.why = i.up ? "up" : "not open";
        items.push_back(std::move(i));
    }
    const SmsTransport* send = gw.send.get();
    const SmsTransport* recv = gw.recv;
    if (const auto* routed = dynamic_cast<const RoutedTransport*>(send)) {
        // The routes fail /health only when one of them has no usable transport; each
        // transport is listed after them with its state, SMS in flight and today's counts.
        web_health_item r;
        r.name = "routes";
        r.role = recv == send ? "send and receive" : "send";
        r.why = routed->routes_stuck();
        r.up = r.why.empty();
        if (r.up) r.why = "up";
        items.push_back(std::move(r));
        for (const RoutedTransport::Member& m : routed->members()) {
            web_health_item i;
            i.name = m.name;
            i.role = m.receive ? "send and receive" : "send";
            i.up = m.usable;
            i.why = strprintf("%s; %d in flight; today %ld sent, %ld failed", m.state.c_str(),
                              m.run.outstanding, m.run.sent_today, m.run.failed_today);
            i.listed = true;
            items.push_back(std::move(i));
        }
        send = nullptr;
    }
    if (send) add(send, delivery_name(sms_mode(send)), recv == send ? "send and receive" : "send");
    if (recv && recv != gw.send.get()) add(recv, delivery_name(sms_mode(recv)), "receive");
    // A shared store: without its database no mail is taken (451) and no SMS acknowledged.
    if (const std::optional<bool> db = delivery_database_up(gw)) {
        web_health_item i;
        i.name = "database";
        i.role = "store";
        i.up = *db;
        i.why = *db ? "connected" : "lost";
        items.push_back(std::move(i));
    }
    return items;
}

}  // namespace

bool web_parse_record(std::string_view line, char delim, record_outcome& out) {
    std::vector<std::string_view> f;
    std::size_t from = 0;
    // Five delimiters end the fixed fields; the text is everything after them (a text
    // written before values were escaped may hold the delimiter itself).
    while (f.size() < 5) {
        const std::size_t at = record_find_delim(line, delim, from);
        if (at == std::string_view::npos) return false;
        f.push_back(line.substr(from, at - from));
        from = at + 1;
    }
    std::string_view text = line.substr(from);
    if (!text.empty() && text.back() == '\r') text.remove_suffix(1);
    // Every field is written with the delimiter after it, the last one too.
    std::size_t last = std::string_view::npos;
    for (std::size_t at = record_find_delim(text, delim); at != std::string_view::npos;
         at = record_find_delim(text, delim, at + 1))
        last = at;
    if (last != std::string_view::npos && last + 1 == text.size()) text.remove_suffix(1);
    out.status = record_unescape(f[0], delim);
    out.client = record_unescape(f[1], delim);
    out.from = record_unescape(f[2], delim);
    out.to = record_unescape(f[3], delim);
    out.when = record_unescape(f[4], delim);
    out.text = record_unescape(text, delim);
    return true;
}

day_summary web_day_summary(DayFileReader& reader, const std::string& dir, std::time_t now,
                            char delim) {
    return summary_of(reader.today(dir, delim, now, WEB_STATUS_OUTCOMES), delim);
}

void web_status_install_probe(Gateway& gw, bool install) {
    web_set_health_probe(gw,
                         install ? WebHealthProbe([&gw] { return probe(gw); }) : WebHealthProbe());
}

void web_show_gateway(tpl*, TplTokens*, void* data) {
    web_serv* w = cbd(data)->web;
    const day_summary d = store_summary(*cbd(data)->gw);
    webserv_add(w, "sms_sent_today", strprintf("%d", d.sent));
    webserv_add(w, "sms_failed_today", strprintf("%d", d.failed));
    webserv_add(w, "sms_received_today", strprintf("%d", d.received));
    const queue_stats q = delivery_queue_stats(*cbd(data)->gw);
    webserv_add(w, "queue_waiting", strprintf("%d", static_cast<int>(q.waiting)));
    const std::int64_t age_ms = q.oldest_ms > 0 ? delivery_now_ms() - q.oldest_ms : 0;
    webserv_add(w, "queue_oldest",
                q.waiting > 0
                    ? time_length_text(static_cast<long>(std::max<std::int64_t>(age_ms, 0) / 1000))
                    : std::string("-"));
    const MetricsRegistry& m = metrics();
    webserv_add(w, "metric_mails_received", number(m.value(METRIC_MAILS_RECEIVED)));
    webserv_add(w, "metric_mails_accepted", number(m.value(METRIC_MAILS_ACCEPTED)));
    webserv_add(w, "metric_mails_refused", number(m.value(METRIC_MAILS_REFUSED)));
    webserv_add(w, "metric_sms_sent", number(m.value(METRIC_SMS_SENT)));
    webserv_add(w, "metric_sms_failed", number(m.value(METRIC_SMS_FAILED)));
    webserv_add(w, "metric_sms_received", number(m.value(METRIC_SMS_RECEIVED)));
    webserv_add(w, "metric_mails_relayed", number(m.value(METRIC_MAILS_RELAYED)));
    webserv_add(w, "metric_mails_relay_failed", number(m.value(METRIC_MAILS_RELAY_FAILED)));
    webserv_add(w, "metric_sessions_open", number(m.value(METRIC_SMTP_SESSIONS_OPEN)));
    webserv_add(w, "metric_sessions_refused", number(m.value(METRIC_SMTP_SESSIONS_REFUSED)));
    webserv_add(w, "metric_reconnects", number(m.value(METRIC_TRANSPORT_RECONNECTS)));
    webserv_add(w, "metric_web_open", strprintf("%d", web_connections_open(*cbd(data)->gw)));
    std::tm tm{};
    char when[64] = "";
    if (safe_localtime(std::time(nullptr), tm)) std::strftime(when, sizeof when, "%H:%M:%S", &tm);
    webserv_add(w, "updated", when);
}

void web_begin_transports(tpl* t, TplTokens* body, void* data) {
    web_serv* w = cbd(data)->web;
    for (const web_health_item& i : web_health_now(*cbd(data)->gw)) {
        webserv_add(w, "transport_name", i.name);
        webserv_add(w, "transport_role", i.role);
        webserv_add(w, "transport_state", i.why.empty() ? (i.up ? "up" : "down") : i.why);
        webserv_add(w, "transport_up", i.up ? "up" : "down");
        tpl_display(t, body);
    }
}

void web_begin_outcomes(tpl* t, TplTokens* body, void* data) {
    web_serv* w = cbd(data)->web;
    const day_summary d = store_summary(*cbd(data)->gw);
    for (const record_outcome& o : d.last) {
        // Today's outcomes only: the time of day says enough ("Tue Dec  8 13:24:42 2026").
        webserv_add(w, "outcome_when", o.when.size() >= 19 ? o.when.substr(11, 8) : o.when);
        webserv_add(w, "outcome_direction", o.direction);
        webserv_add(w, "outcome_status", o.status);
        webserv_add(w, "outcome_from", o.from);
        webserv_add(w, "outcome_to", o.to);
        webserv_add(w, "outcome_text", o.text);
        webserv_add(w, "outcome_class", o.status == "SUCCESS" ? "ok" : "bad");
        tpl_display(t, body);
    }
    webserv_add(w, "outcome_count", strprintf("%d", static_cast<int>(d.last.size())));
}

}  // namespace tolvane
