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
#include "gateway/gateway.h"
#include "gateway/gateway_metrics.h"
#include "gateway/keys.h"
#include "gateway/mail_to_sms.h"
#include "gateway/smpp_receipts.h"
#include "smtp/engine.h"
#include "smtp/relay_client.h"
#include "records/msglog.h"
#include "records/stores.h"

namespace tolvane {

namespace {

// The queue entries stored by this process whose rate-limit units are still reserved.
// With each entry the name its client authenticated as ("" for none): it is counted in the
// limits' user kind when the SMS is sent. An entry of an earlier run holds no unit here;
// its SMS count for the name the entry itself keeps.
class Reservations {
  public:
    void hold(std::uint64_t id, const std::string& user) {
        std::lock_guard<std::mutex> g(m_);
        ids_[id] = user;
    }
    // True (and forgotten) when the entry held its units; user gets its name.
    bool take(std::uint64_t id, std::string& user) {
        std::lock_guard<std::mutex> g(m_);
        auto it = ids_.find(id);
        if (it == ids_.end()) return false;
        user = std::move(it->second);
        ids_.erase(it);
        return true;
    }

  private:
    std::mutex m_;
    std::unordered_map<std::uint64_t, std::string> ids_;
};

Reservations& reservations() {
    static Reservations r;
    return r;
}

// One unit of each of the entry's keys goes back in every limit.
void give_back(const queue_entry& e, const std::string& user) {
    for (msgrecs* mr : msgrec_limits()) {
        limit_store().unreserve(mr, MSGREC_IP, e.client, 1);
        limit_store().unreserve(mr, MSGREC_FROM, e.billing, 1);
        limit_store().unreserve(mr, MSGREC_TO, e.destination, 1);
        if (!user.empty()) limit_store().unreserve(mr, MSGREC_USER, user, 1);
    }
}

// The unit an entry holds in every limit goes back: its SMS failed for good.
void give_back_units(const queue_entry& e) {
    std::string user;
    if (!reservations().take(e.id, user)) return;
    give_back(e, user);
}

// The record and the notice of a final failure.
void fail(const MailSender& s, const queue_entry& e, const std::string& why) {
    std::string notice =
        strprintf("SMS to (%s) failed delivery (%s)", e.destination.c_str(), why.c_str());
    state_write("FAILURE", e.client, e.billing, e.destination, why, "rec", false);
    give_back_units(e);
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
constexpr long SMPP_TEMPORARY_RETRY_MS = 5000;

}  // namespace

MailSendRules mail_send_rules(const SIni* ini) {
    MailSendRules r;
    r.retries = std::max(0L, sini_number(ini, SMS_RETRIES, r.retries));
    r.coding = sms_coding_parse(sini_word(ini, SMS_CODING)).value_or(sms_coding::automatic);
    long parts = sini_number(ini, SMS_MAX_PARTS, r.max_parts);
    r.max_parts = parts > 0 ? static_cast<int>(parts) : 10;
    return r;
}

void mail_units_hold(std::uint64_t id, const std::string& user) {
    reservations().hold(id, user);
}

namespace {

bool wants_report(const queue_entry& e) {
    // "X-Sms-Report: yes" asks an SMS centre for a report on this SMS.
    bool want = false;
    for (const auto& [name, value] : e.headers)
        if (iequals(name, "X-Sms-Report")) want = iequals(trim_view(value), "yes");
    return want;
}

// What a sent SMS produces: its counts, message-log entry and SUCCESS record; then the
// entry is done. id is the SMS centre's message id ("" for other transports).
void mail_sent(const MailSender& s, DeliveryJob& job, const std::string& id, bool want_report) {
    const queue_entry& e = job.entry();
    dmsg("Message sent successfully");
    gateway_count_sms_sent(sms_mode(s.send),
                           static_cast<double>(delivery_now_ms() - e.enqueued_ms) / 1000.0);
    if ((e.flags & MAIL_FROM_SENDER) == 0) msglog_store_of().store(e.destination, e.sender);
    // The record counts the SMS and settles the unit its admission reserved in one step.
    // An entry stored before a restart holds no unit and is only counted (for its user too,
    // by the name the entry keeps); when the record
    // cannot be written nothing was counted, and the unit is given back.
    std::string user;
    bool held = reservations().take(e.id, user);
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
    if (!state_write("SUCCESS", e.client, e.billing, e.destination, record, "rec", true, held,
                     user) &&
        held)
        give_back(e, user);
    if (!id.empty())
        smpp_remember_submit(id, {e.client, e.billing, e.destination, e.originator, want_report});
    // No pause after a success: the pace of the transport is set by the number of workers.
    job.done(true, std::string());
}

// The sends of one entry with their retries. tried: the result of a first attempt already
// counted and made (in a batch); without it the first attempt is made here.
void deliver_from(const MailSender& s, DeliveryJob& job, std::optional<int> tried) {
    const queue_entry& e = job.entry();
    // sms_retries retries after the first attempt; attempts made before a restart count, but
    // an entry always gets one attempt more than it had, since the last one left no outcome.
    long budget = s.rules.retries + 1;
    long left = budget - static_cast<long>(e.attempts) + (tried ? 1 : 0);
    if (left < 1) left = 1;
    smtp_message_extra extra;
    extra.headers = e.headers;
    const bool want_report = wants_report(e);
    smpp_send_note& note = sms_smpp_send_note();
    // A provider reached by mail makes the SMS itself, so it is handed no more of the text
    // than sms_max_parts SMS carry here, as the other transports send and the record says.
    std::string_view text = e.text;
    if (sms_mode(s.send) == SMS_SMTP) {
        sms_split split = sms_text_split(e.text, s.rules.coding, s.rules.max_parts, 0);
        if (split.cut) text = text.substr(0, utf8_prefix_bytes(text, split.characters));
    }
    int err = 0;
    for (bool first = true; left > 0; --left, first = false) {
        if (!first) {
            emsg("Message send failed, retry...");
            if (job.stopping() || (s.up && !s.up())) {
                // Kept for after the restart or for the transport's return.
                job.later(cut(sms_error_text(s.send, err)), 0);
                return;
            }
        }
        if (first && tried) {
            err = *tried;
        } else {
            std::string why;
            if (!job.attempt(why)) {
                emsg("Queue entry %llu: cannot mark the attempt (%s), tried again later",
                     static_cast<unsigned long long>(e.id), why.c_str());
                job.later(why, MAIL_STORE_RETRY_MS);
                return;
            }
            note.want_report = want_report;
            // The header copy travels with the first attempt of a mail only.
            err = sms_send(s.send, first && e.attempts <= 1 ? &extra : nullptr, e.originator,
                           e.destination, text);
        }
        if (err == SMS_SEND_CUT) {
            // Cut by the shutdown, its outcome unknown: sent after the next start, and
            // this attempt is not held against it.
            dmsg("SMS to [%s] cut short by the shutdown; it stays queued", e.destination.c_str());
            job.give_back_cut();
            return;
        }
        if (err != 0) lib_msleep(s.pause_ms);
        if (err == 0) break;
        if (sms_mode(s.send) == SMS_SMPP && sms_smpp_temporary(err)) {
            // The centre is away or keeps asking to slow down: not a failure of this SMS.
            job.later(cut(sms_error_text(s.send, err)), SMPP_TEMPORARY_RETRY_MS);
            return;
        }
    }
    if (err != 0 && s.up && !s.up()) {
        // The transport went down under the send: the entry waits for it to come back
        // (with at least one attempt left) instead of failing for good.
        std::string why = cut(sms_error_text(s.send, err));
        imsg("SMS to [%s] waits: the transport is down (%s)", e.destination.c_str(), why.c_str());
        job.later(why, 0);
        return;
    }
    if (err != 0) {
        std::string why = cut(sms_error_text(s.send, err));
        emsg("Message send error OTHER [%d:%s]", err, why.c_str());
        fail(s, e, why);
        gateway_count_sms_failed(sms_mode(s.send));
        job.done(false, why);
        return;
    }
    mail_sent(s, job, sms_mode(s.send) == SMS_SMPP ? note.message_id : std::string(),
              want_report);
}

}  // namespace

void deliver_mail_entry(const MailSender& s, DeliveryJob& job) {
    deliver_from(s, job, std::nullopt);
}

void deliver_mail_batch(const MailSender& s, std::vector<std::unique_ptr<DeliveryJob>>& jobs) {
    if (jobs.size() < 2 || sms_mode(s.send) != SMS_SMPP) {
        for (auto& job : jobs) deliver_mail_entry(s, *job);
        return;
    }
    std::vector<smpp_batch_item> items(jobs.size());
    for (std::size_t i = 0; i < jobs.size(); ++i) {
        const queue_entry& e = jobs[i]->entry();
        items[i].from = e.originator;
        items[i].to = e.destination;
        items[i].text = e.text;
        items[i].want_report = wants_report(e);
    }
    // The attempts of each group of SMS are marked with one flush just before it goes out;
    // an accepted SMS is finished at once, while it still holds its place in the window,
    // so that a crash resends no more SMS than the window holds. What failed goes on
    // through its own retries afterwards.
    std::string store_error;
    std::vector<bool> marked(jobs.size(), false);  // its attempt is counted
    smpp_batch_hooks hooks;
    hooks.before = [&](const std::vector<std::size_t>& idx) {
        std::vector<DeliveryJob*> group;
        for (std::size_t i : idx) group.push_back(jobs[i].get());
        if (DeliveryJob::attempt_all(group, store_error)) {
            for (std::size_t i : idx) marked[i] = true;
            return true;
        }
        emsg("Queue: cannot mark the attempts of %zu entries (%s), tried again later",
             group.size(), store_error.c_str());
        return false;
    };
    hooks.after = [&](std::size_t i) {
        if (items[i].err == 0) mail_sent(s, *jobs[i], items[i].message_id, items[i].want_report);
    };
    hooks.go_on = [&] { return !jobs.front()->stopping() && (!s.up || s.up()); };
    sms_smpp_send_batch(s.send, items, hooks);
    for (std::size_t i = 0; i < jobs.size(); ++i) {
        DeliveryJob& job = *jobs[i];
        if (job.finished()) continue;
        if (!items[i].sent) {
            // Not sent: given back as it was (shutdown, the bind went down), or tried again
            // later when its attempt could not be stored. One that went out in a group and
            // lost its answer to a shutdown has an unknown outcome: its attempt is taken back.
            if (marked[i] && job.stopping())
                job.give_back_cut();
            else if (!store_error.empty())
                job.later(store_error, MAIL_STORE_RETRY_MS);
            else
                job.give_back();
            continue;
        }
        deliver_from(s, job, items[i].err);
    }
}

void expire_mail_entry(const MailSender& s, const queue_entry& e) {
    fail(s, e, "expired in queue");
    gateway_count_sms_failed(sms_mode(s.send));
}

}  // namespace tolvane
