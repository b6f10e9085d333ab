// Helpers for the web channel tests.
#include "gateway/web_support.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "foundation/lib.h"
#include "foundation/ssha.h"

namespace tolvane::webtest {

namespace fs = std::filesystem;

Link::Link() {
    tcp_init();
    EXPECT_EQ(tcp_listen(lsn, 0, "127.0.0.1", 1), 1) << tcp_error(lsn.get());
    EXPECT_EQ(tcp_getport(lsn.get(), port), 1);
    peer = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::connect(peer, reinterpret_cast<sockaddr*>(&a), sizeof a), 0)
        << std::strerror(errno);
    EXPECT_EQ(tcp_waitfor(lsn.get(), 10000), 1);
    EXPECT_EQ(tcp_accept(lsn.get(), ch), 1) << tcp_error(ch.get());
}

Link::~Link() {
    if (peer >= 0) ::close(peer);
}

void Link::send(std::string_view data, bool done) {
    while (!data.empty()) {
        ssize_t n = ::send(peer, data.data(), data.size(), MSG_NOSIGNAL);
        ASSERT_GT(n, 0) << std::strerror(errno);
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    if (done) ::shutdown(peer, SHUT_WR);
}

std::string Link::reply(int ms) {
    std::string got;
    char buf[65536];
    for (;;) {
        pollfd p{peer, POLLIN, 0};
        if (::poll(&p, 1, ms) <= 0) break;
        ssize_t n = ::recv(peer, buf, sizeof buf, 0);
        if (n <= 0) break;
        got.append(buf, static_cast<std::size_t>(n));
    }
    return got;
}

Sandbox::Sandbox() {
    std::string tmpl = (fs::temp_directory_path() / "tvwebXXXXXX").string();
    dir_ = mkdtemp(tmpl.data());
    log_ = log_init(LOG_DEBUG);
    log_doflush(log_.get(), 1);
    log_open(log_.get(), dir_ + "/test.log");
    log_set(log_.get());
}

Sandbox::~Sandbox() {
    log_free(log_);
    std::error_code ec;
    fs::remove_all(dir_, ec);
}

std::string Sandbox::path(std::string_view name) const {
    return dir_ + "/" + std::string(name);
}

void Sandbox::write(std::string_view name, std::string_view text) const {
    fs::create_directories(fs::path(path(name)).parent_path());
    std::ofstream(path(name), std::ios::binary) << text;
}

std::string Sandbox::read(std::string_view name) const {
    std::ifstream in(path(name), std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool Sandbox::logged(std::string_view part) {
    log_flush(log_.get());
    return read("test.log").find(part) != std::string::npos;
}

InDir::InDir(const std::string& dir) : old_(currentdir()) {
    EXPECT_EQ(::chdir(dir.c_str()), 0);
}

InDir::~InDir() {
    if (::chdir(old_.c_str()) != 0) ADD_FAILURE() << "cannot return to " << old_;
}

std::string basic(std::string_view user, std::string_view password) {
    return "Basic " + encode_base64(std::string(user) + ":" + std::string(password));
}

}  // namespace tolvane::webtest
