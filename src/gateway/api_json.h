// Small helpers the HTTP API's modules share: the wall clock in milliseconds and the one
// way JSON is written (compact, bytes that are not UTF-8 replaced by U+FFFD, so that a
// text from a client can never make a dump throw).
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

namespace tolvane {

// Milliseconds since the epoch (system clock).
std::int64_t api_now_ms();
// j as one compact line.
std::string api_dump(const nlohmann::json& j);
// Appends s as a JSON string, quoted, escaped as api_dump escapes it; bytes that are not
// UTF-8 become U+FFFD. For lines written often, without building a json value first.
void api_json_string(std::string& out, std::string_view s);

}  // namespace tolvane
