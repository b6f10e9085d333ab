// The SMPP client transport: sends and receives SMS through an SMS centre over SMPP.
//
// Row SMS_SMPP of the transport table (sms.h); it is started with a smpp_init record
// (sms.h). The operations follow the row signatures of sms_mode_fn_pointers.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "sms/sms.h"

namespace tolvane {

// False while the transport is not part of the build (sms_init then refuses it).
extern const bool SMS_SMPP_BUILT;

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
