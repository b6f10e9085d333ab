// Small helpers the HTTP API's modules share: the wall clock in milliseconds and the one
// way JSON is written (compact, bytes that are not UTF-8 replaced by U+FFFD, so that a
// text from a client can never make a dump throw).
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>

namespace tolvane {

// Milliseconds since the epoch (system clock).
std::int64_t api_now_ms();
// j as one compact line.
std::string api_dump(const nlohmann::json& j);

}  // namespace tolvane
