// The non-template parts of the containers: key hash, pair and word lists, text buffer.
#include "foundation/containers.h"

#include <cstdint>

#include "foundation/lib.h"
#include "foundation/log.h"

namespace tolvane {

unsigned hash_key(std::string_view key, unsigned size) {
    if (size == 0) return 0;
    std::uint32_t h = 0;
    std::uint32_t k = 0;
    for (char ch : key) {
        ++k;
        // The byte counts as signed (-128..127); all arithmetic wraps at 32 bits.
        const auto c =
            static_cast<std::uint32_t>(static_cast<std::int32_t>(static_cast<signed char>(ch)));
        h = ((h + c + k + size) * 1300493u) % 11187503u;
    }
    return h % size;
}

// ---------------------------------------------------------------- PAIR

namespace {
const std::string kEmpty;

void pair_insert(PairList& list, std::string_view name, std::string_view value, bool replace,
                 bool append) {
    if (replace) {
        for (PAIR& p : list) {
            if (p.var == name) {
                if (p.val != value) p.val.assign(value);
                return;
            }
        }
        list.push_front(PAIR{std::string(name), std::string(value)});
        return;
    }
    if (append)
        list.push_back(PAIR{std::string(name), std::string(value)});
    else
        list.push_front(PAIR{std::string(name), std::string(value)});
}
}  // namespace

void pair_add_real(PairList& list, const char* name, const char* value, const char* file, int line,
                   bool replace, bool append) {
    if (!name || !value) {
        emsg("pair_add adding null (%p,%p) (%s:%d)\n", static_cast<const void*>(name),
             static_cast<const void*>(value), file ? file : "", line);
        lib_abort_real(file ? file : "", line);
    }
    pair_insert(list, name, value, replace, append);
}

void pair_add(PairList& list, std::string_view name, std::string_view value, bool replace,
              bool append) {
    pair_insert(list, name, value, replace, append);
}

const std::string& pair_find(const PairList& list, std::string_view name) {
    for (const PAIR& p : list)
        if (p.var == name) return p.val;
    return kEmpty;
}

const std::string& pair_findnc(const PairList& list, std::string_view name) {
    for (const PAIR& p : list)
        if (iequals(p.var, name)) return p.val;
    return kEmpty;
}

int pair_remove(PairList& list, std::string_view name, const char* value) {
    for (auto it = list.begin(); it != list.end(); ++it) {
        if (it->var == name && (!value || it->val == value)) {
            list.erase(it);
            return 1;
        }
    }
    return 0;
}

void pair_copy_real(PairList& dst, const PairList& src, const char* file, int line) {
    if (&dst == &src) return;
    for (const PAIR& p : src)
        pair_add_real(dst, p.var.c_str(), p.val.c_str(), file, line, true, false);
}

void pair_free(PairList& list) {
    list.clear();
}

// ---------------------------------------------------------------- WORDLIST

void word_add_real(WORDLIST& list, std::string_view text, const char*, int, bool append) {
    if (append)
        list.emplace_back(text);
    else
        list.emplace_front(text);
}

int word_find(const WORDLIST& list, std::string_view text) {
    for (const auto& w : list)
        if (w == text) return 1;
    return 0;
}

void word_free(WORDLIST& list) {
    list.clear();
}

// ---------------------------------------------------------------- DBUF

std::unique_ptr<DBUF> dbuf_new_size(std::size_t n) {
    auto b = std::make_unique<DBUF>();
    b->size = n;
    b->inc = n;
    b->d.reserve(n);
    return b;
}

void dbuf_free(std::unique_ptr<DBUF>& b) {
    b.reset();
}

int dbuf_addl(DBUF* b, const void* bytes, std::size_t count) {
    if (!b) return 0;
    if (count == 0) return 1;
    if (!bytes) return 0;
    const std::size_t need = b->d.size() + count;
    if (need > b->size) {
        const std::size_t shortfall = need - b->size;
        const std::size_t grow = std::max({shortfall, b->inc, 4 * b->size});
        b->size += grow;
        b->d.reserve(b->size);
    }
    b->d.append(static_cast<const char*>(bytes), count);
    return 1;
}

int dbuf_add(DBUF* b, std::string_view text) {
    return dbuf_addl(b, text.data(), text.size());
}

void dbuf_clear(DBUF* b) {
    if (b) b->d.clear();
}

}  // namespace tolvane
