// The message log: for each phone, which mail addresses have sent an SMS to it and
// when each did so last, so that a reply from that phone can be routed back.
//
// A MessageLog object, guarded by its own lock: the mail side stores after every SMS
// sent, the SMS side looks up, at the same time. On disk it is one text file, one
// entry per line "phone<delim>address<delim>time\n"; every store appends a line (the
// last line of a pair gives its time) and a save at shutdown rewrites the file
// compactly.
//
//   MessageLog log;
//   if (Status st = log.load(workpath + "/msglog.dat", '|'); !st) fatal(st.reason());
//   log.store("+61400123456", "ann@example.com");
//   std::string to;
//   int n = log.lookup("+61400123456", 0, to);       // n entries; to = the first
//   Status saved = log.save(workpath + "/msglog.dat");  // at shutdown
//
// Ownership: the gateway owns its log (Gateway::msglog) and hands it to the file store
// of the message log; two objects share nothing, not even their clock.
//
// Limits and choices:
// - Phones compare with exact case, addresses without regard to case; one entry per
//   pair; the entries of a phone keep their order of addition.
// - A hash map keyed by phone, reserved from the file size (size / 150, at least
//   1000) and growing as needed, so lookups stay cheap however far the log grows. A
//   save writes each phone's entries in their order; the order of phones is the map's.
// - A save writes "<file>.tmp", syncs it and renames it into place, so a crash never
//   leaves a half-written log.
// - Lines with fewer than three fields, a time that is not a decimal number, or control
//   bytes are skipped with a log line. A last line without a line end is an entry like
//   any other when it is whole (the line end is then added to the file); when it is not,
//   it is an append cut short, skipped and cut from the file. Either way the next
//   append starts on a line of its own.
// - Times are kept as 64-bit seconds. A pair holding the delimiter, CR or LF is kept in
//   memory but never written, as it could not be read back as one entry.
// - "now" comes from set_clock (null restores time()).
#pragma once

#include <atomic>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "foundation/result.h"
#include "records/kept_file.h"

namespace tolvane {

class MessageLog {
  public:
    MessageLog();
    ~MessageLog();
    MessageLog(const MessageLog&) = delete;
    MessageLog& operator=(const MessageLog&) = delete;

    // Loads the file (a missing file gives an empty log); a loaded log is emptied first.
    // The error on a read error: errno and its system text.
    Status load(const std::string& path, char delimiter);
    // Writes every entry to path (temporary file and rename). Saved also when no log was
    // loaded (then nothing is written); the error is the system's code and text.
    Status save(const std::string& path);
    // Number of entries of the phone; email gets the address of entry n (from 0) or "".
    int lookup(const char* phone, int n, std::string& email);
    // 1 with the address stored most recently for the phone (ties: the earlier entry),
    // else 0.
    int latest(const char* phone, std::string& email);
    // Remembers that email has just sent to phone and appends the line (when a file was
    // loaded). 1; 0 only when phone or email is null.
    int store(const char* phone, const char* email);
    // Number of entries in the log (all phones).
    long size();
    // Frees the table and forgets the path.
    void clear();

    void set_clock(std::time_t (*now)());
    // "now" as that clock gives it.
    std::time_t now() const;

    struct Table;

  private:
    std::mutex lock_;  // held for a whole operation, file append included
    std::unique_ptr<Table> table_;
    std::string path_;
    // The file appended to by store(), kept open between stores (a save's rewrite is
    // noticed and the new file opened).
    KeptFile file_;
    char delim_ = '|';
    std::atomic<std::time_t (*)()> clock_{nullptr};
};

}  // namespace tolvane
