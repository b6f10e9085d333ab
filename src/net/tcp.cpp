// TCP channels: sockets. Channel life, listening, accepting, connecting, information and
// closing. Shared state and the buffer pool are in tcp_pool.cpp, reading and writing in
// tcp_io.cpp, the SSL seam in tcp_ssl.cpp.
#include "net/tcp.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "foundation/lib.h"
#include "foundation/log.h"
#include "foundation/thread.h"
#include "net/tcp_internal.h"

namespace tolvane {

std::string tcp_hostname() {
    static const std::string cached = [] {
        std::string name(190, '\0');
        if (gethostname(name.data(), name.size() - 1) != 0) return std::string("127.0.0.1");
        name.resize(std::strlen(name.c_str()));
        if (name.empty()) return std::string("127.0.0.1");
        return cut(name, TEXT_MAX);
    }();
    std::string out = cut(cached, 100);
    if (auto sp = out.find(' '); sp != std::string::npos) out.resize(sp);
    return out;
}

// ---- channel life ----

CHAN::CHAN() : inbf(tcp_bf_get(TCP_INBUF)) {}

CHAN::~CHAN() {
    tcp_close_nice(this);
    tcp_bf_free(std::move(inbf));
}

std::unique_ptr<CHAN> tcp_new() {
    return std::make_unique<CHAN>();
}

int tcp_free(std::unique_ptr<CHAN>& c) {
    if (!c) return 0;
    c.reset();
    return 1;
}

namespace {

std::string addr_text(const sockaddr_in& a) {
    char buf[INET_ADDRSTRLEN] = {0};
    if (!inet_ntop(AF_INET, &a.sin_addr, buf, sizeof buf)) return std::string();
    return buf;
}

// Address text and port of an IPv4 or IPv6 socket address; an IPv4 peer of an IPv6
// socket is shown as IPv4, so that address lists written for IPv4 still match it.
std::string addr_text(const sockaddr_storage& ss, int* port = nullptr) {
    char buf[INET6_ADDRSTRLEN] = {0};
    if (ss.ss_family == AF_INET) {
        const auto& a = reinterpret_cast<const sockaddr_in&>(ss);
        if (port) *port = ntohs(a.sin_port);
        return addr_text(a);
    }
    if (ss.ss_family != AF_INET6) return std::string();
    const auto& a = reinterpret_cast<const sockaddr_in6&>(ss);
    if (port) *port = ntohs(a.sin6_port);
    if (IN6_IS_ADDR_V4MAPPED(&a.sin6_addr)) {
        if (!inet_ntop(AF_INET, &a.sin6_addr.s6_addr[12], buf, sizeof buf)) return std::string();
    } else if (!inet_ntop(AF_INET6, &a.sin6_addr, buf, sizeof buf)) {
        return std::string();
    }
    return buf;
}

// Parses a dotted IPv4 address; false when text is not one.
bool dotted(const std::string& text, in_addr& out) {
    return inet_pton(AF_INET, text.c_str(), &out) == 1;
}

void reset_for_new_socket(CHAN* c) {
    c->in_close = 0;
    c->never_close = 0;
    c->xerrno = 0;
    c->erradd.clear();
    c->inupto = c->inlen = 0;
    c->inskip = 0;
    c->skiphead.clear();
    c->lastcut = 0;
    c->done_open = 0;
    c->block = 1;
    c->ssl.reset();
}

}  // namespace

// ---- listening and accepting ----

int tcp_listen(std::unique_ptr<CHAN>& c, int port, const char* bind_to, int reuse) {
    if (!c) c = tcp_new();
    if (c->sk >= 0) tcp_close_nice(c.get());
    reset_for_new_socket(c.get());
    sockaddr_storage ss{};
    socklen_t slen = 0;
    std::string host = bind_to ? bind_to : "";
    if (host.size() > 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    int family = host.find(':') == std::string::npos ? AF_INET : AF_INET6;
    bool good = true;
    if (family == AF_INET) {
        auto& a = reinterpret_cast<sockaddr_in&>(ss);
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_ANY);
        good = host.empty() || dotted(host, a.sin_addr);
        slen = sizeof a;
    } else {
        auto& a = reinterpret_cast<sockaddr_in6&>(ss);
        a.sin6_family = AF_INET6;
        a.sin6_port = htons(static_cast<uint16_t>(port));
        good = inet_pton(AF_INET6, host.c_str(), &a.sin6_addr) == 1;
        slen = sizeof a;
    }
    if (!good) {
        c->xerrno = EINVAL;
        c->erradd = "socket invalid";
        tcp_report("tcp_listen: bad bind address (%.200s)", bind_to);
        return 0;
    }
    int fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        c->xerrno = errno;
        c->erradd = "dupsocket failed";
        return 0;
    }
    int one = 1;
    if (reuse && setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0) {
        tcp_report("set reuseaddress failed  %.200s ", system_error(errno).c_str());
    }
    // "::" is IPv6 only: IPv4 clients come through an address of their own, so that a
    // listener is on exactly the addresses it was given.
    if (family == AF_INET6) (void)setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&ss), slen) != 0 ||
        ::listen(fd, TCP_LISTEN_BACKLOG) != 0) {
        c->xerrno = errno;
        tcp_report("tcp_listen on %s:%d failed %s", bind_to && *bind_to ? bind_to : "*", port,
                   system_error(c->xerrno).c_str());
        ::close(fd);
        return 0;
    }
    c->sk = fd;
    return 1;
}

int tcp_waitfor(CHAN* c, int ms) {
    if (!c) return 0;
    if (c->sk < 0) return 1;
    if (c->ssl && c->ssl->pending()) return 1;
    if (c->inlen > c->inupto) return 1;  // the line reader already holds input
    long deadline = tcp_now_ms() + (ms > 0 ? ms : 0);
    int zero_events = 0;
    for (;;) {
        long left = deadline - tcp_now_ms();
        short got = 0;
        int r = tcp_wait_or_stop(c, c->sk, POLLIN | POLLPRI, left > 0 ? static_cast<int>(left) : 0,
                                 &got);
        if (r == TCP_WAIT_STOP) {
            c->xerrno = -1;
            tcp_report("tcp_waitfor: channel %d closed for a stop", c->sk);
            tcp_close_nice(c);
            return 0;
        }
        if (r < 0) {
            c->xerrno = errno;
            tcp_report("tcp_waitfor error so closing socket %d %s", c->sk,
                       system_error(errno).c_str());
            tcp_close_nice(c);
            return 0;
        }
        if (r == 0) return 0;
        if (got & (POLLIN | POLLPRI)) return 1;
        // Only an error or hang-up event: readable if the socket reports why.
        int err = 0;
        socklen_t len = sizeof err;
        getsockopt(c->sk, SOL_SOCKET, SO_ERROR, &err, &len);
        if (err != 0 || (got & POLLNVAL)) return 1;
        if (++zero_events >= 4) return 1;
        tcp_report("tcp: got except event with error value zero, so trying select again sk=%d",
                   c->sk);
    }
}

int tcp_accept(CHAN* listener, std::unique_ptr<CHAN>& nc) {
    if (!nc) nc = tcp_new();
    if (nc->sk >= 0) tcp_close_nice(nc.get());
    reset_for_new_socket(nc.get());
    if (!listener || listener->sk < 0) {
        nc->xerrno = -1;
        return 0;
    }
    sockaddr_storage peer{};
    socklen_t plen = sizeof peer;
    int fd;
    for (;;) {
        // A blocking listener waits in poll(), not in accept, so that a stop ends the wait.
        if (listener->block) {
            int w = tcp_wait_or_stop(listener, listener->sk, POLLIN, -1);
            if (w == TCP_WAIT_STOP) {
                tcp_report("tcp_accept: listener %d closed for a stop", listener->sk);
                tcp_close_nice(listener);
                listener->xerrno = nc->xerrno = ECANCELED;
                return 0;
            }
        }
        plen = sizeof peer;
        fd = ::accept4(listener->sk, reinterpret_cast<sockaddr*>(&peer), &plen, SOCK_CLOEXEC);
        if (fd >= 0 || errno == EINTR) {
            if (fd >= 0) break;
            continue;
        }
        // Another thread took the client between the wait and the accept: wait again.
        if (listener->block && (errno == EAGAIN || errno == EWOULDBLOCK)) continue;
        break;
    }
    if (fd < 0) {
        listener->xerrno = nc->xerrno = errno;
        return 0;
    }
    nc->sk = fd;
    nc->theirname = addr_text(peer, &nc->rmt_saved);
    sockaddr_storage me{};
    socklen_t mlen = sizeof me;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&me), &mlen) == 0)
        nc->myname = addr_text(me, &nc->lcl_saved);
    return 1;
}

// ---- connecting ----

namespace {

int connect_fail(CHAN* c, int fd, long started, const std::string& host, int port,
                 const char* bind_to, int err) {
    long secs = (tcp_now_ms() - started) / 1000;
    c->xerrno = err;
    tcp_report("Connect failed %ldsec (%s:%d) bind=(%s) %s", secs, host.c_str(), port,
               bind_to ? bind_to : "", system_error(err).c_str());
    tcp_wake_publish(c, -1);
    ::close(fd);
    c->sk = -1;
    c->erradd = err == ETIMEDOUT ? strprintf("%ld sec", secs) : strprintf("%ld osec", secs);
    return 0;
}

// Waits for a non-blocking connect; 0 when connected, else the error code.
int wait_connected(CHAN* c, int fd, int ms) {
    long deadline = tcp_now_ms() + ms;
    for (;;) {
        long left = deadline - tcp_now_ms();
        if (left <= 0) return ETIMEDOUT;
        int r = tcp_wait_or_stop(c, fd, POLLOUT, static_cast<int>(left));
        if (r == TCP_WAIT_STOP) return ECANCELED;
        if (r < 0) return errno;
        if (r == 0) continue;
        c->done_open = 1;
        int err = 0;
        socklen_t len = sizeof err;
        if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return errno;
        return err;
    }
}

// The address of host (which may carry its own ":port") into a; false with the error in
// c when it cannot be had. h becomes the host name, lower case, and port the one it names.
bool resolve_peer(CHAN* c, const char* host, int& port, std::string& h, sockaddr_in& a) {
    h = strlwr(cut(host, 200));
    if (auto colon = h.find(':'); colon != std::string::npos) {
        port = s_atoi(h.c_str() + colon + 1);
        h.resize(colon);
    }
    a = sockaddr_in{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    bool numeric = !h.empty() && h.find_first_not_of("0123456789.") == std::string::npos;
    c->erradd = "gethostbyname failed";
    if (numeric) {
        if (!dotted(h, a.sin_addr)) {
            c->xerrno = TCP_ELOOKUP;
            return false;
        }
    } else {
        dmsg("tcp_open_raw(%s)", h.c_str());
        addrinfo hints{};
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* res = nullptr;
        int rc = getaddrinfo(h.c_str(), nullptr, &hints, &res);
        if (rc != 0 || !res || !res->ai_addr || res->ai_addrlen < sizeof(sockaddr_in)) {
            if (res) freeaddrinfo(res);
            c->xerrno = TCP_ELOOKUP;
            tcp_report("tcp_open_raw(%s) lookup failed: %s", h.c_str(), gai_strerror(rc));
            return false;
        }
        a.sin_addr = reinterpret_cast<sockaddr_in*>(res->ai_addr)->sin_addr;
        freeaddrinfo(res);
    }
    c->erradd.clear();
    return true;
}

// The local end of an outgoing connection, when a port or an address is asked for; a
// failed bind leaves the choice to the system.
void bind_local_end(CHAN* c, int fd, const char* bind_to) {
    if (!c->lclport && !(bind_to && *bind_to)) return;
    int one = 1;
    if (c->lclport && setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0) {
        tcp_report("set reuseaddress failed  %.200s ", system_error(errno).c_str());
    }
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(static_cast<uint16_t>(c->lclport));
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind_to && *bind_to) dotted(bind_to, local.sin_addr);
    dmsg("Binding outgoing connection to port %s:%d", bind_to ? bind_to : "", c->lclport);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        tcp_report("LCL Bind failed - %.200s - will bind to free port instead",
                   system_error(errno).c_str());
    }
}

}  // namespace

int tcp_open_x(std::unique_ptr<CHAN>& c, const char* host, int port, const char* bind_to, int ms,
               std::source_location loc) {
    if (!c) c = tcp_new();
    if (c->sk >= 0) {
        tcp_report("tcp: tcp_opena called with sk member set to %d %s:%d", c->sk,
                   file_filename(loc.file_name()).c_str(), static_cast<int>(loc.line()));
        tcp_close_nice(c.get());
    }
    reset_for_new_socket(c.get());
    c->myname.clear();
    c->theirname.clear();
    if (!host || !*host) {
        c->xerrno = EDESTADDRREQ;
        c->erradd = "Host Blank";
        return 0;
    }
    std::string h;
    sockaddr_in a{};
    if (!resolve_peer(c.get(), host, port, h, a)) return 0;

    long started = tcp_now_ms();
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        c->xerrno = errno;
        tcp_report("Can't dupsocket connect to {%s} ", h.c_str());
        c->erradd = "dupsocket failed";
        return 0;
    }
    bind_local_end(c.get(), fd, bind_to);
    bool nonblocking = c->noblock || ms > 0;
    if (nonblocking) {
        int on = 1;
        ioctl(fd, FIONBIO, &on);
    }
    int rc = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    if (rc != 0 && (errno == EINPROGRESS || errno == EINTR)) {
        if (c->noblock && ms <= 0) {
            c->sk = fd;
            c->block = 0;
            return 1;
        }
        // An interrupted blocking connect goes on in the background; wait for it as well.
        // The socket is tcp_close_now's to shut down from here on.
        tcp_wake_publish(c.get(), fd);
        int err = wait_connected(c.get(), fd, ms > 0 ? ms : TCP_READ_TIMEOUT);
        if (err != 0) return connect_fail(c.get(), fd, started, h, port, bind_to, err);
    } else if (rc != 0) {
        return connect_fail(c.get(), fd, started, h, port, bind_to, errno);
    }
    c->sk = fd;
    if (nonblocking && !c->noblock) {
        int off = 0;
        ioctl(fd, FIONBIO, &off);
    }
    c->block = c->noblock ? 0 : 1;
    return 1;
}

// ---- information and errors ----

int tcp_getip(CHAN* c, std::string& out) {
    out.clear();
    if (!c) return 0;
    if (!c->theirname.empty()) {
        out = cut(c->theirname, 30);
        return 1;
    }
    sockaddr_storage a{};
    socklen_t len = sizeof a;
    if (c->sk < 0 || getpeername(c->sk, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        tcp_report("getip getpeername(%d) failed %s", c->sk,
                   system_error(c->sk < 0 ? EBADF : errno).c_str());
        return 0;
    }
    out = addr_text(a);
    return out.empty() ? 0 : 1;
}

int tcp_getport(CHAN* c, int& port) {
    sockaddr_storage a{};
    socklen_t len = sizeof a;
    if (!c || c->sk < 0 || getsockname(c->sk, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        tcp_report("getports getsockname() failed ");
        return 0;
    }
    addr_text(a, &port);
    return 1;
}

std::string tcp_error(const CHAN* c) {
    if (!c) return "Channel structure is NULL";
    if (c->xerrno == 0) return "Err Code Zero";
    if (c->xerrno == -1) return "Connection was closed.";
    if (c->ssl) return c->ssl->lastmsg();
    if (c->xerrno == TCP_ELOOKUP) return "Host name lookup failed";
    if (c->xerrno < 0) return "Invalid error code";
    std::string text = system_error(c->xerrno);
    if (text.empty() || text.starts_with("Unknown error")) return "Invalid error code";
    return cut(text, 100);
}

void tcp_set_read_timeout(CHAN* c, int ms) {
    if (c) c->read_timeout = ms;
}

int tcp_setblock(CHAN* c, int on) {
    if (!c || c->sk < 0) return 0;
    int nb = on ? 0 : 1;
    if (ioctl(c->sk, FIONBIO, &nb) != 0) {
        tcp_report("Cant set blocking to %d for socket %d %s", on, c->sk,
                   system_error(errno).c_str());
        return 0;
    }
    c->block = on ? 1 : 0;
    return 1;
}

int tcp_check_open_real(CHAN* c, int keep) {
    if (!c || c->sk < 0) return 0;
    pollfd p{c->sk, POLLIN | POLLPRI, 0};
    int r = ::poll(&p, 1, 0);
    if (r <= 0) return 1;
    if (p.revents & (POLLIN | POLLPRI)) return 1;
    int err = 0;
    socklen_t len = sizeof err;
    getsockopt(c->sk, SOL_SOCKET, SO_ERROR, &err, &len);
    if (p.revents & POLLNVAL) err = EBADF;
    if (err == 0 || err == EAGAIN || err == ENOTCONN || err == EINPROGRESS) return 1;
    c->xerrno = err;
    tcp_report("tcp_check_open got except event on socket (%s)", system_error(err).c_str());
    if (!keep) tcp_close_nice(c);
    return 0;
}

void tcp_socket_close(int fd, std::source_location loc) {
    if (fd < 0) return;
    if (::close(fd) != 0 && errno != EINTR) {
        tcp_report("tcp_socket_close: Socket close failed will retry %s (%s:%d)",
                   system_error(errno).c_str(), file_filename(loc.file_name()).c_str(),
                   static_cast<int>(loc.line()));
    }
}

// ---- closing ----

int tcp_close_nice(CHAN* c) {
    if (!c || c->sk < 0 || c->in_close) return 1;
    c->in_close = 1;
    tcp_wake_publish(c, -1);  // the descriptor number is about to be free for reuse
    if (c->isbuffer && !c->buffer.empty()) tcp_buffer_flush(c);
    if (c->ssl) {
        tcp_setblock(c, 0);
        c->ssl->close(*c);  // closes the socket too
        c->ssl.reset();
    } else if (!c->never_close) {
        // Our last reply goes out before the FIN; input the peer sent but we never read is
        // dropped first, so that the close does not turn into a reset that loses that reply.
        ::shutdown(c->sk, SHUT_WR);
        char junk[4096];
        for (int i = 0; i < 16 && ::recv(c->sk, junk, sizeof junk, MSG_DONTWAIT) > 0; ++i) {
        }
        tcp_socket_close(c->sk);
    }
    c->sk = -1;
    c->block = 1;
    return 1;
}

}  // namespace tolvane
