// The scripted SMS centre of the SMPP tests: see smpp_peer_support.h.
#include "smpp_peer_support.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>

namespace tolvane::smpptest {

namespace {

long now_ms() {
    using namespace std::chrono;
    return static_cast<long>(
        duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

std::uint32_t rd32(const std::string& s, std::size_t at) {
    auto b = [&](std::size_t i) {
        return static_cast<std::uint32_t>(static_cast<unsigned char>(s[at + i]));
    };
    return (b(0) << 24) | (b(1) << 16) | (b(2) << 8) | b(3);
}

}  // namespace

std::string be32(std::uint32_t v) {
    std::string s(4, '\0');
    s[0] = static_cast<char>(v >> 24);
    s[1] = static_cast<char>(v >> 16);
    s[2] = static_cast<char>(v >> 8);
    s[3] = static_cast<char>(v);
    return s;
}

std::string be8(std::uint8_t v) {
    return std::string(1, static_cast<char>(v));
}

std::string cstr(std::string_view text) {
    std::string s(text);
    s.push_back('\0');
    return s;
}

std::string raw_pdu(std::uint32_t id, std::uint32_t status, std::uint32_t seq,
                    std::string_view body) {
    return be32(static_cast<std::uint32_t>(16 + body.size())) + be32(id) + be32(status) +
           be32(seq) + std::string(body);
}

std::string deliver_body(std::string_view service, std::string_view from, std::string_view to,
                         std::string_view text) {
    std::string b = cstr(service) + be8(1) + be8(1) + cstr(from) + be8(2) + be8(3) + cstr(to);
    b += be8(0) + be8(0) + be8(0) + cstr("") + cstr("") + be8(0) + be8(0) + be8(0) + be8(0);
    b += be8(static_cast<std::uint8_t>(text.size())) + std::string(text);
    return b;
}

std::vector<std::string> nul_fields(const std::string& body) {
    std::vector<std::string> out;
    std::size_t start = 0;
    for (;;) {
        std::size_t z = body.find('\0', start);
        if (z == std::string::npos) {
            out.push_back(body.substr(start));
            return out;
        }
        out.push_back(body.substr(start, z - start));
        start = z + 1;
    }
}

Peer::Peer() {
    lsn_ = ::socket(AF_INET, SOCK_STREAM, 0);
    EXPECT_GE(lsn_, 0);
    int one = 1;
    ::setsockopt(lsn_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = 0;
    EXPECT_EQ(::bind(lsn_, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    EXPECT_EQ(::listen(lsn_, 16), 0);
    socklen_t len = sizeof a;
    ::getsockname(lsn_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
}

Peer::~Peer() {
    for (int fd : fds_)
        if (fd >= 0) ::close(fd);
    close_listener();
}

void Peer::close_listener() {
    if (lsn_ >= 0) ::close(lsn_);
    lsn_ = -1;
}

int Peer::accept(int ms) {
    if (lsn_ < 0) return -1;
    pollfd p{lsn_, POLLIN, 0};
    if (::poll(&p, 1, ms) <= 0) return -1;
    int fd = ::accept(lsn_, nullptr, nullptr);
    if (fd < 0) return -1;
    fds_.push_back(fd);
    inbuf_.emplace_back();
    return static_cast<int>(fds_.size()) - 1;
}

bool Peer::fill(int n, std::size_t want, int ms) {
    long deadline = now_ms() + ms;
    std::string& in = inbuf_.at(static_cast<std::size_t>(n));
    while (in.size() < want) {
        long left = deadline - now_ms();
        if (left <= 0 || fds_[static_cast<std::size_t>(n)] < 0) return false;
        pollfd p{fds_[static_cast<std::size_t>(n)], POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left)) <= 0) return false;
        char buf[4096];
        ssize_t r = ::recv(p.fd, buf, sizeof buf, 0);
        if (r <= 0) return false;
        in.append(buf, static_cast<std::size_t>(r));
    }
    return true;
}

bool Peer::read(int n, RawPdu& out, int ms) {
    long deadline = now_ms() + ms;
    if (!fill(n, 16, ms)) return false;
    std::string& in = inbuf_[static_cast<std::size_t>(n)];
    std::uint32_t len = rd32(in, 0);
    if (len < 16) {
        ADD_FAILURE() << "client sent command_length " << len;
        return false;
    }
    if (!fill(n, len, static_cast<int>(std::max(1L, deadline - now_ms())))) return false;
    out.length = len;
    out.id = rd32(in, 4);
    out.status = rd32(in, 8);
    out.seq = rd32(in, 12);
    out.body = in.substr(16, len - 16);
    in.erase(0, len);
    return true;
}

bool Peer::sees_close(int n, int ms) {
    long deadline = now_ms() + ms;
    int fd = fds_.at(static_cast<std::size_t>(n));
    for (;;) {
        long left = deadline - now_ms();
        if (left <= 0) return false;
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left)) <= 0) return false;
        char buf[4096];
        ssize_t r = ::recv(fd, buf, sizeof buf, 0);
        if (r <= 0) return true;
        inbuf_[static_cast<std::size_t>(n)].append(buf, static_cast<std::size_t>(r));
    }
}

bool Peer::quiet(int n, int ms) {
    if (!inbuf_.at(static_cast<std::size_t>(n)).empty()) return false;
    pollfd p{fds_.at(static_cast<std::size_t>(n)), POLLIN, 0};
    return ::poll(&p, 1, ms) == 0;
}

void Peer::send(int n, std::string_view bytes) {
    int fd = fds_.at(static_cast<std::size_t>(n));
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t r = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (r <= 0) {
            ADD_FAILURE() << "peer send failed: " << std::strerror(errno);
            return;
        }
        done += static_cast<std::size_t>(r);
    }
}

void Peer::close(int n) {
    int& fd = fds_.at(static_cast<std::size_t>(n));
    if (fd >= 0) ::close(fd);
    fd = -1;
}

void Peer::close_all() {
    for (std::size_t n = 0; n < fds_.size(); ++n) close(static_cast<int>(n));
}

bool answer_bind(Peer& peer, int n, std::uint32_t expect_id, std::uint32_t status, RawPdu* got) {
    RawPdu p;
    if (!peer.read(n, p)) return false;
    if (got) *got = p;
    if (p.id != expect_id) return false;
    peer.send(n, raw_pdu(expect_id | 0x80000000u, status, p.seq, status ? "" : cstr("SMSC")));
    return true;
}

}  // namespace tolvane::smpptest
