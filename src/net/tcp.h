// TCP channels: every connection and listener of the gateway.
//
// A CHAN is one stream socket (an IPv4 or IPv6 listener and its accepted connections,
// or an outgoing IPv4 connection)
// with its own input buffer for line reading, its last error, and an optional
// stream layer (ChanStream, implemented by the SSL layer) that all reads,
// writes and the close go through once it is attached. Time limits are in
// milliseconds; reads give -2 on a time-out. Waiting is done with poll(), so
// any descriptor number works. Writes never raise SIGPIPE.
//
// Stopping: every wait (read, write, connect, accept, the line reader, the TLS layer's)
// waits for its whole limit in one poll that also watches the stop, so a stop ends it at
// once: tcp_set_exit(1) for every channel of the process, tcp_close_now(c) for one. The
// channel is then closed, and the call fails as if the peer had gone.
//
// Ownership: the caller owns each channel through a std::unique_ptr<CHAN>;
// the destructor closes the socket (as tcp_close_nice), so dropping the
// pointer is always safe. A channel belongs to one thread at a time; the only
// call another thread may make on it is tcp_close_now. Failures are recorded in the
// channel (xerrno, erradd; tcp_error turns them into text) and reported
// through the sink given to tcp_init (emsg by default).
//
// Limits: tcp_readline delivers at most len-1 characters of a line and skips
// the rest of a longer line, so one line sent is always one line read; NUL
// bytes in a delivered line become spaces (or 'N' with fixnulls set on
// arrival). A line unfinished when the peer closes is lost.
//
//   tcp_init();                                   // once, at start-up
//   std::unique_ptr<CHAN> lsn;
//   if (!tcp_listen(lsn, 0, "127.0.0.1", 1)) emsg("%s", tcp_error(lsn.get()).c_str());
//   int port = 0;
//   tcp_getport(lsn.get(), port);
//   if (tcp_waitfor(lsn.get(), 1000)) {
//       std::unique_ptr<CHAN> c;
//       if (tcp_accept(lsn.get(), c)) {
//           tcp_set_read_timeout(c.get(), 10000);
//           tcp_printf(c.get(), "220 %s\r\n", "hello");
//           std::string line;
//           while (tcp_readline(c.get(), line, 1000)) { ... }
//       }
//   }                                             // c closed here
//
//   std::unique_ptr<CHAN> out;
//   if (!tcp_open_x(out, "mail.example.org:2525", 25, nullptr, 30000))
//       emsg("connect: %s (%s)", tcp_error(out.get()).c_str(), out->erradd.c_str());
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "foundation/result.h"
#include "foundation/srcloc.h"

namespace tolvane {

class CHAN;
using Chan = CHAN;

// The seam for an encrypted stream (the SSL layer implements it). Once attached to a
// channel (CHAN::ssl), every read, write and the close go through it. Results follow the
// TCP layer's convention: >0 bytes, 0 failed or closed, -1 would block (only on a channel
// in non-blocking mode).
class ChanStream {
  public:
    virtual ~ChanStream() = default;
    virtual int read(CHAN& c, char* buf, int len) = 0;
    virtual int write(CHAN& c, const char* data, int len) = 0;
    // True while the last read or write did not complete (the would-block test for the channel).
    virtual bool wouldblock() const = 0;
    // True when decrypted bytes are waiting, so a wait for readability must not block.
    virtual bool pending() const = 0;
    // Orderly shutdown and release; closes the socket (the stream owns it once attached).
    virtual void close(CHAN& c) = 0;
    // Text shown by tcp_error while the stream is attached.
    virtual std::string lastmsg() const = 0;
    // Milliseconds until the stream's own deadline (such as its handshake limit), which a
    // wait for the socket must not pass so that the stream can enforce it; -1 none.
    virtual long wait_limit_ms() const { return -1; }
};

// The SSL layer's entry points. The SSL layer (myssl.h) is installed by default;
// tcp_ssl_hooks replaces it (tests put a stand-in there).
struct TcpSslHooks {
    // One-time set-up with the key and certificate paths (either may be empty); fails with
    // the reason (an earlier set-up that succeeded counts as success).
    std::function<Status(const std::string& key, const std::string& cert)> init;
    // Directory of the key and certificate files.
    std::function<void(const std::string& dir)> setdir;
    // Handshake on c's connected socket; null with a reason on failure. A failed takeover
    // that closed the socket sets c.sk to -1, so the channel does not close it again.
    std::function<std::unique_ptr<ChanStream>(CHAN& c, int isserver, ChanStream* inherit,
                                              std::string& reason)>
        takeover;
};

// Default limits of tcp_readline and tcp_printf (a stop ends them sooner).
inline constexpr int TCP_READ_TIMEOUT = 540000;
inline constexpr int TCP_WRITE_TIMEOUT = 600000;
// Input buffer size: large enough that a busy listener reads many lines per system call.
inline constexpr int TCP_INBUF = 16384;
// xerrno of a failed host name look-up (tcp_error: "Host name lookup failed").
inline constexpr int TCP_ELOOKUP = -2;
inline constexpr int TCP_PRINTF_MAX = 3999;

class CHAN {
  public:
    CHAN();
    ~CHAN();  // tcp_close_nice, then the input buffer goes back to the pool
    CHAN(const CHAN&) = delete;
    CHAN& operator=(const CHAN&) = delete;

    int sk = -1;                      // descriptor, -1 when none
    int never_close = 0;              // the stream layer owns the descriptor
    int id = 88;                      // marker of a live record
    int block = 1;                    // current mode of the socket (1 blocking)
    int noblock = 0;                  // start the next outgoing connect without waiting for it
    std::vector<char> inbf;           // input buffer (from the buffer pool)
    int inupto = 0;                   // read position in inbf
    int inlen = 0;                    // valid bytes in inbf
    std::atomic<int> close_now{0};    // stop this channel: set by tcp_close_now (or by its owner)
    std::atomic<int> wake_sk{-1};     // the socket tcp_close_now shuts down (-1 none)
    std::mutex wake_lock;             // orders tcp_close_now against publishing wake_sk
    // While its owner waits in a blocking receive the channel is on a list that the
    // process-wide stop walks (tcp_pool.cpp), shutting each socket down.
    CHAN* blocked_prev = nullptr;
    CHAN* blocked_next = nullptr;
    int rcv_timeo_ms = 0;             // the socket's receive time-out now (0: none set)
    int xerrno = 0;                   // errno value, 0, or -1 for "closed"
    int lclport = 0;                  // local port for outgoing connections (0 any)
    int write_timeout = 0;            // ms for tcp_printf; <= 0 selects TCP_WRITE_TIMEOUT
    int read_timeout = 0;             // ms for tcp_readline; 0 selects TCP_READ_TIMEOUT
    int lcl_saved = 0;                // local port recorded at accept
    int rmt_saved = 0;                // remote port recorded at accept
    std::unique_ptr<ChanStream> ssl;  // stream layer, null for plain text
    std::string buffer;               // output held while isbuffer is set
    int isbuffer = 0;
    std::string myname;     // local IP text recorded at accept
    std::string theirname;  // remote IP text recorded at accept
    std::string erradd;     // short detail of the last failure
    int done_open = 0;      // a connect wait saw the socket become writable
    int fixnulls = 0;       // NUL bytes arriving for the line reader become 'N'
    long total_sent = 0;
    long total_read = 0;
    int log_read = 0;   // copy reads to the traffic log tcp.log
    int log_write = 0;  // copy writes to the traffic log
    // When set, every write goes here instead of the socket; returns the bytes taken.
    std::function<int(const char* data, int len)> out_fn;
    int mean = 0;      // a timed write that cannot send stops at once
    int in_close = 0;  // set by the first close; reset by a new connection
    int lastcut = 0;   // the last line from tcp_readline was longer than len-1
    // Over-long line being skipped: its first part, delivered when its line feed arrives.
    int inskip = 0;
    std::string skiphead;
};

// ---- set-up ----
// Stores the message sink (null: emsg), sets up the buffer pool and ignores SIGPIPE.
// Safe to call more than once.
void tcp_init(void (*sink)(const char* text) = nullptr);
// Debug echo of every tcp_printf line through the sink.
void tcp_set_debug(int on);
// The process-wide stop: with on set, every wait on every channel (those in progress and
// later ones) ends at once and its channel is closed; 0 clears the stop.
void tcp_set_exit(int on);
int tcp_get_exit();
// Stops one channel from any thread: a wait in progress on it ends at once (its socket is
// shut down), later ones do not start, and the owner's call closes it. c must stay alive
// for the call; the owner still frees it.
void tcp_close_now(CHAN* c);
// The machine's host name (cached after the first call; "127.0.0.1" when unknown),
// at most 100 characters, cut at its first space.
std::string tcp_hostname();

// ---- channel life ----
std::unique_ptr<CHAN> tcp_new();
// Closes (as tcp_close_nice) and frees; 0 for a null channel, else 1.
int tcp_free(std::unique_ptr<CHAN>& c);

// ---- listening and accepting ----
// Connections the kernel completes and holds until they are accepted. A short queue
// (such as 25) overflows when more clients than that arrive at once; the kernel then
// drops their handshakes and they stall for a second or more before trying again.
inline constexpr int TCP_LISTEN_BACKLOG = 1024;
// Makes c (when null) and listens on port (0 picks a free one; see tcp_getport) on bind
// (an IPv4 or IPv6 address, "[::1]" too; every IPv4 address when null or empty; "::" is
// IPv6 only), backlog TCP_LISTEN_BACKLOG. 0 on failure, c kept.
int tcp_listen(std::unique_ptr<CHAN>& c, int port, const char* bind, int reuse);
// 1 when c is readable (or has no socket, or its stream holds bytes); 0 on time-out, stop
// or failure (a stop or a failed wait closes the channel). ms 0 only polls.
int tcp_waitfor(CHAN* c, int ms);
// Accepts one connection into a new channel nc (made even on failure, then with sk -1)
// and records myname, theirname, lcl_saved and rmt_saved. A blocking listener waits for a
// client until a stop, which fails the accept (xerrno ECANCELED) and closes the listener.
int tcp_accept(CHAN* listener, std::unique_ptr<CHAN>& nc);

// ---- connecting ----
// Connects c (made when null; an old connection on it is closed first) to host, where
// "host:port" overrides port; host is a dotted address or a name to look up. bind, when
// given, binds the local end first (falling back to any on failure). ms > 0 limits the
// connect to that many milliseconds ("Connection timed out", erradd "%d sec"); ms 0 waits
// as long as the system does. 1 when connected (or, with noblock set, when started).
int tcp_open_x(std::unique_ptr<CHAN>& c, const char* host, int port, const char* bind, int ms = 0,
               std::source_location loc = std::source_location::current());

// ---- reading ----
// Next line without its line end (LF, or CR LF: one CR dropped) in out, at most len-1
// characters; the rest of a longer line is skipped and lastcut set. 1, or 0 on close,
// error or time-out (read_timeout; erradd "after %d seconds", the channel stays open).
int tcp_readline(CHAN* c, std::string& out, int len);
// One receive of at most len bytes: count, 0 when the peer closed (xerrno -1), <0 error
// (a stop: -1 with xerrno ECANCELED, the channel closed).
int tcp_read(CHAN* c, char* buf, int len);
// At most len bytes within ms: count, 0 closed, failed or stopped (channel closed), -1 no
// socket, -2 time-out (channel open). Bytes held by the line reader come first.
int tcp_read_timed(CHAN* c, char* buf, int len, int ms);
// Gives the channel's input buffer back to the pool while nothing is in it: for a channel
// read only through tcp_read_timed into a buffer of the caller's (the line reader takes a
// new one when it needs it).
void tcp_release_input_buffer(CHAN* c);

// ---- writing ----
// Formats (cut at 3999 characters) and sends all of it within write_timeout; 1 when all was
// sent (empty output sends nothing), else 0 and the channel is closed.
int tcp_printf(CHAN* c, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
// One write (to out_fn, the output buffer, the stream or the socket): count or <= 0.
int tcp_write(CHAN* c, const char* data, int len);
// Writes all len bytes, giving up after ms without progress; returns the bytes sent.
int tcp_write_timed(CHAN* c, const char* data, int len, int ms);
// Output buffering: while on, writes collect in memory; switching off flushes.
int tcp_buffer_set(CHAN* c, int on);
int tcp_buffer_flush(CHAN* c);
int tcp_buffer_add(CHAN* c, const char* data, int len);

// ---- information and errors ----
// Remote IP text (recorded at accept, else asked of the socket); 0 with out empty.
int tcp_getip(CHAN* c, std::string& out);
// Local port of the socket (the bound port of a listener made with port 0).
int tcp_getport(CHAN* c, int& port);
// Text of the channel's last error: "Channel structure is NULL", "Err Code Zero",
// "Connection was closed.", the stream's message, or the system's text.
std::string tcp_error(const CHAN* c);
void tcp_set_read_timeout(CHAN* c, int ms);
int tcp_setblock(CHAN* c, int on);
// 0 when the socket has a real error pending (the channel is closed unless keep).
int tcp_check_open_real(CHAN* c, int keep);
inline int tcp_check_open(CHAN* c) {
    return tcp_check_open_real(c, 0);
}
// Closes a bare descriptor (for the SSL layer when it drops a socket it took over).
void tcp_socket_close(int fd, std::source_location loc = std::source_location::current());

// ---- closing ----
// Orderly close: flush, stream shutdown or socket close; sk becomes -1. Always 1; a second
// close does nothing.
int tcp_close_nice(CHAN* c);

// ---- SSL hooks ----
void tcp_ssl_hooks(TcpSslHooks hooks);
void tcp_ssl_setkey(const std::string& key, const std::string& cert);  // 200 characters each
void tcp_ssl_setdir(const std::string& dir);
// First call sets up the SSL layer (a client call, isserver 0, clears the stored names);
// then, when c is given, hands its socket to the SSL layer for a handshake. Fails with a
// reason ("myssl_init failed.", the handshake's reason, "SSL layer not available").
Status tcp_ssl_init(CHAN* c, int isserver, ChanStream* inherit);

}  // namespace tolvane
