// How a queue entry is laid out in a row of the shared queue's table, and read back.
//
// The headers go as netstrings ("4:name,5:value,") in one bytea column, so any byte may stand
// in a name or a value. row_entry() reads the columns in the order of QUEUE_PG_COLUMNS.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "queue/queue.h"
#include "store/pg.h"

namespace tolvane {

inline constexpr const char* QUEUE_PG_COLUMNS =
    "id, kind, destination, originator, sender, body, billing, client, headers, flags,"
    " attempts, last_error, enqueued_ms, not_before_ms, usr";

std::string encode_headers(const std::vector<std::pair<std::string, std::string>>& headers);
// False (and out empty or partial) when the text is not a whole list of name/value pairs.
[[nodiscard]] bool decode_headers(std::string_view in,
                                  std::vector<std::pair<std::string, std::string>>& out);
// One row of a SELECT of QUEUE_PG_COLUMNS; damaged headers are logged and left out.
queue_entry row_entry(const PgResult& r, int row);

}  // namespace tolvane
