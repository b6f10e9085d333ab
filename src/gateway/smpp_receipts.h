// What the gateway adds to the SMPP transport: its settings read from the key table,
// and delivery receipts matched to the submits they report on.
//
// Every submit the centre accepted is remembered by its message id with the mail it
// came from (client, billing address, destination, originator, whether the mail asked
// for a report). A receipt for it becomes a record line "DELIVERED", "UNDELIVERED",
// "EXPIRED" or "REJECTED" (kind "rec", never counted) and, when receipts are set to
// `failure` and the SMS failed, or when the mail asked with `X-Sms-Report: yes`, a
// mail to the billing address saying what became of the SMS. A receipt is never
// mailed as an SMS text.
//
// Ownership: the Gateway owns the table (SmppReceipts, under its own lock, bounded: the
// oldest entries go first) when a transport is SMPP; the delivery workers borrow it
// through their MailSender. Its handler is installed into each SMPP transport at start-up
// (the members of a routed transport too) and runs on that transport's receipt thread;
// it goes with the transports, which are freed before the table. Limits: the table lives in memory, so a receipt for a submit
// made before a restart is still recorded (with its message id and the phone it came
// from) but cannot be matched to its mail.
//
//   smpp_configure(settings, get);                 // at start-up, from the keys
//   gw.receipts = std::make_unique<SmppReceipts>(relay, notify_failures, gw.state);
//   smpp_receipts_install(gw.receipts.get(), gw.send.get());  // after the transports started
//   receipts->expect(id, {client, bill, dest, originator, want_report});
//   ... the submit's record and status ...;  receipts->settled(id);
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <unordered_map>

#include "sms/sms_smpp.h"

namespace tolvane {

class RelayClient;
class ApiMessages;
struct StateStores;

// Fills the transport's settings from the keys (get returns a key's text, "" unset).
// Values that make no sense are logged and replaced by the default.
void smpp_configure(smpp_settings& s, const std::function<std::string(int)>& get);

struct smpp_submit_record {
    std::string client, bill, dest, originator;
    bool want_report = false;
    std::string api_id;  // the HTTP API's message id ("" for a mail's SMS)
    bool settled = true;  // false while the submit's own outcome is being written
};

// How long a receipt waits for its submit's outcome to be written (see expect()).
inline constexpr long SMPP_RECEIPT_WAIT_MS = 2000;

// Submits remembered at most; beyond it the oldest is forgotten.
inline constexpr std::size_t SMPP_REMEMBERED_MAX = 200000;

// The submits accepted by the centre, and what their receipts become: records, and mails
// through relay (borrowed; null sends none), failure notices for every failed SMS when
// notify_failures is set (`failure`).
class SmppReceipts {
  public:
    // state: where the records go (the gateway's stores, borrowed).
    SmppReceipts(RelayClient* relay, bool notify_failures, StateStores& state)
        : relay_(relay), notify_failures_(notify_failures), state_(state) {}
    // Where the receipts of the API's messages go (null: nowhere); set at start-up
    // before the transports receive.
    void set_api(ApiMessages* api) { api_.store(api); }
    // Remembers a submit by its message id (an empty id is not remembered).
    void remember(const std::string& message_id, const smpp_submit_record& r);
    // The same, before the submit's own outcome (its SUCCESS record, its API status) is
    // written: a receipt that comes meanwhile (a centre may answer at once) is matched and
    // waits for settled() (at most SMPP_RECEIPT_WAIT_MS), so that it is neither taken for
    // an unknown id nor overtaken by the outcome it reports on.
    void expect(const std::string& message_id, smpp_submit_record r);
    void settled(const std::string& message_id);
    // The receipt handler: records a final receipt (and mails what it says when asked);
    // false when its record cannot be written.
    bool record(const smpp_receipt& r);

  private:
    RelayClient* const relay_;
    const bool notify_failures_;
    StateStores& state_;
    std::atomic<ApiMessages*> api_{nullptr};
    std::mutex lock_;
    std::condition_variable settled_;  // a submit's outcome is written
    std::unordered_map<std::string, smpp_submit_record> submits_;  // guarded by lock_
    std::deque<std::string> order_;                                // oldest first (lock_)
};

// Installs the receipt handler of receipts into t when it is an SMPP transport, or into
// each SMPP member of a routed transport (null: none). receipts is borrowed: the
// transports keep the handler until they are freed, so the table must outlive them. The
// number of transports that took it.
int smpp_receipts_install(SmppReceipts* receipts, SmsTransport* t);

}  // namespace tolvane
