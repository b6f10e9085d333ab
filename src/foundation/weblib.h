// Text codings of the web side: URL encoding, HTML encoding and URL decoding.
//
// The encoders take a size in the manner of a C buffer: the output, with a
// terminating zero, never needs more than size bytes, so it holds at most
// size - 1 characters, and an escape ("%E9", "&quot;") that does not fit whole
// ends the output rather than being cut in half. The renderer uses a size of
// WEB_CODE_SIZE. Bytes are taken as unsigned values; nothing is locale-aware.
//
//   std::string q = url_encode("a b&c");          // "a%20b%26c"
//   std::string h = html_encode("<b>\"x\"</b>");  // "&lt;b&gt;&quot;x&quot;&lt;/b&gt;"
//   std::string v = "a+b%41%zz";
//   unescape_url(v);                              // "a bA%zz"
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tolvane {

inline constexpr std::size_t WEB_CODE_SIZE = 1000;

// Letters, digits, "/", ":" and "_" are copied; every other byte becomes "%XX"
// (upper-case hexadecimal).
std::string url_encode(std::string_view text, std::size_t size = WEB_CODE_SIZE);
// '"' "&" "<" ">" become "&quot;" "&amp;" "&lt;" "&gt;"; everything else is copied.
std::string html_encode(std::string_view text, std::size_t size = WEB_CODE_SIZE);
// The escape of every value a page shows: html_encode's four characters and the
// apostrophe ("&#39;"), so that a value is safe inside text and inside attributes in
// either kind of quote; never cut.
std::string html_escape(std::string_view text);
// In place: "+" becomes a blank, "%" and two hexadecimal digits (either case) the byte
// they give; anything else, a "%" without two hexadecimal digits after it included,
// stays as it is.
void unescape_url(std::string& text);
// A file name from a request or a page kept inside its directory: every ".." followed
// by "/" or "\\" is removed together with that character, repeatedly, so that
// "../../etc/passwd" and "....//x" give "etc/passwd" and "x".
std::string web_strip_parents(std::string_view name);

}  // namespace tolvane
