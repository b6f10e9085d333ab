// The delivery engine (see delivery.h).
#include "gateway/delivery.h"

#include <algorithm>
#include <chrono>

#include "foundation/log.h"

namespace tolvane {

std::int64_t delivery_now_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

Status DeliveryJob::attempt() {
    if (Status s = store_.attempt(e_.id); !s) return s;
    ++e_.attempts;
    return {};
}

Status DeliveryJob::attempt_all(const std::vector<DeliveryJob*>& jobs) {
    if (jobs.empty()) return {};
    std::vector<std::uint64_t> ids;
    for (const DeliveryJob* j : jobs) ids.push_back(j->e_.id);
    if (Status s = jobs.front()->store_.attempt_many(ids); !s) return s;
    for (DeliveryJob* j : jobs) ++j->e_.attempts;
    return {};
}

void DeliveryJob::done(bool delivered, const std::string& error) {
    if (finished_) return;
    finished_ = true;
    // The outcome is already written to the records; a DONE record that cannot be written
    // means at worst one more send after a restart.
    if (Status s = store_.complete(e_.id, delivered, error); !s)
        emsg("Queue entry %llu: cannot mark it done (%s)", static_cast<unsigned long long>(e_.id),
             s.error().reason.c_str());
}

void DeliveryJob::later(const std::string& error, long delay_ms) {
    if (finished_) return;
    finished_ = true;
    store_.release(e_.id, error, delivery_now_ms() + (delay_ms > 0 ? delay_ms : 0));
}

void DeliveryJob::give_back() {
    if (finished_) return;
    finished_ = true;
    store_.release(e_.id, std::string(), 0);
}

void DeliveryJob::give_back_cut() {
    if (finished_) return;
    finished_ = true;
    cut_ = true;
    store_.release_cut(e_.id);
}

DeliveryEngine::DeliveryEngine(QueueStore& store) : store_(store) {}

DeliveryEngine::~DeliveryEngine() {
    stop(0);
    // Workers left running by stop() (abandoned) are waited for here.
    for (std::jthread& t : threads_)
        if (t.joinable()) t.join();
}

void DeliveryEngine::add_lane(DeliveryLane lane) {
    auto l = std::make_unique<Lane>();
    if (lane.workers < 1) lane.workers = 1;
    l->def = std::move(lane);
    lanes_.push_back(std::move(l));
}

void DeliveryEngine::start() {
    store_.set_notify([this](int kind) { wake(kind); });
    for (auto& lane : lanes_)
        for (int i = 0; i < lane->def.workers; ++i)
            threads_.emplace_back([this, l = lane.get()] { work(*l); });
}

void DeliveryEngine::wake_lanes(int kind, bool all) {
    std::vector<Lane*> told;
    {
        std::lock_guard<std::mutex> lock(mu_);
        for (auto& lane : lanes_) {
            if (kind != 0 && lane->def.kind != kind) continue;
            // A worker between its look and its wait sees the count change and looks again.
            ++lane->wakes;
            // With every worker busy nobody is told: each claims again when its send ends.
            if (lane->idle > 0) told.push_back(lane.get());
        }
    }
    // Told outside the lock, so that the woken worker does not at once block on it.
    for (Lane* lane : told) {
        if (all)
            lane->cv.notify_all();
        else
            lane->cv.notify_one();
    }
}

void DeliveryEngine::wake(int kind) {
    wake_lanes(kind, false);
}

void DeliveryEngine::wake_all(int kind) {
    wake_lanes(kind, true);
}

void DeliveryEngine::flush() {
    for (auto& lane : lanes_) store_.retry_now(lane->def.kind);
    wake_all(0);
}

int DeliveryEngine::busy() {
    std::lock_guard<std::mutex> lock(mu_);
    return busy_;
}

std::uint64_t DeliveryEngine::wakeups() {
    std::lock_guard<std::mutex> lock(mu_);
    return wakeups_;
}

int DeliveryEngine::idle() {
    std::lock_guard<std::mutex> lock(mu_);
    int n = 0;
    for (auto& lane : lanes_) n += lane->idle;
    return n;
}

void DeliveryEngine::halt() {
    {
        std::lock_guard<std::mutex> lock(mu_);
        stopping_ = true;
        stop_flag_.store(true);
    }
    for (auto& lane : lanes_) lane->cv.notify_all();
}

int DeliveryEngine::cut_count() {
    std::lock_guard<std::mutex> lock(mu_);
    return cut_;
}

bool DeliveryEngine::abandoned() {
    std::lock_guard<std::mutex> lock(mu_);
    return abandoned_;
}

void DeliveryEngine::set_cut_waits(long grace_ms, long last_ms) {
    cut_grace_ms_ = grace_ms;
    cut_last_ms_ = last_ms;
}

// Gives the entries waiting in one lane (or in every lane) back to the queue, ready at once.
void DeliveryEngine::give_back_ahead(Lane* only) {
    std::vector<queue_entry> back;
    std::vector<int> kinds;
    {
        std::lock_guard<std::mutex> lock(mu_);
        for (auto& lane : lanes_) {
            if (only != nullptr && lane.get() != only) continue;
            for (auto& e : lane->ahead) back.push_back(std::move(e));
            lane->ahead.clear();
            kinds.push_back(lane->def.kind);
        }
    }
    // Outside the lock: a store tells the engine of a release through wake().
    for (const queue_entry& e : back) store_.release(e.id, std::string(), 0);
    for (int kind : kinds) store_.give_back_held(kind);
}

int DeliveryEngine::stop(long wait_ms) {
    halt();
    // No worker adds to them once halt() has set stopping_.
    give_back_ahead(nullptr);
    std::unique_lock<std::mutex> lock(mu_);
    if (stopped_) return 0;
    stopped_ = true;
    auto ended = [this] { return busy_ == 0; };
    idle_cv_.wait_for(lock, std::chrono::milliseconds(wait_ms > 0 ? wait_ms : 0), ended);
    const int left = busy_;
    if (left > 0) {
        // What is still in flight is cut; its entries go back to the queue uncounted and
        // go out after the next start.
        imsg("%d sends still in progress after the shutdown wait; cutting them", left);
        for (bool hard : {false, true}) {
            lock.unlock();
            for (auto& lane : lanes_)
                if (lane->def.cut) lane->def.cut(hard);
            lock.lock();
            long ms = hard ? cut_last_ms_ : cut_grace_ms_;
            if (idle_cv_.wait_for(lock, std::chrono::milliseconds(ms > 0 ? ms : 0), ended)) break;
        }
        imsg("%d sends cut short by the shutdown; their entries stay queued", cut_);
        if (busy_ > 0) {
            emsg("%d sends still in progress after they were cut; abandoned", busy_);
            abandoned_ = true;
        }
    }
    const bool keep = abandoned_;
    lock.unlock();
    if (keep) {
        // A worker that would not end is not joined here: it stays the engine's, and the
        // engine is kept (never destroyed) by its owner while such a worker runs; the
        // destructor joins whatever is left.
        return left;
    }
    for (std::jthread& t : threads_)
        if (t.joinable()) t.join();
    threads_.clear();
    store_.set_notify(nullptr);
    return left;
}

bool DeliveryEngine::expired(Lane& lane, DeliveryJob& job) {
    const queue_entry& en = job.entry();
    if (lane.def.lifetime_ms <= 0 || delivery_now_ms() - en.enqueued_ms <= lane.def.lifetime_ms)
        return false;
    imsg("Queue entry %llu to [%s] expired in queue after %u attempts",
         static_cast<unsigned long long>(en.id), en.destination.c_str(), en.attempts);
    if (lane.def.expire) lane.def.expire(en);
    job.done(false, "expired in queue");
    return true;
}

void DeliveryEngine::run_one(Lane& lane, queue_entry e) {
    DeliveryJob job(store_, std::move(e), &stop_flag_);
    if (expired(lane, job)) return;
    lane.def.deliver(job);
    // A deliver function that returned without a verdict: the entry is tried again.
    if (!job.finished()) job.give_back();
    if (job.was_cut()) count_cut(1);
}

void DeliveryEngine::count_cut(int n) {
    std::lock_guard<std::mutex> lock(mu_);
    cut_ += n;
}

void DeliveryEngine::run_batch(Lane& lane, std::vector<queue_entry> entries) {
    std::vector<std::unique_ptr<DeliveryJob>> jobs;
    for (auto& e : entries) {
        auto job = std::make_unique<DeliveryJob>(store_, std::move(e), &stop_flag_);
        if (!expired(lane, *job)) jobs.push_back(std::move(job));
    }
    if (jobs.empty()) return;
    lane.def.deliver_batch(jobs);
    int cut = 0;
    for (auto& job : jobs) {
        if (!job->finished()) job->give_back();
        if (job->was_cut()) ++cut;
    }
    if (cut > 0) count_cut(cut);
}

// The next entry for a worker of a lane that sends one at a time: one waiting in the lane,
// else up to the lane's number of workers claimed in one call, the rest left in the lane
// with as many idle workers woken for them.
std::optional<queue_entry> DeliveryEngine::claim_one(Lane& lane, std::int64_t now) {
    {
        std::lock_guard<std::mutex> lock(mu_);
        if (!lane.ahead.empty()) {
            queue_entry e = std::move(lane.ahead.front());
            lane.ahead.pop_front();
            return e;
        }
    }
    std::vector<queue_entry> got =
        store_.claim_many(lane.def.kind, now, static_cast<std::size_t>(lane.def.workers));
    if (got.empty()) return std::nullopt;
    std::vector<queue_entry> back;
    std::size_t tell = 0;
    {
        std::lock_guard<std::mutex> lock(mu_);
        for (std::size_t i = 1; i < got.size(); ++i) {
            // Once stopping, nobody takes them from the lane: they go back at once.
            if (stopping_)
                back.push_back(std::move(got[i]));
            else
                lane.ahead.push_back(std::move(got[i]));
        }
        if (!lane.ahead.empty()) {
            // A worker between its look and its wait (one whose claim found nothing beside
            // this one) sees the count change and looks again.
            ++lane.wakes;
            tell = std::min(lane.ahead.size(), static_cast<std::size_t>(lane.idle));
        }
    }
    for (std::size_t i = 0; i < tell; ++i) lane.cv.notify_one();
    for (const queue_entry& e : back) store_.release(e.id, std::string(), 0);
    return std::move(got.front());
}

void DeliveryEngine::work(Lane& lane) {
    std::unique_lock<std::mutex> lock(mu_);
    while (!stopping_) {
        std::uint64_t seen = lane.wakes;
        lock.unlock();
        bool up = !lane.def.up || lane.def.up();
        std::optional<queue_entry> e;
        std::optional<std::int64_t> next;
        std::int64_t now = delivery_now_ms();
        std::vector<queue_entry> more_claimed;
        const bool batching = lane.def.batch > 1 && lane.def.deliver_batch;
        // A down transport sends nothing: what waits in the lane goes back for others.
        if (!up) give_back_ahead(&lane);
        if (up) {
            if (batching) {
                more_claimed =
                    store_.claim_many(lane.def.kind, now, static_cast<std::size_t>(lane.def.batch));
                if (!more_claimed.empty()) {
                    e = std::move(more_claimed.front());
                    more_claimed.erase(more_claimed.begin());
                }
            } else {
                e = claim_one(lane, now);
            }
            if (!e) next = store_.next_ready(lane.def.kind, now);
        }
        lock.lock();
        if (e && batching && lane.idle > 0 && !stopping_) {
            // More may be ready than the one wake-up that brought this worker: it is passed
            // on to one more sleeping worker of the lane while entries are left to claim.
            lock.unlock();
            std::optional<std::int64_t> more = store_.next_ready(lane.def.kind, now);
            bool pass_on = more && *more <= now;
            lock.lock();
            if (pass_on) {
                ++lane.wakes;
                lane.cv.notify_one();
            }
        }
        if (e) {
            if (stopping_) {
                lock.unlock();
                store_.release(e->id, std::string(), 0);
                for (const auto& m : more_claimed) store_.release(m.id, std::string(), 0);
                lock.lock();
                break;
            }
            ++busy_;
            lock.unlock();
            if (more_claimed.empty() || !lane.def.deliver_batch) {
                run_one(lane, std::move(*e));
            } else {
                more_claimed.insert(more_claimed.begin(), std::move(*e));
                run_batch(lane, std::move(more_claimed));
            }
            lock.lock();
            --busy_;
            if (stopping_) idle_cv_.notify_all();  // stop() waits for busy_ to fall
            continue;
        }
        auto woken = [&] { return stopping_ || lane.wakes != seen; };
        ++lane.idle;
        if (!up && lane.def.up_told) {
            lane.cv.wait(lock, woken);  // its state change wakes the lane
        } else if (!up) {
            // This transport says nothing when it comes back: look again in a while.
            lane.cv.wait_for(lock, std::chrono::milliseconds(DELIVERY_DOWN_RECHECK_MS), woken);
        } else if (next) {
            lane.cv.wait_for(lock, std::chrono::milliseconds(*next - now), woken);
        } else {
            lane.cv.wait(lock, woken);
        }
        --lane.idle;
        ++wakeups_;
    }
}

}  // namespace tolvane
