// The local queue journal: segment files with group commit (see queue.h, queue_journal.h).
//
// Writers append encoded records to one in-memory batch under the store's lock. The first
// writer to find no flush running becomes the leader: it takes the batch, writes it with one
// pwrite and one fdatasync outside the lock, then publishes the result to every writer of
// that batch; writers arriving meanwhile fill the next batch. So durability costs one flush
// per batch however many writers share it. A failed write is cut off again, so a batch is on
// disk whole or not at all (a crash mid-write leaves a torn tail that start-up cuts).
//
// Segments: records go to the newest segment; once it passes segment_bytes the next flush
// starts a new one. A segment is deleted when it and every older segment hold no entry that
// is not done: a DONE record may sit in a newer segment than its ENQUEUED record, so deleting
// out of order could bring a finished entry back.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "foundation/fileio.h"
#include "foundation/kind.h"
#include "foundation/lib.h"
#include "foundation/log.h"
#include "queue/queue.h"
#include "queue/queue_journal.h"

namespace tolvane {

namespace {

struct Segment {
    std::uint64_t seq = 0;
    std::string path;
    UniqueFd fd;
    std::int64_t size = 0;    // bytes known to be written whole
    bool has_header = false;  // its SEGMENT record is written
    std::size_t live = 0;     // entries enqueued here and not done
    explicit Segment(int f) : fd(f) {}
};

std::string segment_name(std::uint64_t seq) {
    return strprintf("%016llx.jnl", static_cast<unsigned long long>(seq));
}

bool write_all(int fd, const std::string& data, std::int64_t offset, std::string& why) {
    std::size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::pwrite(fd, data.data() + done, data.size() - done,
                             static_cast<off_t>(offset + static_cast<std::int64_t>(done)));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            why = system_error(n < 0 ? errno : ENOSPC);
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool read_whole(int fd, std::string& out) {
    out.clear();
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) return true;
        out.append(buf, static_cast<std::size_t>(n));
    }
}

std::int64_t wall_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

class FileQueue final : public QueueStore {
  public:
    FileQueue(std::string dir, const queue_file_options& o) : dir_(std::move(dir)), opt_(o) {}
    ~FileQueue() override {
        // Records written without waiting (done, released) still reach the disk: the
        // flusher ends only once nothing is pending.
        {
            std::lock_guard<std::mutex> lock(m_);
            closing_ = true;
        }
        work_cv_.notify_all();
        if (flusher_.joinable()) flusher_.join();
    }

    bool open(std::string& why);

    bool enqueue(std::vector<queue_entry>& batch, std::string& why) override;
    std::optional<queue_entry> claim(int kind, std::int64_t now_ms) override;
    std::optional<std::int64_t> next_ready(int kind, std::int64_t now_ms) override;
    bool attempt(std::uint64_t id, std::string& why) override;
    bool complete(std::uint64_t id, bool delivered, const std::string& error,
                  std::string& why) override;
    void release(std::uint64_t id, const std::string& error, std::int64_t not_before_ms) override;
    std::size_t retry_now(int kind) override;
    std::vector<queue_entry> list(int kind) override;
    queue_stats stats() override;
    void set_notify(std::function<void(int kind)> notify) override {
        std::lock_guard<std::mutex> lock(m_);
        notify_ = std::move(notify);
    }

    std::uint64_t syncs() const { return syncs_.load(); }
    void flush_all() {
        std::unique_lock<std::mutex> lock(m_);
        while (!pending_.empty() || flushing_) {
            if (!flushing_)
                lead(lock);
            else
                flushed_cv_.wait(lock);
        }
    }
    std::size_t waiters() {
        std::lock_guard<std::mutex> lock(m_);
        std::size_t n = 0;
        for (const auto& [g, count] : waiting_) n += static_cast<std::size_t>(count);
        return n;
    }

  private:
    struct Item {
        queue_entry e;
        std::uint64_t seg = 0;
        bool claimed = false;
    };
    struct Ready {
        std::set<std::uint64_t> now;                             // by id
        std::set<std::pair<std::int64_t, std::uint64_t>> later;  // by time, then id
    };

    // Appends a record to the batch being filled; its generation is returned.
    std::uint64_t append(const journal_record& rec) {
        journal_encode(rec, pending_);
        return gen_;
    }
    // Waits until generation `g` is on disk (leading a flush when none runs).
    bool wait_durable(std::unique_lock<std::mutex>& lock, std::uint64_t g, std::string& why);
    // Writes and flushes the batch being filled; the lock is released meanwhile.
    void lead(std::unique_lock<std::mutex>& lock);
    void flush_loop();
    // Starts a new segment file (empty, header written by the next flush).
    bool new_segment(std::string& why);
    void drop_finished_segments();
    void make_ready(const Item& it);
    void forget(std::map<std::uint64_t, Item>::iterator it);
    bool replay_segment(const std::string& path, std::uint64_t& max_seq);

    const std::string dir_;
    const queue_file_options opt_;
    UniqueFd dirfd_;

    std::mutex m_;
    std::condition_variable flushed_cv_;
    std::condition_variable work_cv_;  // wakes the flusher
    bool closing_ = false;
    std::thread flusher_;
    std::map<std::uint64_t, std::shared_ptr<Segment>> segments_;  // by sequence number
    std::shared_ptr<Segment> cur_;
    std::map<std::uint64_t, Item> items_;  // every entry not done, by id
    std::map<int, Ready> ready_;           // unclaimed entries per kind
    std::uint64_t next_id_ = 1;
    std::function<void(int)> notify_;

    // Group commit state: generation gen_ is being filled in pending_; generations up to
    // done_gen_ are finished, those in failed_ with the reason they failed.
    std::string pending_;
    std::vector<queue_entry> pending_items_;  // entries of enqueues in pending_
    std::uint64_t gen_ = 1;
    std::uint64_t done_gen_ = 0;
    std::map<std::uint64_t, std::string> failed_;
    bool flushing_ = false;
    std::map<std::uint64_t, int> waiting_;  // writers waiting, per generation
    std::atomic<std::uint64_t> syncs_{0};
    std::uint64_t next_seq_seen_ = 0;
};

bool FileQueue::new_segment(std::string& why) {
    std::uint64_t seq = segments_.empty() ? 1 : segments_.rbegin()->first + 1;
    std::string path = attach_path(dir_, segment_name(seq), 4096);
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        why = strprintf("cannot create %s: %s", path.c_str(), system_error(errno).c_str());
        return false;
    }
    auto seg = std::make_shared<Segment>(fd);
    seg->seq = seq;
    seg->path = path;
    segments_[seq] = seg;
    cur_ = seg;
    return true;
}

// Records nobody waits for (done, released) are flushed by this thread, so that the worker
// that wrote them goes on at once; it also takes over a batch whose writers are all busy.
void FileQueue::flush_loop() {
    std::unique_lock<std::mutex> lock(m_);
    for (;;) {
        work_cv_.wait(lock, [this] { return closing_ || (!pending_.empty() && !flushing_); });
        if (!pending_.empty() && !flushing_) {
            lead(lock);
            continue;
        }
        if (closing_ && pending_.empty() && !flushing_) return;
        flushed_cv_.wait(lock);  // closing while a writer flushes: let it finish
    }
}

void FileQueue::lead(std::unique_lock<std::mutex>& lock) {
    flushing_ = true;
    std::string why;
    bool fresh = false;
    if (cur_->size >= opt_.segment_bytes && cur_->has_header) {
        if (!new_segment(why)) {
            // Keep writing to the full segment rather than refuse mail over a rotation.
            emsg("Queue journal: %s", why.c_str());
            why.clear();
        } else {
            fresh = true;
        }
    }
    std::string data;
    if (!cur_->has_header) {
        journal_record head;
        head.type = JOURNAL_SEGMENT;
        head.seq = cur_->seq;
        head.next_id = next_id_;
        journal_encode(head, data);
        fresh = true;
    }
    // A few entries that wait long (a transport down for hours) would keep every newer
    // segment on disk, since segments go oldest first: copy them, with their state, into
    // the new segment, so that the oldest one can go.
    std::vector<std::uint64_t> moved;
    if (fresh && segments_.size() > 2) {
        const std::shared_ptr<Segment>& oldest = segments_.begin()->second;
        if (oldest != cur_ && oldest->live > 0 && oldest->live <= opt_.compact_max) {
            journal_record copy;
            copy.type = JOURNAL_ENQUEUED;
            for (const auto& [id, it] : items_)
                if (it.seg == oldest->seq) {
                    copy.entries.push_back(it.e);
                    moved.push_back(id);
                }
            journal_encode(copy, data);
        }
    }
    data += pending_;
    pending_.clear();
    std::vector<queue_entry> items;
    items.swap(pending_items_);
    std::uint64_t g = gen_++;
    std::shared_ptr<Segment> seg = cur_;
    std::int64_t offset = seg->size;
    lock.unlock();
    if (opt_.before_flush) opt_.before_flush();

    bool ok = write_all(seg->fd.get(), data, offset, why);
    if (ok && opt_.sync) {
        if (::fdatasync(seg->fd.get()) != 0) {
            why = system_error(errno);
            ok = false;
        } else if (fresh && ::fsync(dirfd_.get()) != 0) {
            why = system_error(errno);
            ok = false;
        }
        syncs_.fetch_add(1);
    }
    // A batch is kept whole or not at all: cut off what a failed write left behind.
    if (!ok && ::ftruncate(seg->fd.get(), static_cast<off_t>(offset)) != 0)
        emsg("Queue journal: cannot cut %s back to %lld bytes: %s", seg->path.c_str(),
             static_cast<long long>(offset), system_error(errno).c_str());

    lock.lock();
    if (ok) {
        seg->size = offset + static_cast<std::int64_t>(data.size());
        seg->has_header = true;
        for (std::uint64_t id : moved) {
            auto it = items_.find(id);
            if (it == items_.end()) continue;  // finished meanwhile
            auto old = segments_.find(it->second.seg);
            if (old != segments_.end() && old->second->live > 0) --old->second->live;
            it->second.seg = seg->seq;
            ++seg->live;
        }
        for (queue_entry& e : items) {
            Item it;
            it.seg = seg->seq;
            it.e = std::move(e);
            ++seg->live;
            std::uint64_t id = it.e.id;
            auto [pos, inserted] = items_.emplace(id, std::move(it));
            if (inserted) make_ready(pos->second);
        }
        drop_finished_segments();
    } else {
        emsg("Queue journal: cannot write %s: %s", seg->path.c_str(), why.c_str());
        failed_[g] = why;
        // Readers of older failures have long woken; keep the map small.
        while (failed_.size() > 1024) failed_.erase(failed_.begin());
    }
    done_gen_ = g;
    flushing_ = false;
    flushed_cv_.notify_all();
    // Whatever came in meanwhile and has no writer waiting to lead it goes to the flusher.
    if (!pending_.empty() && waiting_.count(gen_) == 0) work_cv_.notify_one();
}

bool FileQueue::wait_durable(std::unique_lock<std::mutex>& lock, std::uint64_t g,
                             std::string& why) {
    while (done_gen_ < g) {
        if (!flushing_) {
            lead(lock);
            continue;
        }
        ++waiting_[g];
        flushed_cv_.wait(lock);
        if (--waiting_[g] == 0) waiting_.erase(g);
    }
    auto f = failed_.find(g);
    if (f == failed_.end()) return true;
    why = f->second;
    return false;
}

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

void FileQueue::drop_finished_segments() {
    while (!segments_.empty()) {
        auto first = segments_.begin();
        if (first->second == cur_ || first->second->live > 0) return;
        if (::unlink(first->second->path.c_str()) != 0 && errno != ENOENT) {
            emsg("Queue journal: cannot delete %s: %s", first->second->path.c_str(),
                 system_error(errno).c_str());
            return;
        }
        dmsg("Queue journal: %s finished, deleted", first->second->path.c_str());
        segments_.erase(first);
    }
}

bool FileQueue::enqueue(std::vector<queue_entry>& batch, std::string& why) {
    if (batch.empty()) return true;
    if (opt_.read_only) {
        why = "the queue is open for reading only";
        return false;
    }
    std::int64_t now = wall_ms();
    std::unique_lock<std::mutex> lock(m_);
    journal_record rec;
    rec.type = JOURNAL_ENQUEUED;
    for (queue_entry& e : batch) {
        e.id = next_id_++;
        if (e.enqueued_ms == 0) e.enqueued_ms = now;
    }
    rec.entries = batch;
    std::uint64_t g = append(rec);
    for (const queue_entry& e : batch) pending_items_.push_back(e);
    if (!wait_durable(lock, g, why)) return false;
    // Called under the lock, so that once set_notify(nullptr) returns no call is under way.
    if (notify_) {
        std::set<int> kinds;
        for (const queue_entry& e : batch) kinds.insert(e.kind);
        for (int k : kinds) notify_(k);
    }
    return true;
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

bool FileQueue::attempt(std::uint64_t id, std::string& why) {
    if (opt_.read_only) {
        why = "the queue is open for reading only";
        return false;
    }
    std::unique_lock<std::mutex> lock(m_);
    auto it = items_.find(id);
    if (it == items_.end()) {
        why = strprintf("no queue entry %llu", static_cast<unsigned long long>(id));
        return false;
    }
    journal_record rec;
    rec.type = JOURNAL_ATTEMPT;
    rec.id = id;
    rec.attempts = it->second.e.attempts + 1;
    rec.error = it->second.e.last_error;
    std::uint64_t g = append(rec);
    if (!wait_durable(lock, g, why)) return false;
    // The entry may not be found again only if it was completed meanwhile by someone else.
    it = items_.find(id);
    if (it != items_.end()) it->second.e.attempts = rec.attempts;
    return true;
}

bool FileQueue::complete(std::uint64_t id, bool delivered, const std::string& error,
                         std::string& why) {
    if (opt_.read_only) {
        why = "the queue is open for reading only";
        return false;
    }
    std::unique_lock<std::mutex> lock(m_);
    auto it = items_.find(id);
    if (it == items_.end()) {
        why = strprintf("no queue entry %llu", static_cast<unsigned long long>(id));
        return false;
    }
    journal_record rec;
    rec.type = JOURNAL_DONE;
    rec.id = id;
    rec.delivered = delivered;
    rec.error = error;
    append(rec);
    forget(it);
    lock.unlock();
    work_cv_.notify_one();  // nobody waits for this record: the flusher writes it
    return true;
}

void FileQueue::release(std::uint64_t id, const std::string& error, std::int64_t not_before_ms) {
    if (opt_.read_only) return;
    std::unique_lock<std::mutex> lock(m_);
    auto it = items_.find(id);
    if (it == items_.end() || !it->second.claimed) return;
    Item& item = it->second;
    item.claimed = false;
    item.e.not_before_ms = not_before_ms;
    if (!error.empty()) {
        item.e.last_error = error;
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
    lock.unlock();
    work_cv_.notify_one();
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

bool FileQueue::replay_segment(const std::string& path, std::uint64_t& max_seq) {
    int fd = ::open(path.c_str(), (opt_.read_only ? O_RDONLY : O_RDWR) | O_CLOEXEC);
    if (fd < 0) {
        if (opt_.read_only && errno == ENOENT) return true;  // the gateway just deleted it
        emsg("Queue journal: cannot open %s: %s", path.c_str(), system_error(errno).c_str());
        return false;
    }
    auto seg = std::make_shared<Segment>(fd);
    seg->path = path;
    std::string data;
    if (!read_whole(fd, data)) {
        emsg("Queue journal: cannot read %s: %s", path.c_str(), system_error(errno).c_str());
        return false;
    }
    std::size_t pos = 0;
    std::string_view rest(data);
    journal_record rec;
    for (;;) {
        std::size_t used = 0;
        JournalRead r = journal_decode(rest.substr(pos), rec, used);
        if (r == JournalRead::END) break;
        bool header_missing = pos == 0 && r == JournalRead::OK && rec.type != JOURNAL_SEGMENT;
        if (r != JournalRead::OK || header_missing) {
            emsg("Queue journal: %s record in %s at byte %zu, cut off there (%zu bytes dropped)",
                 r == JournalRead::TORN ? "torn" : "corrupt", path.c_str(), pos, data.size() - pos);
            if (::ftruncate(fd, static_cast<off_t>(pos)) != 0 || ::fsync(fd) != 0)
                emsg("Queue journal: cannot cut %s: %s", path.c_str(), system_error(errno).c_str());
            break;
        }
        pos += used;
        switch (rec.type) {
            case JOURNAL_SEGMENT:
                if (seg->has_header) break;
                seg->seq = rec.seq;
                seg->has_header = true;
                next_id_ = std::max(next_id_, rec.next_id);
                // Entries of this segment are counted against it from here on.
                segments_[seg->seq] = seg;
                break;
            case JOURNAL_ENQUEUED:
                for (queue_entry& e : rec.entries) {
                    next_id_ = std::max(next_id_, e.id + 1);
                    Item it;
                    it.seg = seg->seq;
                    it.e = std::move(e);
                    if (items_.emplace(it.e.id, std::move(it)).second) ++seg->live;
                }
                break;
            case JOURNAL_ATTEMPT: {
                auto it = items_.find(rec.id);
                if (it == items_.end()) break;
                it->second.e.attempts = rec.attempts;
                it->second.e.last_error = rec.error;
                it->second.e.not_before_ms = rec.not_before_ms;
                break;
            }
            case JOURNAL_DONE: {
                auto it = items_.find(rec.id);
                if (it == items_.end()) break;
                auto s = segments_.find(it->second.seg);
                if (s != segments_.end() && s->second->live > 0) --s->second->live;
                items_.erase(it);
                break;
            }
        }
    }
    if (!seg->has_header) {
        // Nothing usable: a segment whose creation was cut short.
        if (opt_.read_only) return true;
        imsg("Queue journal: %s holds no records, deleted", path.c_str());
        ::unlink(path.c_str());
        return true;
    }
    seg->size = static_cast<std::int64_t>(pos);
    max_seq = std::max(max_seq, seg->seq);
    return true;
}

bool FileQueue::open(std::string& why) {
    if (opt_.read_only) {
        struct stat st {};
        if (::stat(dir_.c_str(), &st) != 0) return true;  // nothing was ever queued
        std::vector<std::string> files = file_list(dir_, "*.jnl");
        std::sort(files.begin(), files.end());
        for (const std::string& f : files)
            if (!replay_segment(f, next_seq_seen_)) {
                why = strprintf("cannot read the queue journal %s", f.c_str());
                return false;
            }
        for (auto& [id, it] : items_) make_ready(it);
        return true;
    }
    if (file_mkdir(dir_, true) == 0) {
        why = strprintf("cannot make the queue directory %s", dir_.c_str());
        return false;
    }
    int dfd = ::open(dir_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd < 0) {
        why = strprintf("cannot open %s: %s", dir_.c_str(), system_error(errno).c_str());
        return false;
    }
    dirfd_.reset(dfd);
    std::vector<std::string> files = file_list(dir_, "*.jnl");
    // Fixed-width hexadecimal names sort in sequence order.
    std::sort(files.begin(), files.end());
    std::uint64_t max_seq = 0;
    for (const std::string& f : files)
        if (!replay_segment(f, max_seq)) {
            why = strprintf("cannot read the queue journal %s", f.c_str());
            return false;
        }
    for (auto& [id, it] : items_) make_ready(it);
    std::unique_lock<std::mutex> lock(m_);
    // Never append after a cut or to a segment of an earlier run: start a new one.
    if (!new_segment(why)) return false;
    std::uint64_t g = gen_;
    lead(lock);  // writes the new segment's header and drops finished segments
    if (failed_.count(g) != 0) {
        why = strprintf("cannot write the queue journal: %s", failed_[g].c_str());
        return false;
    }
    lock.unlock();
    flusher_ = std::thread([this] { flush_loop(); });
    if (!items_.empty())
        imsg("Queue journal: %zu entries waiting from an earlier run", items_.size());
    return true;
}

}  // namespace

std::unique_ptr<QueueStore> queue_file_open(const std::string& dir,
                                            const queue_file_options& options, std::string& why) {
    auto q = std::make_unique<FileQueue>(dir, options);
    if (!q->open(why)) return nullptr;
    return q;
}

std::uint64_t queue_file_syncs(const QueueStore* store) {
    const auto* f = kind_cast<const FileQueue>(store);
    return f != nullptr ? f->syncs() : 0;
}

void queue_file_flush(QueueStore* store) {
    if (auto* f = kind_cast<FileQueue>(store)) f->flush_all();
}

std::size_t queue_file_waiters(QueueStore* store) {
    auto* f = kind_cast<FileQueue>(store);
    return f != nullptr ? f->waiters() : 0;
}

}  // namespace tolvane
