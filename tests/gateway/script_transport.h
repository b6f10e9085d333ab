// Scripted SMS transports for the gateway's path tests: one hands out queued SMS from its
// inbox, records every send (with the labels or mail headers when given), answers each
// send from a list of results, and records what the path told it (accept, reject,
// release).
//
// script_transport makes an SmsTransport (the sending and receiving transports),
// script_relay a relay sender. The script is owned
// by the test and must outlive the transport. Sends, accepts and rejects may come from
// several threads; they are recorded under the script's lock.
//
//   Script out;
//   out.results = {5, 0};             // the first send fails with 5, the next succeeds
//   auto send = script_transport(SMS_ROBOT, &out);
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sms/receiver.h"
#include "smtp/engine.h"
#include "smtp/relay_client.h"
#include "sms/transport.h"

namespace tolvane::test {

// One SMS in the inbox.
struct TestSms : sms_message {
    std::string from, to, body;
    int recv_result = 0;
};

struct Sent {
    std::string from, to, text;
    bool with_headers = false;
    mail_headers headers;
    bool want_receipt = false;
};

struct Script {
    std::mutex m;
    std::condition_variable changed;  // the inbox got an SMS
    std::deque<std::unique_ptr<TestSms>> inbox;
    int end_code = 0;  // what wait reports once the inbox is empty (0: nothing)
    std::vector<Sent> sent;
    // Result of each send in turn; 0 once exhausted. SMS_SEND_CUT is cut; another code is
    // failed, or, for a transport of mode SMS_SMPP, of the kind its SMPP status has.
    std::deque<int> results;
    std::vector<int> accepted;  // codes of accept calls
    std::vector<int> rejected;  // codes of reject calls
    std::atomic<int> freed{0};  // messages released
};

// The scripted SmsTransport, with its receiver's message side reachable for tests.
class ScriptTransport : public SmsTransport, public MessageSource {
  public:
    ScriptTransport(int mode, Script* sc) : SmsTransport(mode, "scripted"), sc_(sc), rx(*this, *this) {}

    SendResult send(const SmsOut& sms) override;
    bool can_receive() const override { return true; }
    Status receive(InboundSink& sink, std::stop_token stop) override { return rx.run(sink, stop); }

    std::unique_ptr<sms_message> wait(int timeout_msec, int& err) override;
    void interrupt() override;
    void error(int err, std::string& bf) override { bf = "scripted failure " + std::to_string(err); }
    int msg_recv(sms_message* m) override;
    const char* msg_from(sms_message* m) override;
    const char* msg_to(sms_message* m) override;
    const char* msg_body(sms_message* m) override;
    int msg_reject(sms_message*, int code, const char*) override;
    int msg_accept(sms_message*, int code, const char*) override;
    void msg_free(std::unique_ptr<sms_message>& m) override;

  private:
    Script* sc_;
    bool interrupted_ = false;  // guarded by sc_->m

  public:
    Receiver rx;  // last: it uses the fields above
};

// A scripted transport claiming that mode. Errors read "scripted failure <code>".
std::unique_ptr<ScriptTransport> script_transport(int mode, Script* sc);
// A scripted relay sender: records each mail (with its headers) in sc->sent, answers from
// sc->results (a result -2 is a cut send). Errors read "scripted failure <code>".
std::unique_ptr<RelayClient> script_relay(Script* sc);

// An SMS for the inbox.
std::unique_ptr<TestSms> an_sms(const std::string& from, const std::string& body,
                                const std::string& to = "+61400000000");

}  // namespace tolvane::test
