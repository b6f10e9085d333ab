// The PostgreSQL layer against a private server: parameters and bytes round trips, errors
// as the server words them, pipelines (every result, or the first error with the results
// before it), transactions all or nothing, a link that outlives a server
// restart and reports an unreachable one, schema upgrades (fresh, repeated, concurrent,
// too new) and the table counts.
#include <gtest/gtest.h>

#include <thread>

#include "foundation/lib.h"
#include "store/pg.h"
#include "store/pg_schema.h"
#include "support/pg_cluster.h"
#include "support/status_check.h"

namespace tolvane {
namespace {

class PgTest : public ::testing::Test {
  protected:
    void SetUp() override {
        pg_ = PgCluster::shared();
        ASSERT_NE(pg_, nullptr) << PgCluster::shared_error();
        db_ = pg_->fresh_database();
        ASSERT_FALSE(db_.empty());
        Result<std::unique_ptr<PgConn>> opened = PgConn::open(pg_->dsn(db_));
        ASSERT_TRUE(succeeded(opened));
        conn_ = std::move(*opened);
    }
    PgCluster* pg_ = nullptr;
    std::string db_;
    std::unique_ptr<PgConn> conn_;
};

TEST_F(PgTest, ParametersRoundTripTextBytesAndNullAloneAndInArrays) {
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
        {"array syntax stays data", pg_text("{\"a\\\",b}"), "{\"a\\\",b}", false},
        {"the word NULL is text", pg_text("NULL"), "NULL", false},
        {"bytes with NUL", pg_bytes(std::string("a\0b", 3)), std::string("a\0b", 3), false},
        {"bytes not UTF-8", pg_bytes("\xff\xfe\x80"), "\xff\xfe\x80", false},
        {"empty bytes", pg_bytes(""), "", false},
        {"null", pg_null(), "", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string sql = c.param.binary ? "SELECT $1::bytea" : "SELECT $1::text";
        Result<PgResult> r = conn_->exec(sql, {c.param});
        ASSERT_TRUE(succeeded(r));
        ASSERT_EQ(r->rows(), 1);
        EXPECT_EQ(r->null(0, 0), c.is_null);
        EXPECT_EQ(c.param.binary ? r->bytes(0, 0) : r->text(0, 0), c.expect);
    }
    // The same values as elements of an array parameter (how merged statements carry
    // them), text and bytes apart, in their order.
    for (const bool binary : {false, true}) {
        SCOPED_TRACE(binary ? "bytea[]" : "text[]");
        std::vector<const PgParam*> values;
        std::vector<const Case*> of;
        for (const Case& c : cases)
            if (c.param.binary == binary || c.is_null) {
                values.push_back(&c.param);
                of.push_back(&c);
            }
        Result<PgResult> r = conn_->exec(
            binary ? "SELECT x FROM unnest($1::bytea[]) WITH ORDINALITY AS u(x, n) ORDER BY n"
                   : "SELECT x FROM unnest($1::text[]) WITH ORDINALITY AS u(x, n) ORDER BY n",
            {pg_text(pg_array(values))});
        ASSERT_TRUE(succeeded(r));
        ASSERT_EQ(r->rows(), static_cast<int>(of.size()));
        for (int i = 0; i < r->rows(); ++i) {
            SCOPED_TRACE(of[i]->name);
            EXPECT_EQ(r->null(i, 0), of[i]->is_null);
            EXPECT_EQ(binary ? r->bytes(i, 0) : r->text(i, 0), of[i]->expect);
        }
    }
}

TEST_F(PgTest, IntegersAndAffectedRows) {
    ASSERT_TRUE(succeeded(conn_->script("CREATE TABLE t (v bigint)")));
    for (std::int64_t v : {std::int64_t{-5}, std::int64_t{0}, std::int64_t{1} << 40})
        ASSERT_TRUE(succeeded(conn_->exec_only("INSERT INTO t VALUES ($1)", {pg_int(v)})));
    Result<PgResult> r = conn_->exec("UPDATE t SET v = v + 1 WHERE v >= $1", {pg_int(0)});
    ASSERT_TRUE(succeeded(r));
    EXPECT_EQ(r->affected(), 2);
    r = conn_->exec("SELECT max(v), min(v) FROM t", {});
    ASSERT_TRUE(succeeded(r));
    EXPECT_EQ(r->int64(0, 0), (std::int64_t{1} << 40) + 1);
    EXPECT_EQ(r->int64(0, 1), -5);
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
        Status s = conn_->exec_only(c.sql, {});
        ASSERT_FALSE(s);
        const std::string& why = s.error().reason;
        EXPECT_NE(why.find(c.says), std::string::npos) << why;
        EXPECT_EQ(why.find('\n'), std::string::npos) << why;
        EXPECT_TRUE(conn_->healthy());  // a failed statement does not break the connection
    }
}

TEST_F(PgTest, PipelineGivesEveryResultOrTheFirstErrorWithWhatRanBefore) {
    struct Case {
        const char* name;
        std::vector<const char*> sql;
        const char* says;                  // "" when every statement succeeds
        std::vector<std::int64_t> values;  // the results given: all, or those before the error
    };
    const Case cases[] = {
        {"all succeed", {"SELECT 1", "SELECT 2", "SELECT 3"}, "", {1, 2, 3}},
        {"the second fails", {"SELECT 1", "SELECT 1/0", "SELECT 3"}, "division by zero", {1}},
        {"the first fails", {"SELECT 1/0", "SELECT 2"}, "division by zero", {}},
        {"a text the server cannot prepare",
         {"SELECT 4", "SELEC 5", "SELECT 6"},
         "syntax error",
         {4}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<PgStmt> stmts;
        for (const char* sql : c.sql) stmts.push_back({sql, {}});
        auto sent = conn_->pipeline(stmts);
        EXPECT_EQ(sent.ok(), *c.says == '\0') << sent.reason();
        if (!sent) {
            EXPECT_NE(sent.reason().find(c.says), std::string::npos) << sent.reason();
        }
        const std::vector<PgResult>& got = sent ? *sent : sent.error().before;
        std::vector<std::int64_t> values;
        for (const PgResult& r : got) values.push_back(r.int64(0, 0));
        EXPECT_EQ(values, c.values);
        // A failed pipeline leaves the connection in step for the next statement.
        Result<PgResult> next = conn_->exec("SELECT 7", {});
        ASSERT_TRUE(succeeded(next));
        EXPECT_EQ(next->int64(0, 0), 7);
    }
}

TEST_F(PgTest, TransactionIsAllOrNothing) {
    ASSERT_TRUE(succeeded(conn_->script("CREATE TABLE t (v integer PRIMARY KEY)")));
    PgLink link(pg_->dsn(db_), "test");
    // The second insert collides: the first must not stay.
    Status collided = link.transaction([](PgConn& c) -> Status {
        if (Status s = c.exec_only("INSERT INTO t VALUES (1)", {}); !s) return s;
        return c.exec_only("INSERT INTO t VALUES (1)", {});
    });
    ASSERT_FALSE(collided);
    EXPECT_NE(collided.reason().find("duplicate key"), std::string::npos) << collided.reason();
    Result<PgResult> r = conn_->exec("SELECT count(*) FROM t", {});
    ASSERT_TRUE(succeeded(r));
    EXPECT_EQ(r->int64(0, 0), 0);
    // The link is still usable and commits what succeeds.
    ASSERT_TRUE(succeeded(
        link.transaction([](PgConn& c) { return c.exec_only("INSERT INTO t VALUES (2)", {}); })));
    r = conn_->exec("SELECT count(*) FROM t", {});
    ASSERT_TRUE(succeeded(r));
    EXPECT_EQ(r->int64(0, 0), 1);
}

TEST(PgLinkDown, UnreachableServerFailsAtOnceWithTheReason) {
    // A port nobody listens on (the cluster helper's own free-port pick is not needed).
    PgLink link("host=127.0.0.1 port=1 dbname=x connect_timeout=2", "test");
    Status first = link.run([](PgConn&) { return Status(); });
    ASSERT_FALSE(first);
    EXPECT_NE(first.reason().find("PostgreSQL store unavailable"), std::string::npos)
        << first.reason();
    EXPECT_FALSE(link.up());
    // Within the retry pause the same reason comes back without a new attempt.
    Status again = link.transaction([](PgConn&) { return Status(); });
    ASSERT_FALSE(again);
    EXPECT_EQ(again.reason(), first.reason());
    EXPECT_EQ(link.generation(), 0u);
}

TEST(PgLinkRestart, LinkReconnectsAfterTheServerRestarts) {
    // Its own cluster: stopping the shared one would disturb other tests of this binary.
    std::string why;
    std::unique_ptr<PgCluster> pg = PgCluster::start(why);
    ASSERT_NE(pg, nullptr) << why;
    PgLink link(pg->dsn(), "test");
    auto one = [](PgConn& c) { return c.exec_only("SELECT 1", {}); };
    ASSERT_TRUE(succeeded(link.transaction(one)));
    EXPECT_EQ(link.generation(), 1u);
    ASSERT_TRUE(pg->stop_now(why)) << why;
    EXPECT_FALSE(link.transaction(one));
    EXPECT_FALSE(link.up());
    ASSERT_TRUE(pg->start_again(why)) << why;
    // The pause after a failed connect may still run: wait for it with a deadline.
    Status back = link.transaction(one);
    for (int i = 0; i < 100 && !back; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        back = link.transaction(one);
    }
    EXPECT_TRUE(succeeded(back));
    EXPECT_EQ(link.generation(), 2u);
    // A server restarted while the link was idle: the next transaction still succeeds,
    // because nothing had been sent when the broken connection was found.
    ASSERT_TRUE(pg->stop_now(why)) << why;
    ASSERT_TRUE(pg->start_again(why)) << why;
    EXPECT_TRUE(succeeded(link.transaction(one)));
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
    Result<PgResult> r = conn_->exec("SELECT count(*) FROM tv_schema_version", {});
    ASSERT_TRUE(succeeded(r));
    EXPECT_EQ(r->int64(0, 0), latest);
}

TEST_F(PgTest, ConcurrentUpgradesApplyEachMigrationOnce) {
    std::vector<std::thread> threads;
    std::vector<int> ok(4, 0);
    std::vector<std::string> whys(4);
    for (int i = 0; i < 4; ++i)
        threads.emplace_back([&, i] {
            const auto at = static_cast<std::size_t>(i);
            auto c = PgConn::open(pg_->dsn(db_));
            if (!c) {
                whys[at] = c.error().reason;
                return;
            }
            Result<int> v = pg_schema_upgrade(**c);
            ok[at] = v.ok();
            whys[at] = v.reason();
        });
    for (auto& t : threads) t.join();
    for (int i = 0; i < 4; ++i) EXPECT_TRUE(ok[static_cast<std::size_t>(i)]) << whys[i];
    Result<PgResult> r =
        conn_->exec("SELECT count(*), count(DISTINCT version) FROM tv_schema_version", {});
    ASSERT_TRUE(succeeded(r));
    EXPECT_EQ(r->int64(0, 0), static_cast<std::int64_t>(pg_migrations().size()));
    EXPECT_EQ(r->int64(0, 1), static_cast<std::int64_t>(pg_migrations().size()));
}

TEST_F(PgTest, SchemaNewerThanKnownIsRefused) {
    Result<int> version = pg_schema_upgrade(*conn_);
    ASSERT_TRUE(version) << version.reason();
    ASSERT_TRUE(succeeded(conn_->exec_only("INSERT INTO tv_schema_version (version) VALUES ($1)",
                                           {pg_int(*version + 1)})));
    Result<int> refused = pg_schema_upgrade(*conn_);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.reason(),
              strprintf("the store's schema is version %d, newer than this program knows (%d)",
                        *version + 1, *version));
}

TEST_F(PgTest, CountsListEveryTableInOrder) {
    // Before the schema exists the count fails with the server's reason.
    Result<PgStoreCounts> missing = pg_store_counts(*conn_);
    ASSERT_FALSE(missing);
    EXPECT_NE(missing.reason().find("does not exist"), std::string::npos) << missing.reason();
    Result<int> version = pg_schema_upgrade(*conn_);
    ASSERT_TRUE(version) << version.reason();
    ASSERT_TRUE(succeeded(
        conn_->exec_only("INSERT INTO tv_queue (kind, destination, originator, sender, body,"
                         " billing, client, headers, enqueued_ms)"
                         " SELECT 1, '', '', '', '', '', '', '', 0 FROM generate_series(1, 3)",
                         {})));
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
