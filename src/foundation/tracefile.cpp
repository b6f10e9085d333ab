// Dialogue trace files (see tracefile.h).
#include "foundation/tracefile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <vector>

#include "foundation/lib.h"
#include "foundation/log.h"

namespace tolvane {

class TraceFile : public std::enable_shared_from_this<TraceFile> {
  public:
    explicit TraceFile(std::string path) : path_(std::move(path)) {}
    ~TraceFile() {
        std::unique_lock<std::mutex> hold(lock_);
        close_locked(hold);
    }
    TraceFile(const TraceFile&) = delete;
    TraceFile& operator=(const TraceFile&) = delete;

    bool open(std::string& err) {
        std::unique_lock<std::mutex> hold(lock_);
        return open_locked(err);
    }
    void reopen() {
        std::unique_lock<std::mutex> hold(lock_);
        close_locked(hold);
        std::string err;
        if (!open_locked(err)) emsg("Failed to reopen trace (%s), %s", path_.c_str(), err.c_str());
    }
    void write(std::string_view line);
    // Whole lines, each ending in a line feed, in one write when they fit the limit.
    void write_lines(std::string_view lines);
    const std::string& path() const { return path_; }

  private:
    bool open_locked(std::string& err) {
        fd_ = ::open(path_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
        if (fd_ < 0) {
            err = system_error(errno);
            return false;
        }
        struct stat st {};
        // A trace written before traces were private is made private now.
        if (::fstat(fd_, &st) == 0) {
            size_ = static_cast<long>(st.st_size);
            if ((st.st_mode & 07777) != 0600 && ::fchmod(fd_, 0600) != 0)
                emsg("Trace (%s) could not be made private, %s", path_.c_str(),
                     system_error(errno).c_str());
        } else {
            size_ = 0;
        }
        return true;
    }
    // The descriptor is only closed while nobody writes through it.
    void close_locked(std::unique_lock<std::mutex>& hold) {
        idle_.wait(hold, [this] { return !writing_; });
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    void rotate_locked(std::unique_lock<std::mutex>& hold, int keep);
    // Adds text (whole lines, within the budget) to what is pending and writes it, unless
    // another thread is writing: that one takes it with its next write.
    void append_locked(std::unique_lock<std::mutex>& hold, std::string_view text);

    std::mutex lock_;
    std::condition_variable idle_;  // the writing thread has finished
    std::string path_;
    int fd_ = -1;
    long size_ = 0;         // bytes in the file once what is pending is written
    std::string pending_;   // lines taken but not yet written
    bool writing_ = false;  // a thread is writing pending lines outside the lock
};

namespace {

std::atomic<long> g_max{TRACE_MAX_SIZE_DEFAULT};
std::atomic<int> g_keep{TRACE_KEEP_DEFAULT};
std::mutex g_open_lock;
std::vector<std::weak_ptr<TraceFile>> g_open;

}  // namespace

void TraceFile::rotate_locked(std::unique_lock<std::mutex>& hold, int keep) {
    close_locked(hold);
    if (keep <= 0) {
        std::remove(path_.c_str());
    } else {
        std::remove((path_ + std::to_string(keep - 1)).c_str());
        for (int n = keep - 1; n >= 1; --n)
            std::rename((path_ + std::to_string(n - 1)).c_str(),
                        (path_ + std::to_string(n)).c_str());
        std::rename(path_.c_str(), (path_ + "0").c_str());
    }
    std::string err;
    if (!open_locked(err)) emsg("Failed to start a new trace (%s), %s", path_.c_str(), err.c_str());
}

void TraceFile::append_locked(std::unique_lock<std::mutex>& hold, std::string_view text) {
    long max = g_max.load(std::memory_order_relaxed);
    long len = static_cast<long>(text.size());
    if (max > 0 && size_ > 0 && size_ + len > max) {
        // The writer at work finishes first: what it holds belongs to the old file.
        idle_.wait(hold, [this] { return !writing_; });
        // Another thread may have rotated meanwhile.
        if (size_ > 0 && size_ + len > max)
            rotate_locked(hold, g_keep.load(std::memory_order_relaxed));
    }
    if (fd_ < 0) return;
    pending_.append(text);
    size_ += len;
    // Many session threads trace at once: one writes for all, and the others go back to
    // their clients instead of queueing on the file.
    if (writing_) return;
    writing_ = true;
    std::string batch;
    while (!pending_.empty()) {
        batch.swap(pending_);
        pending_.clear();
        const int fd = fd_;
        hold.unlock();
        std::size_t at = 0;
        while (at < batch.size()) {
            ssize_t n = ::write(fd, batch.data() + at, batch.size() - at);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            at += static_cast<std::size_t>(n);
        }
        hold.lock();
        // What could not be written does not count against the budget.
        size_ -= static_cast<long>(batch.size() - at);
    }
    writing_ = false;
    idle_.notify_all();
}

void TraceFile::write(std::string_view line) {
    std::unique_lock<std::mutex> hold(lock_);
    long max = g_max.load(std::memory_order_relaxed);
    // A line longer than the whole limit is cut, so the budget holds for any line.
    if (max > 0 && static_cast<long>(line.size()) > max) line = line.substr(0, max);
    append_locked(hold, line);
}

void TraceFile::write_lines(std::string_view lines) {
    {
        std::unique_lock<std::mutex> hold(lock_);
        long max = g_max.load(std::memory_order_relaxed);
        if (max <= 0 || static_cast<long>(lines.size()) <= max) {
            append_locked(hold, lines);
            return;
        }
    }
    // More than a whole file: line by line, so that rotation and the cut of an overlong
    // line work as for single lines.
    while (!lines.empty()) {
        std::size_t end = lines.find('\n');
        std::size_t take = end == std::string_view::npos ? lines.size() : end + 1;
        write(lines.substr(0, take));
        lines.remove_prefix(take);
    }
}

namespace {

// This thread's held lines, one buffer per trace in the order first written.
struct HeldLines {
    int depth = 0;
    std::size_t bytes = 0;
    std::vector<std::pair<std::shared_ptr<TraceFile>, std::string>> per_trace;
};
thread_local HeldLines t_held;
// What trace_write_held() is writing, and the room of a buffer already written.
thread_local std::vector<std::pair<std::shared_ptr<TraceFile>, std::string>> t_writing;
thread_local std::string t_spare;
thread_local bool t_writing_held = false;

}  // namespace

TraceHold::TraceHold() {
    ++t_held.depth;
}

TraceHold::~TraceHold() {
    if (--t_held.depth == 0) trace_write_held();
}

bool trace_holding() {
    return t_held.bytes != 0;
}

void trace_write_held() {
    if (t_held.bytes == 0 || t_writing_held) return;
    t_writing_held = true;
    // Taken out first: a write that logs (a failed rotation) must not find them again. The
    // vector and one buffer keep their room for the thread's next hold.
    t_writing.clear();
    t_writing.swap(t_held.per_trace);
    t_held.bytes = 0;
    for (auto& [t, text] : t_writing) {
        if (!text.empty()) t->write_lines(text);
        if (text.capacity() <= 2 * TRACE_HOLD_MAX && text.capacity() > t_spare.capacity()) {
            text.clear();
            t_spare.swap(text);
        }
    }
    t_writing.clear();  // lets go of the traces
    t_writing_held = false;
}

void trace_set_limits(long max_size, int keep) {
    g_max.store(max_size, std::memory_order_relaxed);
    g_keep.store(keep < 0 ? 0 : keep, std::memory_order_relaxed);
}

long trace_max_size() {
    return g_max.load(std::memory_order_relaxed);
}

Result<std::shared_ptr<TraceFile>> trace_open(const std::string& path) {
    auto t = std::make_shared<TraceFile>(path);
    if (std::string err; !t->open(err)) return Error{0, std::move(err)};
    std::lock_guard<std::mutex> hold(g_open_lock);
    std::erase_if(g_open, [](const std::weak_ptr<TraceFile>& w) { return w.expired(); });
    g_open.push_back(t);
    return t;
}

void trace_write(TraceFile& t, std::string_view line) {
    if (t_held.depth == 0) {
        t.write(line);
        return;
    }
    std::string* buf = nullptr;
    for (auto& [held, text] : t_held.per_trace)
        if (held.get() == &t) buf = &text;
    if (buf == nullptr) {
        buf = &t_held.per_trace.emplace_back(t.shared_from_this(), std::move(t_spare)).second;
        buf->clear();
        t_spare = std::string();
    }
    buf->append(line);
    t_held.bytes += line.size();
    if (t_held.bytes > TRACE_HOLD_MAX) trace_write_held();
}

const std::string& trace_path(const TraceFile& t) {
    return t.path();
}

void trace_reopen_all() {
    std::vector<std::shared_ptr<TraceFile>> live;
    {
        std::lock_guard<std::mutex> hold(g_open_lock);
        for (const auto& w : g_open)
            if (auto t = w.lock()) live.push_back(std::move(t));
    }
    for (const auto& t : live) t->reopen();
}

}  // namespace tolvane
