// The status of the API's messages: see api_messages.h.
#include "gateway/api_messages.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <fstream>
#include <nlohmann/json.hpp>
#include <vector>

#include "foundation/fileio.h"
#include "foundation/lib.h"
#include "foundation/log.h"
#include "gateway/api_callbacks.h"
#include "gateway/api_json.h"
#include "gateway/api_keys.h"
#include "gateway/mail_to_sms.h"
#include "gateway/webhooks.h"

namespace tolvane {

namespace {

using json = nlohmann::json;

bool final_status(const std::string& s) {
    return s == "sent" || s == "delivered" || s == "failed" || s == "expired";
}

std::optional<ApiMessage> message_of(const json& j) {
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

// The journal's line of a report due: what it is to send and where, and its delivery id,
// so that a report queued again after a stop is the same webhook.
json report_line(const ApiReport& r) {
    return json{{"report", r.rid}, {"id", r.id},     {"url", r.url},
                {"key", r.key},    {"body", r.body}, {"delivery", r.delivery}};
}

ApiReport report_of(const json& j) {
    ApiReport r;
    r.rid = j.value("report", "");
    r.id = j.value("id", "");
    r.url = j.value("url", "");
    r.key = j.value("key", "");
    r.body = j.value("body", "");
    r.delivery = j.value("delivery", "");
    if (r.url.empty() || r.body.empty()) r.rid.clear();
    return r;
}

// The report of a message's change (its secret is looked up when it is handed over).
ApiReport report_of(const ApiMessage& m) {
    ApiReport r;
    r.url = m.callback_url;
    r.key = m.key;
    r.id = m.id;
    r.body = api_dump(json{{"id", m.id},
                           {"status", m.status},
                           {"error", m.error.empty() ? json(nullptr) : json(m.error)},
                           {"at", api_time(m.updated_ms)},
                           {"reference", m.reference.empty() ? json(nullptr) : json(m.reference)}});
    r.delivery = webhook_new_delivery_id();
    r.rid = m.id + "." + m.status + "." + std::to_string(m.updated_ms);
    return r;
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

std::string api_message_line(const ApiMessage& m) {
    // The fields in the order a json object dumps them (by name), so that the line is the
    // one the journal always held.
    std::string out;
    out.reserve(256 + m.callback_url.size() + m.error.size() + m.reference.size());
    const auto text = [&out](const char* name, const std::string& v) {
        out += name;
        api_json_string(out, v);
    };
    const auto number = [&out](const char* name, std::int64_t v) {
        out += name;
        out += std::to_string(v);
    };
    number("{\"attempts\":", m.attempts);
    text(",\"callback_url\":", m.callback_url);
    number(",\"created\":", m.created_ms);
    text(",\"error\":", m.error);
    text(",\"id\":", m.id);
    text(",\"key\":", m.key);
    text(",\"reference\":", m.reference);
    text(",\"status\":", m.status);
    text(",\"to\":", m.to);
    text(",\"transport\":", m.transport);
    number(",\"updated\":", m.updated_ms);
    out += '}';
    return out;
}

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
    return api_dump(j);
}

ApiMessages::ApiMessages(Gateway* gw, ApiKeyTable* keys, std::string path,
                         std::shared_ptr<PgApiStore> shared)
    : keys_(keys), shared_(std::move(shared)), path_(std::move(path)) {
    if (gw != nullptr) sink_ = [gw](const ApiReport& r) { return api_report(*gw, r); };
}

ApiMessages::~ApiMessages() {
    if (fd_ >= 0) ::close(fd_);
}

Status ApiMessages::open() {
    std::lock_guard<std::mutex> g(lock_);
    {
        std::ifstream in(path_);
        std::string line;
        while (in && std::getline(in, line)) read_line_locked(line);
    }
    const std::int64_t keep_after = api_now_ms() - std::int64_t{API_STATUS_KEEP_DAYS} * 86400000;
    std::string text;
    for (auto it = messages_.begin(); it != messages_.end();) {
        if (final_status(it->second.status) && it->second.updated_ms < keep_after) {
            it = messages_.erase(it);
            continue;
        }
        text += api_message_line(it->second) + "\n";
        ++it;
    }
    // Reports not queued yet stay until they are (however old their message).
    for (const auto& [rid, r] : pending_) text += api_dump(report_line(r)) + "\n";
    if (Status st = write_file_atomic(path_, text, 0600); !st) return st.error();
    fd_ = ::open(path_.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    if (fd_ < 0) {
        const int code = errno;
        return Error{code, "cannot open " + path_ + ": " + system_error(code)};
    }
    return {};
}

void ApiMessages::read_line_locked(const std::string& line) {
    json j = json::parse(line, nullptr, false);
    if (j.is_discarded() || !j.is_object()) return;
    if (j.contains("queued")) {
        pending_.erase(j.value("queued", ""));
    } else if (j.contains("report")) {
        ApiReport r = report_of(j);
        if (!r.rid.empty()) pending_[r.rid] = std::move(r);
    } else if (auto m = message_of(j)) {
        messages_[m->id] = std::move(*m);
    }
}

void ApiMessages::adopt(QueueStore& queue) {
    for (const queue_entry& e : queue.list(QUEUE_MAIL_TO_SMS)) {
        if ((e.flags & MAIL_FROM_API) == 0) continue;
        ApiMessage m = from_entry(e);
        std::lock_guard<std::mutex> g(lock_);
        if (messages_.count(m.id) != 0) continue;
        messages_[m.id] = m;
        append_locked(api_message_line(m) + "\n", false);
        share(m, true);
    }
}

void ApiMessages::share(const ApiMessage& m, bool only_new) {
    if (shared_)
        shared_->put_message({m.id, m.key, m.status, api_message_line(m), m.updated_ms}, only_new);
}

std::size_t ApiMessages::requeue_reports() {
    std::vector<ApiReport> due;
    {
        std::lock_guard<std::mutex> g(lock_);
        for (const auto& [rid, r] : pending_) due.push_back(r);
    }
    std::size_t queued = 0;
    for (ApiReport& r : due) queued += hand_over(r) ? 1 : 0;
    if (!due.empty())
        imsg(
            "API status journal %s: %zu of %zu delivery reports left from before the stop "
            "queued now",
            path_.c_str(), queued, due.size());
    return queued;
}

std::size_t ApiMessages::reports_pending() {
    std::lock_guard<std::mutex> g(lock_);
    return pending_.size();
}

void ApiMessages::append_locked(const std::string& lines, bool sync) {
    if (fd_ < 0) return;
    if (::write(fd_, lines.data(), lines.size()) != static_cast<ssize_t>(lines.size()) ||
        (sync && ::fdatasync(fd_) != 0))
        emsg("API status journal %s: cannot append (%s)", path_.c_str(),
             system_error(errno).c_str());
}

bool ApiMessages::hand_over(ApiReport& r) {
    if (!sink_) return false;
    r.secret.clear();
    if (keys_ != nullptr)
        if (auto k = keys_->by_name(r.key)) r.secret = k->secret;
    if (!sink_(r)) return false;  // stays in the journal: queued at the next start
    std::lock_guard<std::mutex> g(lock_);
    if (pending_.erase(r.rid) != 0) append_locked(api_dump(json{{"queued", r.rid}}) + "\n", false);
    return true;
}

void ApiMessages::change(ApiMessage m, bool report, bool only_new) {
    std::vector<ApiMessage> one;
    one.push_back(std::move(m));
    change_all(one, report, only_new);
}

void ApiMessages::change_all(std::vector<ApiMessage>& ms, bool report, bool only_new) {
    // The lines are made before the lock is taken: the API's workers, the delivery workers
    // and the receipts thread all pass through here, and only the write must be in order.
    std::vector<std::optional<ApiReport>> rs(ms.size());
    std::vector<std::string> lines(ms.size());
    for (std::size_t i = 0; i < ms.size(); ++i) {
        if (report && !ms[i].callback_url.empty() && sink_) rs[i] = report_of(ms[i]);
        lines[i] = api_message_line(ms[i]) + "\n";
        // The change and its report are one write, on disk before the report is handed
        // over: a stop between the two leaves the report for requeue_reports().
        if (rs[i]) lines[i] += api_dump(report_line(*rs[i])) + "\n";
    }
    bool sync = false;
    {
        std::lock_guard<std::mutex> g(lock_);
        std::string out;
        std::vector<bool> kept(ms.size(), true);
        for (std::size_t i = 0; i < ms.size(); ++i) {
            if (only_new && messages_.count(ms[i].id) != 0) {
                kept[i] = false;
                rs[i].reset();
                continue;
            }
            messages_[ms[i].id] = ms[i];
            out += lines[i];
            if (rs[i]) {
                pending_[rs[i]->rid] = *rs[i];
                sync = true;
            }
        }
        if (!out.empty()) append_locked(out, false);
        // Under the lock: the store sees one gateway's changes in their order. A first row
        // (only_new, from queued()) is written there at once instead: it never overwrites.
        for (std::size_t i = 0; i < ms.size(); ++i)
            if (kept[i] && !only_new) share(ms[i], false);
    }
    // A report's line is on disk before the report is handed over. The flush runs without
    // the lock, so that the API's workers do not wait for the disk behind a report; it
    // takes every line written before it, this one among them.
    if (sync && fd_ >= 0 && ::fdatasync(fd_) != 0)
        emsg("API status journal %s: cannot flush (%s)", path_.c_str(), system_error(errno).c_str());
    // ---- the one call site of the delivery-report callback ----
    for (auto& r : rs)
        if (r) hand_over(*r);
}

void ApiMessages::queued(const queue_entry& e) {
    // A delivery worker may have claimed, sent and told of the entry before this.
    ApiMessage m = from_entry(e);
    change(m, false, true);
    // Its first row is in the store before the API answers for it: another gateway asked
    // for it next must know it.
    if (shared_)
        if (Status s = shared_->put_new_message_now(
                {m.id, m.key, m.status, api_message_line(m), m.updated_ms});
            !s)
            emsg("API message %s: not yet in the store (%s)", m.id.c_str(), s.reason().c_str());
}

void ApiMessages::attempt(const queue_entry& e) {
    attempts({&e});
}

void ApiMessages::attempts(const std::vector<const queue_entry*>& es) {
    std::vector<ApiMessage> ms(es.size());
    {
        std::lock_guard<std::mutex> g(lock_);
        for (std::size_t i = 0; i < es.size(); ++i) {
            auto it = messages_.find(std::to_string(es[i]->id));
            if (it != messages_.end()) {
                ms[i] = it->second;
            } else {
                // Not told yet that it was stored (the worker was quicker): this is its first.
                ms[i] = from_entry(*es[i]);
                ms[i].attempts = 0;
            }
        }
    }
    const std::int64_t now = api_now_ms();
    for (std::size_t i = 0; i < es.size(); ++i) {
        ms[i].status = "sending";
        // The entry's own count may already hold this attempt (marked with the entry).
        ms[i].attempts = std::max<std::uint32_t>(ms[i].attempts + 1, es[i]->attempts);
        ms[i].updated_ms = now;
    }
    change_all(ms, false);
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
    m.updated_ms = api_now_ms();
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
    m.updated_ms = api_now_ms();
    change(std::move(m), true);
}

std::optional<ApiMessage> ApiMessages::find(const std::string& id, const std::string& key) {
    std::optional<ApiMessage> own;
    {
        std::lock_guard<std::mutex> g(lock_);
        auto it = messages_.find(id);
        if (it != messages_.end() && it->second.key == key) own = it->second;
    }
    if (!shared_) return own;
    Result<std::optional<std::string>> asked = shared_->message(id, key);
    if (!asked)
        emsg("API message %s: the store cannot be asked (%s)", id.c_str(), asked.reason().c_str());
    std::optional<std::string> line = asked ? *asked : std::nullopt;
    std::optional<ApiMessage> stored;
    if (line) {
        json j = json::parse(*line, nullptr, false);
        if (!j.is_discarded() && j.is_object()) stored = message_of(j);
    }
    // This gateway's own change may not have reached the store yet.
    if (!stored || (own && own->updated_ms > stored->updated_ms)) return own;
    return stored;
}

}  // namespace tolvane
