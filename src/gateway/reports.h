// The scheduled reports: the `report` settings read into entries, and the tick of the
// main loop that hands each one due to the sender once per matching minute.
//
// Ownership: the gateway's list (Gateway::reports) is filled by start-up and read and
// marked by the main loop only, on the main thread; shutdown clears it.
//
//   gw.reports = reports_configure(ini);
//   reports_tick(gw.reports, local_now, [](std::size_t i, const report_on& r) { ... });
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "foundation/sini.h"

namespace tolvane {

struct report_on {
    int hour = 0;
    int min = 0;
    int done = 0;
    std::optional<std::string> to;  // unset: the entry is disabled
    std::string message;
    std::uint8_t days = 0;
};

// Reads the `report` settings of ini (logging each as configured or invalid).
std::vector<report_on> reports_configure(SIni* ini);
// One tick of the schedule at local time now: every enabled report whose hour, minute and
// weekday match and that is not done yet is handed to send and marked done; a report whose
// time does not match is made ready again.
void reports_tick(std::vector<report_on>& reports, const std::tm& now,
                  const std::function<void(std::size_t index, const report_on& r)>& send);

}  // namespace tolvane
