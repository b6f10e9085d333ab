// The HTTP API's requests as data: see api_request.h.
#include "gateway/api_request.h"

#include <nlohmann/json.hpp>

#include "foundation/lib.h"
#include "foundation/utf8.h"
#include "mail/mail_charset.h"

namespace tolvane {

namespace {

using json = nlohmann::json;

bool fail(ApiError& err, std::string code, std::string message, std::string field) {
    err.http = 400;
    err.code = std::move(code);
    err.message = std::move(message);
    err.field = std::move(field);
    return false;
}

// One destination as given: an E.164 number, or a refusal naming its field.
bool read_number(const std::string& given, const ApiNumberRules& rules, const std::string& field,
                 ApiSend& out, ApiError& err) {
    if (given.empty() || given.size() > 64)
        return fail(err, "invalid_number", "not a phone number", field);
    std::optional<std::string> n =
        phone_destination(given, nullptr, rules.country.c_str(), rules.check);
    if (!n)
        return fail(err, "invalid_number", "(" + cut(given, 64) + ") is not a phone number", field);
    out.to.push_back(std::move(*n));
    out.to_given.push_back(given);
    return true;
}

bool read_text(const std::string& text, ApiSend& out, ApiError& err) {
    if (text.empty()) return fail(err, "empty_text", "the text is empty", "text");
    if (utf8_length(text) > TEXT_MAX)
        return fail(err, "text_too_long",
                    strprintf("the text holds more than %zu characters", TEXT_MAX), "text");
    out.text = text;
    return true;
}

bool read_optional(const std::string& name, const std::string& value, std::size_t most,
                   std::string& into, ApiError& err) {
    if (utf8_length(value) > most)
        return fail(err, "invalid_field", strprintf("longer than %zu characters", most), name);
    into = value;
    return true;
}

bool read_url(const std::string& url, ApiSend& out, ApiError& err) {
    if (url.empty()) return true;
    const bool scheme = url.rfind("http://", 0) == 0 || url.rfind("https://", 0) == 0;
    const bool blank = url.find_first_of(" \t\r\n") != std::string::npos;
    if (!scheme || blank || url.size() > API_MAX_URL || url.size() < 10)
        return fail(err, "invalid_url", "not an http or https URL", "callback_url");
    out.callback_url = url;
    return true;
}

// The optional fields shared by both forms of a send.
bool read_rest(const std::string& from, const std::string& url, const std::string& reference,
               ApiSend& out, ApiError& err) {
    if (from.find_first_of(" \t\r\n") != std::string::npos)
        return fail(err, "invalid_field", "an originator holds no blanks", "from");
    return read_optional("from", from, API_MAX_FROM, out.from, err) && read_url(url, out, err) &&
           read_optional("reference", reference, API_MAX_REFERENCE, out.reference, err);
}

// A string member of the object, "" when absent; false (with the error) when it is there
// but not a string.
bool string_member(const json& o, const char* name, std::string& into, ApiError& err) {
    auto it = o.find(name);
    if (it == o.end() || it->is_null()) return true;
    if (!it->is_string()) return fail(err, "invalid_field", "must be a string", name);
    into = it->get<std::string>();
    return true;
}

bool read_to(const json& o, const ApiNumberRules& rules, ApiSend& out, ApiError& err) {
    auto it = o.find("to");
    if (it == o.end() || it->is_null())
        return fail(err, "missing_field", "no destination given", "to");
    if (it->is_string()) return read_number(it->get<std::string>(), rules, "to", out, err);
    if (!it->is_array()) return fail(err, "invalid_field", "a number or a list of numbers", "to");
    if (it->empty()) return fail(err, "invalid_field", "the list of numbers is empty", "to");
    if (it->size() > API_MAX_TO)
        return fail(err, "too_many_numbers", strprintf("at most %zu numbers", API_MAX_TO), "to");
    for (std::size_t i = 0; i < it->size(); ++i) {
        const std::string field = strprintf("to[%zu]", i);
        const json& n = (*it)[i];
        if (!n.is_string()) return fail(err, "invalid_number", "must be a string", field);
        if (!read_number(n.get<std::string>(), rules, field, out, err)) return false;
    }
    return true;
}

}  // namespace

std::string api_error_json(const ApiError& e) {
    json inner = {{"code", e.code}, {"message", e.message}};
    if (!e.field.empty()) inner["field"] = e.field;
    return json{{"error", inner}}.dump(-1, ' ', false, json::error_handler_t::replace);
}

bool api_parse_send(std::string_view body, const ApiNumberRules& rules, ApiSend& out,
                    ApiError& err) {
    out = ApiSend{};
    json o = json::parse(body, nullptr, false);
    if (o.is_discarded()) return fail(err, "invalid_json", "the body is not JSON (UTF-8)", "");
    if (!o.is_object()) return fail(err, "invalid_json", "the body is not a JSON object", "");
    if (!read_to(o, rules, out, err)) return false;
    std::string text, from, url, reference;
    if (!string_member(o, "text", text, err)) return false;
    if (o.find("text") == o.end()) return fail(err, "missing_field", "no text given", "text");
    if (!read_text(text, out, err)) return false;
    if (!string_member(o, "from", from, err) || !string_member(o, "callback_url", url, err) ||
        !string_member(o, "reference", reference, err))
        return false;
    return read_rest(from, url, reference, out, err);
}

bool api_parse_sendsms(const std::vector<std::pair<std::string, std::string>>& fields,
                       const ApiNumberRules& rules, ApiSendsms& out, ApiError& err) {
    out = ApiSendsms{};
    std::string to, text, from, charset, dlr_url, dlr_mask, coding;
    for (const auto& [name, value] : fields) {
        if (iequals(name, "username"))
            out.username = value;
        else if (iequals(name, "password"))
            out.password = value;
        else if (iequals(name, "to"))
            to = value;
        else if (iequals(name, "text"))
            text = value;
        else if (iequals(name, "from"))
            from = value;
        else if (iequals(name, "charset"))
            charset = value;
        else if (iequals(name, "coding"))
            coding = value;
        else if (iequals(name, "dlr-url"))
            dlr_url = value;
        else if (iequals(name, "dlr-mask"))
            dlr_mask = value;
    }
    if (!coding.empty() && coding != "0" && coding != "1" && coding != "2")
        return fail(err, "invalid_field", "coding is 0, 1 or 2", "coding");
    std::vector<std::string> numbers = s_split_words(to, " ,");
    if (numbers.empty()) return fail(err, "missing_field", "no destination given", "to");
    if (numbers.size() > API_MAX_TO)
        return fail(err, "too_many_numbers", strprintf("at most %zu numbers", API_MAX_TO), "to");
    for (const std::string& n : numbers)
        if (!read_number(n, rules, "to", out.send, err)) return false;
    if (!charset.empty() && !iequals(charset, "utf-8") && !iequals(charset, "utf8"))
        text = charset_to_utf8(text, charset);
    else if (!utf8_is_valid(text))
        return fail(err, "invalid_field", "the text is not UTF-8 (name its charset)", "text");
    if (!read_text(text, out.send, err)) return false;
    const bool reports = !dlr_mask.empty() && dlr_mask != "0";
    return read_rest(from, reports ? dlr_url : std::string(), std::string(), out.send, err);
}

}  // namespace tolvane
