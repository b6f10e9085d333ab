// Webhooks: the signature against published HMAC-SHA256 vectors and values computed
// elsewhere, the back-off schedule, what each answer means, URL and settings checks, the
// SMS body, and one attempt of a queued entry against a scripted HTTP server on loopback
// (answered, refused, failing, down, too slow, cut by a shutdown).
#include "gateway/webhooks.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "foundation/lib.h"
#include "foundation/metrics.h"
#include "gateway/keys.h"
#include "gateway/mail_log_capture.h"
#include "support/status_check.h"

namespace tolvane {
namespace {

template <typename Pred>
bool wait_until(Pred pred, int ms = 20000) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end) {
        if (pred()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return pred();
}

// ---- signature ----

TEST(WebhookSignature, HmacMatchesPublishedVectors) {
    struct Case {
        std::string key, data, hex;
    };
    // RFC 4231 test cases 1 and 2, and the empty key and text.
    const Case cases[] = {
        {std::string(20, '\x0b'), "Hi There",
         "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
        {"Jefe", "what do ya want for nothing?",
         "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
        {"", "", "b613679a0814d9ec772f95d778c35fc5ff1697c493715653c6c712144292c5ad"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.data);
        EXPECT_EQ(hmac_sha256_hex(c.key, c.data), c.hex);
    }
}

TEST(WebhookSignature, SignsTimeDotBody) {
    // Values computed with Python's hmac module.
    EXPECT_EQ(webhook_signature("whsec_test", 1700000000, R"({"id":"m1","status":"delivered"})"),
              "t=1700000000,v1=06be301d39e4219dc4d5a408405623e1f9c288b023e4d42588aa88b0a36eecff");
    EXPECT_EQ(webhook_signature("\xc3\xa9t\xc3\xa9", 0, ""),
              "t=0,v1=bd9e1c27e1626b83a55a967ed465535b94a7825e1f5cd46fcd72d226436e6fde");
    // Another time or another body gives another signature.
    EXPECT_NE(webhook_signature("k", 1, "{}"), webhook_signature("k", 2, "{}"));
    EXPECT_NE(webhook_signature("k", 1, "{}"), webhook_signature("k", 1, "{} "));
}

// ---- back-off and answers ----

TEST(WebhookBackoff, DoublesFromTheFirstWaitUpToTheLongest) {
    WebhookRules r;  // 5 s to 300 s
    const std::pair<std::uint32_t, long> cases[] = {
        {0, 5000},
        {1, 5000},
        {2, 10000},
        {3, 20000},
        {4, 40000},
        {5, 80000},
        {6, 160000},
        {7, 300000},
        {8, 300000},
        {64, 300000},
        {4000000000u, 300000},
    };
    for (auto [attempts, ms] : cases) {
        SCOPED_TRACE(attempts);
        EXPECT_EQ(webhook_backoff_ms(r, attempts), ms);
    }
    WebhookRules flat{1000, 2000, 2000};
    EXPECT_EQ(webhook_backoff_ms(flat, 1), 2000);
    EXPECT_EQ(webhook_backoff_ms(flat, 9), 2000);
    WebhookRules odd{1000, 3000, 7000};
    EXPECT_EQ(webhook_backoff_ms(odd, 2), 6000);
    EXPECT_EQ(webhook_backoff_ms(odd, 3), 7000);
}

TEST(WebhookOutcome, EachStatusHasItsMeaning) {
    const std::pair<long, WebhookOutcome> cases[] = {
        {200, WebhookOutcome::delivered}, {201, WebhookOutcome::delivered},
        {204, WebhookOutcome::delivered}, {299, WebhookOutcome::delivered},
        {0, WebhookOutcome::retry},       {100, WebhookOutcome::retry},
        {301, WebhookOutcome::retry},     {304, WebhookOutcome::retry},
        {408, WebhookOutcome::retry},     {429, WebhookOutcome::retry},
        {500, WebhookOutcome::retry},     {503, WebhookOutcome::retry},
        {599, WebhookOutcome::retry},     {400, WebhookOutcome::refused},
        {401, WebhookOutcome::refused},   {404, WebhookOutcome::refused},
        {410, WebhookOutcome::refused},   {422, WebhookOutcome::refused},
        {499, WebhookOutcome::refused},
    };
    for (auto [status, want] : cases) {
        SCOPED_TRACE(status);
        EXPECT_EQ(webhook_outcome(status), want);
    }
}

// ---- URLs and settings ----

TEST(WebhookUrl, OnlyHttpAndHttpsWithAHost) {
    const std::pair<const char*, const char*> cases[] = {
        {"http://hooks.example/in", nullptr},
        {"https://hooks.example:8443/a/b?k=v", nullptr},
        {"HTTP://127.0.0.1:9/", nullptr},
        {"https://[::1]/x", nullptr},
        {"ftp://hooks.example/in", "is not an http or https URL"},
        {"file:///etc/passwd", "has no host"},
        {"", "is not a URL"},
        {"not a url", "is not a URL"},
        {"http://", "is not a URL"},
        {"//hooks.example/in", "is not a URL"},
    };
    for (auto [url, problem] : cases) {
        SCOPED_TRACE(url);
        Status valid = webhook_url_valid(url);
        EXPECT_EQ(valid.ok(), problem == nullptr);
        EXPECT_EQ(valid.reason(), problem != nullptr ? problem : "");
    }
}

class WebhookSettings : public ::testing::Test {
  protected:
    void SetUp() override { ini = sini_init(_settings); }
    void set(const char* key, const char* value) {
        ASSERT_EQ(sini_set_l(ini.get(), key, nullptr, value), 1) << key;
    }
    std::unique_ptr<SIni> ini;
};

TEST_F(WebhookSettings, MailOnlyNeedsNothing) {
    EXPECT_TRUE(webhook_setting_problems(ini.get()).empty());
    EXPECT_EQ(sms_deliver_of(ini.get()), SMS_DELIVER_MAIL);
    WebhookRules r = webhook_rules(ini.get());
    EXPECT_EQ(r.timeout_ms, 10000);
    EXPECT_EQ(r.retry_min_ms, 5000);
    EXPECT_EQ(r.retry_max_ms, 300000);
}

TEST_F(WebhookSettings, EachProblemIsNamed) {
    struct Case {
        std::vector<std::pair<const char*, const char*>> set;
        std::vector<std::string> problems;
    };
    const Case cases[] = {
        {{{"sms_webhook_url", "gopher://x/"}},
         {"sms_webhook_url (gopher://x/) is not an http or https URL"}},
        {{{"sms_deliver", "webhook"}},
         {"sms_deliver (webhook) needs sms_webhook_url",
          "sms_deliver (webhook) needs sms_webhook_secret"}},
        {{{"sms_deliver", "both"}, {"sms_webhook_url", "https://h/x"}},
         {"sms_deliver (both) needs sms_webhook_secret"}},
        {{{"sms_deliver", "webhook"},
          {"sms_webhook_url", "https://h/x"},
          {"sms_webhook_secret", "s"}},
         {}},
        {{{"webhook_retry_min", "61"}, {"webhook_retry_max", "60"}},
         {"webhook_retry_min (61) is above webhook_retry_max (60)"}},
    };
    for (const Case& c : cases) {
        SetUp();
        for (auto [k, v] : c.set) set(k, v);
        SCOPED_TRACE(c.set.front().first);
        EXPECT_EQ(webhook_setting_problems(ini.get()), c.problems);
    }
}

TEST_F(WebhookSettings, DeliverWordsAndRules) {
    set("sms_deliver", "both");
    EXPECT_EQ(sms_deliver_of(ini.get()), SMS_DELIVER_MAIL | SMS_DELIVER_WEBHOOK);
    SetUp();
    set("sms_deliver", "webhook");
    set("webhook_timeout", "3");
    set("webhook_retry_min", "2");
    set("webhook_retry_max", "9");
    EXPECT_EQ(sms_deliver_of(ini.get()), SMS_DELIVER_WEBHOOK);
    WebhookRules r = webhook_rules(ini.get());
    EXPECT_EQ(r.timeout_ms, 3000);
    EXPECT_EQ(r.retry_min_ms, 2000);
    EXPECT_EQ(r.retry_max_ms, 9000);
}

// ---- bodies and entries ----

TEST(WebhookBody, SmsFieldsInOrderWithUtcTime) {
    EXPECT_EQ(sms_webhook_body("+61412345678", "+61400000000", "hi \"there\"\n\xe2\x82\xac",
                               1700000000123, "smpp", 2),
              R"({"from":"+61412345678","to":"+61400000000","text":"hi \"there\"\n€",)"
              R"("received_at":"2023-11-14T22:13:20Z","transport":"smpp","parts":2})");
}

TEST(WebhookBody, BadUtf8IsReplacedNotThrown) {
    std::string body = sms_webhook_body("a", "", "x\xff\xfey", 0, "gsm", 1);
    EXPECT_EQ(body,
              "{\"from\":\"a\",\"to\":\"\",\"text\":\"x\xef\xbf\xbd\xef\xbf\xbdy\","
              "\"received_at\":\"1970-01-01T00:00:00Z\",\"transport\":\"gsm\",\"parts\":1}");
}

TEST(WebhookEntry, CarriesUrlBodySecretAndAFreshDeliveryId) {
    queue_entry a = webhook_entry("http://h/x", "{}", "sec");
    queue_entry b = webhook_entry("http://h/x", "{}", "sec");
    EXPECT_EQ(a.kind, QUEUE_WEBHOOK);
    EXPECT_EQ(a.destination, "http://h/x");
    EXPECT_EQ(a.text, "{}");
    EXPECT_EQ(webhook_secret(a), "sec");
    EXPECT_EQ(webhook_delivery_id(a).size(), 32u);
    EXPECT_EQ(webhook_delivery_id(a).find_first_not_of("0123456789abcdef"), std::string::npos);
    EXPECT_NE(webhook_delivery_id(a), webhook_delivery_id(b));
}

// ---- one attempt against a scripted receiver ----

// An HTTP server on loopback that answers each request with the next scripted status
// (200 when none is left), or holds it unanswered while `hang` is set.
class ScriptedHttp {
  public:
    struct Request {
        std::string head, body;
        std::string header(const std::string& name) const {
            std::string key = "\r\n" + name + ": ";
            std::size_t at = head.find(key);
            if (at == std::string::npos) return "<none>";
            at += key.size();
            return head.substr(at, head.find("\r\n", at) - at);
        }
    };
    ScriptedHttp() {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&a), len) != 0 || ::listen(fd_, 8) != 0 ||
            ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0)
            return;
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    ~ScriptedHttp() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        ::close(fd_);
    }
    int port() const { return port_; }
    std::string url() const { return strprintf("http://127.0.0.1:%d/hook?token=x", port_); }
    void script(std::vector<int> statuses) {
        std::lock_guard<std::mutex> g(mu_);
        script_ = std::move(statuses);
    }
    std::vector<Request> requests() {
        std::lock_guard<std::mutex> g(mu_);
        return requests_;
    }
    std::atomic<bool> hang{false};
    // Answers keep the connection open (else each is closed after its answer).
    std::atomic<bool> keep_alive{false};
    // The next request that comes on a kept connection is read and the connection closed
    // unanswered (once).
    std::atomic<bool> drop_reused{false};
    std::atomic<int> connections{0};  // accepted so far
    std::atomic<int> dropped{0};      // requests dropped by drop_reused

  private:
    bool wait_readable(int fd) {
        pollfd p{fd, POLLIN, 0};
        while (!stop_) {
            if (::poll(&p, 1, 20) > 0) return true;
        }
        return false;
    }
    void serve() {
        while (wait_readable(fd_)) {
            int c = ::accept(fd_, nullptr, nullptr);
            if (c < 0) continue;
            ++connections;
            for (int served = 0; handle(c, served); ++served) {
            }
            ::close(c);
        }
    }
    // One request on connection c (served: how many it carried before); true when the
    // connection stays open for the next.
    bool handle(int c, int served) {
        std::string in;
        char buf[4096];
        std::size_t end = std::string::npos;
        while (end == std::string::npos || in.size() < end + 4 + content_length(in)) {
            if (!wait_readable(c)) return false;
            ssize_t n = ::read(c, buf, sizeof buf);
            if (n <= 0) return false;
            in.append(buf, static_cast<std::size_t>(n));
            end = in.find("\r\n\r\n");
        }
        if (served > 0 && drop_reused.exchange(false)) {
            // A kept connection that dies under the next request: no answer at all.
            ++dropped;
            return false;
        }
        Request r{in.substr(0, end + 2), in.substr(end + 4)};
        int status = 200;
        {
            std::lock_guard<std::mutex> g(mu_);
            requests_.push_back(r);
            if (!script_.empty()) {
                status = script_.front();
                script_.erase(script_.begin());
            }
        }
        while (hang && !stop_) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        std::string out =
            strprintf("HTTP/1.1 %d X\r\nContent-Length: 4\r\nConnection: %s\r\n\r\nnope", status,
                      keep_alive ? "keep-alive" : "close");
        (void)::send(c, out.data(), out.size(), MSG_NOSIGNAL);
        return keep_alive;
    }
    static std::size_t content_length(const std::string& head) {
        std::size_t at = head.find("Content-Length: ");
        return at == std::string::npos ? 0 : std::stoul(head.substr(at + 16));
    }

    int fd_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::mutex mu_;
    std::vector<int> script_;
    std::vector<Request> requests_;
};

// The count of webhook attempts with that outcome so far.
std::uint64_t counted(const char* outcome) {
    return metrics().counter(METRIC_WEBHOOKS, "", {{"outcome", outcome}}).value();
}

class WebhookAttempt : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string tmpl = (std::filesystem::temp_directory_path() / "webhookXXXXXX").string();
        dir = mkdtemp(tmpl.data());
        queue_file_options o;
        o.sync = false;
        Result<std::unique_ptr<QueueStore>> opened = queue_file_open(dir + "/queue", o);
        ASSERT_TRUE(succeeded(opened));
        store = std::move(*opened);
        sender.rules = {2000, 5000, 300000};
    }
    void TearDown() override {
        store.reset();
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
    // Stores one webhook to url and runs one attempt as a delivery worker would.
    queue_entry attempt_once(const std::string& url) {
        std::vector<queue_entry> batch{webhook_entry(url, R"({"n":1})", "s3cret")};
        EXPECT_TRUE(succeeded(store->enqueue(batch)));
        std::optional<queue_entry> e = store->claim(QUEUE_WEBHOOK, delivery_now_ms());
        EXPECT_TRUE(e);
        queue_entry copy = *e;
        DeliveryJob job(*store, std::move(*e));
        deliver_webhook_entry(sender, job);
        EXPECT_TRUE(job.finished());
        return copy;
    }
    // The entry as the queue holds it now (nullopt once it is done).
    std::optional<queue_entry> stored() {
        std::vector<queue_entry> all = store->list(QUEUE_WEBHOOK);
        if (all.empty()) return std::nullopt;
        return all.front();
    }

    std::string dir;
    std::unique_ptr<QueueStore> store;
    WebhookSender sender;
    ScriptedHttp http;
};

TEST_F(WebhookAttempt, TwoHundredEndsTheEntryAfterASignedPost) {
    std::int64_t before = delivery_now_ms() / 1000;
    const std::uint64_t delivered = counted("delivered");
    queue_entry e = attempt_once(http.url());
    EXPECT_FALSE(stored());
    EXPECT_EQ(counted("delivered"), delivered + 1);
    std::vector<ScriptedHttp::Request> got = http.requests();
    ASSERT_EQ(got.size(), 1u);
    const ScriptedHttp::Request& r = got[0];
    EXPECT_EQ(r.head.substr(0, r.head.find("\r\n")), "POST /hook?token=x HTTP/1.1");
    EXPECT_EQ(r.body, R"({"n":1})");
    EXPECT_EQ(r.header("Content-Type"), "application/json");
    EXPECT_EQ(r.header("X-Tolvane-Delivery"), webhook_delivery_id(e));
    EXPECT_EQ(r.header(":secret"), "<none>") << "the secret never leaves the gateway";
    std::string sig = r.header("X-Tolvane-Signature");
    ASSERT_EQ(sig.rfind("t=", 0), 0u) << sig;
    std::int64_t t = std::stoll(sig.substr(2));
    EXPECT_GE(t, before);
    EXPECT_LE(t, delivery_now_ms() / 1000);
    EXPECT_EQ(sig, webhook_signature("s3cret", t, r.body));
}

TEST_F(WebhookAttempt, ServerErrorWaitsItsBackOffWithTheSameDeliveryId) {
    http.script({503, 500});
    std::int64_t before = delivery_now_ms();
    const std::uint64_t retried = counted("retried");
    queue_entry e = attempt_once(http.url());
    std::optional<queue_entry> s = stored();
    ASSERT_TRUE(s);
    EXPECT_EQ(counted("retried"), retried + 1);
    EXPECT_EQ(s->attempts, 1u);
    EXPECT_EQ(s->last_error, "answered 503");
    EXPECT_GE(s->not_before_ms, before + 5000);
    EXPECT_LE(s->not_before_ms, delivery_now_ms() + 5000);
    // The second attempt waits twice as long; both carry the one delivery id.
    std::optional<queue_entry> again = store->claim(QUEUE_WEBHOOK, s->not_before_ms);
    ASSERT_TRUE(again);
    DeliveryJob job(*store, std::move(*again));
    std::int64_t second = delivery_now_ms();
    deliver_webhook_entry(sender, job);
    s = stored();
    ASSERT_TRUE(s);
    EXPECT_EQ(s->attempts, 2u);
    EXPECT_GE(s->not_before_ms, second + 10000);
    std::vector<ScriptedHttp::Request> got = http.requests();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].header("X-Tolvane-Delivery"), webhook_delivery_id(e));
    EXPECT_EQ(got[1].header("X-Tolvane-Delivery"), webhook_delivery_id(e));
}

TEST_F(WebhookAttempt, ClientErrorEndsTheEntryWithALogLine) {
    LogCapture log;
    http.script({404});
    const std::uint64_t failed = counted("failed");
    queue_entry e = attempt_once(http.url());
    EXPECT_FALSE(stored());
    EXPECT_EQ(counted("failed"), failed + 1);
    EXPECT_TRUE(log.has("Webhook " + webhook_delivery_id(e) +
                        " to [http://127.0.0.1:" + std::to_string(http.port()) +
                        "/hook] dropped after 1 attempts: refused with 404 nope"));
}

// An attempt the queue cannot count sends nothing: the reason is logged and the entry
// waits for a later try.
TEST_F(WebhookAttempt, AttemptTheStoreCannotCountPostsNothing) {
    std::vector<queue_entry> batch{webhook_entry(http.url(), R"({"n":1})", "s3cret")};
    ASSERT_TRUE(succeeded(store->enqueue(batch)));
    queue_file_options o;
    o.read_only = true;
    Result<std::unique_ptr<QueueStore>> listing = queue_file_open(dir + "/queue", o);
    ASSERT_TRUE(succeeded(listing));
    std::optional<queue_entry> e = (*listing)->claim(QUEUE_WEBHOOK, delivery_now_ms());
    ASSERT_TRUE(e);
    LogCapture log;
    DeliveryJob job(**listing, std::move(*e));
    deliver_webhook_entry(sender, job);
    EXPECT_TRUE(job.finished());
    EXPECT_TRUE(http.requests().empty());
    EXPECT_TRUE(log.has("Queue entry " + std::to_string(batch[0].id) +
                        ": cannot mark the attempt (the queue is open for reading only), tried"
                        " again later"));
    ASSERT_TRUE(stored());
    EXPECT_EQ(stored()->attempts, 0u);
}

TEST_F(WebhookAttempt, TooManyRequestsIsRetried) {
    http.script({429});
    attempt_once(http.url());
    std::optional<queue_entry> s = stored();
    ASSERT_TRUE(s);
    EXPECT_EQ(s->last_error, "answered 429");
}

TEST_F(WebhookAttempt, NobodyListeningIsRetried) {
    int port = 0;
    {
        ScriptedHttp gone;  // a port that was just free, closed again
        port = gone.port();
    }
    attempt_once(strprintf("http://127.0.0.1:%d/x", port));
    std::optional<queue_entry> s = stored();
    ASSERT_TRUE(s);
    EXPECT_EQ(s->attempts, 1u);
    EXPECT_NE(s->last_error.find("onnect"), std::string::npos) << s->last_error;
}

TEST_F(WebhookAttempt, SilentReceiverTimesOutAndIsRetried) {
    http.hang = true;
    sender.rules.timeout_ms = 300;
    attempt_once(http.url());
    http.hang = false;
    std::optional<queue_entry> s = stored();
    ASSERT_TRUE(s);
    EXPECT_NE(s->last_error.find("timed out"), std::string::npos) << s->last_error;
}

TEST_F(WebhookAttempt, ShutdownCutGivesTheEntryBackUncounted) {
    http.hang = true;
    std::thread cutter([this] {
        ASSERT_TRUE(wait_until([this] { return !http.requests().empty(); }));
        sender.cutting = true;
    });
    attempt_once(http.url());
    cutter.join();
    http.hang = false;
    std::optional<queue_entry> s = stored();
    ASSERT_TRUE(s);
    EXPECT_EQ(s->attempts, 0u);
    EXPECT_EQ(s->not_before_ms, 0);
}

}  // namespace
}  // namespace tolvane

namespace tolvane {
namespace {

// ---- connections kept between POSTs ----

TEST_F(WebhookAttempt, SuccessivePostsShareOneKeptConnection) {
    // Each row: whether the receiver keeps connections; the connections five POSTs take.
    struct Case {
        bool keep_alive;
        int connections;
    };
    for (const Case c : {Case{true, 1}, Case{false, 5}}) {
        SCOPED_TRACE(c.keep_alive ? "keep-alive" : "close");
        WebhookSender fresh;
        fresh.rules = sender.rules;
        ScriptedHttp receiver;
        receiver.keep_alive = c.keep_alive;
        const std::uint64_t delivered = counted("delivered");
        for (int i = 0; i < 5; ++i) {
            std::vector<queue_entry> batch{webhook_entry(receiver.url(), R"({"n":2})", "k")};
            ASSERT_TRUE(succeeded(store->enqueue(batch)));
            std::optional<queue_entry> e = store->claim(QUEUE_WEBHOOK, delivery_now_ms());
            ASSERT_TRUE(e);
            DeliveryJob job(*store, std::move(*e));
            deliver_webhook_entry(fresh, job);
        }
        EXPECT_EQ(counted("delivered"), delivered + 5);
        EXPECT_EQ(receiver.requests().size(), 5u);
        EXPECT_EQ(receiver.connections.load(), c.connections);
        EXPECT_EQ(fresh.handles.made(), 1u) << "one worker, one handle";
        EXPECT_FALSE(stored());
    }
}

TEST_F(WebhookAttempt, DeadKeptConnectionCostsNoAttempt) {
    http.keep_alive = true;
    attempt_once(http.url());
    ASSERT_EQ(http.connections.load(), 1);
    // The receiver drops the kept connection under the next POST: libcurl sends it again
    // on a new one, and the entry ends delivered at its first attempt.
    http.drop_reused = true;
    const std::uint64_t retried = counted("retried");
    const std::uint64_t delivered = counted("delivered");
    std::vector<queue_entry> batch{webhook_entry(http.url(), R"({"n":3})", "k")};
    ASSERT_TRUE(succeeded(store->enqueue(batch)));
    std::optional<queue_entry> e = store->claim(QUEUE_WEBHOOK, delivery_now_ms());
    ASSERT_TRUE(e);
    DeliveryJob job(*store, std::move(*e));
    deliver_webhook_entry(sender, job);
    EXPECT_EQ(http.dropped.load(), 1);
    EXPECT_EQ(http.connections.load(), 2);
    EXPECT_EQ(counted("retried"), retried);
    EXPECT_EQ(counted("delivered"), delivered + 1);
    EXPECT_FALSE(stored());
    std::vector<ScriptedHttp::Request> got = http.requests();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[1].body, R"({"n":3})");
    EXPECT_EQ(got[1].header("X-Tolvane-Delivery"), webhook_delivery_id(batch[0]));
}

}  // namespace
}  // namespace tolvane
