// The status of every message the HTTP API took: queued, sending, sent, delivered, failed
// or expired, with its transport, attempts, last error and times, for
// GET /api/v1/messages/{id}, and the delivery-report callback when it ends.
//
// A message is a queue entry of kind QUEUE_MAIL_TO_SMS flagged MAIL_FROM_API; its id is
// the entry's id in decimal. The entry itself carries what the report needs (the key's
// name, the callback URL, the reference, as API_HEADER_* headers), so nothing is lost
// while it waits. The delivery workers tell ApiMessages of each attempt and of the end of
// the send; the SMPP receipts of what the centre reports. Each change is appended to a
// journal (api_status_file, workpath/api_messages.log: one JSON object per line, the last
// line of an id wins), read back at start-up, where messages ended more than
// API_STATUS_KEEP_DAYS ago are dropped and the file written anew; entries still waiting
// in the queue that the journal lost (a crash before the line was written) are taken from
// the queue as queued. The journal is not flushed per line: the queue holds the promise,
// the journal only what became of it.
//
// Delivery reports are not lost by a stop: a change that has a report writes, in the same
// append to the journal, a line of the report (its body, URL, key and delivery id), flushed
// to disk (fdatasync, without the lock) before the report is handed over; once the webhook
// sender has stored it
// in the queue a short "queued" line follows. At start-up the reports without their
// "queued" line are kept and requeue_reports() hands them over again, with the same
// X-Tolvane-Delivery id: a report may so arrive twice (webhooks are at least once), never
// not at all. A report the queue could not take stays due in the same way.
//
// With `store postgresql` each change also goes to the shared store (PgApiStore,
// store/pg_api.h), and find() answers from it, so that every gateway on the database knows
// every message (the newer of the store's and this gateway's own when both know it); the
// journal stays, for this gateway's delivery reports.
//
// Ownership: owned by the Gateway, shared by the API's workers, the delivery workers and
// the receipts thread; safe from any thread (one lock).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "foundation/result.h"
#include "gateway/api_callbacks.h"
#include "queue/queue.h"
#include "store/pg_api.h"

namespace tolvane {

class Gateway;
class ApiKeyTable;

inline constexpr const char* API_HEADER_KEY = "X-Tolvane-Api-Key";
inline constexpr const char* API_HEADER_CALLBACK = "X-Tolvane-Api-Callback";
inline constexpr const char* API_HEADER_REFERENCE = "X-Tolvane-Api-Reference";
inline constexpr int API_STATUS_KEEP_DAYS = 7;

struct ApiMessage {
    std::string id, to, status, transport, error, reference, callback_url, key;
    std::uint32_t attempts = 0;
    std::int64_t created_ms = 0, updated_ms = 0;
};

// The journal's line of a message: every field (the callback included) as one JSON object.
std::string api_message_line(const ApiMessage& m);
// The value of one of an entry's headers ("" when absent).
std::string api_entry_header(const queue_entry& e, const char* name);
// A time in ms since the epoch as "YYYY-MM-DDTHH:MM:SSZ".
std::string api_time(std::int64_t ms);
// The message as GET /api/v1/messages/{id} answers it.
std::string api_message_json(const ApiMessage& m);

// Takes one report (its secret filled in, "" when its key was revoked); true once it is
// settled: stored in the queue, or dropped for good.
using ApiReportSink = std::function<bool(const ApiReport&)>;

class ApiMessages {
  public:
    // gw: where reports go (api_report; null: no reports); keys: the signing secrets;
    // path: the journal.
    // shared: the shared store that every gateway on the database reads (or null).
    ApiMessages(Gateway* gw, ApiKeyTable* keys, std::string path,
                std::shared_ptr<PgApiStore> shared = nullptr);
    ~ApiMessages();
    ApiMessages(const ApiMessages&) = delete;
    ApiMessages& operator=(const ApiMessages&) = delete;

    // Reads the journal back and writes it anew; the error (with the system's code) when it
    // cannot be written or opened.
    Status open();
    // Entries of the queue flagged MAIL_FROM_API that the journal does not know.
    void adopt(QueueStore& queue);
    // Hands over the reports the journal holds as not queued (a stop came between the
    // change and the queue, or the queue refused): the number settled now. Call once the
    // queue is open.
    std::size_t requeue_reports();
    // How many reports are written but not settled.
    std::size_t reports_pending();
    // Where reports go instead of the gateway's webhook sender (tests).
    void set_report_sink(ApiReportSink sink) { sink_ = std::move(sink); }

    // The entry was stored (queued), an attempt of it is marked (sending), its send ended
    // (status "sent", "failed" or "expired", with the transport's name and the error).
    void queued(const queue_entry& e);
    void attempt(const queue_entry& e);
    // attempt() for the entries of one window, written to the journal at once.
    void attempts(const std::vector<const queue_entry*>& es);
    void ended(const queue_entry& e, const std::string& status, const std::string& transport,
               const std::string& error);
    // The SMS centre's final word on a sent message: delivered or failed (with its state).
    void receipt(const std::string& id, bool delivered, const std::string& error);

    // The message of that id sent with the key of that name.
    std::optional<ApiMessage> find(const std::string& id, const std::string& key);

  private:
    // Sets the message under the lock, appends it to the journal; the report to send when
    // it ended and has a callback.
    // only_new: set only when the id is not known yet (a worker may have ended it already);
    // such a first row is not shared here (queued() writes it to the store at once).
    void change(ApiMessage m, bool report, bool only_new = false);
    // change() for several messages: one lock, one append.
    void change_all(std::vector<ApiMessage>& ms, bool report, bool only_new = false);
    // Appends lines to the journal (sync: flushed to disk before it returns).
    void append_locked(const std::string& lines, bool sync);
    // One line of the journal read back: a message, a report due, or a report queued.
    void read_line_locked(const std::string& line);
    // Passes a report to the sink with its key's secret; once settled, writes "queued".
    bool hand_over(ApiReport& r);
    // Passes a change to the shared store, when there is one.
    void share(const ApiMessage& m, bool only_new);
    ApiReportSink sink_;
    ApiKeyTable* keys_;
    std::shared_ptr<PgApiStore> shared_;
    std::string path_;
    std::mutex lock_;
    std::unordered_map<std::string, ApiMessage> messages_;  // guarded by lock_
    std::map<std::string, ApiReport> pending_;              // by rid; guarded by lock_
    int fd_ = -1;                                           // the journal, appended
};

}  // namespace tolvane
