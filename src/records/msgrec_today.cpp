// Today's outcomes from the day files, for the status page: DayFileReader of stores.h.
//
// A page refreshed every few seconds must not read the whole day each time, so each day
// file keeps its read position, its counts and its last lines here; a file replaced or cut
// (folded, started again) is read again from its start. Ownership: the positions live in
// the reader object under its own lock. Limits: a line longer than 4095 bytes is skipped.
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <deque>
#include <map>
#include <mutex>

#include "foundation/lib.h"
#include "records/msgrec.h"
#include "records/record_file.h"
#include "records/stores.h"

namespace tolvane {

namespace {

constexpr std::size_t LINE_MAX_BYTES = 4095;
// More than any page shows; what a call asks beyond it is not kept.
constexpr std::size_t KEEP_LINES = 100;

struct Kept {
    long seq = 0;  // order of reading, to merge the two files
    std::string line;
};

// What has been read of one day file so far.
struct FileState {
    ino_t ino = 0;
    off_t offset = 0;
    std::string partial;    // an unfinished last line
    bool skipping = false;  // inside an over-long line
    int sent = 0;
    int failed = 0;
    int received = 0;
    std::deque<Kept> last;
};

}  // namespace

struct DayFileReader::Files {
    std::map<std::string, FileState> files;
    long next_seq = 0;
};

namespace {

// A record has five fields ended by the delimiter before its text; anything else is not
// a record and counts for nothing.
void take_line(FileState& f, long& seq, std::string_view line, char delim, bool sms_to_mail) {
    std::size_t ends[5];
    std::size_t from = 0;
    for (std::size_t& e : ends) {
        e = record_find_delim(line, delim, from);
        if (e == std::string_view::npos) return;
        from = e + 1;
    }
    const std::string_view status = line.substr(0, ends[0]);
    const std::string_view client = line.substr(ends[0] + 1, ends[1] - ends[0] - 1);
    if (sms_to_mail) {
        if (client == "SMS") ++f.received;
    } else if (status == "SUCCESS") {
        ++f.sent;
    } else if (status == "FAILURE") {
        ++f.failed;
    }
    f.last.push_back(Kept{++seq, std::string(line)});
    if (f.last.size() > KEEP_LINES) f.last.pop_front();
}

// Reads what was appended to path since the last call.
void catch_up(const std::string& path, FileState& f, long& seq, char delim, bool sms_to_mail) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        f = FileState{};
        return;
    }
    if (st.st_ino != f.ino || st.st_size < f.offset) {
        f = FileState{};
        f.ino = st.st_ino;
    }
    if (st.st_size == f.offset) return;
    std::FILE* fp = std::fopen(path.c_str(), "rb");
    if (!fp) return;
    if (::fseeko(fp, f.offset, SEEK_SET) != 0) {
        std::fclose(fp);
        return;
    }
    char buf[16384];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, fp)) > 0) {
        f.offset += static_cast<off_t>(n);
        std::string_view chunk(buf, n);
        while (!chunk.empty()) {
            const std::size_t lf = chunk.find('\n');
            const std::string_view part = chunk.substr(0, lf);
            if (!f.skipping) {
                if (f.partial.size() + part.size() > LINE_MAX_BYTES) {
                    f.skipping = true;
                    f.partial.clear();
                } else {
                    f.partial.append(part);
                }
            }
            if (lf == std::string_view::npos) break;
            chunk.remove_prefix(lf + 1);
            if (!f.skipping) take_line(f, seq, f.partial, delim, sms_to_mail);
            f.partial.clear();
            f.skipping = false;
        }
    }
    std::fclose(fp);
}

}  // namespace

DayFileReader::DayFileReader() : d_(std::make_unique<Files>()) {}
DayFileReader::~DayFileReader() = default;

DayOutcomes DayFileReader::today(const std::string& dir, char delim, std::time_t now,
                                 std::size_t last_n) {
    const std::string rec = attach_path(dir, msgrec_day_file(now, "rec"));
    const std::string log = attach_path(dir, msgrec_day_file(now, "log"));
    DayOutcomes d;
    std::lock_guard<std::mutex> hold(lock_);
    std::map<std::string, FileState>& files = d_->files;
    // Yesterday's files are done with.
    for (auto it = files.begin(); it != files.end();) {
        it = it->first == rec || it->first == log ? std::next(it) : files.erase(it);
    }
    FileState& r = files[rec];
    FileState& l = files[log];
    catch_up(rec, r, d_->next_seq, delim, false);
    catch_up(log, l, d_->next_seq, delim, true);
    d.sent = r.sent;
    d.failed = r.failed;
    d.received = l.received;
    std::vector<std::pair<const Kept*, const char*>> all;
    for (const Kept& k : r.last) all.emplace_back(&k, "rec");
    for (const Kept& k : l.last) all.emplace_back(&k, "log");
    std::sort(all.begin(), all.end(),
              [](const auto& a, const auto& b) { return a.first->seq > b.first->seq; });
    if (all.size() > last_n) all.resize(last_n);
    for (const auto& [k, kind] : all) d.last.push_back(DayOutcomes::Line{kind, k->line});
    return d;
}

}  // namespace tolvane
