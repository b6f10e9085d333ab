// UTF-8 reading, counting and cutting. See utf8.h.
#include "foundation/utf8.h"

namespace tolvane {

char32_t utf8_next(std::string_view text, std::size_t& at) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    unsigned char b0 = byte(at);
    if (b0 < 0x80) {
        ++at;
        return b0;
    }
    std::size_t need = 0;
    char32_t cp = 0;
    char32_t least = 0;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        need = 1;
        cp = b0 & 0x1F;
        least = 0x80;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        need = 2;
        cp = b0 & 0x0F;
        least = 0x800;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        need = 3;
        cp = b0 & 0x07;
        least = 0x10000;
    } else {
        ++at;
        return UTF8_REPLACEMENT;
    }
    if (text.size() - at <= need) {
        // Cut short: only the lead byte is consumed, so the bytes behind it are read
        // again on their own.
        ++at;
        return UTF8_REPLACEMENT;
    }
    for (std::size_t k = 1; k <= need; ++k) {
        unsigned char b = byte(at + k);
        if ((b & 0xC0) != 0x80) {
            ++at;
            return UTF8_REPLACEMENT;
        }
        cp = (cp << 6) | (b & 0x3F);
    }
    if (cp < least || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        ++at;
        return UTF8_REPLACEMENT;
    }
    at += need + 1;
    return cp;
}

void utf8_append(std::string& out, char32_t cp) {
    if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = UTF8_REPLACEMENT;
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

std::size_t utf8_length(std::string_view text) {
    std::size_t n = 0;
    for (std::size_t at = 0; at < text.size(); ++n) utf8_next(text, at);
    return n;
}

std::size_t utf8_prefix_bytes(std::string_view text, std::size_t max_chars) {
    std::size_t at = 0;
    for (std::size_t n = 0; n < max_chars && at < text.size(); ++n) utf8_next(text, at);
    return at;
}

std::string utf8_cut(std::string_view text, std::size_t max_chars) {
    return std::string(text.substr(0, utf8_prefix_bytes(text, max_chars)));
}

std::size_t utf8_fit_bytes(std::string_view text, std::size_t max_bytes) {
    if (text.size() <= max_bytes) return text.size();
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t next = at;
        utf8_next(text, next);
        if (next > max_bytes) break;
        at = next;
    }
    return at;
}

std::string utf8_valid(std::string_view text) {
    if (utf8_is_valid(text)) return std::string(text);
    std::string out;
    out.reserve(text.size() + 8);
    for (std::size_t at = 0; at < text.size();) utf8_append(out, utf8_next(text, at));
    return out;
}

bool utf8_is_valid(std::string_view text) {
    for (std::size_t at = 0; at < text.size();) {
        std::size_t before = at;
        if (utf8_next(text, at) == UTF8_REPLACEMENT) {
            // A real U+FFFD in the text is three bytes; an invalid byte is one.
            if (at - before == 1) return false;
        }
    }
    return true;
}

bool text_is_ascii(std::string_view text) {
    for (char c : text) {
        if (static_cast<unsigned char>(c) >= 0x80) return false;
    }
    return true;
}

}  // namespace tolvane
