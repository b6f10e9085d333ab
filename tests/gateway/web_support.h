// Helpers for the web channel tests: a loopback link whose client side is a bare
// socket (so the test writes raw, possibly malformed, requests byte for byte), a
// private directory made current for a test, and a debug log captured in it.
#pragma once

#include <unistd.h>

#include <memory>
#include <string>
#include <string_view>

#include "foundation/log.h"
#include "net/tcp.h"

namespace tolvane::webtest {

// A listener on 127.0.0.1, a bare client connected to it and the accepted channel.
class Link {
  public:
    Link();
    ~Link();
    Link(const Link&) = delete;
    Link& operator=(const Link&) = delete;
    // Sends everything the client has to say; with done, the client then stops writing.
    void send(std::string_view data, bool done = true);
    // What the server wrote, up to its close (or ms without anything new).
    std::string reply(int ms = 20000);

    std::unique_ptr<CHAN> lsn, ch;
    int peer = -1;
    int port = 0;
};

// A temporary directory with a debug log in it; removed at the end.
class Sandbox {
  public:
    Sandbox();
    ~Sandbox();
    Sandbox(const Sandbox&) = delete;
    Sandbox& operator=(const Sandbox&) = delete;
    const std::string& dir() const { return dir_; }
    std::string path(std::string_view name) const;
    void write(std::string_view name, std::string_view text) const;
    std::string read(std::string_view name) const;
    // True when a log line so far holds part.
    bool logged(std::string_view part);

  private:
    std::string dir_;
    std::unique_ptr<Log> log_;
};

// Runs with the current directory changed, restoring the old one at the end.
class InDir {
  public:
    explicit InDir(const std::string& dir);
    ~InDir();
    InDir(const InDir&) = delete;
    InDir& operator=(const InDir&) = delete;

  private:
    std::string old_;
};

// "Authorization" header value for user and password.
std::string basic(std::string_view user, std::string_view password);

}  // namespace tolvane::webtest
