// The delivery engine over a real queue journal: entries sent as soon as they are stored,
// waiting while the transport is down, expiry, retries at their time, and a shutdown that
// lets sends in progress finish while the rest stays queued.
#include "gateway/delivery.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <set>
#include <thread>

#include "gateway/mail_log_capture.h"
#include "support/status_check.h"

namespace tolvane {
namespace {

template <typename Pred>
bool wait_for(Pred pred, int ms = 20000) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end) {
        if (pred()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return pred();
}

class Delivery : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string tmpl = (std::filesystem::temp_directory_path() / "deliveryXXXXXX").string();
        dir = mkdtemp(tmpl.data());
        queue_file_options o;
        o.sync = false;
        Result<std::unique_ptr<QueueStore>> opened = queue_file_open(dir + "/queue", o);
        ASSERT_TRUE(succeeded(opened));
        store = std::move(*opened);
    }
    void TearDown() override {
        engine.reset();
        store.reset();
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }

    std::uint64_t add(const std::string& dest, std::int64_t enqueued_ms = 0,
                      int kind = QUEUE_MAIL_TO_SMS) {
        std::vector<queue_entry> b(1);
        b[0].kind = kind;
        b[0].destination = dest;
        b[0].enqueued_ms = enqueued_ms;
        EXPECT_TRUE(succeeded(store->enqueue(b)));
        return b[0].id;
    }
    // Several entries in one enqueue, which tells the engine once.
    void add_batch(const std::vector<std::string>& dests) {
        std::vector<queue_entry> b(dests.size());
        for (std::size_t i = 0; i < dests.size(); ++i) b[i].destination = dests[i];
        EXPECT_TRUE(succeeded(store->enqueue(b)));
    }

    // A lane whose sends are recorded; each send attempts first, as the real ones do.
    DeliveryLane lane(int workers = 2, int kind = QUEUE_MAIL_TO_SMS) {
        DeliveryLane l;
        l.name = "test";
        l.kind = kind;
        l.workers = workers;
        l.up = [this] { return up.load(); };
        l.deliver = [this](DeliveryJob& job) {
            if (!job.attempt()) return;
            {
                std::unique_lock<std::mutex> lock(mu);
                ++in_send;
                max_in_send = std::max(max_in_send, in_send);
                gate_cv.wait(lock, [this] { return gate_open; });
                sent.push_back(job.entry().destination);
                --in_send;
            }
            if (job.entry().destination == "later" && job.entry().attempts < 2) {
                job.later("busy", 150);
                return;
            }
            if (job.entry().destination != "no verdict") job.done(true, "");
        };
        l.expire = [this](const queue_entry& e) {
            std::lock_guard<std::mutex> lock(mu);
            expired.push_back(e.destination);
        };
        return l;
    }

    std::size_t sent_count() {
        std::lock_guard<std::mutex> lock(mu);
        return sent.size();
    }
    int sending() {
        std::lock_guard<std::mutex> lock(mu);
        return in_send;
    }
    void open_gate(bool open) {
        {
            std::lock_guard<std::mutex> lock(mu);
            gate_open = open;
        }
        gate_cv.notify_all();
    }

    std::string dir;
    std::unique_ptr<QueueStore> store;
    std::unique_ptr<DeliveryEngine> engine;
    std::atomic<bool> up{true};
    std::mutex mu;
    std::condition_variable gate_cv;
    bool gate_open = true;
    int in_send = 0, max_in_send = 0;
    std::vector<std::string> sent, expired;
};

TEST_F(Delivery, EntriesStoredBeforeAndAfterTheStartAreSentInOrder) {
    add("a");
    add("b");
    engine = std::make_unique<DeliveryEngine>(*store);
    engine->add_lane(lane(1));
    engine->start();
    ASSERT_TRUE(wait_for([&] { return sent_count() == 2; }));
    add("c");  // wakes an idle worker through the store's notice
    ASSERT_TRUE(wait_for([&] { return sent_count() == 3; }));
    EXPECT_EQ(sent, (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_EQ(engine->stop(1000), 0);
    EXPECT_TRUE(store->list(0).empty());
}

TEST_F(Delivery, WorkersOfALaneSendAtTheSameTimeUpToTheirNumber) {
    open_gate(false);
    for (int i = 0; i < 6; ++i) add("n" + std::to_string(i));
    engine = std::make_unique<DeliveryEngine>(*store);
    engine->add_lane(lane(3));
    engine->start();
    ASSERT_TRUE(wait_for([&] { return sending() == 3; }));
    EXPECT_EQ(engine->busy(), 3);
    open_gate(true);
    ASSERT_TRUE(wait_for([&] { return sent_count() == 6; }));
    EXPECT_EQ(max_in_send, 3);
}

TEST_F(Delivery, BatchStoredWhileEveryWorkerSleepsSpreadsOverTheLane) {
    // One enqueue tells the engine once; the workers it did not wake must still take the
    // rest of the batch while the first send is in progress.
    for (int n : {2, 3, 5}) {
        SCOPED_TRACE("batch of " + std::to_string(n) + " for as many workers");
        open_gate(false);
        engine = std::make_unique<DeliveryEngine>(*store);
        engine->add_lane(lane(n));
        engine->start();
        ASSERT_TRUE(wait_for([&] { return engine->idle() == n; }));
        std::vector<std::string> dests;
        for (int i = 0; i < n; ++i) dests.push_back("b" + std::to_string(i));
        add_batch(dests);
        ASSERT_TRUE(wait_for([&] { return sending() == n; })) << "sending " << sending();
        open_gate(true);
        ASSERT_TRUE(wait_for([&] { return sent_count() == static_cast<std::size_t>(n); }));
        EXPECT_EQ(engine->stop(1000), 0);
        engine.reset();
        std::lock_guard<std::mutex> lock(mu);
        sent.clear();
        max_in_send = 0;
    }
}

TEST_F(Delivery, OneStoredEntryWakesOneSleepingWorker) {
    engine = std::make_unique<DeliveryEngine>(*store);
    engine->add_lane(lane(8));
    engine->start();
    ASSERT_TRUE(wait_for([&] { return engine->idle() == 8; }));
    std::uint64_t before = engine->wakeups();
    add("one");
    ASSERT_TRUE(wait_for([&] { return sent_count() == 1 && engine->idle() == 8; }));
    // Waking the whole lane would be 8 wake-ups for one SMS.
    EXPECT_LE(engine->wakeups() - before, 2u);
}

TEST_F(Delivery, AnEntryWakesOnlyTheLaneOfItsKind) {
    engine = std::make_unique<DeliveryEngine>(*store);
    engine->add_lane(lane(4, QUEUE_MAIL_TO_SMS));
    engine->add_lane(lane(1, QUEUE_SMS_TO_MAIL));
    engine->start();
    ASSERT_TRUE(wait_for([&] { return engine->idle() == 5; }));
    std::uint64_t before = engine->wakeups();
    add("mail", 0, QUEUE_SMS_TO_MAIL);
    ASSERT_TRUE(wait_for([&] { return sent_count() == 1 && engine->idle() == 5; }));
    EXPECT_LE(engine->wakeups() - before, 2u);
    // And the other lane still hears of its own.
    add("sms");
    ASSERT_TRUE(wait_for([&] { return sent_count() == 2; }));
    EXPECT_EQ(sent, (std::vector<std::string>{"mail", "sms"}));
}

TEST_F(Delivery, StateChangeWakesEveryWorkerOfTheLane) {
    // While down, entries stored one at a time each wake one worker, which goes back to
    // sleep; coming up must set every worker sending, not one.
    open_gate(false);
    up = false;
    engine = std::make_unique<DeliveryEngine>(*store);
    DeliveryLane l = lane(3);
    l.up_told = true;
    engine->add_lane(std::move(l));
    engine->start();
    for (int i = 0; i < 3; ++i) add("d" + std::to_string(i));
    ASSERT_TRUE(wait_for([&] { return engine->idle() == 3; }));
    up = true;
    engine->wake_all(QUEUE_MAIL_TO_SMS);
    ASSERT_TRUE(wait_for([&] { return sending() == 3; })) << "sending " << sending();
    open_gate(true);
    ASSERT_TRUE(wait_for([&] { return sent_count() == 3; }));
}

TEST_F(Delivery, DownTransportHoldsEntriesWithoutCountingAttempts) {
    up = false;
    std::uint64_t id = add("held");
    engine = std::make_unique<DeliveryEngine>(*store);
    engine->add_lane(lane());
    engine->start();
    // Give the workers every chance to (wrongly) take it.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(sent_count(), 0u);
    std::vector<queue_entry> waiting = store->list(0);
    ASSERT_EQ(waiting.size(), 1u);
    EXPECT_EQ(waiting[0].id, id);
    EXPECT_EQ(waiting[0].attempts, 0u);
    up = true;
    engine->wake(QUEUE_MAIL_TO_SMS);
    ASSERT_TRUE(wait_for([&] { return sent_count() == 1; }));
}

// The file store behind, with every give_back_held() it is told recorded.
class GiveBackRecorder : public QueueStore {
  public:
    explicit GiveBackRecorder(QueueStore& q) : q_(q) {}
    Status enqueue(std::vector<queue_entry>& b) override { return q_.enqueue(b); }
    std::optional<queue_entry> claim(int k, std::int64_t now) override {
        return q_.claim(k, now);
    }
    std::optional<std::int64_t> next_ready(int k, std::int64_t now) override {
        return q_.next_ready(k, now);
    }
    Status attempt(std::uint64_t id) override { return q_.attempt(id); }
    Status complete(std::uint64_t id, bool ok, const std::string& e) override {
        return q_.complete(id, ok, e);
    }
    void release(std::uint64_t id, const std::string& e, std::int64_t nb) override {
        q_.release(id, e, nb);
    }
    std::size_t retry_now(int k) override { return q_.retry_now(k); }
    std::vector<queue_entry> list(int k) override { return q_.list(k); }
    queue_stats stats() override { return q_.stats(); }
    void set_notify(std::function<void(int)> n) override { q_.set_notify(std::move(n)); }
    void give_back_held(int kind) override {
        std::lock_guard<std::mutex> lock(m);
        told.push_back(kind);
    }
    std::size_t times_told(int kind) {
        std::lock_guard<std::mutex> lock(m);
        return static_cast<std::size_t>(std::count(told.begin(), told.end(), kind));
    }

  private:
    QueueStore& q_;
    std::mutex m;
    std::vector<int> told;
};

// A shared store may hold new entries for this gateway's workers: a lane whose transport
// is down, and every lane at stop, tells it to give them back to every gateway.
TEST_F(Delivery, DownTransportAndStopGiveBackWhatTheStoreHeldForTheLane) {
    GiveBackRecorder rec(*store);
    up = false;
    engine = std::make_unique<DeliveryEngine>(rec);
    engine->add_lane(lane(2, QUEUE_MAIL_TO_SMS));
    engine->add_lane(lane(1, QUEUE_SMS_TO_MAIL));
    engine->start();
    std::vector<queue_entry> b(1);
    b[0].destination = "while down";
    ASSERT_TRUE(succeeded(rec.enqueue(b)));  // wakes a worker of the down lane
    EXPECT_TRUE(wait_for([&] { return rec.times_told(QUEUE_MAIL_TO_SMS) > 0; }));
    EXPECT_EQ(sent_count(), 0u);
    const std::size_t before = rec.times_told(QUEUE_SMS_TO_MAIL);
    engine->stop(1000);
    EXPECT_GT(rec.times_told(QUEUE_SMS_TO_MAIL), before);
    engine.reset();
}

TEST_F(Delivery, TransportThatTellsItsStateIsAskedAgainOnlyWhenItChanges) {
    // Table: a lane whose transport tells its state changes waits for them; one that cannot
    // is asked again after DELIVERY_DOWN_RECHECK_MS.
    for (bool told : {true, false}) {
        SCOPED_TRACE(told ? "transport tells its state" : "transport cannot tell");
        std::atomic<int> asked{0};
        up = false;
        engine = std::make_unique<DeliveryEngine>(*store);
        DeliveryLane l = lane(1);
        l.up = [&] {
            ++asked;
            return up.load();
        };
        l.up_told = told;
        engine->add_lane(std::move(l));
        engine->start();
        ASSERT_TRUE(wait_for([&] { return asked.load() >= 1; }));  // the worker's first look
        std::uint64_t id = add(told ? "told" : "asked");
        ASSERT_TRUE(wait_for([&] { return asked.load() >= 2; }));  // the enqueue's wake
        int before = asked.load();
        // Longer than the recheck: a lane without a timer has no reason to ask again.
        std::this_thread::sleep_for(std::chrono::milliseconds(DELIVERY_DOWN_RECHECK_MS * 3 / 2));
        if (told)
            EXPECT_EQ(asked.load(), before);
        else
            EXPECT_GT(asked.load(), before);
        EXPECT_EQ(sent_count(), 0u);
        // Coming up, the transport tells its watcher, which is the lane's wake.
        up = true;
        engine->wake(QUEUE_MAIL_TO_SMS);
        ASSERT_TRUE(wait_for([&] { return sent_count() == 1; }));
        EXPECT_EQ(engine->stop(1000), 0);
        engine.reset();
        EXPECT_TRUE(store->list(0).empty()) << id;
        std::lock_guard<std::mutex> lock(mu);
        sent.clear();
    }
}

TEST_F(Delivery, OldEntryExpiresWithoutBeingSent) {
    add("stale", delivery_now_ms() - 3 * 3600 * 1000);
    add("fresh");
    engine = std::make_unique<DeliveryEngine>(*store);
    DeliveryLane l = lane(1);
    l.lifetime_ms = 3600 * 1000;
    engine->add_lane(std::move(l));
    engine->start();
    ASSERT_TRUE(wait_for([&] { return sent_count() == 1; }));
    engine->stop(1000);
    EXPECT_EQ(sent, std::vector<std::string>{"fresh"});
    EXPECT_EQ(expired, std::vector<std::string>{"stale"});
    EXPECT_TRUE(store->list(0).empty());
}

TEST_F(Delivery, PostponedEntryIsTakenAgainAtItsTime) {
    add("later");
    engine = std::make_unique<DeliveryEngine>(*store);
    engine->add_lane(lane(1));
    engine->start();
    ASSERT_TRUE(wait_for([&] { return sent_count() == 2; }));
    EXPECT_TRUE(wait_for([&] { return store->list(0).empty(); }));
}

TEST_F(Delivery, FlushTakesAPostponedEntryAtOnce) {
    std::uint64_t id = add("x");
    auto e = store->claim(QUEUE_MAIL_TO_SMS, delivery_now_ms());
    ASSERT_TRUE(e);
    store->release(id, "refused", delivery_now_ms() + 3600 * 1000);
    engine = std::make_unique<DeliveryEngine>(*store);
    engine->add_lane(lane(1));
    engine->start();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(sent_count(), 0u);
    engine->flush();
    ASSERT_TRUE(wait_for([&] { return sent_count() == 1; }));
}

TEST_F(Delivery, EntryLeftWithoutAVerdictIsGivenBack) {
    add("no verdict");
    engine = std::make_unique<DeliveryEngine>(*store);
    engine->add_lane(lane(1));
    up = true;
    engine->start();
    ASSERT_TRUE(wait_for([&] { return sent_count() >= 1; }));
    engine->stop(1000);
    std::vector<queue_entry> waiting = store->list(0);
    ASSERT_EQ(waiting.size(), 1u);
    EXPECT_GE(waiting[0].attempts, 1u);
}

// A lane that sends in batches: one worker takes up to its batch size of ready entries at
// once, an expired one among them is expired and not handed over, every other is sent
// exactly once, and a job the batch leaves without a verdict is given back.
TEST_F(Delivery, BatchLaneTakesUpToItsBatchSizeAndFinishesEveryJob) {
    open_gate(false);
    std::vector<std::size_t> sizes;
    add("stale", delivery_now_ms() - 3 * 3600 * 1000);
    for (int i = 0; i < 6; ++i) add("m" + std::to_string(i));
    add("no verdict");
    engine = std::make_unique<DeliveryEngine>(*store);
    DeliveryLane l = lane(1);
    l.lifetime_ms = 3600 * 1000;
    l.batch = 4;
    l.deliver_batch = [this, &sizes](std::vector<std::unique_ptr<DeliveryJob>>& jobs) {
        std::vector<DeliveryJob*> all;
        for (auto& job : jobs) all.push_back(job.get());
        if (!DeliveryJob::attempt_all(all)) return;
        std::unique_lock<std::mutex> lock(mu);
        gate_cv.wait(lock, [this] { return gate_open; });
        sizes.push_back(jobs.size());
        for (auto& job : jobs) {
            sent.push_back(job->entry().destination);
            EXPECT_EQ(job->entry().attempts, 1u);
            if (job->entry().destination != "no verdict") job->done(true, "");
        }
    };
    engine->add_lane(std::move(l));
    engine->start();
    open_gate(true);
    ASSERT_TRUE(wait_for([&] { return sent_count() >= 7; }));
    engine->stop(1000);
    // The first claim holds the stale entry and three more: three are handed over.
    EXPECT_EQ(sizes.front(), 3u);
    for (std::size_t n : sizes) EXPECT_LE(n, 4u);
    EXPECT_EQ(expired, std::vector<std::string>{"stale"});
    std::vector<std::string> first7(sent.begin(), sent.begin() + 7);
    EXPECT_EQ(first7, (std::vector<std::string>{"m0", "m1", "m2", "m3", "m4", "m5",
                                                "no verdict"}));
    std::vector<queue_entry> waiting = store->list(0);
    ASSERT_EQ(waiting.size(), 1u);
    EXPECT_EQ(waiting[0].destination, "no verdict");
}

TEST_F(Delivery, StopLetsSendsInProgressFinishAndLeavesTheRestQueued) {
    open_gate(false);
    for (int i = 0; i < 5; ++i) add("s" + std::to_string(i));
    engine = std::make_unique<DeliveryEngine>(*store);
    engine->add_lane(lane(2));
    engine->start();
    ASSERT_TRUE(wait_for([&] { return sending() == 2; }));
    std::thread opener([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        open_gate(true);
    });
    EXPECT_EQ(engine->stop(5000), 0) << "both sends ended within the wait";
    opener.join();
    EXPECT_EQ(sent_count(), 2u);
    std::vector<queue_entry> waiting = store->list(0);
    ASSERT_EQ(waiting.size(), 3u);
    for (const queue_entry& e : waiting) EXPECT_EQ(e.attempts, 0u);
}

// A worker claims for its whole lane at once; what it claimed for workers that are all busy
// waits in the lane, and goes back to the queue, unsent and uncounted, when the engine
// stops or the transport goes down, so that nothing stays claimed by nobody.
TEST_F(Delivery, EntriesClaimedForBusyWorkersGoBackAtStopAndWhenTheTransportIsDown) {
    for (bool at_stop : {true, false}) {
        SCOPED_TRACE(at_stop ? "at stop" : "transport down");
        std::set<std::string> permits;  // under mu: sends allowed to end
        std::vector<std::string> done;
        up = true;
        DeliveryLane l = lane(3);
        l.deliver = [&](DeliveryJob& job) {
            if (!job.attempt()) return;
            std::unique_lock<std::mutex> lock(mu);
            ++in_send;
            gate_cv.wait(lock, [&] { return gate_open || permits.count(job.entry().destination); });
            --in_send;
            done.push_back(job.entry().destination);
            lock.unlock();
            job.done(true, "");
        };
        open_gate(false);
        add_batch({"a0", "a1", "a2"});
        engine = std::make_unique<DeliveryEngine>(*store);
        engine->add_lane(l);
        engine->start();
        ASSERT_TRUE(wait_for([&] { return sending() == 3; }));
        add_batch({"b0", "b1", "b2"});  // nobody is idle: nobody claims them yet
        {
            std::lock_guard<std::mutex> lock(mu);
            permits.insert("a0");
        }
        gate_cv.notify_all();
        // The worker that ended a0 claimed b0..b2: b0 is its send, b1 and b2 wait in the lane.
        ASSERT_TRUE(wait_for([&] {
            std::lock_guard<std::mutex> lock(mu);
            return done.size() == 1 && in_send == 3;
        }));
        EXPECT_FALSE(store->claim(QUEUE_MAIL_TO_SMS, delivery_now_ms())) << "left unclaimed";
        if (!at_stop) {
            up = false;
            {
                std::lock_guard<std::mutex> lock(mu);
                permits.insert("a1");  // its worker looks again and finds the transport down
            }
            gate_cv.notify_all();
        }
        std::vector<queue_entry> back;
        if (!at_stop) {
            ASSERT_TRUE(wait_for([&] {
                for (auto& e : store->claim_many(QUEUE_MAIL_TO_SMS, delivery_now_ms(), 5))
                    back.push_back(std::move(e));
                return back.size() == 2;
            }));
            for (const auto& e : back) store->release(e.id, std::string(), 0);
        }
        std::thread opener([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            open_gate(true);
        });
        EXPECT_EQ(engine->stop(5000), 0);
        opener.join();
        engine.reset();
        if (at_stop) back = store->claim_many(QUEUE_MAIL_TO_SMS, delivery_now_ms(), 5);
        ASSERT_EQ(back.size(), 2u);
        for (const auto& e : back) {
            EXPECT_TRUE(e.destination == "b1" || e.destination == "b2") << e.destination;
            EXPECT_EQ(e.attempts, 0u);
            EXPECT_EQ(std::count(done.begin(), done.end(), e.destination), 0);
            EXPECT_TRUE(succeeded(store->complete(e.id, true, "")));
        }
        EXPECT_EQ(done.size(), 4u);
        EXPECT_TRUE(store->list(0).empty());
    }
}

TEST_F(Delivery, StopPastItsWaitReportsTheSendsStillRunningAndJoinsThem) {
    open_gate(false);
    add("slow");
    engine = std::make_unique<DeliveryEngine>(*store);
    engine->add_lane(lane(1));
    engine->start();
    ASSERT_TRUE(wait_for([&] { return sending() == 1; }));
    std::thread opener([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        open_gate(true);
    });
    EXPECT_EQ(engine->stop(50), 1);
    // stop() returned only after the worker ended: the send finished, nothing runs on.
    EXPECT_EQ(sent_count(), 1u);
    EXPECT_EQ(engine->busy(), 0);
    opener.join();
}

// Past the shutdown wait a send is cut through its lane: the soft cut first, the hard one
// when the send has not ended within the grace, and workers that outlive both are left
// running (abandoned). A cut entry stays queued with its attempt not counted.
TEST_F(Delivery, StopCutsSendsStillRunningAndKeepsTheirEntriesUncounted) {
    struct Case {
        const char* name;
        int ends_on;  // the cut (1 soft, 2 hard) that ends the send; 3: none does
        std::vector<bool> cuts;
        bool abandoned;
    };
    const Case cases[] = {
        {"ends on the soft cut", 1, {false}, false},
        {"needs the hard cut", 2, {false, true}, false},
        {"outlives every cut", 3, {false, true}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<bool> cuts;
        int level = 0;  // under mu
        std::condition_variable cut_cv;
        std::vector<queue_entry> b(1);
        b[0].destination = "slow";
        b[0].mark_first_attempt = true;
        ASSERT_TRUE(succeeded(store->enqueue(b)));
        engine = std::make_unique<DeliveryEngine>(*store);
        engine->set_cut_waits(300, 100);
        DeliveryLane l;
        l.name = "test";
        l.kind = QUEUE_MAIL_TO_SMS;
        l.workers = 1;
        l.deliver = [&](DeliveryJob& job) {
            if (!job.attempt()) return;
            std::unique_lock<std::mutex> lock(mu);
            ++in_send;
            cut_cv.wait(lock, [&] { return level >= c.ends_on || gate_open; });
            --in_send;
            if (level >= c.ends_on) job.give_back_cut();
        };
        l.cut = [&](bool hard) {
            {
                std::lock_guard<std::mutex> lock(mu);
                cuts.push_back(hard);
                level = hard ? 2 : 1;
            }
            cut_cv.notify_all();
        };
        engine->add_lane(std::move(l));
        open_gate(false);
        engine->start();
        ASSERT_TRUE(wait_for([&] { return sending() == 1; }));
        EXPECT_EQ(engine->stop(20), 1);
        EXPECT_EQ(cuts, c.cuts);
        EXPECT_EQ(engine->abandoned(), c.abandoned);
        if (c.abandoned) {
            // The worker runs on: let it end before its engine goes.
            {
                std::lock_guard<std::mutex> lock(mu);
                gate_open = true;
            }
            cut_cv.notify_all();
            ASSERT_TRUE(wait_for([&] { return engine->busy() == 0; }));
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            std::vector<queue_entry> left = store->list(0);
            ASSERT_EQ(left.size(), 1u);
            ASSERT_TRUE(succeeded(store->complete(left[0].id, true, "")));
            // An engine that left a worker running keeps the store's notice: it goes here.
            store->set_notify(nullptr);
            engine.reset();
            continue;
        }
        EXPECT_EQ(engine->cut_count(), 1);
        engine.reset();
        // Ready again with no attempt counted, also for the journal read afresh.
        store.reset();
        queue_file_options o;
        o.sync = false;
        Result<std::unique_ptr<QueueStore>> opened = queue_file_open(dir + "/queue", o);
        ASSERT_TRUE(succeeded(opened));
        store = std::move(*opened);
        std::vector<queue_entry> left = store->list(0);
        ASSERT_EQ(left.size(), 1u);
        EXPECT_EQ(left[0].attempts, 0u);
        auto e = store->claim(QUEUE_MAIL_TO_SMS, delivery_now_ms());
        ASSERT_TRUE(e);
        ASSERT_TRUE(succeeded(store->complete(e->id, true, "")));
    }
}

// A store that cannot write (a listing of the same journal): the job's caller hears why no
// attempt was counted, and an outcome that cannot be marked is logged with the reason.
TEST_F(Delivery, StoreRefusalsReachTheJobAndTheLog) {
    std::uint64_t id = add("+61400000001");
    queue_file_options o;
    o.read_only = true;
    Result<std::unique_ptr<QueueStore>> listing = queue_file_open(dir + "/queue", o);
    ASSERT_TRUE(succeeded(listing));
    QueueStore& ro = **listing;
    std::optional<queue_entry> e = ro.claim(QUEUE_MAIL_TO_SMS, delivery_now_ms());
    ASSERT_TRUE(e);
    ASSERT_EQ(e->id, id);
    LogCapture log;
    DeliveryJob job(ro, std::move(*e));
    EXPECT_EQ(job.attempt().reason(), "the queue is open for reading only");
    EXPECT_EQ(DeliveryJob::attempt_all({&job}).reason(), "the queue is open for reading only");
    EXPECT_EQ(job.entry().attempts, 0u) << "no attempt counted";
    job.done(true, "");
    EXPECT_TRUE(log.has("Queue entry " + std::to_string(id) +
                        ": cannot mark it done (the queue is open for reading only)"));
    EXPECT_EQ(store->list(0).size(), 1u) << "the writing store still holds it";
}

}  // namespace
}  // namespace tolvane
