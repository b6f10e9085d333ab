// Placeholder of the SMS-to-mail callback: the waiting, error and shutdown events
// behave as they will; a received SMS is released without an answer, so that the
// transport keeps it (an SMS centre delivers it again) and none is lost.
#include "gateway/sms_to_mail.h"

#include <string>

#include "foundation/log.h"
#include "gateway/gateway.h"

namespace tolvane {

int incoming_other(sms* s, int event, const sms_cb_arg& arg, void* /*cb_data*/) {
    switch (event) {
        case SMS_WAITING:
            if (ShutdownNow.load()) {
                imsg("'Other' Callback noticed shutdown signalled");
                return 0;
            }
            return 1;
        case SMS_ERRORCODE: {
            int code = arg.err ? *arg.err : 0;
            std::string why;
            sms_error(s, code, why);
            emsg("'Other' Callback Error %d:%s", code, why.c_str());
            return 0;
        }
        case SMS_INCOMING:
            if (arg.msg != nullptr && *arg.msg) {
                emsg(
                    "SMS received and left unanswered: SMS to mail is not available in this build");
                sms_msg_free(s, *arg.msg);
            }
            return 1;
        default:
            return 1;
    }
}

}  // namespace tolvane
