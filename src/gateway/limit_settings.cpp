// The rate limits of the settings, read once at start-up into plain records (see
// gateway.h): every `limit` line with its counts checked, and the "msgrec" limit the
// gateway always keeps. Start-up turns each record into the limit's counter files.
#include <climits>
#include <cstdlib>

#include "foundation/lib.h"
#include "gateway/gateway.h"

namespace tolvane {

namespace {

// A count of a limit: empty is 0 (no limit of that kind); else a whole number.
bool count_of(const SIni* ini, const std::string& name, const char* part, int index, int& out,
              std::string& why) {
    const char* v = sini_getx(ini, LIMIT, nullptr, part, index);
    std::string text(strtrm(v ? v : ""));
    out = 0;
    if (text.empty()) return true;
    std::size_t i = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i;
    long n = i == text.size() && i <= 10 ? std::strtol(text.c_str(), nullptr, 10) : -1;
    if (n < 0 || n > INT_MAX) {
        why = "Invalid setting: limit (" + name + ") " + part + " (" + cut(text, 80) +
              ") is not a whole number from 0 to " + std::to_string(INT_MAX);
        return false;
    }
    out = static_cast<int>(n);
    return true;
}

}  // namespace

Result<std::vector<limit_setting>> limit_settings(const SIni* ini) {
    std::vector<limit_setting> out;
    std::string why;
    auto global = [ini](int id) { return static_cast<int>(sini_number(ini, id, 0)); };
    bool have_msgrec = false;
    for (int i = 0; sini_getx(ini, LIMIT, nullptr, "name", i) != nullptr; ++i) {
        limit_setting l;
        l.name = cut(sini_getx(ini, LIMIT, nullptr, "name", i));
        const char* period = sini_getx(ini, LIMIT, nullptr, "period", i);
        l.period = period ? cut(period) : std::string();
        if (!count_of(ini, l.name, "ip", i, l.ip, why) ||
            !count_of(ini, l.name, "from", i, l.from, why) ||
            !count_of(ini, l.name, "to", i, l.to, why) ||
            !count_of(ini, l.name, "user", i, l.user, why) ||
            !count_of(ini, l.name, "key", i, l.key, why))
            return Error{0, why};
        if (l.name == "msgrec") {
            have_msgrec = true;
            if (l.ip == 0) l.ip = global(IP_LIMIT);
            if (l.from == 0) l.from = global(FROM_LIMIT);
            if (l.to == 0) l.to = global(TO_LIMIT);
        }
        for (const limit_setting& seen : out) {
            if (seen.name == l.name)
                return Error{0, "Each 'limit' setting MUST have a unique name=\"\" parameter"};
        }
        out.push_back(std::move(l));
    }
    if (!have_msgrec) {
        limit_setting l;
        l.name = "msgrec";
        l.period = "24";
        l.ip = global(IP_LIMIT);
        l.from = global(FROM_LIMIT);
        l.to = global(TO_LIMIT);
        out.push_back(std::move(l));
    }
    return out;
}

}  // namespace tolvane
