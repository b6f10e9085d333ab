// The GSM modem transport: sends and receives SMS through a modem on a serial line.
//
// It is started with a gsm_init record (below) by sms_gsm_init.
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
// transport's receiver (receiver.h), which answers and releases it.
//
// The device: the port is a path, often a symbolic link (/dev/serial/by-id/...), that
// is followed at each open. A device that goes away (a read error, a hang-up) makes the
// transport down; it is looked for every second and, once it opens again, the modem is
// set up again and the transport is up, without a restart. reset_after_failures sends
// the reset command (gsm_reset, AT+CFUN=1,1) and sets the modem up again. A modem that
// merely stops answering makes each dialogue fail with the time-out code.
//
// Error codes: a modem error number n is reported as n + 1 (+CME during the PIN
// check as n + 301); the driver's own codes are 517 to 525 (see sms_gsm_error) and
// -2 for a send given up because the signal stayed too weak.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "sms/receiver.h"
#include "sms/sms_text.h"
#include "sms/transport.h"

namespace tolvane {

// False while the transport is not part of the build (the factory then refuses it).
extern const bool SMS_GSM_BUILT;

// GSM modem mode bits.
enum : int {
    MODE_ZERO = 0,
    MODE_CPIN_OK = 1,
    MODE_CBST_ONE = 2,
    MODE_PDU = 4,
    MODE_8BIT = 8,
    MODE_16BIT = 16,
    MODE_EXTENDED = 32,
    MODE_CNMI_FLUSH = 64
};

// Texts left empty mean "not given".
struct gsm_init {
    std::string port;        // device path
    std::string localphone;  // the modem's own number
    std::string debug_file;
    std::string pin, pin2, puk, puk2;
    std::string init_string;
    std::string sca;  // service-centre number
    std::string dcs;  // character-set name
    int baud = 0;     // the platform's speed code
    int dodebug = 0;
    int mode = MODE_ZERO;  // MODE_* bits
    int min_signal = 0;
    int signal_timeout = 0;  // seconds
    int crlf = 0;
    // Waits of the dialogue (tests and modems known to be slow change them).
    long reply_ms = 0;         // time-out of each reply line; 0 keeps 30000
    long pause_ms = -1;        // pause between retried queries and signal checks; -1 keeps them
    long delete_retry_ms = 0;  // first wait before a refused delete is tried again; 0 keeps it
    // Between the idle modem's status checks (signal, network registration), and before
    // a message left in the modem unstored is read again; 0 keeps 60000.
    long poll_ms = 0;
    // Sent by reset_after_failures before the modem is set up again ("" sends none).
    std::string reset = "AT+CFUN=1,1";
    // Between looks for a lost device (and "AT" to a modem to start again); 0 keeps 1000.
    long reopen_ms = 0;
    // After the reset command: the wait before the modem is asked (0 keeps 3000) and the
    // longest wait for it to be set up again (0 keeps 90000).
    long reset_settle_ms = 0;
    long reset_wait_ms = 0;
    sms_coding coding = sms_coding::automatic;  // the `sms_coding` setting
    int max_parts = SMS_MAX_PARTS_DEFAULT;      // the `sms_max_parts` setting
};

// Opens the port and sets the modem up: the transport, or the failure (its code and
// what the modem answered).
Result<std::unique_ptr<SmsTransport>> sms_gsm_init(const gsm_init& init);

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
