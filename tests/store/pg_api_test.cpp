// The HTTP API's shared state on a real PostgreSQL: status rows that only newer changes
// replace (and a first "queued" that never overwrites), found only with their key; and the
// claims of idempotency keys (taken, busy, answered, released, and taken over when the
// answer expired or its gateway never answered), with two stores racing for one key.
#include "store/pg_api.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "support/pg_cluster.h"
#include "support/status_check.h"

namespace tolvane {
namespace {

class PgApiTest : public ::testing::Test {
  protected:
    void SetUp() override {
        PgCluster* pg = PgCluster::shared();
        ASSERT_NE(pg, nullptr) << PgCluster::shared_error();
        dsn_ = pg->dsn(pg->fresh_database());
        store_ = std::make_unique<PgApiStore>(dsn_);
        Status opened = store_->open(0, 0);
        ASSERT_TRUE(opened) << opened.reason();
    }
    std::string line(const std::string& id) {
        auto l = store_->message(id, "shop");
        EXPECT_TRUE(l) << l.reason();
        return l ? l->value_or("<none>") : "<error>";
    }
    PgApiStore::Claim claim(PgApiStore& s, const std::string& key, const std::string& hash,
                            std::int64_t now, PgApiStore::Kept& kept) {
        auto c = s.claim("shop", key, hash, now, now - 1000, now - 100, kept);
        EXPECT_TRUE(c) << c.reason();
        return c ? *c : PgApiStore::Claim::busy;
    }
    std::string dsn_;
    std::unique_ptr<PgApiStore> store_;
};

TEST_F(PgApiTest, StatusRowsKeepTheNewestChange) {
    // Each row: a change in the order it reaches the store; the line kept after it.
    struct Step {
        const char* status;
        std::int64_t updated;
        bool only_new;
        const char* kept;
        bool now = false;  // put_new_message_now
        const char* id = "41";
    };
    const Step steps[] = {
        {"sending", 20, false, "sending"},  // a worker's change before the API's "queued"
        {"queued", 10, true, "sending"},    // the first "queued" does not overwrite it
        {"sent", 30, false, "sent"},
        {"sending", 25, false, "sent"},         // an older change that arrived late
        {"delivered", 30, false, "delivered"},  // the same time: the later one wins
        // The API's own first row, written at once: there when it returns, never over
        // a row that was there before it.
        {"queued", 5, true, "queued", true, "43"},
        {"queued", 40, true, "delivered", true},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(std::string(s.status) + " " + s.id);
        const PgApiMessage m{s.id, "shop", s.status, s.status, s.updated};
        if (s.now)
            ASSERT_TRUE(succeeded(store_->put_new_message_now(m)));
        else
            store_->put_message(m, s.only_new);
        EXPECT_EQ(line(s.id), s.kept);
    }
    auto other_key = store_->message("41", "other");
    ASSERT_TRUE(other_key) << other_key.reason();
    EXPECT_FALSE(other_key->has_value()) << "only for its key";
    auto unknown = store_->message("42", "shop");
    ASSERT_TRUE(unknown) << unknown.reason();
    EXPECT_FALSE(unknown->has_value());
}

TEST_F(PgApiTest, OpenDropsEndedMessagesAndKeptAnswersThatAreTooOld) {
    store_->put_message({"1", "shop", "sent", "a", 100}, false);
    store_->put_message({"2", "shop", "sending", "b", 100}, false);
    store_->put_message({"3", "shop", "failed", "c", 500}, false);
    PgApiStore::Kept kept;
    ASSERT_EQ(claim(*store_, "old", "h", 100, kept), PgApiStore::Claim::taken);
    Status kept_old = store_->keep("shop", "old", 202, "{}");
    ASSERT_TRUE(kept_old) << kept_old.reason();
    ASSERT_EQ(claim(*store_, "busy", "h", 100, kept), PgApiStore::Claim::taken);
    Status reopened = store_->open(200, 200);
    ASSERT_TRUE(reopened) << reopened.reason();
    EXPECT_EQ(line("1"), "<none>");
    EXPECT_EQ(line("2"), "b") << "not ended: kept";
    EXPECT_EQ(line("3"), "c");
    // The kept answer is gone (a new claim takes the key); the claim in flight is not.
    EXPECT_EQ(claim(*store_, "old", "h2", 150, kept), PgApiStore::Claim::taken);
    EXPECT_EQ(claim(*store_, "busy", "h", 150, kept), PgApiStore::Claim::busy);
}

TEST_F(PgApiTest, ClaimsOfOneKey) {
    PgApiStore other(dsn_);  // a second gateway on the database
    PgApiStore::Kept kept;
    EXPECT_EQ(claim(*store_, "k", "h1", 1000, kept), PgApiStore::Claim::taken);
    EXPECT_EQ(claim(other, "k", "h1", 1010, kept), PgApiStore::Claim::busy);
    Status answered = store_->keep("shop", "k", 202, "{\"messages\":[]}");
    ASSERT_TRUE(answered) << answered.reason();
    ASSERT_EQ(claim(other, "k", "h2", 1020, kept), PgApiStore::Claim::answered);
    EXPECT_EQ(kept.hash, "h1") << "the caller compares it with its own";
    EXPECT_EQ(kept.status, 202);
    EXPECT_EQ(kept.body, "{\"messages\":[]}");
    // Another owner's key of the same text is its own.
    auto second_owner = other.claim("shop2", "k", "h1", 1020, 0, 0, kept);
    ASSERT_TRUE(second_owner) << second_owner.reason();
    EXPECT_EQ(*second_owner, PgApiStore::Claim::taken);
    // The kept answer expires 1000 ms after it was taken (claim's expired_before).
    EXPECT_EQ(claim(other, "k", "h3", 2001, kept), PgApiStore::Claim::taken);
    // A claim nobody answered is taken over after 100 ms (stale_before), not before.
    EXPECT_EQ(claim(*store_, "k", "h3", 2050, kept), PgApiStore::Claim::busy);
    EXPECT_EQ(claim(*store_, "k", "h3", 2102, kept), PgApiStore::Claim::taken);
    // Released: free at once.
    store_->release("shop", "k");
    EXPECT_EQ(claim(other, "k", "h4", 2103, kept), PgApiStore::Claim::taken);
}

TEST_F(PgApiTest, KeysThatAreNotUtf8AreKeptAsBytes) {
    PgApiStore::Kept kept;
    const std::string key = std::string("k\xff\xfe", 3);
    EXPECT_EQ(claim(*store_, key, "h", 10, kept), PgApiStore::Claim::taken);
    EXPECT_EQ(claim(*store_, key, "h", 11, kept), PgApiStore::Claim::busy);
    EXPECT_EQ(claim(*store_, "k", "h", 11, kept), PgApiStore::Claim::taken);
}

TEST_F(PgApiTest, OfEightRacingGatewaysOneTakesTheKey) {
    std::vector<std::unique_ptr<PgApiStore>> stores;
    for (int i = 0; i < 8; ++i) stores.push_back(std::make_unique<PgApiStore>(dsn_));
    std::atomic<int> taken{0}, busy{0}, failed{0};
    std::vector<std::thread> threads;
    for (auto& s : stores)
        threads.emplace_back([&, st = s.get()] {
            PgApiStore::Kept kept;
            auto c = st->claim("shop", "race", "h", 5000, 0, 0, kept);
            if (!c)
                ++failed;
            else if (*c == PgApiStore::Claim::taken)
                ++taken;
            else if (*c == PgApiStore::Claim::busy)
                ++busy;
            else
                ++failed;
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(taken.load(), 1);
    EXPECT_EQ(busy.load(), 7);
    EXPECT_EQ(failed.load(), 0);
}

TEST_F(PgApiTest, UnreachableStoreFailsWithAReason) {
    PgApiStore away(pg_unreachable_dsn());
    PgApiStore::Kept kept;
    auto c = away.claim("shop", "k", "h", 1, 0, 0, kept);
    ASSERT_FALSE(c);
    EXPECT_NE(c.reason(), "");
    auto m = away.message("1", "shop");
    ASSERT_FALSE(m);
    EXPECT_NE(m.reason(), "");
    Status k = away.keep("shop", "k", 202, "{}");
    ASSERT_FALSE(k);
    EXPECT_NE(k.reason(), "");
    Status o = away.open(0, 0);
    ASSERT_FALSE(o);
    EXPECT_NE(o.reason(), "");
}

}  // namespace
}  // namespace tolvane
