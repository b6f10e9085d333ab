// Transport dispatch: one handle type and thirteen operations over five transports.
//
// A transport (GSM modem, SMPP client, XML placeholder, SMTP, robot program) is
// chosen by its mode number, which is the row of a fixed operation table. The
// gateway holds each transport as a `sms` handle made by sms_init and reaches it
// only through the sms_* functions below, which forward to the row's operation
// with the handle's driver state.
//
// Ownership: the handle owns its driver state (an sms_driver subclass of the
// transport). A message (an sms_message subclass) returned by a transport's wait
// is owned by whoever holds its unique_ptr: the wait loop hands it to a thread of
// its own, whose callback owns it from then on and releases it with sms_msg_free
// (the thread releases it itself if the callback did not). Texts returned by the
// message operations belong to the message and stay valid until it is freed.
//
// Limits: this layer takes no locks on transport operations; every transport
// guards its own link. Message threads are detached; sms_free waits a little for
// the ones still running before it releases the handle (see sms_free).
//
//   int err = 0;
//   smtp_init rec;  rec.listenport = 1025;  ...
//   std::unique_ptr<sms> s = sms_init(SMS_SMTP, &rec, &err);
//   if (!s || err) { std::string why; sms_error(s.get(), err, why); ... sms_free(s); }
//   sms_wait(s.get(), 100, incoming_smtp, reader);
#pragma once

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "sms/sms_text.h"

namespace tolvane {

// Transport modes; the number is the row of the operation table. The function
// sms_mode() below hides this name, so the type is spelt `enum sms_mode`.
enum sms_mode : int {
    SMS_GSM = 0,
    SMS_SMPP = 1,
    SMS_XML = 2,
    SMS_SMTP = 3,
    SMS_ROBOT = 4,
    SMS_NONE = 5
};
inline constexpr int SMS_MODES = 5;  // rows of the table

// Callback events.
enum sms_state : int { SMS_WAITING = 0, SMS_INCOMING = 1, SMS_ERRORCODE = 2 };

// A transport's own state (its driver object). Each transport derives from it.
class sms_driver {
  public:
    virtual ~sms_driver() = default;
};

// One received message of a transport. Each transport derives from it.
class sms_message {
  public:
    virtual ~sms_message() = default;

    // Set by the transport when the message is one part of a long SMS (from its
    // user-data header or the SMS centre's sar_* parameters); the SMS-to-mail path
    // then holds it until its set is complete. Left all 0 for a whole SMS.
    sms_concat concat;
};

// Base of the initialisation records; each transport takes its own kind
// (gsm_init, smpp_init below; robot_init in sms_robot.h; smtp_init in
// sms_smtp.h). Records are borrowed for the duration of sms_init only.
struct sms_init_record {
    virtual ~sms_init_record() = default;
};

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
struct gsm_init : sms_init_record {
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
};

struct smpp_init : sms_init_record {
    std::string host;
    std::string id;    // system_id
    std::string pass;  // password
    std::string type;  // system_type
    std::string addr_range;
    int port = 0;
    int addr_ton = 0;
    int addr_npi = 0;
};

// Extra headers handed to the SMTP transport's send (sms_smtp.h); other
// transports ignore them.
struct smtp_message_extra;

struct sms;

// Argument of a callback event.
struct sms_cb_arg {
    // SMS_INCOMING: the message. The callback owns it: it releases it with
    // sms_msg_free (or moves it out); whatever is left is released after the
    // callback returns.
    std::unique_ptr<sms_message>* msg = nullptr;
    // SMS_ERRORCODE: the transport's error code.
    int* err = nullptr;
};

// cb(handle, event, arg, cb_data).
//   SMS_WAITING   (wait brought nothing): 0 ends sms_wait; else go on after a pause.
//   SMS_INCOMING  (on a new thread): result ignored.
//   SMS_ERRORCODE (wait reported an error): 0 ends sms_wait with that code; else
//                 the code is cleared and waiting goes on at once.
using sms_callback = int (*)(sms* s, int event, const sms_cb_arg& arg, void* cb_data);

// One row of the operation table.
struct sms_mode_fn_pointers {
    std::unique_ptr<sms_driver> (*initfn)(sms* owner, const sms_init_record* init, int& errcode);
    void (*freefn)(std::unique_ptr<sms_driver>& state);
    int (*recvfn)(sms_driver* state, sms_message* msg);
    int (*sendfn)(sms_driver* state, const smtp_message_extra* data, std::string_view from,
                  std::string_view to, std::string_view message);
    std::unique_ptr<sms_message> (*waitfn)(sms_driver* state, int timeout_msec, int& errcode);
    void (*errorfn)(sms_driver* state, int err, std::string& bf);
    const char* (*fromipfn)(sms_driver* state, sms_message* msg);
    const char* (*fromfn)(sms_driver* state, sms_message* msg);
    const char* (*tofn)(sms_driver* state, sms_message* msg);
    const char* (*bodyfn)(sms_driver* state, sms_message* msg);
    int (*rejectfn)(sms_driver* state, sms_message* msg, int code, const char* reason);
    int (*acceptfn)(sms_driver* state, sms_message* msg, int code, const char* reason);
    void (*msgfreefn)(sms_driver* state, std::unique_ptr<sms_message>& msg);
};

// The row for a mode, null for SMS_NONE and beyond.
const sms_mode_fn_pointers* sms_row(int mode);
// "GSM modem", "SMPP", "XML", "SMTP", "robot"; "none" beyond.
const char* sms_mode_name(int mode);
// False for the rows whose transport is not part of this build (they refuse sms_init).
bool sms_mode_built(int mode);

// The transport handle.
struct sms {
    sms_callback cb = nullptr;         // set by sms_wait
    std::unique_ptr<sms_driver> data;  // the transport state
    void* cb_data = nullptr;           // the callback's own argument, set by sms_wait
    int mode = SMS_GSM;
    const sms_mode_fn_pointers* fns = nullptr;  // the row of mode (or a test's own row)

    // Pause after an idle tick of sms_wait (tests shorten it).
    long idle_pause_ms = 1000;

    // Message threads still running on this handle.
    std::mutex busy_lock;
    std::condition_variable busy_changed;
    int busy = 0;
};

// Null for mode SMS_NONE or beyond (nothing is called), or when the transport
// gives no state. errcode (optional) is set to 0 first; a transport that fails
// may still give a state with a non-zero code: test both, report the code with
// sms_error and release the handle with sms_free.
std::unique_ptr<sms> sms_init(int mode, const sms_init_record* data, int* errcode = nullptr);
// As sms_init over a row of the caller's own (tests drive the layer with scripted rows).
std::unique_ptr<sms> sms_init_row(const sms_mode_fn_pointers* row, int mode,
                                  const sms_init_record* data, int* errcode = nullptr);
// Releases the transport state and the handle and nulls the pointer. Waits up to
// SMS_FREE_WAIT_MS for message threads still running on the handle; if some are
// still running then, the handle is left to them (logged, never freed) so that
// they do not run on freed memory.
inline constexpr long SMS_FREE_WAIT_MS = 3000;
void sms_free(std::unique_ptr<sms>& s);
int sms_mode(const sms* s);  // 0 for a null handle

// 0 when handed over, else the transport's code for sms_error; -1 for a null handle.
int sms_send(sms* s, const smtp_message_extra* data, std::string_view from, std::string_view to,
             std::string_view message);

// The receiving loop: -1 for a null handle or callback, else the code that ended it
// (0 when the callback ended it on an idle tick).
int sms_wait(sms* s, int timeout_msec, sms_callback cb, void* cb_data);
// Runs the callback with SMS_INCOMING for msg on a new detached thread. 1 when the
// thread was started; 0 when it could not be (the message is then released).
int sms_wait_incoming(sms* s, std::unique_ptr<sms_message> msg);
// Message threads currently running on the handle.
int sms_busy(sms* s);

int sms_msg_recv(sms* s, sms_message* msg);  // -1 for a null handle or message
int sms_msg_accept(sms* s, sms_message* msg, int code, const char* reason);
int sms_msg_reject(sms* s, sms_message* msg, int code, const char* reason);
// Null for a null handle or message.
const char* sms_msg_fromip(sms* s, sms_message* msg);
const char* sms_msg_from(sms* s, sms_message* msg);
const char* sms_msg_to(sms* s, sms_message* msg);
const char* sms_msg_body(sms* s, sms_message* msg);
void sms_msg_free(sms* s, std::unique_ptr<sms_message>& msg);

// The text for err (at most 999 characters) in bf; returns bf.
const std::string& sms_error(sms* s, int err, std::string& bf);

}  // namespace tolvane
