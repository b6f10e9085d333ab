// The delivery-report callback of an API message: see api_callbacks.h.
//
// NOT WIRED YET: the webhook sender (signed POSTs from a durable queue lane) is built
// apart; until it is joined here, a report is only logged.
#include "gateway/api_callbacks.h"

#include "foundation/log.h"

namespace tolvane {

void api_report(Gateway& gw, const ApiReport& report) {
    (void)gw;
    imsg("API message %s: report for %s not sent (no webhook sender): %s", report.id.c_str(),
         report.url.c_str(), report.body.c_str());
}

}  // namespace tolvane
