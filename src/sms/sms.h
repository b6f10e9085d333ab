// The old transport class, which only the SMTP transport (mail/sms_smtp) still derives
// from: the SMS transports (GSM modem, SMPP, XML, robot) are SmsTransports
// (transport.h), and a temporary bridge in the gateway makes the SMTP transport one for
// sending. This class goes when the SMTP library replaces it.
//
// A transport derived from `sms` implements the message operations below; its factory
// (sms_smtp_init) starts it from its settings record. The rest of the code reaches it
// through the sms_* functions, which add the null checks, the receiving loop (sms_wait)
// and the message workers around the virtual operations.
//
// Ownership: the caller owns the transport through a std::unique_ptr<sms> and
// releases it with sms_free (which waits for the messages in hand and joins the
// message workers). A message (an
// sms_message subclass) returned by a transport's wait is owned by whoever holds its
// unique_ptr: the wait loop hands it to one of the transport's message workers, whose
// callback owns it from then on and releases it with sms_msg_free (the worker releases
// it itself if the callback did not). Texts returned by the message operations belong to the
// message and stay valid until it is freed. A message is handed only to the
// transport that made it, which takes it back with kind_cast (foundation/kind.h).
//
// Health: up() and state_text() say whether the transport can carry traffic now
// (the queue holds messages while it is down; health pages and metrics show it).
// The defaults say "up"; a transport that knows better overrides them, and one that
// can tell when that changes calls state_changed() (tells_state()), which wakes its
// watcher (the delivery engine) at once.
//
// Wake-ups: interrupt() ends a wait in progress, so that a receiving loop that waits
// without a timer still sees a shutdown at once (wakes_on_interrupt()).
//
// Cutting: at shutdown, once the sends in progress have had their time, cut_sends()
// ends them: each returns SMS_SEND_CUT at once (a relay's socket is shut down). A cut
// send's outcome is unknown; its caller keeps the message for the next start without
// counting it as a failure.
//
// Limits: this layer takes no locks on transport operations; every transport
// guards its own link. Received messages are handled by a bounded pool of message
// workers per transport (sms_inbound.h; inbound_threads() of them at most, started as
// messages come); sms_free waits a little for the messages in hand, then stops and
// joins the workers before it releases the transport (see sms_free).
//
//   int err = 0;
//   smtp_init rec;  rec.listenport = 1025;  ...
//   std::unique_ptr<sms> s = sms_smtp_init(rec, err);   // every factory sets err first
//   if (!s || err) { std::string why; sms_error(s.get(), err, why); ... sms_free(s); }
//   sms_wait(s.get(), 100, incoming_smtp, reader);
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "foundation/kind.h"
#include "sms/receiver.h"
#include "sms/sms_inbound.h"
#include "sms/sms_text.h"

namespace tolvane {

// Callback events.
enum sms_state : int { SMS_WAITING = 0, SMS_INCOMING = 1, SMS_ERRORCODE = 2 };

// Extra headers handed to the SMTP transport's send (smtp/engine.h); other
// transports ignore them.
struct smtp_message_extra;

class sms;

// Argument of a callback event.
struct sms_cb_arg {
    // SMS_INCOMING: the message. The callback owns it: it releases it with
    // sms_msg_free (or moves it out); whatever is left is released after the
    // callback returns.
    std::unique_ptr<sms_message>* msg = nullptr;
    // SMS_ERRORCODE: the transport's error code.
    int* err = nullptr;
    // SMS_WAITING: how long the next wait may take, in ms (-1: until a message or an
    // interrupt). The callback may change it; it is kept only for a transport that wakes
    // on interrupt(), any other waits the sms_wait timeout each time.
    long* next_wait_ms = nullptr;
};

// cb(handle, event, arg, cb_data).
//   SMS_WAITING   (wait brought nothing): 0 ends sms_wait; else go on (after a pause,
//                 for a transport that does not wake on interrupt()).
//   SMS_INCOMING  (on a new thread): result ignored.
//   SMS_ERRORCODE (wait reported an error): 0 ends sms_wait with that code; else
//                 the code is cleared and waiting goes on at once.
using sms_callback = int (*)(sms* s, int event, const sms_cb_arg& arg, void* cb_data);

// An open transport. The operations are called through the sms_* functions below.
class sms {
  public:
    explicit sms(int mode) : mode_(mode) {}
    // Stops the message workers if still running (sms_free has done so already).
    virtual ~sms();
    sms(const sms&) = delete;
    sms& operator=(const sms&) = delete;

    int mode() const { return mode_; }

    // ---- the operations every transport implements ----
    // 0 when handed over, else the transport's code for error().
    virtual int send(const smtp_message_extra* data, std::string_view from, std::string_view to,
                     std::string_view message) = 0;
    // One message within timeout_msec, or null; errcode set on a failure (a message
    // may still come with it).
    virtual std::unique_ptr<sms_message> wait(int timeout_msec, int& errcode) = 0;
    // The text for a code in bf (bf holds "No Error Reported" for 0 on entry).
    virtual void error(int err, std::string& bf) = 0;
    virtual int msg_recv(sms_message* msg) = 0;
    virtual const char* msg_fromip(sms_message* msg) = 0;
    virtual const char* msg_from(sms_message* msg) = 0;
    virtual const char* msg_to(sms_message* msg) = 0;
    virtual const char* msg_body(sms_message* msg) = 0;
    virtual int msg_reject(sms_message* msg, int code, const char* reason) = 0;
    virtual int msg_accept(sms_message* msg, int code, const char* reason) = 0;
    virtual void msg_free(std::unique_ptr<sms_message>& msg) = 0;

    // ---- health ----
    // Whether the transport can carry traffic now.
    virtual bool up() const { return true; }
    // One line for people: "up", or what is wrong.
    virtual std::string state_text() const { return up() ? "up" : "down"; }

    // ---- events: state changes and wake-ups ----
    // Whether the transport calls state_changed() whenever up() may have changed, so that
    // whoever waits for it to come up needs no timer. The default: it does not.
    virtual bool tells_state() const { return false; }
    // How many received messages are handled at once (the message workers' bound): a
    // transport that receives in windows (SMPP) wants a window's worth, a modem one or two.
    virtual int inbound_threads() const { return 2; }
    // Whether interrupt() ends a wait() in progress at once, so that the receiving loop
    // may wait without a timer. The default: it does not (the loop then waits briefly).
    virtual bool wakes_on_interrupt() const { return false; }
    // Makes the wait() in progress, or the next one, return at once with nothing.
    virtual void interrupt() {}
    // Ends every send in progress, and every later one, with SMS_SEND_CUT (shutdown). A
    // robot's programs get SIGTERM, and SIGKILL with hard (its caller's second call, when
    // they did not end). The default cuts nothing: such a transport's sends end by their
    // own limits.
    virtual void cut_sends(bool hard) { (void)hard; }
    // The function told of every state change (null: none). It is called on the
    // transport's own threads, none of its locks held; it must be quick. Once
    // set_state_watcher returns, the previous function is no longer being called.
    void set_state_watcher(std::function<void()> fn);
    // Called by the transport when up() may have changed.
    void state_changed();

    // ---- the receiving loop's own state (sms_wait, sms_wait_incoming, sms_free) ----
    sms_callback cb = nullptr;  // set by sms_wait
    void* cb_data = nullptr;    // the callback's own argument, set by sms_wait
    // Pause after an idle tick of sms_wait, for a transport that does not wake on
    // interrupt() (tests shorten it).
    long idle_pause_ms = 1000;
    // Messages received and not yet handled to the end (queued or in a callback).
    std::mutex busy_lock;
    std::condition_variable busy_changed;
    int busy = 0;
    // The message workers, started with the first message (sms_wait_incoming); stopped
    // and joined by sms_free, or by stop_inbound() in a transport's destructor.
    std::unique_ptr<InboundWorkers> inbound;  // guarded by busy_lock while it is set
    bool inbound_stopped = false;             // guarded by busy_lock
    // Stops and joins the message workers after the messages queued for them; a message
    // that comes later is released. A transport whose destructor ends what the callbacks
    // use calls it first.
    void stop_inbound();

  private:
    const int mode_;
    std::mutex watcher_lock_;
    std::function<void()> watcher_;  // guarded by watcher_lock_
};

// Releases the transport and nulls the pointer. Waits up to
// SMS_FREE_WAIT_MS for the messages in hand on the handle, then stops and joins its
// message workers; if messages are still in hand then, the transport is left to its
// workers (logged, never freed) so that they do not run on freed memory.
inline constexpr long SMS_FREE_WAIT_MS = 3000;
void sms_free(std::unique_ptr<sms>& s);
int sms_mode(const sms* s);  // 0 for a null handle

// 0 when handed over, else the transport's code for sms_error; -1 for a null handle.
int sms_send(sms* s, const smtp_message_extra* data, std::string_view from, std::string_view to,
             std::string_view message);

// The receiving loop: -1 for a null handle or callback, else the code that ended it
// (0 when the callback ended it on an idle tick). Each wait takes timeout_msec, or what
// the callback asked for on the last idle tick (next_wait_ms) when the transport wakes
// on interrupt().
inline constexpr long SMS_WAIT_FOREVER = -1;
int sms_wait(sms* s, int timeout_msec, sms_callback cb, void* cb_data);
// Ends the handle's wait in progress (or its next one) at once; nothing for a null handle.
void sms_interrupt(sms* s);
// cut_sends(hard) of the handle; nothing for a null handle.
void sms_cut_sends(sms* s, bool hard);
// Runs the callback with SMS_INCOMING for msg on one of the handle's message workers
// (queued while all are busy). 1 when it was queued; 0 when it could not be (the
// workers are stopped or none could start; the message is then released).
int sms_wait_incoming(sms* s, std::unique_ptr<sms_message> msg);
// Messages in hand on the handle: queued for a worker or in a callback.
int sms_busy(sms* s);
// Counts a message in (1) or out (-1), for a transport that runs message workers of its
// own; sms_drain and sms_free wait for the count to come back to 0.
void sms_busy_add(sms* s, int n);
// Waits up to limit_ms for the messages in hand on the handle to be done with; true
// when none is left (also for a null handle).
bool sms_drain(sms* s, long limit_ms);

int sms_msg_recv(sms* s, sms_message* msg);  // -1 for a null handle or message
int sms_msg_accept(sms* s, sms_message* msg, int code, const char* reason);
int sms_msg_reject(sms* s, sms_message* msg, int code, const char* reason);
// Null for a null handle or message.
const char* sms_msg_fromip(sms* s, sms_message* msg);
const char* sms_msg_from(sms* s, sms_message* msg);
const char* sms_msg_to(sms* s, sms_message* msg);
const char* sms_msg_body(sms* s, sms_message* msg);
void sms_msg_free(sms* s, std::unique_ptr<sms_message>& msg);

// The text for err (at most 999 characters) in bf; returns bf.
const std::string& sms_error(sms* s, int err, std::string& bf);
// The same as a new text.
std::string sms_error_text(sms* s, int err);

}  // namespace tolvane
