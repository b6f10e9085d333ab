// The gateway's counts: see gateway_metrics.h.
#include "gateway/gateway_metrics.h"

#include <map>
#include <mutex>
#include <string>
#include <utility>

#include <array>

#include "foundation/metrics.h"
#include "gateway/keys.h"

namespace tolvane {

namespace {

constexpr int MODES = 5;  // gsm, smpp, xml, smtp, robot

// One counter per transport mode, made on first use.
struct PerMode {
    std::array<MetricCounter*, MODES> c{};
    PerMode(const char* name, const char* help) {
        for (int m = 0; m < MODES; ++m) {
            c[static_cast<std::size_t>(m)] =
                &metrics().counter(name, help, {{"transport", delivery_name(m)}});
        }
    }
    void inc(int mode) {
        if (mode >= 0 && mode < MODES) c[static_cast<std::size_t>(mode)]->inc();
    }
};

}  // namespace

void gateway_count_mail(GatewayMailOutcome what) {
    static MetricCounter& received =
        metrics().counter(METRIC_MAILS_RECEIVED, "Mails whose dialogue got past the client check");
    static MetricCounter& accepted =
        metrics().counter(METRIC_MAILS_ACCEPTED, "Mails answered 250 (their SMS stored)");
    static const std::array<MetricCounter*, MAIL_OUTCOMES> refused = [] {
        std::array<MetricCounter*, MAIL_OUTCOMES> r{};
        const char* help = "Mails refused, by reason";
        auto one = [&](GatewayMailOutcome o, const char* reason) {
            r[o] = &metrics().counter(METRIC_MAILS_REFUSED, help, {{"reason", reason}});
        };
        one(MAIL_REFUSED_RECIPIENT, "recipient");
        one(MAIL_REFUSED_SENDER, "sender");
        one(MAIL_REFUSED_LIMIT, "limit");
        one(MAIL_REFUSED_STORAGE, "storage");
        one(MAIL_REFUSED_DATA, "data");
        return r;
    }();
    switch (what) {
        case MAIL_RECEIVED:
            received.inc();
            break;
        case MAIL_ACCEPTED:
            accepted.inc();
            break;
        case MAIL_OUTCOMES:
            break;
        default:
            refused[what]->inc();
    }
}

void gateway_count_client_refused() {
    static MetricCounter& c = metrics().counter(
        METRIC_SMTP_SESSIONS_REFUSED, "SMTP clients refused before their dialogue, by reason",
        {{"reason", "client"}});
    c.inc();
}

void gateway_count_sms_sent(int mode, double seconds_since_accepted) {
    static PerMode sent(METRIC_SMS_SENT, "SMS taken by the sending transport");
    static MetricHistogram& lag = metrics().histogram(
        METRIC_MAIL_TO_SMS_SECONDS, "Seconds from a mail's acceptance to its SMS being taken",
        METRIC_LAG_BUCKETS);
    sent.inc(mode);
    lag.observe(seconds_since_accepted);
}

void gateway_count_sms_failed(int mode) {
    static PerMode failed(METRIC_SMS_FAILED, "SMS given up (retries spent or expired)");
    failed.inc(mode);
}

void gateway_count_sms_received(int mode) {
    static PerMode received(METRIC_SMS_RECEIVED, "SMS received from a transport");
    received.inc(mode);
}

void gateway_count_sms_sent_via(const std::string& transport, double seconds_since_accepted) {
    static MetricHistogram& lag = metrics().histogram(
        METRIC_MAIL_TO_SMS_SECONDS, "Seconds from a mail's acceptance to its SMS being taken",
        METRIC_LAG_BUCKETS);
    metrics()
        .counter(METRIC_SMS_SENT, "SMS taken by the sending transport", {{"transport", transport}})
        .inc();
    lag.observe(seconds_since_accepted);
}

void gateway_count_sms_failed_via(const std::string& transport) {
    metrics()
        .counter(METRIC_SMS_FAILED, "SMS given up (retries spent or expired)",
                 {{"transport", transport}})
        .inc();
}

void gateway_count_relayed(bool ok) {
    static MetricCounter& relayed =
        metrics().counter(METRIC_MAILS_RELAYED, "Mails made from SMS and taken by the relay");
    static MetricCounter& failed = metrics().counter(
        METRIC_MAILS_RELAY_FAILED, "Mails made from SMS given up (retries spent or expired)");
    (ok ? relayed : failed).inc();
}

void gateway_count_webhook(GatewayWebhookOutcome what) {
    static const std::array<MetricCounter*, 3> c = [] {
        const char* help = "Webhook attempts, by outcome";
        return std::array<MetricCounter*, 3>{
            &metrics().counter(METRIC_WEBHOOKS, help, {{"outcome", "delivered"}}),
            &metrics().counter(METRIC_WEBHOOKS, help, {{"outcome", "retried"}}),
            &metrics().counter(METRIC_WEBHOOKS, help, {{"outcome", "failed"}})};
    }();
    c[static_cast<std::size_t>(what)]->inc();
}

void gateway_count_api(const char* route, int status, double seconds) {
    // One counter per route and code, looked up in the registry once each.
    static std::mutex lock;
    static std::map<std::pair<std::string, int>, MetricCounter*> counters;
    static MetricHistogram& took = metrics().histogram(
        METRIC_API_REQUEST_SECONDS, "HTTP API requests: time from the whole request to the answer",
        {0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5});
    MetricCounter* c = nullptr;
    {
        std::lock_guard<std::mutex> g(lock);
        MetricCounter*& slot = counters[{route, status}];
        if (slot == nullptr)
            slot = &metrics().counter(METRIC_API_REQUESTS,
                                      "HTTP API requests answered, by route and status code",
                                      {{"route", route}, {"code", std::to_string(status)}});
        c = slot;
    }
    c->inc();
    took.observe(seconds);
}

}  // namespace tolvane
