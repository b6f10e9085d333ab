// Inside the GSM modem transport: the modem state and the line layer that every
// dialogue is built from. Only the sms_gsm*.cpp files include this.
//
// Threads: the reader thread is the only one that reads the port; it appends to
// `buffer` under `lock_buffer`. Every dialogue (a send, a read-and-delete, a
// delete, the listing, an indication wait) holds `lock_com` from its first write
// to its last reply, so lines of two dialogues never interleave. Lines the modem
// sends on its own (rings, caller ids, new-message indications) that arrive during
// a dialogue stay in the buffer for the next indication wait.
//
// Limits: every text kept is cut at 999 characters; the input buffer is bounded
// (GSM_BUFFER_MAX) by dropping whole old lines, never a line still arriving.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "foundation/kind.h"
#include "foundation/thread.h"
#include "sms/comlib.h"
#include "sms/receiver.h"
#include "sms/sms_gsm.h"
#include "sms/transport.h"
#include "sms/sms_text.h"

namespace tolvane {

// Read flags.
enum : int {
    GRL_INCOMING = 1,    // wait for a line the modem sent on its own
    GRL_RAW = 2,         // take exactly bfsz bytes
    GRL_SKIP_BLANK = 4,  // empty lines are dropped
    GRL_EXPECT_GT = 8,   // with GRL_RAW: the bytes must start with ">"
    // With GRL_INCOMING: a line that belongs to no dialogue (a late reply, junk) at
    // the front of the buffer is dropped, so that it cannot hide the indications
    // behind it.
    GRL_DISCARD = 16,
    // A time-out is expected and not an error: nothing logged, errcode left alone.
    GRL_QUIET = 32
};

// The driver's own error codes; a modem error number n is reported as n + 1.
enum : int {
    GSM_ERR_OPEN = 517,
    GSM_ERR_NUMBER = 518,
    GSM_ERR_TIMEOUT = 519,
    GSM_ERR_WRITE = 520,
    GSM_ERR_ERROR = 521,
    GSM_ERR_UNEXPECTED = 522,
    GSM_ERR_ECHO = 523,
    GSM_ERR_PIN = 524,
    // The modem is away: its device is gone, or it is being started again (after the
    // device came back, or after a reset). A send then waits for it.
    GSM_ERR_AWAY = 525,
    // A send given up because the signal stayed too weak.
    GSM_ERR_SIGNAL = -2
};
// Added to a +CME ERROR number during the PIN check.
inline constexpr int GSM_CME_PIN_OFFSET = 300;

inline constexpr long GSM_REPLY_MS = 30000;  // time-out of every reply line
inline constexpr long GSM_POLL_MS = 50;      // pause after a failed poll() of the serial line
inline constexpr std::size_t GSM_READ_CHUNK = 1000;
inline constexpr std::size_t GSM_LINE_MAX = 1000;       // a reply line is cut there
inline constexpr std::size_t GSM_BUFFER_MAX = 1 << 20;  // input buffer bound
inline constexpr std::size_t GSM_STORED_MAX = 100;      // messages kept from one listing
inline constexpr int GSM_PDU_OCTETS_MAX = 255;          // a listed or read unit, at most
// How long an "OK" after "+CPIN: READY" is waited for: some modems send one, some not.
inline constexpr long GSM_CPIN_OK_MS = 1000;
// A delete the modem refused is tried again after this, doubling up to the maximum,
// at most GSM_DELETE_TRIES times.
inline constexpr long GSM_DELETE_RETRY_MS = 5000;
inline constexpr long GSM_DELETE_RETRY_MAX_MS = 300000;
inline constexpr int GSM_DELETE_TRIES = 12;
// An idle modem is asked for its signal and network registration this often, and a
// message handed out but not stored is read from the modem again after this.
inline constexpr long GSM_STATUS_POLL_MS = 60000;
// A device that went away is looked for this often, and a modem that is to be started
// again is asked whether it answers this often.
inline constexpr long GSM_REOPEN_MS = 1000;
// After the reset command the modem restarts: it is not asked before this, and it is
// waited for (by reset_after_failures) at most this long.
inline constexpr long GSM_RESET_SETTLE_MS = 3000;
inline constexpr long GSM_RESET_WAIT_MS = 90000;
// How long a modem to be started again is given to answer "AT".
inline constexpr long GSM_PROBE_MS = 1000;

// Where the serial device stands (sms_data_gsm::device).
enum : int {
    GSM_DEVICE_OK = 0,       // open, the modem set up
    GSM_DEVICE_LOST = 1,     // it went away (read error, hang-up): closed, looked for again
    GSM_DEVICE_RESTART = 2   // open, but the modem must be set up again (back, or reset)
};

// Network registration as AT+CREG? reports it; GSM_REG_NONE while the modem has not
// said (no answer, or a modem without the command).
enum : int {
    GSM_REG_NONE = -1,
    GSM_REG_NOT = 0,        // not registered, not searching
    GSM_REG_HOME = 1,       // registered on the home network
    GSM_REG_SEARCHING = 2,  // not registered, searching
    GSM_REG_DENIED = 3,     // registration denied
    GSM_REG_UNKNOWN = 4,    // the modem does not know
    GSM_REG_ROAMING = 5     // registered, roaming
};

struct file_closer {
    void operator()(std::FILE* f) const noexcept {
        if (f != nullptr) std::fclose(f);
    }
};

// A message handed on whose delete the modem refused: what it held, so that a later
// try deletes only that message and never a new one stored in the same place.
struct gsm_pending_delete {
    int index = 0;
    std::string phone;
    std::string timestamp;
    std::string message;
    int tries = 1;
    long wait_ms = GSM_DELETE_RETRY_MS;
    std::chrono::steady_clock::time_point due;
};

struct sms_data_gsm : SmsTransport, MessageSource {
    sms_data_gsm() : SmsTransport(SMS_GSM, "GSM modem"), rx(*this, *this) {}
    ~sms_data_gsm() override;

    // A weak signal is temporary (the modem is away, not the SMS at fault), as is a send
    // while the device is gone or the modem is being set up again (GSM_ERR_AWAY, nothing
    // written); a dialogue cut by cut_sends is cut; anything else failed.
    SendResult send(const SmsOut& sms) override;
    bool can_receive() const override { return true; }
    Status receive(InboundSink& sink, std::stop_token stop) override { return rx.run(sink, stop); }
    // One SMS: 0, or the code of error().
    int send_text(std::string_view from, std::string_view to, std::string_view message);

    std::unique_ptr<sms_message> wait(int timeout_msec, int& errcode) override;
    void error(int err, std::string& bf) override;
    int msg_recv(sms_message* msg) override;
    const char* msg_from(sms_message* msg) override;
    const char* msg_to(sms_message*) override { return localphone.c_str(); }
    const char* msg_body(sms_message* msg) override;
    // The message is stored by the gateway: only now is it deleted from the modem, so
    // that a crash before leaves it there to be read again after the restart.
    int msg_accept(sms_message* msg, int code, const char* reason) override;
    // The message could not be stored: it stays in the modem and is read again after
    // poll_ms. A message released without either answer is treated the same way.
    int msg_reject(sms_message* msg, int code, const char* reason) override;
    void msg_free(std::unique_ptr<sms_message>& msg) override;
    // Up while its device is there and the modem is set up (device GSM_DEVICE_OK), the
    // modem answers (the reader runs and the last reply came in time) and is not known
    // to be off the network (AT+CREG? says not registered, searching or denied).
    bool up() const override;
    // "up, registered (home), signal 20 of 31", or why it is down ("down: device gone:
    // /dev/serial/by-id/...", "down: resetting the modem (AT+CFUN=1,1)").
    std::string state_text() const override;
    // Every change of up() is told (gsm_note_state), within a wait or a watcher round.
    bool tells_state() const override { return true; }
    // The indication wait sleeps on the reader's arrivals, not on the modem's lock, and
    // interrupt() ends it at once.
    void interrupt() override;
    // Tells the watcher that up() may have changed.
    void note_state() { state_changed(); }
    // Every dialogue stops waiting for the modem's replies (a shutdown): a send in progress,
    // and every later one, returns SMS_SEND_CUT.
    void cut_sends(bool hard) override;
    // The last registration the modem gave (GSM_REG_*).
    int registration() const { return reg_state.load(); }
    // The last signal level the modem gave (0-31), -1 when unknown.
    int signal() const { return signal_level.load(); }

    std::unique_ptr<MUTEX> lock_queue;  // "GSM_SEND_QUEUE": created, taken by nobody
    std::unique_ptr<MUTEX> lock_com;    // "USING_GSM_MODEM": one whole dialogue
    std::unique_ptr<comport> com;
    std::vector<std::unique_ptr<sms_message>> stored;  // listed, not yet handed out
    bool donestored = false;
    bool relist = false;  // the listing held more than GSM_STORED_MAX: list again later
    std::string localphone;
    std::string r_endl = "\r\n";
    std::string w_endl = "\r";
    std::jthread reader;  // stopped through its stop token (gsm_reader_stop)
    std::unique_ptr<MUTEX> lock_buffer;  // "USING_READ_BUFFER": guards buffer
    std::string buffer;                  // read from the modem, not yet consumed
    // Tells buffer readers that the reader thread appended, that it ended, that the
    // state is stopping or that the indication wait is interrupted; each of these is
    // changed under arrived_lock, so no waiter misses one.
    std::mutex arrived_lock;
    std::condition_variable arrived;
    unsigned long arrivals = 0;  // guarded by arrived_lock
    bool interrupted = false;    // guarded by arrived_lock; the next wait returns at once
    int reader_wake = -1;        // eventfd: a stop of the reader wakes its poll()
    bool ispdu = false;
    int usedcs = 0;  // 0 (7-bit), 4 (8-bit), 8 (UCS2)
    bool ext7bit = false;
    sms_coding coding = sms_coding::automatic;
    int max_parts = SMS_MAX_PARTS_DEFAULT;
    std::string cscs = "GSM";  // the character set of text mode
    int next_reference = 0;    // message reference of the next unit; under lock_com
    int min_signal = 0;
    int signal_timeout = 0;  // seconds; 0 waits without end
    std::atomic<bool> stopping{false};
    std::atomic<bool> cutting{false};  // changed under arrived_lock: replies no longer awaited
    std::atomic<bool> reader_running{false};
    std::shared_ptr<TraceFile> flog;  // the dialogue log
    std::string port;                 // device path, for log lines
    long reply_ms = GSM_REPLY_MS;
    long csms_pause_ms = 500;     // between AT+CSMS attempts (tests shorten it)
    long signal_pause_ms = 1000;  // between signal checks (tests shorten it)
    long delete_retry_ms = GSM_DELETE_RETRY_MS;
    std::vector<gsm_pending_delete> pending_deletes;  // guarded by lock_com
    long poll_ms = GSM_STATUS_POLL_MS;
    std::chrono::steady_clock::time_point next_poll;  // used by the wait thread only
    // Places of messages handed out and not answered yet: a new listing or an
    // indication never hands them out a second time. Taken after lock_com when both.
    std::mutex settle_lock;
    std::vector<int> handed;  // guarded by settle_lock
    // A message was left in the modem: list it again from then on (guarded by settle_lock).
    bool relist_pending = false;
    std::chrono::steady_clock::time_point relist_at;
    // What the last command was and what the modem last answered (a line, or that
    // nothing came), so that a failed start-up can say it.
    std::string last_command;
    std::string last_reply;
    std::string startup_failure;         // set when the start-up failed: command and answer
    std::atomic<bool> answering{false};  // the last reply line came in time
    std::atomic<int> signal_level{-1};   // last +CSQ level, -1 unknown
    std::atomic<int> reg_state{GSM_REG_NONE};
    std::atomic<bool> was_up{false};  // up() when gsm_note_state last looked
    // Held by gsm_note_state from its look at up() until the watcher is told, so that a
    // change seen by one thread is told before another's gsm_note_state returns.
    std::mutex note_lock;
    std::jthread watcher;  // stopped through its stop token (gsm_watch_stop)
    std::mutex watch_lock;
    std::condition_variable_any watch_wake;
    int startup_code = 0;
    // ---- the device going and coming back, and resets (sms_gsm_device.cpp) ----
    // Failed too often in a row (the router says): the reset command, then the modem is
    // set up again; returns once it is, or after reset_wait_ms.
    void reset_after_failures() override;
    gsm_init init;                          // the start-up's settings, to start again with
    std::string reset_command = "AT+CFUN=1,1";  // "" sets the modem up again only
    std::atomic<int> device{GSM_DEVICE_OK};     // GSM_DEVICE_*
    // Why the device is not GSM_DEVICE_OK, for state_text() and send errors; the device
    // the path led to at the last open. Guarded by device_lock.
    mutable std::mutex device_lock;
    std::string device_why;
    std::string device_path;
    std::chrono::steady_clock::time_point restart_after;  // under device_lock: no "AT" before
    int restart_failures = 0;  // set-ups that failed since the device was lost; watcher only
    bool watch_poke = false;   // guarded by watch_lock: the watcher's next round is now
    long reopen_ms = GSM_REOPEN_MS;
    long reset_settle_ms = GSM_RESET_SETTLE_MS;
    long reset_wait_ms = GSM_RESET_WAIT_MS;
    Receiver rx;
};

// Starts the driver (sms_gsm_init's work): the state, also after a failed start-up (its
// port closed and its reader stopped), with the start-up code in errcode.
std::unique_ptr<sms_data_gsm> gsm_open(const gsm_init& init, int& errcode);

// One stored or received message.
struct gsm_sms : sms_message {
    std::string memory;  // memory named by +CMTI; empty for listed messages
    int index = 0;       // position in modem memory
    std::string status;
    std::string phone;  // originating number (destination of a stored submit)
    std::string alpha;
    std::string timestamp;
    int type_of_originating_address = 0;
    int first_octet_of_sms = 0;
    int protocal_identifier = 0;
    int data_coding_sceme = 0;
    int message_reference = 0;
    std::string service_center;
    int type_of_service_center = 0;
    int length = 0;  // body characters to read; after decoding, characters of message
    std::string message;
    bool is_submit = false;   // a stored SMS-SUBMIT (PDU mode)
    bool handed_out = false;  // given to the gateway by wait, its place in `handed`
    bool settled = false;     // accepted or rejected since
};

// ---- the device (sms_gsm_device.cpp) ----
// The device a path leads to now (symbolic links followed, as /dev/serial/by-id/...
// names are): true with it in device, false with why (the path is gone) in why.
bool gsm_resolve_device(const std::string& path, std::string& device, std::string& why);
// Called by the reader thread when a read failed (errno e): the device is lost; the
// watcher is woken to look for it again.
void gsm_device_lost(sms_data_gsm* gsm, int e);
// The watcher's round while the device is not GSM_DEVICE_OK: a lost device is opened
// again, a modem to start again is asked "AT" and set up. True when it is ready again.
bool gsm_recover(sms_data_gsm* gsm);
// Wakes the watcher for a round now.
void gsm_watch_poke(sms_data_gsm* gsm);
// The set-up dialogue after the port is open and the reader runs (sms_gsm.cpp): echo,
// errors, bearer, PIN, message service, character set, service centre, mode,
// indications, signal. 1 when the modem is ready.
int gsm_dialogue(sms_data_gsm* gsm, const gsm_init& rec, int& err);

// ---- the codec, as the driver uses it ----
// An SMS-SUBMIT unit as hex text in unit, with the message reference next_reference (then
// advanced); the octet count AT+CMGS needs.
int gsm_codec_encode_pdu(int& next_reference, int dcs, std::string_view to,
                         std::string_view message, std::string& unit);
// A listed or read unit (service-centre part included) into msg; false when it cannot
// be read.
bool gsm_codec_decode_pdu(std::string_view unit, gsm_sms& msg);
// Text for AT+CMGS in text mode (at most max characters, or UCS2 hex).
std::string gsm_codec_to_modem(bool ucs2, bool ext7bit, std::string_view text, std::size_t max);
// Text read from the modem in text mode into single bytes.
std::string gsm_codec_from_modem(bool ucs2, bool ext7bit, std::string_view text, std::size_t max);
// An SMS-SUBMIT unit (hex text) for one part of a split text: DCS 0x00 (packed
// septets) or 0x08 (UCS-2), the header indicator set when the part has a header.
// The octet count AT+CMGS needs; 0 when the destination cannot be coded.
int gsm_codec_encode_part(int reference, std::string_view to, sms_alphabet alphabet,
                          const sms_part& part, std::string& unit);
// A text-mode body as UTF-8: read in the character set of AT+CSCS, or as UCS-2 hex
// when the message's coding says UCS-2 and the body is hex.
std::string gsm_codec_text_body(std::string_view cscs, int dcs, std::string_view body);

// Reads the header fields of a +CMGL line (the text after its first comma, iscmgl)
// or of a +CMGR line (after "+CMGR: ") into msg; 0 (522) when the line ends early.
int gsm_process_message_info(sms_data_gsm* gsm, int& errcode, gsm_sms& msg, std::string_view info,
                             bool iscmgl);

// ---- the modem's state (sms_gsm_status.cpp) ----
// The level of a +CSQ answer (0-31), -1 for 99 (not known) or junk.
int gsm_csq_level(std::string_view line);
// The registration (GSM_REG_*) of a +CREG line: the answer to AT+CREG? ("n,stat") or
// the modem's own notice ("stat"); GSM_REG_NONE for anything else.
int gsm_creg_state(std::string_view line);
// "registered (home)", "not registered (searching)", ... for a GSM_REG_* value.
const char* gsm_registration_name(int reg);
// AT+CSQ and AT+CREG? with lock_com held: the signal level and registration kept in
// the state. 0 when the modem did not answer in time or the write failed (err says).
int gsm_query_signal(sms_data_gsm* gsm, int& err);
int gsm_query_registration(sms_data_gsm* gsm, int& err);
// Logs a change of up() since the last call and tells the state watcher; called with
// no lock of the modem held.
void gsm_note_state(sms_data_gsm* gsm);
// The watcher thread that asks an idle modem for its state every poll_ms.
void gsm_watch_start(sms_data_gsm* gsm);
void gsm_watch_stop(sms_data_gsm* gsm);

// ---- dialogue steps ----
// Reads a reply line (GRL_SKIP_BLANK); 0 on time-out or when it is an error reply
// (errcode then tells which).
int gsm_expect(sms_data_gsm* gsm, int& errcode, std::string& line);
// Reads one more line without looking at it; 0 on time-out.
int gsm_read_ok(sms_data_gsm* gsm, int& errcode);
// Reads one reply line and gives its error code (0 for anything else, 519 on time-out).
int gsm_classify(sms_data_gsm* gsm, int& errcode);

// ---- the line layer ----
void gsm_reader_start(sms_data_gsm* gsm);
// Sets stopping, wakes the reader thread and waits for it to end.
void gsm_reader_stop(sms_data_gsm* gsm);

// Formats at most 999 characters and writes them; a short write sets 520 and gives 0.
int gsm_write(sms_data_gsm* gsm, int& errcode, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
int gsm_write_raw(sms_data_gsm* gsm, int& errcode, std::string_view bytes);
// One line (with its line end, cut to bfsz bytes) or with GRL_RAW exactly bfsz bytes,
// taken out of the buffer within timeout ms. The count, 0 on time-out (519 set unless
// GRL_INCOMING).
int gsm_read_raw(sms_data_gsm* gsm, int& errcode, int type, long timeout, std::string& bf,
                 std::size_t bfsz);
// gsm_read_raw without the line end; with GRL_INCOMING rings are refused and caller
// ids passed over. The length (0 for a blank line), -1 on time-out.
int gsm_read_line(sms_data_gsm* gsm, int& errcode, int type, long timeout, std::string& bf,
                  std::size_t bfsz = GSM_LINE_MAX);
// 1 when the line is an error reply (+CMS ERROR: n and +CME ERROR: n give n + 1, the
// latter also sets iscme; ERROR gives 521); errcode and iscme are cleared first.
int gsm_iserrorx(std::string_view line, int& errcode, int& iscme);
int gsm_iserror(std::string_view line, int& errcode);
// Before a dialogue writes its first command: whole lines in the buffer that no
// dialogue took (a reply that came after its time-out, junk) are dropped, so that
// they are not read as this dialogue's replies. Unsolicited lines stay. A prompt
// left over from an earlier send means the modem is still in text entry: it is ended
// first (gsm_end_text_entry), so that no command is typed into an old message.
void gsm_drop_stale(sms_data_gsm* gsm);
// Waits for the "> " prompt of the AT+CMGS just written: 1 when it came (it is taken
// out of the buffer). 0 when a final answer came instead (its error code; 522 for an
// OK) or nothing within timeout (519). Lines the modem sends on its own before the
// prompt (network registration and the like) are passed over.
int gsm_wait_prompt(sms_data_gsm* gsm, int& errcode, long timeout);
// Leaves text entry after a send went wrong inside it: ESC, then the modem's final
// answer (up to the reply time). 1 when the modem answered.
int gsm_end_text_entry(sms_data_gsm* gsm);
// A line that ends a command: OK, ERROR, +CMS ERROR: n, +CME ERROR: n.
bool gsm_is_final(std::string_view line);
// Hangs up a call: ATH0 and one reply line.
int gsm_clear_ring(sms_data_gsm* gsm, int& errcode);
// A dialogue-log line (with the time stamp in front), when the log is open.
void gsm_log(sms_data_gsm* gsm, const char* format, ...) __attribute__((format(printf, 2, 3)));
// Printable form of modem bytes for log lines (CR, LF and other controls escaped).
std::string gsm_printable(std::string_view bytes, std::size_t max = 200);

}  // namespace tolvane
