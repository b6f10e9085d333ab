// Parts of long SMS kept in the queue: each received part is a QUEUE_SMS_PART entry
// before it is acknowledged; the entries of a set are finished once its joined mail is
// stored (or it produced nothing), and the sets still waiting are merged back into the
// reassembly at start-up. See sms_parts.h.
#include "gateway/sms_parts.h"

#include <algorithm>
#include <mutex>

#include "foundation/log.h"

namespace tolvane {

// The concatenation numbers in an entry's flags: reference (16 bits), total and part (8
// bits each, as a user-data header or the sar_* parameters carry them).
std::uint32_t pack_concat(const sms_concat& c) {
    return (static_cast<std::uint32_t>(c.reference & 0xffff) << 16) |
           (static_cast<std::uint32_t>(c.total & 0xff) << 8) |
           static_cast<std::uint32_t>(c.part & 0xff);
}

sms_concat unpack_concat(std::uint32_t flags) {
    sms_concat c;
    c.reference = static_cast<int>(flags >> 16);
    c.total = static_cast<int>((flags >> 8) & 0xff);
    c.part = static_cast<int>(flags & 0xff);
    return c;
}

void PartIds::remember(const PartKey& k, std::uint64_t id) {
    std::lock_guard<std::mutex> hold(lock_);
    ids_[k].push_back(id);
}

void PartIds::remember_all(const std::map<PartKey, std::vector<std::uint64_t>>& ids) {
    std::lock_guard<std::mutex> hold(lock_);
    for (const auto& [k, v] : ids) ids_[k].insert(ids_[k].end(), v.begin(), v.end());
}

bool PartIds::forget(const PartKey& k, std::uint64_t id) {
    std::lock_guard<std::mutex> hold(lock_);
    auto it = ids_.find(k);
    if (it == ids_.end()) return false;
    const bool known = std::erase(it->second, id) > 0;
    if (it->second.empty()) ids_.erase(it);
    return known;
}

std::vector<std::uint64_t> PartIds::take(const PartKey& k) {
    std::lock_guard<std::mutex> hold(lock_);
    auto it = ids_.find(k);
    if (it == ids_.end()) return {};
    std::vector<std::uint64_t> ids = std::move(it->second);
    ids_.erase(it);
    return ids;
}

void PartIds::clear() {
    std::lock_guard<std::mutex> hold(lock_);
    ids_.clear();
}

void finish_entries(QueueStore* q, const std::vector<std::uint64_t>& ids, const char* why) {
    if (q == nullptr) return;
    for (std::uint64_t id : ids) {
        // At worst the part comes back at the next start and its set is mailed again.
        if (Status s = q->complete(id, true, why); !s)
            emsg("Queue entry %llu: cannot finish the stored part (%s)",
                 static_cast<unsigned long long>(id), s.error().reason.c_str());
    }
}

// Forgets one stored part (a duplicate) and finishes its entry.
void drop_part(QueueStore* q, PartIds& known, const PartKey& k, std::uint64_t id) {
    known.forget(k, id);
    finish_entries(q, {id}, "duplicate part");
}

namespace {

// Stored parts as sets; an entry that repeats a part already found is added to `repeated`.
std::vector<concat_set> sets_of(const std::vector<queue_entry>& entries,
                                const std::vector<std::uint64_t>* only,
                                std::map<PartKey, std::vector<std::uint64_t>>& ids,
                                std::vector<std::uint64_t>& repeated) {
    std::map<PartKey, concat_set> sets;
    for (const queue_entry& e : entries) {
        if (only != nullptr && std::find(only->begin(), only->end(), e.id) == only->end()) continue;
        sms_concat c = unpack_concat(e.flags);
        if (!c.is_part()) continue;
        PartKey k{e.originator, c.reference, c.total};
        concat_set& s = sets[k];
        if (s.parts.empty()) {
            s.originator = e.originator;
            s.recipient = e.destination;
            s.reference = c.reference;
            s.total = c.total;
            s.first_seen = e.enqueued_ms / 1000;
        }
        if (!s.parts.emplace(c.part, e.text).second) {
            repeated.push_back(e.id);
            continue;
        }
        ids[k].push_back(e.id);
    }
    std::vector<concat_set> out;
    for (auto& [k, s] : sets) out.push_back(std::move(s));
    return out;
}

}  // namespace

// The stored parts (all of them, or only those with the given ids) as sets.
std::vector<concat_set> stored_sets(QueueStore& q, const std::vector<std::uint64_t>* only,
                                    std::map<PartKey, std::vector<std::uint64_t>>& ids,
                                    std::vector<std::uint64_t>& repeated) {
    // At start-up only this gateway's own sets (and those of a gateway that has gone):
    // another live gateway is still collecting its own.
    return sets_of(only ? q.list(QUEUE_SMS_PART) : q.adopt(QUEUE_SMS_PART), only, ids, repeated);
}

bool parts_shared(const QueueStore* q) {
    // Only a store with a database behind it is shared by several gateways.
    return q != nullptr && q->database_up().has_value();
}

std::optional<TakenSet> take_set(QueueStore* q, const PartKey& k, bool whole) {
    if (!parts_shared(q)) return std::nullopt;
    sms_concat c;
    c.reference = k.reference;
    c.total = k.total;
    c.part = 0;
    QueueStore::kept_set set;
    set.kind = QUEUE_SMS_PART;
    set.originator = k.originator;
    set.mask = 0xffffff00u;  // reference and total; the low byte numbers the part
    set.value = pack_concat(c);
    set.total = k.total;
    TakenSet out;
    Result<std::optional<std::vector<queue_entry>>> rows = q->take_set(set, whole);
    if (!rows) {
        out.failed = rows.error().reason;
        return out;
    }
    if (!*rows) return std::nullopt;
    std::map<PartKey, std::vector<std::uint64_t>> ids;
    std::vector<std::uint64_t> repeated;
    std::vector<concat_set> sets = sets_of(**rows, nullptr, ids, repeated);
    finish_entries(q, repeated, "duplicate part");
    if (sets.empty()) return out;
    const concat_set& s = sets.front();
    out.done.originator = s.originator;
    out.done.recipient = s.recipient;
    out.done.reference = s.reference;
    out.done.total = s.total;
    out.done.received = static_cast<int>(s.parts.size());
    out.done.text = concat_join(s);
    out.ids = std::move(ids.begin()->second);
    return out;
}

std::vector<concat_set> adopt_parts(QueueStore& q, PartIds& known) {
    std::vector<queue_entry> rows = q.adopt_gone(QUEUE_SMS_PART);
    if (rows.empty()) return {};
    std::map<PartKey, std::vector<std::uint64_t>> ids;
    std::vector<std::uint64_t> repeated;
    std::vector<concat_set> sets = sets_of(rows, nullptr, ids, repeated);
    finish_entries(&q, repeated, "duplicate part");
    known.remember_all(ids);
    return sets;
}

// Puts the stored parts of a set back among the waiting ones: its mail could not be stored,
// so it is tried again when its wait runs out (or at the next start).
void put_back(QueueStore* q, sms_reassembly& r, PartIds& known,
              const std::vector<std::uint64_t>& stored) {
    if (q == nullptr || stored.empty()) return;
    std::map<PartKey, std::vector<std::uint64_t>> ids;
    std::vector<std::uint64_t> repeated;
    r.merge(stored_sets(*q, &stored, ids, repeated));
    known.remember_all(ids);
}

int restore_parts(QueueStore& q, PartIds& known, std::vector<concat_set>& waiting,
                  std::vector<concat_done>& complete) {
    std::map<PartKey, std::vector<std::uint64_t>> ids;
    std::vector<std::uint64_t> repeated;
    std::vector<concat_set> sets = stored_sets(q, nullptr, ids, repeated);
    finish_entries(&q, repeated, "duplicate part");
    int parts = 0;
    for (concat_set& s : sets) {
        parts += static_cast<int>(s.parts.size());
        if (static_cast<int>(s.parts.size()) == s.total) {
            concat_done d;
            d.originator = s.originator;
            d.recipient = s.recipient;
            d.reference = s.reference;
            d.total = s.total;
            d.received = s.total;
            d.text = concat_join(s);
            complete.push_back(std::move(d));
        } else {
            waiting.push_back(std::move(s));
        }
    }
    known.remember_all(ids);
    if (!sets.empty())
        imsg("Long SMS: %d stored parts of %zu sets waiting from an earlier run", parts,
             sets.size());
    return parts;
}

}  // namespace tolvane
