// Process metrics: counters shared by name and labels, histogram buckets at their bounds,
// the text format's escapes and layout, and counting from many threads at once.
#include "foundation/metrics.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <thread>
#include <vector>

namespace tolvane {
namespace {

TEST(Metrics, SameNameAndLabelsGiveTheSameObject) {
    MetricsRegistry r;
    MetricCounter& a = r.counter("x_total", "help", {{"transport", "smpp"}});
    MetricCounter& b = r.counter("x_total", "other help", {{"transport", "smpp"}});
    MetricCounter& c = r.counter("x_total", "help", {{"transport", "gsm"}});
    EXPECT_EQ(&a, &b);
    EXPECT_NE(&a, &c);
    a.inc();
    b.inc(2);
    c.inc();
    EXPECT_EQ(r.value("x_total", {{"transport", "smpp"}}), 3);
    EXPECT_EQ(r.value("x_total", {{"transport", "gsm"}}), 1);
    EXPECT_EQ(r.value("x_total"), 4);
    EXPECT_EQ(r.value("x_total", {{"transport", "robot"}}), 0);
    EXPECT_EQ(r.value("absent_total"), 0);
}

TEST(Metrics, ReferencesStayValidAsMoreMetricsAreAdded) {
    MetricsRegistry r;
    MetricCounter& first = r.counter("first_total", "h");
    for (int i = 0; i < 500; ++i) r.counter("c" + std::to_string(i), "h").inc();
    first.inc(5);
    EXPECT_EQ(r.value("first_total"), 5);
}

TEST(Metrics, WrongTypeForAKnownNameCountsButIsNeverWritten) {
    MetricsRegistry r;
    r.counter("dup", "a counter").inc(7);
    MetricGauge& g = r.gauge("dup", "now a gauge");
    g.set(100);
    const std::string text = r.render();
    EXPECT_NE(text.find("# TYPE dup counter\n"), std::string::npos);
    EXPECT_NE(text.find("dup 7\n"), std::string::npos);
    EXPECT_EQ(text.find("100"), std::string::npos) << text;
    EXPECT_EQ(r.value("dup"), 7);
}

TEST(Metrics, GaugeGoesBothWays) {
    MetricsRegistry r;
    MetricGauge& g = r.gauge("open", "h");
    g.add();
    g.add(4);
    g.sub(2);
    EXPECT_EQ(g.value(), 3);
    g.set(-1);
    EXPECT_NE(r.render().find("open -1\n"), std::string::npos);
}

TEST(MetricsHistogram, ValueOnABoundCountsInThatBucket) {
    MetricHistogram h({1, 0.5, 2, 1});  // unsorted with a repeat: becomes 0.5, 1, 2
    ASSERT_EQ(h.bounds(), (std::vector<double>{0.5, 1, 2}));
    struct Case {
        double v;
        std::size_t bucket;
    };
    const Case cases[] = {{0, 0},   {0.5, 0}, {0.5000001, 1}, {1, 1},
                          {1.5, 2}, {2, 2},   {2.01, 3},      {1e9, 3}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.v);
        MetricHistogram one({0.5, 1, 2});
        one.observe(c.v);
        for (std::size_t i = 0; i <= 3; ++i) EXPECT_EQ(one.bucket(i), i == c.bucket ? 1u : 0u);
    }
}

TEST(MetricsHistogram, NegativeAndNanCountAsZeroAndSumIsKept) {
    MetricHistogram h({1});
    h.observe(-5);
    h.observe(std::numeric_limits<double>::quiet_NaN());
    h.observe(0.25);
    h.observe(3);
    EXPECT_EQ(h.count(), 4u);
    EXPECT_EQ(h.bucket(0), 3u);
    EXPECT_EQ(h.bucket(1), 1u);
    EXPECT_DOUBLE_EQ(h.sum(), 3.25);
}

TEST(MetricsText, HistogramIsCumulativeWithInfSumAndCount) {
    MetricsRegistry r;
    MetricHistogram& h = r.histogram("lag_seconds", "Lag", {0.1, 1}, {{"t", "a"}});
    h.observe(0.05);
    h.observe(0.5);
    h.observe(0.7);
    h.observe(10);
    const std::string want =
        "# HELP lag_seconds Lag\n"
        "# TYPE lag_seconds histogram\n"
        "lag_seconds_bucket{t=\"a\",le=\"0.1\"} 1\n"
        "lag_seconds_bucket{t=\"a\",le=\"1\"} 3\n"
        "lag_seconds_bucket{t=\"a\",le=\"+Inf\"} 4\n"
        "lag_seconds_sum{t=\"a\"} 11.25\n"
        "lag_seconds_count{t=\"a\"} 4\n";
    EXPECT_EQ(r.render(), want);
}

TEST(MetricsText, EscapesLabelValuesAndHelp) {
    MetricsRegistry r;
    r.counter("odd_total", "line one\nback\\slash \"quoted\"", {{"why", "a\"b\\c\nd"}}).inc();
    EXPECT_EQ(r.render(),
              "# HELP odd_total line one\\nback\\\\slash \"quoted\"\n"
              "# TYPE odd_total counter\n"
              "odd_total{why=\"a\\\"b\\\\c\\nd\"} 1\n");
}

TEST(MetricsText, FamiliesInRegistrationOrderEachWithOneHeader) {
    MetricsRegistry r;
    r.counter("b_total", "B", {{"k", "1"}});
    r.gauge("a", "A");
    r.counter("b_total", "B", {{"k", "2"}}).inc();
    EXPECT_EQ(r.render(),
              "# HELP b_total B\n# TYPE b_total counter\nb_total{k=\"1\"} 0\nb_total{k=\"2\"} 1\n"
              "# HELP a A\n# TYPE a gauge\na 0\n");
}

TEST(MetricsText, Numbers) {
    struct Case {
        double v;
        const char* text;
    };
    const Case cases[] = {{0, "0"},
                          {42, "42"},
                          {-3, "-3"},
                          {0.25, "0.25"},
                          {0.1, "0.1"},
                          {1.0 / 3, "0.3333333333333333"},
                          {1e20, "1e+20"},
                          {std::numeric_limits<double>::infinity(), "+Inf"},
                          {-std::numeric_limits<double>::infinity(), "-Inf"},
                          {std::numeric_limits<double>::quiet_NaN(), "NaN"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(metric_number(c.v), c.text);
    }
}

TEST(Metrics, ManyThreadsCountWithoutLoss) {
    MetricsRegistry r;
    constexpr int THREADS = 8;
    constexpr int EACH = 20000;
    std::vector<std::thread> ts;
    for (int t = 0; t < THREADS; ++t) {
        ts.emplace_back([&r, t] {
            // Each thread looks the metrics up itself, as separate modules would.
            MetricCounter& c = r.counter("n_total", "h");
            MetricHistogram& h = r.histogram("h_seconds", "h", {1});
            MetricGauge& g = r.gauge("g", "h", {{"t", std::to_string(t % 2)}});
            for (int i = 0; i < EACH; ++i) {
                c.inc();
                h.observe(i % 2 ? 0.5 : 2);
                g.add();
            }
        });
    }
    for (auto& t : ts) t.join();
    EXPECT_EQ(r.value("n_total"), THREADS * EACH);
    EXPECT_EQ(r.value("g"), THREADS * EACH);
    EXPECT_EQ(r.value("g", {{"t", "0"}}), THREADS / 2 * EACH);
    const std::string text = r.render();
    EXPECT_NE(text.find("h_seconds_bucket{le=\"1\"} " + std::to_string(THREADS * EACH / 2) + "\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("h_seconds_count " + std::to_string(THREADS * EACH) + "\n"),
              std::string::npos);
}

TEST(Metrics, ProcessRegistryIsOneObject) {
    EXPECT_EQ(&metrics(), &metrics());
}

}  // namespace
}  // namespace tolvane
