// The robot transport: sends each SMS by running an external program.
//
// The program named by the command line gets the text on its standard input and
// the addresses in its environment, and answers with one line. It only sends; it
// produces no messages.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "sms/sms.h"

namespace tolvane {

// How long the program may take to answer, in milliseconds.
inline constexpr long ROBOT_ANSWER_MS = 20000;

struct robot_init {
    std::string cmdline;
    long answer_ms = ROBOT_ANSWER_MS;  // tests shorten it
};

// Never fails (errcode is set to 0); a program that cannot run fails each send.
std::unique_ptr<sms> sms_robot_init(const robot_init& rec, int& errcode);
// The answer limit of a robot transport in milliseconds (0 for null or another kind).
long sms_robot_answer_ms(const sms* s);

}  // namespace tolvane
