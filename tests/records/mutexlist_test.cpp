// Named locks: re-entrancy, exclusion, the holder's place in the failure; thread counts.
#include "records/mutexlist.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <thread>
#include <vector>

namespace tolvane {
namespace {

TEST(NamedLocks, NamesAndDefaultWaitLimit) {
    NamedLock phones(PHONES);
    CountedThreads threads;
    EXPECT_STREQ(phones.name(), "PHONES");
    EXPECT_STREQ(threads.lock().name(), "THREADS");
    EXPECT_EQ(phones.wait_limit(), 120000);
}

TEST(NamedLocks, HolderMayTakeItAgain) {
    NamedLock phones(PHONES);
    EXPECT_EQ(phones.get(), 1);
    EXPECT_EQ(phones.get(), 1);
    EXPECT_EQ(phones.release(), 1);
    EXPECT_EQ(phones.release(), 1);
}

TEST(NamedLocks, OtherThreadWaitsForRelease) {
    NamedLock phones(PHONES);
    std::atomic<bool> got{false};
    phones.get();
    std::thread t([&] {
        LockHold hold(phones);
        got = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(got.load());
    phones.release();
    t.join();
    EXPECT_TRUE(got.load());
}

TEST(NamedLocks, LocksAreIndependent) {
    NamedLock phones(PHONES);
    NamedLock other_pool(PHONES);  // another gateway's pool
    CountedThreads counted;
    LockHold held(phones);
    std::atomic<int> got{0};
    std::thread t([&] {
        LockHold threads(counted.lock());
        LockHold pool(other_pool);
        got = 2;
    });
    t.join();
    EXPECT_EQ(got.load(), 2);
}

TEST(CountedThreadsCount, GoesUpAndDownUnderLoad) {
    CountedThreads counted;
    std::vector<std::thread> th;
    for (int i = 0; i < 8; ++i) {
        th.emplace_back([&counted] {
            for (int k = 0; k < 200; ++k) counted.add();
            for (int k = 0; k < 200; ++k) counted.remove();
        });
    }
    for (auto& t : th) t.join();
    EXPECT_EQ(counted.count(), 0);
    counted.add();
    EXPECT_EQ(counted.count(), 1);
    counted.remove();
}

TEST(CountedThreadsCount, ACountedThreadIsCountedBeforeItRunsAndOutAfter) {
    CountedThreads counted;
    std::mutex m;
    std::condition_variable cv;
    bool go = false, done = false;
    int seen_inside = -1;
    ASSERT_TRUE(counted.start([&] {
        std::unique_lock<std::mutex> g(m);
        cv.wait(g, [&] { return go; });
        seen_inside = counted.count();
        done = true;
        cv.notify_all();
    }));
    // Counted already, though it has not run: shutdown would wait for it.
    EXPECT_EQ(counted.count(), 1);
    {
        std::unique_lock<std::mutex> g(m);
        go = true;
        cv.notify_all();
        cv.wait(g, [&] { return done; });
    }
    EXPECT_EQ(seen_inside, 1);
    for (int i = 0; i < 500 && counted.count() != 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    EXPECT_EQ(counted.count(), 0);
}

TEST(CountedThreadsCount, WaitForNoThreadsEndsWhenTheLastOneEnds) {
    CountedThreads counted;
    CountedThreads other;  // another gateway's: its shutdown does not wait for these
    EXPECT_TRUE(counted.wait_zero(0)) << "nothing running: true at once";
    std::mutex m;
    std::condition_variable cv;
    bool go = false;
    for (int i = 0; i < 2; ++i)
        ASSERT_TRUE(counted.start([&] {
            std::unique_lock<std::mutex> g(m);
            cv.wait(g, [&] { return go; });
        }));
    EXPECT_FALSE(counted.wait_zero(30)) << "both still running: the limit ends the wait";
    EXPECT_EQ(counted.count(), 2);
    EXPECT_TRUE(other.wait_zero(0));
    std::thread releaser([&] {
        std::lock_guard<std::mutex> g(m);
        go = true;
        cv.notify_all();
    });
    // Woken by the last thread's end, well before this limit.
    EXPECT_TRUE(counted.wait_zero(20000));
    EXPECT_EQ(counted.count(), 0);
    releaser.join();
}

TEST(NamedLocksDeathTest, LockHeldTooLongNamesTheHoldersPlace) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            // The fatal stop leaves startstop.log in the current directory.
            std::filesystem::current_path(std::filesystem::temp_directory_path());
            NamedLock phones(PHONES);
            phones.set_wait_limit(100);
            std::atomic<bool> held{false};
            std::thread holder([&] {
                phones.get_debug("pool.cpp", 42);
                held = true;
                std::this_thread::sleep_for(std::chrono::seconds(5));
            });
            while (!held) std::this_thread::yield();
            phones.get();
            holder.join();
        },
        "Failed to get mutex 0\\(PHONES\\)\\. Held at \\(pool.cpp:42\\)");
}

}  // namespace
}  // namespace tolvane
