// The receiver a receiving transport (GSM modem, SMPP centre) runs in its receive().
//
// A transport that receives implements MessageSource: waiting for the next message it
// holds (an sms_message of its own kind), reading it, answering its source (a modem
// deletes the stored SMS or leaves it, a centre gets deliver_sm_resp), releasing it, and
// ending a wait in progress at once (interrupt). Receiver::run is the loop around that:
// it waits, hands each message to one of a bounded pool of message workers
// (InboundWorkers, inbound_threads() of them at most, never a thread per SMS), which read
// it into an InboundSms, give it to the sink, and answer the source by the sink's
// InboundVerdict.
//
// Waits: each wait takes what the sink's idle() asked for the last time it was asked
// (-1: until a message comes or the wait is interrupted); idle() is asked whenever a wait
// brings nothing, and again at once after a verdict with recheck_idle (a part of a long
// SMS that set a new deadline).
//
// Stopping: a std::stop_callback interrupts the wait the moment stop is requested; run()
// then stops its workers, which handle every message already queued, joins them and
// returns. A wait that reports an error ends run() the same way, with that error.
//
// Ownership: the transport owns its Receiver; the workers live only within run().
//
//   Receiver rx(*this, *this);
//   Status s = rx.run(sink, stop);
#pragma once

#include <atomic>
#include <memory>
#include <stop_token>
#include <string>

#include "foundation/result.h"
#include "sms/sms_concat.h"
#include "sms/transport.h"

namespace tolvane {

// One received message in a transport's hands, until its source is answered. Each
// transport derives its own kind.
class sms_message {
  public:
    virtual ~sms_message() = default;

    // Set by the transport when the message is one part of a long SMS (from its
    // user-data header or the SMS centre's sar_* parameters). All 0 for a whole SMS.
    sms_concat concat;
};

// What a receiving transport gives its Receiver.
class MessageSource {
  public:
    virtual ~MessageSource() = default;
    // One message within timeout_msec (-1: until one comes or interrupt()), or null;
    // errcode set on a failure that ends receiving.
    virtual std::unique_ptr<sms_message> wait(int timeout_msec, int& errcode) = 0;
    // Makes the wait in progress, or the next one, return at once with nothing.
    virtual void interrupt() = 0;
    // Reads what the message holds (a modem fetches its text): 0, or the code of error().
    virtual int msg_recv(sms_message* msg) = 0;
    virtual const char* msg_from(sms_message* msg) = 0;
    virtual const char* msg_to(sms_message* msg) = 0;
    virtual const char* msg_body(sms_message* msg) = 0;
    // The message is kept by the sink: its source may forget it.
    virtual int msg_accept(sms_message* msg, int code, const char* reason) = 0;
    // The message was not kept: its source should give it again (code: a centre's status).
    virtual int msg_reject(sms_message* msg, int code, const char* reason) = 0;
    // Releases a message (one left unanswered is treated as rejected).
    virtual void msg_free(std::unique_ptr<sms_message>& msg) = 0;
    // The text for a code.
    virtual void error(int err, std::string& bf) = 0;
};

// The status a message that could not be read is refused with: temporary (SMPP's
// ESME_RX_T_APPN), so that its source gives it again.
inline constexpr int RECEIVE_RETRY_LATER = 0x64;

class Receiver {
  public:
    Receiver(MessageSource& source, SmsTransport& transport)
        : src_(source), transport_(transport) {}
    Receiver(const Receiver&) = delete;
    Receiver& operator=(const Receiver&) = delete;

    // Receives until stop is requested (or a wait fails); see above.
    Status run(InboundSink& sink, std::stop_token stop);
    // Whether a run() is in progress (a second one at once is refused).
    bool running() const { return running_.load(); }
    // One message on the caller's thread, as a worker handles it: read, handed to the sink,
    // answered by its verdict, released (msg is null afterwards).
    void handle(InboundSink& sink, std::unique_ptr<sms_message>& msg);

  private:
    MessageSource& src_;
    SmsTransport& transport_;
    std::atomic<bool> running_{false};
    std::atomic<bool> recheck_{false};  // a verdict asked for idle() to be asked again
};

}  // namespace tolvane
