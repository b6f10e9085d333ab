// Process metrics: see metrics.h.
#include "foundation/metrics.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>

#include "foundation/log.h"

namespace tolvane {

namespace {

const char* kind_name(int k) {
    switch (k) {
        case 0:
            return "counter";
        case 1:
            return "gauge";
        default:
            return "histogram";
    }
}

std::string label_text(const MetricLabels& labels, std::string_view extra_name = {},
                       std::string_view extra_value = {}) {
    if (labels.empty() && extra_name.empty()) return {};
    std::string out = "{";
    bool first = true;
    for (const auto& [n, v] : labels) {
        if (!first) out += ',';
        first = false;
        out += n;
        out += "=\"";
        out += metric_escape_label(v);
        out += '"';
    }
    if (!extra_name.empty()) {
        if (!first) out += ',';
        out += extra_name;
        out += "=\"";
        out += metric_escape_label(extra_value);
        out += '"';
    }
    out += '}';
    return out;
}

}  // namespace

MetricHistogram::MetricHistogram(std::vector<double> bounds) : bounds_(std::move(bounds)) {
    bounds_.erase(
        std::remove_if(bounds_.begin(), bounds_.end(), [](double b) { return !std::isfinite(b); }),
        bounds_.end());
    std::sort(bounds_.begin(), bounds_.end());
    bounds_.erase(std::unique(bounds_.begin(), bounds_.end()), bounds_.end());
    buckets_ = std::make_unique<std::atomic<std::uint64_t>[]>(bounds_.size() + 1);
}

void MetricHistogram::observe(double seconds) noexcept {
    if (!(seconds > 0)) seconds = 0;  // negative and NaN alike
    std::size_t i = 0;
    while (i < bounds_.size() && seconds > bounds_[i]) ++i;
    buckets_[i].fetch_add(1, std::memory_order_relaxed);
    count_.fetch_add(1, std::memory_order_relaxed);
    const double us = seconds * 1e6;
    const auto max = static_cast<double>(std::numeric_limits<std::uint64_t>::max() / 2);
    sum_us_.fetch_add(static_cast<std::uint64_t>(std::llround(std::min(us, max))),
                      std::memory_order_relaxed);
}

std::uint64_t MetricHistogram::bucket(std::size_t i) const noexcept {
    return i <= bounds_.size() ? buckets_[i].load(std::memory_order_relaxed) : 0;
}

double MetricHistogram::sum() const noexcept {
    return static_cast<double>(sum_us_.load(std::memory_order_relaxed)) / 1e6;
}

MetricsRegistry::Child& MetricsRegistry::child(std::string_view name, std::string_view help,
                                               Kind kind, const MetricLabels& labels,
                                               const std::vector<double>* bounds) {
    std::lock_guard<std::mutex> hold(lock_);
    Family* fam = nullptr;
    for (Family& f : families_) {
        if (f.name == name) {
            fam = &f;
            break;
        }
    }
    if (fam && fam->kind != kind) {
        emsg("Metric %.*s asked for as a %s, registered as a %s", static_cast<int>(name.size()),
             name.data(), kind_name(static_cast<int>(kind)),
             kind_name(static_cast<int>(fam->kind)));
        Child& o = orphans_.emplace_back();
        o.c = std::make_unique<MetricCounter>();
        o.g = std::make_unique<MetricGauge>();
        o.h = std::make_unique<MetricHistogram>(bounds ? *bounds : std::vector<double>{});
        return o;
    }
    if (!fam) {
        fam = &families_.emplace_back();
        fam->name = std::string(name);
        fam->help = std::string(help);
        fam->kind = kind;
        if (bounds) fam->bounds = *bounds;
    }
    for (Child& c : fam->children) {
        if (c.labels == labels) return c;
    }
    Child& c = fam->children.emplace_back();
    c.labels = labels;
    switch (kind) {
        case Kind::Counter:
            c.c = std::make_unique<MetricCounter>();
            break;
        case Kind::Gauge:
            c.g = std::make_unique<MetricGauge>();
            break;
        case Kind::Histogram:
            c.h = std::make_unique<MetricHistogram>(fam->bounds);
            break;
    }
    return c;
}

MetricCounter& MetricsRegistry::counter(std::string_view name, std::string_view help,
                                        const MetricLabels& labels) {
    return *child(name, help, Kind::Counter, labels, nullptr).c;
}

MetricGauge& MetricsRegistry::gauge(std::string_view name, std::string_view help,
                                    const MetricLabels& labels) {
    return *child(name, help, Kind::Gauge, labels, nullptr).g;
}

MetricHistogram& MetricsRegistry::histogram(std::string_view name, std::string_view help,
                                            const std::vector<double>& bounds,
                                            const MetricLabels& labels) {
    return *child(name, help, Kind::Histogram, labels, &bounds).h;
}

const MetricsRegistry::Family* MetricsRegistry::find(std::string_view name) const {
    for (const Family& f : families_) {
        if (f.name == name) return &f;
    }
    return nullptr;
}

double MetricsRegistry::value(std::string_view name) const {
    std::lock_guard<std::mutex> hold(lock_);
    const Family* f = find(name);
    if (!f) return 0;
    double sum = 0;
    for (const Child& c : f->children) {
        if (c.c) sum += static_cast<double>(c.c->value());
        if (c.g) sum += static_cast<double>(c.g->value());
        if (c.h) sum += static_cast<double>(c.h->count());
    }
    return sum;
}

double MetricsRegistry::value(std::string_view name, const MetricLabels& labels) const {
    std::lock_guard<std::mutex> hold(lock_);
    const Family* f = find(name);
    if (!f) return 0;
    for (const Child& c : f->children) {
        if (c.labels != labels) continue;
        if (c.c) return static_cast<double>(c.c->value());
        if (c.g) return static_cast<double>(c.g->value());
        if (c.h) return static_cast<double>(c.h->count());
    }
    return 0;
}

std::string MetricsRegistry::render() const {
    std::lock_guard<std::mutex> hold(lock_);
    std::string out;
    for (const Family& f : families_) {
        out += "# HELP " + f.name + " " + metric_escape_help(f.help) + "\n";
        out += "# TYPE " + f.name + " " + kind_name(static_cast<int>(f.kind)) + "\n";
        for (const Child& c : f.children) {
            if (c.c) {
                out += f.name + label_text(c.labels) + " " +
                       metric_number(static_cast<double>(c.c->value())) + "\n";
            } else if (c.g) {
                out += f.name + label_text(c.labels) + " " +
                       metric_number(static_cast<double>(c.g->value())) + "\n";
            } else if (c.h) {
                // Buckets are read one by one while others observe: the cumulative counts
                // may run a little behind _count, never ahead of a lower bucket.
                std::uint64_t cum = 0;
                const auto& b = c.h->bounds();
                for (std::size_t i = 0; i <= b.size(); ++i) {
                    cum += c.h->bucket(i);
                    const std::string le = i < b.size() ? metric_number(b[i]) : std::string("+Inf");
                    out += f.name + "_bucket" + label_text(c.labels, "le", le) + " " +
                           metric_number(static_cast<double>(cum)) + "\n";
                }
                out +=
                    f.name + "_sum" + label_text(c.labels) + " " + metric_number(c.h->sum()) + "\n";
                out += f.name + "_count" + label_text(c.labels) + " " +
                       metric_number(static_cast<double>(cum)) + "\n";
            }
        }
    }
    return out;
}

MetricsRegistry& metrics() {
    // Never destroyed: threads that outlive main may still count.
    static MetricsRegistry* r = new MetricsRegistry();
    return *r;
}

std::string metric_escape_label(std::string_view value) {
    std::string out;
    out.reserve(value.size());
    for (char c : value) {
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '"') {
            out += "\\\"";
        } else if (c == '\n') {
            out += "\\n";
        } else {
            out += c;
        }
    }
    return out;
}

std::string metric_escape_help(std::string_view help) {
    std::string out;
    out.reserve(help.size());
    for (char c : help) {
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '\n') {
            out += "\\n";
        } else {
            out += c;
        }
    }
    return out;
}

std::string metric_number(double v) {
    if (std::isnan(v)) return "NaN";
    if (std::isinf(v)) return v > 0 ? "+Inf" : "-Inf";
    if (v == std::floor(v) && std::fabs(v) < 1e15) {
        char buf[32];
        std::snprintf(buf, sizeof buf, "%.0f", v);
        return buf;
    }
    // The shortest form that reads back as the same number: 0.1 stays "0.1".
    char buf[40];
    for (int prec = 15; prec <= 17; ++prec) {
        std::snprintf(buf, sizeof buf, "%.*g", prec, v);
        if (std::strtod(buf, nullptr) == v) break;
    }
    return buf;
}

}  // namespace tolvane
