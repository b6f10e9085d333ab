// Test harness for the SMTP server: a temporary directory, a bare-socket client that
// plays the mail client line by line, and a "gateway" that runs an SmtpServer with a
// policy playing the gateway's part (accepting or refusing) and records every mail it
// sees.
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

#include "net/tcp.h"
#include "sms/transport.h"
#include "smtp/engine.h"
#include "smtp/server.h"

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
    bool spool_existed = false;
    std::thread::id thread;  // the thread the gateway handled the mail on
    std::string stages;      // the policy's hooks in the order they were called
};

// What the test gateway does with each message.
struct Policy {
    std::function<bool(const std::string&)> refuse_to;  // recipients to refuse
    bool refuse_data = false;
    bool refuse_ip = false;
    long spool_over = 0;  // the driver's setting: mails up to it stay in memory
    int max_sessions = 500;
    long max_size = 0;  // the driver's message size limit (0: its default)
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
        init_.max_size = policy_.max_size;
        if (trace) init_.smtplog = dir_.sub("smtp.log");
        auto s = SmtpServer::open(init_, [this] { return std::make_unique<OneMail>(*this); });
        if (!s) return;
        s_ = std::move(*s);
        port_ = s_->port();
        waiter_ = std::jthread([this](std::stop_token st) { s_->run(st); });
    }
    ~Gateway() { stop(); }
    Gateway(const Gateway&) = delete;
    Gateway& operator=(const Gateway&) = delete;

    void stop() {
        if (waiter_.joinable()) {
            waiter_.request_stop();
            waiter_.join();
        }
        if (s_) {
            s_->drain(15000);
            s_.reset();
        }
    }
    int port() const { return port_; }
    SmtpServer* server() { return s_.get(); }
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
    // How each transaction ended: "mail", "no mail" (none came), "no recipients", "no body"
    // (ended before its data was in), "refused ip", "refused data".
    std::vector<std::string> ends() {
        std::lock_guard<std::mutex> g(m_);
        return ends_;
    }

  private:
    // The test gateway's policy for one transaction: refuses as Policy says, records what
    // it saw, and tells how the transaction ended when it goes.
    class OneMail : public SessionPolicy {
      public:
        explicit OneMail(Gateway& g) : g_(g) {}
        ~OneMail() override {
            if (!how_.empty()) g_.end(how_);
        }
        Reply on_connect(const Peer& peer) override {
            seen_.stages += "connect ";
            seen_.ip = peer.ip;
            if (!g_.policy_.refuse_ip) return Reply::accept();
            how_ = "refused ip";
            return Reply::refuse(500, "Ip Blocked", true);
        }
        void on_helo(const Peer& peer) override { seen_.stages += "helo(" + peer.helo + ") "; }
        void on_auth(const std::string& user) override { seen_.stages += "auth(" + user + ") "; }
        Reply on_rcpt(const std::string& to) override {
            seen_.stages += "rcpt ";
            if (g_.policy_.refuse_to && g_.policy_.refuse_to(to))
                return Reply::refuse(500, "To Blocked");
            seen_.to.push_back(to);
            return Reply::accept();
        }
        Reply on_data_start() override {
            if (!seen_.to.empty()) return Reply::accept();
            how_ = "no recipients";
            return Reply::hang_up();
        }
        Reply on_data(Envelope&& e) override {
            seen_.stages += "data";
            seen_.from = e.from;
            seen_.body = e.body;
            seen_.headers = e.headers;
            seen_.thread = std::this_thread::get_id();
            seen_.spool_existed = !e.spool_file.empty() && std::filesystem::exists(e.spool_file);
            if (g_.policy_.refuse_data) {
                how_ = "refused data";
                return Reply::refuse(500, "From Blocked", true);
            }
            how_ = "mail";
            g_.record(seen_);
            return Reply{250, "Command DATA Processed mail data OK", false};
        }
        Reply on_mail(const Peer&, const std::string&) override {
            seen_.stages += "mail ";
            mail_ = true;
            return Reply::accept();
        }
        void on_abort() override {
            if (how_.empty()) how_ = !mail_ ? "no mail" : seen_.to.empty() ? "no recipients" : "no body";
        }

      private:
        Gateway& g_;
        MailSeen seen_;
        std::string how_;
        bool mail_ = false;
    };

    void record(const MailSeen& seen) {
        std::lock_guard<std::mutex> g(m_);
        mails_.push_back(seen);
        cv_.notify_all();
    }

    void end(std::string how) {
        std::lock_guard<std::mutex> g(m_);
        ends_.push_back(std::move(how));
        cv_.notify_all();
    }

    Policy policy_;
    TempDir dir_;
    smtp_init init_;
    std::unique_ptr<SmtpServer> s_;
    int port_ = 0;
    std::jthread waiter_;
    std::mutex m_;
    std::condition_variable cv_;
    std::vector<MailSeen> mails_;
    std::vector<std::string> ends_;
};

}  // namespace tolvane::test
