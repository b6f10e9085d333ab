// The local queue journal's segments: group commit, rotation, deletion and replay at
// start-up (the store object and how its records are batched: queue_file_impl.h).
#include <fcntl.h>
#include <linux/futex.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>

#include "foundation/lib.h"
#include "foundation/log.h"
#include "queue/queue_file_impl.h"

namespace tolvane {

namespace {

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

// Writes zeros over [from, to) of the file.
bool write_zeros(int fd, std::int64_t from, std::int64_t to, std::string& why) {
    static const std::string zeros(64 * 1024, '\0');
    while (from < to) {
        std::size_t n = static_cast<std::size_t>(
            std::min<std::int64_t>(to - from, static_cast<std::int64_t>(zeros.size())));
        ssize_t w = ::pwrite(fd, zeros.data(), n, static_cast<off_t>(from));
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) {
            why = system_error(w < 0 ? errno : ENOSPC);
            return false;
        }
        from += w;
    }
    return true;
}

// How long a failed extension (a full disk) holds off the next try: meanwhile every flush
// is a plain append, without a doomed write of zeros before it.
constexpr auto PREALLOC_RETRY = std::chrono::seconds(1);

// The writers of a batch sleep on its state word through the kernel's futex directly: the
// library's atomic wait first yields the processor a few times, which on a busy machine
// costs more than the sleep it saves, and one call wakes every writer of the batch.
static_assert(sizeof(std::atomic<int>) == sizeof(int) && std::atomic<int>::is_always_lock_free);

void state_wait(std::atomic<int>& word, int old) {
    ::syscall(SYS_futex, reinterpret_cast<int*>(&word), FUTEX_WAIT_PRIVATE, old, nullptr, nullptr,
              0);
}

void state_wake_all(std::atomic<int>& word) {
    ::syscall(SYS_futex, reinterpret_cast<int*>(&word), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr,
              nullptr, 0);
}

// Whether the bytes from `at` on, where no record checks out any more, are a write cut
// short inside the zeros written ahead of the records (a kill or a power cut in mid-write):
// the disk takes a write in whole sectors, so what is missing is zeros from a sector
// boundary to the record's end (or from its start to a boundary, its header lost), with
// nothing written after it. A flipped bit leaves no such run (unless the record's own
// zeros happen to span a boundary) and is told as damage.
bool torn_in_room(std::string_view data, std::size_t at) {
    constexpr std::size_t SECTOR = 512;
    auto boundary_after = [](std::size_t p) { return (p / SECTOR + 1) * SECTOR; };
    std::string_view rest = data.substr(at);
    std::size_t first = rest.find_first_not_of('\0');
    std::size_t last = rest.find_last_not_of('\0');
    if (first == std::string_view::npos) return true;
    if (first >= JOURNAL_HEADER) return at + first >= boundary_after(at);  // header lost
    if (rest.size() < JOURNAL_HEADER) return true;
    std::uint64_t len = 0;
    for (int i = 0; i < 4; ++i)
        len |= static_cast<std::uint64_t>(static_cast<unsigned char>(rest[i])) << (8 * i);
    const std::uint64_t end = JOURNAL_HEADER + len;
    if (end > rest.size()) return true;  // cut short by the end of the file
    return last < end && boundary_after(at + last) < at + end;
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

}  // namespace

Status FileQueue::new_segment() {
    std::uint64_t seq = segments_.empty() ? 1 : segments_.rbegin()->first + 1;
    std::string path = attach_path(dir_, segment_name(seq), 4096);
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        return Error{0, strprintf("cannot create %s: %s", path.c_str(),
                                  system_error(errno).c_str())};
    auto seg = std::make_shared<Segment>(fd);
    seg->seq = seq;
    seg->path = path;
    segments_[seq] = seg;
    cur_ = seg;
    return {};
}

// The only thread that writes the journal once it is open: it takes whatever batch is being
// filled as soon as the previous one is finished, so under load it never sleeps, and the
// records of everyone who arrived during one flush share the next.
void FileQueue::flush_loop(std::stop_token stop) {
    // A stop wakes the loop; taking m_ first means a loop between its look at the token
    // and its wait cannot miss it.
    std::stop_callback wake(stop, [this] {
        { std::lock_guard<std::mutex> held(m_); }
        work_cv_.notify_one();
    });
    std::unique_lock<std::mutex> lock(m_);
    int last_tries = 0;  // a disk that keeps failing must not hold up the close for ever
    bool busy = false;   // the last turn flushed: writers are arriving back to back
    for (;;) {
        const bool closing = stop.stop_requested();
        if (closing && ++last_tries > 3) return;
        bool due = unsynced_ &&
                   (closing || std::chrono::steady_clock::now() >=
                                    unsynced_since_ + std::chrono::milliseconds(LAZY_SYNC_MS));
        if (!pending_.empty() || filling_->waited || due) {
            // Under load a batch taken the moment the last flush ends holds only the one or
            // two writers that came during it: a moment's wait lets those on their way share
            // the flush (about 40% fewer flushes at 20 sessions). A lone writer on a quiet
            // journal is flushed at once.
            if (busy && opt_.gather_us > 0 && filling_->waited && !closing) {
                lock.unlock();
                std::this_thread::sleep_for(std::chrono::microseconds(opt_.gather_us));
                lock.lock();
            }
            flush_batch(lock, due || closing);
            busy = true;
            continue;
        }
        busy = false;
        if (closing) return;
        flusher_asleep_ = true;
        if (unsynced_)
            work_cv_.wait_until(lock, unsynced_since_ + std::chrono::milliseconds(LAZY_SYNC_MS));
        else
            work_cv_.wait(lock);
        flusher_asleep_ = false;
    }
}

// One flush: what it writes where, and how the write went.
struct FileQueue::Flush {
    std::shared_ptr<Batch> batch;
    bool sync = false;
    std::string why;
    std::shared_ptr<Segment> closed;  // the segment a rotation leaves, its zeros to be cut
    std::string data;
    std::vector<std::uint64_t> moved;  // entries copied out of the oldest segment
    std::vector<queue_entry> items;    // the entries the batch stores
    std::shared_ptr<Segment> seg;
    std::shared_ptr<Segment> older;  // a segment left with records not yet flushed
    std::int64_t offset = 0;
    std::int64_t file_end = 0;
    std::int64_t end = 0;
    bool ok = false;
};

void FileQueue::flush_batch(std::unique_lock<std::mutex>& lock, bool sync) {
    Flush f;
    f.batch = std::move(filling_);
    filling_ = std::make_shared<Batch>();
    f.sync = sync || f.batch->waited;
    plan_flush(f);
    lock.unlock();
    if (opt_.before_flush) opt_.before_flush();
    if (f.closed) trim(*f.closed);  // only this thread writes segments
    write_flush(f);
    lock.lock();
    finish_flush(f);
}

void FileQueue::plan_flush(Flush& f) {
    bool fresh = false;
    // A flush with nothing to write (only a sync asked for) never starts a segment.
    if (cur_->size >= opt_.segment_bytes && cur_->has_header && !pending_.empty()) {
        f.closed = cur_;
        if (Status s = new_segment(); !s) {
            f.closed.reset();
            // Keep writing to the full segment rather than refuse mail over a rotation.
            emsg("Queue journal: %s", s.error().reason.c_str());
        } else {
            fresh = true;
        }
    }
    if (!cur_->has_header) {
        journal_record head;
        head.type = JOURNAL_SEGMENT;
        head.seq = cur_->seq;
        head.next_id = next_id_;
        journal_encode(head, f.data);
        fresh = true;
    }
    if (fresh && segments_.size() > 2) copy_oldest_entries(f);
    // A new segment (and the copies in it) is flushed at once, so that records written but
    // not flushed sit in one segment at most.
    if (fresh) f.sync = true;
    f.data += pending_;
    pending_.clear();
    f.items.swap(pending_items_);
    f.seg = cur_;
    f.older = unsynced_ != f.seg ? unsynced_ : nullptr;
    f.offset = f.seg->size;
    f.file_end = std::max(f.seg->prealloc_end, f.offset);
}

// A few entries that wait long (a transport down for hours) would keep every newer
// segment on disk, since segments go oldest first: copy them, with their state, into
// the new segment, so that the oldest one can go.
void FileQueue::copy_oldest_entries(Flush& f) {
    const std::shared_ptr<Segment>& oldest = segments_.begin()->second;
    if (oldest == cur_ || !(oldest->live > 0 && oldest->live <= opt_.compact_max)) return;
    journal_record copy;
    copy.type = JOURNAL_ENQUEUED;
    for (const auto& [id, it] : items_)
        if (it.seg == oldest->seq) {
            copy.entries.push_back(it.e);
            // The copy replaces the record that carried the marked attempt.
            if (it.attempt_marked) copy.entries.back().attempts += 1;
            f.moved.push_back(id);
        }
    journal_encode(copy, f.data);
}

void FileQueue::write_flush(Flush& f) {
    Segment& seg = *f.seg;
    f.ok = f.data.empty() || write_all(seg.fd.get(), f.data, f.offset, f.why);
    f.end = f.offset + static_cast<std::int64_t>(f.data.size());
    // The zeros go after the data, so that a disk with no room for them has still taken the
    // records; the fdatasync below makes them durable together.
    if (f.ok && !f.data.empty()) f.file_end = preallocate(seg, f.file_end, f.end);
    if (f.ok && f.sync && opt_.sync && f.batch->write_waited) {
        // Those who wait only for the write (done records) go on while the flush runs.
        f.batch->state.store(Batch::WRITTEN, std::memory_order_release);
        state_wake_all(f.batch->state);
    }
    if (f.ok && f.sync && opt_.sync) {
        if (f.older && ::fdatasync(f.older->fd.get()) != 0) {
            f.why = system_error(errno);
            f.ok = false;
        } else if (::fdatasync(seg.fd.get()) != 0) {
            f.why = system_error(errno);
            f.ok = false;
        } else if (!seg.named && ::fsync(dirfd_.get()) != 0) {
            f.why = system_error(errno);
            f.ok = false;
        }
        syncs_.fetch_add(1);
    }
    // A batch is kept whole or not at all: cut off what a failed write left behind.
    if (!f.ok && !f.data.empty() && ::ftruncate(seg.fd.get(), static_cast<off_t>(f.offset)) != 0)
        emsg("Queue journal: cannot cut %s back to %lld bytes: %s", seg.path.c_str(),
             static_cast<long long>(f.offset), system_error(errno).c_str());
}

void FileQueue::finish_flush(Flush& f) {
    Segment& seg = *f.seg;
    if (!f.data.empty()) seg.prealloc_end = f.ok ? f.file_end : f.offset;
    std::set<int> kinds;
    if (f.ok) {
        seg.size = f.end;
        seg.has_header = true;
        if (f.sync) {
            seg.named = true;
            unsynced_.reset();
        } else if (!f.data.empty() && !unsynced_) {
            unsynced_ = f.seg;
            unsynced_since_ = std::chrono::steady_clock::now();
        }
        place_flushed_entries(f, kinds);
        drop_finished_segments();
    } else {
        emsg("Queue journal: cannot write %s: %s", seg.path.c_str(), f.why.c_str());
        f.batch->why = f.why;
    }
    // Under the lock, so that once set_notify(nullptr) returns no call is under way.
    if (notify_)
        for (int k : kinds) notify_(k);
    f.batch->state.store(f.ok ? Batch::DURABLE : Batch::FAILED, std::memory_order_release);
    if (f.batch->waited || f.batch->write_waited) state_wake_all(f.batch->state);
}

void FileQueue::place_flushed_entries(Flush& f, std::set<int>& kinds) {
    Segment& seg = *f.seg;
    for (std::uint64_t id : f.moved) {
        auto it = items_.find(id);
        if (it == items_.end()) continue;  // finished meanwhile
        auto old = segments_.find(it->second.seg);
        if (old != segments_.end() && old->second->live > 0) --old->second->live;
        it->second.seg = seg.seq;
        ++seg.live;
    }
    for (queue_entry& e : f.items) {
        Item it;
        it.seg = seg.seq;
        it.attempt_marked = e.mark_first_attempt;
        it.e = std::move(e);
        ++seg.live;
        std::uint64_t id = it.e.id;
        auto [pos, inserted] = items_.emplace(id, std::move(it));
        if (inserted) {
            make_ready(pos->second);
            kinds.insert(pos->second.e.kind);
        }
    }
}

Status FileQueue::wait_durable(std::unique_lock<std::mutex>& lock) {
    std::shared_ptr<Batch> batch = filling_;
    batch->waited = true;
    waiting_.fetch_add(1);
    wake_flusher_after(lock);
    int state;
    while ((state = batch->state.load(std::memory_order_acquire)) == Batch::FILLING ||
           state == Batch::WRITTEN)
        state_wait(batch->state, state);
    waiting_.fetch_sub(1);
    if (state == Batch::DURABLE) return {};
    return Error{0, batch->why};
}

Status FileQueue::wait_written(std::unique_lock<std::mutex>& lock) {
    std::shared_ptr<Batch> batch = filling_;
    batch->write_waited = true;
    wake_flusher_after(lock);
    int state;
    while ((state = batch->state.load(std::memory_order_acquire)) == Batch::FILLING)
        state_wait(batch->state, Batch::FILLING);
    if (state != Batch::FAILED) return {};
    return Error{0, batch->why};
}

void FileQueue::flush_all() {
    std::unique_lock<std::mutex> lock(m_);
    if (opt_.read_only || !flusher_.joinable()) return;
    // Even with nothing pending: a flush may be under way, and its records are to be on
    // disk (and its finished segments gone) when this returns.
    if (Status s = wait_durable(lock); !s)
        emsg("Queue journal: cannot flush: %s", s.error().reason.c_str());
}

std::int64_t FileQueue::preallocate(const Segment& seg, std::int64_t file_end, std::int64_t end) {
    const std::int64_t chunk = opt_.prealloc_bytes;
    // Room is made only when a flush crosses the zeros already written, and not in a
    // segment about to be closed (the next flush starts a new one).
    if (chunk <= 0 || end <= file_end || end >= opt_.segment_bytes) return std::max(file_end, end);
    auto now = std::chrono::steady_clock::now();
    if (now < prealloc_retry_) return end;
    // Real zeros, not fallocate: unwritten extents would make each later write inside them
    // a change of the file's metadata again.
    std::int64_t target = (end / chunk + 1) * chunk;
    std::string why;
    if (write_zeros(seg.fd.get(), end, target, why)) return target;
    prealloc_retry_ = now + PREALLOC_RETRY;
    wmsg("Queue journal: cannot write room ahead in %s: %s", seg.path.c_str(), why.c_str());
    // The records are in; only part of the zeros may be: cut them, the file ends with its
    // records as without preallocation.
    if (::ftruncate(seg.fd.get(), static_cast<off_t>(end)) != 0)
        emsg("Queue journal: cannot cut %s back to %lld bytes: %s", seg.path.c_str(),
             static_cast<long long>(end), system_error(errno).c_str());
    return end;
}

void FileQueue::trim(Segment& seg) {
    if (seg.prealloc_end <= seg.size) return;
    // Not flushed: should the cut be lost in a crash, the zeros it took read as the end.
    if (::ftruncate(seg.fd.get(), static_cast<off_t>(seg.size)) != 0) {
        emsg("Queue journal: cannot cut %s back to %lld bytes: %s", seg.path.c_str(),
             static_cast<long long>(seg.size), system_error(errno).c_str());
        return;
    }
    seg.prealloc_end = seg.size;
}

void FileQueue::trim_current() {
    std::lock_guard<std::mutex> lock(m_);
    if (cur_ && !opt_.read_only) trim(*cur_);
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

// The replay of one segment file: its bytes, where reading stands, and its mend once
// damage is found.
struct FileQueue::Replay {
    std::string path;
    int fd = -1;
    std::shared_ptr<Segment> seg;
    std::string data;
    std::size_t pos = 0;
    std::size_t file_size = 0;
    std::uint64_t first_id = 0;
    std::unique_ptr<Mend> mend;  // made at the first damage
};

bool FileQueue::replay_segment(const std::string& path, std::uint64_t& max_seq) {
    int fd = ::open(path.c_str(), (opt_.read_only ? O_RDONLY : O_RDWR) | O_CLOEXEC);
    if (fd < 0) {
        if (opt_.read_only && errno == ENOENT) return true;  // the gateway just deleted it
        emsg("Queue journal: cannot open %s: %s", path.c_str(), system_error(errno).c_str());
        return false;
    }
    Replay rp;
    rp.path = path;
    rp.fd = fd;
    rp.seg = std::make_shared<Segment>(fd);
    rp.seg->path = path;
    if (!read_whole(fd, rp.data)) {
        emsg("Queue journal: cannot read %s: %s", path.c_str(), system_error(errno).c_str());
        return false;
    }
    rp.first_id = next_id_;
    rp.file_size = rp.data.size();
    if (!replay_records(rp)) return true;
    Segment& seg = *rp.seg;
    if (!seg.has_header) {
        // Nothing usable: a segment whose creation was cut short.
        if (opt_.read_only) return true;
        imsg("Queue journal: %s holds no records, deleted", path.c_str());
        ::unlink(path.c_str());
        return true;
    }
    seg.size = static_cast<std::int64_t>(rp.pos);
    seg.prealloc_end = static_cast<std::int64_t>(rp.file_size);
    max_seq = std::max(max_seq, seg.seq);
    if (rp.mend) mends_.push_back(std::move(*rp.mend));
    return true;
}

bool FileQueue::replay_records(Replay& rp) {
    const std::string_view all(rp.data);
    journal_record rec;
    for (;;) {
        std::size_t used = 0;
        JournalRead r = journal_decode(all.substr(rp.pos), rec, used);
        // The end of the records, and the room written ahead of them: zeros to the end of
        // the file. Anything else after the zeros is a later write cut short by a crash (its
        // first page lost, a later one kept), which nobody was told is stored.
        if (r == JournalRead::END && all.find_first_not_of('\0', rp.pos) == std::string::npos)
            return true;
        const bool header_missing = rp.pos == 0 && !rp.seg->has_header && r == JournalRead::OK &&
                                    rec.type != JOURNAL_SEGMENT;
        if (r != JournalRead::OK || header_missing) {
            ReplayStep step = replay_damage(rp, r, header_missing);
            if (step == ReplayStep::give_up) return false;
            if (step == ReplayStep::stop) return true;
            continue;
        }
        if (rp.mend) rp.mend->kept.append(all.substr(rp.pos, used));
        rp.pos += used;
        if (!damage_.empty()) damage_note(rec);
        replay_record(rp.seg, rec);
    }
}

FileQueue::ReplayStep FileQueue::replay_damage(Replay& rp, JournalRead r, bool header_missing) {
    const std::string_view all(rp.data);
    const std::size_t pos = rp.pos;
    std::size_t next = header_missing ? 0 : journal_resync(all, pos + 1);
    // Nothing checks out after it: a write cut short stays a torn tail, cut off.
    if (next == std::string_view::npos && (r == JournalRead::TORN || torn_in_room(all, pos))) {
        emsg("Queue journal: torn record in %s at byte %zu, cut off there (%zu bytes dropped)",
             rp.path.c_str(), pos, rp.data.size() - pos);
        // A listing beside the gateway leaves the cut to the gateway's next start; a
        // damaged segment is written back whole without it.
        if (opt_.read_only || rp.mend) return ReplayStep::stop;
        if (::ftruncate(rp.fd, static_cast<off_t>(pos)) != 0 || ::fsync(rp.fd) != 0)
            emsg("Queue journal: cannot cut %s: %s", rp.path.c_str(), system_error(errno).c_str());
        else
            rp.file_size = pos;
        return ReplayStep::stop;
    }
    if (!rp.mend) {
        rp.mend = std::make_unique<Mend>();
        rp.mend->seg = rp.seg;
        rp.mend->found = rp.data;
        if (pos > 0) {
            rp.mend->kept = rp.data.substr(0, pos);
        } else if (!name_replayed_segment(rp)) {
            emsg(
                "Queue journal: corrupt segment header in %s, whose name gives no "
                "sequence number: left as it is, unread",
                rp.path.c_str());
            return ReplayStep::give_up;
        }
    }
    if (header_missing) {
        // Every record is whole, only the header is not there: nothing is skipped,
        // the header is written back.
        emsg("Queue journal: no segment header in %s, its place taken from its name",
             rp.path.c_str());
        return ReplayStep::next;
    }
    damage_found(*rp.mend, all, pos, next);
    if (next == std::string_view::npos) return ReplayStep::stop;
    rp.pos = next;
    return ReplayStep::next;
}

// Without a whole header the segment's place comes from its name, which this store
// gave it; its records are read all the same.
bool FileQueue::name_replayed_segment(Replay& rp) {
    std::string name = file_filename(rp.path);
    char* end = nullptr;
    unsigned long long seq = std::strtoull(name.c_str(), &end, 16);
    if (name.size() != 20 || end != name.c_str() + 16 || seq == 0) return false;
    rp.seg->seq = seq;
    rp.seg->has_header = true;
    segments_[rp.seg->seq] = rp.seg;
    journal_record head;
    head.type = JOURNAL_SEGMENT;
    head.seq = seq;
    head.next_id = rp.first_id;
    journal_encode(head, rp.mend->kept);
    rp.mend->header_lost = true;
    return true;
}

void FileQueue::replay_record(const std::shared_ptr<Segment>& seg, journal_record& rec) {
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
        case JOURNAL_ENQUEUED_USERS:  // read back as ENQUEUED, named for the compiler
            for (queue_entry& e : rec.entries) {
                next_id_ = std::max(next_id_, e.id + 1);
                Item it;
                it.seg = seg->seq;
                it.e = std::move(e);
                if (items_.emplace(it.e.id, std::move(it)).second) ++seg->live;
            }
            break;
        case JOURNAL_ATTEMPT: {
            // An id is never given twice, even when the batch that stored it was lost.
            next_id_ = std::max(next_id_, rec.id + 1);
            auto it = items_.find(rec.id);
            if (it == items_.end()) break;
            it->second.e.attempts = rec.attempts;
            it->second.e.last_error = rec.error;
            it->second.e.not_before_ms = rec.not_before_ms;
            break;
        }
        case JOURNAL_DONE: {
            next_id_ = std::max(next_id_, rec.id + 1);
            auto it = items_.find(rec.id);
            if (it == items_.end()) break;
            auto s = segments_.find(it->second.seg);
            if (s != segments_.end() && s->second->live > 0) --s->second->live;
            items_.erase(it);
            break;
        }
    }
}

Status FileQueue::open() {
    if (opt_.read_only) {
        struct stat st {};
        if (::stat(dir_.c_str(), &st) != 0) return {};  // nothing was ever queued
        std::vector<std::string> files = file_list(dir_, "*.jnl");
        std::sort(files.begin(), files.end());
        for (const std::string& f : files)
            if (!replay_segment(f, next_seq_seen_))
                return Error{0, strprintf("cannot read the queue journal %s", f.c_str())};
        damage_tell();
        for (auto& [id, it] : items_) make_ready(it);
        return {};
    }
    if (file_mkdir(dir_, true) == 0)
        return Error{0, strprintf("cannot make the queue directory %s", dir_.c_str())};
    int dfd = ::open(dir_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd < 0)
        return Error{0,
                     strprintf("cannot open %s: %s", dir_.c_str(), system_error(errno).c_str())};
    dirfd_.reset(dfd);
    std::vector<std::string> files = file_list(dir_, "*.jnl");
    // Fixed-width hexadecimal names sort in sequence order.
    std::sort(files.begin(), files.end());
    std::uint64_t max_seq = 0;
    for (const std::string& f : files)
        if (!replay_segment(f, max_seq))
            return Error{0, strprintf("cannot read the queue journal %s", f.c_str())};
    // Before the new segment's header: what damage cost may raise the next id.
    damage_tell();
    damage_mend();
    for (auto& [id, it] : items_) make_ready(it);
    std::unique_lock<std::mutex> lock(m_);
    // Never append after a cut or to a segment of an earlier run: start a new one.
    if (Status s = new_segment(); !s) return s;
    // Written and flushed before anyone else writes: the new segment's header, and the
    // finished segments dropped.
    std::shared_ptr<Batch> first = filling_;
    flush_batch(lock, true);
    if (first->state.load() != Batch::DURABLE)
        return Error{0, strprintf("cannot write the queue journal: %s", first->why.c_str())};
    lock.unlock();
    flusher_ = std::jthread([this](std::stop_token stop) { flush_loop(stop); });
    if (!items_.empty())
        imsg("Queue journal: %zu entries waiting from an earlier run", items_.size());
    return {};
}

}  // namespace tolvane
