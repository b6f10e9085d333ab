// Quoted-printable: body lines and header words ("=?charset?q?...?=").
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tolvane {

// Quoted-printable body line, in place: unprintable bytes and "=" become "=XX";
// cut where the result would pass size-1 characters.
void qp_encode(std::string& line, std::size_t size);
// Header word "=?iso-8859-1?q?...?=" folded for a header of that name, or the
// plain text when nothing needed encoding. Returns the length; 0 when text is
// null or size is 18 or less.
int qp_header_encode(const char* name, const char* text, std::string& out, std::size_t size);
// Decodes "=?cs?q?...?=" / "=?cs?b?...?=" words; other text is copied. Returns
// the length, -1 (out empty) for a malformed word or an unknown encoding.
int qp_header_decode(std::string_view text, std::string& out, std::size_t size);

}  // namespace tolvane
