// Scripted-peer helpers for the TCP channel tests: a bare-socket peer (so that a fault
// in the library cannot hide on both sides), a captured message sink, and a ready-made
// loopback link of listener, peer and accepted channel.
#pragma once

#include <unistd.h>

#include <memory>
#include <string>
#include <string_view>

#include "net/tcp.h"

namespace tolvane::tcptest {

// The sink handed to tcp_init: keeps every message for reported().
void capture(const char* text);
bool reported(const std::string& part);

class Fd {
  public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    void reset(int fd = -1) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }

  private:
    int fd_;
};

// A bare client socket connected to 127.0.0.1:port, -1 on failure.
int raw_connect(int port);
// Sends everything (fails the test on error).
void send_all(int fd, std::string_view data);
// Reads until the peer closes or nothing arrives for ms.
std::string read_until_quiet(int fd, int ms);

// A listener on loopback, one peer connected to it and the accepted channel.
struct Link {
    std::unique_ptr<CHAN> lsn, ch;
    Fd peer;
    int port = 0;
    Link();
};

}  // namespace tolvane::tcptest
