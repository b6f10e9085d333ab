// The registry of limits: creating a limit from its settings (loading its counter files),
// freeing it, its name, period and limits, and the registry's clock.
//
// Every live limit is on the locked list of its registry in order of creation; the owner
// returned by msgrec_init takes its limit off the list when it goes. The first limit on
// the list also gives the directory and delimiter of the message records.
#include <algorithm>
#include <atomic>
#include <climits>
#include <mutex>

#include "foundation/lib.h"
#include "foundation/log.h"
#include "records/msgrec_internal.h"

namespace tolvane {

using namespace msgrec_detail;

std::vector<msgrecs*> LimitRegistry::limits() const {
    std::lock_guard hold(lock_);
    return list_;
}

msgrecs* LimitRegistry::find(std::string_view name) const {
    std::lock_guard hold(lock_);
    for (msgrecs* mr : list_)
        if (mr->d->name == name) return mr;
    return nullptr;
}

bool LimitRegistry::empty() const {
    std::lock_guard hold(lock_);
    return list_.empty();
}

bool LimitRegistry::records_at(std::string& dir, char& delim) const {
    std::lock_guard hold(lock_);
    if (list_.empty()) return false;
    dir = list_.front()->d->path;
    delim = list_.front()->d->delimiter;
    return true;
}

void LimitRegistry::add(msgrecs* mr) {
    std::lock_guard hold(lock_);
    mr->d->registry = this;
    list_.push_back(mr);
}

void LimitRegistry::remove(msgrecs* mr) {
    std::lock_guard hold(lock_);
    list_.erase(std::remove(list_.begin(), list_.end(), mr), list_.end());
    if (list_.empty()) list_.shrink_to_fit();
}

std::time_t LimitRegistry::now() const {
    auto fn = clock_.load(std::memory_order_relaxed);
    return fn ? fn() : std::time(nullptr);
}

void LimitRegistry::set_clock(std::time_t (*fn)()) {
    clock_.store(fn, std::memory_order_relaxed);
}

int msgrec_read_hours(const char* period) {
    if (!period) return 0;
    if (*period < '0' || *period > '9') return std::max(0, s_atoi(period));
    long long n = 0;
    const char* p = period;
    while (*p >= '0' && *p <= '9') {
        n = std::min<long long>(n * 10 + (*p - '0'), INT_MAX);
        ++p;
    }
    long long mult = 1;
    switch (fold(static_cast<unsigned char>(*p))) {
        case 'd':
            mult = 24;
            break;
        case 'w':
            mult = 168;
            break;
        case 'y':
            mult = 8760;
            break;
        default:
            break;
    }
    return static_cast<int>(std::min<long long>(n * mult, INT_MAX));
}

Result<msgrecs_ptr> msgrec_init(LimitRegistry& registry, std::string_view name,
                                std::string_view dir, char delimiter, const char* period, int ip,
                                int from, int to) {
    return msgrec_init(registry, name, dir, delimiter, period, ip, from, to, 0);
}

Result<msgrecs_ptr> msgrec_init(LimitRegistry& registry, std::string_view name,
                                std::string_view dir, char delimiter, const char* period, int ip,
                                int from, int to, int user) {
    return msgrec_init(registry, name, dir, delimiter, period, ip, from, to, user, 0);
}

Result<msgrecs_ptr> msgrec_init(LimitRegistry& registry, std::string_view name,
                                std::string_view dir, char delimiter, const char* period, int ip,
                                int from, int to, int user, int key) {
    auto mr = std::make_unique<msgrecs>();
    // The counter files' ages are measured by the registry's clock from the start.
    mr->d->registry = &registry;
    mr->d->name = std::string(name);
    mr->d->path = std::string(dir);
    mr->d->delimiter = delimiter;
    mr->d->hours = msgrec_read_hours(period);
    mr->d->limits[MSGREC_IP] = ip;
    mr->d->limits[MSGREC_FROM] = from;
    mr->d->limits[MSGREC_TO] = to;
    mr->d->limits[MSGREC_USER] = user;
    mr->d->limits[MSGREC_KEY] = key;
    imsg("MsgRec path [%s]", mr->d->path.c_str());
    for (int k = 0; k < MSGREC_KINDS; ++k) {
        mr->d->lists[k].path = attach_path(mr->d->path, mr->d->name + kKindExt[k]);
        if (Status loaded = load_kind(*mr->d, k); !loaded) return loaded.error();
    }
    registry.add(mr.get());
    return mr;
}

msgrecs::msgrecs() : d(std::make_unique<msgrecs_data>()) {}

msgrecs::~msgrecs() {
    if (d && d->registry) d->registry->remove(this);
}

void msgrec_free(msgrecs_ptr& mr) {
    mr.reset();
}

const char* msgrec_name(const msgrecs* mr) {
    return mr ? mr->d->name.c_str() : nullptr;
}
int msgrec_limit(const msgrecs* mr, int kind) {
    return mr && valid_kind(kind) ? mr->d->limits[kind] : 0;
}
int msgrec_ip(const msgrecs* mr) {
    return msgrec_limit(mr, MSGREC_IP);
}
int msgrec_from(const msgrecs* mr) {
    return msgrec_limit(mr, MSGREC_FROM);
}
int msgrec_to(const msgrecs* mr) {
    return msgrec_limit(mr, MSGREC_TO);
}
int msgrec_user(const msgrecs* mr) {
    return msgrec_limit(mr, MSGREC_USER);
}
int msgrec_apikey(const msgrecs* mr) {
    return msgrec_limit(mr, MSGREC_KEY);
}
int msgrec_hours(const msgrecs* mr) {
    return mr ? mr->d->hours : 0;
}
std::string msgrec_file(const msgrecs* mr, int kind) {
    return mr && valid_kind(kind) ? mr->d->lists[kind].path : std::string();
}

std::string msgrec_key(std::string_view key) {
    return folded_key(key);
}

std::time_t msgrec_now(const msgrecs* mr) {
    return mr ? mr->d->now() : std::time(nullptr);
}

}  // namespace tolvane
