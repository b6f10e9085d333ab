// Counter files: loading a limit's counts of one kind, writing a count in place, adding
// a key's line, and removing the counts of a kind whose period has passed.
//
// One file per limit and kind, "key<delim>%010d\n" per line; the ten digits of a key
// are rewritten in place, so a file is only ever appended to or rewritten whole (when
// a damaged file is loaded). Callers hold the kind's list lock around every change.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "foundation/fileio.h"
#include "foundation/lib.h"
#include "foundation/log.h"
#include "records/msgrec_internal.h"
#include "records/record_file.h"

namespace tolvane {

namespace msgrec_detail {

namespace {

// Rewrites a counter file from the entries (temporary file and rename), keeping its
// age, and sets every index anew.
bool rewrite_counter_file(msgrecs_data& mr, msgrec_list& l, const struct stat& old) {
    std::string data;
    long pos = 0;
    for (auto& e : l.entries) {
        const std::string key = record_escape(e.string, mr.delimiter);
        data += key;
        data += mr.delimiter;
        e.index = pos + static_cast<long>(key.size()) + 1;
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

}  // namespace

// Loads one counter file; the error for a read error other than a missing file.
Status load_kind(msgrecs_data& mr, int kind) {
    msgrec_list& l = mr.lists[kind];
    struct stat st {};
    if (::stat(l.path.c_str(), &st) == 0) {
        if (mr.hours > 0 && static_cast<long long>(mr.now()) - st.st_mtime >
                                static_cast<long long>(mr.hours) * 3600) {
            imsg("MsgRec [%s] too old, remove it", l.path.c_str());
            ::unlink(l.path.c_str());
            return {};
        }
    }
    std::string data;
    if (!read_whole(l.path, data)) {
        const int code = errno;
        if (code == ENOENT) {
            dmsg("MsgRec [%s] not found", l.path.c_str());
            return {};
        }
        return Error{code,
                     strprintf("Failed to read (%s), %s", l.path.c_str(), std::strerror(code))};
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
        e.string = record_unescape(line.substr(0, d), mr.delimiter);
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
    return {};
}

void expire_if_old(msgrecs_data& mr, msgrec_list& l) {
    if (!mr.expired(l)) return;
    imsg("MsgRec [%s] too old, remove it", l.path.c_str());
    l.file.close();
    ::unlink(l.path.c_str());
    l.file_exists = false;
    l.clear();
}

}  // namespace msgrec_detail

using namespace msgrec_detail;

int msgrec_update(msgrecs* mr, msgrec* entry, int kind) {
    if (!mr || !entry || !valid_kind(kind)) return 0;
    msgrec_list& l = mr->d->lists[kind];
    std::lock_guard hold(l.lock);
    if (entry->index < 0) {
        errno = EINVAL;
        return 0;
    }
    // Never created here: digits written at their place in an empty new file would leave
    // a file of zeros and one number.
    bool existed = false;
    int fd = l.file.get(l.path, O_WRONLY, 0, existed);
    if (fd < 0) return 0;
    std::string digits = ten_digits(entry->count);
    ssize_t n;
    do n = ::pwrite(fd, digits.data(), digits.size(), entry->index);
    while (n < 0 && errno == EINTR);
    if (n != static_cast<ssize_t>(digits.size())) {
        if (n >= 0) errno = EIO;
        return 0;
    }
    l.file_exists = true;
    l.last_change = mr->d->now();
    return 1;
}

int msgrec_append(msgrecs* mr, msgrec* entry, int kind) {
    if (!mr || !entry || !valid_kind(kind)) return 0;
    msgrec_list& l = mr->d->lists[kind];
    std::lock_guard hold(l.lock);
    // The same descriptor as the in-place writes (no O_APPEND, which would make those
    // appends too): the line goes at the end the file has now.
    bool existed = false;
    int fd = l.file.get(l.path, O_WRONLY | O_CREAT, 0644, existed);
    if (fd < 0) return 0;
    struct stat st {};
    if (::fstat(fd, &st) != 0) return 0;
    std::string line = record_escape(entry->string, mr->d->delimiter);
    line += mr->d->delimiter;
    line += ten_digits(entry->count);
    line += '\n';
    std::size_t done = 0;
    while (done < line.size()) {
        ssize_t n = ::pwrite(fd, line.data() + done, line.size() - done,
                             st.st_size + static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            int e = n < 0 ? errno : EIO;
            // A part-written line would shift every later line: take it back.
            if (::ftruncate(fd, st.st_size) != 0)
                emsg("MsgRec [%s] could not be cut back", l.path.c_str());
            errno = e;
            return 0;
        }
        done += static_cast<std::size_t>(n);
    }
    entry->index = static_cast<long>(st.st_size) + static_cast<long>(line.size()) - 11;
    l.file_exists = true;
    l.last_change = mr->d->now();
    return 1;
}

}  // namespace tolvane
