// The kinds of settings values: whether a value from the settings file fits the kind
// its key declares (sini.h), and the typed reads of checked values. Safe on any text;
// the reason names the kind and its bounds in words an operator reads in the start-up
// error.
#include <cerrno>
#include <cstdlib>
#include <string>

#include "foundation/lib.h"
#include "foundation/sini.h"

namespace tolvane {

namespace {

bool blank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

std::string_view trimmed(std::string_view v) {
    while (!v.empty() && blank(v.front())) v.remove_prefix(1);
    while (!v.empty() && blank(v.back())) v.remove_suffix(1);
    return v;
}

// A whole number with an optional sign, nothing after it; false when it does not fit
// a long.
bool whole_number(std::string_view v, long& out) {
    std::size_t i = (v[0] == '+' || v[0] == '-') ? 1 : 0;
    if (i == v.size()) return false;
    for (std::size_t j = i; j < v.size(); ++j)
        if (v[j] < '0' || v[j] > '9') return false;
    std::string text(v);
    errno = 0;
    out = std::strtol(text.c_str(), nullptr, 10);
    return errno != ERANGE;
}

bool number_fits(std::string_view v, const sini_kind& k, const char* unit, std::string& why) {
    long n = 0;
    if (!whole_number(v, n)) {
        why = std::string("is not a whole number") + (unit[0] ? " of " : "") + unit;
        return false;
    }
    if (n < k.min || n > k.max) {
        why = "is out of bounds: from " + std::to_string(k.min) + " to " + std::to_string(k.max) +
              (unit[0] ? " " : "") + unit;
        return false;
    }
    return true;
}

bool digits(std::string_view v) {
    for (char c : v)
        if (c < '0' || c > '9') return false;
    return !v.empty();
}

// The choice "#" stands for any number written in digits.
bool one_of(std::string_view v, const char* choices, bool any_case, std::string& why) {
    std::string_view rest = choices ? choices : "";
    std::string words;
    while (!rest.empty()) {
        std::size_t bar = rest.find('|');
        std::string_view choice = rest.substr(0, bar);
        if (choice == "#" ? digits(v) : any_case ? iequals(choice, v) : choice == v) return true;
        words += (words.empty() ? "" : ", ") + std::string(choice == "#" ? "a number" : choice);
        if (bar == std::string_view::npos) break;
        rest.remove_prefix(bar + 1);
    }
    why = "is none of " + words;
    return false;
}

// The check of sini_value_fits; why says how the value does not fit.
bool kind_fits(const sini_table& key, std::string_view value, std::string& why) {
    std::string_view v = trimmed(value);
    if (v.empty()) return true;
    const sini_kind& k = key.Kind;
    switch (k.type) {
        case sini_type::text:
        case sini_type::list:
            return true;
        case sini_type::integer:
            return number_fits(v, k, "", why);
        case sini_type::seconds:
            return number_fits(v, k, "seconds", why);
        case sini_type::hours:
            return number_fits(v, k, "hours", why);
        case sini_type::boolean: {
            std::string word(v);
            if (istrue(word.c_str()) || isfalse(word.c_str())) return true;
            why = "is neither true (true, yes, on) nor false (false, no, off)";
            return false;
        }
        case sini_type::choice:
            return one_of(v, k.choices, true, why);
        case sini_type::exact:
            return one_of(v, k.choices, false, why);
    }
    return true;
}

}  // namespace

Status sini_value_fits(const sini_table& key, std::string_view value) {
    std::string why;
    if (kind_fits(key, value, why)) return {};
    return Error{0, std::move(why)};
}

long sini_number(const SIni* ini, int id, long fallback, const char* section) {
    const char* v = sini_getx(ini, id, section, nullptr, 0);
    std::string_view t = trimmed(v ? v : "");
    long n = 0;
    return !t.empty() && whole_number(t, n) ? n : fallback;
}

bool sini_truth(const SIni* ini, int id, const char* section) {
    const char* v = sini_getx(ini, id, section, nullptr, 0);
    return istrue(std::string(trimmed(v ? v : "")).c_str()) != 0;
}

std::string sini_text(const SIni* ini, int id, const char* section) {
    const char* v = sini_getx(ini, id, section, nullptr, 0);
    return v ? cut(v) : std::string();
}

std::string sini_word(const SIni* ini, int id, const char* section) {
    const char* v = sini_getx(ini, id, section, nullptr, 0);
    return std::string(trimmed(v ? v : ""));
}

}  // namespace tolvane
