// Character sets at the mail edge: what arrives in any charset becomes UTF-8,
// and what the gateway writes goes out as UTF-8 with MIME codings.
//
// Reading. charset_to_utf8 converts a body with glibc's iconv from the charset its
// Content-Type names. A byte the charset cannot read becomes U+FFFD and the rest
// is still converted: a bad byte never cuts a text. Labels that mail programs use
// loosely are read the way those programs mean them: "us-ascii", "iso-8859-1" and
// no label at all read valid UTF-8 as UTF-8 (8-bit mail is mostly UTF-8 today)
// and anything else as Windows-1252, the superset of Latin-1 that Windows mailers
// write under the Latin-1 label. An unknown label reads the same way.
// header_decode reads a header value with encoded words ("=?cs?B?...?=",
// "=?cs?Q?...?=", any charset iconv knows): blanks between adjacent words are
// dropped, each word is decoded with its own charset and encoding, and a
// malformed word stays as written.
//
// Writing. header_encode gives a header value as it may be written: plain ASCII
// as it is, anything else as UTF-8 encoded words of at most 75 characters, folded
// between words, never splitting a character and never nesting a word in a word.
// header_encode_address does so for the display name of an address only.
// body_encode_qp gives a UTF-8 text as quoted-printable lines (CR LF ends, at most
// 76 characters, soft breaks never inside a character's escapes), with a leading
// dot escaped so the lines need no dot stuffing.
//
// Pure functions; each conversion opens its own iconv descriptor (iconv
// descriptors are not shareable between threads). Input is untrusted: every
// length is checked and nothing is read past the end.
//
//   std::string text = charset_to_utf8(part_bytes, content_charset(content_type));
//   std::string subject = header_decode("=?ISO-8859-1?Q?Gr=FC=DFe?= =?KOI8-R?B?8NLJ18XU?=");
//   out += "Subject: " + header_encode(subject, 9) + "\r\n";
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tolvane {

// The charset parameter of a Content-Type value ("text/plain; charset="utf-8"" gives
// "utf-8"), lower case; empty when there is none.
std::string content_charset(std::string_view content_type);

// bytes in charset (any label iconv knows; see above for the loose ones) as UTF-8.
std::string charset_to_utf8(std::string_view bytes, std::string_view charset);

// Bytes of unknown charset (a raw 8-bit header, a transport's text): valid UTF-8 as
// it is; UTF-8 with some invalid bytes (at least one well-formed multi-byte sequence)
// with those bytes as U+FFFD; else Windows-1252 (in which 0x80 is the euro sign, as in
// the gateway's own single-byte texts).
std::string bytes_to_utf8(std::string_view bytes);

// A header value with its encoded words decoded, as UTF-8.
std::string header_decode(std::string_view value);

// A header value (UTF-8) ready to write after "Name: ". used: characters already
// on the first line ("Subject: " is 9), to keep every line short.
std::string header_encode(std::string_view text, std::size_t used = 0);

// An address header value: "Name <addr>" with only the name encoded when it is not
// plain ASCII; anything plain (a bare address, an ASCII name) exactly as given.
std::string header_encode_address(std::string_view value, std::size_t used = 0);

// A UTF-8 text as quoted-printable lines, each ending in CR LF. Line ends in the
// text (CR, LF, CR LF) become hard line ends.
std::string body_encode_qp(std::string_view text);

}  // namespace tolvane
