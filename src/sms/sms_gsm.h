// The GSM modem transport: sends and receives SMS through a modem on a serial line.
//
// Row SMS_GSM of the transport table (sms.h); it is started with a gsm_init record
// (sms.h). The operations follow the row signatures of sms_mode_fn_pointers.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "sms/sms.h"

namespace tolvane {

// False while the transport is not part of the build (sms_init then refuses it).
extern const bool SMS_GSM_BUILT;

std::unique_ptr<sms_driver> sms_gsm_init(sms* owner, const sms_init_record* init, int& errcode);
void sms_gsm_free(std::unique_ptr<sms_driver>& state);
int sms_gsm_recv(sms_driver* state, sms_message* msg);
int sms_gsm_send(sms_driver* state, const smtp_message_extra* data, std::string_view from,
                 std::string_view to, std::string_view message);
std::unique_ptr<sms_message> sms_gsm_wait(sms_driver* state, int timeout_msec, int& errcode);
void sms_gsm_error(sms_driver* state, int err, std::string& bf);
const char* sms_gsm_fromip(sms_driver* state, sms_message* msg);
const char* sms_gsm_from(sms_driver* state, sms_message* msg);
const char* sms_gsm_to(sms_driver* state, sms_message* msg);
const char* sms_gsm_body(sms_driver* state, sms_message* msg);
int sms_gsm_reject(sms_driver* state, sms_message* msg, int code, const char* reason);
int sms_gsm_accept(sms_driver* state, sms_message* msg, int code, const char* reason);
void sms_gsm_msgfree(sms_driver* state, std::unique_ptr<sms_message>& msg);

}  // namespace tolvane
