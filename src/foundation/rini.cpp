// Settings readers: the locked view of the shared table that each worker thread uses.
//
// A reader borrows its table and owns its "RINI_LOCK". The position of a walk over a
// multi-valued key (rini_get_first / _cur / _next) belongs to the thread that walks: it is
// kept in storage of that thread, keyed by the reader's serial number, so threads that
// share a reader (the per-message threads of a listener) never move each other's walk,
// and a thread's walks disappear with the thread. Entries of freed readers are pruned
// whenever the thread starts a new walk.
#include <atomic>
#include <climits>
#include <optional>
#include <string>
#include <unordered_map>

#include "foundation/sini.h"
#include "foundation/thread.h"

namespace tolvane {

class rini {
  public:
    SIni* Ini = nullptr;
    std::unique_ptr<MUTEX> Lock;
    std::uint64_t serial = 0;
    std::shared_ptr<int> alive = std::make_shared<int>(0);  // walks see when it is gone
};

namespace {

std::atomic<std::uint64_t> g_next_serial{1};

struct Walk {
    std::weak_ptr<int> reader;
    std::optional<std::string> LastGetDomain;
    std::optional<std::string> LastGetPart;
    int LastGetCount = 0;
    int LastGetId = -1;
};

std::unordered_map<std::uint64_t, Walk>& my_walks() {
    thread_local std::unordered_map<std::uint64_t, Walk> walks;
    return walks;
}

Walk* find_walk(const rini* r) {
    auto& walks = my_walks();
    auto it = walks.find(r->serial);
    return it == walks.end() ? nullptr : &it->second;
}

Walk& start_walk(const rini* r) {
    auto& walks = my_walks();
    auto it = walks.find(r->serial);
    if (it != walks.end()) return it->second;
    std::erase_if(walks, [](const auto& kv) { return kv.second.reader.expired(); });
    Walk& w = walks[r->serial];
    w.reader = r->alive;
    return w;
}

const char* opt_c(const std::optional<std::string>& s) {
    return s ? s->c_str() : nullptr;
}

const char* walk_get(rini* r, const char* part, bool advance) {
    if (!r || !r->Ini) return nullptr;
    MutexHold hold(r->Lock.get());
    if (!hold) return nullptr;
    Walk* w = find_walk(r);
    if (!w || w->LastGetId == -1) return nullptr;
    if (advance) {
        if (w->LastGetCount == INT_MAX) return nullptr;
        ++w->LastGetCount;
    }
    return sini_getx(r->Ini, w->LastGetId, opt_c(w->LastGetDomain),
                     part ? part : opt_c(w->LastGetPart), w->LastGetCount);
}

}  // namespace

std::unique_ptr<rini> rini_init(SIni* ini) {
    auto r = std::make_unique<rini>();
    r->Ini = ini;
    // Made here rather than on first use: threads sharing the reader would race to make it.
    r->Lock = th_mutex_new("RINI_LOCK");
    if (!r->Lock) return nullptr;
    r->serial = g_next_serial.fetch_add(1);
    return r;
}

void rini_free(std::unique_ptr<rini>& r) {
    if (!r) return;
    my_walks().erase(r->serial);
    th_mutex_free(r->Lock);
    r.reset();
}

const char* rini_get(rini* r, int id, const char* section, const char* part) {
    if (!r || !r->Ini) return nullptr;
    MutexHold hold(r->Lock.get());
    if (!hold) return nullptr;
    return sini_getx(r->Ini, id, section, part, 0);
}

const char* rini_get_l(rini* r, const char* name, const char* section, const char* part) {
    if (!r || !r->Ini) return nullptr;
    MutexHold hold(r->Lock.get());
    if (!hold) return nullptr;
    int id = sini_id(r->Ini, name);
    if (id < 0) return nullptr;
    return sini_getx(r->Ini, id, section, part, 0);
}

const char* rini_get_first(rini* r, int id, const char* section, const char* part) {
    if (!r || !r->Ini) return nullptr;
    MutexHold hold(r->Lock.get());
    if (!hold) return nullptr;
    Walk& w = start_walk(r);
    w.LastGetDomain = section ? std::optional<std::string>(section) : std::nullopt;
    w.LastGetPart = part ? std::optional<std::string>(part) : std::nullopt;
    w.LastGetCount = 0;
    w.LastGetId = id;
    return sini_getx(r->Ini, id, section, part, 0);
}

const char* rini_get_first_l(rini* r, const char* name, const char* section, const char* part) {
    if (!r || !r->Ini) return nullptr;
    int id;
    {
        MutexHold hold(r->Lock.get());
        if (!hold) return nullptr;
        id = sini_id(r->Ini, name);
    }
    if (id < 0) return nullptr;
    return rini_get_first(r, id, section, part);
}

const char* rini_get_cur(rini* r, const char* part) {
    return walk_get(r, part, false);
}

const char* rini_get_next(rini* r, const char* part) {
    return walk_get(r, part, true);
}

int rini_set(rini* r, int id, const char* section, const char* value) {
    if (!r || !r->Ini) return 0;
    MutexHold hold(r->Lock.get());
    if (!hold) return 0;
    return sini_set(r->Ini, id, section, value);
}

int rini_add_domain(rini* r, const char* name) {
    if (!r || !r->Ini) return 0;
    MutexHold hold(r->Lock.get());
    if (!hold) return 0;
    return sini_add_domain(r->Ini, name);
}

SIni* rini_table(rini* r) {
    return r ? r->Ini : nullptr;
}

}  // namespace tolvane

void std::default_delete<tolvane::rini>::operator()(tolvane::rini* r) const noexcept {
    delete r;
}
