// The queue interface, the same cases against both stores (the local journal and the
// PostgreSQL queue on a private server): every field kept, order, claims never handed out
// twice, postponed entries, attempts across a reopen, refusals of unknown entries, wake-ups,
// retry-now, stats and concurrent writers.
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <set>
#include <thread>

#include <gtest/gtest.h>

#include "queue/queue.h"
#include "queue/queue_pg.h"
#include "sample_entry.h"
#include "support/pg_cluster.h"
#include "support/status_check.h"

namespace tolvane {
namespace {

namespace fs = std::filesystem;

queue_entry make_entry(const std::string& dest, int kind = QUEUE_MAIL_TO_SMS) {
    return sample_entry(dest, kind);
}

// Waits for a condition with a deadline (wake-ups of the shared store cross threads).
template <class F>
bool eventually(F f, int ms = 10000) {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < until) {
        if (f()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return f();
}

// Opens the store under test: "files" in a temporary directory, "postgresql" in a fresh
// database of the binary's private server. reopen() closes it and opens the same data again
// under the same name, as a restarted gateway would.
class QueueStoreTest : public ::testing::TestWithParam<std::string> {
  protected:
    void SetUp() override {
        if (GetParam() == "postgresql") {
            PgCluster* pg = PgCluster::shared();
            ASSERT_NE(pg, nullptr) << PgCluster::shared_error();
            std::string db = pg->fresh_database();
            ASSERT_FALSE(db.empty());
            dsn_ = pg->dsn(db);
        } else {
            std::string tmpl = (fs::temp_directory_path() / "qstoreXXXXXX").string();
            ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
            dir_ = tmpl;
        }
        q_ = open();
        ASSERT_NE(q_, nullptr);
    }
    void TearDown() override {
        q_.reset();
        if (!dir_.empty()) {
            std::error_code ec;
            fs::remove_all(dir_, ec);
        }
    }
    std::unique_ptr<QueueStore> open(const std::string& owner = "gw-a") {
        Result<std::unique_ptr<QueueStore>> q = Error{0, "not opened"};
        if (!dsn_.empty()) {
            queue_pg_options o;
            o.dsn = dsn_;
            o.owner = owner;
            q = queue_pg_open(o);
        } else {
            q = queue_file_open(dir_ + "/queue", {});
        }
        EXPECT_TRUE(succeeded(q));
        return q ? std::move(*q) : nullptr;
    }
    void reopen() {
        q_.reset();
        q_ = open();
        ASSERT_NE(q_, nullptr);
    }
    std::uint64_t put(queue_entry e) {
        std::vector<queue_entry> b{std::move(e)};
        EXPECT_TRUE(succeeded(q_->enqueue(b)));
        return b[0].id;
    }

    std::string dsn_;
    std::string dir_;
    std::unique_ptr<QueueStore> q_;
};

// What /health shows of the store and how a refused mail is answered: a local queue has no
// database to lose and is short of disk (452); a shared one reports its database and asks
// clients to come back soon (451).
TEST_P(QueueStoreTest, DatabaseStateAndRefusalFollowTheKindOfStore) {
    if (GetParam() == "postgresql") {
        EXPECT_EQ(q_->database_up(), std::optional<bool>(true));
        EXPECT_EQ(q_->refusal().first, 451);
    } else {
        EXPECT_EQ(q_->database_up(), std::nullopt);
        EXPECT_EQ(q_->refusal().first, 452);
    }
}

TEST_P(QueueStoreTest, EveryFieldIsKeptWholeAcrossAReopen) {
    queue_entry e = make_entry("+61400000010");
    // Bytes that are not UTF-8, a NUL and header texts with the separators of any encoding.
    e.text = std::string("caf\xe9 \0 end", 10);
    e.headers = {{"Subject", "a:b,c"}, {"X-Empty", ""}, {"4:x,", "1:,"}};
    e.flags = 0xfffffffeu;
    e.not_before_ms = 0;
    e.user = std::string("ann\xe9\0", 5);
    std::vector<queue_entry> batch{e, make_entry("someone@example.org", QUEUE_SMS_TO_MAIL)};
    ASSERT_TRUE(succeeded(q_->enqueue(batch)));
    EXPECT_LT(batch[0].id, batch[1].id);
    EXPECT_GT(batch[0].enqueued_ms, 0);
    reopen();
    std::vector<queue_entry> all = q_->list(0);
    ASSERT_EQ(all.size(), 2u);
    const queue_entry& got = all[0];
    EXPECT_EQ(got.id, batch[0].id);
    EXPECT_EQ(got.kind, QUEUE_MAIL_TO_SMS);
    EXPECT_EQ(got.destination, e.destination);
    EXPECT_EQ(got.originator, e.originator);
    EXPECT_EQ(got.sender, e.sender);
    EXPECT_EQ(got.text, e.text);
    EXPECT_EQ(got.user, e.user);
    EXPECT_EQ(all[1].user, "") << "an entry without a name";
    EXPECT_EQ(got.billing, e.billing);
    EXPECT_EQ(got.client, e.client);
    EXPECT_EQ(got.headers, e.headers);
    EXPECT_EQ(got.flags, e.flags);
    EXPECT_EQ(got.enqueued_ms, batch[0].enqueued_ms);
    EXPECT_EQ(all[1].kind, QUEUE_SMS_TO_MAIL);
    EXPECT_EQ(q_->list(QUEUE_SMS_TO_MAIL).size(), 1u);
    EXPECT_EQ(q_->list(QUEUE_SMS_PART).size(), 0u);
    // New ids continue after the old ones.
    EXPECT_GT(put(make_entry("+61400000012")), batch[1].id);
}

TEST_P(QueueStoreTest, ClaimsOldestFirstNeverTwiceAndKindsStayApart) {
    std::vector<std::uint64_t> ids;
    for (int i = 0; i < 3; ++i) ids.push_back(put(make_entry("+6140000003" + std::to_string(i))));
    put(make_entry("x@example.org", QUEUE_SMS_TO_MAIL));
    for (std::uint64_t want : ids) {
        auto e = q_->claim(QUEUE_MAIL_TO_SMS, 0);
        ASSERT_TRUE(e);
        EXPECT_EQ(e->id, want);
    }
    EXPECT_FALSE(q_->claim(QUEUE_MAIL_TO_SMS, 0));
    EXPECT_FALSE(q_->claim(QUEUE_SMS_PART, 0));
    auto m = q_->claim(QUEUE_SMS_TO_MAIL, 0);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->destination, "x@example.org");
    // Claimed entries still count as waiting and are listed.
    EXPECT_EQ(q_->stats().waiting, 4u);
    EXPECT_EQ(q_->list(0).size(), 4u);
    // A released entry is ready again before younger ones.
    q_->release(ids[1], "", 0);
    auto again = q_->claim(QUEUE_MAIL_TO_SMS, 0);
    ASSERT_TRUE(again);
    EXPECT_EQ(again->id, ids[1]);
}

TEST_P(QueueStoreTest, ClaimManyTakesTheOldestReadyOnesOfItsKindInOrder) {
    std::vector<std::uint64_t> ids;
    for (int i = 0; i < 4; ++i) ids.push_back(put(make_entry("+6140000005" + std::to_string(i))));
    queue_entry later = make_entry("+61400000059");
    later.not_before_ms = 5000;  // not ready at 1000
    put(later);
    put(make_entry("y@example.org", QUEUE_SMS_TO_MAIL));
    struct Step {
        std::size_t n;
        std::vector<std::uint64_t> want;
    };
    const Step steps[] = {{3, {ids[0], ids[1], ids[2]}}, {3, {ids[3]}}, {3, {}}, {0, {}}};
    for (const Step& st : steps) {
        SCOPED_TRACE(st.n);
        std::vector<queue_entry> got = q_->claim_many(QUEUE_MAIL_TO_SMS, 1000, st.n);
        std::vector<std::uint64_t> have;
        for (const queue_entry& e : got) have.push_back(e.id);
        EXPECT_EQ(have, st.want);
    }
    // Each one claimed: its attempt may be counted, and it is released like any other.
    EXPECT_TRUE(succeeded(q_->attempt(ids[3])));
    q_->release(ids[0], "", 0);
    std::vector<queue_entry> again = q_->claim_many(QUEUE_MAIL_TO_SMS, 1000, 5);
    ASSERT_EQ(again.size(), 1u);
    EXPECT_EQ(again[0].id, ids[0]);
}

TEST_P(QueueStoreTest, ReleasedEntryWaitsForItsTimeWithItsError) {
    std::uint64_t id = put(make_entry("+61400000040"));
    auto a = q_->claim(QUEUE_MAIL_TO_SMS, 1000);
    ASSERT_TRUE(a);
    EXPECT_FALSE(q_->next_ready(QUEUE_MAIL_TO_SMS, 1000));
    q_->release(id, "busy", 5000);
    EXPECT_FALSE(q_->claim(QUEUE_MAIL_TO_SMS, 4999));
    EXPECT_EQ(q_->next_ready(QUEUE_MAIL_TO_SMS, 4999), std::optional<std::int64_t>(5000));
    // Once its time has come it is due at once (a time not after now).
    auto due = q_->next_ready(QUEUE_MAIL_TO_SMS, 6000);
    ASSERT_TRUE(due);
    EXPECT_LE(*due, 6000);
    auto b = q_->claim(QUEUE_MAIL_TO_SMS, 5000);
    ASSERT_TRUE(b);
    EXPECT_EQ(b->last_error, "busy");
    // An empty error keeps the last one.
    q_->release(id, "", 0);
    auto c = q_->claim(QUEUE_MAIL_TO_SMS, 0);
    ASSERT_TRUE(c);
    EXPECT_EQ(c->last_error, "busy");
}

TEST_P(QueueStoreTest, AttemptsAreKeptAndDoneEntriesGoneAfterAReopen) {
    std::vector<std::uint64_t> id;
    for (int i = 0; i < 4; ++i) id.push_back(put(make_entry("+6140000005" + std::to_string(i))));
    auto a = q_->claim(QUEUE_MAIL_TO_SMS, 0);
    auto b = q_->claim(QUEUE_MAIL_TO_SMS, 0);
    ASSERT_TRUE(a && b);
    ASSERT_TRUE(succeeded(q_->attempt(a->id)));
    ASSERT_TRUE(succeeded(q_->attempt(a->id)));
    ASSERT_TRUE(succeeded(q_->attempt(b->id)));
    ASSERT_TRUE(succeeded(q_->complete(b->id, true, "")));
    // The outcome is not waited for, yet must be kept by the time the store closes.
    reopen();
    std::vector<queue_entry> all = q_->list(0);
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(all[0].id, id[0]);
    EXPECT_EQ(all[0].attempts, 2u);
    EXPECT_EQ(all[1].id, id[2]);
    // Claims held when the store closed are ready again at once after the reopen.
    auto first = q_->claim(QUEUE_MAIL_TO_SMS, 0);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->id, id[0]);
    EXPECT_EQ(first->attempts, 2u);
}

// A send cut short by a shutdown has no outcome: its entry is ready again at once and the
// attempt marked for it no longer counts, also after a reopen; earlier attempts (failed
// ones) and the last error stay.
TEST_P(QueueStoreTest, CutSendTakesItsAttemptBackAcrossAReopen) {
    struct Case {
        const char* name;
        bool first_marked;    // the first attempt stored with the entry
        int failed_before;    // attempts that failed (released with an error) before the cut
        std::uint32_t after;  // attempts counted after the cut
    };
    const Case cases[] = {
        {"first attempt, plain", false, 0, 0},
        {"first attempt, marked with the entry", true, 0, 0},
        {"after a failed attempt", false, 1, 1},
        {"after a failed marked attempt", true, 1, 1},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        queue_entry e = make_entry("+614000009" + std::to_string(n++));
        e.mark_first_attempt = c.first_marked;
        std::uint64_t id = put(e);
        for (int i = 0; i < c.failed_before; ++i) {
            auto got = q_->claim(QUEUE_MAIL_TO_SMS, 0);
            ASSERT_TRUE(got && got->id == id);
            ASSERT_TRUE(succeeded(q_->attempt(id)));
            q_->release(id, "no signal", 0);
        }
        auto got = q_->claim(QUEUE_MAIL_TO_SMS, 0);
        ASSERT_TRUE(got && got->id == id);
        ASSERT_TRUE(succeeded(q_->attempt(id)));
        q_->release_cut(id);
        auto again = q_->claim(QUEUE_MAIL_TO_SMS, 0);
        ASSERT_TRUE(again) << "ready again at once";
        EXPECT_EQ(again->id, id);
        EXPECT_EQ(again->attempts, c.after);
        EXPECT_EQ(again->last_error, c.failed_before > 0 ? "no signal" : "");
        q_->release_cut(id);  // no attempt of this claim: nothing to take back
        reopen();
        std::vector<queue_entry> all = q_->list(0);
        ASSERT_EQ(all.size(), 1u);
        EXPECT_EQ(all[0].attempts, c.after);
        // Finished (it was never claimed since the reopen), so the next case starts empty.
        ASSERT_TRUE(succeeded(q_->complete(id, true, "")));
        reopen();
        ASSERT_TRUE(q_->list(0).empty());
    }
}

TEST_P(QueueStoreTest, UnknownOrFinishedEntriesAreRefusedWithAReason) {
    std::uint64_t id = put(make_entry("+61400000060"));
    auto e = q_->claim(QUEUE_MAIL_TO_SMS, 0);
    ASSERT_TRUE(e);
    ASSERT_TRUE(succeeded(q_->complete(id, true, "")));
    struct Case {
        const char* name;
        std::uint64_t id;
    };
    for (const Case& c : {Case{"finished", id}, Case{"never seen", id + 1000}}) {
        SCOPED_TRACE(c.name);
        Status tried = q_->attempt(c.id);
        EXPECT_FALSE(tried);
        EXPECT_NE(tried.reason().find("no queue entry " + std::to_string(c.id)),
                  std::string::npos)
            << tried.reason();
        Status finished = q_->complete(c.id, false, "x");
        EXPECT_FALSE(finished);
        EXPECT_NE(finished.reason().find("no queue entry " + std::to_string(c.id)),
                  std::string::npos)
            << finished.reason();
        q_->release(c.id, "ignored", 0);  // nothing to give back: nothing happens
    }
    EXPECT_FALSE(q_->claim(QUEUE_MAIL_TO_SMS, 0));
    EXPECT_EQ(q_->stats().waiting, 0u);
}

TEST_P(QueueStoreTest, EntryNeverClaimedCanBeFinished) {
    // Stored parts of a long SMS are finished with their set, never claimed.
    std::uint64_t part = put(make_entry("+61400000065", QUEUE_SMS_PART));
    std::uint64_t other = put(make_entry("+61400000066", QUEUE_SMS_PART));
    ASSERT_TRUE(succeeded(q_->complete(part, true, "joined")));
    Status again = q_->complete(part, true, "joined");
    EXPECT_FALSE(again);
    EXPECT_NE(again.reason().find("no queue entry " + std::to_string(part)), std::string::npos)
        << again.reason();
    reopen();
    std::vector<queue_entry> left = q_->list(QUEUE_SMS_PART);
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0].id, other);
}

TEST_P(QueueStoreTest, NotifyTellsTheKindsThatBecameReady) {
    std::mutex m;
    std::set<int> kinds;
    q_->set_notify([&](int k) {
        std::lock_guard<std::mutex> lock(m);
        kinds.insert(k);
    });
    std::vector<queue_entry> batch{make_entry("a@b.example", QUEUE_SMS_TO_MAIL),
                                   make_entry("+6140")};
    ASSERT_TRUE(succeeded(q_->enqueue(batch)));
    auto has = [&](std::set<int> want) {
        std::lock_guard<std::mutex> lock(m);
        return std::includes(kinds.begin(), kinds.end(), want.begin(), want.end());
    };
    EXPECT_TRUE(eventually([&] { return has({QUEUE_MAIL_TO_SMS, QUEUE_SMS_TO_MAIL}); }));
    {
        std::lock_guard<std::mutex> lock(m);
        kinds.clear();
    }
    auto e = q_->claim(QUEUE_SMS_TO_MAIL, 0);
    ASSERT_TRUE(e);
    q_->release(e->id, "", 0);
    EXPECT_TRUE(eventually([&] { return has({QUEUE_SMS_TO_MAIL}); }));
    // Once cleared, the old function is never called again.
    q_->set_notify(nullptr);
    std::atomic<int> late{0};
    q_->set_notify([&](int) { ++late; });
    q_->set_notify(nullptr);
    std::vector<queue_entry> more{make_entry("+6141")};
    ASSERT_TRUE(succeeded(q_->enqueue(more)));
    EXPECT_EQ(late.load(), 0);
}

TEST_P(QueueStoreTest, RetryNowReadiesOnlyPostponedEntriesOfItsKind) {
    std::uint64_t a = put(make_entry("+61400000070"));
    std::uint64_t b = put(make_entry("m@example.org", QUEUE_SMS_TO_MAIL));
    put(make_entry("+61400000071"));  // ready already: not counted
    const std::int64_t far = std::chrono::duration_cast<std::chrono::milliseconds>(
                                 std::chrono::system_clock::now().time_since_epoch())
                                 .count() +
                             3600000;
    for (auto [kind, id] : {std::pair{QUEUE_MAIL_TO_SMS, a}, std::pair{QUEUE_SMS_TO_MAIL, b}}) {
        auto e = q_->claim(kind, 0);
        ASSERT_TRUE(e);
        ASSERT_EQ(e->id, id);
        q_->release(id, "later", far);
    }
    EXPECT_EQ(q_->retry_now(QUEUE_MAIL_TO_SMS), 1u);
    EXPECT_EQ(q_->retry_now(QUEUE_MAIL_TO_SMS), 0u);
    const std::int64_t now = far - 3600000;
    auto e = q_->claim(QUEUE_MAIL_TO_SMS, now);
    ASSERT_TRUE(e);
    EXPECT_EQ(e->id, a);
    EXPECT_FALSE(q_->claim(QUEUE_SMS_TO_MAIL, now));  // other kind untouched
}

TEST_P(QueueStoreTest, StatsCountEveryEntryNotDoneAndTheOldest) {
    EXPECT_EQ(q_->stats().waiting, 0u);
    EXPECT_EQ(q_->stats().oldest_ms, 0);
    queue_entry old = make_entry("+61400000080");
    old.enqueued_ms = 1000;  // kept when given
    put(old);
    put(make_entry("+61400000081"));
    queue_stats s = q_->stats();
    EXPECT_EQ(s.waiting, 2u);
    EXPECT_EQ(s.oldest_ms, 1000);
}

TEST_P(QueueStoreTest, ConcurrentWritersAllStoredWithDistinctIds) {
    constexpr int THREADS = 8, EACH = 25;
    std::vector<std::thread> threads;
    std::mutex m;
    std::set<std::uint64_t> ids;
    std::atomic<int> failed{0};
    for (int t = 0; t < THREADS; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < EACH; ++i) {
                std::vector<queue_entry> b{make_entry("+614" + std::to_string(t * 1000 + i))};
                if (!q_->enqueue(b)) {
                    ++failed;
                    continue;
                }
                std::lock_guard<std::mutex> lock(m);
                ids.insert(b[0].id);
            }
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(failed.load(), 0);
    EXPECT_EQ(ids.size(), static_cast<std::size_t>(THREADS * EACH));
    EXPECT_EQ(q_->stats().waiting, static_cast<std::size_t>(THREADS * EACH));
    // Workers claiming at the same time never get the same entry.
    std::set<std::uint64_t> claimed;
    threads.clear();
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            while (auto e = q_->claim(QUEUE_MAIL_TO_SMS, 0)) {
                Status done = q_->complete(e->id, true, "");
                std::lock_guard<std::mutex> lock(m);
                EXPECT_TRUE(claimed.insert(e->id).second) << "claimed twice: " << e->id;
                EXPECT_TRUE(succeeded(done));
            }
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(claimed, ids);
}

TEST_P(QueueStoreTest, EmptyBatchIsStoredTrivially) {
    std::vector<queue_entry> none;
    EXPECT_TRUE(succeeded(q_->enqueue(none)));
    EXPECT_EQ(q_->stats().waiting, 0u);
}

INSTANTIATE_TEST_SUITE_P(Stores, QueueStoreTest, ::testing::Values("files", "postgresql"),
                         [](const ::testing::TestParamInfo<std::string>& p) { return p.param; });

}  // namespace
}  // namespace tolvane
