// SSL layer: the stream of one connection (takeover and handshake, reads, writes, close).
//
// The socket under a stream is always driven in non-blocking mode; a channel in blocking
// mode gets blocking behaviour from poll() waits with the layer's time limits, so that no
// call can hang in the kernel on a silent peer. Each wait is whole and also watches the
// stop (tcp_set_exit, tcp_close_now), which ends it at once.
#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "foundation/lib.h"
#include "foundation/log.h"
#include "net/encrypt_lib.h"
#include "net/myssl.h"
#include "net/myssl_internal.h"
#include "net/tcp_internal.h"

namespace tolvane {

namespace {

enum class Cls { RETRY, WANT_READ, FATAL, CLOSED };

// Puts the socket into non-blocking mode for the life of the guard when the channel is in
// blocking mode, and back afterwards.
class NonBlocking {
  public:
    NonBlocking(const CHAN& c, int fd) : fd_(c.block ? fd : -1) { set(1); }
    ~NonBlocking() { set(0); }
    NonBlocking(const NonBlocking&) = delete;
    NonBlocking& operator=(const NonBlocking&) = delete;

  private:
    void set(int on) {
        if (fd_ >= 0) ioctl(fd_, FIONBIO, &on);
    }
    int fd_;
};

int fd_of(const MYSSL& m) {
    return m.ssl ? SSL_get_fd(m.ssl) : -1;
}

// Waits at most ms for the events the last call asked for (a short pause when none), or
// until a stop, which the caller's next check sees.
void wait_io(CHAN& c, const MYSSL& m, int events, long ms) {
    if (ms <= 0) return;
    int fd = fd_of(m);
    if (events == 0 || fd < 0) {
        tcp_wait_or_stop(&c, -1, 0, static_cast<int>(std::min(ms, 20L)));
        return;
    }
    tcp_wait_or_stop(&c, fd, static_cast<short>(events), static_cast<int>(ms));
}

// False when the peer has closed its end (or the socket failed).
bool socket_open(const MYSSL& m) {
    int fd = fd_of(m);
    if (fd < 0) return false;
    char b;
    ssize_t n = ::recv(fd, &b, 1, MSG_PEEK | MSG_DONTWAIT);
    if (n > 0) return true;
    return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR);
}

void debug_say(const std::string& text) {
    if (myssl_debugging()) myssl_info(text);
}

// Turns the result of an SSL call into what to do next; name is "handshake", "read",
// "write" or "close". Keeps the first OpenSSL error text in m.err_text.
Cls classify(MYSSL& m, int rc, const char* name, int& want_read) {
    int sys_errno = errno;
    int e = SSL_get_error(m.ssl, rc);
    unsigned long first = ERR_peek_error();
    m.err_text.clear();
    if (first) {
        char buf[256];
        ERR_error_string_n(first, buf, sizeof buf);
        m.err_text = buf;
    }
    ERR_clear_error();
    m.want = 0;
    std::string rstate = SSL_rstate_string_long(m.ssl);
    switch (e) {
        case SSL_ERROR_NONE:
            myssl_error(strprintf("SSL no errors on %s SSL_ERROR_NONE \r\n", name));
            return Cls::RETRY;
        case SSL_ERROR_SSL:
            myssl_error(strprintf("SSL error on %s SSL_ERROR_SSL  (Handshake failure)\r\n", name));
            return Cls::FATAL;
        case SSL_ERROR_WANT_READ:
            if (!rstate.starts_with("read ")) {
                myssl_error(strprintf("SSL error on %s SSL_ERROR_WANT_READ (%s)\r\n", name,
                                      rstate.c_str()));
            }
            debug_say("SSL, want read (remove when finished debugging)");
            want_read = 1;
            m.want = POLLIN;
            return Cls::WANT_READ;
        case SSL_ERROR_WANT_WRITE:
            if (!rstate.starts_with("read ")) {
                myssl_error(strprintf("SSL error on %s SSL_ERROR_WANT_WRITE (%s)\r\n", name,
                                      rstate.c_str()));
            }
            debug_say("SSL, want write (remove when finished debugging)");
            m.want = POLLOUT;
            return Cls::RETRY;
        case SSL_ERROR_WANT_X509_LOOKUP:
            if (SSL_get_verify_mode(m.ssl) != SSL_VERIFY_NONE) {
                myssl_error(
                    strprintf("SSL error on %s SSL_ERROR_WANT_X509_LOOKUP  SSL_VERIFY_NONE?? "
                              "(i==%d) dropping connection.\r\n",
                              name, rc));
                return Cls::FATAL;
            }
            myssl_error(
                strprintf("SSL error on %s SSL_ERROR_WANT_X509_LOOKUP  (client does not "
                          "have x509 cert?, dropping cert requirement...)\r\n",
                          name));
            SSL_set_verify(m.ssl, SSL_VERIFY_NONE, nullptr);
            return Cls::RETRY;
        case SSL_ERROR_SYSCALL:
            debug_say(strprintf("SSL, SYSCALL error (remove when done) d=%d %s", rc,
                                sys_errno ? system_error(sys_errno).c_str() : "end of file"));
            if (m.err_text.empty()) {
                m.err_text = sys_errno ? system_error(sys_errno) : "the peer closed the connection";
            }
            return Cls::FATAL;
        case SSL_ERROR_ZERO_RETURN:
            myssl_info(strprintf("SSL error on %s SSL_ERROR_ZERO_RETURN\r\n", name));
            return Cls::CLOSED;
        case SSL_ERROR_WANT_CONNECT:
            myssl_error(strprintf("SSL error on %s SSL_ERROR_WANT_CONNECT\r\n", name));
            return Cls::FATAL;
        default:
            myssl_error(
                strprintf("SSL error unknown code %d (this should never happen, right?) "
                          "abandoning socket connection.\r\n",
                          e));
            return Cls::CLOSED;
    }
}

std::string protocol_of(const MYSSL& m) {
    return m.ssl ? SSL_get_version(m.ssl) : "";
}

// One handshake attempt: 1 finished, 0 failed (reason), -1 not yet (m.want says what for).
int handshake_step(CHAN& c, MYSSL& m, std::string& reason) {
    if (m.established) return 1;
    if (m.failed) {
        reason = m.msg;
        return 0;
    }
    long elapsed = tcp_now_ms() - m.started_ms;
    if (elapsed > myssl_handshake_limit()) {
        reason = strprintf("SSL error gave up after %d seconds (%d attempts)",
                           static_cast<int>(elapsed / 1000), m.attempts);
        return 0;
    }
    ++m.attempts;
    ERR_clear_error();
    int rc = SSL_do_handshake(m.ssl);
    if (rc == 1) {
        m.established = true;
        m.want = 0;
        reason = "SSL Accepted Protocol: " + protocol_of(m);
        return 1;
    }
    if (!SSL_is_init_finished(m.ssl) && myssl_debugging()) {
        switch (SSL_want(m.ssl)) {
            case SSL_NOTHING:
                debug_say("SSL communication could not establish encryption.");
                break;
            case SSL_WRITING:
                debug_say("init not finished, ssl want=SSL_WRITING");
                break;
            case SSL_READING:
                debug_say("init not finished, ssl want=SSL_READING");
                break;
            case SSL_X509_LOOKUP:
                debug_say("init not finished, ssl want=SSL_X509_LOOKUP");
                break;
            default:
                break;
        }
    }
    int want_read = 0;
    switch (classify(m, rc, "handshake", want_read)) {
        case Cls::CLOSED:
            if (!socket_open(m)) {
                reason = strprintf("SSL could not start, socket closed (%d)", rc);
                return 0;
            }
            return -1;
        case Cls::FATAL:
            if (long v = SSL_get_verify_result(m.ssl);
                v != X509_V_OK && SSL_get_verify_mode(m.ssl) != SSL_VERIFY_NONE) {
                // The one failure a sysadmin must be able to tell apart: whose certificate
                // and why it was not trusted.
                reason =
                    strprintf("certificate not verified: %s", X509_verify_cert_error_string(v));
                return 0;
            }
            if (!BIO_should_retry(SSL_get_rbio(m.ssl))) {
                reason = strprintf("SSL could not start, unknown reason (%d)(%s)", rc,
                                   m.err_text.empty() ? tcp_error(&c).c_str() : m.err_text.c_str());
                return 0;
            }
            myssl_error(strprintf("SSL error retry attempt %d (BIO_should_retry)", m.attempts));
            return -1;
        default:
            return -1;
    }
}

// A handshake that ran on the first transfer failed: no further transfer is tried.
void handshake_failed(MYSSL& m, const std::string& reason) {
    m.failed = true;
    m.msg = reason;
    m.wb = 0;
    myssl_info(strprintf("SSL failed (%s)", reason.c_str()));
}

// Before another try of a transfer: -1 give back would-block (non-blocking channel), 0 give
// up, 1 go on (after waiting for the socket). Waits in the other direction are done here
// even for a non-blocking channel, because the TCP layer waits only in its own direction.
int before_retry(CHAN& c, MYSSL& m, long started, int own_events, const char* timeout_text) {
    if (!c.block) {
        if (m.want && m.want != own_events) wait_io(c, m, m.want, 50);
        return -1;
    }
    long waited = tcp_now_ms() - started;
    if (waited > MYSSL_BLOCKING_MS) {
        myssl_error(timeout_text);
        m.msg = timeout_text;
        return 0;
    }
    if (tcp_stop_requested(&c)) {
        m.msg = "channel closing";
        return 0;
    }
    wait_io(c, m, m.want, MYSSL_BLOCKING_MS - waited);
    return 1;
}

// Drives a deferred handshake: 1 finished, 0 failed, -1 would block.
int ensure_handshake(CHAN& c, MYSSL& m, long started, int own_events, const char* timeout_text) {
    while (!m.established) {
        std::string reason;
        int r = handshake_step(c, m, reason);
        if (r == 0) {
            handshake_failed(m, reason);
            return 0;
        }
        if (r == 1) {
            dmsg("%s", reason.c_str());
            break;
        }
        int next = before_retry(c, m, started, own_events, timeout_text);
        if (next <= 0) {
            if (next == 0) m.wb = 0;
            return next;
        }
    }
    return 1;
}

// A connection object from the context inherited, the one set up, or the default one;
// null with the reason when there is none.
SSL* new_connection(int isserver, MYSSL* inherit, const MysslSetup* setup, std::string& reason) {
    SSL_CTX* ctx = nullptr;
    bool borrowed = true;
    if (inherit && inherit->ssl) {
        ctx = SSL_get_SSL_CTX(inherit->ssl);
    } else {
        ctx = myssl_context(setup, isserver);
        borrowed = setup != nullptr;
    }
    SSL* ssl = ctx ? SSL_new(ctx) : nullptr;
    if (ctx && !borrowed) SSL_CTX_free(ctx);  // the connection holds its own reference
    if (ssl) return ssl;
    if (!isserver) myssl_error(strprintf("SSL_NEW(CLIENT_CTX) FAILED %p", static_cast<void*>(ctx)));
    while (unsigned long e = ERR_get_error()) {
        char buf[256];
        ERR_error_string_n(e, buf, sizeof buf);
        myssl_error(strprintf("SSL: %lu:%s", e, buf));
    }
    reason = ctx ? "ssl cant on SSL_new call."
                 : "ssl cant on SSL_new call. (no context: the SSL set-up failed)";
    return nullptr;
}

// A client's server name: sent when it is a name, and checked against the certificate
// when one is required. False with the reason when the check cannot be set.
bool set_server_name(SSL* ssl, const char* domain, int require_cert, std::string& reason) {
    in6_addr any{};
    bool literal = inet_pton(AF_INET, domain, &any) == 1 || inet_pton(AF_INET6, domain, &any) == 1;
    // Names only: an address is never sent as a server name.
    if (!literal) SSL_set_tlsext_host_name(ssl, domain);
    int named = 1;
    if (require_cert == 1) {
        named = literal ? X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), domain)
                        : SSL_set1_host(ssl, domain);
    }
    if (named == 1) return true;
    reason = strprintf("ssl cant check the name (%s)", domain);
    return false;
}

// The handshake at once, within the handshake limit; false with the reason.
bool handshake_now(CHAN& c, int sk, MYSSL& m, std::string& reason) {
    // Scoped: the socket mode must be put back before a failure closes the socket.
    NonBlocking nb(c, sk);
    for (;;) {
        int r = handshake_step(c, m, reason);
        if (r == 1) return true;
        if (r == 0) return false;
        if (tcp_stop_requested(&c)) {
            reason = "SSL could not start, the channel is closing";
            return false;
        }
        long left = myssl_handshake_limit() - (tcp_now_ms() - m.started_ms);
        wait_io(c, m, m.want, std::max(left, 1L));
    }
}

}  // namespace

// ---- one connection ----

Result<std::unique_ptr<MYSSL>> myssl_takeover_real(CHAN& c, int sk, int require_cert,
                                                   int isserver, const char* domain,
                                                   MYSSL* inherit, int defer,
                                                   const MysslSetup* setup) {
    auto m = std::make_unique<MYSSL>();
    m->started_ms = tcp_now_ms();
    if (sk < 0) return Error{0, "socket invalid"};
    ERR_clear_error();
    BIO* bio = BIO_new_socket(sk, BIO_CLOSE);
    if (!bio) {
        tcp_wake_publish(&c, -1);
        tcp_socket_close(sk);
        c.sk = -1;
        return Error{0, "ssl cant on BIO_new_socket call."};
    }
    std::string reason;
    m->ssl = new_connection(isserver, inherit, setup, reason);
    if (!m->ssl) {
        tcp_wake_publish(&c, -1);
        BIO_free(bio);  // closes the socket
        c.sk = -1;
        return Error{0, reason};
    }
    SSL_set_bio(m->ssl, bio, bio);
    if (isserver) {
        SSL_set_accept_state(m->ssl);
    } else {
        SSL_set_connect_state(m->ssl);
    }
    if (require_cert == 1) {
        SSL_set_verify(m->ssl, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
    } else {
        SSL_set_verify(m->ssl, SSL_VERIFY_NONE, nullptr);
    }
    bool ok =
        isserver || !domain || !*domain || set_server_name(m->ssl, domain, require_cert, reason);
    if (ok && defer) return m;
    if (ok && handshake_now(c, sk, *m, reason)) return m;
    tcp_wake_publish(&c, -1);
    m.reset();  // releases the connection and closes the socket
    c.sk = -1;
    return Error{0, reason};
}

Status myssl_handshake(CHAN& c, MYSSL* m, int ms) {
    if (!m || !m->ssl) return Error{0, "no SSL connection"};
    if (m->failed) return Error{0, m->msg};
    NonBlocking nb(c, fd_of(*m));
    long deadline = tcp_now_ms() + std::max(ms, 0);
    std::string reason;
    int code = 0;
    for (;;) {
        int r = handshake_step(c, *m, reason);
        if (r == 1) return {};
        if (r == 0) break;
        long left = deadline - tcp_now_ms();
        if (tcp_stop_requested(&c)) {
            reason = "SSL could not start, the channel is closing";
            break;
        }
        if (left <= 0) {
            reason = strprintf("no handshake within %d ms", ms);
            code = ETIMEDOUT;
            break;
        }
        wait_io(c, *m, m->want, left);
    }
    handshake_failed(*m, reason);
    return Error{code, reason};
}

int myssl_read(CHAN& c, MYSSL* m, char* buf, int len) {
    if (!m || !m->ssl || len <= 0) return 0;
    if (m->failed) {
        m->wb = 0;
        return 0;
    }
    static const char* timeout_text = "myssl_read: blocking call waited for 2 minutes";
    m->wb = 1;
    long started = tcp_now_ms();
    NonBlocking nb(c, fd_of(*m));
    int hs = ensure_handshake(c, *m, started, POLLIN, timeout_text);
    if (hs <= 0) return hs;
    for (;;) {
        ERR_clear_error();
        int n = SSL_read(m->ssl, buf, len);
        if (n > 0) {
            m->wb = 0;
            return n;
        }
        int want_read = 0;
        Cls cls = classify(*m, n, "read", want_read);
        if (cls == Cls::FATAL || cls == Cls::CLOSED) {
            if (cls == Cls::FATAL) m->failed = true;
            m->msg = cls == Cls::FATAL ? m->err_text : "Connection was closed.";
            // A socket shut down by tcp_close_now ends the read as a failure: it is the stop.
            if (tcp_stop_requested(&c)) m->msg = "channel closing";
            m->wb = 0;
            return 0;
        }
        int next = before_retry(c, *m, started, POLLIN, timeout_text);
        if (next == -1) return -1;
        if (next == 0) {
            m->wb = 0;
            return 0;
        }
    }
}

int myssl_write(CHAN& c, MYSSL* m, const char* data, int len) {
    if (!m || !m->ssl || len <= 0) return 0;
    if (m->failed) {
        m->wb = 0;
        return 0;
    }
    static const char* timeout_text = "myssl_write: blocking call waited for 2 minutes";
    m->wb = 1;
    long started = tcp_now_ms();
    NonBlocking nb(c, fd_of(*m));
    int hs = ensure_handshake(c, *m, started, POLLOUT, timeout_text);
    if (hs <= 0) return hs;
    for (;;) {
        ERR_clear_error();
        int n = SSL_write(m->ssl, data, len);
        if (n > 0) {
            m->wb = 0;
            return n;
        }
        int want_read = 0;
        Cls cls = classify(*m, n, "write", want_read);
        if (cls == Cls::FATAL || cls == Cls::CLOSED) {
            m->failed = true;
            m->msg = cls == Cls::FATAL ? m->err_text : "Connection was closed.";
            m->wb = 0;
            return 0;
        }
        // A write that needs input first (the peer renegotiates or updates its keys) waits
        // for that input like any other retry.
        int next = before_retry(c, *m, started, POLLOUT, timeout_text);
        if (next == -1) return -1;
        if (next == 0) {
            m->wb = 0;
            return 0;
        }
    }
}

void myssl_close(CHAN& c, MYSSL* m) {
    if (!m || !m->ssl) return;
    int fd = fd_of(*m);
    // The closing alert is only sent on an established, healthy connection: after a
    // fatal error OpenSSL must not be asked to send anything more.
    if (m->established && !m->failed) {
        NonBlocking nb(c, fd);
        long started = tcp_now_ms();
        for (;;) {
            ERR_clear_error();
            // 0: our alert is out (the peer's is not waited for); 1: both were exchanged.
            int r = SSL_shutdown(m->ssl);
            if (r >= 0) break;
            int want_read = 0;
            Cls cls = classify(*m, r, "close", want_read);
            if (cls != Cls::RETRY && cls != Cls::WANT_READ) break;
            long waited = tcp_now_ms() - started;
            if (waited > MYSSL_CLOSE_MS) {
                myssl_error("SSL error myssl_close gave up after 20 seconds");
                break;
            }
            if (tcp_stop_requested(&c)) break;
            debug_say("myssl_close retrying");
            wait_io(c, *m, m->want, MYSSL_CLOSE_MS - waited);
        }
    }
    // As for a plain socket: our last bytes go out before the FIN, and unread input is
    // dropped first so that the close does not become a reset that loses them.
    if (fd >= 0) {
        ::shutdown(fd, SHUT_WR);
        char junk[4096];
        for (int i = 0; i < 16 && ::recv(fd, junk, sizeof junk, MSG_DONTWAIT) > 0; ++i) {
        }
    }
    SSL_free(m->ssl);  // frees the BIO, which closes the socket
    m->ssl = nullptr;
    m->wb = 0;
}

int myssl_wouldblock(const MYSSL* m) {
    return m ? m->wb : 0;
}

int myssl_pending(const MYSSL* m) {
    return m && m->ssl && SSL_pending(m->ssl) > 0 ? 1 : 0;
}

std::string myssl_lastmsg(const MYSSL* m) {
    return m ? m->msg : std::string();
}

std::string myssl_get_protocol_name_used(const MYSSL* m) {
    return m && m->established ? protocol_of(*m) : std::string();
}

bool myssl_established(const MYSSL* m) {
    return m && m->established;
}

// ---- the stream seam ----

MYSSL::~MYSSL() {
    if (ssl) SSL_free(ssl);
}
int MYSSL::read(CHAN& c, char* buf, int len) {
    return myssl_read(c, this, buf, len);
}
int MYSSL::write(CHAN& c, const char* data, int len) {
    return myssl_write(c, this, data, len);
}
bool MYSSL::wouldblock() const {
    return wb != 0;
}
bool MYSSL::pending() const {
    return myssl_pending(this) != 0;
}
void MYSSL::close(CHAN& c) {
    myssl_close(c, this);
}
std::string MYSSL::lastmsg() const {
    return msg;
}
long MYSSL::wait_limit_ms() const {
    if (established || failed || !ssl) return -1;
    // One past the limit, so that the handshake step after the wait finds it passed.
    long left = myssl_handshake_limit() - (tcp_now_ms() - started_ms) + 1;
    return std::max(left, 0L);
}

}  // namespace tolvane
