// Helpers shared by the HTTP API's modules: see api_json.h.
#include "gateway/api_json.h"

#include <chrono>

#include "foundation/utf8.h"

namespace tolvane {

std::int64_t api_now_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string api_dump(const nlohmann::json& j) {
    return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

void api_json_string(std::string& out, std::string_view s) {
    static constexpr char hex[] = "0123456789abcdef";
    out += '"';
    std::size_t at = 0;
    while (at < s.size()) {
        const auto c = static_cast<unsigned char>(s[at]);
        if (c >= 0x80) {
            // A whole character, or U+FFFD for a byte that does not start one.
            utf8_append(out, utf8_next(s, at));
            continue;
        }
        ++at;
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\b': out += "\\b"; break;
            case '\f': out += "\\f"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (c < 0x20) {
                    out += "\\u00";
                    out += hex[c >> 4];
                    out += hex[c & 0xf];
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    out += '"';
}

}  // namespace tolvane
