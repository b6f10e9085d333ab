// The reactor against socket pairs: each parked descriptor's function runs exactly once,
// with the reason it woke, on one of a fixed number of threads.
#include "net/reactor.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

namespace tolvane {
namespace {

using Wake = Reactor::Wake;
using namespace std::chrono_literals;

struct Pair {
    int a = -1, b = -1;  // a is parked, b is the peer
    Pair() {
        int sv[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) == 0) {
            a = sv[0];
            b = sv[1];
        }
    }
    ~Pair() {
        if (a >= 0) ::close(a);
        if (b >= 0) ::close(b);
    }
};

// What the ready functions saw, for waiting on from the test thread.
struct Seen {
    std::mutex m;
    std::condition_variable cv;
    std::vector<Wake> wakes;
    std::set<std::thread::id> threads;
    Reactor::Ready fn() {
        return [this](Wake w) {
            std::lock_guard<std::mutex> g(m);
            wakes.push_back(w);
            threads.insert(std::this_thread::get_id());
            cv.notify_all();
        };
    }
    // The fault bound is generous: a missing wake fails, a slow machine does not.
    bool wait_for(std::size_t n) {
        std::unique_lock<std::mutex> g(m);
        return cv.wait_for(g, 10s, [&] { return wakes.size() >= n; });
    }
};

TEST(Reactor, WakesOnceWithTheReasonItWoke) {
    enum class Act { write, hang_up, nothing };
    struct Case {
        const char* name;
        Act act;
        long idle_ms;
        Wake want;
    } cases[] = {
        {"data arrives", Act::write, -1, Wake::readable},
        {"data before an idle limit", Act::write, 60000, Wake::readable},
        {"peer hangs up", Act::hang_up, -1, Wake::readable},
        {"nothing within the limit", Act::nothing, 30, Wake::idle},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Reactor r(2);
        ASSERT_TRUE(r.ok());
        Pair p;
        Seen seen;
        ASSERT_TRUE(r.park(p.a, c.idle_ms, seen.fn()));
        EXPECT_EQ(r.parked(), 1u);
        if (c.act == Act::write) {
            ASSERT_EQ(::write(p.b, "x", 1), 1);
        }
        if (c.act == Act::hang_up) {
            ::close(p.b);
            p.b = -1;
        }
        ASSERT_TRUE(seen.wait_for(1));
        std::this_thread::sleep_for(50ms);  // a second wake would show by now
        std::lock_guard<std::mutex> g(seen.m);
        ASSERT_EQ(seen.wakes.size(), 1u);
        EXPECT_EQ(seen.wakes[0], c.want);
        EXPECT_EQ(r.parked(), 0u);
    }
}

TEST(Reactor, ADescriptorParksAgainAfterEachWake) {
    Reactor r(1);
    Pair p;
    Seen seen;
    for (std::size_t round = 1; round <= 3; ++round) {
        ASSERT_TRUE(r.park(p.a, -1, seen.fn())) << round;
        ASSERT_EQ(::write(p.b, "x", 1), 1);
        ASSERT_TRUE(seen.wait_for(round));
        char c;
        ASSERT_EQ(::read(p.a, &c, 1), 1);  // consumed, as a session would
    }
}

TEST(Reactor, ManyParkedDescriptorsCostNoThreadEach) {
    for (std::size_t workers : {3u, 0u}) {
        SCOPED_TRACE(workers);
        constexpr std::size_t N = 500;
        Reactor r(workers);
        std::vector<Pair> pairs(N);
        Seen seen;
        for (auto& p : pairs) ASSERT_TRUE(r.park(p.a, 60000, seen.fn()));
        EXPECT_EQ(r.parked(), N);
        for (auto& p : pairs) ASSERT_EQ(::write(p.b, "x", 1), 1);
        ASSERT_TRUE(seen.wait_for(N));
        std::lock_guard<std::mutex> g(seen.m);
        EXPECT_EQ(seen.wakes.size(), N);
        // Without workers everything ran on the one watcher thread.
        EXPECT_LE(seen.threads.size(), workers == 0 ? 1u : workers);
        for (Wake w : seen.wakes) EXPECT_EQ(w, Wake::readable);
    }
}

TEST(Reactor, EarlierDeadlineParkedLaterStillWakesFirst) {
    // Declared before the reactor: the slow one is still parked when it stops.
    Pair slow, fast;
    Seen seen_slow, seen_fast;
    Reactor r(1);
    ASSERT_TRUE(r.park(slow.a, 60000, seen_slow.fn()));
    ASSERT_TRUE(r.park(fast.a, 20, seen_fast.fn()));
    ASSERT_TRUE(seen_fast.wait_for(1));
    EXPECT_EQ(seen_fast.wakes[0], Wake::idle);
    EXPECT_TRUE(seen_slow.wakes.empty());
    EXPECT_EQ(r.parked(), 1u);
    r.stop();
    EXPECT_EQ(seen_slow.wakes, std::vector<Wake>{Wake::stopping});
}

// With nothing parked the watcher sleeps as long as the longest idle limit it has seen:
// a shorter limit parked then must still cut that sleep short.
TEST(Reactor, AShortLimitParkedWhileTheWatcherSleepsLongStillEndsOnTime) {
    Pair slow, fast;
    Seen seen_slow, seen_fast;
    Reactor r(1);
    ASSERT_TRUE(r.park(slow.a, 60000, seen_slow.fn()));
    ASSERT_EQ(::write(slow.b, "x", 1), 1);
    ASSERT_TRUE(seen_slow.wait_for(1));
    EXPECT_EQ(seen_slow.wakes[0], Wake::readable);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // the watcher sleeps again
    const auto parked_at = std::chrono::steady_clock::now();
    ASSERT_TRUE(r.park(fast.a, 30, seen_fast.fn()));
    ASSERT_TRUE(seen_fast.wait_for(1));
    EXPECT_EQ(seen_fast.wakes[0], Wake::idle);
    EXPECT_LT(std::chrono::steady_clock::now() - parked_at, std::chrono::seconds(5));
}

TEST(Reactor, StopHandsEveryParkedAndQueuedFunctionItsStop) {
    Pair p1, p2;
    Seen seen;
    std::thread::id stopper = std::this_thread::get_id();
    {
        Reactor r(1);
        ASSERT_TRUE(r.park(p1.a, -1, seen.fn()));
        ASSERT_TRUE(r.park(p2.a, 60000, seen.fn()));
        r.stop();
        EXPECT_EQ(r.parked(), 0u);
        // After the stop nothing is taken, and what is refused is not run.
        EXPECT_FALSE(r.park(p1.a, -1, seen.fn()));
        EXPECT_FALSE(r.post(seen.fn()));
    }
    ASSERT_EQ(seen.wakes.size(), 2u);
    for (Wake w : seen.wakes) EXPECT_EQ(w, Wake::stopping);
    EXPECT_EQ(seen.threads, std::set<std::thread::id>{stopper});
}

TEST(Reactor, PostRunsOnAWorkerAndAFunctionMayParkFromThere) {
    for (std::size_t workers : {2u, 0u}) {
        SCOPED_TRACE(workers);
        Reactor r(workers);
        Pair p;
        Seen seen;
        ASSERT_TRUE(r.post([&](Wake w) {
            EXPECT_EQ(w, Wake::readable);
            EXPECT_TRUE(r.park(p.a, -1, seen.fn()));
        }));
        for (int i = 0; i < 200 && r.parked() == 0; ++i) std::this_thread::sleep_for(5ms);
        ASSERT_EQ(::write(p.b, "x", 1), 1);
        ASSERT_TRUE(seen.wait_for(1));
        EXPECT_NE(*seen.threads.begin(), std::this_thread::get_id());
    }
}

TEST(Reactor, AClosedOrBadDescriptorIsRefusedAndItsFunctionNotRun) {
    Reactor r(1);
    Seen seen;
    EXPECT_FALSE(r.park(-1, -1, seen.fn()));
    EXPECT_FALSE(r.park(987654, -1, seen.fn()));
    EXPECT_EQ(r.parked(), 0u);
    EXPECT_TRUE(seen.wakes.empty());
}

}  // namespace
}  // namespace tolvane
