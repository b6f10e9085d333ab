// Rate-limit units taken in advance, against a private server: the database grants them
// only out of a sixteenth of the room left and counts them from the start; a refusal while
// units are out waits for them, and counts them used once their hold is over (the gateway
// that held them stopped); two gateways hammering one key end exactly at its limit with
// most reservations answered without a round trip; a gateway that falls quiet gives its
// unused units back to the one still reserving; units not used go back at the end; a
// store that is away is an error, and stopping does not wait for it.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "store/pg.h"
#include "store/pg_credit.h"
#include "store/pg_reserve.h"
#include "store/pg_schema.h"
#include "support/pg_fresh.h"
#include "support/status_check.h"

namespace tolvane {
namespace {

constexpr std::int64_t kNow = 1700000000;

class PgCreditTest : public PgFreshTest {
  protected:
    void SetUp() override {
        PgFreshTest::SetUp();
        with_schema();
    }
    // The key's count and its credit out (-1, -1: no row).
    std::pair<int, int> stored(const std::string& key) {
        Result<PgResult> r = conn_->exec(
            "SELECT count, credit FROM tv_limit_counts WHERE key = $1", {pg_bytes(key)});
        EXPECT_TRUE(succeeded(r));
        if (!r || r->rows() != 1) return {-1, -1};
        return {static_cast<int>(r->int64(0, 0)), static_cast<int>(r->int64(0, 1))};
    }
    PgGrant grant(const PgReservation& r, int hold_ms) {
        Result<std::vector<PgGrant>> g = pg_reserve_grants(*conn_, {&r}, {kNow}, hold_ms);
        EXPECT_TRUE(g) << g.reason();
        return g ? (*g)[0] : PgGrant{-1, -1, -1, -1};
    }
    void give_back(const std::string& key, std::int64_t epoch, int unused, int granted) {
        const std::string name = "c";
        ASSERT_TRUE(succeeded(conn_->exec_only(
            "SELECT tv_return_credit($1::bytea[], $2::integer[], $3::bytea[], $4::bigint[],"
            " $5::integer[], $6::integer[])",
            {pg_text(pg_bytea_array({&name})), pg_text("{1}"), pg_text(pg_bytea_array({&key})),
             pg_text(pg_int_array({epoch})), pg_text(pg_int_array({unused})),
             pg_text(pg_int_array({granted}))})));
    }
};

PgReservation res(std::string key, int units, int limit, bool check, int want) {
    PgReservation r{"c", 1, std::move(key), units, limit, 24, check};
    r.want = want;
    return r;
}

TEST_F(PgCreditTest, GrantsComeOnlyOutOfASixteenthOfTheRoomAndCountFromTheStart) {
    struct Case {
        const char* what;
        int units, limit;
        bool check;
        int want, extra;
    };
    const Case cases[] = {
        {"no limit: all that is asked", 1, 0, true, 10, 10},
        {"a sixteenth of the room after the unit", 1, 1000, true, 64, 999 / 16},
        {"no more than asked", 1, 1000, true, 5, 5},
        {"near a small limit, one", 1, 20, true, 64, 1},
        {"below sixteen left, none", 1, 10, true, 64, 0},
        {"unchecked past the limit, none", 12, 10, false, 8, 0},
        {"nothing asked, nothing granted", 1, 1000, true, 0, 0},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string key = "k" + std::to_string(n++);
        PgGrant g = grant(res(key, c.units, c.limit, c.check, c.want), 1000);
        EXPECT_EQ(g.held, 1);
        EXPECT_EQ(g.wait_ms, 0);
        EXPECT_EQ(g.extra, c.extra);
        EXPECT_EQ(stored(key), std::make_pair(c.units + c.extra, c.extra));
    }
}

TEST_F(PgCreditTest, ARefusalWaitsForUnitsOutAndCountsThemUsedOnceTheirHoldIsOver) {
    const int kLimit = 40;
    for (const bool returned : {true, false}) {
        SCOPED_TRACE(returned ? "given back" : "never given back");
        const std::string key = returned ? "back" : "lost";
        PgGrant first = grant(res(key, 1, kLimit, true, 64), 400);
        ASSERT_EQ(first.extra, 2);  // (40 - 1) / 16
        // Another gateway, asking nothing in advance, fills the rest of the limit.
        for (int i = 3; i < kLimit; ++i) ASSERT_EQ(grant(res(key, 1, kLimit, true, 0), 400).held, 1);
        PgGrant refused = grant(res(key, 1, kLimit, true, 0), 400);
        EXPECT_EQ(refused.held, 0);
        EXPECT_GT(refused.wait_ms, 0) << "two units are still out";
        EXPECT_LE(refused.wait_ms, 400);
        if (returned) {
            give_back(key, first.epoch, 1, 2);  // one of the two was used
            EXPECT_EQ(stored(key), std::make_pair(kLimit - 1, 0));
            EXPECT_EQ(grant(res(key, 1, kLimit, true, 0), 400).held, 1) << "room again";
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(refused.wait_ms + 50));
        }
        PgGrant last = grant(res(key, 1, kLimit, true, 0), 400);
        EXPECT_EQ(last.held, 0);
        EXPECT_EQ(last.wait_ms, 0) << "nothing left to wait for";
        EXPECT_EQ(stored(key), std::make_pair(kLimit, 0));
        // Given back after they counted as used (or twice): no room appears.
        give_back(key, first.epoch, 2, 2);
        EXPECT_EQ(stored(key), std::make_pair(kLimit, 0));
    }
}

TEST_F(PgCreditTest, TwoGatewaysEndExactlyAtALimitWithMostReservationsAnsweredLocally) {
    // Life of one second: the thread giving units back runs four times in it, far within
    // the two seconds the database keeps them for their gateway. A refusal is right only
    // when no unit is out anywhere: then no reservation asked after it may be held.
    const int kLimit = 600;
    PgCredits a(dsn_), b(dsn_);
    std::atomic<int> held{0}, failed{0}, held_after_a_refusal{0};
    std::atomic<bool> refused{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 12; ++t)
        threads.emplace_back([&, t] {
            PgCredits& g = t % 2 ? a : b;
            const PgReservation r = res("hot", 1, kLimit, true, 0);
            for (;;) {
                const bool after = refused.load();
                Result<bool> h = g.reserve(r, kNow);
                if (!h) {
                    ++failed;
                    ADD_FAILURE() << h.reason();
                    return;
                }
                if (!*h) {
                    refused = true;
                    return;
                }
                ++held;
                if (after) ++held_after_a_refusal;
            }
        });
    for (auto& th : threads) th.join();
    EXPECT_EQ(failed.load(), 0);
    EXPECT_EQ(held.load(), kLimit);
    EXPECT_EQ(held_after_a_refusal.load(), 0);
    EXPECT_TRUE(a.give_back_all());
    EXPECT_TRUE(b.give_back_all());
    EXPECT_EQ(stored("hot"), std::make_pair(kLimit, 0));
    EXPECT_GT(a.local() + b.local(), a.asked() + b.asked())
        << "asked " << a.asked() + b.asked() << ", local " << a.local() + b.local();
}

TEST_F(PgCreditTest, ARefusalWaitsUntilAnotherGatewayGivesBackWhatItDidNotUse) {
    // Gateway a takes units in advance for a key and then falls quiet; b fills the limit.
    // b's reservations that meet a's unused units wait for their return instead of being
    // refused, so b gets exactly the rest of the limit.
    const int kLimit = 200;
    PgCredits a(dsn_), b(dsn_);
    const PgReservation r = res("quiet", 1, kLimit, true, 0);
    for (int i = 0; i < 10; ++i) {
        Result<bool> h = a.reserve(r, kNow);
        ASSERT_TRUE(h && *h) << (h ? "refused" : h.reason());
    }
    ASSERT_GT(stored("quiet").first, 10) << "a holds units in advance";
    int held_b = 0;
    for (;;) {
        Result<bool> h = b.reserve(r, kNow);
        ASSERT_TRUE(h) << h.reason();
        if (!*h) break;
        ++held_b;
    }
    EXPECT_EQ(held_b, kLimit - 10);
    EXPECT_GE(b.waits(), 1u);
    EXPECT_TRUE(b.give_back_all());
    EXPECT_EQ(stored("quiet"), std::make_pair(kLimit, 0));
}

TEST_F(PgCreditTest, UnitsNotUsedGoBackWhenTheGatewayStops) {
    {
        PgCredits g(dsn_, std::chrono::seconds(30));
        const PgReservation r = res("ip", 1, 0, true, 0);
        for (int i = 0; i < 5; ++i) {
            Result<bool> h = g.reserve(r, kNow);
            ASSERT_TRUE(h && *h) << (h ? "refused" : h.reason());
        }
        EXPECT_GE(g.local(), 1u) << "the key was reserved again soon: units came in advance";
        EXPECT_GT(stored("ip").first, 5) << "units in advance are counted from the start";
    }
    EXPECT_EQ(stored("ip"), std::make_pair(5, 0));
}

TEST(PgCreditDown, AStoreThatIsAwayIsAnErrorAndTheEndDoesNotWaitForIt) {
    const auto t0 = std::chrono::steady_clock::now();
    {
        PgCredits g(pg_unreachable_dsn());
        Result<bool> h = g.reserve(res("k", 1, 10, true, 0), kNow);
        ASSERT_FALSE(h) << "never held nor refused without the store";
        EXPECT_NE(h.reason().find("unavailable"), std::string::npos) << h.reason();
        EXPECT_EQ(g.local(), 0u);
    }
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
}

}  // namespace
}  // namespace tolvane
