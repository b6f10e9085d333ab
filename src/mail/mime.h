// MIME decoder: a line-at-a-time reader for a stored mail.
//
// Each mime_line call reads the next line of the mail and says what it is: a header
// line, the Content-Type header of the mail or of a part (MIME_CONTENT, value in
// m->content), the empty line ending a header block, a part boundary, or a body line,
// which comes back decoded from the part's transfer encoding (none, base64 or
// quoted-printable; one stored line at a time, no character-set conversion). The
// reader keeps every boundary declared so far and numbers the parts: the whole mail is
// "1", the parts of a top-level multipart "1.1", "1.2", a part nested in the second
// "1.2.1".
//
// Ownership: the caller owns the reader (std::unique_ptr<MIME>) and the input stream;
// the reader never opens, rewinds or closes it. One reader per mail, one thread.
//
// Limits: a physical line is read in pieces of at most 997 characters; raw is cut at
// size-1 characters and so is bin. The special headers (Content-Type,
// Content-Transfer-Encoding, Content-Disposition) are joined with at most four
// continuation lines (value at most 999 characters); further continuation lines, and
// those of every other header, come back as header lines of their own. Malformed input
// never fails: unreadable input ends with MIME_END, a base64 line with a foreign
// character decodes to nothing, quoted-printable text after a lone "=" is dropped.
//
//   auto m = mime_new();
//   std::string raw, bin;
//   int kind;
//   while ((kind = mime_line(m.get(), spool, raw, bin)) != MIME_END) {
//       switch (kind) {
//       case MIME_HEADER:  ... raw is "Subject: hello\n" or a continuation line ...
//       case MIME_CONTENT: ... m->content is "text/plain; charset=us-ascii" ...
//       case MIME_BOUNDARY: ... a new part starts (m->part is its number) ...
//       case MIME_BODY:    ... bin holds the decoded bytes (plain lines keep their LF) ...
//       }
//   }
//   mime_free(m);
#pragma once

#include <array>
#include <cstdio>
#include <istream>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace tolvane {

enum MimeKind : int {
    MIME_END = 0,
    MIME_HEADER = 1,
    MIME_BODY = 2,
    MIME_BOUNDARY = 3,
    MIME_CONTENT = 4,
    MIME_HEADER_END = 5,
};

enum MimeEncoding : int { MIME_NONE = 0, MIME_BASE64 = 1, MIME_QUOTED = 2 };

inline constexpr int MIME_MAXLEVEL = 100;

// One declared boundary.
struct BOUND {
    std::string bound;  // without the leading dashes
    int level = 0;      // order of declaration, from 1
    int n = 0;          // times seen
};
using Bound = BOUND;

// Reader state; the fields are readable by the caller between calls.
class MIME {
  public:
    std::vector<BOUND> blist;              // declaration order (searched newest first)
    int level = 0;                         // boundaries declared
    int isend = 0;                         // input ended while reading ahead
    int gotline = 0;                       // nextline holds a line to process next
    std::array<int, MIME_MAXLEVEL> cur{};  // index in blist + 1 of each level's boundary
    int inhead = 1;                        // in a header block
    std::string nextline;
    int encoding = MIME_NONE;  // transfer encoding of the current part
    std::string content;       // value of the current Content-Type
    std::string content_id;    // address of the current Content-ID
    std::string part = "1";    // number of the current part
    int ismime = 0;            // a Content-Type or Content-Transfer-Encoding was seen
    std::array<int, MIME_MAXLEVEL> partid{};  // part counter of each level (0 is level 1)
    int partlvl = 1;                          // current nesting level
    int resync = 0;                           // any line starting "--" counts as a boundary
    std::string fname;     // "name=" parameter, lower case, at most 200 characters
    int return_all = 0;    // also hand back joined continuation lines as header lines
    int append_lines = 0;  // join every header line with its continuation lines
    std::string lost;      // continuation lines to hand back (return_all)
    int islost = 0;
    int loose_header = 0;  // a line of one space also ends a header block
};
using Mime = MIME;

std::unique_ptr<MIME> mime_new();
void mime_free(std::unique_ptr<MIME>& m);

// The kind of the next line of f. raw: the line as read (line end included, at most
// size-1 characters). bin: for MIME_BODY the decoded bytes (at most size-1), else empty.
int mime_line(MIME* m, std::FILE* f, std::string& raw, std::string& bin, std::size_t size = 1000);
int mime_line(MIME* m, std::istream& in, std::string& raw, std::string& bin,
              std::size_t size = 1000);

// One line of base64 (a trailing LF, CR, LF ignored): bytes written to out (replacing it),
// 0 and out empty on a character outside the alphabet.
int mime_decode_base64(std::string_view text, std::string& out);
// Quoted-printable text (at most 2000 characters taken): bytes written to out (replacing
// it). "=" CR LF is dropped, "=XY" is the byte, a lone "=" ends the text, a byte with its
// top bit set is copied with the byte after it. "=" with two non-hex characters is kept
// as the three characters.
int mime_decode_quoted(std::string_view text, std::string& out);
// The byte spelled by the first two characters in hexadecimal (either case); -1 when they
// are not two hexadecimal digits.
int mime_hexbyte(std::string_view text);

}  // namespace tolvane
