// The SMS-to-mail path (see sms_to_mail.h).
#include "gateway/sms_to_mail.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>

#include "foundation/lib.h"
#include "foundation/log.h"
#include "foundation/utf8.h"
#include "gateway/gateway.h"
#include "gateway/gateway_metrics.h"
#include "gateway/keys.h"
#include "gateway/reload.h"
#include "gateway/sms_parts.h"
#include "gateway/webhooks.h"
#include "smtp/engine.h"
#include "smtp/relay_client.h"
#include "records/msglog.h"
#include "records/msgrec.h"
#include "records/mutexlist.h"
#include "records/phones.h"
#include "records/stores.h"
#include "sms/sms_concat.h"

namespace tolvane {

namespace {

constexpr const char* kUndeliverable =
    "Message undeliverable, destination email address required in message";

const char* value_of(const SIni* ini, int key, const char* part = nullptr, int count = 0) {
    return sini_getx(ini, key, nullptr, part, count);
}
bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v';
}

// Appends add to out so that out holds at most limit characters (never part of one).
void append_cut(std::string& out, std::string_view add, std::size_t limit) {
    const std::size_t have = utf8_length(out);
    if (have >= limit) return;
    out.append(add.substr(0, utf8_prefix_bytes(add, limit - have)));
}

// A "$(BODYn)" name: "BODY" in any case, then nothing or a decimal number (maybe signed).
bool body_length(std::string_view name, int& n) {
    if (name.size() < 4 || !istarts_with(name, "BODY")) return false;
    std::string_view rest = name.substr(4);
    std::size_t i = 0;
    if (i < rest.size() && (rest[i] == '-' || rest[i] == '+')) ++i;
    if (i == rest.size() && i > 0) return false;
    for (std::size_t k = i; k < rest.size(); ++k)
        if (rest[k] < '0' || rest[k] > '9') return false;
    n = rest.empty() ? 0 : s_atoi(std::string(rest).c_str());
    return true;
}

// A text for a log line: bytes outside printable ASCII shown as \xNN, so that a line
// end in an originator cannot start a forged log line.
std::string printable(std::string_view text) {
    std::string out;
    for (char c : text) {
        auto u = static_cast<unsigned char>(c);
        if (u >= 0x20 && u < 0x7f && c != '\\')
            out.push_back(c);
        else
            out += strprintf("\\x%02x", u);
    }
    return out;
}

// The parts of long SMS waiting for the rest, for the whole process. The wait follows
// the settings in use (a reload may change it).
// The path's reassembly, its wait set from the settings.
sms_reassembly& reassembly(const SmsPath& path) {
    sms_reassembly& r = path.long_sms->reassembly;
    const char* v = value_of(path.ini, SMS_CONCAT_WAIT);
    long wait = v != nullptr ? std::atol(v) : 0;
    r.set_wait(wait > 0 ? wait : SMS_CONCAT_WAIT_DEFAULT);
    return r;
}

// The working state of one SMS; the steps below share it.
class SmsJob {
  public:
    // sms: the received SMS (null for a long SMS joined from stored parts).
    SmsJob(const SmsPath& path, const InboundSms* sms) : p_(path), sms_(sms) {}

    // A long SMS given out by the reassembly (complete, or with parts marked missing):
    // it goes the way of a single SMS, with nothing to answer to a transport.
    void run_joined(const concat_done& d) {
        number_ = d.originator;
        to_number_ = d.recipient;
        body_ = d.text;
        if (d.complete()) {
            imsg("Long SMS from (%s) complete: %d parts joined", number_.c_str(), d.total);
        } else {
            imsg(
                "Long SMS from (%s) incomplete after its wait: %d of %d parts, the rest marked "
                "missing",
                number_.c_str(), d.received, d.total);
        }
        if (ignored()) return;
        route(d.total);
    }
    // False when what this SMS produced could not be stored (the source should give it again).
    bool kept() const { return answer_ == 0; }
    // The answer to the transport: kept when its mail is stored in the queue or it was
    // deliberately dropped (ignored, undeliverable, no alias); else a temporary status, so
    // that a centre delivers it again and a modem keeps it.
    InboundVerdict verdict() const {
        InboundVerdict v;
        v.kept = kept();
        v.code = answer_;
        v.reason = kept() ? "OK" : "not mailed, deliver again later";
        v.recheck_idle = recheck_;
        return v;
    }
    SmsJob(const SmsJob&) = delete;
    SmsJob& operator=(const SmsJob&) = delete;

    void run() {
        dmsg("Incoming message on the %s transport", p_.recv ? p_.recv->name().c_str() : "");
        std::string raw = cut(sms_->from);
        number_ = address_number(raw);
        if (number_ != raw)
            imsg("Sender (%s) reduced to (%s) for addresses and records", printable(raw).c_str(),
                 number_.c_str());
        to_number_ = cut(sms_->to);
        body_ = utf8_cut(sms_->text, TEXT_MAX);
        imsg("New SMS from (%s) to (%s)", number_.c_str(), to_number_.c_str());
        const sms_concat& c = sms_->concat;
        if (c.is_part()) {
            // Held until its set is complete. It is stored first, so that the transport's
            // acknowledgement promises no more than the disk holds.
            PartKey key{number_, c.reference, c.total};
            std::uint64_t id = 0;
            if (!store_part(c, id)) return;
            p_.long_sms->parts.remember(key, id);
            // A shared store: the other parts may have reached other gateways.
            if (std::optional<TakenSet> t = take_set(p_.queue, key, true); t && !t->ids.empty()) {
                reassembly(p_).drop(number_, c.reference, c.total);
                (void)p_.long_sms->parts.take(key);
                give_taken(p_, *t);
                return;
            }
            std::vector<concat_done> ready;
            concat_outcome o = reassembly(p_).add(number_, to_number_, c, body_, ready);
            if (o == concat_outcome::duplicate) {
                imsg("Part %d of %d (reference %d) from (%s) already held, ignored", c.part,
                     c.total, c.reference, number_.c_str());
                drop_part(p_.queue, p_.long_sms->parts, key, id);
            }
            if (o == concat_outcome::waiting) {
                imsg("Part %d of %d (reference %d) from (%s) held for the rest", c.part, c.total,
                     c.reference, number_.c_str());
                // The receiver may be waiting without a timer: it asks idle() again for the
                // new set's deadline.
                recheck_ = true;
            }
            for (const concat_done& d : ready) give_out(p_, d);
            return;
        }
        if (ignored()) return;
        route(1);
    }

    // A set given out by the reassembly goes the way of a single SMS; its stored parts
    // are finished once that is done, or put back to wait when its mail cannot be stored.
    // With a shared store the set is taken from it first: every gateway's parts, or
    // nothing when another gateway has mailed it.
    static void give_out(const SmsPath& path, const concat_done& d) {
        PartKey key{d.originator, d.reference, d.total};
        std::vector<std::uint64_t> ids = path.long_sms->parts.take(key);
        if (std::optional<TakenSet> t = take_set(path.queue, key, false)) {
            if (!t->failed.empty()) {
                // Its parts stay stored as they are, ours: the next start takes them up.
                emsg("Long SMS from (%s) (reference %d) cannot be taken from the store now (%s)",
                     d.originator.c_str(), d.reference, t->failed.c_str());
                return;
            }
            if (t->ids.empty()) {
                imsg("Long SMS from (%s) (reference %d) already taken by another gateway",
                     d.originator.c_str(), d.reference);
                return;
            }
            give_taken(path, *t);
            return;
        }
        if (!mail_joined(path, d, ids))
            put_back(path.queue, reassembly(path), path.long_sms->parts, ids);
    }

    // A set taken from a shared store: given back to every gateway when its mail cannot
    // be stored, and waiting here again.
    static void give_taken(const SmsPath& path, const TakenSet& t) {
        if (mail_joined(path, t.done, t.ids)) return;
        path.queue->give_back_set(t.ids);
        put_back(path.queue, reassembly(path), path.long_sms->parts, t.ids);
    }

    // The joined mail replaces the stored parts (ids) in one write; a set that produced no
    // mail has them finished. False when the mail could not be stored.
    static bool mail_joined(const SmsPath& path, const concat_done& d,
                            const std::vector<std::uint64_t>& ids) {
        SmsJob joined(path, nullptr);
        joined.replaces_ = ids;
        joined.run_joined(d);
        if (!joined.kept()) return false;
        if (!joined.replaced_) finish_entries(path.queue, ids, "joined");
        return true;
    }

  private:
    // Where the SMS goes (sms_deliver): its webhook, its mail, or both, stored together.
    // parts: how many SMS it came in.
    void route(int parts) {
        const int how = sms_deliver_of(p_.ini);
        if ((how & SMS_DELIVER_WEBHOOK) != 0) hook_ = hook_entry(parts);
        if ((how & SMS_DELIVER_MAIL) == 0) {
            store_hook();
            return;
        }
        // An SMS the mail side cannot route still goes to the webhook, unless it is to come
        // again (a store that could not be read).
        if (!find_destination()) {
            if (answer_ == 0) store_hook();
            return;
        }
        deliver();
    }

    queue_entry hook_entry(int parts) const {
        std::string transport = p_.recv != nullptr ? delivery_name(sms_mode(p_.recv)) : "";
        std::string body =
            sms_webhook_body(number_, to_number_, body_, delivery_now_ms(), transport, parts);
        return webhook_entry(sini_text(p_.ini, SMS_WEBHOOK_URL), std::move(body),
                             sini_text(p_.ini, SMS_WEBHOOK_SECRET));
    }

    // The webhook alone (no mail goes out for this SMS).
    void store_hook() {
        if (!hook_) return;
        std::vector<queue_entry> batch{std::move(*hook_)};
        hook_.reset();
        std::uint64_t id = 0;
        if (!store(std::move(batch), strprintf("Webhook of SMS from (%s)", number_.c_str()), id))
            return;
        imsg("Posting SMS from (%s) to the webhook (queue entry %llu)", number_.c_str(),
             static_cast<unsigned long long>(id));
    }

    // Stores an entry holding this SMS's text; when it cannot be, the transport is asked to
    // give the SMS again ("<what> not stored (<why>), ...").
    bool store(queue_entry e, const std::string& what, std::uint64_t& id) {
        e.text = body_;
        std::vector<queue_entry> batch{std::move(e)};
        return store(std::move(batch), what, id);
    }
    // Stores the batch in one write (all or nothing); id is that of its first entry. A
    // webhook entry keeps its own text (its JSON body).
    bool store(std::vector<queue_entry> batch, const std::string& what, std::uint64_t& id) {
        for (queue_entry& e : batch) {
            e.sender = number_;
            e.client = "SMS";
        }
        Status stored = p_.queue == nullptr ? Status(Error{0, "no queue"})
                                            : p_.queue->enqueue_replacing(batch, replaces_);
        if (!stored) {
            emsg("%s not stored (%s), the centre is asked to deliver it again", what.c_str(),
                 stored.error().reason.c_str());
            answer_ = SMS_RETRY_LATER;
            return false;
        }
        id = batch[0].id;
        replaced_ = !replaces_.empty();
        return true;
    }

    bool store_part(const sms_concat& c, std::uint64_t& id) {
        queue_entry e;
        e.kind = QUEUE_SMS_PART;
        e.destination = to_number_;
        e.originator = number_;
        e.flags = pack_concat(c);
        return store(std::move(e),
                     strprintf("Part %d of %d from (%s)", c.part, c.total, number_.c_str()), id);
    }

    // Step 2: senders listed in sms_ignore produce nothing at all.
    bool ignored() {
        for (int n = 0;; ++n) {
            const char* v = value_of(p_.ini, SMS_IGNORE, nullptr, n);
            if (v == nullptr) return false;
            if (iequals(v, number_)) {
                imsg("Ignoring message from (%s) due to sms_ignore (%s)", number_.c_str(), v);
                return true;
            }
        }
    }

    // Step 3: the first rule that yields an address; false when the SMS is undeliverable
    // (answered and recorded here).
    bool find_destination() {
        if (istrue(value_of(p_.ini, SMS_STATIC))) {
            dest_ = make_email(p_.ini, or_empty(value_of(p_.ini, GSM_NUMBER)));
            imsg("sms_static is true, so use gsm_number for email address (%s)", dest_.c_str());
            return true;
        }
        bool unavailable = false;
        if (std::optional<std::string> pooled = pool_address(unavailable)) {
            dest_ = cut(*pooled);
            imsg("phone_in email is (%s)", dest_.c_str());
            return true;
        }
        // The pool comes first: while it cannot be read, no later rule may decide.
        if (unavailable) return retry_later("the phone pool");
        std::string first;
        int candidates = p_.state->msglog->lookup(number_, 0, first);
        if (std::optional<std::string> k = keyword_destination(p_.ini, body_, number_)) {
            dest_ = *k;
            return true;
        }
        if (std::optional<std::string> a = text_address(body_)) {
            dest_ = *a;
            imsg("Found 'To' address [%s] in sms message", dest_.c_str());
            return true;
        }
        std::string delivery;
        if (alias_find(p_.df, number_, delivery)) {
            dest_ = cut(delivery);
            imsg("Destination (%s) found in delivery_file", dest_.c_str());
            return true;
        }
        // Only the message log could route it now: an answer bounced because the shared
        // log was away would be lost.
        if (candidates < 0) return retry_later("the message log");
        if (candidates > 1 && istrue(value_of(p_.ini, SMS_BEST_GUESS))) {
            std::string latest;
            if (p_.state->msglog->latest(number_, latest)) {
                dest_ = cut(latest);
                imsg("sms_best_guess: (%s) of %d remembered addresses", dest_.c_str(), candidates);
                return true;
            }
        }
        if (candidates == 1 && !first.empty()) {
            dest_ = cut(first);
            imsg("Destination (%s) found in the message log", dest_.c_str());
            return true;
        }
        undeliverable(candidates);
        return false;
    }

    // The pool binds the numbers we send from, so an answer names its pool number as
    // the number it was sent to; the sender's own number is tried after it.
    std::optional<std::string> pool_address(bool& unavailable) {
        LockHold hold(p_.state->phones->use_lock());
        if (!to_number_.empty()) {
            if (std::optional<std::string> a = p_.state->phones->in(to_number_, unavailable))
                return a;
            if (unavailable) return std::nullopt;
        }
        if (!number_.empty()) return p_.state->phones->in(number_, unavailable);
        return std::nullopt;
    }

    // The SMS is not taken: the centre (or modem) is asked to deliver it again later.
    bool retry_later(const char* what) {
        emsg(
            "SMS from (%s) not routed: %s cannot be read now, the centre is asked to deliver "
            "it again",
            number_.c_str(), what);
        answer_ = SMS_RETRY_LATER;
        return false;
    }

    // Step 3i: the answer SMS (when allowed) and the record; no mail.
    void undeliverable(int candidates) {
        std::string text = kUndeliverable;
        if (candidates > 1) {
            imsg("No email specified and several possible, bounce sms message...");
            text += "\nRecent addresses include: ";
            for (int i = candidates - 1; i >= 0; --i) {
                std::string a;
                p_.state->msglog->lookup(number_, i, a);
                text += a;
                if (i > 0) text += ",";
            }
            text = cut(text);
        } else {
            imsg("Failed to lookup email address to deliver to, and none specified in sms");
        }
        if (istrue(value_of(p_.ini, SMS_BOUNCES)) && p_.send != nullptr && !number_.empty()) {
            std::string from =
                to_number_.empty() ? cut(or_empty(value_of(p_.ini, GSM_NUMBER))) : to_number_;
            // Back through the transport the SMS came in on, while it is usable.
            SmsOut answer{.from = from, .to = number_, .text = text};
            answer.via = p_.recv;
            SendResult r = p_.send->send(answer);
            if (!r) {
                std::string why = cut(r.error().reason);
                emsg("Failed to send the undeliverable notice to (%s) [%d:%s]", number_.c_str(),
                     r.error().code, why.c_str());
                state_write(*p_.state, "FAILURE", "LOCAL", from, number_, why, "log", false);
            } else {
                imsg("Undeliverable notice sent to (%s)", number_.c_str());
            }
        }
        state_write(*p_.state, "FAILURE", "SMS", number_, "UNKNOWN", "Unknown recipient", "log",
                    false);
    }

    // Steps 4 to 7: subject, sender address, the relay with its retries, the record.
    void deliver() {
        smtp_message_extra headers;
        mail_header_set(headers.headers, "Subject", make_subject(p_.ini, body_, number_));
        mail_header_set(headers.headers, "X-Tolvane", "SMS");

        std::string sender;
        if (!alias_find(p_.af, number_, sender)) {
            if (istrue(value_of(p_.ini, ALIAS_FILE, "required"))) {
                std::string why = strprintf("Alias for (%s) not found", number_.c_str());
                imsg("%s, no mail sent", why.c_str());
                state_write(*p_.state, "FAILURE", "SMS", number_, dest_, why, "log", false);
                store_hook();
                return;
            }
            sender = make_email(p_.ini, number_);
        }
        sender = cut(sender);

        // Stored before the centre is answered, so the relay runs from the queue and a slow
        // relay never makes the centre wait or deliver the SMS again.
        queue_entry e;
        e.kind = QUEUE_SMS_TO_MAIL;
        e.destination = dest_;
        e.originator = sender;
        e.headers = headers.headers;
        e.text = body_;
        std::vector<queue_entry> batch{std::move(e)};
        if (hook_) batch.push_back(std::move(*hook_));
        hook_.reset();
        const bool hooked = batch.size() > 1;
        std::uint64_t id = 0;
        if (!store(std::move(batch), strprintf("SMS from (%s)", number_.c_str()), id)) return;
        imsg("Mailing SMS from (%s) to [%s] (queue entry %llu)%s", number_.c_str(), dest_.c_str(),
             static_cast<unsigned long long>(id), hooked ? " and posting it to the webhook" : "");
    }

    const SmsPath& p_;
    const InboundSms* sms_;
    std::string number_, to_number_, body_, dest_;
    int answer_ = 0;                   // 0: accept; else the status the SMS is rejected with
    std::optional<queue_entry> hook_;  // the webhook entry, while it waits to be stored
    bool recheck_ = false;             // a part is held: the receiver asks idle() again
    // The stored parts a joined mail replaces: finished in the write that stores it.
    std::vector<std::uint64_t> replaces_;
    bool replaced_ = false;
};

}  // namespace

std::string address_number(std::string_view raw) {
    std::string out;
    for (char c : raw.substr(0, TEXT_MAX)) {
        bool keep = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                    c == '+' || c == '.' || c == '-' || c == '_';
        if (keep) out.push_back(c);
    }
    return out.empty() ? std::string("unknown") : out;
}

std::string make_email(const SIni* ini, std::string_view number) {
    int n = static_cast<int>(number.size());
    return strprintf("\"%.*s\" <%s%.*s@%s>", n, number.data(), or_empty(value_of(ini, SMTP_PREFIX)),
                     n, number.data(), or_empty(value_of(ini, SMTP_DOMAIN)));
}

std::string make_subject(const SIni* ini, std::string_view body, std::string_view number,
                         std::size_t size) {
    const std::size_t limit = size > 0 ? size - 1 : 0;
    std::string tmpl = cut(or_empty(value_of(ini, EMAIL_SUBJECT)));
    dmsg("make subject using (%s)", tmpl.c_str());
    std::string out;
    std::string_view t = tmpl;
    while (!t.empty() && utf8_length(out) < limit) {
        std::size_t open = t.find("$(");
        if (open == std::string_view::npos) {
            append_cut(out, t, limit);
            break;
        }
        append_cut(out, t.substr(0, open), limit);
        std::size_t close = t.find(')', open + 2);
        if (close == std::string_view::npos) {
            append_cut(out, t.substr(open + 1), limit);  // only the "$" goes
            break;
        }
        std::string name(t.substr(open + 2, close - open - 2));
        int n = 0;
        if (iequals(name, "FROM")) {
            append_cut(out, number, limit);
        } else if (body_length(name, n)) {
            if (n == -1) n = 20;
            // n + 1 characters of the text are examined; a cut never splits one.
            long examine = static_cast<long>(n) + 1;
            std::size_t have = utf8_length(out);
            std::size_t at = 0;
            for (long i = 0; i < examine && at < body.size() && have < limit; ++i) {
                const std::size_t start = at;
                utf8_next(body, at);
                if (body[start] == '\r' || body[start] == '\n') continue;
                out.append(body.substr(start, at - start));
                ++have;
            }
        } else {
            int id = sini_id(ini, name.c_str());
            const char* v = id >= 0 ? value_of(ini, id) : nullptr;
            if (has_text(v))
                append_cut(out, v, limit);
            else
                append_cut(out, t.substr(open + 1, close - open), limit);
        }
        t.remove_prefix(close + 1);
    }
    dmsg("make subject (%s)", out.c_str());
    return out;
}

std::optional<std::string> keyword_destination(const SIni* ini, std::string_view text,
                                               std::string_view number) {
    for (int n = 0; value_of(ini, SMS_TO, nullptr, n) != nullptr; ++n) {
        const char* kw = value_of(ini, SMS_TO, "keyword", n);
        if (kw == nullptr) continue;
        std::string keyword = cut(std::string(kw) + " ");
        dmsg("sms_to keyword (%s) == (%.*s)", keyword.c_str(),
             static_cast<int>(std::min(keyword.size(), text.size())), text.data());
        if (!istarts_with(text, keyword)) continue;
        const char* phone = value_of(ini, SMS_TO, "phone", n);
        dmsg("sms_to phone (%s) == (%.*s)", or_empty(phone), static_cast<int>(number.size()),
             number.data());
        if (!wild_match(number, or_empty(phone))) continue;
        std::string_view rest = text.substr(keyword.size());
        while (!rest.empty() && is_space(rest.front())) rest.remove_prefix(1);
        std::size_t end = 0;
        while (end < rest.size() && !is_space(rest[end])) ++end;
        std::string_view word = rest.substr(0, std::min(end, TEXT_MAX));
        if (word.empty()) continue;  // "to" and nothing after it names no one
        std::string dest;
        if (word.find('@') != std::string_view::npos) {
            // A whole address after the keyword is taken as it stands.
            if (!rfc_raw_email(word, dest)) continue;
        } else {
            const char* domain = value_of(ini, SMS_TO, "domain", n);
            if (!has_text(domain)) domain = value_of(ini, SMTP_DOMAIN);
            dest = cut(std::string(or_empty(value_of(ini, SMS_TO, "prefix", n))) +
                       std::string(word) + "@" + or_empty(domain));
        }
        imsg("sms_to sending to (%s)", dest.c_str());
        return dest;
    }
    return std::nullopt;
}

std::optional<std::string> text_address(std::string_view text) {
    for (std::size_t i = 1; i + 1 < text.size(); ++i) {
        if (text[i] != '@' || is_space(text[i - 1]) || is_space(text[i + 1])) continue;
        std::size_t start = i;
        while (start > 0 && !is_space(text[start - 1])) --start;
        std::size_t end = i;
        while (end < text.size() && !is_space(text[end])) ++end;
        std::string raw;
        if (!rfc_raw_email(text.substr(start, end - start), raw) || raw.empty())
            return std::nullopt;
        return cut(raw);
    }
    return std::nullopt;
}

void sms_relay_rules(const SIni* ini, SmsRelay& r) {
    r.retries = static_cast<int>(sini_number(ini, SMTP_RETRIES, r.retries));
    r.retry_wait = static_cast<int>(sini_number(ini, SMTP_RETRY_WAIT, r.retry_wait));
}

void deliver_sms_entry(const SmsRelay& r, DeliveryJob& job) {
    const queue_entry& e = job.entry();
    if (Status marked = job.attempt(); !marked) {
        emsg("Queue entry %llu: cannot mark the attempt (%s), tried again later",
             static_cast<unsigned long long>(e.id), marked.error().reason.c_str());
        job.later(marked.error().reason, SMS_STORE_RETRY_MS);
        return;
    }
    Status st = r.relay != nullptr ? r.relay->send({e.originator, e.destination, e.text, e.headers})
                                   : Status(Error{SMTP_ECONNECT, "no relay"});
    const int err = st ? 0 : st.error().code;
    if (err == 0) {
        imsg("Message sent successfully");
        gateway_count_relayed(true);
        state_write(*r.state, "SUCCESS", "SMS", e.sender, e.destination, "NONE", "log", false);
        job.done(true, std::string());
        return;
    }
    if (err == SMTP_ECUT) {
        // Cut by the shutdown: relayed after the next start, this attempt not counted.
        job.give_back_cut();
        return;
    }
    std::string error = cut(st.reason());
    if (static_cast<long>(e.attempts) <= static_cast<long>(r.retries)) {
        int wait = r.retry_wait < 0 ? 0 : r.retry_wait;
        emsg("Message send failed, retry in %d mins...", wait);
        job.later(error, static_cast<long>(wait) * r.minute_ms);
        return;
    }
    emsg("Message send error SMTP [%d:%s]", err, error.c_str());
    gateway_count_relayed(false);
    state_write(*r.state, "FAILURE", "SMS", e.sender, e.destination, error, "log", false);
    job.done(false, error);
}

void expire_sms_entry(const SmsRelay& r, const queue_entry& e) {
    gateway_count_relayed(false);
    state_write(*r.state, "FAILURE", "SMS", e.sender, e.destination, "expired in queue", "log",
                false);
}

InboundVerdict sms_to_mail(const SmsPath& path, const InboundSms& sms) {
    gateway_count_sms_received(sms_mode(path.recv));
    SmsJob job(path, &sms);
    job.run();
    return job.verdict();
}

int sms_concat_expire(const SmsPath& path) {
    std::vector<concat_done> due = reassembly(path).expire();
    for (const concat_done& d : due) SmsJob::give_out(path, d);
    return static_cast<int>(due.size());
}

int sms_concat_adopt(const SmsPath& path) {
    if (path.queue == nullptr) return 0;
    std::vector<concat_set> sets = adopt_parts(*path.queue, path.long_sms->parts);
    std::vector<PartKey> keys;
    for (const concat_set& s : sets) keys.push_back({s.originator, s.reference, s.total});
    reassembly(path).merge(std::move(sets));
    // A set whose other parts are stored by live gateways may be whole now; the others
    // wait out what is left of their wait, counted from their first part.
    for (const PartKey& k : keys) {
        std::optional<TakenSet> t = take_set(path.queue, k, true);
        if (!t || t->ids.empty()) continue;
        reassembly(path).drop(k.originator, k.reference, k.total);
        (void)path.long_sms->parts.take(k);
        SmsJob::give_taken(path, *t);
    }
    return static_cast<int>(keys.size());
}

int sms_concat_restore(const SmsPath& path) {
    if (path.queue == nullptr) return 0;
    std::vector<concat_set> waiting;
    std::vector<concat_done> complete;
    int parts = restore_parts(*path.queue, path.long_sms->parts, waiting, complete);
    reassembly(path).merge(std::move(waiting));
    // A set whose last part came just before a stop: its mail was not stored yet.
    for (const concat_done& d : complete) SmsJob::give_out(path, d);
    return parts;
}

namespace {

// The gateway's sink of received SMS: each goes the SMS-to-mail way with the gateway's
// transports and tables; an idle receiver mails the sets of parts whose wait ran out.
class SmsToMailSink : public InboundSink {
  public:
    SmsToMailSink(const SmsPath& base, const AliasTables& tables, std::shared_ptr<rini> reader)
        : base_(base), tables_(tables), reader_(std::move(reader)) {}

    InboundVerdict received(SmsTransport& from, InboundSms sms) override {
        Tables t{tables_.alias(), tables_.delivery()};
        return sms_to_mail(path_of(&from, t), sms);
    }

    // Parts whose wait ran out are mailed as they are, and the next set due says how long
    // the receiver may wait for an SMS.
    long idle() override {
        Tables t{tables_.alias(), tables_.delivery()};
        SmsPath path = path_of(base_.recv, t);
        // A shared store: the parts of gateways that have gone are looked for now and
        // then, so that their sets do not wait for a gateway's start.
        long adopt_in = -1;
        if (parts_shared(path.queue)) {
            std::int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count();
            if (now >= next_adopt_.load()) {
                next_adopt_ = now + SMS_ADOPT_MS;
                sms_concat_adopt(path);
            }
            adopt_in = static_cast<long>(std::max<std::int64_t>(next_adopt_.load() - now, 1));
        }
        // Sets are not given out while the shared store is away: they could not be
        // taken from it. They wait here until it is back.
        std::optional<bool> up = path.queue ? path.queue->database_up() : std::nullopt;
        if (up.value_or(true)) sms_concat_expire(path);
        std::optional<std::int64_t> due = reassembly(path).next_due();
        if (!due) return adopt_in;
        long wait = static_cast<long>(std::max<std::int64_t>(*due, 1) * 1000);
        return adopt_in < 0 ? wait : std::min(wait, adopt_in);
    }

  private:
    // Held for the whole SMS: a reload may replace the tables meanwhile.
    struct Tables {
        std::shared_ptr<const aliases> alias_file;
        std::shared_ptr<const aliases> delivery_file;
    };
    SmsPath path_of(SmsTransport* recv, const Tables& t) const {
        SmsPath path = base_;
        path.recv = recv;
        if (reader_) path.ini = rini_table(reader_.get());
        path.af = t.alias_file.get();
        path.df = t.delivery_file.get();
        return path;
    }

    const SmsPath base_;
    const AliasTables& tables_;
    std::shared_ptr<rini> reader_;
    std::atomic<std::int64_t> next_adopt_{0};
};

}  // namespace

SmsPath sms_path_of(Gateway& gw) {
    SmsPath path;
    path.recv = gw.recv;
    path.relay = gw.relay.get();
    path.send = gw.send.get();
    path.ini = gw.ini();
    path.queue = gw.queue.get();
    path.long_sms = &gw.long_sms;
    path.state = &gw.state;
    return path;
}

std::unique_ptr<InboundSink> sms_to_mail_sink(const SmsPath& base, const AliasTables& tables,
                                              std::shared_ptr<rini> reader) {
    return std::make_unique<SmsToMailSink>(base, tables, std::move(reader));
}

}  // namespace tolvane
