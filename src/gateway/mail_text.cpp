// Text operations of the mail-to-SMS path (see mail_text.h).
#include "gateway/mail_text.h"

#include <algorithm>
#include <cctype>
#include <mutex>
#include <unordered_map>
#include <vector>

#include <phonenumbers/phonenumberutil.h>

#include "foundation/lib.h"
#include "foundation/log.h"
#include "foundation/utf8.h"

namespace tolvane {

namespace {

// Room left, in characters, in a text that may hold at most limit - 1 characters.
std::size_t room_in(const std::string& text, std::size_t limit) {
    std::size_t cap = limit > 0 ? limit - 1 : 0;
    std::size_t have = utf8_length(text);
    return have < cap ? cap - have : 0;
}

bool is_blank(unsigned char c) {
    return std::isspace(c) != 0;
}

}  // namespace

std::string strip_email(std::string_view address, const char* prefix) {
    std::string_view rest = address;
    if (prefix != nullptr && *prefix != '\0' && istarts_with(rest, prefix)) {
        rest.remove_prefix(std::string_view(prefix).size());
    }
    if (std::size_t at = rest.rfind('@'); at != std::string_view::npos) rest = rest.substr(0, at);
    return cut(rest);
}

std::string fix_phone(std::string_view number, const char* country) {
    if (number.empty() || number.front() != '0') return cut(number);
    std::string fixed = country != nullptr ? std::string(country) : std::string();
    fixed.append(number.substr(1));
    fixed = cut(fixed);
    dmsg("Fixed number (%.*s) --> (%s)", static_cast<int>(number.size()), number.data(),
         fixed.c_str());
    return fixed;
}

namespace {

// The local part of an address: cut at the last "@"; a quoted local part loses its quotes
// and the backslashes that escape characters inside them.
std::string local_part(std::string_view address) {
    std::string_view rest = address;
    if (std::size_t at = rest.rfind('@'); at != std::string_view::npos) rest = rest.substr(0, at);
    if (rest.size() < 2 || rest.front() != '"' || rest.back() != '"') return std::string(rest);
    std::string out;
    for (std::size_t i = 1; i + 1 < rest.size(); ++i) {
        if (rest[i] == '\\' && i + 2 < rest.size()) ++i;
        out.push_back(rest[i]);
    }
    return out;
}

// Only digits, one leading "+" and the separators people write between digit groups.
bool plain_number_text(std::string_view n) {
    bool digit = false;
    for (std::size_t i = 0; i < n.size(); ++i) {
        char c = n[i];
        if (c >= '0' && c <= '9') {
            digit = true;
        } else if (c == '+') {
            if (digit || n.find_first_not_of(" \t(", 0) != i) return false;
        } else if (c != ' ' && c != '-' && c != '.' && c != '/' && c != '(' && c != ')' &&
                   c != '\t') {
            return false;
        }
    }
    return digit;
}

// The region of a calling code written "+61", "61" or "0061"; "ZZ" (none) otherwise.
std::string region_of(const char* country) {
    using i18n::phonenumbers::PhoneNumberUtil;
    std::string_view c = country != nullptr ? std::string_view(country) : std::string_view();
    while (!c.empty() && (c.front() == '+' || c.front() == '0')) c.remove_prefix(1);
    int code = 0;
    for (char ch : c) {
        if (ch < '0' || ch > '9' || code > 999) return "ZZ";
        code = code * 10 + (ch - '0');
    }
    if (code <= 0) return "ZZ";
    // Asked for every recipient with the same one or two country codes: the library's
    // answer (which allocates as it looks) is kept per code.
    static std::mutex m;
    static std::unordered_map<int, std::string> known;
    {
        std::lock_guard<std::mutex> g(m);
        auto it = known.find(code);
        if (it != known.end()) return it->second;
    }
    std::string region = "ZZ";
    PhoneNumberUtil::GetInstance()->GetRegionCodeForCountryCode(code, &region);
    std::lock_guard<std::mutex> g(m);
    known.emplace(code, region);  // at most the thousand codes the loop above lets through
    return region;
}

std::optional<std::string> parse_e164(const std::string& text, const std::string& region,
                                      number_check check) {
    using i18n::phonenumbers::PhoneNumber;
    using i18n::phonenumbers::PhoneNumberUtil;
    const PhoneNumberUtil* util = PhoneNumberUtil::GetInstance();
    PhoneNumber pn;
    if (util->Parse(text, region, &pn) != PhoneNumberUtil::NO_PARSING_ERROR) return std::nullopt;
    if (check == number_check::valid) {
        if (!util->IsValidNumber(pn)) return std::nullopt;
    } else if (util->IsPossibleNumberWithReason(pn) != PhoneNumberUtil::IS_POSSIBLE) {
        // An unknown country code, a length none of the country's numbers has, or a number
        // that only dials within its own area: none of them reaches a phone.
        return std::nullopt;
    }
    std::string out;
    util->Format(pn, PhoneNumberUtil::E164, &out);
    return out;
}

// Numbers come back again and again (the same on-call phones, the same customers), and
// reading one takes the number library's regular expressions: the readings of the last
// few thousand (digits, region) pairs are kept, all dropped at once when the memo is full.
constexpr std::size_t E164_MEMO_MAX = 4096;

std::optional<std::string> checked_e164(const std::string& text, const std::string& region,
                                        number_check check) {
    static std::mutex m;
    static std::unordered_map<std::string, std::optional<std::string>> memo;
    std::string key = region + (check == number_check::valid ? "|v|" : "|p|") + text;
    {
        std::lock_guard<std::mutex> g(m);
        auto it = memo.find(key);
        if (it != memo.end()) return it->second;
    }
    std::optional<std::string> r = parse_e164(text, region, check);
    std::lock_guard<std::mutex> g(m);
    if (memo.size() >= E164_MEMO_MAX) memo.clear();
    memo.emplace(std::move(key), r);
    return r;
}

}  // namespace

number_check number_check_of(const char* setting) {
    return setting != nullptr && iequals(strtrm(setting), "valid") ? number_check::valid
                                                                   : number_check::possible;
}

std::optional<std::string> phone_destination(std::string_view recipient, const char* prefix,
                                             const char* country, number_check check) {
    std::string local = local_part(recipient.substr(0, TEXT_MAX));
    std::string_view n = local;
    if (prefix != nullptr && *prefix != '\0' && istarts_with(n, prefix))
        n.remove_prefix(std::string_view(prefix).size());
    if (!plain_number_text(n)) return std::nullopt;
    std::string digits;  // the number without its separators
    for (char c : n)
        if ((c >= '0' && c <= '9') || c == '+') digits.push_back(c);
    std::string region = region_of(country);
    // "00" starts an international number in most of the world, though not in every
    // region's own numbering plan (Australia dials 0011): it is tried first, and the
    // region's own reading of the digits after it.
    std::optional<std::string> e164;
    if (digits.size() > 2 && digits[0] == '0' && digits[1] == '0')
        e164 = checked_e164("+" + digits.substr(2), "ZZ", check);
    if (!e164) e164 = checked_e164(digits, region, check);
    if (e164 && *e164 != digits)
        dmsg("Fixed number (%.*s) --> (%s)", static_cast<int>(n.size()), n.data(), e164->c_str());
    return e164;
}

std::size_t smart_body(const char* setting, std::string& text, const char* add, std::size_t limit) {
    bool spaces = false;
    dmsg("sms_smart: setting(%s)", setting != nullptr ? setting : "--none--");
    dmsg("sms_smart: existing(%d)", static_cast<int>(text.size()));
    if (setting != nullptr) {
        std::vector<std::string> words = s_split_words(setting, ", ");
        if (words.size() > 20) words.resize(20);
        for (const std::string& w : words) {
            dmsg("sms_smart: mode(%s)", w.c_str());
            if (iequals(w, "spaces")) spaces = true;
        }
    }
    if (add == nullptr) return text.size();
    dmsg("sms_smart: add(%s)", add);

    std::size_t room = room_in(text, limit);
    std::string_view a(add);
    if (!spaces) {
        text.append(a.substr(0, utf8_prefix_bytes(a, room)));
    } else {
        // Character by character: a letter beyond ASCII is kept as it is, whole.
        bool upper_next = true;  // the first character of what is added starts a word
        for (std::size_t at = 0; at < a.size() && room > 0;) {
            std::size_t start = at;
            char32_t cp = utf8_next(a, at);
            if (cp < 0x80 && is_blank(static_cast<unsigned char>(cp))) {
                upper_next = true;
                continue;
            }
            if (upper_next && cp < 0x80 && std::isalpha(static_cast<int>(cp))) {
                text.push_back(static_cast<char>(std::toupper(static_cast<int>(cp))));
            } else {
                text.append(a.substr(start, at - start));
            }
            upper_next = false;
            --room;
        }
    }
    dmsg("sms_smart: result (%d)(%s)", static_cast<int>(text.size()), text.c_str());
    return text.size();
}

std::size_t format_sms(std::string_view body, const HeaderLookup& header, std::string_view tmpl,
                       std::string& text, std::size_t limit) {
    auto append = [&](std::string_view piece) {
        text.append(piece.substr(0, utf8_prefix_bytes(piece, room_in(text, limit))));
    };

    std::size_t pos = 0;
    while (pos < tmpl.size()) {
        std::size_t open = tmpl.find("$(", pos);
        if (open == std::string_view::npos) break;
        append(tmpl.substr(pos, open - pos));

        std::size_t close = tmpl.find(')', open + 2);
        if (close == std::string_view::npos) {
            // An unfinished variable is not a variable: keep it as written.
            pos = open;
            break;
        }
        std::string_view inside = tmpl.substr(open + 2, close - open - 2);
        std::size_t name_end = 0;
        while (name_end < inside.size() &&
               !std::isdigit(static_cast<unsigned char>(inside[name_end])))
            ++name_end;
        std::string_view name = inside.substr(0, std::min<std::size_t>(name_end, TEXT_MAX + 1));

        std::optional<std::size_t> length;
        if (name_end < inside.size()) {
            std::size_t n = 0;
            for (std::size_t i = name_end;
                 i < inside.size() && std::isdigit(static_cast<unsigned char>(inside[i])); ++i) {
                n = n * 10 + static_cast<std::size_t>(inside[i] - '0');
                if (n > TEXT_MAX) n = TEXT_MAX;  // anything longer is cut at the text limit anyway
            }
            length = n;
        }

        std::string_view value;
        if (iequals(name, "body")) {
            value = body;
        } else if (iequals(name, "nl")) {
            value = "\n";
        } else if (header) {
            if (std::optional<std::string_view> h = header(name)) value = *h;
        }
        std::size_t keep = std::min(length.value_or(TEXT_MAX), TEXT_MAX);
        append(value.substr(0, utf8_prefix_bytes(value, keep)));
        pos = close + 1;
    }
    if (pos < tmpl.size()) append(tmpl.substr(pos));
    return text.size();
}

}  // namespace tolvane
