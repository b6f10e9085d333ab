// The listener's sockets: binding the configured addresses (the mail port, and the
// implicit-TLS port when there is one), waiting for a connection on any of them,
// accepting it, and refusing clients beyond the session cap before anything is
// allocated for them.
//
// Ownership: smtp_listener owns its listening descriptors, a spare descriptor
// kept for the moment the process runs out of them, and a wake-up eventfd; all
// are closed by its destructor. One thread waits and accepts at a time; wake()
// may be called from any thread.
//
// Limits: at most SMTP_LISTEN_MAX addresses. A failed accept or wait is logged
// with its reason (at most once a second while it lasts) and never closes a
// listener: once the pressure passes, connections are taken again.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "foundation/lib.h"
#include "foundation/log.h"
#include "smtp/engine.h"
#include "smtp/engine_impl.h"
#include "net/tcp.h"

namespace tolvane {

namespace {

constexpr std::string_view R_TOO_MANY = "421 Too many connections, try again later\r\n";

long now_ms() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000L + ts.tv_nsec / 1000000L;
}

// Address text of a peer; an IPv4 client of a dual-stack socket is shown as IPv4, so
// that address lists written for IPv4 still match it.
std::string peer_text(const sockaddr_storage& a, int& port) {
    char buf[INET6_ADDRSTRLEN] = {0};
    port = 0;
    if (a.ss_family == AF_INET) {
        const auto& v4 = reinterpret_cast<const sockaddr_in&>(a);
        port = ntohs(v4.sin_port);
        if (inet_ntop(AF_INET, &v4.sin_addr, buf, sizeof buf)) return buf;
    } else if (a.ss_family == AF_INET6) {
        const auto& v6 = reinterpret_cast<const sockaddr_in6&>(a);
        port = ntohs(v6.sin6_port);
        if (IN6_IS_ADDR_V4MAPPED(&v6.sin6_addr)) {
            if (inet_ntop(AF_INET, &v6.sin6_addr.s6_addr[12], buf, sizeof buf)) return buf;
        } else if (inet_ntop(AF_INET6, &v6.sin6_addr, buf, sizeof buf)) {
            return buf;
        }
    }
    return std::string();
}

// One listening socket on address (IPv4 or IPv6 text; empty: every IPv4 address).
int listen_on(const std::string& address, int port, std::string& err) {
    sockaddr_storage ss{};
    socklen_t len = 0;
    int family = AF_INET;
    if (address.empty() || address.find(':') == std::string::npos) {
        auto& a = reinterpret_cast<sockaddr_in&>(ss);
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_ANY);
        if (!address.empty() && inet_pton(AF_INET, address.c_str(), &a.sin_addr) != 1) {
            err = strprintf("bad listen address (%s)", address.c_str());
            return -1;
        }
        len = sizeof a;
    } else {
        family = AF_INET6;
        auto& a = reinterpret_cast<sockaddr_in6&>(ss);
        a.sin6_family = AF_INET6;
        a.sin6_port = htons(static_cast<uint16_t>(port));
        std::string host = address;
        if (host.size() > 2 && host.front() == '[' && host.back() == ']')
            host = host.substr(1, host.size() - 2);
        if (inet_pton(AF_INET6, host.c_str(), &a.sin6_addr) != 1) {
            err = strprintf("bad listen address (%s)", address.c_str());
            return -1;
        }
        len = sizeof a;
    }
    int fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        err = system_error(errno);
        return -1;
    }
    int one = 1;
    // Address reuse, so that a restart right after busy traffic (connections of the old
    // process still in TIME_WAIT) can listen again; Linux still refuses a second live
    // listener on the port.
    (void)setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    // "::" means IPv6 only; IPv4 clients are reached through an address of their own.
    if (family == AF_INET6) (void)setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&ss), len) != 0 ||
        ::listen(fd, TCP_LISTEN_BACKLOG) != 0) {
        err = system_error(errno);
        ::close(fd);
        return -1;
    }
    return fd;
}

int bound_port(int fd) {
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &len) != 0) return 0;
    if (ss.ss_family == AF_INET) return ntohs(reinterpret_cast<sockaddr_in&>(ss).sin_port);
    if (ss.ss_family == AF_INET6) return ntohs(reinterpret_cast<sockaddr_in6&>(ss).sin6_port);
    return 0;
}

}  // namespace

smtp_listener::~smtp_listener() {
    for (int fd : fds_) ::close(fd);
    if (spare_ >= 0) ::close(spare_);
    if (wake_ >= 0) ::close(wake_);
}

bool smtp_listener::open(const std::vector<std::string>& addresses, int port, std::string& err,
                         bool wrapped) {
    int& bound = wrapped ? tls_port_ : port_;
    std::vector<std::string> list = addresses;
    if (list.empty()) list.emplace_back();
    if (list.size() > SMTP_LISTEN_MAX) list.resize(SMTP_LISTEN_MAX);
    for (const std::string& a : list) {
        // Port 0 picks a free port once; every further address takes the same one.
        int want = bound > 0 ? bound : port;
        std::string why;
        int fd = listen_on(a, want, why);
        if (fd < 0) {
            emsg("SMTP listen on %s:%d failed: %s", a.empty() ? "*" : a.c_str(), want, why.c_str());
            err = why;
            return false;
        }
        fds_.push_back(fd);
        wrapped_.push_back(wrapped);
        if (!wrapped) addresses_.push_back(a.empty() ? "0.0.0.0" : a);
        if (bound == 0) bound = bound_port(fd);
    }
    if (wake_ < 0) wake_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (spare_ < 0) spare_ = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    return true;
}

void smtp_listener::wake() {
    if (wake_ < 0) return;
    uint64_t one = 1;
    ssize_t w = ::write(wake_, &one, sizeof one);
    (void)w;
}

void smtp_listener::report(const char* what, int e) {
    ++failures_;
    long now = now_ms();
    if (now - last_report_ms_ < 1000) return;
    last_report_ms_ = now;
    emsg("SMTP listener: %s failed (%s); %ld time(s) since the last report, still listening", what,
         system_error(e).c_str(), failures_);
    failures_ = 0;
}

bool smtp_listener::refuse_over_cap(int fd) {
    // Straight onto the socket, without waiting: a client that does not read gets less.
    ssize_t w = ::send(fd, R_TOO_MANY.data(), R_TOO_MANY.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    (void)w;
    ::close(fd);
    return true;
}

int smtp_listener::accept_one(int timeout_ms, std::string& ip, int& port, int& listen_index) {
    std::vector<pollfd> p;
    p.reserve(fds_.size() + 1);
    for (int fd : fds_) p.push_back(pollfd{fd, POLLIN, 0});
    if (wake_ >= 0) p.push_back(pollfd{wake_, POLLIN, 0});
    if (hot_) {
        // The last wait took a connection: under load more are queued, and they are taken
        // without a poll first (the sockets do not block); when none is, the poll waits.
        hot_ = false;
        int fd = take_one(p, true, ip, port, listen_index);
        if (fd >= 0) return fd;
    }
    for (;;) {
        int r = ::poll(p.data(), p.size(), timeout_ms);
        if (r < 0) {
            if (errno == EINTR) continue;
            report("waiting for a connection", errno);
            return -1;
        }
        break;
    }
    if (wake_ >= 0 && (p.back().revents & POLLIN)) {
        uint64_t v = 0;
        ssize_t rd = ::read(wake_, &v, sizeof v);
        (void)rd;
        return -1;
    }
    return take_one(p, false, ip, port, listen_index);
}

int smtp_listener::take_one(const std::vector<pollfd>& p, bool every, std::string& ip, int& port,
                            int& listen_index) {
    // Each listener in turn, starting after the last one served, so that a busy address
    // cannot starve the others.
    std::size_t n = fds_.size();
    for (std::size_t k = 0; k < n; ++k) {
        std::size_t i = (next_ + k) % n;
        if (!every && !(p[i].revents & (POLLIN | POLLERR | POLLHUP | POLLNVAL))) continue;
        if (!every && (p[i].revents & POLLNVAL)) {
            report("listening socket", EBADF);
            continue;
        }
        sockaddr_storage ss{};
        socklen_t len = sizeof ss;
        int fd = ::accept4(fds_[i], reinterpret_cast<sockaddr*>(&ss), &len, SOCK_CLOEXEC);
        if (fd < 0) {
            int e = errno;
            if (e == EAGAIN || e == EWOULDBLOCK || e == EINTR || e == ECONNABORTED || e == EPROTO)
                continue;
            if ((e == EMFILE || e == ENFILE) && spare_ >= 0) {
                // Out of descriptors: the spare one makes room to tell the client why,
                // instead of leaving it queued (and this loop spinning on it).
                ::close(spare_);
                spare_ = -1;
                int c = ::accept4(fds_[i], nullptr, nullptr, SOCK_CLOEXEC);
                if (c >= 0) refuse_over_cap(c);
                spare_ = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
            } else if (e == EMFILE || e == ENFILE || e == ENOBUFS || e == ENOMEM) {
                // No way to take the client now: a short pause instead of a busy loop.
                ::poll(nullptr, 0, 10);
            }
            report("accepting a connection", e);
            continue;
        }
        next_ = i + 1;
        hot_ = true;
        ip = peer_text(ss, port);
        listen_index = static_cast<int>(i);
        return fd;
    }
    return -1;
}

}  // namespace tolvane
