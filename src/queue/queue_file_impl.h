// The local queue journal's store object, shared by its two halves: the segments with
// group commit and replay (queue_file_segments.cpp) and the store operations
// (queue_file.cpp). Nothing outside src/queue includes this file; users see queue.h.
//
// Writers append encoded records to one in-memory batch under the store's lock and sleep on
// that batch; one flushing thread takes the whole batch, writes it with one pwrite and, when
// anyone waits for it, one fdatasync outside the lock, then wakes every writer of the batch at
// once (they wait on the batch's own word, not on the store's lock, so a flush covering many
// writers does not make them queue for the lock again). Writers arriving meanwhile fill the
// next batch, so durability costs one flush per batch however many writers share it. A failed
// write is cut off again, so a batch is on disk whole or not at all (a crash mid-write leaves
// a torn tail that start-up cuts), and every writer of a failed batch gets its reason.
//
// The current segment is kept written with zeros ahead of its records (prealloc_bytes at a
// time, with the flush that crosses into new room): an fdatasync after a write that grows
// the file also writes its inode, one inside space already written does not, which on ext4
// makes a flush markedly cheaper. Readers take zeros where a record would start for the end
// of the records; a full disk that refuses the zeros still takes the records themselves.
//
// Records nobody waits for (done, released) are written at once but flushed lazily: by the
// next flush someone waits for (at the latest before the next attempt is durable), or after
// LAZY_SYNC_MS of quiet. A killed process loses none of them (they are in the file); only a
// power cut within that window may, which costs at most a second send of those entries.
//
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "foundation/fileio.h"
#include "queue/queue.h"
#include "queue/queue_journal.h"

namespace tolvane {

// How long records nobody waits for may stay written but not flushed when nothing else is
// flushed meanwhile.
inline constexpr int LAZY_SYNC_MS = 5;

struct Segment {
    std::uint64_t seq = 0;
    std::string path;
    UniqueFd fd;
    std::int64_t size = 0;  // bytes known to be written whole: the records' end
    // The file's size as written: the records, then the zeros written ahead of them (no
    // less than `size`; only the flushing thread changes it).
    std::int64_t prealloc_end = 0;
    bool has_header = false;  // its SEGMENT record is written
    bool named = false;       // its directory entry is flushed (fsync of the directory)
    std::size_t live = 0;     // entries enqueued here and not done
    explicit Segment(int f) : fd(f) {}
};

class FileQueue final : public QueueStore {
  public:
    FileQueue(std::string dir, const queue_file_options& o) : dir_(std::move(dir)), opt_(o) {}
    ~FileQueue() override {
        // Records written without waiting (done, released) still reach the disk: the
        // flusher ends only once nothing is pending. Its stop callback wakes it.
        flusher_.request_stop();
        if (flusher_.joinable()) flusher_.join();
        trim_current();
    }

    Status open();

    Status enqueue(std::vector<queue_entry>& batch) override;
    std::optional<queue_entry> claim(int kind, std::int64_t now_ms) override;
    std::optional<std::int64_t> next_ready(int kind, std::int64_t now_ms) override;
    Status attempt(std::uint64_t id) override;
    Status attempt_many(const std::vector<std::uint64_t>& ids) override;
    Status complete(std::uint64_t id, bool delivered, const std::string& error) override;
    void release(std::uint64_t id, const std::string& error, std::int64_t not_before_ms) override;
    void release_cut(std::uint64_t id) override;
    std::size_t retry_now(int kind) override;
    std::vector<queue_entry> list(int kind) override;
    queue_stats stats() override;
    void set_notify(std::function<void(int kind)> notify) override {
        std::lock_guard<std::mutex> lock(m_);
        notify_ = std::move(notify);
    }

    std::uint64_t syncs() const { return syncs_.load(); }
    // Writes and flushes everything written so far, also what nobody waits for.
    void flush_all();
    // Writers waiting for their batch to be durable right now (taken by a flush or not).
    std::size_t waiters() const { return static_cast<std::size_t>(waiting_.load()); }
    // Entries lost in damaged records: those told in the notes kept beside the copies of
    // damaged segments, and in a listing those of damage no gateway has dealt with yet.
    std::size_t lost_in_damage();

  private:
    struct Item {
        queue_entry e;
        std::uint64_t seg = 0;
        bool claimed = false;
        // The journal already counts the next attempt (marked with the entry): the
        // attempt() that makes it writes nothing and waits for nothing.
        bool attempt_marked = false;
        // The claim's attempt() counted one attempt (a cut send takes it back).
        bool attempted = false;
    };
    struct Ready {
        std::set<std::uint64_t> now;                             // by id
        std::set<std::pair<std::int64_t, std::uint64_t>> later;  // by time, then id
    };

    // One group commit: the records of the writers of one flush and how it ended.
    struct Batch {
        // FILLING -> WRITTEN (in the file, not yet flushed; only when someone waits for
        // that) -> DURABLE or FAILED.
        enum : int { FILLING = 0, DURABLE = 1, FAILED = 2, WRITTEN = 3 };
        std::atomic<int> state{FILLING};
        std::string why;            // set before state becomes FAILED
        bool waited = false;        // someone waits for it: it is flushed, not only written (m_)
        bool write_waited = false;  // someone waits for it to be in the file (m_)
    };

    void append(const journal_record& rec) { journal_encode(rec, pending_); }
    // Hands the batch being filled to the flusher and waits until it is on disk; the lock
    // is released meanwhile and not held on return. An error carries the flush's reason.
    Status wait_durable(std::unique_lock<std::mutex>& lock);
    // The same, but only until the batch is written to the file (a kill of the process can
    // no longer lose it; a power cut still can until the flush that follows).
    Status wait_written(std::unique_lock<std::mutex>& lock);
    // Wakes the flusher for records written without waiting (m_ held).
    void wake_flusher() {
        if (flusher_asleep_) work_cv_.notify_one();
    }
    // Lets go of m_, then wakes the flusher if it sleeps: woken while m_ is still held,
    // it would only go on to wait for the lock (a second futex call and thread switch).
    // The flusher looks at its work under m_ before it sleeps, so the wake is not missed.
    void wake_flusher_after(std::unique_lock<std::mutex>& lock) {
        const bool asleep = flusher_asleep_;
        lock.unlock();
        if (asleep) work_cv_.notify_one();
    }
    // Writes the batch being filled (flushing it when someone waits for it, or when
    // `sync` asks) and publishes the result; the lock is released meanwhile.
    void flush_batch(std::unique_lock<std::mutex>& lock, bool sync);
    // The steps of a flush: under m_ the records to write are taken (a segment header and
    // the copies of the oldest segment's entries first, when a segment starts); without m_
    // they are written and flushed; under m_ again the stored entries take their places
    // and the batch's writers learn how it went.
    struct Flush;
    void plan_flush(Flush& f);
    void copy_oldest_entries(Flush& f);
    void write_flush(Flush& f);
    void finish_flush(Flush& f);
    void place_flushed_entries(Flush& f, std::set<int>& kinds);
    void flush_loop(std::stop_token stop);
    // Starts a new segment file (empty, header written by the next flush); an error when
    // the file cannot be made.
    Status new_segment();
    void drop_finished_segments();
    // After the data of a flush ending at `end` is written to `seg` (whose file was
    // `file_end` bytes): writes the zeros ahead of it when they are due. Returns the file's
    // size afterwards; a failure to extend costs no record, only the room.
    std::int64_t preallocate(const Segment& seg, std::int64_t file_end, std::int64_t end);
    // Cuts the zeros ahead of the records of a segment no longer written (a rotation, a
    // close), so that a segment kept long holds no more than its records.
    static void trim(Segment& seg);
    void trim_current();
    void make_ready(const Item& it);
    void forget(std::map<std::uint64_t, Item>::iterator it);
    // The entry a new record is about to be written for (m_ held); an error when the store
    // is read-only or holds no entry `id`.
    Result<Item*> writable(std::uint64_t id);
    bool replay_segment(const std::string& path, std::uint64_t& max_seq);
    // The steps of a replay: every record of the segment in turn (false when the segment
    // is left unread), damage where a record does not check out, the place of a segment
    // whose header is lost taken from its name, and what one record says.
    struct Replay;
    enum class ReplayStep { next, stop, give_up };
    bool replay_records(Replay& rp);
    ReplayStep replay_damage(Replay& rp, JournalRead r, bool header_missing);
    bool name_replayed_segment(Replay& rp);
    void replay_record(const std::shared_ptr<Segment>& seg, journal_record& rec);

    // Damage found at start-up (queue_file_damage.cpp). A range is a run of bytes in which
    // no record checked out; the records after it are replayed. What it cost is told once
    // every segment is read, since records of later segments name entries it may have held.
    struct Damage {
        std::string path;
        std::size_t at = 0;
        std::size_t bytes = 0;
        bool to_end = false;      // no record checks out after it
        std::uint64_t lo = 0;     // the first id that was not given out before it
        std::uint64_t hi = 0;     // the first id stored after it (0: none read yet)
        std::uint64_t named = 0;  // the highest id >= lo an attempt or done after it names
        // Read without checksums, its bytes were whole records: the ids they seem to hold.
        bool read_whole = false;
        std::vector<std::uint64_t> seems_stored;  // entries of batches
        std::vector<std::uint64_t> seems_state;   // attempts and done records
        bool lost_known = true;
        std::vector<std::uint64_t> lost;    // ids given out, and stored or finished nowhere else
        std::vector<std::uint64_t> resend;  // waiting entries whose attempt or done it may hold
        std::string line;
    };
    // A damaged segment: its bytes as found, and its whole records to write back once a
    // copy of it is kept.
    struct Mend {
        std::shared_ptr<Segment> seg;
        std::string found;
        std::string kept;
        std::vector<std::size_t> damage;  // its ranges in damage_
        bool header_lost = false;
    };
    // Starts a range at `at` in the segment being replayed; `next` is where records check
    // out again (npos: nowhere).
    void damage_found(Mend& mend, std::string_view data, std::size_t at, std::size_t next);
    // After each record read whole once there is damage: the ids it names.
    void damage_note(const journal_record& rec);
    // Once every segment is read: what each range cost, in the log.
    void damage_tell();
    // Keeps a copy of each damaged segment with a note of what was lost, then writes its
    // whole records back in its place (only once the copy and note are durable).
    void damage_mend();
    std::string damaged_dir() const;
    std::vector<Damage> damage_;
    std::vector<Mend> mends_;
    std::set<std::uint64_t> stored_after_damage_;  // ids enqueued or finished after the first

    const std::string dir_;
    const queue_file_options opt_;
    UniqueFd dirfd_;

    std::mutex m_;
    std::condition_variable work_cv_;  // wakes the flusher
    std::jthread flusher_;  // stopped through its stop token (the destructor)
    std::map<std::uint64_t, std::shared_ptr<Segment>> segments_;  // by sequence number
    std::shared_ptr<Segment> cur_;
    std::map<std::uint64_t, Item> items_;  // every entry not done, by id
    std::map<int, Ready> ready_;           // unclaimed entries per kind
    std::uint64_t next_id_ = 1;
    std::function<void(int)> notify_;

    // Group commit state: the batch being filled (its records in pending_), the segment
    // holding records written but not flushed yet and since when, the flusher's sleep.
    std::string pending_;
    std::vector<queue_entry> pending_items_;  // entries of enqueues in pending_
    std::shared_ptr<Batch> filling_ = std::make_shared<Batch>();
    std::shared_ptr<Segment> unsynced_;
    std::chrono::steady_clock::time_point unsynced_since_;
    bool flusher_asleep_ = false;
    std::atomic<int> waiting_{0};
    std::atomic<std::uint64_t> syncs_{0};
    std::uint64_t next_seq_seen_ = 0;
    // A failed extension (a full disk) is not tried again before this (flusher only).
    std::chrono::steady_clock::time_point prealloc_retry_{};
};

}  // namespace tolvane
