// The mail-to-SMS path (see mail_to_sms.h): a mail's admission, its text and the queue
// entries stored before the "250". The delivery side is in mail_delivery.cpp.
#include "gateway/mail_to_sms.h"
#include "gateway/routes.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>

#include "foundation/lib.h"
#include "foundation/log.h"
#include "foundation/utf8.h"
#include "gateway/gateway.h"
#include "gateway/gateway_metrics.h"
#include "gateway/intake.h"
#include "gateway/keys.h"
#include "gateway/mail_text.h"
#include "gateway/sender_ids.h"
#include "gateway/smpp_receipts.h"
#include "mail/mail_charset.h"
#include "smtp/engine.h"
#include "smtp/server.h"
#include "records/msglog.h"
#include "records/mutexlist.h"
#include "records/phones.h"
#include "records/stores.h"

namespace tolvane {

namespace {

// The refusal code of every stage.
constexpr int REFUSE = 500;

// Settings are read straight from the shared table: it is only read once the worker
// threads exist and its look-ups need no lock, while every call through the reader
// takes the reader's lock, which all message threads of the listener share.
const char* value_of(rini* r, int key) {
    return sini_getx(rini_table(r), key, nullptr, nullptr, 0);
}

// A free pool number bound to the sender, under the pool's use lock so that one number
// never goes to two senders.
std::string pool_number(PhonePoolStore& pool, const std::string& sender) {
    LockHold hold(pool.use_lock());
    return pool.bind(sender).value_or(std::string());
}

// One mail transaction as the gateway sees it: the server asks at each stage, and the
// steps below decide with the shared state.
class MailJob : public SessionPolicy {
  public:
    explicit MailJob(MailPath path) : p_(std::move(path)) {}
    // Whatever was admitted and not stored (refused later, no data, no storage).
    ~MailJob() override { release_all(); }
    MailJob(const MailJob&) = delete;
    MailJob& operator=(const MailJob&) = delete;

    Reply on_connect(const Peer& peer) override { return admit_client(peer.ip); }

    Reply on_mail(const Peer& peer, const std::string& from) override {
        from_ = cut(from);
        return admit_user(peer.user);
    }

    Reply on_rcpt(const std::string& to) override { return admit_recipient(to); }

    // DATA: a transaction with no accepted recipient ends here, unanswered.
    Reply on_data_start() override {
        if (recipients_end()) return Reply::accept();
        refused_ = true;
        return Reply::hang_up();
    }

    Reply on_data(Envelope&& mail) override {
        if (!admit_sender(mail)) {
            gateway_count_mail(sender_refusal_);
            return refusal_;
        }
        if (!choose_originator(mail.headers)) {
            gateway_count_mail(MAIL_REFUSED_SENDER);
            return refusal_;
        }
        text_ = compose_sms_text(rules(), sender_, &mail.headers, body_);
        // The mail is answered only once its SMS are stored: "250" is a promise.
        if (Status stored = store(mail.headers); !stored) {
            emsg("Mail from [%s] not stored, refused (%s)", sender_.c_str(),
                 stored.reason().c_str());
            gateway_count_mail(MAIL_REFUSED_STORAGE);
            auto [code, text] = p_.queue != nullptr ? p_.queue->refusal()
                                                    : std::pair<int, const char*>{
                                                          452, "Insufficient system storage"};
            return Reply::refuse(code, text, true);
        }
        dmsg("Ready to send...");
        gateway_count_mail(MAIL_ACCEPTED);
        return Reply{250, "Command DATA Processed mail data OK", false};
    }

    // The transaction ended before its data could be had: counted as the stage it reached.
    void on_abort() override {
        if (refused_) return;
        if (!recipients_end()) return;
        // Cut off, too big or not spooled: the server has answered the client (or lost
        // it); there is nothing to make an SMS of and nothing to record.
        imsg("Message data from [%s] not available, no SMS sent", from_.c_str());
        gateway_count_mail(MAIL_REFUSED_DATA);
    }

  private:
    // Every refusal of the gateway but a recipient's ends the connection.
    Reply refuse(const std::string& why) {
        refused_ = true;
        return Reply::refuse(REFUSE, why, true);
    }

    // The recipients are all in: the mail counts as received when it named any. False when
    // none was accepted (counted as refused for its recipients when it named any).
    bool recipients_end() {
        const bool first = !recipients_ended_;
        recipients_ended_ = true;
        if (first && recipients_seen_ > 0) gateway_count_mail(MAIL_RECEIVED);
        if (!dests_.empty()) return true;
        if (first) {
            dmsg("No message to process");
            if (recipients_seen_ > 0) gateway_count_mail(MAIL_REFUSED_RECIPIENT);
        }
        return false;
    }

    // The refusal text of a limit: its name, a blank and the limit message of the kind.
    std::string limit_text(msgrecs* mr, int msg_key) {
        return strprintf("%s %s", or_empty(msgrec_name(mr)),
                         or_empty(value_of(p_.reader, msg_key)));
    }

    // Reserves one unit of `key` in every limit (see LimitHold): null when all took it.
    msgrecs* reserve(int kind, const std::string& key) { return hold_.reserve(kind, key); }
    void reserve_more(int kind, const std::string& key, int units) {
        hold_.reserve_more(kind, key, units);
    }
    void release_all() { hold_.release_all(); }

    // Steps 1 to 4: a transport to send with, the client address listed and within its
    // limits. A refusal here reaches the client right after the greeting.
    Reply admit_client(const std::string& ip) {
        if (p_.send == nullptr) {
            dmsg("Outgoing SMS disabled");
            return refuse("Outgoing SMS disabled (send_mode none specified)");
        }
        dmsg("Incoming message on SMTP listener");
        client_ = cut(ip);
        imsg("New SMTP connection from [%s]", client_.c_str());
        std::optional<std::string> match = list_match(p_.reader, ACCEPT_IP, client_);
        if (!match) {
            imsg("Connection from [%s] blocked", client_.c_str());
            gateway_count_client_refused();
            return refuse("Ip Blocked");
        }
        dmsg("IP[%s] matches[%s]", client_.c_str(), match->c_str());
        if (msgrecs* mr = reserve(MSGREC_IP, client_)) {
            imsg("Connection from [%s] exceeds (%s) limit of %d", client_.c_str(),
                 or_empty(msgrec_name(mr)), msgrec_ip(mr));
            gateway_count_client_refused();
            return refuse(limit_text(mr, IP_LIMIT_MSG));
        }
        return Reply::accept();
    }

    // The name the client authenticated as, when it did: listed in accept_user (its own
    // client list, as accept_ip is the address's). Refused, the MAIL it sent is answered
    // with the refusal and the connection ends.
    Reply admit_user(const std::string& user) {
        user_ = user;
        if (user_.empty()) return Reply::accept();
        std::optional<std::string> match = list_match(p_.reader, ACCEPT_USER, user_);
        if (!match) {
            imsg("Connection from [%s] as user [%s] blocked", client_.c_str(), user_.c_str());
            gateway_count_client_refused();
            return refuse("User Blocked");
        }
        dmsg("User[%s] matches[%s]", user_.c_str(), match->c_str());
        return Reply::accept();
    }

    // Step 6: a recipient reduced, listed and within its limits, or refused alone while
    // the dialogue goes on.
    Reply admit_recipient(const std::string& to) {
        ++recipients_seen_;
        const number_check check = number_check_of(value_of(p_.reader, NUMBER_CHECK));
        std::string dest = mail_destination(to, sms_mode(p_.send),
                                            value_of(p_.reader, SMTP_SMS_TODOMAIN),
                                            value_of(p_.reader, SMTP_PREFIX),
                                            value_of(p_.reader, PHONE_COUNTRY), check);
        if (dest.empty()) {
            imsg("Mail to [%s] refused: not a phone number", cut(to).c_str());
            return Reply::refuse(REFUSE, strprintf("Not a phone number (%s)", cut(to).c_str()));
        }
        // The billing address is not known before the data: the sender stands in for it.
        if (!route_known(p_.send, dest, {from_, user_})) {
            imsg("Mail to [%s] refused: no route", dest.c_str());
            return Reply::refuse(500, strprintf("No route (%s)", dest.c_str()));
        }
        imsg("New message to [%s]", dest.c_str());
        std::optional<std::string> match = list_match(p_.reader, ACCEPT_TO, dest);
        if (!match) {
            imsg("Connection to [%s] blocked", dest.c_str());
            return Reply::refuse(REFUSE, "To Blocked");
        }
        dmsg("To[%s] matches[%s]", dest.c_str(), match->c_str());
        if (msgrecs* mr = reserve(MSGREC_TO, dest)) {
            imsg("Mail to [%s] exceeds (%s) limit of %d", dest.c_str(), or_empty(msgrec_name(mr)),
                 msgrec_to(mr));
            return Reply::refuse(REFUSE, limit_text(mr, TO_LIMIT_MSG));
        }
        dests_.push_back(std::move(dest));
        return Reply::accept();
    }

    // Steps 8 to 10: sender, data, billing address listed and within its limits. False
    // with the reply in refusal_.
    bool admit_sender(const Envelope& mail) {
        sender_ = cut(mail.from);
        body_ = mail.body;
        std::string bill_header = header_address(mail_header_find(mail.headers, "X-Sms-Bill"));
        bill_ = cut(bill_header.empty() ? sender_ : bill_header);
        if (sender_.empty() && bill_.empty()) {
            dmsg("From and bill both blank");
            refusal_ = refuse("From Blocked");
            return false;
        }
        imsg("New message from=[%s] bill=[%s]", sender_.c_str(), bill_.c_str());
        std::optional<std::string> match = list_match(p_.reader, ACCEPT_FROM, bill_);
        if (!match) {
            imsg("Connection for [%s] blocked", bill_.c_str());
            refusal_ = refuse("From Blocked");
            return false;
        }
        dmsg("For[%s] matches[%s]", bill_.c_str(), match->c_str());
        if (!admit_sender_limits()) {
            sender_refusal_ = MAIL_REFUSED_LIMIT;
            return false;
        }
        // Every destination counts once for the client, the sender and the user.
        int more = static_cast<int>(dests_.size()) - 1;
        reserve_more(MSGREC_IP, client_, more);
        reserve_more(MSGREC_FROM, bill_, more);
        if (!user_.empty()) reserve_more(MSGREC_USER, user_, more);
        return true;
    }

    // The billing address's and the user's limits; false with the reply in refusal_.
    bool admit_sender_limits() {
        if (msgrecs* mr = reserve(MSGREC_FROM, bill_)) {
            imsg("For [%s] exceeds (%s) limit of %d", bill_.c_str(), or_empty(msgrec_name(mr)),
                 msgrec_from(mr));
            refusal_ = refuse(limit_text(mr, FROM_LIMIT_MSG));
            return false;
        }
        if (user_.empty()) return true;
        if (msgrecs* mr = reserve(MSGREC_USER, user_)) {
            imsg("User [%s] exceeds (%s) limit of %d", user_.c_str(), or_empty(msgrec_name(mr)),
                 msgrec_user(mr));
            refusal_ = refuse(limit_text(mr, LIMIT_MSG));
            return false;
        }
        return true;
    }

    // Step 12, first half: the number or address the SMS is sent from. False when the
    // client chose an originator it may not use (refused, nothing stored).
    bool choose_originator(const mail_headers& h) {
        int send_mode = sms_mode(p_.send);
        if (send_mode == SMS_GSM) {
            originator_ = cut(or_empty(value_of(p_.reader, GSM_NUMBER)));
            return true;
        }
        originator_ = header_address(mail_header_find(h, "X-Sms-Number"));
        if (!originator_.empty()) {
            const std::string& who = user_.empty() ? sender_ : user_;
            if (!sender_id_allowed(sender_ids_of(rini_table(p_.reader)), who, originator_)) {
                imsg("Sender ID [%s] not allowed for [%s]", originator_.c_str(), who.c_str());
                refused_ = true;
                refusal_ = Reply::refuse(
                    550, strprintf("Sender ID not allowed (%s)", originator_.c_str()), true);
                return false;
            }
        }
        if (originator_.empty() && send_mode == SMS_SMPP)
            originator_ = pool_number(*p_.state->phones, sender_);
        if (originator_.empty() && p_.recv != nullptr) {
            int recv_mode = sms_mode(p_.recv);
            if (recv_mode == SMS_GSM)
                originator_ = cut(or_empty(value_of(p_.reader, GSM_NUMBER)));
            else if (recv_mode == SMS_SMPP)
                originator_ = pool_number(*p_.state->phones, sender_);
        }
        if (originator_.empty()) {
            originator_ = sender_;
            from_sender_ = true;
        }
        return true;
    }

    TextRules rules() {
        TextRules r;
        r.gsm = sms_mode(p_.send) == SMS_GSM;
        r.reply_with = istrue(value_of(p_.reader, REPLY_WITH)) != 0;
        r.sms_static = istrue(value_of(p_.reader, SMS_STATIC)) != 0;
        r.sms_subject = istrue(value_of(p_.reader, SMS_SUBJECT)) != 0;
        r.smart = value_of(p_.reader, SMS_SMART);
        r.format = value_of(p_.reader, SMS_FORMAT);
        return r;
    }

    // One queue entry per accepted destination, stored together.
    Status store(const mail_headers& h) {
        // With the transport up the first send is near: its attempt is marked on disk with
        // the entries, so that it costs no flush of its own. While it is down nothing is
        // marked, as no attempt is made then.
        const bool send_up = p_.send != nullptr && p_.send->up();
        std::vector<queue_entry> batch;
        for (const std::string& dest : dests_) {
            queue_entry e;
            e.kind = QUEUE_MAIL_TO_SMS;
            e.destination = dest;
            e.originator = originator_;
            e.sender = sender_;
            e.text = text_;
            e.billing = bill_;
            e.client = client_;
            e.user = user_;
            e.headers = h;
            e.flags = from_sender_ ? MAIL_FROM_SENDER : 0;
            e.mark_first_attempt = send_up;
            batch.push_back(std::move(e));
        }
        return intake_store(p_.queue, p_.units, batch, user_, hold_);
    }

    const MailPath p_;
    // Reserved units of the rate limits not yet stored.
    LimitHold hold_{p_.limits, *p_.state->limits};
    std::string client_, from_, sender_, bill_, originator_, body_, text_;
    std::string user_;  // the authenticated name; empty when the client did not
    std::vector<std::string> dests_;
    bool from_sender_ = false;  // the originator fell back to the sender address
    GatewayMailOutcome sender_refusal_ = MAIL_REFUSED_SENDER;  // why admit_sender said no
    int recipients_seen_ = 0;
    bool recipients_ended_ = false;  // the recipients were counted (DATA, or the end)
    bool refused_ = false;           // a refusal of the gateway ended the transaction
    Reply refusal_;                  // the reply of a refused sender or originator
};

}  // namespace

std::string header_address(const std::string* value) {
    if (value == nullptr) return std::string();
    std::string_view v = *value;
    if (!v.empty() && v.front() == '<') v.remove_prefix(1);
    if (!v.empty() && v.back() == '>') v.remove_suffix(1);
    return cut(v);
}

std::optional<std::string> list_match(rini* reader, int key, std::string_view subject) {
    SIni* ini = rini_table(reader);
    for (int n = 0;; ++n) {
        const char* v = sini_getx(ini, key, nullptr, nullptr, n);
        if (v == nullptr) return std::nullopt;
        if (wild_list(subject, v)) return cut(v);
    }
}

std::string mail_destination(std::string_view recipient, int send_mode, const char* todomain,
                             const char* prefix, const char* country, number_check check) {
    if (send_mode != SMS_SMTP || has_text(todomain))
        return phone_destination(recipient, prefix, country, check).value_or(std::string());
    return cut(recipient);
}

std::string compose_sms_text(const TextRules& rules, std::string_view sender,
                             const mail_headers* headers, std::string_view body) {
    std::string text;
    if (rules.gsm && rules.reply_with && !rules.sms_static) {
        std::string prefix =
            strprintf("Reply w/ %.*s - ", static_cast<int>(sender.size()), sender.data());
        smart_body(rules.smart, text, prefix.c_str(), SMS_TEXT_LIMIT);
    }
    if (has_text(rules.format)) {
        // Header values as text: encoded words decoded (kept alive for the lookup).
        std::deque<std::string> decoded;
        HeaderLookup lookup = [headers,
                               &decoded](std::string_view name) -> std::optional<std::string_view> {
            const std::string* v = headers ? mail_header_find(*headers, name, true) : nullptr;
            if (v == nullptr) return std::nullopt;
            return std::string_view(decoded.emplace_back(header_decode(*v)));
        };
        format_sms(body, lookup, rules.format, text, SMS_TEXT_LIMIT);
        return text;
    }
    if (rules.sms_subject && headers != nullptr) {
        const std::string* subject = mail_header_find(*headers, "Subject");
        if (subject != nullptr && !subject->empty()) {
            std::string decoded = utf8_cut(header_decode(*subject), TEXT_MAX);
            decoded += " - ";
            smart_body(rules.smart, text, decoded.c_str(), SMS_TEXT_LIMIT);
        }
    }
    std::string b = utf8_cut(body, TEXT_MAX);
    smart_body(rules.smart, text, b.c_str(), SMS_TEXT_LIMIT);
    return text;
}

void mail_to_sms(const MailPath& path, std::unique_ptr<smtp_message>& msg) {
    MailJob job(path);
    smtp_run_mail(*msg->drv, *msg, job);
    // The mail is released before what the job reserved: its connection closes first.
    msg.reset();
}

std::unique_ptr<SessionPolicy> mail_policy(Gateway& gw, rini* reader) {
    MailPath path;
    path.relay = gw.relay.get();
    path.send = gw.send.get();
    path.recv = gw.recv;
    path.reader = reader;
    path.queue = gw.queue.get();
    path.units = gw.mail_units.get();
    path.state = &gw.state;
    path.limits.reserve(gw.limits.size());
    for (const auto& mr : gw.limits) path.limits.push_back(mr.get());
    return std::make_unique<MailJob>(std::move(path));
}

}  // namespace tolvane
