// The delivery engine: fixed pools of workers that take entries from the queue and send them.
//
// Each lane serves one kind of entry through one transport with a fixed number of workers
// (send_workers; one for a GSM modem, which holds one dialogue at a time). A worker claims
// the oldest ready entry (or, for a lane that sends in batches, up to its batch size of
// them), and hands it to the lane's deliver function, which marks an
// attempt before each send (so a crash resends an entry at most once more), sends, writes
// what a send produces and finishes the entry through the job. Entries older than the
// queue lifetime are not sent: the lane's expire function writes their failure. While a
// lane's transport is down, its entries wait and no attempt is counted.
//
// Workers sleep on their lane's condition variable and are woken by what they wait for: an
// enqueue (the store's notify), the time of a postponed retry, a flush request or a
// transport's state change (wake_all(), which the gateway hands to the transport as its state
// watcher). An enqueue wakes one idle worker of its lane, not all of them, and a single SMS
// costs one wake-up instead of one per worker (with a full SMPP window, waking every worker
// per enqueue cost more than the submit). A worker of a lane that sends one entry at a time
// claims up to the lane's number of workers in one call (one statement on a shared store):
// it keeps the first, and the rest wait in the lane, claimed, for the next worker that
// looks (idle ones are woken for them), so a batch still spreads over the lane. A worker of
// a batch lane that claims while others sleep and more entries are ready wakes the next.
// Entries waiting in the lane go back to the queue when its transport is down and at stop(). Only a lane whose transport cannot tell when it comes back up (up_told false)
// asks it again every DELIVERY_DOWN_RECHECK_MS while it is down.
//
// Ownership: the engine borrows the store and the lanes' transports, which must outlive
// stop(). stop() ends claiming, lets sends in progress finish for at most the given time,
// then cuts them through their lanes (a robot's program gets SIGTERM, and SIGKILL
// DELIVERY_CUT_GRACE_MS later when it is still running; an SMPP or modem send is
// abandoned): a cut entry goes back to the queue with its attempt not counted. It then
// joins every worker, so nothing is freed under a worker; a worker that outlives even the
// cut is left running (abandoned()), and whatever it uses must then be kept.
//
//   DeliveryEngine engine(*store);
//   engine.add_lane(lane);  engine.start();  ...  engine.stop(shutdown_wait_ms);
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "queue/queue.h"

namespace tolvane {

inline constexpr long DELIVERY_DOWN_RECHECK_MS = 1000;
// At shutdown: how long cut sends get to end before they are cut hard (a robot's program
// then gets SIGKILL), and how long after that before the workers still running are
// abandoned.
inline constexpr long DELIVERY_CUT_GRACE_MS = 2000;
inline constexpr long DELIVERY_CUT_LAST_MS = 500;

// One claimed entry on its way; the deliver function finishes it exactly once. `stop` (may
// be null) is the flag that tells a shutdown.
class DeliveryJob {
  public:
    DeliveryJob(QueueStore& store, queue_entry entry, const std::atomic<bool>* stop = nullptr)
        : store_(store), e_(std::move(entry)), stop_(stop) {}
    const queue_entry& entry() const { return e_; }
    // Counts the attempt about to be made, on disk; an error (the store's reason) when it
    // cannot be stored, in which case nothing is to be sent now.
    Status attempt();
    // attempt() for every job of a batch (all of one store), stored together; on an error
    // none of them is to be sent now.
    static Status attempt_all(const std::vector<DeliveryJob*>& jobs);
    // The entry is finished: delivered, or failed for good.
    void done(bool delivered, const std::string& error);
    // Tries again after delay_ms; error is kept as the entry's last error.
    void later(const std::string& error, long delay_ms);
    // Gives the entry back untouched (shutdown, transport went down before the send).
    void give_back();
    // Gives the entry back after its send was cut short by the shutdown (SMS_SEND_CUT): the
    // attempt counted for that send no longer counts, no failure is written.
    void give_back_cut();
    bool finished() const { return finished_; }
    bool was_cut() const { return cut_; }
    // True once the engine stops: no further retries should start.
    bool stopping() const { return stop_ != nullptr && stop_->load(); }

  private:
    QueueStore& store_;
    queue_entry e_;
    const std::atomic<bool>* stop_;
    bool finished_ = false;
    bool cut_ = false;
};

struct DeliveryLane {
    std::string name;  // for log lines: "SMS", "mail"
    int kind = QUEUE_MAIL_TO_SMS;
    int workers = 4;
    std::function<bool()> up;  // null: always up
    // The transport calls wake(kind) whenever up() may have changed, so a worker waits for a
    // down transport without a timer.
    bool up_told = false;
    std::function<void(DeliveryJob&)> deliver;
    // With batch above 1 and deliver_batch set, a worker claims up to batch ready entries at
    // once and hands those that have not expired to deliver_batch together (a transport
    // that sends many in one go); each job is finished as with deliver.
    int batch = 1;
    std::function<void(std::vector<std::unique_ptr<DeliveryJob>>&)> deliver_batch;
    // Writes what a failure produces for an entry that waited too long; the engine then
    // finishes it as failed with the reason "expired in queue".
    std::function<void(const queue_entry&)> expire;
    long lifetime_ms = 0;  // 0: entries never expire
    // Cuts the lane's sends in progress at shutdown (the transport's cut_sends); called
    // with hard true when they have not ended DELIVERY_CUT_GRACE_MS later. Null: the
    // lane's sends end by their own limits.
    std::function<void(bool hard)> cut;
};

class DeliveryEngine {
  public:
    explicit DeliveryEngine(QueueStore& store);
    // Stops (without waiting for sends beyond what stop allows), then joins every worker:
    // an engine whose workers were abandoned is destroyed only once they have ended (the
    // gateway keeps it, and ends the process without destroying it).
    ~DeliveryEngine();
    DeliveryEngine(const DeliveryEngine&) = delete;
    DeliveryEngine& operator=(const DeliveryEngine&) = delete;

    void add_lane(DeliveryLane lane);  // before start()
    void start();
    // Something of `kind` (0: every lane) became ready: wakes one idle worker of the lane.
    void wake(int kind);
    // Wakes every worker of `kind` (0: every lane) to look again (a transport's state change).
    void wake_all(int kind);
    // Makes every postponed entry ready now and wakes every worker.
    void flush();
    // Ends claiming and retries at once; sends in progress go on (a shutdown begins).
    void halt();
    // halt(); waits up to wait_ms for sends in progress, cuts those still running (logged
    // with how many were cut), then joins the workers (those that outlive the cuts are
    // left running, still owned by the engine: abandoned()). Returns the number of sends that
    // were still in progress at the deadline.
    int stop(long wait_ms);
    // Sends cut short by stop() so far; whether stop() left workers running.
    int cut_count();
    bool abandoned();
    // The waits of stop() after a cut (tests shorten them).
    void set_cut_waits(long grace_ms, long last_ms);
    // Sends in progress right now.
    int busy();
    // How often a worker has come out of its wait so far, and the workers waiting right now
    // (for tests of the wake-ups).
    std::uint64_t wakeups();
    int idle();
    QueueStore& store() { return store_; }

  private:
    struct Lane {
        DeliveryLane def;
        std::uint64_t wakes = 0;     // bumped (under mu_) by every wake of this lane
        int idle = 0;                // its workers waiting on cv (under mu_)
        std::condition_variable cv;  // its idle workers wait here
        // Entries claimed by one of its workers for the next that looks (under mu_).
        std::deque<queue_entry> ahead;
    };
    void work(Lane& lane);
    std::optional<queue_entry> claim_one(Lane& lane, std::int64_t now);
    void give_back_ahead(Lane* only);
    void run_one(Lane& lane, queue_entry e);
    void run_batch(Lane& lane, std::vector<queue_entry> entries);
    bool expired(Lane& lane, DeliveryJob& job);
    void wake_lanes(int kind, bool all);
    void count_cut(int n);

    QueueStore& store_;
    std::mutex mu_;
    std::condition_variable idle_cv_;  // stop() waits here for busy_ to fall
    std::vector<std::unique_ptr<Lane>> lanes_;
    // The workers: joined by stop(), or, when stop() left some running (abandoned), by
    // the destructor once they end.
    std::vector<std::jthread> threads_;
    bool stopping_ = false;               // guarded by mu_
    bool stopped_ = false;                // stop() has run (mu_)
    bool abandoned_ = false;              // stop() left workers running (mu_)
    int cut_ = 0;                         // sends cut short (mu_)
    long cut_grace_ms_ = DELIVERY_CUT_GRACE_MS;
    long cut_last_ms_ = DELIVERY_CUT_LAST_MS;
    std::atomic<bool> stop_flag_{false};  // the same, for jobs to read without the lock
    int busy_ = 0;                        // guarded by mu_
    std::uint64_t wakeups_ = 0;           // guarded by mu_
};

class Gateway;
// The gateway queue's length and oldest entry (zeros when it is not open), for the status
// page and the metrics.
queue_stats delivery_queue_stats(const Gateway& gw);
// Whether the queue's database can be reached (nullopt: a local queue, or none open).
std::optional<bool> delivery_database_up(const Gateway& gw);

// Milliseconds since the epoch, the clock of queue entries.
std::int64_t delivery_now_ms();

}  // namespace tolvane
