// The SMPP client transport: sends and receives SMS through an SMS centre over SMPP,
// and keeps its binds up for as long as the gateway runs.
//
// A transport of mode SMS_SMPP (transport.h), started by sms_smpp_init from its smpp_init
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
// SMPP_ERR_DOWN, a temporary failure (SendFailure::temporary).
//
// Receiving: each deliver_sm is answered exactly once with deliver_sm_resp: 0 when
// the gateway took it (accept), the gateway's code (reject), and 0x64 (temporary)
// when nothing receives through this transport, too many wait, or it is shutting
// down. Delivery receipts never become messages: they go to the receipt handler
// the gateway installs into the transport, on a thread of the transport, and are
// acknowledged when the handler has recorded them.
//
// Threads: sends (the delivery workers), the wait (the receiving thread), accept/reject
// (message workers), the readers and supervisors of the binds and the receipt
// thread all run at once; every shared field is under the state's lock. All of
// them are stopped and joined when the state is freed.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "sms/receiver.h"
#include "sms/sms_text.h"
#include "sms/transport.h"
#include "sms/sms_smpp_session.h"
#include "sms/sms_smpp_sm.h"

namespace tolvane {

// False while the transport is not part of the build (sms_init then refuses it).
extern const bool SMS_SMPP_BUILT;


struct smpp_init {
    std::string host;
    std::string id;    // system_id
    std::string pass;  // password
    std::string type;  // system_type
    std::string addr_range;
    int port = 0;
    int addr_ton = 0;
    int addr_npi = 0;
    long response_ms = 0;  // limit for the centre's answers; 0 keeps the default
    // How the link is kept and used (sms_smpp.h says what each does).
    smpp_bind_kind bind = smpp_bind_kind::pair;
    int window = 10;          // submit_sm outstanding per bind
    long enquire_ms = 30000;  // silence before an enquire_link, 0 never
    long reconnect_first_ms = 1000;
    long reconnect_max_ms = 60000;
    long send_wait_ms = -1;        // a send waits this long for a bind that is down
                                   // (-1: twice reconnect_max_ms, at least response_ms)
    long throttle_pause_ms = 500;  // first pause after a throttling answer
    int throughput = 0;            // submit_sm per second per bind, 0 no limit
    int dest_ton = -1;             // -1: by the number's form
    int dest_npi = -1;
    smpp_receipt_mode receipts = smpp_receipt_mode::none;
    int gsm_coding = 0;  // data_coding of GSM text: 0, 1 (IA5) or 3 (Latin-1)
    smpp_long_mode long_mode = smpp_long_mode::udh;
    int max_parts = 10;
    std::string coding = "auto";  // sms_coding
    // False: no SMS are taken from this centre (with bind pair no receiver is bound, so
    // neither SMS nor receipts come from it).
    bool receive = true;
};

using smpp_settings = smpp_init;

// A send's result code that means "not now" rather than "failed": the bind was down
// for the whole send wait, or the centre kept answering "throttled"/"queue full".
inline constexpr int SMPP_ERR_DOWN = 0x10003;  // "SMPP bind is down"
// What a send's result code means for its SMS: 0 is no failure and is not asked about;
// SMPP_ERR_DOWN, "throttled" and "queue full" are temporary, a cut submit is cut, every
// other status (the centre's refusal, a lost or unanswered submit) is failed.
SendFailure smpp_failure_kind(int err);
// The text for a result code ("SMPP bind is down", the centre's status name, ...).
std::string smpp_error_text(int err);

// A send (SmsTransport::send) returns the centre's message id of the (last part of the)
// accepted submit and the number of submits. A window send (send_window) sends
// single-part SMS together, as many as the window and the pace allow, in one write, and
// awaits their answers together; what cannot go that way (a long SMS, a bind that is
// down, a throttled or lost submit) is sent on its own as send() would. An accepted SMS
// of a group is told to the hooks while its place in the window is still held, so that
// the SMS accepted by the centre but not yet finished by the caller are never more than
// the window.

// The gateway's receipt handler: true when the receipt has been recorded (it is then
// acknowledged with 0; false gives 0x64 so the centre sends it again). Without one a
// receipt is logged and acknowledged.
using smpp_receipt_handler = std::function<bool(const smpp_receipt&)>;
// Sets t's own receipt handler when t is an SMPP transport (null removes it): false for
// any other transport. The handler goes with the transport, so two gateways in one
// process, or two centres of one gateway, never share one.
bool sms_smpp_set_receipt_handler(SmsTransport& t, smpp_receipt_handler handler);

// Starts the transport (see above): the transport, or the failure (code 1 no host,
// 2/3 for refused credentials). up() is true while the transmitting bind (transmitter
// or transceiver) is bound.
Result<std::unique_ptr<SmsTransport>> sms_smpp_init(const smpp_init& init);

}  // namespace tolvane
