// Sender IDs a client may choose: see sender_ids.h.
#include "gateway/sender_ids.h"

#include "foundation/lib.h"
#include "foundation/log.h"
#include "gateway/keys.h"

namespace tolvane {

namespace {

bool is_gap(char c) {
    return c == ' ' || c == '\t';
}

// Whether chosen is one of the patterns of list (commas or blanks between them). The
// whole originator is matched against each pattern: "BANK,EVIL" is not "BANK".
bool id_listed(std::string_view chosen, std::string_view list) {
    for (const std::string& pattern : s_split_words(list, ", \t"))
        if (wild_match(chosen, pattern)) return true;
    return false;
}

}  // namespace

std::optional<SenderIdRule> sender_id_rule(std::string_view value) {
    std::string_view v = strtrm(value);
    std::size_t gap = 0;
    while (gap < v.size() && !is_gap(v[gap])) ++gap;
    std::string_view ids = strtrm(v.substr(gap));
    if (gap == 0 || ids.empty()) return std::nullopt;
    return SenderIdRule{std::string(v.substr(0, gap)), std::string(ids)};
}

SenderIds sender_ids_of(const SIni* ini) {
    SenderIds s;
    for (int n = 0;; ++n) {
        const char* v = sini_getx(ini, SENDER_IDS, nullptr, nullptr, n);
        if (v == nullptr) break;
        if (std::optional<SenderIdRule> r = sender_id_rule(v))
            s.rules.push_back(std::move(*r));
        else
            emsg("Invalid setting: sender_ids (%s) needs a sender or user and its sender IDs", v);
    }
    if (const char* g = sini_getx(ini, GSM_NUMBER, nullptr, nullptr, 0); has_text(g))
        s.own.emplace_back(g);
    auto bound = [ini](const char* part) {
        return static_cast<long>(s_atoi(sini_getx(ini, PHONE_RANGE, nullptr, part, 0)));
    };
    s.pool = phone_range_of(sini_getx(ini, PHONE_COUNTRY, nullptr, nullptr, 0),
                            sini_getx(ini, PHONE_SERVICE, nullptr, nullptr, 0), bound("min"),
                            bound("max"));
    return s;
}

bool sender_id_allowed(const SenderIds& ids, std::string_view who, std::string_view chosen) {
    if (chosen.empty()) return false;
    for (const std::string& own : ids.own)
        if (chosen == own) return true;
    if (phone_range_index(ids.pool, chosen) >= 0) return true;
    const std::string who_lower = strlwr(who);
    for (const SenderIdRule& r : ids.rules)
        if (wild_match(who_lower, strlwr(r.who)) && id_listed(chosen, r.ids)) return true;
    return false;
}

}  // namespace tolvane
