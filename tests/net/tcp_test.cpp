// TCP channels against scripted peers on loopback. The peer side uses bare sockets, not
// the library, so that a fault on one side cannot hide one on the other.
#include "net/tcp.h"

#include "net/tcp_internal.h"
#include "net/tcp_support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace tolvane {
namespace {

using namespace tcptest;

// ---- listening and accepting ----

TEST(TcpListen, PortZeroGivesAReadableBoundPort) {
    Link l;
    EXPECT_GT(l.port, 0);
    EXPECT_GE(l.ch->sk, 0);
}

TEST(TcpListen, BusyPortFailsWithItsReason) {
    Link l;
    std::unique_ptr<CHAN> second;
    EXPECT_EQ(tcp_listen(second, l.port, "127.0.0.1", 0), 0);
    ASSERT_TRUE(second);  // the record stays for the caller to free
    EXPECT_EQ(second->sk, -1);
    EXPECT_EQ(tcp_error(second.get()), "Address already in use");
    EXPECT_EQ(tcp_free(second), 1);
    EXPECT_FALSE(second);
}

TEST(TcpListen, HoldsABurstOfConnectionsBeforeTheyAreAccepted) {
    // A burst of clients arriving together (mail servers flushing a queue) must all be
    // held by the kernel until the accept loop reaches them; with a short queue the
    // later handshakes are dropped and those clients stall.
    std::unique_ptr<CHAN> lsn;
    ASSERT_EQ(tcp_listen(lsn, 0, "127.0.0.1", 1), 1);
    int port = 0;
    ASSERT_EQ(tcp_getport(lsn.get(), port), 1);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    constexpr int kBurst = 200;
    std::vector<std::unique_ptr<Fd>> clients;
    std::vector<pollfd> waits;
    for (int i = 0; i < kBurst; ++i) {
        auto fd = std::make_unique<Fd>(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
        ASSERT_GE(fd->get(), 0);
        int r = ::connect(fd->get(), reinterpret_cast<sockaddr*>(&to), sizeof to);
        ASSERT_TRUE(r == 0 || errno == EINPROGRESS);
        waits.push_back({fd->get(), POLLOUT, 0});
        clients.push_back(std::move(fd));
    }
    // Wait (bounded) until every handshake has completed.
    int connected = 0;
    for (int round = 0; round < 40 && connected < kBurst; ++round) {
        ::poll(waits.data(), waits.size(), 50);
        connected = 0;
        for (auto& w : waits) {
            int err = -1;
            socklen_t len = sizeof err;
            if ((w.revents & POLLOUT) && getsockopt(w.fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 &&
                err == 0)
                ++connected;
        }
    }
    EXPECT_EQ(connected, kBurst);
    int accepted = 0;
    while (accepted < kBurst && tcp_waitfor(lsn.get(), 200)) {
        std::unique_ptr<CHAN> nc;
        if (!tcp_accept(lsn.get(), nc) || nc->sk < 0) break;
        ++accepted;
    }
    EXPECT_EQ(accepted, kBurst);
}

TEST(TcpListen, BadBindAddressFails) {
    std::unique_ptr<CHAN> c;
    EXPECT_EQ(tcp_listen(c, 0, "300.1.2.3", 0), 0);
    EXPECT_EQ(c->sk, -1);
}

TEST(TcpAccept, RecordsBothAddressesAndPorts) {
    Link l;
    sockaddr_in me{};
    socklen_t len = sizeof me;
    ASSERT_EQ(getsockname(l.peer.get(), reinterpret_cast<sockaddr*>(&me), &len), 0);
    EXPECT_EQ(l.ch->theirname, "127.0.0.1");
    EXPECT_EQ(l.ch->myname, "127.0.0.1");
    EXPECT_EQ(l.ch->rmt_saved, ntohs(me.sin_port));
    EXPECT_EQ(l.ch->lcl_saved, l.port);
    std::string ip;
    EXPECT_EQ(tcp_getip(l.ch.get(), ip), 1);
    EXPECT_EQ(ip, "127.0.0.1");
}

TEST(TcpAccept, WaitTimesOutWithoutAConnection) {
    tcp_init(capture);
    std::unique_ptr<CHAN> lsn;
    ASSERT_EQ(tcp_listen(lsn, 0, "127.0.0.1", 1), 1);
    EXPECT_EQ(tcp_waitfor(lsn.get(), 50), 0);
}

TEST(TcpAccept, FailedAcceptStillGivesAChannelWithoutSocket) {
    tcp_init(capture);
    std::unique_ptr<CHAN> lsn = tcp_new(), c;
    EXPECT_EQ(tcp_accept(lsn.get(), c), 0);
    ASSERT_TRUE(c);
    EXPECT_EQ(c->sk, -1);
}

// ---- the line reader ----

TEST(TcpReadline, DropsOneCarriageReturnBeforeLineFeed) {
    Link l;
    send_all(l.peer.get(), "a\r\nb\nc\r\r\n\r\n");
    std::string line;
    ASSERT_EQ(tcp_readline(l.ch.get(), line, 1000), 1);
    EXPECT_EQ(line, "a");
    ASSERT_EQ(tcp_readline(l.ch.get(), line, 1000), 1);
    EXPECT_EQ(line, "b");
    ASSERT_EQ(tcp_readline(l.ch.get(), line, 1000), 1);
    EXPECT_EQ(line, "c\r");
    ASSERT_EQ(tcp_readline(l.ch.get(), line, 1000), 1);
    EXPECT_EQ(line, "");
}

TEST(TcpReadline, JoinsALineSplitOverSeveralReceives) {
    Link l;
    int fd = l.peer.get();
    std::thread writer([fd] {
        const char* pieces[] = {"HE", "LO exa", "mple.org\r", "\nMAIL"};
        for (const char* p : pieces) {
            ::send(fd, p, std::strlen(p), MSG_NOSIGNAL);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    std::string line;
    EXPECT_EQ(tcp_readline(l.ch.get(), line, 1000), 1);
    writer.join();
    EXPECT_EQ(line, "HELO example.org");
}

TEST(TcpReadline, LongLineIsCutAndItsRestSkipped) {
    Link l;
    send_all(l.peer.get(), std::string(25, 'x') + "\r\nnext\r\n");
    std::string line;
    ASSERT_EQ(tcp_readline(l.ch.get(), line, 10), 1);
    EXPECT_EQ(line, std::string(9, 'x'));
    EXPECT_EQ(l.ch->lastcut, 1);
    ASSERT_EQ(tcp_readline(l.ch.get(), line, 10), 1);
    EXPECT_EQ(line, "next");
    EXPECT_EQ(l.ch->lastcut, 0);
}

TEST(TcpReadline, LineLongerThanTheBufferKeepsTheStreamInStep) {
    Link l;
    // If the reader handed out the tail of this line, the tail would be a lone "." and a
    // mail dialogue would take it for the end of the data.
    std::string huge = std::string(5 * TCP_INBUF, 'y') + "." + "\r\nQUIT\r\n";
    int fd = l.peer.get();
    std::thread writer([fd, &huge] { send_all(fd, huge); });
    std::string line;
    ASSERT_EQ(tcp_readline(l.ch.get(), line, 1000), 1);
    EXPECT_EQ(line, std::string(999, 'y'));
    EXPECT_EQ(l.ch->lastcut, 1);
    ASSERT_EQ(tcp_readline(l.ch.get(), line, 1000), 1);
    EXPECT_EQ(line, "QUIT");
    writer.join();
    EXPECT_TRUE(reported("No end of line in input buffer"));
}

TEST(TcpReadline, LineOfExactlyTheLimitIsWhole) {
    Link l;
    send_all(l.peer.get(), std::string(999, 'z') + "\r\n");
    std::string line;
    ASSERT_EQ(tcp_readline(l.ch.get(), line, 1000), 1);
    EXPECT_EQ(line.size(), 999u);
    EXPECT_EQ(l.ch->lastcut, 0);
}

TEST(TcpReadline, NulBytesBecomeSpacesWithoutWaitingForMoreInput) {
    Link l;
    tcp_set_read_timeout(l.ch.get(), 3000);
    send_all(l.peer.get(), std::string("HE\0LO\0\r\n", 8));
    std::string line;
    ASSERT_EQ(tcp_readline(l.ch.get(), line, 1000), 1);
    EXPECT_EQ(line, "HE LO ");
}

TEST(TcpReadline, FixnullsTurnsNulBytesIntoN) {
    Link l;
    l.ch->fixnulls = 1;
    send_all(l.peer.get(), std::string("a\0b\n", 4));
    std::string line;
    ASSERT_EQ(tcp_readline(l.ch.get(), line, 1000), 1);
    EXPECT_EQ(line, "aNb");
}

TEST(TcpReadline, SilentPeerTimesOutAndTheChannelStaysOpen) {
    Link l;
    tcp_set_read_timeout(l.ch.get(), 150);
    send_all(l.peer.get(), "par");
    std::string line;
    EXPECT_EQ(tcp_readline(l.ch.get(), line, 1000), 0);
    EXPECT_EQ(l.ch->erradd.rfind("after ", 0), 0u) << l.ch->erradd;
    EXPECT_GE(l.ch->sk, 0);
    // The partial line is kept and completed by later input.
    send_all(l.peer.get(), "tial\n");
    tcp_set_read_timeout(l.ch.get(), 5000);
    ASSERT_EQ(tcp_readline(l.ch.get(), line, 1000), 1);
    EXPECT_EQ(line, "partial");
}

TEST(TcpReadline, PeerThatDisconnectsGivesZeroAndClosesTheChannel) {
    Link l;
    send_all(l.peer.get(), "one\nunfinished");
    l.peer.reset();
    std::string line;
    ASSERT_EQ(tcp_readline(l.ch.get(), line, 1000), 1);
    EXPECT_EQ(line, "one");
    EXPECT_EQ(tcp_readline(l.ch.get(), line, 1000), 0);
    EXPECT_EQ(l.ch->sk, -1);
    EXPECT_EQ(tcp_error(l.ch.get()), "Connection was closed.");
    EXPECT_EQ(tcp_readline(l.ch.get(), line, 1000), 0);  // and stays closed
}

TEST(TcpReadline, ManyPipelinedLinesArriveInOrder) {
    Link l;
    std::string all;
    for (int i = 0; i < 5000; ++i) all += "line " + std::to_string(i) + "\r\n";
    int fd = l.peer.get();
    std::thread writer([fd, &all] { send_all(fd, all); });
    std::string line;
    for (int i = 0; i < 5000; ++i) {
        ASSERT_EQ(tcp_readline(l.ch.get(), line, 1000), 1) << i;
        ASSERT_EQ(line, "line " + std::to_string(i));
    }
    writer.join();
    EXPECT_EQ(l.ch->total_read, static_cast<long>(all.size()));
}

TEST(TcpReadline, ExitFlagEndsALongWait) {
    Link l;
    tcp_set_read_timeout(l.ch.get(), 600000);
    std::thread stopper([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        tcp_set_exit(1);
    });
    std::string line;
    EXPECT_EQ(tcp_readline(l.ch.get(), line, 1000), 0);
    stopper.join();
    tcp_set_exit(0);
    EXPECT_EQ(l.ch->sk, -1);
    EXPECT_TRUE(reported("Fake channel close for tcp_set_exit"));
}

// ---- timed reads ----

TEST(TcpReadTimed, BufferedBytesComeFirst) {
    Link l;
    send_all(l.peer.get(), "line1\nrest");
    std::string line;
    ASSERT_EQ(tcp_readline(l.ch.get(), line, 1000), 1);
    char buf[100];
    int n = tcp_read_timed(l.ch.get(), buf, sizeof buf, 1000);
    ASSERT_EQ(n, 4);
    EXPECT_EQ(std::string(buf, 4), "rest");
}

TEST(TcpReadTimed, TimeOutIsMinusTwoAndKeepsTheChannel) {
    Link l;
    char buf[10];
    EXPECT_EQ(tcp_read_timed(l.ch.get(), buf, sizeof buf, 50), -2);
    EXPECT_GE(l.ch->sk, 0);
    send_all(l.peer.get(), "x");
    EXPECT_EQ(tcp_read_timed(l.ch.get(), buf, sizeof buf, 2000), 1);
}

TEST(TcpReadTimed, ClosedPeerIsZeroAndClosesTheChannel) {
    Link l;
    l.peer.reset();
    char buf[10];
    EXPECT_EQ(tcp_read_timed(l.ch.get(), buf, sizeof buf, 2000), 0);
    EXPECT_EQ(l.ch->sk, -1);
    EXPECT_EQ(tcp_read_timed(l.ch.get(), buf, sizeof buf, 10), -1);
    EXPECT_TRUE(reported("tcp_read_timed: socket closed normally by remote end"));
}

// A long timed read on a plain socket: data that comes after the first second (when the
// wait hands out held trace lines and goes on) is read, an exit or close_now request from
// another thread ends the wait, and a plain read afterwards still waits for as long as it
// takes.
TEST(TcpReadTimed, LongWaitsDeliverLateDataAndEndOnStopRequests) {
    enum class Then { data, exit_flag, close_now };
    struct Case {
        const char* name;
        Then then;
        int expect;  // what tcp_read_timed returns
    };
    const Case cases[] = {
        {"data after the first slice", Then::data, 5},
        {"exit flag", Then::exit_flag, 0},
        {"close_now", Then::close_now, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Link l;
        std::thread later([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(1300));
            if (c.then == Then::data) send_all(l.peer.get(), "hello");
            if (c.then == Then::exit_flag) tcp_set_exit(1);
            if (c.then == Then::close_now) tcp_close_now(l.ch.get());
        });
        char buf[16];
        int n = tcp_read_timed(l.ch.get(), buf, sizeof buf, 60000);
        later.join();
        tcp_set_exit(0);
        EXPECT_EQ(n, c.expect);
        if (c.then != Then::data) {
            EXPECT_EQ(l.ch->sk, -1);
            continue;
        }
        EXPECT_EQ(std::string(buf, 5), "hello");
        // Nothing the timed read did to the socket ends a plain read that has to wait
        // longer than a second.
        std::thread more([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(1300));
            send_all(l.peer.get(), "world");
        });
        EXPECT_EQ(tcp_read(l.ch.get(), buf, sizeof buf), 5);
        more.join();
        EXPECT_EQ(std::string(buf, 5), "world");
    }
}

TEST(TcpReadTimed, PlainReadReportsPeerClose) {
    Link l;
    send_all(l.peer.get(), "ab");
    l.peer.reset();
    char buf[10];
    EXPECT_EQ(tcp_read(l.ch.get(), buf, sizeof buf), 2);
    EXPECT_EQ(tcp_read(l.ch.get(), buf, sizeof buf), 0);
    EXPECT_EQ(l.ch->xerrno, -1);
}

// ---- writing ----

TEST(TcpPrintf, EmptyOutputSendsNothing) {
    Link l;
    EXPECT_EQ(tcp_printf(l.ch.get(), "%s", ""), 1);
    EXPECT_EQ(tcp_printf(l.ch.get(), "250 %s\r\n", "OK"), 1);
    EXPECT_EQ(read_until_quiet(l.peer.get(), 200), "250 OK\r\n");
}

TEST(TcpPrintf, LongOutputIsCutAt3999) {
    Link l;
    std::string big(6000, 'q');
    EXPECT_EQ(tcp_printf(l.ch.get(), "%s", big.c_str()), 1);
    tcp_close_nice(l.ch.get());
    EXPECT_EQ(read_until_quiet(l.peer.get(), 2000), std::string(3999, 'q'));
}

TEST(TcpPrintf, WritingToAGonePeerFailsWithoutSigpipe) {
    Link l;
    // With the default action a write to a reset connection would end this process.
    auto old = std::signal(SIGPIPE, SIG_DFL);
    linger lg{1, 0};
    setsockopt(l.peer.get(), SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    l.peer.reset();  // reset, not an orderly close
    int ok = 1;
    for (int i = 0; i < 100 && ok; ++i) ok = tcp_printf(l.ch.get(), "250 still there\r\n");
    std::signal(SIGPIPE, old);
    EXPECT_EQ(ok, 0);
    EXPECT_EQ(l.ch->sk, -1);
    EXPECT_TRUE(reported("tcp_printf: failed only"));
}

TEST(TcpWriteTimed, PeerThatNeverReadsStopsTheWriteAtTheLimit) {
    Link l;
    int small = 4096;
    setsockopt(l.peer.get(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    setsockopt(l.ch->sk, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    std::string big(8 * 1024 * 1024, 'w');
    int sent = tcp_write_timed(l.ch.get(), big.data(), static_cast<int>(big.size()), 200);
    EXPECT_GT(sent, 0);
    EXPECT_LT(sent, static_cast<int>(big.size()));
    EXPECT_GE(l.ch->sk, 0);  // a time-out leaves the close to the caller
    EXPECT_TRUE(reported("Closing as timeout on write"));
}

TEST(TcpWriteTimed, CloseNowStopsWrites) {
    Link l;
    l.ch->close_now = 1;
    EXPECT_EQ(tcp_write_timed(l.ch.get(), "abc", 3, 1000), 0);
    EXPECT_EQ(tcp_printf(l.ch.get(), "abc"), 0);
}

TEST(TcpWriteTimed, MeanChannelStopsAtOnceWhenFull) {
    Link l;
    int small = 4096;
    setsockopt(l.peer.get(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    setsockopt(l.ch->sk, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    l.ch->mean = 1;
    std::string big(8 * 1024 * 1024, 'm');
    int sent = tcp_write_timed(l.ch.get(), big.data(), static_cast<int>(big.size()), 600000);
    EXPECT_LT(sent, static_cast<int>(big.size()));
}

TEST(TcpBuffer, OutputIsHeldUntilFlushed) {
    Link l;
    ASSERT_EQ(tcp_buffer_set(l.ch.get(), 1), 1);
    EXPECT_EQ(tcp_printf(l.ch.get(), "HTTP/1.0 200 OK\r\n"), 1);
    EXPECT_EQ(tcp_printf(l.ch.get(), "\r\nbody"), 1);
    EXPECT_EQ(read_until_quiet(l.peer.get(), 100), "");
    EXPECT_EQ(tcp_buffer_flush(l.ch.get()), 1);
    EXPECT_EQ(read_until_quiet(l.peer.get(), 500), "HTTP/1.0 200 OK\r\n\r\nbody");
    EXPECT_EQ(l.ch->isbuffer, 1);
    EXPECT_EQ(tcp_printf(l.ch.get(), "more"), 1);
    tcp_close_nice(l.ch.get());  // closing flushes what is held
    EXPECT_EQ(read_until_quiet(l.peer.get(), 2000), "more");
}

TEST(TcpBuffer, OutFnTakesEveryWrite) {
    auto c = tcp_new();
    std::string got;
    c->out_fn = [&got](const char* d, int n) {
        got.append(d, static_cast<std::size_t>(n));
        return n;
    };
    EXPECT_EQ(tcp_printf(c.get(), "%d-%s", 42, "x"), 1);
    EXPECT_EQ(got, "42-x");
}

// ---- connecting ----

TEST(TcpConnect, HostPortOverridesThePortArgument) {
    Link l;
    std::unique_ptr<CHAN> out;
    std::string host = "127.0.0.1:" + std::to_string(l.port);
    ASSERT_EQ(tcp_open_x(out, host.c_str(), 1, nullptr, 5000), 1) << tcp_error(out.get());
    std::unique_ptr<CHAN> in;
    ASSERT_EQ(tcp_waitfor(l.lsn.get(), 5000), 1);
    ASSERT_EQ(tcp_accept(l.lsn.get(), in), 1);
    EXPECT_EQ(tcp_printf(out.get(), "HELO me\r\n"), 1);
    std::string line;
    ASSERT_EQ(tcp_readline(in.get(), line, 1000), 1);
    EXPECT_EQ(line, "HELO me");
    int lport = 0;
    ASSERT_EQ(tcp_getport(out.get(), lport), 1);
    EXPECT_EQ(in->rmt_saved, lport);
}

TEST(TcpConnect, NameIsLookedUpAndCaseIgnored) {
    Link l;
    std::unique_ptr<CHAN> out;
    EXPECT_EQ(tcp_open_x(out, "LocalHost", l.port, nullptr), 1) << tcp_error(out.get());
}

TEST(TcpConnect, BlankHostFails) {
    tcp_init(capture);
    std::unique_ptr<CHAN> out;
    EXPECT_EQ(tcp_open_x(out, "", 25, nullptr), 0);
    EXPECT_EQ(out->erradd, "Host Blank");
    EXPECT_EQ(tcp_open_x(out, nullptr, 25, nullptr), 0);
}

TEST(TcpConnect, UnknownNameFailsWithLookupText) {
    tcp_init(capture);
    std::unique_ptr<CHAN> out;
    EXPECT_EQ(tcp_open_x(out, "no-such-host.invalid", 25, nullptr, 2000), 0);
    EXPECT_EQ(out->erradd, "gethostbyname failed");
    EXPECT_EQ(tcp_error(out.get()), "Host name lookup failed");
    EXPECT_EQ(tcp_open_x(out, "1.2.3.4.5", 25, nullptr, 2000), 0);
    EXPECT_EQ(out->erradd, "gethostbyname failed");
}

TEST(TcpConnect, RefusedConnectionGivesItsText) {
    tcp_init(capture);
    int port;
    {
        std::unique_ptr<CHAN> lsn;
        ASSERT_EQ(tcp_listen(lsn, 0, "127.0.0.1", 1), 1);
        ASSERT_EQ(tcp_getport(lsn.get(), port), 1);
    }
    std::unique_ptr<CHAN> out;
    EXPECT_EQ(tcp_open_x(out, "127.0.0.1", port, nullptr, 2000), 0);
    EXPECT_EQ(tcp_error(out.get()), "Connection refused");
    EXPECT_NE(out->erradd.find("osec"), std::string::npos) << out->erradd;
    EXPECT_EQ(out->sk, -1);
    EXPECT_TRUE(reported("Connect failed"));
    // Blocking connect without a limit fails the same way.
    EXPECT_EQ(tcp_open_x(out, "127.0.0.1", port, nullptr), 0);
    EXPECT_EQ(tcp_error(out.get()), "Connection refused");
}

TEST(TcpConnect, UnansweredConnectTimesOut) {
    tcp_init(capture);
    // A listener whose accept queue is full drops further connection attempts unanswered.
    Fd lsn(::socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(lsn.get(), reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(::listen(lsn.get(), 0), 0);
    socklen_t len = sizeof a;
    getsockname(lsn.get(), reinterpret_cast<sockaddr*>(&a), &len);
    int port = ntohs(a.sin_port);
    std::vector<std::unique_ptr<CHAN>> fillers;
    std::unique_ptr<CHAN> out;
    int rc = 1;
    for (int i = 0; i < 8 && rc; ++i) {
        out.reset();
        rc = tcp_open_x(out, "127.0.0.1", port, nullptr, 300);
        if (rc) fillers.push_back(std::move(out));
    }
    ASSERT_EQ(rc, 0) << "the accept queue never filled";
    EXPECT_EQ(tcp_error(out.get()), "Connection timed out");
    EXPECT_NE(out->erradd.find(" sec"), std::string::npos) << out->erradd;
    EXPECT_EQ(out->sk, -1);
}

TEST(TcpConnect, ReopeningAChannelClosesTheOldConnection) {
    Link l;
    std::unique_ptr<CHAN> out;
    ASSERT_EQ(tcp_open_x(out, "127.0.0.1", l.port, nullptr, 2000), 1);
    std::unique_ptr<CHAN> first;
    ASSERT_EQ(tcp_waitfor(l.lsn.get(), 2000), 1);
    ASSERT_EQ(tcp_accept(l.lsn.get(), first), 1);
    ASSERT_EQ(tcp_open_x(out, "127.0.0.1", l.port, nullptr, 2000), 1);
    EXPECT_TRUE(reported("tcp_opena called with sk member set"));
    std::string line;
    tcp_set_read_timeout(first.get(), 2000);
    EXPECT_EQ(tcp_readline(first.get(), line, 100), 0);  // the old one sees its end
    EXPECT_EQ(first->xerrno, -1);
}

TEST(TcpConnect, NoblockReturnsBeforeTheConnectionIsUp) {
    Link l;
    auto out = tcp_new();
    out->noblock = 1;
    ASSERT_EQ(tcp_open_x(out, "127.0.0.1", l.port, nullptr), 1);
    EXPECT_EQ(out->block, 0);
    ASSERT_EQ(tcp_setblock(out.get(), 1), 1);
    EXPECT_EQ(out->block, 1);
    std::unique_ptr<CHAN> in;
    ASSERT_EQ(tcp_waitfor(l.lsn.get(), 2000), 1);
    ASSERT_EQ(tcp_accept(l.lsn.get(), in), 1);
    EXPECT_EQ(tcp_printf(out.get(), "x\n"), 1);
    std::string line;
    ASSERT_EQ(tcp_readline(in.get(), line, 100), 1);
    EXPECT_EQ(line, "x");
}

TEST(TcpConnect, LocalPortIsUsedAndAFailedBindFallsBackToAnyPort) {
    Link l;
    int free_port;
    {
        std::unique_ptr<CHAN> probe;
        ASSERT_EQ(tcp_listen(probe, 0, "127.0.0.1", 1), 1);
        ASSERT_EQ(tcp_getport(probe.get(), free_port), 1);
    }
    auto out = tcp_new();
    out->lclport = free_port;
    ASSERT_EQ(tcp_open_x(out, "127.0.0.1", l.port, "127.0.0.1", 2000), 1) << tcp_error(out.get());
    std::unique_ptr<CHAN> in;
    ASSERT_EQ(tcp_waitfor(l.lsn.get(), 2000), 1);
    ASSERT_EQ(tcp_accept(l.lsn.get(), in), 1);
    EXPECT_EQ(in->rmt_saved, free_port);

    // 192.0.2.1 is a documentation address that no interface here has.
    std::unique_ptr<CHAN> out2;
    ASSERT_EQ(tcp_open_x(out2, "127.0.0.1", l.port, "192.0.2.1", 2000), 1);
    EXPECT_TRUE(reported("LCL Bind failed"));
}

TEST(TcpWaitfor, PeerCloseMakesTheChannelReadable) {
    Link l;
    EXPECT_EQ(tcp_waitfor(l.ch.get(), 0), 0);
    l.peer.reset();
    EXPECT_EQ(tcp_waitfor(l.ch.get(), 2000), 1);
    char buf[4];
    EXPECT_EQ(tcp_read_timed(l.ch.get(), buf, sizeof buf, 100), 0);
}

TEST(TcpWaitfor, HeldInputCountsAsReadable) {
    Link l;
    send_all(l.peer.get(), "a\nb\n");
    std::string line;
    ASSERT_EQ(tcp_readline(l.ch.get(), line, 100), 1);
    // "b" is already in the channel's buffer: waiting on the socket would hang.
    EXPECT_EQ(tcp_waitfor(l.ch.get(), 0), 1);
}

TEST(TcpPool, InputBuffersAreRecycled) {
    tcp_init(capture);
    { auto warm = tcp_new(); }
    long before = tcp_pool_total();
    for (int i = 0; i < 200; ++i) {
        auto c = tcp_new();
        ASSERT_EQ(c->inbf.size(), static_cast<std::size_t>(TCP_INBUF));
    }
    EXPECT_EQ(tcp_pool_total(), before);
}

TEST(TcpTrafficLog, TransfersAreCopiedWithControlCharactersShown) {
    namespace fs = std::filesystem;
    std::string tmpl = (fs::temp_directory_path() / "tcp_test_XXXXXX").string();
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    fs::path old = fs::current_path();
    fs::current_path(tmpl);
    {
        Link l;
        l.ch->log_read = 1;
        l.ch->log_write = 1;
        send_all(l.peer.get(), std::string("ab\0\r\n", 5));
        std::string line;
        ASSERT_EQ(tcp_readline(l.ch.get(), line, 100), 1);
        ASSERT_EQ(tcp_printf(l.ch.get(), "ok\n"), 1);
    }
    std::ifstream in("tcp.log");
    std::stringstream got;
    got << in.rdbuf();
    fs::current_path(old);
    fs::remove_all(tmpl);
    EXPECT_EQ(got.str(), "tcp_read: [5] ab\\_\\m\\j\ntcp_write: [3] ok\\j\n");
}

// ---- descriptors above the select() limit ----

TEST(TcpHighDescriptor, ChannelOnDescriptorAbove1024Works) {
    rlimit rl{};
    getrlimit(RLIMIT_NOFILE, &rl);
    if (rl.rlim_cur < 1100) {
        rlimit want = rl;
        want.rlim_cur = std::min<rlim_t>(rl.rlim_max, 2048);
        if (want.rlim_cur < 1100 || setrlimit(RLIMIT_NOFILE, &want) != 0)
            GTEST_SKIP() << "descriptor limit too low";
    }
    Link l;
    int high = fcntl(l.ch->sk, F_DUPFD_CLOEXEC, 1030);
    ASSERT_GE(high, 1024);
    ::close(l.ch->sk);
    l.ch->sk = high;
    send_all(l.peer.get(), "over the limit\r\n");
    EXPECT_EQ(tcp_waitfor(l.ch.get(), 2000), 1);
    std::string line;
    ASSERT_EQ(tcp_readline(l.ch.get(), line, 1000), 1);
    EXPECT_EQ(line, "over the limit");
    EXPECT_EQ(tcp_printf(l.ch.get(), "250 fine\r\n"), 1);
    EXPECT_EQ(read_until_quiet(l.peer.get(), 300), "250 fine\r\n");
    char buf[4];
    EXPECT_EQ(tcp_read_timed(l.ch.get(), buf, sizeof buf, 30), -2);
    EXPECT_EQ(tcp_check_open(l.ch.get()), 1);
    l.ch.reset();  // closes descriptor `high`
    EXPECT_EQ(fcntl(high, F_GETFD), -1);
}

// ---- closing and errors ----

TEST(TcpClose, ClosingTwiceIsHarmlessAndFreeingNullGivesZero) {
    Link l;
    EXPECT_EQ(tcp_close_nice(l.ch.get()), 1);
    EXPECT_EQ(tcp_close_nice(l.ch.get()), 1);
    EXPECT_EQ(l.ch->sk, -1);
    EXPECT_EQ(tcp_waitfor(l.ch.get(), 1000), 1);
    char buf[4];
    EXPECT_EQ(tcp_read(l.ch.get(), buf, sizeof buf), 0);
    std::unique_ptr<CHAN> none;
    EXPECT_EQ(tcp_free(none), 0);
    EXPECT_EQ(read_until_quiet(l.peer.get(), 2000), "");  // the peer sees the end
}

TEST(TcpClose, DestructorClosesTheSocketAndLastReplyArrives) {
    Link l;
    send_all(l.peer.get(), "QUIT\r\nunread junk\r\n");
    std::string line;
    ASSERT_EQ(tcp_readline(l.ch.get(), line, 1000), 1);
    ASSERT_EQ(tcp_printf(l.ch.get(), "221 bye\r\n"), 1);
    l.ch.reset();
    EXPECT_EQ(read_until_quiet(l.peer.get(), 2000), "221 bye\r\n");
}

TEST(TcpError, TextsForEachKindOfError) {
    EXPECT_EQ(tcp_error(nullptr), "Channel structure is NULL");
    auto c = tcp_new();
    EXPECT_EQ(c->id, 88);
    EXPECT_EQ(tcp_error(c.get()), "Err Code Zero");
    c->xerrno = -1;
    EXPECT_EQ(tcp_error(c.get()), "Connection was closed.");
    c->xerrno = ECONNRESET;
    EXPECT_EQ(tcp_error(c.get()), "Connection reset by peer");
    c->xerrno = 99999;
    EXPECT_EQ(tcp_error(c.get()), "Invalid error code");
    std::string ip;
    EXPECT_EQ(tcp_getip(c.get(), ip), 0);
    EXPECT_EQ(ip, "");
    int port = -5;
    EXPECT_EQ(tcp_getport(c.get(), port), 0);
    EXPECT_EQ(port, -5);
}

TEST(TcpHost, HostNameIsCachedAndHasNoSpace) {
    std::string h = tcp_hostname();
    EXPECT_FALSE(h.empty());
    EXPECT_EQ(h.find(' '), std::string::npos);
    EXPECT_LE(h.size(), 100u);
    EXPECT_EQ(tcp_hostname(), h);
}

// ---- the stream seam ----

// A stand-in for the SSL layer: flips bit 5 of every byte each way.
class FlipStream : public ChanStream {
  public:
    explicit FlipStream(int* closes) : closes_(closes) {}
    int read(CHAN& c, char* buf, int len) override {
        ssize_t n = ::recv(c.sk, buf, static_cast<std::size_t>(len), c.block ? 0 : MSG_DONTWAIT);
        wb_ = n < 0 && errno == EAGAIN;
        if (n <= 0) return wb_ ? -1 : 0;
        for (ssize_t i = 0; i < n; ++i) buf[i] ^= 0x20;
        return static_cast<int>(n);
    }
    int write(CHAN& c, const char* data, int len) override {
        std::string out(data, static_cast<std::size_t>(len));
        for (auto& ch : out) ch ^= 0x20;
        ssize_t n = ::send(c.sk, out.data(), out.size(), MSG_NOSIGNAL);
        return n > 0 ? static_cast<int>(n) : 0;
    }
    bool wouldblock() const override { return wb_; }
    bool pending() const override { return false; }
    void close(CHAN& c) override {
        ++*closes_;
        ::close(c.sk);
    }
    std::string lastmsg() const override { return "flip says no"; }

  private:
    int* closes_;
    bool wb_ = false;
};

TEST(TcpSsl, AttachedStreamCarriesAllTraffic) {
    static int inits = 0;
    static int closes = 0;
    static std::string seen_key, seen_cert;
    TcpSslHooks h;
    h.init = [](const std::string& key, const std::string& cert) {
        ++inits;
        seen_key = key;
        seen_cert = cert;
        return Status{};
    };
    h.takeover = [](CHAN& c, int isserver, ChanStream*,
                    std::string& reason) -> std::unique_ptr<ChanStream> {
        if (!isserver) {
            reason = "client refused";
            c.sk = -1;  // a failed takeover that dropped the socket says so
            return nullptr;
        }
        reason = "SSL Accepted Protocol: FLIP";
        return std::make_unique<FlipStream>(&closes);
    };
    tcp_ssl_hooks(h);
    tcp_ssl_setkey("tv_priv.pem", "tv_cert.pem");
    Status st = tcp_ssl_init(nullptr, 1, nullptr);
    ASSERT_TRUE(st) << st.reason();
    EXPECT_EQ(inits, 1);
    EXPECT_EQ(seen_key, "tv_priv.pem");
    EXPECT_EQ(seen_cert, "tv_cert.pem");

    Link l;
    st = tcp_ssl_init(l.ch.get(), 1, nullptr);
    ASSERT_TRUE(st) << st.reason();
    EXPECT_EQ(inits, 1);  // set up once per process
    EXPECT_EQ(l.ch->never_close, 1);
    std::string wire = "GET /index\r\n";
    for (auto& ch : wire) ch ^= 0x20;
    send_all(l.peer.get(), wire);
    std::string line;
    ASSERT_EQ(tcp_readline(l.ch.get(), line, 1000), 1);
    EXPECT_EQ(line, "GET /index");
    EXPECT_EQ(tcp_printf(l.ch.get(), "OK"), 1);
    EXPECT_EQ(read_until_quiet(l.peer.get(), 300), "ok");
    l.ch->xerrno = ECONNRESET;
    EXPECT_EQ(tcp_error(l.ch.get()), "flip says no");
    tcp_close_nice(l.ch.get());
    EXPECT_EQ(closes, 1);
    EXPECT_FALSE(l.ch->ssl);
    EXPECT_EQ(l.ch->sk, -1);

    Link l2;
    EXPECT_EQ(tcp_ssl_init(l2.ch.get(), 0, nullptr).reason(), "client refused");
    EXPECT_EQ(l2.ch->sk, -1);
}

}  // namespace
}  // namespace tolvane
