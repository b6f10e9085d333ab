// The process-wide log: one text file, four levels, rotation, held early errors.
//
// A Log owns its stream and its path. The current log is a process-wide pointer that
// start-up sets; emsg/imsg/dmsg write to it. Errors issued while no log is current are
// kept in a bounded list (LOG_HELD_MAX, oldest dropped first) and written, in order,
// when a log becomes current.
//
// The writer lock is a plain leaf mutex rather than a named MUTEX: the named locks report
// their own failures through this log, and the log must stay usable (and fast) whatever
// state they are in. Nothing is called out to while it is held except stdio.
#include "foundation/log.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <charconv>
#include <cstdio>
#include <ctime>
#include <deque>
#include <mutex>
#include <new>
#include <random>

#include "foundation/lib.h"
#include "foundation/thread.h"

namespace tolvane {

namespace {

constexpr const char* kLevelNames[] = {"None", "Error", "Info", "Debug"};
constexpr long kDefaultRotate = 1048576;
constexpr int kDefaultRotations = 4;

struct FileCloser {
    void operator()(std::FILE* f) const {
        if (f) std::fclose(f);
    }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

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

int clamp_level(int level) {
    return level < LOG_NONE ? LOG_NONE : level;
}

// Message text as it goes into the file: cut at the first NUL and at 999 characters,
// trailing blanks and line ends removed.
std::string_view message_body(std::string_view text) {
    if (auto nul = text.find('\0'); nul != std::string_view::npos) text = text.substr(0, nul);
    if (text.size() > TEXT_MAX) text = text.substr(0, TEXT_MAX);
    while (!text.empty()) {
        char c = text.back();
        if (c != ' ' && c != '\t' && c != '\r' && c != '\n') break;
        text.remove_suffix(1);
    }
    return text;
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
    long Size = 0;
    long Rotate = kDefaultRotate;
    std::mutex Lock;
    FilePtr F;

    // Guarded by Lock: the time text of the second last written, and the line being built.
    std::time_t stamp_sec = -1;
    std::string stamp;
    std::string line;
    std::minstd_rand rng{static_cast<std::minstd_rand::result_type>(std::time(nullptr) ^ getpid())};

    // Opens File for appending and takes Size from it. Lock held.
    bool open_locked(const std::string& path) {
        F.reset();
        struct stat st {};
        Size = (::stat(path.c_str(), &st) == 0) ? static_cast<long>(st.st_size) : 0;
        F.reset(std::fopen(path.c_str(), "a"));
        if (!F) return false;
        std::setvbuf(F.get(), nullptr, _IOFBF, 64 * 1024);
        return true;
    }

    void rotate_locked();
    void write_locked(int level, std::string_view body);
};

void Log::rotate_locked() {
    std::uniform_int_distribution<int> five(0, 99999);
    std::string tmp = strnprintf(TEXT_MAX + 32, "%s.%05d%05d", File.c_str(), five(rng), five(rng));
    F.reset();
    std::rename(File.c_str(), tmp.c_str());
    open_locked(File);
    for (int n = Rotations; n >= 1; --n) {
        std::string older = File + std::to_string(n);
        std::string newer = File + std::to_string(n - 1);
        std::remove(older.c_str());
        std::rename(newer.c_str(), older.c_str());
    }
    std::string first = File + "0";
    std::rename(tmp.c_str(), first.c_str());
}

void Log::write_locked(int level, std::string_view body) {
    if (!F) {
        if (File.empty() || !open_locked(File)) return;
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
    line.clear();
    line.append(stamp);
    line.append(" [");
    append_int(line, static_cast<long>(getpid()));
    line.append("][");
    append_int(line, th_id());
    line.append("] ");
    line.append(kLevelNames[level]);
    line.append(": ");
    line.append(body);
    line.push_back('\n');

    std::size_t n = std::fwrite(line.data(), 1, line.size(), F.get());
    Size += static_cast<long>(n);
    long lines = Lines.load(std::memory_order_relaxed);
    int every = DoFlush.load(std::memory_order_relaxed);
    if (Rotate > 0 && Size >= Rotate) {
        rotate_locked();
    } else if (every > 0 && lines % every == 0) {
        std::fflush(F.get());
    }
    Lines.store(lines + 1, std::memory_order_relaxed);
}

namespace {

void log_line(Log* log, int level, std::string_view text) {
    if (!log || level <= LOG_NONE || level > LOG_DEBUG) return;
    if (level > log->Level.load(std::memory_order_relaxed)) return;
    std::string_view body = message_body(text);
    std::lock_guard<std::mutex> g(log->Lock);
    log->write_locked(level, body);
}

// Makes log current and writes every held error to it, before any other thread can write
// a line to it. The writer lock is taken first and the held list's lock second, the only
// order in which the two are ever nested.
void make_current_and_drain(Log* log, bool only_if_none) {
    std::lock_guard<std::mutex> g(log->Lock);
    std::deque<std::string> texts;
    std::size_t dropped = 0;
    {
        HeldErrors& h = held();
        std::lock_guard<std::mutex> hg(h.m);
        if (only_if_none && g_current.load(std::memory_order_acquire)) return;
        g_current.store(log, std::memory_order_release);
        texts.swap(h.texts);
        dropped = h.dropped;
        h.dropped = 0;
    }
    if (log->Level.load(std::memory_order_relaxed) < LOG_ERROR) return;
    if (dropped > 0) {
        std::string note = strprintf(
            "%zu errors issued before the log was opened were dropped; the last %zu follow",
            dropped, texts.size());
        log->write_locked(LOG_ERROR, note);
    }
    for (const std::string& t : texts) log->write_locked(LOG_ERROR, message_body(t));
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
        std::lock_guard<std::mutex> g(log->Lock);
        log->F.reset();
        log->File = cut(path);
    }
    if (!g_current.load(std::memory_order_acquire)) make_current_and_drain(log, true);
    return 1;
}

int log_open(Log* log, const std::string& path) {
    if (!log) return 0;
    {
        std::lock_guard<std::mutex> g(log->Lock);
        if (!log->open_locked(path)) return 0;
        log->File = cut(path);
    }
    if (!g_current.load(std::memory_order_acquire)) make_current_and_drain(log, true);
    return 1;
}

void log_close(Log* log) {
    if (!log) return;
    std::lock_guard<std::mutex> g(log->Lock);
    log->F.reset();
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
    std::lock_guard<std::mutex> g(log->Lock);
    if (log->F) std::fflush(log->F.get());
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
