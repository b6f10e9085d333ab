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

std::string record_escape(std::string_view value, char delim) {
    std::string out;
    out.reserve(value.size() + 4);
    for (char c : value) {
        switch (c) {
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\0':
                out += "\\0";
                break;
            default:
                if (c == delim) out += '\\';
                out += c;
        }
    }
    return out;
}

std::string record_unescape(std::string_view field, char delim) {
    if (field.find('\\') == std::string_view::npos) return std::string(field);
    std::string out;
    out.reserve(field.size());
    for (std::size_t i = 0; i < field.size(); ++i) {
        char c = field[i];
        if (c != '\\' || i + 1 == field.size()) {
            out += c;
            continue;
        }
        char e = field[i + 1];
        char plain = e == '\\'    ? '\\'
                     : e == 'n'   ? '\n'
                     : e == 'r'   ? '\r'
                     : e == 't'   ? '\t'
                     : e == '0'   ? '\0'
                     : e == delim ? delim
                                  : 0;
        if (plain == 0 && e != '0') {
            out += c;  // not an escape of ours: as written
            continue;
        }
        out += plain;
        ++i;
    }
    return out;
}

std::size_t record_find_delim(std::string_view line, char delim, std::size_t from) {
    for (std::size_t i = from; i < line.size(); ++i) {
        if (line[i] == '\\' && i + 1 < line.size()) {
            ++i;  // the escaped byte is part of the field, whatever it is
            continue;
        }
        if (line[i] == delim) return i;
    }
    return std::string_view::npos;
}

std::vector<std::string> record_fields(std::string_view line, char delim) {
    std::vector<std::string> out;
    std::size_t from = 0;
    while (from < line.size()) {
        std::size_t at = record_find_delim(line, delim, from);
        if (at == std::string_view::npos) {
            out.push_back(record_unescape(line.substr(from), delim));
            break;
        }
        out.push_back(record_unescape(line.substr(from, at - from), delim));
        from = at + 1;
    }
    return out;
}

}  // namespace tolvane
