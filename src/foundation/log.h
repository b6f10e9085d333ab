// The process-wide log.
//
// One text file with one time-stamped line per message, four levels, rotation
// into numbered old files when it reaches its size limit, and printf-style entry
// points (emsg, wmsg, imsg, dmsg) that any thread may call at any time. Errors
// issued before any log is current are held (bounded) and written, in order,
// when a log becomes current.
//
// With DoFlush n, every n-th line (and all before it) is handed to the system before
// its call returns (inside a LogHold: when the hold ends); threads logging at the same
// moment share one write.
//
// Line format: "%.16s [%d][%d] %s: %.*s\n" (asctime from its fifth character,
// process id, thread id, level name or "Warning", message cut at 999 characters).
//
// The file is created mode LOG_FILE_MODE (0640, less what the umask takes); a file that
// is already there and readable by others (made by an earlier version) loses the others'
// permission bits when it is opened, and is written as it is where that is not allowed.
#pragma once

#include <cstdarg>
#include <memory>
#include <string>

namespace tolvane {
class Log;
}  // namespace tolvane

// The handle is opaque; its deleter lives in log.cpp so that callers can own it through
// std::unique_ptr without seeing the type.
template <>
struct std::default_delete<tolvane::Log> {
    void operator()(tolvane::Log* log) const noexcept;
};

namespace tolvane {

inline constexpr unsigned LOG_FILE_MODE = 0640;

enum LogLevel : int { LOG_NONE = 0, LOG_ERROR = 1, LOG_INFO = 2, LOG_DEBUG = 3 };

std::unique_ptr<Log> log_init(int level);
void log_free(std::unique_ptr<Log>& log);  // also stops it being the current log
// dir may be null; 0 when dir is given and not writable (nothing changes).
int log_setup(Log* log, const char* dir, const char* name);
int log_open(Log* log, const std::string& path);
void log_close(Log* log);
void log_doflush(Log* log, int n);
void log_dorotate(Log* log, int rotations, long size);
void log_flush(Log* log = nullptr);  // null: the current log
void log_set(Log* log);              // make current (drains held errors)
Log* log_current();
void log_set_level(Log* log, int level);
int log_level(const Log* log);
void log_set_level_name(Log* log, const char* name);
const char* log_level_name(const Log* log);
const std::string& log_file(const Log* log);  // full path, empty until set up
long log_lines(const Log* log);

// Number of held errors the log keeps while no log is current; older ones are dropped
// first and one line says how many were dropped.
inline constexpr std::size_t LOG_HELD_MAX = 1000;

// A thread that writes several lines in one step that cannot wait on anyone (the
// records of one answered SMS) holds them while a LogHold lives: they are handed to the
// system together, in one write, when the outermost hold ends, instead of one write
// each. Errors are never held. Keep the step short: nothing that waits on a peer or a
// lock held for long may happen inside it.
class LogHold {
  public:
    LogHold();
    ~LogHold();
    LogHold(const LogHold&) = delete;
    LogHold& operator=(const LogHold&) = delete;
};

// Writes one line at the given level to the current log (already formatted text).
void log_text(int level, const char* text);
// True when a line of that level would be written to the current log (cheap; lets
// callers skip building expensive messages).
bool log_wants(int level);

void emsg(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// Something a peer sent that we could not use (a malformed PDU, a bad request): logged
// with the label "Warning" at info level, so that it reads as the peer's fault, not an
// error of ours, and the gateway goes on.
void wmsg(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void imsg(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void dmsg(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

}  // namespace tolvane
