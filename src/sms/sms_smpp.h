// The SMPP client transport: sends and receives SMS through an SMS centre over SMPP.
//
// It is started with a smpp_init record (sms.h) by sms_smpp_init.
//
// The state holds two connections to the centre (sms_smpp_session.h): a transmitter
// for submit_sm and a receiver on which the centre delivers messages (deliver_sm).
// Start-up connects and binds both; a failure is reported by code (1 cannot connect,
// 2 transmitter bind refused, 3 receiver bind refused) with the transport, so that
// the caller can report it and free it. A delivered message owns its deliver_sm and is
// acknowledged only through accept (status 0) or reject (the caller's code).
//
// Threads: sends (mail threads), the wait (the receiving thread) and accept/reject
// (message threads) may run at once. Each connection is used by one of them at a
// time; sends and acknowledgements go before the wait's reads, which come in short
// slices. A send waits at most the response limit for the centre's answer. A
// keeper thread of the state answers the centre's keep-alives on a connection that
// nobody else reads (a gateway that only sends through this transport never waits
// on it); it is stopped and joined when the state is freed.
//
// Limits: no reconnection; a connection that fails stays failed until restart, and
// every send then fails at once with "Connection to smsc lost". Texts are sent as
// their first 254 octets with data_coding 0; a delivered text is taken as its octets.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "sms/sms.h"
#include "sms/sms_smpp_session.h"

namespace tolvane {

// False while the transport is not part of the build (the factory then refuses it).
extern const bool SMS_SMPP_BUILT;

// Connects and binds both connections (see above for the codes).
std::unique_ptr<sms> sms_smpp_init(const smpp_init& init, int& errcode);

}  // namespace tolvane
