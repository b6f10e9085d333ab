// Grouped commits merging statements, against a private server: a run of statements that
// have a merged form goes as one statement per form, rows in their order, while a
// statement without one separates runs and keeps its result; a merged statement that
// fails takes only its own job down once the jobs are tried alone; the merged delete of
// finished entries leaves an entry another gateway holds; a job nobody waits for rides
// with the next caller's group; many callers at once are each woken for their own commit.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <mutex>
#include <thread>

#include "queue/queue_pg_group.h"
#include "store/pg.h"
#include "support/pg_fresh.h"

namespace tolvane {
namespace {

class PgGroupMerge : public PgFreshTest {
  protected:
    void SetUp() override {
        PgFreshTest::SetUp();
        if (HasFatalFailure()) return;
        ASSERT_TRUE(succeeded(conn_->script(
            "CREATE TABLE t (id serial PRIMARY KEY, v bytea NOT NULL CHECK (v <> 'bad'),"
            " how text NOT NULL)")));
    }
    // "value/how" of every row, in the order they were written.
    std::vector<std::string> rows() {
        Result<PgResult> r = conn_->exec("SELECT v, how FROM t ORDER BY id", {});
        EXPECT_TRUE(succeeded(r));
        std::vector<std::string> out;
        for (int i = 0; r && i < r->rows(); ++i) out.push_back(r->bytes(i, 0) + "/" + r->text(i, 1));
        return out;
    }
};

// A row of bytes, as one statement or in a merged one (its `how` says which).
PgStmt row(const std::string& v) {
    return {"INSERT INTO t (v, how) VALUES ($1, 'alone')",
            {pg_bytes(v)},
            "INSERT INTO t (v, how) SELECT x, 'merged' FROM unnest($1::bytea[]) AS x"};
}

TEST_F(PgGroupMerge, ARunGoesAsOneStatementAndAPlainOneSeparatesRuns) {
    PgGroup g(dsn_, "merge_test", nullptr);
    g.start();
    auto job = std::make_shared<PgJob>();
    const std::string odd("q\"\\\0\xff", 5);  // quotes, a backslash, NUL, not UTF-8
    job->stmts = {row("a"), row(odd), row(""),
                  {"INSERT INTO t (v, how) VALUES ($1, 'plain') RETURNING id", {pg_bytes("c")}},
                  row("d")};
    std::vector<std::string> seen;
    job->take = [&](std::vector<PgResult>& r) {
        for (PgResult& x : r) seen.push_back(x.rows() == 1 ? x.text(0, 0) : "-");
    };
    ASSERT_TRUE(succeeded(g.submit(job)));
    EXPECT_EQ(rows(), (std::vector<std::string>{"a/merged", odd + "/merged", "/merged",
                                                "c/plain", "d/alone"}));
    EXPECT_EQ(seen, (std::vector<std::string>{"-", "-", "-", "4", "-"}))
        << "only the statement that went alone has a result to read";
    g.close();
}

// A group whose first group is held (in before_group) until release(), while the jobs
// handed in meanwhile wait together for the next one. groups counts the groups begun.
struct HeldFirstGroup {
    HeldFirstGroup(const std::string& dsn, PgStmt first_stmt)
        : g(dsn, "merge_test", [this] {
              if (groups++ != 0) return;
              std::unique_lock<std::mutex> lock(m);
              cv.wait(lock, [this] { return go; });
          }) {
        g.start();
        first->stmts = {std::move(first_stmt)};
        lead = std::thread([this] { EXPECT_TRUE(succeeded(g.submit(first))); });
        while (groups.load() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    // Once n jobs wait: lets the first group go and waits for its caller.
    void release_when_waiting(std::size_t n) {
        while (g.waiting() < n) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        {
            std::lock_guard<std::mutex> lock(m);
            go = true;
        }
        cv.notify_all();
        lead.join();
    }

    std::mutex m;
    std::condition_variable cv;
    bool go = false;
    std::atomic<int> groups{0};
    PgGroup g;
    std::shared_ptr<PgJob> first = std::make_shared<PgJob>();
    std::thread lead;
};

TEST_F(PgGroupMerge, AFailingMergedStatementTakesOnlyItsOwnJobDown) {
    // The first group is held until two more jobs wait, so that those two go together in
    // the next group, merged.
    HeldFirstGroup held(dsn_, row("first"));
    PgGroup& g = held.g;
    auto good = std::make_shared<PgJob>();
    good->stmts = {row("good1"), row("good2")};
    auto bad = std::make_shared<PgJob>();
    bad->stmts = {row("bad")};
    Status good_done, bad_done;
    std::thread a([&] { good_done = g.submit(good); });
    std::thread b([&] { bad_done = g.submit(bad); });
    held.release_when_waiting(2);
    a.join();
    b.join();
    EXPECT_TRUE(succeeded(good_done));
    ASSERT_FALSE(bad_done.ok());
    EXPECT_NE(bad_done.reason().find("check constraint"), std::string::npos) << bad_done.reason();
    EXPECT_EQ(rows(), (std::vector<std::string>{"first/alone", "good1/merged", "good2/merged"}));
    EXPECT_EQ(held.groups.load(), 2);
    g.close();
}

TEST_F(PgGroupMerge, FinishedEntriesGoInOneCallButNeverAnotherGatewaysEntry) {
    with_schema();
    ASSERT_TRUE(succeeded(conn_->script(
        "INSERT INTO tv_queue (id, kind, destination, originator, sender, body, billing,"
        " client, headers, enqueued_ms, owner) SELECT i, 1, '', '', '', '', '', '', '', 0,"
        " (ARRAY['gw-a', 'gw-b', NULL])[i] FROM generate_series(1, 3) AS i")));
    // Gateway a finishes all three: its own, one gateway b took over, and one given back.
    ASSERT_TRUE(succeeded(conn_->exec_only("SELECT tv_delete_done($1::bigint[], $2::text[])",
                                           {pg_text("{1,2,3,99}"),
                                            pg_text("{gw-a,gw-a,gw-a,gw-a}")})));
    Result<PgResult> left = conn_->exec("SELECT id, owner FROM tv_queue ORDER BY id", {});
    ASSERT_TRUE(succeeded(left));
    ASSERT_EQ(left->rows(), 1);
    EXPECT_EQ(left->text(0, 0), "2");
    EXPECT_EQ(left->text(0, 1), "gw-b");
}

// A job nobody waits for, handed in while a group runs, goes with the next caller's group
// (the caller woken to lead it), not in a transaction of its own.
TEST_F(PgGroupMerge, ALaterJobRidesWithTheNextCallersGroup) {
    HeldFirstGroup held(dsn_, {"INSERT INTO t (v, how) VALUES ('first', 'plain')", {}});
    PgGroup& g = held.g;
    std::atomic<int> later{1};
    auto outcome = std::make_shared<PgJob>();
    outcome->stmts = {{"INSERT INTO t (v, how) VALUES ('outcome', 'plain')", {}}};
    outcome->durable = false;
    outcome->counter = &later;
    g.submit_later(outcome);
    auto caller = std::make_shared<PgJob>();
    caller->stmts = {{"INSERT INTO t (v, how) VALUES ('caller', 'plain')", {}}};
    std::thread b([&] { EXPECT_TRUE(succeeded(g.submit(caller))); });
    held.release_when_waiting(2);
    b.join();
    EXPECT_EQ(later.load(), 0) << "written by the time the caller's commit is";
    EXPECT_EQ(held.groups.load(), 2);
    EXPECT_EQ(rows(), (std::vector<std::string>{"first/plain", "outcome/plain", "caller/plain"}));
    g.close();
}

// Callers waiting and jobs nobody waits for, from many threads at once: each caller is
// woken when its own group commits, someone always leads the next group, and every row
// is written once. A lost wake-up shows as a caller still waiting at the deadline.
TEST_F(PgGroupMerge, ManyCallersAndLaterJobsAllFinishInSharedGroups) {
    std::atomic<int> groups{0};
    PgGroup g(dsn_, "merge_test", [&] { ++groups; });
    g.start();
    constexpr int kThreads = 8, kEach = 40;
    std::atomic<int> later{0}, failed{0};
    auto work = [&](int t) {
        for (int i = 0; i < kEach; ++i) {
            auto job = std::make_shared<PgJob>();
            job->stmts = {row(std::to_string(t) + "-" + std::to_string(i))};
            if (i % 4 == 3) {  // an outcome: handed in without waiting
                job->durable = false;
                job->counter = &later;
                ++later;
                g.submit_later(job);
            } else if (!g.submit(job)) {
                ++failed;
            }
        }
    };
    std::vector<std::future<void>> all;
    for (int t = 0; t < kThreads; ++t) all.push_back(std::async(std::launch::async, work, t));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    for (auto& f : all)
        if (f.wait_until(deadline) != std::future_status::ready) {
            // The callers still waiting cannot be joined: end here, failed.
            std::fprintf(stderr, "a caller of submit() was never woken\n");
            std::_Exit(1);
        }
    while (later.load() > 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(later.load(), 0) << "jobs nobody waits for were left behind";
    EXPECT_EQ(failed.load(), 0);
    Result<PgResult> r = conn_->exec("SELECT count(*), count(DISTINCT v) FROM t", {});
    ASSERT_TRUE(succeeded(r));
    EXPECT_EQ(r->text(0, 0), std::to_string(kThreads * kEach));
    EXPECT_EQ(r->text(0, 1), std::to_string(kThreads * kEach));
    EXPECT_LT(groups.load(), kThreads * kEach) << "callers that wait together share a group";
    g.close();
}

}  // namespace
}  // namespace tolvane
