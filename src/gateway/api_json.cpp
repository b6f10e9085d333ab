// Helpers shared by the HTTP API's modules: see api_json.h.
#include "gateway/api_json.h"

#include <chrono>

namespace tolvane {

std::int64_t api_now_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string api_dump(const nlohmann::json& j) {
    return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace tolvane
