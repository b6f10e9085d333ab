// What the status page, /health and /metrics are built from: record lines, today's day
// files read as they grow, and whole requests for /health and /metrics.
#include "gateway/web_status.h"

#include <gtest/gtest.h>

#include <ctime>
#include <fstream>
#include <string>
#include <vector>

#include "foundation/metrics.h"
#include "foundation/ssha.h"
#include "gateway/gateway.h"
#include "gateway/gateway_metrics.h"
#include "gateway/spine_support.h"
#include "gateway/web_admin.h"
#include "gateway/web_support.h"
#include "records/msgrec.h"
#include "records/stores.h"

namespace tolvane {
namespace {

using webtest::basic;
using webtest::InDir;
using webtest::Link;
using webtest::Sandbox;

TEST(WebRecord, LinesAreSplitIntoTheirFields) {
    struct Case {
        const char* line;
        char delim;
        bool ok;
        const char* status;
        const char* to;
        const char* text;
    };
    const Case cases[] = {
        {"SUCCESS|1.2.3.4|a@b|+61400|Tue Dec  8 13:24:42 2026|NONE|", '|', true, "SUCCESS",
         "+61400", "NONE"},
        {"FAILURE|c|f|t|when|why | with bars|", '|', true, "FAILURE", "t", "why | with bars"},
        {"FAILURE|c|f|t|when|no end delimiter", '|', true, "FAILURE", "t", "no end delimiter"},
        {"SUCCESS\tc\tf\tt\twhen\tNONE\t\r", '\t', true, "SUCCESS", "t", "NONE"},
        {"SUCCESS|c|f|t|when|", '|', true, "SUCCESS", "t", ""},
        {"SUCCESS|c|f|t", '|', false, "", "", ""},
        {"", '|', false, "", "", ""},
        {"SUCCESS|c|f|t|when|NONE|", '\t', false, "", "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        record_outcome o;
        EXPECT_EQ(web_parse_record(c.line, c.delim, o), c.ok);
        if (!c.ok) continue;
        EXPECT_EQ(o.status, c.status);
        EXPECT_EQ(o.to, c.to);
        EXPECT_EQ(o.text, c.text);
    }
}

// What the record writer makes of values from outside, the status page reads back as
// they were: no field moves ("From=\"x", "To=10.9.9.9" of an unescaped bar).
TEST(WebRecord, WrittenRecordsReadBackWhateverTheirValuesHold) {
    const struct {
        const char* name;
        char delim;
        std::string from, to, text;
    } rows[] = {
        {"bar in a quoted local part", '|', "\"x|10.9.9.9\"@corp.example", "+61412345678", "NONE"},
        {"tab with tab delimiter", '\t', "a\tb@x", "+614\t1", "why\tnot"},
        {"line ends", '|', "a@x", "+61400", "No\r\nSUCCESS|forged|line|"},
        {"escape and backslash", '|', "\x1b[31m@x", "\\|", "ends in \\"},
        {"Cyrillic and emoji", '|', "ivan@x", "+7900", "Привет мир 😀 | тест"},
    };
    const std::time_t when = 1765200282;
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        const std::string line =
            msgrec_record_line("FAILURE", "10.1.1.1", r.from, r.to, when, r.text, r.delim);
        ASSERT_EQ(line.back(), '\n');
        EXPECT_EQ(line.find('\n'), line.size() - 1) << "one line";
        record_outcome o;
        ASSERT_TRUE(web_parse_record(line.substr(0, line.size() - 1), r.delim, o));
        EXPECT_EQ(o.status, "FAILURE");
        EXPECT_EQ(o.client, "10.1.1.1");
        EXPECT_EQ(o.from, r.from);
        EXPECT_EQ(o.to, r.to);
        EXPECT_EQ(o.when.size(), 24u);
        EXPECT_EQ(o.text, r.text);
    }
}

// A text over the limit is cut at 999 characters, not bytes, and never inside one.
TEST(WebRecord, LongTextsAreCutAtWholeCharacters) {
    std::string text;
    for (int i = 0; i < 700; ++i) text += "ж";
    const std::string line = msgrec_record_line("SUCCESS", "c", "f", "t", 0, text + text, '|');
    record_outcome o;
    ASSERT_TRUE(web_parse_record(line.substr(0, line.size() - 1), '|', o));
    std::string want;
    for (int i = 0; i < 999; ++i) want += "ж";
    EXPECT_EQ(o.text, want);
}

class DayFiles : public ::testing::Test {
  protected:
    void append(const std::string& kind, const std::string& text) {
        std::ofstream(box.path(msgrec_day_file(now, kind)), std::ios::app) << text;
    }
    static std::string line(const std::string& status, const std::string& client,
                            const std::string& to, const std::string& text = "NONE") {
        return status + "|" + client + "|from@x|" + to + "|Tue Dec  8 13:24:42 2026|" + text +
               "|\n";
    }
    day_summary read() { return web_day_summary(reader, box.dir(), now, '|'); }
    Sandbox box;
    DayFileReader reader;  // the read positions carried from one read to the next
    std::time_t now = std::time(nullptr);
};

TEST_F(DayFiles, CountsOfTodayAndTheLastOutcomesNewestFirst) {
    EXPECT_EQ(read().sent, 0);
    append("rec", line("SUCCESS", "1.1.1.1", "+1") + line("FAILURE", "1.1.1.1", "+2", "busy"));
    append("log", line("SUCCESS", "SMS", "a@x") + line("FAILURE", "LOCAL", "+3"));
    day_summary d = read();
    EXPECT_EQ(d.sent, 1);
    EXPECT_EQ(d.failed, 1);
    EXPECT_EQ(d.received, 1);  // the bounce notice (LOCAL) is not a received SMS
    ASSERT_EQ(d.last.size(), 4u);
    EXPECT_EQ(d.last[0].direction, "SMS to mail");
    EXPECT_EQ(d.last[0].to, "+3");
    EXPECT_EQ(d.last[2].text, "busy");

    // Only what is appended afterwards is read, and an unfinished line waits for its end.
    append("rec", line("SUCCESS", "1.1.1.1", "+4") + "SUCCESS|1.1.1.1|f|+5|when|NO");
    d = read();
    EXPECT_EQ(d.sent, 2);
    append("rec", "NE|\n");
    d = read();
    EXPECT_EQ(d.sent, 3);
    EXPECT_EQ(d.last[0].to, "+5");
    EXPECT_EQ(d.last[0].text, "NONE");
}

TEST_F(DayFiles, OnlyTheLast20AreKeptAndALongLineIsSkipped) {
    std::string many;
    for (int i = 0; i < 30; ++i) many += line("SUCCESS", "c", "+" + std::to_string(i));
    many += "SUCCESS|c|f|" + std::string(5000, 'x') + "|when|NONE|\n";
    many += line("FAILURE", "c", "+last");
    append("rec", many);
    const day_summary d = read();
    EXPECT_EQ(d.sent, 30);
    EXPECT_EQ(d.failed, 1);
    ASSERT_EQ(d.last.size(), WEB_STATUS_OUTCOMES);
    EXPECT_EQ(d.last[0].to, "+last");
    EXPECT_EQ(d.last[1].to, "+29");
    EXPECT_EQ(d.last[19].to, "+11");
}

TEST_F(DayFiles, AFileReplacedOrCutIsReadAgainFromItsStart) {
    append("rec", line("SUCCESS", "c", "+1") + line("SUCCESS", "c", "+2"));
    EXPECT_EQ(read().sent, 2);
    // Folded away and started again (a new file under the same name).
    std::remove(box.path(msgrec_day_file(now, "rec")).c_str());
    append("rec", line("FAILURE", "c", "+3"));
    day_summary d = read();
    EXPECT_EQ(d.sent, 0);
    EXPECT_EQ(d.failed, 1);
    std::remove(box.path(msgrec_day_file(now, "rec")).c_str());
    d = read();
    EXPECT_EQ(d.failed, 0);
    EXPECT_TRUE(d.last.empty());
}

// ---- /health and /metrics through command_thread ----

class HealthAndMetrics : public ::testing::Test {
  protected:
    void SetUp() override {
        settings("");
        box.write("admin.dat", "admin:" + ssha_encode("s3cret") + "\n");
    }
    void TearDown() override {
        web_set_health_probe(gw, nullptr);
        sini_free(gw.settings);
    }
    void settings(const std::string& extra) {
        box.write("tolvane.ini", "home " + box.dir() + "\nlogpath " + box.dir() +
                                     "\nwebpath " TOLVANE_SOURCE_DIR "/etc/web\n" + extra);
        ASSERT_TRUE(testing_support::gateway_load_settings(gw, box.path("tolvane.ini")));
    }
    std::string get(const std::string& target, const std::string& auth = "") {
        std::string raw = "GET " + target + " HTTP/1.0\r\n";
        if (!auth.empty()) raw += "Authorization: " + auth + "\r\n";
        InDir in(box.dir());
        Link link;
        link.send(raw + "\r\n");
        command_thread(gw, link.ch.get());
        return link.reply();
    }
    static web_health_item item(const char* name, bool up, const char* why = "") {
        web_health_item i;
        i.name = name;
        i.role = "send";
        i.up = up;
        i.why = why;
        return i;
    }
    Gateway gw;
    Sandbox box;
};

// A probe is installed into one gateway's web channel: another gateway's answers do not
// see its parts.
TEST_F(HealthAndMetrics, AProbeBelongsToItsGateway) {
    std::vector<web_health_item> parts = {item("smpp", false, "unbound")};
    web_set_health_probe(gw, [&parts] { return parts; });
    Gateway other;
    EXPECT_TRUE(web_health_now(other).empty());
    ASSERT_EQ(web_health_now(gw).size(), 1u);
    EXPECT_EQ(web_health_now(gw)[0].why, "unbound");
    EXPECT_EQ(get("/health").rfind("HTTP/1.0 503 ", 0), 0u);
}

TEST_F(HealthAndMetrics, HealthSaysOkOnlyWhenEveryPartIsUp) {
    EXPECT_EQ(get("/health").rfind("HTTP/1.0 200 OK\r\n", 0), 0u);
    std::vector<web_health_item> parts = {item("smtp", true), item("smpp", true)};
    web_set_health_probe(gw, [&parts] { return parts; });
    std::string page = get("/health");
    EXPECT_EQ(page.rfind("HTTP/1.0 200 OK\r\n", 0), 0u) << page;
    EXPECT_NE(page.find("Content-Length: 3\r\n"), std::string::npos);
    EXPECT_EQ(page.substr(page.size() - 7), "\r\n\r\nok\n");

    parts = {item("smtp", true), item("smpp", false, "not bound, reconnecting"),
             item("gsm", false)};
    page = get("/health");
    EXPECT_EQ(page.rfind("HTTP/1.0 503 Service Unavailable\r\n", 0), 0u) << page;
    EXPECT_NE(page.find("\r\n\r\nsmpp: not bound, reconnecting\ngsm: down\n"), std::string::npos)
        << page;
    EXPECT_EQ(page.find("smtp:"), std::string::npos);
}

TEST_F(HealthAndMetrics, WebAllowAppliesToHealthAndMetricsAndMetricsNeedsAPassword) {
    std::string page = get("/metrics");
    EXPECT_EQ(page.rfind("HTTP/1.0 401 Unauthorized\r\n", 0), 0u) << page;
    page = get("/metrics", basic("admin", "s3cret"));
    EXPECT_EQ(page.rfind("HTTP/1.0 200 OK\r\n", 0), 0u) << page;
    EXPECT_NE(page.find("Content-Type: text/plain; version=0.0.4; charset=utf-8\r\n"),
              std::string::npos);

    settings("metrics_open true\n");
    page = get("/metrics");
    EXPECT_EQ(page.rfind("HTTP/1.0 200 OK\r\n", 0), 0u) << page;
    // Open metrics open nothing else.
    EXPECT_EQ(get("/").rfind("HTTP/1.0 401 Unauthorized\r\n", 0), 0u);

    settings("metrics_open true\nweb_allow 10.*\n");
    for (const char* target : {"/metrics", "/health"}) {
        SCOPED_TRACE(target);
        page = get(target, basic("admin", "s3cret"));
        EXPECT_TRUE(page.find("id=\"banned\"") != std::string::npos) << page;
    }
}

TEST_F(HealthAndMetrics, MetricsShowTheCountsAndTheStateOfEachPart) {
    settings("metrics_open true\n");
    const double before = metrics().value(METRIC_SMS_SENT, {{"transport", "robot"}});
    gateway_count_sms_sent(SMS_ROBOT, 0.3);
    gateway_count_sms_sent(SMS_ROBOT, 0.7);
    std::vector<web_health_item> parts = {item("smtp", true), item("robot", false)};
    web_set_health_probe(gw, [&parts] { return parts; });
    const std::string page = get("/metrics");
    EXPECT_EQ(metrics().value(METRIC_SMS_SENT, {{"transport", "robot"}}), before + 2);
    EXPECT_NE(page.find("# TYPE tolvane_sms_sent_total counter\n"), std::string::npos) << page;
    EXPECT_NE(page.find("tolvane_sms_sent_total{transport=\"robot\"} " + metric_number(before + 2) +
                        "\n"),
              std::string::npos)
        << page;
    EXPECT_NE(page.find("tolvane_transport_up{transport=\"robot\",role=\"send\"} 0\n"),
              std::string::npos);
    EXPECT_NE(page.find("tolvane_transport_up{transport=\"smtp\",role=\"send\"} 1\n"),
              std::string::npos);
    EXPECT_NE(page.find("tolvane_mail_to_sms_seconds_bucket{le=\"0.5\"} "), std::string::npos);
    EXPECT_NE(page.find("tolvane_queue_length 0\n"), std::string::npos);
}

TEST(GatewayCounts, MailOutcomesGoToTheirOwnCounters) {
    const double received = metrics().value(METRIC_MAILS_RECEIVED);
    const double limit = metrics().value(METRIC_MAILS_REFUSED, {{"reason", "limit"}});
    const double data = metrics().value(METRIC_MAILS_REFUSED, {{"reason", "data"}});
    gateway_count_mail(MAIL_RECEIVED);
    gateway_count_mail(MAIL_REFUSED_LIMIT);
    gateway_count_mail(MAIL_REFUSED_LIMIT);
    gateway_count_mail(MAIL_REFUSED_DATA);
    gateway_count_sms_failed(99);  // no such transport: nothing, and no crash
    EXPECT_EQ(metrics().value(METRIC_MAILS_RECEIVED), received + 1);
    EXPECT_EQ(metrics().value(METRIC_MAILS_REFUSED, {{"reason", "limit"}}), limit + 2);
    EXPECT_EQ(metrics().value(METRIC_MAILS_REFUSED, {{"reason", "data"}}), data + 1);
}

}  // namespace
}  // namespace tolvane
