// UTF-8 text: reading code points, counting and cutting by characters.
//
// Texts inside the gateway are UTF-8. These helpers are how every module counts
// and cuts them, so that a limit given in characters never splits one. Bytes that
// do not form a character (a stray continuation byte, a sequence cut short, an
// overlong form, a surrogate or a value beyond U+10FFFF) each read as U+FFFD, the
// replacement character; nothing is ever dropped silently or read past the end.
//
// Pure functions, no state.
//
//   std::size_t at = 0;
//   while (at < text.size()) { char32_t c = utf8_next(text, at); ... }
//   std::string shown = utf8_cut(text, 999);   // at most 999 characters
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tolvane {

inline constexpr char32_t UTF8_REPLACEMENT = 0xFFFD;

// The code point at at, and at moved past it. A byte that does not start a valid
// sequence gives U+FFFD and moves at by one byte. at must be below text.size().
char32_t utf8_next(std::string_view text, std::size_t& at);

// Appends cp as UTF-8; a surrogate or a value beyond U+10FFFF goes out as U+FFFD.
void utf8_append(std::string& out, char32_t cp);

// Characters in text (each invalid byte counts as one).
std::size_t utf8_length(std::string_view text);

// Byte length of the first max characters of text: a prefix never ending inside one.
std::size_t utf8_prefix_bytes(std::string_view text, std::size_t max_chars);

// The first max characters of text (the text as it is when it is shorter).
std::string utf8_cut(std::string_view text, std::size_t max_chars);

// Byte length of the longest prefix of text that fits in max_bytes bytes and does not
// end inside a character: for limits that are sizes of buffers or protocol fields.
std::size_t utf8_fit_bytes(std::string_view text, std::size_t max_bytes);

// The text with every invalid byte replaced by U+FFFD: what is passed on is then
// always valid UTF-8.
std::string utf8_valid(std::string_view text);

// True when text is valid UTF-8 throughout.
bool utf8_is_valid(std::string_view text);

// True when every byte is below 0x80.
bool text_is_ascii(std::string_view text);

}  // namespace tolvane
