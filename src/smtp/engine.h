// The SMTP engine under SmtpServer (server.h) and RelayClient (relay_client.h): the
// listener's dialogue and the relay sender. Nothing outside src/smtp/ uses it but the
// engine's own tests and fuzzing. It is a class of its own (smtp_engine): the listener's
// connections and their mails (smtp_message) and the relay sender's sends.
//
// Listener: a small SMTP server. HELO, or EHLO with the extensions PIPELINING,
// SIZE and 8BITMIME (a MAIL FROM whose SIZE is over max_size is refused). Its
// wait accepts one connection, greets it and hands it to a session worker, which
// runs the server's run_mail for each of its mails (smtp_run_mail drives the
// dialogue through the message operations and asks the SessionPolicy between
// them); each operation reads the client only as far as it needs and sends the
// reply owed for the previous command first:
//   fromip -> recv (HELO, MAIL FROM) -> to ... to (null once DATA arrived)
//   -> from -> body (354, data, MIME parsing) -> accept 250 / reject 500 -> released.
// The message data stays in memory up to spool_over bytes; a larger mail goes
// to a spool file "<workpath>/%05d%05d.msg" that lives until the message is
// freed. Each connection is run by a session thread of the engine's own
// (up to one per allowed session); a client sending several mails over one
// connection (RSET, or a new MAIL FROM after a completed mail) has each further
// mail handed to a new message on the same thread.
//
// Relay sender: its send mails one plain-text message (quoted-printable
// body) through the configured server, on a channel of its own per call, or
// (relay_keep) on a connection kept open between mails: RSET before each
// further mail, a new connection when that fails.
//
// Ownership: the engine (smtp_engine) belongs to whoever opened it; a message and
// its connection belong to the thread handling it. The engine reads its client
// through an smtp_link, so that it can be driven from a socket or from a byte
// buffer (tests and fuzzing).
//
// Encryption: STARTTLS (the session starts afresh once it is encrypted, input the
// client sent behind the command is dropped) and implicit TLS on a port of its own; the
// handshake runs on the session's thread within the client's read time limit. The relay
// sender uses STARTTLS when offered, or insists on it, checking the relay's certificate.
//
// Limits: command lines are cut at 999 characters (the rest of the line is
// skipped); data lines are stored whole; message data beyond max_size bytes
// is not stored and the mail is refused with 552 at its end, and a mail whose data
// could not be written whole is refused with "452 Insufficient system storage". A
// client silent for the read time limit (10 s) loses the connection. At most
// max_sessions clients are connected at once (the next one is told "421 Too many
// connections, try again later"), a mail has at most max_recipients recipients
// ("452 Too many recipients" beyond), and a connection is closed with "421 Too many
// errors" at its 21st refused or unknown command.
#pragma once

#include <atomic>
#include <cstdio>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "foundation/auth_guard.h"
#include "foundation/result.h"
#include "foundation/thread.h"
#include "foundation/tracefile.h"
#include "mail/mail_headers.h"
#include "mail/mail_qp.h"

namespace tolvane {

class CHAN;
class MysslSetup;
class smtp_listener;
struct smtp_relay_pool;
struct smtp_session_pool;
class SessionPolicy;  // smtp/server.h

// Dialogue states (smtp_message::upto).
enum smtp_mode : int {
    MODE_HELO = 0,
    MODE_FROM = 1,
    MODE_TO = 2,
    MODE_DATA = 3,
    MODE_MESSAGE_BODY = 4,
    MODE_NEXT_MSG = 5
};

// Where the dialogue engine stops reading.
enum smtp_stop : int { STOP_NOT = 0, STOP_ON_FROM = 1, STOP_ON_TO = 2 };

// Where a mail's run stands for its policy (server.cpp), so that a suspended mail goes on
// from there: waiting for its MAIL, taking its recipients, or waiting after its reply (the
// transaction is over; the next MAIL or QUIT is awaited).
enum smtp_stage : int { STAGE_MAIL = 0, STAGE_RCPT = 1, STAGE_AFTER = 2 };

// Result codes (the engine's error() gives the texts).
enum smtp_result : int {
    SMTP_OK = 0,
    SMTP_ECONNECT = 1,  // "Failed to connect to the sending SMTP server"
    SMTP_ELISTEN = 2,   // "Error while listening for connections (%s)"
    SMTP_EREAD = 3,     // "Error reading from the socket"
    SMTP_EWRITE = 4,    // "Error writing to the socket"
    SMTP_ECLOSED = 5,   // "Socket was closed"
    SMTP_EREPLY = 6,    // "Un-expected reply from SMTP server"
    SMTP_ESPOOL = 7,    // spool file creation failed ("Unknown Error Code")
    SMTP_ETOOBIG = 8,   // "Message size exceeds fixed maximum message size"
    SMTP_ECUT = 9,      // a relay send cut by a shutdown (RelayClient; the engine says -2)
    // The dialogue stopped to wait for the client's next command without a thread (the
    // message is `suspended`; its session parks the connection and runs it again later).
    SMTP_SUSPENDED = 10,
};

// Read time limit for a client of the listener.
inline constexpr int SMTP_CLIENT_TIMEOUT = 10000;
// Message data stored per mail unless the driver is given another size; beyond it
// the mail is refused.
inline constexpr long SMTP_MAX_DATA = 10L * 1024 * 1024;

// Whether the listener asks clients to authenticate.
enum smtp_auth_mode : int { SMTP_AUTH_OFF = 0, SMTP_AUTH_OPTIONAL = 1, SMTP_AUTH_REQUIRED = 2 };

// Encryption on the listener: none; STARTTLS offered on the mail port; or STARTTLS there
// and implicit TLS (the whole connection encrypted from its first byte) on tls_port.
enum smtp_tls_mode : int { SMTP_TLS_NONE = 0, SMTP_TLS_STARTTLS = 1, SMTP_TLS_WRAPPER = 2 };
// Encryption toward the relay: STARTTLS when offered, always (the mail is not sent
// otherwise), or never.
enum smtp_out_tls_mode : int {
    SMTP_OUT_TLS_MAY = 0,
    SMTP_OUT_TLS_REQUIRE = 1,
    SMTP_OUT_TLS_NONE = 2
};

// Initialisation record. Texts left empty mean "not given".
struct smtp_init {
    std::string sendhost;  // relay server, may carry ":port"
    std::string greeting;  // text after "220 "; empty: the host name
    std::string smtplog;   // dialogue log file; empty: no log
    std::string workpath;  // spool directory (made, mode 0700, when missing)
    std::string todom;     // domain for relay recipients without "@"
    std::string fromdom;   // domain for relay senders without "@"
    int listenport = 0;    // 0: no listener; negative: a free port chosen by the system
    int sendport = 25;
    std::string bind;                 // listen address; empty: all addresses
    std::vector<std::string> listen;  // further listen addresses (IPv4 or IPv6), after bind
    long max_size = SMTP_MAX_DATA;    // message data accepted per mail (SIZE)
    int auth = SMTP_AUTH_OFF;         // smtp_auth_mode
    std::string outuser;              // account at the relay server; empty: no AUTH
    std::string outpass;
    bool auth_plaintext = false;  // AUTH offered without an encrypted connection
    std::string users_file;       // "name:hash" lines ("$y$..." or the old "{ssha}...")
    int max_sessions = 500;       // clients connected at once; 0: no limit
    int max_recipients = 100;     // recipients of one mail; 0: no limit
    long spool_over = 0;          // mails up to this many bytes stay in memory; 0: all spooled
    bool relay_keep = false;      // the relay sender keeps its connection between mails
    int client_timeout = SMTP_CLIENT_TIMEOUT;  // ms a client of the listener may stay silent
    int relay_timeout = 0;                     // ms per relay reply; 0: the channel's default
    int relay_connect_timeout = 0;             // ms for the relay connect; 0: the system's
    int tls = SMTP_TLS_NONE;                   // smtp_tls_mode
    int tls_port = 0;                          // implicit-TLS port (wrapper); negative: a free port
    std::string tls_key;             // full paths of the listener's key and certificate (made when
    std::string tls_cert;            // missing)
    int out_tls = SMTP_OUT_TLS_MAY;  // smtp_out_tls_mode
    bool out_tls_verify = true;      // the relay's certificate must verify, for its name
};

// Header copy carried to the relay sender.
struct smtp_message_extra {
    mail_headers headers;
};

// The byte stream under a client dialogue.
class smtp_link {
  public:
    virtual ~smtp_link() = default;
    // Up to len bytes within ms: count > 0, 0 closed or failed, -2 time-out.
    virtual int read(char* buf, int len, int ms) = 0;
    // Sends all of data; false on failure.
    virtual bool write(std::string_view data) = 0;
    // Socket number for the dialogue log.
    virtual int sockno() const = 0;
    // The descriptor a wait for the client's next bytes can watch (-1: none; such a link is
    // never parked between commands).
    virtual int wait_fd() const { return -1; }
    // Whether bytes of the client are held above the descriptor (a read buffer, TLS
    // records already decrypted), which a wait on the descriptor would not see.
    virtual bool buffered() const { return false; }
    // Peer address text; false when it cannot be had.
    virtual bool peer(std::string& ip, int& port) = 0;
    // Switches the stream to TLS (server side) and completes the handshake within ms;
    // fails with the reason (the link is then unusable).
    virtual Status start_tls(int ms) {
        (void)ms;
        return Error{0, "TLS is not available on this connection"};
    }
};

// A client connection: buffered line reader and reply writer over a link.
class smtp_conn;

class smtp_engine;

// One received mail (one per accepted connection, or per hand-over).
class smtp_message {
  public:
    smtp_message() = default;
    ~smtp_message();  // closes the connection, deletes the spool file

    std::string message;              // the chosen text, at most 999 characters
    std::optional<std::string> from;  // envelope sender, without angle brackets
    std::optional<std::string> ip;    // client IP text, filled on first request
    std::string name;                 // the name given in HELO
    std::string file;                 // spool file path, empty until DATA
    int upto = MODE_HELO;
    int gotheaders = 0;  // header lines were parsed from the spool file
    int needreply = 0;   // the last command read is not answered yet
    mail_headers headers;
    std::deque<std::string> to;  // envelope recipients, newest first
    std::unique_ptr<smtp_conn> sock;

    // Beyond the fields of the dialogue:
    smtp_engine* drv = nullptr;
    int parsed = 0;                      // the data ended and the spool file was parsed
    int oversize = 0;                    // the data exceeded max_size (refused with 552)
    int spool_error = 0;                 // writing the spool file failed (refused with 452)
    int refused_rcpts = 0;               // recipients of this mail refused by the gateway
    long data_bytes = 0;                 // bytes of data stored
    bool in_memory = false;              // the data is held in mem, not in a spool file
    std::string mem;                     // the data while it is held in memory
    const std::string* added = nullptr;  // recipient added by the last engine run
    // The connection's next mail, once this one handed the connection on (RSET, a new
    // HELO, or the next MAIL after a finished mail); the session runs it next.
    std::unique_ptr<smtp_message> next;
    // The dialogue may stop where it would wait for the client's next command (before
    // MAIL, between recipients, after the mail's reply) when nothing of the client's is
    // held above the socket (may_suspend, set by the session when it can park the
    // connection): it then returns SMTP_SUSPENDED with `suspended` set, and is run again
    // once the client speaks.
    bool may_suspend = false;
    bool suspended = false;
    // Where the mail's run stands (smtp_stage), and the recipients its policy accepted so
    // far: a mail suspended while taking recipients goes on with them.
    int stage = STAGE_MAIL;
    std::vector<std::string> accepted;
    // Sessions waiting for a worker with none idle to take them (the session pool's count;
    // null: none kept).
    // While some wait, the dialogue stops at once instead of first giving its client a
    // moment: a burst of silent clients then holds few workers.
    const std::atomic<int>* backlog = nullptr;
    // The policy of this mail transaction, kept while the dialogue is suspended, and
    // whether its connect stage has been asked (server.cpp).
    std::shared_ptr<SessionPolicy> policy;
    bool connect_asked = false;
    // The policy the dialogue tells of an accepted HELO/EHLO and a successful AUTH as they
    // happen; set by smtp_run_mail while it runs the mail (null: nobody is told).
    SessionPolicy* hooks = nullptr;
    struct spool_file;
    std::unique_ptr<spool_file> f;
};

// The engine: the listener and its sessions, and the relay sender.
class smtp_engine {
  public:
    smtp_engine() = default;
    ~smtp_engine();
    smtp_engine(const smtp_engine&) = delete;
    smtp_engine& operator=(const smtp_engine&) = delete;

    // Mails one message through the relay: 0 when the relay took it, else a result code
    // (SMTP_ECUT after cut_sends: whether the relay took it is then unknown). On
    // SMTP_EREPLY, failure (when given) gets the step and the server's reply ("RCPT: 550
    // no such user").
    int send(const smtp_message_extra* extra, std::string_view from, std::string_view to,
             std::string_view text, std::string* failure = nullptr);
    // Waits up to timeout_msec (-1: until a connection or interrupt()) for one connection
    // and greets it: handed to a session worker when run_mail is set (null comes back),
    // else returned to the caller. errcode is left as it is (failures are logged).
    std::unique_ptr<smtp_message> wait(int timeout_msec, int& errcode);
    // The text for a result code in bf (left as it is for SMTP_OK).
    void error(int err, std::string& bf) const;

    // ---- the message steps (the server drives a mail through them) ----
    int msg_recv(smtp_message* m);
    const char* msg_fromip(smtp_message* m);
    const char* msg_from(smtp_message* m);
    const char* msg_to(smtp_message* m);
    // Null when the data could not be had: dialogue failure, no data, or a mail
    // refused for its size or a spool write failure (no SMS may be made from it).
    const char* msg_body(smtp_message* m);
    int msg_reject(smtp_message* m, int code, const char* reason);
    int msg_accept(smtp_message* m, int code, const char* reason);
    // Ends the listener's wait in progress (or its next one) at once.
    void interrupt();
    // The relay connections in use are shut down: their sends, and every later one,
    // return SMTP_ECUT (a shutdown past its wait).
    void cut_sends(bool hard);

    std::string host;      // this machine's name, in HELO and its reply
    std::string sendhost;  // relay server
    std::string greeting;
    std::string workpath;
    std::string todom;
    std::string fromdom;
    std::unique_ptr<MUTEX> filelock;  // "SMTP_FILE_LOCK"
    int sendport = 25;
    std::unique_ptr<smtp_listener> listener;  // null when no listener
    std::string listen_error;                 // why listening failed
    std::shared_ptr<TraceFile> flog;          // dialogue log, null when off
    int client_timeout = SMTP_CLIENT_TIMEOUT;
    int relay_timeout = 0;
    int relay_connect_timeout = 0;
    int listen_port = 0;  // bound port of the listener, 0 without one
    int max_sessions = 500;
    int max_recipients = 100;
    long spool_over = 0;
    bool relay_keep = false;
    long max_size = SMTP_MAX_DATA;
    int auth = SMTP_AUTH_OFF;
    bool auth_plaintext = false;
    std::map<std::string, std::string> users;  // name -> "$y$..." or "{ssha}..."
    std::mutex users_lock;                     // guards users once sessions run
    std::string users_file;            // where an old "{ssha}" entry is rewritten at its next login
    int auth_fail_delay_ms = 1000;     // what a failed AUTH costs the client (on its connection)
    AuthGuard* guard = &auth_guard();  // failed logins of every channel
    std::string outuser, outpass;      // the relay account
    int tls = SMTP_TLS_NONE;
    int tls_port = 0;                             // bound implicit-TLS port, 0 without one
    std::shared_ptr<const MysslSetup> tls_setup;  // the listener's TLS; null: none offered
    int out_tls = SMTP_OUT_TLS_MAY;
    bool out_tls_verify = true;
    std::shared_ptr<const MysslSetup> out_tls_setup;  // the relay sender's TLS client
    // Idle connections of the relay sender (relay_send.cpp).
    std::shared_ptr<smtp_relay_pool> relay_pool;
    // The sockets of relay sends in progress and whether a cut came.
    std::mutex relay_cut_lock;
    std::vector<int> relay_socks;  // guarded by relay_cut_lock
    bool relay_cut = false;        // guarded by relay_cut_lock
    // Threads that run the sessions (session_pool.cpp).
    std::shared_ptr<smtp_session_pool> session_pool;
    // Open client connections; shared with each connection, which gives its place back
    // when it closes, whenever that is.
    std::shared_ptr<std::atomic<int>> sessions = std::make_shared<std::atomic<int>>(0);

    // Where a hand-over sends the connection's next message. Unset: the message's own
    // `next`, which its session runs after it. Tests and fuzzing keep them instead.
    std::function<void(std::unique_ptr<smtp_message>)> handoff;
    // Runs the mail m of a connection on its session worker (the server's dialogue with
    // its policy), releases it and leaves in m the connection's next mail (null when the
    // connection ended). Unset: wait() returns each greeted connection to its caller.
    std::function<void(std::unique_ptr<smtp_message>& m)> run_mail;
    // Sessions queued or running on the workers.
    std::atomic<int> sessions_busy{0};
};

// Opens the listener (when a port is given) and prepares the relay sender; on a
// failure the engine comes back with the code (SMTP_ELISTEN).
std::unique_ptr<smtp_engine> smtp_engine_open(const smtp_init& init, int& errcode);
// The text for err of d in bf (at most 999 characters; "No Error Reported" for 0, a
// parameter error for a null engine or -1); returns bf.
const std::string& smtp_error(const smtp_engine* d, int err, std::string& bf);

// A copy of a received mail's headers (empty for null).
std::unique_ptr<smtp_message_extra> smtp_message_extra_of(const smtp_message* m);
// The bound port of the engine's listener (0 without one, or for null).
int smtp_engine_port(const smtp_engine* d);

// ---- the dialogue engine, for tests and fuzzing ----
// A message in state upto reading from link (as the engine's wait makes them, but
// without a greeting).
std::unique_ptr<smtp_message> smtp_message_new(smtp_engine* drv, std::unique_ptr<smtp_link> link,
                                               int upto = MODE_HELO);
// A link over a byte buffer: reads come from input in pieces of at most chunk
// bytes, then it reports closed; writes are kept in output.
std::unique_ptr<smtp_link> smtp_memory_link(std::string input, std::string* output,
                                            int chunk = 4096);
// Runs the engine: 0 or a result code.
int process_message(smtp_message& m, int stop_on);

}  // namespace tolvane
