// Message records and rate limits.
//
// A rate limit (msgrecs) counts, per client address (kind 0, "ip"), per sender or
// billing address (kind 1, "from"), per destination (kind 2, "to") and per name the
// client authenticated as (kind 3, "user"; mails without one are not counted there),
// how many SMS each key has caused. Counts live in memory and in four counter files per
// limit, <dir>/<name>.ip, .from, .to and .user, one line per key, "key<delim>%010d\n"; a change
// rewrites the ten digits in place, a new key appends a line. The counts of one kind
// expire together when its file has not changed for the limit's period.
//
// Message records are a journal: one line per outcome in the day file
// <dir>/YYYYMMDD.rec (mail to SMS) or .log (SMS to mail) of the first limit created;
// when a day's first line is written, the earlier day files of that kind are folded
// into their month files (YYYYMM.rec).
//
// Ownership: msgrec_init returns the owner and lists the limit on the LimitRegistry it
// is given, in order of creation, until msgrec_free; the registry belongs to whoever owns
// the limits (the gateway: Gateway::limit_registry beside Gateway::limits) and must
// outlive them. The open day files belong to a DayFiles object (the file store of the
// records holds one). Two registries, or two DayFiles, share nothing. The gateway builds
// its limits from its `limit` settings and passes plain values, so this module reads no
// settings:
//
//   LimitRegistry registry;
//   DayFiles days;
//   Result<msgrecs_ptr> made =
//       msgrec_init(registry, "msgrec", workpath, '|', "24", 0, 500, 500);
//   if (!made) fatal(made.reason());
//   msgrecs* mr = made->get();
//   if (msgrec_to_count(mr, dest) >= msgrec_to(mr)) refuse();
//   msgrec_write(registry, days, "SUCCESS", client, bill, dest, "NONE", "rec", true);
//
// Limits and choices:
// - A key is compared without regard to ASCII case and found through an index, so a
//   count costs the same with ten keys or a million. Keys are cut at 999 characters
//   and their control bytes counted as "?", so a key can never break its line; a key
//   may hold the delimiter (a line is split at its last one).
// - A period "Ny" is N * 8760 hours (a 365-day year); a negative period never expires.
// - A file's age is taken from the file when it is loaded and kept in memory after
//   every write, so a count does not stat the file.
// - Counts saturate at the 32-bit limits instead of wrapping.
// - A corrupt counter line (too few fields, a count that is not a decimal of at most
//   ten characters, control bytes) is skipped with a log line; when a file held such a
//   line, a count narrower than ten digits or an unfinished last line, it is rewritten
//   cleanly (temporary file and rename, its age kept) before any count is changed in
//   place, so an in-place write can never run into the next line.
// - Only files named like day files (eight digits, ".", kind) are folded, oldest
//   first; a month file is left as it is, which is the same as folding it into itself.
//   A fold interrupted by a crash leaves "<day file>.tmp", which the next fold appends.
// - CR and LF inside a message record field become blanks, so every record is one line.
// - "now" comes from the registry's clock, LimitRegistry::set_clock (tests move it; null
//   restores time()).
#pragma once

#include <atomic>
#include <ctime>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/result.h"
#include "records/kept_file.h"

namespace tolvane {

// MSGREC_KEY counts the HTTP API key an SMS was sent with (its name), in <name>.key.
enum MsgrecKind : int {
    MSGREC_IP = 0,
    MSGREC_FROM = 1,
    MSGREC_TO = 2,
    MSGREC_USER = 3,
    MSGREC_KEY = 4
};
inline constexpr int MSGREC_KINDS = 5;

// One counted key. `index` is the byte position of the ten digits in the counter file,
// -1 while the key has no line there.
struct msgrec {
    std::string string;
    int count = 0;
    long index = -1;
};

struct msgrecs_data;
// One rate limit. Its contents are the module's own; destroying it (msgrec_free, or
// simply dropping the owner) also takes it off its registry, which must outlive it.
class msgrecs {
  public:
    msgrecs();
    ~msgrecs();
    msgrecs(const msgrecs&) = delete;
    msgrecs& operator=(const msgrecs&) = delete;
    std::unique_ptr<msgrecs_data> d;
};
using msgrecs_ptr = std::unique_ptr<msgrecs>;

// The live limits of one owner in order of creation, under a lock of their own, and the
// clock their periods and records go by. The first limit gives the directory and
// delimiter of the message records. msgrec_init adds a limit; freeing it takes it off.
class LimitRegistry {
  public:
    LimitRegistry() = default;
    LimitRegistry(const LimitRegistry&) = delete;
    LimitRegistry& operator=(const LimitRegistry&) = delete;

    // Snapshot of the limits in order of creation, and a lookup by exact name. The
    // pointers stay valid until the owners free the limits.
    std::vector<msgrecs*> limits() const;
    msgrecs* find(std::string_view name) const;
    bool empty() const;
    // The directory and delimiter of the records (those of the first limit); false
    // without a limit.
    bool records_at(std::string& dir, char& delim) const;
    // One SMS sent, counted for its keys in every limit (user and apikey only when not
    // empty); with reserved, one reserved unit of each is settled in the same step.
    void count_sent(std::string_view client, std::string_view from, std::string_view to,
                    std::string_view user, bool reserved, std::string_view apikey = {});

    // Replaces the clock ("now"); null restores time().
    void set_clock(std::time_t (*now)());
    std::time_t now() const;

    // For msgrec_init and the limit's own end.
    void add(msgrecs* mr);
    void remove(msgrecs* mr);

  private:
    mutable std::mutex lock_;
    std::vector<msgrecs*> list_;
    std::atomic<std::time_t (*)()> clock_{nullptr};
};

// The day files of the message records kept open between records (reopened when the
// day, the directory or the file behind the name changes), under a lock that also
// serialises the check, append and fold, so that two threads starting a new day cannot
// fold the same files at once.
class DayFiles {
  public:
    DayFiles() = default;
    DayFiles(const DayFiles&) = delete;
    DayFiles& operator=(const DayFiles&) = delete;

    // Appends the record to its day file of day_kind in the records' directory of limits,
    // folding older day files when this starts a new one. 1 written, 0 without a limit
    // or when the file cannot be written.
    int write(const LimitRegistry& limits, std::string_view status, std::string_view client,
              std::string_view from, std::string_view to, std::string_view text,
              std::string_view day_kind, std::time_t when);

  private:
    std::mutex lock_;
    std::map<std::string, KeptFile, std::less<>> files_;
};

// Loads the counter files of a limit (removing those older than the period) and adds
// the limit to registry. The error on a read error other than a missing file: "Failed to
// read (%s), %s" (path, system error) with errno as its code; the limit is then not
// listed. The first form has no user limit.
Result<msgrecs_ptr> msgrec_init(LimitRegistry& registry, std::string_view name,
                                std::string_view dir, char delimiter, const char* period, int ip,
                                int from, int to);
Result<msgrecs_ptr> msgrec_init(LimitRegistry& registry, std::string_view name,
                                std::string_view dir, char delimiter, const char* period, int ip,
                                int from, int to, int user);
// The same with a limit of the API key kind.
Result<msgrecs_ptr> msgrec_init(LimitRegistry& registry, std::string_view name,
                                std::string_view dir, char delimiter, const char* period, int ip,
                                int from, int to, int user, int key);
// Removes the limit from its registry and frees it; mr becomes null.
void msgrec_free(msgrecs_ptr& mr);

// Name and limits (null / 0 for a null limit; a limit of 0 means none).
const char* msgrec_name(const msgrecs* mr);
int msgrec_ip(const msgrecs* mr);
int msgrec_from(const msgrecs* mr);
int msgrec_to(const msgrecs* mr);
int msgrec_user(const msgrecs* mr);
int msgrec_apikey(const msgrecs* mr);
int msgrec_limit(const msgrecs* mr, int kind);
int msgrec_hours(const msgrecs* mr);
// Counter file path of a kind ("" for a bad kind).
std::string msgrec_file(const msgrecs* mr, int kind);

// The key's count; 0 when absent, expired, or for a null limit or bad kind.
int msgrec_count(msgrecs* mr, int kind, std::string_view key);
int msgrec_ip_count(msgrecs* mr, std::string_view key);
int msgrec_from_count(msgrecs* mr, std::string_view key);
int msgrec_to_count(msgrecs* mr, std::string_view key);

// Adds amount to the key's count (a new key starts at 0). 1 done (also when only the
// in-place file write failed: the count is then kept in memory and the failure
// logged); 0 for a null limit, bad kind, or a new key whose line could
// not be appended (that count is lost).
int msgrec_add(msgrecs* mr, int kind, std::string_view key, int amount);
int msgrec_add_ip(msgrecs* mr, std::string_view key, int amount);
int msgrec_add_from(msgrecs* mr, std::string_view key, int amount);
int msgrec_add_to(msgrecs* mr, std::string_view key, int amount);

// The counts of one kind, for display and reset. The pointer lives as long as the limit.
class msgrec_list;
msgrec_list* msgrec_list_of(msgrecs* mr, int kind);
msgrec_list* msgrec_ip_list(msgrecs* mr);
msgrec_list* msgrec_from_list(msgrecs* mr);
msgrec_list* msgrec_to_list(msgrecs* mr);
// Calls fn for each entry in order of addition while holding the list's lock; fn may
// change an entry's count and call msgrec_update on it (the lock is re-entrant), but
// must not add keys. Returns the number of entries (0 for a null list).
int msgrec_list_walk(msgrec_list* list, const std::function<void(msgrec&)>& fn);
int msgrec_list_size(msgrec_list* list);

// Writes the entry's count over its ten digits in the counter file. 1 written; 0 for a
// bad kind, an entry without a line, or a file that cannot be opened or written.
int msgrec_update(msgrecs* mr, msgrec* entry, int kind);
// Appends the entry as a new line of the counter file and sets its index. 1 done.
int msgrec_append(msgrecs* mr, msgrec* entry, int kind);
// Sets the count of the first entry whose key equals key exactly to 0 and writes it.
// 1 done, 0 write failed (the count is 0 in memory), -1 no such entry or bad kind.
int msgrec_reset(msgrecs* mr, int kind, std::string_view key);

// Reservations: units of a key admitted against the limit and not yet settled (the SMS
// is still being sent). They live in memory only; the counter files hold successes.
// msgrec_reserve adds units to the key's reservation; with check, only when the limit
// is 0 or the count plus the units already reserved is below it, all under the list's
// lock, so that concurrent admissions can never pass the limit together. 1 reserved,
// 0 refused (or a null limit, bad kind, negative units).
int msgrec_reserve(msgrecs* mr, int kind, std::string_view key, int units, bool check);
// Gives back units of the key's reservation (never below 0): the send failed or the
// message was refused after its admission.
void msgrec_unreserve(msgrecs* mr, int kind, std::string_view key, int units);
// Units of the key reserved right now.
int msgrec_reserved(msgrecs* mr, int kind, std::string_view key);

// Appends one record to today's day file of kind day_kind ("rec" or "log") in the
// directory of the first limit of limits (through days, at the registry's "now"); with
// counted, adds 1 for client, from, to, user and apikey (each of the last two when not
// empty) to the counts of every limit, and with reserved as well settles one reserved
// unit of each in the same step. 1 written; 0 without any limit or when the day file
// cannot be written (nothing is counted or settled then).
int msgrec_write(LimitRegistry& limits, DayFiles& days, std::string_view status,
                 std::string_view client, std::string_view from, std::string_view to,
                 std::string_view text, std::string_view day_kind, bool counted,
                 bool reserved = false, std::string_view user = {}, std::string_view apikey = {});

// The line of a record (with its "\n") as the day file holds it, for stores that keep
// records elsewhere.
std::string msgrec_record_line(std::string_view status, std::string_view client,
                               std::string_view from, std::string_view to, std::time_t when,
                               std::string_view text, char delim);
// Every record of a local day ("YYYYMMDD") and kind as its day file holds them: the day
// file, or once it is folded the lines of its month file whose time names that day. Empty
// for a day without records. The error for a malformed day, an unreadable file ("Failed to
// read (%s), %s": path, system error, with errno as its code) or no limit at all.
Result<std::string> msgrec_day_records(const LimitRegistry& limits, std::string_view yyyymmdd,
                                       std::string_view day_kind);
// The same from the files in dir written with delim, without any limit.
Result<std::string> msgrec_day_records_in(const std::string& dir, char delim,
                                          std::string_view yyyymmdd, std::string_view day_kind);

// Day file name for a time and kind ("20240131.rec"); the month file takes its first
// six characters.
std::string msgrec_day_file(std::time_t when, std::string_view day_kind);
// Folds the day files of kind day_kind in dir, other than exclude, into month files.
void msgrec_compile(const std::string& dir, std::string_view day_kind, std::string_view exclude);

// Hours of a period text: "2d" 48, "1w" 168, "1y" 8760, "12" 12, "" or null 0.
int msgrec_read_hours(const char* period);

// A key as the limits count it: cut at the text limit, control bytes as "?", ASCII
// letters in lower case (two keys are the same key when these are equal).
std::string msgrec_key(std::string_view key);
// "now" as the clock of the limit's registry gives it (time() for a null limit).
std::time_t msgrec_now(const msgrecs* mr);

}  // namespace tolvane
