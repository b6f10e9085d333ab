// The local queue journal's store operations: enqueue, claim, attempt, complete, release
// and the listings (the store object: queue_file_impl.h; its segments and replay:
// queue_file_segments.cpp).
#include <chrono>

#include "foundation/kind.h"
#include "foundation/lib.h"
#include "queue/queue_file_impl.h"

namespace tolvane {

namespace {

std::int64_t wall_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace

void FileQueue::make_ready(const Item& it) {
    Ready& r = ready_[it.e.kind];
    if (it.e.not_before_ms > 0)
        r.later.emplace(it.e.not_before_ms, it.e.id);
    else
        r.now.insert(it.e.id);
}

void FileQueue::forget(std::map<std::uint64_t, Item>::iterator it) {
    auto s = segments_.find(it->second.seg);
    if (s != segments_.end() && s->second->live > 0) --s->second->live;
    if (!it->second.claimed) {
        Ready& r = ready_[it->second.e.kind];
        r.now.erase(it->first);
        r.later.erase({it->second.e.not_before_ms, it->first});
    }
    items_.erase(it);
}

Status FileQueue::enqueue(std::vector<queue_entry>& batch) {
    if (batch.empty()) return {};
    if (opt_.read_only) return Error{0, "the queue is open for reading only"};
    std::int64_t now = wall_ms();
    std::unique_lock<std::mutex> lock(m_);
    journal_record rec;
    rec.type = JOURNAL_ENQUEUED;
    for (queue_entry& e : batch) {
        e.id = next_id_++;
        if (e.enqueued_ms == 0) e.enqueued_ms = now;
        e.mark_first_attempt = e.mark_first_attempt && e.attempts == 0;
    }
    rec.entries = batch;
    for (queue_entry& e : rec.entries)
        if (e.mark_first_attempt) e.attempts = 1;
    append(rec);
    for (const queue_entry& e : batch) pending_items_.push_back(e);
    // The flusher makes the entries ready and tells the workers once they are on disk.
    return wait_durable(lock);
}

std::optional<queue_entry> FileQueue::claim(int kind, std::int64_t now_ms) {
    std::lock_guard<std::mutex> lock(m_);
    Ready& r = ready_[kind];
    while (!r.later.empty() && r.later.begin()->first <= now_ms) {
        r.now.insert(r.later.begin()->second);
        r.later.erase(r.later.begin());
    }
    if (r.now.empty()) return std::nullopt;
    std::uint64_t id = *r.now.begin();
    r.now.erase(r.now.begin());
    Item& it = items_.at(id);
    it.claimed = true;
    return it.e;
}

std::optional<std::int64_t> FileQueue::next_ready(int kind, std::int64_t now_ms) {
    std::lock_guard<std::mutex> lock(m_);
    Ready& r = ready_[kind];
    if (!r.now.empty()) return now_ms;
    if (r.later.empty()) return std::nullopt;
    return r.later.begin()->first;
}

Result<FileQueue::Item*> FileQueue::writable(std::uint64_t id) {
    if (opt_.read_only) return Error{0, "the queue is open for reading only"};
    auto it = items_.find(id);
    if (it == items_.end())
        return Error{0, strprintf("no queue entry %llu", static_cast<unsigned long long>(id))};
    return &it->second;
}

Status FileQueue::attempt(std::uint64_t id) {
    return attempt_many({id});
}

Status FileQueue::attempt_many(const std::vector<std::uint64_t>& ids) {
    std::unique_lock<std::mutex> lock(m_);
    for (std::uint64_t id : ids)
        if (Result<Item*> w = writable(id); !w) return w.error();
    std::vector<std::uint32_t> counted;
    bool written = false;
    // Counted in memory at once: only the claiming worker writes records for these entries
    // until it finishes or releases them, and a failed write ends in a release.
    for (std::uint64_t id : ids) {
        Item& item = items_.find(id)->second;
        item.attempted = true;
        if (item.attempt_marked) {
            // On disk since the entry was stored.
            item.attempt_marked = false;
            item.e.attempts += 1;
            counted.push_back(0);
            continue;
        }
        written = true;
        journal_record rec;
        rec.type = JOURNAL_ATTEMPT;
        rec.id = id;
        rec.attempts = item.e.attempts + 1;
        rec.error = item.e.last_error;
        append(rec);
        item.e.attempts = rec.attempts;
        counted.push_back(rec.attempts);
    }
    if (!written) return {};
    Status flushed = wait_durable(lock);
    if (flushed) return flushed;
    // Not on disk, so none is counted (an attempt marked with its entry stays counted).
    std::lock_guard<std::mutex> relock(m_);
    for (std::size_t i = 0; i < ids.size(); ++i) {
        auto it = items_.find(ids[i]);
        if (it == items_.end()) continue;
        it->second.attempted = false;
        if (counted[i] != 0 && it->second.e.attempts == counted[i])
            it->second.e.attempts = counted[i] - 1;
    }
    return flushed;
}

Status FileQueue::complete(std::uint64_t id, bool delivered, const std::string& error) {
    std::unique_lock<std::mutex> lock(m_);
    if (Result<Item*> w = writable(id); !w) return w.error();
    auto it = items_.find(id);
    journal_record rec;
    rec.type = JOURNAL_DONE;
    rec.id = id;
    rec.delivered = delivered;
    rec.error = error;
    append(rec);
    forget(it);
    // In the file before the caller goes on (a killed process then never sends it again);
    // the flush to disk is not waited for: it comes with the next attempt's or within
    // moments.
    return wait_written(lock);
}

void FileQueue::release(std::uint64_t id, const std::string& error, std::int64_t not_before_ms) {
    if (opt_.read_only) return;
    std::unique_lock<std::mutex> lock(m_);
    auto it = items_.find(id);
    if (it == items_.end() || !it->second.claimed) return;
    Item& item = it->second;
    item.claimed = false;
    item.attempted = false;
    item.e.not_before_ms = not_before_ms;
    if (!error.empty()) {
        item.e.last_error = error;
        // This record carries the count from here on, without the mark.
        item.attempt_marked = false;
        journal_record rec;
        rec.type = JOURNAL_ATTEMPT;
        rec.id = id;
        rec.attempts = item.e.attempts;
        rec.not_before_ms = not_before_ms;
        rec.error = error;
        append(rec);
    }
    make_ready(item);
    if (notify_) notify_(item.e.kind);
    if (!error.empty()) wake_flusher();
}

void FileQueue::release_cut(std::uint64_t id) {
    if (opt_.read_only) return;
    std::unique_lock<std::mutex> lock(m_);
    auto it = items_.find(id);
    if (it == items_.end() || !it->second.claimed) return;
    Item& item = it->second;
    item.claimed = false;
    item.e.not_before_ms = 0;
    const bool counted = item.attempted && item.e.attempts > 0;
    item.attempted = false;
    if (counted) {
        // The count from before the send, also when the entry's own record carried it.
        item.e.attempts -= 1;
        item.attempt_marked = false;
        journal_record rec;
        rec.type = JOURNAL_ATTEMPT;
        rec.id = id;
        rec.attempts = item.e.attempts;
        rec.error = item.e.last_error;
        append(rec);
    }
    make_ready(item);
    if (notify_) notify_(item.e.kind);
    if (counted) wake_flusher();
}

std::size_t FileQueue::retry_now(int kind) {
    std::size_t n = 0;
    {
        std::lock_guard<std::mutex> lock(m_);
        Ready& r = ready_[kind];
        for (const auto& [when, id] : r.later) {
            items_.at(id).e.not_before_ms = 0;
            r.now.insert(id);
            ++n;
        }
        r.later.clear();
    }
    return n;
}

std::vector<queue_entry> FileQueue::list(int kind) {
    std::lock_guard<std::mutex> lock(m_);
    std::vector<queue_entry> out;
    for (const auto& [id, it] : items_)
        if (kind == 0 || it.e.kind == kind) out.push_back(it.e);
    return out;
}

queue_stats FileQueue::stats() {
    std::lock_guard<std::mutex> lock(m_);
    queue_stats s;
    s.waiting = items_.size();
    for (const auto& [id, it] : items_)
        if (s.oldest_ms == 0 || it.e.enqueued_ms < s.oldest_ms) s.oldest_ms = it.e.enqueued_ms;
    return s;
}

Result<std::unique_ptr<QueueStore>> queue_file_open(const std::string& dir,
                                                    const queue_file_options& options) {
    auto q = std::make_unique<FileQueue>(dir, options);
    if (Status s = q->open(); !s) return s.error();
    return std::unique_ptr<QueueStore>(std::move(q));
}

std::uint64_t queue_file_syncs(const QueueStore* store) {
    const auto* f = kind_cast<const FileQueue>(store);
    return f != nullptr ? f->syncs() : 0;
}

void queue_file_flush(QueueStore* store) {
    if (auto* f = kind_cast<FileQueue>(store)) f->flush_all();
}

std::size_t queue_file_lost(QueueStore* store) {
    auto* f = kind_cast<FileQueue>(store);
    return f != nullptr ? f->lost_in_damage() : 0;
}

std::size_t queue_file_waiters(QueueStore* store) {
    auto* f = kind_cast<FileQueue>(store);
    return f != nullptr ? f->waiters() : 0;
}

}  // namespace tolvane
