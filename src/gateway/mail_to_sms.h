// The mail-to-SMS path: the gateway's policy on the SMTP server, and the delivery of the
// SMS it queued.
//
// The mail receiving thread (started at start-up) runs the server's accepting loop
// (Gateway::mail_server); the server runs each connection on a session worker of its own and asks a
// fresh policy (mail_policy, a MailJob) at each stage of each mail: it admits or refuses
// the client address when the transaction begins (before anything is read), the
// authenticated user at MAIL, each recipient at its RCPT, and the sender (or X-Sms-Bill
// billing address) once the data is in, against the accept_ip, accept_user, accept_to and
// accept_from lists and every rate limit; it composes one SMS text and stores one queue
// entry per accepted destination. Only once they are on disk does the client get "250
// Command DATA Processed mail data OK"; a mail that cannot be stored gets the store's
// refusal ("452 Insufficient system storage" from the local journal, "451" from a shared
// store whose database is away) and nothing of it is kept. Every refusal but a
// recipient's ends the connection; a DATA after no accepted recipient ends it unanswered.
// The delivery workers (delivery.h) then run deliver_mail_entry for each entry:
// sms_retries retries through the send transport, a SUCCESS or FAILURE record, the message-log
// entry of a success, and a "SMS Failed" notice to the billing address for a final failure.
//
// Ownership: a policy belongs to the session running its transaction. Everything else it
// reads (the transports, the limits, the queue, the settings reader of the receiving
// thread) is owned by the Gateway and borrowed. The reader is shared by all sessions of the
// server; it serialises single look-ups and keeps each thread's list walks apart. At
// shutdown the running sessions get a few seconds to finish; the reader is kept until
// shutdown knows no session is left.
//
// Rate limits hold under any concurrency: each admission (client, each recipient, the
// billing address) reserves its unit in every limit in the same step as the check. A stored
// entry keeps one unit of its client, billing address and destination until its delivery
// settles it: the SUCCESS record turns it into a count, a final failure or expiry gives it
// back; a mail refused after an admission gives its units back at once. The counter files
// only ever hold successes. Reservations live in memory: an entry stored before a restart
// holds none and is simply counted when it is sent.
//
// Limits: every text of a message (addresses, the SMS text) holds at most 999 characters. A
// mail whose data the transport cannot supply (cut off, too big, not spooled) ends without an
// SMS and without a record. A crash between a send and its "done" mark sends that SMS once
// more after the restart; nothing else is sent twice.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "foundation/sini.h"
#include "gateway/delivery.h"
#include "gateway/mail_text.h"
#include "smtp/engine.h"
#include "smtp/relay_client.h"
#include "smtp/server.h"
#include "queue/queue.h"
#include "records/msgrec.h"
#include "sms/transport.h"
#include "sms/sms_text.h"

namespace tolvane {

class Gateway;
struct StateStores;

// What one message is processed against: borrowed from start-up.
// The queue entries stored by this gateway whose rate-limit units are still reserved,
// with the name each entry's client authenticated as ("" for none): it is counted in the
// limits' user kind when the SMS is sent. An entry of an earlier run holds no unit here;
// its SMS count for the name the entry itself keeps. Owned by the Gateway; the mail
// sessions note their stored entries here and the delivery workers settle them.
class MailUnits {
  public:
    // Notes that the stored entry id holds one reserved unit of each of its keys (and of
    // the name user, when the client authenticated).
    void hold(std::uint64_t id, const std::string& user);
    // True (and forgotten) when the entry held its units; user gets its name.
    bool take(std::uint64_t id, std::string& user);

  private:
    std::mutex lock_;
    std::unordered_map<std::uint64_t, std::string> ids_;  // guarded by lock_
};

struct MailPath {
    RelayClient* relay = nullptr;  // relay for failure notices
    SmsTransport* send = nullptr;  // the SMS transport; null: send_mode none
    SmsTransport* recv = nullptr;  // the receiving transport, for the originator choice
    rini* reader = nullptr;        // settings reader of the mail receiving thread
    std::vector<msgrecs*> limits;  // rate limits in their configured order
    QueueStore* queue = nullptr;   // where accepted mails wait for their sends
    MailUnits* units = nullptr;    // where stored entries note their units; null: nowhere
    StateStores* state = nullptr;  // the pool and the rate-limit counts (the gateway's)
};

// Bits of queue_entry::flags of a mail's SMS.
inline constexpr std::uint32_t MAIL_FROM_SENDER = 1;  // sent from the sender's own address
// Stored by the HTTP API: its billing address is the API key's name, its outcome goes to
// the API's message status (and callback) instead of a notice mail, and its headers are
// the API's own (API_HEADER_*), never passed to a transport.
inline constexpr std::uint32_t MAIL_FROM_API = 2;

// The settings a delivery worker sends by, read once (mail_send_rules).
struct MailSendRules {
    long retries = 3;                           // sms_retries: retries after the first attempt
    sms_coding coding = sms_coding::automatic;  // sms_coding, to count the parts in the record
    int max_parts = 10;                         // sms_max_parts
};
MailSendRules mail_send_rules(const SIni* ini);

// What the delivery workers of mail entries use: borrowed from start-up.
class SmppReceipts;
class ApiMessages;
struct MailSender {
    SmsTransport* send = nullptr;  // the SMS transport
    RelayClient* relay = nullptr;  // relay sender for failure notices
    SmppReceipts* receipts = nullptr;  // where an SMPP submit is remembered; null: nowhere
    MailUnits* units = nullptr;        // the units stored entries hold; null: none held
    ApiMessages* api = nullptr;        // the API's message status; null: no API
    StateStores* state = nullptr;      // records, message log and counts (the gateway's)
    MailSendRules rules;
    std::function<bool()> up;  // the transport is connected; null: always
    // Whether some transport could carry this SMS now (several transports behind routes);
    // false: the entry waits without an attempt. Null: whenever up.
    std::function<bool(const SmsOut&)> usable;
    long pause_ms = 10;        // pause after each failed attempt to send an SMS
};
// An entry whose attempt cannot be marked (disk full) is tried again after this long.
inline constexpr long MAIL_STORE_RETRY_MS = 5000;

// Sends one queued SMS with its retries and writes what the outcome produces, then finishes
// the entry (or gives it back when a shutdown or a down transport cut the retries short).
void deliver_mail_entry(const MailSender& s, DeliveryJob& job);
// A batch of entries through an SMPP centre: the first attempts marked together and the
// SMS sent together (send_window); each then ends as deliver_mail_entry ends it.
// Other transports send entry by entry.
void deliver_mail_batch(const MailSender& s, std::vector<std::unique_ptr<DeliveryJob>>& jobs);
// The FAILURE record and notice of an entry that waited past the queue lifetime.
void expire_mail_entry(const MailSender& s, const queue_entry& e);

// Processes one received mail from greeting to clean-up with the gateway's policy and
// releases it (msg is null afterwards).
void mail_to_sms(const MailPath& path, std::unique_ptr<smtp_message>& msg);

// The gateway's policy for one mail transaction of the SMTP server, on gw's transports,
// limits and queue as they are when the session starts, with reader as its settings
// reader (both borrowed: they must outlive the server's sessions).
std::unique_ptr<SessionPolicy> mail_policy(Gateway& gw, rini* reader);

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
// which keeps the whole address. Empty when the recipient is not a phone number by check
// (number_check).
std::string mail_destination(std::string_view recipient, int send_mode, const char* todomain,
                             const char* prefix, const char* country,
                             number_check check = number_check::possible);

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
                             const mail_headers* headers, std::string_view body);

}  // namespace tolvane
