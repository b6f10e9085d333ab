// Queue entries in and out of the shared queue's rows (see queue_pg_rows.h).
#include "queue/queue_pg_rows.h"

#include <cstdint>

#include "foundation/log.h"

namespace tolvane {

std::string encode_headers(const std::vector<std::pair<std::string, std::string>>& headers) {
    std::string out;
    for (const auto& [name, value] : headers)
        for (const std::string* s : {&name, &value}) {
            out += std::to_string(s->size());
            out += ':';
            out += *s;
            out += ',';
        }
    return out;
}

bool decode_headers(std::string_view in, std::vector<std::pair<std::string, std::string>>& out) {
    out.clear();
    std::vector<std::string> parts;
    while (!in.empty()) {
        std::size_t colon = in.find(':');
        if (colon == std::string_view::npos || colon == 0 || colon > 10) return false;
        std::size_t len = 0;
        for (char ch : in.substr(0, colon)) {
            if (ch < '0' || ch > '9') return false;
            len = len * 10 + static_cast<std::size_t>(ch - '0');
        }
        if (in.size() < colon + 1 + len + 1 || in[colon + 1 + len] != ',') return false;
        parts.emplace_back(in.substr(colon + 1, len));
        in.remove_prefix(colon + 1 + len + 1);
    }
    if (parts.size() % 2 != 0) return false;
    for (std::size_t i = 0; i < parts.size(); i += 2)
        out.emplace_back(std::move(parts[i]), std::move(parts[i + 1]));
    return true;
}

queue_entry row_entry(const PgResult& r, int row) {
    queue_entry e;
    e.id = static_cast<std::uint64_t>(r.int64(row, 0));
    e.kind = static_cast<int>(r.int64(row, 1));
    e.destination = r.bytes(row, 2);
    e.originator = r.bytes(row, 3);
    e.sender = r.bytes(row, 4);
    e.text = r.bytes(row, 5);
    e.billing = r.bytes(row, 6);
    e.client = r.bytes(row, 7);
    if (!decode_headers(r.bytes(row, 8), e.headers))
        emsg("Queue entry %llu: its stored headers are damaged, sent without them",
             static_cast<unsigned long long>(e.id));
    e.flags = static_cast<std::uint32_t>(r.int64(row, 9));
    e.attempts = static_cast<std::uint32_t>(r.int64(row, 10));
    e.last_error = r.bytes(row, 11);
    e.enqueued_ms = r.int64(row, 12);
    e.not_before_ms = r.int64(row, 13);
    e.user = r.bytes(row, 14);
    return e;
}

}  // namespace tolvane
