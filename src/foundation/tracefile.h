// Dialogue trace files (the SMTP dialogue, the modem's lines and bytes): append-only
// text files that hold message texts, so they are private and bounded.
//
// A trace is created mode 0600 (an older one is made 0600 when opened) and rotated by
// the log's rule: when a line would take it past the size limit, "<file>" becomes
// "<file>0", "<file>0" becomes "<file>1" and so on, the oldest beyond the number kept is
// removed, and a new file is started. A file and its old files never hold more than
// (kept + 1) times the size limit. trace_reopen_all() closes every open trace and opens
// its name again (after an outside tool renamed it).
//
// Ownership: trace_open returns a shared handle; the module keeps a weak list of them
// for trace_reopen_all. Any thread may write. Lines are added whole to the handle's
// pending text under its lock, and one thread at a time writes what is pending outside
// it, going on while more comes: a thread that finds another writing leaves its lines to
// that one and returns at once. Lines of concurrent writers never interleave and keep the
// order in which they were added.
//
// A thread that writes many lines in a short while (an SMTP session: a few exchanges
// within milliseconds) can hold them: while a TraceHold lives on the thread, its lines
// are kept in a buffer of the thread and go out in one write per trace when
// trace_write_held() is called (the network layer calls it when a read has waited a
// whole slice, a second, for its peer), when more than TRACE_HOLD_MAX bytes are held, and
// when the hold ends. Lines of one thread keep their order; other threads' lines may come between
// two held batches, never inside a line.
//
//   auto t = trace_open("/var/log/tolvane/smtp.log");
//   if (t) trace_write(**t, "Dec  6 23:05:23 [004] 250 OK\n");
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "foundation/result.h"

namespace tolvane {

class TraceFile;

inline constexpr long TRACE_MAX_SIZE_DEFAULT = 1024L * 1024L;
inline constexpr int TRACE_KEEP_DEFAULT = 5;

// Size limit (bytes; 0 or less: never rotated) and number of old files kept for traces
// opened or rotated from now on.
void trace_set_limits(long max_size, int keep);
long trace_max_size();

// Opens path for appending (created 0600); fails with the system's reason ("No such file
// or directory"). The handle given on success is never null.
Result<std::shared_ptr<TraceFile>> trace_open(const std::string& path);
// Appends one line (the caller ends it), rotating first when it would not fit.
void trace_write(TraceFile& t, std::string_view line);
const std::string& trace_path(const TraceFile& t);
// Closes and reopens every trace still open; failures are logged.
void trace_reopen_all();

inline constexpr std::size_t TRACE_HOLD_MAX = 64 * 1024;

// Holds this thread's trace lines until trace_write_held() or its end (see above).
// Holds nest; the lines go out when the outermost one ends.
class TraceHold {
  public:
    TraceHold();
    ~TraceHold();
    TraceHold(const TraceHold&) = delete;
    TraceHold& operator=(const TraceHold&) = delete;
};
// Writes what this thread holds (nothing when it holds nothing).
void trace_write_held();
// True when this thread holds trace lines not written yet.
bool trace_holding();

}  // namespace tolvane
