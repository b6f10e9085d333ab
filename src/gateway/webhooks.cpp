// Webhooks (see webhooks.h): the entry, its signature and its POST.
//
// libcurl does the HTTP (and TLS for https URLs, with the system's CA certificates), with
// easy handles kept by the lane so that their connections are reused; nlohmann's JSON library
// writes the bodies; OpenSSL's EVP_Q_mac computes the HMAC.
#include "gateway/webhooks.h"

#include <curl/curl.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <algorithm>
#include <ctime>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>

#include "foundation/lib.h"
#include "foundation/log.h"
#include "gateway/gateway.h"
#include "gateway/gateway_metrics.h"
#include "gateway/keys.h"
#include "records/stores.h"

namespace tolvane {

namespace {

constexpr const char* DELIVERY_HEADER = "X-Tolvane-Delivery";
constexpr const char* SECRET_FIELD = ":secret";
// What of a receiver's answer is read (the rest is dropped): enough for a log line.
constexpr std::size_t ANSWER_KEEP = 200;

std::string hex_of(const unsigned char* p, std::size_t n) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(n * 2);
    for (std::size_t i = 0; i < n; ++i) {
        out.push_back(digits[p[i] >> 4]);
        out.push_back(digits[p[i] & 15]);
    }
    return out;
}

// A fresh delivery id: 128 random bits.
std::string new_delivery_id() {
    unsigned char b[16];
    if (RAND_bytes(b, sizeof b) != 1) {
        // Without the generator an id still has to be unique in this process.
        static std::atomic<std::uint64_t> seq{0};
        return strprintf("%016llx%016llx", static_cast<unsigned long long>(delivery_now_ms()),
                         static_cast<unsigned long long>(++seq));
    }
    return hex_of(b, sizeof b);
}

std::string field(const queue_entry& e, std::string_view name) {
    for (const auto& [n, v] : e.headers)
        if (n == name) return v;
    return std::string();
}

// The URL for a log line: its query (which may carry a token) left out.
std::string url_for_log(std::string_view url) {
    std::size_t q = url.find_first_of("?#");
    return cut(url.substr(0, q), 200);
}

void curl_once() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// A handle of the lane's pool for one POST, given back (with its connection) after it.
struct CurlEasy {
    explicit CurlEasy(WebhookHandles& from) : pool(from), h(from.take()) {}
    ~CurlEasy() {
        pool.give(h);
        curl_slist_free_all(headers);
    }
    CurlEasy(const CurlEasy&) = delete;
    CurlEasy& operator=(const CurlEasy&) = delete;
    WebhookHandles& pool;
    CURL* h;
    curl_slist* headers = nullptr;
};

size_t keep_answer(char* data, size_t size, size_t n, void* user) {
    auto* out = static_cast<std::string*>(user);
    const size_t len = size * n;
    if (out->size() < ANSWER_KEEP) out->append(data, std::min(len, ANSWER_KEEP - out->size()));
    return len;
}

int check_cut(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    return static_cast<const std::atomic<bool>*>(user)->load() ? 1 : 0;
}

// The outcome of one POST.
struct PostResult {
    long status = 0;     // HTTP status; 0 without an answer
    bool cut = false;    // aborted by the shutdown
    std::string error;   // libcurl's reason when there was no answer
    std::string answer;  // the start of the answer's body
};

PostResult post(WebhookSender& s, const queue_entry& e) {
    curl_once();
    PostResult r;
    CurlEasy c(s.handles);
    if (c.h == nullptr) {
        r.error = "cannot make an HTTP handle";
        return r;
    }
    const std::string sig = webhook_signature(webhook_secret(e), delivery_now_ms() / 1000, e.text);
    for (std::string h :
         {std::string("Content-Type: application/json"), "X-Tolvane-Signature: " + sig,
          std::string(DELIVERY_HEADER) + ": " + webhook_delivery_id(e), std::string("Expect:")})
        c.headers = curl_slist_append(c.headers, h.c_str());
    char errbuf[CURL_ERROR_SIZE] = "";
    curl_easy_setopt(c.h, CURLOPT_URL, e.destination.c_str());
    curl_easy_setopt(c.h, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(c.h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c.h, CURLOPT_HTTPHEADER, c.headers);
    curl_easy_setopt(c.h, CURLOPT_POSTFIELDS, e.text.data());
    curl_easy_setopt(c.h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(e.text.size()));
    curl_easy_setopt(c.h, CURLOPT_TIMEOUT_MS, s.rules.timeout_ms);
    curl_easy_setopt(c.h, CURLOPT_USERAGENT, "tolvane/" TOLVANE_VERSION);
    curl_easy_setopt(c.h, CURLOPT_ERRORBUFFER, errbuf);
    curl_easy_setopt(c.h, CURLOPT_WRITEFUNCTION, keep_answer);
    curl_easy_setopt(c.h, CURLOPT_WRITEDATA, &r.answer);
    curl_easy_setopt(c.h, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(c.h, CURLOPT_XFERINFOFUNCTION, check_cut);
    curl_easy_setopt(c.h, CURLOPT_XFERINFODATA, &s.cutting);
    CURLcode rc = curl_easy_perform(c.h);
    if (rc == CURLE_OK) {
        curl_easy_getinfo(c.h, CURLINFO_RESPONSE_CODE, &r.status);
        return r;
    }
    r.cut = rc == CURLE_ABORTED_BY_CALLBACK;
    r.error = errbuf[0] != '\0' ? std::string(errbuf) : std::string(curl_easy_strerror(rc));
    return r;
}

void write_failure(const WebhookSender& s, const queue_entry& e, const std::string& why) {
    gateway_count_webhook(WEBHOOK_FAILED);
    emsg("Webhook %s to [%s] dropped after %u attempts: %s", webhook_delivery_id(e).c_str(),
         url_for_log(e.destination).c_str(), e.attempts, why.c_str());
    if (s.state != nullptr)
        state_write(*s.state, "FAILURE", "WEBHOOK", webhook_delivery_id(e),
                    url_for_log(e.destination), why, "log", false);
}

std::string utc_text(std::int64_t ms) {
    std::time_t t = static_cast<std::time_t>(ms / 1000);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return buf;
}

}  // namespace

WebhookHandles::~WebhookHandles() {
    for (void* h : idle_) curl_easy_cleanup(h);
}

void* WebhookHandles::take() {
    {
        std::lock_guard<std::mutex> g(lock_);
        if (!idle_.empty()) {
            CURL* h = idle_.back();
            idle_.pop_back();
            return h;
        }
    }
    curl_once();
    CURL* h = curl_easy_init();
    if (h != nullptr) {
        std::lock_guard<std::mutex> g(lock_);
        ++made_;
    }
    return h;
}

void WebhookHandles::give(void* h) {
    if (h == nullptr) return;
    // Its options pointed at the last POST's header list, buffers and answer: back to the
    // defaults. The connection cache stays.
    curl_easy_reset(h);
    std::lock_guard<std::mutex> g(lock_);
    idle_.push_back(h);
}

std::size_t WebhookHandles::made() const {
    std::lock_guard<std::mutex> g(lock_);
    return made_;
}

WebhookRules webhook_rules(const SIni* ini) {
    WebhookRules r;
    r.timeout_ms = sini_number(ini, WEBHOOK_TIMEOUT, 10) * 1000;
    r.retry_min_ms = sini_number(ini, WEBHOOK_RETRY_MIN, 5) * 1000;
    r.retry_max_ms = sini_number(ini, WEBHOOK_RETRY_MAX, 300) * 1000;
    if (r.retry_max_ms < r.retry_min_ms) r.retry_max_ms = r.retry_min_ms;
    return r;
}

long webhook_backoff_ms(const WebhookRules& r, std::uint32_t attempts) {
    long wait = r.retry_min_ms > 0 ? r.retry_min_ms : 1;
    for (std::uint32_t i = 1; i < attempts && wait < r.retry_max_ms; ++i) wait *= 2;
    return std::min(wait, std::max(r.retry_max_ms, r.retry_min_ms));
}

WebhookOutcome webhook_outcome(long status) {
    if (status >= 200 && status <= 299) return WebhookOutcome::delivered;
    if (status >= 400 && status <= 499 && status != 408 && status != 429)
        return WebhookOutcome::refused;
    return WebhookOutcome::retry;
}

std::string hmac_sha256_hex(std::string_view key, std::string_view data) {
    unsigned char out[EVP_MAX_MD_SIZE];
    size_t len = 0;
    // An empty key still needs a valid pointer.
    static const unsigned char none = 0;
    const void* k = key.empty() ? static_cast<const void*>(&none) : key.data();
    if (EVP_Q_mac(nullptr, "HMAC", nullptr, "SHA256", nullptr, k, key.size(),
                  reinterpret_cast<const unsigned char*>(data.data()), data.size(), out, sizeof out,
                  &len) == nullptr)
        return std::string();
    return hex_of(out, len);
}

std::string webhook_signature(std::string_view secret, std::int64_t unix_time,
                              std::string_view body) {
    std::string t = std::to_string(unix_time);
    std::string signed_text = t + "." + std::string(body);
    return "t=" + t + ",v1=" + hmac_sha256_hex(secret, signed_text);
}

Status webhook_url_valid(std::string_view url) {
    curl_once();
    std::unique_ptr<CURLU, decltype(&curl_url_cleanup)> u(curl_url(), curl_url_cleanup);
    if (!u) return Error{0, "cannot be parsed now"};
    const std::string text(url);
    if (text.empty() || curl_url_set(u.get(), CURLUPART_URL, text.c_str(), 0) != CURLUE_OK)
        return Error{0, "is not a URL"};
    char* scheme = nullptr;
    char* host = nullptr;
    bool ok = curl_url_get(u.get(), CURLUPART_SCHEME, &scheme, 0) == CURLUE_OK &&
              curl_url_get(u.get(), CURLUPART_HOST, &host, 0) == CURLUE_OK;
    std::string sch = scheme != nullptr ? scheme : "";
    ok = ok && host != nullptr && host[0] != '\0';
    curl_free(scheme);
    curl_free(host);
    if (!ok) return Error{0, "has no host"};
    if (!iequals(sch, "http") && !iequals(sch, "https"))
        return Error{0, "is not an http or https URL"};
    return {};
}

std::string webhook_new_delivery_id() {
    return new_delivery_id();
}

queue_entry webhook_entry(std::string url, std::string body, std::string secret,
                          std::string delivery) {
    queue_entry e;
    e.kind = QUEUE_WEBHOOK;
    e.destination = std::move(url);
    e.text = std::move(body);
    e.client = "WEBHOOK";
    e.headers.emplace_back(DELIVERY_HEADER, delivery.empty() ? new_delivery_id() : delivery);
    e.headers.emplace_back(SECRET_FIELD, std::move(secret));
    return e;
}

bool webhook_enqueue(Gateway& gw, std::string url, std::string body, std::string secret,
                     std::string delivery) {
    std::vector<queue_entry> batch{
        webhook_entry(std::move(url), std::move(body), std::move(secret), std::move(delivery))};
    if (!gw.queue) {
        emsg("Webhook to [%s] not stored: no queue", url_for_log(batch[0].destination).c_str());
        return false;
    }
    if (Status s = gw.queue->enqueue(batch); !s) {
        emsg("Webhook to [%s] not stored (%s)", url_for_log(batch[0].destination).c_str(),
             s.error().reason.c_str());
        return false;
    }
    dmsg("Webhook %s to [%s] queued (entry %llu)", webhook_delivery_id(batch[0]).c_str(),
         url_for_log(batch[0].destination).c_str(), static_cast<unsigned long long>(batch[0].id));
    return true;
}

std::string webhook_delivery_id(const queue_entry& e) {
    return field(e, DELIVERY_HEADER);
}

std::string webhook_secret(const queue_entry& e) {
    return field(e, SECRET_FIELD);
}

void deliver_webhook_entry(WebhookSender& s, DeliveryJob& job) {
    const queue_entry& e = job.entry();
    if (Status marked = job.attempt(); !marked) {
        emsg("Queue entry %llu: cannot mark the attempt (%s), tried again later",
             static_cast<unsigned long long>(e.id), marked.error().reason.c_str());
        job.later(marked.error().reason, s.rules.retry_min_ms);
        return;
    }
    PostResult r = post(s, e);
    if (r.cut) {
        job.give_back_cut();
        return;
    }
    const std::string id = webhook_delivery_id(e);
    const std::string where = url_for_log(e.destination);
    switch (webhook_outcome(r.status)) {
        case WebhookOutcome::delivered:
            imsg("Webhook %s to [%s] delivered (%ld)", id.c_str(), where.c_str(), r.status);
            gateway_count_webhook(WEBHOOK_DELIVERED);
            job.done(true, std::string());
            return;
        case WebhookOutcome::refused: {
            std::string error =
                strprintf("refused with %ld %s", r.status, cut(r.answer, ANSWER_KEEP).c_str());
            write_failure(s, e, cut(error));
            job.done(false, cut(error));
            return;
        }
        case WebhookOutcome::retry:
            break;
    }
    std::string error =
        r.status != 0 ? strprintf("answered %ld", r.status) : cut(r.error, ANSWER_KEEP);
    long wait = webhook_backoff_ms(s.rules, e.attempts);
    imsg("Webhook %s to [%s] not delivered (%s), attempt %u, next in %ld s", id.c_str(),
         where.c_str(), error.c_str(), e.attempts, wait / 1000);
    gateway_count_webhook(WEBHOOK_RETRIED);
    job.later(error, wait);
}

void expire_webhook_entry(const WebhookSender& s, const queue_entry& e) {
    write_failure(
        s, e,
        "expired in queue" + (e.last_error.empty() ? std::string() : " (" + e.last_error + ")"));
}

void add_webhook_lane(Gateway& gw, long lifetime_ms) {
    auto sender = std::make_shared<WebhookSender>();
    sender->rules = webhook_rules(gw.ini());
    sender->state = &gw.state;
    curl_once();  // on the main thread, before any worker runs
    DeliveryLane lane;
    lane.name = "webhook";
    lane.kind = QUEUE_WEBHOOK;
    // A receiver's state is only known by posting to it.
    lane.up = [] { return true; };
    lane.up_told = true;
    lane.workers = std::max(1, gw.setting_int(WEBHOOK_WORKERS));
    lane.lifetime_ms = lifetime_ms;
    lane.deliver = [sender](DeliveryJob& job) { deliver_webhook_entry(*sender, job); };
    lane.expire = [sender](const queue_entry& e) { expire_webhook_entry(*sender, e); };
    lane.cut = [sender](bool) { sender->cutting = true; };
    imsg("Posting webhooks from the queue with %d workers", lane.workers);
    gw.delivery->add_lane(std::move(lane));
}

int sms_deliver_of(const SIni* ini) {
    std::string w = sini_word(ini, SMS_DELIVER);
    if (iequals(w, "webhook")) return SMS_DELIVER_WEBHOOK;
    if (iequals(w, "both")) return SMS_DELIVER_MAIL | SMS_DELIVER_WEBHOOK;
    return SMS_DELIVER_MAIL;
}

std::string sms_webhook_body(std::string_view from, std::string_view to, std::string_view text,
                             std::int64_t received_ms, std::string_view transport, int parts) {
    nlohmann::ordered_json j;
    j["from"] = std::string(from);
    j["to"] = std::string(to);
    j["text"] = std::string(text);
    j["received_at"] = utc_text(received_ms);
    j["transport"] = std::string(transport);
    j["parts"] = parts;
    return j.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

std::vector<std::string> webhook_setting_problems(const SIni* ini) {
    std::vector<std::string> bad;
    const std::string url = sini_text(ini, SMS_WEBHOOK_URL);
    if (!url.empty()) {
        if (Status valid = webhook_url_valid(url); !valid)
            bad.push_back("sms_webhook_url (" + cut(url, 200) + ") " + valid.reason());
    }
    if ((sms_deliver_of(ini) & SMS_DELIVER_WEBHOOK) != 0) {
        const std::string how = sini_word(ini, SMS_DELIVER);
        if (url.empty()) bad.push_back("sms_deliver (" + how + ") needs sms_webhook_url");
        if (sini_text(ini, SMS_WEBHOOK_SECRET).empty())
            bad.push_back("sms_deliver (" + how + ") needs sms_webhook_secret");
    }
    long lo = sini_number(ini, WEBHOOK_RETRY_MIN, 5);
    long hi = sini_number(ini, WEBHOOK_RETRY_MAX, 300);
    if (lo > hi)
        bad.push_back(
            strprintf("webhook_retry_min (%ld) is above webhook_retry_max (%ld)", lo, hi));
    return bad;
}

}  // namespace tolvane
