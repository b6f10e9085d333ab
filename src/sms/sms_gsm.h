// The GSM modem transport: sends and receives SMS through a modem on a serial line.
//
// Row SMS_GSM of the transport table (sms.h); it is started with a gsm_init record
// (sms.h). The operations follow the row signatures of sms_mode_fn_pointers.
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
// caller and is released with sms_gsm_msgfree. There is no reconnection: a modem
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

// False while the transport is not part of the build (sms_init then refuses it).
extern const bool SMS_GSM_BUILT;

// A gsm_init with shorter waits, for tests and for modems known to be slow.
struct gsm_init_tuning : gsm_init {
    long reply_ms = 0;         // time-out of each reply line; 0 keeps 30000
    long pause_ms = -1;        // pause between retried queries and signal checks; -1 keeps them
    long delete_retry_ms = 0;  // first wait before a refused delete is tried again; 0 keeps it
};

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
