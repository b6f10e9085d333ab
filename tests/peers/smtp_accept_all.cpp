// An SMTP listener that accepts every mail: the transport's wait loop with a
// callback playing an accept-everything gateway. For load measurements
// (bench/smtp_listener_load.sh). Prints "port N" once listening; counts mails;
// ends on SIGTERM or SIGINT, printing "mails N".
//
//   smtp_accept_all [port] [workdir] [client-timeout-ms]     (port 0: a free one)
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "smtp/engine.h"
#include "net/tcp.h"
#include "sms/sms.h"

using namespace tolvane;

namespace {

std::atomic<bool> g_stop{false};
std::atomic<long> g_mails{0};

void on_signal(int) {
    g_stop = true;
}

int accept_all(sms* s, int event, const sms_cb_arg& arg, void*) {
    if (event == SMS_WAITING) return !g_stop;
    if (event == SMS_ERRORCODE) return 0;
    std::unique_ptr<sms_message> msg = std::move(*arg.msg);
    if (sms_msg_fromip(s, msg.get()) && sms_msg_recv(s, msg.get()) == 0) {
        int n = 0;
        while (sms_msg_to(s, msg.get())) ++n;
        if (n > 0 && sms_msg_from(s, msg.get()) && sms_msg_body(s, msg.get())) {
            ++g_mails;
            sms_msg_accept(s, msg.get(), 250, "Command DATA Processed mail data OK");
        }
    }
    sms_msg_free(s, msg);
    return 1;
}

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
    int err = 0;
    auto s = sms_smtp_init(rec, err);
    if (!s || err) {
        std::string why;
        std::fprintf(stderr, "listener: %s\n", sms_error(s.get(), err, why).c_str());
        return 1;
    }
    s->idle_pause_ms = 10;
    std::printf("port %d\n", sms_smtp_port(s.get()));
    std::fflush(stdout);
    sms_wait(s.get(), 100, accept_all, nullptr);
    for (int i = 0; i < 200 && sms_busy(s.get()) > 0; ++i) usleep(50000);
    std::printf("mails %ld\n", g_mails.load());
    std::fflush(stdout);
    sms_free(s);
    return 0;
}
