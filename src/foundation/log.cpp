// The process-wide log: one text file, four levels, rotation, held early errors.
//
// A Log owns its file descriptor, its path and the lines not yet written. The current log is a
// process-wide pointer that start-up sets; emsg/imsg/dmsg write to it. Errors issued while no log
// is current are kept in a bounded list (LOG_HELD_MAX, oldest dropped first) and written, in order,
// when a log becomes current.
//
// The writer lock is a plain leaf mutex rather than a named MUTEX: the named locks report
// their own failures through this log, and the log must stay usable (and fast) whatever
// state they are in. Nothing is called out to while it is held but the file system.
#include "foundation/log.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <deque>
#include <mutex>
#include <new>
#include <random>

#include "foundation/lib.h"
#include "foundation/thread.h"
#include "foundation/utf8.h"

namespace tolvane {

namespace {

constexpr const char* kLevelNames[] = {"None", "Error", "Info", "Debug"};
constexpr long kDefaultRotate = 1048576;
constexpr int kDefaultRotations = 4;

// Lines held back at most before they are written even without a flush.
constexpr std::size_t kBatchMax = 64 * 1024;

// An owned file descriptor.
class Fd {
  public:
    Fd() = default;
    ~Fd() { reset(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    void reset(int fd = -1) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }
    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }

  private:
    int fd_ = -1;
};

// Writes all of text; what the system refuses (a full disk) is lost.
void write_fully(int fd, std::string_view text) {
    while (!text.empty()) {
        ssize_t n = ::write(fd, text.data(), text.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        text.remove_prefix(static_cast<std::size_t>(n));
    }
}

// The process id changes only across fork, so it is asked for once per process.
std::atomic<long> g_pid{0};
long current_pid() {
    static std::once_flag once;
    std::call_once(once, [] {
        g_pid = static_cast<long>(getpid());
        pthread_atfork(nullptr, nullptr, [] { g_pid = static_cast<long>(getpid()); });
    });
    return g_pid.load(std::memory_order_relaxed);
}

// Storage that is built on first use and never destroyed, so that threads still logging
// while the process exits never touch a destroyed object.
template <class T>
class Forever {
  public:
    Forever() { ::new (static_cast<void*>(buf_)) T(); }
    T& get() { return *std::launder(reinterpret_cast<T*>(buf_)); }

  private:
    alignas(T) unsigned char buf_[sizeof(T)];
};

struct HeldErrors {
    std::mutex m;
    std::deque<std::string> texts;
    std::size_t dropped = 0;
};

HeldErrors& held() {
    static Forever<HeldErrors> h;
    return h.get();
}

std::atomic<Log*> g_current{nullptr};

// This thread's hold (see LogHold): its depth, and the log and line number its held
// lines must be handed to the system up to when the outermost hold ends.
struct HeldFlush {
    int depth = 0;
    Log* log = nullptr;
    std::uint64_t upto = 0;
};
thread_local HeldFlush t_hold;

int clamp_level(int level) {
    return level < LOG_NONE ? LOG_NONE : level;
}

// Message text as it goes into the file: cut at the first NUL and at 999 characters,
// trailing blanks and line ends removed.
std::string_view message_body(std::string_view text) {
    if (auto nul = text.find('\0'); nul != std::string_view::npos) text = text.substr(0, nul);
    if (text.size() > TEXT_MAX) text = text.substr(0, utf8_prefix_bytes(text, TEXT_MAX));
    while (!text.empty()) {
        char c = text.back();
        if (c != ' ' && c != '\t' && c != '\r' && c != '\n') break;
        text.remove_suffix(1);
    }
    return text;
}

// Appends a message so that it stays one line whatever a peer put in it: a control
// byte or DEL is written visibly (\n, \r, \t, else \xNN). This is the one
// place that does it, so that no caller has to remember to for the text it passes on.
void append_visible(std::string& out, std::string_view text) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::size_t plain = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c != 0x7f) continue;
        out.append(text.substr(plain, i - plain));
        plain = i + 1;
        out.push_back('\\');
        if (c == '\n') {
            out.push_back('n');
        } else if (c == '\r') {
            out.push_back('r');
        } else if (c == '\t') {
            out.push_back('t');
        } else {
            out.push_back('x');
            out.push_back(kHex[c >> 4]);
            out.push_back(kHex[c & 15]);
        }
    }
    out.append(text.substr(plain));
}

void append_int(std::string& out, long v) {
    char tmp[24];
    auto r = std::to_chars(tmp, tmp + sizeof tmp, v);
    out.append(tmp, r.ptr);
}

}  // namespace

class Log {
  public:
    std::string File;
    std::atomic<int> Level{LOG_ERROR};
    std::atomic<int> DoFlush{0};
    std::atomic<long> Lines{0};
    int Rotations = kDefaultRotations;
    long Size = 0;  // bytes of the file, counting lines handed over but not yet written
    long Rotate = kDefaultRotate;
    std::mutex Lock;
    Fd F;

    // Lines are appended to `pend` under Lock; one thread at a time (`writing`) hands a
    // batch to the system outside the lock, so that threads logging at once share one
    // write instead of queueing for one each. A line counts as flushed when `written`
    // has reached its number; a caller that must flush waits for that.
    std::string pend;
    std::string spare;
    bool writing = false;
    std::uint64_t appended = 0;
    std::uint64_t written = 0;
    std::condition_variable idle;

    // Guarded by Lock: the time text of the second last written.
    std::time_t stamp_sec = -1;
    std::string stamp;
    std::minstd_rand rng{static_cast<std::minstd_rand::result_type>(std::time(nullptr) ^ getpid())};

    ~Log() {
        // However the owner lets go of it, a destroyed log is no longer current.
        Log* self = this;
        g_current.compare_exchange_strong(self, nullptr);
        std::unique_lock<std::mutex> lk(Lock);
        close_locked(lk);
    }

    void wait_idle(std::unique_lock<std::mutex>& lk) {
        idle.wait(lk, [this] { return !writing; });
    }
    // Writes everything pending; no batch may be in flight.
    void write_pending_locked() {
        if (!pend.empty()) {
            if (F) write_fully(F.get(), pend);
            pend.clear();
        }
        written = appended;
    }
    void close_locked(std::unique_lock<std::mutex>& lk) {
        wait_idle(lk);
        write_pending_locked();
        F.reset();
    }
    // Opens path for appending and takes Size from it.
    bool open_locked(std::unique_lock<std::mutex>& lk, const std::string& path) {
        close_locked(lk);
        // The log names senders, recipients and addresses: readable by the owner and its
        // group (an operator's group), never by everyone.
        int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, LOG_FILE_MODE);
        struct stat st {};
        const bool known = fd >= 0 && ::fstat(fd, &st) == 0;
        Size = known ? static_cast<long>(st.st_size) : 0;
        // A log an earlier version made world-readable loses the others' bits and nothing
        // else; where that is not allowed (another owner) the log is written as it is.
        if (known && (st.st_mode & 0007) != 0) (void)::fchmod(fd, st.st_mode & 07770);
        F.reset(fd);
        return fd >= 0;
    }
    void flush_upto(std::unique_lock<std::mutex>& lk, std::uint64_t target);
    void rotate_locked(std::unique_lock<std::mutex>& lk);
    // label: the word before the text; null for the level's own name.
    void write_locked(std::unique_lock<std::mutex>& lk, int level, std::string_view body,
                      const char* label = nullptr);
};

void Log::flush_upto(std::unique_lock<std::mutex>& lk, std::uint64_t target) {
    while (written < target) {
        if (writing) {
            idle.wait(lk);
            continue;
        }
        writing = true;
        std::string batch = std::move(spare);
        batch.clear();
        batch.swap(pend);
        const std::uint64_t upto = appended;
        const int fd = F.get();
        lk.unlock();
        if (fd >= 0) write_fully(fd, batch);
        lk.lock();
        written = upto;
        writing = false;
        batch.clear();
        spare = std::move(batch);
        idle.notify_all();
    }
}

void Log::rotate_locked(std::unique_lock<std::mutex>& lk) {
    // Waiting for a batch in flight lets other threads in; one of them may have rotated
    // already, and rotating again would push a full old file out for a nearly empty one.
    wait_idle(lk);
    if (Size < Rotate) return;
    std::uniform_int_distribution<int> five(0, 99999);
    std::string tmp = strnprintf(TEXT_MAX + 32, "%s.%05d%05d", File.c_str(), five(rng), five(rng));
    close_locked(lk);
    std::rename(File.c_str(), tmp.c_str());
    open_locked(lk, File);
    for (int n = Rotations; n >= 1; --n) {
        std::string older = File + std::to_string(n);
        std::string newer = File + std::to_string(n - 1);
        std::remove(older.c_str());
        std::rename(newer.c_str(), older.c_str());
    }
    std::string first = File + "0";
    std::rename(tmp.c_str(), first.c_str());
}

void Log::write_locked(std::unique_lock<std::mutex>& lk, int level, std::string_view body,
                       const char* label) {
    if (!F) {
        if (File.empty() || !open_locked(lk, File)) return;
    }
    std::time_t now = std::time(nullptr);
    if (now != stamp_sec) {
        std::tm tm{};
        char at[64];
        if (safe_localtime(now, tm) && asctime_r(&tm, at)) {
            // "Www Mmm dd hh:mm:ss yyyy\n" from its fifth character, cut to 16.
            stamp.assign(at + 4, 16);
        } else {
            stamp.assign("Bad Time        ");
        }
        stamp_sec = now;
    }
    const std::size_t before = pend.size();
    pend.append(stamp);
    pend.append(" [");
    append_int(pend, current_pid());
    pend.append("][");
    append_int(pend, th_id());
    pend.append("] ");
    pend.append(label ? label : kLevelNames[level]);
    pend.append(": ");
    append_visible(pend, body);
    pend.push_back('\n');
    Size += static_cast<long>(pend.size() - before);
    const std::uint64_t mine = ++appended;

    long lines = Lines.load(std::memory_order_relaxed);
    Lines.store(lines + 1, std::memory_order_relaxed);
    int every = DoFlush.load(std::memory_order_relaxed);
    if (Rotate > 0 && Size >= Rotate) {
        rotate_locked(lk);
    } else if (every > 0 && lines % every == 0) {
        if (t_hold.depth > 0 && level > LOG_ERROR) {
            // Written when the hold ends; an error never waits.
            t_hold.log = this;
            t_hold.upto = mine;
        } else {
            flush_upto(lk, mine);
        }
    } else if (pend.size() >= kBatchMax) {
        flush_upto(lk, mine);
    }
}

namespace {

void log_line(Log* log, int level, std::string_view text, const char* label = nullptr) {
    if (!log || level <= LOG_NONE || level > LOG_DEBUG) return;
    if (level > log->Level.load(std::memory_order_relaxed)) return;
    std::string_view body = message_body(text);
    std::unique_lock<std::mutex> lk(log->Lock);
    log->write_locked(lk, level, body, label);
}

// Writes every held error to log and then makes it current. The held list stays locked
// throughout, so an error issued meanwhile waits and lands after the held ones. The held
// list's lock is taken before the writer lock, the only order in which they nest.
void make_current_and_drain(Log* log, bool only_if_none) {
    HeldErrors& h = held();
    std::lock_guard<std::mutex> hg(h.m);
    if (only_if_none && g_current.load(std::memory_order_acquire)) return;
    if (!h.texts.empty() || h.dropped > 0) {
        std::unique_lock<std::mutex> lk(log->Lock);
        if (log->Level.load(std::memory_order_relaxed) >= LOG_ERROR) {
            if (h.dropped > 0) {
                std::string note = strprintf(
                    "%zu errors issued before the log was opened were dropped; the last %zu "
                    "follow",
                    h.dropped, h.texts.size());
                log->write_locked(lk, LOG_ERROR, note);
            }
            for (const std::string& t : h.texts) log->write_locked(lk, LOG_ERROR, t);
        }
        h.texts.clear();
        h.texts.shrink_to_fit();
        h.dropped = 0;
    }
    g_current.store(log, std::memory_order_release);
}

// Keeps an error for the log that is yet to come. False when a log became current
// meanwhile (the caller writes to it instead).
bool hold_error(std::string_view text) {
    HeldErrors& h = held();
    std::lock_guard<std::mutex> hg(h.m);
    if (g_current.load(std::memory_order_acquire)) return false;
    h.texts.emplace_back(message_body(text));
    if (h.texts.size() > LOG_HELD_MAX) {
        h.texts.pop_front();
        ++h.dropped;
    }
    return true;
}

void write_or_hold(int level, std::string_view text) {
    Log* cur = g_current.load(std::memory_order_acquire);
    if (!cur) {
        if (level != LOG_ERROR || hold_error(text)) return;
        cur = g_current.load(std::memory_order_acquire);
    }
    log_line(cur, level, text);
}

void vlog(int level, const char* fmt, va_list ap) {
    if (!log_wants(level)) return;
    std::string text = vstrprintf(TEXT_MAX, fmt, ap);
    write_or_hold(level, text);
}

}  // namespace

std::unique_ptr<Log> log_init(int level) {
    // Lines a log without DoFlush still holds are written when the process exits, as a
    // buffered stream's would be.
    static std::once_flag at_exit;
    std::call_once(at_exit, [] { std::atexit([] { log_flush(nullptr); }); });
    auto log = std::make_unique<Log>();
    log->Level = clamp_level(level);
    return log;
}

void log_free(std::unique_ptr<Log>& log) {
    if (!log) return;
    Log* expected = log.get();
    g_current.compare_exchange_strong(expected, nullptr);
    log_close(log.get());
    log.reset();
}

int log_setup(Log* log, const char* dir, const char* name) {
    if (!log || !name) return 0;
    std::string path;
    if (dir && *dir) {
        struct stat st {};
        if (::stat(dir, &st) != 0 || !S_ISDIR(st.st_mode) || ::access(dir, W_OK | X_OK) != 0)
            return 0;
        path = attach_path(dir, name);
    } else {
        path = name;
    }
    {
        std::unique_lock<std::mutex> lk(log->Lock);
        log->close_locked(lk);
        log->File = cut(path);
    }
    if (!g_current.load(std::memory_order_acquire)) make_current_and_drain(log, true);
    return 1;
}

int log_open(Log* log, const std::string& path) {
    if (!log) return 0;
    {
        std::unique_lock<std::mutex> lk(log->Lock);
        if (!log->open_locked(lk, path)) return 0;
        log->File = cut(path);
    }
    if (!g_current.load(std::memory_order_acquire)) make_current_and_drain(log, true);
    return 1;
}

void log_close(Log* log) {
    if (!log) return;
    std::unique_lock<std::mutex> lk(log->Lock);
    log->close_locked(lk);
}

void log_doflush(Log* log, int n) {
    if (log) log->DoFlush = n;
}

void log_dorotate(Log* log, int rotations, long size) {
    if (!log) return;
    std::lock_guard<std::mutex> g(log->Lock);
    log->Rotations = rotations < 0 ? 0 : rotations;
    log->Rotate = size;
}

void log_flush(Log* log) {
    if (!log) log = g_current.load(std::memory_order_acquire);
    if (!log) return;
    std::unique_lock<std::mutex> lk(log->Lock);
    log->flush_upto(lk, log->appended);
}

LogHold::LogHold() {
    ++t_hold.depth;
}

LogHold::~LogHold() {
    if (--t_hold.depth > 0 || t_hold.log == nullptr) return;
    Log* log = t_hold.log;
    t_hold.log = nullptr;
    // A log that stopped being current meanwhile wrote what it held when it closed.
    if (g_current.load(std::memory_order_acquire) != log) return;
    std::unique_lock<std::mutex> lk(log->Lock);
    log->flush_upto(lk, t_hold.upto);
}

void log_set(Log* log) {
    if (!log) {
        g_current.store(nullptr, std::memory_order_release);
        return;
    }
    make_current_and_drain(log, false);
}

Log* log_current() {
    return g_current.load(std::memory_order_acquire);
}

void log_set_level(Log* log, int level) {
    if (log) log->Level = clamp_level(level);
}

int log_level(const Log* log) {
    return log ? log->Level.load() : LOG_NONE;
}

void log_set_level_name(Log* log, const char* name) {
    if (!log || !name) return;
    for (int i = LOG_NONE; i <= LOG_DEBUG; ++i) {
        if (iequals(name, kLevelNames[i])) {
            log->Level = i;
            return;
        }
    }
}

const char* log_level_name(const Log* log) {
    int level = log_level(log);
    return kLevelNames[level > LOG_DEBUG ? LOG_DEBUG : level];
}

const std::string& log_file(const Log* log) {
    static const std::string empty;
    return log ? log->File : empty;
}

long log_lines(const Log* log) {
    return log ? log->Lines.load() : 0;
}

void log_text(int level, const char* text) {
    if (!text || !log_wants(level)) return;
    write_or_hold(level, text);
}

bool log_wants(int level) {
    if (level <= LOG_NONE || level > LOG_DEBUG) return false;
    Log* cur = g_current.load(std::memory_order_acquire);
    if (!cur) return level == LOG_ERROR;
    return level <= cur->Level.load(std::memory_order_relaxed);
}

void emsg(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vlog(LOG_ERROR, fmt, ap);
    va_end(ap);
}

void wmsg(const char* fmt, ...) {
    if (!log_wants(LOG_INFO)) return;
    va_list ap;
    va_start(ap, fmt);
    std::string text = vstrprintf(TEXT_MAX, fmt, ap);
    va_end(ap);
    // Never held for a log yet to come: a peer's junk is not worth keeping like an error.
    log_line(g_current.load(std::memory_order_acquire), LOG_INFO, text, "Warning");
}

void imsg(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vlog(LOG_INFO, fmt, ap);
    va_end(ap);
}

void dmsg(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vlog(LOG_DEBUG, fmt, ap);
    va_end(ap);
}

}  // namespace tolvane

void std::default_delete<tolvane::Log>::operator()(tolvane::Log* log) const noexcept {
    delete log;
}
