// Process locks: re-entrancy, exclusion, the holder's place in the failure, thread counts.
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

class ProcessLocks : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(mutexlist_init(), 1); }
    void TearDown() override {
        mutexlist_set_wait_limit(MUTEXLIST_WAIT_MS);
        mutexlist_free();
    }
};

TEST_F(ProcessLocks, NamesInOrder) {
    EXPECT_STREQ(mutexlist_name(PHONES), "PHONES");
    EXPECT_STREQ(mutexlist_name(THREADS), "THREADS");
    EXPECT_STREQ(mutexlist_name(2), "");
    EXPECT_EQ(mutexlist_wait_limit(), 120000);
}

TEST_F(ProcessLocks, HolderMayTakeItAgain) {
    EXPECT_EQ(mutexlist_get(PHONES), 1);
    EXPECT_EQ(mutexlist_get(PHONES), 1);
    EXPECT_EQ(mutexlist_release(PHONES), 1);
    EXPECT_EQ(mutexlist_release(PHONES), 1);
}

TEST_F(ProcessLocks, OtherThreadWaitsForRelease) {
    std::atomic<bool> got{false};
    mutexlist_get(PHONES);
    std::thread t([&] {
        ProcessLock hold(PHONES);
        got = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(got.load());
    mutexlist_release(PHONES);
    t.join();
    EXPECT_TRUE(got.load());
}

TEST_F(ProcessLocks, LocksAreIndependent) {
    ProcessLock phones(PHONES);
    std::atomic<bool> got{false};
    std::thread t([&] {
        ProcessLock threads(THREADS);
        got = true;
    });
    t.join();
    EXPECT_TRUE(got.load());
}

TEST_F(ProcessLocks, ThreadCountGoesUpAndDownUnderLoad) {
    int base = thread_count();
    std::vector<std::thread> th;
    for (int i = 0; i < 8; ++i) {
        th.emplace_back([] {
            for (int k = 0; k < 200; ++k) add_thread();
            for (int k = 0; k < 200; ++k) rmv_thread();
        });
    }
    for (auto& t : th) t.join();
    EXPECT_EQ(thread_count(), base);
    add_thread();
    EXPECT_EQ(thread_count(), base + 1);
    rmv_thread();
}

TEST_F(ProcessLocks, ACountedThreadIsCountedBeforeItRunsAndOutAfter) {
    int base = thread_count();
    std::mutex m;
    std::condition_variable cv;
    bool go = false, done = false;
    int seen_inside = -1;
    ASSERT_TRUE(start_counted_thread([&] {
        std::unique_lock<std::mutex> g(m);
        cv.wait(g, [&] { return go; });
        seen_inside = thread_count();
        done = true;
        cv.notify_all();
    }));
    // Counted already, though it has not run: shutdown would wait for it.
    EXPECT_EQ(thread_count(), base + 1);
    {
        std::unique_lock<std::mutex> g(m);
        go = true;
        cv.notify_all();
        cv.wait(g, [&] { return done; });
    }
    EXPECT_EQ(seen_inside, base + 1);
    for (int i = 0; i < 500 && thread_count() != base; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    EXPECT_EQ(thread_count(), base);
}

TEST_F(ProcessLocks, WaitForNoThreadsEndsWhenTheLastOneEnds) {
    ASSERT_EQ(thread_count(), 0) << "another test left a counted thread running";
    EXPECT_TRUE(thread_count_wait_zero(0)) << "nothing running: true at once";
    std::mutex m;
    std::condition_variable cv;
    bool go = false;
    for (int i = 0; i < 2; ++i)
        ASSERT_TRUE(start_counted_thread([&] {
            std::unique_lock<std::mutex> g(m);
            cv.wait(g, [&] { return go; });
        }));
    EXPECT_FALSE(thread_count_wait_zero(30)) << "both still running: the limit ends the wait";
    EXPECT_EQ(thread_count(), 2);
    std::thread releaser([&] {
        std::lock_guard<std::mutex> g(m);
        go = true;
        cv.notify_all();
    });
    // Woken by the last thread's end, well before this limit.
    EXPECT_TRUE(thread_count_wait_zero(20000));
    EXPECT_EQ(thread_count(), 0);
    releaser.join();
}

using ProcessLocksDeathTest = ProcessLocks;

TEST_F(ProcessLocksDeathTest, UnknownNumberStopsTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            std::filesystem::current_path(std::filesystem::temp_directory_path());
            mutexlist_get(7);
        },
        "Mutex 7 does not exist");
}

TEST_F(ProcessLocksDeathTest, LockHeldTooLongNamesTheHoldersPlace) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            // The fatal stop leaves startstop.log in the current directory.
            std::filesystem::current_path(std::filesystem::temp_directory_path());
            mutexlist_set_wait_limit(100);
            std::atomic<bool> held{false};
            std::thread holder([&] {
                mutexlist_get_debug(PHONES, "pool.cpp", 42);
                held = true;
                std::this_thread::sleep_for(std::chrono::seconds(5));
            });
            while (!held) std::this_thread::yield();
            mutexlist_get(PHONES);
            holder.join();
        },
        "Failed to get mutex 0\\(PHONES\\)\\. Held at \\(pool.cpp:42\\)");
}

}  // namespace
}  // namespace tolvane
