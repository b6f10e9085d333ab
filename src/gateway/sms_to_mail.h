// SMS to mail: the gateway's callback on the SMS receiving side.
//
// The SMS receiving thread runs sms_wait on the Recv handle with incoming_other as
// callback and its own settings reader (rini*) as cb_data. Returns 1 to go on
// waiting, 0 to end the wait loop.
#pragma once

#include "sms/sms.h"

namespace tolvane {

int incoming_other(sms* s, int event, const sms_cb_arg& arg, void* cb_data);

}  // namespace tolvane
