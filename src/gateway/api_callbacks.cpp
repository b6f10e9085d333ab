// The delivery-report callback of an API message: see api_callbacks.h.
#include "gateway/api_callbacks.h"

#include "foundation/log.h"
#include "gateway/webhooks.h"

namespace tolvane {

bool api_report(Gateway& gw, const ApiReport& report) {
    if (report.secret.empty()) {
        // Without the key's secret nothing can be signed: a receiver could not trust it.
        imsg("API message %s: no report to %s, its key %s was revoked", report.id.c_str(),
             report.url.c_str(), report.key.c_str());
        return true;
    }
    if (webhook_enqueue(gw, report.url, report.body, report.secret, report.delivery)) return true;
    emsg(
        "API message %s: the report to %s could not be stored now; it is queued at the "
        "next start: %s",
        report.id.c_str(), report.url.c_str(), report.body.c_str());
    return false;
}

}  // namespace tolvane
