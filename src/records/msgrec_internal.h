// What the files of the rate limits and message records share, and nobody else sees.
//
// msgrec.h is the interface; its work is split by job: msgrec_index.cpp (keys and the
// index that finds them), msgrec_counter.cpp (counter files), msgrec_day.cpp (day
// files), msgrec_fold.cpp (folding day files into month files), msgrec_limits.cpp (the
// registry of limits, their creation and settings) and msgrec.cpp (counting and
// reservations). The types below are the limit's insides; their locks are described
// where they are declared.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "records/kept_file.h"
#include "records/msgrec.h"

namespace tolvane {

namespace msgrec_detail {

inline constexpr const char* kKindWord[MSGREC_KINDS] = {"ip", "from", "to", "user", "key"};
inline constexpr const char* kKindExt[MSGREC_KINDS] = {".ip", ".from", ".to", ".user", ".key"};

inline bool valid_kind(int kind) {
    return kind >= 0 && kind < MSGREC_KINDS;
}

inline unsigned char fold(unsigned char c) {
    return (c >= 'A' && c <= 'Z') ? c + 32 : c;
}
std::uint64_t ci_hash(std::string_view s);
bool ci_equal(std::string_view a, std::string_view b);

// An open-addressing index over the entries: one flat array of (hash, entry), at most
// half full. A look-up reads one slot, the entry and its key, whatever the number of
// keys, and compares full hashes before it reads a key. Entries are never removed one
// by one (only all at once), so the table needs no deletion marks. The first entry of a
// key wins, as a walk in order of addition would find it.
class KeyIndex {
  public:
    msgrec* find(std::string_view key) const;
    void add(msgrec* e);
    void clear() {
        slots_.clear();
        used_ = 0;
    }

  private:
    struct Slot {
        std::uint64_t hash = 0;
        msgrec* entry = nullptr;
    };
    bool place(std::uint64_t h, msgrec* e);
    void grow();
    std::vector<Slot> slots_;
    std::size_t used_ = 0;
};

// A key as it is counted and stored: cut at the text limit, control bytes made
// visible, so that distinct keys never share a line and a key never breaks one.
std::string normal_key(std::string_view key);
bool is_normal_key(std::string_view key);
// The normal key in lower case: how reservations are filed.
std::string folded_key(std::string_view key);
std::string ten_digits(int count);
int saturating_add(int a, int b);
bool all_digits(std::string_view s);
// Whole file into out; false with errno set when it cannot be read.
bool read_whole(const std::string& path, std::string& out);

}  // namespace msgrec_detail

class msgrec_list {
  public:
    std::recursive_mutex lock;
    std::deque<msgrec> entries;  // a deque keeps entries in place, so the index may point at them
    msgrec_detail::KeyIndex index;
    std::string path;
    KeptFile file;  // the counter file, kept open between writes
    bool file_exists = false;
    std::time_t last_change = 0;  // of the counter file, while file_exists
    // Units admitted and not yet settled, by folded key: memory only, never in the file.
    std::unordered_map<std::string, int> reserved;

    void clear() {
        index.clear();
        entries.clear();
    }
    msgrec* find(std::string_view key) const { return index.find(key); }
    void add_index(msgrec* e) { index.add(e); }
};

struct msgrecs_data {
    LimitRegistry* registry = nullptr;  // the limits it is listed with; its clock is "now"
    std::string name;
    std::string path;
    char delimiter = '|';
    int hours = 0;
    int limits[MSGREC_KINDS] = {0, 0, 0, 0, 0};
    msgrec_list lists[MSGREC_KINDS];

    std::time_t now() const { return registry ? registry->now() : std::time(nullptr); }
    bool expired(const msgrec_list& l) const {
        return hours > 0 && l.file_exists &&
               static_cast<long long>(now()) - l.last_change > static_cast<long long>(hours) * 3600;
    }
};

namespace msgrec_detail {

// Loads one counter file; the error for a read error other than a missing file.
Status load_kind(msgrecs_data& mr, int kind);
// Empties a kind whose counter file has expired and removes the file.
void expire_if_old(msgrecs_data& mr, msgrec_list& l);
// Takes back up to units of the key's reservation; the list's lock is held.
void unreserve_locked(msgrec_list& l, const std::string& folded, int units);

}  // namespace msgrec_detail

}  // namespace tolvane
