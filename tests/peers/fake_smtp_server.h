// A scripted SMTP server for relay-sender tests: listens on 127.0.0.1 (a free
// port), serves one connection after another on its own thread, records every
// line it receives, and can be told to misbehave at a chosen step: answer with
// a given 4xx/5xx reply, stall (say nothing), or hang up. It can also send a
// multi-line greeting.
//
//   fake_smtp_server srv;
//   srv.fail_at = fake_smtp_server::step::rcpt;  srv.fail_reply = "550 no such user";
//   srv.start();  ... relay to 127.0.0.1:srv.port() ...  srv.stop();
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tolvane::test {

class fake_smtp_server {
  public:
    enum class step { none, greeting, helo, mail, rcpt, data, dot, quit };
    enum class action { reply, stall, hangup };

    step fail_at = step::none;
    action how = action::reply;
    std::string fail_reply = "451 try again later";
    bool multiline_greeting = false;
    // Hang up right after accepting a mail (a server that drops an idle client).
    bool close_after_mail = false;
    // Offer PIPELINING after EHLO.
    bool pipelining = false;
    // fail_at applies only once this many mails of the session were accepted (1: the
    // second mail on a kept connection fails, the first goes through).
    int fail_after_mails = 0;

    ~fake_smtp_server() { stop(); }

    bool start() {
        lfd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int one = 1;
        ::setsockopt(lfd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::bind(lfd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(lfd_, 8) != 0)
            return false;
        socklen_t len = sizeof a;
        ::getsockname(lfd_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
        th_ = std::thread([this] { run(); });
        return true;
    }
    void stop() {
        stopping_ = true;
        if (th_.joinable()) th_.join();
        if (lfd_ >= 0) ::close(lfd_);
        lfd_ = -1;
    }
    int port() const { return port_; }
    // Every line received (commands and data), in order, without CR LF.
    std::vector<std::string> lines() {
        std::lock_guard<std::mutex> g(m_);
        return lines_;
    }
    // For each line of lines(), the number of the read (recv) that brought it: lines
    // sent in one write share one.
    std::vector<int> reads() {
        std::lock_guard<std::mutex> g(m_);
        return reads_;
    }
    // Only the message data lines of the last message (between DATA and ".").
    std::vector<std::string> data() {
        std::lock_guard<std::mutex> g(m_);
        return data_;
    }
    int sessions() const { return sessions_; }

  private:
    void run() {
        while (!stopping_) {
            pollfd p{lfd_, POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0) continue;
            int fd = ::accept4(lfd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) continue;
            ++sessions_;
            serve(fd);
            ::close(fd);
        }
    }
    bool say(int fd, const std::string& s) {
        std::string l = s + "\r\n";
        return ::send(fd, l.data(), l.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(l.size());
    }
    // Reads one line; false on close, or on stop.
    bool read_line(int fd, std::string& line) {
        for (;;) {
            auto lf = in_.find('\n');
            if (lf != std::string::npos) {
                line = in_.substr(0, lf);
                in_.erase(0, lf + 1);
                if (!line.empty() && line.back() == '\r') line.pop_back();
                std::lock_guard<std::mutex> g(m_);
                lines_.push_back(line);
                reads_.push_back(read_no_);
                return true;
            }
            pollfd p{fd, POLLIN, 0};
            int r = ::poll(&p, 1, 20);
            if (stopping_) return false;
            if (r <= 0) continue;
            char buf[4096];
            ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n <= 0) return false;
            in_.append(buf, static_cast<std::size_t>(n));
            ++read_no_;
        }
    }
    // The scripted answer at step s: true when the dialogue goes on normally.
    bool answer(int fd, step s, const std::string& normal) {
        if (s != fail_at || mails_ < fail_after_mails) return say(fd, normal);
        if (how == action::hangup) return false;
        if (how == action::stall) {
            std::string ignored;
            while (read_line(fd, ignored)) {
            }
            return false;
        }
        say(fd, fail_reply);
        return s != step::quit;  // a refusing server still waits for QUIT
    }
    void serve(int fd) {
        in_.clear();
        mails_ = 0;
        {
            std::lock_guard<std::mutex> g(m_);
            data_.clear();
        }
        if (multiline_greeting && fail_at != step::greeting) {
            say(fd, "220-fake.example first line");
            say(fd, "220-second line");
        }
        if (!answer(fd, step::greeting, "220 fake.example ESMTP")) return;
        std::string line;
        bool in_data = false;
        while (read_line(fd, line)) {
            if (in_data) {
                if (line == ".") {
                    in_data = false;
                    if (!answer(fd, step::dot, "250 2.0.0 queued")) return;
                    ++mails_;
                    if (close_after_mail) return;
                } else {
                    std::lock_guard<std::mutex> g(m_);
                    data_.push_back(line);
                }
                continue;
            }
            std::string up = line.substr(0, 4);
            for (char& c : up) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            bool go = true;
            if (up == "EHLO" && pipelining && fail_at != step::helo)
                go = say(fd, "250-fake.example") && say(fd, "250 PIPELINING");
            else if (up == "HELO" || up == "EHLO")
                go = answer(fd, step::helo, "250 fake.example");
            else if (up == "MAIL")
                go = answer(fd, step::mail, "250 2.1.0 Ok");
            else if (up == "RSET")
                go = say(fd, "250 2.0.0 Ok");
            else if (up == "RCPT")
                go = answer(fd, step::rcpt, "250 2.1.5 Ok");
            else if (up == "DATA") {
                go = answer(fd, step::data, "354 End data with <CR><LF>.<CR><LF>");
                in_data = go && fail_at != step::data;
            } else if (up == "QUIT") {
                answer(fd, step::quit, "221 2.0.0 Bye");
                return;
            } else
                go = say(fd, "502 5.5.2 Error: command not recognized");
            if (!go) return;
        }
    }

    int lfd_ = -1;
    int port_ = 0;
    std::thread th_;
    std::atomic<bool> stopping_{false};
    std::atomic<int> sessions_{0};
    std::string in_;
    std::mutex m_;
    std::vector<std::string> lines_;
    std::vector<int> reads_;
    int read_no_ = 0;
    int mails_ = 0;  // accepted in this session
    std::vector<std::string> data_;
};

}  // namespace tolvane::test
