// The SMPP client transport: sends and receives SMS through an SMS centre over SMPP.
//
// Row SMS_SMPP of the transport table (sms.h); it is started with a smpp_init record
// (sms.h). The operations follow the row signatures of sms_mode_fn_pointers.
//
// The state holds two connections to the centre (sms_smpp_session.h): a transmitter
// for submit_sm and a receiver on which the centre delivers messages (deliver_sm).
// Start-up connects and binds both; a failure is reported by code (1 cannot connect,
// 2 transmitter bind refused, 3 receiver bind refused) with the state, so that the
// caller can report it and free it. A delivered message owns its deliver_sm and is
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

// False while the transport is not part of the build (sms_init then refuses it).
extern const bool SMS_SMPP_BUILT;

// A smpp_init with a response limit of the caller's own (tests shorten it).
struct smpp_init_limits : smpp_init {
    long response_ms = SMPP_RESPONSE_MS;
};

std::unique_ptr<sms_driver> sms_smpp_init(sms* owner, const sms_init_record* init, int& errcode);
void sms_smpp_free(std::unique_ptr<sms_driver>& state);
int sms_smpp_recv(sms_driver* state, sms_message* msg);
int sms_smpp_send(sms_driver* state, const smtp_message_extra* data, std::string_view from,
                  std::string_view to, std::string_view message);
std::unique_ptr<sms_message> sms_smpp_wait(sms_driver* state, int timeout_msec, int& errcode);
void sms_smpp_error(sms_driver* state, int err, std::string& bf);
const char* sms_smpp_fromip(sms_driver* state, sms_message* msg);
const char* sms_smpp_from(sms_driver* state, sms_message* msg);
const char* sms_smpp_to(sms_driver* state, sms_message* msg);
const char* sms_smpp_body(sms_driver* state, sms_message* msg);
int sms_smpp_reject(sms_driver* state, sms_message* msg, int code, const char* reason);
int sms_smpp_accept(sms_driver* state, sms_message* msg, int code, const char* reason);
void sms_smpp_msgfree(sms_driver* state, std::unique_ptr<sms_message>& msg);

}  // namespace tolvane
