// Damage in the local queue journal, found when its segments are read at start-up: what
// each damaged range cost, a copy of each damaged segment kept with a note of that cost in
// <queue>/damaged, and the segment written back with its whole records (the reading itself
// and how it steps over a damaged range: queue_file_segments.cpp).
//
// What a lost record costs depends on its type. A batch (ENQUEUED) lost loses its entries:
// ids are given out in order, so the ids given out between the last entry read before the
// range and the first one read after it, that no record read stores or finishes, are the
// entries lost (at the end of the journal, where nothing follows, the range's own bytes
// read without their checksums tell the ids they seem to hold). An ATTEMPT lost leaves an
// entry's count one short, a DONE lost leaves a finished entry waiting: either may send an
// entry once more (at least once, never lost), and the line names every entry that may be
// (all those waiting that were stored before the range's end, unless its bytes read as
// batches alone).
// A SEGMENT header lost costs nothing: the segment's place comes from its name.
//
// Limits: a range at the end of the journal whose bytes cannot be read even without their
// checksums is told with the entries later records name ("at least"), or as "cannot be
// told"; so is one whose ids span more than LOST_SPAN_MAX. A batch refused by a failing disk also
// leaves its ids unused, so a damaged range beside such a gap counts them as lost too.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>

#include "foundation/fileio.h"
#include "foundation/lib.h"
#include "foundation/log.h"
#include "queue/queue_file_impl.h"

namespace tolvane {

namespace {

constexpr std::uint64_t LOST_SPAN_MAX = 100000;
// Ids a line names; beyond them it only counts.
constexpr std::size_t IDS_NAMED = 20;
constexpr const char* NOTE_SUFFIX = ".lost";
constexpr const char* NOTE_HEAD = "entries lost: ";

std::string ids_text(const std::vector<std::uint64_t>& ids) {
    if (ids.empty()) return {};
    std::string out = " (ids ";
    for (std::size_t i = 0; i < ids.size() && i < IDS_NAMED; ++i) {
        if (i > 0) out += ", ";
        out += std::to_string(ids[i]);
    }
    if (ids.size() > IDS_NAMED) out += ", ...";
    return out + ")";
}

bool slurp(const std::string& path, std::string& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    out.assign(std::istreambuf_iterator<char>(in), {});
    return !in.bad();
}

bool exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

// A copy of segment `name` already kept with exactly these bytes (a start cut short after
// keeping it), so that a segment is kept once however often it is found damaged.
std::string same_copy(const std::string& dir, const std::string& name, const std::string& bytes) {
    if (!exists(dir)) return {};
    std::string wild = name + ".*";
    for (const std::string& f : file_list(dir, wild.c_str())) {
        if (f.size() > 5 && f.compare(f.size() - 5, 5, NOTE_SUFFIX) == 0) continue;
        if (f.size() > 4 && f.compare(f.size() - 4, 4, ".tmp") == 0) continue;
        std::string have;
        if (slurp(f, have) && have == bytes) return f;
    }
    return {};
}

}  // namespace

std::string FileQueue::damaged_dir() const {
    return attach_path(dir_, "damaged", 4096);
}

void FileQueue::damage_found(Mend& mend, std::string_view data, std::size_t at, std::size_t next) {
    Damage d;
    d.path = mend.seg->path;
    d.at = at;
    d.to_end = next == std::string_view::npos;
    // To the end: up to the last byte written, not through the zeros written ahead.
    const std::size_t limit = d.to_end ? data.size() : next;
    const std::size_t end = d.to_end ? data.find_last_not_of('\0') + 1 : next;
    d.bytes = end - at;
    d.lo = next_id_;
    // What the bytes seem to hold, read without their checksums: never replayed, only told.
    journal_record rec;
    for (std::size_t p = at;;) {
        if (p >= end) {
            d.read_whole = true;
            break;
        }
        std::size_t used = 0;
        if (journal_decode(data.substr(p, limit - p), rec, used, false) != JournalRead::OK) break;
        p += used;
        if (rec.type == JOURNAL_ENQUEUED)
            for (const queue_entry& e : rec.entries) d.seems_stored.push_back(e.id);
        else if (rec.type == JOURNAL_ATTEMPT || rec.type == JOURNAL_DONE)
            d.seems_state.push_back(rec.id);
    }
    mend.damage.push_back(damage_.size());
    damage_.push_back(std::move(d));
}

void FileQueue::damage_note(const journal_record& rec) {
    switch (rec.type) {
        case JOURNAL_SEGMENT:
            // A later segment's header: the ids given out before it was started.
            for (Damage& d : damage_)
                if (d.hi == 0 && rec.next_id >= d.lo) d.hi = rec.next_id;
            break;
        case JOURNAL_ENQUEUED:
        case JOURNAL_ENQUEUED_USERS:
            for (const queue_entry& e : rec.entries) {
                stored_after_damage_.insert(e.id);
                // Entries copied forward out of an old segment have older ids: not a bound.
                for (Damage& d : damage_)
                    if (d.hi == 0 && e.id >= d.lo) d.hi = e.id;
            }
            break;
        case JOURNAL_ATTEMPT:
        case JOURNAL_DONE:
            if (rec.type == JOURNAL_DONE) stored_after_damage_.insert(rec.id);
            for (Damage& d : damage_)
                if (rec.id >= d.lo) d.named = std::max(d.named, rec.id);
            break;
    }
}

void FileQueue::damage_tell() {
    for (Damage& d : damage_) {
        std::uint64_t hi = d.hi;
        if (hi == 0) {
            // Nothing stored after it: the ids named after it, and those its bytes seem to
            // hold, are the ones given out.
            hi = d.named >= d.lo && d.named > 0 ? d.named + 1 : d.lo;
            for (std::uint64_t id : d.seems_stored)
                if (id >= d.lo && id - d.lo < LOST_SPAN_MAX) hi = std::max(hi, id + 1);
        }
        // Nothing stored after it and its bytes unreadable: the entries named after it
        // are lost, others stored there cannot be told.
        d.lost_known = (d.hi != 0 || d.read_whole) && hi - d.lo <= LOST_SPAN_MAX;
        if (hi - d.lo <= LOST_SPAN_MAX) {
            for (std::uint64_t id = d.lo; id < hi; ++id)
                if (stored_after_damage_.count(id) == 0) d.lost.push_back(id);
            // Never given again, not even the ids of entries it lost.
            next_id_ = std::max(next_id_, hi);
        }
        // Read without checksums, bytes that hold whole batches and no attempt or done
        // record cost no entry a second send. Ids read that way are not trusted to say
        // whose record it was: any entry stored before the range's end and still waiting
        // may have had its attempt or done record there.
        if (!d.read_whole || !d.seems_state.empty())
            for (const auto& [id, it] : items_)
                if (id < hi) d.resend.push_back(id);
        std::string lost =
            d.lost_known     ? strprintf("%zu%s", d.lost.size(), ids_text(d.lost).c_str())
            : d.lost.empty() ? std::string("cannot be told")
                             : strprintf("at least %zu%s", d.lost.size(), ids_text(d.lost).c_str());
        d.line = strprintf(
            "corrupt record in %s at byte %zu, %zu bytes skipped %s; entries lost: %s; entries "
            "that may be sent again: %zu%s",
            d.path.c_str(), d.at, d.bytes,
            d.to_end ? "to the end of its records" : "up to the next whole record", lost.c_str(),
            d.resend.size(), ids_text(d.resend).c_str());
        emsg("Queue journal: %s", d.line.c_str());
    }
}

void FileQueue::damage_mend() {
    if (mends_.empty()) return;
    const std::string dir = damaged_dir();
    if (file_mkdir(dir, false) == 0) {
        emsg("Queue journal: no copy of a damaged segment can be kept in %s: left as found",
             dir.c_str());
        return;
    }
    std::tm tm{};
    char stamp[32] = "0";
    if (safe_localtime(std::time(nullptr), tm))
        std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &tm);
    for (Mend& m : mends_) {
        const std::string& path = m.seg->path;
        const std::string name = file_filename(path);
        std::string copy = same_copy(dir, name, m.found);
        if (copy.empty()) {
            copy = attach_path(dir, name + "." + stamp, 4096);
            for (int n = 2; exists(copy); ++n)
                copy = attach_path(dir, strprintf("%s.%s-%d", name.c_str(), stamp, n), 4096);
            if (Status st = write_file_atomic(copy, m.found, 0600); !st) {
                emsg("Queue journal: cannot keep a copy of damaged segment %s (%s): left as found",
                     path.c_str(), st.error().reason.c_str());
                continue;
            }
        }
        std::size_t lost = 0;
        std::string lines;
        for (std::size_t i : m.damage) {
            lost += damage_[i].lost.size();
            lines += damage_[i].line + "\n";
        }
        Status st = write_file_atomic(copy + NOTE_SUFFIX,
                                      strprintf("%s%zu\n", NOTE_HEAD, lost) + lines, 0600);
        if (st) st = write_file_atomic(path, m.kept, 0600);
        if (!st) {
            emsg("Queue journal: cannot write back damaged segment %s (%s): left as found",
                 path.c_str(), st.error().reason.c_str());
            continue;
        }
        int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
        if (fd >= 0) m.seg->fd.reset(fd);
        m.seg->size = m.seg->prealloc_end = static_cast<std::int64_t>(m.kept.size());
        wmsg(
            "Queue journal: damaged segment %s kept as %s (%zu entries lost), written back with "
            "its whole records",
            path.c_str(), copy.c_str(), lost);
    }
}

std::size_t FileQueue::lost_in_damage() {
    const std::string dir = damaged_dir();
    std::size_t n = 0;
    if (exists(dir)) {
        std::string wild = std::string("*") + NOTE_SUFFIX;
        for (const std::string& f : file_list(dir, wild.c_str())) {
            std::string note;
            unsigned long long k = 0;
            if (slurp(f, note) && note.rfind(NOTE_HEAD, 0) == 0 &&
                std::sscanf(note.c_str() + std::strlen(NOTE_HEAD), "%llu", &k) == 1)
                n += static_cast<std::size_t>(k);
        }
    }
    // A listing finds damage the gateway has not dealt with yet (nor kept a note of).
    if (opt_.read_only)
        for (const Mend& m : mends_) {
            std::string copy = same_copy(dir, file_filename(m.seg->path), m.found);
            if (!copy.empty() && exists(copy + NOTE_SUFFIX)) continue;
            for (std::size_t i : m.damage) n += damage_[i].lost.size();
        }
    return n;
}

}  // namespace tolvane
