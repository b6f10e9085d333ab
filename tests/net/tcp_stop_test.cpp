// Stopping waits: every kind of blocked wait (reads plain and TLS, the line reader, accept,
// the listener's wait, a write to a full peer, a connect) ends within a few milliseconds of
// a stop from another thread, whether the process-wide stop or tcp_close_now on the one
// channel, while waits without a stop still take their whole limit and deliver data.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>

#include "foundation/tracefile.h"
#include "net/myssl.h"
#include "net/ssl_support.h"
#include "net/tcp.h"
#include "net/tcp_internal.h"
#include "net/tcp_support.h"

namespace tolvane {
namespace {

using namespace tcptest;

// A limit no case may reach: a wait that ends on it was not ended by the stop.
constexpr int LONG_MS = 30000;
// When the stopper asks, after the wait has started.
constexpr int STOP_AFTER_MS = 300;
// A stop must end the wait well inside this; a wait cut into one-second slices could not
// (asked 300 ms into a slice, it ends 700 ms later), nor one that never looks at the stop.
constexpr long STOP_BOUND_MS = 500;

// A TLS connection, handshake done: the channel end under test, a client on the other.
struct TlsLink {
    Link link;
    std::unique_ptr<ssltest::TlsClient> client;
    TlsLink() {
        client = std::make_unique<ssltest::TlsClient>(::dup(link.peer.get()));
        link.peer.reset();
        std::thread peer([&] { EXPECT_TRUE(client->handshake()); });
        auto m = myssl_takeover_real(*link.ch, link.ch->sk, -1, 1, nullptr, nullptr, 0,
                                     ssltest::shared_setup());
        EXPECT_TRUE(m) << m.reason();
        if (m) {
            link.ch->ssl = std::move(*m);
            link.ch->never_close = 1;
        }
        peer.join();
    }
};

// A listener whose queue of finished connections is full: the kernel drops further
// handshakes, so a connect to it waits until its limit.
struct FullListener {
    Fd lsn;
    Fd queued[3];
    int port = 0;
    FullListener() {
        lsn.reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        EXPECT_EQ(::bind(lsn.get(), reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        EXPECT_EQ(::listen(lsn.get(), 0), 0);
        EXPECT_EQ(::getsockname(lsn.get(), reinterpret_cast<sockaddr*>(&a), &len), 0);
        port = ntohs(a.sin_port);
        for (auto& q : queued) {
            q.reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
            (void)::connect(q.get(), reinterpret_cast<sockaddr*>(&a), sizeof a);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));  // let the queue fill
    }
};

// What one case builds: the channel a tcp_close_now goes to, and whatever keeps it alive.
struct Scene {
    std::unique_ptr<Link> link;
    std::unique_ptr<TlsLink> tls;
    std::unique_ptr<FullListener> full;
    std::unique_ptr<CHAN> out;
    CHAN* target = nullptr;
    std::string big;
};

struct Case {
    const char* name;
    std::function<void(Scene&)> setup;
    std::function<int(Scene&)> wait;  // the blocked call
    int expect;                       // what it gives when stopped
    bool closes;                      // the stop leaves the channel closed
};

CHAN* plain(Scene& s) {
    s.link = std::make_unique<Link>();
    return s.target = s.link->ch.get();
}
CHAN* secure(Scene& s) {
    s.tls = std::make_unique<TlsLink>();
    return s.target = s.tls->link.ch.get();
}
CHAN* listener(Scene& s) {
    s.link = std::make_unique<Link>();
    return s.target = s.link->lsn.get();
}

const Case kCases[] = {
    {"plain tcp_read_timed", [](Scene& s) { plain(s); },
     [](Scene& s) {
         char b[16];
         return tcp_read_timed(s.target, b, sizeof b, LONG_MS);
     },
     0, true},
    {"plain tcp_readline", [](Scene& s) { tcp_set_read_timeout(plain(s), LONG_MS); },
     [](Scene& s) {
         std::string line;
         return tcp_readline(s.target, line, 100);
     },
     0, true},
    {"plain blocking tcp_read", [](Scene& s) { plain(s); },
     [](Scene& s) {
         char b[16];
         int n = tcp_read(s.target, b, sizeof b);
         return n == -1 && s.target->xerrno == ECANCELED ? -1 : 100 + n;
     },
     -1, true},
    {"TLS tcp_read_timed", [](Scene& s) { secure(s); },
     [](Scene& s) {
         char b[16];
         return tcp_read_timed(s.target, b, sizeof b, LONG_MS);
     },
     0, true},
    {"TLS tcp_readline", [](Scene& s) { tcp_set_read_timeout(secure(s), LONG_MS); },
     [](Scene& s) {
         std::string line;
         return tcp_readline(s.target, line, 100);
     },
     0, true},
    {"TLS blocking tcp_read", [](Scene& s) { secure(s); },
     [](Scene& s) {
         char b[16];
         int n = tcp_read(s.target, b, sizeof b);
         return n == -1 && s.target->xerrno == ECANCELED ? -1 : 100 + n;
     },
     -1, true},
    {"listener tcp_waitfor", [](Scene& s) { listener(s); },
     [](Scene& s) { return tcp_waitfor(s.target, LONG_MS); }, 0, true},
    {"blocking tcp_accept", [](Scene& s) { listener(s); },
     [](Scene& s) {
         std::unique_ptr<CHAN> nc;
         int r = tcp_accept(s.target, nc);
         return r == 0 && nc->xerrno == ECANCELED && nc->sk == -1 ? 0 : 1;
     },
     0, true},
    {"tcp_write_timed to a peer that never reads",
     [](Scene& s) {
         CHAN* c = plain(s);
         int small = 4096;
         setsockopt(s.link->peer.get(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
         setsockopt(c->sk, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
         s.big.assign(8 * 1024 * 1024, 'w');
     },
     [](Scene& s) {
         int len = static_cast<int>(s.big.size());
         int sent = tcp_write_timed(s.target, s.big.data(), len, LONG_MS);
         return sent > 0 && sent < len ? 0 : 1;
     },
     0, false},
    {"tcp_open_x to a listener that takes no more",
     [](Scene& s) {
         s.full = std::make_unique<FullListener>();
         s.out = tcp_new();
         s.target = s.out.get();
     },
     [](Scene& s) {
         std::string to = "127.0.0.1:" + std::to_string(s.full->port);
         int r = tcp_open_x(s.out, to.c_str(), 0, nullptr, LONG_MS);
         return r == 0 && s.out->xerrno == ECANCELED ? 0 : 1;
     },
     0, true},
};

TEST(TcpStop, EveryBlockedWaitEndsAtOnceOnAStop) {
    enum class Stop { process, channel };
    for (Stop how : {Stop::process, Stop::channel}) {
        for (const Case& c : kCases) {
            SCOPED_TRACE(std::string(c.name) +
                         (how == Stop::process ? " / tcp_set_exit" : " / tcp_close_now"));
            Scene s;
            c.setup(s);
            ASSERT_NE(s.target, nullptr);
            std::atomic<long> asked{0};
            std::thread stopper([&] {
                std::this_thread::sleep_for(std::chrono::milliseconds(STOP_AFTER_MS));
                asked = tcp_now_ms();
                if (how == Stop::process) {
                    tcp_set_exit(1);
                } else {
                    tcp_close_now(s.target);
                }
            });
            long began = tcp_now_ms();
            int r = c.wait(s);
            long ended = tcp_now_ms();
            stopper.join();
            tcp_set_exit(0);
            EXPECT_EQ(r, c.expect);
            // It waited for the stop (not failing early), and the stop ended it.
            EXPECT_GE(ended, asked.load()) << "ended " << ended - began << " ms after start";
            EXPECT_LT(ended - asked.load(), STOP_BOUND_MS);
            if (c.closes) {
                EXPECT_EQ(s.target->sk, -1);
            }
            std::printf("[ stop     ] %-45s %-14s %3ld ms after the request\n", c.name,
                        how == Stop::process ? "tcp_set_exit" : "tcp_close_now",
                        ended - asked.load());
        }
    }
}

// Without a stop nothing changes: data that comes later than the first second of a wait
// (when a quiet peer's held trace goes out) is delivered, a wait without data takes its
// whole limit and keeps the channel, and a stop that was cleared leaves no trace.
TEST(TcpStop, WithoutAStopWaitsDeliverDataAndTakeTheirWholeLimit) {
    tcp_init(capture);
    tcp_set_exit(1);
    tcp_set_exit(0);  // a cleared stop must not end the waits below
    struct Read {
        const char* name;
        bool tls;
        int delay_ms;  // data after this, -1 none
        int limit_ms;
        int expect;
    };
    const Read reads[] = {
        {"plain, data after 1.3 s", false, 1300, LONG_MS, 5},
        {"plain, data at once", false, 0, LONG_MS, 5},
        {"plain, no data", false, -1, 300, -2},
        {"TLS, data after 1.3 s", true, 1300, LONG_MS, 5},
        {"TLS, no data", true, -1, 300, -2},
    };
    for (const Read& r : reads) {
        SCOPED_TRACE(r.name);
        Scene s;
        if (r.tls) {
            secure(s);
        } else {
            plain(s);
        }
        // Taken before the peer starts its delay, so that a reader held up here under load
        // cannot seem to get the data before it was sent.
        long began = tcp_now_ms();
        std::thread peer([&] {
            if (r.delay_ms < 0) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(r.delay_ms));
            if (r.tls) {
                EXPECT_TRUE(s.tls->client->send("hello"));
            } else {
                send_all(s.link->peer.get(), "hello");
            }
        });
        char buf[16];
        int n = tcp_read_timed(s.target, buf, sizeof buf, r.limit_ms);
        long took = tcp_now_ms() - began;
        peer.join();
        EXPECT_EQ(n, r.expect);
        EXPECT_GE(s.target->sk, 0);
        if (n == 5) {
            EXPECT_EQ(std::string(buf, 5), "hello");
            EXPECT_GE(took, r.delay_ms - 5);
            EXPECT_LT(took, r.limit_ms);
        } else {
            EXPECT_GE(took, r.limit_ms);  // never before its limit
            EXPECT_LT(took, r.limit_ms + 5000);
        }
    }
}

// The line reader's limit (read_timeout) holds the same way, and a blocking plain read
// waits for as long as its data takes.
TEST(TcpStop, LineReaderTimesOutAtItsLimitAndBlockingReadsWait) {
    Link l;
    tcp_set_read_timeout(l.ch.get(), 250);
    std::string line;
    long began = tcp_now_ms();
    EXPECT_EQ(tcp_readline(l.ch.get(), line, 100), 0);
    EXPECT_GE(tcp_now_ms() - began, 250);
    EXPECT_EQ(l.ch->erradd, "after 0 seconds");
    EXPECT_GE(l.ch->sk, 0);
    std::thread peer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(1200));
        send_all(l.peer.get(), "late");
    });
    char buf[16];
    EXPECT_EQ(tcp_read(l.ch.get(), buf, sizeof buf), 4);
    peer.join();
    EXPECT_EQ(std::string(buf, 4), "late");
}

// tcp_close_now stops its own channel only, and once a channel is closed it no longer
// names a socket: a later request cannot shut down a connection that got the same number.
TEST(TcpStop, CloseNowTouchesOnlyItsOwnSocket) {
    Link a;
    Link b;
    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        tcp_close_now(a.ch.get());
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        send_all(b.peer.get(), "b ok");
    });
    char buf[16];
    EXPECT_EQ(tcp_read_timed(b.ch.get(), buf, sizeof buf, LONG_MS), 4);
    stopper.join();
    EXPECT_EQ(std::string(buf, 4), "b ok");
    // a had not waited yet (no socket published to shut down): the request still holds.
    EXPECT_EQ(tcp_read_timed(a.ch.get(), buf, sizeof buf, LONG_MS), 0);
    EXPECT_EQ(a.ch->sk, -1);
    EXPECT_EQ(a.ch->wake_sk.load(), -1);

    Link c;
    ASSERT_EQ(tcp_read_timed(c.ch.get(), buf, sizeof buf, 10), -2);  // publishes c's socket
    tcp_close_nice(c.ch.get());
    EXPECT_EQ(c.ch->wake_sk.load(), -1);
    Link d;  // most likely gets the numbers c gave back
    tcp_close_now(c.ch.get());
    send_all(d.peer.get(), "d ok");
    EXPECT_EQ(tcp_read_timed(d.ch.get(), buf, sizeof buf, LONG_MS), 4);
    EXPECT_EQ(std::string(buf, 4), "d ok");
}

// A read kept waiting by a quiet peer gives out the trace lines its thread holds after a
// second, rather than when the dialogue ends.
TEST(TcpStop, AQuietPeerGetsTheHeldTraceOut) {
    ssltest::TempDir dir;
    auto opened = trace_open(dir.file("dialogue.log"));
    ASSERT_TRUE(opened) << opened.reason();
    std::shared_ptr<TraceFile> t = *opened;
    Link l;
    int n = 0;
    std::thread reader([&] {
        TraceHold hold;
        trace_write(*t, "held line\n");
        char buf[16];
        n = tcp_read_timed(l.ch.get(), buf, sizeof buf, LONG_MS);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    std::string during = ssltest::slurp(dir.file("dialogue.log"));
    send_all(l.peer.get(), "x");
    reader.join();
    EXPECT_EQ(during, "held line\n");
    EXPECT_EQ(n, 1);
}

}  // namespace
}  // namespace tolvane
