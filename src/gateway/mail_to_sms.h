// The mail-to-SMS path: the gateway's callback on the SMTP listener.
//
// The mail receiving thread (started at start-up) runs the transport wait loop on
// Smtp with incoming_smtp as callback and its settings reader (rini*) as cb_data;
// the transport starts one short-lived thread per connection (and per further mail
// on a connection) that calls incoming_smtp with SMS_INCOMING. The callback drives
// the SMTP dialogue through the message operations: it admits or refuses the client
// address, each recipient and the sender (or X-Sms-Bill billing address) against the
// accept_ip, accept_to and accept_from lists and every rate limit, accepts the data,
// composes one SMS text, sends it to every accepted destination through Send with
// sms_retries retries, writes a SUCCESS or FAILURE record per destination, remembers
// successful pairs in the message log, and mails a "SMS Failed" notice to the billing
// address for each final failure.
//
// Ownership: the callback owns each message it is given and releases it through the
// transport. Everything else it reads (the transports, the limits, the settings
// reader of the receiving thread) is owned by start-up and borrowed. The reader is
// shared by all message threads of the listener; it serialises single look-ups and
// keeps each thread's list walks apart. At shutdown the callback lets running message
// threads finish (for a few seconds) before it ends the wait loop, after which the
// receiving thread frees the reader.
//
// Limits: every text of a message (addresses, the SMS text) holds at most 999
// characters. A mail whose data the transport cannot supply (cut off, too big, not
// spooled) ends without an SMS and without a record. At most MAIL_INFLIGHT_MAX mails
// are between their final acceptance and the end of their sends at any time; a
// further mail waits for a place before the client gets its final 250, so a fast
// client is slowed down to the pace of the SMS transport instead of piling up
// threads, files and transport connections without bound.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/sini.h"
#include "mail/sms_smtp.h"
#include "records/msgrec.h"
#include "sms/sms.h"

namespace tolvane {

// What one message is processed against: borrowed from start-up.
struct MailPath {
    sms* smtp = nullptr;           // the listener the message came from
    sms* relay = nullptr;          // relay for failure notices; null: smtp
    sms* send = nullptr;           // the SMS transport; null: send_mode none
    sms* recv = nullptr;           // the receiving transport, for the originator choice
    rini* reader = nullptr;        // settings reader of the mail receiving thread
    std::vector<msgrecs*> limits;  // rate limits in their configured order
    long pause_ms = 10;            // pause after each attempt to send an SMS
    int max_inflight = 0;          // mails accepted and not yet sent; 0: MAIL_INFLIGHT_MAX
};

inline constexpr int MAIL_INFLIGHT_MAX = 64;
// Mails between their final acceptance and the end of their sends, right now.
int mail_inflight();

// Processes one received mail from greeting to clean-up and releases it (msg is null
// afterwards).
void mail_to_sms(const MailPath& path, std::unique_ptr<sms_message>& msg);

// The listener callback. SMS_WAITING: 0 once ShutdownNow is set (logs "'Smtp' Callback
// noticed shutdown signalled"), else 1. SMS_INCOMING: processes the message with the
// process-wide transports and limits and cb_data as settings reader; 1. SMS_ERRORCODE:
// logs "'Smtp' Callback Error %d:%s"; 0.
int incoming_smtp(sms* s, int event, const sms_cb_arg& arg, void* cb_data);

// How long the callback lets message threads finish at shutdown before it ends the loop.
inline constexpr long MAIL_DRAIN_MS = 3000;

// ---- the pieces of one message, for tests ----

// The value of an address header: one leading "<" and one trailing ">" removed. Null
// gives the empty text.
std::string header_address(const std::string* value);

// The first occurrence of a multi-valued list key whose value, read as a wildcard list,
// matches `subject`; nullopt when none does (or no occurrence is set).
std::optional<std::string> list_match(rini* reader, int key, std::string_view subject);

// The destination of a recipient: its number in E.164 form (phone_destination, with
// smtp_prefix and phone_country) unless SMS leave by mail without smtp_sms_todomain,
// which keeps the whole address. Empty when the recipient is not a valid phone number.
std::string mail_destination(std::string_view recipient, int send_mode, const char* todomain,
                             const char* prefix, const char* country);

// The SMS text rules of one message.
struct TextRules {
    bool gsm = false;              // Send is a GSM modem
    bool reply_with = true;        // reply_with
    bool sms_static = false;       // sms_static
    bool sms_subject = true;       // sms_subject
    const char* smart = nullptr;   // sms_smart
    const char* format = nullptr;  // sms_format
};
// The SMS text of a mail (at most 999 characters): "Reply w/ <sender> - " for a modem,
// then the sms_format expansion, or the decoded subject, " - " and the body.
std::string compose_sms_text(const TextRules& rules, std::string_view sender,
                             const smtp_headers* headers, std::string_view body);

}  // namespace tolvane
