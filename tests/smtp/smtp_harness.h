// Test harness for the SMTP listener: a temporary directory, a bare-socket
// client that plays the mail client line by line, and a "gateway" that runs the
// transport's wait loop with a callback playing the gateway's part (accepting
// or refusing) and records every mail it sees.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "smtp/engine.h"
#include "net/tcp.h"
#include "sms/sms.h"

namespace tolvane::test {

using namespace std::chrono_literals;

class TempDir {
  public:
    TempDir() {
        std::string t = (std::filesystem::temp_directory_path() / "tv_smtp_XXXXXX").string();
        if (::mkdtemp(t.data())) path_ = t;
    }
    ~TempDir() {
        std::error_code ec;
        if (!path_.empty()) std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string sub(const std::string& name) const { return path_ + "/" + name; }
    // Files in dir (not recursive) with the given ending.
    static std::vector<std::string> files(const std::string& dir, const std::string& ending) {
        std::vector<std::string> out;
        std::error_code ec;
        for (auto& e : std::filesystem::directory_iterator(dir, ec)) {
            std::string n = e.path().filename().string();
            if (n.size() >= ending.size() &&
                n.compare(n.size() - ending.size(), ending.size(), ending) == 0)
                out.push_back(n);
        }
        return out;
    }

  private:
    std::string path_;
};

template <typename Pred>
bool wait_until(Pred p, std::chrono::milliseconds limit = 5000ms) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (!p()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

// The mail client side, on a bare socket.
class Client {
  public:
    explicit Client(int port) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }
    ~Client() { close(); }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;
    bool ok() const { return fd_ >= 0; }
    void close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    bool send(std::string_view data) {
        while (!data.empty()) {
            ssize_t n = ::send(fd_, data.data(), data.size(), MSG_NOSIGNAL);
            if (n <= 0) return false;
            data.remove_prefix(static_cast<std::size_t>(n));
        }
        return true;
    }
    bool line(std::string_view l) { return send(std::string(l) + "\r\n"); }
    // The next line without CR LF; nullopt on close or after ms of silence.
    std::optional<std::string> read(int ms = 5000) {
        for (;;) {
            auto lf = in_.find('\n');
            if (lf != std::string::npos) {
                std::string l = in_.substr(0, lf);
                in_.erase(0, lf + 1);
                if (!l.empty() && l.back() == '\r') l.pop_back();
                return l;
            }
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, ms) <= 0) return std::nullopt;
            char buf[4096];
            ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
            if (n <= 0) return std::nullopt;
            in_.append(buf, static_cast<std::size_t>(n));
        }
    }
    // Sends a command and returns the reply line ("" when none came).
    std::string cmd(std::string_view l, int ms = 5000) {
        line(l);
        return read(ms).value_or("");
    }
    // True when the server closed the connection (within ms).
    bool closed(int ms = 5000) {
        if (!in_.empty()) return false;
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, ms) <= 0) return false;
        char c;
        return ::recv(fd_, &c, 1, MSG_PEEK) == 0;
    }

  private:
    int fd_ = -1;
    std::string in_;
};

struct MailSeen {
    std::string ip, from, body;
    std::vector<std::string> to;
    mail_headers headers;
    int accept_result = -100;
    bool spool_existed = false;
    std::thread::id thread;  // the thread the gateway handled the mail on
};

// What the test gateway does with each message.
struct Policy {
    std::function<bool(const std::string&)> refuse_to;  // recipients to refuse
    bool refuse_data = false;
    bool refuse_ip = false;
    long spool_over = 0;  // the driver's setting: mails up to it stay in memory
    int max_sessions = 500;
};

class Gateway {
  public:
    explicit Gateway(Policy p = {}, int client_timeout = 2000, bool trace = false)
        : policy_(std::move(p)) {
        tcp_init();
        init_.listenport = -1;
        init_.bind = "127.0.0.1";
        init_.greeting = "TOLVANE";
        init_.workpath = dir_.sub("spool");
        init_.client_timeout = client_timeout;
        init_.spool_over = policy_.spool_over;
        init_.max_sessions = policy_.max_sessions;
        if (trace) init_.smtplog = dir_.sub("smtp.log");
        int err = 0;
        s_ = sms_smtp_init(init_, err);
        if (!s_ || err) return;
        port_ = sms_smtp_port(s_.get());
        s_->idle_pause_ms = 5;
        waiter_ = std::thread([this] { result_ = sms_wait(s_.get(), 20, callback, this); });
    }
    ~Gateway() { stop(); }
    Gateway(const Gateway&) = delete;
    Gateway& operator=(const Gateway&) = delete;

    void stop() {
        stop_ = true;
        if (waiter_.joinable()) waiter_.join();
        if (s_) {
            wait_until([&] { return sms_busy(s_.get()) == 0; }, 15000ms);
            sms_free(s_);
        }
    }
    int port() const { return port_; }
    sms* handle() { return s_.get(); }
    const TempDir& dir() const { return dir_; }
    std::string spool() const { return init_.workpath; }

    bool wait_mails(std::size_t n, std::chrono::milliseconds limit = 5000ms) {
        std::unique_lock<std::mutex> g(m_);
        return cv_.wait_for(g, limit, [&] { return mails_.size() >= n; });
    }
    bool wait_ends(std::size_t n, std::chrono::milliseconds limit = 5000ms) {
        std::unique_lock<std::mutex> g(m_);
        return cv_.wait_for(g, limit, [&] { return ends_.size() >= n; });
    }
    std::vector<MailSeen> mails() {
        std::lock_guard<std::mutex> g(m_);
        return mails_;
    }
    // How each message handled ended: "mail", "recv:N", "no recipients", "no sender",
    // "no body", "refused ip", "refused data".
    std::vector<std::string> ends() {
        std::lock_guard<std::mutex> g(m_);
        return ends_;
    }

  private:
    static int callback(sms* s, int event, const sms_cb_arg& arg, void* data) {
        auto* self = static_cast<Gateway*>(data);
        if (event == SMS_WAITING) return !self->stop_;
        if (event == SMS_ERRORCODE) return 0;
        std::unique_ptr<sms_message> msg = std::move(*arg.msg);
        std::string how = self->handle_one(s, msg);
        sms_msg_free(s, msg);
        self->end(std::move(how));
        return 1;
    }

    void end(std::string how) {
        std::lock_guard<std::mutex> g(m_);
        ends_.push_back(std::move(how));
        cv_.notify_all();
    }

    std::string handle_one(sms* s, std::unique_ptr<sms_message>& msg) {
        MailSeen seen;
        const char* ip = sms_msg_fromip(s, msg.get());
        if (!ip) return "no ip";
        seen.ip = ip;
        if (policy_.refuse_ip) {
            sms_msg_reject(s, msg.get(), 500, "Ip Blocked");
            return "refused ip";
        }
        int r = sms_msg_recv(s, msg.get());
        if (r != 0) return "recv:" + std::to_string(r);
        while (const char* to = sms_msg_to(s, msg.get())) {
            std::string t = to;
            if (policy_.refuse_to && policy_.refuse_to(t)) {
                sms_msg_reject(s, msg.get(), 500, "To Blocked");
                continue;
            }
            seen.to.push_back(t);
        }
        if (seen.to.empty()) return "no recipients";
        const char* from = sms_msg_from(s, msg.get());
        if (!from) return "no sender";
        seen.from = from;
        const char* body = sms_msg_body(s, msg.get());
        if (!body) return "no body";
        seen.body = body;
        seen.headers = *sms_smtp_headers(msg.get());
        auto* m = static_cast<smtp_message*>(msg.get());
        seen.spool_existed = !m->file.empty() && std::filesystem::exists(m->file);
        seen.thread = std::this_thread::get_id();
        if (policy_.refuse_data) {
            sms_msg_reject(s, msg.get(), 500, "From Blocked");
            return "refused data";
        }
        {
            // Recorded before the acceptance, which reads on until the client's next mail.
            std::lock_guard<std::mutex> g(m_);
            mails_.push_back(seen);
            cv_.notify_all();
        }
        int a = sms_msg_accept(s, msg.get(), 250, "Command DATA Processed mail data OK");
        {
            std::lock_guard<std::mutex> g(m_);
            for (auto& x : mails_)
                if (x.from == seen.from && x.body == seen.body && x.accept_result == -100) {
                    x.accept_result = a;
                    break;
                }
        }
        return "mail";
    }

    Policy policy_;
    TempDir dir_;
    smtp_init init_;
    std::unique_ptr<sms> s_;
    int port_ = 0;
    std::thread waiter_;
    std::atomic<bool> stop_{false};
    int result_ = 0;
    std::mutex m_;
    std::condition_variable cv_;
    std::vector<MailSeen> mails_;
    std::vector<std::string> ends_;
};

}  // namespace tolvane::test
