// The HTTP API's requests as data: the JSON body of a send, the fields of the classic
// sendsms form, and the JSON of an error answer.
//
// api_parse_send reads a POST /api/v1/messages body with nlohmann::json and checks every
// field before anything is admitted: "to" (one number or a list of 1..API_MAX_TO), each
// reduced to E.164 by phone_destination under the gateway's phone_country and
// number_check; "text" a non-empty string of at most SMS_TEXT_LIMIT-1 characters; the
// optional "from", "callback_url" (http or https) and "reference". Fields it does not know
// are ignored. A refusal names the first field at fault the way a client writes it
// ("to[1]"), with a code a program can test and a message a person can read.
//
// Pure functions over plain values; no state.
//
//   ApiSend s; ApiError e;
//   if (!api_parse_send(body, rules, s, e)) answer(e.http, api_error_json(e));
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "gateway/mail_text.h"

namespace tolvane {

inline constexpr std::size_t API_MAX_TO = 100;         // numbers in one send
inline constexpr std::size_t API_MAX_REFERENCE = 256;  // characters of a reference
inline constexpr std::size_t API_MAX_FROM = 64;        // characters of an originator
inline constexpr std::size_t API_MAX_URL = 999;        // characters of a callback URL

// An error answer: the HTTP status and the body's "error" object.
struct ApiError {
    int http = 400;
    std::string code;     // e.g. "invalid_number"
    std::string message;  // for a person
    std::string field;    // the field at fault ("to[1]"), or empty
};
// {"error": {"code": ..., "message": ..., "field": ...}} ("field" only when set).
std::string api_error_json(const ApiError& e);

// How numbers are read: phone_country and number_check of the settings.
struct ApiNumberRules {
    std::string country;
    number_check check = number_check::possible;
};

// One send as the API takes it.
struct ApiSend {
    std::vector<std::string> to;        // E.164 destinations, in the order given
    std::vector<std::string> to_given;  // as the client wrote them
    std::string text;
    std::string from;          // "" when not given
    std::string callback_url;  // "" when not given
    std::string reference;     // "" when not given
};

// Reads a send request body; false with the error (always HTTP 400) when it is not one.
bool api_parse_send(std::string_view body, const ApiNumberRules& rules, ApiSend& out,
                    ApiError& err);

// The fields of a sendsms request (query or form) read into a send: username and
// password (the API key's name and key) come back apart; to may list several numbers
// separated by blanks or commas; text in charset (UTF-8 when empty) converted to UTF-8;
// dlr-url becomes the callback URL when dlr-mask is not 0. False with the error.
struct ApiSendsms {
    std::string username, password;
    ApiSend send;
};
bool api_parse_sendsms(const std::vector<std::pair<std::string, std::string>>& fields,
                       const ApiNumberRules& rules, ApiSendsms& out, ApiError& err);

}  // namespace tolvane
