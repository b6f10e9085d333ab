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
// Ownership: one process-wide table under its own lock, bounded (the oldest entries
// go first); the handler is installed into the transport at start-up and runs on the
// transport's receipt thread. Limits: the table lives in memory, so a receipt for a
// submit made before a restart is still recorded (with its message id and the phone
// it came from) but cannot be matched to its mail.
//
//   smpp_configure(settings, get);                 // at start-up, from the keys
//   smpp_receipts_install(relay);                  // after the transports started
//   smpp_remember_submit(id, {client, bill, dest, originator, want_report});
#pragma once

#include <cstddef>
#include <functional>
#include <string>

#include "sms/sms_smpp.h"

namespace tolvane {

class RelayClient;

// Fills the transport's settings from the keys (get returns a key's text, "" unset).
// Values that make no sense are logged and replaced by the default.
void smpp_configure(smpp_settings& s, const std::function<std::string(int)>& get);

struct smpp_submit_record {
    std::string client, bill, dest, originator;
    bool want_report = false;
};

// Submits remembered at most; beyond it the oldest is forgotten.
inline constexpr std::size_t SMPP_REMEMBERED_MAX = 200000;

void smpp_remember_submit(const std::string& message_id, const smpp_submit_record& r);
// Installs the receipt handler; mails go out through relay (the SMTP transport), and
// failure notices for every failed SMS when notify_failures is set (`failure`).
void smpp_receipts_install(RelayClient* relay, bool notify_failures);
// Removes the handler and forgets every submit (shutdown, tests).
void smpp_receipts_reset();
// The handler itself (tests call it directly).
bool smpp_receipt_record(const smpp_receipt& r);

}  // namespace tolvane
