// Text operations: truth words, word cutting, case-blind comparison, trimming
// and path joining. ASCII folding only: the 26 capital letters fold to small
// ones, every other byte stays itself, so 8-bit text is never mangled.
#include <cstdlib>

#include "foundation/lib.h"
#include "foundation/utf8.h"

namespace tolvane {

namespace {
inline unsigned char fold(unsigned char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c - 'A' + 'a') : c;
}
inline bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v';
}
}  // namespace

int istrue(const char* text) {
    if (!text) return 0;
    for (const char* w : {"true", "yes", "y", "on", "checked", "selected"})
        if (iequals(text, w)) return 1;
    return 0;
}

int isfalse(const char* text) {
    if (!text) return 0;
    for (const char* w : {"false", "no", "n", "off"})
        if (iequals(text, w)) return 1;
    return 0;
}

std::vector<std::string> s_split_words(std::string_view text, std::string_view delims) {
    std::vector<std::string> words;
    if (delims.empty()) {
        if (!text.empty()) words.emplace_back(text);
        return words;
    }
    std::size_t i = 0;
    while (i < text.size()) {
        i = text.find_first_not_of(delims, i);
        if (i == std::string_view::npos) break;
        std::size_t e = text.find_first_of(delims, i);
        if (e == std::string_view::npos) e = text.size();
        words.emplace_back(text.substr(i, e - i));
        i = e;
    }
    return words;
}

std::vector<std::string> ssplit(std::string_view text, std::string_view delims, std::size_t max,
                                bool skip_trail) {
    std::vector<std::string> fields;
    if (max == 0) return fields;
    std::size_t i = 0;
    for (;;) {
        if (fields.size() + 1 == max) {
            fields.emplace_back(text.substr(i));
            break;
        }
        std::size_t e = text.find_first_of(delims, i);
        if (e == std::string_view::npos) {
            fields.emplace_back(text.substr(i));
            break;
        }
        fields.emplace_back(text.substr(i, e - i));
        i = e + 1;
        if (skip_trail) {
            std::size_t n = text.find_first_not_of(delims, i);
            i = n == std::string_view::npos ? text.size() : n;
        }
    }
    return fields;
}

std::vector<std::string> token_split(std::string_view text, std::string_view sep,
                                     std::size_t tmax) {
    std::vector<std::string> words = s_split_words(text, sep);
    std::size_t keep = tmax == 0 ? 0 : tmax - 1;
    if (words.size() > keep) words.resize(keep);
    return words;
}

int s_stricmp(std::string_view a, std::string_view b) {
    std::size_t n = a.size() < b.size() ? a.size() : b.size();
    for (std::size_t i = 0; i < n; ++i) {
        int d = fold(static_cast<unsigned char>(a[i])) - fold(static_cast<unsigned char>(b[i]));
        if (d) return d;
    }
    if (a.size() == b.size()) return 0;
    return a.size() < b.size() ? -1 : 1;
}

int s_strnicmp(std::string_view a, std::string_view b, std::size_t n) {
    return s_stricmp(a.substr(0, n < a.size() ? n : a.size()),
                     b.substr(0, n < b.size() ? n : b.size()));
}

bool iequals(std::string_view a, std::string_view b) {
    return a.size() == b.size() && s_stricmp(a, b) == 0;
}

bool istarts_with(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && iequals(text.substr(0, prefix.size()), prefix);
}

std::size_t strstrnc(std::string_view hay, std::string_view needle) {
    if (needle.empty()) return 0;
    if (needle.size() > hay.size()) return std::string_view::npos;
    const unsigned char first = fold(static_cast<unsigned char>(needle[0]));
    for (std::size_t i = 0; i + needle.size() <= hay.size(); ++i) {
        if (fold(static_cast<unsigned char>(hay[i])) != first) continue;
        if (iequals(hay.substr(i, needle.size()), needle)) return i;
    }
    return std::string_view::npos;
}

std::string strlwr(std::string_view text) {
    std::string s(text);
    for (char& c : s) c = static_cast<char>(fold(static_cast<unsigned char>(c)));
    return s;
}

std::string strupr(std::string_view text) {
    std::string s(text);
    for (char& c : s)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return s;
}

std::string_view strtrm_right(std::string_view text) {
    while (!text.empty() && is_space(text.back())) text.remove_suffix(1);
    return text;
}

std::string_view strtrm(std::string_view text) {
    text = strtrm_right(text);
    while (!text.empty() && is_space(text.front())) text.remove_prefix(1);
    return text;
}

std::string_view strip_eol_r(std::string_view text) {
    std::size_t e = text.find_first_of("\r\n");
    return e == std::string_view::npos ? text : text.substr(0, e);
}

std::string cut(std::string_view text, std::size_t n) {
    // A text no longer in bytes than n is never longer in characters.
    if (text.size() <= n) return std::string(text);
    return std::string(text.substr(0, utf8_prefix_bytes(text, n)));
}

int s_atoi(const char* text) {
    if (!text) return 0;
    // atoi's behaviour on overflow is undefined; clamp instead.
    long v = std::strtol(text, nullptr, 10);
    if (v > 2147483647L) return 2147483647;
    if (v < -2147483647L - 1) return -2147483647 - 1;
    return static_cast<int>(v);
}

std::string attach_path(std::string_view path, std::string_view file, std::size_t bfsz) {
    std::string out;
    out.reserve(path.size() + file.size() + 1);
    for (char c : path) out += c == '\\' ? '/' : c;
    if (!out.empty() && !file.empty()) {
        std::size_t f = file.find_first_not_of("/\\");
        file = f == std::string_view::npos ? std::string_view() : file.substr(f);
        while (out.size() > 1 && out.back() == '/') out.pop_back();
        if (out.back() != '/') out += '/';
    }
    for (char c : file) out += c == '\\' ? '/' : c;
    if (bfsz == 0) return {};
    if (out.size() > bfsz - 1) out.resize(bfsz - 1);
    return out;
}

std::string file_filename(std::string_view path) {
    std::size_t e = path.find_last_of("/\\");
    return std::string(e == std::string_view::npos ? path : path.substr(e + 1));
}

}  // namespace tolvane
