// The local queue journal's store object, shared by its two halves: the segments with
// group commit and replay (queue_file_segments.cpp) and the store operations
// (queue_file.cpp). Nothing outside src/queue includes this file; users see queue.h.
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
#pragma once

#include <atomic>
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

struct Segment {
    std::uint64_t seq = 0;
    std::string path;
    UniqueFd fd;
    std::int64_t size = 0;    // bytes known to be written whole
    bool has_header = false;  // its SEGMENT record is written
    std::size_t live = 0;     // entries enqueued here and not done
    explicit Segment(int f) : fd(f) {}
};

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
    // The entry a new record is about to be written for (m_ held); null with why when the
    // store is read-only or holds no entry `id`.
    Item* writable(std::uint64_t id, std::string& why);
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

}  // namespace tolvane
