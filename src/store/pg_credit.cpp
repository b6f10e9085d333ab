// Rate-limit reservations with units taken in advance (see pg_credit.h).
#include "store/pg_credit.h"

#include <algorithm>

#include "foundation/log.h"

namespace tolvane {

namespace {

constexpr const char* kReturnSql =
    "SELECT tv_return_credit($1::bytea[], $2::integer[], $3::bytea[], $4::bigint[],"
    " $5::integer[], $6::integer[])";

// A refusal that waits for another gateway's units asks again at most this often.
constexpr int kWaitRounds = 4;

}  // namespace

PgCredits::PgCredits(const std::string& dsn, std::chrono::milliseconds life, std::size_t links)
    : life_(std::max(life, std::chrono::milliseconds(1))),
      batcher_(dsn, links, 64, static_cast<int>(2 * life_.count())),
      link_(dsn, "rate limit credit", true) {
    thread_ = std::thread([this] { run(); });
}

PgCredits::~PgCredits() {
    {
        std::lock_guard<std::mutex> lock(m_);
        stop_ = true;
    }
    wake_.notify_all();
    thread_.join();
    if (!give_back_all())
        emsg("Rate-limit units held in advance not given back at the end: they stay counted");
}

Result<bool> PgCredits::reserve(const PgReservation& r, std::int64_t now) {
    const Key k{r.name, r.kind, r.key};
    std::unique_lock<std::mutex> lock(m_);
    for (int round = 0;; ++round) {
        Credit& c = credit_[k];
        const Clock::time_point t = Clock::now();
        if (c.granted > 0 && t >= c.until) retire_locked(k, c);
        if (c.units > 0 && r.units <= c.units) {
            c.units -= r.units;
            c.used += r.units;
            c.seen = t;
            ++local_;
            return true;
        }
        // Units are flowing for this key and a call that asks for more is out: its answer
        // is likely to serve this one too.
        if (c.asking > 0 && c.last_extra > 0) {
            changed_.wait(lock);
            continue;
        }
        PgReservation q = r;
        const bool warm = c.seen != Clock::time_point{} && t - c.seen < life_;
        q.want = warm ? std::clamp(2 * (c.used + std::max(r.units, 1)), 2, kMaxWant) : 0;
        c.seen = t;
        ++c.asking;
        ++asked_;
        lock.unlock();
        const Clock::time_point sent = Clock::now();
        Result<PgGrant> g = batcher_.grant(q, now);
        lock.lock();
        Credit& d = credit_[k];  // still there: an entry being asked for is never dropped
        --d.asking;
        changed_.notify_all();
        if (!g) return g.error();
        if (g->wait_ms > 0 && round + 1 < kWaitRounds) {
            ++waits_;
            const auto pause = std::min<std::chrono::milliseconds>(
                std::chrono::milliseconds(g->wait_ms) + std::chrono::milliseconds(10),
                2 * life_ + std::chrono::milliseconds(100));
            lock.unlock();
            std::this_thread::sleep_for(pause);
            lock.lock();
            continue;
        }
        if (g->held != 1) return false;
        d.last_extra = g->extra;
        if (g->extra > 0) {
            if (d.granted > 0 && (d.epoch != g->epoch || Clock::now() >= d.until))
                retire_locked(k, d);
            const Clock::time_point until = sent + life_;
            d.until = d.granted > 0 ? std::min(d.until, until) : until;
            d.units += g->extra;
            d.granted += g->extra;
            d.epoch = g->epoch;
            d.used = 0;
        }
        return true;
    }
}

void PgCredits::retire_locked(const Key& k, Credit& c) {
    if (c.granted <= 0) return;
    Return& due = due_[{k, c.epoch}];
    due.unused += c.units;
    due.granted += c.granted;
    c.units = 0;
    c.granted = 0;
}

bool PgCredits::give_back(bool all) {
    std::lock_guard<std::mutex> one(give_m_);
    std::map<std::pair<Key, std::int64_t>, Return> batch;
    {
        std::lock_guard<std::mutex> lock(m_);
        const Clock::time_point t = Clock::now();
        for (auto it = credit_.begin(); it != credit_.end();) {
            Credit& c = it->second;
            if (c.granted > 0 && (all || t >= c.until)) retire_locked(it->first, c);
            if (c.granted == 0 && c.asking == 0 && t - c.seen > 2 * life_) {
                it = credit_.erase(it);
            } else {
                ++it;
            }
        }
        batch.swap(due_);
    }
    if (batch.empty()) return true;
    // In the order of the map: limit, kind, key, as reservations take their rows.
    std::vector<const std::string*> names, keys;
    std::vector<std::int64_t> kinds, epochs, unused, granted;
    for (const auto& [at, ret] : batch) {
        names.push_back(&std::get<0>(at.first));
        kinds.push_back(std::get<1>(at.first));
        keys.push_back(&std::get<2>(at.first));
        epochs.push_back(at.second);
        unused.push_back(ret.unused);
        granted.push_back(ret.granted);
    }
    Status s = link_.run([&](PgConn& conn) {
        return conn.exec_only(kReturnSql, {pg_text(pg_bytea_array(names)),
                                           pg_text(pg_int_array(kinds)),
                                           pg_text(pg_bytea_array(keys)),
                                           pg_text(pg_int_array(epochs)),
                                           pg_text(pg_int_array(unused)),
                                           pg_text(pg_int_array(granted))});
    });
    if (s) return true;
    std::lock_guard<std::mutex> lock(m_);
    if (due_.size() + batch.size() > kMaxPending) {
        emsg("Rate-limit units held in advance for %zu keys not given back: %s; they stay"
             " counted",
             batch.size(), s.error().reason.c_str());
        return false;
    }
    for (const auto& [at, ret] : batch) {
        Return& due = due_[at];
        due.unused += ret.unused;
        due.granted += ret.granted;
    }
    return false;
}

bool PgCredits::give_back_all() {
    return give_back(true);
}

void PgCredits::run() {
    std::unique_lock<std::mutex> lock(m_);
    while (!stop_) {
        wake_.wait_for(lock, life_ / 4);
        if (stop_) break;
        lock.unlock();
        give_back(false);
        lock.lock();
    }
}

std::uint64_t PgCredits::asked() const {
    std::lock_guard<std::mutex> lock(m_);
    return asked_;
}

std::uint64_t PgCredits::local() const {
    std::lock_guard<std::mutex> lock(m_);
    return local_;
}

std::uint64_t PgCredits::waits() const {
    std::lock_guard<std::mutex> lock(m_);
    return waits_;
}

}  // namespace tolvane
