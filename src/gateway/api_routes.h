// The HTTP API's calls: one request in, one answer out, on the Gateway's queue, limits,
// records and transports.
//
//   POST /api/v1/messages        a send (JSON), answered 202 once its entries are durable
//   GET  /api/v1/messages/{id}   the status of a message sent with the same key
//   GET  /api/v1/openapi.json    the API's OpenAPI 3.1 document
//   GET|POST /cgi-bin/sendsms    the classic form interface, "0: Accepted for delivery"
//
// A send is admitted as a mail is (api_send): accept_to for every number, sender_ids for a
// chosen originator (the key's name as the one who chooses), then the rate limits in one
// step with their reservation: the client address (ip), every number (to) and the key's
// name in place of a sender (from); the entries are stored through the intake the SMTP
// sessions use (intake_store) and hold their units until delivery settles them.
//
// Ownership: ApiContext borrows everything from the Gateway; api_route runs on an API
// worker thread, any number at once.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "gateway/api_http.h"
#include "gateway/api_request.h"
#include "gateway/mail_to_sms.h"
#include "gateway/sender_ids.h"

namespace tolvane {

class Gateway;
class ApiKeyTable;
class ApiMessages;
class ApiIdempotency;

inline constexpr std::size_t API_MAX_BODY = 65536;

struct ApiAnswer {
    int status = 200;
    std::string type = "application/json";
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;
};

// What the calls read, the settings among it read once when the server starts (the
// settings table does not change while the gateway runs).
struct ApiContext {
    Gateway* gw = nullptr;
    ApiKeyTable* keys = nullptr;
    ApiMessages* messages = nullptr;
    ApiIdempotency* idempotency = nullptr;
    SenderIds sender_ids;    // who may choose which originator
    MailSendRules rules;     // the coding and parts a text is counted in
    ApiNumberRules numbers;  // phone_country, number_check
};
// The context of gw's API, its settings read now.
ApiContext api_context(Gateway& gw);

// The answer to one request from client address ip; route gets the name it is counted
// under in /metrics ("send", "status", "openapi", "sendsms", "other").
ApiAnswer api_route(const ApiContext& cx, const ApiHttpRequest& req, const std::string& ip,
                    std::string& route);

// The OpenAPI document served at /api/v1/openapi.json (built in from docs/openapi.json).
extern const char* const API_OPENAPI_JSON;

}  // namespace tolvane
