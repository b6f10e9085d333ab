// Containers: cursor rules, orders, the fixed key hash, pair and word lists, buffer growth.
#include "foundation/containers.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace tolvane {
namespace {

// An array of n small integers 0..n-1, held as owned pointers the test frees.
struct IntArray {
    explicit IntArray(int n, bool lock = false) : a(array_init<int*>(lock)) {
        for (int i = 0; i < n; ++i) {
            store.push_back(std::make_unique<int>(i));
            array_add(a.get(), store.back().get());
        }
    }
    std::vector<int> walk() {
        std::vector<int> out;
        for (int** p = array_get_num(a.get(), 0); p; p = array_get(a.get())) out.push_back(**p);
        return out;
    }
    std::unique_ptr<array<int*>> a;
    std::vector<std::unique_ptr<int>> store;
};

TEST(Array, GetOnNewArrayIsNull) {
    auto a = array_init<int*>(false);
    EXPECT_EQ(array_get(a.get()), nullptr);
    EXPECT_EQ(array_items(a.get()), 0);
    EXPECT_EQ(a->current, -1);
}

TEST(Array, CursorRunsOffAfterLastItem) {
    IntArray t(3);
    int** p = array_get_num(t.a.get(), 2);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(**p, 2);
    EXPECT_EQ(t.a->current, -1);
    EXPECT_EQ(array_get(t.a.get()), nullptr);
    EXPECT_EQ(array_get_num(t.a.get(), 3), nullptr);
    EXPECT_EQ(array_get_num(t.a.get(), -1), nullptr);
}

TEST(Array, WalkSeesItemsInOrder) {
    IntArray t(5);
    EXPECT_EQ(t.walk(), (std::vector<int>{0, 1, 2, 3, 4}));
    array_start(t.a.get());
    ASSERT_NE(array_get(t.a.get()), nullptr);
    EXPECT_EQ(t.a->current, 1);
}

TEST(Array, NullItemRefused) {
    auto a = array_init<int*>(false);
    EXPECT_EQ(array_add(a.get(), static_cast<int*>(nullptr)), 0);
    EXPECT_EQ(array_add_num(a.get(), static_cast<int*>(nullptr), 0), 0);
    EXPECT_EQ(array_items(a.get()), 0);
}

TEST(Array, InsertBeforeCursorKeepsWalkInStep) {
    IntArray t(5);
    array_get_num(t.a.get(), 1);  // cursor now 2
    int extra = 99;
    ASSERT_EQ(array_add_num(t.a.get(), &extra, 0), 1);
    EXPECT_EQ(t.a->current, 3);
    int** next = array_get(t.a.get());
    ASSERT_NE(next, nullptr);
    EXPECT_EQ(**next, 2);  // not 1 again
}

TEST(Array, InsertAtCursorIsNotSeenTwice) {
    IntArray t(3);
    array_get_num(t.a.get(), 0);  // cursor 1
    int extra = 7;
    ASSERT_EQ(array_add_num(t.a.get(), &extra, 1), 1);
    EXPECT_EQ(**array_get(t.a.get()), 1);
}

TEST(Array, InsertPositions) {
    IntArray t(2);
    int head = 10, tail = 11, beyond = 12;
    EXPECT_EQ(array_add_num(t.a.get(), &head, 0), 1);
    EXPECT_EQ(array_add_num(t.a.get(), &tail, array_items(t.a.get())), 1);
    EXPECT_EQ(array_add_num(t.a.get(), &beyond, array_items(t.a.get()) + 1), 0);
    EXPECT_EQ(array_add_num(t.a.get(), &beyond, -1), 0);
    EXPECT_EQ(t.walk(), (std::vector<int>{10, 0, 1, 11}));
}

TEST(Array, DelRemovesItemJustRead) {
    IntArray t(6);
    array_get_num(t.a.get(), 4);
    auto gone = array_del(t.a.get());
    ASSERT_TRUE(gone.has_value());
    EXPECT_EQ(**gone, 4);
    EXPECT_EQ(**array_get(t.a.get()), 5);  // the walk goes on with the next one
    EXPECT_EQ(t.walk(), (std::vector<int>{0, 1, 2, 3, 5}));
}

TEST(Array, DelWithCursorOffTheEndRemovesLast) {
    IntArray t(3);
    t.walk();
    EXPECT_EQ(t.a->current, -1);
    auto gone = array_del(t.a.get());
    ASSERT_TRUE(gone.has_value());
    EXPECT_EQ(**gone, 2);
    EXPECT_EQ(array_items(t.a.get()), 2);
}

TEST(Array, DeletingWhileWalkingVisitsEveryItemOnce) {
    IntArray t(6);
    std::vector<int> seen;
    for (int** p = array_get_num(t.a.get(), 0); p; p = array_get(t.a.get())) {
        seen.push_back(**p);
        if (**p % 2 == 0) array_del(t.a.get());
    }
    EXPECT_EQ(seen, (std::vector<int>{0, 1, 2, 3, 4, 5}));
    EXPECT_EQ(t.walk(), (std::vector<int>{1, 3, 5}));
}

TEST(Array, DeleteFirstItemAtStartDoesNotEndWalk) {
    IntArray t(3);
    array_start(t.a.get());
    auto gone = array_del_num(t.a.get(), 0);
    ASSERT_TRUE(gone.has_value());
    int** p = array_get(t.a.get());
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(**p, 1);
}

TEST(Array, DelNumOutOfRangeAndEmptying) {
    IntArray t(1);
    EXPECT_FALSE(array_del_num(t.a.get(), 1).has_value());
    array_start(t.a.get());
    EXPECT_TRUE(array_del_num(t.a.get(), 0).has_value());
    EXPECT_EQ(t.a->current, -1);
    EXPECT_FALSE(array_del(t.a.get()).has_value());
}

TEST(Array, EmptyForgetsItemsAndFreeFnVisitsInOrder) {
    IntArray t(4);
    array_empty(t.a.get());
    EXPECT_EQ(array_items(t.a.get()), 0);
    EXPECT_EQ(array_get(t.a.get()), nullptr);

    IntArray u(4);
    std::vector<int> visited;
    array_free_fn(u.a, [&](int*& p) { visited.push_back(*p); });
    EXPECT_EQ(visited, (std::vector<int>{0, 1, 2, 3}));
    EXPECT_EQ(u.a, nullptr);
}

struct Counted {
    explicit Counted(int* c) : count(c) {}
    ~Counted() { ++*count; }
    int* count;
};

TEST(Array, FreeDeallocDeletesEveryItem) {
    int deleted = 0;
    auto a = array_init<Counted*>(false);
    for (int i = 0; i < 3; ++i) array_add(a.get(), new Counted(&deleted));
    array_free_dealloc(a);
    EXPECT_EQ(deleted, 3);
    EXPECT_EQ(a, nullptr);
}

TEST(Array, SetupSetsGrowthStep) {
    auto a = array_init<std::string>(false);
    array_setup(a.get(), 50, 0);
    EXPECT_EQ(a->block, 5);
    array_setup(a.get(), 50, 20);
    EXPECT_EQ(a->block, 20);
    EXPECT_GE(a->data.capacity(), 50u);
    EXPECT_EQ(array_add(a.get(), std::string("value items work too")), 1);
    EXPECT_EQ(*array_get_num(a.get(), 0), "value items work too");
}

TEST(Array, LockHoldsOutOtherThreadsUntilUnlock) {
    IntArray t(3);
    array_lock(t.a.get());
    EXPECT_TRUE(t.a->lock);
    std::atomic<bool> added{false};
    int extra = 3;
    std::thread other([&] {
        array_add(t.a.get(), &extra);
        added = true;
    });
    // The holder's own operations go on.
    EXPECT_EQ(t.walk(), (std::vector<int>{0, 1, 2}));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(added.load());
    array_unlock(t.a.get());
    other.join();
    EXPECT_TRUE(added.load());
    EXPECT_EQ(array_items(t.a.get()), 4);
}

TEST(Array, LockedArraySurvivesConcurrentAdds) {
    auto a = array_init<int>(true);
    std::vector<std::thread> ts;
    for (int k = 0; k < 4; ++k)
        ts.emplace_back([&] {
            for (int i = 0; i < 500; ++i) array_add(a.get(), i);
        });
    for (auto& t : ts) t.join();
    EXPECT_EQ(array_items(a.get()), 2000);
}

// ---------------------------------------------------------------- hash

// The key hash computed step by step with 64-bit arithmetic, wrapped by hand.
unsigned reference_hash(const std::string& key, unsigned size) {
    unsigned long long h = 0;
    for (std::size_t k = 1; k <= key.size(); ++k) {
        long long c = static_cast<signed char>(key[k - 1]);
        unsigned long long sum =
            (h + static_cast<unsigned long long>(c) + k + size) & 0xffffffffULL;
        h = ((sum * 1300493ULL) & 0xffffffffULL) % 11187503ULL;
    }
    return static_cast<unsigned>(h % size);
}

TEST(HashKey, MatchesTheFixedFunction) {
    // Worked by hand: "a" (97) in 10 buckets: (0+97+1+10)*1300493 = 140453244 mod 11187503
    // = 6203208, mod 10 = 8.
    EXPECT_EQ(hash_key("a", 10), 8u);
    EXPECT_EQ(hash_key("", 10), 0u);
    for (const std::string& k :
         std::vector<std::string>{"abc", "limit_ip", "0412345678", "UPPER lower", "x\xe9\xff\x80y",
                                  std::string(300, 'z')})
        for (unsigned size : {1u, 7u, 101u, 4096u}) {
            SCOPED_TRACE(k + " / " + std::to_string(size));
            EXPECT_EQ(hash_key(k, size), reference_hash(k, size));
        }
}

TEST(HashKey, HighBytesCountAsNegative) {
    // 0xff is -1: (0 - 1 + 1 + 3) * 1300493 = 3901479 mod 11187503 = 3901479, mod 3 = 0.
    EXPECT_EQ(hash_key("\xff", 3), 3901479u % 3);
    EXPECT_NE(hash_key("\xff", 1000), hash_key("\x7f", 1000));
}

TEST(Hash, FindNthEntryOfRepeatedKey) {
    auto h = hash_init<std::string>(13);
    hash_add(h.get(), "k", std::string("first"));
    hash_add(h.get(), "other", std::string("x"));
    hash_add(h.get(), "k", std::string("second"));
    ASSERT_NE(hash_find(h.get(), "k", 0), nullptr);
    EXPECT_EQ(*hash_find(h.get(), "k", 0), "first");
    ASSERT_NE(hash_find(h.get(), "k", 1), nullptr);
    EXPECT_EQ(*hash_find(h.get(), "k", 1), "second");
    EXPECT_EQ(hash_find(h.get(), "k", 2), nullptr);
    EXPECT_EQ(hash_find(h.get(), "K", 0), nullptr);  // keys are exact
    EXPECT_EQ(hash_find(h.get(), "missing", 0), nullptr);
}

TEST(Hash, NullItemIgnored) {
    auto h = hash_init<int*>(5);
    hash_add(h.get(), "k", static_cast<int*>(nullptr));
    EXPECT_EQ(hash_items(h.get()), 0);
}

TEST(Hash, EnumerationIsBucketByBucketInInsertionOrder) {
    const unsigned size = 7;
    auto h = hash_init<std::string>(size);
    std::vector<std::string> keys;
    for (int i = 0; i < 40; ++i) keys.push_back("key" + std::to_string(i));
    for (const auto& k : keys) hash_add(h.get(), k, k);
    std::vector<std::string> expected;
    for (unsigned b = 0; b < size; ++b)
        for (const auto& k : keys)
            if (hash_key(k, size) == b) expected.push_back(k);
    std::vector<std::string> got;
    hash_start(h.get(), 0);
    while (std::string* s = hash_get(h.get())) got.push_back(*s);
    EXPECT_EQ(got, expected);
    EXPECT_EQ(hash_get(h.get()), nullptr);
}

TEST(Hash, EmptyCallsFnForEachAndKeepsTableUsable) {
    auto h = hash_init<int>(3);
    for (int i = 0; i < 5; ++i) hash_add(h.get(), std::to_string(i), i);
    int sum = 0;
    hash_empty<int>(h.get(), [&](int& v) { sum += v; });
    EXPECT_EQ(sum, 0 + 1 + 2 + 3 + 4);
    EXPECT_EQ(hash_items(h.get()), 0);
    hash_add(h.get(), "again", 9);
    EXPECT_EQ(*hash_find(h.get(), "again"), 9);
    int calls = 0;
    hash_free<int>(h, [&](int&) { ++calls; });
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(h, nullptr);
}

// ---------------------------------------------------------------- queue

TEST(Queue, FirstInFirstOut) {
    auto q = queue_init<int>();
    EXPECT_FALSE(queue_dequeue(q.get()).has_value());
    for (int i = 1; i <= 3; ++i) queue_queue(q.get(), i);
    EXPECT_EQ(queue_items(q.get()), 3);
    EXPECT_EQ(queue_dequeue(q.get()), 1);
    EXPECT_EQ(queue_dequeue(q.get()), 2);
    queue_queue(q.get(), 4);
    EXPECT_EQ(queue_dequeue(q.get()), 3);
    EXPECT_EQ(queue_dequeue(q.get()), 4);
    EXPECT_FALSE(queue_dequeue(q.get()).has_value());
}

TEST(Queue, CopySharesItemsInOrderAndNullRefused) {
    auto q = queue_init<int*>();
    int a = 1, b = 2;
    EXPECT_EQ(queue_queue(q.get(), static_cast<int*>(nullptr)), 0);
    queue_queue(q.get(), &a);
    queue_queue(q.get(), &b);
    auto c = queue_copy(q.get());
    EXPECT_EQ(queue_dequeue(c.get()), &a);
    EXPECT_EQ(queue_dequeue(c.get()), &b);
    EXPECT_EQ(queue_items(q.get()), 2);  // the original is untouched
    queue_free(c);
    EXPECT_EQ(c, nullptr);
}

TEST(Queue, DeallocDeletesItems) {
    int deleted = 0;
    auto q = queue_init<Counted*>();
    queue_queue(q.get(), new Counted(&deleted));
    queue_queue(q.get(), new Counted(&deleted));
    queue_free_dealloc(q);
    EXPECT_EQ(deleted, 2);
    EXPECT_EQ(q, nullptr);
}

// ---------------------------------------------------------------- PAIR

TEST(Pair, MissingNameGivesEmptyText) {
    PairList l;
    EXPECT_EQ(pair_find(l, "nothing"), "");
    pair_add(l, "a", "1");
    EXPECT_EQ(pair_find(l, "b"), "");
    EXPECT_EQ(pair_find(l, "A"), "");  // exact names
    EXPECT_EQ(pair_findnc(l, "A"), "1");
}

TEST(Pair, ReplaceModeReplacesOrPutsInFront) {
    PairList l;
    pair_add(l, "a", "1");
    pair_add(l, "b", "2");
    pair_add(l, "a", "3");
    ASSERT_EQ(l.size(), 2u);
    EXPECT_EQ(l.front().var, "b");  // new names go in front
    EXPECT_EQ(pair_find(l, "a"), "3");
}

TEST(Pair, AppendAndFrontModesKeepDuplicates) {
    PairList l;
    pair_add(l, "x", "1", false, true);
    pair_add(l, "x", "2", false, true);
    pair_add(l, "y", "0", false, false);
    ASSERT_EQ(l.size(), 3u);
    EXPECT_EQ(l.front().var, "y");
    EXPECT_EQ(l.back().val, "2");
    EXPECT_EQ(pair_find(l, "x"), "1");  // the first in list order
}

TEST(Pair, RemoveByNameAndValue) {
    PairList l;
    pair_add(l, "x", "1", false, true);
    pair_add(l, "x", "2", false, true);
    EXPECT_EQ(pair_remove(l, "x", "2"), 1);
    EXPECT_EQ(pair_remove(l, "x", "2"), 0);
    EXPECT_EQ(pair_find(l, "x"), "1");
    EXPECT_EQ(pair_remove(l, "x"), 1);
    EXPECT_TRUE(l.empty());
    EXPECT_EQ(pair_remove(l, "x"), 0);
}

TEST(Pair, CopyAddsInReplaceMode) {
    PairList src, dst;
    pair_add(src, "a", "new");
    pair_add(src, "b", "2");
    pair_add(dst, "a", "old");
    pair_copy(dst, src);
    EXPECT_EQ(dst.size(), 2u);
    EXPECT_EQ(pair_find(dst, "a"), "new");
    EXPECT_EQ(pair_find(dst, "b"), "2");
    pair_copy(dst, dst);  // copying onto itself changes nothing
    EXPECT_EQ(dst.size(), 2u);
    pair_free(dst);
    EXPECT_TRUE(dst.empty());
}

TEST(PairDeath, NullNameStops) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    PairList l;
    EXPECT_DEATH(pair_add(l, static_cast<const char*>(nullptr), "v"), "");
}

// ---------------------------------------------------------------- WORDLIST

TEST(WordList, FrontOrAppendAndExactFind) {
    WORDLIST w;
    word_add(w, "b");
    word_add(w, "a");
    word_add(w, "c", true);
    EXPECT_EQ(w, (WORDLIST{"a", "b", "c"}));
    EXPECT_EQ(word_find(w, "b"), 1);
    EXPECT_EQ(word_find(w, "B"), 0);
    EXPECT_EQ(word_find(w, ""), 0);
    word_free(w);
    EXPECT_TRUE(w.empty());
}

// ---------------------------------------------------------------- DBUF

TEST(Dbuf, OneByteOverFullCapacityGrowsFourfoldPlus) {
    auto b = dbuf_new_size(100);
    EXPECT_EQ(dbuf_size(b.get()), 100u);
    std::string hundred(100, 'x');
    ASSERT_EQ(dbuf_add(b.get(), hundred), 1);
    EXPECT_EQ(dbuf_size(b.get()), 100u);  // exactly full still fits
    ASSERT_EQ(dbuf_add(b.get(), "y"), 1);
    EXPECT_EQ(dbuf_size(b.get()), 500u);
    EXPECT_EQ(dbuf_len(b.get()), 101u);
    EXPECT_EQ(std::string(dbuf_text(b.get())), hundred + "y");
}

TEST(Dbuf, LargeShortfallAndMinimumStep) {
    auto b = dbuf_new_size(10);
    std::string big(1000, 'q');
    dbuf_add(b.get(), big);
    EXPECT_EQ(dbuf_size(b.get()), 1000u);  // the shortfall (990) is the largest step
    auto z = dbuf_new_size(0);
    dbuf_add(z.get(), "abc");
    EXPECT_EQ(dbuf_size(z.get()), 3u);
    EXPECT_EQ(dbuf_text(z.get())[3], '\0');
}

TEST(Dbuf, BinaryBytesKept) {
    auto b = dbuf_new_size(4);
    const char bytes[] = {'a', '\0', 'b'};
    dbuf_addl(b.get(), bytes, 3);
    EXPECT_EQ(dbuf_len(b.get()), 3u);
    EXPECT_EQ(std::string(dbuf_text(b.get()), 3), std::string(bytes, 3));
    EXPECT_EQ(dbuf_addl(b.get(), nullptr, 2), 0);
    dbuf_free(b);
    EXPECT_EQ(b, nullptr);
}

}  // namespace
}  // namespace tolvane
