// Records of the queue journal (see queue_journal.h).
#include "queue/queue_journal.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace tolvane {

namespace {

constexpr std::array<std::uint32_t, 256> make_crc_table() {
    std::array<std::uint32_t, 256> t{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t c = i;
        for (int k = 0; k < 8; ++k) c = (c & 1u) ? (c >> 1) ^ 0x82F63B78u : c >> 1;
        t[i] = c;
    }
    return t;
}
constexpr std::array<std::uint32_t, 256> CRC_TABLE = make_crc_table();

void put32(std::string& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xffu));
}
void put64(std::string& out, std::uint64_t v) {
    for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xffu));
}
void put_text(std::string& out, std::string_view s) {
    put32(out, static_cast<std::uint32_t>(s.size()));
    out.append(s);
}

// Reads fields from a payload; any read past its end marks the whole payload bad.
class Fields {
  public:
    explicit Fields(std::string_view p) : p_(p) {}
    bool bad() const { return bad_; }
    bool at_end() const { return p_.empty(); }
    std::uint64_t u(int bytes) {
        if (p_.size() < static_cast<std::size_t>(bytes)) {
            bad_ = true;
            p_ = {};
            return 0;
        }
        std::uint64_t v = 0;
        for (int i = 0; i < bytes; ++i)
            v |= static_cast<std::uint64_t>(static_cast<unsigned char>(p_[i])) << (8 * i);
        p_.remove_prefix(bytes);
        return v;
    }
    std::uint32_t u32() { return static_cast<std::uint32_t>(u(4)); }
    std::uint64_t u64() { return u(8); }
    std::int64_t i64() { return static_cast<std::int64_t>(u(8)); }
    std::string text() {
        std::uint32_t n = u32();
        if (bad_ || p_.size() < n) {
            bad_ = true;
            p_ = {};
            return {};
        }
        std::string s(p_.substr(0, n));
        p_.remove_prefix(n);
        return s;
    }

  private:
    std::string_view p_;
    bool bad_ = false;
};

void encode_entry(const queue_entry& e, std::string& out) {
    put64(out, e.id);
    put32(out, static_cast<std::uint32_t>(e.kind));
    put32(out, e.flags);
    put32(out, e.attempts);
    put64(out, static_cast<std::uint64_t>(e.enqueued_ms));
    put64(out, static_cast<std::uint64_t>(e.not_before_ms));
    put_text(out, e.destination);
    put_text(out, e.originator);
    put_text(out, e.sender);
    put_text(out, e.text);
    put_text(out, e.billing);
    put_text(out, e.client);
    put_text(out, e.last_error);
    put32(out, static_cast<std::uint32_t>(e.headers.size()));
    for (const auto& [name, value] : e.headers) {
        put_text(out, name);
        put_text(out, value);
    }
}

bool decode_entry(Fields& f, queue_entry& e) {
    e.id = f.u64();
    e.kind = static_cast<int>(f.u32());
    e.flags = f.u32();
    e.attempts = f.u32();
    e.enqueued_ms = f.i64();
    e.not_before_ms = f.i64();
    e.destination = f.text();
    e.originator = f.text();
    e.sender = f.text();
    e.text = f.text();
    e.billing = f.text();
    e.client = f.text();
    e.last_error = f.text();
    std::uint32_t n = f.u32();
    for (std::uint32_t i = 0; i < n && !f.bad(); ++i) {
        std::string name = f.text();
        std::string value = f.text();
        e.headers.emplace_back(std::move(name), std::move(value));
    }
    return !f.bad();
}

}  // namespace

std::uint32_t crc32c(std::uint32_t crc, std::string_view data) {
    crc = ~crc;
    for (char ch : data)
        crc = CRC_TABLE[(crc ^ static_cast<unsigned char>(ch)) & 0xffu] ^ (crc >> 8);
    return ~crc;
}

void journal_encode(const journal_record& rec, std::string& out) {
    std::string body;
    body.push_back(static_cast<char>(rec.type));
    switch (rec.type) {
        case JOURNAL_SEGMENT:
            put64(body, rec.seq);
            put64(body, rec.next_id);
            break;
        case JOURNAL_ENQUEUED:
        case JOURNAL_ENQUEUED_USERS: {
            const bool users = std::any_of(rec.entries.begin(), rec.entries.end(),
                                           [](const queue_entry& e) { return !e.user.empty(); });
            body[0] = static_cast<char>(users ? JOURNAL_ENQUEUED_USERS : JOURNAL_ENQUEUED);
            put32(body, static_cast<std::uint32_t>(rec.entries.size()));
            for (const queue_entry& e : rec.entries) {
                encode_entry(e, body);
                if (users) put_text(body, e.user);
            }
            break;
        }
        case JOURNAL_ATTEMPT:
            put64(body, rec.id);
            put32(body, rec.attempts);
            put64(body, static_cast<std::uint64_t>(rec.not_before_ms));
            put_text(body, rec.error);
            break;
        case JOURNAL_DONE:
            put64(body, rec.id);
            body.push_back(rec.delivered ? 1 : 0);
            put_text(body, rec.error);
            break;
    }
    put32(out, static_cast<std::uint32_t>(body.size() - 1));
    put32(out, crc32c(0, body));
    out += body;
}

JournalRead journal_decode(std::string_view data, journal_record& rec, std::size_t& used,
                           bool check) {
    used = 0;
    // Zeros where a header would start are room the writer made ahead of its records, never
    // a record: a record's length counts its payload after the type, and every type has one
    // (SEGMENT its sequence number and next id, ENQUEUED its entry count, ATTEMPT and DONE
    // an id), so no record starts with a zero length, let alone a whole header of zeros.
    if (data.substr(0, JOURNAL_HEADER).find_first_not_of('\0') == std::string_view::npos)
        return JournalRead::END;
    if (data.size() < JOURNAL_HEADER) return JournalRead::TORN;
    Fields head(data.substr(0, 8));
    std::uint32_t len = head.u32();
    std::uint32_t crc = head.u32();
    if (len > JOURNAL_RECORD_MAX) return JournalRead::CORRUPT;
    if (data.size() - 8 < static_cast<std::size_t>(len) + 1) return JournalRead::TORN;
    std::string_view body = data.substr(8, static_cast<std::size_t>(len) + 1);
    if (check && crc32c(0, body) != crc) return JournalRead::CORRUPT;
    rec = journal_record{};
    rec.type = static_cast<JournalType>(static_cast<unsigned char>(body[0]));
    Fields f(body.substr(1));
    switch (rec.type) {
        case JOURNAL_SEGMENT:
            rec.seq = f.u64();
            rec.next_id = f.u64();
            break;
        case JOURNAL_ENQUEUED:
        case JOURNAL_ENQUEUED_USERS: {
            std::uint32_t n = f.u32();
            for (std::uint32_t i = 0; i < n && !f.bad(); ++i) {
                queue_entry e;
                if (!decode_entry(f, e)) break;
                if (rec.type == JOURNAL_ENQUEUED_USERS) e.user = f.text();
                rec.entries.push_back(std::move(e));
            }
            // Readers take both as one kind of record.
            rec.type = JOURNAL_ENQUEUED;
            break;
        }
        case JOURNAL_ATTEMPT:
            rec.id = f.u64();
            rec.attempts = f.u32();
            rec.not_before_ms = f.i64();
            rec.error = f.text();
            break;
        case JOURNAL_DONE:
            rec.id = f.u64();
            rec.delivered = f.u(1) != 0;
            rec.error = f.text();
            break;
        default:
            return JournalRead::CORRUPT;
    }
    if (f.bad() || !f.at_end()) return JournalRead::CORRUPT;
    used = 8 + static_cast<std::size_t>(len) + 1;
    return JournalRead::OK;
}

namespace {

std::uint32_t le32(std::string_view d, std::size_t at) {
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i)
        v |= static_cast<std::uint32_t>(static_cast<unsigned char>(d[at + i])) << (8 * i);
    return v;
}

// Whether the header at `at` announces a record that fits in `data` and whose length agrees
// with its type's fixed fields: cheap enough to try at every byte, and it spares the
// checksum of a long payload at nearly every offset of damaged bytes.
bool plausible_header(std::string_view data, std::size_t at) {
    if (data.size() - at < JOURNAL_HEADER) return false;
    const std::uint32_t len = le32(data, at);
    if (len == 0 || len > JOURNAL_RECORD_MAX || data.size() - at - JOURNAL_HEADER < len)
        return false;
    const std::size_t payload = at + JOURNAL_HEADER;
    // The smallest entry of a batch: its numbers and seven empty texts' lengths, and the
    // header count.
    constexpr std::uint32_t ENTRY_MIN = 8 + 4 + 4 + 4 + 8 + 8 + 7 * 4 + 4;
    switch (static_cast<unsigned char>(data[at + 8])) {
        case JOURNAL_SEGMENT:
            return len == 16;
        case JOURNAL_ENQUEUED:
        case JOURNAL_ENQUEUED_USERS: {
            if (len < 4 + ENTRY_MIN) return false;
            std::uint32_t n = le32(data, payload);
            return n >= 1 && n <= (len - 4) / ENTRY_MIN;
        }
        case JOURNAL_ATTEMPT:  // id, attempts, next try, then the error's length and text
            return len >= 24 && le32(data, payload + 20) == len - 24;
        case JOURNAL_DONE:  // id, delivered, then the error's length and text
            return len >= 13 && le32(data, payload + 9) == len - 13;
        default:
            return false;
    }
}

}  // namespace

std::size_t journal_resync(std::string_view data, std::size_t from) {
    journal_record rec;
    for (std::size_t at = from; at + JOURNAL_HEADER <= data.size(); ++at) {
        if (!plausible_header(data, at)) continue;
        std::size_t used = 0;
        if (journal_decode(data.substr(at), rec, used) == JournalRead::OK) return at;
    }
    return std::string_view::npos;
}

}  // namespace tolvane
