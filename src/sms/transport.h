// SmsTransport: what the gateway sends SMS through and receives them from.
//
// A transport is a GSM modem, an SMPP centre, a robot program, the XML placeholder or
// one that another library implements on this interface.
// It does four things: send one SMS (or a window of them), run a receiver that hands
// each received SMS to an inbound sink, say whether it can carry traffic, and stop.
// Nothing here knows what the SMS come from or go to beyond the transports.
//
// Ownership: whoever opens a transport owns it (std::unique_ptr<SmsTransport>); the
// destructor stops the receiver's message workers and joins every thread the transport
// started. A transport is named (`name()`), so that more than one of a mode can run.
//
// Threads: send() and send_window() may be called from many threads at once; each
// transport guards its own link. receive() runs on the caller's thread until its stop
// token is asked to stop; it hands SMS to the sink on a bounded pool of message workers
// of its own (inbound_threads() of them at most), never a thread per SMS.
//
//   std::unique_ptr<SmsTransport> t = open_transport(...);
//   Result<Sent, SendError> r = t->send({.from = "", .to = "+61412345678", .text = "Hi"});
//   if (!r) log("%s", r.error().reason.c_str());
//   std::jthread rx([&](std::stop_token st) { (void)t->receive(sink, st); });
#pragma once

#include <functional>
#include <mutex>
#include <span>
#include <stop_token>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "foundation/result.h"
#include "sms/sms_concat.h"

namespace tolvane {

// Transport modes, as the settings name them. The function sms_mode() hides this name,
// so the type is spelt `enum sms_mode`.
enum sms_mode : int {
    SMS_GSM = 0,
    SMS_SMPP = 1,
    SMS_XML = 2,
    SMS_SMTP = 3,
    SMS_ROBOT = 4,
    SMS_NONE = 5
};
inline constexpr int SMS_MODES = 5;  // modes with a transport

// The code of a send that cut_sends() ended before its outcome was known (the same in
// every transport's code space; SendFailure::cut).
inline constexpr int SMS_SEND_CUT = -2;

// "GSM modem", "SMPP", "XML", "SMTP", "robot"; "none" beyond.
const char* sms_mode_name(int mode);

class SmsTransport;

// One SMS to send. The texts are only read during the call.
struct SmsOut {
    std::string_view from;  // the originator ("" for the transport's own)
    std::string_view to;    // the destination number
    std::string_view text;  // UTF-8
    // Ask the network for a delivery report (a centre that can gives a receipt).
    bool want_receipt = false;
    // Name/value labels a carrier may pass along with the SMS (a provider reached by relay
    // passes them as its message's headers); other transports ignore them. Null: none.
    const std::vector<std::pair<std::string, std::string>>* labels = nullptr;
    // For whoever routes SMS over several transports: the billing address and the
    // authenticated user the SMS is sent for (routes may pick by them), and the transport
    // an answer should go back through (the one its SMS came in on; null: none).
    std::string_view billing = {};
    std::string_view user = {};
    const SmsTransport* via = nullptr;
};

// A send that went through.
struct Sent {
    std::string message_id;  // the centre's id for the SMS ("" when it gives none)
    int parts = 1;           // SMS it took
    // The name of the transport that carried it, when a router chose one of several
    // ("" when the transport sent it itself).
    std::string transport = {};
};

// Why a send did not go through, and what the caller should do about it.
enum class SendFailure {
    failed,     // this SMS failed: counts against its retries
    temporary,  // the transport is away or asks to slow down: not this SMS's fault, later
    cut,        // cut by a shutdown (cut_sends), outcome unknown: send again after restart
};
struct SendError {
    SendFailure kind = SendFailure::failed;
    int code = 0;        // the transport's own code (SMPP command_status, CMS error, exit code)
    std::string reason;  // for people and the records
    std::string transport = {};  // as Sent::transport: the one a router chose ("": itself)
};
using SendResult = Result<Sent, SendError>;

// Hooks of a window send (send_window).
struct WindowHooks {
    // Before SMS go out (a group, or one sent on its own), with their indexes: the caller
    // counts their attempts. False: none of them is sent, nor anything after them.
    std::function<bool(std::span<const std::size_t>)> before;
    // An item's outcome is known. For an SMS accepted as part of a group it is called
    // while its place in the window is still held.
    std::function<void(std::size_t, const SendResult&)> after;
    // Asked before each group: false stops the window (a shutdown); what is left is not
    // sent (its result stays unset in the answer).
    std::function<bool()> go_on;
};

// One received SMS (a part of a long SMS carries its concat numbers).
struct InboundSms {
    std::string from;  // the originator as the network gave it
    std::string to;    // the number it was sent to ("" when unknown)
    std::string text;  // UTF-8
    sms_concat concat;
};

// What became of a received SMS; the transport answers its source by it (a modem deletes
// the stored SMS, a centre gets deliver_sm_resp with `code`).
struct InboundVerdict {
    bool kept = true;    // stored: the source may forget it
    int code = 0;        // for a centre: the command_status to answer when not kept
    std::string reason;  // for the log
    // The sink's deadlines changed (a part of a long SMS is held): the receiver asks
    // idle() again at once instead of at the end of its current wait.
    bool recheck_idle = false;
};

// Where received SMS go: the gateway's receiving path (and in tests, a recorder).
class InboundSink {
  public:
    virtual ~InboundSink() = default;
    // On one of the transport's message workers (at most inbound_threads() at once).
    virtual InboundVerdict received(SmsTransport& from, InboundSms sms) = 0;
    // Called by the receiver when it has nothing to hand over: the ms until the sink
    // wants to be called again (long SMS waiting for their last part), -1 for never.
    virtual long idle() { return -1; }
};

class SmsTransport {
  public:
    SmsTransport(int mode, std::string name) : mode_(mode), name_(std::move(name)) {}
    virtual ~SmsTransport() = default;
    SmsTransport(const SmsTransport&) = delete;
    SmsTransport& operator=(const SmsTransport&) = delete;

    int mode() const { return mode_; }                // SMS_GSM ... (enum sms_mode)
    const std::string& name() const { return name_; }  // as the settings call it

    // ---- sending ----
    virtual SendResult send(const SmsOut& sms) = 0;
    // Many SMS at once (a delivery worker's batch). The default sends them one by one;
    // a transport with a window (SMPP) sends single-part SMS together. One result per
    // item; an item left unsent (go_on said stop) has a `cut` error.
    virtual std::vector<SendResult> send_window(std::span<const SmsOut> items,
                                                const WindowHooks& hooks);

    // ---- receiving ----
    // Whether this transport can receive SMS at all.
    virtual bool can_receive() const { return false; }
    // Runs the receiver on the caller's thread until stop is requested, handing each SMS
    // to sink on the message workers. Returns once stopped and every SMS in hand is done
    // with (its workers joined), or at once with the error that stops receiving.
    virtual Status receive(InboundSink& sink, std::stop_token stop);
    // Received SMS handled at most at once.
    virtual int inbound_threads() const { return 2; }

    // ---- health ----
    virtual bool up() const { return true; }
    // One line for people: "up", or what is wrong.
    virtual std::string state_text() const { return up() ? "up" : "down"; }
    // Whether the transport calls state_changed() whenever up() may have changed.
    virtual bool tells_state() const { return false; }
    // The function told of every state change (null: none); called on the transport's
    // own threads, none of its locks held; it must be quick.
    void set_state_watcher(std::function<void()> fn);

    // ---- failures ----
    // Called by whoever routes SMS over several transports when this one failed
    // transport_fail_limit sends in a row and is about to rest: a transport that can
    // recover by a reset (a modem: gsm_reset and a fresh initialisation) does so here.
    // On the caller's thread; may take as long as the reset takes.
    virtual void reset_after_failures() {}

    // ---- stopping ----
    // Ends every send in progress, and every later one, with SendFailure::cut (shutdown).
    // hard: the second call, for sends that did not end (a robot's program is killed).
    virtual void cut_sends(bool hard) { (void)hard; }

  protected:
    // Called by the transport when up() may have changed.
    void state_changed();

  private:
    const int mode_;
    const std::string name_;
    std::mutex watcher_lock_;
    std::function<void()> watcher_;  // guarded by watcher_lock_
};

// The transport's mode; SMS_NONE for none.
inline int sms_mode(const SmsTransport* t) {
    return t != nullptr ? t->mode() : SMS_NONE;
}

}  // namespace tolvane
