// Records of the queue journal: their byte layout, checksum and reader.
//
// A segment file is a run of records, each self-delimiting and checked:
//   u32 payload length | u32 CRC-32C of type and payload | u8 type | payload
// little-endian. The first record of every segment is a SEGMENT record (its sequence number
// and the next entry id), so ids keep growing even when every older segment is gone. Then
// come ENQUEUED (a whole batch, so a batch is stored all or nothing; ENQUEUED_USERS when an
// entry carries a user name), ATTEMPT (attempt count,
// last error, next try) and DONE records.
//
// The writer may keep zeros written ahead of its last record (room in the file, so that
// the next writes need not grow it): zeros where a header would start end the records.
//
// A damaged record (a whole length whose checksum fails, or a header that is garbage) is
// stepped over: journal_resync finds the next offset where a whole record checks out, so
// one bad byte costs the records it hits, not every record after it.
//
// Ownership: plain values; the reader works on a caller's buffer. Limits: a payload larger
// than JOURNAL_RECORD_MAX is taken for damage, not read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "queue/queue.h"

namespace tolvane {

enum JournalType : std::uint8_t {
    JOURNAL_SEGMENT = 0,
    JOURNAL_ENQUEUED = 1,
    JOURNAL_ATTEMPT = 2,
    JOURNAL_DONE = 3,
    // ENQUEUED with each entry followed by its user name. Written only for a batch with a
    // name in it, so that a journal without names stays readable by older gateways.
    JOURNAL_ENQUEUED_USERS = 4,
};

inline constexpr std::size_t JOURNAL_HEADER = 9;
inline constexpr std::uint32_t JOURNAL_RECORD_MAX = 64u << 20;

// CRC-32C (Castagnoli) of `data`, continuing from `crc` (0 to start).
std::uint32_t crc32c(std::uint32_t crc, std::string_view data);

struct journal_record {
    JournalType type = JOURNAL_SEGMENT;
    // SEGMENT
    std::uint64_t seq = 0;
    std::uint64_t next_id = 0;
    // ENQUEUED
    std::vector<queue_entry> entries;
    // ATTEMPT and DONE
    std::uint64_t id = 0;
    std::uint32_t attempts = 0;
    std::int64_t not_before_ms = 0;
    bool delivered = false;
    std::string error;
};

// Appends the whole record (header and payload) to `out`.
void journal_encode(const journal_record& rec, std::string& out);

enum class JournalRead {
    OK,       // one record read, `used` bytes
    END,      // no bytes left, or zeros where the next header would be (room written ahead)
    TORN,     // the bytes end inside a record (a write cut short)
    CORRUPT,  // checksum, type or layout wrong
};

// Reads the record at the start of `data`. With `check` false the checksum is not compared:
// only to tell what damaged bytes probably held, never to replay them.
JournalRead journal_decode(std::string_view data, journal_record& rec, std::size_t& used,
                           bool check = true);

// The first offset at or after `from` where a whole record of a known type checks out (its
// length fits in `data` and matches its type's layout, its checksum matches); npos when
// none does. A chance match inside damaged bytes would need a 32-bit checksum to agree on
// top of a plausible header.
std::size_t journal_resync(std::string_view data, std::size_t from);

}  // namespace tolvane
