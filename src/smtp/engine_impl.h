// Internals shared by the files of the SMTP engine (src/smtp/); not for other modules.
//
// smtp_conn is the client connection of the listener: a line reader with a
// buffer of its own over an smtp_link (one read call for many lines, lines
// handed out as views into the buffer), and a reply writer that holds replies
// back while the client's next commands are already buffered (pipelining) and
// sends them before it would wait for more input.
#pragma once

#include <poll.h>

#include <atomic>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/metrics.h"
#include "smtp/engine.h"

namespace tolvane {

// Sessions open on the listeners of the process, for the metrics.
inline MetricGauge& smtp_sessions_gauge() {
    static MetricGauge& g = metrics().gauge(METRIC_SMTP_SESSIONS_OPEN, "SMTP sessions open");
    return g;
}

class smtp_conn {
  public:
    smtp_conn(std::unique_ptr<smtp_link> l, int timeout_ms);
    ~smtp_conn();  // sends what is held, then drops the link

    // The next line, or a piece of a line longer than the buffer (more set; the
    // following pieces come next). Trailing CRs are removed from the line's end and
    // NUL bytes become spaces. The view is valid until the next call.
    // 1 line; 0 read failed (closed, error or time-out); -1 a held reply could not be sent.
    int next(std::string_view& piece, bool& more);
    // Queues one reply line (CR LF is added); sent at once unless client input is
    // already waiting. False when sending failed.
    bool reply(std::string_view text);
    bool flush();
    // Waits ms (what a failed AUTH costs), taking in what the client sends meanwhile for
    // next(); ends at once when the client goes or the link fails, so that a client that
    // gave up holds no session thread.
    void pause(int ms);
    // A line that the next read returns before anything from the link.
    void push_line(std::string line);
    // Drops every byte read but not yet handed out (and a pushed line); returns how many.
    // The switch to TLS must not carry plain-text input over into the encrypted session.
    std::size_t discard_input();
    // Whether the client's next bytes can only come from the descriptor: nothing of its
    // input is held here or in the link, so a session may wait for it without a thread.
    bool input_drained() const;
    // Lets go of the read buffer while nothing is in it (a parked session holds no buffer;
    // the next read takes a new one).
    void release_buffer();
    int sockno() const;
    bool peer(std::string& ip, int& port);

    std::unique_ptr<smtp_link> link;
    int timeout_ms;
    std::string line;  // scratch for a command line
    // Refused and unknown commands so far on this connection (all its mails).
    int errors = 0;
    std::string user;  // the name the client authenticated as; empty before
    bool tls = false;  // the connection is encrypted
    // A connection to the implicit-TLS port: the handshake and then this greeting are
    // owed before the dialogue, on the session's own thread.
    bool wrap_pending = false;
    std::string wrap_greeting;
    // The greeting the listener sent, not yet in the trace: the session's thread traces it
    // first, among its own held lines.
    std::string greeting_untraced;
    // The listener's count of open sessions, given back when the connection goes.
    std::shared_ptr<std::atomic<int>> session_count;

  private:
    std::vector<char> buf_;
    std::size_t at_ = 0, len_ = 0;
    std::string out_;
    std::string pending_;
    bool has_pending_ = false;
    bool write_failed_ = false;
};

// Listening sockets of the listener (see sms_smtp_listen.cpp).
inline constexpr std::size_t SMTP_LISTEN_MAX = 16;
class smtp_listener {
  public:
    smtp_listener() = default;
    ~smtp_listener();
    smtp_listener(const smtp_listener&) = delete;
    smtp_listener& operator=(const smtp_listener&) = delete;

    // Binds every address (IPv4 or IPv6 text; an empty list: every IPv4 address) on port
    // (0: a free port, the same for all). False with the system's reason in err (the
    // address is logged). Called a second time with wrapped set, it adds the implicit-TLS
    // port on the same addresses.
    bool open(const std::vector<std::string>& addresses, int port, std::string& err,
              bool wrapped = false);
    // Waits up to timeout_ms (-1: for ever) for a connection on any address and accepts
    // it: its descriptor, with the client's address and port and the index of the
    // address it came to; -1 on time-out, wake() or a failure (logged).
    int accept_one(int timeout_ms, std::string& ip, int& port, int& listen_index);
    // Ends a wait in accept_one at once (from any thread).
    void wake();
    // Tells a client it is one too many ("421 ...") and closes it.
    static bool refuse_over_cap(int fd);
    int port() const { return port_; }
    int tls_port() const { return tls_port_; }
    // Whether the listening socket at index (as accept_one gives it) speaks implicit TLS.
    bool wrapped(int index) const {
        return index >= 0 && static_cast<std::size_t>(index) < wrapped_.size() && wrapped_[index];
    }
    const std::vector<std::string>& addresses() const { return addresses_; }

  private:
    void report(const char* what, int e);
    // A connection from a listener that poll() found ready in p (every: any listener);
    // -1 when none could be taken.
    int take_one(const std::vector<pollfd>& p, bool every, std::string& ip, int& port,
                 int& listen_index);
    std::vector<int> fds_;
    std::vector<std::string> addresses_;
    std::vector<bool> wrapped_;
    int tls_port_ = 0;
    int spare_ = -1;
    int wake_ = -1;
    int port_ = 0;
    std::size_t next_ = 0;
    // The last wait took a connection: under load more are queued, so the next one tries
    // to take them before it polls.
    bool hot_ = false;
    long failures_ = 0;
    long last_report_ms_ = -1000000;
};

// The refusal of a command beyond the error budget of a session.
inline constexpr int SMTP_MAX_ERRORS = 20;
// Counts one refused or unknown command on m's connection; true when that was one too
// many: "421 Too many errors" has then been sent and the connection closed.
bool smtp_error_budget_spent(smtp_message& m);

// Size of the client line buffer: longer data lines are stored in pieces.
inline constexpr std::size_t SMTP_LINE_BUFFER = 8192;

// The open spool file of a message.
struct smtp_message::spool_file {
    ~spool_file();
    std::FILE* f = nullptr;
    std::vector<char> iobuf;  // stdio buffer, so that data is written in large blocks
};

// Dialogue log (only when d.flog is open); one line "%.15s [%03d] %s".
void smtp_log(const smtp_engine& d, int sockno, const char* fmt, ...)
    __attribute__((format(printf, 3, 4)));
inline bool smtp_logging(const smtp_engine& d) {
    return d.flog != nullptr;
}

// Creates the spool file of m; false with the system's text in err.
bool open_unique(smtp_message& m, std::string& err);
// Starts m's data afresh: in memory, or (spool_over 0) in a new spool file; false with
// the system's text in err when that file cannot be made.
bool spool_start(smtp_message& m, std::string& err);
// Appends one data line (without its LF when more follows); counts and caps the data.
void spool_write(smtp_message& m, std::string_view piece);
// Parses the finished spool file into m.headers and m.message.
void process_message_mime(smtp_message& m);
// Drops m's data: the memory copy, and the spool file closed and deleted.
void spool_remove(smtp_message& m);

// Session workers (session_pool.cpp). smtp_session_start queues a greeted connection
// for a worker that runs the engine's run_mail for each of its mails; false when the
// engine has no run_mail (the caller keeps m). smtp_session_pool_stop ends the idle
// workers.
bool smtp_session_start(smtp_engine& d, std::unique_ptr<smtp_message> m);
void smtp_session_pool_stop(smtp_engine& d);
// Closes the connections waiting for their client's next command ("421"), and makes every
// session close so when its mail in progress ends (a shutdown).
void smtp_session_pool_close_idle(smtp_engine& d);
// Connections waiting for their client without a thread (for tests and metrics).
int smtp_session_parked(const smtp_engine& d);

// Authentication (sms_smtp_auth.cpp). smtp_users_load reads a users file ("name:{ssha}
// digest" lines; others are logged and skipped); false with the system's text in err.
// smtp_auth_offered: whether EHLO lists AUTH. smtp_auth_command runs one AUTH command
// line to its end: 0 go on, -1 the connection ended, 1 AUTH is not offered at all.
bool smtp_users_load(const std::string& path, std::map<std::string, std::string>& users,
                     std::string& err);
bool smtp_auth_offered(const smtp_message& m);
int smtp_auth_command(smtp_message& m, std::string_view line);

// Tell m's policy (m.hooks, when set) of the HELO/EHLO just accepted (with the client's
// name) and of the login that just succeeded (server.cpp).
void smtp_tell_helo(smtp_message& m);
void smtp_tell_auth(smtp_message& m);
// Whether m's transaction is still open (its policy is to be told if it ends now): false
// once the mail was answered or refused and the dialogue waits for the next one.
bool smtp_transaction_open(const smtp_message& m);
// Whether m's mail has begun (MAIL accepted) and is not yet answered.
bool smtp_mail_under_way(const smtp_message& m);

// Hands m's connection to a new message in MODE_FROM; first, when given, is the
// command that new message takes as its first.
void smtp_message_passoff(smtp_message& m, const std::string* first);

// The relay sender's idle connections (sms_smtp_send.cpp).
struct smtp_relay_pool;
std::shared_ptr<smtp_relay_pool> smtp_relay_pool_new();
// Ends the relay sender's idle connections (QUIT, close).
void smtp_relay_close_all(smtp_engine& d);

// A link over a connected channel; tls, when given, is what start_tls encrypts it with
// (server side).
std::unique_ptr<smtp_link> smtp_chan_link(std::unique_ptr<CHAN> c,
                                          std::shared_ptr<const MysslSetup> tls = nullptr);

// STARTTLS on the listener (sms_smtp_tls.cpp): runs the command line to its end: 0 go
// on (the session starts afresh, encrypted), -1 the connection ended. smtp_tls_wrapped
// completes the implicit-TLS start of a connection (handshake, greeting); false when
// the connection ended.
int smtp_starttls_command(smtp_message& m, std::string_view line);
bool smtp_tls_wrapped(smtp_message& m);
// Whether EHLO lists STARTTLS on m's connection.
bool smtp_starttls_offered(const smtp_message& m);
// The relay sender's switch to TLS on c after its STARTTLS was accepted; false with the
// reason.
bool smtp_relay_tls(const smtp_engine& d, CHAN& c, std::string& reason);

}  // namespace tolvane
