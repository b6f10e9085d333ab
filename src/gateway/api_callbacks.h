// The delivery-report callback of an API message: what the gateway tells the
// application's callback_url when the send of a message ends (sent, failed, expired) or
// its SMS centre reports on it (delivered, failed).
//
// ApiMessages (api_messages.h) builds one ApiReport per such change of a message that has
// a callback_url and hands it to api_report, its one call site. api_report passes it to
// the webhook sender, which POSTs `body` to `url` signed with `secret` (X-Tolvane-Signature)
// and retries it from the durable queue (a report without the secret of its key, revoked
// meanwhile, is only logged).
#pragma once

#include <string>

namespace tolvane {

class Gateway;

struct ApiReport {
    std::string url;       // the message's callback_url
    std::string body;      // {"id","status","error","at","reference"} as JSON
    std::string key;       // the name of the API key that sent the message
    std::string secret;    // that key's signing secret ("" when the key was revoked)
    std::string id;        // the message id, for the log
    std::string delivery;  // its X-Tolvane-Delivery id, made once ("" : a fresh one)
    std::string rid;       // the report's name in the status journal: id.status.time
};

// Hands one report to the webhook sender (see above): true once it is settled, stored in
// the queue or (revoked key) dropped for good; false when the queue did not take it.
bool api_report(Gateway& gw, const ApiReport& report);

}  // namespace tolvane
