// The status of the API's messages: see api_messages.h.
#include "gateway/api_messages.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <fstream>
#include <nlohmann/json.hpp>

#include "foundation/fileio.h"
#include "foundation/lib.h"
#include "foundation/log.h"
#include "gateway/api_callbacks.h"
#include "gateway/api_keys.h"
#include "gateway/mail_to_sms.h"

namespace tolvane {

namespace {

using json = nlohmann::json;

std::int64_t now_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

bool final_status(const std::string& s) {
    return s == "sent" || s == "delivered" || s == "failed" || s == "expired";
}

// The journal's line of a message (every field, the callback included).
json line_of(const ApiMessage& m) {
    return json{{"id", m.id},
                {"to", m.to},
                {"status", m.status},
                {"transport", m.transport},
                {"error", m.error},
                {"reference", m.reference},
                {"callback_url", m.callback_url},
                {"key", m.key},
                {"attempts", m.attempts},
                {"created", m.created_ms},
                {"updated", m.updated_ms}};
}

std::optional<ApiMessage> message_of(const std::string& line) {
    json j = json::parse(line, nullptr, false);
    if (j.is_discarded() || !j.is_object()) return std::nullopt;
    ApiMessage m;
    m.id = j.value("id", "");
    m.to = j.value("to", "");
    m.status = j.value("status", "");
    m.transport = j.value("transport", "");
    m.error = j.value("error", "");
    m.reference = j.value("reference", "");
    m.callback_url = j.value("callback_url", "");
    m.key = j.value("key", "");
    m.attempts = j.value("attempts", 0u);
    m.created_ms = j.value("created", std::int64_t{0});
    m.updated_ms = j.value("updated", std::int64_t{0});
    if (m.id.empty() || m.status.empty()) return std::nullopt;
    return m;
}

std::string dump(const json& j) {
    return j.dump(-1, ' ', false, json::error_handler_t::replace);
}

ApiMessage from_entry(const queue_entry& e) {
    ApiMessage m;
    m.id = std::to_string(e.id);
    m.to = e.destination;
    m.key = api_entry_header(e, API_HEADER_KEY);
    m.reference = api_entry_header(e, API_HEADER_REFERENCE);
    m.callback_url = api_entry_header(e, API_HEADER_CALLBACK);
    m.created_ms = e.enqueued_ms;
    m.updated_ms = e.enqueued_ms;
    m.attempts = e.attempts;
    m.status = "queued";
    return m;
}

}  // namespace

std::string api_entry_header(const queue_entry& e, const char* name) {
    for (const auto& [n, v] : e.headers)
        if (iequals(n, name)) return v;
    return std::string();
}

std::string api_time(std::int64_t ms) {
    std::time_t t = static_cast<std::time_t>(ms / 1000);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return buf;
}

std::string api_message_json(const ApiMessage& m) {
    json j{{"id", m.id},
           {"to", m.to},
           {"status", m.status},
           {"transport", m.transport.empty() ? json(nullptr) : json(m.transport)},
           {"attempts", m.attempts},
           {"error", m.error.empty() ? json(nullptr) : json(m.error)},
           {"created", api_time(m.created_ms)},
           {"updated", api_time(m.updated_ms)},
           {"reference", m.reference.empty() ? json(nullptr) : json(m.reference)}};
    return dump(j);
}

ApiMessages::ApiMessages(Gateway* gw, ApiKeyTable* keys, std::string path)
    : gw_(gw), keys_(keys), path_(std::move(path)) {}

ApiMessages::~ApiMessages() {
    if (fd_ >= 0) ::close(fd_);
}

bool ApiMessages::open(std::string& why) {
    std::lock_guard<std::mutex> g(lock_);
    {
        std::ifstream in(path_);
        std::string line;
        while (in && std::getline(in, line))
            if (auto m = message_of(line)) messages_[m->id] = std::move(*m);
    }
    const std::int64_t keep_after = now_ms() - std::int64_t{API_STATUS_KEEP_DAYS} * 86400000;
    std::string text;
    for (auto it = messages_.begin(); it != messages_.end();) {
        if (final_status(it->second.status) && it->second.updated_ms < keep_after) {
            it = messages_.erase(it);
            continue;
        }
        text += dump(line_of(it->second)) + "\n";
        ++it;
    }
    if (!write_file_atomic(path_, text, 0600, why)) return false;
    fd_ = ::open(path_.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    if (fd_ < 0) {
        why = "cannot open " + path_ + ": " + system_error(errno);
        return false;
    }
    return true;
}

void ApiMessages::adopt(QueueStore& queue) {
    for (const queue_entry& e : queue.list(QUEUE_MAIL_TO_SMS)) {
        if ((e.flags & MAIL_FROM_API) == 0) continue;
        ApiMessage m = from_entry(e);
        std::lock_guard<std::mutex> g(lock_);
        if (messages_.count(m.id) != 0) continue;
        messages_[m.id] = m;
        append_locked(m);
    }
}

void ApiMessages::append_locked(const ApiMessage& m) {
    if (fd_ < 0) return;
    const std::string line = dump(line_of(m)) + "\n";
    if (::write(fd_, line.data(), line.size()) != static_cast<ssize_t>(line.size()))
        emsg("API status journal %s: cannot append (%s)", path_.c_str(),
             system_error(errno).c_str());
}

void ApiMessages::change(ApiMessage m, bool report, bool only_new) {
    {
        std::lock_guard<std::mutex> g(lock_);
        if (only_new && messages_.count(m.id) != 0) return;
        messages_[m.id] = m;
        append_locked(m);
    }
    if (!report || m.callback_url.empty() || gw_ == nullptr) return;
    ApiReport r;
    r.url = m.callback_url;
    r.key = m.key;
    r.id = m.id;
    if (keys_ != nullptr)
        if (auto k = keys_->by_name(m.key)) r.secret = k->secret;
    r.body = dump(json{{"id", m.id},
                       {"status", m.status},
                       {"error", m.error.empty() ? json(nullptr) : json(m.error)},
                       {"at", api_time(m.updated_ms)},
                       {"reference", m.reference.empty() ? json(nullptr) : json(m.reference)}});
    // ---- the one call site of the delivery-report callback ----
    api_report(*gw_, r);
}

void ApiMessages::queued(const queue_entry& e) {
    // A delivery worker may have claimed, sent and told of the entry before this.
    change(from_entry(e), false, true);
}

void ApiMessages::attempt(const queue_entry& e) {
    ApiMessage m;
    {
        std::lock_guard<std::mutex> g(lock_);
        auto it = messages_.find(std::to_string(e.id));
        if (it != messages_.end()) {
            m = it->second;
        } else {
            // Not told yet that it was stored (the worker was quicker): this is its first.
            m = from_entry(e);
            m.attempts = 0;
        }
    }
    m.status = "sending";
    // The entry's own count may already hold this attempt (marked with the entry).
    m.attempts = std::max<std::uint32_t>(m.attempts + 1, e.attempts);
    m.updated_ms = now_ms();
    change(std::move(m), false);
}

void ApiMessages::ended(const queue_entry& e, const std::string& status,
                        const std::string& transport, const std::string& error) {
    ApiMessage m;
    {
        std::lock_guard<std::mutex> g(lock_);
        auto it = messages_.find(std::to_string(e.id));
        m = it != messages_.end() ? it->second : from_entry(e);
    }
    m.status = status;
    m.transport = transport;
    m.error = error;
    if (m.attempts < e.attempts) m.attempts = e.attempts;
    m.updated_ms = now_ms();
    change(std::move(m), true);
}

void ApiMessages::receipt(const std::string& id, bool delivered, const std::string& error) {
    ApiMessage m;
    {
        std::lock_guard<std::mutex> g(lock_);
        auto it = messages_.find(id);
        if (it == messages_.end()) return;
        m = it->second;
    }
    m.status = delivered ? "delivered" : "failed";
    m.error = delivered ? std::string() : error;
    m.updated_ms = now_ms();
    change(std::move(m), true);
}

std::optional<ApiMessage> ApiMessages::find(const std::string& id, const std::string& key) {
    std::lock_guard<std::mutex> g(lock_);
    auto it = messages_.find(id);
    if (it == messages_.end() || it->second.key != key) return std::nullopt;
    return it->second;
}

}  // namespace tolvane
