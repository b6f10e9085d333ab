// The HTTP API's calls: see api_routes.h.
#include "gateway/api_routes.h"

#include <nlohmann/json.hpp>
#include <optional>

#include "foundation/lib.h"
#include "foundation/log.h"
#include "gateway/api_idempotency.h"
#include "gateway/api_keys.h"
#include "gateway/api_messages.h"
#include "gateway/gateway.h"
#include "gateway/intake.h"
#include "gateway/keys.h"
#include "gateway/mail_to_sms.h"
#include "gateway/sender_ids.h"
#include "gateway/webserv_reader.h"
#include "sms/sms_text.h"

namespace tolvane {

namespace {

using json = nlohmann::json;

std::string dump(const json& j) {
    return j.dump(-1, ' ', false, json::error_handler_t::replace);
}

ApiAnswer error_answer(int status, std::string code, std::string message,
                       std::string field = std::string()) {
    ApiError e{status, std::move(code), std::move(message), std::move(field)};
    return ApiAnswer{status, "application/json", api_error_json(e), {}};
}

ApiAnswer error_answer(const ApiError& e) {
    return ApiAnswer{e.http, "application/json", api_error_json(e), {}};
}

ApiAnswer text_answer(int status, std::string text) {
    return ApiAnswer{status, "text/plain; charset=utf-8", std::move(text) + "\n", {}};
}

// The key a "Bearer" Authorization header presents ("" for none).
std::string bearer(const ApiHttpRequest& req) {
    const std::string v = req.header("authorization");
    const std::vector<std::string> words = s_split_words(v, " \t");
    if (words.size() != 2 || !iequals(words[0], "bearer")) return std::string();
    return words[1];
}

std::string sha256_hex(std::string_view data) {
    return api_key_hash(data);
}

bool accepted_to(const SIni* ini, const std::string& dest) {
    for (int n = 0;; ++n) {
        const char* v = sini_getx(ini, ACCEPT_TO, nullptr, nullptr, n);
        if (v == nullptr) return false;
        if (wild_list(dest, v)) return true;
    }
}

ApiNumberRules number_rules(const Gateway& gw) {
    ApiNumberRules r;
    r.country = gw.setting_str(PHONE_COUNTRY);
    r.check = number_check_of(gw.setting(NUMBER_CHECK));
    return r;
}

// A limit reached: 429 with the limit's name and when to try again.
ApiAnswer limit_answer(msgrecs* mr, const std::string& what, const std::string& field) {
    const int hours = msgrec_hours(mr);
    const long retry = hours > 0 ? std::min<long>(3600L, hours * 3600L) : 3600L;
    ApiAnswer a = error_answer(
        429, "rate_limited",
        strprintf("%s has reached the limit %s", what.c_str(), or_empty(msgrec_name(mr))), field);
    a.headers.emplace_back("Retry-After", std::to_string(retry));
    return a;
}

// The originator of a send that chose none: the modem's own number, else none (the
// transport's or the centre's default).
std::string default_originator(const Gateway& gw) {
    if (sms_mode(gw.send.get()) == SMS_GSM) return cut(gw.setting_str(GSM_NUMBER));
    return std::string();
}

// The rate limits of one send, reserved in hold as a mail's admission does: the client
// address, each number, the key's name in place of a sender and as the key it is, each
// counted once per number. The refusal, or nothing when every unit was taken.
std::optional<ApiAnswer> reserve_limits(LimitHold& hold, const ApiKey& key, const ApiSend& s,
                                        const std::string& ip) {
    const bool many = s.to.size() > 1;
    if (msgrecs* mr = hold.reserve(MSGREC_IP, ip))
        return limit_answer(mr, "the client address", "");
    for (std::size_t i = 0; i < s.to.size(); ++i) {
        if (msgrecs* mr = hold.reserve(MSGREC_TO, s.to[i]))
            return limit_answer(mr, "the number", many ? strprintf("to[%zu]", i) : "to");
    }
    if (msgrecs* mr = hold.reserve(MSGREC_FROM, key.name)) return limit_answer(mr, "the key", "");
    if (msgrecs* mr = hold.reserve(MSGREC_KEY, key.name)) return limit_answer(mr, "the key", "");
    const int more = static_cast<int>(s.to.size()) - 1;
    hold.reserve_more(MSGREC_IP, ip, more);
    hold.reserve_more(MSGREC_FROM, key.name, more);
    hold.reserve_more(MSGREC_KEY, key.name, more);
    return std::nullopt;
}

// The originator of a send, or the refusal of the one it chose (sender_ids, with the
// key's name as the one who chooses); then every number against accept_to.
std::optional<ApiAnswer> admit(const ApiContext& cx, const ApiKey& key, const ApiSend& s,
                               std::string& originator) {
    const Gateway& gw = *cx.gw;
    originator = s.from;
    if (!originator.empty() && !sender_id_allowed(cx.sender_ids, key.name, originator)) {
        imsg("API: sender ID [%s] not allowed for key [%s]", originator.c_str(), key.name.c_str());
        return error_answer(403, "sender_not_allowed", "this key may not send from " + originator,
                            "from");
    }
    if (originator.empty()) originator = default_originator(gw);
    for (std::size_t i = 0; i < s.to.size(); ++i) {
        if (!accepted_to(gw.ini(), s.to[i])) {
            imsg("API: send to [%s] blocked (accept_to)", s.to[i].c_str());
            return error_answer(403, "recipient_blocked", "this number may not be sent to",
                                s.to.size() > 1 ? strprintf("to[%zu]", i) : "to");
        }
    }
    return std::nullopt;
}

// One queue entry per number; the key, callback and reference ride in the entry's own
// headers, which no transport sees.
std::vector<queue_entry> entries_of(const Gateway& gw, const ApiKey& key, const ApiSend& s,
                                    const std::string& originator, const std::string& ip) {
    const bool send_up = gw.send->up();
    std::vector<queue_entry> batch;
    for (const std::string& dest : s.to) {
        queue_entry e;
        e.kind = QUEUE_MAIL_TO_SMS;
        e.destination = dest;
        e.originator = originator;
        e.sender = key.name;
        e.text = s.text;
        e.billing = key.name;
        e.client = ip;
        e.headers.emplace_back(API_HEADER_KEY, key.name);
        if (!s.callback_url.empty()) e.headers.emplace_back(API_HEADER_CALLBACK, s.callback_url);
        if (!s.reference.empty()) e.headers.emplace_back(API_HEADER_REFERENCE, s.reference);
        e.flags = MAIL_FROM_API;
        e.mark_first_attempt = send_up;
        batch.push_back(std::move(e));
    }
    return batch;
}

// Admission and storing of one send for the key `key` from client address ip: the 202
// once its entries are durable, or the refusal.
ApiAnswer api_send(const ApiContext& cx, const ApiKey& key, const ApiSend& s,
                   const std::string& ip) {
    Gateway& gw = *cx.gw;
    if (gw.send == nullptr || gw.queue == nullptr)
        return error_answer(503, "unavailable", "outgoing SMS are disabled (send_mode none)");
    std::string originator;
    if (auto refused = admit(cx, key, s, originator)) return *refused;
    std::vector<msgrecs*> limits;
    for (const auto& mr : gw.limits) limits.push_back(mr.get());
    LimitHold hold(std::move(limits), *gw.state.limits);
    if (auto refused = reserve_limits(hold, key, s, ip)) return *refused;
    std::vector<queue_entry> batch = entries_of(gw, key, s, originator, ip);
    Status stored = intake_store(gw.queue.get(), gw.mail_units.get(), batch, "", hold);
    if (!stored) {
        emsg("API: send of key [%s] not stored (%s)", key.name.c_str(), stored.reason().c_str());
        ApiAnswer a = error_answer(503, "unavailable", "the message queue cannot take it now");
        a.headers.emplace_back("Retry-After", "5");
        return a;
    }
    const std::size_t parts =
        sms_text_split(s.text, cx.rules.coding, cx.rules.max_parts, 0).parts.size();
    json list = json::array();
    for (const queue_entry& e : batch) {
        if (cx.messages != nullptr) cx.messages->queued(e);
        dmsg("API: message %llu of key [%s] to [%s] queued", static_cast<unsigned long long>(e.id),
             key.name.c_str(), e.destination.c_str());
        list.push_back(json{{"id", std::to_string(e.id)},
                            {"to", e.destination},
                            {"status", "queued"},
                            {"parts", parts}});
    }
    return ApiAnswer{202, "application/json", dump(json{{"messages", list}}), {}};
}

ApiAnswer unauthorized() {
    ApiAnswer a =
        error_answer(401, "unauthorized", "a valid API key is needed (Authorization: Bearer)");
    a.headers.emplace_back("WWW-Authenticate", "Bearer");
    return a;
}

bool json_type(const ApiHttpRequest& req) {
    const std::string t = req.header("content-type");
    return iequals(strtrm(std::string_view(t).substr(0, t.find(';'))), "application/json");
}

ApiAnswer post_message(const ApiContext& cx, const ApiHttpRequest& req, const std::string& ip) {
    std::optional<ApiKey> key = cx.keys->find(bearer(req));
    if (bearer(req).empty() || !key) return unauthorized();
    if (!json_type(req))
        return error_answer(415, "unsupported_media_type", "the body must be application/json");
    ApiSend s;
    ApiError err;
    if (!api_parse_send(req.body, cx.numbers, s, err)) return error_answer(err);
    const std::string idem = req.header("idempotency-key");
    if (idem.empty() || cx.idempotency == nullptr) return api_send(cx, *key, s, ip);
    if (idem.size() > API_IDEMPOTENCY_KEY_MAX)
        return error_answer(
            400, "invalid_header",
            strprintf("an Idempotency-Key holds at most %zu characters", API_IDEMPOTENCY_KEY_MAX));
    ApiIdempotency::Answer first;
    switch (cx.idempotency->begin(key->name, idem, sha256_hex(req.body), first)) {
        case ApiIdempotency::Slot::replay: {
            ApiAnswer a{first.status, "application/json", first.body, {}};
            a.headers.emplace_back("Idempotent-Replayed", "true");
            return a;
        }
        case ApiIdempotency::Slot::conflict:
            return error_answer(422, "idempotency_conflict",
                                "this Idempotency-Key was used with another body");
        case ApiIdempotency::Slot::unavailable: {
            ApiAnswer a =
                error_answer(503, "unavailable", "the Idempotency-Key cannot be checked now");
            a.headers.emplace_back("Retry-After", "5");
            return a;
        }
        case ApiIdempotency::Slot::go:
            break;
    }
    ApiAnswer a = api_send(cx, *key, s, ip);
    cx.idempotency->finish(key->name, idem, {a.status, a.body});
    return a;
}

ApiAnswer get_message(const ApiContext& cx, const ApiHttpRequest& req, const std::string& id) {
    std::optional<ApiKey> key = cx.keys->find(bearer(req));
    if (bearer(req).empty() || !key) return unauthorized();
    const bool digits =
        !id.empty() && id.size() <= 20 && id.find_first_not_of("0123456789") == std::string::npos;
    std::optional<ApiMessage> m;
    if (digits && cx.messages != nullptr) m = cx.messages->find(id, key->name);
    if (!m) return error_answer(404, "not_found", "no message of this id was sent with this key");
    return ApiAnswer{200, "application/json", api_message_json(*m), {}};
}

// The classic form interface: the same send, answered in text.
ApiAnswer sendsms(const ApiContext& cx, const ApiHttpRequest& req, const std::string& ip) {
    std::string form = req.query;
    if (req.method == "POST") {
        const std::string t = req.header("content-type");
        if (!t.empty() && !iequals(strtrm(std::string_view(t).substr(0, t.find(';'))),
                                   "application/x-www-form-urlencoded"))
            return text_answer(415, "Unsupported content type");
        if (!form.empty() && !req.body.empty()) form += "&";
        form += req.body;
    }
    // A "+" in a form stands for a blank.
    std::string plus = form;
    for (char& c : plus)
        if (c == '+') c = ' ';
    ApiSendsms in;
    ApiError err;
    const bool parsed = api_parse_sendsms(web_form_fields(plus), cx.numbers, in, err);
    std::optional<ApiKey> key;
    if (!in.username.empty() && !in.password.empty()) key = cx.keys->find(in.username, in.password);
    if (!key) return text_answer(403, "Authorization failed for sendsms");
    if (!parsed)
        return text_answer(
            400, "Invalid request: " + (err.field.empty() ? "" : err.field + ": ") + err.message);
    ApiAnswer sent = api_send(cx, *key, in.send, ip);
    if (sent.status == 202) return text_answer(202, "0: Accepted for delivery");
    json j = json::parse(sent.body, nullptr, false);
    std::string message = j.is_object() ? j["error"].value("message", "") : std::string();
    ApiAnswer a = text_answer(sent.status, "Sending failed: " + message);
    a.headers = sent.headers;
    return a;
}

}  // namespace

ApiContext api_context(Gateway& gw) {
    ApiContext cx;
    cx.gw = &gw;
    cx.keys = gw.api_keys.get();
    cx.messages = gw.api_messages.get();
    cx.idempotency = gw.api_idempotency.get();
    cx.sender_ids = sender_ids_of(gw.ini());
    cx.rules = mail_send_rules(gw.ini());
    cx.numbers = number_rules(gw);
    return cx;
}

ApiAnswer api_route(const ApiContext& cx, const ApiHttpRequest& req, const std::string& ip,
                    std::string& route) {
    static const std::string prefix = "/api/v1/messages/";
    if (req.path == "/api/v1/messages") {
        route = "send";
        if (req.method != "POST") {
            ApiAnswer a = error_answer(405, "method_not_allowed", "use POST");
            a.headers.emplace_back("Allow", "POST");
            return a;
        }
        return post_message(cx, req, ip);
    }
    if (req.path.rfind(prefix, 0) == 0) {
        route = "status";
        if (req.method != "GET") {
            ApiAnswer a = error_answer(405, "method_not_allowed", "use GET");
            a.headers.emplace_back("Allow", "GET");
            return a;
        }
        return get_message(cx, req, req.path.substr(prefix.size()));
    }
    if (req.path == "/api/v1/openapi.json") {
        route = "openapi";
        return ApiAnswer{200, "application/json", API_OPENAPI_JSON, {}};
    }
    if (req.path == "/cgi-bin/sendsms") {
        route = "sendsms";
        if (req.method != "GET" && req.method != "POST")
            return text_answer(405, "Method not allowed");
        return sendsms(cx, req, ip);
    }
    route = "other";
    return error_answer(404, "not_found", "no such call");
}

}  // namespace tolvane
