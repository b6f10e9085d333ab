// The settings' transport sections and routes, and the run state of each transport: see
// routes.h. The routed transport itself is in routed_transport.cpp.
#include "gateway/routes.h"

#include <chrono>
#include <ctime>

#include "foundation/lib.h"
#include "gateway/keys.h"

namespace tolvane {

namespace {

bool blank(char c) {
    return c == ' ' || c == '\t' || c == '\r';
}

std::string_view trim(std::string_view v) {
    while (!v.empty() && blank(v.front())) v.remove_prefix(1);
    while (!v.empty() && blank(v.back())) v.remove_suffix(1);
    return v;
}

// The modes a transport section may name, and whether each can receive.
int mode_of(std::string_view word) {
    static constexpr const char* names[] = {"gsm", "smpp", "xml", "smtp", "robot"};
    for (int m = 0; m < SMS_MODES; ++m)
        if (iequals(word, names[m])) return m;
    return -1;
}
bool mode_receives(int mode) {
    return mode == SMS_GSM || mode == SMS_SMPP;
}

// A route line's attributes: name="value" or name=value, separated by blanks.
bool route_attributes(std::string_view v, RouteDef& r, std::string& via, std::string& strategy,
                      std::string& why) {
    bool has_match = false;
    bool has_via = false;
    while (true) {
        v = trim(v);
        if (v.empty()) break;
        std::size_t eq = v.find('=');
        if (eq == std::string_view::npos || eq == 0) {
            why = "route needs name=\"value\" pairs (" + std::string(cut(v, 40)) + ")";
            return false;
        }
        std::string name(v.substr(0, eq));
        v.remove_prefix(eq + 1);
        std::string value;
        if (!v.empty() && v.front() == '"') {
            std::size_t end = v.find('"', 1);
            if (end == std::string_view::npos) {
                why = "route: " + name + " has no closing quote";
                return false;
            }
            value = v.substr(1, end - 1);
            v.remove_prefix(end + 1);
        } else {
            std::size_t end = 0;
            while (end < v.size() && !blank(v[end])) ++end;
            value = v.substr(0, end);
            v.remove_prefix(end);
        }
        if (name == "match") {
            r.match = value;
            has_match = true;
        } else if (name == "via") {
            via = value;
            has_via = true;
        } else if (name == "strategy") {
            strategy = value;
        } else if (name == "from") {
            r.from = value;
        } else {
            why = "route: unknown attribute (" + name + ")";
            return false;
        }
    }
    if (!has_match || r.match.empty()) {
        why = "route needs match=\"...\"";
        return false;
    }
    if (!has_via || trim(via).empty()) {
        why = "route needs via=\"...\"";
        return false;
    }
    return true;
}

struct PendingRoute {
    RouteDef def;
    std::string via;
};

struct Reader {
    const std::string& file;
    RouteTable& out;
    std::string& why;
    std::vector<PendingRoute> routes;
    std::vector<bool> receive_given;
    std::vector<bool> device_given;
    std::string global_device = "COM1";

    bool fail(int line, const std::string& text) {
        why = file + " line " + std::to_string(line) + ": " + text;
        return false;
    }

    // One key line inside the current transport section (t) or the global part (null).
    bool key(int line, std::string_view key, std::string_view value, TransportDef* t) {
        if (iequals(key, "route")) {
            if (t != nullptr)
                return fail(line, "route belongs in the global part, not in transport " + t->name);
            PendingRoute p;
            p.def.line = line;
            std::string strategy = "failover";
            std::string err;
            if (!route_attributes(value, p.def, p.via, strategy, err)) return fail(line, err);
            if (iequals(strategy, "share")) {
                p.def.strategy = RouteStrategy::share;
            } else if (!iequals(strategy, "failover")) {
                return fail(line, "route strategy (" + strategy + ") is not failover or share");
            }
            routes.push_back(std::move(p));
            return true;
        }
        const bool section_key =
            iequals(key, "mode") || iequals(key, "receive") || iequals(key, "weight");
        if (t == nullptr) {
            if (section_key)
                return fail(line, std::string(key) + " belongs in a transport section");
            if (iequals(key, "gsm_com") && !value.empty()) global_device = value;
            return true;
        }
        const std::size_t at = static_cast<std::size_t>(t - out.transports.data());
        if (iequals(key, "mode")) {
            t->mode = mode_of(value);
            if (t->mode < 0)
                return fail(line, "transport " + t->name + ": mode (" + std::string(value) +
                                      ") is not gsm, smpp, xml, smtp or robot");
        } else if (iequals(key, "receive")) {
            std::string v(value);
            if (istrue(v.c_str())) {
                t->receive = true;
            } else if (isfalse(v.c_str())) {
                t->receive = false;
            } else {
                return fail(line,
                            "transport " + t->name + ": receive (" + v + ") is not true or false");
            }
            receive_given[at] = true;
        } else if (iequals(key, "weight")) {
            long w = 0;
            if (!parse_long(value, w) || w < 1 || w > 1000)
                return fail(line, "transport " + t->name + ": weight (" + std::string(value) +
                                      ") is not a whole number from 1 to 1000");
            t->weight = static_cast<int>(w);
        } else if (iequals(key, "gsm_com") && !value.empty()) {
            t->device = value;
            device_given[at] = true;
        }
        return true;
    }

    static bool parse_long(std::string_view v, long& out) {
        if (v.empty() || v.size() > 9) return false;
        long n = 0;
        for (char c : v) {
            if (c < '0' || c > '9') return false;
            n = n * 10 + (c - '0');
        }
        out = n;
        return true;
    }

    // The checks that need the whole file.
    bool finish() {
        for (std::size_t i = 0; i < out.transports.size(); ++i) {
            TransportDef& t = out.transports[i];
            if (t.mode < 0 || t.mode == SMS_NONE)
                return fail(t.line, "transport " + t.name + " has no mode");
            if (!receive_given[i]) t.receive = mode_receives(t.mode);
            if (t.receive && !mode_receives(t.mode))
                return fail(t.line, "transport " + t.name + ": mode " + delivery_name(t.mode) +
                                        " cannot receive");
            if (t.mode != SMS_GSM) {
                t.device.clear();
                continue;
            }
            if (!device_given[i]) t.device = global_device;
            for (std::size_t j = 0; j < i; ++j) {
                if (out.transports[j].mode == SMS_GSM && out.transports[j].device == t.device)
                    return fail(t.line, "transports " + out.transports[j].name + " and " + t.name +
                                            " use one modem (" + t.device + ")");
            }
        }
        for (PendingRoute& p : routes) {
            for (const std::string& name : s_split_words(p.via, ", \t")) {
                std::size_t k = 0;
                while (k < out.transports.size() && out.transports[k].name != name) ++k;
                if (k == out.transports.size())
                    return fail(p.def.line, "route names unknown transport (" + name + ")");
                p.def.via.push_back(k);
            }
            out.routes.push_back(std::move(p.def));
        }
        if (out.routes.empty() && !out.transports.empty()) {
            RouteDef all;
            for (std::size_t k = 0; k < out.transports.size(); ++k) all.via.push_back(k);
            out.routes.push_back(std::move(all));
        }
        return true;
    }
};

// The table of a settings file's text into out; false with "FILE line N: ..." in why.
bool read_table(std::string_view text, const std::string& file, RouteTable& out, std::string& why) {
    out = RouteTable{};
    Reader r{file, out, why, {}, {}, {}};
    // The index of the section being read; -1: the global part.
    long current = -1;
    int line_no = 0;
    while (!text.empty()) {
        std::size_t nl = text.find('\n');
        std::string_view line = text.substr(0, nl);
        text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
        ++line_no;
        line = trim(line);
        if (line.empty() || line.front() == '#') continue;
        std::size_t key_end = 0;
        while (key_end < line.size() && !blank(line[key_end])) ++key_end;
        std::string_view key = line.substr(0, key_end);
        std::string_view value = trim(line.substr(key_end));
        if (iequals(key, "transport")) {
            std::string name(value);
            if (name.empty() || name.find_first_of(" \t,") != std::string::npos)
                return r.fail(line_no, "transport needs one name without blanks or commas");
            for (const TransportDef& t : out.transports)
                if (t.name == name)
                    return r.fail(line_no, "transport " + name + " is defined twice (line " +
                                               std::to_string(t.line) + ")");
            TransportDef t;
            t.name = name;
            t.line = line_no;
            t.mode = -1;
            out.transports.push_back(std::move(t));
            r.receive_given.push_back(false);
            r.device_given.push_back(false);
            current = static_cast<long>(out.transports.size()) - 1;
            continue;
        }
        TransportDef* t =
            current < 0 ? nullptr : &out.transports[static_cast<std::size_t>(current)];
        if (!r.key(line_no, key, value, t)) return false;
    }
    return r.finish();
}

}  // namespace

Result<RouteTable> route_table_parse(std::string_view text, const std::string& file) {
    RouteTable out;
    std::string why;
    if (!read_table(text, file, out, why)) return Error{0, why};
    return out;
}

// ---- RoutePicker ----

RoutePicker::RoutePicker(RouteTable table, Limits limits)
    : table_(std::move(table)), limits_(limits), runs_(table_.transports.size()) {}

int RoutePicker::route_for(std::string_view to,
                           std::initializer_list<std::string_view> from_keys) const {
    for (std::size_t i = 0; i < table_.routes.size(); ++i) {
        const RouteDef& r = table_.routes[i];
        if (!wild_match(to, r.match)) continue;
        if (!r.from.empty()) {
            bool any = false;
            for (std::string_view k : from_keys)
                if (!k.empty() && wild_match(k, r.from)) any = true;
            if (!any) continue;
        }
        return static_cast<int>(i);
    }
    return -1;
}

bool RoutePicker::usable_locked(std::size_t m, bool up, std::int64_t now_ms) const {
    return up && runs_[m].rest_until <= now_ms;
}

bool RoutePicker::usable(std::size_t m, bool up, std::int64_t now_ms) const {
    std::lock_guard<std::mutex> g(lock_);
    return m < runs_.size() && usable_locked(m, up, now_ms);
}

bool RoutePicker::route_usable(int route, const std::function<bool(std::size_t)>& up,
                               std::int64_t now_ms) const {
    if (route < 0 || static_cast<std::size_t>(route) >= table_.routes.size()) return false;
    for (std::size_t m : table_.routes[static_cast<std::size_t>(route)].via)
        if (usable(m, up(m), now_ms)) return true;
    return false;
}

std::optional<std::size_t> RoutePicker::pick(int route, const std::function<bool(std::size_t)>& up,
                                             int prefer, std::int64_t now_ms) {
    // The transports' up() is asked outside the lock: it may take the transport's own.
    std::vector<char> is_up(runs_.size(), 0);
    for (std::size_t m = 0; m < runs_.size(); ++m) is_up[m] = up(m) ? 1 : 0;
    std::lock_guard<std::mutex> g(lock_);
    std::optional<std::size_t> chosen;
    if (prefer >= 0 && static_cast<std::size_t>(prefer) < runs_.size() &&
        usable_locked(static_cast<std::size_t>(prefer), is_up[static_cast<std::size_t>(prefer)],
                      now_ms)) {
        chosen = static_cast<std::size_t>(prefer);
    } else if (route >= 0 && static_cast<std::size_t>(route) < table_.routes.size()) {
        const RouteDef& r = table_.routes[static_cast<std::size_t>(route)];
        for (std::size_t m : r.via) {
            if (!usable_locked(m, is_up[m], now_ms)) continue;
            if (!chosen) {
                chosen = m;
                if (r.strategy == RouteStrategy::failover) break;
                continue;
            }
            // share: the fewest outstanding per weight, then the fewest carried per weight,
            // so that a single sender still spreads by weight.
            const Run& a = runs_[m];
            const Run& b = runs_[*chosen];
            const long wa = table_.transports[m].weight;
            const long wb = table_.transports[*chosen].weight;
            const long lhs = static_cast<long>(a.outstanding) * wb;
            const long rhs = static_cast<long>(b.outstanding) * wa;
            if (lhs < rhs ||
                (lhs == rhs && static_cast<double>(a.picked) / static_cast<double>(wa) <
                                   static_cast<double>(b.picked) / static_cast<double>(wb)))
                chosen = m;
        }
    }
    if (chosen) {
        ++runs_[*chosen].outstanding;
        ++runs_[*chosen].picked;
    }
    return chosen;
}

bool RoutePicker::finish(std::size_t member, SendOutcome o, std::int64_t now_ms, long day) {
    std::lock_guard<std::mutex> g(lock_);
    if (member >= runs_.size()) return false;
    Run& r = runs_[member];
    if (r.outstanding > 0) --r.outstanding;
    if (r.day != day) {
        r.day = day;
        r.sent = 0;
        r.failed = 0;
    }
    switch (o) {
        case SendOutcome::sent:
            r.failures = 0;
            ++r.sent;
            return false;
        case SendOutcome::failed:
            ++r.failed;
            if (++r.failures < limits_.fail_limit) return false;
            r.failures = 0;
            r.rest_until = now_ms + limits_.rest_ms;
            return true;
        case SendOutcome::other:
            return false;
    }
    return false;
}

MemberState RoutePicker::state(std::size_t member, std::int64_t now_ms, long day) const {
    std::lock_guard<std::mutex> g(lock_);
    MemberState s;
    if (member >= runs_.size()) return s;
    const Run& r = runs_[member];
    s.resting = r.rest_until > now_ms;
    s.rest_left_s = s.resting ? static_cast<long>((r.rest_until - now_ms + 999) / 1000) : 0;
    s.failures = r.failures;
    s.outstanding = r.outstanding;
    s.sent_today = r.day == day ? r.sent : 0;
    s.failed_today = r.day == day ? r.failed : 0;
    return s;
}

std::int64_t routes_now_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

long routes_day(std::int64_t now_ms) {
    std::time_t t = static_cast<std::time_t>(now_ms / 1000);
    std::tm tm{};
    if (!safe_localtime(t, tm)) return static_cast<long>(t / 86400);
    return (tm.tm_year + 1900L) * 1000L + tm.tm_yday;
}

}  // namespace tolvane
