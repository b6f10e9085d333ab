// Grouped commits for the PostgreSQL queue (see queue_pg_group.h).
#include "queue/queue_pg_group.h"

#include <algorithm>
#include <chrono>

#include "foundation/log.h"

namespace tolvane {

void PgGroup::start() {
    flusher_ = std::thread([this] { flush_loop(); });
}

void PgGroup::close() {
    {
        std::lock_guard<std::mutex> lock(m_);
        closing_ = true;
    }
    cv_.notify_all();
    if (flusher_.joinable()) flusher_.join();
}

bool PgGroup::read(const PgLink::Work& work, std::string& why) {
    auto job = std::make_shared<PgJob>();
    job->work = work;
    job->reads = true;
    return submit(job, why);
}

std::size_t PgGroup::waiting() {
    std::lock_guard<std::mutex> lock(m_);
    return pending_.size();
}

bool PgGroup::idle() {
    std::lock_guard<std::mutex> lock(m_);
    return pending_.empty() && !leading_;
}

bool PgGroup::submit(const std::shared_ptr<PgJob>& job, std::string& why) {
    std::unique_lock<std::mutex> lock(m_);
    pending_.push_back(job);
    while (!job->done) {
        if (!leading_)
            lead(lock);
        else
            cv_.wait(lock);
    }
    if (!job->ok) why = job->why;
    return job->ok;
}

void PgGroup::submit_later(const std::shared_ptr<PgJob>& job) {
    {
        std::lock_guard<std::mutex> lock(m_);
        pending_.push_back(job);
    }
    cv_.notify_all();
}

void PgGroup::lead(std::unique_lock<std::mutex>& lock) {
    leading_ = true;
    std::vector<std::shared_ptr<PgJob>> batch(pending_.begin(), pending_.end());
    pending_.clear();
    lock.unlock();
    if (before_group_) before_group_();

    std::string why;
    bool ok = run_jobs(batch, why);
    if (ok) {
        for (const auto& j : batch) j->ok = true;
    } else if (batch.size() > 1 && link_.up()) {
        // The database is there: one statement failed. It must not take the others with it.
        for (const auto& j : batch) j->ok = run_jobs({j}, j->why);
    } else {
        for (const auto& j : batch) j->why = why;
    }
    for (const auto& j : batch)
        if (j->ok && j->after) j->after();

    lock.lock();
    bool any_kept = false;
    for (auto it = batch.rbegin(); it != batch.rend(); ++it) {
        const auto& j = *it;
        if (!j->ok && j->keep && closing_) ++dropped_;
        if (!j->ok && j->keep && !closing_) {
            // An outcome must reach the database: back to the front, in its order.
            pending_.push_front(j);
            any_kept = true;
        } else {
            j->done = true;
            if (j->counter != nullptr) --*j->counter;
        }
    }
    last_failed_ = any_kept;
    leading_ = false;
    cv_.notify_all();
}

bool PgGroup::run_jobs(const std::vector<std::shared_ptr<PgJob>>& jobs, std::string& why) {
    bool durable = std::any_of(jobs.begin(), jobs.end(),
                               [](const auto& j) { return j->durable && !j->reads; });
    bool ok = link_.transaction(
        [&](PgConn& c, std::string& w) {
            if (!durable && !c.script("SET LOCAL synchronous_commit TO off", w)) return false;
            for (const auto& j : jobs)
                if (!j->work(c, w)) return false;
            return true;
        },
        why);
    if (ok && durable) commits_.fetch_add(1);
    return ok;
}

void PgGroup::flush_loop() {
    std::unique_lock<std::mutex> lock(m_);
    for (;;) {
        if (closing_) {
            // One last try for what is still pending, then report what is lost.
            if (!pending_.empty() && !leading_) lead(lock);
            if (leading_) {
                cv_.wait(lock);
                continue;
            }
            std::size_t lost = dropped_;
            for (const auto& j : pending_)
                if (!j->done) {
                    j->done = true;
                    if (j->counter != nullptr) --*j->counter;
                    j->why = "the queue is closing";
                    ++lost;
                }
            pending_.clear();
            cv_.notify_all();
            if (lost > 0)
                emsg(
                    "Queue: %zu outcomes could not be written to the database at shutdown; "
                    "those entries will be sent again",
                    lost);
            return;
        }
        if (pending_.empty() || leading_) {
            cv_.wait(lock);
            continue;
        }
        if (last_failed_) {
            // The database is away: try again in a while, not in a loop.
            last_failed_ = false;
            cv_.wait_for(lock, std::chrono::milliseconds(PG_RETRY_MS), [this] { return closing_; });
            continue;
        }
        lead(lock);
    }
}

}  // namespace tolvane
