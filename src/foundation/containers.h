// General containers: cursor array, text-keyed hash table, FIFO queue, name/value
// pairs, word list and growing text buffer.
//
// Thin layers over the standard library that keep the orders and cursor rules the
// rest of the program walks by. `array<T>`, `hash<T>` and `queue<T>` hold values of T;
// when T is a raw pointer the items stay owned by the caller, and only the
// `_dealloc` releases delete them. Accessors return a pointer to the stored element
// (null for "none"), valid until the container is next changed. Only an array with
// its lock turned on may be shared between threads; everything else is serialised
// by its owner.
//
//   auto a = array_init<Rec*>(false);
//   array_add(a.get(), rec);
//   for (Rec** r = array_get_num(a.get(), 0); r; r = array_get(a.get())) use(*r);
#pragma once

#include <algorithm>
#include <cstddef>
#include <deque>
#include <functional>
#include <list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>
#include "foundation/srcloc.h"

#include "foundation/thread.h"

namespace tolvane {

namespace detail {
template <typename T>
struct is_smart : std::false_type {};
template <typename T, typename D>
struct is_smart<std::unique_ptr<T, D>> : std::true_type {};
template <typename T>
struct is_smart<std::shared_ptr<T>> : std::true_type {};

// Null pointers are refused as items, as they would read as "no item" later.
template <typename T>
bool is_null_item(const T& v) {
    if constexpr (std::is_pointer_v<T> || is_smart<T>::value)
        return v == nullptr;
    else
        return false;
}
}  // namespace detail

// ============================================================== array

template <typename T>
class array {
  public:
    std::vector<T> data;
    int block = 10;
    int current = -1;  // index the next array_get returns; -1 when none
    std::unique_ptr<MUTEX> lk;
    bool lock = false;
    int locked = 0;  // acquisitions made through array_lock

    auto begin() { return data.begin(); }
    auto end() { return data.end(); }
    auto begin() const { return data.begin(); }
    auto end() const { return data.end(); }
};

namespace detail {
// Holds an array's own lock for one operation, when locking is on.
template <typename T>
class ArrayGuard {
  public:
    explicit ArrayGuard(const array<T>* a) : m_(a && a->lock ? a->lk.get() : nullptr) {
        if (m_) th_mutex_wait_or_die(m_, TH_FOREVER);
    }
    ~ArrayGuard() {
        if (m_) th_mutex_release(m_);
    }
    ArrayGuard(const ArrayGuard&) = delete;
    ArrayGuard& operator=(const ArrayGuard&) = delete;

  private:
    MUTEX* m_;
};
}  // namespace detail

template <typename T>
void array_setlock(array<T>* a, bool on) {
    if (!a) return;
    if (on && !a->lk) a->lk = th_mutex_new("array");
    a->lock = on;
}

template <typename T>
std::unique_ptr<array<T>> array_init(bool lock = false) {
    auto a = std::make_unique<array<T>>();
    if (lock) array_setlock(a.get(), true);
    return a;
}

template <typename T>
void array_setup(array<T>* a, int size, int block) {
    if (!a) return;
    detail::ArrayGuard<T> g(a);
    if (size > 0) a->data.reserve(static_cast<std::size_t>(size));
    a->block = block > 0 ? block : 5;
}

template <typename T>
int array_items(const array<T>* a) {
    if (!a) return 0;
    detail::ArrayGuard<T> g(a);
    return static_cast<int>(a->data.size());
}

template <typename T>
int array_add(array<T>* a, T item) {
    if (!a || detail::is_null_item(item)) return 0;
    detail::ArrayGuard<T> g(a);
    a->data.push_back(std::move(item));
    return 1;
}

// Inserts so that a walk in progress neither skips an item nor sees one twice.
template <typename T>
int array_add_num(array<T>* a, T item, int index) {
    if (!a || detail::is_null_item(item)) return 0;
    detail::ArrayGuard<T> g(a);
    if (index < 0 || static_cast<std::size_t>(index) > a->data.size()) return 0;
    a->data.insert(a->data.begin() + index, std::move(item));
    if (a->current >= index) ++a->current;
    return 1;
}

template <typename T>
T* array_get_num(array<T>* a, int index) {
    if (!a) return nullptr;
    detail::ArrayGuard<T> g(a);
    if (index < 0 || static_cast<std::size_t>(index) >= a->data.size()) {
        a->current = -1;
        return nullptr;
    }
    a->current = static_cast<std::size_t>(index) + 1 < a->data.size() ? index + 1 : -1;
    return &a->data[static_cast<std::size_t>(index)];
}

template <typename T>
T* array_get(array<T>* a) {
    if (!a) return nullptr;
    detail::ArrayGuard<T> g(a);
    if (a->current < 0) return nullptr;
    return array_get_num(a, a->current);
}

// Removes and returns the item at index. A walk in progress carries on with the
// item that followed the removed one.
template <typename T>
std::optional<T> array_del_num(array<T>* a, int index) {
    if (!a) return std::nullopt;
    detail::ArrayGuard<T> g(a);
    if (index < 0 || static_cast<std::size_t>(index) >= a->data.size()) return std::nullopt;
    auto it = a->data.begin() + index;
    std::optional<T> out(std::move(*it));
    a->data.erase(it);
    if (a->current > index) --a->current;
    if (a->data.empty() || a->current >= static_cast<int>(a->data.size())) a->current = -1;
    return out;
}

// Removes the item most recently returned by the cursor (the last item when the cursor
// has run off the end).
template <typename T>
std::optional<T> array_del(array<T>* a) {
    if (!a) return std::nullopt;
    detail::ArrayGuard<T> g(a);
    if (a->data.empty()) return std::nullopt;
    int index = a->current < 0 ? static_cast<int>(a->data.size()) - 1 : a->current - 1;
    if (index < 0) return std::nullopt;
    return array_del_num(a, index);
}

template <typename T>
void array_start(array<T>* a) {
    if (!a) return;
    detail::ArrayGuard<T> g(a);
    a->current = 0;
}

template <typename T>
void array_empty(array<T>* a) {
    if (!a) return;
    detail::ArrayGuard<T> g(a);
    a->data.clear();
    a->current = -1;
}

template <typename T>
void array_free(std::unique_ptr<array<T>>& a) {
    a.reset();
}

// Calls fn with each slot, in order, then releases the array.
template <typename T, typename Fn>
void array_free_fn(std::unique_ptr<array<T>>& a, Fn&& fn) {
    if (!a) return;
    {
        detail::ArrayGuard<T> g(a.get());
        for (T& item : a->data) fn(item);
    }
    a.reset();
}

// For arrays of owned raw pointers: deletes every item, then the array.
template <typename T>
void array_free_dealloc(std::unique_ptr<array<T*>>& a) {
    array_free_fn(a, [](T*& p) {
        delete p;
        p = nullptr;
    });
}

// Holds the array across several operations; the holder's own operations go on,
// other threads wait until array_unlock.
template <typename T>
void array_lock(array<T>* a) {
    if (!a) return;
    if (!a->lock) array_setlock(a, true);
    th_mutex_wait_or_die(a->lk.get(), TH_FOREVER);
    ++a->locked;
}

template <typename T>
void array_unlock(array<T>* a) {
    if (!a || !a->lk || a->locked <= 0) return;
    --a->locked;
    th_mutex_release(a->lk.get());
}

// ============================================================== hash

// The bucket of a key: the table's fixed key hash, kept stable because enumeration
// order (bucket by bucket) is visible to callers.
unsigned hash_key(std::string_view key, unsigned size);

template <typename T>
struct hash_item {
    std::string hasher;
    T data;
};

template <typename T>
class hash {
  public:
    unsigned size = 0;
    bool hstatic = false;  // kept for callers; keys are always held as copies
    unsigned upto = 0;     // bucket of the running enumeration
    std::size_t pos = 0;   // entry within that bucket
    std::vector<std::vector<hash_item<T>>> data;
};

template <typename T>
std::unique_ptr<hash<T>> hash_init(unsigned size, bool hstatic = false) {
    auto h = std::make_unique<hash<T>>();
    h->size = size > 0 ? size : 1;
    h->hstatic = hstatic;
    h->data.resize(h->size);
    return h;
}

template <typename T>
void hash_add(hash<T>* h, std::string_view key, T item) {
    if (!h || detail::is_null_item(item)) return;
    h->data[hash_key(key, h->size)].push_back(hash_item<T>{std::string(key), std::move(item)});
}

// The match-th entry (from 0) whose key is exactly key, in insertion order.
template <typename T>
T* hash_find(hash<T>* h, std::string_view key, int match = 0) {
    if (!h) return nullptr;
    for (auto& e : h->data[hash_key(key, h->size)]) {
        if (e.hasher == key && match-- == 0) return &e.data;
    }
    return nullptr;
}

template <typename T>
void hash_start(hash<T>* h, unsigned bucket = 0) {
    if (!h) return;
    h->upto = bucket;
    h->pos = 0;
}

// Each item in turn, bucket by bucket and in insertion order within a bucket; then null.
template <typename T>
T* hash_get(hash<T>* h) {
    if (!h) return nullptr;
    while (h->upto < h->size) {
        auto& b = h->data[h->upto];
        if (h->pos < b.size()) return &b[h->pos++].data;
        ++h->upto;
        h->pos = 0;
    }
    return nullptr;
}

template <typename T>
int hash_items(const hash<T>* h) {
    if (!h) return 0;
    std::size_t n = 0;
    for (const auto& b : h->data) n += b.size();
    return static_cast<int>(n);
}

// Calls fn (when given) with each item, then forgets every entry; the buckets stay.
template <typename T>
void hash_empty(hash<T>* h, const std::function<void(T&)>& fn = nullptr) {
    if (!h) return;
    for (auto& b : h->data) {
        if (fn)
            for (auto& e : b) fn(e.data);
        b.clear();
    }
    h->upto = 0;
    h->pos = 0;
}

template <typename T>
void hash_free(std::unique_ptr<hash<T>>& h, const std::function<void(T&)>& fn = nullptr) {
    if (!h) return;
    hash_empty(h.get(), fn);
    h.reset();
}

// ============================================================== queue

template <typename T>
class queue {
  public:
    std::deque<T> nodes;
};

template <typename T>
std::unique_ptr<queue<T>> queue_init() {
    return std::make_unique<queue<T>>();
}

template <typename T>
int queue_queue(queue<T>* q, T item) {
    if (!q || detail::is_null_item(item)) return 0;
    q->nodes.push_back(std::move(item));
    return 1;
}

template <typename T>
std::optional<T> queue_dequeue(queue<T>* q) {
    if (!q || q->nodes.empty()) return std::nullopt;
    std::optional<T> out(std::move(q->nodes.front()));
    q->nodes.pop_front();
    return out;
}

template <typename T>
int queue_items(const queue<T>* q) {
    return q ? static_cast<int>(q->nodes.size()) : 0;
}

// A new queue with the same items in the same order (pointer items are shared).
template <typename T>
std::unique_ptr<queue<T>> queue_copy(const queue<T>* q) {
    auto c = std::make_unique<queue<T>>();
    if (q) c->nodes = q->nodes;
    return c;
}

template <typename T>
void queue_empty(queue<T>* q) {
    if (q) q->nodes.clear();
}

template <typename T>
void queue_empty_dealloc(queue<T*>* q) {
    if (!q) return;
    for (T*& p : q->nodes) {
        delete p;
        p = nullptr;
    }
    q->nodes.clear();
}

template <typename T>
void queue_free(std::unique_ptr<queue<T>>& q) {
    q.reset();
}

template <typename T>
void queue_free_dealloc(std::unique_ptr<queue<T*>>& q) {
    queue_empty_dealloc(q.get());
    q.reset();
}

// ============================================================== PAIR

struct PAIR {
    std::string var;
    std::string val;
};
// A pair list; front is the first entry. Starts empty.
using PairList = std::list<PAIR>;

// With replace: an entry of that exact name gets the new value, else a new entry goes
// in front. With only append: at the end. With neither: in front. A null name or value
// is a program fault and stops the process.
void pair_add_real(PairList& list, const char* name, const char* value, const char* file, int line,
                   bool replace, bool append);
inline void pair_add(PairList& list, const char* name, const char* value, bool replace = true,
                     bool append = false,
                     std::source_location loc = std::source_location::current()) {
    pair_add_real(list, name, value, loc.file_name(), static_cast<int>(loc.line()), replace,
                  append);
}
void pair_add(PairList& list, std::string_view name, std::string_view value, bool replace = true,
              bool append = false);
// The value of the first entry named exactly name; the empty text when there is none.
const std::string& pair_find(const PairList& list, std::string_view name);
// As pair_find with names compared without regard to ASCII letter case.
const std::string& pair_findnc(const PairList& list, std::string_view name);
// Removes the first entry of that name (and, when value is given, that exact value).
int pair_remove(PairList& list, std::string_view name, const char* value = nullptr);
// Adds every entry of src to dst in replace mode.
void pair_copy_real(PairList& dst, const PairList& src, const char* file, int line);
inline void pair_copy(PairList& dst, const PairList& src,
                      std::source_location loc = std::source_location::current()) {
    pair_copy_real(dst, src, loc.file_name(), static_cast<int>(loc.line()));
}
void pair_free(PairList& list);

// ============================================================== WORDLIST

using WORDLIST = std::list<std::string>;

void word_add_real(WORDLIST& list, std::string_view text, const char* file, int line, bool append);
inline void word_add(WORDLIST& list, std::string_view text, bool append = false,
                     std::source_location loc = std::source_location::current()) {
    word_add_real(list, text, loc.file_name(), static_cast<int>(loc.line()), append);
}
int word_find(const WORDLIST& list, std::string_view text);
void word_free(WORDLIST& list);

// ============================================================== DBUF

// A growing text buffer. Its capacity follows a fixed rule (grow by the largest of
// the shortfall, the minimum step and four times the present capacity) so that long
// texts cost few copies.
class DBUF {
  public:
    std::string d;         // the text; always terminated (std::string keeps the zero)
    std::size_t size = 0;  // capacity without the terminator
    std::size_t inc = 0;   // minimum growth
    std::size_t len() const { return d.size(); }
};

std::unique_ptr<DBUF> dbuf_new_size(std::size_t n);
void dbuf_free(std::unique_ptr<DBUF>& b);
int dbuf_addl(DBUF* b, const void* bytes, std::size_t count);
int dbuf_add(DBUF* b, std::string_view text);
void dbuf_clear(DBUF* b);
inline const char* dbuf_text(const DBUF* b) {
    return b ? b->d.c_str() : "";
}
inline std::size_t dbuf_len(const DBUF* b) {
    return b ? b->d.size() : 0;
}
inline std::size_t dbuf_size(const DBUF* b) {
    return b ? b->size : 0;
}

}  // namespace tolvane
