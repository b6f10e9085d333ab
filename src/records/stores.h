// The gateway's shared state behind four small interfaces: message records, the message
// log, the phone number pool and the rate-limit counts.
//
// Each has a file implementation (the local files of msgrec.h, msglog.h and phones.h,
// exactly as a single gateway keeps them) and a PostgreSQL one (src/store/, for several
// gateways sharing one database). The gateway owns one set, Gateway::state: made with the
// file implementations over its own log, pool and limits, replaced by start-up with the
// database's when one is configured. The mail and SMS paths reach it through the objects
// they are handed and never learn which they have.
//
//   StateStores& st = gw.state;
//   state_write(st, "SUCCESS", client, bill, dest, "NONE", "rec", true, held, user);
//   if (!st.limits->reserve(mr, MSGREC_FROM, bill, 1, true)) refuse();
//   std::optional<std::string> n = st.phones->bind(sender);
//
// Ownership: a StateStores owns its four implementations; the file ones hold references
// to the log, pool and registry of limits they serve (and the record store its open day
// files and read positions), which must outlive them. Two sets share nothing. Every
// implementation is safe from any thread. The limits themselves (names, limits, periods)
// stay msgrecs objects of msgrec.h whichever store counts for them.
#pragma once

#include <cstddef>
#include <ctime>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "foundation/result.h"
#include "records/msglog.h"
#include "records/msgrec.h"
#include "records/phones.h"

namespace tolvane {

// Today's outcomes as the status page shows them. Lines are records as a day file holds
// them (without the "\n"), of day kind "rec" (mail to SMS) or "log" (SMS to mail).
struct DayOutcomes {
    int sent = 0;      // "rec" records of status SUCCESS
    int failed = 0;    // "rec" records of status FAILURE
    int received = 0;  // "log" records of an SMS that came in (client "SMS")
    struct Line {
        std::string day_kind;
        std::string line;
    };
    std::vector<Line> last;  // newest first
};

// Message records: one line per outcome, in the day file's exact format.
class RecordStore {
  public:
    virtual ~RecordStore() = default;
    // Keeps one record of day kind "rec" or "log", written at `when`. False when it could not
    // be kept (the caller counts nothing then).
    virtual bool write(std::string_view status, std::string_view client, std::string_view from,
                       std::string_view to, std::string_view text, std::string_view day_kind,
                       std::time_t when) = 0;
    // Every record of one local day ("YYYYMMDD") and kind, each a line as the day file holds
    // it, in the order they were kept. The error says why they cannot be read (a malformed
    // day, an unreadable file, a store that is away); a day without records is empty, not
    // an error.
    virtual Result<std::string> day(std::string_view yyyymmdd, std::string_view day_kind) = 0;
    // The figures of the local day of now and its last last_n records of both kinds. Cheap
    // enough for a page refreshed every few seconds. The error when they cannot be read now.
    virtual Result<DayOutcomes> today(std::time_t now, std::size_t last_n) = 0;
};

// The message log: which addresses sent to a phone, and when each did last.
class MessageLogStore {
  public:
    virtual ~MessageLogStore() = default;
    // Remembers that email has just sent to phone. False only when it could not be kept.
    virtual bool store(std::string_view phone, std::string_view email) = 0;
    // Number of entries of the phone; email gets entry n (from 0, in order of first store)
    // or "". -1 when the log cannot be read now (a shared store that is away): the caller
    // must not take that for "no entry".
    virtual int lookup(std::string_view phone, int n, std::string& email) = 0;
    // 1 with the address stored most recently for the phone (ties: the earlier entry).
    virtual int latest(std::string_view phone, std::string& email) = 0;
};

// The phone number pool: originating numbers bound to mail senders.
class PhonePoolStore {
  public:
    virtual ~PhonePoolStore() = default;
    // The lowest number free or idle for a day, bound to email in one step, so that no
    // other sender (of any gateway sharing the store) gets it; nullopt when all are taken.
    virtual std::optional<std::string> bind(std::string_view email) = 0;
    // The address bound to number (counting one message in), or nullopt; unavailable is
    // set when the pool cannot be read now (and nullopt then says nothing).
    virtual std::optional<std::string> in(std::string_view number, bool& unavailable) = 0;
    // The pool's use lock, which the callers hold around each use (PhonePool's for the
    // files, the store's own for the database).
    virtual NamedLock& use_lock() = 0;
};

// The rate-limit counts of the limits of a LimitRegistry.
class LimitStore {
  public:
    virtual ~LimitStore() = default;
    // Holds units of key against the limit; with check only when the limit is 0 or the
    // key's count and units held stay below it. Check and hold are one atomic step. 1
    // held, 0 refused (also for a null limit, a bad kind or negative units).
    virtual int reserve(msgrecs* mr, int kind, std::string_view key, int units, bool check) = 0;
    // Gives back units held for key (never below 0): the SMS was not sent.
    virtual void unreserve(msgrecs* mr, int kind, std::string_view key, int units) = 0;
    // One SMS sent, counted for its keys in every limit (user and the API key apikey only
    // when not empty); with reserved, the unit its admission held is settled by it.
    virtual void count_sent(std::string_view client, std::string_view from, std::string_view to,
                            std::string_view user, bool reserved, std::string_view apikey) = 0;
    // The key's count within the current period (units held included where the store
    // keeps them as counts).
    virtual int count(msgrecs* mr, int kind, std::string_view key) = 0;
    // The keys of a kind with their counts in the current period, for display: with the
    // files in order of addition as first spelt, in the database in key order as compared
    // (lower case).
    virtual std::vector<std::pair<std::string, int>> entries(msgrecs* mr, int kind) = 0;
    // Sets the count of a key as entries() shows it to 0. 1 done, 0 failed, -1 no such key.
    virtual int reset(msgrecs* mr, int kind, std::string_view key) = 0;
};

// The file implementation of RecordStore::today over the day files in a directory written
// with a delimiter: a file is read once and afterwards only what was appended to it since
// (the read positions are kept per file in the reader, under its lock, and yesterday's are
// dropped). A line longer than 4095 bytes is skipped.
class DayFileReader {
  public:
    DayFileReader();
    ~DayFileReader();
    DayFileReader(const DayFileReader&) = delete;
    DayFileReader& operator=(const DayFileReader&) = delete;

    DayOutcomes today(const std::string& dir, char delim, std::time_t now, std::size_t last_n);

    struct Files;

  private:
    std::mutex lock_;
    std::unique_ptr<Files> d_;
};

// The file implementations: the records over the day files of the first limit of limits
// (the store owns the open day files and the read positions), the log and the pool over
// the objects given, the counts over the limits of the registry.
std::unique_ptr<RecordStore> file_record_store(LimitRegistry& limits);
std::unique_ptr<MessageLogStore> file_msglog_store(MessageLog& log);
std::unique_ptr<PhonePoolStore> file_phone_pool(PhonePool& pool);
std::unique_ptr<LimitStore> file_limit_store(LimitRegistry& limits);

struct StateStores {
    std::unique_ptr<RecordStore> records;
    std::unique_ptr<MessageLogStore> msglog;
    std::unique_ptr<PhonePoolStore> phones;
    std::unique_ptr<LimitStore> limits;
    // The limits these stores keep records and counts for (not owned): records are kept
    // only while it holds a limit, at the time of its clock.
    LimitRegistry* registry = nullptr;
};

// The four file implementations over one gateway's limits, log and pool.
StateStores file_state_stores(LimitRegistry& limits, MessageLog& log, PhonePool& pool);

// A message record written through the stores: the record, then with counted the SMS
// counted (settling its reserved unit). 1 written; 0 when the registry holds no limit
// (the records take their directory and delimiter from the first) or the record could not
// be kept, and then nothing is counted.
int state_write(StateStores& stores, std::string_view status, std::string_view client,
                std::string_view from, std::string_view to, std::string_view text,
                std::string_view day_kind, bool counted, bool reserved = false,
                std::string_view user = {}, std::string_view apikey = {});

}  // namespace tolvane
