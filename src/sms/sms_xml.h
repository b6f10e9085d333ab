// The XML transport: a placeholder whose every operation succeeds and does nothing.
//
// A message sent through it is reported as sent and goes nowhere; it produces no
// messages: its receiver waits until it is stopped. It takes no settings.
#pragma once

#include <memory>

#include "sms/transport.h"

namespace tolvane {

// Never fails.
std::unique_ptr<SmsTransport> sms_xml_init();

}  // namespace tolvane
