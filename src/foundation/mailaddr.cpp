// Bare e-mail addresses from header values, and the date line of outgoing mail.
//
// The extraction is deliberately forgiving: peers send display names,
// comments, quoted local parts and stray brackets, and the gateway only needs
// local part, "@" and domain. Every walk is bounded by the text, so malformed
// input gives a shorter result or none, never a read outside the text.
#include <cctype>

#include "foundation/lib.h"

namespace tolvane {

namespace {

bool stops_local_part(unsigned char c) {
    if (c < 32 || c == 127 || c == ' ') return true;
    switch (c) {
        case '<':
        case '>':
        case '(':
        case ')':
        case '[':
        case ']':
        case '\\':
        case ',':
        case ';':
        case ':':
        case '@':
        case '"':
            return true;
        default:
            return false;
    }
}

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}
bool is_domain_char(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || is_digit(c) || c == '.' || c == '-';
}

}  // namespace

bool rfc_raw_email(std::string_view email, std::string& raw, std::size_t bfsz) {
    raw.clear();
    // The "@" of the address is the first one after any quoted display name or local part.
    std::size_t at = std::string_view::npos;
    std::size_t last_quote = email.rfind('"');
    if (last_quote != std::string_view::npos) at = email.find('@', last_quote + 1);
    if (at == std::string_view::npos) at = email.find('@');
    if (at == std::string_view::npos || at == 0) return false;

    // Local part: walk back from the character before the "@".
    std::size_t begin = at;
    if (email[at - 1] == '"') {
        std::size_t k = at - 1;
        begin = 0;
        while (k > 0) {
            --k;
            if (email[k] == '"' && (k == 0 || email[k - 1] != '\\')) {
                begin = k;
                break;
            }
        }
    } else {
        std::size_t k = at;
        while (k > 0) {
            const auto c = static_cast<unsigned char>(email[k - 1]);
            if (!stops_local_part(c)) {
                --k;
                continue;
            }
            if (k >= 2 && email[k - 2] == '\\') {
                k -= 2;  // an escaped character belongs to the local part
                continue;
            }
            break;
        }
        begin = k;
    }
    if (begin == at) return false;  // nothing before the "@" is no address

    // Domain.
    std::size_t end = at + 1;
    if (end < email.size() && email[end] == '[') {
        ++end;
        while (end < email.size() && (is_digit(email[end]) || email[end] == '.')) ++end;
        if (end < email.size() && email[end] == ']') ++end;
    } else if (end < email.size() && email[end] == '#') {
        ++end;
        while (end < email.size() && is_digit(email[end])) ++end;
    } else {
        while (end < email.size() && is_domain_char(email[end])) ++end;
    }

    if (bfsz == 0) return false;
    raw.assign(email.substr(begin, end - begin));
    if (raw.size() > bfsz - 1) raw.resize(bfsz - 1);
    return true;
}

std::string lib_fix_email(std::string_view text) {
    std::string_view original = text.substr(0, text.size() < TEXT_MAX ? text.size() : TEXT_MAX);
    const std::string lower = strlwr(original);
    const std::string_view seps = " \t\n<>";
    std::size_t i = 0;
    while (i < lower.size()) {
        i = lower.find_first_not_of(seps, i);
        if (i == std::string::npos) break;
        std::size_t e = lower.find_first_of(seps, i);
        if (e == std::string::npos) e = lower.size();
        std::string_view word(lower.data() + i, e - i);
        if (word.find('@') != std::string_view::npos) {
            if (word.front() == '"') {
                word.remove_prefix(1);
                std::size_t q = word.find('"');
                if (q != std::string_view::npos) word = word.substr(0, q);
            }
            return cut(word, 500);
        }
        i = e;
    }
    if (original.substr(0, 2) == "<>") return "<>";
    return std::string(original);
}

std::string lib_mail_time(std::time_t when) {
    static const char* const days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    std::tm tm{};
    if (!safe_localtime(when, tm) || tm.tm_wday < 0 || tm.tm_wday > 6 || tm.tm_mon < 0 ||
        tm.tm_mon > 11)
        return "Bad Time    ";
    const int hours = static_cast<int>(tm.tm_gmtoff / 3600);  // a half-hour zone is cut
    const std::string zone = strprintf("%+03d00", hours);
    return strprintf("%s, %02d %s %d %02d:%02d:%02d %s", days[tm.tm_wday], tm.tm_mday,
                     months[tm.tm_mon], tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec,
                     zone.c_str());
}

}  // namespace tolvane
