// Wildcard matching for address, phone and variable-name lists.
//
// Both matchers compare unsigned bytes and match the whole subject. Every
// pattern element other than "*" consumes exactly one subject character, so a
// mismatch after a "*" only needs to retry from the most recent "*" one
// position further on: earlier stars can never help once a later one has been
// reached. That keeps the cost at subject length times pattern length, however
// many stars a hostile list entry holds.
#include <cstring>

#include "foundation/lib.h"

namespace tolvane {

namespace {

// Rules A element at p[j]: "?" or a literal.
inline bool one_a(std::string_view p, std::size_t j, unsigned char c) {
    return p[j] == '?' || static_cast<unsigned char>(p[j]) == c;
}

// Rules B element at p[j] (not "*"): tests c and gives the length of the element.
bool one_b(std::string_view p, std::size_t j, unsigned char c, std::size_t& len) {
    const char pc = p[j];
    if (pc == '?') {
        len = 1;
        return true;
    }
    if (pc == '\\' && j + 1 < p.size()) {
        len = 2;
        return static_cast<unsigned char>(p[j + 1]) == c;
    }
    if (pc == '[') {
        std::size_t k = j + 1;
        bool negate = false;
        if (k < p.size() && p[k] == '^') {
            negate = true;
            ++k;
        }
        const std::size_t first = k;
        // The set ends at the next "]" that is not its first member.
        std::size_t close = std::string_view::npos;
        for (std::size_t q = first; q < p.size(); ++q) {
            if (p[q] == ']' && q != first) {
                close = q;
                break;
            }
        }
        if (close != std::string_view::npos) {
            bool in = false;
            for (std::size_t q = first; q < close; ++q) {
                const auto lo = static_cast<unsigned char>(p[q]);
                if (q + 2 < close && p[q + 1] == '-') {
                    const auto hi = static_cast<unsigned char>(p[q + 2]);
                    if (c >= lo && c <= hi) in = true;
                    q += 2;
                } else if (lo == c) {
                    in = true;
                }
            }
            len = close - j + 1;
            return in != negate;
        }
        // An unclosed "[" is an ordinary character.
    }
    len = 1;
    return static_cast<unsigned char>(pc) == c;
}

}  // namespace

int wild_match(std::string_view text, std::string_view wild) {
    const std::size_t n = text.size(), m = wild.size();
    std::size_t i = 0, j = 0;
    std::size_t star = std::string_view::npos, mark = 0;
    while (i < n) {
        if (j < m && wild[j] == '*') {
            star = j++;
            mark = i;
        } else if (j < m && one_a(wild, j, static_cast<unsigned char>(text[i]))) {
            ++i;
            ++j;
        } else if (star != std::string_view::npos) {
            j = star + 1;
            i = ++mark;
        } else {
            return 0;
        }
    }
    while (j < m && wild[j] == '*') ++j;
    return j == m ? 1 : 0;
}

int wild_match(const char* text, const char* wild) {
    if (!text || !wild) return 0;
    return wild_match(std::string_view(text), std::string_view(wild));
}

int match_wild(const char* wild, const char* text) {
    if (!wild || !text) return 0;
    const std::string_view p(wild), s(text);
    if (p == "*") return 1;
    const std::size_t n = s.size(), m = p.size();
    std::size_t i = 0, j = 0;
    std::size_t star = std::string_view::npos, mark = 0;
    while (i < n) {
        std::size_t len = 0;
        if (j < m && p[j] == '*') {
            star = j++;
            mark = i;
        } else if (j < m && one_b(p, j, static_cast<unsigned char>(s[i]), len)) {
            ++i;
            j += len;
        } else if (star != std::string_view::npos) {
            j = star + 1;
            i = ++mark;
        } else {
            return 0;
        }
    }
    while (j < m && p[j] == '*') ++j;
    return j == m ? 1 : 0;
}

namespace {
constexpr std::string_view kListSeparators = " \t,";

// Calls fn for every word of a list; stops early when fn returns true.
template <typename Fn>
bool any_word(std::string_view list, Fn fn) {
    std::size_t i = 0;
    while (i < list.size()) {
        i = list.find_first_not_of(kListSeparators, i);
        if (i == std::string_view::npos) break;
        std::size_t e = list.find_first_of(kListSeparators, i);
        if (e == std::string_view::npos) e = list.size();
        if (fn(list.substr(i, e - i))) return true;
        i = e;
    }
    return false;
}
}  // namespace

int wild_list(std::string_view list, std::string_view wilds) {
    return any_word(list,
                    [&](std::string_view word) {
                        return any_word(wilds, [&](std::string_view pattern) {
                            return wild_match(word, pattern) == 1;
                        });
                    })
               ? 1
               : 0;
}

int wild_list(const char* list, const char* wilds) {
    if (!list || !wilds) return 0;
    return wild_list(std::string_view(list), std::string_view(wilds));
}

}  // namespace tolvane
