// The message workers of a transport: every message handled exactly once by at most the
// bound's threads, a slow handler holding only its own worker, a stop that handles what
// is queued, and the release of what no worker took.
#include "sms/sms_inbound.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "foundation/thread.h"
#include "sms/receiver.h"

namespace tolvane {
namespace {

using namespace std::chrono_literals;

struct numbered : sms_message {
    explicit numbered(int number) : n(number) {}
    int n;
};

template <typename Pred>
bool wait_until(Pred p, std::chrono::milliseconds limit = 5000ms) {
    auto until = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < until) {
        if (p()) return true;
        std::this_thread::sleep_for(1ms);
    }
    return p();
}

// What the handlers saw: each message's number with how often it was handled or released,
// the threads that handled them and how many handlers ran at once at most.
struct Record {
    std::mutex m;
    std::condition_variable cv;
    std::map<int, int> handled, released;
    std::set<std::thread::id> threads;
    int inside = 0, most_inside = 0;
    int hold = 0;  // handlers of messages numbered below this wait for open
    bool open = false;
    bool leave = false;  // the handler leaves the message for the release

    InboundWorkers::Handler handler() {
        return [this](std::unique_ptr<sms_message>& msg) {
            int n = static_cast<numbered&>(*msg).n;
            std::unique_lock<std::mutex> lk(m);
            ++handled[n];
            threads.insert(std::this_thread::get_id());
            most_inside = std::max(most_inside, ++inside);
            cv.notify_all();
            cv.wait(lk, [&] { return n >= hold || open; });
            --inside;
            if (!leave) msg.reset();
        };
    }
    InboundWorkers::Handler releaser() {
        return [this](std::unique_ptr<sms_message>& msg) {
            std::lock_guard<std::mutex> lk(m);
            ++released[static_cast<numbered&>(*msg).n];
            msg.reset();
        };
    }
    void let_go() {
        std::lock_guard<std::mutex> lk(m);
        open = true;
        cv.notify_all();
    }
    int count(const std::map<int, int>& of) {
        std::lock_guard<std::mutex> lk(m);
        int n = 0;
        for (auto& [k, v] : of) n += v;
        return n;
    }
    int in_handlers() {
        std::lock_guard<std::mutex> lk(m);
        return inside;
    }
};

bool push(InboundWorkers& w, int n) {
    std::unique_ptr<sms_message> msg = std::make_unique<numbered>(n);
    return w.push(msg);
}

// Every message is handled exactly once, never by more threads than the bound, and no
// more threads start than messages needed at once.
TEST(InboundWorkers, EveryMessageHandledOnceByBoundedThreads) {
    struct Case {
        const char* name;
        std::size_t bound;
        int messages;
        int held;  // messages (the first ones) whose handler waits until all are pushed
        bool leave;
    };
    const Case cases[] = {
        {"one worker, many messages", 1, 50, 0, false},
        {"bound above the load", 8, 3, 3, false},
        {"window of a centre", 10, 200, 10, false},
        {"handlers leave their messages", 4, 40, 0, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Record r;
        r.hold = c.held;
        r.leave = c.leave;
        {
            InboundWorkers w(c.bound, r.handler(), r.releaser());
            for (int i = 0; i < c.messages; ++i) ASSERT_TRUE(push(w, i));
            if (c.held > 0) {
                // The held ones each occupy a worker of their own at the same time.
                int at_once = std::min<int>(c.held, static_cast<int>(c.bound));
                ASSERT_TRUE(wait_until([&] { return r.in_handlers() == at_once; }));
                r.let_go();
            }
            ASSERT_TRUE(wait_until([&] { return r.count(r.handled) == c.messages; }));
            EXPECT_LE(w.threads(), c.bound);
            EXPECT_LE(w.threads(), static_cast<std::size_t>(c.messages));
            w.stop();
            EXPECT_EQ(w.threads(), 0u);  // joined
        }
        std::lock_guard<std::mutex> lk(r.m);
        ASSERT_EQ(r.handled.size(), static_cast<std::size_t>(c.messages));
        for (auto& [n, times] : r.handled) EXPECT_EQ(times, 1) << "message " << n;
        EXPECT_LE(r.threads.size(), c.bound);
        EXPECT_LE(r.most_inside, static_cast<int>(c.bound));
        // What a handler leaves is released, each once; nothing else is.
        EXPECT_EQ(r.released.size(), c.leave ? static_cast<std::size_t>(c.messages) : 0u);
        for (auto& [n, times] : r.released) EXPECT_EQ(times, 1) << "message " << n;
    }
}

// Handlers stuck on every worker do not hold the receiver: pushes return at once and the
// messages wait in the queue; no thread beyond the bound starts for them.
TEST(InboundWorkers, SlowHandlersDoNotBlockThePush) {
    Record r;
    r.hold = 1000;
    InboundWorkers w(3, r.handler(), r.releaser());
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 20; ++i) ASSERT_TRUE(push(w, i));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);  // no push waited for a handler
    ASSERT_TRUE(wait_until([&] { return r.in_handlers() == 3; }));
    EXPECT_EQ(w.threads(), 3u);
    EXPECT_EQ(w.queued(), 17u);
    r.let_go();
    ASSERT_TRUE(wait_until([&] { return r.count(r.handled) == 20; }));
    EXPECT_EQ(w.threads(), 3u);
}

// stop() handles every message already queued before it joins; release_queued() gives
// back those no worker has taken; after the stop, push refuses and leaves the message
// with its caller.
TEST(InboundWorkers, StopHandlesWhatIsQueuedAndReleaseGivesItBack) {
    struct Case {
        const char* name;
        bool release_first;
    };
    for (const Case& c : {Case{"stop handles the queue", false}, Case{"queue released", true}}) {
        SCOPED_TRACE(c.name);
        Record r;
        r.hold = 1;  // message 0 holds the only worker
        InboundWorkers w(1, r.handler(), r.releaser());
        for (int i = 0; i < 6; ++i) ASSERT_TRUE(push(w, i));
        ASSERT_TRUE(wait_until([&] { return r.in_handlers() == 1; }));
        if (c.release_first) {
            EXPECT_EQ(w.release_queued(), 5u);
        }
        std::thread opener([&] {
            std::this_thread::sleep_for(30ms);
            r.let_go();
        });
        w.stop();  // returns once message 0 (and the queue, if kept) is done
        opener.join();
        EXPECT_EQ(r.count(r.handled), c.release_first ? 1 : 6);
        EXPECT_EQ(r.count(r.released), c.release_first ? 5 : 0);
        std::unique_ptr<sms_message> late = std::make_unique<numbered>(99);
        EXPECT_FALSE(w.push(late));
        EXPECT_NE(late, nullptr);
        EXPECT_EQ(r.count(r.released), c.release_first ? 5 : 0);
    }
}

}  // namespace
}  // namespace tolvane
