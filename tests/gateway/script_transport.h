// A scripted SMS transport for the gateway's path tests: it hands out queued SMS from
// its inbox, records every send (with the mail headers when given), answers each send
// from a list of results, and records what the path told it (accept, reject, release).
//
// The script is owned by the test and must outlive the handle. Sends, accepts and
// rejects may come from several threads; they are recorded under the script's lock.
//
//   Script out;
//   out.results = {5, 0};             // the first send fails with 5, the next succeeds
//   auto send = script_handle(SMS_ROBOT, &out);
#pragma once

#include <atomic>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "smtp/engine.h"
#include "smtp/relay_client.h"
#include "sms/sms.h"

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
};

struct Script {
    std::mutex m;
    std::deque<std::unique_ptr<TestSms>> inbox;
    int end_code = 0;  // what wait reports once the inbox is empty (0: nothing)
    std::vector<Sent> sent;
    std::deque<int> results;    // result of each send in turn; 0 once exhausted
    std::vector<int> accepted;  // codes of accept calls
    std::vector<int> rejected;  // codes of reject calls
    std::atomic<int> freed{0};  // messages released
};

// A scripted transport claiming that mode. Errors read "scripted failure <code>".
std::unique_ptr<sms> script_handle(int mode, Script* sc);
// A scripted relay sender: records each mail (with its headers) in sc->sent, answers from
// sc->results (a result -2 is a cut send). Errors read "scripted failure <code>".
std::unique_ptr<RelayClient> script_relay(Script* sc);

// An SMS for the inbox.
std::unique_ptr<TestSms> an_sms(const std::string& from, const std::string& body,
                                const std::string& to = "+61400000000");

}  // namespace tolvane::test
