// Record file lines and fields: see record_file.h.
#include "records/record_file.h"

#include <algorithm>
#include <string>

#include "foundation/lib.h"

namespace tolvane {

std::size_t for_each_record_line(std::string_view data,
                                 const std::function<void(const record_line&)>& fn) {
    std::size_t pos = 0;
    int number = 0;
    while (pos < data.size()) {
        std::size_t nl = data.find('\n', pos);
        if (nl == std::string_view::npos) return pos;
        record_line l;
        l.text = data.substr(pos, nl - pos);
        l.start = pos;
        l.number = ++number;
        while (!l.text.empty() && l.text.back() == '\r') {
            l.text.remove_suffix(1);
            l.had_cr = true;
        }
        pos = nl + 1;
        fn(l);
    }
    return std::string_view::npos;
}

bool is_binary(unsigned char c) {
    return (c < 0x20 && c != '\t') || c == 0x7f;
}

bool holds_control_bytes(std::string_view text, char allowed) {
    return std::any_of(text.begin(), text.end(), [allowed](char c) {
        return c != allowed && is_binary(static_cast<unsigned char>(c));
    });
}

std::optional<long long> parse_decimal(std::string_view s) {
    bool neg = !s.empty() && s[0] == '-';
    if (neg) s.remove_prefix(1);
    if (s.empty() || s.size() > 18) return std::nullopt;
    long long v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return std::nullopt;
        v = v * 10 + (c - '0');
    }
    return neg ? -v : v;
}

}  // namespace tolvane
