// The mail-to-SMS path's delivery side (see mail_to_sms.h): a delivery worker sends one
// queued entry with its retries, writes its record and settles the rate-limit units its
// admission reserved; a final failure or an expiry mails the notice and gives the units
// back. The units held by this process's entries are kept here, under their own lock.
#include <algorithm>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "foundation/lib.h"
#include "foundation/log.h"
#include "foundation/utf8.h"
#include "gateway/api_messages.h"
#include "gateway/gateway.h"
#include "gateway/gateway_metrics.h"
#include "gateway/keys.h"
#include "gateway/mail_to_sms.h"
#include "gateway/smpp_receipts.h"
#include "records/msglog.h"
#include "records/stores.h"
#include "smtp/engine.h"
#include "smtp/relay_client.h"

namespace tolvane {

namespace {

// The HTTP API key an entry was stored with ("" for a mail's SMS).
std::string apikey_of(const queue_entry& e) {
    return (e.flags & MAIL_FROM_API) != 0 ? api_entry_header(e, API_HEADER_KEY) : std::string();
}

// One unit of each of the entry's keys goes back in every limit.
void give_back(const MailSender& s, const queue_entry& e, const std::string& user) {
    const std::string apikey = apikey_of(e);
    LimitStore& counts = *s.state->limits;
    for (msgrecs* mr : s.state->registry->limits()) {
        counts.unreserve(mr, MSGREC_IP, e.client, 1);
        counts.unreserve(mr, MSGREC_FROM, e.billing, 1);
        counts.unreserve(mr, MSGREC_TO, e.destination, 1);
        if (!user.empty()) counts.unreserve(mr, MSGREC_USER, user, 1);
        if (!apikey.empty()) counts.unreserve(mr, MSGREC_KEY, apikey, 1);
    }
}

// The unit an entry holds in every limit goes back: its SMS failed for good.
void give_back_units(const MailSender& s, const queue_entry& e) {
    std::string user;
    if (s.units == nullptr || !s.units->take(e.id, user)) return;
    give_back(s, e, user);
}

bool from_api(const queue_entry& e) {
    return (e.flags & MAIL_FROM_API) != 0;
}

// The transport's name for the API's message status.
std::string transport_name(const MailSender& s) {
    return s.send != nullptr ? delivery_name(s.send->mode()) : "";
}

// The record and the notice of a final failure (status "failed" or "expired"); an API
// message's outcome goes to its status and callback instead of a notice.
void fail(const MailSender& s, const queue_entry& e, const std::string& why,
          const char* status = "failed") {
    std::string notice =
        strprintf("SMS to (%s) failed delivery (%s)", e.destination.c_str(), why.c_str());
    state_write(*s.state, "FAILURE", e.client, e.billing, e.destination, why, "rec", false);
    give_back_units(s, e);
    if (from_api(e)) {
        if (s.api != nullptr) s.api->ended(e, status, transport_name(s), why);
        return;
    }
    if (s.relay == nullptr) return;
    RelayMail mail{e.originator, e.billing, notice, {}};
    mail_header_set(mail.headers, "Subject", "SMS Failed");
    mail_header_set(mail.headers, "X-Tolvane", "ERROR");
    if (Status st = s.relay->send(mail); !st)
        emsg("Failed to mail the failure notice to [%s] [%d:%s]", e.billing.c_str(),
             st.error().code, st.reason().c_str());
}

std::string_view trim_view(std::string_view t) {
    while (!t.empty() && (t.front() == ' ' || t.front() == '\t')) t.remove_prefix(1);
    while (!t.empty() && (t.back() == ' ' || t.back() == '\t' || t.back() == '\r'))
        t.remove_suffix(1);
    return t;
}

// A send refused for now (bind down, centre throttling) is offered again after this long.
constexpr long TEMPORARY_RETRY_MS = 5000;

}  // namespace

MailSendRules mail_send_rules(const SIni* ini) {
    MailSendRules r;
    r.retries = std::max(0L, sini_number(ini, SMS_RETRIES, r.retries));
    r.coding = sms_coding_parse(sini_word(ini, SMS_CODING)).value_or(sms_coding::automatic);
    long parts = sini_number(ini, SMS_MAX_PARTS, r.max_parts);
    r.max_parts = parts > 0 ? static_cast<int>(parts) : 10;
    return r;
}

void MailUnits::hold(std::uint64_t id, const std::string& user) {
    std::lock_guard<std::mutex> g(lock_);
    ids_[id] = user;
}

bool MailUnits::take(std::uint64_t id, std::string& user) {
    std::lock_guard<std::mutex> g(lock_);
    auto it = ids_.find(id);
    if (it == ids_.end()) return false;
    user = std::move(it->second);
    ids_.erase(it);
    return true;
}

namespace {

bool wants_report(const queue_entry& e) {
    // An API message asks for every report: its status says when it was delivered.
    if (from_api(e)) return true;
    // "X-Sms-Report: yes" asks an SMS centre for a report on this SMS.
    bool want = false;
    for (const auto& [name, value] : e.headers)
        if (iequals(name, "X-Sms-Report")) want = iequals(trim_view(value), "yes");
    return want;
}

// What a sent SMS produces: its counts, message-log entry and SUCCESS record; then the
// entry is done. id is the SMS centre's message id ("" for other transports).
// via: the transport a route chose ("" for the single transport).
void mail_sent(const MailSender& s, DeliveryJob& job, const std::string& id, bool want_report,
               const std::string& via) {
    const queue_entry& e = job.entry();
    dmsg("Message sent successfully");
    const double lag = static_cast<double>(delivery_now_ms() - e.enqueued_ms) / 1000.0;
    if (via.empty())
        gateway_count_sms_sent(s.send->mode(), lag);
    else
        gateway_count_sms_sent_via(via, lag);
    if ((e.flags & MAIL_FROM_SENDER) == 0) s.state->msglog->store(e.destination, e.sender);
    // The record counts the SMS and settles the unit its admission reserved in one step.
    // An entry stored before a restart holds no unit and is only counted (for its user too,
    // by the name the entry keeps); when the record
    // cannot be written nothing was counted, and the unit is given back.
    std::string user;
    bool held = s.units != nullptr && s.units->take(e.id, user);
    user = e.user;  // the entry's own name, whichever run stored it
    // One record per recipient, however many SMS the text took; the record names them.
    // An SMS centre's message id goes into the record, where its receipts find it.
    std::string record = id.empty() ? "NONE" : "msgid " + id;
    {
        const int max_parts = s.rules.max_parts;
        sms_split split = sms_text_split(e.text, s.rules.coding, max_parts, 0);
        if (split.parts.size() > 1) record += strprintf(" parts %zu", split.parts.size());
        if (split.cut) {
            record += " cut";
            imsg("SMS to [%s] cut to %zu of %zu characters (sms_max_parts %d)",
                 e.destination.c_str(), split.characters, utf8_length(e.text), max_parts);
        }
    }
    // A route's choice is named in the record.
    if (!via.empty()) record += " via " + via;
    // Known to the receipts before the record is written: a centre may send its receipt
    // at once, and it then waits for this outcome instead of finding no such submit.
    const bool receipted = !id.empty() && s.receipts != nullptr;
    if (receipted) {
        // An API message's report goes to its status, never into a mail.
        smpp_submit_record r{
            e.client,     e.billing, e.destination, e.originator, want_report && !from_api(e),
            std::string()};
        if (from_api(e)) r.api_id = std::to_string(e.id);
        s.receipts->expect(id, std::move(r));
    }
    if (!state_write(*s.state, "SUCCESS", e.client, e.billing, e.destination, record, "rec", true,
                     held, user, apikey_of(e)) &&
        held)
        give_back(s, e, user);
    if (from_api(e) && s.api != nullptr)
        s.api->ended(e, "sent", via.empty() ? transport_name(s) : via, "");
    if (receipted) s.receipts->settled(id);
    // No pause after a success: the pace of the transport is set by the number of workers.
    job.done(true, std::string());
}

// The SMS of an entry as the transport gets it. The header copy travels with the first
// attempt of a mail only (a provider reached by mail passes it along).
SmsOut sms_of(const queue_entry& e, std::string_view text, bool first) {
    SmsOut out;
    out.from = e.originator;
    out.to = e.destination;
    out.text = text;
    out.want_receipt = wants_report(e);
    // An API message's headers are the gateway's own: no transport sees them.
    out.labels = first && e.attempts <= 1 && !from_api(e) ? &e.headers : nullptr;
    out.billing = e.billing;
    out.user = e.user;
    return out;
}

// An entry whose sends failed: it waits when its transport went down under the send
// (with at least one attempt left), else it fails for good.
void failed_for_good(const MailSender& s, DeliveryJob& job, const SendError& err) {
    const queue_entry& e = job.entry();
    std::string why = cut(err.reason);
    if (s.up && !s.up()) {
        imsg("SMS to [%s] waits: the transport is down (%s)", e.destination.c_str(), why.c_str());
        job.later(why, 0);
        return;
    }
    emsg("Message send error OTHER [%d:%s]", err.code, why.c_str());
    fail(s, e, why);
    if (err.transport.empty())
        gateway_count_sms_failed(s.send->mode());
    else
        gateway_count_sms_failed_via(err.transport);
    job.done(false, why);
}

// One SMS of an entry. Accepted, the entry is finished (its records, then its DONE) while
// the transport still holds the SMS's place in its window: no other SMS takes the place
// before then, so a crash leaves no more SMS sent but unfinished than the window holds.
SendResult send_finishing(const MailSender& s, DeliveryJob& job, const SmsOut& sms) {
    WindowHooks hooks;
    hooks.after = [&](std::size_t, const SendResult& r) {
        if (r) mail_sent(s, job, r->message_id, sms.want_receipt, r->transport);
    };
    return std::move(s.send->send_window(std::span<const SmsOut>(&sms, 1), hooks)[0]);
}

// The sends of one entry with their retries. tried: the result of a first attempt already
// counted and made (in a window); without it the first attempt is made here.
void deliver_from(const MailSender& s, DeliveryJob& job, std::optional<SendResult> tried) {
    const queue_entry& e = job.entry();
    // sms_retries retries after the first attempt; attempts made before a restart count, but
    // an entry always gets one attempt more than it had, since the last one left no outcome.
    long budget = s.rules.retries + 1;
    long left = budget - static_cast<long>(e.attempts) + (tried ? 1 : 0);
    if (left < 1) left = 1;
    // A provider reached by mail makes the SMS itself, so it is handed no more of the text
    // than sms_max_parts SMS carry here, as the other transports send and the record says.
    std::string_view text = e.text;
    if (s.send->mode() == SMS_SMTP) {
        sms_split split = sms_text_split(e.text, s.rules.coding, s.rules.max_parts, 0);
        if (split.cut) text = text.substr(0, utf8_prefix_bytes(text, split.characters));
    }
    SendResult r = SendError{SendFailure::failed, 0, "not sent"};
    for (bool first = true; left > 0; --left, first = false) {
        if (!first) {
            emsg("Message send failed, retry...");
            if (job.stopping() || (s.up && !s.up())) {
                // Kept for after the restart or for the transport's return.
                job.later(cut(r.reason()), 0);
                return;
            }
        }
        if (first && tried) {
            r = std::move(*tried);
        } else {
            if (s.usable && !s.usable(sms_of(e, text, first))) {
                // No transport of its route can carry it now: it waits, and as nothing is
                // tried, no attempt is held against it.
                imsg("SMS to [%s] waits: no usable transport", e.destination.c_str());
                job.later("no usable transport", TEMPORARY_RETRY_MS);
                return;
            }
            if (Status marked = job.attempt(); !marked) {
                emsg("Queue entry %llu: cannot mark the attempt (%s), tried again later",
                     static_cast<unsigned long long>(e.id), marked.error().reason.c_str());
                job.later(marked.error().reason, MAIL_STORE_RETRY_MS);
                return;
            }
            if (from_api(e) && s.api != nullptr) s.api->attempt(e);
            r = send_finishing(s, job, sms_of(e, text, first));
        }
        if (r) break;
        if (r.error().kind == SendFailure::cut) {
            // Cut by the shutdown, its outcome unknown: sent after the next start, and
            // this attempt is not held against it.
            dmsg("SMS to [%s] cut short by the shutdown; it stays queued", e.destination.c_str());
            job.give_back_cut();
            return;
        }
        lib_msleep(s.pause_ms);
        if (r.error().kind == SendFailure::temporary) {
            // The transport is away or keeps asking to slow down: not a failure of this SMS.
            job.later(cut(r.error().reason), TEMPORARY_RETRY_MS);
            return;
        }
    }
    if (!r) {
        failed_for_good(s, job, r.error());
        return;
    }
    if (!job.finished()) mail_sent(s, job, r->message_id, wants_report(e), r->transport);
}

}  // namespace

void deliver_mail_entry(const MailSender& s, DeliveryJob& job) {
    deliver_from(s, job, std::nullopt);
}

void deliver_mail_batch(const MailSender& s, std::vector<std::unique_ptr<DeliveryJob>>& jobs) {
    if (jobs.size() < 2 || s.send->mode() != SMS_SMPP) {
        for (auto& job : jobs) deliver_mail_entry(s, *job);
        return;
    }
    std::vector<SmsOut> items;
    items.reserve(jobs.size());
    for (auto& job : jobs) items.push_back(sms_of(job->entry(), job->entry().text, false));
    // The attempts of each group of SMS are marked with one flush just before it goes out;
    // an accepted SMS is finished at once, while it still holds its place in the window,
    // so that a crash resends no more SMS than the window holds. What failed goes on
    // through its own retries afterwards.
    std::string store_error;
    std::vector<bool> marked(jobs.size(), false);  // its attempt is counted
    WindowHooks hooks;
    hooks.before = [&](std::span<const std::size_t> idx) {
        std::vector<DeliveryJob*> group;
        for (std::size_t i : idx) group.push_back(jobs[i].get());
        Status counted = DeliveryJob::attempt_all(group);
        if (counted) {
            std::vector<const queue_entry*> api_entries;
            for (std::size_t i : idx) {
                marked[i] = true;
                if (from_api(jobs[i]->entry())) api_entries.push_back(&jobs[i]->entry());
            }
            if (!api_entries.empty() && s.api != nullptr) s.api->attempts(api_entries);
            return true;
        }
        store_error = counted.error().reason;
        emsg("Queue: cannot mark the attempts of %zu entries (%s), tried again later", group.size(),
             store_error.c_str());
        return false;
    };
    hooks.after = [&](std::size_t i, const SendResult& r) {
        if (r) mail_sent(s, *jobs[i], r->message_id, items[i].want_receipt, r->transport);
    };
    hooks.go_on = [&] { return !jobs.front()->stopping() && (!s.up || s.up()); };
    std::vector<SendResult> results = s.send->send_window(items, hooks);
    for (std::size_t i = 0; i < jobs.size(); ++i) {
        DeliveryJob& job = *jobs[i];
        if (job.finished()) continue;
        if (!marked[i]) {
            // Not sent: given back as it was (shutdown, the bind went down), or tried again
            // later when its attempt could not be stored. A route without a usable
            // transport keeps it waiting; a destination no route takes fails.
            if (!results[i] && results[i].error().kind == SendFailure::temporary)
                job.later(cut(results[i].error().reason), TEMPORARY_RETRY_MS);
            else if (!results[i] && results[i].error().kind == SendFailure::failed)
                failed_for_good(s, job, results[i].error());
            else if (!store_error.empty())
                job.later(store_error, MAIL_STORE_RETRY_MS);
            else
                job.give_back();
            continue;
        }
        // Marked but left unsent by the window (its bind went down): given back as it was.
        if (!results[i] && results[i].error().kind == SendFailure::cut &&
            results[i].error().code == 0 && !job.stopping()) {
            job.give_back();
            continue;
        }
        // A cut result (its answer lost to a shutdown) takes its attempt back; the rest go
        // on through their own retries.
        deliver_from(s, job, std::move(results[i]));
    }
}

void expire_mail_entry(const MailSender& s, const queue_entry& e) {
    fail(s, e, "expired in queue", "expired");
    gateway_count_sms_failed(s.send->mode());
}

}  // namespace tolvane
