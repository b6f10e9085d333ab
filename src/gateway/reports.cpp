// Scheduled "alive" reports: reading the `report` settings and the per-minute check.
#include <cctype>

#include "foundation/lib.h"
#include "gateway/gateway.h"
#include "gateway/reports.h"

namespace tolvane {

namespace {

// "HH<any one character>MM": false when the text does not start with a digit, nothing
// follows the digits, or the time is not a time of day.
bool parse_time(const char* text, int& hour, int& min) {
    if (text == nullptr || !std::isdigit(static_cast<unsigned char>(text[0]))) return false;
    std::size_t i = 0;
    while (std::isdigit(static_cast<unsigned char>(text[i]))) ++i;
    if (text[i] == '\0') return false;
    hour = s_atoi(text);
    min = s_atoi(text + i + 1);
    return hour >= 0 && hour <= 23 && min >= 0 && min <= 59 && i <= 2;
}

}  // namespace

std::vector<report_on> reports_configure(SIni* ini) {
    std::vector<report_on> out;
    auto get = [ini](const char* part, int n) { return sini_getx(ini, REPORT, nullptr, part, n); };
    int count = 0;
    while (get("time", count) != nullptr) ++count;
    if (count == 0) return out;
    imsg("%d reports to configure", count);
    for (int i = 0; i < count; ++i) {
        report_on r;
        const char* message = get("message", i);
        r.message = message ? cut(message) : std::string();
        r.days = report_days(get("days", i));
        const char* to = get("to", i);
        const char* time = get("time", i);
        if (to == nullptr || to[0] == '\0') {
            emsg("Report setting %d invalid, to=\"\" required", i);
            out.push_back(std::move(r));
            continue;
        }
        if (!parse_time(time, r.hour, r.min)) {
            emsg("Invalid report setting: report to=\"%s\" time=\"%s\" message=\"%s\"", to,
                 time ? time : "", r.message.c_str());
            out.push_back(std::move(r));
            continue;
        }
        r.to = cut(to);
        imsg("Report %d configured %d:%d to %s", i, r.hour, r.min, r.to->c_str());
        out.push_back(std::move(r));
    }
    return out;
}

void reports_tick(std::vector<report_on>& reports, const std::tm& now,
                  const std::function<void(std::size_t index, const report_on& r)>& send) {
    for (std::size_t i = 0; i < reports.size(); ++i) {
        report_on& r = reports[i];
        if (!r.to) continue;
        bool day = now.tm_wday >= 0 && now.tm_wday < 7 && (r.days & (1u << now.tm_wday)) != 0;
        if (now.tm_hour == r.hour && now.tm_min == r.min && day) {
            if (r.done == 0) {
                send(i, r);
                r.done = 1;
            }
        } else {
            r.done = 0;
        }
    }
}

}  // namespace tolvane
