// Inside the SMPP client transport: the transport's state, its binds and the
// messages it hands out. Only the sms_smpp*.cpp files that make up the transport
// include this.
//
// Ownership: the state (sms_smpp) owns its binds; a bind owns its supervisor
// thread and, while connected, its link; the state owns the receipt thread. Both are
// std::jthreads that stop() joins (supervisors first, then the receipt thread). What ends
// them is the state's `stopping`, not their stop tokens: senders and waits on every other
// thread read that flag too, so a token would only be a second copy of it. A
// received message keeps a reference to the link it came on, so that its answer
// goes back on the same connection even after the bind has reconnected.
//
// Threads: every field marked "guarded" is read and written under the state's
// lock; `changed` is notified whenever a bind goes up or down, a link closes, a
// message or receipt is queued, or the state starts stopping; `room` when a window
// place is freed or the state starts stopping. Every wait on it is for an event or a computed
// deadline, never a slice.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <random>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "sms/receiver.h"
#include "sms/sms_smpp.h"
#include "sms/sms_smpp_flow.h"

namespace tolvane::smpp_impl {

// A wait must have run within this long for a message to be handed to it; else
// nothing receives through this transport.
constexpr long RECEIVER_IDLE_MS = 3000;
// Messages and receipts waiting to be taken, at most.
constexpr std::size_t INCOMING_MAX = 256;
// Bounds of the message workers (inbound_threads): centres commonly keep 10 deliver_sm
// outstanding, some more.
constexpr int INBOUND_MIN = 10;
constexpr int INBOUND_MAX = 32;
// How long a run of throttling answers may hold one send before it gives up.
constexpr long THROTTLE_GIVE_UP_MS = 600000;

struct bind_slot {
    std::string role;  // "transmitter", "receiver", "transceiver"
    std::uint32_t bind_cmd = 0;
    bool sends = false;
    bool receives = false;
    std::jthread supervisor;
    // Guarded by the state's lock:
    std::shared_ptr<smpp_link> link;  // null while down
    std::weak_ptr<smpp_link> trying;  // the link of an attempt under way
    bool up = false;
    smpp_window window{10};
    smpp_pacer pacer{0};
    std::uint32_t fatal_status = 0;  // a refusal that ends the attempts (start-up)
};

struct incoming {
    std::shared_ptr<smpp_link> link;
    std::unique_ptr<pdu> p;
};

struct sms_smpp;

// Tells the state that one of its links closed. A link may outlive the state (a
// received message keeps its link), so the link's close hook holds this, not the
// state: the state detaches itself when it ends.
struct link_waker {
    std::mutex m;
    sms_smpp* st = nullptr;  // guarded by m; null once the state has ended
    void wake();
};

struct sms_smpp : SmsTransport, MessageSource {
    sms_smpp() : SmsTransport(SMS_SMPP, "SMPP"), rx(*this, *this) { waker->st = this; }
    ~sms_smpp() override {
        stop();
        std::lock_guard<std::mutex> g(waker->m);
        waker->st = nullptr;
    }

    SendResult send(const SmsOut& sms) override;
    std::vector<SendResult> send_window(std::span<const SmsOut> items,
                                        const WindowHooks& hooks) override;
    bool can_receive() const override { return cfg.receive; }
    // The receiver's messages queued for its workers are handled while the binds are there:
    // receive() returns only once they are.
    Status receive(InboundSink& sink, std::stop_token stop) override { return rx.run(sink, stop); }
    // One submit after another (a long SMS's parts): 0, or the result code, with the
    // centre's message id of the last part and the number of submits. sent (when given)
    // is called with them once the last part is accepted, while that submit still holds
    // its place in the window.
    int send_text(std::string_view from, std::string_view to, std::string_view message,
                  bool want_report, std::string& message_id, int& parts,
                  const std::function<void(const std::string&, int)>* sent = nullptr);

    std::unique_ptr<sms_message> wait(int timeout_msec, int& errcode) override;
    void error(int err, std::string& bf) override;
    int msg_recv(sms_message*) override { return 0; }
    const char* msg_from(sms_message* msg) override;
    const char* msg_to(sms_message* msg) override;
    const char* msg_body(sms_message* msg) override;
    int msg_reject(sms_message* msg, int code, const char* reason) override;
    int msg_accept(sms_message* msg, int code, const char* reason) override;
    void msg_free(std::unique_ptr<sms_message>& msg) override;
    bool up() const override;
    std::string state_text() const override;
    bool tells_state() const override { return true; }
    // A centre sends deliver_sm in windows without waiting for each answer: a window's
    // worth is handled at once (the `smpp_window` setting, at least INBOUND_MIN, at most
    // INBOUND_MAX), each answered as soon as its SMS is stored.
    int inbound_threads() const override;
    void interrupt() override;
    // Every submit waiting for its answer, a window place or the bind fails at once with
    // SMPP_ERR_CUT, and so does every later one; the binds stay for the unbinds.
    void cut_sends(bool hard) override;
    // Tells the watcher that up() may have changed (the binds' threads call it).
    void note_state() { state_changed(); }

    Receiver rx;
    smpp_settings cfg;
    std::vector<std::unique_ptr<bind_slot>> binds;

    mutable std::mutex lock;
    std::condition_variable changed;  // a bind went up or down, a link closed, a message
                                      // nobody waits for, stopping
    // A window place was freed (or the state stops): only senders waiting for a place wait
    // here, so that a batch's answers do not wake the supervisors too.
    std::condition_variable room;
    // A message for wait() (or interrupt(), stopping), and a receipt for the receipt
    // thread: each wakes only its own taker, since waking the supervisors and senders
    // sharing `changed` for every deliver_sm costs more than handing it over.
    std::condition_variable arrived;
    std::condition_variable receipt_arrived;
    std::shared_ptr<link_waker> waker = std::make_shared<link_waker>();
    bool stopping = false;
    bool cutting = false;      // cut_sends() has run: no submit waits any more
    bool interrupted = false;  // the next wait returns at once
    int waiting = 0;           // waits in progress: a deliver_sm has a taker
    std::deque<incoming> messages;
    std::deque<incoming> receipts;
    std::atomic<long> last_wait{0};
    std::jthread receipt_thread;
    std::mt19937 rng{std::random_device{}()};
    // The receipt handler (sms_smpp_set_receipt_handler), under its own lock so that
    // setting it never waits for the binds.
    std::mutex handler_lock;
    smpp_receipt_handler receipt_handler;  // guarded by handler_lock

    void stop();
};

struct smpp_message : sms_message {
    std::shared_ptr<smpp_link> link;
    std::uint32_t sequence = 0;
    std::string from, to, body;
    bool answered = false;
};

smpp_message* message_of(sms_message* msg);

// Sends one deliver_sm_resp; false (logged) when the link would not take it.
bool answer_deliver(smpp_link& link, std::uint32_t sequence, std::uint32_t status);

// One attempt to connect and bind; the bound link, or null with the refusal's status
// and a reason.
std::shared_ptr<smpp_link> attempt(sms_smpp* st, bind_slot& b, std::uint32_t& status,
                                   std::string& why);
// A bind refusal that no retry can cure (credentials, system type).
bool fatal_refusal(std::uint32_t status);
// Records the bind's link (null: down) and wakes whoever waits for it.
void set_up(sms_smpp* st, bind_slot& b, std::shared_ptr<smpp_link> link);
bool stopping(sms_smpp* st);
// The bodies of the supervisor threads (one per bind) and of the receipt thread.
void supervise(sms_smpp* st, bind_slot* b);
void receipt_run(sms_smpp* st);

}  // namespace tolvane::smpp_impl
