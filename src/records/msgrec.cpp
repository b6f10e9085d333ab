// Message records and rate limits (see msgrec.h).
#include "records/msgrec.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <deque>
#include <mutex>
#include <random>
#include <unordered_map>

#include "foundation/fileio.h"
#include "foundation/lib.h"
#include "foundation/log.h"
#include "records/record_file.h"

namespace tolvane {

namespace {

std::atomic<std::time_t (*)()> g_clock{nullptr};

std::time_t now() {
    auto fn = g_clock.load(std::memory_order_relaxed);
    return fn ? fn() : std::time(nullptr);
}

constexpr const char* kKindWord[MSGREC_KINDS] = {"ip", "from", "to"};
constexpr const char* kKindExt[MSGREC_KINDS] = {".ip", ".from", ".to"};

unsigned char fold(unsigned char c) {
    return (c >= 'A' && c <= 'Z') ? c + 32 : c;
}

// Keys are compared without regard to ASCII case, so the index hashes folded bytes.
// The seed differs per process, so that nobody can choose keys that pile up in one
// run of the table.
std::uint64_t hash_seed() {
    static const std::uint64_t seed = [] {
        std::random_device rd;
        return (static_cast<std::uint64_t>(rd()) << 32) ^ rd();
    }();
    return seed;
}

std::uint64_t ci_hash(std::string_view s) {
    std::uint64_t h = 1469598103934665603ull ^ hash_seed();
    for (unsigned char c : s) h = (h ^ fold(c)) * 1099511628211ull;
    // Spread the high bits into the low ones the table uses.
    h ^= h >> 33;
    h *= 0xff51afd7ed558ccdull;
    h ^= h >> 33;
    return h;
}

bool ci_equal(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (fold(static_cast<unsigned char>(a[i])) != fold(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

// An open-addressing index over the entries: one flat array of (hash, entry), at most
// half full. A look-up reads one slot, the entry and its key, whatever the number of
// keys, and compares full hashes before it reads a key. Entries are never removed one
// by one (only all at once), so the table needs no deletion marks. The first entry of a
// key wins, as a walk in order of addition would find it.
class KeyIndex {
  public:
    msgrec* find(std::string_view key) const {
        if (slots_.empty()) return nullptr;
        std::uint64_t h = ci_hash(key);
        std::size_t mask = slots_.size() - 1;
        for (std::size_t i = h & mask;; i = (i + 1) & mask) {
            const Slot& s = slots_[i];
            if (!s.entry) return nullptr;
            if (s.hash == h && ci_equal(s.entry->string, key)) return s.entry;
        }
    }
    void add(msgrec* e) {
        if ((used_ + 1) * 2 > slots_.size()) grow();
        if (place(ci_hash(e->string), e)) ++used_;
    }
    void clear() {
        slots_.clear();
        used_ = 0;
    }

  private:
    struct Slot {
        std::uint64_t hash = 0;
        msgrec* entry = nullptr;
    };
    bool place(std::uint64_t h, msgrec* e) {
        std::size_t mask = slots_.size() - 1;
        for (std::size_t i = h & mask;; i = (i + 1) & mask) {
            Slot& s = slots_[i];
            if (!s.entry) {
                s = Slot{h, e};
                return true;
            }
            if (s.hash == h && ci_equal(s.entry->string, e->string)) return false;
        }
    }
    void grow() {
        std::vector<Slot> old = std::move(slots_);
        slots_.assign(std::max<std::size_t>(16, old.size() * 2), Slot{});
        for (const Slot& s : old)
            if (s.entry) place(s.hash, s.entry);
    }
    std::vector<Slot> slots_;
    std::size_t used_ = 0;
};

// A key as it is counted and stored: cut at the text limit, control bytes made
// visible, so that distinct keys never share a line and a key never breaks one.
std::string normal_key(std::string_view key) {
    std::string k(key.substr(0, std::min(key.size(), TEXT_MAX)));
    for (char& c : k)
        if (is_binary(static_cast<unsigned char>(c))) c = '?';
    return k;
}

bool is_normal_key(std::string_view key) {
    if (key.size() > TEXT_MAX) return false;
    for (char c : key)
        if (is_binary(static_cast<unsigned char>(c))) return false;
    return true;
}

std::string ten_digits(int count) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%010d", count);
    return std::string(buf, 10);
}

int saturating_add(int a, int b) {
    long long s = static_cast<long long>(a) + b;
    if (s > INT_MAX) return INT_MAX;
    if (s < INT_MIN) return INT_MIN;
    return static_cast<int>(s);
}

// Whole file into out; false with errno set when it cannot be read.
bool read_whole(const std::string& path, std::string& out) {
    UniqueFd f(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!f) return false;
    out.clear();
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(f.get(), buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) break;
        out.append(buf, static_cast<std::size_t>(n));
    }
    return true;
}

bool all_digits(std::string_view s) {
    if (s.empty()) return false;
    for (char c : s)
        if (c < '0' || c > '9') return false;
    return true;
}

}  // namespace

class msgrec_list {
  public:
    std::recursive_mutex lock;
    std::deque<msgrec> entries;  // a deque keeps entries in place, so the index may point at them
    KeyIndex index;
    std::string path;
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
    std::string name;
    std::string path;
    char delimiter = '|';
    int hours = 0;
    int limits[MSGREC_KINDS] = {0, 0, 0};
    msgrec_list lists[MSGREC_KINDS];

    bool expired(const msgrec_list& l) const {
        return hours > 0 && l.file_exists &&
               static_cast<long long>(now()) - l.last_change > static_cast<long long>(hours) * 3600;
    }
};

namespace {

std::mutex g_list_lock;
std::vector<msgrecs*> g_list;
// Serialises the day-file check, append and fold, so that two threads starting a new
// day cannot fold the same files at once.
std::mutex g_day_lock;

bool valid_kind(int kind) {
    return kind >= 0 && kind < MSGREC_KINDS;
}

// Rewrites a counter file from the entries (temporary file and rename), keeping its
// age, and sets every index anew.
bool rewrite_counter_file(msgrecs_data& mr, msgrec_list& l, const struct stat& old) {
    std::string data;
    long pos = 0;
    for (auto& e : l.entries) {
        data += e.string;
        data += mr.delimiter;
        e.index = pos + static_cast<long>(e.string.size()) + 1;
        data += ten_digits(e.count);
        data += '\n';
        pos = static_cast<long>(data.size());
    }
    FileWriteError failed;
    auto keep_age = [&old](int fd) {
        struct timespec times[2] = {old.st_atim, old.st_mtim};
        ::futimens(fd, times);
    };
    if (!write_file_atomic(l.path, data, 0644, failed, keep_age)) {
        emsg("MsgRec [%s] rewrite failed (%s)", l.path.c_str(), std::strerror(failed.code));
        return false;
    }
    imsg("MsgRec [%s] rewritten without its damaged lines", l.path.c_str());
    return true;
}

// Loads one counter file; false (with err) for a read error other than a missing file.
bool load_kind(msgrecs_data& mr, int kind, std::string& err) {
    msgrec_list& l = mr.lists[kind];
    struct stat st {};
    if (::stat(l.path.c_str(), &st) == 0) {
        if (mr.hours > 0 &&
            static_cast<long long>(now()) - st.st_mtime > static_cast<long long>(mr.hours) * 3600) {
            imsg("MsgRec [%s] too old, remove it", l.path.c_str());
            ::unlink(l.path.c_str());
            return true;
        }
    }
    std::string data;
    if (!read_whole(l.path, data)) {
        if (errno == ENOENT) {
            dmsg("MsgRec [%s] not found", l.path.c_str());
            return true;
        }
        err = strprintf("Failed to read (%s), %s", l.path.c_str(), std::strerror(errno));
        return false;
    }
    l.file_exists = true;
    l.last_change = st.st_mtime;
    bool damaged = false;
    int lineno = 0;
    std::size_t unfinished = for_each_record_line(data, [&](const record_line& rl) {
        lineno = rl.number;
        std::string_view line = rl.text;
        std::size_t start = rl.start;
        // The digits are no longer where an in-place write expects them.
        if (rl.had_cr) damaged = true;
        if (line.empty()) return;
        const char* why = nullptr;
        std::size_t d = line.rfind(mr.delimiter);
        if (holds_control_bytes(line, mr.delimiter))
            why = "holds control bytes";
        else if (d == std::string_view::npos)
            why = "has too few fields";
        std::string_view num = why ? std::string_view() : line.substr(d + 1);
        std::string_view digits = num.starts_with('-') ? num.substr(1) : num;
        long long value = 0;
        if (!why) {
            if (!all_digits(digits))
                why = "has a count that is not a number";
            else if (num.size() > 10)
                why = "has a count wider than ten digits";
            else {
                value = parse_decimal(num).value_or(0);
                if (value > INT_MAX || value < INT_MIN) why = "has a count out of range";
            }
        }
        if (why) {
            emsg("MsgRec [%s] line %d %s, skipped", l.path.c_str(), lineno, why);
            damaged = true;
            return;
        }
        if (num.size() != 10) damaged = true;
        msgrec& e = l.entries.emplace_back();
        e.string = std::string(line.substr(0, d));
        e.count = static_cast<int>(value);
        e.index = static_cast<long>(start + d + 1);
        l.add_index(&e);
    });
    if (unfinished != std::string_view::npos) {
        emsg("MsgRec [%s] line %d unfinished, skipped", l.path.c_str(), lineno + 1);
        damaged = true;
    }
    if (damaged && !rewrite_counter_file(mr, l, st)) {
        // Positions can no longer be trusted: keep the counts in memory only.
        for (auto& e : l.entries) e.index = -1;
    }
    imsg("MsgRec [%s] %d loaded", l.path.c_str(), static_cast<int>(l.entries.size()));
    return true;
}

void expire_if_old(msgrecs_data& mr, msgrec_list& l) {
    if (!mr.expired(l)) return;
    imsg("MsgRec [%s] too old, remove it", l.path.c_str());
    ::unlink(l.path.c_str());
    l.file_exists = false;
    l.clear();
}

const char* asctime_days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char* asctime_months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

std::string asctime24(std::time_t when) {
    std::tm tm{};
    if (!localtime_r(&when, &tm)) return std::string(24, '?');
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.3s %.3s%3d %.2d:%.2d:%.2d %d", asctime_days[tm.tm_wday % 7],
                  asctime_months[tm.tm_mon % 12], tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                  tm.tm_year + 1900);
    return std::string(buf).substr(0, 24);
}

// A record field: cut at the text limit, line breaks made blanks so a record stays one line.
void put_field(std::string& out, std::string_view field, char delim) {
    std::size_t start = out.size();
    out.append(field.substr(0, std::min(field.size(), TEXT_MAX)));
    for (std::size_t i = start; i < out.size(); ++i)
        if (out[i] == '\n' || out[i] == '\r' || out[i] == '\0') out[i] = ' ';
    out += delim;
}

bool is_day_file(std::string_view name, std::string_view kind) {
    return name.size() == 9 + kind.size() && all_digits(name.substr(0, 8)) && name[8] == '.' &&
           name.substr(9) == kind;
}

// Appends a folded file to its month file and removes it; leaves it when either fails.
void compile_file(const std::string& dir, const std::string& tmp_name, std::string_view kind) {
    std::string tmp = attach_path(dir, tmp_name);
    std::string month = attach_path(dir, tmp_name.substr(0, 6) + "." + std::string(kind));
    imsg("MsgRec compile file [%s]", tmp.c_str());
    std::string data;
    if (!read_whole(tmp, data)) {
        emsg("MsgRec compile file, failed to read file (%s)", tmp.c_str());
        return;
    }
    if (!data.empty() && data.back() != '\n') data += '\n';
    UniqueFd out(::open(month.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
    if (!out || !write_all(out.get(), data)) {
        emsg("MsgRec compile file, failed to append (%s)", month.c_str());
        return;
    }
    ::unlink(tmp.c_str());
}

}  // namespace

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

msgrecs_ptr msgrec_init(std::string_view name, std::string_view dir, char delimiter,
                        const char* period, int ip, int from, int to, std::string& err) {
    auto mr = std::make_unique<msgrecs>();
    mr->d->name = std::string(name);
    mr->d->path = std::string(dir);
    mr->d->delimiter = delimiter;
    mr->d->hours = msgrec_read_hours(period);
    mr->d->limits[MSGREC_IP] = ip;
    mr->d->limits[MSGREC_FROM] = from;
    mr->d->limits[MSGREC_TO] = to;
    imsg("MsgRec path [%s]", mr->d->path.c_str());
    for (int k = 0; k < MSGREC_KINDS; ++k) {
        mr->d->lists[k].path = attach_path(mr->d->path, mr->d->name + kKindExt[k]);
        if (!load_kind(*mr->d, k, err)) return nullptr;
    }
    std::lock_guard hold(g_list_lock);
    g_list.push_back(mr.get());
    return mr;
}

msgrecs::msgrecs() : d(std::make_unique<msgrecs_data>()) {}

msgrecs::~msgrecs() {
    std::lock_guard hold(g_list_lock);
    g_list.erase(std::remove(g_list.begin(), g_list.end(), this), g_list.end());
    if (g_list.empty()) g_list.shrink_to_fit();
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
int msgrec_hours(const msgrecs* mr) {
    return mr ? mr->d->hours : 0;
}
std::string msgrec_file(const msgrecs* mr, int kind) {
    return mr && valid_kind(kind) ? mr->d->lists[kind].path : std::string();
}

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

int msgrec_update(msgrecs* mr, msgrec* entry, int kind) {
    if (!mr || !entry || !valid_kind(kind)) return 0;
    msgrec_list& l = mr->d->lists[kind];
    std::lock_guard hold(l.lock);
    if (entry->index < 0) {
        errno = EINVAL;
        return 0;
    }
    UniqueFd f(::open(l.path.c_str(), O_WRONLY | O_CLOEXEC));
    if (!f) return 0;
    std::string digits = ten_digits(entry->count);
    ssize_t n;
    do n = ::pwrite(f.get(), digits.data(), digits.size(), entry->index);
    while (n < 0 && errno == EINTR);
    if (n != static_cast<ssize_t>(digits.size())) {
        if (n >= 0) errno = EIO;
        return 0;
    }
    l.file_exists = true;
    l.last_change = now();
    return 1;
}

int msgrec_append(msgrecs* mr, msgrec* entry, int kind) {
    if (!mr || !entry || !valid_kind(kind)) return 0;
    msgrec_list& l = mr->d->lists[kind];
    std::lock_guard hold(l.lock);
    UniqueFd f(::open(l.path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
    if (!f) return 0;
    struct stat st {};
    if (::fstat(f.get(), &st) != 0) return 0;
    std::string line = entry->string;
    line += mr->d->delimiter;
    line += ten_digits(entry->count);
    line += '\n';
    if (!write_all(f.get(), line)) {
        int e = errno;
        // A part-written line would shift every later line: take it back.
        if (::ftruncate(f.get(), st.st_size) != 0)
            emsg("MsgRec [%s] could not be cut back", l.path.c_str());
        errno = e;
        return 0;
    }
    off_t end = ::lseek(f.get(), 0, SEEK_CUR);
    entry->index = static_cast<long>(end) - 11;
    l.file_exists = true;
    l.last_change = now();
    return 1;
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

namespace {

std::string folded_key(std::string_view key) {
    std::string k = normal_key(key);
    for (char& c : k) c = static_cast<char>(fold(static_cast<unsigned char>(c)));
    return k;
}

// Takes back up to units of the key's reservation; the list's lock is held.
void unreserve_locked(msgrec_list& l, const std::string& folded, int units) {
    auto it = l.reserved.find(folded);
    if (it == l.reserved.end()) return;
    it->second -= units;
    if (it->second <= 0) l.reserved.erase(it);
}

}  // namespace

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

std::string msgrec_day_file(std::time_t when, std::string_view day_kind) {
    std::tm tm{};
    localtime_r(&when, &tm);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%4d%02d%02d.", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday);
    return std::string(buf) + std::string(day_kind);
}

void msgrec_compile(const std::string& dir, std::string_view day_kind, std::string_view exclude) {
    std::string kind(day_kind);
    imsg("MsgRec compile [*.%s], exclude [%.*s]", kind.c_str(), static_cast<int>(exclude.size()),
         exclude.data());
    std::vector<std::string> days, leftovers;
    if (DIR* d = ::opendir(dir.empty() ? "." : dir.c_str())) {
        while (dirent* de = ::readdir(d)) {
            std::string_view n(de->d_name);
            if (n == exclude) continue;
            if (is_day_file(n, kind))
                days.emplace_back(n);
            else if (n.size() > 4 && n.substr(n.size() - 4) == ".tmp" &&
                     is_day_file(n.substr(0, n.size() - 4), kind))
                leftovers.emplace_back(n);
        }
        ::closedir(d);
    } else {
        emsg("MsgRec compile, cannot list (%s): %s", dir.c_str(), std::strerror(errno));
        return;
    }
    // Oldest first, so that a month file stays in date order; a fold that a crash cut
    // short goes in before the day file of the same name could take its .tmp name.
    std::sort(days.begin(), days.end());
    std::sort(leftovers.begin(), leftovers.end());
    for (const auto& t : leftovers) compile_file(dir, t, kind);
    for (const auto& n : days) {
        std::string from = attach_path(dir, n);
        std::string tmp_name = n + ".tmp";
        if (::rename(from.c_str(), attach_path(dir, tmp_name).c_str()) != 0) continue;
        compile_file(dir, tmp_name, kind);
    }
}

int msgrec_write(std::string_view status, std::string_view client, std::string_view from,
                 std::string_view to, std::string_view text, std::string_view day_kind,
                 bool counted, bool reserved) {
    auto pr = [](std::string_view s) { return static_cast<int>(s.size()); };
    imsg("MsgRec write [%.*s][%.*s][%.*s][%.*s]", pr(status), status.data(), pr(client),
         client.data(), pr(from), from.data(), pr(to), to.data());
    std::string dir;
    char delim;
    {
        std::lock_guard hold(g_list_lock);
        if (g_list.empty()) return 0;
        dir = g_list.front()->d->path;
        delim = g_list.front()->d->delimiter;
    }
    std::time_t t = now();
    std::string line;
    put_field(line, status, delim);
    put_field(line, client, delim);
    put_field(line, from, delim);
    put_field(line, to, delim);
    put_field(line, asctime24(t), delim);
    put_field(line, text, delim);
    line += '\n';
    {
        std::lock_guard hold(g_day_lock);
        std::string name = msgrec_day_file(t, day_kind);
        std::string path = attach_path(dir, name);
        struct stat st {};
        bool existed = ::stat(path.c_str(), &st) == 0;
        UniqueFd f(::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
        if (!f || !write_all(f.get(), line)) return 0;
        if (!existed) msgrec_compile(dir, day_kind, name);
    }
    if (counted) {
        std::lock_guard hold(g_list_lock);
        const std::string_view keys[MSGREC_KINDS] = {client, from, to};
        for (msgrecs* mr : g_list) {
            for (int kind = 0; kind < MSGREC_KINDS; ++kind) {
                // The count and the settling of its reservation in one step under the
                // list's lock, so that no admission sees the unit twice or not at all.
                msgrec_list& l = mr->d->lists[kind];
                std::lock_guard list_hold(l.lock);
                msgrec_add(mr, kind, keys[kind], 1);
                if (reserved) unreserve_locked(l, folded_key(keys[kind]), 1);
            }
        }
    }
    return 1;
}

std::vector<msgrecs*> msgrec_limits() {
    std::lock_guard hold(g_list_lock);
    return g_list;
}

msgrecs* msgrec_find(std::string_view name) {
    std::lock_guard hold(g_list_lock);
    for (msgrecs* mr : g_list)
        if (mr->d->name == name) return mr;
    return nullptr;
}

void msgrec_set_clock(std::time_t (*fn)()) {
    g_clock.store(fn, std::memory_order_relaxed);
}

}  // namespace tolvane
