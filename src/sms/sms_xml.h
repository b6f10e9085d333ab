// The XML transport: a placeholder row whose every operation succeeds and does nothing.
//
// Row SMS_XML of the transport table (sms.h). A message sent through it is
// reported as sent and goes nowhere; it produces no messages. It takes no
// initialisation record. The operations follow the row signatures of
// sms_mode_fn_pointers.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "sms/sms.h"

namespace tolvane {

std::unique_ptr<sms_driver> sms_xml_init(sms* owner, const sms_init_record* init, int& errcode);
void sms_xml_free(std::unique_ptr<sms_driver>& state);
int sms_xml_recv(sms_driver* state, sms_message* msg);
int sms_xml_send(sms_driver* state, const smtp_message_extra* data, std::string_view from,
                 std::string_view to, std::string_view message);
std::unique_ptr<sms_message> sms_xml_wait(sms_driver* state, int timeout_msec, int& errcode);
void sms_xml_error(sms_driver* state, int err, std::string& bf);
const char* sms_xml_fromip(sms_driver* state, sms_message* msg);
const char* sms_xml_from(sms_driver* state, sms_message* msg);
const char* sms_xml_to(sms_driver* state, sms_message* msg);
const char* sms_xml_body(sms_driver* state, sms_message* msg);
int sms_xml_reject(sms_driver* state, sms_message* msg, int code, const char* reason);
int sms_xml_accept(sms_driver* state, sms_message* msg, int code, const char* reason);
void sms_xml_msgfree(sms_driver* state, std::unique_ptr<sms_message>& msg);

}  // namespace tolvane
