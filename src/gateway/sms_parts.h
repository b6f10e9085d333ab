// Parts of long SMS kept in the queue while their set is incomplete, for the SMS-to-mail
// path (sms_to_mail.cpp): the concatenation numbers in a queue entry's flags, the stored
// entries of each waiting set (so that they are finished with it), and the sets read
// back from the queue at start-up or when a joined mail could not be stored.
//
// Ownership: the stored entry ids of each waiting set are a PartIds, owned by the gateway
// (through its LongSms state) and passed down; the entries themselves belong to the
// queue. Any message thread may call these.
#pragma once

#include <compare>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "queue/queue.h"
#include "sms/sms_concat.h"

namespace tolvane {

// A waiting set: its sender and its concatenation reference and count.
struct PartKey {
    std::string originator;
    int reference = 0;
    int total = 0;
    auto operator<=>(const PartKey&) const = default;
};

// The concatenation numbers in an entry's flags: reference (16 bits), total and part (8
// bits each, as a user-data header or the sar_* parameters carry them), and back.
std::uint32_t pack_concat(const sms_concat& c);
sms_concat unpack_concat(std::uint32_t flags);

// The stored entries of each waiting set, so that they are finished with it; under its
// own lock.
class PartIds {
  public:
    // Notes a stored part of a waiting set.
    void remember(const PartKey& k, std::uint64_t id);
    // The same for many sets at once (read back from the queue).
    void remember_all(const std::map<PartKey, std::vector<std::uint64_t>>& ids);
    // Forgets one stored part; true when it was known.
    bool forget(const PartKey& k, std::uint64_t id);
    // The stored entries of a set, forgotten here: the caller finishes them or puts them
    // back.
    std::vector<std::uint64_t> take(const PartKey& k);
    // Forgets every waiting set (a fresh start).
    void clear();

  private:
    std::mutex lock_;
    std::map<PartKey, std::vector<std::uint64_t>> ids_;  // guarded by lock_
};

// The long SMS waiting for the rest of their parts: the sets being joined and the stored
// queue entries of each. Owned by the gateway (one per running gateway, so that two in one
// process, as in tests, keep their sets apart); safe for every message thread.
struct LongSms {
    sms_reassembly reassembly{SMS_CONCAT_WAIT_DEFAULT};
    PartIds parts;
    // Forgets every waiting set held in memory, as a restart does.
    void forget() {
        reassembly.restore({});
        parts.clear();
    }
};

// Marks the entries done with the reason; a failure is logged (the part comes back at
// the next start at worst).
void finish_entries(QueueStore* q, const std::vector<std::uint64_t>& ids, const char* why);
// Forgets one stored part (a duplicate) and finishes its entry.
void drop_part(QueueStore* q, PartIds& known, const PartKey& k, std::uint64_t id);
// The stored parts (all of them, or only those with the given ids) as sets; their ids by
// set in ids; an entry that repeats a part already found is added to `repeated`.
std::vector<concat_set> stored_sets(QueueStore& q, const std::vector<std::uint64_t>* only,
                                    std::map<PartKey, std::vector<std::uint64_t>>& ids,
                                    std::vector<std::uint64_t>& repeated);
// Puts the stored parts of a set back among the waiting ones: its mail could not be
// stored, so it is tried again when its wait runs out (or at the next start).
void put_back(QueueStore* q, sms_reassembly& r, PartIds& known,
              const std::vector<std::uint64_t>& stored);
// Reads every stored part back at start-up: complete sets (their last part came just
// before a stop) into complete, the others into waiting, their entries remembered;
// repeated parts finished. The number of stored parts.
int restore_parts(QueueStore& q, PartIds& known, std::vector<concat_set>& waiting,
                  std::vector<concat_done>& complete);
// A set taken from a shared store: every gateway's stored parts of it, joined (marked
// where parts are missing), and the ids of its entries, now this gateway's to finish.
struct TakenSet {
    concat_done done;
    std::vector<std::uint64_t> ids;
    std::string failed;  // why the store could not be asked (no ids then)
};
// Whether the queue shares its stored parts with other gateways (a database store).
bool parts_shared(const QueueStore* q);
// Takes the set from a shared store (with `whole`, only when every part is stored by
// some gateway); repeated parts are finished. nullopt when the store is not shared; no ids
// when there was nothing to take (another gateway took it, or it is not whole) or the
// store could not be asked (failed says why).
std::optional<TakenSet> take_set(QueueStore* q, const PartKey& k, bool whole);
// The stored parts of gateways that have gone, now this gateway's, as sets, their entries
// remembered (repeated ones finished).
std::vector<concat_set> adopt_parts(QueueStore& q, PartIds& known);

}  // namespace tolvane
