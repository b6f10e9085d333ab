// Webhooks: signed JSON bodies POSTed to a receiver's URL from the durable queue.
//
// A webhook is one queue entry of kind QUEUE_WEBHOOK, stored (on disk, or in the shared
// store) before anything that depends on it is promised: a received SMS is acknowledged to
// its centre or deleted from the modem only once its webhook entry is stored, so a kill -9
// after that loses nothing. The webhook lane's delivery workers claim each entry, count the
// attempt on disk, and POST the body with
//
//   Content-Type: application/json
//   X-Tolvane-Signature: t=<unix time of this attempt>,v1=<hex HMAC-SHA256 of "t.body">
//   X-Tolvane-Delivery: <32 hex digits, made once when the entry is stored>
//
// the HMAC keyed with the secret stored in the entry. Delivery is at least once: a 2xx
// answer finishes the entry; a crash between the receiver's 2xx and the entry's done mark
// (or a timeout after the receiver took the body) sends the same body again, with the same
// X-Tolvane-Delivery, which is how a receiver recognises a repeat. Connection failures,
// timeouts, 408, 429, 3xx and 5xx are retried after webhook_retry_min seconds, doubling up
// to webhook_retry_max, for as long as queue_lifetime allows; any other 4xx means the
// receiver refuses this body for good, and the entry ends at once. An entry that ends
// without a 2xx is logged and written as a FAILURE record (client "WEBHOOK", kind "log").
//
// The entry: destination the URL, text the body, headers the delivery id
// (X-Tolvane-Delivery) and the secret (":secret", never sent: names starting with ":" are
// the entry's own). The secret is kept with the entry so that a webhook signed when it was
// stored is still signed after a restart, whatever becomes of the key it came from.
//
// Connections are kept between POSTs (WebhookHandles, below).
//
// Ownership: the lane's WebhookSender is owned by the lane's functions (queue_admin.cpp);
// its cut flag is set once by the engine's shutdown and aborts the POSTs in flight (their
// entries go back to the queue with the attempt not counted).
//
//   if (!webhook_enqueue(gw, url, body, secret)) ... not stored: nothing promised
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/result.h"
#include "foundation/sini.h"
#include "gateway/delivery.h"
#include "queue/queue.h"

namespace tolvane {

class Gateway;
struct StateStores;

// How the lane sends, read once from the settings.
struct WebhookRules {
    long timeout_ms = 10000;     // webhook_timeout: the whole POST, connection included
    long retry_min_ms = 5000;    // webhook_retry_min: the wait after the first failure
    long retry_max_ms = 300000;  // webhook_retry_max: the longest wait between attempts
};
WebhookRules webhook_rules(const SIni* ini);

// The lane's libcurl easy handles, kept between POSTs so that each keeps its connections
// open (HTTP keep-alive): successive POSTs of a worker to one host reuse one connection
// instead of connecting (and, for https, shaking hands) anew. A worker takes a handle for
// a POST and gives it back after, so there are never more handles than workers posting at
// once. A kept connection that the receiver closed meanwhile is found dead by libcurl,
// which sends the request again on a new connection itself (before any answer came),
// so it costs no attempt.
class WebhookHandles {
  public:
    WebhookHandles() = default;
    ~WebhookHandles();
    WebhookHandles(const WebhookHandles&) = delete;
    WebhookHandles& operator=(const WebhookHandles&) = delete;
    // An idle handle (no options set, its connections kept); a new one when none is
    // idle; null when libcurl cannot make one.
    void* take();
    // Gives a handle taken back, its options reset, for the next POST.
    void give(void* h);
    // How many handles were made so far (tests).
    std::size_t made() const;

  private:
    mutable std::mutex lock_;
    std::vector<void*> idle_;  // guarded by lock_
    std::size_t made_ = 0;     // guarded by lock_
};

// What the lane's workers share.
struct WebhookSender {
    WebhookRules rules;
    // Set by the shutdown's cut: POSTs in flight are aborted and given back.
    std::atomic<bool> cutting{false};
    WebhookHandles handles;
    // Where a failure is recorded (the gateway's stores); null: nowhere.
    StateStores* state = nullptr;
};

// The wait before the next attempt after `attempts` failed ones (1 for the first):
// retry_min_ms doubled for each further attempt, never above retry_max_ms.
long webhook_backoff_ms(const WebhookRules& r, std::uint32_t attempts);

// What an answer means for the entry.
enum class WebhookOutcome {
    delivered,  // 2xx
    retry,      // no answer, 408, 429, 1xx, 3xx, 5xx
    refused,    // another 4xx: the receiver will not take this body
};
// status: the HTTP status, 0 when no answer came (refused, timed out, reset).
WebhookOutcome webhook_outcome(long status);

// Lower-case hex of HMAC-SHA256(key, data); "" when it cannot be computed.
std::string hmac_sha256_hex(std::string_view key, std::string_view data);
// The X-Tolvane-Signature value: "t=<unix_time>,v1=<hmac_sha256_hex(secret, "t.body")>".
std::string webhook_signature(std::string_view secret, std::int64_t unix_time,
                              std::string_view body);

// Whether url is an absolute http or https URL with a host (parsed by libcurl's URL
// parser); the error says what is wrong with it when not ("is not a URL", "has no host").
Status webhook_url_valid(std::string_view url);

// A fresh delivery id: 32 lower-case hex digits (128 random bits).
std::string webhook_new_delivery_id();
// The queue entry of one webhook, with that delivery id ("": a fresh one).
queue_entry webhook_entry(std::string url, std::string body, std::string secret,
                          std::string delivery = std::string());
// Stores one webhook in gw's queue: true once it is on stable storage (the lane's workers
// then POST it); false, logged, when there is no queue or it could not be stored.
// delivery: its X-Tolvane-Delivery id when it was made before ("": a fresh one).
bool webhook_enqueue(Gateway& gw, std::string url, std::string body, std::string secret,
                     std::string delivery = std::string());

// Entry fields (for the lane and tests).
std::string webhook_delivery_id(const queue_entry& e);
std::string webhook_secret(const queue_entry& e);

// One attempt of a claimed webhook entry, finishing it by the answer.
void deliver_webhook_entry(WebhookSender& s, DeliveryJob& job);
// The log line and FAILURE record of an entry that waited past the queue lifetime.
void expire_webhook_entry(const WebhookSender& s, const queue_entry& e);
// Adds the webhook lane (webhook_workers workers) to gw's delivery engine; call before
// the engine starts.
void add_webhook_lane(Gateway& gw, long lifetime_ms);

// ---- received SMS ----
// Where received SMS go (sms_deliver): bits of these.
enum : int { SMS_DELIVER_MAIL = 1, SMS_DELIVER_WEBHOOK = 2 };
int sms_deliver_of(const SIni* ini);
// The JSON body of a received SMS's webhook:
// {"from","to","text","received_at" (UTC, "YYYY-MM-DDTHH:MM:SSZ"),"transport","parts"}.
// Text that is not valid UTF-8 has its bad bytes replaced by U+FFFD.
std::string sms_webhook_body(std::string_view from, std::string_view to, std::string_view text,
                             std::int64_t received_ms, std::string_view transport, int parts);

// The settings of this module that do not fit together or do not parse, each as
// "<key> (<value>) <why>" (start-up prefixes "Invalid setting: "): a bad sms_webhook_url,
// a webhook delivery without its URL or secret, webhook_retry_min above webhook_retry_max.
std::vector<std::string> webhook_setting_problems(const SIni* ini);

}  // namespace tolvane
