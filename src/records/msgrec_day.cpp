// Message records: one line per outcome appended to the day file of its kind, and the
// counts that a successful SMS adds to every limit.
//
// The day file sits in the directory of the first limit and takes its delimiter;
// starting a new day file folds the older ones (msgrec_fold.cpp). Appends of whole
// lines under the lock of the DayFiles object, so two threads never interleave a record
// or fold at once.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "foundation/fileio.h"
#include "foundation/lib.h"
#include "foundation/log.h"
#include "foundation/utf8.h"
#include "records/kept_file.h"
#include "records/msgrec_internal.h"
#include "records/record_file.h"

namespace tolvane {

using namespace msgrec_detail;

namespace {

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

// A record field: cut at the text limit, then escaped, so that neither a delimiter nor a
// line end inside a value can shift the fields or start a line.
void put_field(std::string& out, std::string_view field, char delim) {
    out += record_escape(field.substr(0, utf8_prefix_bytes(field, TEXT_MAX)), delim);
    out += delim;
}

// The time of a record line: the first field from the fifth on (status, client, from and
// to come first) shaped like "Wed Jan 31 09:05:01 2024", so that a date inside an
// address before it, or inside the text after it, is never taken for it.
std::optional<std::string_view> record_time_field(std::string_view line, char delim) {
    auto shaped = [](std::string_view f) {
        static constexpr const char* kShape = "aaa aaa ?d dd:dd:dd dddd";
        for (std::size_t i = 0; i < 24; ++i) {
            char c = f[i], k = kShape[i];
            bool ok = k == 'a'   ? (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')
                      : k == 'd' ? c >= '0' && c <= '9'
                      : k == '?' ? c == ' ' || (c >= '0' && c <= '9')
                                 : c == k;
            if (!ok) return false;
        }
        return true;
    };
    int field = 0;
    for (std::size_t p = 0; p < line.size(); ++p) {
        if (line[p] != delim) continue;
        ++field;  // a field starts after p
        if (field >= 4 && p + 25 < line.size() && line[p + 25] == delim &&
            shaped(line.substr(p + 1, 24)))
            return line.substr(p + 1, 24);
    }
    return std::nullopt;
}

}  // namespace

std::string msgrec_day_file(std::time_t when, std::string_view day_kind) {
    std::tm tm{};
    localtime_r(&when, &tm);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%4d%02d%02d.", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday);
    return std::string(buf) + std::string(day_kind);
}

std::string msgrec_record_line(std::string_view status, std::string_view client,
                               std::string_view from, std::string_view to, std::time_t when,
                               std::string_view text, char delim) {
    std::string line;
    put_field(line, status, delim);
    put_field(line, client, delim);
    put_field(line, from, delim);
    put_field(line, to, delim);
    put_field(line, asctime24(when), delim);
    put_field(line, text, delim);
    line += '\n';
    return line;
}

int DayFiles::write(const LimitRegistry& limits, std::string_view status, std::string_view client,
                    std::string_view from, std::string_view to, std::string_view text,
                    std::string_view day_kind, std::time_t when) {
    auto pr = [](std::string_view s) { return static_cast<int>(s.size()); };
    imsg("MsgRec write [%.*s][%.*s][%.*s][%.*s]", pr(status), status.data(), pr(client),
         client.data(), pr(from), from.data(), pr(to), to.data());
    std::string dir;
    char delim;
    if (!limits.records_at(dir, delim)) return 0;
    std::string line = msgrec_record_line(status, client, from, to, when, text, delim);
    std::lock_guard hold(lock_);
    std::string name = msgrec_day_file(when, day_kind);
    std::string path = attach_path(dir, name);
    auto kept = files_.find(day_kind);
    if (kept == files_.end()) kept = files_.emplace(std::string(day_kind), KeptFile()).first;
    bool existed = false;
    int fd = kept->second.get(path, O_WRONLY | O_APPEND | O_CREAT, 0644, existed);
    if (fd < 0 || !write_all(fd, line)) return 0;
    if (!existed) msgrec_compile(dir, day_kind, name);
    return 1;
}

void LimitRegistry::count_sent(std::string_view client, std::string_view from, std::string_view to,
                               std::string_view user, bool reserved, std::string_view apikey) {
    std::lock_guard hold(lock_);
    const std::string_view keys[MSGREC_KINDS] = {client, from, to, user, apikey};
    for (msgrecs* mr : list_) {
        for (int kind = 0; kind < MSGREC_KINDS; ++kind) {
            // A mail from a client that did not authenticate has no user to count.
            if (kind == MSGREC_USER && user.empty()) continue;
            // Nor one sent other than through the HTTP API an API key.
            if (kind == MSGREC_KEY && apikey.empty()) continue;
            // The count and the settling of its reservation in one step under the list's
            // lock, so that no admission sees the unit twice or not at all.
            msgrec_list& l = mr->d->lists[kind];
            std::lock_guard list_hold(l.lock);
            msgrec_add(mr, kind, keys[kind], 1);
            if (reserved) unreserve_locked(l, folded_key(keys[kind]), 1);
        }
    }
}

int msgrec_write(LimitRegistry& limits, DayFiles& days, std::string_view status,
                 std::string_view client, std::string_view from, std::string_view to,
                 std::string_view text, std::string_view day_kind, bool counted, bool reserved,
                 std::string_view user, std::string_view apikey) {
    if (!days.write(limits, status, client, from, to, text, day_kind, limits.now())) return 0;
    if (counted) limits.count_sent(client, from, to, user, reserved, apikey);
    return 1;
}

Result<std::string> msgrec_day_records(const LimitRegistry& limits, std::string_view yyyymmdd,
                                       std::string_view day_kind) {
    std::string dir;
    char delim;
    if (!limits.records_at(dir, delim)) return Error{0, "no limit, so no message records"};
    return msgrec_day_records_in(dir, delim, yyyymmdd, day_kind);
}

Result<std::string> msgrec_day_records_in(const std::string& dir, char delim,
                                          std::string_view yyyymmdd, std::string_view day_kind) {
    if (yyyymmdd.size() != 8 || !all_digits(yyyymmdd))
        return Error{EINVAL, "a day is eight digits, YYYYMMDD"};
    std::string out;
    std::string kind(day_kind);
    std::string day_path = attach_path(dir, std::string(yyyymmdd) + "." + kind);
    if (read_whole(day_path, out)) return out;
    if (errno != ENOENT) {
        const int err = errno;
        return Error{err,
                     strprintf("Failed to read (%s), %s", day_path.c_str(), std::strerror(err))};
    }
    out.clear();
    // A day before today may be folded into its month already: its lines are those whose
    // time field names that day.
    std::string month_path = attach_path(dir, std::string(yyyymmdd.substr(0, 6)) + "." + kind);
    std::string month;
    if (!read_whole(month_path, month)) {
        if (errno == ENOENT) return out;
        const int err = errno;
        return Error{err,
                     strprintf("Failed to read (%s), %s", month_path.c_str(), std::strerror(err))};
    }
    std::tm tm{};
    tm.tm_year = std::stoi(std::string(yyyymmdd.substr(0, 4))) - 1900;
    tm.tm_mon = std::stoi(std::string(yyyymmdd.substr(4, 2))) - 1;
    tm.tm_mday = std::stoi(std::string(yyyymmdd.substr(6, 2)));
    tm.tm_hour = 12;
    tm.tm_isdst = -1;
    std::time_t noon = std::mktime(&tm);
    const std::string stamp = asctime24(noon);  // "Wed Jan 31 12:00:00 2024"
    for_each_record_line(month, [&](const record_line& l) {
        std::optional<std::string_view> t = record_time_field(l.text, delim);
        if (t && t->substr(0, 11) == std::string_view(stamp).substr(0, 11) &&
            t->substr(19) == std::string_view(stamp).substr(19)) {
            out.append(month, l.start, l.text.size());
            out += '\n';
        }
    });
    return out;
}

}  // namespace tolvane
