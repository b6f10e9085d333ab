// Scripted-peer helpers for the TCP channel tests.
#include "net/tcp_support.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <vector>

namespace tolvane::tcptest {

namespace {
std::mutex g_msgs_lock;
std::vector<std::string> g_msgs;
}  // namespace

void capture(const char* text) {
    std::lock_guard<std::mutex> hold(g_msgs_lock);
    g_msgs.emplace_back(text);
}

bool reported(const std::string& part) {
    std::lock_guard<std::mutex> hold(g_msgs_lock);
    for (auto& m : g_msgs)
        if (m.find(part) != std::string::npos) return true;
    return false;
}

int raw_connect(int port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

void send_all(int fd, std::string_view data) {
    while (!data.empty()) {
        ssize_t n = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
        ASSERT_GT(n, 0) << std::strerror(errno);
        data.remove_prefix(static_cast<std::size_t>(n));
    }
}

std::string read_until_quiet(int fd, int ms) {
    std::string got;
    char buf[65536];
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, ms) <= 0) break;
        ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        got.append(buf, static_cast<std::size_t>(n));
    }
    return got;
}

Link::Link() {
    tcp_init(capture);
    EXPECT_EQ(tcp_listen(lsn, 0, "127.0.0.1", 1), 1) << tcp_error(lsn.get());
    EXPECT_EQ(tcp_getport(lsn.get(), port), 1);
    peer.reset(raw_connect(port));
    EXPECT_GE(peer.get(), 0);
    EXPECT_EQ(tcp_waitfor(lsn.get(), 5000), 1);
    EXPECT_EQ(tcp_accept(lsn.get(), ch), 1) << tcp_error(ch.get());
    tcp_set_read_timeout(ch.get(), 5000);
}

}  // namespace tolvane::tcptest
