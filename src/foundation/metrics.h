// Process metrics: named counters, gauges and fixed-bucket histograms with labels,
// written out in the Prometheus text format (version 0.0.4) for GET /metrics.
//
// A metric is one family name plus one set of label values. Asking the registry
// for it (metrics().counter(...)) takes the registry's lock once and gives a
// reference that stays valid for the life of the process; the hot path then only
// touches that object's atomics, never a lock. So look a metric up once and keep
// the reference (a function-local static, or a member filled at start-up):
//
//   static MetricCounter& sent = metrics().counter(
//       METRIC_SMS_SENT, "SMS accepted by a transport", {{"transport", "smpp"}});
//   sent.inc();
//
//   static MetricHistogram& lag = metrics().histogram(
//       METRIC_MAIL_TO_SMS_SECONDS, "Mail accepted to SMS accepted", METRIC_LAG_BUCKETS);
//   lag.observe(seconds);
//
// Asking again for the same name and labels gives the same object, so two
// modules may count into one metric. A name asked for with another type than it
// was first registered with is a programming error: it is logged once and the
// caller gets an object that counts but is never written out.
//
// Ownership: the registry owns every metric and never frees one (a metric lives
// as long as the process; metrics() is never destroyed). Limits: label names are
// not checked against the format's rules (the callers use fixed ASCII names);
// label values and help texts are escaped as the format asks. Histogram sums are
// kept in whole microseconds.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tolvane {

// Metric names shared by the modules that count and the page that shows them.
// Labels are given in brackets; every name carries the "tolvane_" prefix.
inline constexpr const char* METRIC_MAILS_RECEIVED = "tolvane_mails_received_total";
inline constexpr const char* METRIC_MAILS_ACCEPTED = "tolvane_mails_accepted_total";
// {reason}: client, sender, recipient, limit, storage, size, error
inline constexpr const char* METRIC_MAILS_REFUSED = "tolvane_mails_refused_total";
// {transport}: the send_mode name (gsm, smpp, xml, smtp, robot)
inline constexpr const char* METRIC_SMS_SENT = "tolvane_sms_sent_total";
inline constexpr const char* METRIC_SMS_FAILED = "tolvane_sms_failed_total";
// {transport}: the recv_mode name
inline constexpr const char* METRIC_SMS_RECEIVED = "tolvane_sms_received_total";
inline constexpr const char* METRIC_MAILS_RELAYED = "tolvane_mails_relayed_total";
inline constexpr const char* METRIC_MAILS_RELAY_FAILED = "tolvane_mails_relay_failed_total";
// {outcome}: delivered (2xx), retried (another attempt planned), failed (given up)
inline constexpr const char* METRIC_WEBHOOKS = "tolvane_webhooks_total";
inline constexpr const char* METRIC_QUEUE_LENGTH = "tolvane_queue_length";
inline constexpr const char* METRIC_QUEUE_OLDEST = "tolvane_queue_oldest_age_seconds";
// {transport, role}: 1 up, 0 down (filled in when /metrics is asked for)
inline constexpr const char* METRIC_TRANSPORT_UP = "tolvane_transport_up";
// {transport}
inline constexpr const char* METRIC_TRANSPORT_RECONNECTS = "tolvane_transport_reconnects_total";
// {route, code}: HTTP API requests answered
inline constexpr const char* METRIC_API_REQUESTS = "tolvane_api_requests_total";
inline constexpr const char* METRIC_API_REQUEST_SECONDS = "tolvane_api_request_seconds";
inline constexpr const char* METRIC_SMTP_SESSIONS_OPEN = "tolvane_smtp_sessions_open";
// {reason}: client (accept_ip), busy (too many sessions)
inline constexpr const char* METRIC_SMTP_SESSIONS_REFUSED = "tolvane_smtp_sessions_refused_total";
inline constexpr const char* METRIC_MAIL_TO_SMS_SECONDS = "tolvane_mail_to_sms_seconds";

// Upper bounds (seconds) of the mail-to-SMS histogram; +Inf is always added.
inline const std::vector<double> METRIC_LAG_BUCKETS = {0.05, 0.1, 0.25, 0.5, 1,   2.5,
                                                       5,    10,  30,   60,  300, 900};

using MetricLabels = std::vector<std::pair<std::string, std::string>>;

class MetricCounter {
  public:
    void inc(std::uint64_t n = 1) noexcept { v_.fetch_add(n, std::memory_order_relaxed); }
    std::uint64_t value() const noexcept { return v_.load(std::memory_order_relaxed); }

  private:
    std::atomic<std::uint64_t> v_{0};
};

class MetricGauge {
  public:
    void set(std::int64_t n) noexcept { v_.store(n, std::memory_order_relaxed); }
    void add(std::int64_t n = 1) noexcept { v_.fetch_add(n, std::memory_order_relaxed); }
    void sub(std::int64_t n = 1) noexcept { v_.fetch_sub(n, std::memory_order_relaxed); }
    std::int64_t value() const noexcept { return v_.load(std::memory_order_relaxed); }

  private:
    std::atomic<std::int64_t> v_{0};
};

class MetricHistogram {
  public:
    // bounds: ascending upper bounds; anything else is sorted and made unique.
    explicit MetricHistogram(std::vector<double> bounds);
    // A value above every bound counts only in +Inf; a negative one counts as 0.
    void observe(double seconds) noexcept;

    const std::vector<double>& bounds() const noexcept { return bounds_; }
    // Observations at or below bounds()[i] (not cumulative); the last entry is +Inf.
    std::uint64_t bucket(std::size_t i) const noexcept;
    std::uint64_t count() const noexcept { return count_.load(std::memory_order_relaxed); }
    double sum() const noexcept;

  private:
    std::vector<double> bounds_;
    std::unique_ptr<std::atomic<std::uint64_t>[]> buckets_;  // bounds_.size() + 1
    std::atomic<std::uint64_t> count_{0};
    std::atomic<std::uint64_t> sum_us_{0};
};

class MetricsRegistry {
  public:
    MetricsRegistry() = default;
    MetricsRegistry(const MetricsRegistry&) = delete;
    MetricsRegistry& operator=(const MetricsRegistry&) = delete;

    MetricCounter& counter(std::string_view name, std::string_view help,
                           const MetricLabels& labels = {});
    MetricGauge& gauge(std::string_view name, std::string_view help,
                       const MetricLabels& labels = {});
    // The bounds of the first registration of a name hold for all its label sets.
    MetricHistogram& histogram(std::string_view name, std::string_view help,
                               const std::vector<double>& bounds, const MetricLabels& labels = {});

    // Every family in the order of first registration, in the text format.
    std::string render() const;

    // The value of a counter or gauge (0 when there is no such metric); for pages
    // and tests, not for the hot path. With no labels given, the sum over all label sets.
    double value(std::string_view name) const;
    double value(std::string_view name, const MetricLabels& labels) const;

  private:
    enum class Kind { Counter, Gauge, Histogram };
    struct Child {
        MetricLabels labels;
        std::unique_ptr<MetricCounter> c;
        std::unique_ptr<MetricGauge> g;
        std::unique_ptr<MetricHistogram> h;
    };
    struct Family {
        std::string name;
        std::string help;
        Kind kind;
        std::vector<double> bounds;
        std::deque<Child> children;
    };
    Child& child(std::string_view name, std::string_view help, Kind kind,
                 const MetricLabels& labels, const std::vector<double>* bounds);
    const Family* find(std::string_view name) const;

    mutable std::mutex lock_;
    std::deque<Family> families_;
    std::deque<Child> orphans_;  // asked for with the wrong type: counted, never written
};

// The process-wide registry.
MetricsRegistry& metrics();

// Text-format escapes: for label values backslash, double quote and line feed; for help
// texts backslash and line feed.
std::string metric_escape_label(std::string_view value);
std::string metric_escape_help(std::string_view help);
// A number as the format writes it: integers without a fraction, "+Inf", "NaN".
std::string metric_number(double v);

}  // namespace tolvane
