// Grouped commits for the PostgreSQL queue (see queue_pg_group.h).
#include "queue/queue_pg_group.h"

#include <algorithm>
#include <chrono>
#include <set>
#include <thread>

#include "foundation/log.h"

namespace tolvane {

namespace {

// The statements of a group as they go to the server. A run of statements that have a
// merged form, with none between them that has not, goes as one statement per form (in
// the order each form first came: the rows of one form keep their order). at[i] says
// where statement i went in out; merged[i] that it went with others (its result is not
// read).
void merge_runs(const std::vector<const PgStmt*>& in, std::vector<PgStmt>& out,
                std::vector<std::size_t>& at, std::vector<char>& merged) {
    at.assign(in.size(), 0);
    merged.assign(in.size(), 0);
    std::vector<std::vector<std::size_t>> run;  // the run's statements by form
    auto flush = [&] {
        for (const std::vector<std::size_t>& form : run) {
            const PgStmt& first = *in[form.front()];
            if (form.size() == 1) {
                at[form.front()] = out.size();
                out.push_back(first);
                continue;
            }
            PgStmt m{first.merged, {}, {}};
            for (std::size_t p = 0; p < first.params.size(); ++p) {
                std::vector<const PgParam*> column;
                for (std::size_t i : form) column.push_back(&in[i]->params[p]);
                m.params.push_back(pg_text(pg_array(column)));
            }
            for (std::size_t i : form) {
                at[i] = out.size();
                merged[i] = 1;
            }
            out.push_back(std::move(m));
        }
        run.clear();
    };
    for (std::size_t i = 0; i < in.size(); ++i) {
        const PgStmt& st = *in[i];
        if (st.merged.empty()) {
            flush();
            at[i] = out.size();
            out.push_back(st);
            continue;
        }
        auto form = std::find_if(run.begin(), run.end(), [&](const auto& f) {
            const PgStmt& other = *in[f.front()];
            return other.merged == st.merged && other.params.size() == st.params.size();
        });
        if (form == run.end()) {
            run.push_back({i});
        } else {
            form->push_back(i);
        }
    }
    flush();
}

}  // namespace

void PgGroup::start() {
    flusher_ = std::jthread([this](std::stop_token stop) {
        // A stop marks the group closing and wakes the loop.
        std::stop_callback closing(stop, [this] { mark_closing(); });
        flush_loop();
    });
}

void PgGroup::mark_closing() {
    {
        std::lock_guard<std::mutex> lock(m_);
        closing_ = true;
    }
    flush_.notify_all();
}

void PgGroup::close() {
    if (!flusher_.joinable()) {
        mark_closing();
        return;
    }
    flusher_.request_stop();
    flusher_.join();
}

Status PgGroup::read(const PgLink::Work& work) {
    auto job = std::make_shared<PgJob>();
    job->work = work;
    job->reads = true;
    return submit(job);
}

std::size_t PgGroup::waiting() {
    std::lock_guard<std::mutex> lock(m_);
    return pending_.size();
}

bool PgGroup::idle() {
    std::lock_guard<std::mutex> lock(m_);
    return pending_.empty() && !leading_;
}

Status PgGroup::submit(const std::shared_ptr<PgJob>& job) {
    std::condition_variable mine;
    std::unique_lock<std::mutex> lock(m_);
    job->waiter = &mine;
    pending_.push_back(job);
    while (!job->done) {
        if (!leading_)
            lead(lock);
        else
            mine.wait(lock);
    }
    job->waiter = nullptr;
    if (!job->ok) return Error{0, job->why};
    return {};
}

void PgGroup::submit_later(const std::shared_ptr<PgJob>& job) {
    {
        std::lock_guard<std::mutex> lock(m_);
        pending_.push_back(job);
        if (leading_) return;  // the leader's end wakes whoever goes next
    }
    flush_.notify_one();
}

// Under m_: the job is over; its caller, if one waits, hears of it.
void PgGroup::finish(const std::shared_ptr<PgJob>& job) {
    job->done = true;
    if (job->counter != nullptr) --*job->counter;
    if (job->waiter != nullptr) job->waiter->notify_one();
}

// Under m_, with no group running: the first caller waiting in submit() leads the next
// group; when only jobs nobody waits for are left (or the group closes), the flusher does.
void PgGroup::wake_next() {
    if (pending_.empty() && !closing_) return;
    for (const auto& j : pending_)
        if (j->waiter != nullptr) {
            j->waiter->notify_one();
            if (!closing_) return;
            break;
        }
    flush_.notify_one();
}

void PgGroup::lead(std::unique_lock<std::mutex>& lock) {
    leading_ = true;
    bool durable_waiting = std::any_of(pending_.begin(), pending_.end(),
                                       [](const auto& j) { return j->durable && !j->reads; });
    if (durable_waiting && gather_us_ > 0 &&
        std::chrono::steady_clock::now() - last_durable_end_ < std::chrono::milliseconds(2)) {
        // Commits run back to back: the callers about to come share this one.
        lock.unlock();
        std::this_thread::sleep_for(std::chrono::microseconds(gather_us_));
        lock.lock();
    }
    std::vector<std::shared_ptr<PgJob>> batch(pending_.begin(), pending_.end());
    pending_.clear();
    lock.unlock();
    if (before_group_) before_group_();

    Status all = run_jobs(batch);
    if (all) {
        for (const auto& j : batch) j->ok = true;
    } else if (batch.size() > 1 && link_.up()) {
        // The database is there: one statement failed. It must not take the others with it.
        for (const auto& j : batch) {
            Status alone = run_jobs({j});
            j->ok = alone.ok();
            if (!alone) j->why = alone.error().reason;
        }
    } else {
        for (const auto& j : batch) j->why = all.error().reason;
    }
    std::set<int> announced;
    for (const auto& j : batch) {
        if (j->ok && j->after) j->after();
        if (j->ok) announced.insert(j->notify.begin(), j->notify.end());
    }
    if (committed_)
        for (int k : announced) committed_(k);

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
            finish(j);
        }
    }
    last_failed_ = any_kept;
    leading_ = false;
    wake_next();
}

Status PgGroup::run_jobs(const std::vector<std::shared_ptr<PgJob>>& jobs) {
    bool durable = std::any_of(jobs.begin(), jobs.end(),
                               [](const auto& j) { return j->durable && !j->reads; });
    bool piped = std::none_of(jobs.begin(), jobs.end(), [](const auto& j) { return !!j->work; });
    Status done;
    if (piped) {
        std::vector<PgStmt> all;
        all.push_back({"BEGIN", {}});
        if (!durable) all.push_back({"SET LOCAL synchronous_commit TO off", {}});
        std::set<int> kinds;
        std::vector<const PgStmt*> each;
        for (const auto& j : jobs) {
            for (const PgStmt& st : j->stmts) each.push_back(&st);
            kinds.insert(j->notify.begin(), j->notify.end());
        }
        std::vector<std::size_t> at;
        std::vector<char> merged;
        merge_runs(each, all, at, merged);
        for (int k : kinds)
            all.push_back({"SELECT pg_notify($1, $2)", {pg_text(channel_), pg_int(k)}});
        all.push_back({"COMMIT", {}});
        std::vector<PgResult> results;
        bool begun = false;
        PgLink::Work body = [&](PgConn& c) -> Status {
            auto sent = c.pipeline(all);
            if (sent) {
                results = std::move(*sent);
                return {};
            }
            // Results before the failure: BEGIN at least ran on the server.
            begun = !sent.error().before.empty();
            if (c.healthy()) (void)c.script("ROLLBACK");
            return Error{sent.error().code, sent.error().reason};
        };
        bool was_up = link_.up();
        done = link_.run(body);
        // A connection that broke while idle (a server restart) fails before BEGIN did
        // anything: one more try on a fresh connection is safe then.
        if (!done && !begun && was_up && !link_.up()) done = link_.run(body);
        if (done) {
            std::size_t n = 0;
            for (const auto& j : jobs) {
                std::vector<PgResult> mine;
                for (std::size_t i = 0; i < j->stmts.size(); ++i, ++n)
                    mine.push_back(merged[n] ? PgResult() : std::move(results[at[n]]));
                if (j->take) j->take(mine);
            }
        }
    } else {
        done = link_.transaction([&](PgConn& c) -> Status {
            if (!durable)
                if (Status s = c.script("SET LOCAL synchronous_commit TO off"); !s) return s;
            for (const auto& j : jobs) {
                if (j->work) {
                    if (Status s = j->work(c); !s) return s;
                    continue;
                }
                std::vector<PgResult> mine;
                for (const PgStmt& st : j->stmts) {
                    Result<PgResult> r = c.exec(st.sql, st.params);
                    if (!r) return r.error();
                    mine.push_back(std::move(*r));
                }
                for (int k : j->notify)
                    if (Status s =
                            c.exec_only("SELECT pg_notify($1, $2)", {pg_text(channel_), pg_int(k)});
                        !s)
                        return s;
                if (j->take) j->take(mine);
            }
            return {};
        });
    }
    if (done && durable) commits_.fetch_add(1);
    if (durable) {
        std::lock_guard<std::mutex> lock(m_);
        last_durable_end_ = std::chrono::steady_clock::now();
    }
    return done;
}

void PgGroup::flush_loop() {
    std::unique_lock<std::mutex> lock(m_);
    for (;;) {
        if (closing_) {
            // One last try for what is still pending, then report what is lost.
            if (!pending_.empty() && !leading_) lead(lock);
            if (leading_) {
                flush_.wait(lock);
                continue;
            }
            std::size_t lost = dropped_;
            for (const auto& j : pending_)
                if (!j->done) {
                    j->why = "the queue is closing";
                    finish(j);
                    ++lost;
                }
            pending_.clear();
            if (lost > 0)
                emsg(
                    "Queue: %zu outcomes could not be written to the database at shutdown; "
                    "those entries will be sent again",
                    lost);
            return;
        }
        if (pending_.empty() || leading_) {
            flush_.wait(lock);
            continue;
        }
        if (last_failed_) {
            // The database is away: try again in a while, not in a loop.
            last_failed_ = false;
            flush_.wait_for(lock, std::chrono::milliseconds(PG_RETRY_MS), [this] { return closing_; });
            continue;
        }
        // Nobody waits for these jobs: a caller's group may well come within a few
        // milliseconds and take them along, saving a transaction of their own.
        flush_.wait_for(lock, std::chrono::milliseconds(LATER_LINGER_MS),
                        [this] { return closing_ || pending_.empty(); });
        if (closing_ || pending_.empty() || leading_) continue;
        lead(lock);
    }
}

}  // namespace tolvane
