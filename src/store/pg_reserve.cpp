// Rate-limit reservations gathered into batches (see pg_reserve.h).
#include "store/pg_reserve.h"

#include <algorithm>
#include <cstdlib>
#include <numeric>

namespace tolvane {

namespace {

constexpr const char* kReserveSql =
    "SELECT tv_reserve_credit($1::bytea[], $2::integer[], $3::bytea[], $4::integer[],"
    " $5::integer[], $6::integer[], $7::bigint[], $8::integer[], $9::integer[], $10::integer)";

// Reads the function's bigint[] result ("{1,0,7,...}": three numbers for each of n).
bool parse_grants(const std::string& text, std::size_t n, std::vector<PgGrant>& out) {
    out.assign(n, PgGrant{});
    if (text.size() < 2 || text.front() != '{' || text.back() != '}') return false;
    std::vector<std::int64_t> nums;
    const char* p = text.c_str() + 1;
    const char* end = text.c_str() + text.size() - 1;
    while (p < end) {
        char* stop = nullptr;
        nums.push_back(std::strtoll(p, &stop, 10));
        if (stop == p || (stop < end && *stop != ',')) return false;
        p = stop + 1;
    }
    if (nums.size() != 3 * n) return false;
    for (std::size_t i = 0; i < n; ++i) {
        const std::int64_t st = nums[3 * i];
        out[i].held = st == 1 ? 1 : 0;
        out[i].wait_ms = st < 0 ? static_cast<int>(std::min<std::int64_t>(-st, 60000)) : 0;
        out[i].extra = static_cast<int>(std::max<std::int64_t>(nums[3 * i + 1], 0));
        out[i].epoch = nums[3 * i + 2];
    }
    return true;
}

}  // namespace

Result<std::vector<int>> pg_reserve_batch(PgConn& conn,
                                          const std::vector<const PgReservation*>& list,
                                          const std::vector<std::int64_t>& nows) {
    Result<std::vector<PgGrant>> grants = pg_reserve_grants(conn, list, nows, 0);
    if (!grants) return grants.error();
    std::vector<int> held;
    for (const PgGrant& g : *grants) held.push_back(g.held);
    return held;
}

Result<std::vector<PgGrant>> pg_reserve_grants(PgConn& conn,
                                               const std::vector<const PgReservation*>& list,
                                               const std::vector<std::int64_t>& nows,
                                               int hold_ms) {
    std::vector<PgGrant> grants(list.size());
    if (list.empty()) return grants;
    // The lock order: limit, kind, key; equal ones keep their order of arrival.
    std::vector<std::size_t> order(list.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        const PgReservation& x = *list[a];
        const PgReservation& y = *list[b];
        if (int c = x.name.compare(y.name); c != 0) return c < 0;
        if (x.kind != y.kind) return x.kind < y.kind;
        return x.key < y.key;
    });
    std::vector<const std::string*> names, keys;
    std::vector<std::int64_t> kinds, units, limits, hours, when, checks, wants;
    for (std::size_t i : order) {
        const PgReservation& r = *list[i];
        names.push_back(&r.name);
        keys.push_back(&r.key);
        kinds.push_back(r.kind);
        units.push_back(r.units);
        limits.push_back(r.limit);
        hours.push_back(r.hours);
        when.push_back(i < nows.size() ? nows[i] : 0);
        checks.push_back(r.check ? 1 : 0);
        wants.push_back(std::max(r.want, 0));
    }
    Result<PgResult> answered = conn.exec(
        kReserveSql,
        {pg_text(pg_bytea_array(names)), pg_text(pg_int_array(kinds)), pg_text(pg_bytea_array(keys)),
         pg_text(pg_int_array(units)), pg_text(pg_int_array(limits)), pg_text(pg_int_array(hours)),
         pg_text(pg_int_array(when)), pg_text(pg_int_array(checks)), pg_text(pg_int_array(wants)),
         pg_int(std::max(hold_ms, 0))});
    if (!answered) return answered.error();
    const PgResult& res = *answered;
    std::vector<PgGrant> sorted;
    if (res.rows() != 1 || !parse_grants(res.text(0, 0), list.size(), sorted))
        return Error{0, "tv_reserve_credit answered " +
                            (res.rows() == 1 ? res.text(0, 0) : std::string("nothing"))};
    for (std::size_t j = 0; j < order.size(); ++j) grants[order[j]] = sorted[j];
    return grants;
}

PgReserveBatcher::PgReserveBatcher(const std::string& dsn, std::size_t links, std::size_t max_batch,
                                   int hold_ms)
    : max_batch_(std::max<std::size_t>(max_batch, 1)), hold_ms_(hold_ms) {
    links = std::max<std::size_t>(links, 1);
    // Each named apart: each logs its own loss and return once. Their commits need not
    // wait for the disk: the mail's enqueue, which waits, comes after them.
    for (std::size_t i = 0; i < links; ++i)
        links_.push_back(std::make_unique<PgLink>(
            dsn, i == 0 ? "rate limits" : "rate limits " + std::to_string(i + 1), true));
    for (auto& l : links_) idle_.push_back(l.get());
}

Result<bool> PgReserveBatcher::reserve(const PgReservation& r, std::int64_t now) {
    Result<PgGrant> g = grant(r, now);
    if (!g) return g.error();
    return g->held == 1;
}

Result<PgGrant> PgReserveBatcher::grant(const PgReservation& r, std::int64_t now) {
    Waiter self;
    self.r = &r;
    self.now = now;
    std::unique_lock<std::mutex> lock(m_);
    queue_.push_back(&self);
    while (!self.done) {
        if (idle_.empty() || queue_.empty()) {
            self.cv.wait(lock);
            continue;
        }
        // A connection is free: this caller sends what waits, its own reservation first
        // when it is still waiting (it may have been taken already by another batch).
        PgLink* link = idle_.back();
        idle_.pop_back();
        std::vector<Waiter*> batch;
        while (!queue_.empty() && batch.size() < max_batch_) {
            batch.push_back(queue_.front());
            queue_.pop_front();
        }
        ++batches_;
        reserved_ += batch.size();
        // Another connection free and more waiting: let the next waiter send those.
        if (!idle_.empty() && !queue_.empty()) queue_.front()->cv.notify_one();
        lock.unlock();
        run(*link, batch);
        lock.lock();
        idle_.push_back(link);
        // Every answer is in before any waiter can leave (they need the lock to).
        for (Waiter* w : batch) {
            w->done = true;
            if (w != &self) w->cv.notify_one();
        }
        if (!queue_.empty()) queue_.front()->cv.notify_one();
    }
    if (!self.why.empty()) return Error{0, self.why};
    return self.answer;
}

void PgReserveBatcher::run(PgLink& link, const std::vector<Waiter*>& batch) {
    std::vector<const PgReservation*> list;
    std::vector<std::int64_t> nows;
    for (Waiter* w : batch) {
        list.push_back(w->r);
        nows.push_back(w->now);
    }
    std::vector<PgGrant> grants;
    const PgLink::Work work = [&](PgConn& c) -> Status {
        Result<std::vector<PgGrant>> answer = pg_reserve_grants(c, list, nows, hold_ms_);
        if (!answer) return answer.error();
        grants = std::move(*answer);
        return {};
    };
    const bool was_up = link.up();
    Status done = link.run(work);
    // A connection that broke while idle (a server restart) fails the call without a
    // count: one more try on a fresh connection spares the batch's mails a reservation
    // let through uncounted. Had the server committed the call before the connection
    // broke, the retry counts twice, which holds a unit too many and never passes a limit.
    if (!done && was_up && !link.up()) done = link.run(work);
    const std::string why = done.reason();
    for (std::size_t i = 0; i < batch.size(); ++i) {
        if (done) {
            batch[i]->answer = grants[i];
        } else {
            batch[i]->why = why.empty() ? std::string("the store did not answer") : why;
        }
    }
}

std::uint64_t PgReserveBatcher::batches() const {
    std::lock_guard<std::mutex> lock(m_);
    return batches_;
}

std::size_t PgReserveBatcher::waiting() const {
    std::lock_guard<std::mutex> lock(m_);
    return queue_.size();
}

std::uint64_t PgReserveBatcher::reservations() const {
    std::lock_guard<std::mutex> lock(m_);
    return reserved_;
}

}  // namespace tolvane
