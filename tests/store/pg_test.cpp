// The PostgreSQL layer against a private server: parameters and bytes round trips, errors
// as the server words them, transactions all or nothing, a link that outlives a server
// restart and reports an unreachable one, schema upgrades (fresh, repeated, concurrent,
// too new) and the table counts.
#include <gtest/gtest.h>

#include <thread>

#include "foundation/lib.h"
#include "store/pg.h"
#include "store/pg_schema.h"
#include "support/pg_cluster.h"

namespace tolvane {
namespace {

class PgTest : public ::testing::Test {
  protected:
    void SetUp() override {
        pg_ = PgCluster::shared();
        ASSERT_NE(pg_, nullptr) << PgCluster::shared_error();
        db_ = pg_->fresh_database();
        ASSERT_FALSE(db_.empty());
        std::string why;
        conn_ = PgConn::open(pg_->dsn(db_), why);
        ASSERT_NE(conn_, nullptr) << why;
    }
    PgCluster* pg_ = nullptr;
    std::string db_;
    std::unique_ptr<PgConn> conn_;
};

TEST_F(PgTest, ParametersRoundTripTextBytesAndNull) {
    struct Case {
        const char* name;
        PgParam param;
        std::string expect;
        bool is_null;
    };
    const Case cases[] = {
        {"plain text", pg_text("hello"), "hello", false},
        {"UTF-8 text", pg_text("Grüße €"), "Grüße €", false},
        {"quotes stay data", pg_text("'); DROP TABLE x; --"), "'); DROP TABLE x; --", false},
        {"bytes with NUL", pg_bytes(std::string("a\0b", 3)), std::string("a\0b", 3), false},
        {"bytes not UTF-8", pg_bytes("\xff\xfe\x80"), "\xff\xfe\x80", false},
        {"empty bytes", pg_bytes(""), "", false},
        {"null", pg_null(), "", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PgResult r;
        std::string why;
        std::string sql = c.param.binary ? "SELECT $1::bytea" : "SELECT $1::text";
        ASSERT_TRUE(conn_->exec(sql, {c.param}, r, why)) << why;
        ASSERT_EQ(r.rows(), 1);
        EXPECT_EQ(r.null(0, 0), c.is_null);
        EXPECT_EQ(c.param.binary ? r.bytes(0, 0) : r.text(0, 0), c.expect);
    }
}

TEST_F(PgTest, IntegersAndAffectedRows) {
    std::string why;
    ASSERT_TRUE(conn_->script("CREATE TABLE t (v bigint)", why)) << why;
    for (std::int64_t v : {std::int64_t{-5}, std::int64_t{0}, std::int64_t{1} << 40})
        ASSERT_TRUE(conn_->exec("INSERT INTO t VALUES ($1)", {pg_int(v)}, why)) << why;
    PgResult r;
    ASSERT_TRUE(conn_->exec("UPDATE t SET v = v + 1 WHERE v >= $1", {pg_int(0)}, r, why)) << why;
    EXPECT_EQ(r.affected(), 2);
    ASSERT_TRUE(conn_->exec("SELECT max(v), min(v) FROM t", {}, r, why)) << why;
    EXPECT_EQ(r.int64(0, 0), (std::int64_t{1} << 40) + 1);
    EXPECT_EQ(r.int64(0, 1), -5);
}

TEST_F(PgTest, ErrorsCarryTheServersReasonOnOneLine) {
    struct Case {
        const char* sql;
        const char* says;
    };
    const Case cases[] = {
        {"SELEC 1", "syntax error"},
        {"SELECT * FROM no_such_table", "no_such_table"},
        {"SELECT 1/0", "division by zero"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.sql);
        std::string why;
        EXPECT_FALSE(conn_->exec(c.sql, {}, why));
        EXPECT_NE(why.find(c.says), std::string::npos) << why;
        EXPECT_EQ(why.find('\n'), std::string::npos) << why;
        EXPECT_TRUE(conn_->healthy());  // a failed statement does not break the connection
    }
}

TEST_F(PgTest, TransactionIsAllOrNothing) {
    std::string why;
    ASSERT_TRUE(conn_->script("CREATE TABLE t (v integer PRIMARY KEY)", why)) << why;
    PgLink link(pg_->dsn(db_), "test");
    // The second insert collides: the first must not stay.
    EXPECT_FALSE(link.transaction(
        [](PgConn& c, std::string& w) {
            return c.exec("INSERT INTO t VALUES (1)", {}, w) &&
                   c.exec("INSERT INTO t VALUES (1)", {}, w);
        },
        why));
    EXPECT_NE(why.find("duplicate key"), std::string::npos) << why;
    PgResult r;
    ASSERT_TRUE(conn_->exec("SELECT count(*) FROM t", {}, r, why)) << why;
    EXPECT_EQ(r.int64(0, 0), 0);
    // The link is still usable and commits what succeeds.
    ASSERT_TRUE(link.transaction(
        [](PgConn& c, std::string& w) { return c.exec("INSERT INTO t VALUES (2)", {}, w); }, why))
        << why;
    ASSERT_TRUE(conn_->exec("SELECT count(*) FROM t", {}, r, why)) << why;
    EXPECT_EQ(r.int64(0, 0), 1);
}

TEST(PgLinkDown, UnreachableServerFailsAtOnceWithTheReason) {
    // A port nobody listens on (the cluster helper's own free-port pick is not needed).
    PgLink link("host=127.0.0.1 port=1 dbname=x connect_timeout=2", "test");
    std::string why;
    EXPECT_FALSE(link.run([](PgConn&, std::string&) { return true; }, why));
    EXPECT_NE(why.find("PostgreSQL store unavailable"), std::string::npos) << why;
    EXPECT_FALSE(link.up());
    // Within the retry pause the same reason comes back without a new attempt.
    std::string again;
    EXPECT_FALSE(link.transaction([](PgConn&, std::string&) { return true; }, again));
    EXPECT_EQ(again, why);
    EXPECT_EQ(link.generation(), 0u);
}

TEST(PgLinkRestart, LinkReconnectsAfterTheServerRestarts) {
    // Its own cluster: stopping the shared one would disturb other tests of this binary.
    std::string why;
    std::unique_ptr<PgCluster> pg = PgCluster::start(why);
    ASSERT_NE(pg, nullptr) << why;
    PgLink link(pg->dsn(), "test");
    auto one = [](PgConn& c, std::string& w) { return c.exec("SELECT 1", {}, w); };
    ASSERT_TRUE(link.transaction(one, why)) << why;
    EXPECT_EQ(link.generation(), 1u);
    ASSERT_TRUE(pg->stop_now(why)) << why;
    EXPECT_FALSE(link.transaction(one, why));
    EXPECT_FALSE(link.up());
    ASSERT_TRUE(pg->start_again(why)) << why;
    // The pause after a failed connect may still run: wait for it with a deadline.
    bool ok = false;
    for (int i = 0; i < 100 && !ok; ++i) {
        ok = link.transaction(one, why);
        if (!ok) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_TRUE(ok) << why;
    EXPECT_EQ(link.generation(), 2u);
    // A server restarted while the link was idle: the next transaction still succeeds,
    // because nothing had been sent when the broken connection was found.
    ASSERT_TRUE(pg->stop_now(why)) << why;
    ASSERT_TRUE(pg->start_again(why)) << why;
    EXPECT_TRUE(link.transaction(one, why)) << why;
    EXPECT_EQ(link.generation(), 3u);
}

TEST(PgDsn, PasswordIsHidden) {
    struct Case {
        const char* dsn;
        const char* safe;
    };
    const Case cases[] = {
        {"host=a password=secret dbname=b", "host=a password=*** dbname=b"},
        {"password=x", "password=***"},
        {"host=a  dbname=b", "host=a dbname=b"},
        {"", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.dsn);
        EXPECT_EQ(pg_dsn_safe(c.dsn), c.safe);
    }
}

TEST_F(PgTest, SchemaUpgradeFromNothingAndAgain) {
    std::string why;
    Result<int> before = pg_schema_version(*conn_);
    ASSERT_TRUE(before) << before.reason();
    EXPECT_EQ(*before, 0);
    Result<int> version = pg_schema_upgrade(*conn_);
    ASSERT_TRUE(version) << version.reason();
    const int latest = static_cast<int>(pg_migrations().size());
    EXPECT_EQ(*version, latest);
    Result<int> after = pg_schema_version(*conn_);
    ASSERT_TRUE(after) << after.reason();
    EXPECT_EQ(*after, latest);
    // Again: nothing to do, nothing fails.
    Result<int> again = pg_schema_upgrade(*conn_);
    ASSERT_TRUE(again) << again.reason();
    EXPECT_EQ(*again, latest);
    PgResult r;
    ASSERT_TRUE(conn_->exec("SELECT count(*) FROM tv_schema_version", {}, r, why)) << why;
    EXPECT_EQ(r.int64(0, 0), latest);
}

TEST_F(PgTest, ConcurrentUpgradesApplyEachMigrationOnce) {
    std::vector<std::thread> threads;
    std::vector<int> ok(4, 0);
    std::vector<std::string> whys(4);
    for (int i = 0; i < 4; ++i)
        threads.emplace_back([&, i] {
            const auto at = static_cast<std::size_t>(i);
            auto c = PgConn::open(pg_->dsn(db_), whys[at]);
            if (!c) return;
            Result<int> v = pg_schema_upgrade(*c);
            ok[at] = v.ok();
            whys[at] = v.reason();
        });
    for (auto& t : threads) t.join();
    for (int i = 0; i < 4; ++i) EXPECT_TRUE(ok[static_cast<std::size_t>(i)]) << whys[i];
    std::string why;
    PgResult r;
    ASSERT_TRUE(
        conn_->exec("SELECT count(*), count(DISTINCT version) FROM tv_schema_version", {}, r, why))
        << why;
    EXPECT_EQ(r.int64(0, 0), static_cast<std::int64_t>(pg_migrations().size()));
    EXPECT_EQ(r.int64(0, 1), static_cast<std::int64_t>(pg_migrations().size()));
}

TEST_F(PgTest, SchemaNewerThanKnownIsRefused) {
    std::string why;
    Result<int> version = pg_schema_upgrade(*conn_);
    ASSERT_TRUE(version) << version.reason();
    ASSERT_TRUE(conn_->exec("INSERT INTO tv_schema_version (version) VALUES ($1)",
                            {pg_int(*version + 1)}, why))
        << why;
    Result<int> refused = pg_schema_upgrade(*conn_);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.reason(),
              strprintf("the store's schema is version %d, newer than this program knows (%d)",
                        *version + 1, *version));
}

TEST_F(PgTest, CountsListEveryTableInOrder) {
    std::string why;
    // Before the schema exists the count fails with the server's reason.
    Result<PgStoreCounts> missing = pg_store_counts(*conn_);
    ASSERT_FALSE(missing);
    EXPECT_NE(missing.reason().find("does not exist"), std::string::npos) << missing.reason();
    Result<int> version = pg_schema_upgrade(*conn_);
    ASSERT_TRUE(version) << version.reason();
    ASSERT_TRUE(
        conn_->exec("INSERT INTO tv_queue (kind, destination, originator, sender, body,"
                    " billing, client, headers, enqueued_ms)"
                    " SELECT 1, '', '', '', '', '', '', '', 0 FROM generate_series(1, 3)",
                    {}, why))
        << why;
    Result<PgStoreCounts> got = pg_store_counts(*conn_);
    ASSERT_TRUE(got) << got.reason();
    const PgStoreCounts& counts = *got;
    ASSERT_EQ(counts.size(), pg_store_tables().size());
    for (std::size_t i = 0; i < counts.size(); ++i)
        EXPECT_EQ(counts[i].first, pg_store_tables()[i]);
    EXPECT_EQ(counts[0].first, "tv_queue");
    EXPECT_EQ(counts[0].second, 3);
}

}  // namespace
}  // namespace tolvane
