// The SMS-to-mail path: the gateway's callback on the SMS receiving side.
//
// The SMS receiving thread runs the receiving transport's receiver with the sink sms_to_mail_sink
// makes (holding the thread's settings reader); the transport hands each received SMS to the sink
// on one of its bounded message workers. The sink reads the SMS, drops senders listed in
// sms_ignore, finds the mail address it should go to (sms_static, the phone pool, an sms_to keyword
// rule, an address written in the text, the delivery file, the message log), makes the subject from
// email_subject and the sender address from the alias file or the number, and stores the
// mail in the queue. The delivery workers (delivery.h) relay it through the gateway's relay with
// smtp_retries retries smtp_retry_wait minutes apart and write a SUCCESS or FAILURE record
// (day file kind "log", never counted toward the rate limits). An SMS whose destination
// cannot be settled is recorded and, when sms_bounces is true, answered with an SMS that
// says why.
//
// sms_deliver chooses where a received SMS goes: mail (the above), webhook (a signed JSON
// POST to sms_webhook_url from the queue, gateway/webhooks.h; no routing, no bounce) or
// both (the mail entry and the webhook entry stored in one write; an SMS the mail rules
// cannot route still gets its webhook).
//
// Every SMS is answered to its transport once its outcome is settled: accepted when its
// mail is stored in the queue (on disk) or it was deliberately dropped (ignored,
// undeliverable, no alias); when it could not be read or stored, an SMS centre (SMPP) gets
// a reject with a temporary status, so that it keeps the SMS and delivers it again, while a
// modem's message is left alone (a modem's reject would delete it). A slow relay never
// holds the centre's acknowledgement.
//
// Ownership: the transport owns each message until the sink's verdict is answered. The
// transports, the alias tables and the settings table are owned by
// start-up and borrowed; a message thread reads settings from the shared table (not
// through the receiving thread's reader). At shutdown the receiver stops waiting and lets
// its message workers finish what they hold; mails still waiting for the relay stay in the
// queue for the next start.
//
// The parts of a long SMS (the transport sets the message's concat) are held in one
// process-wide reassembly until their set is complete, then mailed as one SMS; a set
// still incomplete after sms_concat_wait seconds is mailed with "[part N of M missing]"
// in place of each missing part (sms_concat_expire, run when the receiver is idle).
// A held part is acknowledged to its transport once it is stored in the queue (an entry
// of its own, sms_parts.h), so a restart finds the parts still waiting.
//
// With a shared store (store postgresql) a set's parts may reach several gateways: each
// stores its part where all see it and then tries to take the whole set (under a lock on
// the set, so exactly one gateway takes it); an expired set is taken with whatever parts
// any gateway stored. The joined mail replaces the stored parts in one commit. The parts
// of a gateway whose lease ran out are taken up by a running one (sms_concat_adopt).
//
// Limits: every text of an SMS (number, addresses, subject, body) holds at most 999
// characters; the joined text of a long SMS is not cut.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "foundation/sini.h"
#include "gateway/delivery.h"
#include "gateway/reload.h"
#include "gateway/sms_parts.h"
#include "queue/queue.h"
#include "records/alias.h"
#include "sms/transport.h"
#include "smtp/relay_client.h"

namespace tolvane {

class Gateway;
struct StateStores;

// What one SMS is processed against: borrowed from start-up.
struct SmsPath {
    SmsTransport* recv = nullptr;  // the transport the SMS came from
    RelayClient* relay = nullptr;  // the gateway's mail relay
    SmsTransport* send = nullptr;  // SMS transport for answers; null: send_mode none
    SIni* ini = nullptr;          // the settings
    const aliases* af = nullptr;  // alias file: sender addresses
    const aliases* df = nullptr;  // delivery file: destinations
    QueueStore* queue = nullptr;  // where the mails wait for the relay
    LongSms* long_sms = nullptr;  // the gateway's long SMS being joined (needed for parts)
    StateStores* state = nullptr;  // the gateway's records, message log and phone pool
};

// What the delivery workers of SMS entries use: borrowed from start-up.
struct SmsRelay {
    RelayClient* relay = nullptr;  // the gateway's mail relay
    int retries = 3;               // smtp_retries: retries after the first relay
    int retry_wait = 5;            // smtp_retry_wait: minutes before each retry
    long minute_ms = 60L * 1000L;  // one minute of smtp_retry_wait (tests shorten it)
    StateStores* state = nullptr;  // where the outcomes are recorded (the gateway's)
};
// The relay's retries and their wait, read once from the settings.
void sms_relay_rules(const SIni* ini, SmsRelay& r);
// An entry whose attempt cannot be marked (disk full) is tried again after this long.
inline constexpr long SMS_STORE_RETRY_MS = 5000;

// One attempt to relay a queued SMS's mail: on success a SUCCESS record; on failure the
// entry waits smtp_retry_wait minutes for its next attempt, and after smtp_retries retries
// a FAILURE record ends it. Records are of kind "log" and never counted.
void deliver_sms_entry(const SmsRelay& r, DeliveryJob& job);
// The FAILURE record of an entry that waited past the queue lifetime.
void expire_sms_entry(const SmsRelay& r, const queue_entry& e);

// Processes one received SMS; what the transport should answer its source.
InboundVerdict sms_to_mail(const SmsPath& path, const InboundSms& sms);

// Mails the sets of parts whose wait has run out; returns how many.
int sms_concat_expire(const SmsPath& path);
// At start-up, before anything is received: the parts of long SMS stored by an earlier run
// wait again for the rest (a set already complete is mailed at once). Returns how many
// parts were found.
int sms_concat_restore(const SmsPath& path);
// With a shared store: takes up the stored parts of gateways whose lease ran out (their
// sets then wait here, or are mailed at once when every part is stored somewhere). The
// number of sets taken up. The receiving loop calls it every SMS_ADOPT_MS.
int sms_concat_adopt(const SmsPath& path);
inline constexpr long SMS_ADOPT_MS = 1000;

// The path of gw's SMS side: its receiving transport, relay, sending transport, settings
// table, queue and long SMS state (no alias tables: a message takes them from gw.tables).
SmsPath sms_path_of(Gateway& gw);

// The sink the SMS receiving thread runs the receiving transport's receiver with: base
// gives the relay, the answering transport, the queue, the settings table (read when
// reader is null) and the transport idle() looks after; tables the alias and delivery
// tables, taken afresh for each SMS (both borrowed: they must outlive the sink); reader
// the settings reader of that thread. received() processes each SMS (sms_to_mail) on
// the transport it came from, idle() mails the sets of parts whose wait ran out and
// gives the time until the next is due.
std::unique_ptr<InboundSink> sms_to_mail_sink(const SmsPath& base, const AliasTables& tables,
                                              std::shared_ptr<rini> reader);

// Status with which an SMS is handed back when it could not be mailed: a temporary
// failure, so that the sender may deliver it again.
inline constexpr int SMS_RETRY_LATER = 0x64;

// ---- the pieces of one SMS, for tests ----

// The sender number as it may appear in an address, a header and a record: only "+",
// digits, ASCII letters, ".", "-" and "_" are kept (an SMS centre lets the sender
// choose any text as originator, which must not pick the envelope sender or add
// headers); "unknown" when nothing is left.
std::string address_number(std::string_view raw);

// "\"<number>\" <<smtp_prefix><number>@<smtp_domain>>", at most 999 characters.
std::string make_email(const SIni* ini, std::string_view number);
// The expansion of email_subject for an SMS text and its sender number, at most size - 1
// characters: "$(FROM)" the number, "$(BODYn)" the first n + 1 characters of the text
// without line ends, "$(key)" the value of that setting; an unknown or empty key leaves
// "(key)" as text.
std::string make_subject(const SIni* ini, std::string_view body, std::string_view number,
                         std::size_t size = 1000);
// The destination given by the first sms_to rule whose keyword begins the text and whose
// phone pattern matches the number; nullopt when none does.
std::optional<std::string> keyword_destination(const SIni* ini, std::string_view text,
                                               std::string_view number);
// The bare address written in the text: the word around its first "@" that has no white
// space directly before or after it (and is not its first character); nullopt when there
// is none or the word holds no usable address.
std::optional<std::string> text_address(std::string_view text);

}  // namespace tolvane
