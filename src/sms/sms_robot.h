// The robot transport: sends each SMS by running an external program.
//
// Row SMS_ROBOT of the transport table (sms.h). The program named by the
// command line gets the text on its standard input and the addresses in its
// environment, and answers with one line. It only sends; it produces no
// messages. The operations follow the row signatures of sms_mode_fn_pointers.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "sms/sms.h"

namespace tolvane {

// How long the program may take to answer, in milliseconds.
inline constexpr long ROBOT_ANSWER_MS = 20000;

struct robot_init : sms_init_record {
    std::string cmdline;
    long answer_ms = ROBOT_ANSWER_MS;  // tests shorten it
};

std::unique_ptr<sms_driver> sms_robot_init(sms* owner, const sms_init_record* init, int& errcode);
void sms_robot_free(std::unique_ptr<sms_driver>& state);
int sms_robot_recv(sms_driver* state, sms_message* msg);
int sms_robot_send(sms_driver* state, const smtp_message_extra* data, std::string_view from,
                   std::string_view to, std::string_view message);
std::unique_ptr<sms_message> sms_robot_wait(sms_driver* state, int timeout_msec, int& errcode);
void sms_robot_error(sms_driver* state, int err, std::string& bf);
const char* sms_robot_fromip(sms_driver* state, sms_message* msg);
const char* sms_robot_from(sms_driver* state, sms_message* msg);
const char* sms_robot_to(sms_driver* state, sms_message* msg);
const char* sms_robot_body(sms_driver* state, sms_message* msg);
int sms_robot_reject(sms_driver* state, sms_message* msg, int code, const char* reason);
int sms_robot_accept(sms_driver* state, sms_message* msg, int code, const char* reason);
void sms_robot_msgfree(sms_driver* state, std::unique_ptr<sms_message>& msg);
// The answer limit of a robot state in milliseconds (0 for a null state).
long sms_robot_answer_ms(const sms_driver* state);

}  // namespace tolvane
