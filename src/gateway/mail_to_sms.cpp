// The mail-to-SMS path (see mail_to_sms.h).
#include "gateway/mail_to_sms.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>

#include "foundation/lib.h"
#include "foundation/log.h"
#include "gateway/gateway.h"
#include "gateway/keys.h"
#include "gateway/mail_text.h"
#include "records/msglog.h"
#include "records/mutexlist.h"
#include "records/phones.h"

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
bool has_text(const char* s) {
    return s != nullptr && *s != '\0';
}
const char* or_empty(const char* s) {
    return s != nullptr ? s : "";
}

std::string transport_error(sms* s, int err) {
    std::string bf;
    sms_error(s, err, bf);
    return bf;
}

// A free pool number bound to the sender, under the pool lock so that one number never
// goes to two senders.
std::string pool_number(const std::string& sender) {
    ProcessLock hold(PHONES);
    std::optional<std::string> n = phone_isfree();
    if (!n) return std::string();
    phone_out(n->c_str(), sender.c_str());
    return *n;
}

// Places for mails between acceptance and the end of their sends (see the header).
class InflightGate {
  public:
    void enter(int limit) {
        std::unique_lock<std::mutex> lock(m_);
        // A tick, so that a shutdown is not kept waiting by a stuck transport.
        while (n_ >= limit && !ShutdownNow.load())
            changed_.wait_for(lock, std::chrono::milliseconds(100));
        ++n_;
    }
    void leave() {
        {
            std::lock_guard<std::mutex> lock(m_);
            --n_;
        }
        changed_.notify_one();
    }
    int count() {
        std::lock_guard<std::mutex> lock(m_);
        return n_;
    }

  private:
    std::mutex m_;
    std::condition_variable changed_;
    int n_ = 0;
};

InflightGate& inflight() {
    static InflightGate gate;
    return gate;
}

// The working state of one message; the steps below share it.
class MailJob {
  public:
    MailJob(const MailPath& path, std::unique_ptr<sms_message>& msg) : p_(path), msg_(msg) {}
    ~MailJob() { cleanup(); }
    MailJob(const MailJob&) = delete;
    MailJob& operator=(const MailJob&) = delete;

    void run() {
        if (!admit_client()) return;
        if (!receive()) return;
        collect_recipients();
        if (dests_.empty()) {
            dmsg("No message to process");
            return;
        }
        if (!admit_sender()) return;
        inflight().enter(p_.max_inflight > 0 ? p_.max_inflight : MAIL_INFLIGHT_MAX);
        in_flight_ = true;
        int err = sms_msg_accept(p_.smtp, m(), 250, "Command DATA Processed mail data OK");
        if (err != 0) {
            emsg("Message send error SMTP [%d:%s]", err, transport_error(p_.smtp, err).c_str());
            return;
        }
        choose_originator();
        text_ = compose_sms_text(rules(), sender_, sms_smtp_headers(m()), body_);
        extra_ = sms_smtp_msgextra(m());
        dmsg("Ready to send...");
        for (const std::string& dest : dests_) deliver(dest);
    }

  private:
    sms_message* m() const { return msg_.get(); }

    void refuse(const std::string& why) { sms_msg_reject(p_.smtp, m(), REFUSE, why.c_str()); }

    // The refusal text of a limit: its name, a blank and the limit message of the kind.
    std::string limit_text(msgrecs* mr, int msg_key) {
        return strprintf("%s %s", or_empty(msgrec_name(mr)),
                         or_empty(value_of(p_.reader, msg_key)));
    }

    // The first limit of `kind` that `key` has reached, or null.
    msgrecs* exceeded(int kind, const std::string& key) {
        for (msgrecs* mr : p_.limits) {
            int limit = msgrec_limit(mr, kind);
            if (limit != 0 && msgrec_count(mr, kind, key) >= limit) return mr;
        }
        return nullptr;
    }

    // Steps 1 to 4: a transport to send with, the client address listed and within its
    // limits. A refusal here reaches the client right after the greeting.
    bool admit_client() {
        if (p_.send == nullptr) {
            dmsg("Outgoing SMS disabled");
            refuse("Outgoing SMS disabled (send_mode none specified)");
            return false;
        }
        dmsg("Incoming message on SMTP device (0x%08x)",
             static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(p_.smtp) & 0xffffffffu));
        const char* ip = sms_msg_fromip(p_.smtp, m());
        if (ip == nullptr) return false;
        client_ = cut(ip);
        imsg("New SMTP connection from [%s]", client_.c_str());
        std::optional<std::string> match = list_match(p_.reader, ACCEPT_IP, client_);
        if (!match) {
            imsg("Connection from [%s] blocked", client_.c_str());
            refuse("Ip Blocked");
            return false;
        }
        dmsg("IP[%s] matches[%s]", client_.c_str(), match->c_str());
        if (msgrecs* mr = exceeded(MSGREC_IP, client_)) {
            imsg("Connection from [%s] exceeds (%s) limit of %d", client_.c_str(),
                 or_empty(msgrec_name(mr)), msgrec_ip(mr));
            refuse(limit_text(mr, IP_LIMIT_MSG));
            return false;
        }
        return true;
    }

    // Step 5: the dialogue up to the sender.
    bool receive() {
        int err = sms_msg_recv(p_.smtp, m());
        if (err != 0) {
            emsg("Message recv error SMTP [%d:%s]", err, transport_error(p_.smtp, err).c_str());
            return false;
        }
        return true;
    }

    // Step 6: every recipient reduced, listed and within its limits, or refused alone
    // while the dialogue goes on.
    void collect_recipients() {
        int mode = sms_mode(p_.send);
        const char* todomain = value_of(p_.reader, SMTP_SMS_TODOMAIN);
        const char* prefix = value_of(p_.reader, SMTP_PREFIX);
        const char* country = value_of(p_.reader, PHONE_COUNTRY);
        while (const char* to = sms_msg_to(p_.smtp, m())) {
            std::string dest = mail_destination(to, mode, todomain, prefix, country);
            if (dest.empty()) {
                imsg("Mail to [%s] refused: not a phone number", cut(to).c_str());
                refuse(strprintf("Not a phone number (%s)", cut(to).c_str()));
                continue;
            }
            imsg("New message to [%s]", dest.c_str());
            std::optional<std::string> match = list_match(p_.reader, ACCEPT_TO, dest);
            if (!match) {
                imsg("Connection to [%s] blocked", dest.c_str());
                refuse("To Blocked");
                continue;
            }
            dmsg("To[%s] matches[%s]", dest.c_str(), match->c_str());
            if (msgrecs* mr = exceeded(MSGREC_TO, dest)) {
                imsg("Mail to [%s] exceeds (%s) limit of %d", dest.c_str(),
                     or_empty(msgrec_name(mr)), msgrec_to(mr));
                refuse(limit_text(mr, TO_LIMIT_MSG));
                continue;
            }
            dests_.push_back(std::move(dest));
        }
    }

    // Steps 8 to 10: sender, data, billing address listed and within its limits.
    bool admit_sender() {
        const char* from = sms_msg_from(p_.smtp, m());
        if (from == nullptr) return false;
        sender_ = cut(from);
        const char* body = sms_msg_body(p_.smtp, m());
        if (body == nullptr) {
            // Cut off, too big or not spooled: the transport has answered the client (or
            // lost it); there is nothing to make an SMS of and nothing to record.
            imsg("Message data from [%s] not available, no SMS sent", sender_.c_str());
            return false;
        }
        body_ = body;
        const smtp_headers* h = sms_smtp_headers(m());
        std::string bill_header = h ? header_address(smtp_header_find(*h, "X-Sms-Bill")) : "";
        bill_ = cut(bill_header.empty() ? sender_ : bill_header);
        if (sender_.empty() && bill_.empty()) {
            dmsg("From and bill both blank");
            refuse("From Blocked");
            return false;
        }
        imsg("New message from=[%s] bill=[%s]", sender_.c_str(), bill_.c_str());
        std::optional<std::string> match = list_match(p_.reader, ACCEPT_FROM, bill_);
        if (!match) {
            imsg("Connection for [%s] blocked", bill_.c_str());
            refuse("From Blocked");
            return false;
        }
        dmsg("For[%s] matches[%s]", bill_.c_str(), match->c_str());
        if (msgrecs* mr = exceeded(MSGREC_FROM, bill_)) {
            imsg("For [%s] exceeds (%s) limit of %d", bill_.c_str(), or_empty(msgrec_name(mr)),
                 msgrec_from(mr));
            refuse(limit_text(mr, FROM_LIMIT_MSG));
            return false;
        }
        return true;
    }

    // Step 12, first half: the number or address the SMS is sent from.
    void choose_originator() {
        int send_mode = sms_mode(p_.send);
        if (send_mode == SMS_GSM) {
            originator_ = cut(or_empty(value_of(p_.reader, GSM_NUMBER)));
            return;
        }
        const smtp_headers* h = sms_smtp_headers(m());
        originator_ = h ? header_address(smtp_header_find(*h, "X-Sms-Number")) : "";
        if (originator_.empty() && send_mode == SMS_SMPP) originator_ = pool_number(sender_);
        if (originator_.empty() && p_.recv != nullptr) {
            int recv_mode = sms_mode(p_.recv);
            if (recv_mode == SMS_GSM)
                originator_ = cut(or_empty(value_of(p_.reader, GSM_NUMBER)));
            else if (recv_mode == SMS_SMPP)
                originator_ = pool_number(sender_);
        }
        if (originator_.empty()) {
            originator_ = sender_;
            from_sender_ = true;
        }
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

    // Step 14 for one destination: the attempts, then the record (and on failure the
    // notice to the billing address).
    void deliver(const std::string& dest) {
        int retries = s_atoi(value_of(p_.reader, SMS_RETRIES));
        int err = sms_send(p_.send, extra_.get(), originator_, dest, text_);
        while (err != 0 && retries-- > 0) {
            emsg("Message send failed, retry...");
            err = sms_send(p_.send, nullptr, originator_, dest, text_);
            lib_msleep(p_.pause_ms);
        }
        pending_ = err;
        if (err != 0) {
            std::string why = cut(transport_error(p_.send, err));
            std::string notice =
                strprintf("SMS to (%s) failed delivery (%s)", dest.c_str(), why.c_str());
            msgrec_write("FAILURE", client_, bill_, dest, why, "rec", false);
            smtp_message_extra headers;
            smtp_header_set(headers.headers, "Subject", "SMS Failed");
            smtp_header_set(headers.headers, "X-Tolvane", "ERROR");
            sms* relay = p_.relay != nullptr ? p_.relay : p_.smtp;
            int nerr = sms_send(relay, &headers, originator_, bill_, notice);
            if (nerr != 0)
                emsg("Failed to mail the failure notice to [%s] [%d:%s]", bill_.c_str(), nerr,
                     transport_error(relay, nerr).c_str());
            return;
        }
        dmsg("Message sent successfully");
        if (!from_sender_) msglog_store(dest.c_str(), sender_.c_str());
        msgrec_write("SUCCESS", client_, bill_, dest, "NONE", "rec", true);
        lib_msleep(p_.pause_ms);
    }

    // Step 15.
    void cleanup() {
        sms_smtp_msgextra_free(extra_);
        if (pending_ != 0)
            emsg("Message send error OTHER [%d:%s]", pending_,
                 transport_error(p_.send, pending_).c_str());
        sms_msg_free(p_.smtp, msg_);
        msg_.reset();
        if (in_flight_) inflight().leave();
    }

    const MailPath& p_;
    std::unique_ptr<sms_message>& msg_;
    std::string client_, sender_, bill_, originator_, body_, text_;
    std::vector<std::string> dests_;
    std::unique_ptr<smtp_message_extra> extra_;
    bool from_sender_ = false;  // the originator fell back to the sender address
    bool in_flight_ = false;    // holds a place of the in-flight gate
    int pending_ = 0;
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
                             const char* prefix, const char* country) {
    if (send_mode != SMS_SMTP || has_text(todomain))
        return phone_destination(recipient, prefix, country).value_or(std::string());
    return cut(recipient);
}

std::string compose_sms_text(const TextRules& rules, std::string_view sender,
                             const smtp_headers* headers, std::string_view body) {
    std::string text;
    if (rules.gsm && rules.reply_with && !rules.sms_static) {
        std::string prefix =
            strprintf("Reply w/ %.*s - ", static_cast<int>(sender.size()), sender.data());
        smart_body(rules.smart, text, prefix.c_str(), SMS_TEXT_LIMIT);
    }
    if (has_text(rules.format)) {
        HeaderLookup lookup = [headers](std::string_view name) -> std::optional<std::string_view> {
            const std::string* v = headers ? smtp_header_find(*headers, name, true) : nullptr;
            if (v == nullptr) return std::nullopt;
            return std::string_view(*v);
        };
        format_sms(body, lookup, rules.format, text, SMS_TEXT_LIMIT);
        return text;
    }
    if (rules.sms_subject && headers != nullptr) {
        const std::string* subject = smtp_header_find(*headers, "Subject");
        if (subject != nullptr && !subject->empty()) {
            std::string decoded;
            qp_header_decode(*subject, decoded, SMS_TEXT_LIMIT);
            decoded += " - ";
            smart_body(rules.smart, text, decoded.c_str(), SMS_TEXT_LIMIT);
        }
    }
    std::string b(body.substr(0, TEXT_MAX));
    smart_body(rules.smart, text, b.c_str(), SMS_TEXT_LIMIT);
    return text;
}

int mail_inflight() {
    return inflight().count();
}

void mail_to_sms(const MailPath& path, std::unique_ptr<sms_message>& msg) {
    MailJob job(path, msg);
    job.run();
}

int incoming_smtp(sms* s, int event, const sms_cb_arg& arg, void* cb_data) {
    switch (event) {
        case SMS_WAITING:
            if (ShutdownNow.load()) {
                imsg("'Smtp' Callback noticed shutdown signalled");
                // Message threads borrow the receiving thread's reader, which goes when
                // this loop ends: let them finish first.
                for (long waited = 0; sms_busy(s) > 0 && waited < MAIL_DRAIN_MS; waited += 20)
                    lib_msleep(20);
                return 0;
            }
            return 1;
        case SMS_INCOMING: {
            if (arg.msg == nullptr || !*arg.msg) return 1;
            MailPath path;
            path.smtp = s;
            path.relay = s;
            path.send = Send.get();
            path.recv = Recv;
            path.reader = static_cast<rini*>(cb_data);
            path.limits.reserve(MR.size());
            for (const auto& mr : MR) path.limits.push_back(mr.get());
            mail_to_sms(path, *arg.msg);
            return 1;
        }
        case SMS_ERRORCODE: {
            int err = arg.err != nullptr ? *arg.err : 0;
            emsg("'Smtp' Callback Error %d:%s", err, transport_error(s, err).c_str());
            return 0;
        }
        default:
            return 1;
    }
}

}  // namespace tolvane
