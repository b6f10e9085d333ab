// The SMPP client transport: sends and receives SMS through an SMS centre over SMPP,
// and keeps its binds up for as long as the gateway runs.
//
// A transport of mode SMS_SMPP (sms.h), started by sms_smpp_init from its smpp_init
// record.
//
// Binds: `pair` keeps a transmitter (submit_sm) and a receiver (deliver_sm);
// `transceiver` one bind that does both. Each bind has a supervisor thread that
// connects and binds, sends enquire_link after a silence and takes a missing answer
// as a lost connection, and after any loss (the centre hanging up or unbinding, a
// failed keep-alive, a refused bind) connects again after a backoff of 1 s doubling
// to the reconnect maximum, with jitter and one log line per attempt. Start-up makes
// one attempt per bind: a centre that cannot be reached is retried in the
// background and start-up succeeds; only a bind refused for its credentials or
// system type (0x0D, 0x0E, 0x0F) fails start-up (code 2 transmitter/transceiver,
// 3 receiver).
//
// Sending: up to `window` submit_sm wait for their answers at once per bind, each
// at most the response limit; a missing answer fails that send alone. Submits are
// spaced to the configured rate; a "throttled" or "queue full" answer pauses the
// bind and the submit goes again without counting as an attempt. A send made while
// its bind is down waits for it (up to the send wait) and then fails with
// SMPP_ERR_DOWN, a temporary code (sms_smpp_temporary).
//
// Receiving: each deliver_sm is answered exactly once with deliver_sm_resp: 0 when
// the gateway took it (accept), the gateway's code (reject), and 0x64 (temporary)
// when nothing receives through this transport, too many wait, or it is shutting
// down. Delivery receipts never become messages: they go to the receipt handler
// the gateway installs, on a thread of the transport, and are acknowledged when
// the handler has recorded them.
//
// Threads: sends (mail threads), the wait (the receiving thread), accept/reject
// (message workers), the readers and supervisors of the binds and the receipt
// thread all run at once; every shared field is under the state's lock. All of
// them are stopped and joined when the state is freed.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "sms/sms.h"
#include "sms/sms_smpp_session.h"
#include "sms/sms_smpp_sm.h"

namespace tolvane {

// False while the transport is not part of the build (sms_init then refuses it).
extern const bool SMS_SMPP_BUILT;

// The transport's settings are the fields of smpp_init (sms.h).
using smpp_settings = smpp_init;

// A send's result code that means "not now" rather than "failed": the bind was down
// for the whole send wait, or the centre kept answering "throttled"/"queue full".
inline constexpr int SMPP_ERR_DOWN = 0x10003;  // "SMPP bind is down"
bool sms_smpp_temporary(int err);

// What the caller of sms_send may ask of one send and learn from it, per thread:
// set want_report before the send; message_id holds the centre's id of the (last
// part of the) accepted submit afterwards, parts the number of submits.
struct smpp_send_note {
    bool want_report = false;
    std::string message_id;
    int parts = 0;
};
smpp_send_note& sms_smpp_send_note();

// Many SMS through the sending bind at once (a delivery worker's batch). Single-part SMS
// go out together, as many as the window and the pace allow, in one write, and their
// answers are awaited together; what cannot go that way (a long SMS, a bind that is down,
// a throttled or lost submit) is sent on its own as sms_send would. err is what sms_send
// would have returned, message_id and parts what its note would hold. A transport that
// is not SMPP sends each through sms_send.
struct smpp_batch_item {
    std::string_view from, to, text;
    bool want_report = false;
    bool sent = false;  // an outcome is known (err)
    int err = 0;
    std::string message_id;
    int parts = 0;
};
struct smpp_batch_hooks {
    // Before SMS go out (a group, or one sent on its own), with their indexes: the caller
    // counts their attempts. False: none of them is sent, nor anything after them.
    std::function<bool(const std::vector<std::size_t>&)> before;
    // An item's outcome is known. For an accepted SMS of a group it is called while its
    // place in the window is still held, so that the SMS accepted by the centre but not
    // yet finished by the caller are never more than the window.
    std::function<void(std::size_t)> after;
    // Asked before each group and each SMS sent on its own: false stops the batch (a
    // shutdown); what is left is not sent (sent stays false).
    std::function<bool()> go_on;
};
void sms_smpp_send_batch(sms* transport, std::vector<smpp_batch_item>& items,
                         const smpp_batch_hooks& hooks);

// The gateway's receipt handler: true when the receipt has been recorded (it is then
// acknowledged with 0; false gives 0x64 so the centre sends it again). Without one a
// receipt is logged and acknowledged.
using smpp_receipt_handler = std::function<bool(const smpp_receipt&)>;
void sms_smpp_set_receipt_handler(smpp_receipt_handler handler);

// Starts the transport (see above); err 0, or 2/3 for refused credentials (the state
// is still given, for the error text). up() is true while the transmitting bind
// (transmitter or transceiver) is bound.
std::unique_ptr<sms> sms_smpp_init(const smpp_init& init, int& errcode);

}  // namespace tolvane
