// An SMTP listener that accepts every mail: the SMTP server with a policy that takes
// everything and counts it. For load measurements (bench/smtp_listener_load.sh). Prints
// "port N" once listening; counts mails; ends on SIGTERM or SIGINT, printing "mails N".
//
//   smtp_accept_all [port] [workdir] [client-timeout-ms]     (port 0: a free one)
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "net/tcp.h"
#include "smtp/server.h"

using namespace tolvane;

namespace {

std::atomic<bool> g_stop{false};
std::atomic<long> g_mails{0};

void on_signal(int) {
    g_stop = true;
}

// Every mail with a recipient is taken.
class AcceptAll : public SessionPolicy {
  public:
    Reply on_rcpt(const std::string&) override {
        ++recipients_;
        return Reply::accept();
    }
    // A mail that named no recipient is no mail: the connection ends unanswered.
    Reply on_data_start() override { return recipients_ > 0 ? Reply::accept() : Reply::hang_up(); }
    Reply on_data(Envelope&&) override {
        ++g_mails;
        return Reply{250, "Command DATA Processed mail data OK", false};
    }

  private:
    int recipients_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
    int port = argc > 1 ? std::atoi(argv[1]) : 0;
    std::string dir = argc > 2 ? argv[2] : "/tmp/tv_accept_all";
    signal(SIGTERM, on_signal);
    signal(SIGINT, on_signal);
    tcp_init();
    smtp_init rec;
    rec.listenport = port > 0 ? port : -1;
    rec.bind = "127.0.0.1";
    rec.greeting = "TOLVANE";
    rec.workpath = dir;
    if (argc > 3) rec.client_timeout = std::atoi(argv[3]);
    auto s = SmtpServer::open(rec, [] { return std::make_unique<AcceptAll>(); });
    if (!s) {
        std::fprintf(stderr, "listener: %s\n", s.reason().c_str());
        return 1;
    }
    SmtpServer& server = **s;
    std::printf("port %d\n", server.port());
    std::fflush(stdout);
    {
        std::jthread accepting([&server](std::stop_token st) { server.run(st); });
        // Signals only set the flag: the accepting loop is stopped from here.
        while (!g_stop.load()) usleep(50000);
    }
    (void)server.drain(10000);
    std::printf("mails %ld\n", g_mails.load());
    std::fflush(stdout);
    return 0;
}
