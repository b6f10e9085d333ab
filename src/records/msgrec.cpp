// Rate-limit counts (see msgrec.h): reading, adding and resetting a key's count, the
// reservations that admissions hold until their SMS are settled, and walks over a
// kind's entries for display.
//
// Every operation on a kind runs under that kind's (re-entrant) list lock, which is
// also held while its counter file is written, so a count and its file never disagree
// for another thread.
#include <cerrno>
#include <cstring>
#include <mutex>

#include "foundation/log.h"
#include "records/msgrec_internal.h"

namespace tolvane {

using namespace msgrec_detail;

namespace msgrec_detail {

void unreserve_locked(msgrec_list& l, const std::string& folded, int units) {
    auto it = l.reserved.find(folded);
    if (it == l.reserved.end()) return;
    it->second -= units;
    if (it->second <= 0) l.reserved.erase(it);
}

}  // namespace msgrec_detail

int msgrec_count(msgrecs* mr, int kind, std::string_view key) {
    if (!mr || !valid_kind(kind)) return 0;
    // Most keys are stored as given: skip the copy for them.
    std::string normal;
    std::string_view k = key;
    if (!is_normal_key(key)) k = normal = normal_key(key);
    msgrec_list& l = mr->d->lists[kind];
    int count = 0;
    {
        std::lock_guard hold(l.lock);
        if (!mr->d->expired(l))
            if (msgrec* e = l.find(k)) count = e->count;
    }
    dmsg("MsgRec %s count [%.*s]=%d", kKindWord[kind], static_cast<int>(k.size()), k.data(), count);
    return count;
}
int msgrec_ip_count(msgrecs* mr, std::string_view key) {
    return msgrec_count(mr, MSGREC_IP, key);
}
int msgrec_from_count(msgrecs* mr, std::string_view key) {
    return msgrec_count(mr, MSGREC_FROM, key);
}
int msgrec_to_count(msgrecs* mr, std::string_view key) {
    return msgrec_count(mr, MSGREC_TO, key);
}

int msgrec_add(msgrecs* mr, int kind, std::string_view key, int amount) {
    if (!mr || !valid_kind(kind)) return 0;
    const char* word = kKindWord[kind];
    std::string k = normal_key(key);
    msgrec_list& l = mr->d->lists[kind];
    dmsg("MsgRec add%s [%s]", word, l.path.c_str());
    std::lock_guard hold(l.lock);
    expire_if_old(*mr->d, l);
    if (msgrec* e = l.find(k)) {
        e->count = saturating_add(e->count, amount);
        if (msgrec_update(mr, e, kind))
            imsg("MsgRec updated %s [%s]=%d", word, k.c_str(), e->count);
        else
            emsg("MsgRec update failed %s [%s]=%d (%s)", word, k.c_str(), e->count,
                 std::strerror(errno));
        dmsg("MsgRec done %s", word);
        return 1;
    }
    msgrec& e = l.entries.emplace_back();
    e.string = std::move(k);
    e.count = amount;
    if (!msgrec_append(mr, &e, kind)) {
        emsg("MsgRec add failed %s [%s]=%d", word, e.string.c_str(), e.count);
        l.entries.pop_back();
        return 0;
    }
    l.add_index(&e);
    imsg("MsgRec added new %s [%s]=%d", word, e.string.c_str(), e.count);
    dmsg("MsgRec done %s", word);
    return 1;
}
int msgrec_add_ip(msgrecs* mr, std::string_view key, int amount) {
    return msgrec_add(mr, MSGREC_IP, key, amount);
}
int msgrec_add_from(msgrecs* mr, std::string_view key, int amount) {
    return msgrec_add(mr, MSGREC_FROM, key, amount);
}
int msgrec_add_to(msgrecs* mr, std::string_view key, int amount) {
    return msgrec_add(mr, MSGREC_TO, key, amount);
}

int msgrec_reserve(msgrecs* mr, int kind, std::string_view key, int units, bool check) {
    if (!mr || !valid_kind(kind) || units < 0) return 0;
    std::string folded = folded_key(key);
    msgrec_list& l = mr->d->lists[kind];
    std::lock_guard hold(l.lock);
    expire_if_old(*mr->d, l);
    int limit = mr->d->limits[kind];
    if (check && limit != 0) {
        int counted = 0;
        if (msgrec* e = l.find(normal_key(key))) counted = e->count;
        auto it = l.reserved.find(folded);
        int held = it == l.reserved.end() ? 0 : it->second;
        if (saturating_add(counted, held) >= limit) return 0;
    }
    if (units > 0) {
        int& r = l.reserved[folded];
        r = saturating_add(r, units);
    }
    return 1;
}

void msgrec_unreserve(msgrecs* mr, int kind, std::string_view key, int units) {
    if (!mr || !valid_kind(kind) || units <= 0) return;
    msgrec_list& l = mr->d->lists[kind];
    std::lock_guard hold(l.lock);
    unreserve_locked(l, folded_key(key), units);
}

int msgrec_reserved(msgrecs* mr, int kind, std::string_view key) {
    if (!mr || !valid_kind(kind)) return 0;
    msgrec_list& l = mr->d->lists[kind];
    std::lock_guard hold(l.lock);
    auto it = l.reserved.find(folded_key(key));
    return it == l.reserved.end() ? 0 : it->second;
}

msgrec_list* msgrec_list_of(msgrecs* mr, int kind) {
    return mr && valid_kind(kind) ? &mr->d->lists[kind] : nullptr;
}
msgrec_list* msgrec_ip_list(msgrecs* mr) {
    return msgrec_list_of(mr, MSGREC_IP);
}
msgrec_list* msgrec_from_list(msgrecs* mr) {
    return msgrec_list_of(mr, MSGREC_FROM);
}
msgrec_list* msgrec_to_list(msgrecs* mr) {
    return msgrec_list_of(mr, MSGREC_TO);
}

int msgrec_list_walk(msgrec_list* list, const std::function<void(msgrec&)>& fn) {
    if (!list) return 0;
    std::lock_guard hold(list->lock);
    for (auto& e : list->entries) fn(e);
    return static_cast<int>(list->entries.size());
}

int msgrec_list_size(msgrec_list* list) {
    if (!list) return 0;
    std::lock_guard hold(list->lock);
    return static_cast<int>(list->entries.size());
}

int msgrec_reset(msgrecs* mr, int kind, std::string_view key) {
    if (!mr || !valid_kind(kind)) return -1;
    msgrec_list& l = mr->d->lists[kind];
    std::lock_guard hold(l.lock);
    for (auto& e : l.entries) {
        if (e.string == key) {
            e.count = 0;
            return msgrec_update(mr, &e, kind);
        }
    }
    return -1;
}

}  // namespace tolvane
