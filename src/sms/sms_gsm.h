// The GSM modem transport: sends and receives SMS through a modem on a serial line.
//
// It is started with a gsm_init record (sms.h) by sms_gsm_init.
//
// The driver talks AT commands (text or PDU mode) through the serial port
// (comlib.h). A reader thread of its own copies everything the modem writes into
// an input buffer; each dialogue (send, read, delete, listing, indication wait)
// holds the modem lock from its first command to its last reply. Waits hand out
// the messages the modem held at start (listed once, deleted as handed out), then
// one message per new-message indication (+CMTI), whose content the message's
// recv operation reads and deletes.
//
// Ownership: the state owns the port, the reader thread, the input buffer and the
// listed messages not yet handed out; a message handed out by wait belongs to the
// caller and is released with sms_msg_free. There is no reconnection: a modem
// that stops answering makes each dialogue fail with the time-out code.
//
// Error codes: a modem error number n is reported as n + 1 (+CME during the PIN
// check as n + 301); the driver's own codes are 517 to 524 (see sms_gsm_error) and
// -2 for a send given up because the signal stayed too weak.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "sms/sms.h"

namespace tolvane {

// False while the transport is not part of the build (the factory then refuses it).
extern const bool SMS_GSM_BUILT;

// Opens the port and sets the modem up; on a failure the transport comes back with
// the code, so that the caller can report it and free it.
std::unique_ptr<sms> sms_gsm_init(const gsm_init& init, int& errcode);

// The bearer command ("AT+CBST=s,n,c") for a reply to AT+CBST=? and a serial speed
// (bits per second or speed constant); nothing when the reply lacks a value.
std::optional<std::string> make_bearer(std::string_view cbst, int baud);
// The indication setting ("0,1,0,0,0") for a reply to AT+CNMI=?; nothing when the
// modem cannot announce stored messages.
std::optional<std::string> make_cnmi(std::string_view cnmi);
// The byte-trace file beside a dialogue log: gsm.log gives gsm_raw.log.
std::string gsm_raw_trace_name(const std::string& debug_file);

// What a message of this transport holds beyond the row operations (null for a
// message of another transport).
struct gsm_message_view {
    const char* memory;
    int index;
    const char* status;
    const char* timestamp;
    const char* service_center;
};
std::optional<gsm_message_view> sms_gsm_message_view(const sms_message* msg);

}  // namespace tolvane
