// The message log (see msglog.h).
#include "records/msglog.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <vector>

#include "foundation/fileio.h"
#include "foundation/lib.h"
#include "foundation/log.h"
#include "records/kept_file.h"
#include "records/record_file.h"

namespace tolvane {

namespace {

struct Entry {
    std::string email;
    std::int64_t time = 0;
};

// Looks phones up by string_view without a copy. Not noexcept on purpose: the standard
// table then keeps each node's hash, so a chain walk compares hashes, not phone texts.
struct PhoneHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
};

}  // namespace

struct MessageLog::Table {
    std::unordered_map<std::string, std::vector<Entry>, PhoneHash, std::equal_to<>> phones;
    long entries = 0;
};

namespace {

using Table = MessageLog::Table;

constexpr std::size_t kMinBuckets = 1000;
constexpr std::size_t kBytesPerBucket = 150;

Entry* find_pair(std::vector<Entry>& list, std::string_view email) {
    for (auto& e : list)
        if (iequals(e.email, email)) return &e;
    return nullptr;
}

// Adds the pair when it is new; true when it was.
bool put(Table& t, std::string_view phone, std::string_view email, std::int64_t when) {
    auto it = t.phones.find(phone);
    if (it == t.phones.end()) it = t.phones.emplace(std::string(phone), std::vector<Entry>()).first;
    if (Entry* e = find_pair(it->second, email)) {
        e->time = when;
        return false;
    }
    it->second.push_back(Entry{std::string(email), when});
    ++t.entries;
    return true;
}

// An entry needs both values; anything in them is escaped on the way out.
bool writable(std::string_view phone, std::string_view email) {
    return !phone.empty() && !email.empty();
}

void append_line(std::string& out, std::string_view phone, std::string_view email,
                 std::int64_t when, char delim) {
    out.append(record_escape(phone, delim));
    out += delim;
    out.append(record_escape(email, delim));
    out += delim;
    out += std::to_string(when);
    out += '\n';
}

// Splits like the file's reader always has: runs of the delimiter count as one, and
// leading ones are skipped; an escaped delimiter belongs to its field.
int split3(std::string_view line, char delim, std::string f[3]) {
    int n = 0;
    std::size_t p = 0;
    while (n < 3) {
        while (p < line.size() && line[p] == delim) ++p;
        if (p >= line.size()) break;
        std::size_t e = record_find_delim(line, delim, p);
        if (e == std::string_view::npos) e = line.size();
        f[n++] = record_unescape(line.substr(p, e - p), delim);
        p = e;
    }
    return n;
}

void log_entry(const std::string& phone, const Entry& e) {
    dmsg("MsgLog found [%s][%s][%lld]", phone.c_str(), e.email.c_str(),
         static_cast<long long>(e.time));
}

// The table emptied, or made with room for a file of file_size bytes (the log's lock
// held).
void prepare_table(std::unique_ptr<Table>& table, std::size_t file_size) {
    if (table) {
        imsg("MsgLog empty old ones...");
        table->phones.clear();
        table->entries = 0;
        return;
    }
    table = std::make_unique<Table>();
    std::size_t buckets = std::max<std::size_t>(kMinBuckets, file_size / kBytesPerBucket);
    table->phones.reserve(buckets);
    imsg("MsgLog hash table created");
}

// The whole file; false with the reason.
Status read_all(int fd, std::size_t size_hint, std::string& data) {
    data.reserve(size_hint + 1);
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            const int err = errno;
            return Error{err, std::strerror(err)};
        }
        if (n == 0) return {};
        data.append(buf, static_cast<std::size_t>(n));
    }
}

// One entry from a whole line into the table (counted in added when it is new); false
// (with its log line when report) when the line is not one.
bool read_entry(Table& table, std::string_view line, int lineno, bool report, char delimiter,
                int& added) {
    if (holds_control_bytes(line, delimiter)) {
        if (report) emsg("MsgLog line %d holds control bytes, skipped", lineno);
        return false;
    }
    std::string f[3];
    if (split3(line, delimiter, f) < 3) {
        if (report && !line.empty()) emsg("MsgLog line %d has too few fields, skipped", lineno);
        return false;
    }
    std::optional<long long> when = parse_decimal(f[2]);
    if (!when) {
        if (report) emsg("MsgLog line %d has a time that is not a number, skipped", lineno);
        return false;
    }
    if (put(table, f[0], f[1], *when)) ++added;
    return true;
}

// A last line without its line end (an editor, or a copy that dropped it) is read like
// any other; only when it is not a whole entry is it an append cut short, and cut off.
void read_open_line(Table& table, int fd, const std::string& data, std::size_t open_line,
                    int lineno, char delimiter, int& added) {
    std::string_view line(data.data() + open_line, data.size() - open_line);
    while (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (!read_entry(table, line, lineno, false, delimiter, added)) {
        // Dropped, or the next append would continue this line.
        emsg("MsgLog line %d unfinished, skipped", lineno);
        if (::ftruncate(fd, static_cast<off_t>(open_line)) != 0)
            emsg("MsgLog could not cut the unfinished line (%s)", std::strerror(errno));
    } else if (::pwrite(fd, "\n", 1, static_cast<off_t>(data.size())) != 1) {
        // Not ended here, the next append would continue this line.
        emsg("MsgLog could not end its last line (%s)", std::strerror(errno));
    }
}

}  // namespace

MessageLog::MessageLog() = default;
MessageLog::~MessageLog() = default;

Status MessageLog::load(const std::string& path, char delimiter) {
    std::lock_guard hold(lock_);
    path_ = path;
    delim_ = delimiter;
    imsg("MsgLog file [%s]", path.c_str());
    UniqueFd fd(::open(path.c_str(), O_RDWR | O_CLOEXEC));
    if (!fd && errno == EACCES) fd.reset(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    int open_errno = errno;
    struct stat st {};
    if (fd) ::fstat(fd.get(), &st);
    prepare_table(table_, static_cast<std::size_t>(st.st_size));
    if (!fd) {
        if (open_errno == ENOENT) {
            imsg("No MsgLog file found");
            return {};
        }
        return Error{open_errno, std::strerror(open_errno)};
    }
    std::string data;
    if (Status got = read_all(fd.get(), static_cast<std::size_t>(st.st_size), data); !got)
        return got;
    int added = 0;
    int lines = 0;
    std::size_t open_line = for_each_record_line(data, [&](const record_line& l) {
        lines = l.number;
        read_entry(*table_, l.text, l.number, true, delimiter, added);
    });
    if (open_line != std::string_view::npos)
        read_open_line(*table_, fd.get(), data, open_line, lines + 1, delimiter, added);
    fd.reset();
    imsg("%d Msglog records loaded", added);
    return {};
}

Status MessageLog::save(const std::string& path) {
    std::lock_guard hold(lock_);
    if (!table_) return {};
    std::string data;
    long written = 0;
    for (const auto& [phone, list] : table_->phones) {
        for (const auto& e : list) {
            if (!writable(phone, e.email)) continue;
            append_line(data, phone, e.email, e.time, delim_);
            ++written;
        }
    }
    FileWriteError failed;
    if (!write_file_atomic(path, data, 0644, failed))
        return Error{failed.code, system_error(failed.code)};
    imsg("%ld MsgLog records saved", written);
    return {};
}

int MessageLog::lookup(const char* phone, int n, std::string& email) {
    if (!phone) {
        emsg("MsgLog lookup, phone number == NULL");
        return 0;
    }
    dmsg("MsgLog lookup (%s)", phone);
    email.clear();
    std::lock_guard hold(lock_);
    int hits = 0;
    if (table_) {
        auto it = table_->phones.find(std::string_view(phone));
        if (it != table_->phones.end()) {
            for (const auto& e : it->second) {
                log_entry(it->first, e);
                if (hits == n) {
                    email = e.email;
                    dmsg("Desired hit found, supplying email address [%s]", email.c_str());
                }
                ++hits;
            }
        }
    }
    dmsg("MsgLog lookup %d hits", hits);
    return hits;
}

int MessageLog::latest(const char* phone, std::string& email) {
    if (!phone) {
        emsg("MsgLog latest, phone number == NULL");
        return 0;
    }
    std::lock_guard hold(lock_);
    if (!table_) return 0;
    auto it = table_->phones.find(std::string_view(phone));
    if (it == table_->phones.end() || it->second.empty()) return 0;
    const Entry* best = nullptr;
    for (const auto& e : it->second) {
        log_entry(it->first, e);
        if (!best || e.time > best->time) best = &e;
    }
    email = best->email;
    return 1;
}

int MessageLog::store(const char* phone, const char* email) {
    if (!phone || !email) {
        emsg("MsgLog store, phone number or address == NULL");
        return 0;
    }
    std::lock_guard hold(lock_);
    if (!table_) {
        table_ = std::make_unique<Table>();
        table_->phones.reserve(kMinBuckets);
    }
    std::int64_t t = now();
    if (put(*table_, phone, email, t)) imsg("MsgLog NEW");
    imsg("MsgLog stored [%s][%s][%lld]", phone, email, static_cast<long long>(t));
    if (path_.empty()) return 1;
    if (!writable(phone, email)) return 1;
    std::string line;
    append_line(line, phone, email, t, delim_);
    bool existed = false;
    int fd = file_.get(path_, O_WRONLY | O_APPEND | O_CREAT, 0644, existed);
    if (fd < 0) return 1;  // the entry reaches the file at the next save
    ssize_t n;
    do n = ::write(fd, line.data(), line.size());
    while (n < 0 && errno == EINTR);
    // A part-written line would join the next one: take it back (the n bytes it left at
    // the end of the file).
    if (n > 0 && n != static_cast<ssize_t>(line.size())) {
        struct stat st {};
        if (::fstat(fd, &st) != 0 || ::ftruncate(fd, st.st_size - n) != 0)
            emsg("MsgLog could not cut a short append");
    }
    return 1;
}

long MessageLog::size() {
    std::lock_guard hold(lock_);
    return table_ ? table_->entries : 0;
}

void MessageLog::clear() {
    std::lock_guard hold(lock_);
    table_.reset();
    path_.clear();
    file_.close();
}

std::time_t MessageLog::now() const {
    auto fn = clock_.load(std::memory_order_relaxed);
    return fn ? fn() : std::time(nullptr);
}

void MessageLog::set_clock(std::time_t (*fn)()) {
    clock_.store(fn, std::memory_order_relaxed);
}

}  // namespace tolvane
