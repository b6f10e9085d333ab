// Threads and named locks: exclusion, re-entrancy, time limits, queued order, fatal stops.
#include "foundation/thread.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tolvane {
namespace {

using Clock = std::chrono::steady_clock;

long elapsed_ms(Clock::time_point since) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

// Waits (bounded) for a condition another thread brings about.
template <typename Pred>
bool wait_for(Pred pred, long ms = 5000) {
    auto until = Clock::now() + std::chrono::milliseconds(ms);
    while (Clock::now() < until) {
        if (pred()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return pred();
}

// Holds a lock on a thread of its own until told to let go.
class Holder {
  public:
    explicit Holder(MUTEX* m) : m_(m), t_([this] { run(); }) {
        std::unique_lock<std::mutex> lk(g_);
        cv_.wait(lk, [this] { return held_; });
    }
    ~Holder() {
        let_go();
        t_.join();
    }
    void let_go() {
        std::lock_guard<std::mutex> lk(g_);
        go_ = true;
        cv_.notify_all();
    }
    int tid() const { return tid_; }

  private:
    void run() {
        th_mutex_wait(m_, TH_FOREVER);
        std::unique_lock<std::mutex> lk(g_);
        tid_ = th_id();
        held_ = true;
        cv_.notify_all();
        cv_.wait(lk, [this] { return go_; });
        th_mutex_release(m_);
    }
    MUTEX* m_;
    std::mutex g_;
    std::condition_variable cv_;
    bool held_ = false, go_ = false;
    int tid_ = -1;
    std::thread t_;
};

// Runs fn on another thread and gives its result.
template <typename Fn>
auto on_other_thread(Fn fn) {
    decltype(fn()) r{};
    std::thread t([&] { r = fn(); });
    t.join();
    return r;
}

// A gate the threads of a test wait at until it opens.
struct Gate {
    std::mutex g;
    std::condition_variable cv;
    bool open = false;
    void wait() {
        std::unique_lock<std::mutex> lk(g);
        cv.wait(lk, [this] { return open; });
    }
    void let_go() {
        {
            std::lock_guard<std::mutex> lk(g);
            open = true;
        }
        cv.notify_all();
    }
};

// Threads of a set run on threads of their own, are joinable (never detached) while the
// set holds them, and are joined once they have ended: by the next start, reap() or
// join_all(); join_all gives up at its limit while one still runs.
TEST(ThreadSet, OwnsAndJoinsThreadsThatEndOnTheirOwn) {
    struct Case {
        const char* name;
        int threads;
        bool reap_by_start;  // else by reap()
    };
    const Case cases[] = {{"one, reaped by reap()", 1, false},
                          {"several, reaped by the next start", 5, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ThreadSet set;
        Gate gate;
        std::atomic<int> ran{0};
        std::atomic<int> detached{0};
        std::atomic<int> foreign{0};
        const int me = th_id();
        for (int i = 0; i < c.threads; ++i) {
            ASSERT_TRUE(set.start([&](std::stop_token) {
                pthread_attr_t attr;
                if (pthread_getattr_np(pthread_self(), &attr) == 0) {
                    int state = 0;
                    pthread_attr_getdetachstate(&attr, &state);
                    if (state == PTHREAD_CREATE_DETACHED) ++detached;
                    pthread_attr_destroy(&attr);
                }
                if (th_id() != me) ++foreign;
                gate.wait();
                ++ran;
            }));
        }
        EXPECT_EQ(set.size(), static_cast<std::size_t>(c.threads));
        EXPECT_FALSE(set.join_all(30));  // all still at the gate
        EXPECT_EQ(set.running(), static_cast<std::size_t>(c.threads));
        gate.let_go();
        ASSERT_TRUE(wait_for([&] { return set.running() == 0; }));
        EXPECT_EQ(ran.load(), c.threads);
        EXPECT_EQ(detached.load(), 0);
        EXPECT_EQ(foreign.load(), c.threads);
        EXPECT_EQ(set.size(), static_cast<std::size_t>(c.threads));  // ended, not joined yet
        if (c.reap_by_start) {
            ASSERT_TRUE(set.start([](std::stop_token) {}));
            ASSERT_TRUE(wait_for([&] { return set.running() == 0; }));
            EXPECT_LE(set.size(), 1u);  // at most the new one is left
        } else {
            set.reap();
            EXPECT_EQ(set.size(), 0u);
        }
        EXPECT_TRUE(set.join_all(1000));
        EXPECT_EQ(set.size(), 0u);
    }
}

TEST(ThreadSet, EmptyFunctionStartsNothing) {
    ThreadSet set;
    EXPECT_FALSE(set.start(nullptr));
    EXPECT_EQ(set.size(), 0u);
}

// The destructor asks every thread to stop through its token and waits for all.
TEST(ThreadSet, DestructorStopsAndJoins) {
    std::atomic<int> stopped{0};
    {
        ThreadSet set;
        for (int i = 0; i < 3; ++i) {
            ASSERT_TRUE(set.start([&](std::stop_token st) {
                while (!st.stop_requested()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
                ++stopped;
            }));
        }
        EXPECT_EQ(stopped.load(), 0);
    }
    EXPECT_EQ(stopped.load(), 3);
}

// The hook runs on the ending thread itself, before the set counts it as ended: a caller
// that waits for the thread to end can rely on what the hook releases being released.
std::atomic<int> g_hook_thread{0};
TEST(ThreadEnd, HookRunsOnTheThreadBeforeItCountsAsGone) {
    th_on_thread_end([] { g_hook_thread.store(th_id()); });
    std::atomic<int> worker{0};
    ThreadSet set;
    ASSERT_TRUE(set.start([&](std::stop_token) { worker.store(th_id()); }));
    EXPECT_TRUE(set.join_all(5000));
    EXPECT_NE(worker.load(), 0);
    EXPECT_EQ(g_hook_thread.load(), worker.load());
    g_hook_thread.store(0);
    th_release_thread_state();  // a thread may also release its state itself
    EXPECT_EQ(g_hook_thread.load(), th_id());
    th_on_thread_end(nullptr);
    th_release_thread_state();  // without a hook, nothing happens
}

// A thread that releases its own owner hands itself over; it is joined by the next
// hand-over (or th_join_pending) once it has returned, its stop is asked, and its work is
// not cut short.
TEST(ThreadJoinLater, ThreadHandedOverByItselfIsJoinedLater) {
    std::atomic<int> finished{0};
    std::atomic<int> stopped{0};
    for (int round = 0; round < 3; ++round) {
        auto owner = std::make_shared<std::jthread>();
        Gate started;
        *owner = std::jthread([&, owner_ptr = owner.get()](std::stop_token st) {
            started.wait();
            th_join_later(std::move(*owner_ptr));
            if (st.stop_requested()) ++stopped;
            ++finished;
        });
        started.let_go();
        ASSERT_TRUE(wait_for([&] { return finished.load() == round + 1; }));
        EXPECT_FALSE(owner->joinable());  // taken over, not detached and not left behind
    }
    th_join_later(std::jthread());  // an empty handle is ignored
    EXPECT_EQ(finished.load(), 3);
    EXPECT_EQ(stopped.load(), 3);
    // The last one handed over is still held; it is joined here.
    EXPECT_EQ(th_join_pending(), 1u);
    EXPECT_EQ(th_join_pending(), 0u);
}

// A thread may hand itself over while the process exits, after the static destructors
// have run (a link's reader letting go of its link as a program ends): the exit stays
// clean. The child's own exit handler, which runs after those destructors, holds the exit
// open while the thread hands itself over; one thread handed over earlier gives the list
// memory of its own, which a destroyed list would have freed (a sanitizer build sees it).
TEST(ThreadJoinLater, AThreadHandedOverWhileTheProcessExitsLeavesTheExitClean) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            std::atexit([] { std::this_thread::sleep_for(std::chrono::milliseconds(300)); });
            struct Owner {
                std::jthread t;
                std::atomic<bool> held{false};    // t holds the thread
                std::atomic<bool> handed{false};  // the thread handed itself over
            };
            auto hand_over_itself = [](Owner* o, int after_ms) {
                o->t = std::jthread([o, after_ms] {
                    while (!o->held) std::this_thread::yield();
                    std::this_thread::sleep_for(std::chrono::milliseconds(after_ms));
                    th_join_later(std::move(o->t));
                    o->handed = true;
                });
                o->held = true;
            };
            auto* early = new Owner;
            auto* late = new Owner;
            hand_over_itself(early, 0);
            while (!early->handed) std::this_thread::yield();
            hand_over_itself(late, 100);
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(ThreadId, IsTheKernelThreadId) {
    EXPECT_EQ(th_id(), static_cast<int>(::syscall(SYS_gettid)));
    int other = on_other_thread([] { return th_id(); });
    EXPECT_NE(other, th_id());
    EXPECT_GT(other, 0);
}

TEST(MutexWait, NullLockFails) {
    EXPECT_EQ(th_mutex_wait(nullptr, 10), 0);
    EXPECT_EQ(th_mutex_holder(nullptr), -1);
}

TEST(MutexWait, RemembersHolderAndPlace) {
    auto m = th_mutex_new("PLACE");
    EXPECT_STREQ(th_mutex_name(m.get()), "PLACE");
    EXPECT_EQ(th_mutex_holder(m.get()), -1);
    EXPECT_EQ(th_mutex_aquired(m.get()), 0);
    const int line = __LINE__ + 1;
    ASSERT_EQ(th_mutex_wait(m.get(), 10), 1);
    EXPECT_EQ(th_mutex_holder(m.get()), th_id());
    EXPECT_EQ(th_mutex_line(m.get()), line);
    EXPECT_NE(std::string(th_mutex_file(m.get())).find("thread_test.cpp"), std::string::npos);
    EXPECT_GT(th_mutex_aquired(m.get()), 0);
    EXPECT_EQ(th_mutex_release(m.get()), 1);
    EXPECT_EQ(th_mutex_holder(m.get()), -1);
    EXPECT_EQ(th_mutex_aquired(m.get()), 0);
}

TEST(MutexWait, UnnamedLockPrintsUnnamed) {
    auto m = th_mutex_new(nullptr);
    EXPECT_STREQ(th_mutex_name(m.get()), "UNNAMED");
}

TEST(MutexWait, TakenThreeTimesNeedsThreeReleases) {
    auto m = th_mutex_new("THRICE");
    ASSERT_EQ(th_mutex_wait(m.get(), 10), 1);
    ASSERT_EQ(th_mutex_wait(m.get(), 10), 1);
    ASSERT_EQ(th_mutex_wait(m.get(), 10), 1);
    EXPECT_EQ(th_mutex_nref(m.get()), 2);
    auto try_other = [&] {
        return on_other_thread([&] {
            int r = th_mutex_wait(m.get(), 500);
            if (r) th_mutex_release(m.get());
            return r;
        });
    };
    th_mutex_release(m.get());
    EXPECT_EQ(try_other(), 0);
    th_mutex_release(m.get());
    EXPECT_EQ(try_other(), 0);
    EXPECT_EQ(th_mutex_holder(m.get()), th_id());
    th_mutex_release(m.get());
    EXPECT_EQ(try_other(), 1);
}

TEST(MutexWait, LimitBelowOneSecondFailsAtOnce) {
    auto m = th_mutex_new("BUSY");
    Holder h(m.get());
    auto start = Clock::now();
    EXPECT_EQ(th_mutex_wait(m.get(), 500), 0);
    EXPECT_LT(elapsed_ms(start), 400);
    EXPECT_EQ(th_mutex_holder(m.get()), h.tid());
}

TEST(MutexWait, TwoSecondLimitFailsAfterOneToTwoSeconds) {
    auto m = th_mutex_new("BUSY2");
    Holder h(m.get());
    auto start = Clock::now();
    EXPECT_EQ(th_mutex_wait(m.get(), 2000), 0);
    long took = elapsed_ms(start);
    EXPECT_GE(took, 950);
    EXPECT_LE(took, 2500);
    // A timed-out wait changes nothing.
    EXPECT_EQ(th_mutex_holder(m.get()), h.tid());
    EXPECT_EQ(th_mutex_nref(m.get()), 0);
}

TEST(MutexWait, WaiterGetsLockWhenHolderLetsGo) {
    auto m = th_mutex_new("HANDOVER");
    Holder h(m.get());
    std::thread later([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        h.let_go();
    });
    EXPECT_EQ(th_mutex_wait(m.get(), TH_FOREVER), 1);
    EXPECT_EQ(th_mutex_holder(m.get()), th_id());
    th_mutex_release(m.get());
    later.join();
}

TEST(MutexWait, ExcludesOtherThreads) {
    auto m = th_mutex_new("COUNT");
    long counter = 0;  // deliberately not atomic: only the lock protects it
    std::vector<std::thread> ts;
    for (int i = 0; i < 4; ++i)
        ts.emplace_back([&] {
            for (int k = 0; k < 2000; ++k) {
                MutexHold hold(m.get());
                ASSERT_TRUE(hold);
                long v = counter;
                counter = v + 1;
            }
        });
    for (auto& t : ts) t.join();
    EXPECT_EQ(counter, 8000);
    EXPECT_EQ(th_mutex_holder(m.get()), -1);
}

TEST(MutexHoldTest, ReleasesAtScopeEndAndReportsFailure) {
    auto m = th_mutex_new("SCOPE");
    {
        MutexHold hold(m.get());
        EXPECT_TRUE(hold);
        EXPECT_EQ(th_mutex_holder(m.get()), th_id());
        bool other = on_other_thread([&] {
            MutexHold h2(m.get(), 100);
            return static_cast<bool>(h2);
        });
        EXPECT_FALSE(other);
    }
    EXPECT_EQ(th_mutex_holder(m.get()), -1);
    MutexHold early(m.get());
    early.release();
    EXPECT_FALSE(early);
    EXPECT_EQ(th_mutex_holder(m.get()), -1);
}

// ---------------------------------------------------------------- queued wait

class QueueTest : public ::testing::Test {
  protected:
    void SetUp() override { th_mutex_queue_init(); }
    void TearDown() override { th_mutex_queue_clear(); }
};

TEST_F(QueueTest, FreeLockTakenAtOnceWithoutJoining) {
    auto m = th_mutex_new("QFREE");
    EXPECT_EQ(th_mutex_get_queue(m.get()), 1);
    EXPECT_EQ(th_mutex_queue_length(m.get()), 0);
    EXPECT_EQ(th_mutex_holder(m.get()), th_id());
    th_mutex_release(m.get());
}

TEST_F(QueueTest, WaitersServedInArrivalOrderAndListedOnce) {
    auto m = th_mutex_new("QORDER");
    ASSERT_EQ(th_mutex_wait(m.get(), 10), 1);
    std::mutex g;
    std::vector<int> order;
    std::vector<std::thread> ts;
    auto start = [&](int n) {
        ts.emplace_back([&, n] {
            ASSERT_EQ(th_mutex_get_queue(m.get()), 1);
            {
                std::lock_guard<std::mutex> lk(g);
                order.push_back(n);
            }
            th_mutex_release(m.get());
        });
    };
    start(1);
    ASSERT_TRUE(wait_for([&] { return th_mutex_queue_length(m.get()) == 1; }));
    // The first waiter keeps retrying the lock; it must stay listed once.
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    EXPECT_EQ(th_mutex_queue_length(m.get()), 1);
    start(2);
    ASSERT_TRUE(wait_for([&] { return th_mutex_queue_length(m.get()) == 2; }));
    start(3);
    ASSERT_TRUE(wait_for([&] { return th_mutex_queue_length(m.get()) == 3; }));
    th_mutex_release(m.get());
    for (auto& t : ts) t.join();
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(th_mutex_queue_length(m.get()), 0);
    EXPECT_EQ(th_mutex_holder(m.get()), -1);
}

TEST_F(QueueTest, HolderTakesItsLockAgainWhileOthersQueue) {
    auto m = th_mutex_new("QAGAIN");
    ASSERT_EQ(th_mutex_get_queue(m.get()), 1);
    std::thread waiter([&] {
        ASSERT_EQ(th_mutex_get_queue(m.get()), 1);
        th_mutex_release(m.get());
    });
    ASSERT_TRUE(wait_for([&] { return th_mutex_queue_length(m.get()) == 1; }));
    EXPECT_EQ(th_mutex_get_queue(m.get()), 1);  // must not wait behind the waiter
    EXPECT_EQ(th_mutex_nref(m.get()), 1);
    th_mutex_release(m.get());
    th_mutex_release(m.get());
    waiter.join();
    EXPECT_EQ(th_mutex_holder(m.get()), -1);
}

// ---------------------------------------------------------------- fatal stops

class FatalTest : public ::testing::Test {
  protected:
    void SetUp() override {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        // A death test's child runs the test again from the start: it must find the
        // parent's directory, so the name travels in the environment.
        const std::string key = std::string("TV_FATAL_DIR_") +
                                ::testing::UnitTest::GetInstance()->current_test_info()->name();
        if (const char* inherited = std::getenv(key.c_str())) {
            dir_ = inherited;
        } else {
            dir_ = std::filesystem::temp_directory_path() /
                   ("tv_thread_" + std::to_string(::getpid()) + "_" + key);
            ::setenv(key.c_str(), dir_.c_str(), 1);
        }
        std::filesystem::create_directories(dir_);
        old_ = std::filesystem::current_path();
        std::filesystem::current_path(dir_);
    }
    void TearDown() override {
        std::filesystem::current_path(old_);
        std::filesystem::remove_all(dir_);
    }
    std::string startstop() {
        std::ifstream in(dir_ / "startstop.log");
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    std::filesystem::path dir_, old_;
};

void hook_one() {}

TEST_F(FatalTest, AbortLeavesLineInStartstopLog) {
    EXPECT_DEATH(
        {
            lib_abort_hooks(hook_one, nullptr);
            lib_abort();
        },
        "");
    std::string s = startstop();
    EXPECT_EQ(s.rfind("lib_abort called ", 0), 0u) << s;
    EXPECT_NE(s.find("thread_test.cpp:"), std::string::npos) << s;
    EXPECT_NE(s.find("(nil)\n"), std::string::npos) << s;  // the second hook is not set
    EXPECT_EQ(std::count(s.begin(), s.end(), '\n'), 1);
}

TEST_F(FatalTest, WaitOrDieStopsWhenLockStaysBusy) {
    auto m = th_mutex_new("DIE");
    Holder h(m.get());
    EXPECT_DEATH(th_mutex_wait_or_die(m.get(), 100), "");
    EXPECT_NE(startstop().find("lib_abort called"), std::string::npos);
}

TEST_F(FatalTest, WaitOrDieSucceedsOnFreeLock) {
    auto m = th_mutex_new("LIVE");
    EXPECT_EQ(th_mutex_wait_or_die(m.get(), 100), 1);
    th_mutex_release(m.get());
    EXPECT_EQ(startstop(), "");
}

TEST_F(FatalTest, ReleaseByNonHolderStops) {
    auto m = th_mutex_new("NOTMINE");
    Holder h(m.get());
    EXPECT_DEATH(th_mutex_release(m.get()), "");
    EXPECT_NE(startstop().find("lib_abort called"), std::string::npos);
}

TEST_F(FatalTest, ReleaseOfFreeLockStops) {
    auto m = th_mutex_new("FREE");
    EXPECT_DEATH(th_mutex_release(m.get()), "");
}

TEST_F(FatalTest, QueueInitTwiceStops) {
    th_mutex_queue_init();
    EXPECT_DEATH(th_mutex_queue_init(), "");
    th_mutex_queue_clear();
}

TEST_F(FatalTest, QueuedWaitWithoutInitStops) {
    auto m = th_mutex_new("NOQUEUE");
    EXPECT_DEATH(th_mutex_get_queue(m.get()), "");
    EXPECT_NE(startstop().find("lib_abort called"), std::string::npos);
}

}  // namespace
}  // namespace tolvane
