// Reassembly of long SMS: the parts of one text, arriving one by one, in any
// order and perhaps twice, are held until all are there and then joined in order.
//
// A set of parts is known by (originator, reference, total). A part already held
// is ignored (centres and modems repeat parts after a lost acknowledgement). A set
// still incomplete `sms_concat_wait` seconds after its first part arrived is given
// out as it is, with "[part N of M missing]" where each missing part belongs, so a
// lost part never holds back the rest for ever.
//
// Ownership: the object owns the waiting sets and guards them with its own lock;
// add and expire may be called from any thread. The state is plain values
// (concat_set) that concat_serialise / concat_deserialise turn into text and back;
// the gateway keeps each part in its durable queue and merges the stored sets back
// at start-up. The clock is injected (seconds since the epoch) so tests can move
// time.
//
// Limits: at most SMS_CONCAT_MAX_SETS sets wait at once; a part beyond that gives
// out the oldest set early, marked as incomplete, instead of growing without end.
//
//   sms_reassembly r(600);
//   std::vector<concat_done> ready;
//   if (r.add(from, to, msg.concat, text, ready) == concat_outcome::waiting) return;  // held
//   for (concat_done& d : ready) deliver(d.originator, d.recipient, d.text);
//   ... and every few seconds: for (concat_done& d : r.expire()) deliver(...);
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/result.h"
#include "sms/sms_text.h"

namespace tolvane {

inline constexpr std::int64_t SMS_CONCAT_WAIT_DEFAULT = 600;
inline constexpr std::size_t SMS_CONCAT_MAX_SETS = 10000;

// One set of parts waiting for the rest.
struct concat_set {
    std::string originator;
    std::string recipient;  // as the first part named it
    int reference = 0;
    int total = 0;
    std::int64_t first_seen = 0;       // seconds since the epoch
    std::map<int, std::string> parts;  // part number (1 up) -> UTF-8 text
    bool operator==(const concat_set&) const = default;
};

// A set given out: complete, or incomplete after its wait ran out.
struct concat_done {
    std::string originator;
    std::string recipient;
    int reference = 0;
    std::string text;  // parts in order, a marker for each missing one
    int total = 0;
    int received = 0;  // parts that arrived
    [[nodiscard]] bool complete() const { return received == total; }
};

enum class concat_outcome {
    complete,   // this part completed its set, now in ready
    waiting,    // held until the rest arrives
    duplicate,  // this part was already held: ignored
    whole       // not a part at all: nothing held, the caller goes on with it
};

// The text of a set: parts in order, "[part N of M missing]" for each absent one.
std::string concat_join(const concat_set& set);

class sms_reassembly {
  public:
    using clock = std::function<std::int64_t()>;

    // wait_seconds below 1 counts as 1; a null clock reads the system time.
    explicit sms_reassembly(std::int64_t wait_seconds, clock now = {});

    // Adds one part. ready receives what is now to be given out (appended): the
    // set this part completed, and a set pushed out by the size limit.
    concat_outcome add(std::string_view originator, std::string_view recipient,
                       const sms_concat& concat, std::string_view text,
                       std::vector<concat_done>& ready);

    // Removes and returns the sets whose wait has run out.
    std::vector<concat_done> expire();

    // Changes the wait (below 1 counts as 1); sets already waiting keep their start.
    void set_wait(std::int64_t wait_seconds);

    // Seconds until the earliest wait runs out (0 when one is due); nullopt when
    // nothing waits.
    [[nodiscard]] std::optional<std::int64_t> next_due() const;
    [[nodiscard]] std::size_t waiting() const;

    // The waiting sets, and replacing them (for a store that keeps them).
    [[nodiscard]] std::vector<concat_set> snapshot() const;
    void restore(std::vector<concat_set> sets);
    // Adds sets to those waiting; a set already waiting takes the parts it lacks and keeps
    // the earlier start.
    void merge(std::vector<concat_set> sets);

    // Forgets a waiting set (its parts were finished elsewhere); false when none waited.
    bool drop(std::string_view originator, int reference, int total);

  private:
    struct key {
        std::string originator;
        int reference;
        int total;
        auto operator<=>(const key&) const = default;
    };

    concat_done finish(const concat_set& set) const;

    std::atomic<std::int64_t> wait_;
    clock now_;
    mutable std::mutex lock_;
    std::map<key, concat_set> sets_;  // guarded by lock_
};

// Waiting sets as text (one line a set and one a part, lengths before texts, so
// any byte may appear in a text) and back. concat_deserialise fails with the
// reason when the text is not what concat_serialise wrote.
std::string concat_serialise(const std::vector<concat_set>& sets);
Result<std::vector<concat_set>> concat_deserialise(std::string_view text);

}  // namespace tolvane
