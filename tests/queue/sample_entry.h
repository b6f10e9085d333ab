// A queue entry with every field set (UTF-8 text, headers, flags), so that a store that
// drops or mangles a field is caught by whichever test reads the entry back.
#pragma once

#include <string>

#include "queue/queue.h"

namespace tolvane {

inline queue_entry sample_entry(const std::string& dest, int kind = QUEUE_MAIL_TO_SMS) {
    queue_entry e;
    e.kind = kind;
    e.destination = dest;
    e.originator = "+61400000001";
    e.sender = "jane@example.org";
    e.text = "Grüße - the meeting moved to 3pm";
    e.billing = "bill@example.org";
    e.client = "127.0.0.1";
    e.headers = {{"X-Sms-Number", "+61400000001"}, {"Subject", "moved"}};
    e.flags = 5;
    return e;
}

}  // namespace tolvane
