// The robot transport: sends each SMS by running an external program.
//
// The program named by the command line gets the whole text on its standard
// input, which is then closed (so a program may read to the end), and in its
// environment the addresses, SMS_LENGTH (bytes of the text), SMS_CODING (gsm or
// ucs2: the alphabet the text fits; latin1 when sms_coding asks for single
// bytes) and SMS_PARTS (the SMS the text takes). The text is UTF-8, or Latin-1
// bytes under sms_coding latin1; beyond sms_max_parts it is cut, with a log line.
// The program answers with one line. It only sends: it receives no SMS.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "sms/sms_text.h"
#include "sms/transport.h"

namespace tolvane {

// How long the program may take to answer, in milliseconds.
inline constexpr long ROBOT_ANSWER_MS = 20000;

struct robot_init {
    std::string cmdline;
    sms_coding coding = sms_coding::automatic;
    int max_parts = SMS_MAX_PARTS_DEFAULT;
    long answer_ms = ROBOT_ANSWER_MS;  // tests shorten it
};

// Never fails; a program that cannot run fails each send.
std::unique_ptr<SmsTransport> sms_robot_init(const robot_init& rec);
// The answer limit of a robot transport in milliseconds (0 for null or another kind).
long sms_robot_answer_ms(const SmsTransport* s);

}  // namespace tolvane
