// Rate-limit reservations in batches against a private server: one batch counts its
// reservations in turn and answers each caller its own; keys of any bytes stay apart; a
// failed batch counts nothing; reservations that arrive during a round trip go together
// in the next one; two gateways under load hold every limit exactly; a store that is away
// answers every caller with its reason; a server restart between batches loses no count.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <map>
#include <random>
#include <thread>
#include <vector>

#include "store/pg.h"
#include "store/pg_reserve.h"
#include "store/pg_schema.h"
#include "support/pg_fresh.h"
#include "support/status_check.h"

namespace tolvane {
namespace {

constexpr std::int64_t kNow = 1700000000;

// Waits (up to 20 s) for cond; false when it never held.
template <typename F>
bool eventually(F cond) {
    for (int i = 0; i < 2000; ++i) {
        if (cond()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return cond();
}

class PgReserveTest : public PgFreshTest {
  protected:
    void SetUp() override {
        PgFreshTest::SetUp();
        with_schema();
    }
    // The count stored for (name, kind, key) in the kind's current epoch (-1: no row).
    int stored(const std::string& name, int kind, const std::string& key) {
        Result<PgResult> r = conn_->exec(
            "SELECT c.count FROM tv_limit_counts c JOIN tv_limit_kinds t"
            " ON t.name = c.name AND t.kind = c.kind AND t.epoch = c.epoch"
            " WHERE c.name = $1 AND c.kind = $2 AND c.key = $3",
            {pg_bytes(name), pg_int(kind), pg_bytes(key)});
        EXPECT_TRUE(succeeded(r));
        return r && r->rows() == 1 ? static_cast<int>(r->int64(0, 0)) : -1;
    }
};

PgReservation res(const char* name, int kind, std::string key, int units, int limit, bool check,
                  int hours = 24) {
    return PgReservation{name, kind, std::move(key), units, limit, hours, check};
}

TEST_F(PgReserveTest, OneBatchCountsInTurnAndAnswersEachCallerItsOwn) {
    // Given out of the lock order on purpose: the answers must still reach their callers.
    struct Case {
        const char* what;
        PgReservation r;
        int held;
    };
    const Case cases[] = {
        {"to: first of two", res("m", 2, "+6140", 1, 2, true), 1},
        {"from: first", res("m", 1, "ann@x", 1, 3, true), 1},
        {"from: other key apart", res("m", 1, "bob@x", 1, 1, true), 1},
        {"from: second", res("m", 1, "ann@x", 1, 3, true), 1},
        {"to: second reaches the limit", res("m", 2, "+6140", 1, 2, true), 1},
        {"from: third reaches the limit", res("m", 1, "ann@x", 1, 3, true), 1},
        {"from: fourth refused", res("m", 1, "ann@x", 1, 3, true), 0},
        {"to: third refused", res("m", 2, "+6140", 1, 2, true), 0},
        {"from: unchecked units taken past the limit", res("m", 1, "ann@x", 2, 3, false), 1},
        {"from: still refused after them", res("m", 1, "ann@x", 1, 3, true), 0},
        {"other limit, same kind and key, apart", res("a", 1, "ann@x", 1, 1, true), 1},
        {"other limit's second refused", res("a", 1, "ann@x", 1, 1, true), 0},
        {"no limit: always held", res("m", 3, "10.0.0.1", 5, 0, true), 1},
        {"bob's second refused", res("m", 1, "bob@x", 1, 1, true), 0},
    };
    std::vector<const PgReservation*> list;
    std::vector<std::int64_t> nows;
    for (const Case& c : cases) {
        list.push_back(&c.r);
        nows.push_back(kNow);
    }
    Result<std::vector<int>> answer = pg_reserve_batch(*conn_, list, nows);
    ASSERT_TRUE(answer) << answer.reason();
    const std::vector<int>& held = *answer;
    ASSERT_EQ(held.size(), std::size(cases));
    for (std::size_t i = 0; i < std::size(cases); ++i)
        EXPECT_EQ(held[i], cases[i].held) << cases[i].what;
    EXPECT_EQ(stored("m", 1, "ann@x"), 5);
    EXPECT_EQ(stored("m", 2, "+6140"), 2);
    EXPECT_EQ(stored("m", 1, "bob@x"), 1);
    EXPECT_EQ(stored("a", 1, "ann@x"), 1);
    EXPECT_EQ(stored("m", 3, "10.0.0.1"), 5);
    // An empty batch asks nothing and answers nothing.
    Result<std::vector<int>> none = pg_reserve_batch(*conn_, {}, {});
    ASSERT_TRUE(none) << none.reason();
    EXPECT_TRUE(none->empty());
}

TEST_F(PgReserveTest, KeysAndNamesOfAnyBytesStayApart) {
    // Bytes that an array literal or the hex form could confuse: separators, quotes,
    // backslashes, braces, NUL, bytes that are not UTF-8, the word NULL, the empty key.
    const std::vector<std::string> keys = {
        "",
        "a,b",
        "{x}",
        "\"q\"",
        "back\\slash",
        "\xff\xfe",
        std::string("n\0l", 3),
        "NULL",
        "a b",
        "ann@x",
        std::string("n\0m", 3),
    };
    std::vector<PgReservation> rs;
    for (const std::string& k : keys) rs.push_back(res("lim\"{,}\\", 1, k, 1, 1, true));
    for (const std::string& k : keys) rs.push_back(res("lim\"{,}\\", 1, k, 1, 1, true));
    std::vector<const PgReservation*> list;
    std::vector<std::int64_t> nows;
    for (const PgReservation& r : rs) {
        list.push_back(&r);
        nows.push_back(kNow);
    }
    Result<std::vector<int>> answer = pg_reserve_batch(*conn_, list, nows);
    ASSERT_TRUE(answer) << answer.reason();
    const std::vector<int>& held = *answer;
    for (std::size_t i = 0; i < rs.size(); ++i)
        EXPECT_EQ(held[i], i < keys.size() ? 1 : 0) << "key #" << i % keys.size();
    for (const std::string& k : keys) EXPECT_EQ(stored("lim\"{,}\\", 1, k), 1) << k;
    Result<PgResult> r = conn_->exec("SELECT count(*) FROM tv_limit_counts", {});
    ASSERT_TRUE(succeeded(r));
    EXPECT_EQ(r->int64(0, 0), static_cast<std::int64_t>(keys.size()));
}

TEST_F(PgReserveTest, CountsExpireInsideABatchAndARefusalIsNoChange) {
    // Period of one hour: a refusal late in the hour does not keep the counts alive, a
    // reservation after a whole hour without change counts from zero again, and the next
    // one of the same batch sees that new count.
    const PgReservation a = res("h", 1, "k", 1, 1, true, 1);
    Result<std::vector<int>> held = pg_reserve_batch(*conn_, {&a}, {kNow});
    ASSERT_TRUE(held) << held.reason();
    ASSERT_EQ(*held, std::vector<int>{1});
    held = pg_reserve_batch(*conn_, {&a}, {kNow + 3000});
    ASSERT_TRUE(held) << held.reason();
    EXPECT_EQ(*held, std::vector<int>{0}) << "refused within the hour";
    held = pg_reserve_batch(*conn_, {&a, &a}, {kNow + 3601, kNow + 3601});
    ASSERT_TRUE(held) << held.reason();
    EXPECT_EQ(*held, (std::vector<int>{1, 0}))
        << "the first starts a new period, the second is over";
    EXPECT_EQ(stored("h", 1, "k"), 1);
}

TEST_F(PgReserveTest, ABatchThatFailsCountsNothing) {
    // A batch whose later reservation cannot take its row in time fails as a whole: the
    // earlier one, already counted inside the call, is not kept either.
    const PgReservation first = res("f", 1, "a", 1, 10, true);
    const PgReservation second = res("f", 1, "b", 1, 10, true);
    Result<std::vector<int>> held = pg_reserve_batch(*conn_, {&first, &second}, {kNow, kNow});
    ASSERT_TRUE(held) << held.reason();
    ASSERT_EQ(*held, (std::vector<int>{1, 1}));
    Result<std::unique_ptr<PgConn>> opened = PgConn::open(dsn_);
    ASSERT_TRUE(succeeded(opened));
    PgConn& blocker = **opened;
    ASSERT_TRUE(succeeded(blocker.script("BEGIN")));
    ASSERT_TRUE(succeeded(blocker.exec_only(
        "SELECT count FROM tv_limit_counts WHERE key = $1 FOR UPDATE", {pg_bytes("b")})));
    ASSERT_TRUE(succeeded(conn_->script("SET statement_timeout = 300")));
    held = pg_reserve_batch(*conn_, {&second, &first}, {kNow, kNow});
    ASSERT_FALSE(held) << "a failed batch gives no answer that could say held";
    EXPECT_NE(held.reason().find("statement timeout"), std::string::npos) << held.reason();
    ASSERT_TRUE(succeeded(blocker.script("COMMIT")));
    ASSERT_TRUE(succeeded(conn_->script("SET statement_timeout = 0")));
    EXPECT_EQ(stored("f", 1, "a"), 1);
    EXPECT_EQ(stored("f", 1, "b"), 1);
}

// Reservations of one limit and kind in the same second write only their keys' counts:
// the kind's row (which all of them would otherwise queue up behind) keeps its version
// until a reservation of a later second, which still counts exactly.
TEST_F(PgReserveTest, TheKindsRowIsWrittenOnlyWhenItsSecondChanges) {
    auto version = [&] {
        Result<PgResult> r =
            conn_->exec("SELECT xmin::text FROM tv_limit_kinds WHERE name = $1", {pg_bytes("s")});
        EXPECT_TRUE(succeeded(r));
        return r && r->rows() == 1 ? r->text(0, 0) : std::string("none");
    };
    struct Step {
        std::int64_t now;
        const char* key;
        int held;
        bool rewritten;
    };
    const Step steps[] = {
        {kNow, "a", 1, true},       // the kind's row is made
        {kNow, "b", 1, false},      // same second, another key
        {kNow, "a", 1, false},      // same second, a's second unit (limit 2)
        {kNow, "a", 0, false},      // refused at the limit, nothing changes
        {kNow + 1, "b", 1, true},   // the next second moves the row's time on
        {kNow + 1, "b", 0, false},  // and b is at its limit there
    };
    std::string last = version();
    for (const Step& st : steps) {
        SCOPED_TRACE(std::string(st.key) + " at +" + std::to_string(st.now - kNow));
        const PgReservation r = res("s", 1, st.key, 1, 2, true);
        Result<std::vector<int>> held = pg_reserve_batch(*conn_, {&r}, {st.now});
        ASSERT_TRUE(held) << held.reason();
        EXPECT_EQ((*held)[0], st.held);
        const std::string now = version();
        EXPECT_EQ(now != last, st.rewritten);
        last = now;
    }
    EXPECT_EQ(stored("s", 1, "a"), 2);
    EXPECT_EQ(stored("s", 1, "b"), 2);
}

TEST_F(PgReserveTest, ReservationsArrivingDuringARoundTripGoTogetherInTheNextBatch) {
    PgReserveBatcher b(dsn_, 1);
    const PgReservation r = res("g", 1, "k", 1, 4, true);
    Result<bool> first = b.reserve(r, kNow);
    ASSERT_TRUE(first) << first.reason();
    ASSERT_TRUE(*first);
    // Hold the key's count so that the next batch waits in the server.
    Result<std::unique_ptr<PgConn>> opened = PgConn::open(dsn_);
    ASSERT_TRUE(succeeded(opened));
    PgConn& blocker = **opened;
    ASSERT_TRUE(succeeded(blocker.script("BEGIN")));
    ASSERT_TRUE(succeeded(blocker.exec_only(
        "SELECT 1 FROM tv_limit_counts WHERE name = $1 AND key = $2 FOR UPDATE",
        {pg_bytes("g"), pg_bytes("k")})));
    std::atomic<int> held{0}, failed{0};
    auto one = [&] {
        Result<bool> h = b.reserve(r, kNow);
        if (!h)
            ++failed;
        else if (*h)
            ++held;
    };
    std::vector<std::thread> threads;
    threads.emplace_back(one);
    ASSERT_TRUE(eventually([&] { return b.batches() == 2 && b.waiting() == 0; }));
    for (int i = 0; i < 5; ++i) threads.emplace_back(one);
    ASSERT_TRUE(eventually([&] { return b.waiting() == 5; }));
    EXPECT_EQ(b.batches(), 2u) << "nothing is sent while the one connection is busy";
    ASSERT_TRUE(succeeded(blocker.script("COMMIT")));
    for (auto& t : threads) t.join();
    EXPECT_EQ(b.batches(), 3u) << "the five waiting went in one batch";
    EXPECT_EQ(b.reservations(), 7u);
    EXPECT_EQ(failed.load(), 0);
    EXPECT_EQ(held.load(), 3) << "one held before, four allowed";
    EXPECT_EQ(stored("g", 1, "k"), 4);
}

TEST_F(PgReserveTest, TwoGatewaysUnderLoadHoldEveryLimitExactly) {
    // Two batchers (two gateways), each with two connections so that batches of one also
    // run at once, many threads reserving keys of three kinds in random order: each key
    // ends at exactly its limit and no batch fails (two batches taking rows in opposite
    // orders would deadlock, and one of them fail).
    PgReserveBatcher g1(dsn_, 2), g2(dsn_, 2);
    const int kLimit = 7;
    const std::vector<std::pair<int, std::string>> keys = {
        {1, "ann@x"}, {1, "bob@x"}, {2, "+6140"}, {2, "+6141"}, {3, "10.0.0.1"}};
    std::map<std::pair<int, std::string>, std::atomic<int>> held;
    for (const auto& k : keys) held[k] = 0;
    std::atomic<int> failed{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 40; ++t)
        threads.emplace_back([&, t] {
            PgReserveBatcher& g = t % 2 ? g1 : g2;
            std::mt19937 rng(static_cast<unsigned>(t));
            for (int n = 0; n < 6; ++n) {
                const auto& k = keys[rng() % keys.size()];
                PgReservation r = res("x", k.first, k.second, 1, kLimit, true);
                Result<bool> h = g.reserve(r, kNow);
                if (!h) {
                    ++failed;
                    ADD_FAILURE() << h.reason();
                } else if (*h) {
                    ++held[k];
                }
            }
        });
    for (auto& th : threads) th.join();
    EXPECT_EQ(failed.load(), 0);
    for (const auto& k : keys) {
        EXPECT_EQ(held[k].load(), kLimit) << k.second;
        EXPECT_EQ(stored("x", k.first, k.second), kLimit) << k.second;
    }
    EXPECT_EQ(g1.reservations() + g2.reservations(), 240u);
}

TEST(PgReserveDown, EveryCallerHearsTheStoreIsAway) {
    PgReserveBatcher b(pg_unreachable_dsn(), 1);
    const PgReservation r = res("d", 1, "k", 1, 1, true);
    std::vector<std::string> whys(8);
    std::vector<int> failed(8, 0);
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < failed.size(); ++i)
        threads.emplace_back([&, i] {
            Result<bool> h = b.reserve(r, kNow);
            failed[i] = !h;
            whys[i] = h.reason();
        });
    for (auto& t : threads) t.join();
    for (std::size_t i = 0; i < failed.size(); ++i) {
        EXPECT_EQ(failed[i], 1) << i;
        EXPECT_NE(whys[i].find("PostgreSQL store unavailable"), std::string::npos) << whys[i];
    }
}

TEST(PgReserveRestart, AServerRestartBetweenBatchesLosesNoCount) {
    // Its own cluster: stopping the shared one would disturb other tests of this binary.
    std::string why;
    std::unique_ptr<PgCluster> pg = PgCluster::start(why);
    ASSERT_NE(pg, nullptr) << why;
    {
        Result<std::unique_ptr<PgConn>> c = PgConn::open(pg->dsn());
        ASSERT_TRUE(succeeded(c));
        Result<int> version = pg_schema_upgrade(**c);
        ASSERT_TRUE(version) << version.reason();
    }
    PgReserveBatcher b(pg->dsn(), 1);
    const PgReservation r = res("r", 1, "k", 1, 2, true);
    Result<bool> before = b.reserve(r, kNow);
    ASSERT_TRUE(before && *before) << before.reason();
    {
        // The reservation's commit does not wait for the disk: a later commit that waits
        // carries it (in the gateway, the mail's enqueue). Without one a crash may lose it.
        Result<std::unique_ptr<PgConn>> c = PgConn::open(pg->dsn());
        ASSERT_TRUE(succeeded(c));
        ASSERT_TRUE(succeeded((*c)->script("CREATE TABLE carried (x integer)")));
    }
    ASSERT_TRUE(pg->stop_now(why)) << why;
    ASSERT_TRUE(pg->start_again(why)) << why;
    // The idle connection broke with the restart: the batch goes again on a new one.
    Result<bool> after = b.reserve(r, kNow);
    EXPECT_TRUE(after && *after) << after.reason();
    Result<bool> over = b.reserve(r, kNow);
    ASSERT_TRUE(over) << over.reason();
    EXPECT_FALSE(*over) << "both units were counted";
}

}  // namespace
}  // namespace tolvane
